/*
 * JSON documents read from files that may be hostile: parsing with limits on
 * depth and text length, duplicate member names refused, and positions (line
 * and column) for messages. Used by the data model's definition and
 * saved-data readers and by zeb/json.h (through which zebd and zeb-httpd
 * read their access rules); nothing here throws.
 */
#ifndef ZEB_JSON_READER_HPP
#define ZEB_JSON_READER_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

#include <nlohmann/json.hpp>

namespace zeb_json {

/* Documents read: members in sorted maps (arrays keep their order). */
using Document = nlohmann::json;

constexpr int kMaxDepth = 32;
constexpr size_t kMaxStringLength = 64u * 1024u;

/* What went wrong: a ZEB_ERROR_* code of zeb/error.h, the byte offset in the
 * text where it was found (reading: unused), and a message without position. */
struct Problem {
    uint32_t code = 0;
    size_t offset = 0;
    std::string message;
};

/* Parses `text` into `out`, enforcing kMaxDepth and kMaxStringLength and
 * refusing duplicate member names. False with *problem filled on failure
 * (ZEB_ERROR_INVALID_FILE or ZEB_ERROR_LIMIT). */
bool parse(const std::string &text, Document &out, Problem *problem);

/* "<name>:<line>:<column>" for a byte offset of `text` (1-based line and
 * column; columns count bytes). */
std::string located(const std::string &name, const std::string &text, size_t offset);

/* Where the member or element at a JSON pointer starts in `text` (for a
 * member, the start of its name); std::string::npos when it is not there. */
size_t locate(const std::string &text, const std::string &pointer);

/* `pointer` extended by a member name or an array position. */
std::string pointerTo(const std::string &pointer, const std::string &member);
std::string pointerTo(const std::string &pointer, size_t position);

/* The system calls with which readFile opens, reads and closes the file; a
 * library that reads through it may pass its own (its test seam). Same
 * contracts as the POSIX calls of the same names. */
struct FileCalls {
    int (*open)(const char *path, int flags, mode_t mode);
    ssize_t (*read)(int fd, void *buffer, size_t size);
    int (*close)(int fd);
};

/* Reads a whole regular file of at most `maxSize` bytes into `text`, through
 * `calls` (null: the system's). False with *problem filled:
 * ZEB_ERROR_NOT_FOUND when it does not exist, ZEB_ERROR_IO when it exists but
 * cannot be read (permission, I/O error, not a regular file), or
 * ZEB_ERROR_LIMIT; the message names the path and the reason. */
bool readFile(const std::string &path, size_t maxSize, std::string &text, Problem *problem,
              const FileCalls *calls = nullptr);

} // namespace zeb_json

#endif
