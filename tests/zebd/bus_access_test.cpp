// zebd with access rules, serving the phonebook to clients forked from the test as other users.
#include <gtest/gtest.h>

#include "daemon_test.hpp"

#include <functional>

#include <grp.h>
#include <sys/stat.h>

namespace {

using bustest::Client;
using bustest::json;
using bustest::Raw;
using bustest::Var;

// The socket is shared with this group, as a deployment shares it with its bus clients.
constexpr gid_t kBusClients = 47100;

struct Identity {
    uid_t uid;
    gid_t gid;
};

const Identity kTelephony{47001, 22}; // group voice
const Identity kStranger{47009, 47009};

void tell(Raw &channel, const json &message) {
    channel.send(bustest::frameOf(Var(message)));
}

json hear(Raw &channel) {
    Var message;
    return channel.receive(message, 30000) ? message.toJson() : json("(nothing heard)");
}

// A client forked from the test as `who`; what `body` returns is its last message.
class Peer {
  public:
    Peer(const Identity &who, const std::function<json(Raw &test)> &body) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0 || (pid_ = fork()) < 0)
            throw std::runtime_error("cannot start a client process");
        if (pid_ == 0) {
            close(pair[0]);
            Raw test(pair[1]);
            json last;
            try {
                if (setgroups(1, &kBusClients) != 0 || setgid(who.gid) != 0 || setuid(who.uid) != 0)
                    throw std::runtime_error("cannot become uid " + std::to_string(who.uid));
                last = body(test);
            } catch (const std::exception &e) {
                last = {{"failed", e.what()}};
            }
            tell(test, last);
            _exit(0); // none of the test's own cleanup runs twice
        }
        close(pair[1]);
        channel = std::make_unique<Raw>(pair[0]);
    }
    ~Peer() { // a client still running waits for what will not come
        if (waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    json next() { return hear(*channel); }

    std::unique_ptr<Raw> channel;

  private:
    pid_t pid_ = -1;
};

json request(const std::string &op, const std::string &path, json fields = json::object()) {
    fields["op"] = op;
    fields["path"] = path;
    return fields;
}

json call(const std::string &function, const json &args = json::object(),
          const std::string &path = "Phonebook") {
    return request("call", path, {{"function", function}, {"args", args}});
}

json set(const std::string &path, const json &values) {
    return request("set", path, {{"values", values}});
}

json askAll(Client &client, const json &requests) {
    json answers = json::array();
    for (const json &fields : requests)
        answers.push_back(client.ask(fields));
    return answers;
}

json denied(const std::string &what) {
    return {{"error", {{"code", ZEB_ERROR_PERMISSION}, {"message", "permission denied: " + what}}}};
}

// [name, uniqueID] of the notifications until one for `uniqueID` comes.
json awaitNotification(Client &client, const std::string &uniqueID) {
    json heard = json::array();
    for (json n; heard.empty() || heard.back()[1] != uniqueID;) {
        if ((n = client.notification(15000)).is_null())
            break;
        heard.push_back({n["name"], n["parameters"]["contact"]["uniqueID"]});
    }
    return heard;
}

class Access : public bustest::DaemonTest<bustest::PhonebookDaemon> {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: the clients switch to other users";
        chmod(daemon.dir.path.c_str(), 0711); // clients reach the socket through it
    }
    void TearDown() override {
        root.reset();
        DaemonTest::TearDown();
    }

    void start(const std::vector<std::string> &options, bool ann = true) {
        ASSERT_TRUE(daemon.start(options)) << daemon.log();
        ASSERT_EQ(chown(daemon.socket.c_str(), 0, kBusClients), 0);
        root = std::make_unique<Client>(daemon.socket);
        if (ann)
            addContact("ann", "Ann Smith");
    }
    void startWithRules(const std::string &extra, bool ann) {
        for (const auto &file : std::filesystem::directory_iterator(ZEB_ACL_DIR))
            std::filesystem::copy(file.path(), rules.path);
        bustest::writeFile(rules.file("extra.json"), extra);
        start({"--acl", rules.path}, ann);
    }

    json answersAs(const Identity &who, const json &requests) {
        return Peer(who,
                    [&](Raw &) {
                        Client client(daemon.socket);
                        return askAll(client, requests);
                    })
            .next();
    }
    json runAs(const Identity &who, const std::vector<std::vector<std::string>> &commands) {
        return Peer(who,
                    [&](Raw &) {
                        json results = json::array();
                        for (const auto &command : commands) {
                            bustest::RunResult r = bustest::run(command);
                            results.push_back({r.status, r.out, r.err});
                        }
                        return results;
                    })
            .next();
    }

    void addContact(const std::string &uniqueID, const std::string &name) {
        json contact = {{"uniqueID", uniqueID}, {"formattedName", name}};
        ASSERT_EQ(root->call("Phonebook", "addContact", {{"contact", contact}}), true)
            << root->message();
    }
    std::vector<std::string> uniqueIDs() {
        std::vector<std::string> ids;
        for (const json &contact : root->call("Phonebook", "getAllContacts", json::array()))
            ids.push_back(contact["uniqueID"]);
        return ids;
    }
    json maxEntries() { return root->get("Phonebook.MaxNumberOfEntries"); }
    size_t logCount(const std::string &text) { return bustest::count(daemon.log(), text); }

    bustest::TempDir rules;
    std::unique_ptr<Client> root;
};

// A caller kept out by the socket's permissions was told "no daemon" (status of a daemon
// not running). Let in, without rules, every caller may do everything.
TEST_F(Access, ClientsKeptOutByTheSocketsPermissionsSayPermissionDenied) {
    json help = runAs(kStranger, {{ZEB_CLI_PATH, "--help"}, {PHONEBOOK_VCARD_PATH, "--help"}});
    if (help[0][0] != 0 || help[1][0] != 0)
        GTEST_SKIP() << "uid " << kStranger.uid << " cannot run the clients here";
    ASSERT_NO_FATAL_FAILURE(start({}));
    bustest::TempDir out; // where the stranger may write
    chmod(out.path.c_str(), 0777);
    const std::string exported = out.file("contacts.vcf");
    const std::string denied = "permission denied to connect to " + daemon.socket;
    for (const auto &[path, mode] : {std::pair{daemon.socket, 0600}, {daemon.dir.path, 0700}}) {
        struct stat before {};
        ASSERT_EQ(stat(path.c_str(), &before), 0);
        ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
        json runs = runAs(
            kStranger, {{ZEB_CLI_PATH, "-s", daemon.socket, "get", "Phonebook.MaxNumberOfEntries"},
                        {PHONEBOOK_VCARD_PATH, "-s", daemon.socket, "export", exported}});
        chmod(path.c_str(), before.st_mode & 07777);
        EXPECT_EQ(runs, json({{4, "", "zeb-cli: " + denied + ": Permission denied\n"},
                              {4, "", "phonebook-vcard: " + denied + ": Permission denied\n"}}))
            << path;
        EXPECT_FALSE(std::filesystem::exists(exported)) << "nothing exported";
    }
    EXPECT_EQ(answersAs(kStranger, {set("Phonebook", {{"MaxNumberOfEntries", 5}}),
                                    call("removeAllContacts"), request("list", "")}),
              json({nullptr, true, {{"objects", {"Phonebook"}}}}));
    EXPECT_EQ(maxEntries(), 5);
    EXPECT_EQ(uniqueIDs(), std::vector<std::string>());
}

// 47004 may change the entry keyed "1", the Title of "vip" and call functions below Phonebook;
// 47006 may read Phonebook's own parameters and the entries; 47007 may subscribe to the entries.
const char *const kExtraRules = R"({"rules": [
  {"user": 47004, "access": [
    {"path": "Phonebook.Entry.1*", "operations": ["set", "del"]},
    {"path": "Phonebook.Entry.vip.Title", "operations": ["set"]},
    {"path": "Phonebook.*", "functions": ["*"]}]},
  {"user": 47006, "access": [
    {"path": "Phonebook", "operations": ["get"]},
    {"path": "Phonebook.Entry*", "operations": ["get"]}]},
  {"user": 47007, "access": [{"path": "Phonebook.Entry*", "operations": ["subscribe"]}]}]})";

// Paths are matched by key (not index), without trailing dot; each parameter of a set counts, a
// recursive get needs the whole subtree, a notification is matched by its own path.
TEST_F(Access, RulesSeeTheCanonicalPathEachParameterTheWholeSubtree) {
    ASSERT_NO_FATAL_FAILURE(startWithRules(kExtraRules, false));
    ASSERT_EQ(root->ask(request(
                  "add", "Phonebook.Entry",
                  {{"key", "vip"}, {"values", {{"UniqueID", "vip"}, {"FormattedName", "Vic"}}}})),
              "Phonebook.Entry.vip");
    json editor =
        answersAs({47004, 47004},
                  {set("Phonebook.Entry.vip", {{"Title", "Boss"}, {"Name", "Boss"}}),
                   set("Phonebook.Entry.1", {{"Name", "Boss"}}),
                   request("del", "Phonebook.Entry.1"), request("del", "Phonebook.Entry.1."),
                   call("removeAllContacts", json::object(), "Phonebook."),
                   request("subscribe", ""), set("Phonebook.Entry.vip.", {{"Title", "Boss"}})});
    // The refusal repeats the client's spelling; the trace names the entry by its key, once.
    EXPECT_EQ(
        editor,
        json({denied("set Phonebook.Entry.vip.Name"), denied("set Phonebook.Entry.1.Name"),
              denied("del Phonebook.Entry.1"), denied("del Phonebook.Entry.1"),
              denied("call Phonebook.removeAllContacts"), denied("subscribe the top"), nullptr}));
    EXPECT_EQ(logCount("47004 may not del Phonebook.Entry.vip"), 1u) << daemon.log();

    json reader =
        answersAs({47006, 47006},
                  {request("get", "Phonebook"), request("get", "Phonebook", {{"recursive", true}}),
                   request("get", "Phonebook.Entry", {{"recursive", true}})});
    ASSERT_EQ(reader.size(), 3u) << reader;
    EXPECT_EQ(reader[0],
              json({{"NumberOfEntries", 1}, {"MaxNumberOfEntries", 1000}, {"SortLocale", ""}}));
    EXPECT_EQ(reader[1], denied("get Phonebook recursively"));
    EXPECT_EQ(reader[2]["vip"].value("FormattedName", ""), "Vic") << reader[2];
    json vip = root->get("Phonebook.Entry.vip");
    EXPECT_EQ(json({vip.value("Title", ""), vip.value("Name", "?")}), json({"Boss", ""})) << vip;
    EXPECT_EQ(uniqueIDs(), std::vector<std::string>({"vip"}));

    // Telephony looks up and subscribes, and is refused the rest. A notification is heard only
    // by who may subscribe to its own path.
    const std::string file = "/cfg/system/voice.usr";
    const std::pair<json, const char *> refusals[] = {
        {set("Phonebook", {{"MaxNumberOfEntries", 5}}), "set Phonebook.MaxNumberOfEntries"},
        {call("export", {{"fileName", file}}), "call Phonebook.export"},
        {request("list", ""), "list the top"},
        {request("add", "Phonebook.Entry"), "add Phonebook.Entry"}};
    json requests = {request("subscribe", "Phonebook"),
                     call("getContactByNumber", {{"number", "0612345678"}})};
    json expected = json::array();
    for (const auto &[refused, what] : refusals) {
        requests.push_back(refused);
        expected.push_back(denied(what));
    }
    Peer telephony(kTelephony, [&](Raw &test) {
        Client client(daemon.socket);
        tell(test, askAll(client, requests));
        return awaitNotification(client, "fay");
    });
    Peer watcher({47007, 47007}, [&](Raw &test) {
        Client client(daemon.socket);
        tell(test, askAll(client, {request("subscribe", ""), request("subscribe", "Phonebook")}));
        hear(test);
        client.ask(request("subscribe", "Phonebook.Entry"));
        return json(zeb_bus_client_pending(client.get()));
    });
    json answers = telephony.next();
    ASSERT_EQ(answers.size(), requests.size()) << answers;
    EXPECT_GT(answers[0], 0) << answers[0];
    EXPECT_EQ(bustest::errorCode(answers[1]), nullptr) << answers[1];
    EXPECT_EQ(json(answers.begin() + 2, answers.end()), expected);
    json subscribed = watcher.next();
    ASSERT_EQ(subscribed.size(), 2u) << subscribed;
    EXPECT_GT(subscribed[0], 0);
    EXPECT_GT(subscribed[1], 0);
    ASSERT_NO_FATAL_FAILURE(addContact("fay", "Fay Wong"));
    json heard = telephony.next();
    EXPECT_EQ(heard.back(), json({"contactCreated", "fay"})) << heard;
    tell(*watcher.channel, "check");
    EXPECT_EQ(watcher.next(), 0);
    EXPECT_FALSE(std::filesystem::exists(daemon.sysroot + file));
    EXPECT_EQ(logCount("permission denied: uid 47001 may not set Phonebook.MaxNumberOfEntries"), 1u)
        << daemon.log();
    EXPECT_EQ(maxEntries(), 1000);
}

TEST_F(Access, SighupAppliesNewRulesToOpenConnectionsAndKeepsThemWhenAFileIsBad) {
    const std::string readOnly =
        R"({"rules": [{"user": 47005, "access": [{"path": "Phonebook*", "operations": ["get"]}]}]})";
    const std::string broken = R"({"rules": [
  {"user": 47005, "access": [{"path": "Phonebook.Entry", "operations": ["add"]}]},
  {"user": 47005, "access": [{"path": "Phonebook", "operations": ["fly"]}]}
]})";
    const std::string fault =
        rules.file("broken.json") +
        ":3:67: unknown operation \"fly\" (get, set, add, del, list or subscribe)";
    bustest::writeFile(rules.file("rules.json"), readOnly);
    ASSERT_NO_FATAL_FAILURE(start({"--acl", rules.path, "-v", "300"}));
    const std::string reloaded = "access rules: 1 rule(s) from " + rules.path;
    auto setLimit = [](int limit) { return set("Phonebook", {{"MaxNumberOfEntries", limit}}); };
    Peer peer({47005, 47005}, [&](Raw &test) {
        Client client(daemon.socket);
        tell(test, askAll(client, {setLimit(5), request("add", "Phonebook.Entry")}));
        hear(test);
        tell(test, client.ask(setLimit(6)));
        hear(test);
        return askAll(client, {setLimit(7), request("add", "Phonebook.Entry")});
    });
    EXPECT_EQ(peer.next(),
              json({denied("set Phonebook.MaxNumberOfEntries"), denied("add Phonebook.Entry")}));
    auto reload = [&](const std::string &text, size_t times) {
        return bustest::waitFor([&] { return logCount(text) >= times; });
    };

    json rule = json::parse(readOnly);
    rule["rules"][0]["access"].push_back(
        {{"path", "Phonebook.MaxNumberOfEntries"}, {"operations", {"set"}}});
    bustest::writeFile(rules.file("rules.json"), rule.dump());
    kill(daemon.process->pid, SIGHUP);
    ASSERT_TRUE(reload(reloaded, 2)) << daemon.log();
    tell(*peer.channel, "go");
    EXPECT_EQ(peer.next(), nullptr);
    EXPECT_EQ(maxEntries(), 6);

    // Back to the first rules, and a file that cannot be read: nothing of either is taken.
    bustest::writeFile(rules.file("rules.json"), readOnly);
    bustest::writeFile(rules.file("broken.json"), broken);
    kill(daemon.process->pid, SIGHUP);
    ASSERT_TRUE(reload("access rules not read again, the previous ones stay: " + fault, 1))
        << daemon.log();
    tell(*peer.channel, "go");
    EXPECT_EQ(peer.next(), json({nullptr, denied("add Phonebook.Entry")}));
    EXPECT_EQ(maxEntries(), 7);
    // Rules read anew: a refusal traced before on this connection is traced again.
    EXPECT_EQ(logCount("may not add Phonebook.Entry"), 2u) << daemon.log();

    bustest::PhonebookDaemon refused;
    EXPECT_FALSE(refused.start({"--acl", rules.path}));
    EXPECT_EQ(refused.stop(), 1);
    EXPECT_EQ(refused.log(), "zebd: cannot read the access rules: " + fault + "\n");
}

} // namespace
