// An import of a file: every card reaches the phonebook once in the order of
// the file, whatever ends a batch; the report keeps the first refusals and
// counts the rest.
#include <gtest/gtest.h>

#include "import_phonebook.hpp"

#include <string>
#include <vector>

namespace {

using importtest::kCardLines;
using vcard::json;

TEST(VcardImport, EveryCardReachesThePhonebookOnceInTheOrderOfTheFile) {
    struct Case {
        const char *what;
        size_t cards, repeat, cardSize;
        size_t batches, added;
    } cases[] = {
        {"batches of 250 cards", 600, 0, 0, 3, 600},
        {"batches of 1 MiB", 10, 0, 300000, 4, 10},
        {"a UID twice ends a batch", 5, 2, 0, 2, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        importtest::Phonebook phonebook;
        phonebook.cardSize = c.cardSize;
        vcard::Import import(importtest::cards(c.cards, c.repeat), {});
        import.run(phonebook.calls());
        std::vector<std::string> expected;
        for (size_t i = 0; i < c.cards; ++i)
            expected.push_back(importtest::uniqueID(i, c.repeat));
        EXPECT_EQ(phonebook.given, expected);
        EXPECT_EQ(phonebook.batches, c.batches);
        EXPECT_EQ(import.report().added, c.added);
        EXPECT_EQ(import.report().summary(false)["failed"], c.cards - c.added);
    }
}

TEST(VcardImport, TheReportKeepsTheFirstRefusalsAndCountsTheRest) {
    struct Case {
        size_t max, cards;
        size_t kept, more;
    } cases[] = {
        {0, 100, 100, 0},
        {0, 101, 100, 1},
        {20, 150, 100, 30},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.cards) + " cards, room for " + std::to_string(c.max));
        importtest::Phonebook phonebook;
        phonebook.max = c.max;
        vcard::Import import(importtest::cards(c.cards), {});
        import.run(phonebook.calls());
        const vcard::ImportReport &report = import.report();
        ASSERT_EQ(report.refused.size(), c.kept);
        EXPECT_EQ(report.moreRefused, c.more);
        EXPECT_EQ(report.added, c.max);
        EXPECT_EQ(report.summary(false)["failed"], c.cards - c.max);
        // The first ones refused, in the order of the file.
        EXPECT_EQ(report.refused.front().line, c.max * kCardLines + 1);
        EXPECT_EQ(report.refused.back().line, (c.max + c.kept - 1) * kCardLines + 1);
        EXPECT_EQ(report.refused.back().reason,
                  "the phonebook is full (MaxNumberOfEntries " + std::to_string(c.max) + ")");
    }
}

} // namespace
