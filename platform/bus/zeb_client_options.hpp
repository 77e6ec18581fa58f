/*
 * The options that the command-line clients of the bus (zeb-cli,
 * phonebook-vcard) take before their command: -s SOCKET, -t SECONDS and
 * -h / --help, and the help texts of the bus's programs. C++ only, for
 * tools; never across a plug-in boundary.
 */
#ifndef ZEB_CLIENT_OPTIONS_HPP
#define ZEB_CLIENT_OPTIONS_HPP

#include <cmath>
#include <cstdlib>
#include <string>

#include "zeb/bus.h"

namespace zebclient {

struct Options {
    std::string socket = zeb_bus_defaultSocket();
    int timeoutMs = ZEB_BUS_DEFAULT_TIMEOUT_MS; /* the caller may set its own default first */
    bool help = false;
};

/* A help text with each "{SOCKET}" replaced by the built-in socket
 * (zeb_bus_builtinSocket), which the build chooses. */
inline std::string helpText(const char *text) {
    std::string help = text;
    const std::string mark = "{SOCKET}";
    for (size_t at = help.find(mark); at != std::string::npos; at = help.find(mark, at))
        help.replace(at, mark.size(), zeb_bus_builtinSocket());
    return help;
}

/* Milliseconds for a number of seconds above 0 and at most a day; -1 for any
 * other text. */
inline int timeoutFromSeconds(const std::string &text) {
    char *end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds > 0) || seconds > 86400)
        return -1;
    return static_cast<int>(std::ceil(seconds * 1000));
}

/* Reads the options at the start of argv (after argv[0]) into `options` and
 * sets `next` to the first word that is none, the command ("-" alone is a
 * word). Stops at -h or --help with options.help set. False with `error` set
 * for an unknown option, a missing value, a bad number of seconds or no
 * command. */
inline bool parseOptions(int argc, char **argv, Options &options, int &next, std::string &error) {
    for (next = 1; next < argc && argv[next][0] == '-' && argv[next][1] != '\0'; ++next) {
        std::string option = argv[next];
        if (option == "-h" || option == "--help") {
            options.help = true;
            return true;
        }
        if (option != "-s" && option != "-t") {
            error = "unknown option " + option;
            return false;
        }
        if (next + 1 >= argc) {
            error = option + " needs a value";
            return false;
        }
        std::string value = argv[++next];
        if (option == "-s") {
            options.socket = value;
        } else if ((options.timeoutMs = timeoutFromSeconds(value)) < 0) {
            error = "SECONDS must be a number above 0, got \"" + value + "\"";
            return false;
        }
    }
    if (next >= argc) {
        error = "no command given";
        return false;
    }
    return true;
}

} // namespace zebclient

#endif
