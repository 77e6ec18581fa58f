// The country calling code table and the comparison of numbers across
// notations, on tables written into the system root.
#include <tuple>

#include "phonebook_test_support.hpp"
#include "phonebook_zeb.h"

namespace {

using pbtest::Names;

std::string listOf(const ccc_entry &entry, uint8_t count, uint8_t offset) {
    std::string text = "[";
    const char *string = entry.code + offset;
    for (unsigned i = 0; i < count; i++, string += strlen(string) + 1)
        text += (i > 0 ? "," : "") + std::string(string);
    return text + "]";
}

class Ccc : public ::testing::Test {
  protected:
    zebtest::TestHost env{500};
    void TearDown() override { release_ccc_data(); }
    bool load(const std::string &content) {
        release_ccc_data();
        env.writeFile(PHONEBOOK_CCC_FILE, content);
        return read_ccc_file();
    }
    // Each record as "code [first list] [national list]", in table order.
    Names table() const {
        Names rows;
        for (uint32_t i = 0; i < ccc_num; i++) {
            const ccc_entry &e = ccc_data[i];
            rows.push_back(std::string(e.code) + " " + listOf(e, e.first_count, e.first_offset) +
                           " " + listOf(e, e.national_count, e.national_offset));
        }
        return rows;
    }
    size_t traced(const std::string &text) const { return env.countTraced(text); }
};

// Lines in any layout, sorted byte-wise; lines of a wrong format, and lists
// beyond the 8-bit offset or count, are left out and traced.
TEST_F(Ccc, LinesAndLists) {
    const std::string far(300, ' '), many(255, ',');
    const std::tuple<std::string, Names, size_t> cases[] = {
        {"# comment\n   # indented comment\n\n33 00 0\r\n  1 011 1\n\t39 00\n"
         "44 00,+ 0 extra\n7\n49 00 0,,1\n20\t00\t0",
         {"1 [011] [1]", "20 [00] [0]", "33 [00] [0]", "39 [00] []", "44 [00,+] [0]",
          "49 [00] [0,,1]", "7 [] []"},
         0},
        {"7\n33\n212\n1\n20\n033\n2\n21\n3\n4\n5\n",
         {"033 [] []", "1 [] []", "2 [] []", "20 [] []", "21 [] []", "212 [] []", "3 [] []",
          "33 [] []", "4 [] []", "5 [] []", "7 [] []"},
         0},
        {"+33 00 0\n31 00 0\n32" + far + "00 0\n34 00 " + many + "\n35 00 " + many.substr(1) +
             "\n36" + std::string(253, ' ') + "00\n33a 00 0\n41 00 0\n",
         {"31 [00] [0]", "35 [00] [" + many.substr(1) + "]", "36 [00] []"},
         4}};
    for (const auto &[file, rows, wrong] : cases) {
        env.clearRecords();
        ASSERT_TRUE(load(file));
        EXPECT_EQ(table(), rows);
        EXPECT_EQ(traced("Wrong format for CCC file"), wrong);
    }
}

TEST_F(Ccc, LongestCodeOfAtMostThreeCharacters) {
    ASSERT_TRUE(load("1\n12\n123\n1234\n33\n"));
    for (auto [digits, code] : {std::pair{"12345", "123"},
                                {"1299", "12"},
                                {"19", "1"},
                                {"12", "12"},
                                {"336", "33"},
                                {"033", ""},
                                {"5", ""}}) {
        ccc_entry *entry = get_ccc_entry(digits);
        EXPECT_STREQ(entry != nullptr ? entry->code : "", code) << digits;
    }
}

// Both ways round; +12S finds code 12, which has no national prefix, and
// code 1 with its prefix 1 gives the number back.
TEST_F(Ccc, WorkedExamples) {
    const std::string s = "612345678";
    const std::tuple<const char *, std::string, std::string, bool> rows[] = {
        {"33 00 0\n", "+33" + s, "0033" + s, true},
        {"33 00 0\n", "0" + s, "0" + s, true},
        {"33 00 0\n", "+33" + s, "0" + s, true},
        {"33 00 0\n", "+33" + s, "0 6 12 34 56 78", false},
        {"33 00 0\n", "+33" + s, "33" + s, false},
        {"33 00 0\n", "+33" + s, "+34" + s, false},
        {"33 00 0\n", "0" + s, "06-12345678", false},
        {"33 00 0\n", "5", "5", false},
        {"33 00 0\n", "+", "+", false},
        {"33 00 0\n", "+33" + s, "", false},
        {"1 011 1\n12\n", "+12345", "12345", true},
        {"1 011 1\n12\n", "+12345", "2345", false}};
    for (const auto &[file, asked, stored, match] : rows) {
        ASSERT_TRUE(load(file));
        EXPECT_EQ(compare_numbers(asked.c_str(), stored.c_str()), match) << asked << " " << stored;
        EXPECT_EQ(compare_numbers(stored.c_str(), asked.c_str()), match) << stored << " " << asked;
    }
    EXPECT_FALSE(compare_numbers(nullptr, "0033"));
    EXPECT_EQ(traced("Unable to determine the CCC entry"), 0u);
    ASSERT_TRUE(load("33 00 0\n"));
    EXPECT_FALSE(compare_numbers(("+99" + s).c_str(), ("0" + s).c_str()));
    EXPECT_FALSE(compare_numbers("00", ("0" + s).c_str()));
    EXPECT_EQ(traced("Unable to determine the CCC entry"), 2u);
}

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

    env.writeFile(PHONEBOOK_CCC_FILE, ""); // an empty table
    EXPECT_FALSE(compare_numbers("+33612345678", "0612345678"));
    EXPECT_EQ(traced("Unable to open"), 4u);
    EXPECT_EQ(traced("Unable to determine the CCC entry"), 2u);
    env.writeFile(PHONEBOOK_CCC_FILE, "33 00 0\n");
    EXPECT_TRUE(read_ccc_file());
    EXPECT_EQ(ccc_num, 0u); // loaded once
}

TEST_F(Ccc, ShippedTable) {
    ASSERT_TRUE(load(pbtest::fileText(CCC_DAT)));
    EXPECT_EQ(traced("Wrong format for CCC file"), 0u);
    for (uint32_t i = 0; i < ccc_num; i++) {
        EXPECT_LE(strlen(ccc_data[i].code), 3u) << ccc_data[i].code;
        EXPECT_GT(ccc_data[i].national_count, 0u) << ccc_data[i].code;
        EXPECT_TRUE(i == 0 || strcmp(ccc_data[i - 1].code, ccc_data[i].code) != 0);
    }
    const std::tuple<const char *, const char *, bool> rows[] = {
        {"+33612345678", "0612345678", true},    // France: trunk 0
        {"+16502530000", "16502530000", true},   // North America: trunk 1
        {"+74951234567", "84951234567", true},   // Russia: one digit, trunk 8
        {"+390612345678", "0612345678", true},   // Italy: the 0 is the number's
        {"+34912345678", "912345678", true},     // Spain: no trunk prefix
        {"+3612345678", "0612345678", true},     // Hungary: trunk 06
        {"+212612345678", "0612345678", true},   // Morocco: three digits
        {"+37061234567", "861234567", true},     // Lithuania: the old trunk 8
        {"+525512345678", "015512345678", true}, // Mexico: the old trunk 01
        {"+33612345678", "612345678", false},    {"+390612345678", "612345678", false},
        {"+33612345678", "0612345679", false}};
    for (const auto &[international, national, match] : rows)
        EXPECT_EQ(compare_numbers(international, national), match)
            << international << " " << national;
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
