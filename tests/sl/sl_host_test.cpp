#include <gtest/gtest.h>

#include "zeb/sl.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

const char *const kTestObject = R"([{"name": "Test", "functions": [{"name": "fail"}]}])";

// What the plug-in reports, as "<name> <path>".
void record(void *events, const notification_t *n) {
    static_cast<Texts *>(events)->push_back(std::string(notification_name(n)) + " " +
                                            notification_objectPath(n));
}

class Host : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zeb_sl_test.XXXXXX";
        dir = mkdtemp(pattern);
        zeb_subscribe(context, nullptr, record, &events);
        argument_valueListInitialize(&args);
    }
    void TearDown() override {
        argument_valueListCleanup(&args);
        zeb_destroy(context);
        fs::remove_all(dir);
    }
    bool load(const std::string &plugin, const std::string &objects) {
        std::string path = dir + "/definition.json";
        std::ofstream(path) << "{" << (plugin.empty() ? "" : "\"plugin\": \"" + plugin + "\", ")
                            << "\"objects\": " << objects << "}";
        return zeb_loadDefinition(context, path.c_str());
    }
    std::string call(const char *function, bool named) {
        variant_t retval;
        variant_initialize(&retval, variant_type_unknown);
        object_t *test = zeb_getObject(context, "Test", 0);
        bool ok = zeb_callFunction(context, test, function, &args, named, &retval);
        char *text = variant_char(&retval);
        std::string result = ok ? (text ? text : "") : "failed";
        free(text);
        variant_cleanup(&retval);
        return result;
    }
    Texts destroyHost() {
        zeb_destroy(context);
        context = nullptr;
        return events;
    }

    std::string dir;
    zeb_t *context = zeb_create();
    Texts events;
    argument_value_list_t args;
};

TEST_F(Host, FailedStartLeavesNothingOfTheDefinition) {
    ASSERT_TRUE(load("", R"([{"name": "RefuseStart"}])")) << zeb_errorMessage();
    EXPECT_FALSE(load(PLUGIN_A, R"([{"name": "Test", "functions": [{"name": "missing"}]}])"));
    EXPECT_NE(std::string(zeb_errorMessage()).find("__missing"), std::string::npos);
    EXPECT_FALSE(load(PLUGIN_BARE, R"([{"name": "Test"}])"));
    EXPECT_NE(std::string(zeb_errorMessage()).find("zeb_plugin_cleanup"), std::string::npos);
    EXPECT_FALSE(load(dir + "/absent.so", R"([{"name": "Test"}])"));
    EXPECT_NE(std::string(zeb_errorMessage()).find("absent.so"), std::string::npos);
    EXPECT_TRUE(events.empty()) << "initialize ran for a plug-in that cannot start";

    EXPECT_FALSE(load(PLUGIN_A, kTestObject)); // initialize refuses: RefuseStart exists
    EXPECT_EQ(zeb_getObject(context, "Test", 0), nullptr);
    EXPECT_NE(zeb_getObject(context, "RefuseStart", 0), nullptr);
    EXPECT_EQ(zeb_pluginCount(context), 0u);
    EXPECT_EQ(destroyHost(), Texts{"initialized a"}) << "cleanup of a plug-in that did not start";
}

// Calls that work: TestHost.RunsAPlugInFromStartToStop.
TEST_F(Host, CallsOfAFailingOrAbsentHandlerFail) {
    ASSERT_TRUE(load(PLUGIN_A, kTestObject)) << zeb_errorMessage();
    EXPECT_EQ(call("fail", false), "failed");
    EXPECT_EQ(zeb_error, ZEB_ERROR_REFUSED);
    EXPECT_EQ(call("absent", false), "failed");
    EXPECT_EQ(zeb_error, ZEB_ERROR_NOT_FOUND);
}

} // namespace
