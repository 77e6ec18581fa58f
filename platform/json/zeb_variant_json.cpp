#include "zeb_variant_json.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace zeb_json {
namespace {

// Variants hold C texts: a NUL inside a JSON text would cut it short.
bool holdsNul(const std::string &text) {
    return text.find('\0') != std::string::npos;
}

// Records a NUL found at the value or member being converted; the callers
// on the way back up put their steps in front of fault->pointer.
bool nulAt(ConversionFault *fault, bool member, const std::string &step) {
    if (fault != nullptr) {
        fault->nul = true;
        fault->member = member;
        fault->pointer = step;
    }
    return false;
}

void stepBack(ConversionFault *fault, const std::string &step) {
    if (fault != nullptr && fault->nul)
        fault->pointer = step + fault->pointer;
}

template <typename J>
bool toVariant(const J &value, variant_t *out, int depth, ConversionFault *fault);

template <typename J>
bool arrayToVariant(const J &value, variant_t *out, int depth, ConversionFault *fault) {
    variant_list_t list;
    variant_list_initialize(&list);
    size_t position = 0;
    for (const J &element : value) {
        variant_t item;
        variant_initialize(&item, variant_type_unknown);
        variant_list_iterator_t *it = nullptr;
        if (toVariant(element, &item, depth + 1, fault))
            it = variant_list_iterator_createMove(&item);
        else
            stepBack(fault, pointerTo("", position));
        variant_cleanup(&item);
        if (it == nullptr || !variant_list_append(&list, it)) {
            variant_list_iterator_destroy(it);
            variant_list_cleanup(&list);
            return false;
        }
        ++position;
    }
    bool ok = variant_setListMove(out, &list);
    variant_list_cleanup(&list);
    return ok;
}

template <typename J>
bool objectToVariant(const J &value, variant_t *out, int depth, ConversionFault *fault) {
    variant_map_t map;
    variant_map_initialize(&map);
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (holdsNul(it.key())) {
            variant_map_cleanup(&map);
            return nulAt(fault, true, pointerTo("", it.key()));
        }
        variant_t item;
        variant_initialize(&item, variant_type_unknown);
        variant_map_iterator_t *entry = nullptr;
        if (toVariant(it.value(), &item, depth + 1, fault))
            entry = variant_map_iterator_createMove(it.key().c_str(), &item);
        else
            stepBack(fault, pointerTo("", it.key()));
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

template <typename J>
bool toVariant(const J &value, variant_t *out, int depth, ConversionFault *fault) {
    if (depth > ZEB_JSON_MAX_DEPTH)
        return false;
    switch (value.type()) {
    case J::value_t::null:
        variant_cleanup(out);
        return true;
    case J::value_t::boolean:
        return variant_setBool(out, value.template get<bool>());
    case J::value_t::number_integer:
        return variant_setInt64(out, value.template get<int64_t>());
    case J::value_t::number_unsigned: {
        uint64_t u = value.template get<uint64_t>();
        if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return variant_setInt64(out, static_cast<int64_t>(u));
        return variant_setUInt64(out, u);
    }
    case J::value_t::number_float:
        return variant_setDouble(out, value.template get<double>());
    case J::value_t::string: {
        const std::string &text = value.template get_ref<const std::string &>();
        return holdsNul(text) ? nulAt(fault, false, "") : variant_setChar(out, text.c_str());
    }
    case J::value_t::array:
        return arrayToVariant(value, out, depth, fault);
    case J::value_t::object:
        return objectToVariant(value, out, depth, fault);
    default:
        return false;
    }
}

template <typename J> bool convert(const J &value, variant_t *out, ConversionFault *fault) {
    if (out == nullptr)
        return false;
    variant_t result;
    variant_initialize(&result, variant_type_unknown);
    bool ok = false;
    try {
        ok = toVariant(value, &result, 0, fault) && variant_move(out, &result);
    } catch (const std::exception &) {
        ok = false;
    }
    variant_cleanup(&result);
    return ok;
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

bool jsonToVariant(const json &value, variant_t *out, ConversionFault *fault) {
    return convert(value, out, fault);
}

bool jsonToVariant(const Document &value, variant_t *out, ConversionFault *fault) {
    return convert(value, out, fault);
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

} // namespace zeb_json
