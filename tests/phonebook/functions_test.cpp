// The data model functions of Phonebook as clients on the bus call them:
// answers, and the contacts they add, change and remove.
#include <regex>

#include "phonebook_test_support.hpp"

namespace {

using pbtest::json;

const std::regex kUrn("urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");

class Functions : public pbtest::PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        start();
    }
    bool add(const json &contact) { return call("addContact", {{"contact", contact}}) == true; }
    bool modify(const char *name, const json &contact) {
        return call("modifyContact", {{"formattedName", name}, {"contact", contact}}) == true;
    }
    json byID(const std::string &id) { return call("getContactByUniqueID", {{"uniqueID", id}}); }
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

// The value and its type for every reading function of an empty phonebook.
TEST_F(Functions, AnswersOfAnEmptyPhonebook) {
    const std::tuple<const char *, json, variant_type_t, json> cases[] = {
        {"getAllContacts", json::object(), variant_type_array, json::array()},
        {"getNumberOfContacts", json::object(), variant_type_uint32, 0},
        {"getMaxNumberOfContacts", json::object(), variant_type_uint32, 1000},
        {"getContact", {{"formattedName", "Nobody"}}, variant_type_map, json::object()},
        {"getContactByUniqueID", {{"uniqueID", "x"}}, variant_type_map, json::object()},
        {"getContactByNumber", {{"number", "0123"}}, variant_type_unknown, nullptr}};
    for (const auto &[function, arguments, type, value] : cases) {
        auto answer = host.call("Phonebook", function, arguments);
        EXPECT_TRUE(answer.ok) << function;
        EXPECT_EQ(answer.retval.type(), type) << function;
        EXPECT_EQ(answer.value(), value) << function;
    }
}

TEST_F(Functions, ContactMapOfAnEntryInPublicForm) {
    std::string entry = addEntry({{"UniqueID", "u-ann"},
                                  {"Name", "Ann"},
                                  {"FormattedName", "Ann A"},
                                  {"URL", "http://ann"}});
    ASSERT_FALSE(
        host.add(entry + ".TelephoneNumber", {{"Number", "0123"}, {"Preferred", true}}).empty());
    ASSERT_TRUE(host.set(entry, {{"LastRevision", "2021-03-04T05:06:07Z"}}));
    json expected = json::parse(R"({"key": "1", "uniqueID": "u-ann",
      "lastRevision": "2021-03-04T05:06:07Z", "name": "Ann", "formattedName": "Ann A",
      "birthDay": "1970-01-01T00:00:00Z", "title": "", "organisation": "", "url": "http://ann",
      "ringtone": "", "tags": "", "addresses": [], "labels": [],
      "telephoneNumbers": [{"key": "1", "name": "0123", "type": "", "preferred": true}],
      "emails": [], "photos": []})");
    EXPECT_EQ(entry, "Phonebook.Entry.1");
    EXPECT_EQ(call("getContact", {{"formattedName", "Ann A"}}), expected); // in this order
    EXPECT_EQ(byID("u-ann"), expected);
    EXPECT_EQ(allContacts(), json::array({expected}));
    for (const char *name : {"ann a", " Ann A", "Ann A ", "Ann"})
        EXPECT_EQ(call("getContactByFormattedName", {{"formattedName", name}}), json::object());
    EXPECT_EQ(byID("U-ANN"), json::object());
}

TEST_F(Functions, NamedAndPositionalCallsAgreeAndMissingArgumentsFindNothing) {
    addEntry({{"UniqueID", "u-ann"}, {"FormattedName", "Ann"}});
    addEntry({{"UniqueID", "u-bob"}, {"FormattedName", "Bob"}});
    const std::pair<const char *, json> calls[] = {
        {"getContact", {{"formattedName", "Bob"}}},
        {"getContactByFormattedName", {{"formattedName", "Ann"}}},
        {"getContactByUniqueID", {{"uniqueID", "u-bob"}}},
        {"getAllContacts", json::object()},
        {"getNumberOfContacts", json::object()}};
    for (const auto &[function, named] : calls) {
        json positional = json::array();
        for (const auto &item : named.items())
            positional.push_back(item.value());
        json byName = call(function, named);
        EXPECT_EQ(byName, host.callPositional("Phonebook", function, positional).value());
        EXPECT_NE(byName, json::object()) << function;
    }
    host.clearRecords();
    EXPECT_EQ(call("getContact", {{"name", "Ann"}}), json::object());
    auto warning = pbtest::linesWithMessage(
        host, "Named parameter formattedName not found, using default value NULL");
    ASSERT_EQ(warning.size(), 1u);
    EXPECT_EQ(warning[0].zone, "");
    EXPECT_EQ(pbtest::linesWithMessage(host, "Number of arguments 1").at(0).zone, "phonebook");
    EXPECT_TRUE(host.traced("paramValue is NULL"));
    EXPECT_EQ(host.callPositional("Phonebook", "getContactByUniqueID", json::array()).value(),
              json::object());
}

// A contact brought with its LastRevision keeps it, also past January 2038
// and where long has 32 bits (the gateway): the revision is no time_t cast
// to long on its way. Its values survive a restart.
TEST_F(Functions, AddedContactKeepsItsValuesAndRevisionAlsoPast2038) {
    ASSERT_TRUE(add(ann));
    json stored = byID("u-ann");
    EXPECT_EQ(stored["lastRevision"], "2001-02-03T04:05:06Z");
    EXPECT_EQ(numbers(stored), json::parse(R"([["1", "111", "home"], ["2", "222", "work"]])"));
    EXPECT_EQ(stored["emails"][0]["name"], "ann@x");
    for (const char *revision : {"2038-01-19T03:14:08Z", "2100-03-01T00:00:00Z"})
        ASSERT_TRUE(add({{"uniqueID", revision},
                         {"lastRevision", revision},
                         {"telephoneNumbers", {{{"name", "0123"}}}}}));
    json all = allContacts();
    host.advance(5000);
    restart();
    EXPECT_EQ(allContacts(), all);
    EXPECT_EQ(all[2]["lastRevision"], "2100-03-01T00:00:00Z");
    EXPECT_EQ(byID("2038-01-19T03:14:08Z")["lastRevision"], "2038-01-19T03:14:08Z");
}

// MaxNumberOfEntries caps additions, which then change nothing. It is
// unsigned: 4294967295 read as a signed number was 0, refusing everything.
TEST_F(Functions, TheEntryCapRefusesAndChangesNothing) {
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
    ASSERT_TRUE(host.set("Phonebook", {{"MaxNumberOfEntries", 4294967295u}}));
    EXPECT_EQ(call("getMaxNumberOfContacts"), 2147483647);
    EXPECT_TRUE(add({{"uniqueID", "3"}}));
}

// A contact with a hundred thousand numbers was written one number at a
// time, holding the daemon for seconds and filling the saved file: each list
// of a contact written through the functions holds at most 100 items.
TEST_F(Functions, AContactWithMoreThanAHundredItemsInAListIsRefused) {
    auto many = [](size_t count) {
        json list = json::array();
        for (size_t i = 0; i < count; ++i)
            list.push_back({{"name", std::to_string(1000 + i)}});
        return list;
    };
    for (const char *list : {"telephoneNumbers", "emails", "addresses", "labels", "photos"}) {
        json contact = {{"uniqueID", "u-bob"}, {"formattedName", "Bob"}, {list, many(101)}};
        EXPECT_FALSE(add(contact)) << list;
        EXPECT_FALSE(call("addContactAndGenUUID", {{"contact", contact}}).is_string()) << list;
        EXPECT_FALSE(modify("Ann", {{list, many(101)}})) << list;
    }
    EXPECT_EQ(call("getNumberOfContacts"), 0);
    json full = ann;
    full["telephoneNumbers"] = many(100);
    ASSERT_TRUE(add(full));
    EXPECT_FALSE(modify("Ann", {{"telephoneNumbers", many(101)}, {"title", "Dr"}}));
    EXPECT_EQ(byID("u-ann")["telephoneNumbers"].size(), 100u);
    EXPECT_EQ(byID("u-ann")["title"], "");
}

// An empty FormattedName or UniqueID was matched as a value: found, removed,
// and taken for a duplicate; an empty or null UniqueID was stored over the
// generated one (found by fuzz_contacts: an entry with no UniqueID).
TEST_F(Functions, IdentifiersAreUniqueOrGeneratedAndEmptyValuesNeverMatch) {
    ASSERT_TRUE(add(ann));
    json before = allContacts();
    EXPECT_FALSE(add({{"uniqueID", "u-ann"}, {"formattedName", "Other"}}));
    EXPECT_TRUE(
        host.traced("Contact with UniqueID=u-ann already exists with state object_state_ready"));
    EXPECT_EQ(allContacts(), before);
    std::string id = call("addContactAndGenUUID",
                          {{"contact", {{"uniqueID", "u-ann"}, {"formattedName", "G"}}}});
    EXPECT_TRUE(std::regex_match(id, kUrn)) << id;
    EXPECT_EQ(byID(id)["formattedName"], "G");
    std::string viaBus = host.get(addEntry({{"FormattedName", "Bus"}}) + ".UniqueID").toJson();
    EXPECT_TRUE(std::regex_match(viaBus, kUrn)) << viaBus;
    EXPECT_NE(viaBus, id);

    ASSERT_TRUE(call("removeAllContacts") == true);
    ASSERT_TRUE(add({{"uniqueID", ""}, {"title", "first"}}));
    ASSERT_TRUE(add({{"uniqueID", nullptr}, {"formattedName", "Null"}}));
    json contacts = allContacts();
    ASSERT_EQ(contacts.size(), 2u);
    for (const json &contact : contacts)
        EXPECT_TRUE(std::regex_match(contact["uniqueID"].get<std::string>(), kUrn)) << contact;
    std::string generated = contacts[1]["uniqueID"];
    EXPECT_TRUE(modify("Null", {{"uniqueID", ""}, {"title", "empty"}}));
    EXPECT_TRUE(call("modifyContactByUniqueID",
                     {{"uniqueID", generated},
                      {"contact", {{"uniqueID", nullptr}, {"url", "u"}}}}) == true);
    EXPECT_EQ(byID(generated)["title"], "empty");
    EXPECT_EQ(byID(generated)["url"], "u");
    contacts = allContacts();
    EXPECT_EQ(call("getContact", {{"formattedName", ""}}), json::object());
    EXPECT_EQ(call("getContactByUniqueID", {{"uniqueID", ""}}), json::object());
    EXPECT_EQ(call("removeContact", {{"formattedName", ""}}), false);
    EXPECT_EQ(call("modifyContact", {{"formattedName", ""}, {"contact", {{"title", "x"}}}}), false);
    EXPECT_EQ(allContacts(), contacts);
}

TEST_F(Functions, ModifyKeepsThePropertiesNamedByKeyAndReplacesTheRest) {
    ASSERT_TRUE(add(ann));
    EXPECT_TRUE(modify(
        "Ann", {{"telephoneNumbers", {{{"key", "2"}, {"name", "222-new"}}, {{"name", "333"}}}}}));
    EXPECT_EQ(numbers(byID("u-ann")),
              json::parse(R"([["2", "222-new", "work"], ["3", "333", ""]])"));
    // A key used twice names the instance created for its first use.
    EXPECT_TRUE(modify("Ann", {{"telephoneNumbers",
                                {{{"key", "k"}, {"name", "1"}}, {{"key", "k"}, {"type", "t"}}}}}));
    EXPECT_EQ(numbers(byID("u-ann")), json::parse(R"([["k", "1", "t"]])"));

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

// What the API layer refuses before a contact reaches the store, and one
// element that the store cannot write, wherever it stands: nothing changes.
TEST_F(Functions, ARefusedContactChangesNothing) {
    ASSERT_TRUE(add(ann));
    ASSERT_TRUE(add({{"uniqueID", "u-bob"}, {"formattedName", "Bob"}}));
    json before = allContacts();
    host.clearRecords();
    EXPECT_FALSE(add({{"formattedName", "A"}}));
    EXPECT_EQ(pbtest::linesWithMessage(host, "No uniqueID specified").at(0).level, 300);
    EXPECT_FALSE(host.traced("remapping variant tree"));
    EXPECT_FALSE(modify("Ann", {{"uniqueID", "u"}, {"telephoneNumbers", {"0123"}}}));
    EXPECT_TRUE(host.traced("variant map could not be remapped"));
    const json bad[] = {
        {{"title", "T"}, {"TelephoneNumber", {"junk", {{"Number", "9"}}}}}, // non-map, then a map
        {{"title", "T"}, {"birthDay", "soon"}, {"telephoneNumbers", {{{"name", "9"}}}}},
        {{"title", "T"}, {"Nickname", {{"name", "x"}}}}, // names no property object
        {{"title", "T"}, {"formattedName", "Bob"}}};     // refused by the validator
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

// The contacts addContacts could not add come back in the out-argument
// "result", placed first.
TEST_F(Functions, AddContactsHandsBackTheFailedOnes) {
    ASSERT_TRUE(add({{"uniqueID", "taken"}}));
    json failed = {{"uniqueID", "taken"}, {"formattedName", "Dup"}};
    json contacts = {{{"uniqueID", "a"}},
                     failed,
                     {{"formattedName", "A"}},
                     {{"uniqueID", "b"}},
                     {{"uniqueID", "u"}, {"telephoneNumbers", {"0123"}}}};
    auto result =
        host.call("Phonebook", "addContacts", {{"x", 1}, {"contacts", contacts}, {"result", {7}}});
    EXPECT_EQ(result.value(), false);
    ASSERT_FALSE(result.outargs.empty());
    EXPECT_EQ(result.outargs.begin().key(), "result");
    EXPECT_EQ(result.outargs["result"], json::array({failed, contacts[2], contacts[4]}));
    EXPECT_EQ(call("getNumberOfContacts"), 3);
    auto none = host.callPositional("Phonebook", "addContacts", json::array({json::array()}));
    EXPECT_EQ(none.value(), true);
    EXPECT_EQ(none.outargs["result"], json::array());
    EXPECT_TRUE(host.traced("Contact additions: 0 total, 0 succeeded, 0 failed"));
}

TEST_F(Functions, Removals) {
    ASSERT_TRUE(add(ann));
    ASSERT_TRUE(add({{"uniqueID", "u-bob"}, {"formattedName", "Bob"}}));
    EXPECT_EQ(call("removeContact", {{"formattedName", "bob"}}), false);
    EXPECT_EQ(call("removeContact", {{"formattedName", "Bob"}}), true);
    EXPECT_EQ(call("removeContactByUniqueID", {{"uniqueID", "u-bob"}}), false);
    EXPECT_EQ(formattedNames(), pbtest::Names{"Ann"});
    EXPECT_EQ(call("removeAllContacts"), true);
    EXPECT_EQ(call("removeAllContacts"), true);
    EXPECT_EQ(allContacts(), json::array());
}

} // namespace
