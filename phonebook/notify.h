/*
 * Contact change notifications: "contactCreated", "contactUpdated" and
 * "contactDeleted" on Phonebook.
 */
#ifndef PHONEBOOK_NOTIFY_H
#define PHONEBOOK_NOTIFY_H

#include "zeb/dm.h"

void notify_init(void);
/* Drops pending notifications unsent. */
void notify_cleanup(void);
/* `object` is an entry or lies below one. */
void notify_entryUpdated(object_t *object);
void notify_entryDeleted(object_t *entry);

#endif
