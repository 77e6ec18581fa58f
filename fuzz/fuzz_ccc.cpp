// The calling code table file: parsing, sorting and lookups must never
// crash or leak, whatever the file holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "keltrace/keltrace.h"
#include "phonebook_zeb.h"

namespace {

void quiet(void *, int, const char *, const char *) {}

// Reads every string of a record's list, as the number comparison does.
size_t walk(const ccc_entry *entry, uint8_t count, uint8_t offset) {
    size_t total = 0;
    const char *string = entry->code + offset;
    for (unsigned i = 0; i < count; i++) {
        size_t length = strlen(string);
        total += length;
        string += length + 1;
    }
    return total;
}

void lookUp(const char *digits) {
    const ccc_entry *entry = get_ccc_entry(digits);
    if (entry != nullptr) {
        walk(entry, entry->first_count, entry->first_offset);
        walk(entry, entry->national_count, entry->national_offset);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kelTraceSetSink(quiet, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ccc_file = static_cast<char *>(malloc(size + 1));
    if (ccc_file == nullptr)
        return 0;
    if (size > 0)
        memcpy(ccc_file, data, size);
    ccc_file[size] = '\0';

    parse_ccc_file();
    sort_ccc_data();
    for (uint32_t i = 0; i < ccc_num; i++) {
        walk(&ccc_data[i], ccc_data[i].first_count, ccc_data[i].first_offset);
        walk(&ccc_data[i], ccc_data[i].national_count, ccc_data[i].national_offset);
    }
    char digits[4] = {0};
    memcpy(digits, data, size < 3 ? size : 3);
    lookUp(digits);
    lookUp("33");
    release_ccc_data();
    return 0;
}
