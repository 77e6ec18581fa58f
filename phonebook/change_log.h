/*
 * The change log behind getChangesSince: every change of a Phonebook.Entry,
 * whoever makes it (the functions, direct writes, loads, imports), with a
 * sequence number, so that a client follows the phonebook from a token
 * instead of reading all of it again.
 *
 * A record names either an entry that changed, by its instance index (never
 * reused while the data model lives), or a UniqueID that left the phonebook
 * (its entry was deleted or took another identifier), as text. No contact is
 * copied: an answer converts the entries as they are at the time of the call.
 * Committed changes reach the log through the notification machinery, so a
 * rolled-back write leaves nothing; an identifier leaving is recorded by the
 * UniqueID validator before the commit, and when a rollback undoes it the
 * entry still holds the identifier, which the answer then does not report as
 * deleted. Changes of one entry that follow each other fold into one record
 * unless a token handed out stands between them. The last CHANGE_LOG_CAPACITY
 * records are kept; a token older than them gives {"reset": true}.
 *
 * Tokens are texts naming a position in the log (or in the first reading of
 * every contact) with a check value keyed by a secret drawn at each start, so
 * that a token of another run, a forged or a truncated one gives a reset.
 */
#ifndef PHONEBOOK_CHANGE_LOG_H
#define PHONEBOOK_CHANGE_LOG_H

#include <stdint.h>

#include "zeb/dm.h"
#include "zeb/variant.h"

/* Records kept at least; at 8 bytes each plus the text of each identifier
 * that left. */
#define CHANGE_LOG_CAPACITY 10000u
/* Items per answer of getChangesSince: without a count, and at most. */
#define CHANGE_LOG_DEFAULT_COUNT 100u
#define CHANGE_LOG_MAX_COUNT 500u

/* Empties the log and draws the secret of the tokens of this run; until then
 * and after change_log_stop nothing is recorded. */
void change_log_start(void);
void change_log_stop(void);

/* The entry (committed, or being committed) changed. */
void change_log_entryChanged(const object_t *entry);
/* The UniqueID (any text, also empty) is no longer the entry's that held it. */
void change_log_uniqueIDLeft(const char *uniqueID);

/* getChangesSince of the API layer: fills `answer` (a map, emptied first) with
 * {"token", "changed": [contact maps], "deleted": [UniqueIDs], "more"}, or
 * {"reset": true} for a token this run cannot answer. `token` null or empty
 * starts with every contact; `count` is 1 to CHANGE_LOG_MAX_COUNT. Nothing is
 * changed but the record of the tokens handed out. */
void getChangesSince(object_t *phonebook, const char *token, uint32_t count, variant_map_t *answer);

#endif
