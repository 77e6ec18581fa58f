// The country calling code table read on demand from the system root, and the
// rewriting of a number's prefix.
#include "phonebook_test_support.hpp"
#include "phonebook_zeb.h"

namespace {

class Ccc : public ::testing::Test {
  protected:
    zebtest::TestHost env{500};
    void TearDown() override { release_ccc_data(); }
    size_t traced(const std::string &text) const { return env.countTraced(text); }
};

TEST_F(Ccc, MissingFileIsRetriedByEveryLookup) {
    EXPECT_TRUE(compare_numbers("+33612345678", "0033612345678"));
    EXPECT_TRUE(compare_numbers("0612345678", "0612345678"));
    EXPECT_EQ(traced("Unable to open"), 0u);
    EXPECT_FALSE(compare_numbers("+33612345678", "0612345678"));
    EXPECT_EQ(traced("Unable to open /usr/lib/phonebook/CCC.dat"), 3u);
    EXPECT_EQ(traced("Parsing of Country Calling Codes failed."), 3u);
    EXPECT_EQ(traced("Unable to determine the CCC entry"), 1u);
    EXPECT_EQ(get_ccc_entry("3"), nullptr);
    EXPECT_EQ(get_ccc_entry(""), nullptr);
    EXPECT_EQ(traced("Unable to open"), 4u);

    env.writeFile(PHONEBOOK_CCC_FILE, "+33 00 0\n"); // skipped: an empty table
    EXPECT_FALSE(compare_numbers("+33612345678", "0612345678"));
    EXPECT_EQ(traced("Wrong format for CCC file"), 1u);
    EXPECT_EQ(traced("Unable to open"), 4u);
    EXPECT_EQ(traced("Unable to determine the CCC entry"), 2u);
    env.writeFile(PHONEBOOK_CCC_FILE, "33 00 0\n");
    EXPECT_TRUE(read_ccc_file());
    EXPECT_EQ(ccc_num, 0u); // loaded once
}

// A replacement that did not happen is not reported as done.
TEST(Prefix, ReplacementTellsWhetherItHappened) {
    string_t number;
    string_initialize(&number, 0);
    string_setChar(&number, "0612");
    EXPECT_FALSE(phonebook_entry_replacePrefix(&number, "+", "00"));
    EXPECT_STREQ(string_buffer(&number), "0612");
    string_cleanup(&number);
}

} // namespace
