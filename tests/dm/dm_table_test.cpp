// The data model's open-addressing tables against the standard containers
// they replace, through thousands of random operations.
#include <algorithm>
#include <deque>
#include <random>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "zeb_dm_table.h"

namespace {

struct Item {
    uint32_t key;
};
struct KeyOfItem {
    uint32_t operator()(const Item *item) const { return item->key; }
};

using Items = std::vector<Item *>;

Items sorted(Items items) {
    std::sort(items.begin(), items.end());
    return items;
}

// One stretch of operations: keys (or hashes) drawn below `keys`, and how
// often each operation is drawn.
struct Phase {
    const char *name;
    int operations;
    uint32_t keys;
    int insert, erase, find;
};

const Phase kPhases[] = {
    {"growth from empty", 3000, 1u << 30, 8, 1, 1},
    {"churn in long probe chains", 4000, 600, 4, 4, 2},
    {"many equal hashes", 3000, 5, 4, 3, 3},
    {"drained", 4000, 600, 1, 6, 1},
    {"regrown over spread keys", 3000, 4000, 6, 2, 2},
};

TEST(OpenTables, AgreeWithTheStandardContainers) {
    std::mt19937 random(29);
    std::deque<Item> pool; // never moves its items
    Item stranger{0};      // in neither table
    zeb_dm::KeyedTable<Item, KeyOfItem> keyed;
    std::unordered_map<uint32_t, Item *> keyedRef;
    zeb_dm::HashedTable<Item> hashed;
    std::unordered_multimap<uint32_t, Item *> hashedRef;

    auto refHolds = [&](uint32_t hash, Item *item) {
        auto range = hashedRef.equal_range(hash);
        return std::any_of(range.first, range.second, [&](auto &e) { return e.second == item; });
    };
    auto agreeOn = [&](uint32_t key) {
        auto it = keyedRef.find(key);
        ASSERT_EQ(keyed.find(key), it == keyedRef.end() ? nullptr : it->second) << "key " << key;
        Items found, expected;
        hashed.forEach(key, [&](Item *item) { found.push_back(item); });
        auto range = hashedRef.equal_range(key);
        for (auto e = range.first; e != range.second; ++e)
            expected.push_back(e->second);
        ASSERT_EQ(sorted(found), sorted(expected)) << "hash " << key;
    };

    for (const Phase &phase : kPhases) {
        SCOPED_TRACE(phase.name);
        auto draw = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
        // An item of the pool under a drawn key: a new one, or one already
        // held under it, so that puts replace and pairs repeat.
        auto anyItem = [&](uint32_t key) {
            auto held = keyedRef.find(key);
            if (held != keyedRef.end() && draw(2) == 0)
                return held->second;
            pool.push_back(Item{key});
            return &pool.back();
        };
        std::vector<uint32_t> used; // keys drawn in this phase, to erase and find again
        for (int step = 0; step < phase.operations; ++step) {
            uint32_t key =
                used.empty() || draw(3) == 0 ? draw(phase.keys) : used[draw(used.size())];
            used.push_back(key);
            uint32_t op = draw(phase.insert + phase.erase + phase.find);
            if (op < uint32_t(phase.insert)) {
                Item *item = anyItem(key);
                keyed.put(item);
                keyedRef[key] = item;
                if (!refHolds(key, item)) {
                    hashed.insert(key, item);
                    hashedRef.emplace(key, item);
                }
            } else if (op < uint32_t(phase.insert + phase.erase)) {
                ASSERT_EQ(keyed.erase(key), keyedRef.erase(key) == 1);
                auto range = hashedRef.equal_range(key);
                bool held = range.first != range.second;
                Item *victim = held ? range.first->second : &stranger;
                if (held)
                    hashedRef.erase(range.first);
                ASSERT_EQ(hashed.erase(key, victim), held);
                ASSERT_EQ(hashed.contains(key, victim), refHolds(key, victim));
            } else {
                ASSERT_NO_FATAL_FAILURE(agreeOn(key));
            }
            ASSERT_EQ(keyed.size(), keyedRef.size());
            ASSERT_EQ(hashed.size(), hashedRef.size());
        }
        for (uint32_t key : used)
            ASSERT_NO_FATAL_FAILURE(agreeOn(key));
    }
}

} // namespace
