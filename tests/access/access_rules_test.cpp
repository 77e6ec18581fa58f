// What rule files grant to whom, and what they refuse to read.
#include "zeb_access.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

// "OPERATION PATH [FUNCTION]"; "subscribe" is at or below the path, "notify" to receive a
// notification of it, "tree" a get of the whole subtree.
bool allows(const AccessRules &rules, const Caller &who, const std::string &request) {
    std::istringstream words(request);
    std::string op, path, function;
    words >> op >> path >> function;
    if (op == "call")
        return rules.allowsCall(who, path, function);
    if (op == "notify")
        return rules.allowsNotification(who, path);
    if (op == "tree")
        return rules.allowsSubtree(who, zeb_access::kAccessGet, path);
    if (op == "subscribe")
        return rules.allowsSomewhere(who, zeb_access::kAccessSubscribe, path);
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
        {"path": "*", "operations": ["list"]}]}]})");
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

TEST(AccessRules, SubtreesAndSubscriptionsBelowAPath) {
    AccessRules rules = rulesOf(R"({"rules": [{"user": 1000, "access": [
        {"path": "Phonebook", "operations": ["get"]},
        {"path": "Phonebook.Entry*", "operations": ["get"]},
        {"path": "Other.Thing", "operations": ["subscribe"]},
        {"path": "Phonebook.Entry.*", "operations": ["subscribe"]}]}]})");
    expectDecisions(rules, Caller{1000, {}},
                    {"tree Phonebook.Entry", "subscribe", "subscribe Other",
                     "subscribe Phonebook.Entry.2.Email"},
                    {"tree Phonebook", "tree Other", "subscribe Other.Thing.Below", "subscribe Oth",
                     "subscribe Phone", "notify Phonebook"});
    EXPECT_FALSE(allows(rules, Caller{33, {}}, "subscribe"));
}

TEST(AccessRules, UsersAndGroupsByNameOrNumberAndRulesAddUp) {
    AccessRules rules = rulesOf(R"({"rules": [
        {"user": "web", "access": [{"path": "A", "operations": ["get"]}]},
        {"user": "1000", "access": [{"path": "B", "operations": ["get"]}]},
        {"group": "voice", "access": [{"path": "C", "operations": ["get"]}]},
        {"group": 37, "access": [{"path": "D", "operations": ["get"]}]},
        {"group": "voice", "access": [{"path": "C", "operations": ["set"]}]},
        {"user": "nobody-here", "access": [{"path": "*", "operations": ["get"]}]},
        {"group": "no-group", "access": [{"path": "*", "operations": ["get"]}]}]})");
    // A uid equal to a group's number is no member; unknown names match nobody (not uid/gid 0).
    const std::tuple<Caller, const char *, bool> cases[] = {
        {{33, {33}}, "get A", true},
        {{33, {33}}, "get B", false},
        {{1000, {}}, "get B", true},
        {{5000, {5000, 22}}, "get C", true},
        {{5000, {22}}, "set C", true},
        {{22, {5000}}, "get C", false},
        {{33, {22, 37}}, "get C", true},
        {{33, {22, 37}}, "get D", true},
        {{33, {22, 37}}, "get B", false},
        {{4242, {4242, 0}}, "get Z", false},
        {{zeb_access::kNoUser, {}}, "get Z", false},
        {{0, {}}, "set Z", true},
    };
    for (const auto &[who, request, allowed] : cases)
        EXPECT_EQ(allows(rules, who, request), allowed) << who.uid << " " << request;
    ASSERT_EQ(rules.warnings().size(), 2u);
    EXPECT_EQ(rules.warnings()[0], "rules.json: no user \"nobody-here\": its rule matches nobody");
    EXPECT_TRUE(AccessRules().allowsCall(Caller{0, {}}, "Phonebook", "import"));
    EXPECT_FALSE(AccessRules().allows(Caller{1000, {1000}}, zeb_access::kAccessList, ""));
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
    write("z.json", "{\"rules\": [\n{\"user\": 1000, \"access\": 3}]}");
    EXPECT_FALSE(rules.loadDirectory(dir, fakeLookup(), &error));
    EXPECT_EQ(error, dir + "/z.json:2:16: \"access\" must be a list");
    write("z.json", std::string(zeb_access::kMaxRuleFileSize + 1, ' '));
    EXPECT_FALSE(rules.loadDirectory(dir, fakeLookup(), &error));
    EXPECT_NE(error.find("larger than"), std::string::npos) << error;
    EXPECT_FALSE(rules.loadDirectory(dir + "/none", fakeLookup(), &error));
    expectDecisions(rules, alice, {"get A"}, {"get E"});

    std::filesystem::remove(dir + "/z.json"); // a good reading replaces the rules
    ASSERT_TRUE(rules.loadDirectory(dir, fakeLookup(), &error)) << error;
    expectDecisions(rules, alice, {"get E"}, {"get A"});
    std::filesystem::remove_all(dir);
}

// data/acl names nobody unknown but the bridge's own user, created with its package.
TEST(AccessRules, TheDocumentedExampleSetIsTheShippedOne) {
    std::ifstream doc(ACCESS_CONTROL_DOC);
    std::string line, file;
    size_t compared = 0;
    while (std::getline(doc, line)) {
        if (line.size() > 7 && line.front() == '`' &&
            line.compare(line.size() - 7, 7, ".json`:") == 0) {
            file = line.substr(1, line.size() - 3);
        } else if (line == "```json" && !file.empty()) {
            std::string block;
            while (std::getline(doc, line) && line != "```")
                block += line + "\n";
            std::ifstream shipped(std::string(ACL_EXAMPLES) + "/" + file);
            if (!shipped)
                shipped.open(std::string(ROLE_EXAMPLES) + "/" + file);
            EXPECT_EQ(block, std::string(std::istreambuf_iterator<char>(shipped), {})) << file;
            file.clear();
            ++compared;
        }
    }
    EXPECT_EQ(compared, 7u);
    AccessRules rules;
    std::string error;
    ASSERT_TRUE(rules.loadDirectory(ACL_EXAMPLES, zeb_access::NameLookup::system(), &error))
        << error;
    for (const std::string &warning : rules.warnings())
        EXPECT_NE(warning.find(": no user \"zeb-httpd\": "), std::string::npos) << warning;
}

// The web interface's rules are the editor's; the bridge's own user may do on the bus whatever
// any role may; the daemon's callers have no roles.
TEST(AccessRules, TheExamplesGrantWhatTheirNamesSay) {
    AccessRules roles, bus, onTheBus;
    std::string error;
    ASSERT_TRUE(roles.loadDirectory(ROLE_EXAMPLES, zeb_access::NameLookup::roles(), &error))
        << error;
    EXPECT_TRUE(roles.warnings().empty()) << roles.warnings().front();
    ASSERT_TRUE(bus.loadDirectory(
        ACL_EXAMPLES,
        zeb_access::NameLookup::fromTables({{"zeb-httpd", 4711}, {"www-data", 33}},
                                           {{"voice", 22}, {"operator", 37}}),
        &error))
        << error;
    EXPECT_TRUE(bus.warnings().empty()) << bus.warnings().front();
    // Allowed ('1') to admin, editor, viewer; telephony, provisioning.
    const std::pair<const char *, std::vector<const char *>> cases[] = {
        {"110 01",
         {"call Phonebook addContact", "call Phonebook removeAllContacts",
          "set Phonebook.Entry.1.FormattedName", "add Phonebook.Entry", "del Phonebook.Entry.1"}},
        {"100 01",
         {"call Phonebook import", "call Phonebook export", "call Phonebook.Entry.1 getContact",
          "set Phonebook.MaxNumberOfEntries", "list", "get Other.Service"}},
        {"111 11",
         {"call Phonebook searchContacts", "call Phonebook getContactByNumber", "subscribe",
          "notify Phonebook"}},
        {"111 01",
         {"call Phonebook getChangesSince", "call Phonebook getMaxNumberOfContacts",
          "get Phonebook.MaxNumberOfEntries", "tree Phonebook", "list Phonebook.Entry",
          "subscribe Phonebook.Entry", "notify Phonebook.Entry.1"}},
    };
    auto role = [](std::vector<std::string> names) {
        return Caller{zeb_access::kNoUser, {}, std::move(names)};
    };
    const Caller callers[] = {role({"admin"}), role({"editor"}), role({"viewer"}),
                              Caller{47001, {22}}, Caller{47003, {37}}};
    for (const auto &[allowed, requests] : cases)
        for (const char *request : requests) {
            for (size_t i = 0; i < 5; ++i) {
                const AccessRules &rules = i < 3 ? roles : bus;
                EXPECT_EQ(allows(rules, callers[i], request), allowed[i + i / 3] == '1')
                    << request << " by caller " << i;
            }
            EXPECT_EQ(allows(roles, role({"viewer", "editor"}), request), allowed[1] == '1')
                << request;
            EXPECT_EQ(allows(bus, Caller{33, {33}}, request), allowed[1] == '1') << request;
            EXPECT_FALSE(allows(roles, Caller{}, request)) << request;
            EXPECT_FALSE(allows(roles, role({"Admin"}), request)) << request;
            EXPECT_TRUE(allows(bus, Caller{4711, {4711}}, request)) << "the bridge: " << request;
        }
    ASSERT_TRUE(onTheBus.loadDirectory(ROLE_EXAMPLES, zeb_access::NameLookup::system(), &error))
        << error;
    ASSERT_EQ(onTheBus.warnings().size(), 3u);
    EXPECT_EQ(onTheBus.warnings()[0],
              std::string(ROLE_EXAMPLES) +
                  "/admin.json: no role \"admin\": its rule matches nobody");
    EXPECT_FALSE(onTheBus.allows(role({"admin"}), zeb_access::kAccessGet, "Phonebook"));
}

} // namespace
