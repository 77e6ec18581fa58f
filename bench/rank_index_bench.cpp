// The ordered set with positions behind the sorted pages (rank_index.hpp)
// beside the two plain ways of answering the same questions: a std::set,
// whose positions cost a walk (std::distance, std::next), and a sorted
// std::vector, whose inserts and erases move the elements after them. At
// 100, 10 000 and 50 000 elements ordered by keys of about 16 bytes, as the
// collation keys of names are: an insert, an erase, a page of 50 from a
// random position, and the position of a random key. The set's memory per
// element is reported as bytes_per_element (malloc_usable_size plus the
// allocator's header).
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "rank_index.hpp"

namespace {

struct Contact {
    std::string key;
    unsigned id;
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
    bool operator()(const std::string &probe, Handle a) const { return probe < a.contact->key; }
    using is_transparent = void;
};

// Node memory as the allocator counts it.
struct CountedMemory {
    static inline size_t bytes = 0;
    static void *allocate(size_t size) noexcept {
        void *block = RankIndexHeap::allocate(size);
        if (block)
            bytes += malloc_usable_size(block) + sizeof(size_t);
        return block;
    }
    static void release(void *block) noexcept {
        bytes -= malloc_usable_size(block) + sizeof(size_t);
        RankIndexHeap::release(block);
    }
};

using Index = RankIndex<Handle, ByKey, (512 - 16) / sizeof(Handle), 64, CountedMemory>;

// The contacts: `size` in the structures and as many again to insert, with
// random keys of 16 letters, and probe keys.
struct Population {
    explicit Population(int size) {
        std::mt19937 random(static_cast<unsigned>(size));
        auto key = [&] {
            std::string text(16, 'a');
            for (char &c : text)
                c = static_cast<char>('a' + random() % 26);
            return text;
        };
        for (int i = 0; i < 2 * size; ++i)
            contacts.push_back({key(), static_cast<unsigned>(i)});
        for (int i = 0; i < 1024; ++i) {
            probes.push_back(key());
            offsets.push_back(static_cast<size_t>(random() % static_cast<unsigned>(size)));
        }
    }
    std::vector<Contact> contacts;
    std::vector<std::string> probes;
    std::vector<size_t> offsets;
};

// The structures filled with the first half of the population.
struct Filled {
    explicit Filled(int size) : people(size) {
        size_t before = CountedMemory::bytes;
        for (int i = 0; i < size; ++i) {
            Handle h{&people.contacts[static_cast<size_t>(i)]};
            index.insert(h);
            indexBytes = CountedMemory::bytes - before;
            set.insert(h);
            vector.push_back(h);
        }
        std::sort(vector.begin(), vector.end(), ByKey());
    }
    Population people;
    Index index;
    std::set<Handle, ByKey> set;
    std::vector<Handle> vector;
    size_t indexBytes = 0;
    Handle spare(size_t i) const {
        return {&people.contacts[people.contacts.size() / 2 + i % (people.contacts.size() / 2)]};
    }
    Handle present(size_t i) const { return {&people.contacts[i % (people.contacts.size() / 2)]}; }
};

Filled &filled(int size) {
    static std::vector<std::unique_ptr<Filled>> all;
    for (auto &f : all)
        if (static_cast<int>(f->index.size()) == size)
            return *f;
    all.push_back(std::make_unique<Filled>(size));
    return *all.back();
}

constexpr size_t kBatch = 64;

// Structure-specific insert, erase, page and position.
struct OfIndex {
    static void insert(Filled &f, Handle h) { f.index.insert(h); }
    static void erase(Filled &f, Handle h) { f.index.erase(h); }
    static size_t page(Filled &f, size_t k) {
        size_t sum = 0;
        f.index.forRange(k, 50, [&](const Handle &h) { sum += h.contact->id; });
        return sum;
    }
    static size_t position(Filled &f, const std::string &probe) {
        return f.index.lowerBound(probe);
    }
};
struct OfSet {
    static void insert(Filled &f, Handle h) { f.set.insert(h); }
    static void erase(Filled &f, Handle h) { f.set.erase(h); }
    static size_t page(Filled &f, size_t k) {
        size_t sum = 0;
        auto it = std::next(f.set.begin(), static_cast<std::ptrdiff_t>(k));
        for (int n = 0; n < 50 && it != f.set.end(); ++n, ++it)
            sum += it->contact->id;
        return sum;
    }
    static size_t position(Filled &f, const std::string &probe) {
        return static_cast<size_t>(std::distance(f.set.begin(), f.set.lower_bound(probe)));
    }
};
struct OfVector {
    static void insert(Filled &f, Handle h) {
        f.vector.insert(std::lower_bound(f.vector.begin(), f.vector.end(), h, ByKey()), h);
    }
    static void erase(Filled &f, Handle h) {
        f.vector.erase(std::lower_bound(f.vector.begin(), f.vector.end(), h, ByKey()));
    }
    static size_t page(Filled &f, size_t k) {
        size_t sum = 0;
        for (size_t i = k; i < k + 50 && i < f.vector.size(); ++i)
            sum += f.vector[i].contact->id;
        return sum;
    }
    static size_t position(Filled &f, const std::string &probe) {
        return static_cast<size_t>(
            std::lower_bound(f.vector.begin(), f.vector.end(), probe, ByKey()) - f.vector.begin());
    }
};

// Inserts kBatch new elements timed, and takes them out again untimed; or
// erases kBatch elements timed and puts them back untimed.
template <typename Of, bool kInsert> void BM_Change(benchmark::State &state) {
    Filled &f = filled(static_cast<int>(state.range(0)));
    size_t next = 0;
    auto batch = [&](bool insert) {
        for (size_t i = 0; i < kBatch; ++i) {
            Handle h = kInsert ? f.spare(next + i) : f.present(next + i);
            if (insert)
                Of::insert(f, h);
            else
                Of::erase(f, h);
        }
    };
    for (auto _ : state) {
        batch(kInsert);
        state.PauseTiming();
        batch(!kInsert);
        next += kBatch;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
}
template <typename Of> void BM_Insert(benchmark::State &state) {
    BM_Change<Of, true>(state);
}
template <typename Of> void BM_Erase(benchmark::State &state) {
    BM_Change<Of, false>(state);
}

template <typename Of> void BM_Page50(benchmark::State &state) {
    Filled &f = filled(static_cast<int>(state.range(0)));
    size_t next = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(Of::page(f, f.people.offsets[next++ % f.people.offsets.size()]));
}

template <typename Of> void BM_LowerBound(benchmark::State &state) {
    Filled &f = filled(static_cast<int>(state.range(0)));
    size_t next = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(Of::position(f, f.people.probes[next++ % f.people.probes.size()]));
}

void BM_IndexMemory(benchmark::State &state) {
    Filled &f = filled(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(f.index.size());
    state.counters["bytes_per_element"] =
        static_cast<double>(f.indexBytes) / static_cast<double>(f.index.size());
}

void sizes(benchmark::internal::Benchmark *b) {
    b->Arg(100)->Arg(10000)->Arg(50000);
}

BENCHMARK(BM_Insert<OfIndex>)->Apply(sizes);
BENCHMARK(BM_Insert<OfSet>)->Apply(sizes);
BENCHMARK(BM_Insert<OfVector>)->Apply(sizes);
BENCHMARK(BM_Erase<OfIndex>)->Apply(sizes);
BENCHMARK(BM_Erase<OfSet>)->Apply(sizes);
BENCHMARK(BM_Erase<OfVector>)->Apply(sizes);
BENCHMARK(BM_Page50<OfIndex>)->Apply(sizes);
BENCHMARK(BM_Page50<OfSet>)->Apply(sizes);
BENCHMARK(BM_Page50<OfVector>)->Apply(sizes);
BENCHMARK(BM_LowerBound<OfIndex>)->Apply(sizes);
BENCHMARK(BM_LowerBound<OfSet>)->Apply(sizes);
BENCHMARK(BM_LowerBound<OfVector>)->Apply(sizes);
BENCHMARK(BM_IndexMemory)->Apply(sizes);

} // namespace

BENCHMARK_MAIN();
