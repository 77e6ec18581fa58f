// Saved data files against the phonebook's data model: loading must never
// crash or leak, whatever the file holds, and what loads must save, load
// again and save to the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "fuzz_support.hpp"
#include "keltrace/keltrace.h"
#include "zeb/dm.h"

namespace {

datamodel_t *dm;
object_t *phonebook;
variant_t maxEntries; // the singleton value every input starts from
std::string dir;
std::string path;
std::string saved;
std::string resaved;

void removeFiles() {
    unlink(path.c_str());
    unlink(saved.c_str());
    unlink(resaved.c_str());
    rmdir(dir.c_str());
}

void quiet(void *, int, const char *, const char *) {}

// Back to the state after the definition: no instance, default values.
// Loads give every instance its index, so the template's next free index,
// the one thing that stays behind, does not matter.
void reset() {
    object_t *entries = object_getObject(phonebook, "Entry", 0, nullptr);
    for (object_t *entry = object_firstInstance(entries); entry != nullptr;
         entry = object_nextInstance(entry))
        object_delete(entry);
    if (!object_parameterSetValue(phonebook, "MaxNumberOfEntries", &maxEntries) ||
        !object_commit(phonebook) || object_instanceCount(entries) != 0)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    unsetenv("ZEB_SYSROOT");
    kelTraceSetSink(quiet, nullptr);
    // Without a resolver the plug-in is not needed: handlers stay unset.
    dm = datamodel_create();
    if (dm == nullptr || !datamodel_loadDefinition(dm, PHONEBOOK_DEFINITION, nullptr, nullptr))
        abort();
    phonebook = datamodel_getObject(dm, "Phonebook", 0);
    variant_initialize(&maxEntries, variant_type_unknown);
    if (!variant_copy(&maxEntries, object_parameterValue(phonebook, "MaxNumberOfEntries")))
        abort();
    dir = fuzzsupport::makeTempDir("fuzz-dm");
    path = dir + "/phonebook.save";
    saved = dir + "/saved";
    resaved = dir + "/resaved";
    atexit(removeFiles);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzsupport::writeInput(path, data, size);
    bool loaded = datamodel_load(dm, path.c_str(), 0);
    // An invalid file was renamed aside; drop it so the directory stays empty.
    unlink((path + ".invalid").c_str());
    if (loaded) {
        if (!datamodel_save(phonebook, -1, saved.c_str(), 0))
            abort();
        reset();
        if (!datamodel_load(dm, saved.c_str(), 0) ||
            !datamodel_save(phonebook, -1, resaved.c_str(), 0))
            abort();
        if (fuzzsupport::contentOf(saved) != fuzzsupport::contentOf(resaved)) {
            fprintf(stderr, "a save and a reload changed the data:\n%s\n---\n%s\n",
                    fuzzsupport::contentOf(saved).c_str(), fuzzsupport::contentOf(resaved).c_str());
            abort();
        }
    }
    reset();
    return 0;
}
