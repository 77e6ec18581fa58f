#include "httpd_users.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zebhttpd {

namespace {

constexpr size_t kMaxNameLength = 64;
constexpr size_t kMaxFileSize = 1024 * 1024;

bool nameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

bool parseLine(const std::string &line, User &user) {
    std::vector<std::string> fields = split(line, ':');
    if (fields.size() != 3 || !validUserName(fields[0]) || fields[1].empty())
        return false;
    user.name = fields[0];
    user.hash = fields[1];
    return parseRoles(fields[2], user.roles);
}

bool readLines(const std::string &path, std::vector<std::string> &lines, bool missingIsEmpty) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return missingIsEmpty && errno == ENOENT;
    std::string line;
    size_t total = 0;
    while (std::getline(file, line)) {
        total += line.size() + 1;
        if (total > kMaxFileSize)
            return false;
        lines.push_back(line);
    }
    return !file.bad();
}

// crypt_ra's answer for `setting`, "" on failure (libxcrypt answers "*..." then).
std::string hashWith(const std::string &password, const char *setting) {
    void *data = nullptr;
    int size = 0;
    const char *hash = crypt_ra(password.c_str(), setting, &data, &size);
    std::string result = hash != nullptr && hash[0] != '*' ? hash : "";
    if (data != nullptr) {
        std::memset(data, 0, static_cast<size_t>(size));
        std::free(data);
    }
    return result;
}

// A yescrypt hash of `password` with a new random salt; "" on failure.
std::string newHash(const std::string &password) {
    char *setting = crypt_gensalt_ra("$y$", 0, nullptr, 0);
    std::string hash = setting != nullptr ? hashWith(password, setting) : "";
    std::free(setting);
    return hash;
}

bool constantTimeEqual(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string directoryOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, const std::string &text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Gives the temporary file the owner of the file it replaces: root setting a
// password must leave the file readable by the service that owns it.
bool keepOwner(const std::string &path, int fd) {
    struct stat existing {};
    if (stat(path.c_str(), &existing) != 0)
        return errno == ENOENT;
    if (existing.st_uid == geteuid() && existing.st_gid == getegid())
        return true;
    return fchown(fd, existing.st_uid, existing.st_gid) == 0;
}

bool replaceFile(const std::string &path, const std::string &text, std::string &error) {
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot create a file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    bool written =
        fchmod(fd, 0600) == 0 && keepOwner(path, fd) && writeAll(fd, text) && fsync(fd) == 0;
    int writeErrno = errno;
    if (close(fd) != 0 && written) {
        written = false;
        writeErrno = errno;
    }
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(written ? errno : writeErrno);
        unlink(temporary.c_str());
        return false;
    }
    int dir = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = dir >= 0 && fsync(dir) == 0;
    if (dir >= 0)
        close(dir);
    if (!synced)
        error = "cannot flush the directory of " + path + ": " + std::strerror(errno);
    return synced;
}

std::string joinRoles(const std::vector<std::string> &roles) {
    std::string text;
    for (const std::string &role : roles)
        text += (text.empty() ? "" : ",") + role;
    return text;
}

} // namespace

bool validUserName(const std::string &name) {
    if (name.empty() || name.size() > kMaxNameLength)
        return false;
    for (char c : name) {
        if (!nameChar(c))
            return false;
    }
    return true;
}

bool parseRoles(const std::string &text, std::vector<std::string> &roles) {
    roles.clear();
    if (text.empty())
        return true;
    for (const std::string &role : split(text, ',')) {
        if (!validUserName(role))
            return false;
        roles.push_back(role);
    }
    return true;
}

bool findUser(const std::string &path, const std::string &name, User &user) {
    std::vector<std::string> lines;
    if (!readLines(path, lines, false))
        return false;
    for (const std::string &line : lines) {
        if (parseLine(line, user) && user.name == name)
            return true;
    }
    return false;
}

bool checkPassword(const User *user, const std::string &password) {
    // A hash of the default cost, made once, for unknown users.
    static const std::string dummy = newHash("unknown user");
    std::string hash = hashWith(password, user != nullptr ? user->hash.c_str() : dummy.c_str());
    return user != nullptr && !hash.empty() && constantTimeEqual(hash, user->hash);
}

bool setUser(const std::string &path, const std::string &name, const std::string &password,
             const std::vector<std::string> &roles, std::string &error) {
    std::vector<std::string> lines;
    if (!readLines(path, lines, true)) {
        error = "cannot read " + path;
        return false;
    }
    std::string hash = newHash(password);
    if (hash.empty()) {
        error = "cannot hash the password (libcrypt)";
        return false;
    }
    std::string entry = name + ":" + hash + ":" + joinRoles(roles);
    bool replaced = false;
    std::ostringstream text;
    for (const std::string &line : lines) {
        User user;
        bool same = parseLine(line, user) && user.name == name;
        text << (same ? entry : line) << '\n';
        replaced = replaced || same;
    }
    if (!replaced)
        text << entry << '\n';
    return replaceFile(path, text.str(), error);
}

} // namespace zebhttpd
