#include "zeb/sysroot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

extern "C" char *sysroot_path(const char *path) {
    if (path == nullptr)
        return nullptr;
    const char *root = std::getenv("ZEB_SYSROOT");
    if (root == nullptr || *root == '\0' || path[0] != '/')
        return strdup(path);
    size_t rootLength = std::strlen(root);
    // "/tmp/root/" + "/cfg/x" must not give a double slash.
    while (rootLength > 1 && root[rootLength - 1] == '/')
        --rootLength;
    size_t pathLength = std::strlen(path);
    char *result = static_cast<char *>(std::malloc(rootLength + pathLength + 1));
    if (result == nullptr)
        return nullptr;
    std::memcpy(result, root, rootLength);
    std::memcpy(result + rootLength, path, pathLength + 1);
    return result;
}

namespace {

// The real path of an existing `path`, or empty with errno set.
std::string realPath(const std::string &path) {
    char *real = realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return std::string();
    std::string result = real;
    std::free(real);
    return result;
}

// `path` resolved; when its last component does not exist, its directory
// resolved and the last component appended. Empty with errno set when that
// cannot be done.
std::string resolve(const std::string &path) {
    std::string real = realPath(path);
    if (!real.empty() || errno != ENOENT)
        return real;
    size_t slash = path.find_last_of('/');
    std::string name = path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = ENOENT;
        return std::string();
    }
    std::string directory = realPath(slash == 0 ? "/" : path.substr(0, slash));
    if (directory.empty())
        return directory;
    return (directory == "/" ? "" : directory) + "/" + name;
}

char *confine(const char *path) {
    const char *root = std::getenv("ZEB_SYSROOT");
    std::string realRoot = realPath(root != nullptr && *root != '\0' ? root : "/");
    if (realRoot.empty())
        return nullptr;
    std::string resolved = resolve(realRoot + "/" + path);
    if (resolved.empty())
        return nullptr;
    if (realRoot == "/")
        return strdup(resolved.c_str());
    if (resolved == realRoot)
        return strdup("/");
    if (resolved.compare(0, realRoot.size(), realRoot) != 0 || resolved[realRoot.size()] != '/') {
        errno = EXDEV;
        return nullptr;
    }
    return strdup(resolved.c_str() + realRoot.size());
}

} // namespace

extern "C" char *sysroot_confine(const char *path) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    try {
        return confine(path);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return nullptr;
    }
}
