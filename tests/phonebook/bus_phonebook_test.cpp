// zebd serving the phonebook itself: what its calls write to the log, and a
// saved phonebook its user cannot read.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "bus_test_support.hpp"

namespace {

using bustest::json;

class ServedPhonebook : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(daemon.sysroot + "/cfg/system");
        std::filesystem::create_directories(daemon.sysroot + "/usr/lib/phonebook");
        std::ostringstream table;
        table << std::ifstream(PHONEBOOK_CCC).rdbuf();
        bustest::writeFile(daemon.sysroot + "/usr/lib/phonebook/CCC.dat", table.str());
        daemon.definition = PHONEBOOK_DEFINITION;
    }
    // The warning and error lines of zebd's log.
    static std::vector<std::string> warningsIn(const std::string &log) {
        std::vector<std::string> lines;
        std::istringstream in(log);
        for (std::string line; std::getline(in, line);)
            if (line.find("[!]") != std::string::npos || line.find("[x]") != std::string::npos)
                lines.push_back(line);
        return lines;
    }

    bustest::Daemon daemon;
};

// Each contact converted warned about every property it did not have, each
// optional argument left out warned too: ordinary calls filled the log with
// warnings in which the one that mattered drowned.
TEST_F(ServedPhonebook, OrdinaryCallsWriteNoWarning) {
    ASSERT_TRUE(daemon.start()) << daemon.log();
    bustest::Client client(daemon.socket);
    const json full = {{"uniqueID", "ann"},
                       {"formattedName", "Ann Smith"},
                       {"name", "Smith;Ann"},
                       {"birthDay", "1985-04-12T00:00:00Z"},
                       {"title", "Dr"},
                       {"addresses", {{{"name", "1 Main St"}, {"type", "home"}}}},
                       {"labels", {{{"name", "Ann"}}}},
                       {"telephoneNumbers", {{{"name", "+33612345678"}, {"preferred", true}}}},
                       {"emails", {{{"name", "ann@example.com"}, {"type", "work"}}}}};
    const json bare = {{"uniqueID", "bob"}, {"formattedName", "Bob"}};
    const size_t before = warningsIn(daemon.log()).size();
    EXPECT_EQ(client.call("Phonebook", "addContact", {{"contact", full}}), true);
    EXPECT_EQ(client.call("Phonebook", "addContact", {{"contact", bare}}), true);
    EXPECT_EQ(client.call("Phonebook", "addContacts",
                          {{"contacts", {{{"uniqueID", "cy"}, {"formattedName", "Cy"}}}}}),
              true);
    EXPECT_FALSE(
        client.call("Phonebook", "addContactAndGenUUID", {{"contact", {{"formattedName", "Dee"}}}})
            .get<std::string>()
            .empty());
    EXPECT_EQ(client.call("Phonebook", "modifyContactByUniqueID",
                          {{"uniqueID", "ann"}, {"contact", {{"title", "Prof"}}}}),
              true);
    EXPECT_EQ(client.call("Phonebook", "modifyContact",
                          {{"formattedName", "Bob"},
                           {"contact", {{"telephoneNumbers", {{{"name", "0123"}}}}}}}),
              true);
    EXPECT_EQ(
        client.call("Phonebook", "getContact", {{"formattedName", "Bob"}}).value("uniqueID", ""),
        "bob");
    EXPECT_EQ(
        client.call("Phonebook", "getContactByUniqueID", {{"uniqueID", "ann"}}).value("title", ""),
        "Prof");
    EXPECT_EQ(
        client.call("Phonebook", "getContactByNumber", {{"number", "0123"}}).value("uniqueID", ""),
        "bob");
    EXPECT_TRUE(client.call("Phonebook", "getContactByNumber", {{"number", "999"}}).is_null());
    EXPECT_EQ(client.call("Phonebook", "getAllContacts", json::object()).size(), 4u);
    EXPECT_EQ(client.call("Phonebook", "getNumberOfContacts", json::object()), 4);
    EXPECT_EQ(client.call("Phonebook", "removeContactByUniqueID", {{"uniqueID", "ann"}}), true);
    EXPECT_EQ(client.call("Phonebook", "removeContact", {{"formattedName", "Bob"}}), true);
    EXPECT_EQ(client.call("Phonebook", "removeAllContacts", json::object()), true);
    std::vector<std::string> warnings = warningsIn(daemon.log());
    warnings.erase(warnings.begin(), warnings.begin() + static_cast<ptrdiff_t>(before));
    EXPECT_TRUE(warnings.empty()) << warnings.size() << " lines, the first: " << warnings[0];

    // A call that fails still says why.
    EXPECT_EQ(client.call("Phonebook", "addContact", {{"contact", bare}}), true);
    EXPECT_EQ(client.call("Phonebook", "addContact", {{"contact", bare}}), false);
    EXPECT_GT(warningsIn(daemon.log()).size(), before);
}

// Run once by hand as root, zebd saved the phonebook root-owned 0600. The
// service's user could not read it, served an empty phonebook and saved that
// over the file at the first change. Now zebd does not start and says why.
TEST_F(ServedPhonebook, ASavedPhonebookTheServiceCannotReadStopsItAndStaysAsItWas) {
    const char *setpriv = "/usr/bin/setpriv";
    if (geteuid() != 0 || access(setpriv, X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv: zebd runs as another user";
    const std::string saved = daemon.sysroot + "/cfg/system/phonebook.odl";
    ASSERT_TRUE(daemon.start()) << daemon.log();
    {
        bustest::Client root(daemon.socket);
        json ann = {{"uniqueID", "ann"}, {"formattedName", "Ann"}};
        ASSERT_EQ(root.call("Phonebook", "addContact", {{"contact", ann}}), true);
    }
    ASSERT_EQ(daemon.stop(), 0) << daemon.log();
    const std::string before = bustest::readFile(saved);
    ASSERT_NE(before.find("Ann"), std::string::npos);
    ASSERT_EQ(chmod(saved.c_str(), 0600), 0);

    // The service's user owns the file's directory, as installed, and
    // reaches everything but the file.
    const uid_t service = 47009;
    ASSERT_EQ(chown((daemon.sysroot + "/cfg/system").c_str(), service, service), 0);
    const std::string run = daemon.dir.file("run"), socket = run + "/zeb.sock";
    ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
    ASSERT_EQ(chown(run.c_str(), service, service), 0);
    ASSERT_EQ(chmod(daemon.dir.path.c_str(), 0711), 0);
    std::vector<std::string> command = {setpriv, "--reuid=47009", "--regid=47009",
                                        "--clear-groups"};
    for (const std::string &word : zebtest::targetCommand(
             {ZEBD_PATH, "-s", socket, "--sysroot", daemon.sysroot, daemon.definition}))
        command.push_back(word);
    bustest::Process zebd(command);
    if (zebd.waitForError("zebd: serving", 20000)) {
        ADD_FAILURE() << "served without its phonebook";
        bustest::Client client(socket);
        client.call("Phonebook", "addContact", {{"contact", {{"uniqueID", "bob"}}}});
        kill(zebd.pid, SIGTERM);
    }
    EXPECT_NE(zebd.wait(20000), 0);
    EXPECT_NE(zebd.err.find("/cfg/system/phonebook.odl"), std::string::npos) << zebd.err;
    EXPECT_NE(zebd.err.find("Permission denied"), std::string::npos) << zebd.err;
    EXPECT_EQ(bustest::readFile(saved), before);
}

// The Python client of the wire document, as written there, against zebd.
TEST_F(ServedPhonebook, ThePythonClientOfTheWireDocumentRuns) {
    std::ostringstream document;
    document << std::ifstream(WIRE_PROTOCOL_DOC).rdbuf();
    std::string text = document.str();
    size_t begin = text.find("```python\n"), end = text.find("\n```", begin + 1);
    ASSERT_NE(begin, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    std::string script = daemon.dir.file("client.py");
    bustest::writeFile(script, text.substr(begin + 10, end - begin - 9));

    ASSERT_TRUE(daemon.start()) << daemon.log();
    bustest::RunResult run = bustest::run({PYTHON3, script, daemon.socket});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find("refused 0x10002 ")),
              "added True\ncontacts 1\nfound Ann Smith True\nnotified contactCreated\n"
              "sorted Ann Smith, bob Jones, Eve Adams, Zed Lake\n")
        << run.out;
}

} // namespace
