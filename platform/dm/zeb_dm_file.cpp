#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "zeb/sysroot.h"
#include "zeb_dm_file.h"
#include "zeb_dm_json.h"

namespace {

int systemOpen(const char *path, int flags, mode_t mode) {
    return open(path, flags, mode);
}

const zeb_dm_file_ops_t kSystemOps = {systemOpen, write, fsync, close, rename, unlink, read};
zeb_dm_file_ops_t currentOps = kSystemOps;

std::string directoryOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

/* A block is written once it holds this much: what a save holds of its text. */
constexpr size_t kBlockSize = 32u * 1024u;

bool writeAll(int fd, const char *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = currentOps.write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ioFailure(const char *step, const std::string &path) {
    return zeb_dm::fail(ZEB_ERROR_IO, "%s %s: %s", step, path.c_str(), strerror(errno));
}

bool flushDirectory(const std::string &directory) {
    int fd = currentOps.open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        return ioFailure("cannot open directory", directory);
    }
    bool ok = currentOps.fsync(fd) == 0 || ioFailure("cannot flush directory", directory);
    currentOps.close(fd);
    return ok;
}

} // namespace

namespace zeb_dm {

const zeb_dm_file_ops_t &fileOps() {
    return currentOps;
}

FileReplacement::FileReplacement(const std::string &path, size_t limit)
    : path_(path), temporary_(path + ".tmp"), limit_(limit) {}

FileReplacement::~FileReplacement() {
    discard();
}

bool FileReplacement::open() {
    fd_ = currentOps.open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        failed_ = true;
        return ioFailure("cannot create", temporary_);
    }
    block_.reserve(kBlockSize);
    return true;
}

void FileReplacement::append(const char *data, size_t size) {
    size_ += size;
    if (failed_ || size_ > limit_) {
        return;
    }
    if (block_.size() + size > kBlockSize && !flush()) {
        return;
    }
    if (size < kBlockSize) {
        block_.append(data, size);
    } else if (!writeAll(fd_, data, size)) {
        failed_ = true;
        ioFailure("cannot write", temporary_);
    }
}

bool FileReplacement::flush() {
    if (!failed_ && !writeAll(fd_, block_.data(), block_.size())) {
        failed_ = true;
        ioFailure("cannot write", temporary_);
    }
    block_.clear();
    return !failed_;
}

/* Closes and removes the temporary file, keeping the failure's message. */
bool FileReplacement::discard() {
    if (fd_ >= 0) {
        currentOps.close(fd_);
        fd_ = -1;
        currentOps.unlink(temporary_.c_str());
    }
    return false;
}

bool FileReplacement::finish() {
    if (size_ > limit_) {
        discard();
        return fail(ZEB_ERROR_LIMIT, "%s: %zu bytes is more than a load accepts (%zu)",
                    path_.c_str(), size_, limit_);
    }
    if (fd_ < 0 || !flush()) {
        return discard();
    }
    if (currentOps.fsync(fd_) != 0) {
        ioFailure("cannot flush", temporary_);
        return discard();
    }
    int fd = fd_;
    fd_ = -1;
    if (currentOps.close(fd) != 0) {
        ioFailure("cannot close", temporary_);
        currentOps.unlink(temporary_.c_str());
        return false;
    }
    if (currentOps.rename(temporary_.c_str(), path_.c_str()) != 0) {
        ioFailure("cannot rename over", path_);
        currentOps.unlink(temporary_.c_str());
        return false;
    }
    return flushDirectory(directoryOf(path_));
}

bool readSavedFile(const std::string &path, std::string &text) {
    const zeb_json::FileCalls calls = {currentOps.open, currentOps.read, currentOps.close};
    zeb_json::Problem problem;
    return zeb_json::readFile(path, kMaxFileSize, text, &problem, &calls) ||
           fail(problem.code, "%s", problem.message.c_str());
}

bool resolvePath(const char *path, std::string &resolved) {
    char *full = sysroot_path(path);
    if (!full) {
        return fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    }
    resolved = full;
    free(full);
    return true;
}

} // namespace zeb_dm

extern "C" void zeb_dm_setFileOps(const zeb_dm_file_ops_t *ops) {
    currentOps = ops ? *ops : kSystemOps;
}
