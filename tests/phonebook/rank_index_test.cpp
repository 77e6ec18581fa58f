// The ordered set with positions against a plain sorted vector.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <string>
#include <vector>

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

struct ByKey {
    bool operator()(Handle a, Handle b) const {
        int order = a.contact->key.compare(b.contact->key);
        return order != 0 ? order < 0 : a.contact->id < b.contact->id;
    }
    bool operator()(Handle a, const std::string &probe) const { return a.contact->key < probe; }
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

template <typename Index> class Harness {
  public:
    Harness(unsigned seed, int contacts) : random_(seed) {
        for (int i = 0; i < contacts; ++i)
            pool_.push_back({randomKey(), static_cast<unsigned>(i)});
    }
    Contact &contact(int i) { return pool_[static_cast<size_t>(i)]; }
    int poolSize() const { return static_cast<int>(pool_.size()); }
    Index &index() { return index_; }
    int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }
    std::string randomKey() {
        std::string key;
        for (int n = below(5); n > 0; --n)
            key += "abcde"[below(5)];
        return key;
    }
    void rekey(Contact &c) { c.key = randomKey(); }

    void insert(Contact &c) {
        ASSERT_FALSE(c.present);
        ASSERT_TRUE(index_.insert({&c}));
        c.present = true;
        reference_.insert(lowerBound(c), {&c});
    }
    void erase(Contact &c) {
        ASSERT_TRUE(c.present);
        ASSERT_TRUE(index_.erase({&c}));
        c.present = false;
        reference_.erase(lowerBound(c));
    }

    void check() {
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
        return std::lower_bound(reference_.begin(), reference_.end(), Handle{&c}, ByKey());
    }

    std::mt19937 random_;
    std::deque<Contact> pool_;
    Index index_;
    std::vector<Handle> reference_;
};

TEST(RankIndex, MatchesSortedVectorWithNodesOfFour) {
    ScarceMemory::budget = -1;
    for (unsigned seed = 1; seed <= 6 && !HasFatalFailure(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Harness<TinyIndex>(seed, 1200).run(6000, 700);
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
