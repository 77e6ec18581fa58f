// The data model functions of Phonebook as clients on the bus call them.
#include "plugin_fixture.hpp"

namespace {

using pbtest::json;

class Functions : public pbtest::PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        start();
    }
    zebtest::CallResult get(const char *function, const char *argument, const char *value) {
        return host.call("Phonebook", function, {{argument, value}});
    }
};

TEST_F(Functions, EmptyPhonebook) {
    auto all = host.call("Phonebook", "getAllContacts");
    EXPECT_EQ(all.retval.type(), variant_type_array);
    EXPECT_EQ(all.value(), json::array());
    auto count = host.call("Phonebook", "getNumberOfContacts");
    EXPECT_EQ(count.retval.type(), variant_type_uint32);
    EXPECT_EQ(count.value(), 0);
    EXPECT_EQ(host.call("Phonebook", "getMaxNumberOfContacts").value(), 1000);

    auto byName = get("getContact", "formattedName", "Nobody");
    EXPECT_EQ(byName.retval.type(), variant_type_map);
    EXPECT_EQ(byName.value(), json::object());
    EXPECT_EQ(get("getContactByUniqueID", "uniqueID", "x").value(), json::object());
    auto byNumber = get("getContactByNumber", "number", "0123");
    EXPECT_TRUE(byNumber.ok);
    EXPECT_EQ(byNumber.retval.type(), variant_type_unknown);
}

TEST_F(Functions, ContactMapOfAnEntryInPublicForm) {
    std::string ann = addEntry({{"UniqueID", "u-ann"},
                                {"Name", "Ann"},
                                {"FormattedName", "Ann A"},
                                {"URL", "http://ann"}});
    ASSERT_FALSE(
        host.add(ann + ".TelephoneNumber", {{"Number", "0123"}, {"Preferred", true}}).empty());
    ASSERT_TRUE(host.set(ann, {{"LastRevision", "2021-03-04T05:06:07Z"}}));
    json expected = json::parse(R"({"key": "1", "uniqueID": "u-ann",
      "lastRevision": "2021-03-04T05:06:07Z", "name": "Ann", "formattedName": "Ann A",
      "birthDay": "1970-01-01T00:00:00Z", "title": "", "organisation": "", "url": "http://ann",
      "ringtone": "", "tags": "", "addresses": [], "labels": [],
      "telephoneNumbers": [{"key": "1", "name": "0123", "type": "", "preferred": true}],
      "emails": [], "photos": []})");
    EXPECT_EQ(ann, "Phonebook.Entry.1");
    EXPECT_EQ(get("getContact", "formattedName", "Ann A").value(), expected); // in this order
    EXPECT_EQ(get("getContactByUniqueID", "uniqueID", "u-ann").value(), expected);
    EXPECT_EQ(allContacts(), json::array({expected}));
    EXPECT_TRUE(host.traced("!!!!! phonebook.telephoneNumbers.name = 0123; type=1"));

    for (const char *name : {"ann a", " Ann A", "Ann A ", "Ann"})
        EXPECT_EQ(get("getContactByFormattedName", "formattedName", name).value(), json::object());
    EXPECT_EQ(get("getContactByUniqueID", "uniqueID", "U-ANN").value(), json::object());
}

TEST_F(Functions, NamedAndPositionalCallsAgree) {
    addEntry({{"UniqueID", "u-ann"}, {"FormattedName", "Ann"}});
    addEntry({{"UniqueID", "u-bob"}, {"FormattedName", "Bob"}});
    const std::vector<std::pair<const char *, json>> calls = {
        {"getContact", {{"formattedName", "Bob"}}},
        {"getContactByFormattedName", {{"formattedName", "Ann"}}},
        {"getContactByUniqueID", {{"uniqueID", "u-bob"}}},
        {"getAllContacts", json::object()},
        {"getNumberOfContacts", json::object()},
    };
    for (const auto &[function, named] : calls) {
        json positional = json::array();
        for (const auto &item : named.items())
            positional.push_back(item.value());
        auto byName = host.call("Phonebook", function, named);
        auto byPosition = host.callPositional("Phonebook", function, positional);
        EXPECT_EQ(byName.value(), byPosition.value()) << function;
        EXPECT_NE(byName.value(), json::object()) << function;
    }
}

TEST_F(Functions, MissingArgumentsFindNothing) {
    addEntry({{"UniqueID", "u-ann"}, {"FormattedName", "Ann"}});
    host.clearRecords();
    EXPECT_EQ(get("getContact", "name", "Ann").value(), json::object());
    auto warning = pbtest::linesWithMessage(
        host, "Named parameter formattedName not found, using default value NULL");
    ASSERT_EQ(warning.size(), 1u);
    EXPECT_EQ(warning[0].zone, "");
    auto count = pbtest::linesWithMessage(host, "Number of arguments 1");
    ASSERT_EQ(count.size(), 1u);
    EXPECT_EQ(count[0].zone, "phonebook");
    EXPECT_TRUE(host.traced("paramValue is NULL"));
    EXPECT_EQ(host.callPositional("Phonebook", "getContactByUniqueID", json::array()).value(),
              json::object());
}

TEST_F(Functions, NumberOfEntriesAndUniqueness) {
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
}

// A contact brought with its LastRevision keeps it, also past January 2038
// and where long has 32 bits (the gateway): the revision is no time_t cast
// to long on its way.
TEST_F(Functions, ASuppliedRevisionIsKeptAlsoPast2038) {
    for (const char *revision :
         {"2020-05-06T07:08:09Z", "2038-01-19T03:14:08Z", "2100-03-01T00:00:00Z"}) {
        json contact = {{"uniqueID", revision},
                        {"formattedName", revision},
                        {"lastRevision", revision},
                        {"telephoneNumbers", {{{"name", "0123"}}}},
                        {"emails", {{{"name", "a@example.org"}}}}};
        ASSERT_EQ(host.call("Phonebook", "addContact", {{"contact", contact}}).value(), true);
        EXPECT_EQ(get("getContactByUniqueID", "uniqueID", revision).value()["lastRevision"],
                  revision);
    }
}

// What the API layer refuses before a contact reaches the store.
TEST_F(Functions, IncomingContactsAreChecked) {
    EXPECT_EQ(host.call("Phonebook", "addContact", {{"contact", {{"formattedName", "A"}}}}).value(),
              false);
    EXPECT_EQ(pbtest::linesWithMessage(host, "No uniqueID specified").at(0).level, 300);
    EXPECT_FALSE(host.traced("remapping variant tree"));

    json bad = {{"uniqueID", "u"}, {"telephoneNumbers", {"0123"}}};
    EXPECT_EQ(
        host.call("Phonebook", "modifyContact", {{"formattedName", "A"}, {"contact", bad}}).value(),
        false);
    EXPECT_TRUE(host.traced("variant map could not be remapped"));

    // Failed contacts come back in the out-argument "result", placed first.
    json contacts = json::array({{{"formattedName", "A"}}, bad});
    auto added =
        host.call("Phonebook", "addContacts", {{"x", 1}, {"contacts", contacts}, {"result", {7}}});
    EXPECT_EQ(added.value(), false);
    EXPECT_EQ(added.outargs.begin().key(), "result");
    EXPECT_EQ(added.outargs["result"], contacts);
    auto none = host.callPositional("Phonebook", "addContacts", json::array({json::array()}));
    EXPECT_EQ(none.value(), true);
    EXPECT_EQ(none.outargs["result"], json::array());
    EXPECT_TRUE(host.traced("Contact additions: 0 total, 0 succeeded, 0 failed"));
}

} // namespace
