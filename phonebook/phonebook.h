/*
 * The phonebook plug-in: plug-in-wide state, start-up and shutdown, and the
 * contact API layer between the function handlers and the contact store.
 *
 * Everything runs on the host's single thread. Contacts enter and leave this
 * layer as contact maps keyed by the public keys ("uniqueID",
 * "telephoneNumbers", ...); the store writes maps keyed by data model names.
 * New maps and texts returned here belong to the caller.
 */
#ifndef PHONEBOOK_PHONEBOOK_H
#define PHONEBOOK_PHONEBOOK_H

#include <stdint.h>

#include "zeb/dm.h"
#include "zeb/sl.h"
#include "zeb/variant.h"

/* Marks what the host (or a test) finds in the plug-in by name. */
#define PHONEBOOK_EXPORT extern "C" __attribute__((visibility("default")))

#define PHONEBOOK_ZONE "phonebook"

/* Fixed files; the plug-in resolves them against the system root. */
#define PHONEBOOK_RESTORE_MARKER "/var/lib/phonebook/restore"
#define PHONEBOOK_TESSEL_FILE "/etc/config/tessel.usr"
#define PHONEBOOK_DATAMODEL_FILE "/cfg/system/phonebook.odl"

/* Delay between the last change and the save of the data model file. The
 * environment variable PHONEBOOK_SAVE_DELAY_MS (decimal milliseconds, at most
 * one hour) replaces it for tests that want saves to come quickly. */
#define PHONEBOOK_SAVE_DELAY_MS 5000u
#define PHONEBOOK_SAVE_DELAY_VARIABLE "PHONEBOOK_SAVE_DELAY_MS"

/* Items a contact written through the functions may hold in each of its
 * lists (numbers, e-mails, addresses, labels, photos); a contact with more is
 * refused before anything is written. */
#define PHONEBOOK_MAX_PROPERTIES 100u

/* The host context, kept from zeb_plugin_initialize to the end. */
extern zeb_t *zeb;
/* The Phonebook object. */
extern object_t *_phonebook;
/* The save timer; its user data is &__should_save. */
extern zeb_timer_t *_timer;
/* True until shutdown begins; the save timer saves only while it is. */
extern bool __should_save;
/* The save delay in force, read at start. */
extern uint32_t save_delay_ms;
/* While true, the entry handlers leave LastRevision as it is. */
extern bool revision_update_block;

/* Starts the plug-in and fills the phonebook from the legacy store (restore
 * marker) or the saved file. False, with zeb_error telling why and nothing
 * left running, when the saved file exists but cannot be read: the phonebook
 * would come up empty and its first save would replace the file. */
PHONEBOOK_EXPORT bool zeb_plugin_initialize(zeb_t *context);
PHONEBOOK_EXPORT void zeb_plugin_cleanup(void);

/* ---- Contact API layer --------------------------------------------------- */

uint32_t getMaxNumberOfContacts(object_t *phonebook);
uint32_t getNumberOfContacts(object_t *phonebook);
/* Appends one contact map per entry, in instance order. */
void getAllContacts(object_t *phonebook, variant_list_t *contacts);
/* Appends the contact map of `entry` (public keys) to `contacts`; nothing
 * when memory runs out. */
void appendContact(variant_list_t *contacts, object_t *entry);
/* A new contact map; without keys when no entry matches. */
variant_map_t *getContactByUniqueID(object_t *phonebook, const char *uniqueID);
variant_map_t *getContact(object_t *phonebook, const char *formattedName);
/* A new contact map, or null when no entry holds the number. */
variant_map_t *getContactByNumber(object_t *phonebook, const char *number);

/* The writes take the caller's contact variant and may rewrite its keys in
 * place; they never keep it. */
bool modifyContactByUniqueID(object_t *phonebook, const char *uniqueID, variant_t *contact);
bool modifyContact(object_t *phonebook, const char *formattedName, variant_t *contact);
bool removeAllContacts(object_t *phonebook);
bool removeContactByUniqueID(object_t *phonebook, const char *uniqueID);
bool removeContact(object_t *phonebook, const char *formattedName);
bool addContact(object_t *phonebook, variant_t *contact);
/* The UniqueID generated for the new entry (new text), or null. */
char *addContactAndGenUUID(object_t *phonebook, variant_t *contact);
/* Adds every contact of `contacts`; afterwards `contacts` holds those added
 * and `result` (emptied first) those that failed, in their order. True when
 * none failed. */
bool addContacts(object_t *phonebook, variant_list_t *contacts, variant_list_t *result);
/* Rewrites a contact map from public keys to data model names; on failure
 * the public keys are restored as far as possible and false returned. */
bool remapContactToObject(variant_map_t *contact);

#endif
