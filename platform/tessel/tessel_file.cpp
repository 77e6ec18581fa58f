#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tessel_internal.h"
#include "tessel_testing.h"

namespace {

int systemOpen(const char *path, int flags, mode_t mode) {
    return open(path, flags, mode);
}

const tessel_file_ops_t kSystemOps = {systemOpen, read, write, fsync, close, rename, unlink};
tessel_file_ops_t ops = kSystemOps;

std::string failure(const char *step, const std::string &path) {
    return std::string(step) + " " + path + ": " + strerror(errno);
}

std::string directoryOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

/* Reads to the end of the file, at most one byte more than a file may hold. */
int readAll(int fd, const std::string &path, std::string &text, std::string &why) {
    char buffer[16384];
    while (true) {
        ssize_t n = ops.read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = failure("cannot read", path);
            return TESSEL_ERR_UNREADABLE;
        }
        if (n == 0)
            return TESSEL_OK;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > TESSEL_MAX_FILE_SIZE) {
            why = path + ": larger than " + std::to_string(TESSEL_MAX_FILE_SIZE) + " bytes";
            return TESSEL_ERR_INVALID;
        }
    }
}

bool writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ops.write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

/* Writes and flushes the temporary file; false after removing it. */
bool writeTemporary(const std::string &temporary, const std::string &text, mode_t mode,
                    std::string &why) {
    /* O_NOFOLLOW: a link planted at the temporary name is not followed. */
    int fd =
        ops.open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        why = failure("cannot create", temporary);
        return false;
    }
    /* The file keeps its permissions whatever the process's umask. */
    fchmod(fd, mode);
    bool ok = writeAll(fd, text) || (why = failure("cannot write", temporary), false);
    ok = ok && (ops.fsync(fd) == 0 || (why = failure("cannot flush", temporary), false));
    bool closed = ops.close(fd) == 0;
    ok = ok && (closed || (why = failure("cannot close", temporary), false));
    if (!ok)
        ops.unlink(temporary.c_str());
    return ok;
}

} // namespace

namespace tessel {

int readFile(const std::string &path, std::string &text, mode_t &mode, std::string &why) {
    text.clear();
    /* O_NONBLOCK: opening a FIFO must not hang; it is refused below. */
    int fd = ops.open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
    if (fd < 0) {
        if (errno == ENOENT)
            return TESSEL_MISSING;
        why = failure("cannot open", path);
        return TESSEL_ERR_UNREADABLE;
    }
    struct stat info;
    int result;
    if (fstat(fd, &info) != 0) {
        why = failure("cannot inspect", path);
        result = TESSEL_ERR_UNREADABLE;
    } else if (!S_ISREG(info.st_mode)) {
        why = path + ": not a regular file";
        result = TESSEL_ERR_UNREADABLE;
    } else if (static_cast<uint64_t>(info.st_size) > TESSEL_MAX_FILE_SIZE) {
        why = path + ": larger than " + std::to_string(TESSEL_MAX_FILE_SIZE) + " bytes";
        result = TESSEL_ERR_INVALID;
    } else {
        mode = info.st_mode & 07777;
        result = readAll(fd, path, text, why);
    }
    ops.close(fd);
    return result;
}

bool replaceFile(const std::string &path, const std::string &text, mode_t mode, std::string &why) {
    std::string temporary = path + ".tmp";
    if (!writeTemporary(temporary, text, mode, why))
        return false;
    if (ops.rename(temporary.c_str(), path.c_str()) != 0) {
        why = failure("cannot rename over", path);
        ops.unlink(temporary.c_str());
        return false;
    }
    std::string directory = directoryOf(path);
    int fd = ops.open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        why = failure("cannot open directory", directory);
        return false;
    }
    bool flushed =
        ops.fsync(fd) == 0 || (why = failure("cannot flush directory", directory), false);
    ops.close(fd);
    return flushed;
}

} // namespace tessel

extern "C" void tessel_setFileOps(const tessel_file_ops_t *fileOps) {
    ops = fileOps != nullptr ? *fileOps : kSystemOps;
}
