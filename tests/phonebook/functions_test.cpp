// The functions of Phonebook as clients call them: answers, and the contacts they change.
#include <regex>

#include "phonebook_test_support.hpp"

namespace {

using pbtest::json;

const std::regex kUrn("urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");

class Functions : public pbtest::PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        host.writeFile("/usr/lib/phonebook/CCC.dat", pbtest::fileText(CCC_DAT));
        start();
    }
    bool add(const json &contact) { return call("addContact", {{"contact", contact}}) == true; }
    bool modify(const char *name, const json &contact) {
        return call("modifyContact", {{"formattedName", name}, {"contact", contact}}) == true;
    }
    json byID(const std::string &id) { return call("getContactByUniqueID", {{"uniqueID", id}}); }
    const json ann = json::parse(R"({"uniqueID": "u-ann", "formattedName": "Ann", "name": "A",
      "lastRevision": "2001-02-03T04:05:06Z", "emails": [{"name": "ann@x"}],
      "telephoneNumbers": [{"name": "111", "type": "home", "preferred": true}, {"name": "222"}]})");
};

TEST_F(Functions, AnswersOfAnEmptyPhonebook) {
    const std::tuple<const char *, json, variant_type_t, json> cases[] = {
        {"getAllContacts", json::object(), variant_type_array, json::array()},
        {"getNumberOfContacts", json::object(), variant_type_uint32, 0},
        {"getMaxNumberOfContacts", json::object(), variant_type_uint32, 1000},
        {"getContact", {{"name", "Nobody"}}, variant_type_map, json::object()},
        {"getContactByUniqueID", {{"uniqueID", "x"}}, variant_type_map, json::object()},
        {"getContactByNumber", {{"number", "0123"}}, variant_type_unknown, nullptr},
        {"getContactByNumber", json::object(), variant_type_unknown, nullptr}};
    for (const auto &[function, arguments, type, value] : cases) {
        auto answer = host.call("Phonebook", function, arguments);
        EXPECT_TRUE(answer.ok) << function;
        EXPECT_EQ(answer.retval.type(), type) << function;
        EXPECT_EQ(answer.value(), value) << function;
    }
    EXPECT_EQ(firstLine("Parameter 'number' is null.").level, 100);
    const std::string warning = "Named parameter formattedName not found, using default value NULL";
    EXPECT_EQ(firstLine(warning).zone, "");
    EXPECT_EQ(firstLine("Number of arguments 1").zone, "phonebook");
    EXPECT_TRUE(host.traced("paramValue is NULL"));
}

// Past 2038 also where long has 32 bits (the gateway): no time_t is cast to long on the way.
TEST_F(Functions, AddedContactKeepsItsValuesAndRevisionAlsoPast2038) {
    ASSERT_TRUE(add(ann));
    EXPECT_TRUE(host.traced("Encountered a new variant_type_array; old_key"));
    EXPECT_TRUE(host.traced("!!!!! Decending into phonebook.telephoneNumbers"));
    EXPECT_TRUE(host.traced("printing a map of size 3"));
    EXPECT_TRUE(host.traced("!!!!! phonebook.telephoneNumbers.name = 111; type=1"));
    EXPECT_TRUE(host.traced("variant type: phonebook.telephoneNumbers.preferred = 10"));
    EXPECT_EQ(firstLine("remapping variant tree telephoneNumbers at depth 1").zone, "");
    EXPECT_TRUE(
        host.traced("remapped old_key=telephoneNumbers.name to new_key=TelephoneNumber.Number"));
    EXPECT_TRUE(host.traced("Encountered a variant of type 1; old_key=uniqueID"));
    EXPECT_TRUE(host.traced("old_key=title was not found, ignoring"));
    const char *const revisions[] = {"2038-01-19T03:14:08Z", "2100-03-01T00:00:00Z"};
    for (const char *revision : revisions)
        ASSERT_TRUE(add({{"uniqueID", revision},
                         {"lastRevision", revision},
                         {"telephoneNumbers", {{{"name", "0123"}}}}}));
    json all = allContacts();
    host.advance(5000);
    restart();
    EXPECT_EQ(allContacts(), all);
    EXPECT_EQ(byID("u-ann")["lastRevision"], "2001-02-03T04:05:06Z");
    for (const char *revision : revisions)
        EXPECT_EQ(byID(revision)["lastRevision"], revision);
}

// An empty FormattedName or UniqueID was matched as a value (found, removed, a duplicate); an
// empty or null UniqueID was stored over the generated one (fuzz_contacts: no UniqueID).
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
    contacts = allContacts();
    EXPECT_EQ(call("getContact", {{"formattedName", ""}}), json::object());
    EXPECT_EQ(call("getContactByUniqueID", {{"uniqueID", ""}}), json::object());
    EXPECT_EQ(call("removeContact", {{"formattedName", ""}}), false);
    EXPECT_EQ(call("modifyContact", {{"formattedName", ""}, {"contact", {{"title", "x"}}}}), false);
    EXPECT_EQ(allContacts(), contacts);
}

// Refused by the API layer, by the store (one element, wherever it stands) or by the entry cap.
TEST_F(Functions, ARefusedContactChangesNothing) {
    ASSERT_TRUE(add(ann));
    ASSERT_TRUE(add({{"uniqueID", "u-bob"}, {"formattedName", "Bob"}}));
    json before = allContacts();
    host.advance(5000);
    host.clearRecords();
    EXPECT_FALSE(add({{"formattedName", "A"}}));
    EXPECT_EQ(firstLine("No uniqueID specified").level, 300);
    EXPECT_FALSE(host.traced("remapping variant tree"));
    EXPECT_FALSE(modify("Ann", {{"uniqueID", "u"}, {"telephoneNumbers", {"0123"}}}));
    EXPECT_TRUE(host.traced("variant map could not be remapped"));
    auto many = [](size_t count) {
        json list = json::array();
        for (size_t i = 0; i < count; ++i)
            list.push_back({{"name", std::to_string(1000 + i)}});
        return list;
    };
    std::vector<json> bad = {
        {{"title", "T"}, {"TelephoneNumber", {"junk", {{"Number", "9"}}}}}, // non-map, then a map
        {{"title", "T"}, {"birthDay", "soon"}, {"telephoneNumbers", {{{"name", "9"}}}}},
        {{"title", "T"}, {"Nickname", {{"name", "x"}}}}, // names no property object
        {{"title", "T"}, {"formattedName", "Bob"}}};     // refused by the validator
    // 100 000 numbers held the daemon for seconds and filled the saved file: at most 100.
    for (const char *list : {"telephoneNumbers", "emails", "addresses", "labels", "photos"})
        bad.push_back({{"title", "T"}, {list, many(101)}});
    for (const json &contact : bad) {
        SCOPED_TRACE(contact.dump().substr(0, 120));
        EXPECT_FALSE(modify("Ann", contact));
        json added = contact;
        added["uniqueID"] = "new";
        EXPECT_FALSE(add(added));
        EXPECT_FALSE(call("addContactAndGenUUID", {{"contact", added}}).is_string());
        EXPECT_EQ(call("addContacts", {{"contacts", {added}}}), false);
        EXPECT_EQ(allContacts(), before);
    }
    host.advance(60000);
    EXPECT_TRUE(host.notifications.empty());
    EXPECT_EQ(saves(), 0u);
    // MaxNumberOfEntries is unsigned: 4294967295 read as signed was 0, refusing everything.
    ASSERT_TRUE(host.set("Phonebook", {{"MaxNumberOfEntries", 2}}));
    EXPECT_FALSE(add({{"uniqueID", "3"}}));
    EXPECT_EQ(call("addContactAndGenUUID", {{"contact", json::object()}}), nullptr);
    const std::string refusal = "Not adding new contact : Max number of contacts reached (2)";
    ASSERT_EQ(pbtest::linesWithMessage(host, refusal).size(), 2u);
    EXPECT_EQ(firstLine(refusal).level, 200);
    EXPECT_EQ(allContacts(), before);
    EXPECT_EQ(firstLine("variant_list_iterator_t element is not of type variant_type_map").level,
              200);
    ASSERT_TRUE(host.set("Phonebook", {{"MaxNumberOfEntries", 4294967295u}}));
    EXPECT_EQ(call("getMaxNumberOfContacts"), 2147483647);
    json full = {{"uniqueID", "Cy"},
                 {"formattedName", "Cy"},
                 {"telephoneNumbers", {{{"name", "+33612345678"}}}}};
    for (const json &number : many(99))
        full["telephoneNumbers"].push_back(number);
    ASSERT_TRUE(add(full));
    // What the number's write handler made of a "+" stays through a rollback.
    EXPECT_FALSE(modify("Cy", bad[2]));
    json cyNumbers = byID("Cy")["telephoneNumbers"];
    EXPECT_EQ(cyNumbers[0]["name"], "0033612345678");
    EXPECT_EQ(cyNumbers.size(), 100u);
    // Keys that name nothing and doubles are skipped.
    EXPECT_TRUE(add({{"uniqueID", "u2"}, {"nickname", "x"}, {"score", 1.5}, {"title", "ok"}}));
    EXPECT_EQ(byID("u2")["title"], "ok");
}

// The failed contacts come back in the out-argument "result", placed first.
TEST_F(Functions, AddContactsHandsBackTheFailedOnes) {
    ASSERT_TRUE(add({{"uniqueID", "taken"}}));
    json contacts = json::parse(R"([{"uniqueID": "a", "formattedName": "A"},
      {"uniqueID": "taken", "formattedName": "Dup"}, {"formattedName": "A"}, {"uniqueID": "b"},
      {"uniqueID": "u", "telephoneNumbers": ["0123"]}])");
    auto result =
        host.call("Phonebook", "addContacts", {{"x", 1}, {"contacts", contacts}, {"result", {7}}});
    EXPECT_EQ(result.value(), false);
    ASSERT_FALSE(result.outargs.empty());
    EXPECT_EQ(result.outargs.begin().key(), "result");
    EXPECT_EQ(result.outargs["result"], json::array({contacts[1], contacts[2], contacts[4]}));
    EXPECT_EQ(call("getNumberOfContacts"), 3);
    EXPECT_TRUE(host.traced("Contact additions: 5 total, 2 succeeded, 3 failed"));
}

// The whole contact of an entry with a number that compares equal; "+" is stored as "00".
TEST_F(Functions, LookupByNumberAndTheStoredPlus) {
    ASSERT_TRUE(add({{"uniqueID", "ann"}, {"telephoneNumbers", {{{"name", "0612345678"}}}}}));
    ASSERT_TRUE(host.add("Phonebook.Entry.1.Email", {{"Address", "ann@x"}}) != "");
    EXPECT_EQ(call("getContactByNumber", {{"number", "+33612345678"}}), byID("ann"));
    EXPECT_EQ(byID("ann")["emails"].size(), 1u);
    std::string path = host.add("Phonebook.Entry.1.TelephoneNumber", {{"Number", "+33 1"}});
    EXPECT_EQ(host.get(path + ".Number").toJson(), "0033 1");
    const std::pair<const char *, const char *> writes[] = {
        {"+", "00"},           {"", ""}, {"0612", "0612"}, {"3+1", "3+1"}, {"+33+1", "0033001"},
        {"0033001", "0033001"}};
    for (const auto &[written, stored] : writes) {
        EXPECT_TRUE(host.set(path, {{"Number", written}})) << written;
        EXPECT_EQ(host.get(path + ".Number").toJson(), stored) << written;
    }
    EXPECT_FALSE(host.traced("No valid number specified"));
    EXPECT_FALSE(host.traced("Failed to replace the prefix"));
    host.advance(5000);
    EXPECT_EQ(host.readFile("/cfg/system/phonebook.odl").find('+'), std::string::npos);
}

} // namespace
