/*
 * JSON reading shared by the definition and saved-data readers: parsing with
 * limits for hostile input, and positions (line and column) for messages.
 */
#ifndef ZEB_DM_JSON_H
#define ZEB_DM_JSON_H

#include <cstddef>
#include <string>

#include "zeb_json_reader.hpp"

#include "zeb_dm_internal.h"

namespace zeb_dm {

/* Documents read: members in sorted maps (arrays keep their order). */
using Json = zeb_json::Document;

/* A saved phonebook of 50 000 contacts takes about 37 MB: the bound leaves
 * room for that, so that no phonebook the limits allow goes unsaved. */
constexpr size_t kMaxFileSize = 64u * 1024u * 1024u;
using zeb_json::kMaxDepth;
using zeb_json::kMaxStringLength;
constexpr size_t kMaxInstances = 100000u;

/* A problem found in a document: `pointer` (a JSON pointer, "" for the
 * whole document) tells where; the reader turns it into line and column. */
struct DocumentError {
    uint32_t code;
    std::string pointer;
    std::string message;
};

[[noreturn]] ZEB_DM_INTERNAL void throwAt(uint32_t code, const std::string &pointer,
                                          const char *format, ...)
    __attribute__((format(printf, 3, 4)));

using zeb_json::pointerTo;

/* Parses `text` into `out`, enforcing the depth and string limits and
 * refusing duplicate member names. False with zeb_error set and a message
 * "<name>:<line>:<column>: ..." on failure. */
ZEB_DM_INTERNAL bool parseDocument(const std::string &text, const std::string &name, Json &out);

/* Sets zeb_error from `error`, locating its pointer in `text`. */
ZEB_DM_INTERNAL bool failAt(const DocumentError &error, const std::string &text,
                            const std::string &name);

/* Reads a whole file of at most kMaxFileSize bytes. False with zeb_error set
 * (ZEB_ERROR_NOT_FOUND, ZEB_ERROR_IO or ZEB_ERROR_LIMIT). */
ZEB_DM_INTERNAL bool readFile(const std::string &path, std::string &text);

/* A JSON scalar of a definition or saved file as a variant of its own kind,
 * as the streamed reader makes it too (every unsigned integer a uint64), before
 * its conversion to the parameter's type; false for null, arrays and
 * objects. */
ZEB_DM_INTERNAL bool scalarToVariant(const Json &value, variant_t *out);

/* True when a saved file can hold the text and give it back as it is: at most
 * kMaxStringLength bytes of well-formed UTF-8 (the saver would replace other
 * bytes, and the loader refuses longer texts with the whole file). Otherwise
 * false with zeb_error set, ZEB_ERROR_LIMIT or ZEB_ERROR_TYPE; `what` names
 * the text in the message. */
ZEB_DM_INTERNAL bool storableText(const char *text, size_t size, const std::string &what);

/* The JSON kind's name for messages ("string", "number", ...). */
ZEB_DM_INTERNAL const char *kindName(const Json &value);

} // namespace zeb_dm

#endif
