// zebd serving the test plug-in, its clients through the library and raw sockets.
#include <gtest/gtest.h>

#include "daemon_test.hpp"

#include <atomic>
#include <thread>

#include <sys/stat.h>

namespace {

using bustest::Client;
using bustest::Daemon;
using bustest::json;
using bustest::Raw;
using bustest::Var;

using BusDaemon = bustest::DaemonTest<>;

TEST_F(BusDaemon, SetGetAddListAndDelete) {
    Client c(daemon.socket);
    EXPECT_EQ(c.get("Test.Fixed"), "fixed");
    Var values(json{{"Name", "Ann"}, {"Count", 5}, {"Small", 200}});
    ASSERT_TRUE(zeb_bus_set(c.get(), "Test", values.map())) << c.message();
    json test = c.get("Test.");
    EXPECT_EQ(json({test["Name"], test["Count"]}), json({"Ann", 5}));
    EXPECT_FALSE(test.contains("Item")) << "children only with recursive";
    // A set is one transaction, and names the parameter refused.
    const std::tuple<const char *, json, uint32_t> refusals[] = {
        {"Limited", -1, ZEB_ERROR_REFUSED},
        {"Fixed", "x", ZEB_ERROR_READ_ONLY},
        {"Nope", "x", ZEB_ERROR_NOT_FOUND},
        {"Count", "x", ZEB_ERROR_TYPE}};
    for (const auto &[parameter, value, code] : refusals) {
        Var refused(json{{"Name", "Bob"}, {parameter, value}});
        EXPECT_FALSE(zeb_bus_set(c.get(), "Test", refused.map()));
        EXPECT_EQ(c.code(), code) << parameter << ": " << c.message();
        EXPECT_EQ(c.parameter(), parameter);
        EXPECT_EQ(c.get("Test.Name"), "Ann") << "nothing of a refused set is applied";
    }

    Var item(json{{"Label", "one"}, {"Value", 1}}), wrong(json{{"Value", "three"}});
    std::unique_ptr<char, decltype(&std::free)> byKey(
        zeb_bus_add(c.get(), "Test.Item", "first", item.map()), std::free),
        byIndex(zeb_bus_add(c.get(), "Test.Item.", nullptr, nullptr), std::free);
    ASSERT_TRUE(byKey && byIndex) << c.message();
    EXPECT_STREQ(byKey.get(), "Test.Item.first");
    EXPECT_STREQ(byIndex.get(), "Test.Item.2");
    EXPECT_EQ(zeb_bus_add(c.get(), "Test.Item", "first", nullptr), nullptr);
    EXPECT_EQ(c.code(), ZEB_ERROR_DUPLICATE);
    EXPECT_EQ(zeb_bus_add(c.get(), "Test.Item", "third", wrong.map()), nullptr);
    EXPECT_EQ(c.parameter(), "Value");

    EXPECT_EQ(c.get("Test", true)["Item"], json({{"first", {{"Label", "one"}, {"Value", 1}}},
                                                 {"2", {{"Label", ""}, {"Value", 0}}}}))
        << "instances by key; a refused add leaves none";
    EXPECT_EQ(c.get("Test.Item.1.Label"), "one") << "an instance by index";
    Var listed;
    ASSERT_TRUE(zeb_bus_list(c.get(), "Test", listed.get()));
    EXPECT_EQ(listed.toJson()["functions"]["notify"], json({"name", "count", "size"}));

    EXPECT_TRUE(zeb_bus_delete(c.get(), "Test.Item.first")) << c.message();
    EXPECT_FALSE(zeb_bus_delete(c.get(), "Test.Item.first"));
    EXPECT_EQ(c.code(), ZEB_ERROR_NOT_FOUND);
    EXPECT_FALSE(zeb_bus_delete(c.get(), "Test.Settings"));
    EXPECT_EQ(c.code(), ZEB_ERROR_WRONG_OBJECT);
}

TEST_F(BusDaemon, NotificationsReachTheSubscribersOfTheirPathOnly) {
    Client listener(daemon.socket), other(daemon.socket), caller(daemon.socket);
    uint32_t id = zeb_bus_subscribe(listener.get(), "Test");
    uint32_t otherId = zeb_bus_subscribe(other.get(), "Elsewhere");
    ASSERT_NE(id, 0u) << listener.message();
    ASSERT_NE(otherId, 0u) << other.message();
    ASSERT_EQ(caller.call("Test", "notify", {{"name", "hello"}, {"count", 2}}), 2);
    for (uint32_t i = 0; i < 2; ++i) {
        json n = listener.notification();
        EXPECT_EQ(n.value("subscription", 0u), id) << n;
        EXPECT_EQ(json({n["type"], n["name"], n["path"], n["parameters"]["index"]}),
                  json({7, "hello", "Test", i}));
    }

    // Notifications that came during a wait for a reply are queued: the fd no longer signals them.
    ASSERT_EQ(caller.call("Test", "notify", {{"name", "queued"}, {"count", 2}}), 2);
    EXPECT_EQ(listener.get("Test.Fixed"), "fixed");
    EXPECT_EQ(zeb_bus_client_pending(listener.get()), 2u);
    pollfd readable{zeb_bus_client_fd(listener.get()), POLLIN, 0};
    EXPECT_EQ(poll(&readable, 1, 0), 0);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(listener.notification(0)["name"], "queued");
    // A reply comes after every notification queued before it.
    EXPECT_EQ(other.get("Test.Fixed"), "fixed");
    EXPECT_EQ(other.notification(0), nullptr);

    EXPECT_FALSE(zeb_bus_unsubscribe(listener.get(), otherId)) << "not the listener's to end";
    EXPECT_TRUE(zeb_bus_unsubscribe(listener.get(), id)) << listener.message();
    ASSERT_EQ(caller.call("Test", "notify", json::object()), 1);
    EXPECT_EQ(listener.get("Test.Fixed"), "fixed");
    EXPECT_EQ(listener.notification(0), nullptr);

    // `other` holds one already.
    for (int i = 1; i < 64; ++i)
        ASSERT_NE(zeb_bus_subscribe(other.get(), "Test"), 0u) << other.message();
    EXPECT_EQ(zeb_bus_subscribe(other.get(), "Test"), 0u);
    EXPECT_EQ(other.code(), ZEB_ERROR_LIMIT);
}

// Whatever refused a readable request, the reply carries its id of any integer type.
TEST_F(BusDaemon, RefusedRequestsAreAnsweredWithTheirIdAndCode) {
    Client setup(daemon.socket); // texts as long as kept, together too large for one reply
    Var big(json{{"Label", std::string(64u << 10, 'x')}});
    for (int i = 0; i < 70; ++i)
        std::free(
            zeb_bus_add(setup.get(), "Test.Item", ("k" + std::to_string(i)).c_str(), big.map()));
    const std::pair<json, uint32_t> cases[] = {
        {{{"op", "fly"}}, ZEB_ERROR_NOT_FOUND},
        {{{"path", "Test"}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "get"}, {"path", 5}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "get"}, {"path", "Nowhere"}}, ZEB_ERROR_NOT_FOUND},
        {{{"op", "get"}, {"path", "Test"}, {"recursive", "yes"}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "get"}, {"path", "Test"}, {"recursive", true}}, ZEB_ERROR_LIMIT},
        {{{"op", "set"}, {"path", "Test"}, {"values", {1, 2}}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "set"}, {"path", "Test"}, {"values", {{"Limited", -1}}}}, ZEB_ERROR_REFUSED},
        {{{"op", "add"}, {"path", "Test.Item"}, {"key", 1}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "call"}, {"path", "Test"}, {"function", "echo"}, {"args", "x"}},
         ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "call"}, {"path", "Test"}, {"function", "fail"}}, ZEB_ERROR_REFUSED},
        {{{"op", "call"}, {"path", "Nowhere"}, {"function", "echo"}}, ZEB_ERROR_NOT_FOUND},
        {{{"op", "call"}, {"path", "Test.Name"}, {"function", "echo"}}, ZEB_ERROR_NOT_FOUND},
        {{{"op", "del"}, {"path", "Test.Settings"}}, ZEB_ERROR_WRONG_OBJECT},
        {{{"op", "unsubscribe"}, {"subscription", "one"}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "unsubscribe"}, {"subscription", 12345}}, ZEB_ERROR_NOT_FOUND},
    };
    Raw raw(daemon.socket);
    uint32_t id = UINT32_MAX;
    bool narrow = false;
    for (const auto &[fields, code] : cases) {
        Var request(fields), given, reply;
        narrow ? variant_setUInt32(given.get(), id) : variant_setInt64(given.get(), id);
        narrow = !narrow;
        variant_map_add(request.map(), "id", given.get());
        ASSERT_TRUE(raw.send(bustest::frameOf(request)));
        ASSERT_TRUE(raw.receive(reply)) << daemon.log();
        EXPECT_EQ(reply.toJson()["id"], id) << fields;
        EXPECT_EQ(bustest::errorCode(reply.toJson()), code) << fields;
        id -= 7919;
    }
    EXPECT_EQ(raw.exchange({{"id", 9}, {"op", "get"}, {"path", "Test.Fixed"}}),
              json({{"id", 9}, {"result", "fixed"}}));
}

// Between bind and listen the socket refused connections: a client was turned away and a second
// zebd removed it as a dead daemon's. slow_listen.c delays listen() by 50 ms (not cross builds).
TEST(BusDaemonLife, FromTheMomentTheSocketExistsItAnswersAndOneOfTwoDaemonsServes) {
#ifdef SLOW_LISTEN_LIBRARY
    // The sanitizers' runtime wants to be loaded first, before any preload.
    const char *asan = getenv("ASAN_OPTIONS");
    const std::string options = asan ? asan : "";
    setenv("ASAN_OPTIONS", (options + ":verify_asan_link_order=0").c_str(), 1);
    setenv("LD_PRELOAD", SLOW_LISTEN_LIBRARY, 1);
#endif
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Daemon daemon;
        std::atomic<bool> started{false};
        size_t refused = 0;
        std::thread prober([&] {
            sockaddr_un address = bustest::addressOf(daemon.socket);
            while (!started) {
                int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                refused +=
                    connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
                    errno == ECONNREFUSED;
                close(fd);
            }
        });
        const std::vector<std::string> argv = {ZEBD_PATH, "-s", daemon.socket, daemon.definition};
        bustest::Process first(argv);
        if (round % 2 == 1)
            bustest::waitFor([&] { return access(daemon.socket.c_str(), F_OK) == 0; });
        bustest::Process second(argv);
        bustest::Process *winner = nullptr;
        for (bustest::Deadline deadline(20000); winner == nullptr && deadline.remaining() > 0;) {
            if (first.waitForError("zebd: serving", 10))
                winner = &first;
            else if (second.waitForError("zebd: serving", 10))
                winner = &second;
        }
        started = true;
        prober.join();
        ASSERT_NE(winner, nullptr) << first.err << second.err;
        bustest::Process *loser = winner == &first ? &second : &first;
        EXPECT_EQ(refused, 0u);
        struct stat st {};
        ASSERT_EQ(stat(daemon.socket.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0660u);
        EXPECT_EQ(loser->wait(10000), 1) << loser->err;
        EXPECT_NE(loser->err.find("already serves"), std::string::npos) << loser->err;
        // Once the prober's closed connections are dropped (for a while they fill every place).
        EXPECT_TRUE(bustest::waitFor(
            [&] { return Client(daemon.socket).get("Test.Fixed") == "fixed"; }, 10000));
        kill(winner->pid, SIGTERM);
        EXPECT_EQ(winner->wait(20000), 0) << winner->err;
        EXPECT_FALSE(std::filesystem::exists(daemon.socket));
    }
#ifdef SLOW_LISTEN_LIBRARY
    unsetenv("LD_PRELOAD");
    asan ? setenv("ASAN_OPTIONS", options.c_str(), 1) : unsetenv("ASAN_OPTIONS");
#endif
}

TEST(BusDaemonLife, BadCommandLinesAndDefinitionsStopTheStart) {
    bustest::TempDir dir;
    std::string socket = dir.file("zeb.sock");
    EXPECT_EQ(bustest::run({ZEBD_PATH, "-s", socket}).status, 2) << "no definition";
    EXPECT_EQ(bustest::run({ZEBD_PATH, "-v", "loud", dir.file("x.json")}).status, 2);
    bustest::RunResult r = bustest::run({ZEBD_PATH, "-s", socket, dir.file("missing.json")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.json"), std::string::npos) << r.err;
    bustest::writeFile(dir.file("file.sock"), "not a socket");
    EXPECT_EQ(bustest::run({ZEBD_PATH, "-s", dir.file("file.sock"), dir.file("x.json")}).status, 1);
    EXPECT_EQ(bustest::readFile(dir.file("file.sock")), "not a socket") << "left alone";
}

// Answers with the path, or as the path says: another id, id 0, late (with the next request).
class FakeDaemon {
  public:
    FakeDaemon() : listener_(bustest::silentSocket(socket)), thread_([this] { serve(); }) {}
    ~FakeDaemon() {
        stopping_ = true;
        thread_.join();
        close(listener_);
    }
    bustest::TempDir dir;
    const std::string socket = dir.file("fake.sock");

  private:
    void serve() {
        for (pollfd p{listener_, POLLIN, 0}; !stopping_;) {
            if (poll(&p, 1, 20) <= 0)
                continue;
            Raw connection(accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
            for (Var request; connection.receive(request);)
                answer(connection, request.toJson()["id"], request.toJson()["path"]);
        }
    }
    void answer(Raw &connection, uint32_t id, const std::string &path) {
        if (path == "late") {
            late_ = id;
            return;
        }
        if (path == "after-late")
            connection.send(bustest::frameOf(Var({{"id", late_}, {"result", "late"}})));
        json reply = {{"id", path == "wrong-id"      ? id + 1
                             : path == "id-0-result" ? 0
                                                     : id},
                      {"result", path}};
        if (path == "id-0-unreadable" || path == "id-0-not-found")
            reply = {{"id", 0},
                     {"error",
                      {{"code", path == "id-0-unreadable" ? ZEB_ERROR_INVALID_ARGUMENT
                                                          : ZEB_ERROR_NOT_FOUND},
                       {"message", "unreadable request"}}}};
        connection.send(bustest::frameOf(Var(reply)));
    }
    int listener_;
    std::atomic<bool> stopping_{false};
    uint32_t late_ = 0;
    std::thread thread_;
};

// An unpaired reply is a protocol error ending the connection, unless an unreadable one's (id 0).
TEST(BusClient, RepliesWithAnotherIdAndLateRepliesAreNotTakenForTheAnswer) {
    FakeDaemon fake;
    Client c(fake.socket, 2000);
    const std::pair<const char *, uint32_t> rows[] = {
        {"wrong-id", ZEB_BUS_ERROR_PROTOCOL},
        {"id-0-result", ZEB_BUS_ERROR_PROTOCOL},
        {"id-0-not-found", ZEB_BUS_ERROR_PROTOCOL},
        {"id-0-unreadable", ZEB_ERROR_INVALID_ARGUMENT}};
    for (const auto &[path, code] : rows) {
        SCOPED_TRACE(path);
        EXPECT_EQ(c.get(path), nullptr);
        EXPECT_EQ(c.code(), code) << c.message();
        EXPECT_EQ(c.connected(), code != ZEB_BUS_ERROR_PROTOCOL);
        if (!c.connected()) {
            ASSERT_TRUE(zeb_bus_client_connect(c.get(), fake.socket.c_str())) << c.message();
        }
    }
    EXPECT_EQ(c.message(), "unreadable request");
    zeb_bus_client_setTimeout(c.get(), 100);
    EXPECT_EQ(c.get("late"), nullptr);
    EXPECT_EQ(c.code(), ZEB_BUS_ERROR_TIMEOUT);
    zeb_bus_client_setTimeout(c.get(), 2000);
    EXPECT_EQ(c.get("after-late"), "after-late") << "the late reply is skipped: " << c.message();
}

} // namespace
