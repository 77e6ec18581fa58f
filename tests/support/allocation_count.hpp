/*
 * Counts heap allocations (malloc, calloc, realloc, aligned_alloc, new) made
 * while an AllocationCount lives, and the bytes they hold, through
 * AddressSanitizer's allocator hooks.
 * Without AddressSanitizer nothing is counted: available() is false and the
 * test that needs the count skips. Counts every thread's allocations.
 */
#ifndef ZEB_TEST_ALLOCATION_COUNT_HPP
#define ZEB_TEST_ALLOCATION_COUNT_HPP

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define ZEB_TEST_ALLOCATION_HOOKS 1
// The sanitizer runtime's; gcc ships no header that declares it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onAllocation)(const volatile void *,
                                                                              size_t),
                                                         void (*onRelease)(const volatile void *));
extern "C" size_t __sanitizer_get_allocated_size(const volatile void *pointer);
#endif

namespace zebtest {

class AllocationCount {
  public:
    static bool available() {
#ifdef ZEB_TEST_ALLOCATION_HOOKS
        static const bool installed =
            __sanitizer_install_malloc_and_free_hooks(onAllocation, onRelease) != 0;
        return installed;
#else
        return false;
#endif
    }

    AllocationCount() {
        allocations_ = 0;
        bytes_ = 0;
        peak_ = 0;
        counting_ = available();
    }
    ~AllocationCount() {
        counting_ = false;
    }
    AllocationCount(const AllocationCount &) = delete;
    AllocationCount &operator=(const AllocationCount &) = delete;

    size_t count() const {
        return allocations_;
    }
    /* Bytes allocated less bytes released since it began (blocks allocated
     * before count too when released), now and at most. */
    long long heldBytes() const {
        return bytes_;
    }
    long long peakBytes() const {
        return peak_;
    }

  private:
    static inline std::atomic<size_t> allocations_{0};
    static inline std::atomic<long long> bytes_{0}, peak_{0};
    static inline std::atomic<bool> counting_{false};

    static void onAllocation(const volatile void *, size_t size) {
        if (!counting_)
            return;
        ++allocations_;
        long long held = bytes_ += static_cast<long long>(size);
        long long most = peak_.load();
        while (held > most && !peak_.compare_exchange_weak(most, held)) {
        }
    }
#ifdef ZEB_TEST_ALLOCATION_HOOKS
    static void onRelease(const volatile void *pointer) {
        if (counting_ && pointer != nullptr)
            bytes_ -= static_cast<long long>(__sanitizer_get_allocated_size(pointer));
    }
#else
    static void onRelease(const volatile void *) {}
#endif
};

} // namespace zebtest

#endif
