// Helpers shared by the phonebook tests.
#ifndef PHONEBOOK_TEST_SUPPORT_HPP
#define PHONEBOOK_TEST_SUPPORT_HPP

#include <ctime>
#include <filesystem>
#include <fstream>
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

} // namespace pbtest

#endif
