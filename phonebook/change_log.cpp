#include "change_log.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <uuid/uuid.h>

#include <deque>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>

#include "keltrace/keltrace.h"
#include "phonebook.h"

namespace {

/* An entry that changed or an identifier that left, in one word: the entry's
 * instance index shifted left with the low bit set, or the address of the
 * record's own copy of the identifier (from new[], so its low bit is clear). */
class Change {
  public:
    static Change ofEntry(uint32_t index) {
        Change change;
        change.word_ = static_cast<uint64_t>(index) << 1 | 1u;
        return change;
    }
    /* Takes over `uniqueID`, allocated with new[]. */
    static Change ofUniqueID(char *uniqueID) {
        Change change;
        change.word_ = reinterpret_cast<uintptr_t>(uniqueID);
        return change;
    }
    Change(Change &&other) noexcept : word_(other.word_) { other.word_ = kNothing; }
    Change &operator=(Change &&other) noexcept {
        if (this != &other) {
            release();
            word_ = other.word_;
            other.word_ = kNothing;
        }
        return *this;
    }
    ~Change() { release(); }
    /* The entry's index; 0 for an identifier. */
    uint32_t entry() const { return (word_ & 1u) != 0 ? static_cast<uint32_t>(word_ >> 1) : 0; }
    const char *uniqueID() const {
        return (word_ & 1u) != 0 ? nullptr
                                 : reinterpret_cast<const char *>(static_cast<uintptr_t>(word_));
    }

  private:
    static constexpr uint64_t kNothing = 1; /* entry 0 */
    Change() = default;
    void release() {
        if ((word_ & 1u) == 0)
            delete[] reinterpret_cast<char *>(static_cast<uintptr_t>(word_));
    }
    uint64_t word_ = kNothing;
};

struct Log {
    bool running = false;
    uint64_t secret[2] = {0, 0};
    /* Records hold the sequence numbers forgotten + 1 .. last, in order. */
    std::deque<Change> changes;
    uint64_t last = 0;
    uint64_t forgotten = 0;
    /* The newest position a token handed out names: no later change may fold
     * into a record at or before it. */
    uint64_t handedOut = 0;
};

Log changeLog;

void forgetAll() {
    changeLog.changes.clear();
    changeLog.forgotten = changeLog.last;
}

void append(Change &&change) {
    try {
        changeLog.changes.push_back(std::move(change));
        changeLog.last++;
        if (changeLog.changes.size() > CHANGE_LOG_CAPACITY) {
            changeLog.changes.pop_front();
            changeLog.forgotten++;
        }
    } catch (const std::bad_alloc &) {
        /* Every token then gives a reset: nothing is missed silently. */
        changeLog.last++;
        forgetAll();
    }
}

/* ---- Tokens ------------------------------------------------------------- */

enum class Mode : char { Log = 'c', Snapshot = 's' };

/* A position: in the log, after change `seq`; or in the first reading of
 * every contact begun when the log stood at `seq`, after entry `index`. */
struct Position {
    Mode mode = Mode::Snapshot;
    uint64_t seq = 0;
    uint32_t index = 0;
};

uint64_t mix(uint64_t h, uint64_t v) {
    h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebull;
    return h ^ (h >> 31);
}

uint64_t checkValue(const Position &position) {
    uint64_t h = mix(changeLog.secret[0], static_cast<uint64_t>(position.mode));
    h = mix(h, position.seq);
    h = mix(h, position.index);
    return mix(h, changeLog.secret[1]);
}

std::string tokenOf(const Position &position) {
    char text[64];
    snprintf(text, sizeof text, "%c%" PRIx64 ".%" PRIx32 ".%016" PRIx64,
             static_cast<char>(position.mode), position.seq, position.index, checkValue(position));
    return text;
}

/* Reads 1 to `maxDigits` lower-case hex digits at `text`, then `end`. */
bool readHex(const char *&text, int maxDigits, char end, uint64_t *value) {
    uint64_t v = 0;
    int digits = 0;
    for (; digits < maxDigits; digits++, text++) {
        char c = *text;
        if (c >= '0' && c <= '9')
            v = v << 4 | static_cast<uint64_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            v = v << 4 | static_cast<uint64_t>(c - 'a' + 10);
        else
            break;
    }
    if (digits == 0 || *text != end)
        return false;
    if (end != '\0')
        text++;
    *value = v;
    return true;
}

bool parseToken(const char *text, Position *position) {
    if (text[0] != static_cast<char>(Mode::Log) && text[0] != static_cast<char>(Mode::Snapshot))
        return false;
    position->mode = static_cast<Mode>(text[0]);
    const char *p = text + 1;
    uint64_t index = 0, check = 0;
    if (!readHex(p, 16, '.', &position->seq) || !readHex(p, 8, '.', &index) ||
        !readHex(p, 16, '\0', &check))
        return false;
    position->index = static_cast<uint32_t>(index);
    return check == checkValue(*position);
}

/* ---- Answers ------------------------------------------------------------ */

object_t *entryTemplateOf(object_t *phonebook) {
    return object_getObject(phonebook, "Entry", 0, nullptr);
}

object_t *liveEntry(object_t *entryTemplate, uint32_t index) {
    object_t *entry = object_getObject(entryTemplate, std::to_string(index).c_str(), 0, nullptr);
    return entry != nullptr && object_state(entry) != object_state_deleted ? entry : nullptr;
}

bool heldByLiveEntry(object_t *entryTemplate, const char *uniqueID) {
    for (object_t *entry = object_findInstance(entryTemplate, "UniqueID", uniqueID);
         entry != nullptr; entry = object_findNextInstance(entry, "UniqueID", uniqueID))
        if (object_state(entry) != object_state_deleted)
            return true;
    return false;
}

/* What one answer gathers. */
struct Page {
    variant_list_t changed;
    variant_list_t deleted;
    uint32_t items = 0;
    uint32_t count = 0;
    Page() {
        variant_list_initialize(&changed);
        variant_list_initialize(&deleted);
    }
    ~Page() {
        variant_list_cleanup(&changed);
        variant_list_cleanup(&deleted);
    }
    Page(const Page &) = delete;
    Page &operator=(const Page &) = delete;
    bool full() const { return items >= count; }
    void addContact(object_t *entry) {
        appendContact(&changed, entry);
        items++;
    }
    void addDeleted(const char *uniqueID) {
        variant_list_addChar(&deleted, uniqueID);
        items++;
    }
};

/* The changes after `from`: each entry once, as it is now; each identifier
 * that left once, unless a live entry holds it again (that entry then comes
 * among the changes). Returns the position up to which the page took all. */
uint64_t readLog(object_t *entryTemplate, uint64_t from, Page *page) {
    std::unordered_set<uint32_t> seenEntries;
    std::unordered_set<std::string_view> seenIDs;
    uint64_t position = from;
    for (size_t i = from - changeLog.forgotten; i < changeLog.changes.size(); i++, position++) {
        const Change &change = changeLog.changes[i];
        if (change.entry() != 0) {
            if (!seenEntries.insert(change.entry()).second)
                continue;
            object_t *entry = liveEntry(entryTemplate, change.entry());
            if (entry == nullptr)
                continue;
            if (page->full())
                break;
            page->addContact(entry);
        } else {
            const char *uniqueID = change.uniqueID();
            if (!seenIDs.insert(uniqueID).second || heldByLiveEntry(entryTemplate, uniqueID))
                continue;
            if (page->full())
                break;
            page->addDeleted(uniqueID);
        }
    }
    return position;
}

/* The first reading: the entries after `after` in instance order. Returns
 * the index of the last one taken, or 0 when none is left. */
uint32_t readEntries(object_t *entryTemplate, uint32_t after, Page *page) {
    object_t *entry = nullptr;
    if (after == 0) {
        entry = object_firstInstance(entryTemplate);
    } else if ((entry = liveEntry(entryTemplate, after)) != nullptr) {
        entry = object_nextInstance(entry);
    } else {
        /* The entry the last page ended with is gone. */
        entry = object_firstInstance(entryTemplate);
        while (entry != nullptr && object_index(entry) <= after)
            entry = object_nextInstance(entry);
    }
    uint32_t lastTaken = after;
    for (; entry != nullptr && !page->full(); entry = object_nextInstance(entry)) {
        page->addContact(entry);
        lastTaken = object_index(entry);
    }
    return entry != nullptr ? lastTaken : 0;
}

void answerReset(variant_map_t *answer) {
    variant_map_addBool(answer, "reset", true);
}

void answerPage(variant_map_t *answer, const Position &next, bool more, Page *page) {
    if (next.seq > changeLog.handedOut)
        changeLog.handedOut = next.seq;
    variant_map_addChar(answer, "token", tokenOf(next).c_str());
    variant_map_append(answer, variant_map_iterator_createListMove("changed", &page->changed));
    variant_map_append(answer, variant_map_iterator_createListMove("deleted", &page->deleted));
    variant_map_addBool(answer, "more", more);
}

} // namespace

void change_log_start(void) {
    changeLog.changes.clear();
    changeLog.last = changeLog.forgotten = changeLog.handedOut = 0;
    uuid_t random;
    uuid_generate_random(random);
    static_assert(sizeof random == sizeof changeLog.secret, "a UUID gives both halves");
    memcpy(changeLog.secret, random, sizeof changeLog.secret);
    changeLog.running = true;
}

void change_log_stop(void) {
    changeLog.running = false;
    changeLog.changes.clear();
    changeLog.changes.shrink_to_fit();
}

void change_log_entryChanged(const object_t *entry) {
    if (!changeLog.running)
        return;
    uint32_t index = object_index(entry);
    if (changeLog.last > changeLog.handedOut && !changeLog.changes.empty() &&
        changeLog.changes.back().entry() == index)
        return;
    append(Change::ofEntry(index));
}

void change_log_uniqueIDLeft(const char *uniqueID) {
    if (!changeLog.running)
        return;
    const char *text = uniqueID != nullptr ? uniqueID : "";
    size_t size = strlen(text) + 1;
    char *copy = new (std::nothrow) char[size];
    if (copy == nullptr) {
        changeLog.last++;
        forgetAll();
        return;
    }
    memcpy(copy, text, size);
    append(Change::ofUniqueID(copy));
}

void getChangesSince(object_t *phonebook, const char *token, uint32_t count,
                     variant_map_t *answer) {
    kelTraceIn(PHONEBOOK_ZONE);
    variant_map_cleanup(answer);
    variant_map_initialize(answer);
    Position from;
    from.seq = changeLog.last;
    bool known = token == nullptr || token[0] == '\0' || parseToken(token, &from);
    object_t *entryTemplate = entryTemplateOf(phonebook);
    if (!known || from.seq < changeLog.forgotten || from.seq > changeLog.last ||
        entryTemplate == nullptr) {
        kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "getChangesSince: token %s, reset",
                  known ? "too old" : "unknown");
        answerReset(answer);
        kelTraceOut(PHONEBOOK_ZONE);
        return;
    }
    Page page;
    page.count = count;
    Position next = from;
    bool more = false;
    if (from.mode == Mode::Snapshot) {
        next.index = readEntries(entryTemplate, from.index, &page);
        if (next.index == 0)
            next.mode = Mode::Log;
        more = next.index != 0 || next.seq < changeLog.last;
    } else {
        next.seq = readLog(entryTemplate, from.seq, &page);
        more = next.seq < changeLog.last;
    }
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "getChangesSince: %zu changed, %zu deleted",
              variant_list_size(&page.changed), variant_list_size(&page.deleted));
    answerPage(answer, next, more, &page);
    kelTraceOut(PHONEBOOK_ZONE);
}
