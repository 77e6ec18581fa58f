#include <malloc.h>

#include "change_log.h"
#include "phonebook.h"
#include "phonebook_test_support.hpp"
#include "phonebook_zeb.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's; gcc ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace {

size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// The room the plug-in's structures take; no trace is recorded, so nothing else grows.
class Memory : public ::testing::Test {
  protected:
    zebtest::TestHost env{0};
    zeb_t *context = nullptr;
    object_t *entries = nullptr;

    void SetUp() override {
        std::filesystem::create_directories(env.path("/cfg/system"));
        zebtest::json definition = pbtest::definition();
        definition.erase("plugin");
        context = zeb_create();
        ASSERT_TRUE(datamodel_loadDefinitionText(zeb_datamodel(context), definition.dump().c_str(),
                                                 "phonebook.json", nullptr, nullptr))
            << zeb_errorMessage();
        ASSERT_TRUE(zeb_plugin_initialize(context));
        entries = object_getObject(_phonebook, "Entry", 0, nullptr);
    }
    void TearDown() override {
        zeb_plugin_cleanup();
        zeb_destroy(context);
    }
    object_t *addEntry(const char *formattedName) {
        object_t *entry = object_createInstance(entries, 0, nullptr);
        object_parameterSetCharValue(entry, "FormattedName", formattedName);
        return entry;
    }
};

// Entries that come and go while no page or search is asked for are marked for the
// indexes each time; the list of marked entries stays as small as the phonebook.
TEST_F(Memory, EntriesComingAndGoingBetweenAnswersKeepTheMarksFew) {
    change_log_stop(); // it keeps the last changes, by design
    auto comeAndGo = [&](int times) {
        for (int i = 0; i < times; ++i) {
            object_t *entry = addEntry("Passing");
            ASSERT_TRUE(object_commit(_phonebook));
            object_delete(entry);
            ASSERT_TRUE(object_commit(_phonebook));
        }
    };
    comeAndGo(1000);
    size_t before = heapInUse();
    comeAndGo(20000);
    EXPECT_LT(heapInUse(), before + 20000);
}

} // namespace
