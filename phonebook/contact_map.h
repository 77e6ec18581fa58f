/*
 * The contact map of a Phonebook.Entry, as answers and notifications carry
 * it: "key" (the entry's key), then each parameter's value as a client reads
 * it (read handlers apply) under the parameter's name with its leading run
 * of capitals lowered, then one list per property object ("addresses",
 * "labels", "telephoneNumbers", "emails", "photos"; any other child object
 * under its own name) of element maps holding "key", then each parameter's
 * stored value under "type", "preferred" or, for any other parameter,
 * "name".
 *
 * The result is equal, key for key, in the same order and of the same types,
 * to what zeb_obj_to_variant_map_t followed by remap_paths gives (the
 * reference, kept for its tests); it is built straight under the public keys,
 * without renaming or tracing, because a page or a notification converts
 * many entries in one call. Its pieces are pooled (variant_pool_begin):
 * made to be sent or announced and dropped, not kept. Runs on the host's
 * thread.
 */
#ifndef PHONEBOOK_CONTACT_MAP_H
#define PHONEBOOK_CONTACT_MAP_H

#include "zeb/dm.h"
#include "zeb/variant.h"

/* Adds the contact map of `entry` to `map`. False when memory ran out (what
 * was added stays) or `entry` or `map` is null (nothing added). */
bool contact_map_add(object_t *entry, variant_map_t *map);

/* Appends to `list` a new map holding the contact map of `entry`; nothing
 * when memory runs out. */
void contact_map_append(variant_list_t *list, object_t *entry);

#endif
