#include "zeb/llist.h"

#include "zeb_variant_internal.h"

bool llist_initialize(llist_t *list) {
    if (!list) {
        return false;
    }
    list->head = nullptr;
    list->tail = nullptr;
    list->size = 0;
    return true;
}

bool llist_iterator_initialize(llist_iterator_t *it) {
    if (!it) {
        return false;
    }
    it->next = nullptr;
    it->prev = nullptr;
    it->list = nullptr;
    return true;
}

llist_iterator_t *llist_first(const llist_t *list) {
    return list ? list->head : nullptr;
}

llist_iterator_t *llist_last(const llist_t *list) {
    return list ? list->tail : nullptr;
}

llist_iterator_t *llist_iterator_next(const llist_iterator_t *it) {
    return it ? it->next : nullptr;
}

llist_iterator_t *llist_iterator_prev(const llist_iterator_t *it) {
    return it ? it->prev : nullptr;
}

llist_t *llist_iterator_list(const llist_iterator_t *it) {
    return it ? it->list : nullptr;
}

bool llist_isEmpty(const llist_t *list) {
    return list && list->size == 0;
}

size_t llist_size(const llist_t *list) {
    return list ? list->size : 0;
}

static void linkBetween(llist_t *list, llist_iterator_t *prev, llist_iterator_t *next,
                        llist_iterator_t *it) {
    it->prev = prev;
    it->next = next;
    it->list = list;
    if (prev) {
        prev->next = it;
    } else {
        list->head = it;
    }
    if (next) {
        next->prev = it;
    } else {
        list->tail = it;
    }
    list->size++;
}

bool llist_append(llist_t *list, llist_iterator_t *it) {
    if (!list || !it || it->list) {
        return false;
    }
    linkBetween(list, list->tail, nullptr, it);
    return true;
}

bool llist_prepend(llist_t *list, llist_iterator_t *it) {
    if (!list || !it || it->list) {
        return false;
    }
    linkBetween(list, nullptr, list->head, it);
    return true;
}

bool llist_iterator_insertBefore(llist_iterator_t *before, llist_iterator_t *it) {
    if (!before || !it || !before->list || it->list) {
        return false;
    }
    linkBetween(before->list, before->prev, before, it);
    return true;
}

llist_iterator_t *llist_iterator_take(llist_iterator_t *it) {
    if (!it || !it->list) {
        return it;
    }
    llist_t *list = it->list;
    if (it->prev) {
        it->prev->next = it->next;
    } else {
        list->head = it->next;
    }
    if (it->next) {
        it->next->prev = it->prev;
    } else {
        list->tail = it->prev;
    }
    list->size--;
    llist_iterator_initialize(it);
    return it;
}

void zeb_llist_moveAll(llist_t *dest, llist_t *src) {
    *dest = *src;
    for (llist_iterator_t *it = dest->head; it; it = it->next) {
        it->list = dest;
    }
    llist_initialize(src);
}
