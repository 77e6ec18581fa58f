// The memory an import needs: the file, and one batch of contacts at a time
// however many cards the file holds. Counted by this program's own
// operator new, so that the sanitizers' overhead does not count.
#include <gtest/gtest.h>

#include "import_phonebook.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};

// Each block carries its size in front, for operator delete.
constexpr size_t kHeader = alignof(std::max_align_t);

void *allocate(size_t size) noexcept {
    void *raw = std::malloc(size + kHeader);
    if (raw == nullptr)
        return nullptr;
    *static_cast<size_t *>(raw) = size;
    auto *block = static_cast<char *>(raw);
    size_t live = liveBytes += size;
    size_t peak = peakBytes.load();
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
    }
    return block + kHeader;
}

void release(void *pointer) noexcept {
    if (pointer == nullptr)
        return;
    void *block = static_cast<char *>(pointer) - kHeader;
    liveBytes -= *static_cast<size_t *>(block);
    std::free(block);
}

void *allocateOrThrow(size_t size) {
    void *pointer = allocate(size);
    if (pointer == nullptr)
        throw std::bad_alloc();
    return pointer;
}

} // namespace

void *operator new(size_t size) {
    return allocateOrThrow(size);
}
void *operator new[](size_t size) {
    return allocateOrThrow(size);
}
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    return allocate(size);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
    return allocate(size);
}
void operator delete(void *pointer) noexcept {
    release(pointer);
}
void operator delete[](void *pointer) noexcept {
    release(pointer);
}
void operator delete(void *pointer, size_t) noexcept {
    release(pointer);
}
void operator delete[](void *pointer, size_t) noexcept {
    release(pointer);
}
void operator delete(void *pointer, const std::nothrow_t &) noexcept {
    release(pointer);
}
void operator delete[](void *pointer, const std::nothrow_t &) noexcept {
    release(pointer);
}

namespace {

TEST(VcardImportMemory, ALargeFileNeedsItsOwnSizeAndOneBatch) {
    const size_t kCards = 4000;
    for (bool update : {false, true}) {
        SCOPED_TRACE(update ? "update" : "add");
        std::string file = importtest::cards(kCards); // 0.9 MiB, 4 batches
        size_t fileBytes = file.size();
        importtest::Phonebook phonebook;
        vcard::Phonebook calls = phonebook.calls();
        // What the phonebook of the test keeps is not the import's.
        phonebook.given.reserve(kCards);
        size_t before = liveBytes.load();
        peakBytes = before;
        {
            vcard::Import import(std::move(file), {update, false});
            import.run(calls);
            ASSERT_EQ(import.report().added, kCards);
        }
        size_t held = phonebook.held.size() * 64; // the nodes of its set
        // A batch of contacts takes about 1.5 MiB; all the cards of the file
        // as contacts would take more than 15.
        EXPECT_LT(peakBytes.load() - before, fileBytes + held + (4u << 20))
            << "file " << fileBytes << " bytes";
    }
}

} // namespace
