/*
 * JSON files written by people, read into variants with the limits, checks
 * and positions of the data model's own file readers: for the configuration
 * files of programs built on this platform (the daemon's access rules).
 *
 * Failure rules: false or null with zeb_error and zeb_errorMessage() set
 * (zeb/dm.h); a message about a text starts "<name>:<line>:<column>: "
 * (lines and columns from 1, columns in bytes) where a position is known.
 * Ownership: variants are initialized and cleaned up by the caller; returned
 * texts are new and freed by the caller with free().
 * Null arguments fail with ZEB_ERROR_INVALID_ARGUMENT, except where said.
 */
#ifndef ZEB_JSON_H
#define ZEB_JSON_H

#include <stdbool.h>
#include <stddef.h>

#include "zeb/variant.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What follows is the library's interface, exported from it; the rest of
 * the library is hidden. */
#pragma GCC visibility push(default)

/* Reads the whole regular file at `path`, of at most `maxSize` bytes, into
 * a new NUL-terminated text *text of *size bytes. Fails with
 * ZEB_ERROR_NOT_FOUND (no such file), ZEB_ERROR_LIMIT (larger) or
 * ZEB_ERROR_IO. */
bool zeb_json_readFile(const char *path, size_t maxSize, char **text, size_t *size);

/* Parses the `size` bytes of `text` as one JSON document into `out`: null
 * gives the empty variant, booleans bool, integers int64 (uint64 above
 * INT64_MAX), other numbers double, strings string, arrays lists and objects
 * maps, their members in name order. Refused (ZEB_ERROR_INVALID_FILE or
 * ZEB_ERROR_LIMIT, `out` unchanged): anything but one JSON value, nesting
 * deeper than 32 levels, a text or name longer than 64 KiB or holding a NUL
 * character, a member name twice in one object. `name` names the text in
 * messages. */
bool zeb_json_parse(const char *text, size_t size, const char *name, variant_t *out);

/* "<name>:<line>:<column>" of the member or element that the JSON pointer
 * `pointer` ("" for the whole document, "/rules/0/user") names in `text`:
 * where a member's name starts, or an element's value; `name` alone when
 * there is none. Null when memory runs out. */
char *zeb_json_where(const char *text, size_t size, const char *name, const char *pointer);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
