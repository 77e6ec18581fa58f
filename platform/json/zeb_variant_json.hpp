/*
 * Conversions between variants and JSON documents (C++ only; used by the CLI
 * and by tests, never across a plug-in boundary).
 *
 * JSON to variant: null -> empty, true/false -> bool, integers -> int64 (or
 * uint64 above INT64_MAX), other numbers -> double, strings -> string,
 * arrays -> list, objects -> map in document order.
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

#include <nlohmann/json.hpp>

#include "zeb/variant.h"

namespace zebjson {

constexpr int ZEB_JSON_MAX_DEPTH = 64;

using json = nlohmann::ordered_json;

/* Replaces `out` (initialized) with the variant form of `value`. */
bool jsonToVariant(const json &value, variant_t *out);

/* The JSON form of `value`, into `out`. */
bool variantToJson(const variant_t *value, json &out);

/* Convenience for tests and tools: the JSON text of a variant ("null" on
 * failure). */
std::string variantToJsonText(const variant_t *value);

} // namespace zebjson

#endif
