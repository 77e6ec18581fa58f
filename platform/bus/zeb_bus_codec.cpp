#include "zeb/bus.h"

#include "zeb/error.h"

#include <msgpack.h>

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr size_t kHeaderSize = 4;

// Extension types 2..9 carry an integer of the variant type with that code,
// big-endian, in exactly the type's width. Plain MessagePack integers are
// int64 (or uint64 above INT64_MAX), so int64 needs no extension.
size_t integerWidth(int type) {
    switch (type) {
    case variant_type_int8:
    case variant_type_uint8:
        return 1;
    case variant_type_int16:
    case variant_type_uint16:
        return 2;
    case variant_type_int32:
    case variant_type_uint32:
        return 4;
    case variant_type_int64:
    case variant_type_uint64:
        return 8;
    default:
        return 0;
    }
}

bool isSignedType(int type) {
    return type >= variant_type_int8 && type <= variant_type_int64;
}

// A malloc'd growing buffer that refuses to exceed one frame.
struct FrameSink {
    char *data = nullptr;
    size_t size = 0;
    size_t capacity = 0;
    uint32_t failure = ZEB_ERROR_NONE;
};

int writeToSink(void *userData, const char *bytes, size_t length) {
    auto *sink = static_cast<FrameSink *>(userData);
    if (sink->size + length > kHeaderSize + ZEB_BUS_MAX_MESSAGE_SIZE) {
        sink->failure = ZEB_ERROR_LIMIT;
        return -1;
    }
    if (sink->size + length > sink->capacity) {
        size_t capacity = sink->capacity == 0 ? 256 : sink->capacity;
        while (capacity < sink->size + length)
            capacity *= 2;
        auto *grown = static_cast<char *>(std::realloc(sink->data, capacity));
        if (grown == nullptr) {
            sink->failure = ZEB_ERROR_NO_MEMORY;
            return -1;
        }
        sink->data = grown;
        sink->capacity = capacity;
    }
    std::memcpy(sink->data + sink->size, bytes, length);
    sink->size += length;
    return 0;
}

bool packTypedInteger(msgpack_packer *packer, const variant_t *value, variant_type_t type) {
    size_t width = integerWidth(type);
    uint64_t bits =
        isSignedType(type) ? static_cast<uint64_t>(variant_int64(value)) : variant_uint64(value);
    unsigned char payload[8];
    for (size_t i = 0; i < width; ++i)
        payload[i] = static_cast<unsigned char>(bits >> (8 * (width - 1 - i)));
    return msgpack_pack_ext(packer, width, static_cast<int8_t>(type)) == 0 &&
           msgpack_pack_ext_body(packer, payload, width) == 0;
}

// Date-times go by their seconds as the variant keeps them, never through
// time_t: on a 32-bit target that ends in 2038 and timegm() fails for
// 1969-12-31T23:59:59 (-1 is its error).
bool packDateTime(msgpack_packer *packer, const variant_t *value) {
    int64_t seconds = 0;
    if (!variant_toDateTimeSeconds(value, &seconds))
        return false;
    msgpack_timestamp stamp{seconds, 0};
    return msgpack_pack_timestamp(packer, &stamp) == 0;
}

bool packText(msgpack_packer *packer, const char *text) {
    size_t length = std::strlen(text);
    return msgpack_pack_str_with_body(packer, text, length) == 0;
}

uint32_t packValue(msgpack_packer *packer, const variant_t *value, int depth);

uint32_t packList(msgpack_packer *packer, const variant_list_t *list, int depth) {
    if (msgpack_pack_array(packer, variant_list_size(list)) != 0)
        return ZEB_ERROR_IO;
    for (variant_list_iterator_t *it = variant_list_first(list); it != nullptr;
         it = variant_list_iterator_next(it)) {
        uint32_t failure = packValue(packer, variant_list_iterator_data(it), depth);
        if (failure != ZEB_ERROR_NONE)
            return failure;
    }
    return ZEB_ERROR_NONE;
}

uint32_t packMap(msgpack_packer *packer, const variant_map_t *map, int depth) {
    if (msgpack_pack_map(packer, variant_map_size(map)) != 0)
        return ZEB_ERROR_IO;
    for (variant_map_iterator_t *it = variant_map_first(map); it != nullptr;
         it = variant_map_iterator_next(it)) {
        if (!packText(packer, variant_map_iterator_key(it)))
            return ZEB_ERROR_IO;
        uint32_t failure = packValue(packer, variant_map_iterator_data(it), depth);
        if (failure != ZEB_ERROR_NONE)
            return failure;
    }
    return ZEB_ERROR_NONE;
}

// ZEB_ERROR_IO stands for "the sink refused"; the caller replaces it with the
// sink's own reason.
uint32_t packValue(msgpack_packer *packer, const variant_t *value, int depth) {
    bool ok = false;
    variant_type_t type = variant_type(value);
    switch (type) {
    case variant_type_unknown:
        ok = msgpack_pack_nil(packer) == 0;
        break;
    case variant_type_string:
        ok = packText(packer, variant_da_char(value));
        break;
    case variant_type_int64:
        ok = msgpack_pack_int64(packer, variant_int64(value)) == 0;
        break;
    case variant_type_int8:
    case variant_type_int16:
    case variant_type_int32:
    case variant_type_uint8:
    case variant_type_uint16:
    case variant_type_uint32:
    case variant_type_uint64:
        ok = packTypedInteger(packer, value, type);
        break;
    case variant_type_bool:
        ok = (variant_bool(value) ? msgpack_pack_true(packer) : msgpack_pack_false(packer)) == 0;
        break;
    case variant_type_double:
        ok = msgpack_pack_double(packer, variant_double(value)) == 0;
        break;
    case variant_type_date_time:
        ok = packDateTime(packer, value);
        break;
    case variant_type_array:
    case variant_type_map:
        if (depth + 1 > ZEB_BUS_MAX_DEPTH)
            return ZEB_ERROR_LIMIT;
        return type == variant_type_array ? packList(packer, variant_da_list(value), depth + 1)
                                          : packMap(packer, variant_da_map(value), depth + 1);
    default:
        return ZEB_ERROR_TYPE;
    }
    return ok ? ZEB_ERROR_NONE : ZEB_ERROR_IO;
}

uint64_t readBigEndian(const unsigned char *bytes, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

struct Header {
    uint64_t lengthWidth = 0; // bytes of a length field that follows the type byte
    uint64_t fixed = 0;       // bytes that follow (after the length field, if any)
    bool container = false;
    uint64_t itemsPerCount = 1; // 2 for maps: a key and a value per entry
    uint64_t count = 0;         // items of a fixed-size container
    bool invalid = false;
};

Header readHeader(unsigned char type) {
    Header h;
    if (type <= 0x7f || type >= 0xe0 || type == 0xc0 || type == 0xc2 || type == 0xc3)
        return h;
    if ((type & 0xf0) == 0x80 || (type & 0xf0) == 0x90) {
        h.container = true;
        h.itemsPerCount = (type & 0xf0) == 0x80 ? 2 : 1;
        h.count = type & 0x0f;
        return h;
    }
    if ((type & 0xe0) == 0xa0) {
        h.fixed = type & 0x1f;
        return h;
    }
    if (type >= 0xc4 && type <= 0xc6) // bin 8/16/32
        h.lengthWidth = 1u << (type - 0xc4);
    else if (type >= 0xc7 && type <= 0xc9) { // ext 8/16/32: length, then a type byte
        h.lengthWidth = 1u << (type - 0xc7);
        h.fixed = 1;
    } else if (type == 0xca || type == 0xcb)
        h.fixed = type == 0xca ? 4 : 8;
    else if (type >= 0xcc && type <= 0xcf)
        h.fixed = 1u << (type - 0xcc);
    else if (type >= 0xd0 && type <= 0xd3)
        h.fixed = 1u << (type - 0xd0);
    else if (type >= 0xd4 && type <= 0xd8) // fixext: a type byte and 1..16 bytes
        h.fixed = 1 + (1u << (type - 0xd4));
    else if (type >= 0xd9 && type <= 0xdb)
        h.lengthWidth = 1u << (type - 0xd9);
    else if (type >= 0xdc && type <= 0xdf) {
        h.container = true;
        h.lengthWidth = type == 0xdc || type == 0xde ? 2 : 4;
        h.itemsPerCount = type >= 0xde ? 2 : 1;
    } else
        h.invalid = true; // 0xc1 is never used
    return h;
}

// Walks the whole body without building anything: exactly one value, every
// length within the body, no deeper than the limit. Afterwards the decoder's
// allocations are bounded by the body's size.
uint32_t checkStructure(const unsigned char *body, size_t size, const char **why) {
    uint64_t left[ZEB_BUS_MAX_DEPTH + 1]; // items still expected at each open level
    int depth = 0;
    left[0] = 1;
    size_t pos = 0;
    for (;;) {
        while (depth > 0 && left[depth] == 0)
            --depth;
        if (left[0] == 0 && depth == 0)
            break;
        --left[depth];
        if (pos >= size) {
            *why = "truncated message";
            return ZEB_ERROR_INVALID_ARGUMENT;
        }
        Header h = readHeader(body[pos++]);
        if (h.invalid) {
            *why = "invalid MessagePack type byte";
            return ZEB_ERROR_INVALID_ARGUMENT;
        }
        if (h.lengthWidth > size - pos) {
            *why = "truncated message";
            return ZEB_ERROR_INVALID_ARGUMENT;
        }
        uint64_t length = readBigEndian(body + pos, h.lengthWidth);
        pos += h.lengthWidth;
        if (h.container) {
            uint64_t items = (h.lengthWidth > 0 ? length : h.count) * h.itemsPerCount;
            if (depth + 1 > ZEB_BUS_MAX_DEPTH) {
                *why = "message nests too deep";
                return ZEB_ERROR_LIMIT;
            }
            if (items > size - pos) { // every item takes a byte at least
                *why = "truncated message";
                return ZEB_ERROR_INVALID_ARGUMENT;
            }
            left[++depth] = items;
            continue;
        }
        uint64_t skip = h.fixed + (h.lengthWidth > 0 ? length : 0);
        if (skip > size - pos) {
            *why = "truncated message";
            return ZEB_ERROR_INVALID_ARGUMENT;
        }
        pos += skip;
    }
    if (pos != size) {
        *why = "bytes after the message";
        return ZEB_ERROR_INVALID_ARGUMENT;
    }
    return ZEB_ERROR_NONE;
}

struct Decoder {
    const char *why = "";
    uint32_t failure = ZEB_ERROR_NONE;

    bool fail(uint32_t code, const char *reason) {
        failure = code;
        why = reason;
        return false;
    }
};

bool toText(Decoder &d, const msgpack_object &object, char **text) {
    const msgpack_object_str &str = object.via.str;
    if (str.size > 0 && std::memchr(str.ptr, '\0', str.size) != nullptr)
        return d.fail(ZEB_ERROR_INVALID_ARGUMENT, "text holds a NUL byte");
    *text = static_cast<char *>(std::malloc(str.size + 1));
    if (*text == nullptr)
        return d.fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    if (str.size > 0)
        std::memcpy(*text, str.ptr, str.size);
    (*text)[str.size] = '\0';
    return true;
}

bool setTypedInteger(Decoder &d, const msgpack_object_ext &ext, variant_t *out) {
    size_t width = integerWidth(ext.type);
    if (width == 0 || ext.size != width)
        return d.fail(ZEB_ERROR_INVALID_ARGUMENT, "unknown extension type or size");
    uint64_t bits = readBigEndian(reinterpret_cast<const unsigned char *>(ext.ptr), width);
    switch (ext.type) {
    case variant_type_int8:
        return variant_setInt8(out, static_cast<int8_t>(bits));
    case variant_type_int16:
        return variant_setInt16(out, static_cast<int16_t>(bits));
    case variant_type_int32:
        return variant_setInt32(out, static_cast<int32_t>(bits));
    case variant_type_int64:
        return variant_setInt64(out, static_cast<int64_t>(bits));
    case variant_type_uint8:
        return variant_setUInt8(out, static_cast<uint8_t>(bits));
    case variant_type_uint16:
        return variant_setUInt16(out, static_cast<uint16_t>(bits));
    case variant_type_uint32:
        return variant_setUInt32(out, static_cast<uint32_t>(bits));
    default:
        return variant_setUInt64(out, bits);
    }
}

bool setTimestamp(Decoder &d, const msgpack_object &object, variant_t *out) {
    msgpack_timestamp stamp{};
    if (!msgpack_object_to_timestamp(&object, &stamp) || stamp.tv_nsec >= 1000000000u)
        return d.fail(ZEB_ERROR_INVALID_ARGUMENT, "invalid timestamp");
    // Date-times have one-second resolution: the nanoseconds are dropped.
    // Setting a scalar allocates nothing: a failure is a date-time outside
    // the years 0000 to 9999 (zeb/variant.h).
    return variant_setDateTimeSeconds(out, stamp.tv_sec) ||
           d.fail(ZEB_ERROR_INVALID_ARGUMENT, "timestamp out of range");
}

bool toVariant(Decoder &d, const msgpack_object &object, variant_t *out);

bool toList(Decoder &d, const msgpack_object_array &array, variant_t *out) {
    variant_list_t list;
    variant_list_initialize(&list);
    bool ok = true;
    for (uint32_t i = 0; ok && i < array.size; ++i) {
        variant_t item;
        variant_initialize(&item, variant_type_unknown);
        ok = toVariant(d, array.ptr[i], &item);
        variant_list_iterator_t *it = ok ? variant_list_iterator_createMove(&item) : nullptr;
        variant_cleanup(&item);
        ok = ok && it != nullptr && variant_list_append(&list, it);
        if (!ok && d.failure == ZEB_ERROR_NONE)
            d.fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    }
    ok = ok && (variant_setListMove(out, &list) || d.fail(ZEB_ERROR_NO_MEMORY, "out of memory"));
    variant_list_cleanup(&list);
    return ok;
}

bool toMap(Decoder &d, const msgpack_object_map &map, variant_t *out) {
    variant_map_t result;
    variant_map_initialize(&result);
    bool ok = true;
    for (uint32_t i = 0; ok && i < map.size; ++i) {
        const msgpack_object_kv &kv = map.ptr[i];
        if (kv.key.type != MSGPACK_OBJECT_STR) {
            ok = d.fail(ZEB_ERROR_INVALID_ARGUMENT, "map key is not a text");
            break;
        }
        char *key = nullptr;
        variant_t item;
        variant_initialize(&item, variant_type_unknown);
        ok = toText(d, kv.key, &key) && toVariant(d, kv.val, &item);
        variant_map_iterator_t *entry = ok ? variant_map_iterator_createMove(key, &item) : nullptr;
        std::free(key);
        variant_cleanup(&item);
        ok = ok && entry != nullptr && variant_map_append(&result, entry);
        if (!ok && d.failure == ZEB_ERROR_NONE)
            d.fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    }
    ok = ok && (variant_setMapMove(out, &result) || d.fail(ZEB_ERROR_NO_MEMORY, "out of memory"));
    variant_map_cleanup(&result);
    return ok;
}

bool toVariant(Decoder &d, const msgpack_object &object, variant_t *out) {
    switch (object.type) {
    case MSGPACK_OBJECT_NIL:
        variant_cleanup(out);
        return true;
    case MSGPACK_OBJECT_BOOLEAN:
        return variant_setBool(out, object.via.boolean);
    case MSGPACK_OBJECT_POSITIVE_INTEGER:
        if (object.via.u64 > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return variant_setUInt64(out, object.via.u64);
        return variant_setInt64(out, static_cast<int64_t>(object.via.u64));
    case MSGPACK_OBJECT_NEGATIVE_INTEGER:
        return variant_setInt64(out, object.via.i64);
    case MSGPACK_OBJECT_FLOAT32:
    case MSGPACK_OBJECT_FLOAT64:
        return variant_setDouble(out, object.via.f64);
    case MSGPACK_OBJECT_STR: {
        char *text = nullptr;
        if (!toText(d, object, &text))
            return false;
        bool ok = variant_setChar(out, text);
        std::free(text);
        return ok || d.fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    }
    case MSGPACK_OBJECT_ARRAY:
        return toList(d, object.via.array, out);
    case MSGPACK_OBJECT_MAP:
        return toMap(d, object.via.map, out);
    case MSGPACK_OBJECT_EXT:
        if (object.via.ext.type == -1)
            return setTimestamp(d, object, out);
        return setTypedInteger(d, object.via.ext, out);
    default:
        return d.fail(ZEB_ERROR_INVALID_ARGUMENT, "binary data is not supported");
    }
}

} // namespace

extern "C" {

uint32_t zeb_bus_encodeFrame(const variant_t *message, char **frame, size_t *size) {
    if (message == nullptr || frame == nullptr || size == nullptr)
        return ZEB_ERROR_INVALID_ARGUMENT;
    static const char placeholder[kHeaderSize] = {0, 0, 0, 0};
    FrameSink sink;
    msgpack_packer packer;
    msgpack_packer_init(&packer, &sink, writeToSink);
    uint32_t failure = writeToSink(&sink, placeholder, kHeaderSize) == 0
                           ? packValue(&packer, message, 0)
                           : ZEB_ERROR_IO;
    if (failure == ZEB_ERROR_IO)
        failure = sink.failure != ZEB_ERROR_NONE ? sink.failure : ZEB_ERROR_NO_MEMORY;
    if (failure != ZEB_ERROR_NONE) {
        std::free(sink.data);
        return failure;
    }
    size_t body = sink.size - kHeaderSize;
    for (size_t i = 0; i < kHeaderSize; ++i)
        sink.data[i] = static_cast<char>(body >> (8 * (kHeaderSize - 1 - i)));
    *frame = sink.data;
    *size = sink.size;
    return ZEB_ERROR_NONE;
}

uint32_t zeb_bus_frameBodySize(const void *header) {
    if (header == nullptr)
        return 0;
    return static_cast<uint32_t>(readBigEndian(static_cast<const unsigned char *>(header), 4));
}

uint32_t zeb_bus_decodeBody(const void *body, size_t size, variant_t *message, const char **why) {
    const char *ignored = "";
    if (why == nullptr)
        why = &ignored;
    *why = "";
    if ((body == nullptr && size > 0) || message == nullptr) {
        *why = "null argument";
        return ZEB_ERROR_INVALID_ARGUMENT;
    }
    if (size > ZEB_BUS_MAX_MESSAGE_SIZE) {
        *why = "message too large";
        return ZEB_ERROR_LIMIT;
    }
    uint32_t failure = checkStructure(static_cast<const unsigned char *>(body), size, why);
    if (failure != ZEB_ERROR_NONE)
        return failure;

    msgpack_unpacked unpacked;
    msgpack_unpacked_init(&unpacked);
    size_t offset = 0;
    msgpack_unpack_return status =
        msgpack_unpack_next(&unpacked, static_cast<const char *>(body), size, &offset);
    Decoder d;
    variant_t result;
    variant_initialize(&result, variant_type_unknown);
    if (status != MSGPACK_UNPACK_SUCCESS || offset != size) {
        d.fail(status == MSGPACK_UNPACK_NOMEM_ERROR ? ZEB_ERROR_NO_MEMORY
                                                    : ZEB_ERROR_INVALID_ARGUMENT,
               "unreadable message");
    } else if (toVariant(d, unpacked.data, &result)) {
        variant_move(message, &result);
    } else if (d.failure == ZEB_ERROR_NONE) {
        d.fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    }
    variant_cleanup(&result);
    msgpack_unpacked_destroy(&unpacked);
    *why = d.why;
    return d.failure;
}

const char *zeb_bus_defaultSocket(void) {
    const char *path = std::getenv("ZEB_SOCKET");
    return path != nullptr && path[0] != '\0' ? path : zeb_bus_builtinSocket();
}

const char *zeb_bus_builtinSocket(void) {
    return ZEB_BUS_BUILTIN_SOCKET;
}

bool zeb_bus_isTransportError(uint32_t code) {
    return code >= ZEB_BUS_ERROR_UNREACHABLE && code <= ZEB_BUS_ERROR_DENIED;
}

} // extern "C"
