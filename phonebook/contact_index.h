/*
 * Sorted pages and search of the phonebook: getContactsRange and
 * searchContacts, answered from indexes kept beside the data model.
 *
 * An order index holds every entry sorted by one key (the formatted name,
 * the structured name or LastRevision) in one collation, ties broken by
 * UniqueID (then by instance index), with the key of each entry stored so
 * that no comparison recomputes it. A word index holds, per collation, the
 * primary keys of the words of the formatted name, the structured name, the
 * organisation and the e-mail addresses. The formatted-name index of the
 * default collation (Phonebook.SortLocale) is built at start; the others on
 * first use. All of them are dropped when SortLocale names another
 * collation, and rebuilt when memory ran out while updating them.
 *
 * The indexes learn of changes where the change log does (notify.cpp): an
 * entry that changed is marked, and the marked entries are brought up to
 * date in every index before the next answer, so that a burst of writes
 * costs one key computation per entry; an entry deleted leaves at once.
 *
 * Telephone numbers are not indexed: a search by digits walks the numbers of
 * every entry.
 */
#ifndef PHONEBOOK_CONTACT_INDEX_H
#define PHONEBOOK_CONTACT_INDEX_H

#include <stddef.h>
#include <stdint.h>

#include "phonebook.h"
#include "zeb/dm.h"
#include "zeb/variant.h"

/* Contacts per page: without a count, and at most. */
#define CONTACT_RANGE_DEFAULT_COUNT 50u
#define CONTACT_RANGE_MAX_COUNT 500u

/* Empties the indexes; from start to stop they follow the entries. */
void contact_index_start(void);
void contact_index_stop(void);
/* Builds the default collation's formatted-name index now. */
void contact_index_prepare(object_t *phonebook);

/* The entry changed (committed), or is being deleted. */
void contact_index_entryChanged(object_t *entry);
void contact_index_entryDeleted(object_t *entry);

/* Validator of Phonebook.SortLocale: a locale collation_forLocale knows. */
PHONEBOOK_EXPORT bool sort_locale_constraint(parameter_t *parameter);

typedef struct contacts_range_request {
    uint64_t offset;
    uint32_t count;     /* 1 to CONTACT_RANGE_MAX_COUNT */
    const char *sortBy; /* null: "formattedName" */
    const char *locale; /* null: Phonebook.SortLocale */
    bool descending;
    const char *from; /* null: start at offset */
} contacts_range_request_t;

/* getContactsRange: fills `answer` (emptied first) with {"total", "offset",
 * "contacts"}, or {"error"} naming an unknown sortBy or locale. */
void getContactsRange(object_t *phonebook, const contacts_range_request_t *request,
                      variant_map_t *answer);

/* searchContacts: the contacts of which a word begins with `text` at primary
 * strength, or, when `text` holds at least three digits, a number contains
 * them, in formatted-name order; the answer as above. A text without any
 * primary weight finds nothing. */
void searchContacts(object_t *phonebook, const char *text, uint64_t offset, uint32_t count,
                    const char *locale, variant_map_t *answer);

#endif
