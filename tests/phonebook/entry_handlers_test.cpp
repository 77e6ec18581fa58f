// An entry whoever changes it: uniqueness, LastRevision, notifications and saving.
#include <algorithm>

#include "phonebook_test_support.hpp"

namespace {

using pbtest::json;
using Sent = pbtest::Names;

class EntryHandlers : public pbtest::PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        start();
    }
    std::string revision(const std::string &entry) {
        return host.get(entry + ".LastRevision").toJson();
    }
    std::string announcedEntry(const std::string &name) {
        std::string entry = addEntry({{"FormattedName", name}});
        EXPECT_FALSE(host.add(entry + ".TelephoneNumber", {{"Number", "0123"}}).empty());
        host.advance(200);
        host.clearRecords();
        return entry;
    }
};

TEST_F(EntryHandlers, ValuesAreUniqueAndOneFreedInTheSameChangeCanBeTaken) {
    std::string a = addEntry({{"FormattedName", "A"}, {"UniqueID", "1"}});
    std::string b = addEntry({{"FormattedName", "B"}, {"UniqueID", "2"}});
    addEntry({{"FormattedName", ""}, {"UniqueID", "3"}});
    zebtest::Var count = host.get("Phonebook.NumberOfEntries");
    EXPECT_EQ(count.type(), variant_type_int32);
    EXPECT_EQ(count.toJson(), 3);
    EXPECT_FALSE(host.set(b, {{"FormattedName", "A"}}));
    EXPECT_FALSE(host.set(b, {{"UniqueID", "1"}}));
    EXPECT_TRUE(host.set(a, {{"FormattedName", "A"}}));
    EXPECT_TRUE(host.set(a, {{"FormattedName", ""}})); // empty never conflicts

    EXPECT_FALSE(object_parameterSetCharValue(object(b), "UniqueID", "1"));
    ASSERT_TRUE(object_delete(object(a)));
    EXPECT_TRUE(object_parameterSetCharValue(object(b), "UniqueID", "1"));
    ASSERT_TRUE(object_commit(object("Phonebook")));
    EXPECT_EQ(host.get(b + ".UniqueID").toJson(), "1");
}

TEST_F(EntryHandlers, LastRevisionFollowsEveryWrite) {
    std::string before = pbtest::localNow();
    std::string ann = announcedEntry("Ann");
    EXPECT_GE(revision(ann), before);
    ASSERT_TRUE(host.set(ann, {{"LastRevision", "2000-01-01T00:00:00Z"}}));
    EXPECT_EQ(revision(ann), "2000-01-01T00:00:00Z"); // a written value is kept
    ASSERT_TRUE(host.del(ann + ".TelephoneNumber.1"));
    EXPECT_EQ(revision(ann), "2000-01-01T00:00:00Z"); // a deletion alone stamps nothing
    ASSERT_TRUE(host.set(ann, {{"Title", "Dr"}}));
    EXPECT_GE(revision(ann), before);
    ASSERT_TRUE(host.set(ann, {{"LastRevision", "1999-01-01T00:00:00Z"}}));
    ASSERT_FALSE(host.add(ann + ".Email", {{"Address", "a@x"}}).empty());
    EXPECT_GE(revision(ann), before); // so does a write in a property instance
    host.advance(5000);               // the stamp is what the file keeps
    std::string stamped = revision(ann);
    restart();
    EXPECT_EQ(revision(ann), stamped);
}

// A deletion is announced at once with the last content; an entry added and removed within the
// delay, or changed before a stop, never.
TEST_F(EntryHandlers, NotificationsFoldABurstPerEntry) {
    std::string ann = addEntry({{"FormattedName", "Ann"}});
    host.advance(100);
    ASSERT_TRUE(host.set(ann, {{"Title", "Dr"}}));
    host.advance(100);
    ASSERT_TRUE(host.set(ann, {{"Name", "A"}}));
    host.advance(199);
    EXPECT_TRUE(host.notifications.empty());
    host.advance(1);
    ASSERT_EQ(sent(), Sent{"contactCreated"});
    EXPECT_EQ(host.notifications[0].type, 101u);
    EXPECT_EQ(host.notifications[0].path, "Phonebook");
    EXPECT_EQ(host.notifications[0].parameters["contact"], allContacts()[0]);

    host.clearRecords();
    ASSERT_TRUE(host.set(ann, {{"Title", "Prof"}}));
    ASSERT_FALSE(host.add(ann + ".TelephoneNumber", {{"Number", "0123"}}).empty());
    host.advance(1000);
    ASSERT_EQ(sent(), Sent{"contactUpdated"});
    EXPECT_EQ(host.notifications[0].type, 102u);
    EXPECT_EQ(host.notifications[0].parameters["contact"], allContacts()[0]);
    host.clearRecords();
    ASSERT_TRUE(host.del(ann + ".TelephoneNumber.1"));
    host.advance(200);
    EXPECT_EQ(sent(), Sent{"contactUpdated"});

    json last = allContacts()[0];
    host.clearRecords();
    ASSERT_TRUE(host.del(ann));
    ASSERT_EQ(sent(), Sent{"contactDeleted"});
    EXPECT_EQ(host.notifications[0].type, 103u);
    EXPECT_EQ(host.notifications[0].parameters["contact"], last);
    host.clearRecords();
    host.del(addEntry({{"FormattedName", "Bob"}}));
    EXPECT_EQ(call("addContact", {{"contact", {{"uniqueID", "c"}}}}), true);
    EXPECT_EQ(call("removeContactByUniqueID", {{"uniqueID", "c"}}), true);
    host.advance(1000);
    EXPECT_TRUE(host.notifications.empty());
    announcedEntry("Cy");
    addEntry({{"FormattedName", "Dan"}});
    host.stop();
    host.advance(1000);
    EXPECT_TRUE(host.notifications.empty());
}

// A change every 100 ms kept pushing the announcement back: subscribers of a
// busy phonebook heard nothing for as long as the changes went on.
TEST_F(EntryHandlers, ChangesWithoutAPauseAreStillAnnounced) {
    std::string ann = announcedEntry("Ann");
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(host.set(ann, {{"Title", "T" + std::to_string(i)}}));
        host.advance(100);
    }
    ASSERT_GE(sent().size(), 2u);
    EXPECT_EQ(sent()[0], "contactUpdated");
    host.clearRecords();
    host.advance(200);
    ASSERT_EQ(sent(), Sent{"contactUpdated"});
    EXPECT_EQ(host.notifications[0].parameters["contact"]["title"], "T29");
}

// A rejected change rolled back the instances it had created, whose delete handlers announced
// the entry and scheduled a save.
TEST_F(EntryHandlers, ARejectedChangeKeepsTheSaveOfAnEarlierChange) {
    ASSERT_EQ(call("addContact", {{"contact", {{"uniqueID", "a"}, {"formattedName", "A"}}}}), true);
    host.advance(5000);
    for (const std::string change : {"none", "set", "add"}) {
        if (change == "set") {
            ASSERT_TRUE(host.set("Phonebook.Entry.1", {{"Title", "Dr"}}));
        } else if (change == "add") { // an instance without values
            ASSERT_NE(host.add("Phonebook.Entry.1.Email"), "");
        }
        host.clearRecords();
        json bad = {{"telephoneNumbers", {{{"name", "1"}}}}, {"nickname", {{{"name", "x"}}}}};
        EXPECT_EQ(call("modifyContact", {{"formattedName", "A"}, {"contact", bad}}), false);
        EXPECT_EQ(host.add("Phonebook.Entry", {{"FormattedName", "A"}}), ""); // a duplicate
        host.advance(5000);
        EXPECT_EQ(saves(), change == "none" ? 0u : 1u) << change;
        EXPECT_TRUE(change != "none" || host.notifications.empty());
    }
}

TEST_F(EntryHandlers, GenerationOfAnIdentifierGivesUp) {
    json def = pbtest::definition();
    json &uniqueID = def["objects"][0]["objects"][0]["parameters"][0];
    ASSERT_EQ(uniqueID["name"], "UniqueID");
    uniqueID["type"] = "uint32"; // refuses every text
    useDefinition(def);
    restart();
    addEntry({{"FormattedName", "Ann"}});
    EXPECT_GT(host.countTraced("setting uuid_url_string to urn:uuid:"), 1u);
    EXPECT_EQ(host.countTraced("Could not give 1 a UniqueID"), 1u);
}

// Those announced before, in their order, then the new ones; whatever was deleted in between.
class Announcements : public pbtest::RandomChanges {
  protected:
    std::vector<std::string> liveKeys() const {
        std::vector<std::string> keys;
        for (object_t *e : entries())
            keys.push_back(object_name(e, OBJECT_FLAG_KEY));
        return keys;
    }
    void largeChange() {
        json contacts = json::array();
        for (int i = 0; i < 60; ++i)
            contacts.push_back(randomContact());
        call("addContacts", {{"contacts", contacts}});
        for (const std::string &entry : entryPaths())
            if (random.chance(80))
                host.del(entry);
    }
};

TEST_F(Announcements, KeepTheOrderInWhichEntriesWereFirstSeen) {
    std::vector<std::string> announced; // keys, first seen first
    for (unsigned seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        random = pbtest::Random(seed);
        for (int round = 0; round < 40 && !HasFailure(); ++round) {
            host.clearRecords();
            for (int k = random.below(12); k > 0; --k)
                random.chance(5) ? largeChange() : randomChange();
            host.advance(1000);
            if (host.traced("(zeb_plugin_initialize@")) {
                // A new run takes what it loaded as announced, in instance order.
                announced = liveKeys();
                continue;
            }
            size_t kept = 0; // announced before and updated in this burst
            for (const zebtest::Notification &n : host.notifications) {
                std::string key = n.parameters["contact"]["key"];
                auto at = std::find(announced.begin(), announced.end(), key);
                size_t place = static_cast<size_t>(at - announced.begin());
                if (n.name == "contactDeleted") {
                    ASSERT_NE(at, announced.end()) << key;
                    announced.erase(at);
                } else if (n.name == "contactUpdated") {
                    ASSERT_LT(place, announced.size()) << key;
                    ASSERT_GE(place, kept) << key;
                    kept = place + 1;
                } else {
                    ASSERT_EQ(n.name, "contactCreated");
                    ASSERT_EQ(at, announced.end()) << key;
                    announced.push_back(key);
                    kept = announced.size();
                }
            }
            std::vector<std::string> live = liveKeys(), seen = announced;
            std::sort(live.begin(), live.end());
            std::sort(seen.begin(), seen.end());
            ASSERT_EQ(seen, live);
        }
    }
}

} // namespace
