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

bool writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = currentOps.write(fd, text.data() + done, text.size() - done);
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

/* Writes and flushes the temporary file; false after removing it. */
bool writeTemporary(const std::string &temporary, const std::string &text) {
    int fd = currentOps.open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return ioFailure("cannot create", temporary);
    }
    bool ok = writeAll(fd, text) || ioFailure("cannot write", temporary);
    ok = ok && (currentOps.fsync(fd) == 0 || ioFailure("cannot flush", temporary));
    bool closed = currentOps.close(fd) == 0;
    ok = ok && (closed || ioFailure("cannot close", temporary));
    if (!ok) {
        currentOps.unlink(temporary.c_str());
    }
    return ok;
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

bool replaceFile(const std::string &path, const std::string &text) {
    std::string temporary = path + ".tmp";
    if (!writeTemporary(temporary, text)) {
        return false;
    }
    if (currentOps.rename(temporary.c_str(), path.c_str()) != 0) {
        ioFailure("cannot rename over", path);
        currentOps.unlink(temporary.c_str());
        return false;
    }
    return flushDirectory(directoryOf(path));
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
