/*
 * Open-addressing tables of pointers for the data model's lookups, a cell
 * per element instead of a hash node and a bucket.
 *
 * Elements are non-null pointers the table does not own, each under a 32-bit
 * key. Cells are probed linearly from the key's home cell; a table is at most
 * three quarters full and doubles when an insertion would pass that (at least
 * 8 cells once anything was added); an erase shifts the cells after it back,
 * so that no lookup ever crosses a removed cell and no cleanup is due.
 *
 * Growth allocates and may throw std::bad_alloc; the table is then unchanged.
 * Nothing else allocates: an insertion after reserve(size() + 1) never throws.
 * The order in which elements under one key are visited is unspecified:
 * callers choose among them by their own order.
 */
#ifndef ZEB_DM_TABLE_H
#define ZEB_DM_TABLE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace zeb_dm {

/* The cells behind both tables. With `kKeptKeys` each element's key is kept
 * beside it (4 bytes a cell); without, it is read back from the element with
 * `KeyOf` (a function object: uint32_t operator()(const T *)). */
template <typename T, typename KeyOf, bool kKeptKeys> class OpenTable {
  public:
    static constexpr size_t kNone = SIZE_MAX;

    size_t size() const { return size_; }

    /* Room for `count` elements without growing. */
    void reserve(size_t count) {
        if (count * 4 <= capacity() * 3) {
            return;
        }
        unsigned bits = bits_ > 3 ? bits_ : 3;
        while (count * 4 > (size_t(1) << bits) * 3) {
            ++bits;
        }
        OpenTable larger;
        larger.allocate(bits);
        for (size_t slot = 0; slot < capacity(); ++slot) {
            if (elements_[slot]) {
                larger.place(keyAt(slot), elements_[slot]);
            }
        }
        std::swap(*this, larger);
    }

    /* Adds `element` under `key`, beside any others under it. */
    void insert(uint32_t key, T *element) {
        reserve(size_ + 1);
        place(key, element);
    }

    /* The first cell under `key` whose element `match` accepts; kNone when
     * there is none. */
    template <typename Match> size_t find(uint32_t key, Match &&match) const {
        for (size_t slot = start(key); slot != kNone && elements_[slot]; slot = after(slot)) {
            if (keyAt(slot) == key && match(elements_[slot])) {
                return slot;
            }
        }
        return kNone;
    }

    T *at(size_t slot) const { return elements_[slot]; }
    void replace(size_t slot, T *element) { elements_[slot] = element; }

    /* Empties the cell, moving back the cells that probed past it. */
    void eraseAt(size_t hole) {
        for (size_t slot = after(hole); elements_[slot]; slot = after(slot)) {
            size_t mask = capacity() - 1;
            if (((slot - home(keyAt(slot))) & mask) >= ((slot - hole) & mask)) {
                elements_[hole] = elements_[slot];
                if constexpr (kKeptKeys) {
                    keys_[hole] = keys_[slot];
                }
                hole = slot;
            }
        }
        elements_[hole] = nullptr;
        --size_;
    }

  private:
    size_t capacity() const { return elements_ ? size_t(1) << bits_ : 0; }
    /* Fibonacci hashing: keys that differ in any bit, such as consecutive
     * indexes, spread over the cells. */
    size_t home(uint32_t key) const {
        return static_cast<uint32_t>(key * UINT32_C(2654435769)) >> (32 - bits_);
    }
    size_t start(uint32_t key) const { return elements_ ? home(key) : kNone; }
    size_t after(size_t slot) const { return (slot + 1) & (capacity() - 1); }
    uint32_t keyAt(size_t slot) const {
        if constexpr (kKeptKeys) {
            return keys_[slot];
        } else {
            return KeyOf()(elements_[slot]);
        }
    }

    void allocate(unsigned bits) {
        elements_ = std::make_unique<T *[]>(size_t(1) << bits);
        if constexpr (kKeptKeys) {
            keys_ = std::make_unique<uint32_t[]>(size_t(1) << bits);
        }
        bits_ = static_cast<uint8_t>(bits);
    }
    void place(uint32_t key, T *element) {
        size_t slot = home(key);
        while (elements_[slot]) {
            slot = after(slot);
        }
        elements_[slot] = element;
        if constexpr (kKeptKeys) {
            keys_[slot] = key;
        }
        ++size_;
    }

    std::unique_ptr<T *[]> elements_;
    std::unique_ptr<uint32_t[]> keys_; /* with kKeptKeys */
    uint32_t size_ = 0;
    uint8_t bits_ = 0;
};

/* At most one element per key, the key read from the element with `KeyOf`:
 * 1 pointer a cell. */
template <typename T, typename KeyOf> class KeyedTable {
  public:
    size_t size() const { return cells_.size(); }
    void reserve(size_t count) { cells_.reserve(count); }

    T *find(uint32_t key) const {
        size_t slot = cells_.find(key, any);
        return slot == Cells::kNone ? nullptr : cells_.at(slot);
    }
    /* Adds `element`, or puts it in the place of the one with its key. */
    void put(T *element) {
        uint32_t key = KeyOf()(element);
        size_t slot = cells_.find(key, any);
        if (slot == Cells::kNone) {
            cells_.insert(key, element);
        } else {
            cells_.replace(slot, element);
        }
    }
    /* False when no element has that key. */
    bool erase(uint32_t key) {
        size_t slot = cells_.find(key, any);
        if (slot == Cells::kNone) {
            return false;
        }
        cells_.eraseAt(slot);
        return true;
    }

  private:
    using Cells = OpenTable<T, KeyOf, false>;
    static bool any(const T *) { return true; }
    Cells cells_;
};

/* Any number of elements under one 32-bit hash, an element at most once under
 * each (the caller keeps it so): a pointer and the hash a cell. */
template <typename T> class HashedTable {
  public:
    size_t size() const { return cells_.size(); }
    void reserve(size_t count) { cells_.reserve(count); }

    bool contains(uint32_t hash, const T *element) const {
        return cells_.find(hash, same(element)) != Cells::kNone;
    }
    void insert(uint32_t hash, T *element) { cells_.insert(hash, element); }
    /* False when `element` is not under `hash`. */
    bool erase(uint32_t hash, const T *element) {
        size_t slot = cells_.find(hash, same(element));
        if (slot == Cells::kNone) {
            return false;
        }
        cells_.eraseAt(slot);
        return true;
    }
    /* Calls `visit(T *)` for each element under `hash`, in no given order. */
    template <typename Visit> void forEach(uint32_t hash, Visit &&visit) const {
        cells_.find(hash, [&](T *element) {
            visit(element);
            return false;
        });
    }

  private:
    struct NoKeyOf {
        uint32_t operator()(const T *) const { return 0; }
    };
    using Cells = OpenTable<T, NoKeyOf, true>;
    static auto same(const T *element) {
        return [element](const T *other) { return other == element; };
    }
    Cells cells_;
};

} // namespace zeb_dm

#endif
