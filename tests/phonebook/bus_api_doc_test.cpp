// Each example of docs/phonebook-api.md, run in order through zeb-cli against a fresh zebd,
// prints what the document shows under it.
#include <gtest/gtest.h>

#include <sys/syscall.h>

#include <chrono>
#include <regex>
#include <thread>

#include "daemon_test.hpp"

namespace {

struct Example {
    size_t line; // in the document, from 1
    std::string command, expected;
};

// The examples: the blocks marked `sh` whose first line begins with "$ ".
std::vector<Example> examplesOf(const std::string &document) {
    std::vector<std::string> lines;
    std::istringstream in(document);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::vector<Example> examples;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("```", 0) != 0)
            continue;
        bool example =
            lines[i] == "```sh" && i + 1 < lines.size() && lines[i + 1].rfind("$ ", 0) == 0;
        for (++i; i < lines.size() && lines[i] != "```"; ++i) {
            if (example && lines[i].rfind("$ ", 0) == 0)
                examples.push_back({i + 1, lines[i].substr(2), ""});
            else if (example)
                examples.back().expected += lines[i] + "\n";
        }
    }
    return examples;
}

// The words of a command line as the shell splits them: blanks separate,
// '...' quotes everything, "..." everything but \" and \\.
std::vector<std::string> wordsOf(const std::string &line) {
    std::vector<std::string> words;
    bool inWord = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == ' ') {
            inWord = false;
            continue;
        }
        if (!inWord)
            words.emplace_back();
        inWord = true;
        if (c != '\'' && c != '"') {
            words.back() += c;
            continue;
        }
        for (i++; i < line.size() && line[i] != c; ++i) {
            if (c == '"' && line[i] == '\\' && i + 1 < line.size() &&
                (line[i + 1] == '"' || line[i + 1] == '\\'))
                ++i;
            words.back() += line[i];
        }
        if (i == line.size())
            throw std::runtime_error("unterminated quote in: " + line);
    }
    return words;
}

// The document's placeholders: "<now>" for a date-time within a day of `now` (any zone),
// "urn:uuid:<uuid>", "<token>" for a "token" (kept in `token` for the commands that follow).
std::string normalised(const std::string &output, time_t now, std::string *token) {
    static const std::regex placeholders(
        R"re("token":"([^"]*)"|urn:uuid:[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}|)re"
        R"re(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)re");
    std::string result;
    auto end = output.cbegin();
    for (std::sregex_iterator m(output.begin(), output.end(), placeholders), last; m != last; ++m) {
        std::string found = m->str(), shown = found;
        std::tm broken{};
        if ((*m)[1].matched) {
            *token = (*m)[1];
            shown = "\"token\":\"<token>\"";
        } else if (found[0] == 'u') {
            shown = "urn:uuid:<uuid>";
        } else if (strptime(found.c_str(), "%Y-%m-%dT%H:%M:%SZ", &broken) != nullptr &&
                   std::labs(static_cast<long>(timegm(&broken) - now)) <= 86400 + 3600) {
            shown = "<now>";
        }
        result.append(end, (*m)[0].first) += shown;
        end = (*m)[0].second;
    }
    return result.append(end, output.cend());
}

// True once the process waits for input without a time limit, as `zeb-cli
// listen` does once subscribed (its earlier waits all have one).
bool waitsForever(pid_t pid) {
    std::ifstream state("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    std::string pollfds, count, timeout;
    if (!(state >> number >> pollfds >> count >> timeout))
        return false; // "running", or gone
    unsigned long long value = std::stoull(timeout, nullptr, 16);
#ifdef ZEB_TEST_HOST_SYS_PPOLL
    // Under the emulator the child is a host process, with the host's numbers.
    if (number == ZEB_TEST_HOST_SYS_POLL)
        return (value & 0xffffffffu) == 0xffffffffu;
    return number == ZEB_TEST_HOST_SYS_PPOLL && value == 0;
#endif
#ifdef SYS_poll
    if (number == SYS_poll)
        return (value & 0xffffffffu) == 0xffffffffu;
#endif
    return number == SYS_ppoll && value == 0;
}

class PhonebookApiDoc : public bustest::DaemonTest<bustest::PhonebookDaemon> {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(daemon.sysroot + "/etc/config");
        DaemonTest::SetUp();
    }
};

TEST_F(PhonebookApiDoc, EveryExampleAnswersAsShown) {
    std::vector<Example> examples = examplesOf(bustest::readFile(PHONEBOOK_API_DOC));
    ASSERT_GE(examples.size(), 40u) << "the examples of " << PHONEBOOK_API_DOC;
    // LeakSanitizer at each exit would double the time (zeb_bus_cli_test checks zeb-cli's leaks).
    setenv("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1", 1);

    std::vector<std::unique_ptr<bustest::Process>> background;
    std::string token; // the last one printed
    for (const Example &example : examples) {
        SCOPED_TRACE("phonebook-api.md:" + std::to_string(example.line) + ": " + example.command);
        std::vector<std::string> words = wordsOf(example.command);
        for (std::string &word : words)
            if (size_t at = word.find("<token>"); at != std::string::npos)
                word.replace(at, 7, token);
        time_t now = time(nullptr);
        std::string printed;
        if (words == std::vector<std::string>{"wait"}) {
            for (auto &process : background) {
                EXPECT_EQ(process->wait(10000), 0) << process->err;
                printed += process->out + process->err;
            }
            background.clear();
        } else {
            ASSERT_EQ(words.at(0), "zeb-cli");
            words.at(0) = ZEB_CLI_PATH;
            words.insert(words.begin() + 1, {"-s", daemon.socket});
            if (words.back() == "&") {
                words.pop_back();
                // The bursts of the examples before it are announced first (at most 1.2 s after
                // their first change), as for a person typing these commands.
                std::this_thread::sleep_for(std::chrono::milliseconds(1300));
                background.push_back(std::make_unique<bustest::Process>(words));
                ASSERT_TRUE(
                    bustest::waitFor([&] { return waitsForever(background.back()->pid); }, 10000))
                    << "subscribed in time";
            } else {
                bustest::RunResult run = bustest::run(words);
                EXPECT_EQ(run.status, run.err.empty() ? 0 : 1) << run.err;
                printed = run.out + run.err;
            }
        }
        EXPECT_EQ(normalised(printed, now, &token), example.expected);
    }
    EXPECT_TRUE(background.empty()) << "a command in the background without a wait";
}

} // namespace
