// Helpers shared by the phonebook tests.
#ifndef PHONEBOOK_TEST_SUPPORT_HPP
#define PHONEBOOK_TEST_SUPPORT_HPP

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "test_host.hpp"

namespace pbtest {

using zebtest::json;
using Names = std::vector<std::string>;

// The data model definition that the product ships.
inline json definition() {
    return json::parse(std::ifstream(PHONEBOOK_DEFINITION));
}

// Writes `definition` into the host's temporary tree; returns its path.
inline std::string writeDefinition(const zebtest::TestHost &host, const json &definition) {
    std::filesystem::create_directories(host.path("/definition"));
    std::string path = host.path("/definition/phonebook.json");
    std::ofstream(path) << definition.dump(2);
    return path;
}

// The message of a trace line: "<zone> - [<mark>]<message> - <function>(...)".
inline std::string message(const zebtest::TraceLine &line) {
    size_t begin = line.line.find(']') + 1, end = line.line.rfind(" - ");
    return begin > 0 && end != std::string::npos && end >= begin
               ? line.line.substr(begin, end - begin)
               : "";
}

// The current local time in the text form of a date-time, as LastRevision
// shows it.
inline std::string localNow() {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &local);
    return text;
}

inline std::vector<zebtest::TraceLine> linesWithMessage(const zebtest::TestHost &host,
                                                        const std::string &text) {
    std::vector<zebtest::TraceLine> lines;
    for (const auto &line : host.traces)
        if (message(line) == text)
            lines.push_back(line);
    return lines;
}

// Seeded choices for the tests that run random changes.
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

} // namespace pbtest

#endif
