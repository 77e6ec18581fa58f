#include "number_index.h"

#include <stdint.h>
#include <string.h>

#include <functional>
#include <new>
#include <string_view>
#include <vector>

#include "phonebook_zeb.h"

namespace {

/* Numbers filed by hash in an open-addressing table (linear probing, at most
 * three quarters full): per cell the instance and 16 bits of its hash, which
 * spare most probes a visit of the instance; where a cell belongs is read
 * from the hash the instance keeps. Equal hashes take a cell each. */
struct NumberIndex {
    std::vector<object_t *> cells; /* null: empty */
    std::vector<uint16_t> marks;
    size_t used = 0;
    int shift = 32;           /* 32 - log2 of the number of cells */
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

uint32_t tagOf(size_t hash) {
    uint64_t wide = hash;
    return static_cast<uint32_t>(wide ^ (wide >> 32));
}

/* The bits of a tag kept in its cell: others than those that chose the
 * cell, mostly. */
uint16_t markOf(uint32_t tag) {
    return static_cast<uint16_t>(tag >> 16);
}

/* The high bits of the product: the low bits of a hash hold its flags. */
size_t home(uint32_t tag) {
    return static_cast<size_t>(static_cast<uint32_t>(tag * 0x9E3779B1u) >> numbers.shift);
}

size_t next(size_t at) {
    return (at + 1) & (numbers.cells.size() - 1);
}

size_t filedHash(const object_t *number) {
    return reinterpret_cast<uintptr_t>(object_getUserData(number));
}

/* Where the filed instance of the cell at `at` belongs. */
size_t homeOfCell(size_t at) {
    return home(tagOf(filedHash(numbers.cells[at])));
}

const char *storedNumber(const object_t *number) {
    return variant_da_char(object_parameterValue(number, "Number"));
}

void forget() {
    std::vector<object_t *>().swap(numbers.cells);
    std::vector<uint16_t>().swap(numbers.marks);
    numbers.used = 0;
    numbers.shift = 32;
    numbers.filed[0] = numbers.filed[1] = 0;
    numbers.complete = false;
}

void place(object_t *number, uint32_t tag) {
    size_t at = home(tag);
    while (numbers.cells[at] != nullptr)
        at = next(at);
    numbers.cells[at] = number;
    numbers.marks[at] = markOf(tag);
}

void grow() {
    size_t size = numbers.cells.empty() ? 16 : numbers.cells.size() * 2;
    std::vector<object_t *> cells(size, nullptr);
    std::vector<uint16_t> marks(size, 0);
    cells.swap(numbers.cells);
    marks.swap(numbers.marks);
    numbers.shift = cells.empty() ? 28 : numbers.shift - 1;
    for (object_t *number : cells)
        if (number != nullptr)
            place(number, tagOf(filedHash(number)));
}

void file(object_t *number) {
    const char *stored = storedNumber(number);
    if (stored == nullptr || stored[0] == '\0' || stored[1] == '\0')
        return;
    bool international = false;
    const char *text = nullptr;
    number_notation(stored, &international, &text);
    size_t hash = hashOf(international, text);
    if ((numbers.used + 1) * 4 > numbers.cells.size() * 3)
        grow();
    place(number, tagOf(hash));
    numbers.used++;
    numbers.filed[international]++;
    object_setUserData(number, reinterpret_cast<void *>(static_cast<uintptr_t>(hash)));
}

/* Empties the cell; later cells of its run move up to where a probe from
 * their home still finds them. */
void vacate(size_t at) {
    size_t mask = numbers.cells.size() - 1;
    for (size_t later = next(at); numbers.cells[later] != nullptr; later = next(later)) {
        size_t want = homeOfCell(later);
        if (((later - want) & mask) >= ((later - at) & mask)) {
            numbers.cells[at] = numbers.cells[later];
            numbers.marks[at] = numbers.marks[later];
            at = later;
        }
    }
    numbers.cells[at] = nullptr;
    numbers.used--;
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
    if (numbers.cells.empty())
        return true;
    uint32_t tag = tagOf(hashOf(international, candidate));
    for (size_t at = home(tag); numbers.cells[at] != nullptr; at = next(at)) {
        object_t *number = numbers.cells[at];
        if (numbers.marks[at] != markOf(tag))
            continue;
        object_t *entry = object_parent(object_parent(number));
        if ((lookup->entry == nullptr || object_index(entry) < object_index(lookup->entry)) &&
            holds(number, international, candidate))
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
    if (numbers.cells.empty())
        return;
    for (size_t at = home(tagOf(hash)); numbers.cells[at] != nullptr; at = next(at)) {
        if (numbers.cells[at] == number) {
            vacate(at);
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
