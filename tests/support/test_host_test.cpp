// The test host end to end, with the service-layer test plug-in.
#include <gtest/gtest.h>

#include "test_host.hpp"

namespace {

using zebtest::json;

const char *const kDefinition = R"({"plugin": "%s", "objects": [{"name": "Test",
  "functions": [{"name": "echo", "arguments": ["a", "b"]}, {"name": "outArg"}]}]})";

TEST(TestHost, RunsAPlugInFromStartToStop) {
    zebtest::TestHost host;
    char text[1024];
    snprintf(text, sizeof text, kDefinition, PLUGIN_A);
    host.writeFile("/etc/test.json", text);
    ASSERT_TRUE(host.start(host.path("/etc/test.json"))) << host.lastError();
    ASSERT_EQ(host.notifications.size(), 1u);
    EXPECT_EQ(host.notifications[0].name, "initialized");
    auto named = host.call("Test", "echo", {{"b", 2}, {"a", "one"}});
    ASSERT_TRUE(named.ok);
    EXPECT_EQ(named.value(), "Test:one|2");
    EXPECT_EQ(host.callPositional("Test", "echo", json::array({"one", 2})).value(), "Test:one|2");
    auto out = host.call("Test", "outArg");
    EXPECT_EQ(out.outargs, (json{{"out", "result"}}));
    host.stop();
    EXPECT_EQ(host.notifications.back().name, "cleanup");
}

} // namespace
