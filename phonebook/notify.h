/*
 * Contact change notifications: "contactCreated", "contactUpdated" and
 * "contactDeleted" on Phonebook, each carrying the whole contact with its
 * public keys. Changes are folded per entry: creations and updates go out
 * 200 ms after the last change (one per entry and burst), deletions at once.
 */
#ifndef PHONEBOOK_NOTIFY_H
#define PHONEBOOK_NOTIFY_H

#include "zeb/dm.h"

/* Before any handler is installed. Starts the change log (change_log.h) and
 * the contact indexes (contact_index.h), which learn of every change of an
 * entry from here. */
void notify_init(void);
/* Drops pending notifications unsent and stops the change log and the
 * indexes; nothing is announced or recorded afterwards. */
void notify_cleanup(void);
/* `object` is an entry or lies below one; its entry is announced as created
 * (first change seen) or updated. */
void notify_entryUpdated(object_t *object);
/* `entry` is being deleted: "contactDeleted" when it was announced. */
void notify_entryDeleted(object_t *entry);

#endif
