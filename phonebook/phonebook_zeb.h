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

/* The contact maps here are keyed by data model names and stay the caller's.
 * Each operation that changes the data model ends in one atomic_save_commit:
 * everything is committed, or everything rolled back. */

/* Adds an entry filled from the map, within MaxNumberOfEntries and unless a
 * live entry holds the map's UniqueID. */
bool zeb_add_contact_instance(object_t *phonebook, variant_map_t *contact);
/* Same after removing "UniqueID" from the map, so that the entry gets a
 * generated identifier: that identifier as new text (freed by the caller),
 * or null. */
char *zeb_add_contact_instance_and_uuid(object_t *phonebook, variant_map_t *contact);
/* Creates and fills an entry without committing; null on failure. */
object_t *_add_contact_instance(object_t *phonebook, variant_map_t *contact);
/* Writes the map into the entry found by UniqueID / FormattedName: the
 * parameters it names, property lists replaced as a whole (instances named
 * by their "key" are kept and updated), LastRevision stamped now. */
bool zeb_modifyContactByUniqueID(object_t *phonebook, const char *uniqueID,
                                 variant_map_t *contact);
bool zeb_modifyContact(object_t *phonebook, const char *formattedName, variant_map_t *contact);
bool zeb_removeContactByUniqueID(object_t *phonebook, const char *uniqueID);
bool zeb_removeContact(object_t *phonebook, const char *formattedName);
/* True when every entry was deleted, also when there was none. */
bool zeb_removeAllContacts(object_t *phonebook);

/* Decides revision_update_block from the map's "LastRevision" and writes the
 * map into the object; the object, or null when the conversion failed. */
object_t *update_zeb_contact_obj(object_t *object, variant_map_t *contact);
/* Marks every property instance of the entry deleted (pending). */
void deleteSubObjectInstances(object_t *entry);
/* Sets the entry's LastRevision to the current local time. */
void setLastRevisionNow(object_t *entry);

/* ---- Handlers --------------------------------------------------------------- */

bool phonebook_entry_instance_add_handler(object_t *templ, object_t *instance);
bool phonebook_entry_instance_del_handler(object_t *templ, object_t *instance);
bool phonebook_property_instance_add_handler(object_t *templ, object_t *instance);
bool phonebook_property_instance_del_handler(object_t *templ, object_t *instance);
void phonebook_object_write_handler(object_t *object);
bool numberOfEntries_read_handler(parameter_t *parameter, variant_t *value);

/* Installs `writeHandler` on the object and on every instance below it, and
 * the instance handlers on every child object on the way. */
bool recursiveSetWriteHandler(object_t *object, object_write_handler_t writeHandler,
                              object_instance_handler_t addHandler,
                              object_instance_handler_t delHandler);
/* Stamps the current local time into the LastRevision of the entry that the
 * object is or belongs to, unless revision_update_block is set. */
void updateLastRevision(object_t *object);

/* Bound by name in the data model definition. */
PHONEBOOK_EXPORT bool uniqueID_read_handler(parameter_t *parameter, variant_t *value);
PHONEBOOK_EXPORT bool unique_string_value_constraint(parameter_t *parameter);
PHONEBOOK_EXPORT bool lastRevision_read_handler(parameter_t *parameter, variant_t *value);
PHONEBOOK_EXPORT void lastRevision_write_handler(parameter_t *parameter);
PHONEBOOK_EXPORT void write_handler_Number(parameter_t *parameter);

#endif
