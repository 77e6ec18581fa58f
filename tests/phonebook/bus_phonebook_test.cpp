#include <gtest/gtest.h>

#include "daemon_test.hpp"

namespace {

using ServedPhonebook = bustest::DaemonTest<bustest::PhonebookDaemon>;

// The Python client of the wire document, as written there, against zebd.
TEST_F(ServedPhonebook, ThePythonClientOfTheWireDocumentRuns) {
    std::string text = bustest::readFile(WIRE_PROTOCOL_DOC);
    size_t begin = text.find("```python\n"), end = text.find("\n```", begin + 1);
    ASSERT_NE(begin, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    std::string script = daemon.dir.file("client.py");
    bustest::writeFile(script, text.substr(begin + 10, end - begin - 9));
    bustest::RunResult run = bustest::run({PYTHON3, script, daemon.socket});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find("refused 0x10002 ")),
              "added True\ncontacts 1\nfound Ann Smith True\nnotified contactCreated\n"
              "sorted Ann Smith, bob Jones, Eve Adams, Zed Lake\n")
        << run.out;
}

} // namespace
