// Pages, searches and followed changes against a plain recomputation after every change. Seeded.
#include <algorithm>
#include <map>
#include <set>

#include "collation.h"
#include "phonebook_test_support.hpp"

namespace {

using pbtest::json;
using Contacts = std::map<std::string, json>;
using Words = std::vector<std::string>;

const char *const kLocales[] = {"", "de", "de-u-co-phonebk", "sv", "cs", "es", "tr", "root"};
// Pieces of names: contractions, every kind of accent, case, other scripts.
const char *const kPieces[] = {"a",  "b", "ch", "c", "ll", "l", "ñ",  "n", "Ä", "ä",
                               "ae", "ö", "o",  "Ö", "å",  "ø", "æ",  "é", "e", "z",
                               "S",  "s", "m",  "M", "u",  "ü", "ue", "Ł", "ç", "ı",
                               "I",  "i", "İ",  "Σ", "б",  "Б", "th", "1", "9", "'"};

bool separator(unsigned char c) {
    return c < 0x80 && !isalnum(c);
}

Words split(const std::string &text) {
    Words words(1);
    for (unsigned char c : text)
        if (!separator(c))
            words.back() += static_cast<char>(c);
        else if (!words.back().empty())
            words.emplace_back();
    if (words.back().empty())
        words.pop_back();
    return words;
}

std::string digits(std::string text) {
    text.erase(
        std::remove_if(text.begin(), text.end(), [](unsigned char c) { return !isdigit(c); }),
        text.end());
    return text;
}

// Terms: each word with a letter, and each run of words of digits alone.
bool searchedByTerms(const std::string &text) {
    bool letter = false, separated = false;
    for (unsigned char c : text) {
        separated = separated || separator(c);
        letter = letter || !(separator(c) || isdigit(c));
    }
    return letter && separated;
}

std::vector<Words> termsOf(const std::string &text) {
    std::vector<Words> terms;
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

json page(const std::vector<json> &all, uint64_t offset, int count) {
    json contacts = json::array();
    for (uint64_t i = offset; i < all.size() && i < offset + count; ++i)
        contacts.push_back(all[i]);
    return {{"total", all.size()}, {"offset", offset}, {"contacts", contacts}};
}

struct Follower {
    std::string token;
    Contacts contacts;
    bool current = false; // its last answer said nothing more remains
};

class Listings : public pbtest::RandomChanges {
  protected:
    std::string word(int longest) {
        std::string text;
        for (int n = 1 + random.below(longest); n > 0; --n)
            text += kPieces[random.below(static_cast<int>(std::size(kPieces)))];
        return text;
    }
    const char *randomLocale() { return kLocales[random.below(std::size(kLocales))]; }
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
    const collation_t *chooseLocale(json &arguments) {
        std::string locale = defaultLocale();
        if (random.chance(60))
            arguments["locale"] = locale = randomLocale();
        return collation_forLocale(locale.c_str());
    }

    // The parts of the name, trimmed, between single blanks; else the formatted name.
    static std::string sortText(const json &contact, const std::string &sortBy) {
        if (sortBy == "lastRevision")
            return contact["lastRevision"];
        std::string joined, part;
        std::istringstream name(sortBy == "name" ? contact["name"].get<std::string>() : "");
        while (std::getline(name, part, ';')) {
            size_t first = part.find_first_not_of(' ');
            if (first != std::string::npos)
                joined += (joined.empty() ? "" : " ") +
                          part.substr(first, part.find_last_not_of(' ') + 1 - first);
        }
        return joined.empty() ? contact["formattedName"].get<std::string>() : joined;
    }
    static std::vector<json> sorted(const json &all, const std::string &sortBy,
                                    const collation_t *coll) {
        std::map<std::tuple<std::string, std::string, unsigned long>, json> keyed;
        for (const json &c : all) {
            std::string text = sortText(c, sortBy);
            keyed[{sortBy == "lastRevision"
                       ? text
                       : collation_sortKeyString(coll, text, COLLATION_TERTIARY),
                   c["uniqueID"].get<std::string>(), std::stoul(c["key"].get<std::string>())}] = c;
        }
        std::vector<json> contacts;
        for (const auto &k : keyed)
            contacts.push_back(k.second);
        return contacts;
    }
    std::string numberPart(const json &contact) {
        std::string number = contact["telephoneNumbers"][0]["name"];
        std::string part = number.substr(random.below(number.size()), 3 + random.below(3));
        return part.size() >= 3 ? part.insert(1, random.chance(50) ? " " : "-") : part;
    }
    std::string probe(const json &all) {
        if (all.empty() || random.chance(10))
            return word(2);
        const json &contact = all[random.below(all.size())];
        if (random.chance(20) && !contact["telephoneNumbers"].empty())
            return numberPart(contact);
        Words words = split(contact["formattedName"]);
        std::string text =
            words.empty() ? word(1) : random.pick(words).substr(0, 1 + random.below(4));
        for (char &c : text)
            if (c >= 'a' && c <= 'z' && random.chance(50))
                c = static_cast<char>(c - 'a' + 'A');
        return text;
    }
    // Beginnings of two or three words of one contact, maybe other probes, between separators.
    std::string probeWords(const json &all) {
        static const char *const separators[] = {" ", "  ", ", ", "-", "@", ".", " 0"};
        if (all.empty())
            return word(2) + " " + word(2);
        const json &contact = all[random.below(static_cast<int>(all.size()))];
        Words words = wordsOf(contact);
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
        bool descending = random.chance(30);
        int count = 1 + random.below(random.chance(20) ? 500 : 8);
        json arguments = {{"count", count}, {"descending", descending}};
        std::string sortBy = "formattedName";
        if (random.chance(80))
            arguments["sortBy"] = sortBy = sortBys[random.below(3)];
        const collation_t *coll = chooseLocale(arguments);
        std::vector<json> order = sorted(all, sortBy, coll);
        if (descending)
            std::reverse(order.begin(), order.end());
        uint64_t offset = random.below(static_cast<int>(all.size()) + 3);
        if (random.chance(30)) {
            std::string from = arguments["from"] = sortBy != "lastRevision" ? probe(all)
                                                   : order.empty()
                                                       ? "2026-12-08T00:00:00Z"
                                                       : sortText(random.pick(order), sortBy);
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
        ASSERT_EQ(call("getContactsRange", arguments), page(order, offset, count))
            << arguments.dump();
    }

    static Words wordsOf(const json &c) {
        std::string text = c["formattedName"].get<std::string>() + ";" +
                           c["name"].get<std::string>() + ";" +
                           c["organisation"].get<std::string>();
        for (const json &email : c["emails"])
            text += ";" + email["name"].get<std::string>();
        return split(text);
    }
    static bool weighs(const collation_t *coll, const std::string &text) {
        return !collation_sortKeyString(coll, text, COLLATION_PRIMARY).empty();
    }
    // A word begins with `text`, or a number holds the digits of `number` (at least three).
    static bool finds(const collation_t *coll, const json &c, const std::string &text,
                      const std::string &number) {
        Words words = wordsOf(c);
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
        for (const Words &term : termsOf(text)) {
            bool number = term.size() > 1 || digits(term[0]) == term[0];
            if (!number && !weighs(coll, term[0]))
                continue;
            anyWeighs = true;
            std::string run;
            bool eachBegins = true;
            for (const std::string &word : term) {
                run += word;
                eachBegins = eachBegins && finds(coll, c, word, "");
            }
            if (!eachBegins && !(number && finds(coll, c, "", run)))
                return false;
        }
        return anyWeighs;
    }

    void checkSearch(const json &all) {
        std::string text = random.chance(40)   ? probeWords(all)
                           : random.chance(10) ? probe(all) + " "
                                               : probe(all);
        int count = 1 + random.below(10);
        uint64_t offset = random.chance(70) ? 0 : random.below(5);
        json arguments = {{"text", text}, {"offset", offset}, {"count", count}};
        const collation_t *coll = chooseLocale(arguments);
        std::vector<json> found;
        for (const json &c : sorted(all, "formattedName", coll))
            if (searchedByTerms(text) ? findsEveryTerm(coll, c, text) : finds(coll, c, text, text))
                found.push_back(c);
        ASSERT_EQ(call("searchContacts", arguments), page(found, offset, count))
            << arguments.dump();
    }

    json since(const json &token, const json &count = 100) {
        return call("getChangesSince", {{"token", token}, {"count", count}});
    }
    // Up to `pages` answers, applied as a client does: deleted identifiers, then changes.
    void follow(Follower &follower, int pages, int count) {
        follower.current = false;
        for (; pages > 0 && !follower.current && !HasFailure(); --pages) {
            json answer = since(follower.token, count);
            if (answer == json{{"reset", true}}) {
                follower = Follower();
                continue;
            }
            ASSERT_TRUE(answer.contains("token")) << answer.dump();
            EXPECT_LE(answer["changed"].size() + answer["deleted"].size(), size_t(count));
            std::set<std::string> once;
            for (const json &id : answer["deleted"]) {
                EXPECT_TRUE(once.insert(id).second) << id;
                follower.contacts.erase(id);
            }
            for (const json &contact : answer["changed"]) {
                EXPECT_TRUE(once.insert(contact["uniqueID"]).second) << contact;
                follower.contacts[contact["uniqueID"]] = contact;
            }
            follower.token = answer["token"];
            follower.current = !answer["more"].get<bool>();
        }
    }
    Contacts phonebook() {
        Contacts contacts;
        for (const json &contact : allContacts())
            contacts[contact["uniqueID"]] = contact;
        return contacts;
    }
};

TEST_F(Listings, PagesSearchesAndFollowersAgreeWithARecomputationWhateverChangesThePhonebook) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        random = pbtest::Random(seed);
        // One follows to the end after every batch, the others part way, one in small pages.
        std::vector<Follower> followers(4);
        std::string lastWritten;
        for (int batch = 0; batch < 50 && !HasFailure(); ++batch) {
            if (!lastWritten.empty() && random.chance(50))
                host.set(lastWritten, {{"Title", "again " + freshName()}});
            for (int k = random.below(30); k > 0 && !HasFailure(); --k) {
                if (random.chance(2))
                    host.set("Phonebook", {{"SortLocale", randomLocale()}});
                else if (random.chance(5))
                    host.advance(1000 + random.below(5000)); // LastRevision differs
                randomChange();
                json all = allContacts();
                checkRange(all);
                checkSearch(all);
            }
            Words entries = entryPaths();
            lastWritten = entries.empty() ? "" : random.pick(entries);
            if (!lastWritten.empty())
                host.set(lastWritten, {{"Title", freshName()}});
            host.clearRecords();
            for (size_t i = 0; i < followers.size() && !HasFailure(); ++i) {
                follow(followers[i], i == 0 ? 1000 : random.below(4),
                       1 + random.below(i == 3 ? 3 : 40));
                if (followers[i].current) {
                    ASSERT_EQ(followers[i].contacts, phonebook()) << "follower " << i;
                }
            }
        }
        call("removeAllContacts");
    }
    EXPECT_GT(imports, 0);
}

TEST_F(Listings, TokensThisRunCannotAnswerGiveAReset) {
    json contacts = json::array();
    for (int i = 0; i < 120; ++i)
        contacts.push_back({{"uniqueID", freshName()}});
    call("addContacts", {{"contacts", contacts}});
    Follower follower;
    follow(follower, 10, 500);
    std::string token = follower.token, forged = token;
    const json reset = {{"reset", true}}, none = json::array();
    EXPECT_EQ(since(token),
              json({{"token", token}, {"changed", none}, {"deleted", none}, {"more", false}}));
    forged.back() = forged.back() == '0' ? '1' : '0';
    for (const std::string &bad :
         {forged, token.substr(0, token.size() - 1), token.substr(1), std::string("c0.0.0"),
          std::string(65536, 'c'), std::string("\xff\xfe\x80", 3), std::string("s") + token})
        EXPECT_EQ(since(bad), reset) << bad.substr(0, 80);
    // Older than the log remembers: changes of two entries by turns.
    object_t *ann = object("Phonebook.Entry.1"), *bob = object("Phonebook.Entry.2");
    for (int i = 0; i < 5001; ++i) {
        object_parameterSetCharValue(ann, "Title", std::to_string(i).c_str());
        object_parameterSetCharValue(bob, "Title", std::to_string(i).c_str());
        object_commit(ann);
        object_commit(bob);
    }
    host.clearRecords();
    EXPECT_EQ(since(token), reset);
    json recent = since("", 500);
    host.advance(10000);
    restart();
    EXPECT_EQ(since(recent["token"]), reset);
}

TEST_F(Listings, BadArgumentsGetAnErrorOrAnEmptyPageAndChangeNothing) {
    call("addContact", {{"contact", {{"uniqueID", "ann"}, {"formattedName", "Ann Müller"}}}});
    call("addContact", {{"contact", {{"uniqueID", "bob"}, {"formattedName", "Ørsted Bob"}}}});
    EXPECT_FALSE(host.set("Phonebook", {{"SortLocale", "xx-klingon"}}));
    EXPECT_TRUE(host.set("Phonebook", {{"SortLocale", "da"}}));
    host.advance(10000);
    std::string token = since("")["token"];
    json before = allContacts();
    host.clearRecords();

    auto error = [](const std::string &text) { return json{{"error", text}}; };
    const json badOffset = error("offset must be a whole number from 0");
    const json badCount = error("count must be a whole number from 1 to 500");
    const std::vector<json> all = before;
    const json nothing = page({}, 0, 1), onlyAnn = page({before[0]}, 0, 1);
    const char *range = "getContactsRange", *search = "searchContacts";
    // Rows: the function, its arguments or a list of them, the answer to each.
    const auto list = [](const char *text) { return json::parse(text); };
    const std::tuple<const char *, json, json> cases[] = {
        {range, list(R"([{"offset": -1}, {"offset": 2.5}, {"offset": "1"}, {"offset": true}])"),
         badOffset},
        {range, {{"offset", 1e15}}, page(all, 1e15, 1)},
        {range, list(R"([{"count": 0}, {"count": 501}, {"count": 1e12}, {"count": "5"}])"),
         badCount},
        {range, {{"sortBy", "phone"}}, error("unknown sortBy phone")},
        {range,
         {{"from", "yesterday"}, {"sortBy", "lastRevision"}},
         error("from must be a date-time when sorting by lastRevision")},
        {range, {{"from", std::string(65536, 'z')}}, page(all, 1, 100)}, // Danish: Ø after Z
        {search, {{"text", "a"}, {"locale", "qq"}}, error("unknown locale qq")},
        {search, {{"text", std::string(65536, 'a')}}, nothing},
        // Only the first eight words count, a repeated word once.
        {search, {{"text", "a an ann m mu mul mull mulle zzz"}, {"locale", "de"}}, onlyAnn},
        {search, {{"text", "ann ann ann ann ann ann ann ann ørsted"}, {"locale", "de"}}, nothing},
    };
    for (const auto &[function, rows, expected] : cases)
        for (const json &arguments : rows.is_array() ? rows : json::array({rows}))
            EXPECT_EQ(call(function, arguments), expected)
                << function << " " << arguments.dump().substr(0, 80);
    for (const json &count : {json(0), json(501), json(2.5), json("10"), json(false)})
        EXPECT_EQ(since(token, count), badCount) << count;

    host.advance(10000);
    EXPECT_EQ(allContacts(), before);
    EXPECT_EQ(saves(), 0u);
    EXPECT_TRUE(host.notifications.empty());
    EXPECT_EQ(since(token)["changed"], json::array()); // nothing entered the log
    restart();                                         // the locale was saved
    EXPECT_EQ(defaultLocale(), "da");
}

} // namespace
