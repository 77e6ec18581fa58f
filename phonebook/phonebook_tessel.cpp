#include "phonebook_tessel.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "keltrace/keltrace.h"
#include "phonebook_zeb.h"
#include "tessel/tessel.h"

/* Text form of the legacy store's date-times. */
#define TESSEL_DATE_TIME_FORMAT "%Y-%m-%dT%H:%M:%SZ"

/* The store's accessors, as the helpers below take them. */
typedef int (*tessel_text_getter_t)(int32_t entry, char **value);
typedef int (*tessel_text_setter_t)(int32_t entry, const char *value);
typedef int32_t (*tessel_list_count_t)(int32_t entry);
typedef int32_t (*tessel_list_add_t)(int32_t entry);
typedef int (*tessel_sub_text_getter_t)(int32_t entry, int32_t index, char **value);
typedef int (*tessel_sub_text_setter_t)(int32_t entry, int32_t index, const char *value);
typedef int (*tessel_sub_flag_getter_t)(int32_t entry, int32_t index, bool *value);
typedef int (*tessel_sub_flag_setter_t)(int32_t entry, int32_t index, bool value);

/* What a failed tessel_initialize means, for the trace. */
static const char *loadFailure(int result) {
    switch (result) {
    case TESSEL_MISSING:
        return "no such file";
    case TESSEL_ERR_UNREADABLE:
        return "the file cannot be read";
    case TESSEL_ERR_INVALID:
        return "the file is not a valid legacy configuration";
    case TESSEL_ERR_STATE:
        return "the legacy store is in use";
    case TESSEL_ERR_NO_MEMORY:
        return "out of memory";
    default:
        return "the legacy store failed";
    }
}

/* ---- Import ------------------------------------------------------------------- */

/* Sets a text parameter from a record field; a field without a value leaves
 * the parameter as it is. False when the entry refused the value. */
static bool importText(object_t *entry, const char *parameter, int32_t record,
                       tessel_text_getter_t get) {
    char *text = nullptr;
    get(record, &text);
    bool set = text == nullptr || object_parameterSetCharValue(entry, parameter, text);
    free(text);
    return set;
}

/* The entry got a generated UniqueID when it was created: only a record's
 * non-empty UniqueID replaces it. False when the entry refused it. */
static bool importUniqueID(object_t *entry, int32_t record) {
    char *text = nullptr;
    tessel_getPhoneBookEntryUniqueID(record, &text);
    bool set =
        text == nullptr || text[0] == '\0' || object_parameterSetCharValue(entry, "UniqueID", text);
    free(text);
    return set;
}

/* Sets a date-time parameter from a record field; a field that is missing or
 * not in the store's date-time form gives the current time. */
static void importDateTime(object_t *entry, const char *parameter, int32_t record,
                           tessel_text_getter_t get, bool setTextFirst) {
    char *text = nullptr;
    get(record, &text);
    if (setTextFirst && text != nullptr)
        object_parameterSetCharValue(entry, parameter, text);
    struct tm dateTime;
    memset(&dateTime, 0, sizeof dateTime);
    const char *end =
        text != nullptr ? strptime(text, TESSEL_DATE_TIME_FORMAT, &dateTime) : nullptr;
    if (end == nullptr || *end != '\0') {
        kelTrace(KELTRACE_LEVEL_WARNING,
                 "Cannot extract the time from the string, using the current time as reference");
        dateTime = localNow();
    }
    object_parameterSetDateTimeValue(entry, parameter, &dateTime);
    free(text);
}

/* Creates one instance of the child object `child` per sub-record of a
 * list; a sub-record whose instance cannot be created is skipped. */
static void importSubRecords(object_t *entry, int32_t record, const char *child,
                             const char *valueParameter, tessel_list_count_t count,
                             tessel_sub_text_getter_t getValue, tessel_sub_text_getter_t getType,
                             tessel_sub_flag_getter_t getFlag) {
    object_t *subTemplate = object_getObject(entry, child, 0, nullptr);
    for (int32_t k = 0; k < count(record); k++) {
        object_t *instance = object_createInstance(subTemplate, 0, nullptr);
        if (instance == nullptr)
            continue;
        char *text = nullptr;
        getValue(record, k, &text);
        if (text != nullptr)
            object_parameterSetCharValue(instance, valueParameter, text);
        free(text);
        text = nullptr;
        getType(record, k, &text);
        if (text != nullptr)
            object_parameterSetCharValue(instance, "Type", text);
        free(text);
        bool preferred = false;
        getFlag(record, k, &preferred);
        object_parameterSetBoolValue(instance, "Preferred", preferred);
    }
}

/* Fills the entry from a record; false, with the entry partly filled, when
 * the record's FormattedName or UniqueID is refused (another entry holds it). */
static bool importRecord(object_t *entry, int32_t record) {
    importText(entry, "Name", record, tessel_getPhoneBookEntryName);
    if (!importText(entry, "FormattedName", record, tessel_getPhoneBookEntryFormattedName) ||
        !importUniqueID(entry, record))
        return false;
    importDateTime(entry, "LastRevision", record, tessel_getPhoneBookEntryLastRevision, true);
    importDateTime(entry, "BirthDay", record, tessel_getPhoneBookEntryBirthDay, false);
    importText(entry, "Title", record, tessel_getPhoneBookEntryTitle);
    importText(entry, "Organisation", record, tessel_getPhoneBookEntryOrganisation);
    importText(entry, "URL", record, tessel_getPhoneBookEntryUrl);
    importText(entry, "Ringtone", record, tessel_getPhoneBookEntryRingtone);
    importText(entry, "Tags", record, tessel_getPhoneBookEntryTags);

    importSubRecords(entry, record, "Address", "Address", tessel_cntPhoneBookEntryAddresses,
                     tessel_getPhoneBookEntryAddressValue, tessel_getPhoneBookEntryAddressType,
                     tessel_getPhoneBookEntryAddressPreferred);
    importSubRecords(entry, record, "Label", "Address", tessel_cntPhoneBookEntryLabel,
                     tessel_getPhoneBookEntryLabelValue, tessel_getPhoneBookEntryLabelType,
                     tessel_getPhoneBookEntryLabelPreferred);
    importSubRecords(entry, record, "TelephoneNumber", "Number", tessel_cntPhoneBookEntryTelephone,
                     tessel_getPhoneBookEntryTelephoneNumber, tessel_getPhoneBookEntryTelephoneType,
                     tessel_getPhoneBookEntryTelephonePreferred);
    importSubRecords(entry, record, "Email", "Address", tessel_cntPhoneBookEntryEmail,
                     tessel_getPhoneBookEntryEmailAddress, tessel_getPhoneBookEntryEmailType,
                     tessel_getPhoneBookEntryEmailPreferred);
    return true;
}

/* A record whose contact is already there is left out whole: kept without
 * its identity it would be a nameless copy. */
static void skipRecord(object_t *entry, int32_t record) {
    char *formattedName = nullptr, *uniqueID = nullptr;
    tessel_getPhoneBookEntryFormattedName(record, &formattedName);
    tessel_getPhoneBookEntryUniqueID(record, &uniqueID);
    kelTrace(KELTRACE_LEVEL_WARNING,
             "Skipping legacy record %d (FormattedName=%s, UniqueID=%s): %s",
             static_cast<int>(record), formattedName != nullptr ? formattedName : "",
             uniqueID != nullptr ? uniqueID : "", zeb_errorMessage());
    free(formattedName);
    free(uniqueID);
    object_rollback(entry);
}

bool import_from_tessel(object_t *phonebook, const char *path) {
    kelTraceIn(PHONEBOOK_ZONE);
    /* Restored, not lowered, on return: at start-up the saved file may be
     * loaded next, and its entries keep their LastRevision too. */
    bool block = revision_update_block;
    revision_update_block = true;

    int loaded = tessel_initialize(path);
    if (loaded != TESSEL_OK) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Unable to load tessel file %s: %s",
                 path != nullptr ? path : "", loadFailure(loaded));
        if (loaded == TESSEL_MISSING)
            tessel_cleanup();
        revision_update_block = block;
        kelTraceOut(PHONEBOOK_ZONE);
        return false;
    }

    object_t *entries = object_getObject(phonebook, "Entry", 0, nullptr);
    if (entries == nullptr) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Unable to get the Entry object");
        tessel_cleanup();
        revision_update_block = block;
        kelTraceOut(PHONEBOOK_ZONE);
        return false;
    }

    for (int32_t i = 0; i < tessel_cntPhoneBookEntries(); i++) {
        object_t *entry = object_createInstance(entries, 0, nullptr);
        if (entry == nullptr) {
            kelTrace(KELTRACE_LEVEL_ERROR, "Unable to create Entry instance: %d (%s)",
                     static_cast<int>(zeb_error), error_string(zeb_error));
            continue;
        }
        if (!importRecord(entry, i))
            skipRecord(entry, i);
    }
    object_commit(entries);

    tessel_cleanup();
    revision_update_block = block;
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

/* ---- Export ------------------------------------------------------------------- */

/* Sets a record field from a parameter converted to text. */
static void exportText(object_t *entry, const char *parameter, int32_t record,
                       tessel_text_setter_t set) {
    char *text = variant_char(object_parameterValue(entry, parameter));
    set(record, text);
    free(text);
}

/* Adds one sub-record per instance of the child object `child`; an instance
 * that the store cannot add is left out. */
static void exportSubRecords(object_t *entry, int32_t record, const char *child,
                             const char *valueParameter, tessel_list_add_t add,
                             tessel_sub_text_setter_t setValue, tessel_sub_text_setter_t setType,
                             tessel_sub_flag_setter_t setFlag) {
    object_t *subTemplate = object_getObject(entry, child, 0, nullptr);
    if (!object_hasInstances(subTemplate))
        return;
    for (object_t *instance = object_firstInstance(subTemplate); instance != nullptr;
         instance = object_nextInstance(instance)) {
        int32_t k = add(record);
        if (k < 0)
            continue;
        char *text = variant_char(object_parameterValue(instance, valueParameter));
        setValue(record, k, text);
        free(text);
        text = variant_char(object_parameterValue(instance, "Type"));
        setType(record, k, text);
        free(text);
        setFlag(record, k, variant_bool(object_parameterValue(instance, "Preferred")));
    }
}

static void exportEntry(object_t *entry) {
    int32_t record = tessel_addPhoneBookEntry();
    if (record < 0) {
        kelTrace(KELTRACE_LEVEL_WARNING, "Unable to create tessel entry");
        return;
    }
    exportText(entry, "UniqueID", record, tessel_setPhoneBookEntryUniqueID);
    exportText(entry, "LastRevision", record, tessel_setPhoneBookEntryLastRevision);
    exportText(entry, "Name", record, tessel_setPhoneBookEntryName);
    exportText(entry, "FormattedName", record, tessel_setPhoneBookEntryFormattedName);
    exportText(entry, "BirthDay", record, tessel_setPhoneBookEntryBirthDay);
    exportText(entry, "Title", record, tessel_setPhoneBookEntryTitle);
    exportText(entry, "Organisation", record, tessel_setPhoneBookEntryOrganisation);
    exportText(entry, "URL", record, tessel_setPhoneBookEntryUrl);
    exportText(entry, "Ringtone", record, tessel_setPhoneBookEntryRingtone);
    exportText(entry, "Tags", record, tessel_setPhoneBookEntryTags);

    exportSubRecords(entry, record, "Address", "Address", tessel_addPhoneBookEntryAddress,
                     tessel_setPhoneBookEntryAddressValue, tessel_setPhoneBookEntryAddressType,
                     tessel_setPhoneBookEntryAddressPreferred);
    exportSubRecords(entry, record, "Label", "Address", tessel_addPhoneBookEntryLabel,
                     tessel_setPhoneBookEntryLabelValue, tessel_setPhoneBookEntryLabelType,
                     tessel_setPhoneBookEntryLabelPreferred);
    exportSubRecords(entry, record, "TelephoneNumber", "Number", tessel_addPhoneBookEntryTelephone,
                     tessel_setPhoneBookEntryTelephoneNumber, tessel_setPhoneBookEntryTelephoneType,
                     tessel_setPhoneBookEntryTelephonePreferred);
    exportSubRecords(entry, record, "Email", "Address", tessel_addPhoneBookEntryEmail,
                     tessel_setPhoneBookEntryEmailAddress, tessel_setPhoneBookEntryEmailType,
                     tessel_setPhoneBookEntryEmailPreferred);
}

bool export_to_tessel(object_t *phonebook, const char *path) {
    kelTraceIn(PHONEBOOK_ZONE);
    /* A file that exists but cannot be loaded is left alone: saving over it
     * would lose the gateway's other legacy settings. */
    int loaded = tessel_initialize(path);
    if (loaded != TESSEL_OK && loaded != TESSEL_MISSING) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Unable to load tessel file %s: %s",
                 path != nullptr ? path : "", loadFailure(loaded));
        kelTraceOut(PHONEBOOK_ZONE);
        return false;
    }
    object_t *entries = object_getObject(phonebook, "Entry", 0, nullptr);
    if (entries == nullptr) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Unable to get the Entry object");
        tessel_cleanup();
        kelTraceOut(PHONEBOOK_ZONE);
        return false;
    }
    tessel_freePhoneBookEntry();

    if (!object_hasInstances(entries)) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "No entries found, no export necessary.");
    } else {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Phonebook entries found, starting export");
        for (object_t *entry = object_firstInstance(entries); entry != nullptr;
             entry = object_nextInstance(entry))
            exportEntry(entry);
    }

    bool exported = false;
    if (tessel_save() != TESSEL_OK) {
        kelTrace(KELTRACE_LEVEL_WARNING, "Unable to export tessel");
        tessel_cleanup();
    } else if (tessel_cleanup() != TESSEL_OK) {
        kelTrace(KELTRACE_LEVEL_WARNING, "Unable to cleanup tessel");
    } else {
        exported = true;
    }
    kelTraceOut(PHONEBOOK_ZONE);
    return exported;
}
