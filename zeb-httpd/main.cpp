// zeb-httpd: the phonebook's web interface over HTTP, a client of the bus.
// Exit status: 0 stopped by a signal or done, 1 cannot serve or write, 2
// usage error.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include "httpd_access.hpp"
#include "httpd_server.hpp"
#include "httpd_users.hpp"
#include "zeb/bus.h"
#include "zeb_client_options.hpp"

namespace {

using zebhttpd::ServerConfig;

const char *const kUsageText =
    "usage: zeb-httpd [OPTION...]                 serve\n"
    "       zeb-httpd [--users FILE] passwd USER [--roles ROLE,...]\n"
    "  --listen ADDRESS:PORT   where to listen (default 127.0.0.1:8080; [::1]:PORT for IPv6)\n"
    "  --socket SOCKET         the bus (default $ZEB_SOCKET, else {SOCKET})\n"
    "  --users FILE            the users file (default /etc/zeb/httpd-users)\n"
    "  --roles DIR             the roles' rule files (read again on SIGHUP); without\n"
    "                          it no session may do anything on the bus\n"
    "  --docroot DIR           the web page's files (default: none served)\n"
    "  --cert FILE --key FILE  serve HTTPS with this PEM certificate and key\n"
    "  --session-idle SECONDS  a session ends after this idle time (default 300)\n"
    "  --request-timeout SECONDS  a connection silent this long is closed (default 10)\n"
    "  --max-event-streams N   GET /events streams open at once (default 32)\n"
    "passwd sets USER's password, read from standard input (asked twice on a\n"
    "terminal), and roles; the file is replaced whole.\n";

enum Exit { kDone = 0, kFailed = 1, kUsageError = 2 };

struct UsageError {
    std::string message;
};

struct TextOption {
    const char *name;
    std::string ServerConfig::*field;
};

const TextOption kTextOptions[] = {
    {"--listen", &ServerConfig::listen},   {"--socket", &ServerConfig::socket},
    {"--users", &ServerConfig::usersFile}, {"--docroot", &ServerConfig::docroot},
    {"--cert", &ServerConfig::certFile},   {"--key", &ServerConfig::keyFile},
};

struct Command {
    ServerConfig config;
    std::vector<std::string> words; /* what is not an option: "passwd USER" */
    std::string roles;
    bool rolesGiven = false;
};

double seconds(const std::string &option, const std::string &value) {
    int ms = zebclient::timeoutFromSeconds(value);
    if (ms < 0)
        throw UsageError{option + " wants seconds above 0, got \"" + value + "\""};
    return ms / 1000.0;
}

size_t count(const std::string &option, const std::string &value) {
    char *end = nullptr;
    unsigned long long n = std::strtoull(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n == 0 || n > 1024 || value[0] == '-')
        throw UsageError{option + " wants a number from 1 to 1024, got \"" + value + "\""};
    return static_cast<size_t>(n);
}

Command parse(int argc, char **argv) {
    Command command;
    command.config.socket = zeb_bus_defaultSocket();
    command.config.usersFile = "/etc/zeb/httpd-users";
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.empty() || word[0] != '-') {
            command.words.push_back(word);
            continue;
        }
        if (word == "-h" || word == "--help")
            throw UsageError{""};
        if (i + 1 >= argc)
            throw UsageError{word + " needs a value"};
        std::string value = argv[++i];
        const TextOption *option = nullptr;
        for (const TextOption &o : kTextOptions)
            option = word == o.name ? &o : option;
        if (option != nullptr) {
            command.config.*(option->field) = value;
        } else if (word == "--roles") {
            command.roles = value;
            command.rolesGiven = true;
        } else if (word == "--session-idle") {
            command.config.sessionIdleSeconds = seconds(word, value);
        } else if (word == "--max-event-streams") {
            command.config.maxEventStreams = count(word, value);
        } else if (word == "--request-timeout") {
            command.config.requestTimeoutSeconds =
                static_cast<unsigned>(std::ceil(seconds(word, value)));
        } else {
            throw UsageError{"unknown option " + word};
        }
    }
    return command;
}

std::string readLine(const char *prompt, bool terminal) {
    termios saved{};
    if (terminal) {
        std::fputs(prompt, stderr);
        tcgetattr(0, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(0, TCSAFLUSH, &quiet);
    }
    std::string line;
    bool got = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) {
        tcsetattr(0, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return got ? line : "";
}

int runPasswd(const Command &command) {
    if (command.words.size() != 2)
        throw UsageError{"passwd needs one USER"};
    const std::string &user = command.words[1];
    std::vector<std::string> roles;
    if (!zebhttpd::validUserName(user))
        throw UsageError{"a USER is 1 to 64 letters, digits, '_', '-' or '.'"};
    if (!zebhttpd::parseRoles(command.roles, roles))
        throw UsageError{"--roles wants names separated by commas"};
    zebhttpd::User existing;
    if (!command.rolesGiven && zebhttpd::findUser(command.config.usersFile, user, existing))
        roles = existing.roles;
    bool terminal = isatty(0) != 0;
    std::string password = readLine("Password: ", terminal);
    if (terminal && readLine("Again: ", terminal) != password) {
        std::fprintf(stderr, "zeb-httpd: the passwords differ\n");
        return kFailed;
    }
    if (password.empty()) {
        std::fprintf(stderr, "zeb-httpd: an empty password is refused\n");
        return kFailed;
    }
    std::string error;
    if (!zebhttpd::setUser(command.config.usersFile, user, password, roles, error)) {
        std::fprintf(stderr, "zeb-httpd: %s\n", error.c_str());
        return kFailed;
    }
    return kDone;
}

// Reads the roles' rules of `directory` into `access`, telling the names that
// match nobody and the users' roles that no rule names.
bool loadRoles(const std::string &directory, const std::string &usersFile,
               zebhttpd::RoleAccess &access, std::string &error) {
    if (!access.load(directory, error))
        return false;
    std::vector<zebhttpd::User> users;
    std::vector<std::string> roles;
    if (zebhttpd::readUsers(usersFile, users)) {
        for (const zebhttpd::User &user : users)
            roles.insert(roles.end(), user.roles.begin(), user.roles.end());
    }
    std::sort(roles.begin(), roles.end());
    roles.erase(std::unique(roles.begin(), roles.end()), roles.end());
    for (const std::string &warning : access.warnings(roles))
        std::fprintf(stderr, "zeb-httpd: warning: %s\n", warning.c_str());
    std::fprintf(stderr, "zeb-httpd: %zu role rule(s) from %s\n", access.size(), directory.c_str());
    return true;
}

void reloadRoles(const Command &command, zebhttpd::RoleAccess &access) {
    std::string error;
    if (command.roles.empty())
        std::fprintf(stderr, "zeb-httpd: SIGHUP: no roles to read (no --roles)\n");
    else if (!loadRoles(command.roles, command.config.usersFile, access, error))
        std::fprintf(stderr, "zeb-httpd: roles not read again, the previous ones stay: %s\n",
                     error.c_str());
}

int runServer(Command command) {
    if (!command.words.empty())
        throw UsageError{"unknown command " + command.words[0]};
    // The server's thread must not take these signals: this one waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::string error;
    zebhttpd::RoleAccess access;
    if (command.roles.empty())
        std::fprintf(stderr, "zeb-httpd: no --roles: no session may do anything on the bus\n");
    else if (!loadRoles(command.roles, command.config.usersFile, access, error)) {
        std::fprintf(stderr, "zeb-httpd: cannot read the roles: %s\n", error.c_str());
        return kFailed;
    }
    command.config.access = &access;
    zebhttpd::Server server;
    if (!server.start(command.config, error)) {
        std::fprintf(stderr, "zeb-httpd: %s\n", error.c_str());
        return kFailed;
    }
    std::string host = command.config.listen.substr(0, command.config.listen.rfind(':'));
    std::fprintf(stderr, "zeb-httpd: serving %s://%s:%u/\n",
                 command.config.certFile.empty() ? "http" : "https", host.c_str(),
                 static_cast<unsigned>(server.port()));
    int signal = 0;
    while (sigwait(&signals, &signal) == 0 && signal == SIGHUP)
        reloadRoles(command, access);
    server.stop();
    return kDone;
}

int run(int argc, char **argv) {
    Command command = parse(argc, argv);
    if (!command.words.empty() && command.words[0] == "passwd")
        return runPasswd(command);
    return runServer(std::move(command));
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError &e) {
        std::string help = zebclient::helpText(kUsageText);
        if (e.message.empty()) {
            std::fputs(help.c_str(), stdout);
            return kDone;
        }
        std::fprintf(stderr, "zeb-httpd: %s\n%s", e.message.c_str(), help.c_str());
        return kUsageError;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "zeb-httpd: %s\n", e.what());
        return kFailed;
    }
}
