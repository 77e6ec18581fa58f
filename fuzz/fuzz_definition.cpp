// Definition documents: loading one must never crash or leak; a failed load
// leaves the data model as it was; what loads has a content (one instance
// per template) that saves, loads back into a fresh copy of the definition
// and saves again to the same bytes; and it loads once only.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "fuzz_support.hpp"
#include "keltrace/keltrace.h"
#include "zeb/dm.h"

namespace {

// What every input meets in the data model: a name it may clash with.
const char kBase[] = R"({"objects": [{"name": "Base", "multi-instance": true,
    "parameters": [{"name": "Value", "type": "string", "default": "base"}]}]})";

// Instances made per input, whatever the nesting of templates.
constexpr int kMaxInstances = 64;

datamodel_t *dm;
std::string dir;
std::vector<std::string> files;

void removeFiles() {
    for (const std::string &file : files)
        unlink(file.c_str());
    rmdir(dir.c_str());
}

void quiet(void *, int, const char *, const char *) {}

[[noreturn]] void broken(const char *what) {
    fprintf(stderr, "definition: %s (%s)\n", what, zeb_errorMessage());
    abort();
}

void describe(const object_t *object, std::string &out);

void describeChildren(const object_t *object, std::string &out) {
    for (object_t *child = object_firstChild(object); child != nullptr;
         child = object_nextSibling(child))
        describe(child, out);
    for (object_t *instance = object_firstInstance(object); instance != nullptr;
         instance = object_nextInstance(instance))
        describe(instance, out);
}

// Names, kinds, parameters with their values and functions of a subtree.
void describe(const object_t *object, std::string &out) {
    const char *key = object_name(object, OBJECT_FLAG_KEY);
    out += std::string(object_name(object, 0)) + "/" + (key != nullptr ? key : "-") +
           (object_isTemplate(object) ? "[]" : "") + "{";
    for (parameter_t *p = object_firstParameter(object); p != nullptr;
         p = object_nextParameter(p)) {
        char *value = variant_char(parameter_getValue(p));
        out += std::string(parameter_name(p)) + ":" + std::to_string(parameter_type(p)) + ":" +
               std::to_string(parameter_attributes(p)) + "=" + (value != nullptr ? value : "?") +
               ";";
        free(value);
    }
    for (function_t *f = object_firstFunction(object); f != nullptr; f = object_nextFunction(f)) {
        out += std::string(function_name(f)) + "(";
        for (size_t i = 0; i < function_argumentCount(f); ++i)
            out += std::string(function_argumentName(f, i)) + ",";
        out += ");";
    }
    describeChildren(object, out);
    out += "}";
}

std::string describeAll() {
    std::string out;
    for (object_t *object = datamodel_firstObject(dm); object != nullptr;
         object = object_nextSibling(object))
        describe(object, out);
    return out;
}

std::vector<object_t *> addedObjects() {
    std::vector<object_t *> added;
    for (object_t *object = datamodel_firstObject(dm); object != nullptr;
         object = object_nextSibling(object))
        if (strcmp(object_name(object, 0), "Base") != 0)
            added.push_back(object);
    return added;
}

void removeAdded() {
    for (object_t *object : addedObjects())
        if (!datamodel_removeObject(object))
            broken("an object of the definition could not be removed");
}

object_t *newInstance(object_t *templ) {
    object_t *instance = object_createInstance(templ, 0, nullptr);
    if (instance == nullptr)
        broken("a template of the definition refused an instance");
    return instance;
}

// One instance in each template that the subtree holds, breadth first: a
// template's children exist in its instances only.
void populate(object_t *top) {
    std::vector<object_t *> pending{object_isTemplate(top) ? newInstance(top) : top};
    int made = 1;
    for (size_t next = 0; next < pending.size(); ++next) {
        for (object_t *child = object_firstChild(pending[next]); child != nullptr;
             child = object_nextSibling(child)) {
            if (!object_isTemplate(child))
                pending.push_back(child);
            else if (made++ < kMaxInstances)
                pending.push_back(newInstance(child));
        }
    }
    if (!object_commit(top))
        broken("the instances could not be committed");
}

std::string fileFor(size_t position) {
    while (files.size() <= position)
        files.push_back(dir + "/" + std::to_string(files.size()) + ".save");
    return files[position];
}

// Knows the plug-in, no symbol in it.
void *refuseSymbols(void *, const char *, const char *symbol) {
    static int prepared;
    return symbol == nullptr ? &prepared : nullptr;
}

bool load(const std::string &text, datamodel_symbol_resolver_t resolver) {
    zeb_error = ZEB_ERROR_NONE;
    return datamodel_loadDefinitionText(dm, text.c_str(), "fuzz.json", resolver, nullptr);
}

void expectFailureLeftNothing(const std::string &before) {
    if (zeb_error == ZEB_ERROR_NONE)
        broken("a failed load set no error");
    if (describeAll() != before)
        broken("a failed load left a change behind");
}

// Saves the content of what the loaded definition made, removes it, loads
// the saved content into the definition loaded again, and checks that it
// comes back the same.
void saveAndReload(const std::string &text, const std::string &base) {
    std::vector<object_t *> added = addedObjects();
    for (object_t *object : added)
        populate(object);
    std::string populated = describeAll();
    std::vector<std::string> saved;
    for (size_t i = 0; i < added.size(); ++i) {
        if (!datamodel_save(added[i], -1, fileFor(i).c_str(), 0))
            broken("what the definition made did not save");
        saved.push_back(fuzzsupport::contentOf(fileFor(i)));
    }
    removeAdded();
    if (describeAll() != base)
        broken("removing the definition's objects left a change behind");
    if (!load(text, nullptr))
        broken("the definition did not load a second time");
    for (size_t i = 0; i < added.size(); ++i)
        if (!datamodel_load(dm, fileFor(i).c_str(), 0))
            broken("a saved content did not load");
    if (describeAll() != populated) {
        fprintf(stderr, "%s\n---\n%s\n", populated.c_str(), describeAll().c_str());
        broken("a saved content loaded back different");
    }
    added = addedObjects();
    for (size_t i = 0; i < added.size(); ++i) {
        if (!datamodel_save(added[i], -1, fileFor(i).c_str(), 0))
            broken("a reloaded content did not save");
        if (fuzzsupport::contentOf(fileFor(i)) != saved[i])
            broken("a reloaded content saved different bytes");
    }
    removeAdded();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    unsetenv("ZEB_SYSROOT");
    kelTraceSetSink(quiet, nullptr);
    dm = datamodel_create();
    if (dm == nullptr || !datamodel_loadDefinitionText(dm, kBase, "base.json", nullptr, nullptr))
        abort();
    dir = fuzzsupport::makeTempDir("fuzz-definition");
    atexit(removeFiles);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The loader reads a C text: it ends at the first NUL.
    std::string text(reinterpret_cast<const char *>(data),
                     strnlen(reinterpret_cast<const char *>(data), size));
    const std::string base = describeAll();

    if (!load(text, nullptr)) {
        expectFailureLeftNothing(base);
        return 0;
    }
    if (!addedObjects().empty()) {
        std::string loaded = describeAll();
        if (load(text, nullptr) || zeb_error != ZEB_ERROR_DUPLICATE)
            broken("a definition loaded twice");
        expectFailureLeftNothing(loaded);
    }
    saveAndReload(text, base);

    // Bindings the plug-in does not have fail the load and leave nothing.
    if (load(text, refuseSymbols))
        removeAdded();
    else
        expectFailureLeftNothing(base);
    if (describeAll() != base)
        broken("the data model did not come back to its base");
    return 0;
}
