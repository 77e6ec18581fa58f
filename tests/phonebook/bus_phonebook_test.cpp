// zebd serving the phonebook: what its calls write to the log, a saved
// phonebook its user cannot read, the Python client of the wire document.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "daemon_test.hpp"

namespace {

using bustest::json;

class ServedPhonebook : public bustest::DaemonTest<bustest::PhonebookDaemon> {
  protected:
    void SetUp() override {} // each test starts the daemon its own way
    // The warning and error lines of zebd's log.
    size_t warnings() {
        std::string log = daemon.log();
        return bustest::count(log, "[!]") + bustest::count(log, "[x]");
    }
};

// Each contact converted warned about every property it did not have, each
// optional argument left out warned too: ordinary calls filled the log with
// warnings in which the one that mattered drowned. (A call that fails would
// warn: none does here.)
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
    const std::pair<const char *, json> calls[] = {
        {"addContact", {{"contact", full}}},
        {"addContact", {{"contact", bare}}},
        {"addContactAndGenUUID", {{"contact", {{"formattedName", "Dee"}}}}},
        {"addContacts", {{"contacts", {{{"uniqueID", "cy"}, {"formattedName", "Cy"}}}}}},
        {"modifyContactByUniqueID", {{"uniqueID", "ann"}, {"contact", {{"title", "Prof"}}}}},
        {"modifyContact",
         {{"formattedName", "Bob"}, {"contact", {{"telephoneNumbers", {{{"name", "0123"}}}}}}}},
        {"getContact", {{"formattedName", "Bob"}}},
        {"getContactByUniqueID", {{"uniqueID", "ann"}}},
        {"getContactByNumber", {{"number", "0123"}}},
        {"getContactByNumber", {{"number", "999"}}},
        {"getAllContacts", json::object()},
        {"getNumberOfContacts", json::object()},
        {"removeContactByUniqueID", {{"uniqueID", "ann"}}},
        {"removeContact", {{"formattedName", "Bob"}}},
        {"removeAllContacts", json::object()},
    };
    const size_t before = warnings();
    for (const auto &[function, args] : calls) {
        bustest::Var given(args), retval;
        EXPECT_TRUE(
            zeb_bus_call(client.get(), "Phonebook", function, given.get(), retval.get(), nullptr))
            << function << args << client.message();
    }
    EXPECT_EQ(warnings(), before) << daemon.log();
    EXPECT_EQ(client.call("Phonebook", "addContact", {{"contact", bare}}), true);
    EXPECT_EQ(client.call("Phonebook", "addContact", {{"contact", bare}}), false);
    EXPECT_GT(warnings(), before) << "a call that fails still says why";
}

// Run once by hand as root, zebd saved the phonebook root-owned 0600. The
// service's user could not read it, served an empty phonebook and saved that
// over the file at the first change. Now zebd does not start and says why.
TEST_F(ServedPhonebook, ASavedPhonebookTheServiceCannotReadStopsItAndStaysAsItWas) {
    const char *setpriv = "/usr/bin/setpriv";
    if (geteuid() != 0 || access(setpriv, X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv: zebd runs as another user";
    ASSERT_TRUE(daemon.start()) << daemon.log();
    ASSERT_EQ(bustest::Client(daemon.socket)
                  .call("Phonebook", "addContact",
                        {{"contact", {{"uniqueID", "ann"}, {"formattedName", "Ann"}}}}),
              true);
    ASSERT_EQ(daemon.stop(), 0) << daemon.log();
    const std::string before = bustest::readFile(daemon.savedFile());
    ASSERT_NE(before.find("Ann"), std::string::npos);
    ASSERT_EQ(chmod(daemon.savedFile().c_str(), 0600), 0);

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
        bustest::Client(socket).call("Phonebook", "addContact",
                                     {{"contact", {{"uniqueID", "bob"}}}});
        kill(zebd.pid, SIGTERM);
    }
    EXPECT_NE(zebd.wait(20000), 0);
    EXPECT_NE(zebd.err.find("/cfg/system/phonebook.odl"), std::string::npos) << zebd.err;
    EXPECT_NE(zebd.err.find("Permission denied"), std::string::npos) << zebd.err;
    EXPECT_EQ(bustest::readFile(daemon.savedFile()), before);
}

// The Python client of the wire document, as written there, against zebd.
TEST_F(ServedPhonebook, ThePythonClientOfTheWireDocumentRuns) {
    std::string text = bustest::readFile(WIRE_PROTOCOL_DOC);
    size_t begin = text.find("```python\n"), end = text.find("\n```", begin + 1);
    ASSERT_TRUE(begin != std::string::npos && end != std::string::npos);
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
