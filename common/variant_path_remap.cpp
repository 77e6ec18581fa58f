#include "variant_path_remap.h"

#include <stdlib.h>
#include <string.h>

#include "keltrace/keltrace.h"
#include "phonebook_assert.h"

/* Lines of the key mapping carry no zone; the conversion of entries belongs
 * to the store and traces in its zone. */
#define PHONEBOOK_ZONE "phonebook"

/* Texts that may be missing are traced as empty. */
static const char *textOrEmpty(const char *text) {
    return text != nullptr ? text : "";
}

const variant_path_t contact_object_paths_array[] = {
    {1, ZEBPATH_CONTACT_UNIQUEID},
    {1, ZEBPATH_CONTACT_LASTREVISION},
    {1, ZEBPATH_CONTACT_NAME},
    {1, ZEBPATH_CONTACT_FORMATTEDNAME},
    {1, ZEBPATH_CONTACT_BIRTHDAY},
    {1, ZEBPATH_CONTACT_TITLE},
    {1, ZEBPATH_CONTACT_ORGANISATION},
    {1, ZEBPATH_CONTACT_URL},
    {1, ZEBPATH_CONTACT_RINGTONE},
    {1, ZEBPATH_CONTACT_ADDRESSES},
    {1, ZEBPATH_CONTACT_LABELS},
    {1, ZEBPATH_CONTACT_TELEPHONENUMBERS},
    {1, ZEBPATH_CONTACT_EMAILS},
    {1, ZEBPATH_CONTACT_PHOTOS},
    {1, ZEBPATH_CONTACT_TAGS},
    {2, ZEBPATH_CONTACT_ADDRESSES_NAME},
    {2, ZEBPATH_CONTACT_ADDRESSES_TYPE},
    {2, ZEBPATH_CONTACT_ADDRESSES_PREFERRED},
    {2, ZEBPATH_PROPERTY_LABELS_NAME},
    {2, ZEBPATH_PROPERTY_LABELS_TYPE},
    {2, ZEBPATH_PROPERTY_LABELS_PREFERRED},
    {2, ZEBPATH_PROPERTY_TELEPHONENUMBERS_NAME},
    {2, ZEBPATH_PROPERTY_TELEPHONENUMBERS_TYPE},
    {2, ZEBPATH_PROPERTY_TELEPHONENUMBERS_PREFERRED},
    {2, ZEBPATH_PROPERTY_EMAILS_NAME},
    {2, ZEBPATH_PROPERTY_EMAILS_TYPE},
    {2, ZEBPATH_PROPERTY_EMAILS_PREFERRED},
    {2, ZEBPATH_PROPERTY_PHOTOS_NAME},
    {2, ZEBPATH_PROPERTY_PHOTOS_TYPE},
    {2, ZEBPATH_PROPERTY_PHOTOS_PREFERRED},
    {0, nullptr},
};

const variant_path_t contact_type_paths_array[] = {
    {1, VARKEY_CONTACT_UNIQUEID},
    {1, VARKEY_CONTACT_LASTREVISION},
    {1, VARKEY_CONTACT_NAME},
    {1, VARKEY_CONTACT_FORMATTEDNAME},
    {1, VARKEY_CONTACT_BIRTHDAY},
    {1, VARKEY_CONTACT_TITLE},
    {1, VARKEY_CONTACT_ORGANISATION},
    {1, VARKEY_CONTACT_URL},
    {1, VARKEY_CONTACT_RINGTONE},
    {1, VARKEY_CONTACT_ADDRESSES},
    {1, VARKEY_CONTACT_LABELS},
    {1, VARKEY_CONTACT_TELEPHONENUMBERS},
    {1, VARKEY_CONTACT_EMAILS},
    {1, VARKEY_CONTACT_PHOTOS},
    {1, VARKEY_CONTACT_TAGS},
    {2, VARKEY_CONTACT_ADDRESSES_NAME},
    {2, VARKEY_CONTACT_ADDRESSES_TYPE},
    {2, VARKEY_CONTACT_ADDRESSES_PREFERRED},
    {2, VARKEY_PROPERTY_LABELS_NAME},
    {2, VARKEY_PROPERTY_LABELS_TYPE},
    {2, VARKEY_PROPERTY_LABELS_PREFERRED},
    {2, VARKEY_PROPERTY_TELEPHONENUMBERS_NAME},
    {2, VARKEY_PROPERTY_TELEPHONENUMBERS_TYPE},
    {2, VARKEY_PROPERTY_TELEPHONENUMBERS_PREFERRED},
    {2, VARKEY_PROPERTY_EMAILS_NAME},
    {2, VARKEY_PROPERTY_EMAILS_TYPE},
    {2, VARKEY_PROPERTY_EMAILS_PREFERRED},
    {2, VARKEY_PROPERTY_PHOTOS_NAME},
    {2, VARKEY_PROPERTY_PHOTOS_TYPE},
    {2, VARKEY_PROPERTY_PHOTOS_PREFERRED},
    {0, nullptr},
};

const variant_path_t *const CONTACT_OBJECT_PATHS = contact_object_paths_array;
const variant_path_t *const CONTACT_TYPE_PATHS = contact_type_paths_array;
const size_t CONTACT_OBJECT_PATHS_SIZE =
    sizeof contact_object_paths_array / sizeof contact_object_paths_array[0];
const size_t CONTACT_TYPE_PATHS_SIZE =
    sizeof contact_type_paths_array / sizeof contact_type_paths_array[0];

/* Key number `index` of a path, null when the path has none. */
static const char *pathKey(const variant_path_t *path, uint32_t index) {
    if (path == nullptr || path->keys == nullptr || index >= path->depth)
        return nullptr;
    return path->keys[index];
}

char *pathToString(const variant_path_t *path, uint32_t n) {
    if (path == nullptr)
        return nullptr;
    uint32_t count = path->depth < n ? path->depth : n;
    if (count == 0)
        return nullptr;

    size_t length = count; /* the separators and the terminating zero */
    for (uint32_t i = 0; i < count; i++)
        length += strlen(textOrEmpty(pathKey(path, i)));

    char *text = static_cast<char *>(calloc(length, 1));
    if (text == nullptr) {
        kelTrace(KELTRACE_LEVEL_WARNING, "calloc failed");
        return nullptr;
    }
    size_t used = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (i > 0 && used + 1 < length)
            text[used++] = '.';
        const char *key = textOrEmpty(pathKey(path, i));
        size_t keyLength = strlen(key);
        if (keyLength > length - 1 - used)
            keyLength = length - 1 - used;
        memcpy(text + used, key, keyLength);
        used += keyLength;
    }
    return text;
}

bool path_compare(const variant_path_t *path, const variant_path_t *base, uint32_t depth) {
    for (uint32_t i = 0; i < depth; i++) {
        const char *key = pathKey(path, i);
        const char *baseKey = pathKey(base, i);
        if (key == nullptr || baseKey == nullptr || strcmp(key, baseKey) != 0) {
            kelTrace(KELTRACE_LEVEL_INFO, "path_compare: %s does not match %s", textOrEmpty(key),
                     textOrEmpty(baseKey));
            return false;
        }
        kelTrace(KELTRACE_LEVEL_INFO, "path_compare: %s matches %s", key, baseKey);
    }
    return true;
}

bool variant_map_iterator_setKey(variant_map_iterator_t *entry, const char *key) {
    if (entry == nullptr || key == nullptr) {
        zeb_error = ZEB_ERROR_INVALID_ARGUMENT;
        return false;
    }
    /* On failure the entry keeps its old key. */
    return variant_map_iterator_rename(entry, key);
}

bool remap_paths(variant_map_t *tree, const variant_path_t *from, const variant_path_t *to,
                 size_t size, uint32_t depth, size_t base) {
    kelTraceIn(nullptr);
    char *treeText = depth > 0 ? pathToString(&from[base], depth) : nullptr;
    kelTrace(KELTRACE_LEVEL_INFO, "remapping variant tree %s at depth %i", textOrEmpty(treeText),
             static_cast<int>(depth));
    free(treeText);

    bool result = true;
    for (size_t i = 0; i < size; i++) {
        const variant_path_t base_path = from[i];
        const variant_path_t new_path = to[i];
        PHONEBOOK_ASSERT(base_path.depth == new_path.depth);
        if (base_path.depth != depth + 1)
            continue;
        if (!path_compare(&base_path, &from[base], depth))
            continue;

        const char *old_key = pathKey(&base_path, depth);
        const char *new_key = pathKey(&new_path, depth);
        char *fromText = pathToString(&base_path, depth + 1);
        char *toText = pathToString(&new_path, depth + 1);

        variant_map_iterator_t *entry =
            old_key != nullptr ? variant_map_find(tree, old_key) : nullptr;
        /* A contact leaves out whatever it does not have: not a fault. */
        if (entry == nullptr) {
            kelTrace(KELTRACE_LEVEL_INFO, "old_key=%s was not found, ignoring",
                     textOrEmpty(old_key));
            free(fromText);
            free(toText);
            continue;
        }

        kelTrace(KELTRACE_LEVEL_INFO, "trying remapping of %s to %s", textOrEmpty(fromText),
                 textOrEmpty(toText));
        variant_t *value = variant_map_iterator_data(entry);
        variant_type_t type = variant_type(value);
        if (type == variant_type_array) {
            kelTrace(KELTRACE_LEVEL_INFO, "Encountered a new variant_type_array; old_key=%s",
                     textOrEmpty(fromText));
            /* Children are remapped before the key that holds them changes. */
            for (variant_list_iterator_t *it = variant_list_first(variant_da_list(value));
                 it != nullptr; it = variant_list_iterator_next(it)) {
                variant_map_t *element = variant_da_map(variant_list_iterator_data(it));
                if (element == nullptr) {
                    result = false;
                    continue;
                }
                bool elementResult = remap_paths(element, from, to, size, depth + 1, i);
                if (result)
                    result = elementResult;
            }
        } else if (type == variant_type_map) {
            kelTrace(KELTRACE_LEVEL_INFO, "Encountered a new variant_type_map; old_key=%s",
                     textOrEmpty(fromText));
            bool mapResult = remap_paths(variant_da_map(value), from, to, size, depth + 1, i);
            if (result)
                result = mapResult;
        } else {
            kelTrace(KELTRACE_LEVEL_INFO, "Encountered a variant of type %i; old_key=%s",
                     static_cast<int>(type), textOrEmpty(fromText));
        }

        variant_map_iterator_setKey(entry, new_key);
        kelTrace(KELTRACE_LEVEL_INFO, "remapped old_key=%s to new_key=%s", textOrEmpty(fromText),
                 textOrEmpty(toText));
        free(fromText);
        free(toText);
    }
    kelTraceOut(nullptr);
    return result;
}

/* "prefix.key" in `buffer` when it fits, else in new heap text; null when
 * memory runs out. The caller frees a result that is not `buffer`. */
static char *childPrefix(char *buffer, size_t size, const char *prefix, const char *key) {
    size_t needed = strlen(prefix) + strlen(key) + 2;
    char *text = needed <= size ? buffer : static_cast<char *>(malloc(needed));
    if (text != nullptr)
        snprintf(text, needed, "%s.%s", prefix, key);
    return text;
}

void recursiveVariantMapPrint(const variant_map_t *map, const char *prefix) {
    kelTraceIn(nullptr);
    prefix = textOrEmpty(prefix);
    kelTrace(KELTRACE_LEVEL_INFO, "printing a map of size %i",
             static_cast<int>(variant_map_size(map)));

    for (variant_map_iterator_t *it = variant_map_first(map); it != nullptr;
         it = variant_map_iterator_next(it)) {
        const char *key = textOrEmpty(variant_map_iterator_key(it));
        const variant_t *value = variant_map_iterator_data(it);
        variant_type_t type = variant_type(value);

        if (type == variant_type_array || type == variant_type_map) {
            char buffer[256];
            char *child = childPrefix(buffer, sizeof buffer, prefix, key);
            if (type == variant_type_array) {
                kelTrace(KELTRACE_LEVEL_INFO, "Encountered a new variant_type_array; old_key");
                for (variant_list_iterator_t *element = variant_list_first(variant_da_list(value));
                     element != nullptr; element = variant_list_iterator_next(element)) {
                    const variant_map_t *elementMap =
                        variant_da_map(variant_list_iterator_data(element));
                    if (elementMap == nullptr) {
                        kelTrace(KELTRACE_LEVEL_WARNING,
                                 "variant_list_iterator_t element is not of type variant_type_map");
                        continue;
                    }
                    kelTrace(KELTRACE_LEVEL_INFO, "!!!!! Decending into %s.%s", prefix, key);
                    recursiveVariantMapPrint(elementMap, textOrEmpty(child));
                }
            } else {
                kelTrace(KELTRACE_LEVEL_INFO, "!!!!! Decending into %s.%s", prefix, key);
                recursiveVariantMapPrint(variant_da_map(value), textOrEmpty(child));
            }
            if (child != buffer)
                free(child);
            continue;
        }

        if (type != variant_type_string)
            kelTrace(KELTRACE_LEVEL_INFO, "variant type: %s.%s = %i", prefix, key,
                     static_cast<int>(type));
        char *text = variant_char(value);
        kelTrace(KELTRACE_LEVEL_INFO, "!!!!! %s.%s = %s; type=%i", prefix, key, textOrEmpty(text),
                 static_cast<int>(type));
        free(text);
    }
    kelTraceOut(nullptr);
}

/* List keys of the property objects of an entry; any other child object is
 * listed under its own name. */
static const struct {
    const char *object;
    const char *listKey;
} CONTACT_LIST_KEYS[] = {
    {"Address", "addresses"}, {"Label", "labels"}, {"TelephoneNumber", "telephoneNumbers"},
    {"Email", "emails"},      {"Photo", "photos"},
};

const char *contactListKey(const char *objectName) {
    for (const auto &row : CONTACT_LIST_KEYS) {
        if (objectName != nullptr && strcmp(row.object, objectName) == 0)
            return row.listKey;
    }
    return objectName;
}

const char *contactPropertyKey(const char *parameterName) {
    const char *name = textOrEmpty(parameterName);
    if (strcmp(name, ZEBPATH_PROPERTY_TYPE) == 0)
        return VARKEY_PROPERTY_TYPE;
    if (strcmp(name, ZEBPATH_PROPERTY_PREFERRED) == 0)
        return VARKEY_PROPERTY_PREFERRED;
    return VARKEY_PROPERTY_NAME;
}

/* Adds the parameters of a property instance under their contact keys.
 * Stops at the first value that cannot be added. */
static void object_getPropertyBasedValues(object_t *object, variant_map_t *map) {
    for (parameter_t *parameter = object_firstParameter(object); parameter != nullptr;
         parameter = object_nextParameter(parameter)) {
        if (!variant_map_add(map, contactPropertyKey(parameter_name(parameter)),
                             parameter_getValue(parameter)))
            break;
    }
}

bool zeb_obj_to_variant_map_t(object_t *object, variant_map_t *map, const char *listKey) {
    kelTraceIn(PHONEBOOK_ZONE);
    if (object == nullptr) {
        kelTraceOut(PHONEBOOK_ZONE);
        return true;
    }

    variant_map_addChar(map, VARKEY_CONTACT_KEY, object_name(object, OBJECT_FLAG_KEY));
    if (listKey == nullptr)
        object_getLowerCaseValues(object, map);
    else
        object_getPropertyBasedValues(object, map);

    for (object_t *child = object_firstChild(object); child != nullptr;
         child = object_nextSibling(child)) {
        const char *childKey = contactListKey(object_name(child, 0));
        variant_map_iterator_t *listEntry = variant_map_iterator_createListMove(childKey, nullptr);
        if (listEntry == nullptr)
            continue;
        variant_list_t *list = variant_da_list(variant_map_iterator_data(listEntry));
        for (object_t *instance = object_firstInstance(child); instance != nullptr;
             instance = object_nextInstance(instance))
            appendObjectMap(list, instance, childKey);
        if (!variant_map_append(map, listEntry))
            variant_map_iterator_destroy(listEntry);
    }
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

bool addSubObject(variant_map_t *element, object_t *parent, const char *name) {
    kelTraceIn(PHONEBOOK_ZONE);
    /* Only a child template by that exact name: a dotted key that reaches
     * further down names no property object. */
    object_t *child = name != nullptr ? object_getObject(parent, name, 0, nullptr) : nullptr;
    if (child == nullptr || !object_isTemplate(child) || object_parent(child) != parent) {
        kelTrace(KELTRACE_LEVEL_WARNING, "variant key does not match object subpath");
        kelTraceOut(PHONEBOOK_ZONE);
        return false;
    }

    char *path = object_pathChar(child, OBJECT_FLAG_KEY);
    const char *key =
        variant_da_char(variant_map_iterator_data(variant_map_find(element, VARKEY_PROPERTY_KEY)));
    object_t *instance =
        key != nullptr ? object_getObject(child, key, OBJECT_FLAG_KEY, nullptr) : nullptr;

    bool result = false;
    if (instance != nullptr && object_isInstance(instance) && object_parent(instance) == child) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE,
                  "The instance %s.%s already exists, just modify it", textOrEmpty(path), key);
        /* Revives an instance that the caller marked deleted. One created in
         * this same change has nothing to drop, and a rollback would destroy
         * it. */
        if (object_state(instance) != object_state_created)
            object_rollback(instance);
        result = init_zeb_contact_obj(element, instance);
    } else {
        instance = object_createInstance(child, 0, key);
        if (instance == nullptr)
            kelTrace(KELTRACE_LEVEL_WARNING, "Could not create an instance of %s",
                     textOrEmpty(path));
        else
            result = init_zeb_contact_obj(element, instance);
    }
    free(path);
    kelTraceOut(PHONEBOOK_ZONE);
    return result;
}

/* Writes one scalar element into the parameter of the same name; elements
 * that name no parameter are skipped. False when the value was refused. */
static bool setContactParameter(object_t *object, const char *path, const char *key,
                                const variant_t *value) {
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Encountered a new \"normal\" variant_type %s",
              key);
    parameter_t *parameter = object_getParameter(object, key);
    if (parameter == nullptr) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE,
                  "The key '%s' doesn't match an odl parameter", key);
        return true;
    }
    if (!parameter_setValue(parameter, value)) {
        kelTrace(KELTRACE_LEVEL_WARNING, "could not set parameter %s.%s", path, key);
        return false;
    }
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "set parameter %s", key);
    return true;
}

bool init_zeb_contact_obj(variant_map_t *map, object_t *object) {
    kelTraceIn(PHONEBOOK_ZONE);
    if (map == nullptr || object == nullptr) {
        kelTraceOut(PHONEBOOK_ZONE);
        return false;
    }
    char *pathText = object_pathChar(object, OBJECT_FLAG_KEY);
    const char *path = textOrEmpty(pathText);
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Converting object %s to data", path);

    /* Every element is written, also after a failure, so that the trace
     * tells all that was wrong; one failure fails the whole conversion. */
    bool result = true;
    for (variant_map_iterator_t *it = variant_map_first(map); it != nullptr;
         it = variant_map_iterator_next(it)) {
        const char *key = textOrEmpty(variant_map_iterator_key(it));
        variant_t *value = variant_map_iterator_data(it);
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Converting variant %s to data", key);
        bool written = true;
        switch (variant_type(value)) {
        case variant_type_array:
            kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE,
                      "Encountered a new variant_type_array %s", key);
            for (variant_list_iterator_t *element = variant_list_first(variant_da_list(value));
                 element != nullptr; element = variant_list_iterator_next(element)) {
                variant_map_t *elementMap = variant_da_map(variant_list_iterator_data(element));
                if (elementMap == nullptr) {
                    kelTrace(KELTRACE_LEVEL_WARNING,
                             "variant_list_iterator_t element is not of type variant_type_map");
                    written = false;
                } else if (!addSubObject(elementMap, object, key)) {
                    written = false;
                }
            }
            break;
        case variant_type_map:
            kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Encountered a new variant_type_map %s",
                      key);
            written = addSubObject(variant_da_map(value), object, key);
            break;
        case variant_type_double:
            kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE,
                      "Encountered a new variant_type_double %s", key);
            break;
        default:
            written = setContactParameter(object, path, key, value);
            break;
        }
        if (!written)
            result = false;
    }
    free(pathText);
    kelTraceOut(PHONEBOOK_ZONE);
    return result;
}

void appendObjectMap(variant_list_t *list, object_t *object, const char *listKey) {
    variant_list_iterator_t *element = variant_list_iterator_createMapMove(nullptr);
    if (element == nullptr)
        return;
    zeb_obj_to_variant_map_t(object, variant_da_map(variant_list_iterator_data(element)), listKey);
    if (!variant_list_append(list, element))
        variant_list_iterator_destroy(element);
}
