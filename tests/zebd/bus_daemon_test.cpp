#include <gtest/gtest.h>

#include "bus_test_support.hpp"
#include "zeb/dm.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using bustest::Client;
using bustest::Daemon;
using bustest::json;
using bustest::Raw;
using bustest::Var;

class BusDaemon : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(daemon.start()) << daemon.log(); }
    // A clean exit: under the sanitizers a leak in the daemon fails here.
    void TearDown() override { EXPECT_EQ(daemon.stop(), 0) << daemon.log(); }
    Daemon daemon;
};

json errorOf(const Var &reply) {
    return reply.toJson().value("error", json());
}

TEST_F(BusDaemon, SetAndGetParametersObjectsAndValues) {
    Client c(daemon.socket);
    ASSERT_TRUE(c.connected()) << c.message();
    EXPECT_EQ(c.get("Test.Fixed"), "fixed");
    Var values(json{{"Name", "Ann"}, {"Count", 5}, {"Small", 200}});
    ASSERT_TRUE(zeb_bus_set(c.get(), "Test", values.map())) << c.message();
    json test = c.get("Test.");
    EXPECT_EQ(test["Name"], "Ann");
    EXPECT_EQ(test["Count"], 5);
    EXPECT_FALSE(test.contains("Item")) << "children only with recursive";
    Var small;
    ASSERT_TRUE(zeb_bus_get(c.get(), "Test.Small", false, small.get()));
    EXPECT_EQ(small.type(), variant_type_uint8) << "the parameter's own type reaches the client";
}

TEST_F(BusDaemon, SetIsOneTransactionAndNamesTheRefusedParameter) {
    Client c(daemon.socket);
    Var first(json{{"Name", "Ann"}});
    ASSERT_TRUE(zeb_bus_set(c.get(), "Test", first.map()));
    const std::pair<const char *, uint32_t> refusals[] = {{"Limited", ZEB_ERROR_REFUSED},
                                                          {"Fixed", ZEB_ERROR_READ_ONLY},
                                                          {"Nope", ZEB_ERROR_NOT_FOUND},
                                                          {"Count", ZEB_ERROR_TYPE}};
    for (auto [parameter, code] : refusals) {
        json refused = code == ZEB_ERROR_REFUSED ? json(-1) : json("x");
        Var values(json{{"Name", "Bob"}, {parameter, refused}});
        EXPECT_FALSE(zeb_bus_set(c.get(), "Test", values.map()));
        EXPECT_EQ(c.code(), code) << parameter << ": " << c.message();
        EXPECT_EQ(c.parameter(), parameter);
        EXPECT_EQ(c.get("Test.Name"), "Ann") << "nothing of a refused set is applied";
    }
    EXPECT_FALSE(zeb_bus_set(c.get(), "Nowhere", first.map()));
    EXPECT_EQ(c.code(), ZEB_ERROR_NOT_FOUND);
}

TEST_F(BusDaemon, AddListAndDeleteInstances) {
    Client c(daemon.socket);
    Var values(json{{"Label", "one"}, {"Value", 1}}), wrong(json{{"Value", "three"}});
    std::unique_ptr<char, decltype(&std::free)> byKey(
        zeb_bus_add(c.get(), "Test.Item", "first", values.map()), std::free),
        byIndex(zeb_bus_add(c.get(), "Test.Item.", nullptr, nullptr), std::free);
    ASSERT_TRUE(byKey && byIndex) << c.message();
    EXPECT_STREQ(byKey.get(), "Test.Item.first");
    EXPECT_STREQ(byIndex.get(), "Test.Item.2");
    EXPECT_EQ(zeb_bus_add(c.get(), "Test.Item", "first", nullptr), nullptr);
    EXPECT_EQ(c.code(), ZEB_ERROR_DUPLICATE);
    EXPECT_EQ(zeb_bus_add(c.get(), "Test.Item", "third", wrong.map()), nullptr);
    EXPECT_EQ(c.parameter(), "Value");

    json tree = c.get("Test", true);
    EXPECT_EQ(tree["Item"], json({{"first", {{"Label", "one"}, {"Value", 1}}},
                                  {"2", {{"Label", ""}, {"Value", 0}}}}))
        << "instances by key; a refused add leaves none";
    EXPECT_EQ(tree["Settings"], json({{"Mode", ""}}));
    EXPECT_EQ(c.get("Test.Item.1.Label"), "one") << "an instance by index";
    Var listed;
    ASSERT_TRUE(zeb_bus_list(c.get(), "Test", listed.get()));
    EXPECT_EQ(listed.toJson()["functions"]["split"], json({"text"}));

    EXPECT_TRUE(zeb_bus_delete(c.get(), "Test.Item.first")) << c.message();
    EXPECT_EQ(c.get("Test.Item.first"), nullptr);
    EXPECT_FALSE(zeb_bus_delete(c.get(), "Test.Item.first"));
    EXPECT_EQ(c.code(), ZEB_ERROR_NOT_FOUND);
    EXPECT_FALSE(zeb_bus_delete(c.get(), "Test.Settings"));
    EXPECT_EQ(c.code(), ZEB_ERROR_WRONG_OBJECT);
}

TEST_F(BusDaemon, CallsKeepArgumentTypesAndReturnOutArgumentsOrTheFailure) {
    Client c(daemon.socket);
    Var args(json{{"dup", 1}}), small, date;
    variant_setUInt8(small.get(), 200);
    struct tm when {};
    when.tm_year = 50; // before 1970
    when.tm_mday = 1;
    variant_setDateTime(date.get(), &when);
    variant_map_add(args.map(), "small", small.get());
    variant_map_add(args.map(), "date", date.get());
    variant_map_add(args.map(), "dup", small.get());
    Var retval;
    ASSERT_TRUE(zeb_bus_call(c.get(), "Test", "echo", args.get(), retval.get(), nullptr));
    EXPECT_TRUE(variant_equals(retval.get(), args.get())) << retval.toJson();
    EXPECT_EQ(c.call("Test", "echo", {1, "two"}), json({1, "two"}));

    for (const json &given :
         {json{{"text", "hello big world"}}, json::array({"hello big world"})}) {
        Var split(given), ok, out;
        variant_initialize(out.get(), variant_type_map);
        ASSERT_TRUE(zeb_bus_call(c.get(), "Test", "split", split.get(), ok.get(), out.map()));
        EXPECT_EQ(out.toJson(), json({{"head", "hello"}, {"tail", "big world"}}));
    }

    EXPECT_EQ(c.call("Test", "fail", json::object()), nullptr);
    EXPECT_EQ(c.code(), ZEB_ERROR_REFUSED);
    EXPECT_NE(c.message().find("refused on purpose"), std::string::npos) << c.message();
    for (auto [object, function] : {std::pair{"Test", "nothing"}, std::pair{"Nowhere", "echo"},
                                    std::pair{"Test.Name", "echo"}}) {
        EXPECT_EQ(c.call(object, function, json::object()), nullptr);
        EXPECT_EQ(c.code(), ZEB_ERROR_NOT_FOUND) << object << " " << function;
    }
}

TEST_F(BusDaemon, NotificationsReachTheSubscribersOfTheirPathOnly) {
    Client listener(daemon.socket), other(daemon.socket), caller(daemon.socket);
    uint32_t id = zeb_bus_subscribe(listener.get(), "Test");
    uint32_t otherId = zeb_bus_subscribe(other.get(), "Elsewhere");
    ASSERT_TRUE(id != 0 && otherId != 0) << listener.message();
    ASSERT_EQ(caller.call("Test", "notify", {{"name", "hello"}, {"count", 2}}), 2);

    zeb_bus_notification_t n;
    zeb_bus_notification_initialize(&n);
    for (uint32_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(zeb_bus_receiveNotification(listener.get(), 10000, &n)) << listener.message();
        EXPECT_EQ(n.subscription, id);
        EXPECT_EQ(n.type, 7u);
        EXPECT_STREQ(n.name, "hello");
        EXPECT_STREQ(n.path, "Test");
        Var parameters;
        variant_setMap(parameters.get(), &n.parameters);
        EXPECT_EQ(parameters.toJson()["index"], i);
        EXPECT_EQ(variant_type(variant_map_iterator_data(variant_map_find(&n.parameters, "when"))),
                  variant_type_date_time);
    }
    // Notifications that came while the listener waited for a reply are
    // queued in the client: its descriptor no longer signals them.
    ASSERT_EQ(caller.call("Test", "notify", {{"name", "queued"}, {"count", 2}}), 2);
    EXPECT_EQ(listener.get("Test.Fixed"), "fixed");
    EXPECT_EQ(zeb_bus_client_pending(listener.get()), 2u);
    pollfd readable{zeb_bus_client_fd(listener.get()), POLLIN, 0};
    EXPECT_EQ(poll(&readable, 1, 0), 0);
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(zeb_bus_receiveNotification(listener.get(), 0, &n)) << listener.message();
    EXPECT_STREQ(n.name, "queued");
    EXPECT_EQ(zeb_bus_client_pending(listener.get()), 0u);
    EXPECT_EQ(zeb_bus_client_pending(nullptr), 0u);

    // A reply comes after every notification queued before it: after this
    // round trip nothing can be on its way to `other`.
    EXPECT_EQ(other.get("Test.Fixed"), "fixed");
    EXPECT_FALSE(zeb_bus_receiveNotification(other.get(), 0, &n));
    EXPECT_EQ(other.code(), ZEB_BUS_ERROR_TIMEOUT);

    EXPECT_FALSE(zeb_bus_unsubscribe(listener.get(), otherId)) << "not the listener's to end";
    EXPECT_EQ(listener.code(), ZEB_ERROR_NOT_FOUND);
    EXPECT_TRUE(zeb_bus_unsubscribe(listener.get(), id)) << listener.message();
    ASSERT_EQ(caller.call("Test", "notify", json::object()), 1);
    EXPECT_EQ(listener.get("Test.Fixed"), "fixed");
    EXPECT_FALSE(zeb_bus_receiveNotification(listener.get(), 0, &n));
    zeb_bus_notification_cleanup(&n);

    // One client cannot make the daemon hold subscriptions without bound;
    // `other` already holds one.
    for (int i = 1; i < 64; ++i)
        ASSERT_NE(zeb_bus_subscribe(other.get(), "Test"), 0u) << other.message();
    EXPECT_EQ(zeb_bus_subscribe(other.get(), "Test"), 0u);
    EXPECT_EQ(other.code(), ZEB_ERROR_LIMIT);
}

TEST_F(BusDaemon, PlugInTimersRunOnTheDaemonsLoop) {
    Client listener(daemon.socket);
    ASSERT_NE(zeb_bus_subscribe(listener.get(), nullptr), 0u);
    // The loop's timer must follow the earliest plug-in timer, also one armed
    // after a later one. The late one is still pending when the daemon stops.
    ASSERT_EQ(listener.call("Test", "notifyLater", {{"delay", 60000}}), true);
    ASSERT_EQ(listener.call("Test", "notifyLater", {{"delay", 20}}), true);
    zeb_bus_notification_t n;
    zeb_bus_notification_initialize(&n);
    ASSERT_TRUE(zeb_bus_receiveNotification(listener.get(), 10000, &n)) << listener.message();
    EXPECT_STREQ(n.name, "later");
    ASSERT_EQ(listener.call("Test", "notifyLater", {{"delay", 0}}), true);
    EXPECT_TRUE(zeb_bus_receiveNotification(listener.get(), 10000, &n)) << listener.message();
    zeb_bus_notification_cleanup(&n);
}

TEST_F(BusDaemon, UnreadableFramesGetAnErrorAndTheConnectionGoesOn) {
    Raw raw(daemon.socket);
    const std::pair<std::string, uint32_t> cases[] = {
        {std::string("\xc1", 1), ZEB_ERROR_INVALID_ARGUMENT},
        {"", ZEB_ERROR_INVALID_ARGUMENT},
        {std::string(ZEB_BUS_MAX_DEPTH + 8, '\x91') + '\xc0', ZEB_ERROR_LIMIT},
        {std::string("\x92\x01\x02", 3), ZEB_ERROR_INVALID_ARGUMENT},      // not a map
        {std::string("\x81\xa2id\xa1x", 6), ZEB_ERROR_INVALID_ARGUMENT},   // id is a text
        {std::string("\x81\xa2op\xa3get", 8), ZEB_ERROR_INVALID_ARGUMENT}, // no id
    };
    Var reply;
    for (const auto &[body, code] : cases) {
        ASSERT_TRUE(raw.send(bustest::frame(body)));
        ASSERT_TRUE(raw.receive(reply)) << daemon.log();
        EXPECT_EQ(reply.toJson()["id"], 0);
        EXPECT_EQ(errorOf(reply)["code"], code) << reply.toJson();
    }
    ASSERT_TRUE(
        raw.send(bustest::frameOf(Var({{"id", 9}, {"op", "get"}, {"path", "Test.Fixed"}}))));
    ASSERT_TRUE(raw.receive(reply));
    EXPECT_EQ(reply.toJson(), json({{"id", 9}, {"result", "fixed"}}));
}

TEST_F(BusDaemon, RequestsWithWrongFieldsAreRefused) {
    Client c(daemon.socket);
    const std::pair<json, uint32_t> cases[] = {
        {{{"op", "fly"}}, ZEB_ERROR_NOT_FOUND},
        {{{"path", "Test"}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "get"}, {"path", 5}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "get"}, {"path", "Test"}, {"recursive", "yes"}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "set"}, {"path", "Test"}, {"values", {1, 2}}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "add"}, {"path", "Test.Item"}, {"key", 1}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "call"}, {"path", "Test"}, {"function", "echo"}, {"args", "x"}},
         ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "unsubscribe"}, {"subscription", "one"}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "unsubscribe"}, {"subscription", 12345}}, ZEB_ERROR_NOT_FOUND},
    };
    for (const auto &[request, code] : cases) {
        Var message(request);
        EXPECT_FALSE(zeb_bus_request(c.get(), message.map(), nullptr, nullptr)) << request;
        EXPECT_EQ(c.code(), code) << request << ": " << c.message();
    }
}

// Only a frame that cannot be read is answered with id 0: every refusal of a
// readable request names it, whatever refused it.
TEST_F(BusDaemon, ErrorRepliesToReadableRequestsCarryTheirId) {
    Client setup(daemon.socket);
    // Texts as long as the data model keeps, together too large for one reply.
    Var big(json{{"Label", std::string(64u << 10, 'x')}});
    for (int i = 0; i < 70; ++i)
        std::free(
            zeb_bus_add(setup.get(), "Test.Item", ("k" + std::to_string(i)).c_str(), big.map()));
    const std::pair<json, uint32_t> cases[] = {
        {{{"op", "fly"}}, ZEB_ERROR_NOT_FOUND},
        {{{"path", "Test"}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "get"}, {"path", "Nowhere"}}, ZEB_ERROR_NOT_FOUND},
        {{{"op", "get"}, {"path", "Test"}, {"recursive", true}}, ZEB_ERROR_LIMIT},
        {{{"op", "set"}, {"path", "Test"}, {"values", {{"Limited", -1}}}}, ZEB_ERROR_REFUSED},
        {{{"op", "add"}, {"path", "Test.Item"}, {"key", 1}}, ZEB_ERROR_INVALID_ARGUMENT},
        {{{"op", "call"}, {"path", "Test"}, {"function", "fail"}}, ZEB_ERROR_REFUSED},
        {{{"op", "del"}, {"path", "Test.Settings"}}, ZEB_ERROR_WRONG_OBJECT},
        {{{"op", "unsubscribe"}, {"subscription", 12345}}, ZEB_ERROR_NOT_FOUND},
    };
    Raw raw(daemon.socket);
    uint32_t id = UINT32_MAX;
    bool narrow = false; // every other id as a uint32: any integer type is an id
    for (const auto &[fields, code] : cases) {
        Var request(fields), given, reply;
        if (narrow)
            variant_setUInt32(given.get(), id);
        else
            variant_setInt64(given.get(), id);
        narrow = !narrow;
        variant_map_add(request.map(), "id", given.get());
        ASSERT_TRUE(raw.send(bustest::frameOf(request)));
        ASSERT_TRUE(raw.receive(reply)) << daemon.log();
        EXPECT_EQ(reply.toJson()["id"], id) << fields;
        EXPECT_EQ(errorOf(reply)["code"], code) << reply.toJson().dump().substr(0, 200);
        id -= 7919;
    }
}

TEST_F(BusDaemon, GarbageAndOversizedFramesCloseOnlyThatConnection) {
    Client bystander(daemon.socket);
    ASSERT_EQ(bystander.get("Test.Fixed"), "fixed");
    Var reply;
    for (const std::string &bytes : {std::string("GET / HTTP/1.0\r\n\r\n"), // over 1 GB announced
                                     std::string("\x00\x40\x00\x01", 4)}) { // 4 MiB + 1
        Raw raw(daemon.socket);
        ASSERT_TRUE(raw.send(bytes));
        ASSERT_TRUE(raw.receive(reply));
        EXPECT_EQ(errorOf(reply)["code"], ZEB_ERROR_LIMIT);
        EXPECT_TRUE(raw.closedByPeer());
    }
    Raw truncated(daemon.socket);
    ASSERT_TRUE(truncated.send(std::string("\x00\x00\x00\x64\x81\xa2id", 8))); // 5 of 100 bytes
    shutdown(truncated.fd, SHUT_WR);
    EXPECT_TRUE(truncated.closedByPeer());
    EXPECT_EQ(bystander.get("Test.Fixed"), "fixed") << bystander.message();
}

// The daemon keeps at most 8 MiB waiting for a client, besides what the
// kernel buffers hold: one that catches up from below the bound gets
// everything, one that falls further behind is dropped, and others go on.
TEST_F(BusDaemon, AClientThatStopsReadingIsDroppedPastItsOutputBound) {
    constexpr size_t kBound = 8u << 20, kSize = 256u << 10;
    Raw lazy(daemon.socket);
    Var message;
    ASSERT_TRUE(lazy.send(bustest::frameOf(Var({{"id", 1}, {"op", "subscribe"}}))));
    ASSERT_TRUE(lazy.receive(message));
    ASSERT_FALSE(message.toJson().contains("error"));
    // The daemon's end of the connection gets the same default buffers.
    int sendBuffer = 0, receiveBuffer = 0;
    socklen_t length = sizeof(int);
    getsockopt(lazy.fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length);
    getsockopt(lazy.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, &length);
    const size_t kernel = static_cast<size_t>(sendBuffer) + static_cast<size_t>(receiveBuffer);

    Client caller(daemon.socket);
    const size_t under = kBound / kSize - 1;
    ASSERT_EQ(caller.call("Test", "notify", {{"count", under}, {"size", kSize}}), under)
        << caller.message();
    for (size_t i = 0; i < under; ++i) {
        ASSERT_TRUE(lazy.receive(message)) << "dropped below the bound after " << i;
        EXPECT_EQ(message.toJson()["parameters"]["index"], i);
    }

    const size_t before = lazy.received, over = (kBound + kernel) / kSize + 1;
    EXPECT_EQ(caller.call("Test", "notify", {{"count", over}, {"size", kSize}}), over);
    EXPECT_EQ(caller.get("Test.Fixed"), "fixed");
    EXPECT_TRUE(lazy.closedByPeer()) << "the daemon dropped the client";
    EXPECT_LE(lazy.received - before, kBound + kernel);
    EXPECT_NE(daemon.log().find("does not read"), std::string::npos);
}

// A full daemon makes room by closing a connection stopped in the middle of
// a frame, never one that is quiet because it only waits for notifications
// (as the telephony service does), although that one has been quiet longest.
TEST_F(BusDaemon, AFullDaemonDropsAHalfFrameNotAnIdleSubscriber) {
    Raw subscriber(daemon.socket);
    Var message;
    ASSERT_TRUE(subscriber.send(bustest::frameOf(Var({{"id", 1}, {"op", "subscribe"}}))));
    ASSERT_TRUE(subscriber.receive(message));
    usleep(20000);
    std::vector<std::unique_ptr<Raw>> idle;
    for (int i = 0; i < 254; ++i)
        idle.push_back(std::make_unique<Raw>(daemon.socket));
    usleep(20000);
    Raw stalled(daemon.socket); // the 256th: the daemon is full
    const std::string request = bustest::frameOf(Var({{"id", 1}, {"op", "list"}}));
    ASSERT_TRUE(stalled.send(request.substr(0, request.size() - 1)));
    // Two round trips on another connection: the daemon has read the half
    // frame by the second.
    for (int id = 1; id <= 2; ++id) {
        ASSERT_TRUE(idle.back()->send(
            bustest::frameOf(Var({{"id", id}, {"op", "get"}, {"path", "Test.Fixed"}}))));
        ASSERT_TRUE(idle.back()->receive(message));
    }
    Client caller(daemon.socket);
    ASSERT_EQ(caller.call("Test", "notify", {{"name", "ring"}}), 1) << caller.message();
    ASSERT_TRUE(subscriber.receive(message)) << "the subscriber was dropped";
    EXPECT_EQ(message.toJson()["name"], "ring");
    EXPECT_TRUE(stalled.closedByPeer());
    size_t closed = 0;
    for (auto &connection : idle)
        closed += connection->closedByPeer(0);
    EXPECT_EQ(closed, 0u);
}

TEST_F(BusDaemon, ManyClientsAtOnceEachGetTheirOwnReplies) {
    constexpr int kClients = 64, kRequestsEach = 8;
    std::vector<std::unique_ptr<Raw>> clients;
    for (int i = 0; i < kClients; ++i)
        clients.push_back(std::make_unique<Raw>(daemon.socket));
    // Every request is sent before any reply is read.
    for (int i = 0; i < kClients; ++i) {
        std::string burst;
        for (int r = 1; r <= kRequestsEach; ++r)
            burst += bustest::frameOf(Var({{"id", r},
                                           {"op", "call"},
                                           {"path", "Test"},
                                           {"function", "echo"},
                                           {"args", {i, r}}}));
        ASSERT_TRUE(clients[i]->send(burst));
    }
    for (int i = 0; i < kClients; ++i) {
        for (int r = 1; r <= kRequestsEach; ++r) {
            Var reply;
            ASSERT_TRUE(clients[i]->receive(reply)) << i;
            EXPECT_EQ(reply.toJson(),
                      json({{"id", r}, {"result", {i, r}}, {"outargs", json::object()}}));
        }
    }
}

TEST(BusDaemonLife, SigtermAndSigintRunThePlugInsCleanupAndRemoveTheSocket) {
    for (int signal : {SIGTERM, SIGINT}) {
        Daemon daemon;
        ASSERT_TRUE(daemon.start({"-v", "300"})) << daemon.log();
        EXPECT_NE(daemon.log().find("serving on"), std::string::npos) << "-v shows notices";
        struct stat st {};
        ASSERT_EQ(stat(daemon.socket.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0660u);
        Client c(daemon.socket);
        ASSERT_NE(zeb_bus_subscribe(c.get(), nullptr), 0u) << "a subscription open at the end";

        EXPECT_EQ(daemon.stop(signal), 0) << daemon.log();
        EXPECT_EQ(bustest::readFile(daemon.sysroot + "/cleanup-marker"), "cleaned\n");
        EXPECT_NE(stat(daemon.socket.c_str(), &st), 0) << "socket removed";
        EXPECT_EQ(c.get("Test.Fixed"), nullptr);
        EXPECT_EQ(c.code(), ZEB_BUS_ERROR_DISCONNECTED);
    }
}

TEST(BusDaemonLife, AStaleSocketIsReplacedALiveOneIsNot) {
    Daemon daemon;
    int stale = bustest::silentSocket(daemon.socket);
    close(stale); // the file stays, nobody accepts: as a killed daemon leaves it
    ASSERT_TRUE(daemon.start()) << daemon.log();

    bustest::RunResult second = bustest::run({ZEBD_PATH, "-s", daemon.socket, daemon.definition});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("already serves"), std::string::npos) << second.err;
    EXPECT_EQ(Client(daemon.socket).get("Test.Fixed"), "fixed") << "the first one still serves";
    EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

/* zebd started while it lives waits 50 ms in each listen() (slow_listen.c),
 * so that a socket bound but not yet listening lasts long enough to be met.
 * A cross build starts zebd as it is. */
class SlowListen {
  public:
    SlowListen() {
#ifdef SLOW_LISTEN_LIBRARY
        const char *asan = getenv("ASAN_OPTIONS");
        // The sanitizers' runtime wants to be loaded first, before any preload.
        std::string options = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
        set("LD_PRELOAD", SLOW_LISTEN_LIBRARY);
        set("ASAN_OPTIONS", options);
#endif
    }
    ~SlowListen() {
        for (const auto &[name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

  private:
    void set(const std::string &name, const std::string &value) {
        const char *old = getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Between zebd's bind and its listen the socket file existed and refused
// connections: a client was turned away as if no daemon ran, and a second
// zebd took it for a dead daemon's and removed it. A client trying all the
// while must find either no socket or one that answers.
TEST(BusDaemonLife, FromTheMomentTheSocketExistsItAnswers) {
    SlowListen slow;
    for (int round = 0; round < 8; ++round) {
        Daemon daemon;
        std::atomic<bool> started{false};
        size_t refused = 0;
        std::thread prober([&] {
            sockaddr_un address = bustest::addressOf(daemon.socket);
            while (!started) {
                int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
                    errno == ECONNREFUSED)
                    ++refused;
                close(fd);
            }
        });
        bool served = daemon.start();
        started = true;
        prober.join();
        ASSERT_TRUE(served) << daemon.log();
        EXPECT_EQ(refused, 0u) << "round " << round;
        EXPECT_EQ(daemon.stop(), 0) << daemon.log();
    }
}

// Two daemons on one socket, the second started with the first or as soon
// as the first's socket appears: exactly one serves there, the other gives
// up, and nothing is left beside the socket.
TEST(BusDaemonLife, OfTwoDaemonsStartedTogetherOneServesAndTheOtherGivesUp) {
    SlowListen slow;
    for (int round = 0; round < 8; ++round) {
        Daemon daemon;
        const std::vector<std::string> argv = {ZEBD_PATH, "-s", daemon.socket, daemon.definition};
        bustest::Process first(argv);
        for (bustest::Deadline deadline(20000); round % 2 == 1 && deadline.remaining() > 0;) {
            if (access(daemon.socket.c_str(), F_OK) == 0)
                break;
        }
        bustest::Process second(argv);
        bustest::Process *winner = nullptr, *loser = nullptr;
        for (bustest::Deadline deadline(20000); winner == nullptr && deadline.remaining() > 0;) {
            if (first.waitForError("zebd: serving", 10))
                winner = &first, loser = &second;
            else if (second.waitForError("zebd: serving", 10))
                winner = &second, loser = &first;
        }
        ASSERT_NE(winner, nullptr) << first.err << second.err;
        EXPECT_EQ(loser->wait(10000), 1) << "round " << round << ": " << loser->err;
        EXPECT_NE(loser->err.find("already serves"), std::string::npos) << loser->err;
        EXPECT_EQ(Client(daemon.socket).get("Test.Fixed"), "fixed") << "round " << round;
        kill(winner->pid, SIGTERM);
        EXPECT_EQ(winner->wait(20000), 0) << winner->err;
        std::vector<std::string> left;
        for (const auto &entry : std::filesystem::directory_iterator(daemon.dir.path))
            left.push_back(entry.path().filename());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::string>{"sysroot", "test.json"}));
    }
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

TEST(BusClient, NoDaemonASilentOneAndAVanishedOneAreTransportErrors) {
    bustest::TempDir dir;
    Client nobody(dir.file("none.sock"));
    EXPECT_EQ(nobody.code(), ZEB_BUS_ERROR_UNREACHABLE);

    int fd = bustest::silentSocket(dir.file("silent.sock"));
    Client silent(dir.file("silent.sock"), 200);
    ASSERT_TRUE(silent.connected()) << silent.message();
    EXPECT_EQ(silent.get("Test"), nullptr);
    EXPECT_EQ(silent.code(), ZEB_BUS_ERROR_TIMEOUT);
    close(fd);
    EXPECT_EQ(silent.get("Test"), nullptr);
    EXPECT_TRUE(zeb_bus_isTransportError(silent.code())) << silent.message();
    EXPECT_FALSE(zeb_bus_isTransportError(ZEB_ERROR_NOT_FOUND));
}

/* A stand-in for the daemon: answers each request as its path says, with
 * the request's id unless the path asks for another one. */
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
        while (!stopping_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            Raw connection(accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
            Var request;
            while (connection.receive(request))
                answer(connection, request.toJson());
        }
    }
    void answer(Raw &connection, const json &request) {
        uint32_t id = request["id"];
        std::string path = request["path"];
        if (path == "late") {
            late_ = id; // answered with the next request
            return;
        }
        if (path == "after-late")
            connection.send(bustest::frameOf(Var({{"id", late_}, {"result", "late"}})));
        json reply = {{"id", id}, {"result", path}};
        if (path == "wrong-id")
            reply["id"] = id + 1;
        else if (path == "id-0-result")
            reply["id"] = 0;
        else if (path == "id-0-unreadable" || path == "id-0-not-found")
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

TEST(BusClient, AReplyWithAnotherIdIsAProtocolErrorUnlessItAnswersAnUnreadableFrame) {
    FakeDaemon fake;
    Client c(fake.socket, 2000);
    EXPECT_EQ(c.get("ok"), "ok") << c.message();
    for (const char *path : {"wrong-id", "id-0-result", "id-0-not-found"}) {
        EXPECT_EQ(c.get(path), nullptr) << path;
        EXPECT_EQ(c.code(), ZEB_BUS_ERROR_PROTOCOL) << path << ": " << c.message();
        EXPECT_FALSE(c.connected()) << "later replies could not be paired with requests";
        ASSERT_TRUE(zeb_bus_client_connect(c.get(), fake.socket.c_str())) << c.message();
    }
    EXPECT_EQ(c.get("id-0-unreadable"), nullptr);
    EXPECT_EQ(c.code(), ZEB_ERROR_INVALID_ARGUMENT) << c.message();
    EXPECT_EQ(c.message(), "unreadable request");
    EXPECT_EQ(c.get("ok"), "ok") << "the connection goes on";

    zeb_bus_client_setTimeout(c.get(), 100);
    EXPECT_EQ(c.get("late"), nullptr);
    EXPECT_EQ(c.code(), ZEB_BUS_ERROR_TIMEOUT);
    zeb_bus_client_setTimeout(c.get(), 2000);
    EXPECT_EQ(c.get("after-late"), "after-late") << "the late reply is skipped: " << c.message();
}

} // namespace
