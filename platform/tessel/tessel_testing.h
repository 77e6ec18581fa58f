/*
 * Test seam of libtessel: the file operations that tessel_initialize and
 * tessel_save use, so that tests can make any step fail. Not part of the
 * public interface; production code never calls it.
 */
#ifndef TESSEL_TESTING_H
#define TESSEL_TESTING_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exported although not the interface: the tests of the plug-in reach it in
 * the same library that the plug-in uses. */
#pragma GCC visibility push(default)

/* Same contracts as the POSIX calls of the same names. */
typedef struct tessel_file_ops {
    int (*open)(const char *path, int flags, mode_t mode);
    ssize_t (*read)(int fd, void *buffer, size_t size);
    ssize_t (*write)(int fd, const void *buffer, size_t size);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
} tessel_file_ops_t;

/* Installs `ops` (copied); null restores the system calls. */
void tessel_setFileOps(const tessel_file_ops_t *ops);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
