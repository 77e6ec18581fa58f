#include "phonebook_zeb.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <uuid/uuid.h>

#include "keltrace/keltrace.h"
#include "notify.h"
#include "phonebook_assert.h"
#include "variant_path_remap.h"

static const char *textOrEmpty(const char *text) { return text != nullptr ? text : ""; }

/* True for a text with at least one character. */
static bool hasText(const char *text) { return text != nullptr && text[0] != '\0'; }

/* ---- Persistence ---------------------------------------------------------- */

bool zeb_save_data_model(object_t *phonebook) {
    kelTraceIn(PHONEBOOK_ZONE);
    object_t *contact_template = object_getObject(phonebook, "Entry", 0, nullptr);
    PHONEBOOK_ASSERT(contact_template);
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "saving datamodel to temporary file");
    bool saved = datamodel_save(phonebook, 10, PHONEBOOK_DATAMODEL_FILE,
                                DATAMODEL_FLAG_PERSISTENT_ONLY);
    if (saved)
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Save completed to %s",
                  PHONEBOOK_DATAMODEL_FILE);
    else
        kelTrace(KELTRACE_LEVEL_WARNING, "Save of phonebook to %s failed",
                 PHONEBOOK_DATAMODEL_FILE);
    kelTraceOut(PHONEBOOK_ZONE);
    return saved;
}

void main_timeout_handler(zeb_timer_t *, void *userData) {
    kelTraceIn(PHONEBOOK_ZONE);
    const bool *should_save = static_cast<const bool *>(userData);
    if (should_save != nullptr && *should_save)
        zeb_save_data_model(_phonebook);
    kelTraceOut(PHONEBOOK_ZONE);
}

bool atomic_save_commit(object_t *phonebook, bool ok) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool rv = false;
    if (ok) {
        rv = object_commit(phonebook);
        if (!rv)
            kelTrace(KELTRACE_LEVEL_WARNING, "Object commit failed, this should never happen!");
        zeb_timer_start(_timer, PHONEBOOK_SAVE_DELAY_MS);
    } else {
        object_rollback(phonebook);
        kelTrace(KELTRACE_LEVEL_WARNING, "Object was rolled back");
    }
    revision_update_block = false;
    kelTraceOut(PHONEBOOK_ZONE);
    return rv;
}

/* ---- Lookup and conversion ------------------------------------------------ */

const char *objectStateName(const object_t *object) {
    switch (object_state(object)) {
    case object_state_invalid: return "object_state_invalid";
    case object_state_created: return "object_state_created";
    case object_state_ready: return "object_state_ready";
    case object_state_modified: return "object_state_modified";
    case object_state_validated: return "object_state_validated";
    case object_state_deleted: return "object_state_deleted";
    }
    return "Not a known type";
}

object_t *findContactByStringParam(object_t *phonebook, const char *name, const char *value) {
    kelTraceIn(PHONEBOOK_ZONE);
    if (value == nullptr) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "paramValue is NULL");
        kelTraceOut(PHONEBOOK_ZONE);
        return nullptr;
    }
    object_t *entryTemplate = object_getObject(phonebook, "Entry", 0, nullptr);
    object_t *found = nullptr;
    for (object_t *entry = object_firstInstance(entryTemplate); entry != nullptr;
         entry = object_nextInstance(entry)) {
        const char *text = variant_da_char(object_parameterValue(entry, name));
        if (text != nullptr && strcmp(text, value) == 0) {
            found = entry;
            break;
        }
    }
    kelTraceOut(PHONEBOOK_ZONE);
    return found;
}

/* A new map holding the contact of the entry whose parameter `name` is
 * `value`; empty when there is none. */
static variant_map_t *contactByStringParam(object_t *phonebook, const char *name,
                                           const char *value) {
    variant_map_t *contact = static_cast<variant_map_t *>(calloc(1, sizeof(variant_map_t)));
    if (contact == nullptr) {
        kelTrace(KELTRACE_LEVEL_ERROR, "calloc() failed");
        return nullptr;
    }
    variant_map_initialize(contact);
    object_t *entry = findContactByStringParam(phonebook, name, value);
    if (entry != nullptr)
        zeb_obj_to_variant_map_t(entry, contact, nullptr);
    return contact;
}

variant_map_t *zeb_getContactByUniqueID(object_t *phonebook, const char *uniqueID) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_map_t *contact = contactByStringParam(phonebook, "UniqueID", uniqueID);
    kelTraceOut(PHONEBOOK_ZONE);
    return contact;
}

variant_map_t *zeb_getContact(object_t *phonebook, const char *formattedName) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_map_t *contact = contactByStringParam(phonebook, "FormattedName", formattedName);
    kelTraceOut(PHONEBOOK_ZONE);
    return contact;
}

bool zeb_getAllContacts(object_t *phonebook, variant_list_t *contacts) {
    kelTraceIn(PHONEBOOK_ZONE);
    object_t *entryTemplate = object_getObject(phonebook, "Entry", 0, nullptr);
    for (object_t *entry = object_firstInstance(entryTemplate); entry != nullptr;
         entry = object_nextInstance(entry)) {
        variant_list_iterator_t *element = variant_list_iterator_createMapMove(nullptr);
        if (element == nullptr)
            continue;
        zeb_obj_to_variant_map_t(entry, variant_da_map(variant_list_iterator_data(element)),
                                 nullptr);
        if (!variant_list_append(contacts, element))
            variant_list_iterator_destroy(element);
    }
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

int32_t zeb_getMaxNumberOfContacts(object_t *phonebook) {
    kelTraceIn(PHONEBOOK_ZONE);
    int32_t max = variant_int32(object_parameterValue(phonebook, "MaxNumberOfEntries"));
    kelTraceOut(PHONEBOOK_ZONE);
    return max;
}

uint32_t zeb_getNumberOfContacts(object_t *phonebook) {
    kelTraceIn(PHONEBOOK_ZONE);
    object_t *entryTemplate = object_getObject(phonebook, "Entry", 0, nullptr);
    uint32_t count = 0;
    if (entryTemplate == nullptr)
        kelTrace(KELTRACE_LEVEL_WARNING, "Phonebook.Entry does not exist!");
    else
        count = object_instanceCount(entryTemplate);
    kelTraceOut(PHONEBOOK_ZONE);
    return count;
}

variant_map_t *zeb_getContactByNumber(object_t *, const char *) {
    kelTrace(KELTRACE_LEVEL_ERROR, "%s is not supported", __func__);
    return nullptr;
}

bool numberOfEntries_read_handler(parameter_t *, variant_t *value) {
    variant_setInt32(value, static_cast<int32_t>(zeb_getNumberOfContacts(_phonebook)));
    return true;
}

bool uniqueID_read_handler(parameter_t *, variant_t *value) {
    variant_setInt32(value, static_cast<int32_t>(zeb_getNumberOfContacts(_phonebook)));
    return true;
}

/* ---- Creation, update and removal ------------------------------------------ */

static object_t *entryTemplateOf(object_t *phonebook) {
    return object_getObject(phonebook, "Entry", 0, nullptr);
}

/* True while another entry fits below MaxNumberOfEntries; traced when not. */
static bool belowLimit(object_t *phonebook) {
    int32_t max = zeb_getMaxNumberOfContacts(phonebook);
    uint32_t count = zeb_getNumberOfContacts(phonebook);
    if (count < static_cast<uint32_t>(max))
        return true;
    kelTrace(KELTRACE_LEVEL_WARNING, "Not adding new contact : Max number of contacts reached (%d)",
             max);
    return false;
}

bool zeb_add_contact_instance(object_t *phonebook, variant_map_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    if (!belowLimit(phonebook)) {
        kelTraceOut(PHONEBOOK_ZONE);
        return false;
    }
    bool added = _add_contact_instance(phonebook, contact) != nullptr;
    atomic_save_commit(phonebook, added);
    kelTraceOut(PHONEBOOK_ZONE);
    return added;
}

char *zeb_add_contact_instance_and_uuid(object_t *phonebook, variant_map_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    /* Every copy: a map may hold a key more than once. */
    variant_map_iterator_t *uniqueID;
    while ((uniqueID = variant_map_find(contact, "UniqueID")) != nullptr)
        variant_map_iterator_destroy(uniqueID);

    char *text = nullptr;
    if (belowLimit(phonebook)) {
        object_t *entry = _add_contact_instance(phonebook, contact);
        if (atomic_save_commit(phonebook, entry != nullptr))
            text = variant_char(object_parameterValue(entry, "UniqueID"));
    }
    kelTraceOut(PHONEBOOK_ZONE);
    return text;
}

object_t *_add_contact_instance(object_t *phonebook, variant_map_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_map_iterator_t *element = variant_map_find(contact, "UniqueID");
    if (element == nullptr) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Contact has no %s parameter", "UniqueID");
    } else {
        const char *uniqueID = string_buffer(variant_da_string(variant_map_iterator_data(element)));
        if (uniqueID == nullptr) {
            kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE,
                      "Contact variant_map does not have a valid %s element", "UniqueID");
        } else {
            object_t *existing = findContactByStringParam(phonebook, "UniqueID", uniqueID);
            if (existing != nullptr && object_state(existing) != object_state_deleted) {
                kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE,
                          "Contact with %s=%s already exists with state %s", "UniqueID", uniqueID,
                          objectStateName(existing));
                kelTraceOut(PHONEBOOK_ZONE);
                return nullptr;
            }
        }
    }
    object_t *entry = object_createInstance(entryTemplateOf(phonebook), -1, nullptr);
    object_t *filled = update_zeb_contact_obj(entry, contact);
    kelTraceOut(PHONEBOOK_ZONE);
    return filled;
}

object_t *update_zeb_contact_obj(object_t *object, variant_map_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    struct tm revision;
    memset(&revision, 0, sizeof revision);
    const variant_t *lastRevision =
        variant_map_iterator_data(variant_map_find(contact, "LastRevision"));
    if (lastRevision != nullptr && variant_toDateTime(lastRevision, &revision)) {
        /* A revision the caller supplies is kept: no stamping until the
         * commit. */
        revision_update_block = static_cast<long>(mktime(&revision)) > 0;
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE,
                  "%s => revision_update_block==%i; isDateTime=%i; time_str=%s ", "LastRevision",
                  revision_update_block ? 1 : 0, 1, textOrEmpty(asctime(&revision)));
    } else {
        revision_update_block = false;
    }
    object_t *result = init_zeb_contact_obj(contact, object) ? object : nullptr;
    kelTraceOut(PHONEBOOK_ZONE);
    return result;
}

void deleteSubObjectInstances(object_t *entry) {
    kelTraceIn(PHONEBOOK_ZONE);
    for (object_t *child = object_firstChild(entry); child != nullptr;
         child = object_nextSibling(child)) {
        for (object_t *instance = object_firstInstance(child); instance != nullptr;
             instance = object_nextInstance(instance))
            object_delete(instance);
    }
    kelTraceOut(PHONEBOOK_ZONE);
}

/* The current local time, broken down. */
static struct tm localNow(void) {
    time_t now = time(nullptr);
    struct tm local;
    memset(&local, 0, sizeof local);
    const struct tm *broken = localtime(&now);
    if (broken != nullptr)
        local = *broken;
    return local;
}

/* The revision variant of an entry's LastRevision parameter, or null. */
static variant_t *revisionOf(const parameter_t *lastRevision) {
    return static_cast<variant_t *>(parameter_getUserData(lastRevision));
}

void setLastRevisionNow(object_t *entry) {
    kelTraceIn(PHONEBOOK_ZONE);
    struct tm now = localNow();
    parameter_t *lastRevision = object_getParameter(entry, "LastRevision");
    variant_t *revision = revisionOf(lastRevision);
    if (revision != nullptr) {
        variant_setDateTime(revision, &now);
        parameter_setValue(lastRevision, revision);
    }
    kelTraceOut(PHONEBOOK_ZONE);
}

/* Writes the map into the entry whose UniqueID (else FormattedName) is
 * `value`. */
static bool modifyContactBy(object_t *phonebook, bool byUniqueID, const char *value,
                            variant_map_t *contact) {
    object_t *entry =
        findContactByStringParam(phonebook, byUniqueID ? "UniqueID" : "FormattedName", value);
    if (entry == nullptr) {
        if (byUniqueID)
            kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE,
                      "Contact could not be modified: uniqueID=%s not found", textOrEmpty(value));
        else
            kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE,
                      "Contact could not be modified: formattedName=%s not found",
                      textOrEmpty(value));
        return false;
    }
    deleteSubObjectInstances(entry);
    bool updated = update_zeb_contact_obj(entry, contact) != nullptr;
    if (updated)
        setLastRevisionNow(entry);
    atomic_save_commit(phonebook, updated);
    return updated;
}

bool zeb_modifyContactByUniqueID(object_t *phonebook, const char *uniqueID,
                                 variant_map_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool rv = modifyContactBy(phonebook, true, uniqueID, contact);
    kelTraceOut(PHONEBOOK_ZONE);
    return rv;
}

bool zeb_modifyContact(object_t *phonebook, const char *formattedName, variant_map_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool rv = modifyContactBy(phonebook, false, formattedName, contact);
    kelTraceOut(PHONEBOOK_ZONE);
    return rv;
}

/* Deletes the entry whose UniqueID (else FormattedName) is `value`. */
static bool removeContactBy(object_t *phonebook, bool byUniqueID, const char *value) {
    object_t *entry =
        findContactByStringParam(phonebook, byUniqueID ? "UniqueID" : "FormattedName", value);
    if (entry == nullptr) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Contact could not be remove: not found");
        return false;
    }
    if (byUniqueID)
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Found entry IDed by %s with state %s",
                  value, objectStateName(entry));
    else
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Found entry named %s with state %s", value,
                  objectStateName(entry));
    bool deleted = object_delete(entry);
    atomic_save_commit(phonebook, deleted);
    return deleted;
}

bool zeb_removeContactByUniqueID(object_t *phonebook, const char *uniqueID) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool rv = removeContactBy(phonebook, true, uniqueID);
    kelTraceOut(PHONEBOOK_ZONE);
    return rv;
}

bool zeb_removeContact(object_t *phonebook, const char *formattedName) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool rv = removeContactBy(phonebook, false, formattedName);
    kelTraceOut(PHONEBOOK_ZONE);
    return rv;
}

bool zeb_removeAllContacts(object_t *phonebook) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool removed = true;
    for (object_t *entry = object_firstInstance(entryTemplateOf(phonebook)); entry != nullptr;
         entry = object_nextInstance(entry)) {
        if (!object_delete(entry))
            removed = false;
    }
    atomic_save_commit(phonebook, removed);
    kelTraceOut(PHONEBOOK_ZONE);
    return removed;
}

/* ---- Handlers --------------------------------------------------------------- */

/* Set by the write handler of LastRevision: the object write handler that
 * follows keeps the written value instead of stamping the current time. */
static bool lastRevision_written = false;

/* Attempts at a generated UniqueID before the entry is left without one. */
#define UNIQUEID_ATTEMPTS 16

/* "urn:uuid:" and the 36 characters of the lower-case text form. */
#define UUID_URL_PREFIX "urn:uuid:"
#define UUID_URL_SIZE 46

/* Gives the entry a generated UniqueID unless it holds one. */
static void ensureUniqueID(object_t *entry) {
    parameter_t *parameter = object_getParameter(entry, "UniqueID");
    const char *current = variant_da_char(parameter_getValue(parameter));
    if (hasText(current)) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "uuid_url_string was set %s", current);
        return;
    }
    for (int attempt = 0; parameter != nullptr && attempt < UNIQUEID_ATTEMPTS; attempt++) {
        uuid_t uuid;
        uuid_generate_random(uuid);
        char uuid_url_string[UUID_URL_SIZE];
        memset(uuid_url_string, 0, sizeof uuid_url_string);
        memcpy(uuid_url_string, UUID_URL_PREFIX, strlen(UUID_URL_PREFIX));
        uuid_unparse_lower(uuid, uuid_url_string + strlen(UUID_URL_PREFIX));
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "setting uuid_url_string to %s",
                  uuid_url_string);
        if (parameter_setFromChar(parameter, uuid_url_string))
            return;
    }
    kelTrace(KELTRACE_LEVEL_ERROR, "Could not give %s a UniqueID: %s",
             textOrEmpty(object_name(entry, 0)), zeb_errorMessage());
}

bool phonebook_entry_instance_add_handler(object_t *, object_t *instance) {
    kelTraceIn(PHONEBOOK_ZONE);
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Added Entry %s",
              textOrEmpty(object_name(instance, 0)));
    recursiveSetWriteHandler(instance, phonebook_object_write_handler,
                             phonebook_property_instance_add_handler,
                             phonebook_property_instance_del_handler);
    zeb_timer_start(_timer, PHONEBOOK_SAVE_DELAY_MS);
    ensureUniqueID(instance);

    parameter_t *lastRevision = object_getParameter(instance, "LastRevision");
    PHONEBOOK_ASSERT(lastRevision);
    variant_t *revision = variant_create(variant_type_unknown);
    PHONEBOOK_ASSERT(revision);
    parameter_setUserData(lastRevision, revision);
    updateLastRevision(instance);
    parameter_setValue(lastRevision, revision);

    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "lastRevision_read_handler set on LastRevision");
    bool rv = parameter_setReadHandler(lastRevision, lastRevision_read_handler);
    PHONEBOOK_ASSERT(rv);
    rv = parameter_setWriteHandler(lastRevision, lastRevision_write_handler);
    PHONEBOOK_ASSERT(rv);
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

bool phonebook_entry_instance_del_handler(object_t *, object_t *instance) {
    kelTraceIn(PHONEBOOK_ZONE);
    /* The announcement reads LastRevision through the revision variant:
     * released only afterwards. */
    notify_entryDeleted(instance);
    parameter_t *lastRevision = object_getParameter(instance, "LastRevision");
    variant_destroy(revisionOf(lastRevision));
    parameter_setUserData(lastRevision, nullptr);
    zeb_timer_start(_timer, PHONEBOOK_SAVE_DELAY_MS);
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

bool phonebook_property_instance_add_handler(object_t *, object_t *instance) {
    kelTraceIn(PHONEBOOK_ZONE);
    recursiveSetWriteHandler(instance, phonebook_object_write_handler, nullptr, nullptr);
    zeb_timer_start(_timer, PHONEBOOK_SAVE_DELAY_MS);
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

bool phonebook_property_instance_del_handler(object_t *, object_t *instance) {
    kelTraceIn(PHONEBOOK_ZONE);
    notify_entryUpdated(instance);
    zeb_timer_start(_timer, PHONEBOOK_SAVE_DELAY_MS);
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

void phonebook_object_write_handler(object_t *object) {
    kelTraceIn(PHONEBOOK_ZONE);
    if (lastRevision_written) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "skipping updateLastRevision");
        lastRevision_written = false;
    } else {
        updateLastRevision(object);
    }
    notify_entryUpdated(object);
    zeb_timer_start(_timer, PHONEBOOK_SAVE_DELAY_MS);
    kelTraceOut(PHONEBOOK_ZONE);
}

bool recursiveSetWriteHandler(object_t *object, object_write_handler_t writeHandler,
                              object_instance_handler_t addHandler,
                              object_instance_handler_t delHandler) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool rv = true;
    for (object_t *child = object_firstChild(object); child != nullptr;
         child = object_nextSibling(child)) {
        PHONEBOOK_ASSERT(addHandler != nullptr && delHandler != nullptr);
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "object_setInstanceAddHandler on %s",
                  textOrEmpty(object_name(child, 0)));
        rv = object_setInstanceAddHandler(child, addHandler);
        PHONEBOOK_ASSERT(rv);
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "object_setInstanceDelHandler on %s",
                  textOrEmpty(object_name(child, 0)));
        rv = object_setInstanceDelHandler(child, delHandler);
        PHONEBOOK_ASSERT(rv);
        for (object_t *instance = object_firstInstance(child); instance != nullptr;
             instance = object_nextInstance(instance))
            recursiveSetWriteHandler(instance, writeHandler, addHandler, delHandler);
    }
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "object_setWriteHandler on %s",
              textOrEmpty(object_name(object, 0)));
    rv = object_setWriteHandler(object, writeHandler);
    PHONEBOOK_ASSERT(rv);
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

void updateLastRevision(object_t *object) {
    kelTraceIn(PHONEBOOK_ZONE);
    /* The entry: the object itself or the first ancestor with LastRevision. */
    object_t *entry = object;
    parameter_t *lastRevision = nullptr;
    while (entry != nullptr &&
           (lastRevision = object_getParameter(entry, "LastRevision")) == nullptr)
        entry = object_parent(entry);
    if (lastRevision == nullptr) {
        kelTraceOut(PHONEBOOK_ZONE);
        return;
    }
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "pre revision write object state %s",
              objectStateName(entry));
    variant_t *revision = revisionOf(lastRevision);
    if (revision_update_block) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE,
                  "revision_update_block=%s; skipping updateLastRevision", "true");
    } else if (revision != nullptr) {
        struct tm now = localNow();
        variant_setDateTime(revision, &now);
        parameter_update(lastRevision);
    }
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "post revision write object state %s",
              objectStateName(entry));
    kelTraceOut(PHONEBOOK_ZONE);
}

bool lastRevision_read_handler(parameter_t *parameter, variant_t *value) {
    struct tm revision;
    memset(&revision, 0, sizeof revision);
    if (variant_toDateTime(revisionOf(parameter), &revision))
        variant_setDateTime(value, &revision);
    else
        /* Nothing stamped or written yet: the stored value. */
        variant_copy(value, parameter_getValue(parameter));
    return true;
}

void lastRevision_write_handler(parameter_t *parameter) {
    kelTraceIn(PHONEBOOK_ZONE);
    struct tm written;
    memset(&written, 0, sizeof written);
    variant_toDateTime(parameter_getValue(parameter), &written);
    variant_t *revision = revisionOf(parameter);
    if (revision != nullptr) {
        variant_setDateTime(revision, &written);
        string_t text;
        string_initialize(&text, 100);
        variant_toString(&text, revision);
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "updating Last Revision to %s",
                  textOrEmpty(string_buffer(&text)));
        string_cleanup(&text);
    }
    lastRevision_written = true;
    kelTraceOut(PHONEBOOK_ZONE);
}

bool unique_string_value_constraint(parameter_t *parameter) {
    kelTraceIn(PHONEBOOK_ZONE);
    object_t *owner = parameter_owner(parameter);
    object_t *entryTemplate = object_parent(owner);
    const char *ownerName = textOrEmpty(object_name(owner, 0));
    const char *unique_chr = variant_da_char(parameter_getModifiedValue(parameter));
    const char *name = parameter_name(parameter);

    bool unique = true;
    for (object_t *instance = object_firstInstance(entryTemplate); instance != nullptr;
         instance = object_nextInstance(instance)) {
        if (object_state(instance) == object_state_deleted ||
            strcmp(textOrEmpty(object_name(instance, 0)), ownerName) == 0)
            continue;
        const char *chr = variant_da_char(object_parameterValue(instance, name));
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "inst state=%s, unique_chr=%s; chr=%s",
                  objectStateName(instance), textOrEmpty(unique_chr), textOrEmpty(chr));
        /* An empty value never conflicts: any number of entries may leave
         * the parameter empty. */
        if (hasText(unique_chr) && hasText(chr) && strcmp(unique_chr, chr) == 0) {
            unique = false;
            break;
        }
    }
    kelTraceOut(PHONEBOOK_ZONE);
    return unique;
}

void write_handler_Number(parameter_t *) {
    kelTraceIn(PHONEBOOK_ZONE);
}
