// The plug-in run by the in-process test host with the shipped definition,
// and a double of the legacy import behind the plug-in's test seam.
#ifndef PHONEBOOK_PLUGIN_FIXTURE_HPP
#define PHONEBOOK_PLUGIN_FIXTURE_HPP

#include <gtest/gtest.h>

#include <dlfcn.h>

#include "phonebook_test_support.hpp"

namespace pbtest {

using exchange_t = bool (*)(object_t *phonebook, const char *path);
using setExchange_t = void (*)(exchange_t exchange);

struct ImportDouble {
    bool succeed = false;
    std::vector<std::string> create; // FormattedName of each entry it creates
    std::vector<std::string> paths;  // one per call
};

inline ImportDouble &importDouble() {
    static ImportDouble state;
    return state;
}

inline bool importWithDouble(object_t *phonebook, const char *path) {
    importDouble().paths.push_back(path);
    object_t *entries = object_getObject(phonebook, "Entry", 0, nullptr);
    for (const std::string &name : importDouble().succeed ? importDouble().create : Names())
        object_parameterSetCharValue(object_createInstance(entries, 0, nullptr), "FormattedName",
                                     name.c_str());
    object_commit(entries);
    return importDouble().succeed;
}

class PluginTest : public ::testing::Test {
  protected:
    zebtest::TestHost host{500};
    std::string definitionPath;
    void *plugin = nullptr;
    setExchange_t setImport = nullptr;

    void SetUp() override {
        // LastRevision holds local time: one fixed zone for test and plug-in.
        setenv("TZ", "UTC", 1);
        tzset();
        importDouble() = ImportDouble();
        // Loaded ahead of the host, which then finds this same instance, so
        // that the double is in place at start-up.
        plugin = dlopen(PHONEBOOK_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(plugin, nullptr) << dlerror();
        setImport = reinterpret_cast<setExchange_t>(dlsym(plugin, "phonebook_test_setImport"));
        ASSERT_NE(setImport, nullptr);
        setImport(importWithDouble);
        std::filesystem::create_directories(host.path("/cfg/system"));
        json def = definition();
        def["plugin"] = PHONEBOOK_PLUGIN;
        definitionPath = writeDefinition(host, def);
    }
    void TearDown() override {
        host.stop();
        if (setImport != nullptr)
            setImport(nullptr);
        if (plugin != nullptr)
            dlclose(plugin);
    }

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
