/*
 * Protocol messages as the client library and the daemon build and read them
 * (C++, header-only, private to the bus; docs/wire-protocol.md is the
 * reference for third-party clients).
 */
#ifndef ZEB_BUS_MESSAGE_HPP
#define ZEB_BUS_MESSAGE_HPP

#include <cstdint>
#include <string>

#include "zeb/error.h"
#include "zeb/variant.h"

namespace zeb_bus {

/* Field names. */
constexpr const char *kId = "id";
constexpr const char *kOp = "op";
constexpr const char *kPath = "path";
constexpr const char *kFunction = "function";
constexpr const char *kArgs = "args";
constexpr const char *kRecursive = "recursive";
constexpr const char *kValues = "values";
constexpr const char *kKey = "key";
constexpr const char *kSubscription = "subscription";
constexpr const char *kResult = "result";
constexpr const char *kOutargs = "outargs";
constexpr const char *kError = "error";
constexpr const char *kCode = "code";
constexpr const char *kMessage = "message";
constexpr const char *kParameter = "parameter";
constexpr const char *kType = "type";
constexpr const char *kName = "name";
constexpr const char *kParameters = "parameters";

/* A variant owned by its holder, normally a map: one message. Adders return
 * false when memory runs out; field readers return null (or false) when the
 * field is absent or of another type. */
class Message {
  public:
    Message() { variant_initialize(&value_, variant_type_unknown); }
    ~Message() { variant_cleanup(&value_); }
    Message(Message &&other) noexcept : Message() { variant_move(&value_, &other.value_); }
    Message &operator=(Message &&other) noexcept {
        if (this != &other)
            variant_move(&value_, &other.value_);
        return *this;
    }
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;

    variant_t *get() { return &value_; }
    const variant_t *get() const { return &value_; }
    variant_map_t *map() const { return variant_da_map(&value_); }

    bool setMap() {
        variant_cleanup(&value_);
        return variant_initialize(&value_, variant_type_map);
    }

    bool add(const char *key, const variant_t *value) { return variant_map_add(map(), key, value); }
    bool addText(const char *key, const char *text) {
        return variant_map_addChar(map(), key, text);
    }
    bool addBool(const char *key, bool value) { return variant_map_addBool(map(), key, value); }
    // Protocol numbers travel as plain MessagePack integers (int64).
    bool addInteger(const char *key, int64_t value) {
        variant_t v;
        variant_initialize(&v, variant_type_unknown);
        bool ok = variant_setInt64(&v, value) && add(key, &v);
        variant_cleanup(&v);
        return ok;
    }
    bool addMapMove(const char *key, variant_map_t *value) {
        return variant_map_addMapMove(map(), key, value);
    }
    /* Moves `value` in under `key`: a large reply is not copied once more. */
    bool addMove(const char *key, variant_t *value) {
        variant_t empty;
        variant_initialize(&empty, variant_type_unknown);
        if (!add(key, &empty))
            return false;
        return variant_move(variant_map_iterator_data(variant_map_find(map(), key)), value);
    }
    bool appendCopies(const variant_map_t *fields) {
        for (variant_map_iterator_t *it = variant_map_first(fields); it != nullptr;
             it = variant_map_iterator_next(it)) {
            if (!add(variant_map_iterator_key(it), variant_map_iterator_data(it)))
                return false;
        }
        return true;
    }

    const variant_t *field(const char *key) const {
        return variant_map_iterator_data(variant_map_find(map(), key));
    }
    bool has(const char *key) const { return variant_map_find(map(), key) != nullptr; }
    const char *textField(const char *key) const { return variant_da_char(field(key)); }
    const variant_map_t *mapField(const char *key) const { return variant_da_map(field(key)); }

    /* An integer field of any integer type within 0..UINT32_MAX. */
    bool integerField(const char *key, uint32_t &out) const { return toUInt32(field(key), out); }

    /* Moves the field's value into `out` (the empty variant when absent). */
    bool takeField(const char *key, variant_t *out) {
        variant_t *value = variant_map_iterator_data(variant_map_find(map(), key));
        if (value == nullptr) {
            variant_cleanup(out);
            return true;
        }
        return variant_move(out, value);
    }

    static bool toUInt32(const variant_t *value, uint32_t &out) {
        variant_type_t type = variant_type(value);
        if (type < variant_type_int8 || type > variant_type_uint64)
            return false;
        variant_t converted;
        variant_initialize(&converted, variant_type_unknown);
        bool ok = variant_convert(&converted, value, variant_type_uint32);
        if (ok)
            out = variant_uint32(&converted);
        variant_cleanup(&converted);
        return ok;
    }

  private:
    variant_t value_;
};

/* A notification is the only message without an id. */
inline bool isNotification(const Message &message) {
    return !message.has(kId) && message.has(kSubscription);
}

struct ErrorFields {
    uint32_t code = ZEB_ERROR_NONE;
    std::string message;
    std::string parameter;
};

inline ErrorFields readError(const variant_map_t *error) {
    ErrorFields fields;
    auto find = [error](const char *key) {
        return variant_map_iterator_data(variant_map_find(error, key));
    };
    Message::toUInt32(find(kCode), fields.code);
    if (const char *text = variant_da_char(find(kMessage)))
        fields.message = text;
    if (const char *text = variant_da_char(find(kParameter)))
        fields.parameter = text;
    return fields;
}

} // namespace zeb_bus

#endif
