#include "httpd_static.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zebhttpd {

namespace {

struct ContentType {
    const char *extension;
    const char *type;
};

const ContentType kContentTypes[] = {
    {".html", "text/html; charset=utf-8"},
    {".htm", "text/html; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".mjs", "text/javascript; charset=utf-8"},
    {".json", "application/json"},
    {".txt", "text/plain; charset=utf-8"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},
    {".ico", "image/x-icon"},
    {".webp", "image/webp"},
    {".woff2", "font/woff2"},
    {".vcf", "text/vcard; charset=utf-8"},
};

// Segments "." and ".." are refused before anything is resolved, whatever
// the file system would make of them.
bool plainPath(const std::string &path) {
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos)
        return false;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string segment = path.substr(start, end - start);
        if (segment == "." || segment == "..")
            return false;
        start = end + 1;
    }
    return true;
}

bool inside(const std::string &root, const std::string &resolved) {
    return resolved == root || (resolved.compare(0, root.size(), root) == 0 &&
                                (root == "/" || resolved[root.size()] == '/'));
}

std::string httpDate(time_t when) {
    char text[64];
    struct tm utc;
    gmtime_r(&when, &utc);
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return text;
}

} // namespace

const char *contentTypeOf(const std::string &name) {
    for (const ContentType &t : kContentTypes) {
        size_t n = std::strlen(t.extension);
        if (name.size() > n && strcasecmp(name.c_str() + name.size() - n, t.extension) == 0)
            return t.type;
    }
    return "application/octet-stream";
}

int openStatic(const std::string &root, const std::string &urlPath, StaticFile &file) {
    if (!plainPath(urlPath))
        return 404;
    std::string wanted = root + urlPath;
    char resolved[PATH_MAX];
    if (realpath(wanted.c_str(), resolved) == nullptr)
        return 404;
    std::string path = resolved;
    if (!inside(root, path))
        return 403;
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return urlPath.back() == '/' ? openStatic(root, urlPath + "index.html", file) : 404;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 404;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return 404;
    }
    char etag[64];
    std::snprintf(etag, sizeof etag, "\"%llx-%llx\"", static_cast<unsigned long long>(info.st_size),
                  static_cast<unsigned long long>(info.st_mtim.tv_sec) * 1000000000ull +
                      static_cast<unsigned long long>(info.st_mtim.tv_nsec));
    file.fd = fd;
    file.size = static_cast<uint64_t>(info.st_size);
    file.contentType = contentTypeOf(path);
    file.etag = etag;
    file.lastModified = httpDate(info.st_mtim.tv_sec);
    return 200;
}

} // namespace zebhttpd
