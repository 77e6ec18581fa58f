// getContactsRange and searchContacts: after every change, however made,
// their pages are those of a plain recomputation (sort everything, filter
// everything); bad arguments get an error or an empty page and change
// nothing. Seeded: a failure names its seed.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "collation.h"
#include "random_changes.hpp"

namespace {

using pbtest::json;

const char *const kLocales[] = {"", "de", "de-u-co-phonebk", "sv", "cs", "es", "tr", "root"};
// Pieces of names: contractions, every kind of accent, case, other scripts.
const char *const kPieces[] = {"a",  "b", "ch", "c", "ll", "l", "ñ",  "n", "Ä", "ä",
                               "ae", "ö", "o",  "Ö", "å",  "ø", "æ",  "é", "e", "z",
                               "S",  "s", "m",  "M", "u",  "ü", "ue", "Ł", "ç", "ı",
                               "I",  "i", "İ",  "Σ", "б",  "Б", "th", "1", "9", "'"};

std::vector<std::string> split(const std::string &text) {
    std::vector<std::string> words;
    std::string word;
    for (unsigned char c : text + " ") {
        bool separator = c < 0x80 && !isalnum(c);
        if (!separator)
            word += static_cast<char>(c);
        else if (!word.empty())
            words.push_back(std::exchange(word, ""));
    }
    return words;
}

std::string digits(const std::string &text) {
    std::string only;
    for (char c : text)
        if (c >= '0' && c <= '9')
            only += c;
    return only;
}

// A text of several words is looked for by its terms: each word with a
// letter, and each run of words of digits alone (found by its digits).
bool searchedByTerms(const std::string &text) {
    auto separator = [](unsigned char c) { return c < 0x80 && !isalnum(c); };
    bool letter = false;
    bool separated = false;
    for (unsigned char c : text) {
        separated = separated || separator(c);
        letter = letter || !(separator(c) || isdigit(c));
    }
    return letter && separated;
}

std::vector<std::vector<std::string>> termsOf(const std::string &text) {
    std::vector<std::vector<std::string>> terms;
    bool inRun = false;
    for (const std::string &word : split(text)) {
        bool number = digits(word) == word;
        if (!(number && inRun))
            terms.emplace_back();
        terms.back().push_back(word);
        inRun = number;
    }
    return terms;
}

class Ranges : public pbtest::RandomChanges {
  protected:
    std::string word(int longest) {
        std::string text;
        for (int n = 1 + random.below(longest); n > 0; --n)
            text += kPieces[random.below(static_cast<int>(std::size(kPieces)))];
        return text;
    }
    json randomContact() override {
        json contact = RandomChanges::randomContact();
        contact["formattedName"] = word(4) + (random.chance(70) ? " " + word(5) : "");
        contact["name"] = random.chance(50) ? word(4) + ";" + word(3) + ";;" : "";
        contact["organisation"] = random.chance(30) ? word(3) + "-" + word(3) : "";
        contact["emails"] = json::array();
        if (random.chance(50))
            contact["emails"].push_back({{"name", word(3) + "." + word(2) + "@mail.example"}});
        return contact;
    }
    std::string defaultLocale() { return host.get("Phonebook.SortLocale").toJson(); }

    // The sort text of a contact under sortBy.
    static std::string sortText(const json &contact, const std::string &sortBy) {
        if (sortBy == "name") {
            std::string joined;
            std::string name = contact["name"];
            for (size_t start = 0; start <= name.size();) {
                size_t end = std::min(name.find(';', start), name.size());
                std::string part = name.substr(start, end - start);
                size_t first = part.find_first_not_of(' ');
                if (first != std::string::npos)
                    joined += (joined.empty() ? "" : " ") +
                              part.substr(first, part.find_last_not_of(' ') + 1 - first);
                start = end + 1;
            }
            if (!joined.empty())
                return joined;
        }
        return contact[sortBy == "lastRevision" ? "lastRevision" : "formattedName"];
    }
    // Everything sorted by (key, UniqueID, instance).
    static std::vector<json> sorted(const json &all, const std::string &sortBy,
                                    const collation_t *coll) {
        std::vector<std::pair<std::string, json>> keyed;
        for (const json &contact : all) {
            std::string text = sortText(contact, sortBy);
            std::string key = sortBy == "lastRevision"
                                  ? text
                                  : collation_sortKeyString(coll, text, COLLATION_TERTIARY);
            keyed.emplace_back(key, contact);
        }
        std::sort(keyed.begin(), keyed.end(), [](const auto &a, const auto &b) {
            return std::make_tuple(a.first, a.second["uniqueID"].template get<std::string>(),
                                   std::stoul(a.second["key"].template get<std::string>())) <
                   std::make_tuple(b.first, b.second["uniqueID"].template get<std::string>(),
                                   std::stoul(b.second["key"].template get<std::string>()));
        });
        std::vector<json> contacts;
        for (auto &[key, contact] : keyed)
            contacts.push_back(contact);
        return contacts;
    }
    static json page(const std::vector<json> &all, uint64_t offset, int count) {
        json contacts = json::array();
        for (uint64_t i = offset; i < all.size() && i < offset + count; ++i)
            contacts.push_back(all[i]);
        return contacts;
    }
    // A few digits of the contact's first number, a separator among them.
    std::string numberPart(const json &contact) {
        std::string number = contact["telephoneNumbers"][0]["name"];
        size_t at = random.below(number.size());
        std::string part = number.substr(at, 3 + random.below(3));
        return part.size() >= 3 ? part.insert(1, random.chance(50) ? " " : "-") : part;
    }
    // A text to look for: the start of a word or number of a contact, its
    // case or accents changed, or anything.
    std::string probe(const json &all) {
        if (all.empty() || random.chance(10))
            return word(2);
        const json &contact = all[random.below(all.size())];
        if (random.chance(20) && !contact["telephoneNumbers"].empty())
            return numberPart(contact);
        std::vector<std::string> words = split(contact["formattedName"]);
        if (words.empty())
            return word(1);
        std::string text = random.pick(words).substr(0, 1 + random.below(4));
        for (char &c : text)
            if (c >= 'a' && c <= 'z' && random.chance(50))
                c = static_cast<char>(c - 'a' + 'A');
        return text;
    }

    // A text of two or three words: beginnings of the words of one contact,
    // maybe mixed with other probes, between separators.
    std::string probeWords(const json &all) {
        static const char *const separators[] = {" ", "  ", ", ", "-", "@", ".", " 0"};
        if (all.empty())
            return word(2) + " " + word(2);
        const json &contact = all[random.below(static_cast<int>(all.size()))];
        std::vector<std::string> words = wordsOf(contact);
        std::string text;
        for (int n = 2 + random.below(2); n > 0; --n) {
            if (!text.empty())
                text += separators[random.below(static_cast<int>(std::size(separators)))];
            if (words.empty() || random.chance(25))
                text += probe(all);
            else if (random.chance(20) && !contact["telephoneNumbers"].empty())
                text += numberPart(contact);
            else
                text += random.pick(words).substr(0, 1 + random.below(5));
        }
        return text;
    }

    void checkRange(const json &all) {
        static const char *const sortBys[] = {"formattedName", "name", "lastRevision"};
        std::string sortBy = sortBys[random.below(3)];
        std::string locale = kLocales[random.below(static_cast<int>(std::size(kLocales)))];
        bool descending = random.chance(30);
        int count = 1 + random.below(random.chance(20) ? 500 : 8);
        json arguments = {{"count", count}, {"descending", descending}};
        if (random.chance(80))
            arguments["sortBy"] = sortBy;
        else
            sortBy = "formattedName";
        if (random.chance(60))
            arguments["locale"] = locale;
        else
            locale = defaultLocale();
        const collation_t *coll = collation_forLocale(locale.c_str());
        std::vector<json> order = sorted(all, sortBy, coll);
        if (descending)
            std::reverse(order.begin(), order.end());
        uint64_t offset = random.below(static_cast<int>(all.size()) + 3);
        if (random.chance(30)) {
            std::string from = sortBy != "lastRevision" ? probe(all)
                               : order.empty()          ? "2026-12-08T00:00:00Z"
                                                        : sortText(random.pick(order), sortBy);
            arguments["from"] = from;
            offset = std::count_if(order.begin(), order.end(), [&](const json &c) {
                std::string text = sortText(c, sortBy);
                if (sortBy == "lastRevision")
                    return descending ? text > from : text < from;
                int sign = collation_compare(coll, text.data(), text.size(), from.data(),
                                             from.size(), COLLATION_PRIMARY);
                return descending
                           ? sign > 0 && !collation_primaryPrefix(coll, text.data(), text.size(),
                                                                  from.data(), from.size())
                           : sign < 0;
            });
        } else {
            arguments["offset"] = offset;
        }
        json expected = {
            {"total", all.size()}, {"offset", offset}, {"contacts", page(order, offset, count)}};
        ASSERT_EQ(host.call("Phonebook", "getContactsRange", arguments).value(), expected)
            << arguments.dump();
    }

    static std::vector<std::string> wordsOf(const json &c) {
        std::vector<std::string> words = split(c["formattedName"]);
        for (const char *field : {"name", "organisation"})
            for (const std::string &w : split(c[field]))
                words.push_back(w);
        for (const json &email : c["emails"])
            for (const std::string &w : split(email["name"]))
                words.push_back(w);
        return words;
    }
    static bool weighs(const collation_t *coll, const std::string &text) {
        return !collation_sortKeyString(coll, text, COLLATION_PRIMARY).empty();
    }
    // Whether a word of the contact begins with `text`, or a number holds
    // the digits of `number` (at least three).
    static bool finds(const collation_t *coll, const json &c, const std::string &text,
                      const std::string &number) {
        std::vector<std::string> words = wordsOf(c);
        bool match =
            weighs(coll, text) && std::any_of(words.begin(), words.end(), [&](auto &w) {
                return collation_primaryPrefix(coll, w.data(), w.size(), text.data(), text.size());
            });
        std::string wanted = digits(number);
        for (const json &n : c["telephoneNumbers"])
            match = match ||
                    (wanted.size() >= 3 && digits(n["name"]).find(wanted) != std::string::npos);
        return match;
    }
    static bool findsEveryTerm(const collation_t *coll, const json &c, const std::string &text) {
        bool anyWeighs = false;
        for (const std::vector<std::string> &term : termsOf(text)) {
            if (term.size() == 1 && digits(term[0]) != term[0]) {
                if (!weighs(coll, term[0]))
                    continue;
                anyWeighs = true;
                if (!finds(coll, c, term[0], ""))
                    return false;
                continue;
            }
            anyWeighs = true;
            std::string run;
            bool eachBegins = true;
            for (const std::string &word : term) {
                run += word;
                eachBegins = eachBegins && finds(coll, c, word, "");
            }
            if (!eachBegins && !finds(coll, c, "", run))
                return false;
        }
        return anyWeighs;
    }

    void checkSearch(const json &all) {
        std::string text = random.chance(40)   ? probeWords(all)
                           : random.chance(10) ? probe(all) + " "
                                               : probe(all);
        std::string locale = kLocales[random.below(static_cast<int>(std::size(kLocales)))];
        int count = 1 + random.below(10);
        uint64_t offset = random.chance(70) ? 0 : random.below(5);
        json arguments = {{"text", text}, {"offset", offset}, {"count", count}};
        if (random.chance(60))
            arguments["locale"] = locale;
        else
            locale = defaultLocale();
        const collation_t *coll = collation_forLocale(locale.c_str());
        std::vector<json> found;
        for (const json &c : sorted(all, "formattedName", coll))
            if (searchedByTerms(text) ? findsEveryTerm(coll, c, text) : finds(coll, c, text, text))
                found.push_back(c);
        json expected = {
            {"total", found.size()}, {"offset", offset}, {"contacts", page(found, offset, count)}};
        ASSERT_EQ(host.call("Phonebook", "searchContacts", arguments).value(), expected)
            << arguments.dump();
    }
};

TEST_F(Ranges, PagesAndSearchesAreThoseOfARecomputationWhateverChangesThePhonebook) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        random = pbtest::Random(seed);
        for (int change = 0; change < 800 && !HasFailure(); ++change) {
            if (random.chance(2))
                host.set("Phonebook",
                         {{"SortLocale",
                           kLocales[random.below(static_cast<int>(std::size(kLocales)))]}});
            else if (random.chance(5))
                host.advance(1000 + random.below(5000)); // LastRevision differs
            randomChange();
            json all = allContacts();
            checkRange(all);
            checkSearch(all);
        }
        call("removeAllContacts", json::object());
    }
    EXPECT_GT(imports, 0);
}

TEST_F(Ranges, ATextOfSeveralWordsFindsTheContactsThatEachOfItsWordsFinds) {
    const json book = {
        {{"uniqueID", "ann"},
         {"formattedName", "Ann Smith"},
         {"emails", {{{"name", "ann.smith@mail.example"}}}},
         {"telephoneNumbers", {{{"name", "+44 20 7946 0000"}}}}},
        {{"uniqueID", "anna"}, {"formattedName", "Anna Smithers"}, {"organisation", "Müller"}},
        {{"uniqueID", "bob"},
         {"formattedName", "Bob Jones"},
         {"telephoneNumbers", {{{"name", "0171 5551234"}}}}},
        {{"uniqueID", "room"}, {"formattedName", "Room 101"}},
    };
    call("addContacts", {{"contacts", book}});
    std::map<std::string, json> byID;
    for (const json &contact : allContacts())
        byID[contact["uniqueID"]] = contact;

    struct Case {
        const char *text;
        std::vector<const char *> found;
    };
    const Case cases[] = {
        {"ann smi", {"ann", "anna"}},
        {"SMITHERS ann", {"anna"}},
        {"ann 7946", {"ann"}},
        {"bob 0171 555", {"bob"}}, // the digits of a run together
        {"bob 0171 1234", {}},     // not "0171" and "1234" apart
        {"room 101", {"room"}},    // digits as the beginning of a word
        {"ann ann", {"ann", "anna"}},
        {"ann ", {"ann", "anna"}},
        {"ann.smith@mail", {"ann"}},
        {"müller anna", {"anna"}},
        {"ann zzz", {}},
        {"   ", {}},
        {", .", {}},
        {"a an ann s sm smi smit smith zzz", {"ann", "anna"}},  // the first 8 words
        {"ann ann ann ann ann ann ann ann smithers", {"anna"}}, // a repeated word once
    };
    for (const Case &c : cases) {
        json contacts = json::array();
        for (const char *id : c.found)
            contacts.push_back(byID[id]);
        json expected = {{"total", c.found.size()}, {"offset", 0}, {"contacts", contacts}};
        EXPECT_EQ(host.call("Phonebook", "searchContacts", {{"text", c.text}}).value(), expected)
            << c.text;
    }
    EXPECT_EQ(host.call("Phonebook", "searchContacts",
                        {{"text", "smi, ann"}, {"offset", 1}, {"count", 1}})
                  .value(),
              json({{"total", 2}, {"offset", 1}, {"contacts", {byID["anna"]}}}));
}

TEST_F(Ranges, BadArgumentsGetAnErrorOrAnEmptyPageAndChangeNothing) {
    call("addContact", {{"contact", {{"uniqueID", "ann"}, {"formattedName", "Ann Müller"}}}});
    call("addContact", {{"contact", {{"uniqueID", "bob"}, {"formattedName", "Ørsted Bob"}}}});
    EXPECT_FALSE(host.set("Phonebook", {{"SortLocale", "xx-klingon"}}));
    EXPECT_TRUE(host.set("Phonebook", {{"SortLocale", "da"}}));
    host.advance(10000);
    json before = allContacts();
    host.clearRecords();

    const json badOffset = {{"error", "offset must be a whole number from 0"}};
    const json badCount = {{"error", "count must be a whole number from 1 to 500"}};
    const json empty = {{"total", 2}, {"offset", 1e15}, {"contacts", json::array()}};
    const std::string big(65536, 'a');
    const std::string invalid("\xff\xc3(\xe2\x82", 5);
    const std::vector<std::pair<json, json>> ranges = {
        {{{"offset", -1}}, badOffset},
        {{{"offset", 2.5}}, badOffset},
        {{{"offset", "1"}}, badOffset},
        {{{"offset", true}}, badOffset},
        {{{"offset", {1}}}, badOffset},
        {{{"offset", 1e15}}, empty},
        {{{"count", 0}}, badCount},
        {{{"count", -3}}, badCount},
        {{{"count", 501}}, badCount},
        {{{"count", 1e12}}, badCount},
        {{{"count", "5"}}, badCount},
        {{{"count", json::object()}}, badCount},
        {{{"sortBy", 1}}, {{"error", "sortBy must be a text"}}},
        {{{"sortBy", "phone"}}, {{"error", "unknown sortBy phone"}}},
        {{{"locale", false}}, {{"error", "locale must be a text"}}},
        {{{"locale", "xx-klingon"}}, {{"error", "unknown locale xx-klingon"}}},
        {{{"descending", "yes"}}, {{"error", "descending must be a boolean"}}},
        {{{"descending", 1}}, {{"error", "descending must be a boolean"}}},
        {{{"from", 7}}, {{"error", "from must be a text"}}},
        {{{"from", "yesterday"}, {"sortBy", "lastRevision"}},
         {{"error", "from must be a date-time when sorting by lastRevision"}}},
        // Danish: Ø after Z (and "aa" is å, after Ø).
        {{{"from", std::string(65536, 'z')}},
         {{"total", 2}, {"offset", 1}, {"contacts", {before[1]}}}},
        {{{"from", invalid}, {"count", 1}},
         {{"total", 2}, {"offset", 2}, {"contacts", json::array()}}},
    };
    for (const auto &[arguments, expected] : ranges)
        EXPECT_EQ(host.call("Phonebook", "getContactsRange", arguments).value(), expected)
            << arguments.dump().substr(0, 80);

    const json nothing = {{"total", 0}, {"offset", 0}, {"contacts", json::array()}};
    const std::vector<std::pair<json, json>> searches = {
        {json::object(), {{"error", "text must be a text"}}},
        {{{"text", 12}}, {{"error", "text must be a text"}}},
        {{{"text", "a"}, {"offset", -1}}, badOffset},
        {{{"text", "a"}, {"count", 900}}, badCount},
        {{{"text", "a"}, {"locale", "qq"}}, {{"error", "unknown locale qq"}}},
        {{{"text", ""}}, nothing},
        {{{"text", big}}, nothing},
        {{{"text", invalid}}, nothing},
        {{{"text", "MUL"}, {"locale", "de"}},
         {{"total", 1}, {"offset", 0}, {"contacts", {before[0]}}}},
        {{{"text", "o"}}, nothing}, // Ø is a letter of its own in Danish
    };
    for (const auto &[arguments, expected] : searches)
        EXPECT_EQ(host.call("Phonebook", "searchContacts", arguments).value(), expected)
            << arguments.dump().substr(0, 80);

    auto positional = host.callPositional("Phonebook", "getContactsRange", {1, 1});
    EXPECT_EQ(positional.value()["contacts"], json({before[1]}));

    host.advance(10000);
    EXPECT_EQ(allContacts(), before);
    EXPECT_EQ(saves(), 0u);
    EXPECT_TRUE(host.notifications.empty());
    restart(); // the locale was saved
    EXPECT_EQ(defaultLocale(), "da");
}

} // namespace
