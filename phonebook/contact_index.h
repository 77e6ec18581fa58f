/*
 * Sorted pages and search of the phonebook: getContactsRange and
 * searchContacts, answered from indexes kept beside the data model.
 *
 * The indexes number the entries with small slots (entry_slots.hpp) and keep
 * per entry a few bytes by slot, the keys packed in one arena per index:
 * - An order index holds every entry sorted by one key (the formatted name,
 *   the structured name or LastRevision) in one collation, ties broken by
 *   UniqueID, then by instance index. The sort key of each entry is stored,
 *   so that no comparison recomputes it; the UniqueID is read from the entry
 *   when two keys tie, which is why an entry leaves the orders before its
 *   UniqueID changes (contact_index_uniqueIDChanging).
 * - A word index holds, per collation, the primary keys of the words of the
 *   formatted name, the structured name, the organisation and the e-mail
 *   addresses, each word once per entry, and none that begins another word
 *   of the same entry (a prefix that finds it finds that one too).
 * - The digits index holds, per 3-digit window of the digits of a telephone
 *   number, the entries one of whose numbers held it. A search by digits
 *   takes the entries filed under the rarest window of its digits and keeps
 *   those of which a number holds all of them, so that postings left behind
 *   by a number changed or an entry deleted cost a check, not a wrong answer;
 *   the numbers are filed afresh when such postings outnumber the others.
 * The formatted-name index of the default collation (Phonebook.SortLocale)
 * is built at start; the others on first use (the digits index on the first
 * search by digits). Those of other collations are dropped when SortLocale
 * names another collation. When memory runs out while updating them, every
 * index is dropped and built again on its next use.
 *
 * The indexes learn of changes where the change log does (notify.cpp): an
 * entry that changed is marked, and the marked entries are brought up to
 * date in every index before the next answer, so that a burst of writes
 * costs one key computation per entry; an entry deleted leaves at once.
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
/* The entry's UniqueID is about to change (before the commit, the committed
 * value still readable): it leaves the orders at once, since they read it
 * to break ties, and comes back with the entry's next update. */
void contact_index_uniqueIDChanging(object_t *entry);

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
 * primary weight finds nothing. A text with a letter and a separator finds
 * the contacts that each of its terms finds: a word with a letter, found by
 * the words beginning with it; a run of words of digits alone, found by words
 * beginning with each of them or by a number containing all their digits (when
 * at least three). A term repeated counts once; only the first 8 count. */
void searchContacts(object_t *phonebook, const char *text, uint64_t offset, uint32_t count,
                    const char *locale, variant_map_t *answer);

#endif
