/*
 * System root: fixed absolute paths ("/cfg/system/phonebook.odl", ...) stay
 * as they are on the gateway; when the environment variable ZEB_SYSROOT names
 * a directory, every component prefixes such paths with it, so that a whole
 * system can run or be tested inside one directory.
 */
#ifndef ZEB_SYSROOT_H
#define ZEB_SYSROOT_H

#ifdef __cplusplus
extern "C" {
#endif

/* What follows is the library's interface, exported from it; the rest of
 * the library is hidden. */
#pragma GCC visibility push(default)

/* The path to use for `path`: ZEB_SYSROOT followed by `path` when the variable
 * is set and not empty and `path` is absolute, otherwise a copy of `path`. A
 * new text freed by the caller; null when path is null or memory runs out. */
char *sysroot_path(const char *path);

/* The file that `path`, a name given by a client, names inside the system
 * root (ZEB_SYSROOT, or "/" when it is unset or empty), as an absolute path
 * from the root to be given to sysroot_path. `path` is taken from the root
 * whether or not it begins with "/"; ".", ".." and symbolic links are
 * resolved as the system resolves them. The file need not exist, its
 * directory must. A new text freed by the caller; null with errno set when
 * the name resolves outside the root (EXDEV), cannot be resolved (the errno
 * of realpath) or memory runs out. */
char *sysroot_confine(const char *path);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
