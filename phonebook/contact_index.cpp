#include "contact_index.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <bitset>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collation.h"
#include "entry_slots.hpp"
#include "keltrace/keltrace.h"
#include "rank_index.hpp"

namespace {

enum class SortBy { FormattedName, Name, LastRevision };

struct SortByName {
    const char *name;
    SortBy by;
};
const SortByName kSortBys[] = {{"formattedName", SortBy::FormattedName},
                               {"name", SortBy::Name},
                               {"lastRevision", SortBy::LastRevision}};

/* An order: the slots of the entries sorted by (sort key, UniqueID, instance
 * index). The sort keys are kept, the UniqueID is read from the entry when
 * two keys tie: the entry leaves the order before its UniqueID changes
 * (contact_index_uniqueIDChanging). */
struct Order;
struct OrderLess {
    const Order *order;
    bool operator()(uint32_t a, uint32_t b) const noexcept;
};

struct Order {
    SortBy by;
    const collation_t *coll;
    std::vector<uint32_t> keyAt; /* by slot: the key's offset in keys, or kNoSlot */
    KeyArena keys;
    RankIndex<uint32_t, OrderLess> set{OrderLess{this}};
    std::string_view key(uint32_t slot) const noexcept { return keys.get(keyAt[slot]); }
};

/* A word of an entry is its offset in the text of the index: words equal
 * in text are ordered by offset, which compacting the text keeps. */
struct Words;
struct WordLess {
    const Words *words;
    bool operator()(uint32_t a, uint32_t b) const noexcept;
};

/* The primary keys of the words of each entry, each ending with a 0, sorted,
 * without the words that begin another of the same entry (a prefix finding
 * them finds that one too). */
struct Words {
    const collation_t *coll;
    std::vector<uint32_t> wordsAt; /* by slot: its record in text, or kNoSlot */
    WordArena text;
    RankIndex<uint32_t, WordLess> set{WordLess{this}};
    const char *word(uint32_t at) const noexcept { return text.word(at); }
};

/* The telephone numbers by the 3-digit windows of their digits: per window,
 * the slots of the entries one of whose numbers held it when filed. Postings
 * are not taken back when numbers change or entries leave: a search checks
 * every candidate against its numbers, and the index is filed afresh when
 * the stale postings outnumber the others. */
constexpr size_t kWindows = 1000;
struct Digits {
    SlotList postings[kWindows];
    /* by slot: a hash of the numbers filed (0: none), and how many postings;
     * the hash spares refiling an entry whose numbers did not change (one
     * that changed and kept its 64-bit hash would be missed) */
    std::vector<uint64_t> filedHash;
    std::vector<uint16_t> filedCount;
    size_t live = 0;
    size_t stale = 0;
};

struct State {
    bool running = false;
    const collation_t *defaultColl = nullptr;
    EntrySlots slots;
    std::vector<uint32_t> dirty; /* slots marked dirty, maybe more than once */
    std::vector<std::unique_ptr<Order>> orders;
    std::vector<std::unique_ptr<Words>> words;
    std::unique_ptr<Digits> digits;
    /* A change could not be recorded: every index is rebuilt. */
    bool lost = false;
};

State state;

const char *uniqueIDOf(const object_t *entry) {
    const char *id = variant_da_char(object_parameterValue(entry, "UniqueID"));
    return id != nullptr ? id : "";
}

bool OrderLess::operator()(uint32_t a, uint32_t b) const noexcept {
    int c = order->key(a).compare(order->key(b));
    if (c == 0 && a != b) {
        c = strcmp(uniqueIDOf(state.slots.entry(a)), uniqueIDOf(state.slots.entry(b)));
        if (c == 0)
            return state.slots.index(a) < state.slots.index(b);
    }
    return c < 0;
}

bool WordLess::operator()(uint32_t a, uint32_t b) const noexcept {
    int c = strcmp(words->word(a), words->word(b));
    return c != 0 ? c < 0 : a < b;
}

/* ---- Keys --------------------------------------------------------------- */

std::string textOf(const object_t *object, const char *name) {
    const char *text = variant_da_char(object_parameterValue(object, name));
    return text != nullptr ? text : "";
}

/* The structured name with its components (family name first) between
 * blanks; the formatted name when it has none. */
std::string nameText(const object_t *entry) {
    std::string name = textOf(entry, "Name");
    std::string joined;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = std::min(name.find(';', start), name.size());
        std::string part = name.substr(start, end - start);
        size_t first = part.find_first_not_of(' ');
        if (first != std::string::npos) {
            if (!joined.empty())
                joined += ' ';
            joined += part.substr(first, part.find_last_not_of(' ') + 1 - first);
        }
        start = end + 1;
    }
    return joined.empty() ? textOf(entry, "FormattedName") : joined;
}

/* Seconds as 8 bytes that compare as the numbers do. */
std::string timeKey(int64_t seconds) {
    uint64_t biased = static_cast<uint64_t>(seconds) ^ (1ull << 63);
    std::string key(8, '\0');
    for (int i = 7; i >= 0; --i, biased >>= 8)
        key[static_cast<size_t>(i)] = static_cast<char>(biased & 0xff);
    return key;
}

std::string sortKeyOf(const Order &order, const object_t *entry) {
    switch (order.by) {
    case SortBy::Name:
        return collation_sortKeyString(order.coll, nameText(entry), COLLATION_TERTIARY);
    case SortBy::LastRevision: {
        int64_t seconds = 0;
        variant_toDateTimeSeconds(object_parameterValue(entry, "LastRevision"), &seconds);
        return timeKey(seconds);
    }
    case SortBy::FormattedName:
        break;
    }
    return collation_sortKeyString(order.coll, textOf(entry, "FormattedName"), COLLATION_TERTIARY);
}

/* Words end at ASCII characters other than letters and digits: blanks,
 * punctuation, the ';' of the structured name, the '@' and '.' of e-mails. */
bool separates(unsigned char c) {
    return c < 0x80 && !((c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'));
}

/* Calls visit(word) for each word of `text`, the text between separators. */
template <typename Visit> void forEachTextWord(std::string_view text, Visit visit) {
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && separates(static_cast<unsigned char>(text[i])))
            ++i;
        size_t start = i;
        while (i < text.size() && !separates(static_cast<unsigned char>(text[i])))
            ++i;
        if (i > start)
            visit(text.substr(start, i - start));
    }
}

void addWords(const collation_t *coll, const std::string &text, std::vector<std::string> *words) {
    forEachTextWord(text, [&](std::string_view word) {
        std::string key = collation_sortKeyString(coll, std::string(word), COLLATION_PRIMARY);
        if (!key.empty())
            words->push_back(std::move(key));
    });
}

template <typename Visit>
void forEachInstance(const object_t *parent, const char *name, Visit visit) {
    object_t *templ = object_getObject(parent, name, 0, nullptr);
    for (object_t *instance = templ != nullptr ? object_firstInstance(templ) : nullptr;
         instance != nullptr; instance = object_nextInstance(instance))
        if (object_state(instance) != object_state_deleted)
            visit(instance);
}

/* The entry's words as Words keeps them. */
std::string wordsOf(const collation_t *coll, const object_t *entry) {
    std::vector<std::string> keys;
    addWords(coll, textOf(entry, "FormattedName"), &keys);
    addWords(coll, textOf(entry, "Name"), &keys);
    addWords(coll, textOf(entry, "Organisation"), &keys);
    forEachInstance(entry, "Email",
                    [&](object_t *email) { addWords(coll, textOf(email, "Address"), &keys); });
    std::sort(keys.begin(), keys.end());
    std::string words;
    for (size_t i = 0; i < keys.size(); ++i)
        if (i + 1 == keys.size() || keys[i + 1].compare(0, keys[i].size(), keys[i]) != 0)
            (words += keys[i]) += '\0';
    return words;
}

/* The digits of each number of the entry, each followed by a blank. */
std::string numbersOf(const object_t *entry) {
    std::string numbers;
    forEachInstance(entry, "TelephoneNumber", [&](object_t *number) {
        for (char c : textOf(number, "Number"))
            if (c >= '0' && c <= '9')
                numbers += c;
        numbers += ' ';
    });
    return numbers;
}

/* Calls visit(window) for each 3-digit window of the digits in `numbers`,
 * blanks ending a run of digits. */
template <typename Visit> void forEachWindow(std::string_view numbers, Visit visit) {
    unsigned window = 0;
    int run = 0;
    for (char c : numbers) {
        if (c < '0' || c > '9') {
            run = 0;
            continue;
        }
        window = (window * 10 + static_cast<unsigned>(c - '0')) % kWindows;
        if (++run >= 3)
            visit(window);
    }
}

/* ---- Keeping the indexes ----------------------------------------------- */

/* The value of `slot` in a vector by slot, grown to hold it. */
uint32_t &bySlot(std::vector<uint32_t> &values, uint32_t slot) {
    if (slot >= values.size())
        values.resize(std::max<size_t>(slot + 1, state.slots.end()), kNoSlot);
    return values[slot];
}

void remove(Order &order, uint32_t slot) {
    if (slot >= order.keyAt.size() || order.keyAt[slot] == kNoSlot)
        return;
    order.set.erase(slot);
    order.keys.release(order.keyAt[slot]);
    order.keyAt[slot] = kNoSlot;
}

void remove(Words &words, uint32_t slot) {
    if (slot >= words.wordsAt.size() || words.wordsAt[slot] == kNoSlot)
        return;
    words.text.forEachWord(words.wordsAt[slot],
                           [&](uint32_t at, std::string_view) { words.set.erase(at); });
    words.text.release(words.wordsAt[slot]);
    words.wordsAt[slot] = kNoSlot;
}

void remove(Digits &digits, uint32_t slot) {
    if (slot >= digits.filedHash.size() || digits.filedHash[slot] == 0)
        return;
    digits.live -= digits.filedCount[slot];
    digits.stale += digits.filedCount[slot];
    digits.filedHash[slot] = 0;
    digits.filedCount[slot] = 0;
}

/* False when memory ran out (the index is then to be dropped). */
bool update(Order &order, uint32_t slot) {
    std::string key = sortKeyOf(order, state.slots.entry(slot));
    uint32_t &at = bySlot(order.keyAt, slot);
    if (at != kNoSlot && order.keys.get(at) == key)
        return true;
    remove(order, slot);
    if (order.keys.wasteful())
        order.keys.compact(order.keyAt, kNoSlot);
    order.keyAt[slot] = order.keys.put(key);
    return order.set.insert(slot);
}

bool update(Words &words, uint32_t slot) {
    std::string text = wordsOf(words.coll, state.slots.entry(slot));
    uint32_t &at = bySlot(words.wordsAt, slot);
    if (at != kNoSlot && words.text.holds(at, text))
        return true;
    remove(words, slot);
    if (words.text.wasteful())
        words.text.compact(words.wordsAt, [&](auto to) { words.set.rewrite(to); });
    uint32_t record = words.text.put(text, slot);
    words.wordsAt[slot] = record;
    bool inserted = true;
    words.text.forEachWord(
        record, [&](uint32_t w, std::string_view) { inserted = inserted && words.set.insert(w); });
    return inserted;
}

uint64_t hashOf(std::string_view numbers) {
    uint64_t hash = 14695981039346656037ull;
    for (char c : numbers)
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return hash != 0 ? hash : 1;
}

bool update(Digits &digits, uint32_t slot) {
    std::string numbers = numbersOf(state.slots.entry(slot));
    uint64_t hash = hashOf(numbers);
    if (slot >= digits.filedHash.size()) {
        digits.filedHash.resize(std::max<size_t>(slot + 1, state.slots.end()), 0);
        digits.filedCount.resize(digits.filedHash.size(), 0);
    }
    if (digits.filedHash[slot] == hash)
        return true;
    remove(digits, slot);
    std::bitset<kWindows> seen;
    forEachWindow(numbers, [&](unsigned window) { seen.set(window); });
    for (size_t window = 0; window < kWindows; ++window)
        if (seen[window])
            digits.postings[window].add(slot);
    digits.filedHash[slot] = hash;
    digits.filedCount[slot] = static_cast<uint16_t>(std::min<size_t>(seen.count(), UINT16_MAX));
    digits.live += digits.filedCount[slot];
    return true;
}

void dropAll() {
    state.orders.clear();
    state.words.clear();
    state.digits.reset();
}

template <typename Index> bool fill(Index &index) {
    for (uint32_t slot = 0; slot < state.slots.end(); ++slot)
        if (state.slots.entry(slot) != nullptr && !update(index, slot))
            return false;
    return true;
}

/* A digits index of every entry. */
std::unique_ptr<Digits> fileDigits() {
    auto digits = std::make_unique<Digits>();
    fill(*digits);
    for (SlotList &posting : digits->postings)
        posting.shrink();
    return digits;
}

/* Files the numbers afresh when stale postings outnumber the others. */
void refileDigits() {
    if (state.digits != nullptr && state.digits->stale > state.digits->live + 64)
        state.digits = fileDigits();
}

/* Every entry of the phonebook in a slot, none dirty. */
void takeSlots(object_t *phonebook) {
    state.slots.clear();
    state.dirty = std::vector<uint32_t>();
    forEachInstance(phonebook, "Entry", [&](object_t *entry) { state.slots.add(entry); });
}

/* Brings every index up to date with the entries marked; after a change
 * that could not be recorded, starts again from the phonebook. */
void flush(object_t *phonebook) {
    try {
        if (state.lost) {
            dropAll();
            takeSlots(phonebook);
            state.lost = false;
        }
        for (uint32_t slot : state.dirty) {
            if (!state.slots.dirty(slot))
                continue;
            state.slots.setDirty(slot, false);
            for (auto &order : state.orders)
                if (!update(*order, slot))
                    throw std::bad_alloc();
            for (auto &words : state.words)
                if (!update(*words, slot))
                    throw std::bad_alloc();
            if (state.digits != nullptr)
                update(*state.digits, slot);
        }
        state.dirty.clear();
        if (state.dirty.capacity() > 1024)
            state.dirty = std::vector<uint32_t>();
        refileDigits();
    } catch (const std::bad_alloc &) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Out of memory: the contact indexes are rebuilt");
        dropAll();
        for (uint32_t slot : state.dirty)
            state.slots.setDirty(slot, false);
        state.dirty = std::vector<uint32_t>();
    }
}

const collation_t *defaultCollation(object_t *phonebook) {
    const collation_t *coll =
        collation_forLocale(variant_da_char(object_parameterValue(phonebook, "SortLocale")));
    return coll != nullptr ? coll : collation_forLocale("");
}

/* Up to date, and only the default collation's indexes when it changed. */
void refresh(object_t *phonebook) {
    flush(phonebook);
    const collation_t *coll = defaultCollation(phonebook);
    if (coll == state.defaultColl)
        return;
    state.defaultColl = coll;
    auto other = [&](const auto &index) { return index->coll != coll; };
    state.orders.erase(std::remove_if(state.orders.begin(), state.orders.end(), other),
                       state.orders.end());
    state.words.erase(std::remove_if(state.words.begin(), state.words.end(), other),
                      state.words.end());
}

/* The index of (by, coll), built when missing; null when memory ran out,
 * also while the entries could not all be taken from the phonebook. */
Order *orderFor(SortBy by, const collation_t *coll) {
    if (state.lost)
        return nullptr;
    if (by == SortBy::LastRevision)
        coll = nullptr;
    for (auto &order : state.orders)
        if (order->by == by && order->coll == coll)
            return order.get();
    try {
        auto order = std::make_unique<Order>();
        order->by = by;
        order->coll = coll;
        if (!fill(*order))
            return nullptr;
        order->keys.shrink();
        state.orders.push_back(std::move(order));
        return state.orders.back().get();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

Words *wordsFor(const collation_t *coll) {
    for (auto &words : state.words)
        if (words->coll == coll)
            return words.get();
    try {
        auto words = std::make_unique<Words>();
        words->coll = coll;
        if (!fill(*words))
            return nullptr;
        words->text.shrink();
        state.words.push_back(std::move(words));
        return state.words.back().get();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

Digits *digitsFor() {
    if (state.digits == nullptr) {
        try {
            state.digits = fileDigits();
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    }
    return state.digits.get();
}

/* ---- Answers ------------------------------------------------------------ */

void answerError(variant_map_t *answer, const std::string &message) {
    kelTrace(KELTRACE_LEVEL_WARNING, "%s", message.c_str());
    variant_map_addChar(answer, "error", message.c_str());
}

void addUInt64(variant_map_t *map, const char *key, uint64_t value) {
    variant_t number;
    variant_initialize(&number, variant_type_uint64);
    variant_setUInt64(&number, value);
    variant_map_add(map, key, &number);
    variant_cleanup(&number);
}

void answerPage(variant_map_t *answer, uint64_t total, uint64_t offset, variant_list_t *contacts) {
    addUInt64(answer, "total", total);
    addUInt64(answer, "offset", offset);
    variant_map_addListMove(answer, "contacts", contacts);
}

/* Whether the key (of an element) begins with `prefix`. */
bool beginsWith(const char *key, size_t keyLength, const std::string &prefix) {
    return keyLength >= prefix.size() && memcmp(key, prefix.data(), prefix.size()) == 0;
}

/* The key `from` is compared with: its primary key, or its seconds for
 * lastRevision. False when it is no date-time there. */
bool fromKey(SortBy by, const collation_t *coll, const char *from, std::string *key) {
    if (by != SortBy::LastRevision) {
        *key = collation_sortKeyString(coll, from, COLLATION_PRIMARY);
        return true;
    }
    variant_t text;
    variant_initialize(&text, variant_type_string);
    variant_setChar(&text, from);
    int64_t seconds = 0;
    bool valid = variant_toDateTimeSeconds(&text, &seconds);
    variant_cleanup(&text);
    *key = timeKey(seconds);
    return valid;
}

/* Where `from` starts the page: ascending, the first element at or after
 * it; descending, the first (from the end) at or before it or beginning
 * with it. */
uint64_t fromPosition(const Order &order, const std::string &key, bool descending) {
    if (!descending)
        return order.set.partitionPoint([&](uint32_t slot) { return order.key(slot) < key; });
    size_t upTo = order.set.partitionPoint([&](uint32_t slot) {
        std::string_view k = order.key(slot);
        return k < key || beginsWith(k.data(), k.size(), key);
    });
    return order.set.size() - upTo;
}

void appendRange(const Order &order, uint64_t offset, uint32_t count, bool descending,
                 variant_list_t *contacts) {
    size_t total = order.set.size();
    if (offset >= total)
        return;
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, total - offset));
    if (!descending) {
        order.set.forRange(static_cast<size_t>(offset), n, [&](uint32_t slot) {
            appendContact(contacts, state.slots.entry(slot));
        });
        return;
    }
    std::vector<object_t *> page;
    page.reserve(n);
    order.set.forRange(total - static_cast<size_t>(offset) - n, n,
                       [&](uint32_t slot) { page.push_back(state.slots.entry(slot)); });
    for (auto it = page.rbegin(); it != page.rend(); ++it)
        appendContact(contacts, *it);
}

const SortByName *sortByNamed(const char *name) {
    for (const SortByName &entry : kSortBys)
        if (strcmp(entry.name, name) == 0)
            return &entry;
    return nullptr;
}

/* The collation of `locale`, or of SortLocale when null; null, answered as
 * an error, when unknown. */
const collation_t *collationFor(const char *locale, variant_map_t *answer) {
    if (locale == nullptr)
        return state.defaultColl;
    const collation_t *coll = collation_forLocale(locale);
    if (coll == nullptr)
        answerError(answer, std::string("unknown locale ") + locale);
    return coll;
}

/* ---- Search ------------------------------------------------------------- */

/* The entries found, each once, by slot: a bitmap answers "is it one" while
 * walking an order, the list gives their positions. */
struct Matches {
    std::vector<bool> seen;
    std::vector<uint32_t> list;
    void add(uint32_t index) {
        if (index >= seen.size())
            seen.resize(std::max<size_t>(index + 1, seen.size() * 2));
        if (!seen[index]) {
            seen[index] = true;
            list.push_back(index);
        }
    }
    bool has(uint32_t index) const { return index < seen.size() && seen[index]; }
    size_t size() const { return list.size(); }
};

std::string digitsOf(const char *text) {
    std::string digits;
    for (; *text != '\0'; ++text)
        if (*text >= '0' && *text <= '9')
            digits += *text;
    return digits;
}

/* Whether one of the entry's numbers holds `digits`. */
bool holdsDigits(const object_t *entry, const std::string &digits) {
    bool found = false;
    forEachInstance(entry, "TelephoneNumber", [&](object_t *number) {
        found =
            found || digitsOf(textOf(number, "Number").c_str()).find(digits) != std::string::npos;
    });
    return found;
}

/* The postings of the rarest window of `digits` (at least 3 of them). */
const SlotList &rarestPostings(const Digits &index, const std::string &digits) {
    const SlotList *rarest = nullptr;
    forEachWindow(digits, [&](unsigned window) {
        if (rarest == nullptr || index.postings[window].size() < rarest->size())
            rarest = &index.postings[window];
    });
    return *rarest;
}

/* The candidates are the postings of the rarest window of `digits`. */
void addNumberMatches(const Digits &index, const std::string &digits, Matches *matches) {
    std::vector<bool> checked(state.slots.end());
    rarestPostings(index, digits).forEach([&](uint32_t slot) {
        if (checked[slot])
            return;
        checked[slot] = true;
        const object_t *entry = state.slots.entry(slot);
        if (entry != nullptr && holdsDigits(entry, digits))
            matches->add(slot);
    });
}

/* The words of the index that begin with `prefix`: [first, last). */
struct WordRange {
    size_t first;
    size_t last;
    size_t size() const { return last - first; }
};

WordRange wordsBeginning(const Words &words, const std::string &prefix) {
    size_t first = words.set.partitionPoint(
        [&](uint32_t w) { return strcmp(words.word(w), prefix.c_str()) < 0; });
    size_t last = words.set.partitionPoint([&](uint32_t w) {
        const char *key = words.word(w);
        return strcmp(key, prefix.c_str()) < 0 || beginsWith(key, strlen(key), prefix);
    });
    return {first, last};
}

void addWordMatches(const Words &words, const std::string &prefix, Matches *matches) {
    WordRange range = wordsBeginning(words, prefix);
    words.set.forRange(range.first, range.size(),
                       [&](uint32_t w) { matches->add(words.text.slotOf(w)); });
}

/* ---- Search by several words -------------------------------------------- */

/* A text of several words finds the entries that each of its terms finds.
 * A term is a word with a letter, found by the words beginning with it, or
 * a run of words of digits alone ("0171 555"), found by words beginning with
 * each of them or, when they hold at least 3 digits, by a number holding
 * their digits. A term repeated counts once; the terms after the first
 * kMaxTerms are not looked for. */
constexpr size_t kMaxTerms = 8;

struct Term {
    std::vector<std::string> prefixes; /* primary keys, none empty */
    std::string digits;                /* at least 3, or none */
    bool operator==(const Term &other) const {
        return prefixes == other.prefixes && digits == other.digits;
    }
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

/* Whether `text` is searched by its terms: it holds a letter (anything but
 * digits and separators) and a separator. A single word, and a text of
 * digits and separators, are searched as a whole. */
bool searchedByTerms(std::string_view text) {
    auto letter = [](char c) { return !isDigit(c) && !separates(static_cast<unsigned char>(c)); };
    auto separator = [](char c) { return separates(static_cast<unsigned char>(c)); };
    return std::any_of(text.begin(), text.end(), letter) &&
           std::any_of(text.begin(), text.end(), separator);
}

std::vector<Term> termsOf(const collation_t *coll, std::string_view text) {
    std::vector<Term> terms;
    auto add = [&](Term term) {
        if (terms.size() < kMaxTerms && std::find(terms.begin(), terms.end(), term) == terms.end())
            terms.push_back(std::move(term));
    };
    Term run;
    auto endRun = [&]() {
        if (run.digits.size() < 3)
            run.digits.clear();
        if (!run.prefixes.empty())
            add(std::exchange(run, Term{}));
    };
    forEachTextWord(text, [&](std::string_view word) {
        std::string key = collation_sortKeyString(coll, std::string(word), COLLATION_PRIMARY);
        if (std::all_of(word.begin(), word.end(), isDigit)) {
            run.prefixes.push_back(std::move(key));
            run.digits += word;
            return;
        }
        endRun();
        if (!key.empty())
            add(Term{{std::move(key)}, {}});
    });
    endRun();
    return terms;
}

/* Whether a word of the entry in `slot` begins with `prefix`. */
bool hasWordBeginning(const Words &words, uint32_t slot, const std::string &prefix) {
    if (slot >= words.wordsAt.size() || words.wordsAt[slot] == kNoSlot)
        return false;
    bool found = false;
    words.text.forEachWord(words.wordsAt[slot], [&](uint32_t, std::string_view word) {
        found = found || beginsWith(word.data(), word.size(), prefix);
    });
    return found;
}

bool finds(const Term &term, const Words &words, uint32_t slot) {
    auto begun = [&](const std::string &prefix) { return hasWordBeginning(words, slot, prefix); };
    return std::all_of(term.prefixes.begin(), term.prefixes.end(), begun) ||
           (!term.digits.empty() && holdsDigits(state.slots.entry(slot), term.digits));
}

/* What the indexes file under a term: every entry it finds, maybe more. */
struct Candidates {
    WordRange words;
    const SlotList *numbers;
    size_t size() const { return words.size() + (numbers != nullptr ? numbers->size() : 0); }
};

Candidates candidatesOf(const Term &term, const Words &words, const Digits *digits) {
    Candidates fewest{{0, 0}, nullptr};
    for (size_t i = 0; i < term.prefixes.size(); ++i) {
        WordRange range = wordsBeginning(words, term.prefixes[i]);
        if (i == 0 || range.size() < fewest.words.size())
            fewest.words = range;
    }
    if (!term.digits.empty())
        fewest.numbers = &rarestPostings(*digits, term.digits);
    return fewest;
}

/* The candidates of the rarest term, those every term finds. */
void addTermMatches(const Words &words, const Digits *digits, const std::vector<Term> &terms,
                    Matches *matches) {
    if (terms.empty())
        return;
    Candidates rarest = candidatesOf(terms[0], words, digits);
    for (size_t i = 1; i < terms.size(); ++i) {
        Candidates candidates = candidatesOf(terms[i], words, digits);
        if (candidates.size() < rarest.size())
            rarest = candidates;
    }
    std::vector<bool> checked(state.slots.end());
    auto check = [&](uint32_t slot) {
        if (checked[slot])
            return;
        checked[slot] = true;
        if (state.slots.entry(slot) != nullptr &&
            std::all_of(terms.begin(), terms.end(),
                        [&](const Term &term) { return finds(term, words, slot); }))
            matches->add(slot);
    };
    words.set.forRange(rarest.words.first, rarest.words.size(),
                       [&](uint32_t w) { check(words.text.slotOf(w)); });
    if (rarest.numbers != nullptr)
        rarest.numbers->forEach(check);
}

/* The entries a text finds as a whole; false when memory ran out. */
bool findText(const collation_t *coll, const char *text, Matches *matches) {
    std::string prefix = collation_sortKeyString(coll, text, COLLATION_PRIMARY);
    std::string digits = digitsOf(text);
    Words *words = prefix.empty() ? nullptr : wordsFor(coll);
    Digits *numbers = digits.size() >= 3 ? digitsFor() : nullptr;
    if ((words == nullptr && !prefix.empty()) || (numbers == nullptr && digits.size() >= 3))
        return false;
    if (words != nullptr)
        addWordMatches(*words, prefix, matches);
    if (numbers != nullptr)
        addNumberMatches(*numbers, digits, matches);
    return true;
}

/* The entries a text finds by its terms; false when memory ran out. */
bool findTerms(const collation_t *coll, const char *text, Matches *matches) {
    std::vector<Term> terms = termsOf(coll, text);
    bool byDigits = std::any_of(terms.begin(), terms.end(),
                                [](const Term &term) { return !term.digits.empty(); });
    Words *words = wordsFor(coll);
    Digits *numbers = byDigits ? digitsFor() : nullptr;
    if (words == nullptr || (byDigits && numbers == nullptr))
        return false;
    addTermMatches(*words, numbers, terms, matches);
    return true;
}

/* The page of the matches in the order's order: by walking the order when
 * the page comes early in it, else by sorting the matches' positions. */
void appendMatches(const Order &order, const Matches &matches, uint64_t offset, uint32_t count,
                   variant_list_t *contacts) {
    if (offset >= matches.size())
        return;
    double size = static_cast<double>(order.set.size());
    double walk = static_cast<double>(offset + count) * size / static_cast<double>(matches.size());
    if (walk < static_cast<double>(matches.size()) * (log2(size) + 1)) {
        uint64_t seen = 0;
        order.set.forRange(0, order.set.size(), [&](uint32_t slot) {
            if (matches.has(slot) && seen++ >= offset)
                appendContact(contacts, state.slots.entry(slot));
            return seen < offset + count;
        });
        return;
    }
    std::vector<std::pair<size_t, uint32_t>> ranked;
    ranked.reserve(matches.size());
    for (uint32_t slot : matches.list)
        ranked.emplace_back(order.set.rank(slot).value_or(0), slot);
    std::sort(ranked.begin(), ranked.end());
    size_t end = static_cast<size_t>(std::min<uint64_t>(offset + count, ranked.size()));
    for (size_t i = static_cast<size_t>(offset); i < end; ++i)
        appendContact(contacts, state.slots.entry(ranked[i].second));
}

void beginAnswer(variant_map_t *answer) {
    variant_map_cleanup(answer);
    variant_map_initialize(answer);
}

/* The entry's slot, none when the indexes do not follow it. */
uint32_t slotOf(const object_t *entry) {
    return state.running && !state.lost ? state.slots.find(object_index(entry)) : kNoSlot;
}

void removeFromOrders(uint32_t slot) {
    for (auto &order : state.orders)
        remove(*order, slot);
}

} // namespace

void contact_index_start(void) {
    dropAll();
    state.slots.clear();
    state.dirty = std::vector<uint32_t>();
    state.defaultColl = nullptr;
    state.lost = false;
    state.running = true;
}

void contact_index_stop(void) {
    contact_index_start();
    state.running = false;
}

void contact_index_prepare(object_t *phonebook) {
    if (!state.running)
        return;
    state.lost = true; /* every entry from the phonebook */
    refresh(phonebook);
    orderFor(SortBy::FormattedName, state.defaultColl);
}

/* Drops from the list of marked slots those no longer marked (their entry
 * left) and those listed twice (a slot taken again after its entry left). */
void compactDirty() noexcept {
    size_t kept = 0;
    for (uint32_t slot : state.dirty) {
        if (slot < state.slots.end() && state.slots.dirty(slot)) {
            state.slots.setDirty(slot, false);
            state.dirty[kept++] = slot;
        }
    }
    state.dirty.resize(kept);
    for (uint32_t slot : state.dirty)
        state.slots.setDirty(slot, true);
}

/* Room for one more marked slot. The list grows by doubling, and only when
 * compacting it leaves it more than half full: entries that come and go
 * between two answers neither grow it without end nor copy it at each mark. */
void roomForDirty() {
    if (state.dirty.size() < state.dirty.capacity())
        return;
    compactDirty();
    if (state.dirty.size() * 2 >= state.dirty.capacity())
        state.dirty.reserve(std::max<size_t>(64, state.dirty.capacity() * 2));
}

void contact_index_entryChanged(object_t *entry) {
    if (!state.running || state.lost)
        return;
    try {
        roomForDirty();
        uint32_t slot = state.slots.add(entry);
        if (!state.slots.dirty(slot))
            state.dirty.push_back(slot);
        state.slots.setDirty(slot, true);
    } catch (const std::bad_alloc &) {
        state.lost = true;
    }
}

void contact_index_uniqueIDChanging(object_t *entry) {
    uint32_t slot = slotOf(entry);
    if (slot != kNoSlot) {
        removeFromOrders(slot);
        contact_index_entryChanged(entry);
    }
}

void contact_index_entryDeleted(object_t *entry) {
    uint32_t slot = slotOf(entry);
    if (slot == kNoSlot)
        return;
    removeFromOrders(slot);
    for (auto &words : state.words)
        remove(*words, slot);
    if (state.digits != nullptr)
        remove(*state.digits, slot);
    try {
        state.slots.remove(slot);
    } catch (const std::bad_alloc &) {
        state.lost = true;
    }
}

bool sort_locale_constraint(parameter_t *parameter) {
    const char *locale = variant_da_char(parameter_getModifiedValue(parameter));
    bool known = collation_forLocale(locale) != nullptr;
    if (!known)
        kelTrace(KELTRACE_LEVEL_WARNING, "SortLocale %s is not a known locale",
                 locale != nullptr ? locale : "");
    return known;
}

void getContactsRange(object_t *phonebook, const contacts_range_request_t *request,
                      variant_map_t *answer) {
    kelTraceIn(PHONEBOOK_ZONE);
    beginAnswer(answer);
    refresh(phonebook);
    const SortByName *sortBy =
        sortByNamed(request->sortBy != nullptr ? request->sortBy : "formattedName");
    const collation_t *coll = collationFor(request->locale, answer);
    Order *order = nullptr;
    std::string key;
    if (sortBy == nullptr) {
        answerError(answer, std::string("unknown sortBy ") + request->sortBy);
    } else if (coll == nullptr) {
        /* answered */
    } else if (request->from != nullptr && !fromKey(sortBy->by, coll, request->from, &key)) {
        answerError(answer, "from must be a date-time when sorting by lastRevision");
    } else if ((order = orderFor(sortBy->by, coll)) == nullptr) {
        answerError(answer, "out of memory");
    } else {
        uint64_t offset = request->from != nullptr ? fromPosition(*order, key, request->descending)
                                                   : request->offset;
        variant_list_t contacts;
        variant_list_initialize(&contacts);
        appendRange(*order, offset, request->count, request->descending, &contacts);
        answerPage(answer, order->set.size(), offset, &contacts);
        variant_list_cleanup(&contacts);
    }
    kelTraceOut(PHONEBOOK_ZONE);
}

void searchContacts(object_t *phonebook, const char *text, uint64_t offset, uint32_t count,
                    const char *locale, variant_map_t *answer) {
    kelTraceIn(PHONEBOOK_ZONE);
    beginAnswer(answer);
    refresh(phonebook);
    const collation_t *coll = collationFor(locale, answer);
    if (coll == nullptr) {
        kelTraceOut(PHONEBOOK_ZONE);
        return;
    }
    try {
        const char *searched = text != nullptr ? text : "";
        Matches matches;
        bool found = searchedByTerms(searched) ? findTerms(coll, searched, &matches)
                                               : findText(coll, searched, &matches);
        Order *order = orderFor(SortBy::FormattedName, coll);
        if (!found || order == nullptr)
            throw std::bad_alloc();
        variant_list_t contacts;
        variant_list_initialize(&contacts);
        appendMatches(*order, matches, offset, count, &contacts);
        answerPage(answer, matches.size(), offset, &contacts);
        variant_list_cleanup(&contacts);
    } catch (const std::bad_alloc &) {
        answerError(answer, "out of memory");
    }
    kelTraceOut(PHONEBOOK_ZONE);
}
