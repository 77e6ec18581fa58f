/*
 * Intrusive doubly linked lists.
 *
 * Rules:
 * - A list never allocates or frees anything. An element is an llist_iterator_t
 *   embedded at the start of the owner's record; the owner allocates and frees
 *   the record, the list only links it.
 * - An element belongs to at most one list at a time. Appending an element
 *   that is already linked fails and changes nothing.
 * - Every function accepts null where a list or an element is expected: it
 *   then does nothing and returns false, null or 0.
 * - Iteration ends with null. Taking the element that an iteration stands on
 *   invalidates that step: fetch the next element first.
 */
#ifndef ZEB_LLIST_H
#define ZEB_LLIST_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What follows is the library's interface, exported from it; the rest of
 * the library is hidden. */
#pragma GCC visibility push(default)

struct llist;

/* The link embedded in an element. Its fields are private to the library. */
typedef struct llist_iterator {
    struct llist_iterator *next;
    struct llist_iterator *prev;
    struct llist *list;
} llist_iterator_t;

/* A list head. Its fields are private to the library. */
typedef struct llist {
    llist_iterator_t *head;
    llist_iterator_t *tail;
    size_t size;
} llist_t;

/* Makes an empty list. Always true for a non-null list. */
bool llist_initialize(llist_t *list);

/* Makes an unlinked element. Always true for a non-null element. */
bool llist_iterator_initialize(llist_iterator_t *it);

llist_iterator_t *llist_first(const llist_t *list);
llist_iterator_t *llist_last(const llist_t *list);
llist_iterator_t *llist_iterator_next(const llist_iterator_t *it);
llist_iterator_t *llist_iterator_prev(const llist_iterator_t *it);

/* The list that the element is linked into, or null. */
llist_t *llist_iterator_list(const llist_iterator_t *it);

bool llist_isEmpty(const llist_t *list);

/* Number of elements; constant time. */
size_t llist_size(const llist_t *list);

/* Links an unlinked element at the end or at the front. */
bool llist_append(llist_t *list, llist_iterator_t *it);
bool llist_prepend(llist_t *list, llist_iterator_t *it);

/* Links the unlinked element `it` just before `before`, which must be linked. */
bool llist_iterator_insertBefore(llist_iterator_t *before, llist_iterator_t *it);

/* Unlinks the element from its list and gives it back to the caller, who owns
 * the record again. Taking an unlinked element returns it unchanged. */
llist_iterator_t *llist_iterator_take(llist_iterator_t *it);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
