#include "zeb/sysroot.h"

#include <cstdlib>
#include <cstring>

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
