// Looking contacts up by telephone number, and the "+" of stored numbers,
// through the bus with the shipped calling code table.
#include "phonebook_test_support.hpp"

namespace {

using pbtest::json;

class Numbers : public pbtest::PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        host.writeFile("/usr/lib/phonebook/CCC.dat", pbtest::fileText(CCC_DAT));
        start();
    }
    bool add(const std::string &uniqueID, const std::vector<std::string> &numbers) {
        json contact = {{"uniqueID", uniqueID}, {"formattedName", uniqueID}};
        contact["telephoneNumbers"] = json::array();
        for (const std::string &number : numbers)
            contact["telephoneNumbers"].push_back({{"name", number}, {"type", "cell"}});
        return call("addContact", {{"contact", contact}}) == true;
    }
    zebtest::CallResult byNumber(const std::string &number) {
        return host.call("Phonebook", "getContactByNumber", {{"number", number}});
    }
    json contact(const std::string &name) { return call("getContact", {{"formattedName", name}}); }
    std::string number(const std::string &path) { return host.get(path + ".Number").toJson(); }
};

TEST_F(Numbers, TheWholeContactOfTheFirstMatchingEntry) {
    ASSERT_TRUE(add("none", {}));
    ASSERT_TRUE(add("ann", {"0140000000", "0612345678"}));
    ASSERT_TRUE(add("bob", {"+33612345678"})); // the exact text, but later
    ASSERT_TRUE(host.add("Phonebook.Entry.2.Email", {{"Address", "ann@x"}}) != "");
    for (const char *asked : {"0612345678", "+33612345678", "0033612345678"})
        EXPECT_EQ(byNumber(asked).value(), contact("ann")) << asked;
    EXPECT_EQ(host.callPositional("Phonebook", "getContactByNumber", {"+33140000000"}).value(),
              contact("ann"));
    EXPECT_EQ(contact("ann")["emails"].size(), 1u);

    EXPECT_EQ(byNumber("0612345679").retval.type(), variant_type_unknown);
    auto missing = host.call("Phonebook", "getContactByNumber");
    EXPECT_TRUE(missing.ok);
    EXPECT_EQ(missing.retval.type(), variant_type_unknown);
    EXPECT_EQ(pbtest::linesWithMessage(host, "Parameter 'number' is null.").at(0).level, 100);
}

TEST_F(Numbers, LeadingPlusIsStoredAsDoubleZero) {
    ASSERT_TRUE(add("ann", {"+33612345678", "0612345678"}));
    EXPECT_EQ(contact("ann")["telephoneNumbers"][0]["name"], "0033612345678");
    EXPECT_EQ(contact("ann")["telephoneNumbers"][1]["name"], "0612345678");

    std::string path = host.add("Phonebook.Entry.1.TelephoneNumber", {{"Number", "+33 1"}});
    EXPECT_EQ(number(path), "0033 1");
    const std::pair<const char *, const char *> writes[] = {
        {"+", "00"},           {"", ""}, {"0612", "0612"}, {"3+1", "3+1"}, {"+33+1", "0033001"},
        {"0033001", "0033001"}};
    for (const auto &[written, stored] : writes) {
        EXPECT_TRUE(host.set(path, {{"Number", written}})) << written;
        EXPECT_EQ(number(path), stored) << written;
    }
    EXPECT_FALSE(host.traced("No valid number specified"));
    EXPECT_FALSE(host.traced("Failed to replace the prefix"));
    host.advance(5000);
    std::string saved = host.readFile("/cfg/system/phonebook.odl");
    EXPECT_NE(saved.find("0033612345678"), std::string::npos);
    EXPECT_EQ(saved.find('+'), std::string::npos);
}

TEST_F(Numbers, TableIsReadAfreshAfterARestart) {
    host.writeFile("/usr/lib/phonebook/CCC.dat", "49 00 0\n");
    restart();
    ASSERT_TRUE(add("ann", {"+33612345678"}));
    EXPECT_EQ(byNumber("0612345678").retval.type(), variant_type_unknown);
    host.writeFile("/usr/lib/phonebook/CCC.dat", "33 00 0\n");
    EXPECT_EQ(byNumber("0612345678").retval.type(), variant_type_unknown); // loaded once
    restart();
    EXPECT_EQ(byNumber("0612345678").value()["uniqueID"], "ann");
}

} // namespace
