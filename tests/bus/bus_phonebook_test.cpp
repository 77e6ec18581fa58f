// zebd serving the phonebook itself: what a busy client costs in log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

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
    // The lines zebd wrote while `calls` getContact calls were answered.
    size_t linesOfGetContactCalls(const std::vector<std::string> &options, int calls) {
        std::filesystem::remove(daemon.sysroot + "/cfg/system/phonebook.odl");
        EXPECT_TRUE(daemon.start(options)) << daemon.log();
        bustest::Client client(daemon.socket);
        json ann = {{"uniqueID", "ann"}, {"formattedName", "Ann"}};
        EXPECT_EQ(client.call("Phonebook", "addContact", {{"contact", ann}}), true) << daemon.log();
        std::string log = daemon.log();
        size_t before = std::count(log.begin(), log.end(), '\n');
        for (int i = 0; i < calls; ++i)
            EXPECT_EQ(client.call("Phonebook", "getContact", {{"formattedName", "Ann"}})
                          .value("uniqueID", ""),
                      "ann");
        log = daemon.log();
        size_t after = std::count(log.begin(), log.end(), '\n');
        daemon.stop();
        return after - before;
    }

    bustest::Daemon daemon;
};

// Each contact converted warns about every property list it does not have:
// a client polling a contact must not flood the log with those lines.
TEST_F(ServedPhonebook, ACallStormWritesAFewDozenLines) {
    EXPECT_LE(linesOfGetContactCalls({}, 100), 36u);
    // Without the limit, a few calls already fill the pipe's buffer.
    EXPECT_GE(linesOfGetContactCalls({"--trace-limit", "0"}, 20), 100u);
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
              "added True\ncontacts 1\nfound Ann Smith True\nnotified contactCreated\n")
        << run.out;
}

} // namespace
