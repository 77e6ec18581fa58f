// The store's own operations on a data model without handler bindings, for
// what no bus client reaches: the commit step and duplicate values.
#include <gtest/gtest.h>

#include <filesystem>

#include "phonebook_test_support.hpp"
#include "phonebook_zeb.h"

namespace {

class Store : public ::testing::Test {
  protected:
    zebtest::TestHost env{500};
    zeb_t *context = nullptr;
    object_t *entries = nullptr;

    void SetUp() override {
        std::filesystem::create_directories(env.path("/cfg/system"));
        zebtest::json definition = pbtest::definition();
        definition.erase("plugin"); // no validators: duplicates become possible
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
    size_t saves() const { return env.countTraced("Save completed to /cfg/system/phonebook.odl"); }
};

TEST_F(Store, CommitSchedulesTheSaveAndRollbackDoesNot) {
    addEntry("Ann");
    zeb_timer_stop(_timer); // armed by the instance add handler
    revision_update_block = true;
    EXPECT_TRUE(atomic_save_commit(_phonebook, true));
    EXPECT_FALSE(revision_update_block);
    env.advance(4999);
    EXPECT_EQ(saves(), 0u);
    env.advance(1);
    EXPECT_EQ(saves(), 1u);

    object_t *ann = object_firstInstance(entries);
    ASSERT_TRUE(object_parameterSetCharValue(ann, "Title", "Dr"));
    revision_update_block = true;
    EXPECT_FALSE(atomic_save_commit(_phonebook, false));
    EXPECT_FALSE(revision_update_block);
    EXPECT_TRUE(env.traced("Object was rolled back"));
    EXPECT_STREQ(variant_da_char(object_parameterValue(ann, "Title")), "");
    env.advance(60000);
    EXPECT_EQ(saves(), 1u);
}

TEST_F(Store, LookupTakesTheFirstEntryInInstanceOrderWhateverItsState) {
    object_t *first = addEntry("Same");
    object_t *second = addEntry("Same");
    object_parameterSetCharValue(second, "UniqueID", "u2");
    ASSERT_TRUE(object_commit(_phonebook));
    EXPECT_EQ(findContactByStringParam(_phonebook, "FormattedName", "Same"), first);
    EXPECT_EQ(findContactByStringParam(_phonebook, "UniqueID", "u2"), second);

    ASSERT_TRUE(object_delete(first)); // still pending: still found
    EXPECT_EQ(findContactByStringParam(_phonebook, "FormattedName", "Same"), first);
    EXPECT_EQ(findContactByStringParam(_phonebook, "FormattedName", nullptr), nullptr);
    EXPECT_TRUE(env.traced("paramValue is NULL"));
}

} // namespace
