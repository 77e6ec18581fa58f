/*
 * Helpers shared by the files of libzeb_utils; not exported.
 */
#ifndef ZEB_VARIANT_INTERNAL_H
#define ZEB_VARIANT_INTERNAL_H

#include "zeb/llist.h"
#include "zeb/variant.h"

#define ZEB_INTERNAL __attribute__((visibility("hidden")))

/* Moves every element of src to the empty list dest, in order; src ends
 * empty. Elements keep their addresses, only their list link changes. */
ZEB_INTERNAL void zeb_llist_moveAll(llist_t *dest, llist_t *src);

ZEB_INTERNAL bool zeb_variant_list_equals(const variant_list_t *a, const variant_list_t *b);
ZEB_INTERNAL bool zeb_variant_map_equals(const variant_map_t *a, const variant_map_t *b);

#endif
