// The plug-in's index of stored numbers against the walk on random tables, while
// a phonebook changes in every way a client can change it. Seeded.
#include "phonebook_test_support.hpp"
#include "phonebook_zeb.h"

namespace {

using pbtest::json;
using pbtest::Random;
using Notation = std::pair<bool, std::string>;

// Codes that begin one another, national prefixes that are empty, shared or
// many; sometimes a code of four digits, which the table never finds.
std::string randomTable(Random &random) {
    std::string table;
    for (int records = 1 + random.below(6); records > 0; --records) {
        table += std::string(1, "134"[random.below(3)]) + random.text("34", 2) +
                 (random.chance(10) ? "41" : "");
        if (random.chance(80)) {
            table += " 00 ";
            for (int n = random.below(4), i = 0; i < n; ++i)
                table += (i > 0 ? "," : "") + random.text("01", 2);
        }
        table += "\n";
    }
    return table;
}

// Every notation, blanks now and then, and numbers too short to match.
std::string randomNumber(Random &random) {
    static const std::vector<std::string> indicators = {"", "", "+", "00"};
    std::string number = random.pick(indicators) + random.text("01344", 7);
    if (random.chance(5))
        number.insert(number.size() / 2, " ");
    return number;
}

Notation notationOf(const std::string &number) {
    bool international = false;
    const char *text = nullptr;
    number_notation(number.c_str(), &international, &text);
    return {international, text};
}

// The stored number in the other notation through the first national prefix of
// a random record of the table, when the record fits it; else a random number.
std::string otherNotation(Random &random, const std::string &stored) {
    auto [international, text] = notationOf(stored);
    if (!read_ccc_file() || ccc_num == 0)
        return randomNumber(random);
    const ccc_entry *record = &ccc_data[random.below(static_cast<int>(ccc_num))];
    if (record->national_count == 0)
        return randomNumber(random);
    const std::string prefix = record->code + record->national_offset, code = record->code;
    if (international && text.compare(0, code.size(), code) == 0)
        return prefix + text.substr(code.size());
    if (!international && text.compare(0, prefix.size(), prefix) == 0)
        return "+" + code + text.substr(prefix.size());
    return randomNumber(random);
}

// The plug-in as the host loads it, and the walk over its data model.
class NumberIndex : public pbtest::RandomChanges {
  protected:
    int hits = 0;

    std::string randomNumber() override { return ::randomNumber(random); }
    std::vector<std::string> numberPaths() const {
        std::vector<std::string> paths;
        for (const std::string &entry : entryPaths())
            for (object_t *n = object_firstInstance(object(entry + ".TelephoneNumber")); n;
                 n = object_nextInstance(n))
                paths.push_back(entry + ".TelephoneNumber." + std::to_string(object_index(n)));
        return paths;
    }
    // Now and then one of the stored numbers in another notation, else any.
    std::string randomAsked() {
        std::vector<std::string> numbers = numberPaths();
        if (numbers.empty() || random.chance(40))
            return randomNumber();
        std::string stored = host.get(random.pick(numbers) + ".Number").toJson();
        return random.chance(50) ? otherNotation(random, stored) : "+" + notationOf(stored).second;
    }
    void expectTheWalksAnswer(const std::string &asked) {
        object_t *walked = number_findEntryByWalk(object("Phonebook"), asked.c_str());
        json found = call("getContactByNumber", {{"number", asked}});
        std::string expected =
            walked ? variant_da_char(object_parameterValue(walked, "UniqueID")) : "";
        ASSERT_EQ(found.is_null() ? "" : found.value("uniqueID", "?"), expected) << asked;
        hits += walked != nullptr;
    }
};

TEST_F(NumberIndex, AnswersAsTheWalkThroughEveryKindOfChange) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        random = Random(seed);
        host.stop();
        release_ccc_data(); // the walk's own copy of the table
        host.writeFile("/usr/lib/phonebook/CCC.dat", randomTable(random));
        std::filesystem::remove(host.path("/cfg/system/phonebook.odl"));
        start();
        for (int step = 0; step < 150 && !HasFailure(); ++step) {
            randomChange();
            for (int n = 0; n < 4; ++n)
                expectTheWalksAnswer(randomAsked());
            host.clearRecords();
        }
    }
    EXPECT_GT(hits, 600);
}

} // namespace
