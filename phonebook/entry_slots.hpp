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
 * Both throw std::bad_alloc when memory runs out, and are then unchanged,
 * except KeyArena::compact, after which the offsets are lost (the owner is
 * dropped).
 */
#ifndef PHONEBOOK_ENTRY_SLOTS_HPP
#define PHONEBOOK_ENTRY_SLOTS_HPP

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "zeb/dm.h"

constexpr uint32_t kNoSlot = UINT32_MAX;

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
        char length[5];
        size_t n = 0;
        for (size_t rest = key.size(); n == 0 || rest != 0; rest >>= 7)
            length[n++] = static_cast<char>((rest & 0x7f) | (rest >= 0x80 ? 0x80 : 0));
        uint32_t at = static_cast<uint32_t>(bytes_.size());
        bytes_.reserve(bytes_.size() + n + key.size());
        bytes_.append(length, n);
        bytes_.append(key);
        return at;
    }
    std::string_view get(uint32_t at) const noexcept {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes_.data()) + at;
        size_t length = 0;
        for (int shift = 0;; shift += 7) {
            length |= static_cast<size_t>(*p & 0x7f) << shift;
            if ((*p++ & 0x80) == 0)
                break;
        }
        return {reinterpret_cast<const char *>(p), length};
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

#endif
