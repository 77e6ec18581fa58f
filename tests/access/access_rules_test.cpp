// The access rules in process: what rule files grant to whom, and
// what they refuse to read.
#include "zeb_access.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

namespace {

using zeb_access::AccessRules;
using zeb_access::Caller;

// Names the tests' user and group databases know.
zeb_access::NameLookup fakeLookup() {
    return zeb_access::NameLookup::fromTables({{"web", 33}, {"alice", 1000}},
                                              {{"voice", 22}, {"operator", 37}});
}

Caller caller(uid_t uid, std::vector<gid_t> groups = {}) {
    return Caller{uid, std::move(groups)};
}

AccessRules rulesOf(const std::string &text) {
    AccessRules rules;
    std::string error;
    EXPECT_TRUE(rules.addText(text, "rules.json", fakeLookup(), &error)) << error;
    return rules;
}

// The error of a text that must be refused; the rules stay as they were.
std::string refusal(const std::string &text) {
    AccessRules rules = rulesOf(R"({"rules": [{"user": 1000, "access": [{"path": "*",
                                    "operations": ["get"]}]}]})");
    std::string error;
    EXPECT_FALSE(rules.addText(text, "bad.json", fakeLookup(), &error)) << text;
    EXPECT_EQ(rules.size(), 1u);
    EXPECT_TRUE(rules.allows(caller(1000), zeb_access::kAccessGet, "Phonebook"));
    EXPECT_FALSE(rules.allows(caller(33), zeb_access::kAccessGet, "Phonebook"));
    return error;
}

TEST(AccessRules, PatternsMatchExactlyOrByPrefix) {
    AccessRules rules = rulesOf(R"({"rules": [{"user": "alice", "access": [
        {"path": "Phonebook", "operations": ["get"], "functions": ["getContact*", "export"]},
        {"path": "Phonebook.Entry*", "operations": ["set", "del"]},
        {"path": "Phonebook.Entry.*", "operations": ["add"]},
        {"path": "*", "operations": ["list"]}]}]})");
    Caller alice = caller(1000, {1000});

    EXPECT_TRUE(rules.allows(alice, zeb_access::kAccessGet, "Phonebook"));
    EXPECT_FALSE(rules.allows(alice, zeb_access::kAccessGet, "Phonebook.MaxNumberOfEntries"));
    EXPECT_FALSE(rules.allows(alice, zeb_access::kAccessGet, "Phonebook.Entry.1"));
    EXPECT_FALSE(rules.allows(alice, zeb_access::kAccessSet, "Phonebook"));

    // "X*" takes X itself and everything longer; "X.*" only what lies below X.
    EXPECT_TRUE(rules.allows(alice, zeb_access::kAccessSet, "Phonebook.Entry"));
    EXPECT_TRUE(rules.allows(alice, zeb_access::kAccessDel, "Phonebook.Entry.7"));
    EXPECT_TRUE(
        rules.allows(alice, zeb_access::kAccessSet, "Phonebook.Entry.7.TelephoneNumber.1.Number"));
    EXPECT_FALSE(rules.allows(alice, zeb_access::kAccessSet, "Phonebook.MaxNumberOfEntries"));
    EXPECT_FALSE(rules.allows(alice, zeb_access::kAccessAdd, "Phonebook.Entry"));
    EXPECT_TRUE(rules.allows(alice, zeb_access::kAccessAdd, "Phonebook.Entry.7.Email"));

    // "*" alone is every path, the top ("") too.
    EXPECT_TRUE(rules.allows(alice, zeb_access::kAccessList, ""));
    EXPECT_TRUE(rules.allows(alice, zeb_access::kAccessList, "Other.Object"));
    EXPECT_FALSE(rules.allows(alice, zeb_access::kAccessSubscribe, "Phonebook"));

    // Functions by name or prefix, on the objects their grant's path matches.
    EXPECT_TRUE(rules.allowsCall(alice, "Phonebook", "getContact"));
    EXPECT_TRUE(rules.allowsCall(alice, "Phonebook", "getContactByNumber"));
    EXPECT_TRUE(rules.allowsCall(alice, "Phonebook", "export"));
    EXPECT_FALSE(rules.allowsCall(alice, "Phonebook", "exportAll"));
    EXPECT_FALSE(rules.allowsCall(alice, "Phonebook", "getAllContacts"));
    EXPECT_FALSE(rules.allowsCall(alice, "Phonebook", "import"));
    EXPECT_FALSE(rules.allowsCall(alice, "Phonebook.Entry.1", "getContact"));
    // Operations grant no function and functions no operation.
    EXPECT_FALSE(rules.allowsCall(alice, "Phonebook.Entry.1", "set"));
}

TEST(AccessRules, SubtreesAndSubscriptionsBelowAPath) {
    AccessRules rules = rulesOf(R"({"rules": [{"user": 1000, "access": [
        {"path": "Phonebook", "operations": ["get"]},
        {"path": "Phonebook.Entry*", "operations": ["get"]},
        {"path": "Other.Thing", "operations": ["subscribe"]},
        {"path": "Phonebook.Entry.*", "operations": ["subscribe"]}]}]})");
    Caller alice = caller(1000);

    // Reading Phonebook with everything below needs a grant for all of it.
    EXPECT_FALSE(rules.allowsSubtree(alice, zeb_access::kAccessGet, "Phonebook"));
    EXPECT_TRUE(rules.allowsSubtree(alice, zeb_access::kAccessGet, "Phonebook.Entry"));
    EXPECT_TRUE(rules.allowsSubtree(alice, zeb_access::kAccessGet, "Phonebook.Entry.3"));
    EXPECT_FALSE(rules.allowsSubtree(alice, zeb_access::kAccessGet, "Other"));

    // Subscribing somewhere at or below the path asked for.
    EXPECT_TRUE(rules.allowsSomewhere(alice, zeb_access::kAccessSubscribe, ""));
    EXPECT_TRUE(rules.allowsSomewhere(alice, zeb_access::kAccessSubscribe, "Other"));
    EXPECT_TRUE(rules.allowsSomewhere(alice, zeb_access::kAccessSubscribe, "Other.Thing"));
    EXPECT_FALSE(rules.allowsSomewhere(alice, zeb_access::kAccessSubscribe, "Other.Thing.Below"));
    EXPECT_FALSE(rules.allowsSomewhere(alice, zeb_access::kAccessSubscribe, "Oth"));
    EXPECT_TRUE(rules.allowsSomewhere(alice, zeb_access::kAccessSubscribe, "Phonebook"));
    EXPECT_TRUE(
        rules.allowsSomewhere(alice, zeb_access::kAccessSubscribe, "Phonebook.Entry.2.Email"));
    EXPECT_FALSE(rules.allowsSomewhere(alice, zeb_access::kAccessSubscribe, "Phone"));
    // What may be subscribed to is not what may be received.
    EXPECT_FALSE(rules.allows(alice, zeb_access::kAccessSubscribe, "Phonebook"));
    EXPECT_FALSE(rules.allowsSomewhere(caller(33), zeb_access::kAccessSubscribe, ""));
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
    EXPECT_TRUE(rules.allows(caller(33, {33}), zeb_access::kAccessGet, "A"));
    EXPECT_FALSE(rules.allows(caller(33, {33}), zeb_access::kAccessGet, "B"));
    EXPECT_TRUE(rules.allows(caller(1000), zeb_access::kAccessGet, "B"));
    // Groups count whether primary or supplementary; a uid equal to a
    // group's number is no member.
    EXPECT_TRUE(rules.allows(caller(5000, {5000, 22}), zeb_access::kAccessGet, "C"));
    EXPECT_TRUE(rules.allows(caller(5000, {22}), zeb_access::kAccessSet, "C"));
    EXPECT_FALSE(rules.allows(caller(22, {5000}), zeb_access::kAccessGet, "C"));
    EXPECT_TRUE(rules.allows(caller(33, {33, 37}), zeb_access::kAccessGet, "D"));
    // Rules add up for a caller several of them name.
    Caller both = caller(33, {22, 37});
    for (const char *path : {"A", "C", "D"})
        EXPECT_TRUE(rules.allows(both, zeb_access::kAccessGet, path)) << path;
    EXPECT_FALSE(rules.allows(both, zeb_access::kAccessGet, "B"));

    // Names nobody has match nobody (not uid or gid 0, not everybody), and
    // are reported.
    EXPECT_FALSE(rules.allows(caller(4242, {4242, 0}), zeb_access::kAccessGet, "Z"));
    EXPECT_FALSE(rules.allows(caller(static_cast<uid_t>(-1)), zeb_access::kAccessGet, "Z"));
    ASSERT_EQ(rules.warnings().size(), 2u);
    EXPECT_EQ(rules.warnings()[0], "rules.json: no user \"nobody-here\": its rule matches nobody");
    // Root may do everything, with or without rules.
    EXPECT_TRUE(rules.allows(caller(0), zeb_access::kAccessSet, "Z"));
    EXPECT_TRUE(AccessRules().allowsCall(caller(0), "Phonebook", "import"));
    EXPECT_FALSE(AccessRules().allows(caller(1000, {1000}), zeb_access::kAccessList, ""));
}

TEST(AccessRules, BadFilesAreRefusedWithWhereAndWhy) {
    const std::pair<const char *, const char *> cases[] = {
        {"{\"rules\": [\n  {\"user\": 1,\n   \"acces\": []}]}",
         "bad.json:3:4: unknown member \"acces\""},
        {"{\"rules\": [{\"user\": 1, \"group\": 2, \"access\": []}]}",
         "bad.json:1:12: a rule names either a \"user\" or a \"group\""},
        {"{\"rules\": [{\"user\": 1}]}", "bad.json:1:12: a rule needs \"access\""},
        {"{\"rules\": [{\"user\": 1, \"access\": [{\"path\": \"A\",\n \"operations\": "
         "[\"get\", \"write\"]}]}]}",
         "bad.json:2:24: unknown operation \"write\" (get, set, add, del, list or subscribe)"},
        {"{\"rules\": [{\"user\": 1, \"access\": [{\"path\": \"Phone*.Entry\"}]}]}",
         "bad.json:1:36: \"*\" may only end a pattern: \"Phone*.Entry\""},
        {"{\"rules\": [{\"user\": 1, \"access\": [{\"path\": \"A\", \"functions\": [\"\"]}]}]}",
         "bad.json:1:63: a function name cannot be empty"},
        {"{\"rules\": [{\"user\": 1, \"access\": [{\"path\": \"A\"}]}], \"rules\": []}",
         "bad.json:1:53: duplicate member \"rules\""},
        {"{\"rules\": [{\"user\": 1, \"access\": [{\"path\": \"A\"}]}]",
         "bad.json:1:51: not valid JSON"},
        {"[]", "bad.json:1:1: a rule file is an object with \"rules\""},
        {"{\"rules\": [{\"user\": \"a\\u0000b\", \"access\": []}]}",
         "bad.json:1:13: a text holds a NUL character"},
        {"{\"rules\": {}}", "bad.json:1:2: \"rules\" must be a list"},
        {"{\"rules\": [{\"user\": true, \"access\": []}]}",
         "bad.json:1:13: \"user\" must be a name or a number"},
        {"{\"rules\": [{\"role\": \"admin\", \"user\": 1, \"access\": []}]}",
         "bad.json:1:12: a rule names either a \"user\" or a \"group\" or a \"role\""},
        {"{\"rules\": [{\"role\": 7, \"access\": []}]}", "bad.json:1:13: \"role\" must be a name"},
    };
    for (const auto &[text, expected] : cases) {
        std::string error = refusal(text);
        EXPECT_EQ(error.substr(0, std::string(expected).size()), expected) << error;
    }
}

// 4294967295 is (uid_t)-1, which stands for no user: a rule naming it would
// match a peer whose credentials are unknown. It and every other number no
// user or group can have are refused, however the number is written.
TEST(AccessRules, NumbersNoUserOrGroupCanHaveAreRefused) {
    const std::pair<const char *, const char *> cases[] = {
        {R"("user": 4294967295)", "no user has the number 4294967295"},
        {R"("group": 4294967295)", "no group has the number 4294967295"},
        {R"("group": "4294967295")", "no group has the number 4294967295"},
        {R"("user": 4294967296)", "no user has the number 4294967296"},
        {R"("group": 18446744073709551615)", "no group has the number 18446744073709551615"},
        {R"("user": -1)", "a user number cannot be negative"},
        {R"("group": -9223372036854775808)", "a group number cannot be negative"},
        {R"("user": -0.5)", "a user number cannot be negative"},
        {R"("user": 1000.5)", "a user number is a whole number"},
        {R"("user": 1e3)", "a user number is a whole number"},
        {R"("group": 18446744073709551616)", "a group number is a whole number"},
    };
    for (const auto &[who, expected] : cases) {
        std::string error = refusal(std::string(R"({"rules": [{)") + who +
                                    R"(, "access": [{"path": "*", "operations": ["get"]}]}]})");
        EXPECT_EQ(error.substr(0, 15 + strlen(expected)), std::string("bad.json:1:13: ") + expected)
            << who;
    }
}

TEST(AccessRules, BoundsHold) {
    std::string many = R"({"rules": [{"user": 1, "access": [{"path": "A", "functions": [)";
    for (size_t i = 0; i <= zeb_access::kMaxFunctionsPerGrant; ++i)
        many += (i ? ",\"f" : "\"f") + std::to_string(i) + "\"";
    many += "]}]}]}";
    EXPECT_NE(refusal(many).find("\"functions\" holds more than 256 items"), std::string::npos);

    std::string longPath(zeb_access::kMaxPatternLength + 1, 'a');
    EXPECT_NE(refusal(R"({"rules": [{"user": 1, "access": [{"path": ")" + longPath + "\"}]}]}")
                  .find("a pattern is at most 1024 bytes"),
              std::string::npos);

    std::string deep(40, '[');
    EXPECT_NE(refusal("{\"rules\": " + deep).find("nested deeper than"), std::string::npos);
}

class RuleDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zeb-acl-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void write(const std::string &name, const std::string &text) {
        std::ofstream(dir_ + "/" + name) << text;
    }

    static std::string grant(const char *who, const char *path) {
        return std::string(R"({"rules": [{"user": )") + who + R"(, "access": [{"path": ")" + path +
               R"(", "operations": ["get"]}]}]})";
    }

    std::string dir_;
};

TEST_F(RuleDirectory, EveryJsonFileCountsAndAFailedReadKeepsThePreviousRules) {
    write("a.json", grant("1000", "A"));
    write("b.json", grant("1000", "B"));
    write("c.json.disabled", grant("1000", "C"));
    write(".hidden.json", grant("1000", "D"));
    AccessRules rules;
    std::string error;
    ASSERT_TRUE(rules.loadDirectory(dir_, fakeLookup(), &error)) << error;
    Caller alice = caller(1000);
    EXPECT_TRUE(rules.allows(alice, zeb_access::kAccessGet, "A"));
    EXPECT_TRUE(rules.allows(alice, zeb_access::kAccessGet, "B"));
    EXPECT_FALSE(rules.allows(alice, zeb_access::kAccessGet, "C"));
    EXPECT_FALSE(rules.allows(alice, zeb_access::kAccessGet, "D"));

    // One bad file among good ones: nothing of the new reading is taken.
    write("a.json", grant("1000", "E"));
    write("z.json", "{\"rules\": [\n{\"user\": 1000, \"access\": 3}]}");
    EXPECT_FALSE(rules.loadDirectory(dir_, fakeLookup(), &error));
    EXPECT_EQ(error, dir_ + "/z.json:2:16: \"access\" must be a list");
    EXPECT_TRUE(rules.allows(alice, zeb_access::kAccessGet, "A"));
    EXPECT_FALSE(rules.allows(alice, zeb_access::kAccessGet, "E"));

    // Too large a file, or no directory at all.
    write("z.json", std::string(zeb_access::kMaxRuleFileSize + 1, ' '));
    EXPECT_FALSE(rules.loadDirectory(dir_, fakeLookup(), &error));
    EXPECT_NE(error.find("larger than"), std::string::npos) << error;
    EXPECT_FALSE(rules.loadDirectory(dir_ + "/none", fakeLookup(), &error));
    EXPECT_TRUE(rules.allows(alice, zeb_access::kAccessGet, "A"));

    // A good reading replaces the rules.
    std::filesystem::remove(dir_ + "/z.json");
    ASSERT_TRUE(rules.loadDirectory(dir_, fakeLookup(), &error)) << error;
    EXPECT_FALSE(rules.allows(alice, zeb_access::kAccessGet, "A"));
    EXPECT_TRUE(rules.allows(alice, zeb_access::kAccessGet, "E"));
}

// The examples of the access control document are the shipped ones (what
// data/acl grants is tried through the daemon, what data/roles grants below),
// and their names are known here.
TEST(AccessRules, TheDocumentedExampleSetIsTheShippedOne) {
    std::ifstream doc(ACCESS_CONTROL_DOC);
    ASSERT_TRUE(doc) << ACCESS_CONTROL_DOC;
    std::string line;
    std::string file;
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
            std::string text((std::istreambuf_iterator<char>(shipped)), {});
            EXPECT_EQ(block, text) << file;
            file.clear();
            ++compared;
        }
    }
    EXPECT_EQ(compared, 7u);

    // The bridge's own user is created with its package, and may be missing.
    AccessRules rules;
    std::string error;
    ASSERT_TRUE(rules.loadDirectory(ACL_EXAMPLES, zeb_access::NameLookup::system(), &error))
        << error;
    for (const std::string &warning : rules.warnings())
        EXPECT_NE(warning.find(": no user \"zeb-httpd\": "), std::string::npos) << warning;
}

// What each example role of the HTTP bridge may do; the bridge's own user
// may do on the bus whatever any role may, and the daemon, whose callers
// have no roles, lets role rules match nobody.
TEST(AccessRules, TheExampleRolesGrantWhatTheirNamesSay) {
    AccessRules roles;
    std::string error;
    ASSERT_TRUE(roles.loadDirectory(ROLE_EXAMPLES, zeb_access::NameLookup::roles(), &error))
        << error;
    EXPECT_TRUE(roles.warnings().empty()) << roles.warnings().front();
    AccessRules bus;
    ASSERT_TRUE(bus.loadDirectory(
        ACL_EXAMPLES, zeb_access::NameLookup::fromTables({{"zeb-httpd", 4711}}, {}), &error))
        << error;

    // "call" asks for the function on the path; "subscribe" anywhere at or
    // below the path, as the daemon does; "tree" for get on the whole subtree.
    struct Case {
        const char *request;
        const char *path;
        const char *function;
        bool admin, editor, viewer;
    };
    const Case cases[] = {
        {"call", "Phonebook", "addContact", true, true, false},
        {"call", "Phonebook", "modifyContactByUniqueID", true, true, false},
        {"call", "Phonebook", "removeAllContacts", true, true, false},
        {"call", "Phonebook", "import", true, false, false},
        {"call", "Phonebook", "export", true, false, false},
        {"call", "Phonebook", "searchContacts", true, true, true},
        {"call", "Phonebook", "getContactsRange", true, true, true},
        {"call", "Phonebook", "getContactByNumber", true, true, true},
        {"call", "Phonebook", "getChangesSince", true, true, true},
        {"call", "Phonebook", "getAllContacts", true, true, true},
        {"call", "Phonebook", "getMaxNumberOfContacts", true, true, true},
        {"call", "Phonebook.Entry.1", "getContact", true, false, false},
        {"set", "Phonebook.MaxNumberOfEntries", nullptr, true, false, false},
        {"get", "Phonebook.MaxNumberOfEntries", nullptr, true, true, true},
        {"set", "Phonebook.Entry.1.FormattedName", nullptr, true, true, false},
        {"add", "Phonebook.Entry", nullptr, true, true, false},
        {"del", "Phonebook.Entry.1", nullptr, true, true, false},
        {"tree", "Phonebook", nullptr, true, true, true},
        {"list", "Phonebook.Entry", nullptr, true, true, true},
        {"list", "", nullptr, true, false, false},
        {"subscribe", "", nullptr, true, true, true},
        {"notify", "Phonebook", nullptr, true, true, true},
        {"get", "Other.Service", nullptr, true, false, false},
    };
    auto allows = [](const AccessRules &rules, const Caller &who, const Case &c) {
        std::string request = c.request;
        if (request == "call")
            return rules.allowsCall(who, c.path, c.function);
        if (request == "notify")
            return rules.allowsNotification(who, c.path);
        if (request == "tree")
            return rules.allowsSubtree(who, zeb_access::kAccessGet, c.path);
        if (request == "subscribe")
            return rules.allowsSomewhere(who, zeb_access::kAccessSubscribe, c.path);
        for (unsigned bit = 1; bit <= zeb_access::kAccessSubscribe; bit <<= 1) {
            auto operation = static_cast<zeb_access::AccessOperation>(bit);
            if (request == zeb_access::accessOperationName(operation))
                return rules.allows(who, operation, c.path);
        }
        ADD_FAILURE() << "no request " << request;
        return false;
    };
    const Caller admin{zeb_access::kNoUser, {}, {"admin"}};
    const Caller editor{zeb_access::kNoUser, {}, {"editor"}};
    const Caller viewer{zeb_access::kNoUser, {}, {"viewer"}};
    const Caller bridge{4711, {4711}, {}};
    for (const Case &c : cases) {
        std::string what =
            std::string(c.request) + " " + c.path + " " + (c.function ? c.function : "");
        EXPECT_EQ(allows(roles, admin, c), c.admin) << "admin: " << what;
        EXPECT_EQ(allows(roles, editor, c), c.editor) << "editor: " << what;
        EXPECT_EQ(allows(roles, viewer, c), c.viewer) << "viewer: " << what;
        // Roles add up; a session without roles, or whose role is spelt
        // otherwise, may do nothing.
        EXPECT_EQ(allows(roles, Caller{zeb_access::kNoUser, {}, {"viewer", "editor"}}, c), c.editor)
            << what;
        EXPECT_FALSE(allows(roles, Caller{}, c)) << what;
        EXPECT_FALSE(allows(roles, Caller{zeb_access::kNoUser, {}, {"Admin"}}, c)) << what;
        EXPECT_TRUE(allows(bus, bridge, c)) << "the bridge: " << what;
    }

    AccessRules onTheBus;
    ASSERT_TRUE(onTheBus.loadDirectory(ROLE_EXAMPLES, zeb_access::NameLookup::system(), &error))
        << error;
    ASSERT_EQ(onTheBus.warnings().size(), 3u);
    EXPECT_EQ(onTheBus.warnings()[0],
              std::string(ROLE_EXAMPLES) +
                  "/admin.json: no role \"admin\": its rule matches nobody");
    EXPECT_FALSE(onTheBus.allows(admin, zeb_access::kAccessGet, "Phonebook"));
}

} // namespace
