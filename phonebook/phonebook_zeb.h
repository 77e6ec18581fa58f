/*
 * The contact store: Phonebook.Entry instances read and written through the
 * host, the handlers that the host calls on entries, and the saving of the
 * data model file.
 */
#ifndef PHONEBOOK_PHONEBOOK_ZEB_H
#define PHONEBOOK_PHONEBOOK_ZEB_H

#include <stdint.h>
#include <time.h>

#include "phonebook.h"

/* The current local time, broken down: what LastRevision is stamped with. */
struct tm localNow(void);

/* ---- Persistence ---------------------------------------------------------- */

/* Writes the data model file now; true when the host wrote it. */
bool zeb_save_data_model(object_t *phonebook);
/* True while the last save failed: the file lacks changes held in memory,
 * which the next change or the stop saves again. */
extern bool save_failed;
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
bool zeb_modifyContactByUniqueID(object_t *phonebook, const char *uniqueID, variant_map_t *contact);
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

/* ---- Country calling codes ------------------------------------------------ */

/* The table file: one line per calling code, "code intl-prefixes
 * national-prefixes", each list comma-separated; "#" starts a comment. */
#define PHONEBOOK_CCC_FILE "/usr/lib/phonebook/CCC.dat"

/* One calling code. Every string lies inside ccc_file. A list is a chain of
 * `count` NUL-terminated strings, the first one `offset` bytes after the
 * first byte of `code`, each further one right after the NUL of the one
 * before. */
typedef struct ccc_entry {
    const char *code;
    uint8_t first_count; /* international call prefixes */
    uint8_t first_offset;
    uint8_t national_count; /* national (trunk) prefixes */
    uint8_t national_offset;
} ccc_entry;

/* The file's content, parsed in place; non-null once loaded. */
extern char *ccc_file;
/* The table, sorted by code; records ccc_num to ccc_max - 1 are all zero. */
extern ccc_entry *ccc_data;
extern uint32_t ccc_num;
extern uint32_t ccc_max;

/* Loads the table unless it is loaded; false when this load failed (it is
 * tried again by the next call). */
bool read_ccc_file(void);
void parse_ccc_file(void);
/* Appends the record of one entry line (starting with a digit, ended by NUL,
 * changed in place); false stops the parse. */
bool parse_ccc_add_entry(char *line);
/* Parses the prefix list at or after `pos` into a count and an offset from
 * `line`. Returns the position after the white space that ended the list;
 * null when the list ran to the end of the line or there was none (outputs
 * untouched), or when it does not fit the 8-bit fields (outputs 0). */
char *parse_ccc_prefix(char *line, char *pos, uint8_t *count, uint8_t *offset);
/* Appends one zeroed record (the table grows 5 records at a time). */
ccc_entry *add_ccc_data(void);
void sort_ccc_data(void);
/* Compares the codes of two records (only `code` is read). */
int ccc_compare(const void *a, const void *b);
/* The record of exactly this code, loading the table first; null if none. */
ccc_entry *ccc_find(const char *code);
/* The record of the longest code (3, 2 or 1 characters) starting `digits`. */
ccc_entry *get_ccc_entry(const char *digits);
/* Forgets the table and frees it with the file content. */
void release_ccc_data(void);

/* ---- Telephone numbers ------------------------------------------------------ */

/* True when the number begins with "+" or "00". */
bool number_is_international(const char *number);
/* The text after a leading "+" or "00"; null without such an indicator. */
const char *remove_indicator(const char *number);
/* True when the two numbers designate the same line, in international
 * ("+" or "00") or national notation. The calling code is taken from the
 * international number, using the table to read it. */
bool compare_numbers(const char *asked, const char *stored);
/* A new contact map of the first entry holding a matching number, or null. */
variant_map_t *zeb_getContactByNumber(object_t *phonebook, const char *number);
/* Called with each notation a stored number must have to match the asked
 * one: `international` tells whether the stored number carries an indicator
 * ("+" or "00"); `text` (`length` bytes, not NUL-terminated) is then what
 * follows the indicator, else the whole stored text. A notation may come
 * more than once. Returns false to stop. */
typedef bool (*number_candidate_visitor_t)(bool international, const char *text, size_t length,
                                           void *userData);
/* Visits every notation in which a stored number of two bytes or more matches
 * `asked` by compare_numbers: the asked number's own notation, and with
 * `mixed` the notations of the other kind that the calling code table gives
 * (which loads the table). Nothing for a null number or one shorter than two
 * bytes. False when the visitor stopped the visit or when memory ran out
 * ("Unable to allocate memory" traced). */
bool number_forEachCandidate(const char *asked, bool mixed, number_candidate_visitor_t visit,
                             void *userData);
/* The notation of a stored number, as number_forEachCandidate gives them. */
void number_notation(const char *number, bool *international, const char **text);
/* The first entry in instance order holding a number that compare_numbers
 * matches with `number`, by walking every entry and number; null if none. */
object_t *number_findEntryByWalk(object_t *phonebook, const char *number);

/* True when the string begins with `prefix`. */
bool phonebook_entry_hasPrefix(const string_t *string, const char *prefix);
/* Replaces `search` by `replacement` in place; every occurrence is replaced,
 * not only a leading one. True when at least one was replaced. */
bool phonebook_entry_replacePrefix(string_t *string, const char *search, const char *replacement);

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
