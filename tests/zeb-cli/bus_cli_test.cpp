#include <gtest/gtest.h>

#include "daemon_test.hpp"

#include <algorithm>
#include <iterator>
#include <sstream>

namespace {

using bustest::json;
using bustest::RunResult;

class BusCli : public bustest::DaemonTest<> {
  protected:
    RunResult cli(std::vector<std::string> args) {
        args.insert(args.begin(), {ZEB_CLI_PATH, "-s", daemon.socket});
        return bustest::run(args);
    }
    // What a successful command printed, as JSON.
    json output(const std::vector<std::string> &args) {
        RunResult r = cli(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return json::parse(r.out, nullptr, false);
    }
};

size_t lines(const std::string &text) {
    return std::count(text.begin(), text.end(), '\n');
}

std::vector<std::string> words(const std::string &line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), {}};
}

// get, set, add, del and listen print as the phonebook's API reference shows
// (zeb_bus_api_doc_test); list does not appear there. Refusals exit with 1.
TEST_F(BusCli, ListPrintsThePathsOfTheObjectsAndRefusalsExitWithOne) {
    ASSERT_EQ(cli({"add", "Test.Item", "--key", "k1"}).status, 0);
    EXPECT_EQ(output({"list", "Test.Item"})["objects"], json({"Test.Item.k1"}));
    EXPECT_EQ(output({"list"}), json({{"objects", {"Test"}}}));

    for (const char *args :
         {"get Test.Nope", "set Test Fixed=x", "call Test fail", "call Test missing",
          "add Test.Settings", "del Test.Item.9", "list Nowhere"}) {
        RunResult r = cli(words(args));
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(lines(r.err), 1u) << r.err;
    }
}

// A value too large for one command-line argument (the system caps one at
// 128 KiB) comes from a file or from standard input.
TEST_F(BusCli, ValuesComeFromFilesAndStandardInput) {
    std::string big(200 * 1024, 'x');
    std::string contact = daemon.dir.file("contact.json"), text = daemon.dir.file("big.txt");
    bustest::writeFile(contact, R"({"uniqueID": "a", "words": ["@not", "a file"]})"
                                "\n");
    bustest::writeFile(text, big + "\r\n");
    json echoed = output({"call", "Test", "echo", "contact=@" + contact, "text=@" + text});
    EXPECT_EQ(echoed["retval"]["contact"],
              json({{"uniqueID", "a"}, {"words", {"@not", "a file"}}}));
    EXPECT_TRUE(echoed["retval"]["text"] == big) << "the text loses its last line end only";
    // A stored text holds at most 64 KiB.
    std::string name(60 * 1024, 'n'), named = daemon.dir.file("name.txt");
    bustest::writeFile(named, name + "\n");
    RunResult piped = bustest::run({"/bin/sh", "-c",
                                    zebtest::targetShellCommand({ZEB_CLI_PATH, "-s", daemon.socket,
                                                                 "set", "Test", "Name=@-"}) +
                                        " < " + named});
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(output({"get", "Test.Name"}) == name);

    // Nothing is sent when a file cannot be read: the old value stays.
    std::string missing = daemon.dir.file("missing.json");
    for (const std::string &wrong : {missing, daemon.dir.path}) {
        RunResult r = cli({"set", "Test", "Name=@" + wrong});
        EXPECT_EQ(r.status, 2) << wrong;
        EXPECT_NE(r.err.find("cannot read " + wrong), std::string::npos) << r.err;
    }
    EXPECT_EQ(cli({"call", "Test", "echo", "a=@-", "b=@-"}).status, 2);
    EXPECT_TRUE(output({"get", "Test.Name"}) == name);
}

TEST(BusCliAlone, UsageErrorsExitWithTwoAndNoDaemonWithThree) {
    for (const char *misuse : {"", "fly", "get", "get a b", "set Test", "set Test novalue",
                               "call Test", "call Test echo a=1 2", "listen -n 0",
                               "add Test.Item --key", "-t soon list", "--frobnicate list"}) {
        std::vector<std::string> args = words(misuse);
        args.insert(args.begin(), {ZEB_CLI_PATH, "-s", "/nonexistent/zeb.sock"});
        EXPECT_EQ(bustest::run(args).status, 2) << misuse;
    }
    RunResult r = bustest::run({ZEB_CLI_PATH, "-s", "/nonexistent/zeb.sock", "list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
}

} // namespace
