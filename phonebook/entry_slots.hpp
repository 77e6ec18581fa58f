/*
 * Compact storage for the contact indexes (contact_index.cpp).
 *
 * EntrySlots numbers the entries the indexes know with small slot numbers,
 * reused after a deletion, so that an index keeps per entry a 4-byte value in
 * a vector by slot instead of a node of a hash map. It finds the slot of an
 * instance index through an open-addressing table of slot numbers (4 bytes a
 * cell, at most three quarters full), since instance indexes only grow over
 * the life of the data model and may be sparse. The table reads each
 * entry's index from the entry: an entry leaves (remove) before it is
 * destroyed.
 *
 * KeyArena keeps byte strings (keys) one after the other in one block, each
 * preceded by its length (LEB128), addressed by their offset. A string
 * released becomes garbage; the owner compacts the arena when garbage is
 * most of it, rewriting the offsets it holds.
 *
 * WordArena keeps per entry a record of its words, one after the other in one
 * block: each word (bytes other than 0, followed by a 0) preceded by its
 * distance to the end of the record (LEB128, not 0), then a 0 where a
 * distance would be, then the entry's slot (LEB128). The offset of a word,
 * 4 bytes, leads to the word and, through the distance just before it, to
 * its entry without reading the words after it: the byte before a distance
 * (a word's 0, the end of the record before, or none) never has the high bit
 * set, so the distance reads back from the word. A record released becomes
 * garbage; compacting keeps the records in their order, so that offsets
 * keep theirs.
 *
 * SlotList keeps a list of slots, in the order added, each as its distance
 * from the one before when it is larger, else as a 0 and the slot: slots are
 * mostly added in increasing order and a list is shared by many entries, so
 * that most take one byte instead of four.
 *
 * All throw std::bad_alloc when memory runs out, and are then unchanged,
 * except KeyArena::compact, after which the offsets are lost (the owner is
 * dropped).
 */
#ifndef PHONEBOOK_ENTRY_SLOTS_HPP
#define PHONEBOOK_ENTRY_SLOTS_HPP

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zeb/dm.h"

constexpr uint32_t kNoSlot = UINT32_MAX;

/* Numbers of up to 32 bits in 7-bit groups, the low group first, the high
 * bit of a byte set when another follows (LEB128): at most kLebMax bytes. */
constexpr size_t kLebMax = 5;
inline size_t lebPut(uint32_t value, char *out) noexcept {
    size_t n = 0;
    for (; n == 0 || value != 0; value >>= 7)
        out[n++] = static_cast<char>((value & 0x7f) | (value >= 0x80 ? 0x80 : 0));
    return n;
}
/* Reads a number at `p`, leaving `p` past it. */
inline uint32_t lebGet(const char *&p) noexcept {
    uint32_t value = 0;
    for (int shift = 0;; shift += 7) {
        value |= static_cast<uint32_t>(static_cast<unsigned char>(*p) & 0x7f) << shift;
        if ((static_cast<unsigned char>(*p++) & 0x80) == 0)
            return value;
    }
}

class EntrySlots {
  public:
    uint32_t find(uint32_t index) const noexcept {
        if (table_.empty())
            return kNoSlot;
        for (size_t at = home(index);; at = next(at)) {
            uint32_t cell = table_[at];
            if (cell == 0)
                return kNoSlot;
            if (object_index(entries_[cell - 1]) == index)
                return cell - 1;
        }
    }
    /* The slot of the entry, taken when it has none. */
    uint32_t add(object_t *entry) {
        uint32_t slot = find(object_index(entry));
        if (slot != kNoSlot) {
            entries_[slot] = entry;
            return slot;
        }
        if ((used_ + 1) * 4 > table_.size() * 3)
            grow();
        if (free_.empty()) {
            dirty_.push_back(false);
            entries_.push_back(entry);
            slot = static_cast<uint32_t>(entries_.size() - 1);
        } else {
            slot = free_.back();
            free_.pop_back();
            entries_[slot] = entry;
        }
        place(slot);
        ++used_;
        return slot;
    }
    /* Frees the slot; its entry is still there to say its index. */
    void remove(uint32_t slot) {
        free_.reserve(free_.size() + 1);
        size_t at = home(object_index(entries_[slot]));
        while (table_[at] != slot + 1)
            at = next(at);
        /* Backward shift: later cells of the run move up to where a probe
         * from their home still finds them. */
        for (size_t later = next(at); table_[later] != 0; later = next(later)) {
            size_t want = home(object_index(entries_[table_[later] - 1]));
            size_t mask = table_.size() - 1;
            if (((later - want) & mask) >= ((later - at) & mask)) {
                table_[at] = table_[later];
                at = later;
            }
        }
        table_[at] = 0;
        entries_[slot] = nullptr;
        dirty_[slot] = false;
        free_.push_back(slot);
        --used_;
    }
    /* Gives back every byte (assigning {} would keep the room). */
    void clear() noexcept {
        entries_ = std::vector<object_t *>();
        dirty_ = std::vector<bool>();
        free_ = std::vector<uint32_t>();
        table_ = std::vector<uint32_t>();
        used_ = 0;
    }
    /* The entry in the slot, null when the slot is free. */
    object_t *entry(uint32_t slot) const noexcept { return entries_[slot]; }
    uint32_t index(uint32_t slot) const noexcept { return object_index(entries_[slot]); }
    /* Whether the entry changed since the indexes were last brought up to
     * date with it. */
    bool dirty(uint32_t slot) const noexcept { return dirty_[slot]; }
    void setDirty(uint32_t slot, bool dirty) noexcept { dirty_[slot] = dirty; }
    /* One past the largest slot number in use. */
    uint32_t end() const noexcept { return static_cast<uint32_t>(entries_.size()); }

  private:
    size_t home(uint32_t index) const noexcept {
        return static_cast<size_t>((index * 0x9E3779B1u) >> 7) & (table_.size() - 1);
    }
    size_t next(size_t at) const noexcept { return (at + 1) & (table_.size() - 1); }
    void place(uint32_t slot) noexcept {
        size_t at = home(object_index(entries_[slot]));
        while (table_[at] != 0)
            at = next(at);
        table_[at] = slot + 1;
    }
    void grow() {
        entries_.reserve(entries_.size() + 1);
        dirty_.reserve(dirty_.size() + 1);
        std::vector<uint32_t> bigger(table_.empty() ? 64 : table_.size() * 2, 0);
        bigger.swap(table_);
        for (uint32_t cell : bigger)
            if (cell != 0)
                place(cell - 1);
    }

    std::vector<object_t *> entries_;
    std::vector<bool> dirty_;
    std::vector<uint32_t> free_;
    std::vector<uint32_t> table_; /* slot + 1, 0 empty */
    size_t used_ = 0;
};

class KeyArena {
  public:
    uint32_t put(std::string_view key) {
        char length[kLebMax];
        size_t n = lebPut(static_cast<uint32_t>(key.size()), length);
        uint32_t at = static_cast<uint32_t>(bytes_.size());
        bytes_.reserve(bytes_.size() + n + key.size());
        bytes_.append(length, n);
        bytes_.append(key);
        return at;
    }
    std::string_view get(uint32_t at) const noexcept {
        const char *p = bytes_.data() + at;
        size_t length = lebGet(p);
        return {p, length};
    }
    void release(uint32_t at) noexcept {
        std::string_view key = get(at);
        garbage_ += static_cast<size_t>(key.data() + key.size() - (bytes_.data() + at));
    }
    /* Whether compacting is worth it: garbage is most of the arena. */
    bool wasteful() const noexcept { return garbage_ > 4096 && garbage_ * 2 > bytes_.size(); }
    /* Compacts, keeping the strings at the offsets given (each in use), and
     * rewrites each offset to the string's new place. */
    void compact(std::vector<uint32_t> &offsets, uint32_t none) {
        std::string kept;
        kept.reserve(bytes_.size() - garbage_);
        KeyArena fresh;
        fresh.bytes_.swap(kept);
        for (uint32_t &at : offsets)
            if (at != none)
                at = fresh.put(get(at));
        bytes_.swap(fresh.bytes_);
        bytes_.shrink_to_fit();
        garbage_ = 0;
    }
    /* Gives back the room reserved for growth. */
    void shrink() { bytes_.shrink_to_fit(); }
    void clear() noexcept {
        bytes_ = std::string();
        garbage_ = 0;
    }

  private:
    std::string bytes_;
    size_t garbage_ = 0;
};

class WordArena {
  public:
    /* A record of `words` (each followed by a 0, none empty); its offset. */
    uint32_t put(std::string_view words, uint32_t slot) {
        std::vector<std::string_view> each;
        for (size_t from = 0; from < words.size();) {
            size_t end = words.find('\0', from);
            each.push_back(words.substr(from, end - from + 1));
            from = end + 1;
        }
        /* From a word to the slot: the word, the words after it with their
         * distances, and the 0 that ends them. */
        std::vector<uint32_t> distances(each.size());
        char code[kLebMax];
        uint32_t rest = 1;
        for (size_t i = each.size(); i-- > 0;) {
            distances[i] = static_cast<uint32_t>(each[i].size()) + rest;
            rest = static_cast<uint32_t>(lebPut(distances[i], code)) + distances[i];
        }
        uint32_t at = static_cast<uint32_t>(bytes_.size());
        bytes_.reserve(bytes_.size() + rest + kLebMax);
        for (size_t i = 0; i < each.size(); ++i) {
            bytes_.append(code, lebPut(distances[i], code));
            bytes_.append(each[i]);
        }
        bytes_ += '\0';
        bytes_.append(code, lebPut(slot, code));
        return at;
    }
    /* Calls visit(at, word) for each word of the record at `record`, in
     * order, `at` being the word's offset. */
    template <typename Visit> void forEachWord(uint32_t record, Visit visit) const {
        const char *p = bytes_.data() + record;
        while (lebGet(p) != 0) {
            std::string_view word(p);
            visit(static_cast<uint32_t>(p - bytes_.data()), word);
            p += word.size() + 1;
        }
    }
    /* Whether the record at `record` holds `words` (as put takes them). */
    bool holds(uint32_t record, std::string_view words) const noexcept {
        size_t from = 0;
        bool same = true;
        forEachWord(record, [&](uint32_t, std::string_view word) {
            same = same && words.compare(from, word.size() + 1, word.data(), word.size() + 1) == 0;
            from += word.size() + 1;
        });
        return same && from == words.size();
    }
    const char *word(uint32_t at) const noexcept { return bytes_.data() + at; }
    /* The slot of the record holding the word at `at`. */
    uint32_t slotOf(uint32_t at) const noexcept {
        const char *distance = bytes_.data() + at - 1;
        while (distance != bytes_.data() && (distance[-1] & 0x80) != 0)
            --distance;
        const char *p = bytes_.data() + at + lebGet(distance);
        return lebGet(p);
    }
    void release(uint32_t record) noexcept { garbage_ += recordEnd(record) - record; }
    /* Whether compacting is worth it: garbage is most of the arena. */
    bool wasteful() const noexcept { return garbage_ > 4096 && garbage_ * 2 > bytes_.size(); }
    /* Compacts, keeping the records that `records` (by slot) points to, and
     * rewrites those offsets; then calls moved(to), where to(at) is the new
     * offset of a word at `at` in a record kept. */
    template <typename Moved> void compact(std::vector<uint32_t> &records, Moved moved) {
        std::string kept;
        kept.reserve(bytes_.size() - garbage_);
        std::vector<std::pair<uint32_t, uint32_t>> starts; /* old, new */
        for (size_t at = 0; at < bytes_.size(); at = recordEnd(static_cast<uint32_t>(at))) {
            uint32_t slot = recordSlot(static_cast<uint32_t>(at));
            if (slot < records.size() && records[slot] == at) {
                starts.emplace_back(static_cast<uint32_t>(at), static_cast<uint32_t>(kept.size()));
                kept.append(bytes_, at, recordEnd(static_cast<uint32_t>(at)) - at);
            }
        }
        for (const auto &[from, to] : starts)
            records[recordSlot(from)] = to;
        moved([&](uint32_t at) {
            auto record =
                std::upper_bound(starts.begin(), starts.end(), std::make_pair(at, UINT32_MAX)) - 1;
            return record->second + (at - record->first);
        });
        bytes_.swap(kept);
        garbage_ = 0;
    }
    /* Gives back the room reserved for growth. */
    void shrink() { bytes_.shrink_to_fit(); }

  private:
    /* The slot of the record at `record`, at the end after its words. */
    const char *slotField(uint32_t record) const noexcept {
        const char *p = bytes_.data() + record;
        while (lebGet(p) != 0)
            p += strlen(p) + 1;
        return p;
    }
    uint32_t recordSlot(uint32_t record) const noexcept {
        const char *p = slotField(record);
        return lebGet(p);
    }
    size_t recordEnd(uint32_t record) const noexcept {
        const char *p = slotField(record);
        lebGet(p);
        return static_cast<size_t>(p - bytes_.data());
    }

    std::string bytes_;
    size_t garbage_ = 0;
};

class SlotList {
  public:
    void add(uint32_t slot) {
        char bytes[2 * kLebMax];
        size_t n =
            slot > last_ ? lebPut(slot - last_, bytes) : lebPut(0, bytes) + lebPut(slot, bytes + 1);
        if (bytes_.size() + n > bytes_.capacity())
            bytes_.reserve(std::max(bytes_.capacity() * 2, bytes_.size() + n));
        bytes_.insert(bytes_.end(), bytes, bytes + n);
        last_ = slot;
        ++size_;
    }
    /* Calls visit(slot) for each slot, in the order added. */
    template <typename Visit> void forEach(Visit visit) const {
        uint32_t slot = 0;
        const char *end = bytes_.data() + bytes_.size();
        for (const char *p = bytes_.data(); p != end;) {
            uint32_t step = lebGet(p);
            slot = step != 0 ? slot + step : lebGet(p);
            visit(slot);
        }
    }
    size_t size() const noexcept { return size_; }
    /* Gives back the room reserved for growth. */
    void shrink() { bytes_.shrink_to_fit(); }

  private:
    std::vector<char> bytes_;
    uint32_t last_ = 0;
    uint32_t size_ = 0;
};

#endif
