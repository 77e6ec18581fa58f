// The test host end to end, with the service-layer test plug-in.
#include <gtest/gtest.h>

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

std::string definition(zebtest::TestHost &host) {
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

// The plug-in tests use every part of the host; here its life once.
TEST(TestHost, RunsAPlugInFromStartToStop) {
    zebtest::TestHost host;
    ASSERT_TRUE(host.start(definition(host))) << host.lastError();
    EXPECT_EQ(names(host), (std::vector<std::string>{"initialized a"}));
    auto named = host.call("Test", "echo", {{"b", 2}, {"a", "one"}});
    ASSERT_TRUE(named.ok);
    EXPECT_EQ(named.value(), "Test:one|2");
    EXPECT_EQ(host.callPositional("Test", "echo", json::array({"one", 2})).value(), "Test:one|2");
    auto out = host.call("Test", "outArg");
    EXPECT_EQ(out.outargs, (json{{"out", "result"}}));
    EXPECT_FALSE(host.call("Test", "missing").ok);
    ASSERT_TRUE(host.set("Test", {{"P", "x"}}));
    EXPECT_EQ(names(host).back(), "written:x Test");
    host.stop();
    EXPECT_EQ(names(host).back(), "cleanup a");
}

} // namespace
