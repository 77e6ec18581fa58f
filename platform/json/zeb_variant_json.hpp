/*
 * Conversions between variants and JSON values (C++ only, never across a
 * plug-in boundary): the one mapping of the platform, used by zeb/json.h,
 * the data model's saved files, zeb-cli, zeb-httpd, phonebook-vcard and the
 * tests' host.
 *
 * JSON to variant: null -> empty, true/false -> bool, integers -> int64 (or
 * uint64 above INT64_MAX), other numbers -> double, strings -> string,
 * arrays -> list, objects -> map in the value's order (a json keeps the
 * document's order, a Document read by parse() sorts members by name).
 * Variant to JSON: empty -> null, date-times -> their text form
 * ("YYYY-MM-DDTHH:MM:SSZ"), numbers and booleans as such, lists -> arrays,
 * maps -> objects in map order (a key held twice keeps its first value).
 * Conversions fail (false) when memory runs out, a variant's type is unknown,
 * a double is not finite (JSON has no form for it), a JSON text or member
 * name holds a NUL character (a variant's text would end there) or nesting
 * is deeper than ZEB_JSON_MAX_DEPTH.
 */
#ifndef ZEB_VARIANT_JSON_HPP
#define ZEB_VARIANT_JSON_HPP

#include <string>

#include <nlohmann/json.hpp>

#include "zeb/variant.h"
#include "zeb_json_reader.hpp"

namespace zeb_json {

constexpr int ZEB_JSON_MAX_DEPTH = 64;

using json = nlohmann::ordered_json;

/* Where a conversion to a variant met a NUL character, for messages. */
struct ConversionFault {
    bool nul = false;    /* false: the failure was another one */
    bool member = false; /* in a member name, else in a text */
    std::string pointer; /* JSON pointer of the member or the text */
};

/* Replaces `out` (initialized) with the variant form of `value`; `out` is
 * unchanged on failure, and *fault, when not null, tells about a NUL. */
bool jsonToVariant(const json &value, variant_t *out, ConversionFault *fault = nullptr);
bool jsonToVariant(const Document &value, variant_t *out, ConversionFault *fault = nullptr);

/* The JSON form of `value`, into `out`. */
bool variantToJson(const variant_t *value, json &out);

/* Convenience for tests and tools: the JSON text of a variant ("null" on
 * failure). */
std::string variantToJsonText(const variant_t *value);

} // namespace zeb_json

#endif
