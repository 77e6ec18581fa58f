/*
 * The stored telephone numbers of the phonebook by notation, so that the
 * lookup by number tries the few notations that can match the asked number
 * instead of comparing it with every stored one.
 *
 * The index holds each TelephoneNumber instance under the notation of its
 * committed Number (number_notation), numbers of two bytes or more only. The
 * first lookup files every number; from then on the index follows the
 * commits of Number (write_handler_Number) and the destruction of number
 * instances (the property delete handler); rollbacks leave committed values
 * alone. A filed instance keeps the hash it is filed under as its object
 * user data. Nothing here fails: when memory runs out the index forgets
 * everything and the next lookup files everything again.
 */
#ifndef PHONEBOOK_NUMBER_INDEX_H
#define PHONEBOOK_NUMBER_INDEX_H

#include "zeb/dm.h"

/* Files the number instance under its Number as it is now, in place of
 * where it was filed before. */
void number_index_update(object_t *number);
/* Forgets the number instance; nothing when it is not filed. */
void number_index_remove(object_t *number);
/* Files every number of every entry of the phonebook afresh. */
void number_index_rebuild(object_t *phonebook);
/* Forgets everything, without touching the instances (they may be gone); the
 * next lookup files everything again. */
void number_index_clear(void);
/* The first entry in instance order holding a number that compare_numbers
 * matches with `number`: the same entry as number_findEntryByWalk. */
object_t *number_index_findEntry(object_t *phonebook, const char *number);

#endif
