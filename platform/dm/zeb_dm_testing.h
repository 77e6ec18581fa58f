/*
 * Test seam of libzeb_dm: the file operations that datamodel_save and
 * datamodel_load use (load: open, read, close, and rename to set a file aside), so that tests can
 * make any step fail, and the choice of the reader a load uses. Not part of the public interface;
 * production code never calls it.
 */
#ifndef ZEB_DM_TESTING_H
#define ZEB_DM_TESTING_H

#include <stdbool.h>
#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exported although not the interface: the tests of the plug-in reach it in
 * the same library that the plug-in uses. */
#pragma GCC visibility push(default)

/* Same contracts as the POSIX calls of the same names. */
typedef struct zeb_dm_file_ops {
    int (*open)(const char *path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void *buffer, size_t size);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
    ssize_t (*read)(int fd, void *buffer, size_t size); /* datamodel_load */
} zeb_dm_file_ops_t;

/* Installs `ops` (copied); null restores the system calls. */
void zeb_dm_setFileOps(const zeb_dm_file_ops_t *ops);

/* True: datamodel_load reads every file through the whole-document reader,
 * which the streaming reader otherwise hands only the files it does not take
 * (the reference of the streaming reader's results). */
void zeb_dm_setDocumentLoad(bool on);

/* How many loads the streaming reader has read so far. */
unsigned zeb_dm_streamedLoads(void);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
