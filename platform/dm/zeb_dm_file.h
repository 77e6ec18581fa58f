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

/* Writes a file as its text is produced, in blocks of a bounded size, so
 * that a crash at any moment leaves either the old or the new complete file:
 * a temporary file "<path>.tmp" in the same directory, flushed, renamed over
 * `path` by finish(), then the directory flushed. The temporary file is
 * removed when a step before the rename fails, and when the writer goes away
 * unfinished. Text beyond `limit` bytes is counted, not written, and makes
 * finish() fail with ZEB_ERROR_LIMIT. */
class FileReplacement {
  public:
    FileReplacement(const std::string &path, size_t limit);
    ~FileReplacement();
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;

    /* Creates the temporary file. False with zeb_error set. */
    bool open();
    void append(const char *data, size_t size);
    void append(const std::string &text) { append(text.data(), text.size()); }
    /* Bytes appended so far, written or not. */
    size_t size() const { return size_; }
    /* Writes what is left, then replaces `path`. False with zeb_error set:
     * ZEB_ERROR_LIMIT, or ZEB_ERROR_IO naming the step that failed. */
    bool finish();

  private:
    bool flush();
    bool discard();

    std::string path_;
    std::string temporary_;
    size_t limit_;
    size_t size_ = 0;
    std::string block_;
    int fd_ = -1;
    bool failed_ = false;
};

/* Reads a saved file of at most kMaxFileSize bytes through the file steps.
 * False with zeb_error set: ZEB_ERROR_NOT_FOUND when it does not exist,
 * ZEB_ERROR_IO when it exists but cannot be read, ZEB_ERROR_LIMIT. */
ZEB_DM_INTERNAL bool readSavedFile(const std::string &path, std::string &text);

/* The path given to datamodel_save/datamodel_load, resolved with sysroot_path. */
ZEB_DM_INTERNAL bool resolvePath(const char *path, std::string &resolved);

} // namespace zeb_dm

#endif
