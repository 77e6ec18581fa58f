// The peers of the lookup by number answer what the plug-in answers: the
// first contact holding a matching number, on a small phonebook whose
// numbers exercise each rule of the matching.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "number_peers.hpp"

namespace {

const std::vector<peers::HeldNumber> kBook = {
    {0, "0140000000"},    // national, Paris
    {1, "0033612345678"}, // international, as the plug-in keeps "+33..."
    {2, "0612345678"},    // the same line as contact 1, national
    {3, "1"},             // too short to match anything
    {4, "0033 6 12"},     // blanks are part of the number
    {5, "+16502530000"},  // NANP: national with and without the trunk 1
    {6, "00"},            // an indicator alone
    {6, "0044201234567"}, // a contact's second number
};

class NumberPeers : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { peers::loadCallingCodes(CCC_DAT); }
};

TEST_F(NumberPeers, FloorAndSqliteFindTheFirstContactHoldingTheLine) {
    peers::Floor floor(kBook);
    peers::Sqlite sqlite(kBook);
    const std::vector<std::pair<const char *, int>> expected = {
        // Same notation as stored, "+" and "00" alike.
        {"0140000000", 0},
        {"+33612345678", 1},
        {"0033612345678", 1},
        {"0033 6 12", 4},
        {"+16502530000", 5},
        {"00", 6},
        // Mixed: the first contact in order, whichever notation it holds.
        {"0612345678", 1},
        {"+33140000000", 0},
        {"0 6 12", 4},
        {"6502530000", 5},
        {"16502530000", 5},
        {"020 1234 567", -1},
        {"0201234567", 6},
        // Not the same line.
        {"+3361234567", -1},
        {"0033 612", -1},
        {"+33612345678 ", -1},
        {"0612345679", -1},
        {"1", -1},
        {"", -1},
        {"+", -1},
    };
    for (const auto &[asked, contact] : expected) {
        EXPECT_EQ(floor.find(asked), contact) << asked;
        EXPECT_EQ(sqlite.find(asked), contact) << asked;
    }
}

TEST_F(NumberPeers, SqliteKeepsTheFirstContactOfANotationHeldTwice) {
    std::vector<peers::HeldNumber> book = {
        {0, "0611111111"}, {1, "0033622222222"}, {2, "0622222222"}, {3, "0033611111111"}};
    peers::Sqlite sqlite(book);
    EXPECT_EQ(sqlite.find("0622222222"), 1);
    EXPECT_EQ(sqlite.find("+33611111111"), 0);
    EXPECT_EQ(sqlite.find("0033622222222"), 1);
}

// Numbers drawn from few characters, so that many of them designate the same
// line in the two notations, through the shipped table's codes and prefixes.
TEST_F(NumberPeers, SqliteAnswersAsTheFloorOnRandomNumbers) {
    std::mt19937 random(20261206);
    const std::string alphabet = "0013344 +";
    auto number = [&] {
        std::string text;
        for (size_t length = random() % 9; text.size() < length;)
            text += alphabet[random() % alphabet.size()];
        return text;
    };
    std::vector<peers::HeldNumber> book;
    for (int contact = 0; contact < 300; ++contact) {
        for (unsigned held = random() % 3; held > 0; --held)
            book.push_back({contact, number()});
    }
    peers::Floor floor(book);
    peers::Sqlite sqlite(book);
    int found = 0;
    for (int i = 0; i < 2000; ++i) {
        std::string asked = number();
        int first = floor.find(asked.c_str());
        ASSERT_EQ(sqlite.find(asked.c_str()), first) << '"' << asked << '"';
        found += first >= 0;
    }
    // Not a comparison of two empty answers.
    EXPECT_GT(found, 200);
}

// libphonenumber ignores blanks, and reads "00" as an indicator only when
// the other number tells the region.
TEST_F(NumberPeers, LibphonenumberDisagreementsAreCounted) {
    peers::Libphonenumber libphonenumber(kBook);
    auto verdicts = [&](const char *asked) {
        peers::Libphonenumber::Verdicts found = libphonenumber.verdicts(asked);
        EXPECT_EQ(libphonenumber.find(asked), found.first) << asked;
        return std::make_pair(found.first, found.judgedOtherwise);
    };
    EXPECT_EQ(verdicts("+33612345678"), std::make_pair(1, size_t{0}));
    // Contacts 1 and 2, that compare_numbers rejects for the blanks.
    EXPECT_EQ(verdicts("+33 6 12 34 56 78"), std::make_pair(1, size_t{2}));
    // Against "0033...", without a region, a national number only ends it.
    EXPECT_EQ(verdicts("0612345678"), std::make_pair(2, size_t{1}));
    EXPECT_EQ(verdicts("0699999999"), std::make_pair(-1, size_t{0}));
}

TEST_F(NumberPeers, LoadingTheTableLeavesTheSystemRootAlone) {
    setenv("ZEB_SYSROOT", "/nonexistent", 1);
    peers::loadCallingCodes(CCC_DAT);
    EXPECT_STREQ(std::getenv("ZEB_SYSROOT"), "/nonexistent");
    unsetenv("ZEB_SYSROOT");
    EXPECT_THROW(peers::loadCallingCodes("/nonexistent/CCC.dat"), std::exception);
    EXPECT_EQ(std::getenv("ZEB_SYSROOT"), nullptr);
}

} // namespace
