// The paging of zeb_vcard against a phonebook of the test: pages that do not
// fit are asked again smaller, an update finds its contacts on any page, and
// the faults of the calls reach the client.
#include <gtest/gtest.h>

#include "zeb/vcard.hpp"

#include <cstdio>

namespace {

using vcard::json;

// Contacts c000 "Name 000" .. in their sorted order, of which an answer
// holds at most `fits`; `change` runs before each answer.
struct Phonebook {
    json contacts = json::array();
    uint64_t fits = 0;
    std::vector<uint64_t> asked;
    std::function<void()> change = [] {};

    explicit Phonebook(int size, uint64_t fitting) : fits(fitting) {
        for (int i = 0; i < size; ++i) {
            char n[16];
            std::snprintf(n, sizeof n, "%03d", i);
            contacts.push_back(
                {{"uniqueID", std::string("c") + n}, {"formattedName", std::string("Name ") + n}});
        }
    }
    vcard::Call call() {
        return [this](const std::string &function, const json &args) {
            EXPECT_EQ(function, "getContactsRange");
            uint64_t offset = args["offset"], count = args["count"];
            asked.push_back(count);
            if (count > fits)
                throw vcard::AnswerTooLarge("too large");
            change();
            json page = json::array();
            for (uint64_t i = offset; i < offset + count && i < contacts.size(); ++i)
                page.push_back(contacts[i]);
            return json{{"total", contacts.size()}, {"offset", offset}, {"contacts", page}};
        };
    }
};

// The update once read every contact in one reply, which failed past one
// message. Pages that do not fit are asked again smaller; the UID wins over
// a formatted name found on an earlier page.
TEST(VcardPaging, AnUpdateReadsPageByPageAndFindsItsContactsOnAnyPage) {
    Phonebook phonebook(600, 100);
    std::vector<json> ids;
    for (const json &contact : vcard::findStored(phonebook.call(), {{"c550", "Name 001"},
                                                                    {"", "Name 599"},
                                                                    {"gone", "Name 300"},
                                                                    {"gone", "nobody"},
                                                                    {"", ""}}))
        ids.push_back(contact.is_null() ? json() : contact["uniqueID"]);
    EXPECT_EQ(ids, std::vector<json>({"c550", "c599", "c300", nullptr, nullptr}));
}

TEST(VcardPaging, TheExportTellsChangesAndPassesFaultsOn) {
    Phonebook phonebook(300, 250);
    std::string cards;
    auto write = [&cards](const std::string &more) { cards += more; };
    bool changed = true;
    EXPECT_EQ(vcard::exportContacts(phonebook.call(), vcard::Version::v40, write, changed), 300u);
    EXPECT_FALSE(changed);
    // A contact removed after the first page shifts one past the export.
    phonebook.change = [&phonebook] {
        if (phonebook.asked.size() == 2)
            phonebook.contacts.erase(0);
    };
    phonebook.asked.clear();
    EXPECT_EQ(vcard::exportContacts(phonebook.call(), vcard::Version::v30, write, changed), 299u);
    EXPECT_TRUE(changed);

    // One contact too large; another fault of the call; an answer that is no
    // page. Nothing is written.
    cards.clear();
    phonebook.fits = 0;
    EXPECT_THROW(vcard::exportContacts(phonebook.call(), vcard::Version::v30, write, changed),
                 vcard::AnswerTooLarge);
    EXPECT_EQ(phonebook.asked.back(), 1u);
    const vcard::Call refusing = [](const std::string &, const json &) -> json {
        throw std::logic_error("refused");
    };
    EXPECT_THROW(vcard::exportContacts(refusing, vcard::Version::v30, write, changed),
                 std::logic_error);
    const vcard::Call odd = [](const std::string &, const json &) { return json{{"total", 1}}; };
    EXPECT_THROW(vcard::findStored(odd, {{"c001", ""}}), vcard::BadAnswer);
    EXPECT_EQ(cards, "");
}

} // namespace
