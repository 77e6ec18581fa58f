// An entry whoever changes it: uniqueness, identifiers, notifications and saving.
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
    zebtest::Var count = host.get("Phonebook.NumberOfEntries");
    EXPECT_EQ(count.type(), variant_type_int32);
    EXPECT_EQ(count.toJson(), 2);
    EXPECT_FALSE(host.set(b, {{"FormattedName", "A"}}));
    EXPECT_TRUE(host.set(a, {{"FormattedName", ""}}));
    EXPECT_TRUE(host.set(b, {{"FormattedName", ""}})); // empty never conflicts

    EXPECT_FALSE(object_parameterSetCharValue(object(b), "UniqueID", "1"));
    ASSERT_TRUE(object_delete(object(a)));
    EXPECT_TRUE(object_parameterSetCharValue(object(b), "UniqueID", "1"));
    ASSERT_TRUE(object_commit(object("Phonebook")));
    EXPECT_EQ(host.get(b + ".UniqueID").toJson(), "1");
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

    json last = allContacts()[0];
    host.clearRecords();
    ASSERT_TRUE(host.del(ann));
    ASSERT_EQ(sent(), Sent{"contactDeleted"});
    EXPECT_EQ(host.notifications[0].type, 103u);
    EXPECT_EQ(host.notifications[0].parameters["contact"], last);
    host.clearRecords();
    host.del(addEntry({{"FormattedName", "Bob"}}));
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
        EXPECT_EQ(firstLine("Object was rolled back").level, 200);
        EXPECT_EQ(host.add("Phonebook.Entry", {{"FormattedName", "A"}}), ""); // a duplicate
        host.advance(5000);
        EXPECT_EQ(saves(), change == "none" ? 0u : 1u) << change;
        EXPECT_TRUE(change != "none" || host.notifications.empty());
    }
}

TEST_F(EntryHandlers, GenerationOfAnIdentifierGivesUp) {
    json def = pbtest::definition();
    json &uniqueID = def["objects"][0]["objects"][0]["parameters"][0];
    uniqueID["type"] = "uint32"; // refuses every text
    useDefinition(def);
    restart();
    addEntry({{"FormattedName", "Ann"}});
    EXPECT_GT(host.countTraced("setting uuid_url_string to urn:uuid:"), 1u);
    EXPECT_EQ(host.countTraced("Could not give 1 a UniqueID"), 1u);
}

} // namespace
