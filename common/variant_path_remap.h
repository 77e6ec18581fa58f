/*
 * Contact key mapping: the tables that pair the public keys of a contact map
 * with the data model names of a Phonebook.Entry, the in-place remapping of
 * variant trees between the two, the trace printer of variant trees, and the
 * conversion of an entry into a contact map.
 *
 * Everything here runs on the host's thread and keeps no state between calls.
 * The key mapping traces without a zone; the conversion traces in the zone
 * "phonebook".
 */
#ifndef PHONEBOOK_VARIANT_PATH_REMAP_H
#define PHONEBOOK_VARIANT_PATH_REMAP_H

#include <stddef.h>
#include <stdint.h>

#include "zeb/dm.h"
#include "zeb/variant.h"

/* A path of keys into a tree of variant maps: `depth` keys, outermost first.
 * The record borrows the key array. {0, nullptr} ends a table. */
typedef struct variant_path {
    uint32_t depth;
    const char *const *keys;
} variant_path_t;

/* Data model side of the contact fields. */
const char *const ZEBPATH_CONTACT_UNIQUEID[] = {"UniqueID"};
const char *const ZEBPATH_CONTACT_LASTREVISION[] = {"LastRevision"};
const char *const ZEBPATH_CONTACT_NAME[] = {"Name"};
const char *const ZEBPATH_CONTACT_FORMATTEDNAME[] = {"FormattedName"};
const char *const ZEBPATH_CONTACT_BIRTHDAY[] = {"BirthDay"};
const char *const ZEBPATH_CONTACT_TITLE[] = {"Title"};
const char *const ZEBPATH_CONTACT_ORGANISATION[] = {"Organisation"};
const char *const ZEBPATH_CONTACT_URL[] = {"URL"};
const char *const ZEBPATH_CONTACT_RINGTONE[] = {"Ringtone"};
const char *const ZEBPATH_CONTACT_ADDRESSES[] = {"Address"};
const char *const ZEBPATH_CONTACT_LABELS[] = {"Label"};
const char *const ZEBPATH_CONTACT_TELEPHONENUMBERS[] = {"TelephoneNumber"};
const char *const ZEBPATH_CONTACT_EMAILS[] = {"Email"};
const char *const ZEBPATH_CONTACT_PHOTOS[] = {"Photo"};
const char *const ZEBPATH_CONTACT_TAGS[] = {"Tags"};
const char *const ZEBPATH_CONTACT_ADDRESSES_NAME[] = {"Address", "Address"};
const char *const ZEBPATH_CONTACT_ADDRESSES_TYPE[] = {"Address", "Type"};
const char *const ZEBPATH_CONTACT_ADDRESSES_PREFERRED[] = {"Address", "Preferred"};
const char *const ZEBPATH_PROPERTY_LABELS_NAME[] = {"Label", "Address"};
const char *const ZEBPATH_PROPERTY_LABELS_TYPE[] = {"Label", "Type"};
const char *const ZEBPATH_PROPERTY_LABELS_PREFERRED[] = {"Label", "Preferred"};
const char *const ZEBPATH_PROPERTY_TELEPHONENUMBERS_NAME[] = {"TelephoneNumber", "Number"};
const char *const ZEBPATH_PROPERTY_TELEPHONENUMBERS_TYPE[] = {"TelephoneNumber", "Type"};
const char *const ZEBPATH_PROPERTY_TELEPHONENUMBERS_PREFERRED[] = {"TelephoneNumber", "Preferred"};
const char *const ZEBPATH_PROPERTY_EMAILS_NAME[] = {"Email", "Address"};
const char *const ZEBPATH_PROPERTY_EMAILS_TYPE[] = {"Email", "Type"};
const char *const ZEBPATH_PROPERTY_EMAILS_PREFERRED[] = {"Email", "Preferred"};
const char *const ZEBPATH_PROPERTY_PHOTOS_NAME[] = {"Photo", "URI"};
const char *const ZEBPATH_PROPERTY_PHOTOS_TYPE[] = {"Photo", "Type"};
const char *const ZEBPATH_PROPERTY_PHOTOS_PREFERRED[] = {"Photo", "Preferred"};

/* Public side of the contact fields, row by row as above. */
const char *const VARKEY_CONTACT_UNIQUEID[] = {"uniqueID"};
const char *const VARKEY_CONTACT_LASTREVISION[] = {"lastRevision"};
const char *const VARKEY_CONTACT_NAME[] = {"name"};
const char *const VARKEY_CONTACT_FORMATTEDNAME[] = {"formattedName"};
const char *const VARKEY_CONTACT_BIRTHDAY[] = {"birthDay"};
const char *const VARKEY_CONTACT_TITLE[] = {"title"};
const char *const VARKEY_CONTACT_ORGANISATION[] = {"organisation"};
const char *const VARKEY_CONTACT_URL[] = {"url"};
const char *const VARKEY_CONTACT_RINGTONE[] = {"ringtone"};
const char *const VARKEY_CONTACT_ADDRESSES[] = {"addresses"};
const char *const VARKEY_CONTACT_LABELS[] = {"labels"};
const char *const VARKEY_CONTACT_TELEPHONENUMBERS[] = {"telephoneNumbers"};
const char *const VARKEY_CONTACT_EMAILS[] = {"emails"};
const char *const VARKEY_CONTACT_PHOTOS[] = {"photos"};
const char *const VARKEY_CONTACT_TAGS[] = {"tags"};
const char *const VARKEY_CONTACT_ADDRESSES_NAME[] = {"addresses", "name"};
const char *const VARKEY_CONTACT_ADDRESSES_TYPE[] = {"addresses", "type"};
const char *const VARKEY_CONTACT_ADDRESSES_PREFERRED[] = {"addresses", "preferred"};
const char *const VARKEY_PROPERTY_LABELS_NAME[] = {"labels", "name"};
const char *const VARKEY_PROPERTY_LABELS_TYPE[] = {"labels", "type"};
const char *const VARKEY_PROPERTY_LABELS_PREFERRED[] = {"labels", "preferred"};
const char *const VARKEY_PROPERTY_TELEPHONENUMBERS_NAME[] = {"telephoneNumbers", "name"};
const char *const VARKEY_PROPERTY_TELEPHONENUMBERS_TYPE[] = {"telephoneNumbers", "type"};
const char *const VARKEY_PROPERTY_TELEPHONENUMBERS_PREFERRED[] = {"telephoneNumbers", "preferred"};
const char *const VARKEY_PROPERTY_EMAILS_NAME[] = {"emails", "name"};
const char *const VARKEY_PROPERTY_EMAILS_TYPE[] = {"emails", "type"};
const char *const VARKEY_PROPERTY_EMAILS_PREFERRED[] = {"emails", "preferred"};
const char *const VARKEY_PROPERTY_PHOTOS_NAME[] = {"photos", "name"};
const char *const VARKEY_PROPERTY_PHOTOS_TYPE[] = {"photos", "type"};
const char *const VARKEY_PROPERTY_PHOTOS_PREFERRED[] = {"photos", "preferred"};

/* Names of the same vocabulary that no table row holds. */
const char *const ZEBPATH_PROPERTY_NAME = "Address";
const char *const ZEBPATH_PROPERTY_TYPE = "Type";
const char *const ZEBPATH_PROPERTY_PREFERRED = "Preferred";
const char *const VARKEY_CONTACT_KEY = "key";
const char *const VARKEY_PROPERTY_KEY = "key";
const char *const VARKEY_PROPERTY_NAME = "name";
const char *const VARKEY_PROPERTY_TYPE = "type";
const char *const VARKEY_PROPERTY_PREFERRED = "preferred";

/* The contact key tables: row i of one names the same field as row i of the
 * other. The sizes count the terminating row. */
extern const variant_path_t contact_object_paths_array[];
extern const variant_path_t contact_type_paths_array[];
extern const variant_path_t *const CONTACT_OBJECT_PATHS;
extern const variant_path_t *const CONTACT_TYPE_PATHS;
extern const size_t CONTACT_OBJECT_PATHS_SIZE;
extern const size_t CONTACT_TYPE_PATHS_SIZE;

/* Replaces in place, wherever `tree` holds a key at the position that a row
 * of `from` names, that key by the key of the same row of `to`. `tree` is at
 * level `depth` below the top and lies under the first `depth` keys of row
 * `base` of `from`; callers pass 0 and 0. False when a list met on the way
 * holds an element that is not a map (the rest is remapped all the same). */
bool remap_paths(variant_map_t *tree, const variant_path_t *from, const variant_path_t *to,
                 size_t size, uint32_t depth, size_t base);

/* The first `n` keys of `path` joined by "."; new text freed by the caller,
 * null when there is nothing to render or no memory. */
char *pathToString(const variant_path_t *path, uint32_t n);

/* True when the first `depth` keys of both paths are equal. */
bool path_compare(const variant_path_t *path, const variant_path_t *base, uint32_t depth);

/* Gives a map entry a copy of `key` as its key, keeping its place and value. */
bool variant_map_iterator_setKey(variant_map_iterator_t *entry, const char *key);

/* Writes every entry of a tree of maps and lists to the trace, each key
 * preceded by `prefix`. */
void recursiveVariantMapPrint(const variant_map_t *map, const char *prefix);

/* The key in a contact map of the list of the child object `objectName` of
 * an entry: the public key of a property object, else the name itself. */
const char *contactListKey(const char *objectName);

/* The key in a property element map of the parameter `parameterName`: the
 * type and the flag under their own keys, any other parameter (the value)
 * under "name". */
const char *contactPropertyKey(const char *parameterName);

/* Adds the contact map of an entry (`listKey` null) or the element map of a
 * property instance (`listKey` its list's key) to `map`. A null object adds
 * nothing. Always true. The reference conversion: answers use the faster
 * contact_map_add, which gives equal maps. */
bool zeb_obj_to_variant_map_t(object_t *object, variant_map_t *map, const char *listKey);

/* Appends to `list` a new map holding the conversion of `object` (as
 * zeb_obj_to_variant_map_t with `listKey`); nothing when memory runs out. */
void appendObjectMap(variant_list_t *list, object_t *object, const char *listKey);

/* Writes a contact map keyed by data model names into `object` (an entry or a
 * property instance): scalar elements set the parameters of the same name,
 * maps and lists of maps become instances of the child object of the same
 * name. Keys that name nothing and doubles are skipped. False when any
 * element could not be written (a refused value, a list element that is not
 * a map, a failed addSubObject) or when `map` or `object` is null; the
 * caller then rolls back. Changes stay pending until the caller commits. */
bool init_zeb_contact_obj(variant_map_t *map, object_t *object);

/* Writes one property element into the child object `name` of `parent`: into
 * the instance that the element's "key" names, which is first restored when
 * pending deletion, else into a new instance created with that key. */
bool addSubObject(variant_map_t *element, object_t *parent, const char *name);

#endif
