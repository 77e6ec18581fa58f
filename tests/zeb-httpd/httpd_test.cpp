// zeb-httpd spoken to over raw TCP: what a browser or a hostile client would send.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include <microhttpd.h>

#include "httpd_fixture.hpp"
#include "httpd_access.hpp"
#include "httpd_rpc.hpp"
#include "httpd_sessions.hpp"

namespace {

using namespace httpdtest;

json contact(const std::string &uid) {
    return {{"uniqueID", uid}, {"formattedName", "Name " + uid}};
}
/* `padding` characters added to the field `padded` of each. */
json contacts(const std::string &prefix, int count, size_t padding = 0,
              const char *padded = "formattedName") {
    json out = json::array();
    for (int i = 0; i < count; ++i) {
        out.push_back(contact(prefix + std::to_string(i)));
        out.back()[padded] = out.back().value(padded, "") + std::string(padding, 'x');
    }
    return out;
}
const std::string kCard = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Eve\r\nEND:VCARD\r\n";

// A refusal leaves the phonebook as it was; every answer has the safety headers.
TEST_F(Httpd, RefusesRequestsWithoutSessionHeaderOrSameOrigin) {
    startHttpd();
    std::string session = cookie(alice());
    std::string add = pbCall("addContact", {{"contact", {{"formattedName", "Eve"}}}}).dump();
    auto chunked = [&](const char *target, size_t size, char fill) {
        char head[16];
        std::snprintf(head, sizeof head, "%zx\r\n", size);
        return http("POST", target, kCsrf + session + "Transfer-Encoding: chunked\r\n") + head +
               std::string(size, fill) + "\r\n0\r\n\r\n";
    };
    const std::tuple<const char *, std::string, int> cases[] = {
        {"no session", post(add, kCsrf), 401},
        {"forged session", post(add, kCsrf + cookie(kForged)), 401},
        {"no CSRF header", post(add, session), 403},
        {"wrong CSRF header", post(add, session + "X-Zeb-CSRF: yes\r\n"), 403},
        {"foreign origin", post(add, session + kCsrf + "Origin: http://evil.example\r\n"), 403},
        {"body over 1 MiB",
         http("POST", "/rpc", kCsrf + session + "Content-Length: 1048577\r\n") + add, 413},
        {"chunked body over 1 MiB", chunked("/rpc", 0x100001, ' '), 0},
        {"GET /rpc", http("GET", "/rpc"), 405},
        {"same origin",
         post(call("session").dump(),
              session + kCsrf + "Origin: http://127.0.0.1:" + std::to_string(port) + "\r\n"),
         200},
        {"events without session", http("GET", "/events"), 401},
        {"export without session", http("GET", "/vcard"), 401},
        {"export of version 2.1", http("GET", "/vcard?version=2.1", session), 400},
        {"upload without the CSRF header", http("POST", "/vcard", session, kCard), 403},
        {"upload of no card", http("POST", "/vcard", kCsrf + session, "FN:Eve\r\n"), 422},
        {"upload over 16 MiB",
         http("POST", "/vcard", kCsrf + session + "Content-Length: 16777217\r\n") + kCard, 413},
        {"chunked upload over 16 MiB", chunked("/vcard", 0x1000001, '\n'), 0},
    };
    for (const auto &[what, request, status] : cases) {
        Response r = roundTrip(port, request);
        EXPECT_EQ(r.status, status) << what << "\n" << r.head;
        for (const char *name : {"Content-Security-Policy", "X-Content-Type-Options",
                                 "Referrer-Policy", "X-Frame-Options"})
            EXPECT_TRUE(r.status == 0 || !r.header(name).empty()) << what << ": " << name;
    }
    EXPECT_EQ(send("GET", "/", "X-Big: " + std::string(40000, 'a') + "\r\n").status, 431);
    EXPECT_EQ(send("GET", "/" + std::string(40000, 'a')).status, 414);
    EXPECT_EQ(count(), 0);

    // A card and a half, then the client is gone: nothing imported, nothing in the way.
    std::string cut = http("POST", "/vcard", kCsrf + session, kCard + kCard);
    int fd = connectTo(port);
    ::send(fd, cut.data(), cut.size() - kCard.size() + 26, MSG_NOSIGNAL);
    usleep(200 * 1000);
    close(fd);
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(send("POST", "/vcard", kCsrf + session, kCard).status, 200);
    EXPECT_EQ(count(), 1);
}

TEST_F(Httpd, ServesOnlyFilesOfTheDocumentRoot) {
    startHttpd();
    const std::tuple<const char *, int, const char *> cases[] = {
        {"/", 200, "text/html; charset=utf-8<p>home</p>"},
        {"/sub/app.js", 200, "text/javascript; charset=utf-8let x = 1;"},
        {"/../secret.txt", 404, ""},
        {"/sub/../../secret.txt", 404, ""},
        {"/%2e%2e/secret.txt", 404, ""},
        {"/out.txt", 403, ""},
        {"/sub", 404, ""},
        {"/missing.html", 404, ""},
    };
    for (const auto &[path, status, typeAndBody] : cases) {
        Response r = send("GET", path);
        EXPECT_EQ(r.status, status) << path;
        EXPECT_EQ(r.body.find("secret"), std::string::npos) << path;
        EXPECT_EQ(*typeAndBody ? r.header("Content-Type") + r.body : "", typeAndBody) << path;
    }
    std::string etag = send("GET", "/index.html").header("ETag");
    ASSERT_FALSE(etag.empty());
    Response again = send("GET", "/index.html", "If-None-Match: " + etag + "\r\n");
    EXPECT_EQ(std::pair(again.status, again.body), std::pair(304, std::string()));
}

// A failed write leaves nothing behind.
TEST(HttpdUsers, KeepsHashesOnlyAndReplacesTheUsersLine) {
    bustest::TempDir dir;
    std::string path = dir.file("users"), error;
    bustest::writeFile(path, "# the gateway's users\n");
    ASSERT_TRUE(zebhttpd::setUser(path, "alice", "first secret", {"viewer"}, error)) << error;
    ASSERT_TRUE(zebhttpd::setUser(path, "bob", "bob secret", {}, error)) << error;
    ASSERT_TRUE(zebhttpd::setUser(path, "alice", "second secret", {"admin", "editor"}, error));
    std::string text = bustest::readFile(path);
    EXPECT_TRUE(std::regex_match(text, std::regex("# the gateway's users\n"
                                                  "alice:\\$y\\$[^:\n]+:admin,editor\n"
                                                  "bob:\\$y\\$[^:\n]+:\n")))
        << text;
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    zebhttpd::User user;
    ASSERT_TRUE(zebhttpd::findUser(path, "alice", user));
    EXPECT_FALSE(zebhttpd::checkPassword(&user, "first secret"));
    EXPECT_FALSE(zebhttpd::setUser(dir.file("no/such/dir/users"), "carol", "x", {}, error));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);
}

// 16 connections per address, 64 in all, each until silent for the timeout.
TEST_F(Httpd, BoundsSlowClients) {
    startHttpd({"--request-timeout", "3"});
    const std::string get = http("GET", "/");
    std::vector<int> slow;
    auto holdSixteen = [&](const char *from) {
        for (int i = 0; i < 16; ++i) {
            slow.push_back(connectTo(port, 0, from));
            ::send(slow.back(), get.data(), 20, MSG_NOSIGNAL);
        }
    };
    holdSixteen("127.0.0.2");
    EXPECT_EQ(roundTrip(port, get, "127.0.0.2").status, 0);
    EXPECT_EQ(roundTrip(port, get, "127.0.0.3").status, 200);
    for (const char *from : {"127.0.0.3", "127.0.0.4", "127.0.0.5"})
        holdSixteen(from);
    EXPECT_EQ(roundTrip(port, get, "127.0.0.6").status, 0) << "64 in all";
    bustest::Deadline closing(5000);
    for (int fd : slow) {
        pollfd p{fd, POLLIN, 0};
        char byte;
        EXPECT_EQ(poll(&p, 1, closing.remaining()), 1) << "a slow client stays";
        EXPECT_LE(read(fd, &byte, 1), 0);
        close(fd);
    }
    EXPECT_EQ(roundTrip(port, get, "127.0.0.2").status, 200);
}

// The gateway's libmicrohttpd has no TLS: --cert must not fall back to plain HTTP.
TEST_F(Httpd, HttpsWithoutTlsInLibmicrohttpdRefusesToStart) {
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) == MHD_YES)
        GTEST_SKIP() << "this libmicrohttpd has TLS";
    bustest::Process refused({ZEB_HTTPD_PATH, "--listen", "127.0.0.1:0", "--socket", daemon.socket,
                              "--users", users, "--roles", ROLES_DIR, "--cert", "tls.pem", "--key",
                              "tls.pem"});
    EXPECT_GT(refused.wait(20000), 0) << "it ends by itself, failing";
    EXPECT_NE(refused.err.find("HTTPS is not built into this libmicrohttpd"), std::string::npos)
        << refused.err;
}

// An unknown user and a wrong password get the same answer.
TEST_F(Httpd, SessionsLogInOutAndExpire) {
    startHttpd({"--session-idle", "2"});
    Response unknown = rpc(call("login", {{"user", "carol"}, {"password", "alice secret"}}));
    Response wrong = rpc(call("login", {{"user", "alice"}, {"password", "bob secret"}}));
    EXPECT_EQ(unknown.body, wrong.body);
    EXPECT_EQ(json({wrong.rpc()["error"]["code"], wrong.header("Set-Cookie")}), json({-32001, ""}));

    Response in = rpc(call("login", {{"user", "bob"}, {"password", "bob secret"}}));
    EXPECT_EQ(in.rpc()["result"],
              json({{"user", "bob"}, {"roles", {"viewer", "editor"}}, {"idleTimeout", 2}}));
    std::string setCookie = in.header("Set-Cookie");
    EXPECT_TRUE(std::regex_match(
        setCookie, std::regex("zeb_session=[0-9a-f]{32}; HttpOnly; SameSite=Strict; Path=/")))
        << setCookie;
    std::string id = setCookie.substr(12, 32);
    EXPECT_EQ(rpc(call("logout"), id).rpc()["result"], true);
    Response out = rpc(call("session"), id);
    EXPECT_EQ(json({out.status, out.rpc()["error"]["code"]}), json({401, -32004}));

    std::string used = alice(), idle = alice();
    for (int i = 0; i < 4; ++i) {
        usleep(700 * 1000);
        EXPECT_EQ(rpc(call("session"), used).status, 200) << i;
    }
    EXPECT_EQ(rpc(call("session"), idle).status, 401);
}

TEST_F(Httpd, CapsTheNumberOfSessions) {
    startHttpd();
    std::string first = alice();
    for (int i = 1; i < 64; ++i)
        alice();
    json bob = call("login", {{"user", "bob"}, {"password", "bob secret"}});
    Response refused = rpc(bob);
    EXPECT_EQ(refused.rpc()["error"]["code"], -32003) << refused.body;
    EXPECT_FALSE(std::regex_search(refused.header("Set-Cookie"), std::regex("=[0-9a-f]{32}")));
    rpc(call("logout"), first);
    EXPECT_EQ(rpc(bob).status, 200);
}

double gCheckEnds = 0; // what the clock says once a password check has ended

// Where hashing outlasts the first delay (a gateway's CPU) the wait had passed already.
TEST(HttpdLogin, ASlowPasswordCheckDoesNotUseUpTheWait) {
    bustest::TempDir dir;
    std::string users = dir.file("users"), error;
    ASSERT_TRUE(zebhttpd::setUser(users, "alice", "alice secret", {"admin"}, error)) << error;
    zebhttpd::RoleAccess access;
    zebhttpd::BusLink bus{dir.file("none.sock"), 100};
    const std::string login =
        R"({"jsonrpc":"2.0","method":"login","id":1,"params":{"user":"alice","password":")";
    // Seconds after the failures began: a check takes, the next attempt comes; its status.
    const std::tuple<double, double, int> cases[] = {{5, 5.5, 429}, {5, 6.5, 200}};
    for (const auto &[checkTakes, nextAfter, expected] : cases) {
        zebhttpd::Sessions sessions{300, 4};
        zebhttpd::LoginThrottle throttle;
        zebhttpd::Rpc rpc{bus, sessions, throttle, users, access};
        auto attempt = [&](const char *password, double now, double checkEnds) {
            zebhttpd::RpcExchange exchange;
            exchange.clientAddress = "127.0.0.2";
            exchange.now = now;
            gCheckEnds = checkEnds;
            exchange.clock = [] { return gCheckEnds; };
            std::string answer;
            int status = rpc.handle(login + password + "\"}}", exchange, answer);
            return std::make_pair(status, exchange.setCookieId);
        };
        for (int i = 0; i < 4; ++i)
            attempt("wrong", 0, checkTakes);
        auto [status, session] = attempt("alice secret", nextAfter, nextAfter);
        EXPECT_EQ(status, expected) << checkTakes << " s to check, next after " << nextAfter;
        EXPECT_EQ(session.empty(), expected == 429);
    }
}

TEST_F(Httpd, AnswersJsonRpcErrorsWithTheirCodes) {
    startHttpd();
    std::string id = alice();
    std::string deep =
        R"({"jsonrpc": "2.0", "method": "set", "id": 1, "params": {"object": "Phonebook", "values": )";
    for (int i = 0; i < 36; ++i)
        deep += "{\"a\": ";
    deep += "1" + std::string(38, '}');
    const std::string get = R"({"jsonrpc": "2.0", "method": "get", "id": 1, "params": )";
    json batch = json::array();
    for (int i = 0; i < 65; ++i)
        batch.push_back(call("session", json::object(), i));
    const std::pair<std::string, int> cases[] = {
        {"{\"jsonrpc\": \"2.0\", ", -32700},
        // A NUL once ended the text for the reader: what followed went unread.
        {R"({"jsonrpc": "2.0", "method": "nope", "id": 1})" + std::string(1, '\0') + "[[", -32700},
        {deep, -32600},
        {batch.dump(), -32600},
        {R"({"jsonrpc": "1.0", "method": "session", "id": 1})", -32600},
        {R"({"jsonrpc": "2.0", "method": "nope", "id": 1})", -32601},
        {get + R"(["Phonebook."]})", -32602},
        {get + R"({"path": "Phonebook.", "depth": 1}})", -32602},
    };
    for (const auto &[body, code] : cases) {
        Response r = roundTrip(port, post(body, kCsrf + cookie(id)));
        EXPECT_EQ(r.status, 200) << body;
        EXPECT_EQ(r.rpc()["error"]["code"], code) << body << "\n" << r.body;
    }
    json missing = rpc(call("get", {{"path", "Phonebook.Nothing"}}), id).rpc()["error"];
    EXPECT_EQ(missing["data"], json({{"code", ZEB_ERROR_NOT_FOUND},
                                     {"message", "no object or parameter Phonebook.Nothing"}}));
    json entries = call("get", {{"path", "Phonebook.NumberOfEntries"}});
    daemon.stop();
    json gone = rpc(entries, id).rpc();
    EXPECT_EQ(gone["error"]["code"], -32000);
    EXPECT_TRUE(zeb_bus_isTransportError(gone["error"]["data"]["code"].get<uint32_t>())) << gone;
    ASSERT_TRUE(daemon.start());
    EXPECT_EQ(rpc(entries, id).rpc()["result"], 0);
}

// A batch once answered up to 64 times the bus's 4 MiB; past 16 MiB the rest get errors.
TEST_F(Httpd, TheAnswersOfABatchStayWithinTheirBound) {
    startHttpd();
    std::string id = alice();
    ASSERT_EQ(bustest::Client(daemon.socket, 60000)
                  .call("Phonebook", "addContacts", {{"contacts", contacts("u", 50, 60000)}}),
              true);
    json batch = json::array();
    for (int i = 1; i <= 8; ++i)
        batch.push_back(pbCall("getAllContacts", json::object(), i));
    batch.push_back({{"jsonrpc", "2.0"}, {"method", "session"}}); // no id: no answer
    Response answered = rpc(batch, id);
    json answers = answered.rpc();
    ASSERT_EQ(answers.size(), 8u);
    EXPECT_LE(answered.body.size(), zebhttpd::kMaxAnswer + 2);
    EXPECT_EQ(json({answers[0]["result"]["retval"].size(), answers[7]["error"]["code"],
                    answers[7]["id"]}),
              json({50, -32005, 8}));
}

struct Sse {
    std::string id, event, data;
};

/* The events whole in the body of a stream. */
std::vector<Sse> eventsIn(const std::string &body) {
    std::vector<Sse> out;
    for (size_t at = 0, end; (end = body.find("\n\n", at)) != std::string::npos; at = end + 2) {
        std::istringstream lines(body.substr(at, end - at));
        Sse event;
        for (std::string line; std::getline(lines, line);) {
            std::string field = line.substr(0, line.find(':'));
            std::string value = line.size() > field.size() + 2 ? line.substr(field.size() + 2) : "";
            for (auto [name, to] :
                 {std::pair{"id", &event.id}, {"event", &event.event}, {"data", &event.data}})
                *to = field == name ? value : *to;
        }
        out.push_back(event);
    }
    return out;
}

size_t seen(const std::vector<Sse> &events, const std::string &name) {
    return static_cast<size_t>(
        std::count_if(events.begin(), events.end(), [&](const Sse &e) { return e.event == name; }));
}

/* GET /events over HTTP/1.0 (no chunks) in a session, read as it comes. */
class EventStream {
  public:
    EventStream(uint16_t port, const std::string &query, const std::string &session)
        : fd_(connectTo(port)) {
        std::string request =
            "GET /events" + query + " HTTP/1.0\r\nHost: x\r\n" + cookie(session) + "\r\n";
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
    }
    ~EventStream() { close(fd_); }
    EventStream(const EventStream &) = delete;
    EventStream &operator=(const EventStream &) = delete;

    /* What came once the head and `count` events named `name` did, or `ms` passed. */
    Response until(const std::string &name, size_t count, int ms = 3000) {
        bustest::Deadline deadline(ms);
        for (pollfd p{fd_, POLLIN, 0};
             (parse(text_).status == 0 || seen(eventsIn(parse(text_).body), name) < count) &&
             poll(&p, 1, deadline.remaining()) > 0;) {
            char buffer[65536];
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            text_.append(buffer, static_cast<size_t>(n));
        }
        return parse(text_);
    }
    std::vector<Sse> events(const std::string &name, size_t count, int ms = 3000) {
        return eventsIn(until(name, count, ms).body);
    }

  private:
    int fd_;
    std::string text_;
};

// Only to sessions whose roles may see them; after a restart of zebd, a reset first.
// The bridge runs as a user whom zebd's rules hold: under root, nobody of group root.
TEST_F(Httpd, EventStreamsCarryTheNotificationsTheirPathsCover) {
    addUser("nemo", "nemo", {"ghost"});
    bool root = geteuid() == 0;
    for (const std::string &path : {daemon.dir.path, users})
        chmod(path.c_str(), 0750);
    std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=0",
                                         "--clear-groups"};
    startHttpd({}, root ? asNobody : std::vector<std::string>());
    std::string id = alice();
    EventStream phonebook(port, "?path=Phonebook.", id), all(port, "", id);
    EventStream unseen(port, "?path=Phonebook.", login("nemo", "nemo"));
    EventStream other(port, "?path=Other.&path=PhonebookX", id);
    Response head = phonebook.until("", 0);
    EXPECT_EQ(json({head.status, head.header("Content-Type"), head.header("Cache-Control")}),
              json({200, "text/event-stream", "no-store"}));

    rpc(pbCall("addContact", {{"contact", contact("ann")}}), id);
    bustest::Client(daemon.socket).call("Phonebook", "addContact", {{"contact", contact("bob")}});
    Response two = phonebook.until("contactCreated", 2);
    std::vector<Sse> got = eventsIn(two.body);
    ASSERT_EQ(seen(got, "contactCreated"), 2u);
    EXPECT_EQ(two.body.rfind("retry: 3000\n\n", 0), 0u) << two.body;
    EXPECT_TRUE(std::regex_match(got.back().id, std::regex("[0-9a-f]{8}-2"))) << got.back().id;
    json data = json::parse(got.back().data);
    EXPECT_EQ(json({data["path"], data["name"], data["parameters"]["contact"]["uniqueID"]}),
              json({"Phonebook", "contactCreated", "bob"}));
    EXPECT_EQ(seen(all.events("contactCreated", 2), "contactCreated"), 2u);
    EXPECT_EQ(other.events("contactCreated", 1, 300).size(), 1u) << "only the reconnect hint";
    EXPECT_EQ(unseen.events("contactCreated", 1, 300).size(), 1u) << "a role that sees nothing";

    // zebd back with rules that let the bridge subscribe below Phonebook only:
    // Phonebook's own notifications no longer reach it.
    bustest::TempDir acl;
    std::string user = std::to_string(root ? 65534 : geteuid());
    bustest::writeFile(acl.file("rules.json"), R"({"rules": [{"user": )" + user + R"(, "access": [
        {"path": "Phonebook", "functions": ["*"]},
        {"path": "Phonebook.Entry.*", "operations": ["subscribe"]}]}]})");
    daemon.stop();
    ASSERT_TRUE(daemon.start({"--acl", acl.path}));
    EXPECT_EQ(seen(phonebook.events("reset", 1), "reset"), 1u);
    ASSERT_EQ(bustest::Client(daemon.socket)
                  .call("Phonebook", "addContact", {{"contact", contact("cid")}}),
              true);
    EXPECT_EQ(seen(phonebook.events("contactCreated", 3, 1000), "contactCreated"), 2u);
}

/* The body of a chunked answer, and whether its last chunk came. */
std::string dechunk(const std::string &body, bool &whole) {
    std::string out;
    whole = false;
    for (size_t at = 0, line; (line = body.find("\r\n", at)) != std::string::npos;) {
        size_t size = std::stoul(body.substr(at, line - at), nullptr, 16);
        if ((whole = size == 0))
            break;
        out += body.substr(line + 2, size);
        at = line + 2 + size + 2;
    }
    return out;
}

// A change mid-export ends the answer without its last chunk; large contacts slow it.
TEST_F(Httpd, ExportsEveryPageAsTheToolDoesOrEndsIncompleteWhenChanged) {
    startHttpd();
    bustest::Client bus(daemon.socket, 60000);
    for (int batch = 0; batch < 9; ++batch) {
        json many = contacts("u" + std::to_string(batch) + "-", 100, 10000, "title");
        ASSERT_EQ(bus.call("Phonebook", "addContacts", {{"contacts", many}}), true);
    }
    std::string id = alice();
    for (const char *version : {"3.0", "4.0"}) {
        Response r = send("GET", std::string("/vcard?version=") + version, cookie(id));
        bool whole = false;
        bustest::RunResult byTool = bustest::run(
            {PHONEBOOK_VCARD_PATH, "-s", daemon.socket, "export", "-", "--version", version},
            60000);
        EXPECT_EQ(dechunk(r.body, whole), byTool.out) << version;
        EXPECT_TRUE(whole) << version;
        EXPECT_EQ(r.header("Content-Disposition"), "attachment; filename=\"phonebook.vcf\"");
    }
    int fd = connectTo(port, 16 * 1024);
    std::string get = http("GET", "/vcard", cookie(id));
    ::send(fd, get.data(), get.size(), MSG_NOSIGNAL);
    bool added = false;
    Response got = parse(readAll(fd, 30000, [&](const std::string &sofar) {
        if (!added && sofar.size() > 100000)
            added = bus.call("Phonebook", "addContact", {{"contact", contact("a")}}) == true;
    }));
    close(fd);
    ASSERT_TRUE(added);
    ASSERT_EQ(got.status, 200);
    bool whole = true;
    dechunk(got.body, whole);
    EXPECT_FALSE(whole);
}

} // namespace
