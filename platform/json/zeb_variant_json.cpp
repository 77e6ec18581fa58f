#include "zeb_variant_json.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace zebjson {
namespace {

bool toVariant(const json &value, variant_t *out, int depth);

bool arrayToVariant(const json &value, variant_t *out, int depth) {
    variant_list_t list;
    variant_list_initialize(&list);
    for (const json &element : value) {
        variant_t item;
        variant_initialize(&item, variant_type_unknown);
        variant_list_iterator_t *it = nullptr;
        if (toVariant(element, &item, depth + 1))
            it = variant_list_iterator_createMove(&item);
        variant_cleanup(&item);
        if (it == nullptr || !variant_list_append(&list, it)) {
            variant_list_iterator_destroy(it);
            variant_list_cleanup(&list);
            return false;
        }
    }
    bool ok = variant_setListMove(out, &list);
    variant_list_cleanup(&list);
    return ok;
}

// Variants hold C texts: a NUL inside a JSON text would cut it short.
bool holdsNul(const std::string &text) {
    return text.find('\0') != std::string::npos;
}

bool objectToVariant(const json &value, variant_t *out, int depth) {
    variant_map_t map;
    variant_map_initialize(&map);
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (holdsNul(it.key())) {
            variant_map_cleanup(&map);
            return false;
        }
        variant_t item;
        variant_initialize(&item, variant_type_unknown);
        variant_map_iterator_t *entry = nullptr;
        if (toVariant(it.value(), &item, depth + 1))
            entry = variant_map_iterator_createMove(it.key().c_str(), &item);
        variant_cleanup(&item);
        if (entry == nullptr || !variant_map_append(&map, entry)) {
            variant_map_iterator_destroy(entry);
            variant_map_cleanup(&map);
            return false;
        }
    }
    bool ok = variant_setMapMove(out, &map);
    variant_map_cleanup(&map);
    return ok;
}

bool toVariant(const json &value, variant_t *out, int depth) {
    if (depth > ZEB_JSON_MAX_DEPTH)
        return false;
    switch (value.type()) {
    case json::value_t::null:
        variant_cleanup(out);
        return true;
    case json::value_t::boolean:
        return variant_setBool(out, value.get<bool>());
    case json::value_t::number_integer:
        return variant_setInt64(out, value.get<int64_t>());
    case json::value_t::number_unsigned: {
        uint64_t u = value.get<uint64_t>();
        if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return variant_setInt64(out, static_cast<int64_t>(u));
        return variant_setUInt64(out, u);
    }
    case json::value_t::number_float:
        return variant_setDouble(out, value.get<double>());
    case json::value_t::string: {
        const std::string &text = value.get_ref<const std::string &>();
        return !holdsNul(text) && variant_setChar(out, text.c_str());
    }
    case json::value_t::array:
        return arrayToVariant(value, out, depth);
    case json::value_t::object:
        return objectToVariant(value, out, depth);
    default:
        return false;
    }
}

bool toJson(const variant_t *value, json &out, int depth);

bool listToJson(const variant_list_t *list, json &out, int depth) {
    out = json::array();
    for (variant_list_iterator_t *it = variant_list_first(list); it != nullptr;
         it = variant_list_iterator_next(it)) {
        json element;
        if (!toJson(variant_list_iterator_data(it), element, depth + 1))
            return false;
        out.push_back(std::move(element));
    }
    return true;
}

bool mapToJson(const variant_map_t *map, json &out, int depth) {
    out = json::object();
    for (variant_map_iterator_t *it = variant_map_first(map); it != nullptr;
         it = variant_map_iterator_next(it)) {
        const char *key = variant_map_iterator_key(it);
        if (out.contains(key))
            continue;
        json element;
        if (!toJson(variant_map_iterator_data(it), element, depth + 1))
            return false;
        out[key] = std::move(element);
    }
    return true;
}

bool textToJson(const variant_t *value, json &out) {
    char *text = variant_char(value);
    if (text == nullptr)
        return false;
    out = std::string(text);
    std::free(text);
    return true;
}

bool toJson(const variant_t *value, json &out, int depth) {
    if (depth > ZEB_JSON_MAX_DEPTH)
        return false;
    switch (variant_type(value)) {
    case variant_type_unknown:
        out = nullptr;
        return true;
    case variant_type_string:
    case variant_type_date_time:
        return textToJson(value, out);
    case variant_type_bool:
        out = variant_bool(value);
        return true;
    case variant_type_int8:
    case variant_type_int16:
    case variant_type_int32:
    case variant_type_int64:
        out = variant_int64(value);
        return true;
    case variant_type_uint8:
    case variant_type_uint16:
    case variant_type_uint32:
    case variant_type_uint64:
        out = variant_uint64(value);
        return true;
    case variant_type_double:
        out = variant_double(value);
        return std::isfinite(variant_double(value));
    case variant_type_array:
        return listToJson(variant_da_list(value), out, depth);
    case variant_type_map:
        return mapToJson(variant_da_map(value), out, depth);
    }
    return false;
}

} // namespace

bool jsonToVariant(const json &value, variant_t *out) {
    if (out == nullptr)
        return false;
    variant_t result;
    variant_initialize(&result, variant_type_unknown);
    bool ok = false;
    try {
        ok = toVariant(value, &result, 0) && variant_move(out, &result);
    } catch (const std::exception &) {
        ok = false;
    }
    variant_cleanup(&result);
    return ok;
}

bool variantToJson(const variant_t *value, json &out) {
    try {
        return toJson(value, out, 0);
    } catch (const std::exception &) {
        return false;
    }
}

std::string variantToJsonText(const variant_t *value) {
    json out;
    if (!variantToJson(value, out))
        return "null";
    return out.dump();
}

} // namespace zebjson
