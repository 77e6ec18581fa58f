/*
 * Variants: typed values, ordered string-keyed maps and lists of variants.
 *
 * Ownership rules:
 * - A variant owns its content (text, list, map). variant_cleanup releases the
 *   content and leaves the variant empty; a heap variant from variant_create is
 *   released with variant_destroy. A variant in the caller's storage must be
 *   initialized before any other call and cleaned up at the end.
 * - "da" (direct access) functions give the content owned by the variant, or
 *   null; it stays valid until the variant is changed or cleaned up.
 * - Copies (variant_char, variant_string, variant_list, variant_map, *_copy)
 *   are new objects owned by the caller:
 *     variant_char   -> free()
 *     variant_string -> string_cleanup(), then free()
 *     variant_list   -> variant_list_cleanup(), then free()
 *     variant_map    -> variant_map_cleanup(), then free()
 * - Moves (variant_setListMove, variant_setMapMove, *_createListMove,
 *   *_createMapMove) take over the content of a list or map; the source stays
 *   a valid, empty list or map that the caller still cleans up and frees.
 * - Appending an element to a list or map passes the element's ownership to
 *   the container. Taking an element (variant_list_iterator_take,
 *   variant_map_iterator_take) unlinks it and hands it back to the caller, who
 *   releases it with the matching *_iterator_destroy.
 * - Setters copy texts and variants they are given, unless their name says
 *   Move.
 *
 * Failure rules:
 * - Functions that return bool return false on failure (null argument,
 *   impossible conversion, out of memory) and leave their target unchanged.
 * - Functions that return a pointer return null on failure or when there is
 *   nothing to return.
 * - Every function accepts null arguments and then fails as above; cleanup and
 *   destroy functions accept null and do nothing.
 *
 * Maps keep insertion order and may hold a key more than once;
 * variant_map_find returns the first entry with the key.
 *
 * Date-times are broken-down times at one-second resolution, with no time
 * zone. Their text form is "%Y-%m-%dT%H:%M:%SZ" (for example
 * "2024-02-29T13:05:00Z"), produced by variant_char and variant_toString and
 * accepted by variant_toDateTime and the conversions to date-time. A set
 * broken-down time is normalized as timegm() would (day 0 of a month is the
 * last day of the month before); tm_isdst, tm_gmtoff and tm_zone are ignored.
 * Date-times lie in the years 0000 to 9999, which have a text form: setting
 * one outside them fails and leaves the variant unchanged.
 */
#ifndef ZEB_VARIANT_H
#define ZEB_VARIANT_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "zeb/llist.h"
#include "zeb/zstring.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What follows is the library's interface, exported from it; the rest of
 * the library is hidden. */
#pragma GCC visibility push(default)

/* Type codes. Their numeric values are part of the interface. */
typedef enum variant_type {
    variant_type_unknown = 0, /* empty: no value */
    variant_type_string = 1,
    variant_type_int8 = 2,
    variant_type_int16 = 3,
    variant_type_int32 = 4,
    variant_type_int64 = 5,
    variant_type_uint8 = 6,
    variant_type_uint16 = 7,
    variant_type_uint32 = 8,
    variant_type_uint64 = 9,
    variant_type_bool = 10,
    variant_type_double = 11,
    variant_type_date_time = 12,
    variant_type_array = 13, /* a variant_list_t */
    variant_type_map = 14,   /* a variant_map_t */
} variant_type_t;

struct variant_list;
struct variant_map;

/* Fields are private to the library. */
typedef struct variant {
    variant_type_t type;
    uint32_t storage; /* where the content lives: on its own or in a pool block */
    union {
        bool b;
        int64_t i;
        uint64_t u;
        double d;
        int64_t dt; /* seconds since 1970-01-01T00:00:00 of the broken-down time */
        string_t *s;
        struct variant_list *l;
        struct variant_map *m;
    } data;
} variant_t;

/* A list is a linked list of elements, each owning one variant. */
typedef struct variant_list {
    llist_t list;
} variant_list_t;

typedef struct variant_list_iterator {
    llist_iterator_t it; /* must stay first */
    uint32_t storage;    /* where the element itself lives */
    variant_t data;
} variant_list_iterator_t;

/* A map is a linked list of entries, each owning its key and one variant. */
typedef struct variant_map {
    llist_t list;
} variant_map_t;

typedef struct variant_map_iterator {
    llist_iterator_t it; /* must stay first */
    uint32_t storage;    /* where the entry itself lives */
    char *key;
    variant_t data;
} variant_map_iterator_t;

/* ---- Variants ---------------------------------------------------------- */

/* Makes the variant hold the empty value of `type`: "" for a string, 0, false,
 * 1970-01-01T00:00:00Z, an empty list or map. An unknown type code gives the
 * empty variant (type 0) and false. */
bool variant_initialize(variant_t *variant, variant_type_t type);
void variant_cleanup(variant_t *variant);

variant_t *variant_create(variant_type_t type);
void variant_destroy(variant_t *variant);

variant_type_t variant_type(const variant_t *variant);

/* Deep copy of src into dest (dest's old content is released). */
bool variant_copy(variant_t *dest, const variant_t *src);
/* Moves src's content into dest; src becomes empty (type 0). */
bool variant_move(variant_t *dest, variant_t *src);

/* Deep comparison: true when both have the same type and equal content
 * (doubles compare by ==, maps and lists by order, keys and values). */
bool variant_equals(const variant_t *a, const variant_t *b);

/* Setters: the variant takes the type of the value. */
bool variant_setChar(variant_t *variant, const char *text); /* null text fails */
bool variant_setString(variant_t *variant, const string_t *text);
bool variant_setBool(variant_t *variant, bool value);
bool variant_setInt8(variant_t *variant, int8_t value);
bool variant_setInt16(variant_t *variant, int16_t value);
bool variant_setInt32(variant_t *variant, int32_t value);
bool variant_setInt64(variant_t *variant, int64_t value);
bool variant_setUInt8(variant_t *variant, uint8_t value);
bool variant_setUInt16(variant_t *variant, uint16_t value);
bool variant_setUInt32(variant_t *variant, uint32_t value);
bool variant_setUInt64(variant_t *variant, uint64_t value);
bool variant_setDouble(variant_t *variant, double value);
bool variant_setDateTime(variant_t *variant, const struct tm *time);
/* A date-time from its seconds since 1970-01-01T00:00:00Z (negative before),
 * whatever the size of time_t; outside the years 0000 to 9999 it fails as
 * above. */
bool variant_setDateTimeSeconds(variant_t *variant, int64_t seconds);
bool variant_setList(variant_t *variant, const variant_list_t *list); /* copies */
bool variant_setMap(variant_t *variant, const variant_map_t *map);    /* copies */
bool variant_setListMove(variant_t *variant, variant_list_t *list);
bool variant_setMapMove(variant_t *variant, variant_map_t *map);

/* Direct access: the content when the variant holds that type, else null.
 * A text is read-only through variant_da_string: empty texts share one
 * string (set a new value with variant_setChar instead). */
string_t *variant_da_string(const variant_t *variant);
const char *variant_da_char(const variant_t *variant);
variant_list_t *variant_da_list(const variant_t *variant);
variant_map_t *variant_da_map(const variant_t *variant);

/* Conversion of a copy of `src` to `type`, into dest (dest's old content is
 * released). Conversions that lose nothing succeed; the others fail:
 * - to string: every scalar, by its text form (booleans "true"/"false",
 *   integers in decimal, doubles in the shortest form that reads back to the
 *   same value, date-times as above); lists and maps fail.
 * - to an integer type: integers within range, doubles without fraction within
 *   range, booleans as 0 and 1, texts holding a decimal integer within range
 *   (optional sign, no blanks).
 * - to double: numbers, booleans as 0 and 1, texts holding a number.
 * - to bool: booleans, integers and doubles (non-zero is true), texts "true",
 *   "false", "1", "0" in any letter case.
 * - to date-time: date-times and texts in the text form; a text whose fields
 *   are out of range (month 13, 31 April, hour 24, ...) fails.
 * - to list or map: only a list or map, copied.
 * - the empty variant converts to the empty value of every type except list
 *   and map, which fail; converting anything to type 0 gives the empty variant.
 */
bool variant_convert(variant_t *dest, const variant_t *src, variant_type_t type);

/* Scalar getters: the value converted as by variant_convert, or 0 / false
 * when the conversion fails. */
bool variant_bool(const variant_t *variant);
int8_t variant_int8(const variant_t *variant);
int16_t variant_int16(const variant_t *variant);
int32_t variant_int32(const variant_t *variant);
int64_t variant_int64(const variant_t *variant);
uint8_t variant_uint8(const variant_t *variant);
uint16_t variant_uint16(const variant_t *variant);
uint32_t variant_uint32(const variant_t *variant);
uint64_t variant_uint64(const variant_t *variant);
double variant_double(const variant_t *variant);

/* Fills *time with the broken-down date-time (tm_wday and tm_yday included,
 * tm_isdst 0) when the variant holds a date-time or a text in the text form;
 * otherwise returns false and leaves *time unchanged. */
bool variant_toDateTime(const variant_t *variant, struct tm *time);
/* Likewise, the seconds since 1970-01-01T00:00:00Z, whatever the size of
 * time_t. */
bool variant_toDateTimeSeconds(const variant_t *variant, int64_t *seconds);

/* Copies for the caller (see the ownership rules); null for the empty
 * variant, and for lists and maps where a text is asked. */
char *variant_char(const variant_t *variant);
string_t *variant_string(const variant_t *variant);
/* In C++ these two functions hide the struct tags of the same names, which
 * -Wshadow reports; use variant_list_t and variant_map_t for the types. */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#endif
variant_list_t *variant_list(const variant_t *variant);
variant_map_t *variant_map(const variant_t *variant);
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

/* Replaces the content of `text` with the text form of the variant; false,
 * with `text` unchanged, when there is none. */
bool variant_toString(string_t *text, const variant_t *variant);

/* ---- Lists ------------------------------------------------------------- */

bool variant_list_initialize(variant_list_t *list);
/* Destroys every element; the list stays valid and empty. */
void variant_list_cleanup(variant_list_t *list);
/* Deep copy of src into the initialized list dest (dest's old elements are
 * released). */
bool variant_list_copy(variant_list_t *dest, const variant_list_t *src);

size_t variant_list_size(const variant_list_t *list);
variant_list_iterator_t *variant_list_first(const variant_list_t *list);
variant_list_iterator_t *variant_list_last(const variant_list_t *list);
variant_list_iterator_t *variant_list_iterator_next(const variant_list_iterator_t *it);
variant_list_iterator_t *variant_list_iterator_prev(const variant_list_iterator_t *it);
variant_t *variant_list_iterator_data(const variant_list_iterator_t *it);
/* The element at a zero-based position, or null. */
variant_list_iterator_t *variant_list_at(const variant_list_t *list, size_t index);

/* New unlinked elements. */
variant_list_iterator_t *variant_list_iterator_create(const variant_t *value); /* copies */
variant_list_iterator_t *variant_list_iterator_createMove(variant_t *value);
/* Owns the content of `map` (moved), or a new empty map when map is null. */
variant_list_iterator_t *variant_list_iterator_createMapMove(variant_map_t *map);
variant_list_iterator_t *variant_list_iterator_createListMove(variant_list_t *list);
/* Releases an element; a linked element is unlinked first. */
void variant_list_iterator_destroy(variant_list_iterator_t *it);
/* Unlinks the element and gives it back to the caller. */
variant_list_iterator_t *variant_list_iterator_take(variant_list_iterator_t *it);

/* Links an unlinked element; the list owns it from then on. */
bool variant_list_append(variant_list_t *list, variant_list_iterator_t *it);
bool variant_list_prepend(variant_list_t *list, variant_list_iterator_t *it);

/* Append a copy of a value / a copy of a text. */
bool variant_list_add(variant_list_t *list, const variant_t *value);
bool variant_list_addChar(variant_list_t *list, const char *text);

/* ---- Maps -------------------------------------------------------------- */

bool variant_map_initialize(variant_map_t *map);
/* Destroys every entry; the map stays valid and empty. */
void variant_map_cleanup(variant_map_t *map);
/* Deep copy of src into the initialized map dest (dest's old entries are
 * released). */
bool variant_map_copy(variant_map_t *dest, const variant_map_t *src);

size_t variant_map_size(const variant_map_t *map);
variant_map_iterator_t *variant_map_first(const variant_map_t *map);
variant_map_iterator_t *variant_map_last(const variant_map_t *map);
variant_map_iterator_t *variant_map_iterator_next(const variant_map_iterator_t *it);
variant_map_iterator_t *variant_map_iterator_prev(const variant_map_iterator_t *it);
const char *variant_map_iterator_key(const variant_map_iterator_t *it);
variant_t *variant_map_iterator_data(const variant_map_iterator_t *it);

/* The first entry with exactly this key (byte-wise), or null. */
variant_map_iterator_t *variant_map_find(const variant_map_t *map, const char *key);

/* Replaces the key of an entry with a copy of `key`, in place: the entry keeps
 * its position and value. */
bool variant_map_iterator_rename(variant_map_iterator_t *it, const char *key);

/* New unlinked entries; the key is copied. */
variant_map_iterator_t *variant_map_iterator_create(const char *key, const variant_t *value);
variant_map_iterator_t *variant_map_iterator_createMove(const char *key, variant_t *value);
/* Owns the content of `map` / `list` (moved), or a new empty one when null. */
variant_map_iterator_t *variant_map_iterator_createMapMove(const char *key, variant_map_t *map);
variant_map_iterator_t *variant_map_iterator_createListMove(const char *key, variant_list_t *list);
/* Releases an entry; a linked entry is unlinked first. */
void variant_map_iterator_destroy(variant_map_iterator_t *it);
/* Unlinks the entry and gives it back to the caller. */
variant_map_iterator_t *variant_map_iterator_take(variant_map_iterator_t *it);

/* Links an unlinked entry at the end; the map owns it from then on. */
bool variant_map_append(variant_map_t *map, variant_map_iterator_t *it);

/* Append an entry with a copy of the value, even when the key exists. */
bool variant_map_add(variant_map_t *map, const char *key, const variant_t *value);
bool variant_map_addChar(variant_map_t *map, const char *key, const char *text);
bool variant_map_addBool(variant_map_t *map, const char *key, bool value);
bool variant_map_addInt32(variant_map_t *map, const char *key, int32_t value);
bool variant_map_addUInt32(variant_map_t *map, const char *key, uint32_t value);
bool variant_map_addMapMove(variant_map_t *map, const char *key, variant_map_t *value);
bool variant_map_addListMove(variant_map_t *map, const char *key, variant_list_t *value);

/* ---- Pooled building --------------------------------------------------- */

/* Between variant_pool_begin and the matching variant_pool_end, the contents
 * (texts, lists, maps) of the variants that this library fills on the
 * calling thread, and the list elements and map entries it makes there, are
 * carved out of blocks of some KiB shared by many of them instead of taking
 * an allocation each: building a large value, such as a call's answer, then
 * costs a few allocations rather than one per piece. Copies handed to the
 * caller (variant_char, variant_string, variant_list, variant_map), renamed
 * keys and texts longer than about 2 KiB are allocated on their own as
 * always.
 *
 * A pooled piece is used, moved, taken, copied and released like any other,
 * on any thread, and a pooled value may hold pieces that are not and the
 * other way round. A block is freed when the last piece carved out of it is
 * released, so a piece kept for long keeps its whole block: pool what is
 * short-lived. A thread keeps the block it is carving from until it ends.
 *
 * Pairs nest; variant_pool_end without a matching begin does nothing. */
void variant_pool_begin(void);
void variant_pool_end(void);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
