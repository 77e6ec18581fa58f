// zeb-cli: one bus operation from the command line, its answer as JSON on
// standard output. Exit status: 0 done, 1 refused by the daemon, 2 usage
// error, 3 no daemon or no answer in time, 4 the socket's permissions refuse
// the connection.
#include "cli_value.hpp"
#include "zeb/bus.h"
#include "zeb_variant_json.hpp"
#include "zeb_client_options.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

using zeb_json::json;
using zebcli::parseValue;

const char *const kUsageText =
    "usage: zeb-cli [-s SOCKET] [-t SECONDS] COMMAND ...\n"
    "  call OBJECT FUNCTION [ARG...]   ARG is NAME=VALUE (named) or VALUE (positional)\n"
    "  get PATH [-r]                   an object's parameters (-r: with descendants) or a value\n"
    "  set OBJECT NAME=VALUE...        one transaction\n"
    "  add TEMPLATE [--key KEY] [NAME=VALUE...]   prints the new instance's path\n"
    "  del INSTANCE\n"
    "  listen [PATH] [-n COUNT]        one JSON line per notification\n"
    "  list [PATH]\n"
    "A VALUE that parses as JSON is that JSON value, otherwise the text as written.\n"
    "A VALUE written @PATH is read from that file, @- from standard input (the same\n"
    "rules; a text loses its last line feed); write \"@...\" for a text starting with @.\n"
    "SOCKET defaults to $ZEB_SOCKET, else {SOCKET}; SECONDS to 5.\n"
    "Exit status: 0 done, 1 refused by the daemon, 2 usage error, 3 no daemon or no\n"
    "answer in time, 4 permission denied: the socket's permissions refuse this user.\n";

enum Exit { kDone = 0, kRefused = 1, kUsageError = 2, kUnreachable = 3, kDenied = 4 };

struct UsageError {
    std::string message;
};

class Value {
  public:
    Value() { variant_initialize(&value_, variant_type_unknown); }
    ~Value() { variant_cleanup(&value_); }
    Value(const Value &) = delete;
    Value &operator=(const Value &) = delete;
    variant_t *get() { return &value_; }

  private:
    variant_t value_;
};

class Map {
  public:
    Map() { variant_map_initialize(&map_); }
    ~Map() { variant_map_cleanup(&map_); }
    Map(const Map &) = delete;
    Map &operator=(const Map &) = delete;
    variant_map_t *get() { return &map_; }

  private:
    variant_map_t map_;
};

// The connection, opened once a command has checked its arguments, so that a
// usage error is told as such even without a daemon.
class Session {
  public:
    Session(std::string socket, int timeoutMs)
        : socket_(std::move(socket)), timeoutMs_(timeoutMs) {}
    ~Session() { zeb_bus_client_destroy(client_); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    bool connect() {
        client_ = zeb_bus_client_create();
        if (client_ == nullptr)
            throw std::bad_alloc();
        zeb_bus_client_setTimeout(client_, timeoutMs_);
        return zeb_bus_client_connect(client_, socket_.c_str());
    }
    zeb_bus_client_t *client() const { return client_; }

  private:
    std::string socket_;
    int timeoutMs_;
    zeb_bus_client_t *client_ = nullptr;
};

struct Command {
    const char *name;
    int (*run)(Session &session, const std::vector<std::string> &args);
};

bool isName(const std::string &text) {
    if (text.empty() || !(std::isalpha(static_cast<unsigned char>(text[0])) || text[0] == '_'))
        return false;
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
            return false;
    }
    return true;
}

// A file's content, or standard input's for "-", bounded by what one message
// can carry.
std::string readValueFile(const std::string &path) {
    static bool stdinTaken = false;
    bool fromStdin = path == "-";
    if (fromStdin && stdinTaken)
        throw UsageError{"@- can be used only once"};
    stdinTaken = stdinTaken || fromStdin;
    std::FILE *file = fromStdin ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        throw UsageError{"cannot read " + path + ": " + std::strerror(errno)};
    std::string content;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 &&
           content.size() <= ZEB_BUS_MAX_MESSAGE_SIZE)
        content.append(buffer, got);
    bool failed = std::ferror(file) != 0;
    int error = errno;
    if (!fromStdin)
        std::fclose(file);
    if (failed)
        throw UsageError{"cannot read " + path + ": " + std::strerror(error)};
    if (content.size() > ZEB_BUS_MAX_MESSAGE_SIZE)
        throw UsageError{path + " is larger than a message may be (4 MiB)"};
    return content;
}

// A VALUE of the command line: JSON or text, read from a file for @PATH.
void commandLineValue(const std::string &text, variant_t *out) {
    if (text.empty() || text[0] != '@') {
        parseValue(text, out);
        return;
    }
    std::string content = readValueFile(text.substr(1));
    if (content.find('\0') != std::string::npos)
        throw UsageError{text.substr(1) + " holds a NUL byte, which no value may"};
    // A text file ends its last line; the value does not (JSON is unchanged).
    if (!content.empty() && content.back() == '\n')
        content.pop_back();
    if (!content.empty() && content.back() == '\r')
        content.pop_back();
    parseValue(content, out);
}

// "NAME=VALUE" split at the first '='; false when the text has no name part.
bool splitAssignment(const std::string &arg, std::string &name, std::string &value) {
    size_t equals = arg.find('=');
    if (equals == std::string::npos || !isName(arg.substr(0, equals)))
        return false;
    name = arg.substr(0, equals);
    value = arg.substr(equals + 1);
    return true;
}

void addAssignments(const std::vector<std::string> &assignments, variant_map_t *map) {
    for (const std::string &arg : assignments) {
        std::string name, text;
        if (!splitAssignment(arg, name, text))
            throw UsageError{"expected NAME=VALUE, got \"" + arg + "\""};
        Value value;
        commandLineValue(text, value.get());
        variant_map_add(map, name.c_str(), value.get());
    }
}

std::string oneLine(std::string text) {
    for (char &c : text) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return text;
}

int failure(zeb_bus_client_t *client) {
    std::string line = oneLine(zeb_bus_client_errorMessage(client));
    const char *parameter = zeb_bus_client_errorParameter(client);
    if (parameter[0] != '\0')
        line += std::string(" (parameter ") + parameter + ")";
    std::fprintf(stderr, "zeb-cli: %s\n", line.c_str());
    uint32_t code = zeb_bus_client_errorCode(client);
    if (code == ZEB_BUS_ERROR_DENIED)
        return kDenied;
    return zeb_bus_isTransportError(code) ? kUnreachable : kRefused;
}

void printJson(const json &value) {
    std::string text = value.dump();
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
}

json toJson(const variant_t *value) {
    json out;
    if (!zeb_json::variantToJson(value, out))
        out = nullptr;
    return out;
}

// Splits `args` into positional words and the values of the given options;
// flags (options without a value) are reported as "1".
struct Words {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;

    const std::string *option(const std::string &name) const {
        for (const auto &o : options) {
            if (o.first == name)
                return &o.second;
        }
        return nullptr;
    }
};

Words splitWords(const std::vector<std::string> &args, const std::vector<std::string> &flags,
                 const std::vector<std::string> &withValue) {
    Words words;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto is = [&a](const std::vector<std::string> &names) {
            for (const std::string &n : names) {
                if (a == n)
                    return true;
            }
            return false;
        };
        if (is(flags)) {
            words.options.emplace_back(a, "1");
        } else if (is(withValue)) {
            if (i + 1 >= args.size())
                throw UsageError{a + " needs a value"};
            words.options.emplace_back(a, args[++i]);
        } else {
            words.positional.push_back(a);
        }
    }
    return words;
}

void expectCount(const Words &words, size_t min, size_t max, const char *command) {
    size_t n = words.positional.size();
    if (n < min || n > max)
        throw UsageError{std::string("wrong number of arguments for ") + command};
}

int runCall(Session &session, const std::vector<std::string> &args) {
    if (args.size() < 2)
        throw UsageError{"call needs an OBJECT and a FUNCTION"};
    size_t named = 0;
    Map map;
    Value list;
    variant_initialize(list.get(), variant_type_array);
    for (size_t i = 2; i < args.size(); ++i) {
        std::string name, text;
        Value value;
        if (splitAssignment(args[i], name, text)) {
            ++named;
            commandLineValue(text, value.get());
            variant_map_add(map.get(), name.c_str(), value.get());
        } else {
            commandLineValue(args[i], value.get());
            variant_list_add(variant_da_list(list.get()), value.get());
        }
    }
    size_t positional = args.size() - 2 - named;
    if (named > 0 && positional > 0)
        throw UsageError{"named (NAME=VALUE) and positional arguments cannot be mixed"};
    Value callArgs;
    if (positional > 0)
        variant_move(callArgs.get(), list.get());
    else
        variant_setMap(callArgs.get(), map.get());

    if (!session.connect())
        return failure(session.client());
    zeb_bus_client_t *client = session.client();
    Value retval;
    Map outargs;
    if (!zeb_bus_call(client, args[0].c_str(), args[1].c_str(), callArgs.get(), retval.get(),
                      outargs.get()))
        return failure(client);
    json out = json::object();
    out["retval"] = toJson(retval.get());
    if (variant_map_size(outargs.get()) > 0) {
        Value wrapped;
        variant_setMapMove(wrapped.get(), outargs.get());
        out["outargs"] = toJson(wrapped.get());
    }
    printJson(out);
    return kDone;
}

int runGet(Session &session, const std::vector<std::string> &args) {
    Words words = splitWords(args, {"-r", "--recursive"}, {});
    expectCount(words, 1, 1, "get");
    if (!session.connect())
        return failure(session.client());
    zeb_bus_client_t *client = session.client();
    Value result;
    bool recursive = words.option("-r") != nullptr || words.option("--recursive") != nullptr;
    if (!zeb_bus_get(client, words.positional[0].c_str(), recursive, result.get()))
        return failure(client);
    printJson(toJson(result.get()));
    return kDone;
}

int runSet(Session &session, const std::vector<std::string> &args) {
    if (args.size() < 2)
        throw UsageError{"set needs an OBJECT and at least one NAME=VALUE"};
    Map values;
    addAssignments(std::vector<std::string>(args.begin() + 1, args.end()), values.get());
    if (!session.connect())
        return failure(session.client());
    zeb_bus_client_t *client = session.client();
    if (!zeb_bus_set(client, args[0].c_str(), values.get()))
        return failure(client);
    return kDone;
}

int runAdd(Session &session, const std::vector<std::string> &args) {
    Words words = splitWords(args, {}, {"--key"});
    if (words.positional.empty())
        throw UsageError{"add needs a TEMPLATE"};
    Map values;
    addAssignments(std::vector<std::string>(words.positional.begin() + 1, words.positional.end()),
                   values.get());
    if (!session.connect())
        return failure(session.client());
    zeb_bus_client_t *client = session.client();
    const std::string *key = words.option("--key");
    char *path = zeb_bus_add(client, words.positional[0].c_str(),
                             key != nullptr ? key->c_str() : nullptr, values.get());
    if (path == nullptr)
        return failure(client);
    std::fprintf(stdout, "%s\n", path);
    std::free(path);
    return kDone;
}

int runDelete(Session &session, const std::vector<std::string> &args) {
    Words words = splitWords(args, {}, {});
    expectCount(words, 1, 1, "del");
    if (!session.connect())
        return failure(session.client());
    zeb_bus_client_t *client = session.client();
    if (!zeb_bus_delete(client, words.positional[0].c_str()))
        return failure(client);
    return kDone;
}

int runList(Session &session, const std::vector<std::string> &args) {
    Words words = splitWords(args, {}, {});
    expectCount(words, 0, 1, "list");
    if (!session.connect())
        return failure(session.client());
    zeb_bus_client_t *client = session.client();
    Value result;
    const char *path = words.positional.empty() ? nullptr : words.positional[0].c_str();
    if (!zeb_bus_list(client, path, result.get()))
        return failure(client);
    printJson(toJson(result.get()));
    return kDone;
}

long parseCount(const std::string &text) {
    char *end = nullptr;
    long count = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || count < 1)
        throw UsageError{"COUNT must be a whole number above 0, got \"" + text + "\""};
    return count;
}

int runListen(Session &session, const std::vector<std::string> &args) {
    Words words = splitWords(args, {}, {"-n"});
    expectCount(words, 0, 1, "listen");
    const std::string *countText = words.option("-n");
    long count = countText != nullptr ? parseCount(*countText) : -1;
    const char *path = words.positional.empty() ? nullptr : words.positional[0].c_str();
    if (!session.connect())
        return failure(session.client());
    zeb_bus_client_t *client = session.client();
    if (zeb_bus_subscribe(client, path) == 0)
        return failure(client);
    zeb_bus_notification_t n;
    zeb_bus_notification_initialize(&n);
    int status = kDone;
    for (long received = 0; count < 0 || received < count; ++received) {
        if (!zeb_bus_receiveNotification(client, -1, &n)) {
            status = failure(client);
            break;
        }
        Value parameters;
        variant_setMap(parameters.get(), &n.parameters);
        json line = json::object();
        line["type"] = n.type;
        line["name"] = n.name;
        line["path"] = n.path;
        line["parameters"] = toJson(parameters.get());
        printJson(line);
    }
    zeb_bus_notification_cleanup(&n);
    return status;
}

const Command kCommands[] = {
    {"call", runCall},  {"get", runGet},   {"set", runSet},       {"add", runAdd},
    {"del", runDelete}, {"list", runList}, {"listen", runListen},
};

int usageError(const std::string &message) {
    std::fprintf(stderr, "zeb-cli: %s\n%s", oneLine(message).c_str(),
                 zebclient::helpText(kUsageText).c_str());
    return kUsageError;
}

int run(int argc, char **argv) {
    zebclient::Options options;
    int i = 1;
    std::string error;
    if (!zebclient::parseOptions(argc, argv, options, i, error))
        throw UsageError{error};
    if (options.help) {
        std::fputs(zebclient::helpText(kUsageText).c_str(), stdout);
        return kDone;
    }
    const Command *command = nullptr;
    for (const Command &c : kCommands) {
        if (std::strcmp(c.name, argv[i]) == 0)
            command = &c;
    }
    if (command == nullptr)
        throw UsageError{std::string("unknown command ") + argv[i]};
    std::vector<std::string> args(argv + i + 1, argv + argc);

    Session session(options.socket, options.timeoutMs);
    return command->run(session, args);
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError &e) {
        return usageError(e.message);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "zeb-cli: %s\n", e.what());
        return kRefused;
    }
}
