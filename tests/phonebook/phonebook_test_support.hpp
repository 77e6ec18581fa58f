// What the phonebook tests share: the plug-in run by the in-process test
// host, trace helpers, and seeded random changes of every kind.
#ifndef PHONEBOOK_TEST_SUPPORT_HPP
#define PHONEBOOK_TEST_SUPPORT_HPP

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_host.hpp"

namespace pbtest {

using zebtest::json;
using Names = std::vector<std::string>;

inline json definition() {
    return json::parse(std::ifstream(PHONEBOOK_DEFINITION));
}

inline std::string fileText(const char *path) {
    return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

// The message of a trace line: "<zone> - [<mark>]<message> - <function>(...)".
inline std::string message(const zebtest::TraceLine &line) {
    size_t begin = line.line.find(']') + 1, end = line.line.rfind(" - ");
    return begin > 0 && end != std::string::npos && end >= begin
               ? line.line.substr(begin, end - begin)
               : "";
}

// The lines whose message is `text`, or begins with it when `prefix`.
inline std::vector<zebtest::TraceLine>
linesWithMessage(const zebtest::TestHost &host, const std::string &text, bool prefix = false) {
    std::vector<zebtest::TraceLine> lines;
    for (const auto &line : host.traces)
        if (prefix ? message(line).rfind(text, 0) == 0 : message(line) == text)
            lines.push_back(line);
    return lines;
}

// The local time now as LastRevision shows it.
inline std::string localNow() {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &local);
    return text;
}

class Random {
  public:
    explicit Random(unsigned seed) : engine_(seed) {}
    int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(engine_); }
    bool chance(int percent) { return below(100) < percent; }
    std::string text(const char *alphabet, int longest) {
        std::string text;
        for (int n = below(longest + 1); n > 0; --n)
            text += alphabet[below(static_cast<int>(strlen(alphabet)))];
        return text;
    }
    template <typename T> const T &pick(const std::vector<T> &items) {
        return items[static_cast<size_t>(below(static_cast<int>(items.size())))];
    }

  private:
    std::mt19937 engine_;
};

// The plug-in run by the in-process test host with the shipped definition.
class PluginTest : public ::testing::Test {
  protected:
    zebtest::TestHost host{500};
    std::string definitionPath;

    void SetUp() override {
        // LastRevision holds local time: one fixed zone for test and plug-in.
        setenv("TZ", "UTC", 1);
        tzset();
        std::filesystem::create_directories(host.path("/cfg/system"));
        std::filesystem::create_directories(host.path("/etc/config"));
        useDefinition(definition());
    }
    void TearDown() override { host.stop(); }
    void useDefinition(json def) {
        def["plugin"] = PHONEBOOK_PLUGIN;
        std::filesystem::create_directories(host.path("/definition"));
        definitionPath = host.path("/definition/phonebook.json");
        std::ofstream(definitionPath) << def.dump(2);
    }

    void start() { ASSERT_TRUE(host.start(definitionPath)) << host.lastError(); }
    void restart() { host.stop(), start(); }
    json call(const char *function, const json &arguments = json::object()) {
        return host.call("Phonebook", function, arguments).value();
    }
    std::string addEntry(const json &values) {
        std::string path = host.add("Phonebook.Entry", values);
        EXPECT_FALSE(path.empty()) << host.lastError();
        return path;
    }
    json allContacts() { return call("getAllContacts"); }
    zebtest::TraceLine firstLine(const std::string &text) const {
        return linesWithMessage(host, text).at(0);
    }
    size_t saves() const { return host.countTraced("Save completed to /cfg/system/phonebook.odl"); }
    Names sent() const {
        Names names;
        for (const auto &n : host.notifications)
            names.push_back(n.name);
        return names;
    }
    object_t *object(const std::string &path) const {
        return datamodel_getObject(zeb_datamodel(host.context()), path.c_str(), 0);
    }
    std::vector<object_t *> entries() const {
        std::vector<object_t *> all;
        for (object_t *e = object_firstInstance(object("Phonebook.Entry")); e;
             e = object_nextInstance(e))
            all.push_back(e);
        return all;
    }
    Names entryPaths() const {
        Names paths;
        for (object_t *e : entries())
            paths.push_back("Phonebook.Entry." + std::to_string(object_index(e)));
        return paths;
    }
};

// Random changes of every kind a client or the host makes to the phonebook.
class RandomChanges : public PluginTest {
  protected:
    Random random{0};
    int nextId = 0;
    int imports = 0;

    void SetUp() override {
        PluginTest::SetUp();
        start();
    }
    std::string uniqueIDOf(const std::string &path) {
        return host.get(path + ".UniqueID").toJson();
    }
    std::string freshName() { return "c" + std::to_string(nextId++); }
    virtual std::string randomNumber() { return "0" + random.text("0156", 6); }
    virtual json randomContact() {
        std::string id = freshName();
        json contact = {{"uniqueID", id}, {"formattedName", id}, {"title", random.text("ab", 3)}};
        contact["telephoneNumbers"] = json::array();
        for (int n = random.below(4); n > 0; --n)
            contact["telephoneNumbers"].push_back({{"name", randomNumber()}});
        return contact;
    }
    // A contact whose name another entry has: refused, rolled back whole.
    json refusedContact(const std::string &other) {
        json contact = randomContact();
        if (!other.empty())
            contact["formattedName"] = host.get(other + ".FormattedName").toJson();
        return contact;
    }
    // Among them refused ones rolled back after the UniqueID validator took the new identifier.
    void randomChange() {
        Names entries = entryPaths();
        std::string entry = entries.empty() ? "" : random.pick(entries);
        std::string other = entries.empty() ? "" : random.pick(entries);
        switch (entries.empty() ? 0 : random.below(12)) {
        case 0:
            call("addContact", {{"contact", randomContact()}});
            break;
        case 1: {
            json contact = randomContact();
            contact.erase("uniqueID");
            call("addContactAndGenUUID", {{"contact", contact}});
            break;
        }
        case 2: { // sometimes under a new identifier, sometimes refused
            json contact = random.chance(20) ? refusedContact(other) : randomContact();
            if (random.chance(50))
                contact["uniqueID"] = uniqueIDOf(entry);
            call("modifyContactByUniqueID",
                 {{"uniqueID", uniqueIDOf(entry)}, {"contact", contact}});
            break;
        }
        case 3:
            call("removeContactByUniqueID", {{"uniqueID", uniqueIDOf(entry)}});
            break;
        case 4:
            host.set(entry, {{"Title", random.text("xyz", 4)}});
            break;
        case 5:
            host.set(entry, {{"UniqueID", random.chance(80) ? freshName() : uniqueIDOf(other)}});
            break;
        case 6: {
            std::string number = entry + ".TelephoneNumber." + std::to_string(1 + random.below(3));
            if (random.chance(40))
                host.add(entry + ".TelephoneNumber", {{"Number", randomNumber()}});
            else if (random.chance(50))
                host.set(number, {{"Number", randomNumber()}});
            else
                host.del(number);
            break;
        }
        case 7:
            host.del(entry);
            break;
        case 8: { // refused: the name is another entry's
            json name = host.get(other + ".FormattedName").toJson();
            host.set(entry, {{"FormattedName", name}, {"Title", "refused"}});
            host.add("Phonebook.Entry", {{"FormattedName", name}});
            break;
        }
        case 9: { // a new identifier and a new entry, rolled back
            object_t *changed = object(entry);
            object_parameterSetCharValue(changed, "UniqueID", freshName().c_str());
            object_parameterSetCharValue(changed, "Title", "rolled back");
            if (object_t *number = object(entry + ".TelephoneNumber.1"))
                object_parameterSetCharValue(number, "Number", "0555");
            object_createInstance(object("Phonebook.Entry"), 0, nullptr);
            object_rollback(object("Phonebook"));
            break;
        }
        case 10:
            call("addContacts", {{"contacts",
                                  {randomContact(),
                                   random.chance(30) ? refusedContact(other) : randomContact()}}});
            break;
        default:
            if (random.chance(3)) {
                host.advance(10000); // saved: the new run loads it
                restart();
            } else if (random.chance(5)) {
                call("removeAllContacts");
            } else if (random.chance(5)) { // the legacy store, read back
                call("export");
                if (random.chance(50))
                    call("removeAllContacts");
                imports += call("import") == true;
            }
        }
    }
};

} // namespace pbtest

#endif
