// What rule files grant to whom, and what they refuse to read.
#include "zeb_access.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

namespace {

using zeb_access::AccessRules;
using zeb_access::Caller;

zeb_access::NameLookup fakeLookup() {
    return zeb_access::NameLookup::fromTables({{"web", 33}, {"alice", 1000}},
                                              {{"voice", 22}, {"operator", 37}});
}

AccessRules rulesOf(const std::string &text) {
    AccessRules rules;
    std::string error;
    EXPECT_TRUE(rules.addText(text, "rules.json", fakeLookup(), &error)) << error;
    return rules;
}

// "OPERATION PATH [FUNCTION]"; "notify" to receive a notification of the path.
bool allows(const AccessRules &rules, const Caller &who, const std::string &request) {
    std::istringstream words(request);
    std::string op, path, function;
    words >> op >> path >> function;
    if (op == "call")
        return rules.allowsCall(who, path, function);
    if (op == "notify")
        return rules.allowsNotification(who, path);
    for (unsigned bit = 1; bit <= zeb_access::kAccessSubscribe; bit <<= 1) {
        auto operation = static_cast<zeb_access::AccessOperation>(bit);
        if (op == zeb_access::accessOperationName(operation))
            return rules.allows(who, operation, path);
    }
    ADD_FAILURE() << "no request " << request;
    return false;
}

void expectDecisions(const AccessRules &rules, const Caller &who,
                     std::initializer_list<const char *> allowed,
                     std::initializer_list<const char *> refused) {
    for (const char *request : allowed)
        EXPECT_TRUE(allows(rules, who, request)) << request;
    for (const char *request : refused)
        EXPECT_FALSE(allows(rules, who, request)) << request;
}

TEST(AccessRules, PatternsMatchExactlyOrByPrefix) {
    AccessRules rules = rulesOf(R"({"rules": [{"user": "alice", "access": [
        {"path": "Phonebook", "operations": ["get"], "functions": ["getContact*", "export"]},
        {"path": "Phonebook.Entry*", "operations": ["set", "del"]},
        {"path": "Phonebook.Entry.*", "operations": ["add"]},
        {"path": "*", "operations": ["list"]}]},
      {"user": "nobody-here", "access": [{"path": "*", "operations": ["get"]}]}]})");
    ASSERT_EQ(rules.warnings().size(), 1u);
    EXPECT_EQ(rules.warnings()[0], "rules.json: no user \"nobody-here\": its rule matches nobody");
    expectDecisions(rules, Caller{1000, {1000}},
                    {"get Phonebook", "set Phonebook.Entry", "del Phonebook.Entry.7",
                     "set Phonebook.Entry.7.TelephoneNumber.1.Number",
                     "add Phonebook.Entry.7.Email", "list", "list Other.Object",
                     "call Phonebook getContact", "call Phonebook getContactByNumber",
                     "call Phonebook export"},
                    {"get Phonebook.MaxNumberOfEntries", "set Phonebook", "add Phonebook.Entry",
                     "notify Phonebook", "call Phonebook exportAll", "call Phonebook import",
                     "call Phonebook.Entry.1 getContact", "call Phonebook.Entry.1 set"});
}

// 4294967295 is (uid_t)-1, no user: a rule naming it would match a peer of unknown credentials.
TEST(AccessRules, BadFilesAreRefusedWithWhereAndWhyAndChangeNothing) {
    auto rule = [](const std::string &who) {
        return R"({"rules": [{)" + who + R"(, "access": [{"path": "*", "operations": ["get"]}]}]})";
    };
    std::string many = R"({"rules": [{"user": 1, "access": [{"path": "A", "functions": [)";
    for (size_t i = 0; i <= zeb_access::kMaxFunctionsPerGrant; ++i)
        many += (i ? ",\"f" : "\"f") + std::to_string(i) + "\"";
    many += "]}]}]}";
    const std::string longPath(zeb_access::kMaxPatternLength + 1, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {"{\"rules\": [\n  {\"user\": 1,\n   \"acces\": []}]}", "3:4: unknown member \"acces\""},
        {R"({"rules": [{"user": 1, "group": 2, "access": []}]})",
         "1:12: a rule names either a \"user\" or a \"group\""},
        {R"({"rules": [{"user": 1}]})", "1:12: a rule needs \"access\""},
        {"{\"rules\": [{\"user\": 1, \"access\": [{\"path\": \"A\",\n \"operations\": "
         "[\"get\", \"write\"]}]}]}",
         "2:24: unknown operation \"write\" (get, set, add, del, list or subscribe)"},
        {R"({"rules": [{"user": 1, "access": [{"path": "Phone*.Entry"}]}]})",
         "1:36: \"*\" may only end a pattern: \"Phone*.Entry\""},
        {R"({"rules": [{"user": 1, "access": [{"path": "A", "functions": [""]}]}]})",
         "1:63: a function name cannot be empty"},
        {R"({"rules": [{"user": 1, "access": [{"path": "A"}]}], "rules": []})",
         "1:53: duplicate member \"rules\""},
        {R"({"rules": [{"user": 1, "access": [{"path": "A"}]}])", "1:51: not valid JSON"},
        {"[]", "1:1: a rule file is an object with \"rules\""},
        {R"({"rules": [{"user": "a\u0000b", "access": []}]})",
         "1:13: a text holds a NUL character"},
        {R"({"rules": {}})", "1:2: \"rules\" must be a list"},
        {R"({"rules": [{"user": true, "access": []}]})",
         "1:13: \"user\" must be a name or a number"},
        {R"({"rules": [{"role": "admin", "user": 1, "access": []}]})",
         "1:12: a rule names either a \"user\" or a \"group\" or a \"role\""},
        {R"({"rules": [{"role": 7, "access": []}]})", "1:13: \"role\" must be a name"},
        {rule(R"("user": 4294967295)"), "1:13: no user has the number 4294967295"},
        {rule(R"("group": 4294967295)"), "1:13: no group has the number 4294967295"},
        {rule(R"("group": "4294967295")"), "1:13: no group has the number 4294967295"},
        {rule(R"("user": 4294967296)"), "1:13: no user has the number 4294967296"},
        {rule(R"("group": -9223372036854775808)"), "1:13: a group number cannot be negative"},
        {rule(R"("user": 1e3)"), "1:13: a user number is a whole number"},
        {rule(R"("group": 18446744073709551616)"), "1:13: a group number is a whole number"},
        {many, "\"functions\" holds more than 256 items"},
        {R"({"rules": [{"user": 1, "access": [{"path": ")" + longPath + "\"}]}]}",
         "a pattern is at most 1024 bytes"},
        {"{\"rules\": " + std::string(40, '['), "nested deeper than"},
    };
    for (const auto &[text, expected] : cases) {
        AccessRules rules = rulesOf(rule(R"("user": 1000)"));
        std::string error;
        EXPECT_FALSE(rules.addText(text, "bad.json", fakeLookup(), &error)) << text;
        if (expected[0] >= '0' && expected[0] <= '9')
            EXPECT_EQ(error.substr(0, 9 + expected.size()), "bad.json:" + expected);
        else
            EXPECT_NE(error.find(expected), std::string::npos) << error;
        EXPECT_EQ(rules.size(), 1u);
        EXPECT_TRUE(allows(rules, Caller{1000, {}}, "get Phonebook"));
        EXPECT_FALSE(allows(rules, Caller{33, {}}, "get Phonebook"));
    }
}

TEST(AccessRules, EveryJsonFileOfADirectoryCountsAndAFailedReadKeepsThePreviousRules) {
    char pattern[] = "/tmp/zeb-acl-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    auto write = [&](const std::string &name, const std::string &text) {
        std::ofstream(dir + "/" + name) << text;
    };
    auto grant = [](const char *path) {
        return std::string(R"({"rules": [{"user": 1000, "access": [{"path": ")") + path +
               R"(", "operations": ["get"]}]}]})";
    };
    write("a.json", grant("A"));
    write("b.json", grant("B"));
    write("c.json.disabled", grant("C"));
    write(".hidden.json", grant("D"));
    AccessRules rules;
    std::string error;
    ASSERT_TRUE(rules.loadDirectory(dir, fakeLookup(), &error)) << error;
    const Caller alice{1000, {}};
    expectDecisions(rules, alice, {"get A", "get B"}, {"get C", "get D"});

    write("a.json", grant("E"));
    write("z.json", std::string(zeb_access::kMaxRuleFileSize + 1, ' '));
    EXPECT_FALSE(rules.loadDirectory(dir, fakeLookup(), &error));
    EXPECT_NE(error.find("larger than"), std::string::npos) << error;
    EXPECT_FALSE(rules.loadDirectory(dir + "/none", fakeLookup(), &error));
    expectDecisions(rules, alice, {"get A"}, {"get E"});
    std::filesystem::remove_all(dir);
}

} // namespace
