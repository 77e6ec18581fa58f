#include "contact_index.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "collation.h"
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

/* An entry's key in one order, in one block with it: the sort key, 0, the
 * UniqueID, 0, the instance index (big-endian), so that comparing the bytes
 * is the order. */
struct Keyed {
    object_t *entry;
    uint32_t index;
    uint32_t length;
    const char *bytes() const noexcept { return reinterpret_cast<const char *>(this + 1); }
    std::string_view key() const noexcept { return {bytes(), length}; }
};
struct KeyedFree {
    void operator()(Keyed *keyed) const noexcept { free(keyed); }
};
using KeyedBlock = std::unique_ptr<Keyed, KeyedFree>;

KeyedBlock makeKeyed(object_t *entry, uint32_t index, const std::string &key) {
    void *block = malloc(sizeof(Keyed) + key.size());
    if (block == nullptr)
        throw std::bad_alloc();
    Keyed *keyed = new (block) Keyed{entry, index, static_cast<uint32_t>(key.size())};
    memcpy(keyed + 1, key.data(), key.size());
    return KeyedBlock(keyed);
}

struct KeyedLess {
    bool operator()(const Keyed *a, const Keyed *b) const noexcept { return a->key() < b->key(); }
};

struct Order {
    SortBy by;
    const collation_t *coll;
    std::unordered_map<uint32_t, KeyedBlock> keyed;
    RankIndex<const Keyed *, KeyedLess> set;
};

/* One word of an entry: its primary key in the entry's words, where each
 * key follows the entry's instance index (4 bytes) and ends with a 0. */
struct WordRef {
    const char *key;
    uint32_t index() const noexcept {
        uint32_t index;
        memcpy(&index, key - sizeof index, sizeof index);
        return index;
    }
};
struct WordLess {
    bool operator()(const WordRef &a, const WordRef &b) const noexcept {
        int c = strcmp(a.key, b.key);
        return c != 0 ? c < 0 : std::less<const char *>()(a.key, b.key);
    }
};

/* Calls visit(key) for each word of an entry's words. */
template <typename Visit> void forEachWord(const std::string &words, Visit visit) {
    for (size_t at = 0; at < words.size(); at = words.find('\0', at + sizeof(uint32_t)) + 1)
        visit(words.data() + at + sizeof(uint32_t));
}

struct Words {
    const collation_t *coll;
    std::unordered_map<uint32_t, std::string> words;
    RankIndex<WordRef, WordLess> set;
};

struct State {
    bool running = false;
    const collation_t *defaultColl = nullptr;
    std::vector<std::unique_ptr<Order>> orders;
    std::vector<std::unique_ptr<Words>> words;
    /* Entries changed since the indexes were last brought up to date. */
    std::unordered_map<uint32_t, object_t *> dirty;
    /* A change could not be recorded: every index is rebuilt. */
    bool lost = false;
};

State state;

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

std::string keyOf(const Order &order, const object_t *entry, uint32_t index) {
    std::string key = sortKeyOf(order, entry);
    key += '\0';
    key += textOf(entry, "UniqueID");
    key += '\0';
    for (int shift = 24; shift >= 0; shift -= 8)
        key += static_cast<char>((index >> shift) & 0xff);
    return key;
}

/* Words end at ASCII characters other than letters and digits: blanks,
 * punctuation, the ';' of the structured name, the '@' and '.' of e-mails. */
bool separates(unsigned char c) {
    return c < 0x80 && !((c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'));
}

void addWords(const collation_t *coll, uint32_t index, const std::string &text,
              std::string *words) {
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && separates(static_cast<unsigned char>(text[i])))
            ++i;
        size_t start = i;
        while (i < text.size() && !separates(static_cast<unsigned char>(text[i])))
            ++i;
        if (i == start)
            continue;
        std::string key =
            collation_sortKeyString(coll, text.substr(start, i - start), COLLATION_PRIMARY);
        if (!key.empty()) {
            words->append(reinterpret_cast<const char *>(&index), sizeof index);
            *words += key;
            *words += '\0';
        }
    }
}

template <typename Visit>
void forEachInstance(const object_t *parent, const char *name, Visit visit) {
    object_t *templ = object_getObject(parent, name, 0, nullptr);
    for (object_t *instance = templ != nullptr ? object_firstInstance(templ) : nullptr;
         instance != nullptr; instance = object_nextInstance(instance))
        if (object_state(instance) != object_state_deleted)
            visit(instance);
}

std::string wordsOf(const collation_t *coll, const object_t *entry, uint32_t index) {
    std::string words;
    addWords(coll, index, textOf(entry, "FormattedName"), &words);
    addWords(coll, index, textOf(entry, "Name"), &words);
    addWords(coll, index, textOf(entry, "Organisation"), &words);
    forEachInstance(entry, "Email", [&](object_t *email) {
        addWords(coll, index, textOf(email, "Address"), &words);
    });
    return words;
}

/* ---- Keeping the indexes ----------------------------------------------- */

void remove(Order &order, uint32_t index) {
    auto found = order.keyed.find(index);
    if (found == order.keyed.end())
        return;
    order.set.erase(found->second.get());
    order.keyed.erase(found);
}

void remove(Words &words, uint32_t index) {
    auto found = words.words.find(index);
    if (found == words.words.end())
        return;
    forEachWord(found->second, [&](const char *key) { words.set.erase(WordRef{key}); });
    words.words.erase(found);
}

/* False when memory ran out (the index is then to be dropped). */
bool update(Order &order, object_t *entry, uint32_t index) {
    std::string key = keyOf(order, entry, index);
    auto found = order.keyed.find(index);
    if (found != order.keyed.end() && found->second->key() == key) {
        found->second->entry = entry;
        return true;
    }
    KeyedBlock fresh = makeKeyed(entry, index, key);
    if (found != order.keyed.end()) {
        order.set.erase(found->second.get());
        found->second = std::move(fresh);
    } else {
        found = order.keyed.emplace(index, std::move(fresh)).first;
    }
    return order.set.insert(found->second.get());
}

bool update(Words &words, object_t *entry, uint32_t index) {
    std::string text = wordsOf(words.coll, entry, index);
    auto found = words.words.find(index);
    if (found != words.words.end() && found->second == text)
        return true;
    remove(words, index);
    const std::string &stored = words.words.emplace(index, std::move(text)).first->second;
    bool inserted = true;
    forEachWord(stored,
                [&](const char *key) { inserted = inserted && words.set.insert(WordRef{key}); });
    return inserted;
}

void dropAll() {
    state.orders.clear();
    state.words.clear();
}

/* Brings every index up to date with the entries marked. */
void flush() {
    if (state.lost) {
        dropAll();
        state.dirty.clear();
        state.lost = false;
        return;
    }
    try {
        for (const auto &[index, entry] : state.dirty) {
            for (auto &order : state.orders)
                if (!update(*order, entry, index))
                    throw std::bad_alloc();
            for (auto &words : state.words)
                if (!update(*words, entry, index))
                    throw std::bad_alloc();
        }
    } catch (const std::bad_alloc &) {
        kelTrace(KELTRACE_LEVEL_ERROR, "Out of memory: the contact indexes are rebuilt");
        dropAll();
    }
    state.dirty.clear();
}

template <typename Index> bool fill(object_t *phonebook, Index &index) {
    bool filled = true;
    forEachInstance(phonebook, "Entry", [&](object_t *entry) {
        filled = filled && update(index, entry, object_index(entry));
    });
    return filled;
}

const collation_t *defaultCollation(object_t *phonebook) {
    const collation_t *coll =
        collation_forLocale(variant_da_char(object_parameterValue(phonebook, "SortLocale")));
    return coll != nullptr ? coll : collation_forLocale("");
}

/* Up to date, and only the default collation's indexes when it changed. */
void refresh(object_t *phonebook) {
    flush();
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

/* The index of (by, coll), built when missing; null when memory ran out. */
Order *orderFor(object_t *phonebook, SortBy by, const collation_t *coll) {
    if (by == SortBy::LastRevision)
        coll = nullptr;
    for (auto &order : state.orders)
        if (order->by == by && order->coll == coll)
            return order.get();
    try {
        auto order = std::make_unique<Order>();
        order->by = by;
        order->coll = coll;
        if (!fill(phonebook, *order))
            return nullptr;
        state.orders.push_back(std::move(order));
        return state.orders.back().get();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

Words *wordsFor(object_t *phonebook, const collation_t *coll) {
    for (auto &words : state.words)
        if (words->coll == coll)
            return words.get();
    try {
        auto words = std::make_unique<Words>();
        words->coll = coll;
        if (!fill(phonebook, *words))
            return nullptr;
        state.words.push_back(std::move(words));
        return state.words.back().get();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
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
        return order.set.partitionPoint([&](const Keyed *e) { return e->key() < key; });
    size_t upTo = order.set.partitionPoint(
        [&](const Keyed *e) { return e->key() < key || beginsWith(e->bytes(), e->length, key); });
    return order.set.size() - upTo;
}

void appendRange(const Order &order, uint64_t offset, uint32_t count, bool descending,
                 variant_list_t *contacts) {
    size_t total = order.set.size();
    if (offset >= total)
        return;
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, total - offset));
    if (!descending) {
        order.set.forRange(static_cast<size_t>(offset), n,
                           [&](const Keyed *e) { appendContact(contacts, e->entry); });
        return;
    }
    std::vector<object_t *> page;
    page.reserve(n);
    order.set.forRange(total - static_cast<size_t>(offset) - n, n,
                       [&](const Keyed *e) { page.push_back(e->entry); });
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

/* The entries found, each once, by instance index: a bitmap answers "is it
 * one" while walking an order, the list gives their positions. */
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

void addNumberMatches(const Order &order, const std::string &digits, Matches *matches) {
    for (const auto &[index, keyed] : order.keyed) {
        bool found = false;
        forEachInstance(keyed->entry, "TelephoneNumber", [&](object_t *number) {
            found = found ||
                    digitsOf(textOf(number, "Number").c_str()).find(digits) != std::string::npos;
        });
        if (found)
            matches->add(index);
    }
}

void addWordMatches(const Words &words, const std::string &prefix, Matches *matches) {
    size_t first = words.set.partitionPoint(
        [&](const WordRef &w) { return strcmp(w.key, prefix.c_str()) < 0; });
    size_t last = words.set.partitionPoint([&](const WordRef &w) {
        return strcmp(w.key, prefix.c_str()) < 0 || beginsWith(w.key, strlen(w.key), prefix);
    });
    words.set.forRange(first, last - first, [&](const WordRef &w) { matches->add(w.index()); });
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
        order.set.forRange(0, order.set.size(), [&](const Keyed *e) {
            if (matches.has(e->index) && seen++ >= offset)
                appendContact(contacts, e->entry);
            return seen < offset + count;
        });
        return;
    }
    std::vector<std::pair<size_t, object_t *>> ranked;
    ranked.reserve(matches.size());
    for (uint32_t index : matches.list) {
        const Keyed *keyed = order.keyed.at(index).get();
        ranked.emplace_back(order.set.rank(keyed).value_or(0), keyed->entry);
    }
    std::sort(ranked.begin(), ranked.end());
    size_t end = static_cast<size_t>(std::min<uint64_t>(offset + count, ranked.size()));
    for (size_t i = static_cast<size_t>(offset); i < end; ++i)
        appendContact(contacts, ranked[i].second);
}

void beginAnswer(variant_map_t *answer) {
    variant_map_cleanup(answer);
    variant_map_initialize(answer);
}

} // namespace

void contact_index_start(void) {
    dropAll();
    state.dirty.clear();
    state.defaultColl = nullptr;
    state.lost = false;
    state.running = true;
}

void contact_index_stop(void) {
    state.running = false;
    dropAll();
    state.dirty = {};
    state.defaultColl = nullptr;
}

void contact_index_prepare(object_t *phonebook) {
    if (!state.running)
        return;
    refresh(phonebook);
    orderFor(phonebook, SortBy::FormattedName, state.defaultColl);
}

void contact_index_entryChanged(object_t *entry) {
    if (!state.running)
        return;
    try {
        state.dirty[object_index(entry)] = entry;
    } catch (const std::bad_alloc &) {
        state.lost = true;
    }
}

void contact_index_entryDeleted(object_t *entry) {
    if (!state.running)
        return;
    uint32_t index = object_index(entry);
    state.dirty.erase(index);
    for (auto &order : state.orders)
        remove(*order, index);
    for (auto &words : state.words)
        remove(*words, index);
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
    } else if ((order = orderFor(phonebook, sortBy->by, coll)) == nullptr) {
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
        Order *order = orderFor(phonebook, SortBy::FormattedName, coll);
        Words *words = wordsFor(phonebook, coll);
        if (order == nullptr || words == nullptr)
            throw std::bad_alloc();
        Matches matches;
        std::string prefix =
            collation_sortKeyString(coll, text != nullptr ? text : "", COLLATION_PRIMARY);
        if (!prefix.empty())
            addWordMatches(*words, prefix, &matches);
        std::string digits = digitsOf(text != nullptr ? text : "");
        if (digits.size() >= 3)
            addNumberMatches(*order, digits, &matches);
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
