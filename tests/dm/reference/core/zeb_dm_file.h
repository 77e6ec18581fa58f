/*
 * File steps of the saved-data reader and writer, replaceable by tests
 * (zeb_dm_testing.h).
 */
#ifndef ZEB_DM_FILE_H
#define ZEB_DM_FILE_H

#include <string>

#include "zeb_dm_internal.h"
#include "zeb_dm_testing.h"

namespace zeb_dm {

ZEB_DM_INTERNAL const zeb_dm_file_ops_t &fileOps();

/* Writes `text` to `path` so that a crash at any moment leaves either the old
 * or the new complete file: a temporary file "<path>.tmp" in the same
 * directory, flushed, renamed over `path`, then the directory flushed. The
 * temporary file is removed when a step before the rename fails. */
ZEB_DM_INTERNAL bool replaceFile(const std::string &path, const std::string &text);

/* Reads a saved file of at most kMaxFileSize bytes through the file steps.
 * False with zeb_error set: ZEB_ERROR_NOT_FOUND when it does not exist,
 * ZEB_ERROR_IO when it exists but cannot be read, ZEB_ERROR_LIMIT. */
ZEB_DM_INTERNAL bool readSavedFile(const std::string &path, std::string &text);

/* The path given to datamodel_save/datamodel_load, resolved with sysroot_path. */
ZEB_DM_INTERNAL bool resolvePath(const char *path, std::string &resolved);

} // namespace zeb_dm

#endif
