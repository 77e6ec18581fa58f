// The ordered set with positions, and the delta-coded lists of slots, against plain vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "entry_slots.hpp"
#include "rank_index.hpp"

namespace {

// The key changes only while the contact is out of the index; the id breaks ties.
struct Contact {
    std::string key;
    unsigned id;
    bool present = false;
};
struct Handle {
    const Contact *contact;
};

long comparisons = 0;

struct ByKey {
    bool operator()(Handle a, Handle b) const {
        ++comparisons;
        int order = a.contact->key.compare(b.contact->key);
        return order != 0 ? order < 0 : a.contact->id < b.contact->id;
    }
    bool operator()(Handle a, const std::string &probe) const {
        ++comparisons;
        return a.contact->key < probe;
    }
};

// Memory that runs out after `budget` more nodes (never when negative).
struct ScarceMemory {
    static inline int budget = -1;
    static void *allocate(std::size_t bytes) noexcept {
        if (budget == 0)
            return nullptr;
        budget -= budget > 0;
        return RankIndexHeap::allocate(bytes);
    }
    static void release(void *block) noexcept { RankIndexHeap::release(block); }
};

using TinyIndex = RankIndex<Handle, ByKey, 4, 4, ScarceMemory>;
using RealIndex = RankIndex<Handle, ByKey>;

template <typename Index> class Harness {
  public:
    Harness(unsigned seed, int contacts) : random_(seed) {
        for (int i = 0; i < contacts; ++i)
            pool_.push_back({randomKey(), static_cast<unsigned>(i)});
    }
    Contact &contact(int i) { return pool_[static_cast<size_t>(i)]; }
    int poolSize() const { return static_cast<int>(pool_.size()); }
    Index &index() { return index_; }
    const std::vector<Handle> &reference() const { return reference_; }
    int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }
    std::string randomKey() {
        std::string key;
        for (int n = below(5); n > 0; --n)
            key += "abcde"[below(5)];
        return key;
    }
    void rekey(Contact &c) { c.key = randomKey(); }

    // With `batch`, the reference is sorted at the next check instead.
    void insert(Contact &c, bool batch = false) {
        ASSERT_FALSE(c.present);
        ASSERT_TRUE(index_.insert({&c}));
        c.present = true;
        sorted_ = sorted_ && !batch;
        reference_.insert(batch ? reference_.end() : lowerBound(c), {&c});
    }
    void erase(Contact &c) {
        ASSERT_TRUE(c.present);
        ASSERT_TRUE(index_.erase({&c}));
        c.present = false;
        reference_.erase(lowerBound(c));
    }

    void check() {
        sort();
        size_t n = reference_.size();
        ASSERT_EQ(index_.size(), n);
        for (int probe = 0; probe < 3; ++probe) {
            std::string text = randomKey();
            ASSERT_EQ(index_.lowerBound(text),
                      static_cast<size_t>(
                          std::lower_bound(reference_.begin(), reference_.end(), text, ByKey()) -
                          reference_.begin()))
                << "probe '" << text << "'";
            Contact &c = contact(below(poolSize()));
            ASSERT_EQ(index_.rank({&c}),
                      c.present ? std::optional<size_t>(lowerBound(c) - reference_.begin())
                                : std::nullopt);
            ASSERT_FALSE(c.present ? index_.insert({&c}) : index_.erase({&c}));
        }
        ASSERT_EQ(index_.size(), n);
        ASSERT_EQ(index_.at(n), nullptr);
        if (n == 0)
            return;
        size_t k = static_cast<size_t>(below(static_cast<int>(n)));
        ASSERT_EQ(index_.at(k)->contact, reference_[k].contact) << "at " << k;
        checkRange(k, static_cast<size_t>(below(80)));
        checkRange(n - 1, 3);
    }
    void checkAll() {
        sort();
        ASSERT_EQ(index_.size(), reference_.size());
        checkRange(0, reference_.size() + 1);
        for (size_t k = 0; k < reference_.size(); ++k)
            ASSERT_EQ(index_.rank(reference_[k]), k);
        for (const Contact &c : pool_)
            ASSERT_EQ(index_.rank({&c}).has_value(), c.present);
    }
    void checkRange(size_t k, size_t count) {
        std::vector<const Contact *> listed, expected;
        size_t visited =
            index_.forRange(k, count, [&](const Handle &h) { listed.push_back(h.contact); });
        for (size_t i = k; i < reference_.size() && i < k + count; ++i)
            expected.push_back(reference_[i].contact);
        ASSERT_EQ(visited, expected.size());
        ASSERT_EQ(listed, expected) << "range " << k << " + " << count;
        int wanted = 2;
        ASSERT_EQ(index_.forRange(k, count, [&](const Handle &) { return --wanted > 0; }),
                  std::min<size_t>(2, expected.size()));
    }

    // Random changes up to `target` elements, each checked, then every element taken out.
    void run(int steps, int target) {
        for (int step = 0; step < steps; ++step) {
            Contact &c = contact(below(poolSize()));
            if (c.present && (static_cast<int>(index_.size()) >= target || below(3) == 0)) {
                ASSERT_NO_FATAL_FAILURE(erase(c));
                if (below(2) == 0)
                    rekey(c);
            } else if (!c.present) {
                ASSERT_NO_FATAL_FAILURE(insert(c));
            }
            ASSERT_NO_FATAL_FAILURE(check());
        }
        ASSERT_NO_FATAL_FAILURE(checkAll());
        while (!reference_.empty()) {
            size_t k = static_cast<size_t>(below(static_cast<int>(reference_.size())));
            ASSERT_NO_FATAL_FAILURE(erase(*const_cast<Contact *>(reference_[k].contact)));
            ASSERT_NO_FATAL_FAILURE(check());
        }
        ASSERT_EQ(index_.bytes(), 0u);
    }

  private:
    std::vector<Handle>::iterator lowerBound(const Contact &c) {
        sort();
        return std::lower_bound(reference_.begin(), reference_.end(), Handle{&c}, ByKey());
    }
    void sort() {
        if (!sorted_)
            std::sort(reference_.begin(), reference_.end(), ByKey());
        sorted_ = true;
    }

    std::mt19937 random_;
    std::deque<Contact> pool_;
    Index index_;
    std::vector<Handle> reference_;
    bool sorted_ = true;
};

TEST(RankIndex, MatchesSortedVectorWithNodesOfFour) {
    ScarceMemory::budget = -1;
    for (unsigned seed = 1; seed <= 6 && !HasFatalFailure(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Harness<TinyIndex>(seed, 1200).run(6000, 700);
    }
}

// Filled in order, in reverse and at random. Within 1.5 times the elements' size (6 bytes per
// pointer on the gateway); the comparisons of a query bounded by the depth of a tree.
TEST(RankIndex, MatchesSortedVectorAtOneHundredThousand) {
    const int size = 100000;
    const long bound = 2 * static_cast<long>(std::log2(size)) + 8;
    for (int order = 0; order < 3; ++order) {
        SCOPED_TRACE("order " + std::to_string(order));
        Harness<RealIndex> harness(7, size + 2000);
        for (int i = 0; i < size; ++i) {
            if (order < 2) // of one width: ordered as the numbers
                harness.contact(i).key = std::to_string(10000000 + (order == 0 ? i : size - i));
            ASSERT_NO_FATAL_FAILURE(harness.insert(harness.contact(i), true));
        }
        EXPECT_LE(static_cast<double>(harness.index().bytes()) / size, 1.5 * sizeof(Handle));
        ASSERT_NO_FATAL_FAILURE(harness.checkAll());
        for (int step = 0; step < (order == 2 ? 4000 : 300); ++step) {
            Contact &c = harness.contact(harness.below(harness.poolSize()));
            if (c.present) {
                ASSERT_NO_FATAL_FAILURE(harness.erase(c));
                harness.rekey(c);
            } else {
                ASSERT_NO_FATAL_FAILURE(harness.insert(c));
            }
            ASSERT_NO_FATAL_FAILURE(harness.check());
            comparisons = 0;
            (void)harness.index().lowerBound(harness.randomKey());
            (void)harness.index().rank(harness.reference()[harness.reference().size() / 3]);
            ASSERT_LE(comparisons, 2 * bound);
        }
        ASSERT_NO_FATAL_FAILURE(harness.checkAll());
    }
}

// Out of memory anywhere in a split: the set as it was, nothing leaked.
TEST(RankIndex, InsertWithoutMemoryChangesNothing) {
    Harness<TinyIndex> harness(5, 3000);
    int failures = 0;
    for (int i = 0; i < 2000; ++i) {
        Contact &c = harness.contact(i);
        ScarceMemory::budget = harness.below(4);
        bool inserted = harness.index().insert({&c});
        ScarceMemory::budget = -1;
        if (inserted) {
            ASSERT_TRUE(harness.index().erase({&c}));
        } else {
            ++failures;
            ASSERT_NO_FATAL_FAILURE(harness.check());
        }
        ASSERT_NO_FATAL_FAILURE(harness.insert(c));
        if (i % 100 == 0) {
            ASSERT_NO_FATAL_FAILURE(harness.checkAll());
        }
    }
    ASSERT_NO_FATAL_FAILURE(harness.checkAll());
    EXPECT_GT(failures, 100);
}

} // namespace

// Slots that climb by small and large steps, go back, and reach both ends of the range.
TEST(SlotList, ListsTheSlotsAddedInTheirOrder) {
    std::mt19937 random(3);
    for (int list = 0; list < 20; ++list) {
        SlotList slots;
        std::vector<uint32_t> reference;
        uint32_t slot = 0;
        for (int i = 0; i < 3000; ++i) {
            uint32_t step = static_cast<uint32_t>(uint64_t{random()} >> (random() % 33));
            slot = random() % 4 == 0 ? slot - step : slot + step;
            slots.add(slot);
            reference.push_back(slot);
        }
        std::vector<uint32_t> listed;
        slots.forEach([&](uint32_t s) { listed.push_back(s); });
        ASSERT_EQ(listed, reference) << "list " << list;
        ASSERT_EQ(slots.size(), reference.size());
    }
}
