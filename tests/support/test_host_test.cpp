// The test host end to end, with the service-layer test plug-in: start,
// calls, client operations, timers, notifications, stop.
#include <gtest/gtest.h>

#include "keltrace/keltrace.h"
#include "test_host.hpp"

namespace {

using zebtest::json;

const char *const kDefinition = R"({"plugin": "%s", "objects": [{"name": "Test",
  "parameters": [{"name": "P", "type": "string", "write-handler": "onWrite"},
                 {"name": "Count", "type": "uint32", "attributes": ["read-only"]}],
  "functions": [{"name": "echo", "arguments": ["a", "b"]}, {"name": "outArg"}],
  "objects": [{"name": "Item", "multi-instance": true,
               "parameters": [{"name": "Label", "type": "string"},
                              {"name": "When", "type": "date-time"}]}]}]})";

std::string startedHost(zebtest::TestHost &host) {
    char text[1024];
    snprintf(text, sizeof text, kDefinition, PLUGIN_A);
    host.writeFile("/etc/test.json", text);
    return host.path("/etc/test.json");
}

std::vector<std::string> names(const zebtest::TestHost &host) {
    std::vector<std::string> result;
    for (const auto &n : host.notifications)
        result.push_back(n.name + " " + n.path);
    return result;
}

TEST(TestHost, RunsAPlugInFromStartToStop) {
    zebtest::TestHost host;
    ASSERT_TRUE(host.start(startedHost(host))) << host.lastError();
    EXPECT_EQ(names(host), (std::vector<std::string>{"initialized a"}));

    auto named = host.call("Test", "echo", {{"b", 2}, {"a", "one"}});
    ASSERT_TRUE(named.ok);
    EXPECT_EQ(named.value(), "Test:one|2");
    EXPECT_EQ(host.callPositional("Test", "echo", json::array({"one", 2})).value(), "Test:one|2");

    auto out = host.call("Test", "outArg");
    EXPECT_EQ(out.value(), true);
    EXPECT_EQ(out.outargs, (json{{"out", "result"}}));
    EXPECT_FALSE(host.call("Test", "missing").ok);

    host.stop();
    EXPECT_EQ(names(host).back(), "cleanup a");
}

TEST(TestHost, ClientOperationsCommitAndReportRefusals) {
    zebtest::TestHost host;
    ASSERT_TRUE(host.start(startedHost(host))) << host.lastError();
    host.clearRecords();

    ASSERT_TRUE(host.set("Test", {{"P", "x"}}));
    EXPECT_EQ(names(host), (std::vector<std::string>{"written:x Test"}));
    EXPECT_EQ(host.get("Test.P").toJson(), "x");

    // One refused value leaves the whole transaction undone.
    std::string refused;
    EXPECT_FALSE(host.set("Test", {{"P", "y"}, {"Count", 3}}, &refused));
    EXPECT_EQ(refused, "Count");
    EXPECT_EQ(host.get("Test.P").toJson(), "x");

    std::string item = host.add("Test.Item", {{"Label", "first"}}, "k1");
    EXPECT_EQ(item, "Test.Item.k1");
    EXPECT_EQ(host.add("Test.Item", {{"When", "not a date"}}, "", &refused), "");
    EXPECT_EQ(refused, "When");
    EXPECT_EQ(host.get("Test.Item.k1.When").type(), variant_type_date_time);
    EXPECT_EQ(host.get("Test", true).toJson()["Item"]["k1"]["Label"], "first");

    EXPECT_TRUE(host.del("Test.Item.k1"));
    EXPECT_FALSE(host.del("Test.Item.k1"));
    EXPECT_EQ(host.get("Test", true).toJson()["Item"], json::object());
}

void countExpiry(zeb_timer_t *, void *count) {
    ++*static_cast<int *>(count);
}

TEST(TestHost, KeepsItsOwnClockTracesAndSystemRoot) {
    zebtest::TestHost host;
    int fired = 0;
    zeb_timer_t *timer = zeb_timer_create();
    zeb_timer_setHandler(timer, countExpiry);
    zeb_timer_setUserData(timer, &fired);
    zeb_timer_start(timer, 5000);
    host.advance(4999);
    EXPECT_EQ(fired, 0);
    host.advance(1);
    EXPECT_EQ(fired, 1);
    zeb_timer_destroy(timer);

    kelTraceZ(400, "phonebook", "hello %d", 7);
    ASSERT_TRUE(host.traced("hello 7"));
    EXPECT_EQ(host.traces.back().zone, "phonebook");
    EXPECT_EQ(std::string(getenv("ZEB_SYSROOT")), host.sysroot());
    host.writeFile("/var/lib/x/file", "content");
    EXPECT_TRUE(host.exists("/var/lib/x/file"));
    EXPECT_EQ(host.readFile("/var/lib/x/file"), "content");
}

} // namespace
