/*
 * The contact store: Phonebook.Entry instances read and written through the
 * host, the handlers that the host calls on entries, and the saving of the
 * data model file.
 */
#ifndef PHONEBOOK_PHONEBOOK_ZEB_H
#define PHONEBOOK_PHONEBOOK_ZEB_H

#include <stdint.h>

#include "phonebook.h"

/* ---- Persistence ---------------------------------------------------------- */

/* Writes the data model file now; true when the host wrote it. */
bool zeb_save_data_model(object_t *phonebook);
/* The save timer's handler; `userData` points at __should_save. */
void main_timeout_handler(zeb_timer_t *timer, void *userData);
/* Ends every write of the store: commits (and schedules the save) when `ok`,
 * else rolls back. Returns the commit's result, false after a rollback.
 * Always leaves revision_update_block false. */
bool atomic_save_commit(object_t *phonebook, bool ok);

/* ---- Lookup and conversion ------------------------------------------------ */

/* Name of an object's state for the trace. */
const char *objectStateName(const object_t *object);
/* The first entry whose parameter `name` holds exactly `value`, or null. */
object_t *findContactByStringParam(object_t *phonebook, const char *name, const char *value);
/* New contact maps, empty when no entry matches. */
variant_map_t *zeb_getContactByUniqueID(object_t *phonebook, const char *uniqueID);
variant_map_t *zeb_getContact(object_t *phonebook, const char *formattedName);
bool zeb_getAllContacts(object_t *phonebook, variant_list_t *contacts);
int32_t zeb_getMaxNumberOfContacts(object_t *phonebook);
uint32_t zeb_getNumberOfContacts(object_t *phonebook);
/* A new contact map of the first entry holding the number, or null. */
variant_map_t *zeb_getContactByNumber(object_t *phonebook, const char *number);

/* ---- Creation, update and removal ------------------------------------------ */

bool zeb_add_contact_instance(object_t *phonebook, variant_map_t *contact);
char *zeb_add_contact_instance_and_uuid(object_t *phonebook, variant_map_t *contact);
bool zeb_modifyContactByUniqueID(object_t *phonebook, const char *uniqueID,
                                 variant_map_t *contact);
bool zeb_modifyContact(object_t *phonebook, const char *formattedName, variant_map_t *contact);
bool zeb_removeContactByUniqueID(object_t *phonebook, const char *uniqueID);
bool zeb_removeContact(object_t *phonebook, const char *formattedName);
bool zeb_removeAllContacts(object_t *phonebook);

/* ---- Handlers --------------------------------------------------------------- */

bool phonebook_entry_instance_add_handler(object_t *templ, object_t *instance);
bool phonebook_entry_instance_del_handler(object_t *templ, object_t *instance);
bool numberOfEntries_read_handler(parameter_t *parameter, variant_t *value);

/* Bound by name in the data model definition. */
PHONEBOOK_EXPORT bool uniqueID_read_handler(parameter_t *parameter, variant_t *value);
PHONEBOOK_EXPORT bool unique_string_value_constraint(parameter_t *parameter);
PHONEBOOK_EXPORT void write_handler_Number(parameter_t *parameter);

#endif
