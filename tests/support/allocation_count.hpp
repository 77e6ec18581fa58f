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
        allocations() = 0;
        bytes() = 0;
        peak() = 0;
        counting() = available();
    }
    ~AllocationCount() {
        counting() = false;
    }
    AllocationCount(const AllocationCount &) = delete;
    AllocationCount &operator=(const AllocationCount &) = delete;

    size_t count() const {
        return allocations();
    }
    /* Bytes allocated less bytes released since it began (blocks allocated
     * before count too when released), now and at most. */
    long long heldBytes() const {
        return bytes();
    }
    long long peakBytes() const {
        return peak();
    }

  private:
    static std::atomic<size_t> &allocations() {
        static std::atomic<size_t> value{0};
        return value;
    }
    static std::atomic<long long> &bytes() {
        static std::atomic<long long> value{0};
        return value;
    }
    static std::atomic<long long> &peak() {
        static std::atomic<long long> value{0};
        return value;
    }
    static std::atomic<bool> &counting() {
        static std::atomic<bool> value{false};
        return value;
    }
    static void onAllocation(const volatile void *, size_t size) {
        if (!counting())
            return;
        ++allocations();
        long long held = bytes() += static_cast<long long>(size);
        long long most = peak().load();
        while (held > most && !peak().compare_exchange_weak(most, held)) {
        }
    }
#ifdef ZEB_TEST_ALLOCATION_HOOKS
    static void onRelease(const volatile void *pointer) {
        if (counting() && pointer != nullptr)
            bytes() -= static_cast<long long>(__sanitizer_get_allocated_size(pointer));
    }
#else
    static void onRelease(const volatile void *) {}
#endif
};

} // namespace zebtest

#endif
