// Adding, changing and removing contacts through the functions of Phonebook.
#include <regex>

#include "plugin_fixture.hpp"

namespace {

using pbtest::json;

class Writes : public pbtest::PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        start();
    }
    json call(const char *function, const json &arguments) {
        return host.call("Phonebook", function, arguments).value();
    }
    bool add(const json &contact) { return call("addContact", {{"contact", contact}}) == true; }
    bool modify(const char *name, const json &contact) {
        return call("modifyContact", {{"formattedName", name}, {"contact", contact}}) == true;
    }
    json byID(const std::string &uniqueID) {
        return call("getContactByUniqueID", {{"uniqueID", uniqueID}});
    }
    static json numbers(const json &contact) {
        json rows = json::array();
        for (const json &number : contact["telephoneNumbers"])
            rows.push_back({number["key"], number["name"], number["type"]});
        return rows;
    }
    const json ann = json::parse(R"({"uniqueID": "u-ann", "formattedName": "Ann", "name": "A",
      "lastRevision": "2001-02-03T04:05:06Z", "emails": [{"name": "ann@x"}],
      "telephoneNumbers": [{"name": "111", "type": "home"}, {"name": "222", "type": "work"}]})");
};

TEST_F(Writes, AddedContactKeepsItsValuesAndSurvivesARestart) {
    ASSERT_TRUE(add(ann));
    json stored = byID("u-ann");
    EXPECT_EQ(stored["lastRevision"], "2001-02-03T04:05:06Z"); // supplied, so kept
    EXPECT_EQ(numbers(stored), json::parse(R"([["1", "111", "home"], ["2", "222", "work"]])"));
    EXPECT_EQ(stored["emails"][0]["name"], "ann@x");
    host.advance(5000);
    restart();
    EXPECT_EQ(byID("u-ann"), stored);
}

TEST_F(Writes, TheEntryCapRefusesAndChangesNothing) {
    ASSERT_TRUE(host.set("Phonebook", {{"MaxNumberOfEntries", 2}}));
    ASSERT_TRUE(add({{"uniqueID", "1"}}));
    ASSERT_TRUE(add({{"uniqueID", "2"}}));
    json before = allContacts();
    EXPECT_FALSE(add({{"uniqueID", "3"}}));
    EXPECT_EQ(call("addContactAndGenUUID", {{"contact", json::object()}}), nullptr);
    auto refusal = pbtest::linesWithMessage(
        host, "Not adding new contact : Max number of contacts reached (2)");
    ASSERT_EQ(refusal.size(), 2u);
    EXPECT_EQ(refusal[0].level, 200);
    EXPECT_EQ(allContacts(), before);
}

// A contact with a hundred thousand numbers was written one number at a
// time, holding the daemon for seconds and filling the saved file: each list
// of a contact written through the functions holds at most 100 items.
TEST_F(Writes, AContactWithMoreThanAHundredItemsInAListIsRefused) {
    auto many = [](size_t count) {
        json list = json::array();
        for (size_t i = 0; i < count; ++i)
            list.push_back({{"name", std::to_string(1000 + i)}});
        return list;
    };
    json bob = {{"uniqueID", "u-bob"}, {"formattedName", "Bob"}};
    for (const char *list : {"telephoneNumbers", "emails", "addresses", "labels", "photos"}) {
        json contact = bob;
        contact[list] = many(101);
        EXPECT_FALSE(add(contact)) << list;
        EXPECT_FALSE(call("addContactAndGenUUID", {{"contact", contact}}).is_string()) << list;
        EXPECT_FALSE(modify("Ann", {{list, many(101)}})) << list;
    }
    EXPECT_EQ(call("getNumberOfContacts", json::object()), 0);
    json full = ann;
    full["telephoneNumbers"] = many(100);
    ASSERT_TRUE(add(full));
    EXPECT_FALSE(modify("Ann", {{"telephoneNumbers", many(101)}, {"title", "Dr"}}));
    EXPECT_EQ(byID("u-ann")["telephoneNumbers"].size(), 100u);
    EXPECT_EQ(byID("u-ann")["title"], "");
}

TEST_F(Writes, IdentifiersAreUniqueOrGenerated) {
    ASSERT_TRUE(add(ann));
    json before = allContacts();
    EXPECT_FALSE(add({{"uniqueID", "u-ann"}, {"formattedName", "Other"}}));
    EXPECT_TRUE(
        host.traced("Contact with UniqueID=u-ann already exists with state object_state_ready"));
    EXPECT_EQ(allContacts(), before);

    const std::regex urn("urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    std::string id = call("addContactAndGenUUID",
                          {{"contact", {{"uniqueID", "u-ann"}, {"formattedName", "G"}}}});
    EXPECT_TRUE(std::regex_match(id, urn)) << id; // 45 characters
    EXPECT_EQ(byID(id)["formattedName"], "G");
    std::string viaBus = host.get(addEntry({{"FormattedName", "Bus"}}) + ".UniqueID").toJson();
    EXPECT_TRUE(std::regex_match(viaBus, urn)) << viaBus;
    EXPECT_NE(viaBus, id);
}

// An empty FormattedName or UniqueID was matched as a value: found, removed,
// and taken for a duplicate; and an empty UniqueID was stored over the
// generated one.
TEST_F(Writes, EmptyValuesNeverMatchAndAnEmptyIdentifierIsNone) {
    ASSERT_TRUE(add({{"uniqueID", ""}, {"title", "first"}}));
    ASSERT_TRUE(add({{"uniqueID", ""}, {"title", "second"}}));
    const std::regex urn("urn:uuid:[-0-9a-f]{36}");
    json contacts = allContacts();
    ASSERT_EQ(contacts.size(), 2u);
    for (const json &contact : contacts)
        EXPECT_TRUE(std::regex_match(contact["uniqueID"].get<std::string>(), urn)) << contact;

    EXPECT_EQ(call("getContact", {{"formattedName", ""}}), json::object());
    EXPECT_EQ(call("getContactByUniqueID", {{"uniqueID", ""}}), json::object());
    EXPECT_EQ(call("removeContact", {{"formattedName", ""}}), false);
    EXPECT_EQ(call("modifyContact", {{"formattedName", ""}, {"contact", {{"title", "x"}}}}), false);
    EXPECT_EQ(allContacts(), contacts);
}

// An identifier given as null was written over the generated one, and a
// modify carrying an empty or null identifier left the entry without any:
// found by fuzz_contacts, an entry with no UniqueID.
TEST_F(Writes, AnIdentifierWithoutTextNeverReplacesTheEntrysOwn) {
    const std::regex urn("urn:uuid:[-0-9a-f]{36}");
    ASSERT_TRUE(add({{"uniqueID", nullptr}, {"formattedName", "Null"}}));
    std::string generated = call("getContact", {{"formattedName", "Null"}})["uniqueID"];
    EXPECT_TRUE(std::regex_match(generated, urn)) << generated;

    EXPECT_TRUE(modify("Null", {{"uniqueID", ""}, {"title", "empty"}}));
    EXPECT_TRUE(call("modifyContactByUniqueID",
                     {{"uniqueID", generated},
                      {"contact", {{"uniqueID", nullptr}, {"url", "u"}}}}) == true);
    json stored = byID(generated);
    EXPECT_EQ(stored["title"], "empty");
    EXPECT_EQ(stored["url"], "u");
    EXPECT_EQ(allContacts().size(), 1u);
}

// MaxNumberOfEntries is unsigned: 4294967295 read as a signed number was 0,
// and every addition was refused.
TEST_F(Writes, ALimitBeyondTheSignedRangeIsNoZeroLimit) {
    ASSERT_TRUE(host.set("Phonebook", {{"MaxNumberOfEntries", 4294967295u}}));
    EXPECT_EQ(call("getMaxNumberOfContacts", json::object()), 2147483647);
    EXPECT_TRUE(add({{"uniqueID", "1"}}));
}

TEST_F(Writes, ModifyWithOnlyATitle) {
    ASSERT_TRUE(add(ann));
    std::string before = pbtest::localNow();
    EXPECT_TRUE(modify("Ann", {{"title", "Dr"}}));
    json stored = byID("u-ann");
    EXPECT_EQ(stored["title"], "Dr");
    EXPECT_EQ(stored["name"], "A");
    EXPECT_EQ(stored["telephoneNumbers"], json::array());
    EXPECT_EQ(stored["emails"], json::array());
    EXPECT_GE(stored["lastRevision"].get<std::string>(), before);
    EXPECT_LE(stored["lastRevision"].get<std::string>(), pbtest::localNow());
}

TEST_F(Writes, ModifyKeepsNumbersNamedByKey) {
    ASSERT_TRUE(add(ann));
    EXPECT_TRUE(modify(
        "Ann", {{"telephoneNumbers", {{{"key", "2"}, {"name", "222-new"}}, {{"name", "333"}}}}}));
    EXPECT_EQ(numbers(byID("u-ann")),
              json::parse(R"([["2", "222-new", "work"], ["3", "333", ""]])"));
    // A key used twice names the instance created for its first use.
    EXPECT_TRUE(modify("Ann", {{"telephoneNumbers",
                                {{{"key", "k"}, {"name", "1"}}, {{"key", "k"}, {"type", "t"}}}}}));
    EXPECT_EQ(numbers(byID("u-ann")), json::parse(R"([["k", "1", "t"]])"));
}

// One element that cannot be written fails the whole operation, wherever it
// stands in the map.
TEST_F(Writes, AFailingElementRollsBackEverything) {
    ASSERT_TRUE(add(ann));
    ASSERT_TRUE(add({{"uniqueID", "u-bob"}, {"formattedName", "Bob"}}));
    json before = allContacts();
    const json bad[] = {
        {{"title", "T"}, {"TelephoneNumber", {"junk", {{"Number", "9"}}}}}, // non-map, then a map
        {{"title", "T"}, {"birthDay", "soon"}, {"telephoneNumbers", {{{"name", "9"}}}}},
        {{"title", "T"}, {"Nickname", {{"name", "x"}}}}, // names no property object
        {{"title", "T"}, {"formattedName", "Bob"}},      // refused by the validator
    };
    for (const json &contact : bad) {
        EXPECT_FALSE(modify("Ann", contact)) << contact;
        json added = contact;
        added["uniqueID"] = "new";
        EXPECT_FALSE(add(added)) << contact;
        EXPECT_EQ(allContacts(), before) << contact;
    }
    EXPECT_EQ(pbtest::linesWithMessage(
                  host, "variant_list_iterator_t element is not of type variant_type_map")
                  .at(0)
                  .level,
              200);
    // What the number's write handler made of a "+" stays through a rollback.
    ASSERT_TRUE(add({{"uniqueID", "u-cy"},
                     {"formattedName", "Cy"},
                     {"telephoneNumbers", {{{"name", "+33612345678"}}}}}));
    EXPECT_FALSE(modify("Cy", bad[2]));
    EXPECT_EQ(byID("u-cy")["telephoneNumbers"][0]["name"], "0033612345678");
    // Keys that name nothing and doubles are skipped.
    EXPECT_TRUE(add({{"uniqueID", "u2"}, {"nickname", "x"}, {"score", 1.5}, {"title", "ok"}}));
    EXPECT_EQ(byID("u2")["title"], "ok");
}

TEST_F(Writes, Removals) {
    ASSERT_TRUE(add(ann));
    ASSERT_TRUE(add({{"uniqueID", "u-bob"}, {"formattedName", "Bob"}}));
    EXPECT_EQ(call("removeContact", {{"formattedName", "bob"}}), false);
    EXPECT_EQ(call("removeContact", {{"formattedName", "Bob"}}), true);
    EXPECT_EQ(call("removeContactByUniqueID", {{"uniqueID", "u-bob"}}), false);
    EXPECT_EQ(formattedNames(), pbtest::Names{"Ann"});
    EXPECT_EQ(call("removeAllContacts", json::object()), true);
    EXPECT_EQ(call("removeAllContacts", json::object()), true);
    EXPECT_EQ(allContacts(), json::array());
}

TEST_F(Writes, AddContactsHandsBackTheFailedOnes) {
    ASSERT_TRUE(add({{"uniqueID", "taken"}}));
    json failed = {{"uniqueID", "taken"}, {"formattedName", "Dup"}};
    auto result = host.call("Phonebook", "addContacts",
                            {{"contacts", {{{"uniqueID", "a"}}, failed, {{"uniqueID", "b"}}}}});
    EXPECT_EQ(result.value(), false);
    ASSERT_FALSE(result.outargs.empty());
    EXPECT_EQ(result.outargs.begin().key(), "result");
    EXPECT_EQ(result.outargs["result"], json::array({failed}));
    EXPECT_EQ(call("getNumberOfContacts", json::object()), 3);
}

} // namespace
