// Legacy configuration files: loading must never crash or leak, and a file
// that loads must give the same records after a save and a reload.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "fuzz_support.hpp"
#include "keltrace/keltrace.h"
#include "tessel/tessel.h"

namespace {

std::string dir;
std::string path;

void removeFiles() {
    unlink(path.c_str());
    rmdir(dir.c_str());
}

void quiet(void *, int, const char *, const char *) {}

void field(std::string &out, int (*get)(int32_t, char **), int32_t entry) {
    char *value = nullptr;
    int rc = get(entry, &value);
    out += std::to_string(rc) + ":" + (value != nullptr ? value : "-") + "|";
    free(value);
}

void subField(std::string &out, int (*get)(int32_t, int32_t, char **), int32_t entry,
              int32_t index) {
    char *value = nullptr;
    int rc = get(entry, index, &value);
    out += std::to_string(rc) + ":" + (value != nullptr ? value : "-") + "|";
    free(value);
}

void flag(std::string &out, int (*get)(int32_t, int32_t, bool *), int32_t entry, int32_t index) {
    bool value = false;
    int rc = get(entry, index, &value);
    out += std::to_string(rc) + (value ? ":1|" : ":0|");
}

void list(std::string &out, int32_t entry, int32_t (*count)(int32_t),
          int (*value)(int32_t, int32_t, char **), int (*type)(int32_t, int32_t, char **),
          int (*preferred)(int32_t, int32_t, bool *)) {
    int32_t n = count(entry);
    out += "[" + std::to_string(n) + "]";
    // One past the end checks the range test too.
    for (int32_t i = 0; i <= n; ++i) {
        subField(out, value, entry, i);
        subField(out, type, entry, i);
        flag(out, preferred, entry, i);
    }
}

// Every record and sub-record of the open store, as text.
std::string snapshot() {
    std::string out;
    int32_t entries = tessel_cntPhoneBookEntries();
    out += std::to_string(entries) + "\n";
    for (int32_t e = 0; e <= entries; ++e) {
        field(out, tessel_getPhoneBookEntryName, e);
        field(out, tessel_getPhoneBookEntryFormattedName, e);
        field(out, tessel_getPhoneBookEntryUniqueID, e);
        field(out, tessel_getPhoneBookEntryLastRevision, e);
        field(out, tessel_getPhoneBookEntryBirthDay, e);
        field(out, tessel_getPhoneBookEntryTitle, e);
        field(out, tessel_getPhoneBookEntryOrganisation, e);
        field(out, tessel_getPhoneBookEntryUrl, e);
        field(out, tessel_getPhoneBookEntryRingtone, e);
        field(out, tessel_getPhoneBookEntryTags, e);
        list(out, e, tessel_cntPhoneBookEntryAddresses, tessel_getPhoneBookEntryAddressValue,
             tessel_getPhoneBookEntryAddressType, tessel_getPhoneBookEntryAddressPreferred);
        list(out, e, tessel_cntPhoneBookEntryLabel, tessel_getPhoneBookEntryLabelValue,
             tessel_getPhoneBookEntryLabelType, tessel_getPhoneBookEntryLabelPreferred);
        list(out, e, tessel_cntPhoneBookEntryTelephone, tessel_getPhoneBookEntryTelephoneNumber,
             tessel_getPhoneBookEntryTelephoneType, tessel_getPhoneBookEntryTelephonePreferred);
        list(out, e, tessel_cntPhoneBookEntryEmail, tessel_getPhoneBookEntryEmailAddress,
             tessel_getPhoneBookEntryEmailType, tessel_getPhoneBookEntryEmailPreferred);
        out += "\n";
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    unsetenv("ZEB_SYSROOT");
    kelTraceSetSink(quiet, nullptr);
    dir = fuzzsupport::makeTempDir("fuzz-tessel");
    path = dir + "/store.usr";
    atexit(removeFiles);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzsupport::writeInput(path, data, size);

    int rc = tessel_initialize(path.c_str());
    if (rc != TESSEL_OK) {
        if (rc == TESSEL_MISSING)
            abort(); // the file was just written
        return 0;
    }
    std::string before = snapshot();
    // The store saves over the file it loaded.
    rc = tessel_save();
    if (rc != TESSEL_OK) {
        if (rc != TESSEL_ERR_LIMIT)
            abort();
        tessel_cleanup();
        return 0; // what was read can grow past the size limit when written
    }
    tessel_cleanup();
    if (tessel_initialize(path.c_str()) != TESSEL_OK)
        abort(); // a saved file must load
    std::string after = snapshot();
    tessel_cleanup();
    if (before != after) {
        fprintf(stderr, "records changed by a save and a reload:\n%s---\n%s", before.c_str(),
                after.c_str());
        abort();
    }
    return 0;
}
