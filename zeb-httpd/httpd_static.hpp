/*
 * Static files of the web page, served only from the document root.
 */
#ifndef ZEB_HTTPD_STATIC_HPP
#define ZEB_HTTPD_STATIC_HPP

#include <cstdint>
#include <string>

namespace zebhttpd {

struct StaticFile {
    int fd = -1; /* open for reading; the caller closes it */
    uint64_t size = 0;
    std::string contentType;
    std::string etag;         /* quoted, from the size and modification time */
    std::string lastModified; /* an HTTP date */
};

/* HTTP status of looking a file up: 200 with `file` filled, 404 when the
 * path names nothing servable (a "." or ".." segment, a NUL, no such file,
 * not a regular file), 403 when it resolves outside the root (a symbolic
 * link out). A path naming a directory serves its "index.html". `root` is
 * the document root as realpath gives it. */
int openStatic(const std::string &root, const std::string &urlPath, StaticFile &file);

/* The media type for a file name, by its extension; "application/octet-stream"
 * when unknown. */
const char *contentTypeOf(const std::string &name);

} // namespace zebhttpd

#endif
