// The memory an import needs: the file, and one batch of contacts at a time
// however many cards the file holds. Counted by this program's own
// operator new, so that the sanitizers' overhead does not count; the array,
// sized and nothrow forms of new and delete call these two.
#include <gtest/gtest.h>

#include "import_phonebook.hpp"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<size_t> liveBytes{0}, peakBytes{0};
} // namespace

void *operator new(size_t size) {
    void *pointer = std::malloc(size > 0 ? size : 1);
    if (pointer == nullptr)
        throw std::bad_alloc();
    size_t live = liveBytes += malloc_usable_size(pointer);
    for (size_t peak = peakBytes.load(); live > peak;)
        peakBytes.compare_exchange_weak(peak, live);
    return pointer;
}
void operator delete(void *pointer) noexcept {
    if (pointer != nullptr)
        liveBytes -= malloc_usable_size(pointer);
    std::free(pointer);
}
void operator delete(void *pointer, size_t) noexcept {
    operator delete(pointer);
}

namespace {

// With the update, which holds more: the UID and name of each card too.
TEST(VcardImportMemory, ALargeFileNeedsItsOwnSizeAndOneBatch) {
    const size_t kCards = 4000;
    std::string file = importtest::cards(kCards); // 0.9 MiB, 4 batches
    size_t fileBytes = file.size();
    importtest::Phonebook phonebook;
    vcard::Phonebook calls = phonebook.calls();
    phonebook.given.reserve(kCards); // what the test's phonebook keeps is not the import's
    size_t before = liveBytes.load();
    peakBytes = before;
    {
        vcard::Import import(std::move(file), {true, false});
        import.run(calls);
        ASSERT_EQ(import.report().added, kCards);
    }
    size_t held = phonebook.held.size() * 64; // the nodes of its set
    // A batch of contacts takes about 1.5 MiB; all the cards of the file
    // as contacts would take more than 15.
    EXPECT_LT(peakBytes.load() - before, fileBytes + held + (4u << 20))
        << "file " << fileBytes << " bytes";
}

} // namespace
