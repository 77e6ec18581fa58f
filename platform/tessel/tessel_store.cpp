/*
 * The store: the one document loaded by tessel_initialize, and the
 * operations of tessel.h on its phonebook records.
 */
#include <cstdlib>
#include <cstring>
#include <new>

#include "keltrace/keltrace.h"
#include "tessel_internal.h"
#include "zeb/sysroot.h"

namespace {

using tessel::Document;
using tessel::Record;
using tessel::SubRecord;

/* Permissions of a file the store creates: it may hold secrets of the
 * gateway's other settings. */
const mode_t kNewFileMode = 0600;

struct Store {
    bool open = false;
    std::string path; /* resolved */
    mode_t mode = kNewFileMode;
    Document document;
};

Store store;

/* Runs `body`, turning an exhausted heap into TESSEL_ERR_NO_MEMORY. */
template <typename Body> int guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return TESSEL_ERR_NO_MEMORY;
    }
}

int findRecord(int32_t entry, Record *&record) {
    if (!store.open)
        return TESSEL_ERR_STATE;
    if (entry < 0 || static_cast<size_t>(entry) >= store.document.records.size())
        return TESSEL_ERR_NOT_FOUND;
    record = &store.document.records[static_cast<size_t>(entry)];
    return TESSEL_OK;
}

int findSubRecord(int32_t entry, tessel::List list, int32_t index, SubRecord *&subRecord) {
    Record *record = nullptr;
    int found = findRecord(entry, record);
    if (found != TESSEL_OK)
        return found;
    std::vector<SubRecord> &subRecords = record->lists[list];
    if (index < 0 || static_cast<size_t>(index) >= subRecords.size())
        return TESSEL_ERR_NOT_FOUND;
    subRecord = &subRecords[static_cast<size_t>(index)];
    return TESSEL_OK;
}

int getText(const std::optional<std::string> &field, char **value) {
    if (!field.has_value())
        return TESSEL_ERR_NOT_SET;
    char *copy = strdup(field->c_str());
    if (copy == nullptr)
        return TESSEL_ERR_NO_MEMORY;
    *value = copy;
    return TESSEL_OK;
}

int setText(std::optional<std::string> &field, const char *value) {
    if (value == nullptr) {
        field.reset();
        return TESSEL_OK;
    }
    size_t length = strlen(value);
    if (length > TESSEL_MAX_VALUE_LENGTH)
        return TESSEL_ERR_LIMIT;
    return guarded([&] {
        field = std::string(value, length);
        return TESSEL_OK;
    });
}

int getField(int32_t entry, tessel::Field field, char **value) {
    if (value == nullptr)
        return TESSEL_ERR_ARGUMENT;
    Record *record = nullptr;
    int found = findRecord(entry, record);
    return found != TESSEL_OK ? found : getText(record->fields[field], value);
}

int setField(int32_t entry, tessel::Field field, const char *value) {
    Record *record = nullptr;
    int found = findRecord(entry, record);
    return found != TESSEL_OK ? found : setText(record->fields[field], value);
}

int32_t countSubRecords(int32_t entry, tessel::List list) {
    Record *record = nullptr;
    int found = findRecord(entry, record);
    return found != TESSEL_OK ? found : static_cast<int32_t>(record->lists[list].size());
}

int32_t addSubRecord(int32_t entry, tessel::List list) {
    Record *record = nullptr;
    if (findRecord(entry, record) != TESSEL_OK)
        return -1;
    std::vector<SubRecord> &subRecords = record->lists[list];
    if (subRecords.size() >= TESSEL_MAX_SUBRECORDS)
        return -1;
    int added = guarded([&] {
        subRecords.emplace_back();
        return TESSEL_OK;
    });
    return added == TESSEL_OK ? static_cast<int32_t>(subRecords.size() - 1) : -1;
}

/* The value (true) or type (false) text of a sub-record. */
std::optional<std::string> &subText(SubRecord &subRecord, bool value) {
    return value ? subRecord.value : subRecord.type;
}

int getSubText(int32_t entry, tessel::List list, int32_t index, bool value, char **text) {
    if (text == nullptr)
        return TESSEL_ERR_ARGUMENT;
    SubRecord *subRecord = nullptr;
    int found = findSubRecord(entry, list, index, subRecord);
    return found != TESSEL_OK ? found : getText(subText(*subRecord, value), text);
}

int setSubText(int32_t entry, tessel::List list, int32_t index, bool value, const char *text) {
    SubRecord *subRecord = nullptr;
    int found = findSubRecord(entry, list, index, subRecord);
    return found != TESSEL_OK ? found : setText(subText(*subRecord, value), text);
}

int getFlag(int32_t entry, tessel::List list, int32_t index, bool *flag) {
    if (flag == nullptr)
        return TESSEL_ERR_ARGUMENT;
    SubRecord *subRecord = nullptr;
    int found = findSubRecord(entry, list, index, subRecord);
    if (found != TESSEL_OK)
        return found;
    if (!subRecord->flag.has_value())
        return TESSEL_ERR_NOT_SET;
    *flag = *subRecord->flag;
    return TESSEL_OK;
}

int setFlag(int32_t entry, tessel::List list, int32_t index, bool flag) {
    SubRecord *subRecord = nullptr;
    int found = findSubRecord(entry, list, index, subRecord);
    if (found == TESSEL_OK)
        subRecord->flag = flag;
    return found;
}

int load(const char *path) {
    char *resolved = sysroot_path(path);
    if (resolved == nullptr)
        return TESSEL_ERR_NO_MEMORY;
    std::string file = resolved;
    free(resolved);

    std::string text, why;
    mode_t mode = kNewFileMode;
    int result = tessel::readFile(file, text, mode, why);
    Document document;
    if (result == TESSEL_OK) {
        tessel::ParseError error;
        if (!tessel::parse(text, document, error)) {
            kelTrace(KELTRACE_LEVEL_ERROR, "%s:%zu: %s", file.c_str(), error.line,
                     error.message.c_str());
            return TESSEL_ERR_INVALID;
        }
    } else if (result != TESSEL_MISSING) {
        kelTrace(KELTRACE_LEVEL_ERROR, "%s", why.c_str());
        return result;
    }
    store.path = std::move(file);
    store.mode = mode;
    store.document = std::move(document);
    store.open = true;
    return result;
}

} // namespace

extern "C" {

int tessel_initialize(const char *path) {
    if (path == nullptr)
        return TESSEL_ERR_ARGUMENT;
    if (store.open)
        return TESSEL_ERR_STATE;
    return guarded([&] { return load(path); });
}

int tessel_cleanup(void) {
    if (!store.open)
        return TESSEL_ERR_STATE;
    store = Store();
    return TESSEL_OK;
}

int tessel_save(void) {
    if (!store.open)
        return TESSEL_ERR_STATE;
    return guarded([] {
        std::string text = tessel::serialize(store.document);
        if (text.size() > TESSEL_MAX_FILE_SIZE) {
            kelTrace(KELTRACE_LEVEL_ERROR, "%s: %zu bytes is more than a load accepts (%u)",
                     store.path.c_str(), text.size(), TESSEL_MAX_FILE_SIZE);
            return TESSEL_ERR_LIMIT;
        }
        std::string why;
        if (!tessel::replaceFile(store.path, text, store.mode, why)) {
            kelTrace(KELTRACE_LEVEL_ERROR, "%s", why.c_str());
            return TESSEL_ERR_IO;
        }
        return TESSEL_OK;
    });
}

int32_t tessel_cntPhoneBookEntries(void) {
    if (!store.open)
        return TESSEL_ERR_STATE;
    return static_cast<int32_t>(store.document.records.size());
}

int tessel_freePhoneBookEntry(void) {
    if (!store.open)
        return TESSEL_ERR_STATE;
    store.document.records.clear();
    return TESSEL_OK;
}

int32_t tessel_addPhoneBookEntry(void) {
    std::vector<Record> &records = store.document.records;
    if (!store.open || records.size() >= TESSEL_MAX_ENTRIES)
        return -1;
    int added = guarded([&] {
        records.emplace_back();
        return TESSEL_OK;
    });
    return added == TESSEL_OK ? static_cast<int32_t>(records.size() - 1) : -1;
}

#define TESSEL_FIELD(NAME, FIELD)                                                                  \
    int tessel_getPhoneBookEntry##NAME(int32_t entry, char **value) {                              \
        return getField(entry, tessel::FIELD, value);                                              \
    }                                                                                              \
    int tessel_setPhoneBookEntry##NAME(int32_t entry, const char *value) {                         \
        return setField(entry, tessel::FIELD, value);                                              \
    }

TESSEL_FIELD(Name, kName)
TESSEL_FIELD(FormattedName, kFormattedName)
TESSEL_FIELD(UniqueID, kUniqueID)
TESSEL_FIELD(LastRevision, kLastRevision)
TESSEL_FIELD(BirthDay, kBirthDay)
TESSEL_FIELD(Title, kTitle)
TESSEL_FIELD(Organisation, kOrganisation)
TESSEL_FIELD(Url, kUrl)
TESSEL_FIELD(Ringtone, kRingtone)
TESSEL_FIELD(Tags, kTags)

#define TESSEL_LIST(COUNT, ADD, VALUE, TYPE, FLAG, LIST)                                           \
    int32_t tessel_cntPhoneBookEntry##COUNT(int32_t entry) {                                       \
        return countSubRecords(entry, tessel::LIST);                                               \
    }                                                                                              \
    int32_t tessel_addPhoneBookEntry##ADD(int32_t entry) {                                         \
        return addSubRecord(entry, tessel::LIST);                                                  \
    }                                                                                              \
    int tessel_getPhoneBookEntry##VALUE(int32_t entry, int32_t index, char **value) {              \
        return getSubText(entry, tessel::LIST, index, true, value);                                \
    }                                                                                              \
    int tessel_setPhoneBookEntry##VALUE(int32_t entry, int32_t index, const char *value) {         \
        return setSubText(entry, tessel::LIST, index, true, value);                                \
    }                                                                                              \
    int tessel_getPhoneBookEntry##TYPE(int32_t entry, int32_t index, char **value) {               \
        return getSubText(entry, tessel::LIST, index, false, value);                               \
    }                                                                                              \
    int tessel_setPhoneBookEntry##TYPE(int32_t entry, int32_t index, const char *value) {          \
        return setSubText(entry, tessel::LIST, index, false, value);                               \
    }                                                                                              \
    int tessel_getPhoneBookEntry##FLAG(int32_t entry, int32_t index, bool *value) {                \
        return getFlag(entry, tessel::LIST, index, value);                                         \
    }                                                                                              \
    int tessel_setPhoneBookEntry##FLAG(int32_t entry, int32_t index, bool value) {                 \
        return setFlag(entry, tessel::LIST, index, value);                                         \
    }

TESSEL_LIST(Addresses, Address, AddressValue, AddressType, AddressPreferred, kAddresses)
TESSEL_LIST(Label, Label, LabelValue, LabelType, LabelPreferred, kLabels)
TESSEL_LIST(Telephone, Telephone, TelephoneNumber, TelephoneType, TelephonePreferred, kTelephones)
TESSEL_LIST(Email, Email, EmailAddress, EmailType, EmailPreferred, kEmails)

} // extern "C"
