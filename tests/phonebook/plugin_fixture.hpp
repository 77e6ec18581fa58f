// The plug-in run by the in-process test host with the shipped definition.
#ifndef PHONEBOOK_PLUGIN_FIXTURE_HPP
#define PHONEBOOK_PLUGIN_FIXTURE_HPP

#include <gtest/gtest.h>

#include "phonebook_test_support.hpp"

namespace pbtest {

class PluginTest : public ::testing::Test {
  protected:
    zebtest::TestHost host{500};
    std::string definitionPath;

    void SetUp() override {
        // LastRevision holds local time: one fixed zone for test and plug-in.
        setenv("TZ", "UTC", 1);
        tzset();
        std::filesystem::create_directories(host.path("/cfg/system"));
        json def = definition();
        def["plugin"] = PHONEBOOK_PLUGIN;
        definitionPath = writeDefinition(host, def);
    }
    void TearDown() override { host.stop(); }

    void start() { ASSERT_TRUE(host.start(definitionPath)) << host.lastError(); }
    void restart() {
        host.stop();
        start();
    }
    std::string addEntry(const json &values) {
        std::string path = host.add("Phonebook.Entry", values);
        EXPECT_FALSE(path.empty()) << host.lastError();
        return path;
    }
    json allContacts() { return host.call("Phonebook", "getAllContacts").value(); }
    Names formattedNames() {
        Names names;
        for (const json &contact : allContacts())
            names.push_back(contact.value("formattedName", ""));
        return names;
    }
    size_t saves() const { return host.countTraced("Save completed to /cfg/system/phonebook.odl"); }
};

} // namespace pbtest

#endif
