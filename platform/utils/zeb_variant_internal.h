/*
 * Helpers shared by the files of libzeb_utils; not exported.
 */
#ifndef ZEB_VARIANT_INTERNAL_H
#define ZEB_VARIANT_INTERNAL_H

#include "zeb/llist.h"
#include "zeb/variant.h"
#include "zeb/zstring.h"

#include <stddef.h>
#include <stdint.h>

#define ZEB_INTERNAL __attribute__((visibility("hidden")))

/* Moves every element of src to the empty list dest, in order; src ends
 * empty. Elements keep their addresses, only their list link changes. */
ZEB_INTERNAL void zeb_llist_moveAll(llist_t *dest, llist_t *src);

/* Where a piece lives: the `storage` of a variant (its content), of a list
 * element or of a map entry. */
constexpr uint32_t ZEB_STORAGE_HEAP = 0;
constexpr uint32_t ZEB_STORAGE_POOL = 1;

/* A block of `size` bytes aligned for any piece of a variant. With `storage`
 * it comes from the thread's pool while pooling is on and it fits, and
 * *storage tells where it lives; without, it is malloc()ed, for a caller that
 * frees it. Null when memory ran out. */
ZEB_INTERNAL void *zeb_block_new(size_t size, uint32_t *storage);
/* Releases a block of zeb_block_new; null does nothing. */
ZEB_INTERNAL void zeb_block_release(void *block, uint32_t storage);

/* Lays a string of `length` bytes of `text` out in `block`, which holds
 * sizeof(string_t) + length + 1 bytes, as string_newInline does. */
ZEB_INTERNAL string_t *zeb_string_placeInline(void *block, const char *text, size_t length);

ZEB_INTERNAL bool zeb_variant_list_equals(const variant_list_t *a, const variant_list_t *b);
ZEB_INTERNAL bool zeb_variant_map_equals(const variant_map_t *a, const variant_map_t *b);

#endif
