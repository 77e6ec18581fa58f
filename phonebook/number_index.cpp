#include "number_index.h"

#include <stdint.h>
#include <string.h>

#include <functional>
#include <new>
#include <string_view>
#include <unordered_map>

#include "phonebook_zeb.h"

namespace {

struct NumberIndex {
    std::unordered_multimap<size_t, object_t *> byHash;
    size_t filed[2] = {0, 0}; /* national, international */
    /* False until the first lookup files every number, and again after the
     * plug-in stops or memory ran out. */
    bool complete = false;
};

NumberIndex numbers;

/* Never 0, which stands for an instance not filed; bit 1 is the notation. */
size_t hashOf(bool international, std::string_view text) {
    return std::hash<std::string_view>()(text) << 2 | (international ? 2u : 0u) | 1u;
}

bool internationalOf(size_t hash) {
    return (hash & 2u) != 0;
}

size_t filedHash(const object_t *number) {
    return reinterpret_cast<uintptr_t>(object_getUserData(number));
}

const char *storedNumber(const object_t *number) {
    return variant_da_char(object_parameterValue(number, "Number"));
}

void forget() {
    numbers.byHash.clear();
    numbers.filed[0] = numbers.filed[1] = 0;
    numbers.complete = false;
}

void file(object_t *number) {
    const char *stored = storedNumber(number);
    if (stored == nullptr || stored[0] == '\0' || stored[1] == '\0')
        return;
    bool international = false;
    const char *text = nullptr;
    number_notation(stored, &international, &text);
    size_t hash = hashOf(international, text);
    numbers.byHash.emplace(hash, number);
    numbers.filed[international]++;
    object_setUserData(number, reinterpret_cast<void *>(static_cast<uintptr_t>(hash)));
}

/* What a lookup gathers: the first entry, in instance order, holding one of
 * the candidate notations. */
struct Lookup {
    object_t *entry = nullptr;
};

bool holds(const object_t *number, bool international, std::string_view text) {
    bool storedInternational = false;
    const char *storedText = nullptr;
    number_notation(storedNumber(number), &storedInternational, &storedText);
    return storedInternational == international && text == storedText;
}

bool visitCandidate(bool international, const char *text, size_t length, void *userData) {
    Lookup *lookup = static_cast<Lookup *>(userData);
    std::string_view candidate(text, length);
    auto range = numbers.byHash.equal_range(hashOf(international, candidate));
    for (auto it = range.first; it != range.second; ++it) {
        object_t *entry = object_parent(object_parent(it->second));
        if ((lookup->entry == nullptr || object_index(entry) < object_index(lookup->entry)) &&
            holds(it->second, international, candidate))
            lookup->entry = entry;
    }
    return true;
}

} // namespace

void number_index_remove(object_t *number) {
    size_t hash = filedHash(number);
    if (hash == 0)
        return;
    object_setUserData(number, nullptr);
    auto range = numbers.byHash.equal_range(hash);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == number) {
            numbers.byHash.erase(it);
            numbers.filed[internationalOf(hash)]--;
            return;
        }
    }
}

void number_index_update(object_t *number) {
    number_index_remove(number);
    if (!numbers.complete)
        return;
    try {
        file(number);
    } catch (const std::bad_alloc &) {
        forget();
    }
}

void number_index_clear(void) {
    forget();
}

void number_index_rebuild(object_t *phonebook) {
    forget();
    numbers.complete = true;
    object_t *entries = object_getObject(phonebook, "Entry", 0, nullptr);
    try {
        for (object_t *entry = object_firstInstance(entries); entry != nullptr;
             entry = object_nextInstance(entry)) {
            object_t *list = object_getObject(entry, "TelephoneNumber", 0, nullptr);
            for (object_t *number = object_firstInstance(list); number != nullptr;
                 number = object_nextInstance(number)) {
                object_setUserData(number, nullptr);
                file(number);
            }
        }
    } catch (const std::bad_alloc &) {
        forget();
    }
}

object_t *number_index_findEntry(object_t *phonebook, const char *number) {
    if (!numbers.complete)
        number_index_rebuild(phonebook);
    if (!numbers.complete)
        return number_findEntryByWalk(phonebook, number);
    bool international = false;
    const char *text = nullptr;
    number_notation(number, &international, &text);
    Lookup lookup;
    number_forEachCandidate(number, numbers.filed[!international] > 0, visitCandidate, &lookup);
    return lookup.entry;
}
