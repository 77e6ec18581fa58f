#include "phonebook_zeb.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <deque>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "change_log.h"
#include "contact_index.h"
#include "contact_map.h"
#include "keltrace/keltrace.h"
#include "notify.h"
#include "number_index.h"
#include "phonebook_assert.h"
#include "variant_path_remap.h"
#include "zeb/sysroot.h"

static const char *textOrEmpty(const char *text) {
    return text != nullptr ? text : "";
}

/* True for a text with at least one character. */
static bool hasText(const char *text) {
    return text != nullptr && text[0] != '\0';
}

static object_t *entryTemplateOf(object_t *phonebook) {
    return object_getObject(phonebook, "Entry", 0, nullptr);
}

/* ---- Persistence ---------------------------------------------------------- */

/* The instance add handlers run when an instance is created, before the
 * commit that may still roll it back. While the save timer stands only for
 * such creations, a rollback that destroys the last of them takes the save
 * back: a rejected change writes nothing. `save_creations` counts them while
 * the timer is armed; an armed timer with none stands for a committed change. */
static uint32_t save_creations = 0;

static bool saveStandsForAChange(void) {
    return zeb_timer_isArmed(_timer) && save_creations == 0;
}

/* A committed change (or one about to be committed) schedules the save. */
static void scheduleSave(void) {
    save_creations = 0;
    zeb_timer_start(_timer, save_delay_ms);
}

/* A new instance: saved with the change that commits it, unless a rollback
 * destroys it first. */
static void scheduleSaveForCreation(void) {
    if (!zeb_timer_isArmed(_timer))
        save_creations = 0;
    if (!saveStandsForAChange())
        save_creations++;
    zeb_timer_start(_timer, save_delay_ms);
}

/* An instance created since the last commit was destroyed by a rollback. */
static void unscheduleSaveForCreation(void) {
    if (!zeb_timer_isArmed(_timer) || save_creations == 0)
        return;
    if (--save_creations == 0)
        zeb_timer_stop(_timer);
}

/* In a delete handler: true for an instance destroyed before it was ever
 * committed (its creation rolled back), false for a deletion. */
static bool neverCommitted(const object_t *instance) {
    return object_state(instance) == object_state_created;
}

bool save_failed = false;

bool zeb_save_data_model(object_t *phonebook) {
    kelTraceIn(PHONEBOOK_ZONE);
    object_t *contact_template = entryTemplateOf(phonebook);
    PHONEBOOK_ASSERT(contact_template);
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "saving datamodel to temporary file");
    bool saved =
        datamodel_save(phonebook, 10, PHONEBOOK_DATAMODEL_FILE, DATAMODEL_FLAG_PERSISTENT_ONLY);
    if (saved)
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Save completed to %s",
                  PHONEBOOK_DATAMODEL_FILE);
    else
        kelTrace(KELTRACE_LEVEL_WARNING, "Save of phonebook to %s failed: %s",
                 PHONEBOOK_DATAMODEL_FILE, zeb_errorMessage());
    save_failed = !saved;
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
        scheduleSave();
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
    case object_state_invalid:
        return "object_state_invalid";
    case object_state_created:
        return "object_state_created";
    case object_state_ready:
        return "object_state_ready";
    case object_state_modified:
        return "object_state_modified";
    case object_state_validated:
        return "object_state_validated";
    case object_state_deleted:
        return "object_state_deleted";
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
    /* The first in instance order, deleted or not; an entry whose parameter
     * holds no text never matches. */
    object_t *found = object_findInstance(entryTemplateOf(phonebook), name, value);
    kelTraceOut(PHONEBOOK_ZONE);
    return found;
}

/* A new map holding the contact of the entry; empty for a null entry. */
static variant_map_t *newContactMap(object_t *entry) {
    variant_map_t *contact = static_cast<variant_map_t *>(calloc(1, sizeof(variant_map_t)));
    if (contact == nullptr) {
        kelTrace(KELTRACE_LEVEL_ERROR, "calloc() failed");
        return nullptr;
    }
    variant_map_initialize(contact);
    if (entry != nullptr)
        contact_map_add(entry, contact);
    return contact;
}

/* A new map holding the contact of the entry whose parameter `name` is
 * `value`; empty when there is none. */
static variant_map_t *contactByStringParam(object_t *phonebook, const char *name,
                                           const char *value) {
    return newContactMap(findContactByStringParam(phonebook, name, value));
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
    object_t *entryTemplate = entryTemplateOf(phonebook);
    for (object_t *entry = object_firstInstance(entryTemplate); entry != nullptr;
         entry = object_nextInstance(entry))
        contact_map_append(contacts, entry);
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

int32_t zeb_getMaxNumberOfContacts(object_t *phonebook) {
    kelTraceIn(PHONEBOOK_ZONE);
    /* The parameter is unsigned: a limit beyond the signed range (4294967295
     * often stands for "no limit") is the largest signed one, not 0. */
    uint32_t limit = variant_uint32(object_parameterValue(phonebook, "MaxNumberOfEntries"));
    int32_t max = limit > INT32_MAX ? INT32_MAX : static_cast<int32_t>(limit);
    kelTraceOut(PHONEBOOK_ZONE);
    return max;
}

uint32_t zeb_getNumberOfContacts(object_t *phonebook) {
    kelTraceIn(PHONEBOOK_ZONE);
    object_t *entryTemplate = entryTemplateOf(phonebook);
    uint32_t count = 0;
    if (entryTemplate == nullptr)
        kelTrace(KELTRACE_LEVEL_WARNING, "Phonebook.Entry does not exist!");
    else
        count = object_instanceCount(entryTemplate);
    kelTraceOut(PHONEBOOK_ZONE);
    return count;
}

bool numberOfEntries_read_handler(parameter_t *, variant_t *value) {
    variant_setInt32(value, static_cast<int32_t>(zeb_getNumberOfContacts(_phonebook)));
    return true;
}

bool uniqueID_read_handler(parameter_t *, variant_t *value) {
    variant_setInt32(value, static_cast<int32_t>(zeb_getNumberOfContacts(_phonebook)));
    return true;
}

/* ---- Country calling codes ------------------------------------------------ */

char *ccc_file = nullptr;
ccc_entry *ccc_data = nullptr;
uint32_t ccc_num = 0;
uint32_t ccc_max = 0;

/* Records added to the table at a time. */
#define CCC_GROWTH 5

/* White space of the POSIX locale, whatever locale the host runs in. */
static bool ccc_isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool ccc_isDigit(char c) {
    return c >= '0' && c <= '9';
}

static char *ccc_skipSpace(char *text) {
    while (ccc_isSpace(*text))
        text++;
    return text;
}

/* The string that follows `string` in its list. */
static const char *ccc_nextString(const char *string) {
    return string + strlen(string) + 1;
}

/* Reads the whole file into ccc_file, NUL-terminated. */
static bool ccc_readFile(void) {
    char *path = sysroot_path(PHONEBOOK_CCC_FILE);
    FILE *file = path != nullptr ? fopen(path, "r") : nullptr;
    free(path);
    if (file == nullptr) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Unable to open %s", PHONEBOOK_CCC_FILE);
        return false;
    }
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && info.st_size >= 0)
        ccc_file = static_cast<char *>(malloc(static_cast<size_t>(info.st_size) + 1));
    if (ccc_file == nullptr) {
        fclose(file);
        kelTrace(KELTRACE_LEVEL_ERROR, "Unable to read %s", PHONEBOOK_CCC_FILE);
        return false;
    }
    size_t size = static_cast<size_t>(info.st_size);
    ccc_file[size] = '\0';
    size_t done = 0;
    while (done < size) {
        size_t asked = size - done;
        size_t got = fread(ccc_file + done, 1, asked, file);
        done += got;
        /* A short read without end of file or error is only partial. */
        if (got < asked && (feof(file) || ferror(file)))
            break;
    }
    bool complete = done == size;
    if (!complete) {
        if (feof(file))
            kelTrace(KELTRACE_LEVEL_ERROR, "Unexpected EOF for %s", PHONEBOOK_CCC_FILE);
        else
            kelTrace(KELTRACE_LEVEL_ERROR, "Unexpected error for %s", PHONEBOOK_CCC_FILE);
        free(ccc_file);
        ccc_file = nullptr;
    }
    fclose(file);
    return complete;
}

bool read_ccc_file(void) {
    if (ccc_file != nullptr)
        return true;
    kelTraceIn(PHONEBOOK_ZONE);
    bool loaded = ccc_readFile();
    if (loaded) {
        parse_ccc_file();
        sort_ccc_data();
    }
    kelTraceOut(PHONEBOOK_ZONE);
    return loaded;
}

/* The rest of the text after the next line feed, or null at the end. */
static char *ccc_nextLine(char *text) {
    char *lineFeed = strchr(text, '\n');
    return lineFeed != nullptr ? lineFeed + 1 : nullptr;
}

void parse_ccc_file(void) {
    kelTraceIn(PHONEBOOK_ZONE);
    PHONEBOOK_ASSERT(ccc_file);
    PHONEBOOK_ASSERT(!ccc_data);
    char *next = ccc_file;
    while (next != nullptr && *next != '\0') {
        if (ccc_isSpace(*next)) {
            next++;
        } else if (*next == '#') {
            next = ccc_nextLine(next);
        } else if (ccc_isDigit(*next)) {
            char *line = next;
            char *lineFeed = strchr(line, '\n');
            next = nullptr;
            if (lineFeed != nullptr) {
                *lineFeed = '\0';
                next = lineFeed + 1;
            }
            if (!parse_ccc_add_entry(line))
                next = nullptr;
        } else {
            kelTrace(KELTRACE_LEVEL_WARNING, "Wrong format for CCC file");
            next = ccc_nextLine(next);
        }
    }
    kelTraceOut(PHONEBOOK_ZONE);
}

bool parse_ccc_add_entry(char *line) {
    char *end = line;
    while (ccc_isDigit(*end))
        end++;
    if (*end != '\0' && !ccc_isSpace(*end)) {
        kelTrace(KELTRACE_LEVEL_WARNING, "Wrong format for CCC file");
        return false;
    }
    ccc_entry *entry = add_ccc_data();
    if (entry == nullptr) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Couldn't add new entry to CCC data");
        return false;
    }
    entry->code = line;
    if (*end == '\0')
        return true;
    *end = '\0';

    /* A list that is there but comes back with a count of 0 did not fit the
     * 8-bit fields: the whole line is left out. */
    bool fits = true;
    char *first = ccc_skipSpace(end + 1);
    if (*first != '\0') {
        char *after = parse_ccc_prefix(line, first, &entry->first_count, &entry->first_offset);
        fits = entry->first_count != 0;
        char *national = after != nullptr ? ccc_skipSpace(after) : nullptr;
        if (fits && national != nullptr && *national != '\0') {
            parse_ccc_prefix(line, national, &entry->national_count, &entry->national_offset);
            fits = entry->national_count != 0;
        }
    }
    if (!fits) {
        kelTrace(KELTRACE_LEVEL_WARNING, "Wrong format for CCC file");
        memset(entry, 0, sizeof *entry);
        ccc_num--;
    }
    return true;
}

char *parse_ccc_prefix(char *line, char *pos, uint8_t *count, uint8_t *offset) {
    char *list = ccc_skipSpace(pos);
    if (*list == '\0')
        return nullptr;
    size_t strings = 1;
    char *after = nullptr;
    for (char *scan = list; *scan != '\0'; scan++) {
        if (*scan == ',') {
            *scan = '\0';
            strings++;
        } else if (ccc_isSpace(*scan)) {
            *scan = '\0';
            after = scan + 1;
            break;
        }
    }
    size_t distance = static_cast<size_t>(list - line);
    if (distance > UINT8_MAX || strings > UINT8_MAX) {
        *count = 0;
        *offset = 0;
        return nullptr;
    }
    *count = static_cast<uint8_t>(strings);
    *offset = static_cast<uint8_t>(distance);
    return after;
}

ccc_entry *add_ccc_data(void) {
    if (ccc_num >= ccc_max) {
        size_t records = static_cast<size_t>(ccc_max) + CCC_GROWTH;
        ccc_entry *grown = static_cast<ccc_entry *>(realloc(ccc_data, records * sizeof(ccc_entry)));
        if (grown == nullptr) {
            kelTrace(KELTRACE_LEVEL_ERROR, "Failed to add CCC data");
            return nullptr;
        }
        memset(grown + ccc_max, 0, CCC_GROWTH * sizeof(ccc_entry));
        ccc_data = grown;
        ccc_max += CCC_GROWTH;
    }
    return &ccc_data[ccc_num++];
}

void sort_ccc_data(void) {
    if (ccc_num > 0)
        qsort(ccc_data, ccc_num, sizeof(ccc_entry), ccc_compare);
}

int ccc_compare(const void *a, const void *b) {
    return strcmp(static_cast<const ccc_entry *>(a)->code, static_cast<const ccc_entry *>(b)->code);
}

ccc_entry *ccc_find(const char *code) {
    if (!read_ccc_file()) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Parsing of Country Calling Codes failed.");
        return nullptr;
    }
    if (ccc_num == 0)
        return nullptr;
    /* The key stands for a record whose first member is the code. */
    return static_cast<ccc_entry *>(
        bsearch(&code, ccc_data, ccc_num, sizeof(ccc_entry), ccc_compare));
}

ccc_entry *get_ccc_entry(const char *digits) {
    kelTraceIn(PHONEBOOK_ZONE);
    char code[4] = {0};
    if (digits != nullptr)
        strncpy(code, digits, 3);
    ccc_entry *entry = nullptr;
    for (size_t length = strlen(code); entry == nullptr && length > 0; length--) {
        code[length] = '\0';
        entry = ccc_find(code);
    }
    kelTraceOut(PHONEBOOK_ZONE);
    return entry;
}

/* The table's national prefixes in byte order, each with a code that has it,
 * and the longest code and prefix: made on the first use after each load, for
 * the candidate notations of a number. A pair appears once, and only when
 * the table finds a code for a number that begins with that code: the first
 * three characters decide, and they are the code's own. */
struct ccc_prefix_index {
    std::vector<std::pair<std::string_view, std::string_view>> prefixes;
    size_t longestCode = 0;
    size_t longestPrefix = 0;
    bool built = false;
};
static ccc_prefix_index ccc_prefixes;

static void ccc_buildPrefixIndex(void) {
    ccc_prefix_index index;
    for (uint32_t r = 0; r < ccc_num; r++) {
        const ccc_entry *record = &ccc_data[r];
        index.longestCode = std::max(index.longestCode, strlen(record->code));
        if (get_ccc_entry(record->code) == nullptr)
            continue;
        const char *prefix = record->code + record->national_offset;
        for (unsigned i = 0; i < record->national_count; i++, prefix = ccc_nextString(prefix)) {
            index.prefixes.emplace_back(prefix, record->code);
            index.longestPrefix = std::max(index.longestPrefix, strlen(prefix));
        }
    }
    std::sort(index.prefixes.begin(), index.prefixes.end());
    index.prefixes.erase(std::unique(index.prefixes.begin(), index.prefixes.end()),
                         index.prefixes.end());
    index.built = true;
    ccc_prefixes = std::move(index);
}

void release_ccc_data(void) {
    ccc_prefixes = ccc_prefix_index();
    free(ccc_data);
    ccc_data = nullptr;
    ccc_num = 0;
    ccc_max = 0;
    free(ccc_file);
    ccc_file = nullptr;
}

/* ---- Telephone numbers ------------------------------------------------------ */

const char *remove_indicator(const char *number) {
    if (number == nullptr)
        return nullptr;
    if (number[0] == '+')
        return number + 1;
    if (number[0] == '0' && number[1] == '0')
        return number + 2;
    return nullptr;
}

bool number_is_international(const char *number) {
    return remove_indicator(number) != nullptr;
}

/* Compares the text `head` followed by `tail` with `expected`, without
 * building that text: the lookup by number makes this comparison for every
 * calling code of the table against every stored number. */
static bool compare_candidate(const char *head, const char *tail, const char *expected) {
    size_t headLength = strlen(head);
    return strncmp(head, expected, headLength) == 0 && strcmp(tail, expected + headLength) == 0;
}

/* `international` without its indicator against a national number. */
static bool compare_international_national(const char *international, const char *national) {
    const ccc_entry *own = get_ccc_entry(international);
    if (own == nullptr) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Unable to determine the CCC entry");
        return false;
    }
    /* The national prefixes of the number's own code in place of the code. */
    const char *subscriber = international + strlen(own->code);
    const char *prefix = own->code + own->national_offset;
    for (unsigned i = 0; i < own->national_count; i++, prefix = ccc_nextString(prefix)) {
        if (compare_candidate(prefix, subscriber, national))
            return true;
    }
    /* Every code whose national prefix begins the national number, for when
     * the longest code found above is not the number's country. */
    for (uint32_t r = 0; r < ccc_num; r++) {
        const ccc_entry *record = &ccc_data[r];
        prefix = record->code + record->national_offset;
        for (unsigned i = 0; i < record->national_count; i++, prefix = ccc_nextString(prefix)) {
            size_t prefixLength = strlen(prefix);
            if (strncmp(national, prefix, prefixLength) != 0)
                continue;
            if (compare_candidate(record->code, national + prefixLength, international))
                return true;
        }
    }
    return false;
}

bool compare_numbers(const char *asked, const char *stored) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool match = false;
    if (asked != nullptr && stored != nullptr && asked[0] != '\0' && asked[1] != '\0' &&
        stored[0] != '\0' && stored[1] != '\0') {
        const char *askedRest = remove_indicator(asked);
        const char *storedRest = remove_indicator(stored);
        if (askedRest != nullptr && storedRest != nullptr)
            match = strcmp(askedRest, storedRest) == 0;
        else if (askedRest == nullptr && storedRest == nullptr)
            match = strcmp(asked, stored) == 0;
        else if (askedRest != nullptr)
            match = compare_international_national(askedRest, stored);
        else
            match = compare_international_national(storedRest, asked);
    }
    kelTraceOut(PHONEBOOK_ZONE);
    return match;
}

void number_notation(const char *number, bool *international, const char **text) {
    const char *rest = remove_indicator(number);
    *international = rest != nullptr;
    *text = rest != nullptr ? rest : number;
}

/* The records whose code is exactly `code`: the table is sorted by code. */
static std::pair<const ccc_entry *, const ccc_entry *> ccc_recordsOf(std::string_view code) {
    auto codeOf = [](const ccc_entry &record) { return std::string_view(record.code); };
    const ccc_entry *first = std::lower_bound(
        ccc_data, ccc_data + ccc_num, code,
        [&](const ccc_entry &record, std::string_view key) { return codeOf(record) < key; });
    const ccc_entry *last = first;
    while (last != ccc_data + ccc_num && codeOf(*last) == code)
        last++;
    return {first, last};
}

/* A national number N matches the international I (indicator removed) when
 * the table has a code for I and, for some record and national prefix P of
 * it, N begins with P and the code followed by the rest of N is I. The
 * comparison of the number's own code with its prefixes is one of those
 * cases, so the candidates come from the records whose code begins I. */
static bool ccc_visitNational(std::string_view international, number_candidate_visitor_t visit,
                              void *userData, std::string &candidate) {
    size_t longest = std::min(international.size(), ccc_prefixes.longestCode);
    for (size_t length = 1; length <= longest; length++) {
        auto records = ccc_recordsOf(international.substr(0, length));
        for (const ccc_entry *record = records.first; record != records.second; record++) {
            const char *prefix = record->code + record->national_offset;
            for (unsigned i = 0; i < record->national_count; i++, prefix = ccc_nextString(prefix)) {
                candidate.assign(prefix).append(international.substr(length));
                if (!visit(false, candidate.data(), candidate.size(), userData))
                    return false;
            }
        }
    }
    return true;
}

/* The other way round: for each national prefix P that begins N, each code
 * with that prefix followed by the rest of N. */
static bool ccc_visitInternational(std::string_view national, number_candidate_visitor_t visit,
                                   void *userData, std::string &candidate) {
    const auto &prefixes = ccc_prefixes.prefixes;
    size_t longest = std::min(national.size(), ccc_prefixes.longestPrefix);
    for (size_t length = 0; length <= longest; length++) {
        std::string_view prefix = national.substr(0, length);
        auto first = std::lower_bound(
            prefixes.begin(), prefixes.end(), prefix,
            [](const auto &item, std::string_view key) { return item.first < key; });
        for (auto it = first; it != prefixes.end() && it->first == prefix; ++it) {
            candidate.assign(it->second).append(national.substr(length));
            if (!visit(true, candidate.data(), candidate.size(), userData))
                return false;
        }
    }
    return true;
}

static bool visitMixedCandidates(bool international, const char *text,
                                 number_candidate_visitor_t visit, void *userData) {
    if (international && get_ccc_entry(text) == nullptr) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Unable to determine the CCC entry");
        return true;
    }
    if (!read_ccc_file()) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Parsing of Country Calling Codes failed.");
        return true;
    }
    try {
        if (!ccc_prefixes.built)
            ccc_buildPrefixIndex();
        std::string candidate;
        return international ? ccc_visitNational(text, visit, userData, candidate)
                             : ccc_visitInternational(text, visit, userData, candidate);
    } catch (const std::bad_alloc &) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Unable to allocate memory");
        return false;
    }
}

bool number_forEachCandidate(const char *asked, bool mixed, number_candidate_visitor_t visit,
                             void *userData) {
    if (asked == nullptr || asked[0] == '\0' || asked[1] == '\0')
        return true;
    bool international = false;
    const char *text = nullptr;
    number_notation(asked, &international, &text);
    if (!visit(international, text, strlen(text), userData))
        return false;
    return !mixed || visitMixedCandidates(international, text, visit, userData);
}

object_t *number_findEntryByWalk(object_t *phonebook, const char *number) {
    object_t *entryTemplate = entryTemplateOf(phonebook);
    for (object_t *entry = object_firstInstance(entryTemplate); entry != nullptr;
         entry = object_nextInstance(entry)) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Found entry with state %s",
                  objectStateName(entry));
        object_t *numbers = object_getObject(entry, "TelephoneNumber", 0, nullptr);
        for (object_t *instance = object_firstInstance(numbers); instance != nullptr;
             instance = object_nextInstance(instance)) {
            const char *stored = variant_da_char(object_parameterValue(instance, "Number"));
            if (compare_numbers(number, stored))
                return entry;
        }
    }
    return nullptr;
}

variant_map_t *zeb_getContactByNumber(object_t *phonebook, const char *number) {
    kelTraceIn(PHONEBOOK_ZONE);
    if (number == nullptr) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Parameter 'number' is null.");
        kelTraceOut(PHONEBOOK_ZONE);
        return nullptr;
    }
    object_t *found = number_index_findEntry(phonebook, number);
    if (found != nullptr)
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Number %s found in entry %u", number,
                  object_index(found));
    else
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Number %s not found", number);
    variant_map_t *contact = found != nullptr ? newContactMap(found) : nullptr;
    kelTraceOut(PHONEBOOK_ZONE);
    return contact;
}

bool phonebook_entry_hasPrefix(const string_t *string, const char *prefix) {
    if (string_isEmpty(string)) {
        kelTrace(KELTRACE_LEVEL_WARNING, "No valid number specified");
        return false;
    }
    if (prefix == nullptr) {
        kelTrace(KELTRACE_LEVEL_WARNING, "No valid prefix specified");
        return false;
    }
    size_t length = strlen(prefix);
    return string_length(string) >= length && memcmp(string_buffer(string), prefix, length) == 0;
}

bool phonebook_entry_replacePrefix(string_t *string, const char *search, const char *replacement) {
    if (string_isEmpty(string)) {
        kelTrace(KELTRACE_LEVEL_WARNING, "No valid number specified");
        return false;
    }
    if (search == nullptr || replacement == nullptr) {
        kelTrace(KELTRACE_LEVEL_WARNING, "No valid prefixes specified");
        return false;
    }
    return string_replaceChar(string, search, replacement) > 0;
}

/* ---- Creation, update and removal ------------------------------------------ */

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

/* True for a value that gives no text: none at all, or a text that holds no
 * character. */
static bool hasNoText(const variant_t *value) {
    variant_type_t type = variant_type(value);
    return type == variant_type_unknown ||
           (type == variant_type_string && !hasText(variant_da_char(value)));
}

/* An identifier without text is no identifier: written after the add handler
 * it would replace the generated one, and written by a modify it would leave
 * the entry without any. Every such copy goes (a map may hold a key more than
 * once). */
static void dropUniqueIDsWithoutText(variant_map_t *contact) {
    variant_map_iterator_t *next = nullptr;
    for (variant_map_iterator_t *it = variant_map_first(contact); it != nullptr; it = next) {
        next = variant_map_iterator_next(it);
        if (strcmp(textOrEmpty(variant_map_iterator_key(it)), "UniqueID") == 0 &&
            hasNoText(variant_map_iterator_data(it)))
            variant_map_iterator_destroy(it);
    }
}

object_t *_add_contact_instance(object_t *phonebook, variant_map_t *contact) {
    kelTraceIn(PHONEBOOK_ZONE);
    dropUniqueIDsWithoutText(contact);
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
        revision_update_block = mktime(&revision) > 0;
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

struct tm localNow(void) {
    time_t now = time(nullptr);
    struct tm local;
    memset(&local, 0, sizeof local);
    const struct tm *broken = localtime(&now);
    if (broken != nullptr)
        local = *broken;
    return local;
}

/* The revision variants of the entries, in blocks rather than an allocation
 * each. A variant given back is reused (the free ones are chained through
 * their own room), and the blocks go when the last one is given back. */
union RevisionSlot {
    variant_t revision;
    RevisionSlot *nextFree;
};
static std::deque<RevisionSlot> revisionSlots;
static RevisionSlot *freeRevisionSlots = nullptr;
static size_t revisionsInUse = 0;

/* Null when memory runs out. */
static variant_t *newRevision(void) {
    RevisionSlot *slot = freeRevisionSlots;
    if (slot != nullptr) {
        freeRevisionSlots = slot->nextFree;
    } else {
        try {
            slot = &revisionSlots.emplace_back();
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    }
    revisionsInUse++;
    variant_initialize(&slot->revision, variant_type_unknown);
    return &slot->revision;
}

static void releaseRevision(variant_t *revision) {
    if (revision == nullptr)
        return;
    variant_cleanup(revision);
    RevisionSlot *slot = reinterpret_cast<RevisionSlot *>(revision);
    slot->nextFree = freeRevisionSlots;
    freeRevisionSlots = slot;
    if (--revisionsInUse == 0) {
        std::deque<RevisionSlot>().swap(revisionSlots);
        freeRevisionSlots = nullptr;
    }
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
    dropUniqueIDsWithoutText(contact);
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
    scheduleSaveForCreation();
    ensureUniqueID(instance);

    parameter_t *lastRevision = object_getParameter(instance, "LastRevision");
    PHONEBOOK_ASSERT(lastRevision);
    variant_t *revision = newRevision();
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
    bool committed = !neverCommitted(instance);
    /* The announcement reads LastRevision through the revision variant:
     * released only afterwards. An entry never committed was never
     * announced: this only drops what the notifications hold of it. */
    notify_entryDeleted(instance);
    parameter_t *lastRevision = object_getParameter(instance, "LastRevision");
    releaseRevision(revisionOf(lastRevision));
    parameter_setUserData(lastRevision, nullptr);
    if (committed)
        scheduleSave();
    else
        unscheduleSaveForCreation();
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

bool phonebook_property_instance_add_handler(object_t *, object_t *instance) {
    kelTraceIn(PHONEBOOK_ZONE);
    recursiveSetWriteHandler(instance, phonebook_object_write_handler, nullptr, nullptr);
    scheduleSaveForCreation();
    kelTraceOut(PHONEBOOK_ZONE);
    return true;
}

bool phonebook_property_instance_del_handler(object_t *templ, object_t *instance) {
    kelTraceIn(PHONEBOOK_ZONE);
    number_index_remove(instance);
    /* Undone with its own creation or with its entry's (the parent of its
     * property object): there is nothing to announce. */
    if (neverCommitted(instance) || neverCommitted(object_parent(templ))) {
        unscheduleSaveForCreation();
    } else {
        notify_entryUpdated(instance);
        scheduleSave();
    }
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
    scheduleSave();
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

    /* Only the instances holding the same text can conflict; an empty value
     * never does, so any number of entries may leave the parameter empty. */
    bool unique = true;
    const char *text = textOrEmpty(unique_chr);
    for (object_t *instance = object_findInstance(entryTemplate, name, text);
         instance != nullptr && unique; instance = object_findNextInstance(instance, name, text)) {
        if (object_state(instance) == object_state_deleted ||
            strcmp(textOrEmpty(object_name(instance, 0)), ownerName) == 0)
            continue;
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "inst state=%s, unique_chr=%s; chr=%s",
                  objectStateName(instance), text,
                  textOrEmpty(variant_da_char(object_parameterValue(instance, name))));
        unique = false;
    }
    /* Clients follow contacts by UniqueID: the one given up leaves them. */
    const char *current = variant_da_char(parameter_getValue(parameter));
    bool uniqueID = unique && strcmp(textOrEmpty(name), "UniqueID") == 0;
    if (uniqueID)
        contact_index_uniqueIDChanging(owner);
    if (uniqueID && object_state(owner) != object_state_created && hasText(current))
        change_log_uniqueIDLeft(current);
    kelTraceOut(PHONEBOOK_ZONE);
    return unique;
}

void write_handler_Number(parameter_t *parameter) {
    kelTraceIn(PHONEBOOK_ZONE);
    number_index_update(parameter_owner(parameter));
    const variant_t *written = parameter_getModifiedValue(parameter);
    const string_t *number = variant_da_string(written);
    /* The rewritten value comes back here from the commit below and stops at
     * this test. */
    if (string_isEmpty(number) || !phonebook_entry_hasPrefix(number, "+"))
        return;
    string_t *copy = variant_string(written);
    if (phonebook_entry_replacePrefix(copy, "+", "00")) {
        parameter_setFromString(parameter, copy);
        object_commit(parameter_owner(parameter));
    } else {
        kelTrace(KELTRACE_LEVEL_ERROR, "Failed to replace the prefix");
    }
    string_cleanup(copy);
    free(copy);
}
