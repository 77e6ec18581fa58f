#include "zeb/variant.h"

#include "zeb_variant_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

// The link is the first member, so a link and its entry share an address.
// Every link of a map is the first member of an entry allocated as such,
// aligned for the whole entry (its variant may need 8 bytes where the link
// needs 4): going through void * says so.
variant_map_iterator_t *entry(llist_iterator_t *link) {
    return static_cast<variant_map_iterator_t *>(static_cast<void *>(link));
}

// An entry and its key are one allocation: the key follows the entry, until
// a rename gives it a key of its own.
char *inlineKey(variant_map_iterator_t *it) {
    return reinterpret_cast<char *>(it + 1);
}

void releaseKey(variant_map_iterator_t *it) {
    if (it->key != inlineKey(it)) {
        free(it->key);
    }
}

variant_map_iterator_t *newEntry(const char *key) {
    if (!key) {
        return nullptr;
    }
    size_t size = strlen(key) + 1;
    uint32_t storage = ZEB_STORAGE_HEAP;
    auto *it = static_cast<variant_map_iterator_t *>(
        zeb_block_new(sizeof(variant_map_iterator_t) + size, &storage));
    if (!it) {
        return nullptr;
    }
    it->storage = storage;
    it->key = inlineKey(it);
    memcpy(it->key, key, size);
    llist_iterator_initialize(&it->it);
    variant_initialize(&it->data, variant_type_unknown);
    return it;
}

// Releases an entry whose value could not be filled in.
variant_map_iterator_t *discard(variant_map_iterator_t *it) {
    variant_map_iterator_destroy(it);
    return nullptr;
}

bool appendEntry(variant_map_t *map, variant_map_iterator_t *it) {
    return it && variant_map_append(map, it);
}

// Appends an entry that takes over `value`; on failure `value` is released.
bool addMoved(variant_map_t *map, const char *key, variant_t *value) {
    variant_map_iterator_t *it = map ? variant_map_iterator_createMove(key, value) : nullptr;
    variant_cleanup(value);
    return appendEntry(map, it);
}

} // namespace

bool variant_map_initialize(variant_map_t *map) {
    return map && llist_initialize(&map->list);
}

void variant_map_cleanup(variant_map_t *map) {
    if (!map) {
        return;
    }
    // The whole list goes: its entries are freed without unlinking each.
    llist_iterator_t *link = map->list.head;
    llist_initialize(&map->list);
    while (link) {
        variant_map_iterator_t *it = entry(link);
        link = link->next;
        variant_cleanup(&it->data);
        releaseKey(it);
        zeb_block_release(it, it->storage);
    }
}

bool variant_map_copy(variant_map_t *dest, const variant_map_t *src) {
    if (!dest || !src) {
        return false;
    }
    if (dest == src) {
        return true;
    }
    variant_map_t copy;
    variant_map_initialize(&copy);
    for (auto *it = variant_map_first(src); it; it = variant_map_iterator_next(it)) {
        if (!variant_map_add(&copy, it->key, &it->data)) {
            variant_map_cleanup(&copy);
            return false;
        }
    }
    variant_map_cleanup(dest);
    zeb_llist_moveAll(&dest->list, &copy.list);
    return true;
}

bool zeb_variant_map_equals(const variant_map_t *a, const variant_map_t *b) {
    if (variant_map_size(a) != variant_map_size(b)) {
        return false;
    }
    auto *y = variant_map_first(b);
    for (auto *x = variant_map_first(a); x; x = variant_map_iterator_next(x)) {
        if (strcmp(x->key, y->key) != 0 || !variant_equals(&x->data, &y->data)) {
            return false;
        }
        y = variant_map_iterator_next(y);
    }
    return true;
}

size_t variant_map_size(const variant_map_t *map) {
    return map ? llist_size(&map->list) : 0;
}

variant_map_iterator_t *variant_map_first(const variant_map_t *map) {
    return map ? entry(llist_first(&map->list)) : nullptr;
}

variant_map_iterator_t *variant_map_last(const variant_map_t *map) {
    return map ? entry(llist_last(&map->list)) : nullptr;
}

variant_map_iterator_t *variant_map_iterator_next(const variant_map_iterator_t *it) {
    return it ? entry(llist_iterator_next(&it->it)) : nullptr;
}

variant_map_iterator_t *variant_map_iterator_prev(const variant_map_iterator_t *it) {
    return it ? entry(llist_iterator_prev(&it->it)) : nullptr;
}

const char *variant_map_iterator_key(const variant_map_iterator_t *it) {
    return it ? it->key : nullptr;
}

variant_t *variant_map_iterator_data(const variant_map_iterator_t *it) {
    return it ? const_cast<variant_t *>(&it->data) : nullptr;
}

variant_map_iterator_t *variant_map_find(const variant_map_t *map, const char *key) {
    if (!key) {
        return nullptr;
    }
    auto *it = variant_map_first(map);
    while (it && strcmp(it->key, key) != 0) {
        it = variant_map_iterator_next(it);
    }
    return it;
}

bool variant_map_iterator_rename(variant_map_iterator_t *it, const char *key) {
    char *copy = it && key ? strdup(key) : nullptr;
    if (!copy) {
        return false;
    }
    releaseKey(it);
    it->key = copy;
    return true;
}

variant_map_iterator_t *variant_map_iterator_create(const char *key, const variant_t *value) {
    variant_map_iterator_t *it = value ? newEntry(key) : nullptr;
    return !it || variant_copy(&it->data, value) ? it : discard(it);
}

variant_map_iterator_t *variant_map_iterator_createMove(const char *key, variant_t *value) {
    variant_map_iterator_t *it = value ? newEntry(key) : nullptr;
    if (it) {
        variant_move(&it->data, value);
    }
    return it;
}

variant_map_iterator_t *variant_map_iterator_createMapMove(const char *key, variant_map_t *map) {
    variant_map_iterator_t *it = newEntry(key);
    bool filled = it && (map ? variant_setMapMove(&it->data, map)
                             : variant_initialize(&it->data, variant_type_map));
    return !it || filled ? it : discard(it);
}

variant_map_iterator_t *variant_map_iterator_createListMove(const char *key, variant_list_t *list) {
    variant_map_iterator_t *it = newEntry(key);
    bool filled = it && (list ? variant_setListMove(&it->data, list)
                              : variant_initialize(&it->data, variant_type_array));
    return !it || filled ? it : discard(it);
}

void variant_map_iterator_destroy(variant_map_iterator_t *it) {
    if (!it) {
        return;
    }
    llist_iterator_take(&it->it);
    variant_cleanup(&it->data);
    releaseKey(it);
    zeb_block_release(it, it->storage);
}

variant_map_iterator_t *variant_map_iterator_take(variant_map_iterator_t *it) {
    return it ? entry(llist_iterator_take(&it->it)) : nullptr;
}

bool variant_map_append(variant_map_t *map, variant_map_iterator_t *it) {
    return map && it && llist_append(&map->list, &it->it);
}

bool variant_map_add(variant_map_t *map, const char *key, const variant_t *value) {
    return appendEntry(map, map ? variant_map_iterator_create(key, value) : nullptr);
}

bool variant_map_addChar(variant_map_t *map, const char *key, const char *text) {
    variant_t value;
    variant_initialize(&value, variant_type_unknown);
    return variant_setChar(&value, text) && addMoved(map, key, &value);
}

bool variant_map_addBool(variant_map_t *map, const char *key, bool value) {
    variant_t variant;
    variant_initialize(&variant, variant_type_unknown);
    variant_setBool(&variant, value);
    return addMoved(map, key, &variant);
}

bool variant_map_addInt32(variant_map_t *map, const char *key, int32_t value) {
    variant_t variant;
    variant_initialize(&variant, variant_type_unknown);
    variant_setInt32(&variant, value);
    return addMoved(map, key, &variant);
}

bool variant_map_addUInt32(variant_map_t *map, const char *key, uint32_t value) {
    variant_t variant;
    variant_initialize(&variant, variant_type_unknown);
    variant_setUInt32(&variant, value);
    return addMoved(map, key, &variant);
}

bool variant_map_addMapMove(variant_map_t *map, const char *key, variant_map_t *value) {
    bool usable = map && value;
    return usable && appendEntry(map, variant_map_iterator_createMapMove(key, value));
}

bool variant_map_addListMove(variant_map_t *map, const char *key, variant_list_t *value) {
    bool usable = map && value;
    return usable && appendEntry(map, variant_map_iterator_createListMove(key, value));
}
