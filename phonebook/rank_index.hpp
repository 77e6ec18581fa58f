/*
 * An ordered set with positions: the elements of an index of the phonebook
 * (an entry's slot, or the offset of a word of an entry) in the order of a
 * caller's comparator, answering "which element is at position k", "at which
 * position is this element" and "at which position would this key go", each
 * in O(log N) comparisons, and listing the elements at positions
 * [k, k + count) in O(log N + count).
 *
 * The comparator is an object `less(a, b)` on elements; it must define a
 * strict total order (ties broken by something unique such as the UniqueID),
 * must not throw, and may be costly: a search calls it about log2(N) times.
 * The order may change only for elements that are not in the set: remove an
 * element before its key changes and insert it again afterwards. The set
 * stores copies of its elements, never keys, so an element's key is read only
 * while the element is in the set.
 *
 * Nothing throws. insert() returns false when memory runs out, and the set is
 * then exactly as before; erase() never allocates. Elements are small and
 * trivially copyable.
 *
 * The set is a B+tree whose inner nodes count the elements under each child.
 * Its leaves hold about 500 bytes (62 elements of 8 bytes), and a full leaf
 * lends to a neighbour before it splits, so that 8-byte elements cost 9 to 10
 * bytes each however they come, about 13 after half of them are erased at
 * random. A node's first element is copied into its parent as the key that
 * routes searches; such a copy is always of an element in the set and is
 * replaced before that element leaves.
 *
 * Not thread-safe; a pointer returned by at() is valid until the next insert
 * or erase.
 */
#ifndef PHONEBOOK_RANK_INDEX_HPP
#define PHONEBOOK_RANK_INDEX_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

// Where the nodes come from: ::operator new without exceptions by default.
struct RankIndexHeap {
    static void *allocate(std::size_t bytes) noexcept {
        return ::operator new(bytes, std::nothrow);
    }
    static void release(void *block) noexcept { ::operator delete(block); }
};

template <typename T, typename Less, std::size_t LeafCapacity = (512 - 16) / sizeof(T),
          std::size_t InnerCapacity = 64, typename Memory = RankIndexHeap>
class RankIndex {
    static_assert(std::is_trivially_copyable_v<T>, "elements are copied byte by byte");
    static_assert(LeafCapacity >= 4 && InnerCapacity >= 4, "nodes of at least 4");

  public:
    explicit RankIndex(Less less = Less()) noexcept : less_(std::move(less)) {}
    ~RankIndex() { clear(); }
    RankIndex(const RankIndex &) = delete;
    RankIndex &operator=(const RankIndex &) = delete;

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const Less &comparator() const noexcept { return less_; }

    // Adds `x`. False, nothing changed, when `x` is already in the set (no
    // element orders equal to it) or memory ran out.
    bool insert(const T &x) noexcept;
    // Removes `x`, found by the comparator. False when it is not in the set.
    bool erase(const T &x) noexcept;
    // Removes everything.
    void clear() noexcept;

    // The position of `x` in the order, none when it is not in the set.
    std::optional<std::size_t> rank(const T &x) const noexcept;
    // The element at position k, null when k >= size().
    const T *at(std::size_t k) const noexcept;
    // The number of elements for which `before(element)` holds, for a
    // predicate that holds for a first part of the order and not after it:
    // the position of the first element for which it does not hold.
    template <typename Before> std::size_t partitionPoint(Before before) const noexcept;
    // The position of the first element not before `probe` by `less(element,
    // probe)`: a key or a text the comparator can also order elements against.
    template <typename Probe, typename ProbeLess>
    std::size_t lowerBound(const Probe &probe, ProbeLess less) const noexcept {
        return partitionPoint([&](const T &element) { return less(element, probe); });
    }
    // The same with the set's comparator, which then takes (element, probe).
    template <typename Probe> std::size_t lowerBound(const Probe &probe) const noexcept {
        return lowerBound(probe, less_);
    }
    // Calls visit(element) for the elements at positions [k, k + count) in
    // order, stopping early when visit returns false (if it returns bool);
    // visit must not change the set. Returns the number of elements visited.
    template <typename Visit>
    std::size_t forRange(std::size_t k, std::size_t count, Visit &&visit) const;

    // Replaces every element x by f(x), where f keeps the order: an element
    // before another is mapped before the other's image.
    template <typename Rewrite> void rewrite(Rewrite f) noexcept {
        if (root_)
            rewrite(root_, height_, f);
    }

    // The bytes of the nodes, without the allocator's own overhead.
    std::size_t bytes() const noexcept { return leaves_ * sizeof(Leaf) + inners_ * sizeof(Inner); }

  private:
    static constexpr unsigned kLeaf = LeafCapacity;
    static constexpr unsigned kInner = InnerCapacity;
    // At least two children per inner node below the root.
    static constexpr int kMaxHeight = 64;

    struct Leaf {
        unsigned n;
        T items[kLeaf];
    };
    struct Inner {
        unsigned n;
        T keys[kInner]; // the first element under each child
        void *child[kInner];
        std::size_t count[kInner]; // the elements under each child
    };
    struct Frame {
        Inner *node;
        unsigned index;
    };
    // The inner nodes from the root down to a leaf, with the child taken in
    // each.
    struct Path {
        Frame frames[kMaxHeight];
        int depth = 0;
        Leaf *leaf = nullptr;
    };

    template <typename Node> Node *make() noexcept {
        void *block = Memory::allocate(sizeof(Node));
        return block ? new (block) Node : nullptr;
    }
    void drop(Leaf *leaf) noexcept {
        Memory::release(leaf);
        --leaves_;
    }
    void drop(Inner *inner) noexcept {
        Memory::release(inner);
        --inners_;
    }
    void destroy(void *node, int height) noexcept;
    template <typename Rewrite> static void rewrite(void *node, int height, Rewrite &f) noexcept {
        if (height == 1) {
            Leaf *leaf = static_cast<Leaf *>(node);
            for (unsigned i = 0; i < leaf->n; ++i)
                leaf->items[i] = f(leaf->items[i]);
            return;
        }
        Inner *inner = static_cast<Inner *>(node);
        for (unsigned i = 0; i < inner->n; ++i) {
            inner->keys[i] = f(inner->keys[i]);
            rewrite(inner->child[i], height - 1, f);
        }
    }
    // The leaf of position k, and k within it; the nodes and children taken on
    // the way when `nodes` is given.
    const Leaf *select(std::size_t &k, const Inner **nodes, unsigned *indexes) const noexcept;

    // The first of items[low, high) for which `before` does not hold.
    template <typename Before>
    static unsigned partition(const T *items, unsigned low, unsigned high, Before before) noexcept {
        while (low < high) {
            unsigned middle = (low + high) / 2;
            if (before(items[middle]))
                low = middle + 1;
            else
                high = middle;
        }
        return low;
    }
    // The last child whose key is before, the first when none.
    template <typename Before> static unsigned childFor(const Inner *node, Before before) noexcept {
        return partition(node->keys, 1, node->n, before) - 1;
    }
    template <typename Before>
    static unsigned leafPartition(const Leaf *leaf, Before before) noexcept {
        return partition(leaf->items, 0, leaf->n, before);
    }
    static std::size_t sum(const Inner *node, unsigned from, unsigned to) noexcept {
        std::size_t total = 0;
        for (unsigned i = from; i < to; ++i)
            total += node->count[i];
        return total;
    }
    static void removeEntry(Inner *node, unsigned at) noexcept {
        unsigned tail = node->n - (at + 1);
        std::memmove(&node->keys[at], &node->keys[at + 1], tail * sizeof(T));
        std::memmove(&node->child[at], &node->child[at + 1], tail * sizeof(void *));
        std::memmove(&node->count[at], &node->count[at + 1], tail * sizeof(std::size_t));
        --node->n;
    }
    static const T &firstOf(const void *node, bool leaf) noexcept {
        return leaf ? static_cast<const Leaf *>(node)->items[0]
                    : static_cast<const Inner *>(node)->keys[0];
    }

    // The path to the leaf where `x` is or would go.
    void find(const T &x, Path &path) const noexcept;
    // Writes `first` as the key of the path's leaf, and up while that leaf is
    // the first under a node.
    static void setFirst(Path &path, int depth, const T &first) noexcept;
    void addToCounts(Path &path, std::ptrdiff_t delta) noexcept;
    bool shiftIntoSibling(Path &path, unsigned pos, const T &x) noexcept;
    bool split(Path &path, unsigned pos, const T &x) noexcept;
    void rebalanceLeaf(Path &path) noexcept;
    void rebalanceInner(Path &path, int depth) noexcept;

    Less less_;
    void *root_ = nullptr;
    int height_ = 0; // 0 empty, 1 the root is a leaf
    std::size_t size_ = 0;
    std::size_t leaves_ = 0;
    std::size_t inners_ = 0;
};

// --- implementation -------------------------------------------------------

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
void RankIndex<T, L, LC, IC, M>::destroy(void *node, int height) noexcept {
    if (height == 1) {
        drop(static_cast<Leaf *>(node));
        return;
    }
    Inner *inner = static_cast<Inner *>(node);
    for (unsigned i = 0; i < inner->n; ++i)
        destroy(inner->child[i], height - 1);
    drop(inner);
}

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
void RankIndex<T, L, LC, IC, M>::clear() noexcept {
    if (root_)
        destroy(root_, height_);
    root_ = nullptr;
    height_ = 0;
    size_ = 0;
}

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
void RankIndex<T, L, LC, IC, M>::find(const T &x, Path &path) const noexcept {
    void *node = root_;
    path.depth = 0;
    for (int level = height_; level > 1; --level) {
        Inner *inner = static_cast<Inner *>(node);
        unsigned c = childFor(inner, [&](const T &key) { return !less_(x, key); });
        path.frames[path.depth++] = {inner, c};
        node = inner->child[c];
    }
    path.leaf = static_cast<Leaf *>(node);
}

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
void RankIndex<T, L, LC, IC, M>::setFirst(Path &path, int depth, const T &first) noexcept {
    for (int f = depth - 1; f >= 0; --f) {
        path.frames[f].node->keys[path.frames[f].index] = first;
        if (path.frames[f].index != 0)
            break;
    }
}

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
void RankIndex<T, L, LC, IC, M>::addToCounts(Path &path, std::ptrdiff_t delta) noexcept {
    for (int f = 0; f < path.depth; ++f)
        path.frames[f].node->count[path.frames[f].index] += static_cast<std::size_t>(delta);
}

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
bool RankIndex<T, L, LC, IC, M>::insert(const T &x) noexcept {
    if (!root_) {
        Leaf *leaf = make<Leaf>();
        if (!leaf)
            return false;
        ++leaves_;
        leaf->n = 1;
        leaf->items[0] = x;
        root_ = leaf;
        height_ = 1;
        size_ = 1;
        return true;
    }
    Path path;
    find(x, path);
    Leaf *leaf = path.leaf;
    unsigned pos = leafPartition(leaf, [&](const T &item) { return less_(item, x); });
    if (pos < leaf->n && !less_(x, leaf->items[pos]))
        return false;
    if (leaf->n < kLeaf) {
        std::memmove(&leaf->items[pos + 1], &leaf->items[pos], (leaf->n - pos) * sizeof(T));
        leaf->items[pos] = x;
        ++leaf->n;
        addToCounts(path, 1);
        if (pos == 0)
            setFirst(path, path.depth, x);
    } else if (shiftIntoSibling(path, pos, x)) {
        if (pos == 0)
            setFirst(path, path.depth, x);
    } else if (!split(path, pos, x)) {
        return false;
    }
    ++size_;
    return true;
}

// A full leaf passes elements to a sibling with room rather than split: the
// leaves stay about 80% full under random inserts instead of 70%.
template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
bool RankIndex<T, L, LC, IC, M>::shiftIntoSibling(Path &path, unsigned pos, const T &x) noexcept {
    if (path.depth == 0)
        return false;
    Inner *parent = path.frames[path.depth - 1].node;
    unsigned c = path.frames[path.depth - 1].index;
    Leaf *leaf = path.leaf;
    bool left = c > 0 && static_cast<Leaf *>(parent->child[c - 1])->n < kLeaf;
    bool right = !left && c + 1 < parent->n && static_cast<Leaf *>(parent->child[c + 1])->n < kLeaf;
    if (!left && !right)
        return false;
    T all[kLeaf + 1];
    std::memcpy(all, leaf->items, pos * sizeof(T));
    all[pos] = x;
    std::memcpy(all + pos + 1, leaf->items + pos, (kLeaf - pos) * sizeof(T));
    addToCounts(path, 1);
    if (left) {
        Leaf *sibling = static_cast<Leaf *>(parent->child[c - 1]);
        unsigned moved = (sibling->n + kLeaf + 1) / 2 - sibling->n;
        std::memcpy(sibling->items + sibling->n, all, moved * sizeof(T));
        sibling->n += moved;
        leaf->n = kLeaf + 1 - moved;
        std::memcpy(leaf->items, all + moved, leaf->n * sizeof(T));
        parent->count[c - 1] = sibling->n;
        parent->keys[c] = leaf->items[0];
    } else {
        Leaf *sibling = static_cast<Leaf *>(parent->child[c + 1]);
        unsigned kept = (sibling->n + kLeaf + 1) / 2;
        unsigned moved = kLeaf + 1 - kept;
        std::memmove(sibling->items + moved, sibling->items, sibling->n * sizeof(T));
        std::memcpy(sibling->items, all + kept, moved * sizeof(T));
        sibling->n += moved;
        leaf->n = kept;
        std::memcpy(leaf->items, all, kept * sizeof(T));
        parent->count[c + 1] = sibling->n;
        parent->keys[c + 1] = sibling->items[0];
    }
    parent->count[c] = leaf->n;
    return true;
}

// Splits the full leaf in half, and every full node above it. The nodes are
// taken before anything changes, so that running out of memory changes
// nothing.
template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
bool RankIndex<T, L, LC, IC, M>::split(Path &path, unsigned pos, const T &x) noexcept {
    int full = 0;
    while (full < path.depth && path.frames[path.depth - 1 - full].node->n == kInner)
        ++full;
    int innersNeeded = full + (full == path.depth ? 1 : 0);
    Inner *spare[kMaxHeight + 1];
    Leaf *newLeaf = make<Leaf>();
    int taken = 0;
    while (newLeaf && taken < innersNeeded && (spare[taken] = make<Inner>()) != nullptr)
        ++taken;
    if (!newLeaf || taken < innersNeeded) {
        while (taken > 0)
            M::release(spare[--taken]);
        if (newLeaf)
            M::release(newLeaf);
        return false;
    }
    leaves_ += 1;
    inners_ += static_cast<std::size_t>(innersNeeded);
    addToCounts(path, 1);

    Leaf *leaf = path.leaf;
    T all[kLeaf + 1];
    std::memcpy(all, leaf->items, pos * sizeof(T));
    all[pos] = x;
    std::memcpy(all + pos + 1, leaf->items + pos, (kLeaf - pos) * sizeof(T));
    unsigned kept = (kLeaf + 1) / 2;
    leaf->n = kept;
    std::memcpy(leaf->items, all, kept * sizeof(T));
    newLeaf->n = kLeaf + 1 - kept;
    std::memcpy(newLeaf->items, all + kept, newLeaf->n * sizeof(T));
    if (pos == 0)
        setFirst(path, path.depth, x);

    // The entry (key, child, count) goes into the parent after the node
    // split, which now holds leftCount elements.
    void *newChild = newLeaf;
    T newKey = newLeaf->items[0];
    std::size_t newCount = newLeaf->n;
    std::size_t leftCount = leaf->n;
    for (int f = path.depth - 1; f >= 0; --f) {
        Inner *node = path.frames[f].node;
        unsigned at = path.frames[f].index + 1;
        node->count[at - 1] = leftCount;
        if (node->n < kInner) {
            unsigned tail = node->n - at;
            std::memmove(&node->keys[at + 1], &node->keys[at], tail * sizeof(T));
            std::memmove(&node->child[at + 1], &node->child[at], tail * sizeof(void *));
            std::memmove(&node->count[at + 1], &node->count[at], tail * sizeof(std::size_t));
            node->keys[at] = newKey;
            node->child[at] = newChild;
            node->count[at] = newCount;
            ++node->n;
            return true;
        }
        T keys[kInner + 1];
        void *children[kInner + 1];
        std::size_t counts[kInner + 1];
        std::memcpy(keys, node->keys, at * sizeof(T));
        std::memcpy(children, node->child, at * sizeof(void *));
        std::memcpy(counts, node->count, at * sizeof(std::size_t));
        keys[at] = newKey;
        children[at] = newChild;
        counts[at] = newCount;
        std::memcpy(keys + at + 1, node->keys + at, (kInner - at) * sizeof(T));
        std::memcpy(children + at + 1, node->child + at, (kInner - at) * sizeof(void *));
        std::memcpy(counts + at + 1, node->count + at, (kInner - at) * sizeof(std::size_t));
        Inner *sibling = spare[--taken];
        unsigned half = (kInner + 1) / 2;
        node->n = half;
        sibling->n = kInner + 1 - half;
        std::memcpy(node->keys, keys, half * sizeof(T));
        std::memcpy(node->child, children, half * sizeof(void *));
        std::memcpy(node->count, counts, half * sizeof(std::size_t));
        std::memcpy(sibling->keys, keys + half, sibling->n * sizeof(T));
        std::memcpy(sibling->child, children + half, sibling->n * sizeof(void *));
        std::memcpy(sibling->count, counts + half, sibling->n * sizeof(std::size_t));
        newChild = sibling;
        newKey = sibling->keys[0];
        newCount = sum(sibling, 0, sibling->n);
        leftCount = sum(node, 0, node->n);
    }
    Inner *root = spare[--taken];
    root->n = 2;
    root->keys[0] = firstOf(root_, height_ == 1);
    root->keys[1] = newKey;
    root->child[0] = root_;
    root->child[1] = newChild;
    root->count[0] = leftCount;
    root->count[1] = newCount;
    root_ = root;
    ++height_;
    return true;
}

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
bool RankIndex<T, L, LC, IC, M>::erase(const T &x) noexcept {
    if (!root_)
        return false;
    Path path;
    find(x, path);
    Leaf *leaf = path.leaf;
    unsigned pos = leafPartition(leaf, [&](const T &item) { return less_(item, x); });
    if (pos == leaf->n || less_(x, leaf->items[pos]))
        return false;
    --leaf->n;
    std::memmove(&leaf->items[pos], &leaf->items[pos + 1], (leaf->n - pos) * sizeof(T));
    addToCounts(path, -1);
    --size_;
    if (pos == 0 && leaf->n > 0)
        setFirst(path, path.depth, leaf->items[0]);
    rebalanceLeaf(path);
    return true;
}

// A leaf under half full merges with its smaller neighbour when both fit in
// one, else takes elements from it. Leaves other than the root never empty:
// they hold at least half of their capacity before an erase.
template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
void RankIndex<T, L, LC, IC, M>::rebalanceLeaf(Path &path) noexcept {
    Leaf *leaf = path.leaf;
    if (path.depth == 0) {
        if (leaf->n == 0) {
            drop(leaf);
            root_ = nullptr;
            height_ = 0;
        }
        return;
    }
    if (leaf->n >= kLeaf / 2)
        return;
    Frame &frame = path.frames[path.depth - 1];
    Inner *parent = frame.node;
    unsigned c = frame.index;
    bool left = c > 0 && (c + 1 == parent->n || static_cast<Leaf *>(parent->child[c - 1])->n <=
                                                    static_cast<Leaf *>(parent->child[c + 1])->n);
    unsigned j = left ? c - 1 : c;
    Leaf *a = static_cast<Leaf *>(parent->child[j]);
    Leaf *b = static_cast<Leaf *>(parent->child[j + 1]);
    if (a->n + b->n <= kLeaf) {
        std::memcpy(a->items + a->n, b->items, b->n * sizeof(T));
        a->n += b->n;
        parent->count[j] = a->n;
        removeEntry(parent, j + 1);
        drop(b);
    } else {
        if (a->n < b->n) {
            unsigned moved = (b->n - a->n) / 2;
            std::memcpy(a->items + a->n, b->items, moved * sizeof(T));
            a->n += moved;
            b->n -= moved;
            std::memmove(b->items, b->items + moved, b->n * sizeof(T));
        } else {
            unsigned moved = (a->n - b->n) / 2;
            std::memmove(b->items + moved, b->items, b->n * sizeof(T));
            std::memcpy(b->items, a->items + a->n - moved, moved * sizeof(T));
            a->n -= moved;
            b->n += moved;
        }
        parent->count[j] = a->n;
        parent->count[j + 1] = b->n;
        parent->keys[j + 1] = b->items[0];
    }
    rebalanceInner(path, path.depth - 1);
}

// The same for the inner node of frame `depth`, from the bottom up; a root
// left with one child gives way to it.
template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
void RankIndex<T, L, LC, IC, M>::rebalanceInner(Path &path, int depth) noexcept {
    for (int f = depth; f >= 0; --f) {
        Inner *node = path.frames[f].node;
        if (f == 0) {
            if (node->n == 1) {
                root_ = node->child[0];
                --height_;
                drop(node);
            }
            return;
        }
        if (node->n >= kInner / 2)
            return;
        Inner *parent = path.frames[f - 1].node;
        unsigned index = path.frames[f - 1].index;
        unsigned j = index > 0 ? index - 1 : 0;
        Inner *a = static_cast<Inner *>(parent->child[j]);
        Inner *b = static_cast<Inner *>(parent->child[j + 1]);
        if (a->n + b->n <= kInner) {
            std::memcpy(a->keys + a->n, b->keys, b->n * sizeof(T));
            std::memcpy(a->child + a->n, b->child, b->n * sizeof(void *));
            std::memcpy(a->count + a->n, b->count, b->n * sizeof(std::size_t));
            a->n += b->n;
            parent->count[j] += parent->count[j + 1];
            removeEntry(parent, j + 1);
            drop(b);
            continue;
        }
        if (a->n < b->n) {
            unsigned moved = (b->n - a->n) / 2;
            std::memcpy(a->keys + a->n, b->keys, moved * sizeof(T));
            std::memcpy(a->child + a->n, b->child, moved * sizeof(void *));
            std::memcpy(a->count + a->n, b->count, moved * sizeof(std::size_t));
            a->n += moved;
            b->n -= moved;
            std::memmove(b->keys, b->keys + moved, b->n * sizeof(T));
            std::memmove(b->child, b->child + moved, b->n * sizeof(void *));
            std::memmove(b->count, b->count + moved, b->n * sizeof(std::size_t));
        } else {
            unsigned moved = (a->n - b->n) / 2;
            std::memmove(b->keys + moved, b->keys, b->n * sizeof(T));
            std::memmove(b->child + moved, b->child, b->n * sizeof(void *));
            std::memmove(b->count + moved, b->count, b->n * sizeof(std::size_t));
            a->n -= moved;
            std::memcpy(b->keys, a->keys + a->n, moved * sizeof(T));
            std::memcpy(b->child, a->child + a->n, moved * sizeof(void *));
            std::memcpy(b->count, a->count + a->n, moved * sizeof(std::size_t));
            b->n += moved;
        }
        parent->count[j] = sum(a, 0, a->n);
        parent->count[j + 1] = sum(b, 0, b->n);
        parent->keys[j + 1] = b->keys[0];
        return;
    }
}

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
std::optional<std::size_t> RankIndex<T, L, LC, IC, M>::rank(const T &x) const noexcept {
    std::size_t position = partitionPoint([&](const T &element) { return less_(element, x); });
    const T *found = at(position);
    if (!found || less_(x, *found))
        return std::nullopt;
    return position;
}

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
const typename RankIndex<T, L, LC, IC, M>::Leaf *
RankIndex<T, L, LC, IC, M>::select(std::size_t &k, const Inner **nodes,
                                   unsigned *indexes) const noexcept {
    const void *node = root_;
    for (int depth = 0; depth < height_ - 1; ++depth) {
        const Inner *inner = static_cast<const Inner *>(node);
        unsigned c = 0;
        while (k >= inner->count[c])
            k -= inner->count[c++];
        if (nodes) {
            nodes[depth] = inner;
            indexes[depth] = c;
        }
        node = inner->child[c];
    }
    return static_cast<const Leaf *>(node);
}

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
const T *RankIndex<T, L, LC, IC, M>::at(std::size_t k) const noexcept {
    if (k >= size_)
        return nullptr;
    const Leaf *leaf = select(k, nullptr, nullptr);
    return &leaf->items[k];
}

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
template <typename Before>
std::size_t RankIndex<T, L, LC, IC, M>::partitionPoint(Before before) const noexcept {
    if (!root_)
        return 0;
    std::size_t position = 0;
    const void *node = root_;
    for (int level = height_; level > 1; --level) {
        const Inner *inner = static_cast<const Inner *>(node);
        unsigned c = childFor(inner, before);
        position += sum(inner, 0, c);
        node = inner->child[c];
    }
    return position + leafPartition(static_cast<const Leaf *>(node), before);
}

template <typename T, typename L, std::size_t LC, std::size_t IC, typename M>
template <typename Visit>
std::size_t RankIndex<T, L, LC, IC, M>::forRange(std::size_t k, std::size_t count,
                                                 Visit &&visit) const {
    if (k >= size_ || count == 0)
        return 0;
    const Inner *nodes[kMaxHeight];
    unsigned indexes[kMaxHeight];
    int depth = height_ - 1;
    const Leaf *leaf = select(k, nodes, indexes);
    unsigned pos = static_cast<unsigned>(k);
    std::size_t visited = 0;
    while (visited < count) {
        ++visited;
        if constexpr (std::is_same_v<std::invoke_result_t<Visit &, const T &>, bool>) {
            if (!visit(leaf->items[pos]))
                break;
        } else {
            visit(leaf->items[pos]);
        }
        if (++pos < leaf->n)
            continue;
        int f = depth - 1;
        while (f >= 0 && indexes[f] + 1 == nodes[f]->n)
            --f;
        if (f < 0)
            break;
        const void *node = nodes[f]->child[++indexes[f]];
        for (int g = f + 1; g < depth; ++g) {
            nodes[g] = static_cast<const Inner *>(node);
            indexes[g] = 0;
            node = nodes[g]->child[0];
        }
        leaf = static_cast<const Leaf *>(node);
        pos = 0;
    }
    return visited;
}

#endif
