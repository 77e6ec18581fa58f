#include "zeb_sl_internal.h"

#include "keltrace/keltrace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>
#include <new>

namespace {

const char *const kZone = "sl";

// State of one zeb_loadDefinition, shared with the symbol resolver.
struct Loader {
    std::string definitionPath;
    std::string libraryPath;
    void *handle = nullptr;
    std::string openError; // dlerror() text when the plug-in did not open
};

std::string directoryOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The directory this library was loaded from: plug-ins built with the host
// sit beside it.
std::string hostLibraryDirectory() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&zeb_create), &info) == 0 || info.dli_fname == nullptr)
        return ".";
    return directoryOf(info.dli_fname);
}

bool isFile(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

// A relative name always gets a directory so that dlopen never searches the
// library path for it. A bare file name is looked for beside the definition,
// then beside the host's libraries.
std::string libraryPathFor(const std::string &definitionPath, const char *library) {
    if (library[0] == '/')
        return library;
    std::string besideDefinition = directoryOf(definitionPath) + "/" + library;
    if (std::strchr(library, '/') != nullptr || isFile(besideDefinition))
        return besideDefinition;
    std::string besideHost = hostLibraryDirectory() + "/" + library;
    return isFile(besideHost) ? besideHost : besideDefinition;
}

void *openLibrary(Loader &loader, const char *library) {
    if (library == nullptr || library[0] == '\0' || loader.handle != nullptr)
        return nullptr;
    loader.libraryPath = libraryPathFor(loader.definitionPath, library);
    loader.handle = dlopen(loader.libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (loader.handle == nullptr) {
        const char *why = dlerror();
        loader.openError = why != nullptr ? why : "unknown reason";
    }
    return loader.handle;
}

void *resolveSymbol(void *userData, const char *library, const char *symbol) {
    auto &loader = *static_cast<Loader *>(userData);
    try {
        if (symbol == nullptr)
            return openLibrary(loader, library);
        if (loader.handle == nullptr)
            return nullptr;
        return dlsym(loader.handle, symbol);
    } catch (...) {
        return nullptr;
    }
}

std::vector<object_t *> topLevelObjects(const datamodel_t *dm) {
    std::vector<object_t *> objects;
    for (object_t *o = datamodel_firstObject(dm); o != nullptr; o = object_nextSibling(o))
        objects.push_back(o);
    return objects;
}

// Removes what the definition added. The message of the failure stays: only
// failing calls change it.
void undoDefinition(zeb_t *context, const std::vector<object_t *> &before, Loader &loader) {
    uint32_t code = zeb_error;
    for (object_t *o : topLevelObjects(context->dm)) {
        if (std::find(before.begin(), before.end(), o) == before.end())
            datamodel_removeObject(o);
    }
    if (loader.handle != nullptr)
        dlclose(loader.handle);
    loader.handle = nullptr;
    zeb_error = code;
}

template <typename T> bool findEntryPoint(const Loader &loader, const char *name, T &entry) {
    entry = reinterpret_cast<T>(dlsym(loader.handle, name));
    if (entry == nullptr) {
        slFail(ZEB_ERROR_NOT_FOUND, "%s: plug-in %s does not export %s",
               loader.definitionPath.c_str(), loader.libraryPath.c_str(), name);
        return false;
    }
    return true;
}

bool startPlugin(zeb_t *context, Loader &loader) {
    zeb_plugin_initialize_t initialize = nullptr;
    zeb_plugin_cleanup_t cleanup = nullptr;
    if (!findEntryPoint(loader, "zeb_plugin_initialize", initialize) ||
        !findEntryPoint(loader, "zeb_plugin_cleanup", cleanup))
        return false;
    // Reserved first so that recording a started plug-in cannot fail.
    context->plugins.reserve(context->plugins.size() + 1);
    zeb_error = ZEB_ERROR_NONE;
    if (!initialize(context)) {
        std::string cause = zeb_error != ZEB_ERROR_NONE ? zeb_errorMessage() : "no reason given";
        slFail(ZEB_ERROR_REFUSED, "%s: plug-in %s failed to initialize (%s)",
               loader.definitionPath.c_str(), loader.libraryPath.c_str(), cause.c_str());
        return false;
    }
    context->plugins.push_back(ZebPlugin{loader.libraryPath, loader.handle, cleanup});
    return true;
}

bool loadDefinition(zeb_t *context, const char *path) {
    Loader loader;
    loader.definitionPath = path;
    std::vector<object_t *> before = topLevelObjects(context->dm);
    if (!datamodel_loadDefinition(context->dm, path, resolveSymbol, &loader)) {
        if (!loader.openError.empty())
            slFail(zeb_error, "%s: cannot load plug-in: %s", path, loader.openError.c_str());
        if (loader.handle != nullptr)
            dlclose(loader.handle);
        kelTraceZ(KELTRACE_LEVEL_ERROR, kZone, "%s", zeb_errorMessage());
        return false;
    }
    if (loader.handle == nullptr)
        return true;
    if (!startPlugin(context, loader)) {
        undoDefinition(context, before, loader);
        kelTraceZ(KELTRACE_LEVEL_ERROR, kZone, "%s", zeb_errorMessage());
        return false;
    }
    kelTraceZ(KELTRACE_LEVEL_NOTICE, kZone, "started plug-in %s", loader.libraryPath.c_str());
    return true;
}

} // namespace

void slFail(uint32_t code, const char *format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    zeb_setError(code, "%s", message);
}

bool slCheck(bool ok, const char *function) {
    if (!ok)
        slFail(ZEB_ERROR_INVALID_ARGUMENT, "%s: invalid argument", function);
    return ok;
}

zeb_t *zeb_create(void) {
    auto *context = new (std::nothrow) zeb;
    if (context == nullptr) {
        slFail(ZEB_ERROR_NO_MEMORY, "zeb_create: out of memory");
        return nullptr;
    }
    context->dm = datamodel_create();
    if (context->dm == nullptr) {
        delete context;
        return nullptr;
    }
    return context;
}

void zeb_destroy(zeb_t *context) {
    if (context == nullptr)
        return;
    for (auto it = context->plugins.rbegin(); it != context->plugins.rend(); ++it)
        it->cleanup();
    // No handler runs once the data model is gone, so the plug-ins' code can
    // go afterwards.
    datamodel_destroy(context->dm);
    for (auto it = context->plugins.rbegin(); it != context->plugins.rend(); ++it)
        dlclose(it->handle);
    delete context;
}

datamodel_t *zeb_datamodel(const zeb_t *context) {
    return slCheck(context != nullptr, __func__) ? context->dm : nullptr;
}

object_t *zeb_getObject(const zeb_t *context, const char *path, uint32_t flags) {
    if (!slCheck(context != nullptr && path != nullptr, __func__))
        return nullptr;
    return datamodel_getObject(context->dm, path, flags);
}

bool zeb_loadDefinition(zeb_t *context, const char *path) {
    if (!slCheck(context != nullptr && path != nullptr, __func__))
        return false;
    return slNoThrow(false, [&] { return loadDefinition(context, path); });
}

size_t zeb_pluginCount(const zeb_t *context) {
    return slCheck(context != nullptr, __func__) ? context->plugins.size() : 0;
}
