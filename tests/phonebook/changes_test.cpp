// getChangesSince: clients that follow the phonebook from their tokens end
// with what getAllContacts gives, whoever changed it and however; tokens this
// run cannot answer give a reset; bad arguments change nothing. Seeded: a
// failure names its seed.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "plugin_fixture.hpp"

namespace {

using pbtest::json;
using pbtest::Random;
using Contacts = std::map<std::string, json>;

// A client keeping the phonebook by UniqueID from the answers it gets.
struct Follower {
    std::string token;
    Contacts contacts;
    bool current = false; // its last answer said nothing more remains
};

class Changes : public pbtest::PluginTest {
  protected:
    Random random{0};
    int nextId = 0;
    int imports = 0;

    void SetUp() override {
        PluginTest::SetUp();
        std::filesystem::create_directories(host.path("/etc/config"));
        start();
    }
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

    datamodel_t *dm() const { return zeb_datamodel(host.context()); }
    std::vector<std::string> entryPaths() const {
        std::vector<std::string> paths;
        object_t *entries = datamodel_getObject(dm(), "Phonebook.Entry", 0);
        for (object_t *e = object_firstInstance(entries); e; e = object_nextInstance(e))
            paths.push_back("Phonebook.Entry." + std::to_string(object_index(e)));
        return paths;
    }
    std::string uniqueIDOf(const std::string &path) {
        return host.get(path + ".UniqueID").toJson();
    }
    std::string freshName() { return "c" + std::to_string(nextId++); }
    json randomContact() {
        std::string id = freshName();
        json contact = {{"uniqueID", id}, {"formattedName", id}, {"title", random.text("ab", 3)}};
        contact["telephoneNumbers"] = json::array();
        for (int n = random.below(3); n > 0; --n)
            contact["telephoneNumbers"].push_back({{"name", "0" + random.text("0123", 6)}});
        return contact;
    }
    void call(const char *function, const json &arguments) {
        host.call("Phonebook", function, arguments);
    }
    // Changes of every kind a client makes, among them refused ones that are
    // rolled back after the UniqueID validator took the new identifier.
    void randomChange() {
        std::vector<std::string> entries = entryPaths();
        std::string entry = entries.empty() ? "" : random.pick(entries);
        std::string other = entries.empty() ? "" : random.pick(entries);
        switch (entries.empty() ? 0 : random.below(12)) {
        case 0:
            call("addContact", {{"contact", randomContact()}});
            break;
        case 1: {
            json contact = randomContact();
            contact.erase("uniqueID");
            call("addContactAndGenUUID", {{"contact", contact}});
            break;
        }
        case 2: { // sometimes under a new identifier, sometimes refused
            json contact = randomContact();
            if (random.chance(50))
                contact["uniqueID"] = uniqueIDOf(entry);
            if (random.chance(20))
                contact["formattedName"] = host.get(other + ".FormattedName").toJson();
            call("modifyContactByUniqueID",
                 {{"uniqueID", uniqueIDOf(entry)}, {"contact", contact}});
            break;
        }
        case 3:
            call("removeContactByUniqueID", {{"uniqueID", uniqueIDOf(entry)}});
            break;
        case 4:
            host.set(entry, {{"Title", random.text("xyz", 4)}});
            break;
        case 5:
            host.set(entry, {{"UniqueID", random.chance(80) ? freshName() : uniqueIDOf(other)}});
            break;
        case 6:
            if (random.chance(50))
                host.add(entry + ".TelephoneNumber", {{"Number", "0" + random.text("56", 5)}});
            else
                host.del(entry + ".TelephoneNumber." + std::to_string(1 + random.below(3)));
            break;
        case 7:
            host.del(entry);
            break;
        case 8: // refused: the name is another entry's
            host.set(entry, {{"FormattedName", host.get(other + ".FormattedName").toJson()},
                             {"Title", "refused"}});
            host.add("Phonebook.Entry",
                     {{"FormattedName", host.get(other + ".FormattedName").toJson()}});
            break;
        case 9: { // a new identifier and a new entry, rolled back
            object_t *object = datamodel_getObject(dm(), entry.c_str(), 0);
            object_parameterSetCharValue(object, "UniqueID", freshName().c_str());
            object_parameterSetCharValue(object, "Title", "rolled back");
            object_createInstance(datamodel_getObject(dm(), "Phonebook.Entry", 0), 0, nullptr);
            object_rollback(datamodel_getObject(dm(), "Phonebook", 0));
            break;
        }
        case 10:
            call("addContacts", {{"contacts", {randomContact(), randomContact()}}});
            break;
        default:
            if (random.chance(3)) {
                host.advance(10000); // saved: the new run loads it
                restart();
            } else if (random.chance(5)) {
                call("removeAllContacts", json::object());
            } else if (random.chance(5)) { // the legacy store, read back
                call("export", json::object());
                if (random.chance(50))
                    call("removeAllContacts", json::object());
                imports += host.call("Phonebook", "import").value() == true;
            }
        }
    }
};

TEST_F(Changes, FollowersEndWithThePhonebookWhateverChangesIt) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        random = Random(seed);
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
