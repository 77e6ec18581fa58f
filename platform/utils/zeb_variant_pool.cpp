#include "zeb/variant.h"

#include "zeb_variant_internal.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define ZEB_POOL_POISONING 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEB_POOL_POISONING 1
#endif
#endif

#ifdef ZEB_POOL_POISONING
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

namespace {

// A chunk is aligned on its own size: a block finds it by rounding its
// address down. Its header counts what keeps it alive.
constexpr size_t kChunkSize = 32768;
constexpr size_t kHeaderSize = 16;
constexpr size_t kLargestBlock = 2048;
constexpr size_t kAlignment = 8;

// Under AddressSanitizer each block is preceded by its size, so that a
// released block can be poisoned: a use after release is then reported as
// it would be for malloc()ed memory. The size word doubles as a red zone.
#ifdef ZEB_POOL_POISONING
constexpr size_t kPrefix = sizeof(uint64_t);
#else
constexpr size_t kPrefix = 0;
#endif

// While a pool carves blocks out of a chunk, `live` is kHeld minus the blocks
// released so far: carving costs no atomic operation, only releasing does.
// On leaving the chunk the pool takes away kHeld less the blocks it carved;
// whoever brings `live` to 0 frees the chunk.
constexpr uint32_t kHeld = 1u << 30;
static_assert(kChunkSize / kAlignment < kHeld, "a chunk holds fewer blocks than kHeld");

struct Chunk {
    std::atomic<uint32_t> live;
};
static_assert(sizeof(Chunk) <= kHeaderSize, "the header fits");

Chunk *chunkOf(void *block) {
    return reinterpret_cast<Chunk *>(reinterpret_cast<uintptr_t>(block) & ~(kChunkSize - 1));
}

void dropFrom(Chunk *chunk, uint32_t count) {
    if (chunk->live.fetch_sub(count, std::memory_order_acq_rel) == count) {
        ASAN_UNPOISON_MEMORY_REGION(chunk, kChunkSize);
        free(chunk);
    }
}

size_t roundedUp(size_t size) {
    return (size + kAlignment - 1) & ~(kAlignment - 1);
}

// The chunk a thread carves blocks out of, while pooling is on.
class Pool {
  public:
    constexpr Pool() = default;
    ~Pool() { leave(); }
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    void begin() {
        if (depth_++ == 0)
            reuseIfUnused();
    }
    void end() {
        if (depth_ > 0)
            --depth_;
    }

    // Null when pooling is off, the block too large or memory ran out.
    void *take(size_t size) {
        if (depth_ == 0 || size > kLargestBlock)
            return nullptr;
        size_t needed = kPrefix + roundedUp(size);
        if (static_cast<size_t>(end_ - cursor_) < needed && !startChunk())
            return nullptr;
        char *block = cursor_ + kPrefix;
        cursor_ += needed;
        ++carved_;
#ifdef ZEB_POOL_POISONING
        ASAN_UNPOISON_MEMORY_REGION(block - kPrefix, kPrefix);
        *reinterpret_cast<uint64_t *>(static_cast<void *>(block - kPrefix)) = needed;
        ASAN_POISON_MEMORY_REGION(block - kPrefix, kPrefix);
#endif
        ASAN_UNPOISON_MEMORY_REGION(block, needed - kPrefix);
        return block;
    }

  private:
    char *firstBlock() const {
        return reinterpret_cast<char *>(chunk_) + kHeaderSize;
    }

    bool startChunk() {
        void *memory = aligned_alloc(kChunkSize, kChunkSize);
        if (memory == nullptr)
            return false;
        leave();
        chunk_ = new (memory) Chunk;
        chunk_->live.store(kHeld, std::memory_order_relaxed);
        cursor_ = firstBlock();
        end_ = static_cast<char *>(memory) + kChunkSize;
        carved_ = 0;
        ASAN_POISON_MEMORY_REGION(cursor_, static_cast<size_t>(end_ - cursor_));
        return true;
    }

    void leave() {
        if (chunk_ != nullptr)
            dropFrom(chunk_, kHeld - carved_);
        chunk_ = nullptr;
        cursor_ = end_ = nullptr;
        carved_ = 0;
    }

    // When everything carved so far has been released (a call's answer sent
    // and dropped), the chunk is carved again from its start. Only this
    // thread carves, so nothing can come alive meanwhile.
    void reuseIfUnused() {
        if (chunk_ == nullptr || chunk_->live.load(std::memory_order_acquire) != kHeld - carved_)
            return;
        chunk_->live.store(kHeld, std::memory_order_relaxed);
        cursor_ = firstBlock();
        carved_ = 0;
    }

    Chunk *chunk_ = nullptr;
    char *cursor_ = nullptr;
    char *end_ = nullptr;
    uint32_t carved_ = 0;
    unsigned depth_ = 0;
};

// Initial-exec: the library is loaded with the program, and every piece made
// asks for the pool.
thread_local Pool pool __attribute__((tls_model("initial-exec")));

} // namespace

void *zeb_block_new(size_t size, uint32_t *storage) {
    if (storage == nullptr)
        return malloc(size);
    void *block = pool.take(size);
    *storage = block != nullptr ? ZEB_STORAGE_POOL : ZEB_STORAGE_HEAP;
    return block != nullptr ? block : malloc(size);
}

void zeb_block_release(void *block, uint32_t storage) {
    if (storage != ZEB_STORAGE_POOL) {
        free(block);
        return;
    }
    char *start = static_cast<char *>(block) - kPrefix;
#ifdef ZEB_POOL_POISONING
    ASAN_UNPOISON_MEMORY_REGION(start, kPrefix);
    size_t size = *reinterpret_cast<uint64_t *>(static_cast<void *>(start));
    ASAN_POISON_MEMORY_REGION(start, size);
#endif
    dropFrom(chunkOf(start), 1);
}

void variant_pool_begin(void) {
    pool.begin();
}

void variant_pool_end(void) {
    pool.end();
}
