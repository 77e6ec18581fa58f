// The examples of docs/phonebook-api.md, run in order through zeb-cli against
// a fresh zebd serving the phonebook: each command prints what the document
// shows under it.
#include <gtest/gtest.h>

#include <sys/syscall.h>

#include <chrono>
#include <thread>

#include "bus_test_support.hpp"

namespace {

// A command of the document and the lines it prints.
struct Example {
    size_t line; // in the document, from 1
    std::string command;
    std::string expected; // the lines, each ended by '\n'
};

bool startsWith(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}
// The examples: the blocks marked `sh` whose first line begins with "$ ".
std::vector<Example> examplesOf(const std::string &document) {
    std::vector<std::string> lines;
    std::istringstream in(document);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::vector<Example> examples;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!startsWith(lines[i], "```"))
            continue;
        bool example =
            lines[i] == "```sh" && i + 1 < lines.size() && startsWith(lines[i + 1], "$ ");
        for (++i; i < lines.size() && lines[i] != "```"; ++i) {
            if (example && startsWith(lines[i], "$ "))
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
    std::string word;
    bool inWord = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == ' ') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\'' || c == '"') {
            size_t end = i + 1;
            for (; end < line.size() && line[end] != c; ++end) {
                if (c == '"' && line[end] == '\\' && end + 1 < line.size() &&
                    (line[end + 1] == '"' || line[end + 1] == '\\'))
                    ++end;
                word += line[end];
            }
            if (end == line.size())
                throw std::runtime_error("unterminated quote in: " + line);
            i = end;
        } else {
            word += c;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

// True when the text at `at` has the shape of `pattern`: '9' stands for a
// digit, 'x' for a lower-case hexadecimal digit, anything else for itself.
bool hasShape(const std::string &text, size_t at, const std::string &pattern) {
    for (size_t i = 0; i < pattern.size(); ++i) {
        char c = at + i < text.size() ? text[at + i] : '\0';
        bool digit = c >= '0' && c <= '9';
        if (pattern[i] == '9'   ? !digit
            : pattern[i] == 'x' ? !digit && (c < 'a' || c > 'f')
                                : c != pattern[i])
            return false;
    }
    return true;
}

// The output with the placeholders of the document: "<now>" for a date-time
// within a day of `now` (a stamp, in whatever zone), "urn:uuid:<uuid>" for a
// generated identifier, "<token>" for the text of a "token" (kept in `token`
// for the commands that follow).
std::string normalised(const std::string &output, time_t now, std::string *token) {
    const std::string dateTime = "9999-99-99T99:99:99Z";
    const std::string uuid = "urn:uuid:xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
    const std::string tokenKey = "\"token\":\"";
    std::string result;
    for (size_t i = 0; i < output.size();) {
        size_t end = 0;
        if (output.compare(i, tokenKey.size(), tokenKey) == 0 &&
            (end = output.find('"', i + tokenKey.size())) != std::string::npos) {
            *token = output.substr(i + tokenKey.size(), end - i - tokenKey.size());
            result += tokenKey + "<token>";
            i = end;
            continue;
        }
        if (hasShape(output, i, uuid)) {
            result += "urn:uuid:<uuid>";
            i += uuid.size();
            continue;
        }
        if (hasShape(output, i, dateTime)) {
            std::tm broken{};
            strptime(output.substr(i, dateTime.size()).c_str(), "%Y-%m-%dT%H:%M:%SZ", &broken);
            if (std::labs(static_cast<long>(timegm(&broken) - now)) <= 86400 + 3600) {
                result += "<now>";
                i += dateTime.size();
                continue;
            }
        }
        result += output[i++];
    }
    return result;
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
    // Under the emulator the child is the emulator, a process of the host:
    // its system calls have the host's numbers.
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

TEST(PhonebookApiDoc, EveryExampleAnswersAsShown) {
    std::vector<Example> examples = examplesOf(bustest::readFile(PHONEBOOK_API_DOC));
    ASSERT_GE(examples.size(), 40u) << "the examples of " << PHONEBOOK_API_DOC;

    bustest::PhonebookDaemon daemon;
    std::filesystem::create_directories(daemon.sysroot + "/etc/config");
    ASSERT_TRUE(daemon.start()) << daemon.log();
    // For the zeb-cli runs only (zeb_bus_cli_test checks zeb-cli for leaks):
    // LeakSanitizer's pass at each exit would double the time they take.
    setenv("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1", 1);

    std::vector<std::unique_ptr<bustest::Process>> background;
    std::string token; // the last one printed
    for (const Example &example : examples) {
        SCOPED_TRACE("phonebook-api.md:" + std::to_string(example.line) + ": " + example.command);
        std::vector<std::string> words = wordsOf(example.command);
        for (std::string &word : words) {
            size_t at = word.find("<token>");
            if (at != std::string::npos)
                word.replace(at, 7, token);
        }
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
                // A listener hears what is announced after it subscribes: the
                // bursts of the examples before it are announced first (at
                // most 1.2 s after their first change), as they would be for
                // a person typing these commands.
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
    EXPECT_EQ(daemon.stop(), 0) << daemon.log();
}

} // namespace
