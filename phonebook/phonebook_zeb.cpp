#include "phonebook_zeb.h"

#include <stdlib.h>
#include <string.h>

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

bool zeb_add_contact_instance(object_t *, variant_map_t *) {
    kelTrace(KELTRACE_LEVEL_ERROR, "%s is not supported", __func__);
    return false;
}

char *zeb_add_contact_instance_and_uuid(object_t *, variant_map_t *) {
    kelTrace(KELTRACE_LEVEL_ERROR, "%s is not supported", __func__);
    return nullptr;
}

bool zeb_modifyContactByUniqueID(object_t *, const char *, variant_map_t *) {
    kelTrace(KELTRACE_LEVEL_ERROR, "%s is not supported", __func__);
    return false;
}

bool zeb_modifyContact(object_t *, const char *, variant_map_t *) {
    kelTrace(KELTRACE_LEVEL_ERROR, "%s is not supported", __func__);
    return false;
}

bool zeb_removeContactByUniqueID(object_t *, const char *) {
    kelTrace(KELTRACE_LEVEL_ERROR, "%s is not supported", __func__);
    return false;
}

bool zeb_removeContact(object_t *, const char *) {
    kelTrace(KELTRACE_LEVEL_ERROR, "%s is not supported", __func__);
    return false;
}

bool zeb_removeAllContacts(object_t *) {
    kelTrace(KELTRACE_LEVEL_ERROR, "%s is not supported", __func__);
    return false;
}

/* ---- Handlers --------------------------------------------------------------- */

bool phonebook_entry_instance_add_handler(object_t *, object_t *) {
    kelTraceIn(PHONEBOOK_ZONE);
    zeb_timer_start(_timer, PHONEBOOK_SAVE_DELAY_MS);
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

bool phonebook_entry_instance_del_handler(object_t *, object_t *instance) {
    kelTraceIn(PHONEBOOK_ZONE);
    notify_entryDeleted(instance);
    zeb_timer_start(_timer, PHONEBOOK_SAVE_DELAY_MS);
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
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
