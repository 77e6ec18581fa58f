// getChangesSince: clients that follow the phonebook from their tokens end
// with what getAllContacts gives, whoever changed it and however; tokens this
// run cannot answer give a reset; bad arguments change nothing. Seeded: a
// failure names its seed.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "random_changes.hpp"

namespace {

using pbtest::json;
using Contacts = std::map<std::string, json>;

// A client keeping the phonebook by UniqueID from the answers it gets.
struct Follower {
    std::string token;
    Contacts contacts;
    bool current = false; // its last answer said nothing more remains
};

class Changes : public pbtest::RandomChanges {
  protected:
    json since(const json &token, const json &count = 100) {
        return host.call("Phonebook", "getChangesSince", {{"token", token}, {"count", count}})
            .value();
    }
    // Up to `pages` answers, each applied as a client does: the deleted
    // identifiers, then the changed contacts.
    void follow(Follower &follower, int pages, int count) {
        follower.current = false;
        for (; pages > 0 && !HasFailure(); --pages) {
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
            if (follower.current)
                return;
        }
    }
    Contacts phonebook() {
        Contacts contacts;
        for (const json &contact : allContacts())
            contacts[contact["uniqueID"]] = contact;
        return contacts;
    }
};

TEST_F(Changes, FollowersEndWithThePhonebookWhateverChangesIt) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        random = pbtest::Random(seed);
        // One follows to the end after every batch, the others part of the
        // way now and then, one of them a few contacts at a time.
        std::vector<Follower> followers(4);
        std::string lastWritten;
        for (int batch = 0; batch < 50 && !HasFailure(); ++batch) {
            // Also the entry the followers saw change last changes again.
            if (!lastWritten.empty() && random.chance(50))
                host.set(lastWritten, {{"Title", "again " + freshName()}});
            for (int k = random.below(30); k > 0; --k)
                randomChange();
            std::vector<std::string> entries = entryPaths();
            lastWritten = entries.empty() ? "" : random.pick(entries);
            if (!lastWritten.empty())
                host.set(lastWritten, {{"Title", freshName()}});
            host.clearRecords();
            for (size_t i = 0; i < followers.size() && !HasFailure(); ++i) {
                Follower &follower = followers[i];
                follow(follower, i == 0 ? 1000 : random.below(4),
                       1 + random.below(i == 3 ? 3 : 40));
                if (follower.current) {
                    ASSERT_EQ(follower.contacts, phonebook()) << "follower " << i;
                }
            }
        }
        call("removeAllContacts", json::object());
    }
    EXPECT_GT(imports, 0);
}

TEST_F(Changes, TokensThisRunCannotAnswerGiveAReset) {
    json contacts = json::array();
    for (int i = 0; i < 120; ++i)
        contacts.push_back({{"uniqueID", freshName()}});
    call("addContacts", {{"contacts", contacts}});
    json first = host.call("Phonebook", "getChangesSince").value(); // 100 without a count
    EXPECT_EQ(first["changed"].size(), 100u);
    EXPECT_TRUE(first["more"].get<bool>());
    Follower follower;
    follow(follower, 10, 500);
    std::string token = follower.token;
    json nothing = {
        {"token", token}, {"changed", json::array()}, {"deleted", json::array()}, {"more", false}};
    EXPECT_EQ(since(token), nothing);

    std::string forged = token;
    forged.back() = forged.back() == '0' ? '1' : '0';
    std::string raised = token;
    raised[1] = raised[1] == '9' ? '8' : '9';
    for (const std::string &bad :
         {forged, raised, token.substr(0, token.size() - 1), token.substr(1), std::string("c0.0.0"),
          std::string(65536, 'c'), std::string("\xff\xfe\x80", 3), std::string("s") + token}) {
        EXPECT_EQ(since(bad), json({{"reset", true}})) << bad.substr(0, 80);
    }

    // Older than the log remembers: changes of two entries by turns.
    object_t *ann = datamodel_getObject(dm(), "Phonebook.Entry.1", 0);
    object_t *bob = datamodel_getObject(dm(), "Phonebook.Entry.2", 0);
    for (int i = 0; i < 5001; ++i) {
        object_parameterSetCharValue(ann, "Title", std::to_string(i).c_str());
        object_parameterSetCharValue(bob, "Title", std::to_string(i).c_str());
        object_commit(ann);
        object_commit(bob);
    }
    host.clearRecords();
    EXPECT_EQ(since(token), json({{"reset", true}}));

    json recent = since("", 500);
    host.advance(10000);
    restart(); // another run
    EXPECT_EQ(since(recent["token"]), json({{"reset", true}}));
}

TEST_F(Changes, BadArgumentsAreRefusedAndChangeNothing) {
    addEntry({{"UniqueID", "u-ann"}});
    addEntry({{"UniqueID", "u-bob"}});
    std::string token = since("")["token"];
    host.advance(10000);
    json before = allContacts();
    host.clearRecords();

    const json notAText = {{"error", "token must be a text"}};
    const json badCount = {{"error", "count must be a whole number from 1 to 500"}};
    const std::vector<std::pair<json, json>> cases = {
        {{{"token", 5}}, notAText},
        {{{"token", true}}, notAText},
        {{{"token", json::object()}}, notAText},
        {{{"token", {"c1"}}}, notAText},
        {{{"token", token}, {"count", -1}}, badCount},
        {{{"token", token}, {"count", 0}}, badCount},
        {{{"token", token}, {"count", 501}}, badCount},
        {{{"token", token}, {"count", 1e12}}, badCount},
        {{{"token", token}, {"count", 2.5}}, badCount},
        {{{"token", token}, {"count", "10"}}, badCount},
        {{{"token", token}, {"count", false}}, badCount},
        {{{"token", token}, {"count", {1}}}, badCount},
    };
    for (const auto &[arguments, expected] : cases)
        EXPECT_EQ(host.call("Phonebook", "getChangesSince", arguments).value(), expected)
            << arguments.dump();

    auto positional = host.callPositional("Phonebook", "getChangesSince", {"", 1});
    EXPECT_EQ(positional.value()["changed"].size(), 1u);
    EXPECT_TRUE(positional.value()["more"].get<bool>());

    host.advance(10000);
    EXPECT_EQ(allContacts(), before);
    EXPECT_EQ(saves(), 0u);
    EXPECT_TRUE(host.notifications.empty());
    EXPECT_EQ(since(token)["changed"], json::array()); // nothing entered the log
}

} // namespace
