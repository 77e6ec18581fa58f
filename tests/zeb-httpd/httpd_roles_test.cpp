// The roles of zeb-httpd's sessions: what each example role may do through
// /rpc, checked before the bus sees the request.
#include "httpd_access.hpp"
#include "httpd_fixture.hpp"

namespace {

using bustest::json;
using httpdtest::Httpd;

json callOf(const char *function, json args = json::object()) {
    return {{"object", "Phonebook"}, {"function", function}, {"args", std::move(args)}};
}

json addContact(const std::string &name) {
    return callOf("addContact", {{"contact", {{"uniqueID", name}, {"formattedName", name}}}});
}

bool refused(const json &answer) {
    return answer.contains("error") && answer["error"]["code"] == -32000 &&
           answer["error"]["data"]["code"] == ZEB_ERROR_PERMISSION;
}

// Each role against requests it may and may not make; a refusal changes
// nothing, what is allowed reaches the bus.
TEST_F(Httpd, ChecksEveryRequestAgainstTheSessionsRoles) {
    for (auto [user, role] : {std::pair{"vera", "viewer"}, {"ed", "editor"}, {"nemo", "ghost"}})
        addUser(user, user, {role});
    startHttpd();
    EXPECT_NE(httpd->err.find("\"ghost\""), std::string::npos) << httpd->err;
    std::map<std::string, std::string> sessions = {{"alice", alice()},
                                                   {"vera", login("vera", "vera")},
                                                   {"ed", login("ed", "ed")},
                                                   {"nemo", login("nemo", "nemo")}};
    json max = {{"object", "Phonebook"}, {"values", {{"MaxNumberOfEntries", 7}}}};
    struct Case {
        const char *user, *method;
        json params;
        bool allowed;
    } cases[] = {
        {"vera", "call", callOf("searchContacts", {{"text", "a"}}), true},
        {"vera", "get", {{"path", "Phonebook."}, {"recursive", true}}, true},
        {"vera", "call", addContact("Vera"), false},
        {"vera", "set", max, false},
        {"ed", "call", addContact("Ed"), true},
        {"ed", "call", callOf("import"), false},
        {"nemo", "get", {{"path", "Phonebook.NumberOfEntries"}}, false},
        {"alice", "call", callOf("export"), true},
    };
    for (const Case &c : cases) {
        json answer = rpc(call(c.method, c.params), sessions[c.user]).rpc();
        EXPECT_EQ(refused(answer), !c.allowed) << c.user << " " << c.params << "\n" << answer;
        EXPECT_EQ(answer.contains("result"), c.allowed) << c.user << " " << c.params;
    }
    // Each call of a batch is checked on its own.
    json batch = {call("call", addContact("Bob"), 1), call("set", max, 2),
                  call("get", {{"path", "Phonebook.NumberOfEntries"}}, 3)};
    json answers = rpc(batch, sessions["ed"]).rpc();
    ASSERT_EQ(answers.size(), 3u) << answers;
    for (size_t i = 0; i < answers.size(); ++i)
        EXPECT_EQ(json({answers[i]["id"], refused(answers[i])}), json({i + 1, i == 1})) << answers;
    EXPECT_EQ(answers[2]["result"], 2);
    bustest::Client bus(daemon.socket);
    EXPECT_EQ(bus.get("Phonebook.MaxNumberOfEntries"), 1000);
    EXPECT_TRUE(rpc(call("set", max), sessions["alice"]).rpc().contains("result"));
    EXPECT_EQ(bus.get("Phonebook.MaxNumberOfEntries"), 7);
}

// Rules read again replace those in force only when all of them could be
// read; rules never read refuse everything.
TEST(HttpdRoles, KeepsTheRulesInForceWhenARereadFails) {
    bustest::TempDir dir;
    zebhttpd::Session viewer{"id", "vera", {"viewer"}, 0};
    zebhttpd::BusRequest search{"call", "Phonebook", "searchContacts", false, {}};
    zebhttpd::RoleAccess access;
    EXPECT_NE(access.refusal(viewer, search), "");
    EXPECT_FALSE(access.maySee(viewer, "Phonebook", "changed"));

    std::string error;
    bustest::writeFile(dir.file("viewer.json"), bustest::readFile(ROLES_DIR "/viewer.json"));
    ASSERT_TRUE(access.load(dir.path, error)) << error;
    EXPECT_EQ(access.refusal(viewer, search), "");
    EXPECT_TRUE(access.maySee(viewer, "Phonebook", "changed"));
    EXPECT_EQ(access.warnings({"viewer", "editor"}).size(), 1u);

    // "Phonebook." is "Phonebook" on the bus, which a grant of what lies
    // below does not cover; a set needs each parameter's own grant.
    bustest::writeFile(dir.file("below.json"), R"({"rules": [{"role": "below", "access": [
        {"path": "Phonebook.*", "operations": ["get"]},
        {"path": "Phonebook.SortLocale", "operations": ["set"]}]}]})");
    ASSERT_TRUE(access.load(dir.path, error)) << error;
    zebhttpd::Session below{"id", "bea", {"below"}, 0};
    EXPECT_EQ(access.refusal(below, {"get", "Phonebook.", "", false, {}}), "get Phonebook");
    EXPECT_EQ(access.refusal(below, {"get", "Phonebook.Entry.", "", false, {}}), "");
    EXPECT_EQ(access.refusal(below, {"set", "Phonebook", "", false, {"SortLocale"}}), "");
    EXPECT_EQ(access.refusal(below,
                             {"set", "Phonebook", "", false, {"SortLocale", "MaxNumberOfEntries"}}),
              "set Phonebook.MaxNumberOfEntries");

    bustest::writeFile(dir.file("zz.json"),
                       R"({"rules": [{"role": "viewer", "user": 0, "access": []}]})");
    EXPECT_FALSE(access.load(dir.path, error));
    EXPECT_NE(error.find("zz.json"), std::string::npos) << error;
    EXPECT_EQ(access.refusal(viewer, search), "");
    EXPECT_FALSE(access.load(dir.file("missing"), error));
    EXPECT_TRUE(access.maySee(viewer, "Phonebook", "changed"));
}

} // namespace
