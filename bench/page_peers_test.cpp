// The page peers answer what the plug-in answers: the same contacts in the
// same order for every page, jump and search of a small phonebook whose
// names need the collation (accents, case, other scripts, digits).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "page_peers.hpp"
#include "test_host.hpp"

namespace {

using zebtest::json;

const std::vector<json> kBook = {
    {{"uniqueID", "u01"}, {"formattedName", "Müller"}, {"emails", {{{"name", "mm@example.com"}}}}},
    {{"uniqueID", "u02"}, {"formattedName", "Muller"}, {"organisation", "Zorn & Co"}},
    {{"uniqueID", "u03"}, {"formattedName", "Mueller"}},
    {{"uniqueID", "u04"}, {"formattedName", "MÜLLER"}},
    {{"uniqueID", "u05"}, {"formattedName", "Ärger"}},
    {{"uniqueID", "u06"}, {"formattedName", "Zorn"}},
    {{"uniqueID", "u07"}, {"formattedName", "Ørsted"}},
    {{"uniqueID", "u08"}, {"formattedName", "Anna"}},
    {{"uniqueID", "u09"}, {"formattedName", "anna"}}, // before u08, by case alone
    {{"uniqueID", "u10"}, {"formattedName", "Contact 10"}},
    {{"uniqueID", "u11"}, {"formattedName", "Contact 2"}, {"name", "Smith;Mila;;"}},
    {{"uniqueID", "u12"},
     {"formattedName", "Σοφία"},
     {"telephoneNumbers", {{{"name", "0033 6 12 34 56 78"}}}}},
    {{"uniqueID", "u13"}, {"formattedName", ""}, {"telephoneNumbers", {{{"name", "0612"}}}}},
};

std::vector<std::string> textsOf(const json &contact, const char *field) {
    std::vector<std::string> texts;
    for (const json &item : contact.value(field, json::array()))
        texts.push_back(item["name"]);
    return texts;
}

// The peers hold each contact's UniqueID as its text: a page is the list of
// its UniqueIDs.
std::vector<peers::PagedContact> pagedBook(const collation_t *coll) {
    std::vector<peers::PagedContact> paged;
    for (const json &contact : kBook) {
        std::vector<std::string> texts = textsOf(contact, "emails");
        for (const char *field : {"formattedName", "name", "organisation"})
            texts.push_back(contact.value(field, ""));
        paged.push_back(peers::pagedContact(coll, contact["uniqueID"], contact["formattedName"],
                                            texts, textsOf(contact, "telephoneNumbers"),
                                            contact["uniqueID"]));
    }
    return paged;
}

peers::Page uniqueIDs(const zebtest::CallResult &answer) {
    json value = answer.ok ? answer.value() : json();
    if (!value.contains("contacts"))
        return {"error"};
    peers::Page page;
    for (const json &contact : value["contacts"])
        page.push_back(contact["uniqueID"]);
    return page;
}

TEST(PagePeers, AnswerThePagesJumpsAndSearchesOfThePlugin) {
    zebtest::TestHost host(0);
    ASSERT_TRUE(host.start(PHONEBOOK_DEFINITION)) << host.lastError();
    ASSERT_EQ(host.call("Phonebook", "addContacts", {{"contacts", kBook}}).value(), true);
    ASSERT_EQ(host.call("Phonebook", "getNumberOfContacts").value(), kBook.size());
    for (const char *locale : {"root", "de", "sv"}) {
        const collation_t *coll = collation_forLocale(locale);
        peers::SortFloor floor(coll, pagedBook(coll));
        peers::SqlitePages sqlite(coll, pagedBook(coll));
        auto expect = [&](const json &named, const char *function, const peers::Page &fromFloor,
                          const peers::Page &fromSqlite) {
            json asked = named;
            asked["locale"] = locale;
            peers::Page plugin = uniqueIDs(host.call("Phonebook", function, asked));
            EXPECT_EQ(fromFloor, plugin) << locale << " " << function << asked.dump();
            EXPECT_EQ(fromSqlite, plugin) << locale << " " << function << asked.dump();
        };
        for (size_t offset = 0; offset <= kBook.size(); ++offset)
            expect({{"offset", offset}, {"count", 4}}, "getContactsRange", floor.range(offset, 4),
                   sqlite.range(offset, 4));
        for (const char *from :
             {"", "a", "anna", "c", "contact 10", "m", "MU", "mue", "zz", "ø", "σ", "\xff"})
            expect({{"from", from}, {"count", 4}}, "getContactsRange", floor.from(from, 4),
                   sqlite.from(from, 4));
        for (const char *text : {"", "-", "m", "mu", "MÜL", "co", "c", "a", "ex", "2", "10", "mila",
                                 "σο", "612", "06 12", "0033", "345", "zz"}) {
            for (size_t offset : {0, 2}) {
                expect({{"text", text}, {"offset", offset}, {"count", 3}}, "searchContacts",
                       floor.search(text, offset, 3), sqlite.search(text, offset, 3));
            }
        }
    }
    host.stop();
}

} // namespace
