#include "phonebook.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "contact_index.h"
#include "contact_map.h"
#include "keltrace/keltrace.h"
#include "notify.h"
#include "number_index.h"
#include "phonebook_assert.h"
#include "phonebook_tessel.h"
#include "phonebook_zeb.h"
#include "variant_path_remap.h"
#include "zeb/sysroot.h"

zeb_t *zeb = nullptr;
object_t *_phonebook = nullptr;
zeb_timer_t *_timer = nullptr;
bool __should_save = true;
uint32_t save_delay_ms = PHONEBOOK_SAVE_DELAY_MS;
bool revision_update_block = false;

static const char *textOrEmpty(const char *text) {
    return text != nullptr ? text : "";
}

/* True when the restore marker exists. */
static bool restoreRequested(void) {
    char *marker = sysroot_path(PHONEBOOK_RESTORE_MARKER);
    struct stat info;
    bool present = marker != nullptr && stat(marker, &info) == 0;
    free(marker);
    return present;
}

static void removeRestoreMarker(void) {
    char *marker = sysroot_path(PHONEBOOK_RESTORE_MARKER);
    if (marker != nullptr)
        unlink(marker);
    free(marker);
}

/* Rebuilds the phonebook from the legacy store when the restore marker asks
 * for it; true when that happened and the saved file must not be loaded. */
static bool restoreFromTessel(void) {
    if (!restoreRequested())
        return false;
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Loading settings from tessel");
    if (!import_from_tessel(_phonebook, PHONEBOOK_TESSEL_FILE)) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Import from tessel failed");
        return false;
    }
    removeRestoreMarker();
    if (!zeb_save_data_model(_phonebook))
        kelTrace(KELTRACE_LEVEL_ERROR, "Unable to save datamodel");
    return true;
}

/* The delay asked for in the environment, else the default; a value that is
 * not a number of milliseconds up to an hour is traced and ignored. */
static uint32_t configuredSaveDelay(void) {
    const char *text = getenv(PHONEBOOK_SAVE_DELAY_VARIABLE);
    if (text == nullptr || text[0] == '\0')
        return PHONEBOOK_SAVE_DELAY_MS;
    char *end = nullptr;
    errno = 0;
    unsigned long delay = strtoul(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || delay > 3600000ul) {
        kelTrace(KELTRACE_LEVEL_WARNING, "%s=%s is not a delay in milliseconds: using %u",
                 PHONEBOOK_SAVE_DELAY_VARIABLE, text, PHONEBOOK_SAVE_DELAY_MS);
        return PHONEBOOK_SAVE_DELAY_MS;
    }
    return static_cast<uint32_t>(delay);
}

/* True when the saved file is still where it was after a failed load: it
 * could not be read (or not be set aside), so it may hold a phonebook that
 * memory does not, and a save would replace it. */
static bool savedFileLeftInPlace(void) {
    char *path = sysroot_path(PHONEBOOK_DATAMODEL_FILE);
    struct stat info;
    bool present = path == nullptr || lstat(path, &info) == 0 || errno != ENOENT;
    free(path);
    return present;
}

/* Loads the saved file; false, traced, when it exists but could not be read:
 * serving without it would save an empty phonebook over it. A missing file
 * and one set aside as invalid leave an empty phonebook to start from. */
static bool loadDataModel(void) {
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "loading datamodel");
    if (datamodel_load(zeb_datamodel(zeb), PHONEBOOK_DATAMODEL_FILE,
                       DATAMODEL_FLAG_PERSISTENT_ONLY)) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "loaded datamodel");
        return true;
    }
    if (zeb_error == ZEB_ERROR_NOT_FOUND || !savedFileLeftInPlace()) {
        kelTrace(KELTRACE_LEVEL_WARNING, "Load of %s failed: %s", PHONEBOOK_DATAMODEL_FILE,
                 zeb_errorMessage());
        return true;
    }
    std::string reason = zeb_errorMessage();
    kelTrace(KELTRACE_LEVEL_ERROR,
             "Cannot read the saved phonebook %s (%s): not starting, so that it is not "
             "saved over",
             PHONEBOOK_DATAMODEL_FILE, reason.c_str());
    zeb_setError(ZEB_ERROR_IO, "cannot read the saved phonebook %s (%s)", PHONEBOOK_DATAMODEL_FILE,
                 reason.c_str());
    return false;
}

/* Undoes what start-up set up before it gave up. */
static void abandonStart(void) {
    notify_cleanup();
    number_index_clear();
    zeb_timer_destroy(_timer);
    _timer = nullptr;
    release_ccc_data();
}

bool zeb_plugin_initialize(zeb_t *context) {
    const char *level = getenv(PHONEBOOK_ZONE);
    if (level != nullptr)
        kelTraceAddZone(static_cast<int>(atol(level)), PHONEBOOK_ZONE);
    kelTraceIn(PHONEBOOK_ZONE);

    object_t *phonebook = zeb_getObject(context, "Phonebook", 0);
    if (phonebook == nullptr) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Phonebook object not found!");
        exit(1);
    }
    _phonebook = phonebook;
    zeb = context;
    /* As loaded, also when the host starts the plug-in again. */
    __should_save = true;
    save_delay_ms = configuredSaveDelay();

    notify_init();

    object_t *entryTemplate = object_getObject(_phonebook, "Entry", 0, nullptr);
    kelTrace(KELTRACE_LEVEL_INFO, "phonebook_entry_instance_add_handler on %s",
             textOrEmpty(object_name(entryTemplate, 0)));
    bool rv = object_setInstanceAddHandler(entryTemplate, phonebook_entry_instance_add_handler);
    PHONEBOOK_ASSERT(rv);
    kelTrace(KELTRACE_LEVEL_INFO, "phonebook_entry_instance_del_handler on %s",
             textOrEmpty(object_name(entryTemplate, 0)));
    rv = object_setInstanceDelHandler(entryTemplate, phonebook_entry_instance_del_handler);
    PHONEBOOK_ASSERT(rv);
    /* Lookups and uniqueness checks by these then find entries without
     * walking them (they walk for a parameter that cannot be indexed). */
    object_indexParameter(entryTemplate, "UniqueID");
    object_indexParameter(entryTemplate, "FormattedName");

    /* Not started here: the first change starts it. */
    _timer = zeb_timer_create();
    zeb_timer_setHandler(_timer, main_timeout_handler);
    zeb_timer_setUserData(_timer, &__should_save);

    parameter_t *parameter = object_getParameter(_phonebook, "NumberOfEntries");
    PHONEBOOK_ASSERT(parameter);
    kelTrace(KELTRACE_LEVEL_INFO, "numberOfEntries_read_handler on NumberOfEntries");
    rv = parameter_setReadHandler(parameter, numberOfEntries_read_handler);
    PHONEBOOK_ASSERT(rv);

    /* Restored entries keep the LastRevision they were stored with. */
    revision_update_block = true;
    bool started = restoreFromTessel() || loadDataModel();
    revision_update_block = false;
    if (!started)
        abandonStart();
    else
        contact_index_prepare(_phonebook);

    kelTraceOut(PHONEBOOK_ZONE);
    return started;
}

void zeb_plugin_cleanup(void) {
    kelTraceIn(PHONEBOOK_ZONE);
    notify_cleanup();
    number_index_clear();

    /* A change of the last seconds before shutdown is still waiting for the
     * save timer, or a failed save left changes out of the file: write them
     * now, or the file would lose them. */
    if (zeb_timer_isArmed(_timer) || save_failed) {
        zeb_timer_stop(_timer);
        zeb_save_data_model(_phonebook);
    }
    save_failed = false;
    __should_save = false;

    /* Frees the per-entry state; with saving off, the file keeps the
     * phonebook as saved. */
    object_t *entryTemplate = object_getObject(_phonebook, "Entry", 0, nullptr);
    for (object_t *entry = object_firstInstance(entryTemplate); entry != nullptr;
         entry = object_nextInstance(entry))
        object_delete(entry);
    object_commit(_phonebook);

    /* Timers outlive the plug-in's code in the host: none may stay armed. */
    zeb_timer_destroy(_timer);
    _timer = nullptr;
    /* A new start reads the calling code file afresh. */
    release_ccc_data();
    kelTraceOut(PHONEBOOK_ZONE);
}

/* ---- Contact API layer --------------------------------------------------- */

uint32_t getMaxNumberOfContacts(object_t *phonebook) {
    kelTraceIn(PHONEBOOK_ZONE);
    uint32_t max = static_cast<uint32_t>(zeb_getMaxNumberOfContacts(phonebook));
    kelTraceOut(PHONEBOOK_ZONE);
    return max;
}

uint32_t getNumberOfContacts(object_t *phonebook) {
    kelTraceIn(PHONEBOOK_ZONE);
    uint32_t count = zeb_getNumberOfContacts(phonebook);
    kelTraceOut(PHONEBOOK_ZONE);
    return count;
}

void getAllContacts(object_t *phonebook, variant_list_t *contacts) {
    kelTraceIn(PHONEBOOK_ZONE);
    PHONEBOOK_ASSERT(CONTACT_TYPE_PATHS_SIZE == CONTACT_OBJECT_PATHS_SIZE);
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Fetching all contacts");
    zeb_getAllContacts(phonebook, contacts);
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Returning %i contacts",
              static_cast<int>(variant_list_size(contacts)));
    kelTraceOut(PHONEBOOK_ZONE);
}

void appendContact(variant_list_t *contacts, object_t *entry) {
    contact_map_append(contacts, entry);
}

/* Traces a contact read from the store. */
static variant_map_t *publishContact(variant_map_t *contact) {
    if (contact != nullptr)
        recursiveVariantMapPrint(contact, PHONEBOOK_ZONE);
    return contact;
}

variant_map_t *getContactByUniqueID(object_t *phonebook, const char *uniqueID) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_map_t *contact = publishContact(zeb_getContactByUniqueID(phonebook, uniqueID));
    kelTraceOut(PHONEBOOK_ZONE);
    return contact;
}

variant_map_t *getContact(object_t *phonebook, const char *formattedName) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_map_t *contact = publishContact(zeb_getContact(phonebook, formattedName));
    kelTraceOut(PHONEBOOK_ZONE);
    return contact;
}

variant_map_t *getContactByNumber(object_t *phonebook, const char *number) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_map_t *contact = publishContact(zeb_getContactByNumber(phonebook, number));
    kelTraceOut(PHONEBOOK_ZONE);
    return contact;
}

bool remapContactToObject(variant_map_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    PHONEBOOK_ASSERT(CONTACT_TYPE_PATHS_SIZE == CONTACT_OBJECT_PATHS_SIZE);
    if (remap_paths(contact, CONTACT_TYPE_PATHS, CONTACT_OBJECT_PATHS, CONTACT_TYPE_PATHS_SIZE, 0,
                    0)) {
        kelTraceOut(PHONEBOOK_ZONE);
        return true;
    }
    /* Gives back the public keys that the failed remap did replace. */
    remap_paths(contact, CONTACT_OBJECT_PATHS, CONTACT_TYPE_PATHS, CONTACT_TYPE_PATHS_SIZE, 0, 0);
    kelTrace(KELTRACE_LEVEL_WARNING, "variant map could not be remapped");
    kelTraceOut(PHONEBOOK_ZONE);
    return false;
}

/* True when no list of the contact (numbers, e-mails, addresses...) holds
 * more than PHONEBOOK_MAX_PROPERTIES items; traced otherwise. */
static bool withinPropertyLimit(const variant_map_t *contact) {
    for (variant_map_iterator_t *it = variant_map_first(contact); it != nullptr;
         it = variant_map_iterator_next(it)) {
        const variant_list_t *list = variant_da_list(variant_map_iterator_data(it));
        if (list != nullptr && variant_list_size(list) > PHONEBOOK_MAX_PROPERTIES) {
            kelTrace(KELTRACE_LEVEL_WARNING, "%s: %zu items, more than a contact holds (%u)",
                     textOrEmpty(variant_map_iterator_key(it)), variant_list_size(list),
                     PHONEBOOK_MAX_PROPERTIES);
            return false;
        }
    }
    return true;
}

/* The map of an incoming contact variant, or null (traced) when it has none
 * or holds more than a contact may. */
static variant_map_t *incomingContact(const variant_t *contact) {
    if (variant_type(contact) != variant_type_map) {
        kelTrace(KELTRACE_LEVEL_WARNING, "variant is not of type map");
        return nullptr;
    }
    variant_map_t *map = variant_da_map(contact);
    if (map == nullptr)
        kelTrace(KELTRACE_LEVEL_WARNING, "no map in variant");
    return map != nullptr && withinPropertyLimit(map) ? map : nullptr;
}

/* Checks, traces and remaps a contact for a modify; null when it cannot be
 * written. */
static variant_map_t *contactForModify(const variant_t *contact) {
    variant_map_t *map = incomingContact(contact);
    if (map == nullptr)
        return nullptr;
    recursiveVariantMapPrint(map, PHONEBOOK_ZONE);
    return remapContactToObject(map) ? map : nullptr;
}

bool modifyContactByUniqueID(object_t *phonebook, const char *uniqueID, variant_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_map_t *map = contactForModify(contact);
    bool rv = map != nullptr && zeb_modifyContactByUniqueID(phonebook, uniqueID, map);
    kelTraceOut(PHONEBOOK_ZONE);
    return rv;
}

bool modifyContact(object_t *phonebook, const char *formattedName, variant_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_map_t *map = contactForModify(contact);
    bool rv = map != nullptr && zeb_modifyContact(phonebook, formattedName, map);
    kelTraceOut(PHONEBOOK_ZONE);
    return rv;
}

bool removeAllContacts(object_t *phonebook) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool rv = zeb_removeAllContacts(phonebook);
    kelTraceOut(PHONEBOOK_ZONE);
    return rv;
}

bool removeContactByUniqueID(object_t *phonebook, const char *uniqueID) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool rv = zeb_removeContactByUniqueID(phonebook, uniqueID);
    kelTraceOut(PHONEBOOK_ZONE);
    return rv;
}

bool removeContact(object_t *phonebook, const char *formattedName) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool rv = zeb_removeContact(phonebook, formattedName);
    kelTraceOut(PHONEBOOK_ZONE);
    return rv;
}

bool addContact(object_t *phonebook, variant_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_map_t *map = incomingContact(contact);
    if (map == nullptr) {
        kelTraceOut(PHONEBOOK_ZONE);
        return false;
    }
    if (variant_map_find(map, VARKEY_CONTACT_UNIQUEID[0]) == nullptr) {
        kelTrace(KELTRACE_LEVEL_NOTICE, "No uniqueID specified");
        kelTraceOut(PHONEBOOK_ZONE);
        return false;
    }
    recursiveVariantMapPrint(map, PHONEBOOK_ZONE);
    if (!remapContactToObject(map)) {
        kelTraceOut(PHONEBOOK_ZONE);
        return false;
    }
    if (zeb_add_contact_instance(phonebook, map)) {
        kelTraceOut(PHONEBOOK_ZONE);
        return true;
    }
    kelTrace(KELTRACE_LEVEL_WARNING, "remap_paths FAILED");
    remap_paths(map, CONTACT_OBJECT_PATHS, CONTACT_TYPE_PATHS, CONTACT_TYPE_PATHS_SIZE, 0, 0);
    kelTraceOut(PHONEBOOK_ZONE);
    return false;
}

char *addContactAndGenUUID(object_t *phonebook, variant_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_map_t *map = incomingContact(contact);
    if (map == nullptr) {
        kelTraceOut(PHONEBOOK_ZONE);
        return nullptr;
    }
    recursiveVariantMapPrint(map, PHONEBOOK_ZONE);
    if (!remapContactToObject(map)) {
        kelTrace(KELTRACE_LEVEL_WARNING, "remap_paths FAILED");
        kelTraceOut(PHONEBOOK_ZONE);
        return nullptr;
    }
    char *uniqueID = zeb_add_contact_instance_and_uuid(phonebook, map);
    if (uniqueID == nullptr)
        remap_paths(map, CONTACT_OBJECT_PATHS, CONTACT_TYPE_PATHS, CONTACT_TYPE_PATHS_SIZE, 0, 0);
    kelTraceOut(PHONEBOOK_ZONE);
    return uniqueID;
}

bool addContacts(object_t *phonebook, variant_list_t *contacts, variant_list_t *result) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_list_cleanup(result);
    variant_list_initialize(result);
    PHONEBOOK_ASSERT(CONTACT_TYPE_PATHS_SIZE == CONTACT_OBJECT_PATHS_SIZE);
    size_t contacts_list_size = variant_list_size(contacts);

    variant_list_iterator_t *next = nullptr;
    for (variant_list_iterator_t *it = variant_list_first(contacts); it != nullptr; it = next) {
        next = variant_list_iterator_next(it);
        if (addContact(phonebook, variant_list_iterator_data(it)))
            continue;
        kelTrace(KELTRACE_LEVEL_WARNING, "contact could not be added to data");
        variant_list_iterator_take(it);
        if (!variant_list_append(result, it))
            variant_list_iterator_destroy(it);
    }

    size_t succeeded_size = variant_list_size(contacts);
    size_t failed_size = variant_list_size(result);
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE,
              "Contact additions: %i total, %i succeeded, %i failed",
              static_cast<int>(contacts_list_size), static_cast<int>(succeeded_size),
              static_cast<int>(failed_size));
    PHONEBOOK_ASSERT(contacts_list_size == succeeded_size + failed_size);
    kelTraceOut(PHONEBOOK_ZONE);
    return failed_size == 0;
}
