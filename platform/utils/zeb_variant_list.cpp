#include "zeb/variant.h"

#include "zeb_variant_internal.h"

#include <cstdlib>

namespace {

// The link is the first member, so a link and its element share an address.
// Every link of a list is the first member of an element allocated as such,
// aligned for the whole element (its variant may need 8 bytes where the link
// needs 4): going through void * says so.
variant_list_iterator_t *element(llist_iterator_t *link) {
    return static_cast<variant_list_iterator_t *>(static_cast<void *>(link));
}

variant_list_iterator_t *newElement() {
    uint32_t storage = ZEB_STORAGE_HEAP;
    auto *it = static_cast<variant_list_iterator_t *>(
        zeb_block_new(sizeof(variant_list_iterator_t), &storage));
    if (it) {
        it->storage = storage;
        llist_iterator_initialize(&it->it);
        variant_initialize(&it->data, variant_type_unknown);
    }
    return it;
}

// Releases an element whose value could not be filled in.
variant_list_iterator_t *discard(variant_list_iterator_t *it) {
    variant_list_iterator_destroy(it);
    return nullptr;
}

// Makes an element from `value`, which the element takes over; on failure
// `value` is released.
bool appendMoved(variant_list_t *list, variant_t *value) {
    variant_list_iterator_t *it = variant_list_iterator_createMove(value);
    variant_cleanup(value);
    return it && variant_list_append(list, it);
}

} // namespace

bool variant_list_initialize(variant_list_t *list) {
    return list && llist_initialize(&list->list);
}

void variant_list_cleanup(variant_list_t *list) {
    if (!list) {
        return;
    }
    // The whole list goes: its elements are freed without unlinking each.
    llist_iterator_t *link = list->list.head;
    llist_initialize(&list->list);
    while (link) {
        variant_list_iterator_t *it = element(link);
        link = link->next;
        variant_cleanup(&it->data);
        zeb_block_release(it, it->storage);
    }
}

bool variant_list_copy(variant_list_t *dest, const variant_list_t *src) {
    if (!dest || !src) {
        return false;
    }
    if (dest == src) {
        return true;
    }
    variant_list_t copy;
    variant_list_initialize(&copy);
    for (auto *it = variant_list_first(src); it; it = variant_list_iterator_next(it)) {
        if (!variant_list_add(&copy, &it->data)) {
            variant_list_cleanup(&copy);
            return false;
        }
    }
    variant_list_cleanup(dest);
    zeb_llist_moveAll(&dest->list, &copy.list);
    return true;
}

bool zeb_variant_list_equals(const variant_list_t *a, const variant_list_t *b) {
    if (variant_list_size(a) != variant_list_size(b)) {
        return false;
    }
    auto *y = variant_list_first(b);
    for (auto *x = variant_list_first(a); x; x = variant_list_iterator_next(x)) {
        if (!variant_equals(&x->data, &y->data)) {
            return false;
        }
        y = variant_list_iterator_next(y);
    }
    return true;
}

size_t variant_list_size(const variant_list_t *list) {
    return list ? llist_size(&list->list) : 0;
}

variant_list_iterator_t *variant_list_first(const variant_list_t *list) {
    return list ? element(llist_first(&list->list)) : nullptr;
}

variant_list_iterator_t *variant_list_last(const variant_list_t *list) {
    return list ? element(llist_last(&list->list)) : nullptr;
}

variant_list_iterator_t *variant_list_iterator_next(const variant_list_iterator_t *it) {
    return it ? element(llist_iterator_next(&it->it)) : nullptr;
}

variant_list_iterator_t *variant_list_iterator_prev(const variant_list_iterator_t *it) {
    return it ? element(llist_iterator_prev(&it->it)) : nullptr;
}

variant_t *variant_list_iterator_data(const variant_list_iterator_t *it) {
    return it ? const_cast<variant_t *>(&it->data) : nullptr;
}

variant_list_iterator_t *variant_list_at(const variant_list_t *list, size_t index) {
    auto *it = variant_list_first(list);
    for (; it && index > 0; index--) {
        it = variant_list_iterator_next(it);
    }
    return it;
}

variant_list_iterator_t *variant_list_iterator_create(const variant_t *value) {
    variant_list_iterator_t *it = value ? newElement() : nullptr;
    return !it || variant_copy(&it->data, value) ? it : discard(it);
}

variant_list_iterator_t *variant_list_iterator_createMove(variant_t *value) {
    variant_list_iterator_t *it = value ? newElement() : nullptr;
    if (it) {
        variant_move(&it->data, value);
    }
    return it;
}

variant_list_iterator_t *variant_list_iterator_createMapMove(variant_map_t *map) {
    variant_list_iterator_t *it = newElement();
    bool filled = it && (map ? variant_setMapMove(&it->data, map)
                             : variant_initialize(&it->data, variant_type_map));
    return !it || filled ? it : discard(it);
}

variant_list_iterator_t *variant_list_iterator_createListMove(variant_list_t *list) {
    variant_list_iterator_t *it = newElement();
    bool filled = it && (list ? variant_setListMove(&it->data, list)
                              : variant_initialize(&it->data, variant_type_array));
    return !it || filled ? it : discard(it);
}

void variant_list_iterator_destroy(variant_list_iterator_t *it) {
    if (!it) {
        return;
    }
    llist_iterator_take(&it->it);
    variant_cleanup(&it->data);
    zeb_block_release(it, it->storage);
}

variant_list_iterator_t *variant_list_iterator_take(variant_list_iterator_t *it) {
    return it ? element(llist_iterator_take(&it->it)) : nullptr;
}

bool variant_list_append(variant_list_t *list, variant_list_iterator_t *it) {
    return list && it && llist_append(&list->list, &it->it);
}

bool variant_list_prepend(variant_list_t *list, variant_list_iterator_t *it) {
    return list && it && llist_prepend(&list->list, &it->it);
}

bool variant_list_add(variant_list_t *list, const variant_t *value) {
    variant_list_iterator_t *it = list ? variant_list_iterator_create(value) : nullptr;
    return it && variant_list_append(list, it);
}

bool variant_list_addChar(variant_list_t *list, const char *text) {
    variant_t value;
    variant_initialize(&value, variant_type_unknown);
    return list && variant_setChar(&value, text) && appendMoved(list, &value);
}
