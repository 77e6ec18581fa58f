// zebd: loads data-model definitions and their plug-ins and serves them to
// bus clients on a Unix socket, everything on one thread and one libuv loop.
#include "zebd_server.hpp"

#include "keltrace/keltrace.h"
#include "zeb/bus.h"
#include "zeb_client_options.hpp"
#include "zeb/sl.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <getopt.h>
#include <malloc.h>

namespace {

const char *const kUsage =
    "usage: zebd [-s SOCKET] [--sysroot DIR] [--acl DIR] [-v LEVEL] [-l BURST/SECONDS]\n"
    "            DEFINITION...\n"
    "  -s, --socket SOCKET   Unix socket to serve on (default: $ZEB_SOCKET, "
    "else {SOCKET})\n"
    "      --sysroot DIR     system root prefixed to the plug-ins' fixed paths (sets ZEB_SYSROOT)\n"
    "      --acl DIR         allow each caller only what the rules of DIR/*.json grant it\n"
    "                        (read again on SIGHUP); without it every caller may do anything\n"
    "  -v, --verbose LEVEL   trace level: 100 errors, 200 warnings (default), 300 notices,\n"
    "                        400 information, 500 calls\n"
    "  -l, --trace-limit BURST/SECONDS\n"
    "                        lines one trace site may write per interval before the rest\n"
    "                        are counted and dropped (default 10/5, or $KELTRACE_RATE_LIMIT);\n"
    "                        0 writes every line\n";

struct Options {
    std::string socket;
    std::string sysroot;
    std::string acl;
    int traceLevel = -1;
    bool traceLimitGiven = false;
    unsigned traceBurst = 0;
    unsigned traceSeconds = 0;
    std::vector<std::string> definitions;
};

// 0 to run, else the exit status.
int parseOptions(int argc, char **argv, Options &options) {
    static const option longOptions[] = {{"socket", required_argument, nullptr, 's'},
                                         {"sysroot", required_argument, nullptr, 'r'},
                                         {"acl", required_argument, nullptr, 'a'},
                                         {"verbose", required_argument, nullptr, 'v'},
                                         {"trace-limit", required_argument, nullptr, 'l'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "s:v:l:h", longOptions, nullptr)) != -1) {
        switch (c) {
        case 's':
            options.socket = optarg;
            break;
        case 'r':
            options.sysroot = optarg;
            break;
        case 'a':
            options.acl = optarg;
            break;
        case 'v': {
            char *end = nullptr;
            long level = std::strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || level < 0 || level > 100000) {
                std::fprintf(stderr, "zebd: invalid trace level %s\n%s", optarg,
                             zebclient::helpText(kUsage).c_str());
                return 2;
            }
            options.traceLevel = static_cast<int>(level);
            break;
        }
        case 'l':
            if (!kelTraceParseRateLimit(optarg, &options.traceBurst, &options.traceSeconds)) {
                std::fprintf(stderr, "zebd: invalid trace limit %s\n%s", optarg,
                             zebclient::helpText(kUsage).c_str());
                return 2;
            }
            options.traceLimitGiven = true;
            break;
        case 'h':
            std::fputs(zebclient::helpText(kUsage).c_str(), stdout);
            return -1;
        default:
            std::fputs(zebclient::helpText(kUsage).c_str(), stderr);
            return 2;
        }
    }
    for (int i = optind; i < argc; ++i)
        options.definitions.emplace_back(argv[i]);
    if (options.definitions.empty()) {
        std::fprintf(stderr, "zebd: no definition given\n%s", zebclient::helpText(kUsage).c_str());
        return 2;
    }
    if (options.socket.empty())
        options.socket = zeb_bus_defaultSocket();
    return 0;
}

struct Daemon {
    uv_loop_t loop{};
    zebd::Server *server = nullptr;
    const Options *options = nullptr;
    zeb_access::AccessRules *rules = nullptr; /* null without --acl */
    uv_signal_t sigterm{};
    uv_signal_t sigint{};
    uv_signal_t sighup{};
    uv_prepare_t prepare{};
    uv_timer_t timer{};
    bool stopping = false;
};

void stopDaemon(Daemon &daemon) {
    if (daemon.stopping)
        return;
    daemon.stopping = true;
    daemon.server->stop();
    for (uv_handle_t *handle : {reinterpret_cast<uv_handle_t *>(&daemon.sigterm),
                                reinterpret_cast<uv_handle_t *>(&daemon.sigint),
                                reinterpret_cast<uv_handle_t *>(&daemon.sighup),
                                reinterpret_cast<uv_handle_t *>(&daemon.prepare),
                                reinterpret_cast<uv_handle_t *>(&daemon.timer)})
        uv_close(handle, nullptr);
}

void onSignal(uv_signal_t *handle, int signum) {
    kelTraceZ(KELTRACE_LEVEL_NOTICE, "bus", "signal %d: stopping", signum);
    stopDaemon(*static_cast<Daemon *>(handle->data));
}

// Reads the rules of `directory` into `rules`, tracing the names that
// matched nobody. False with *error set, and `rules` unchanged, on failure.
bool loadRules(const std::string &directory, zeb_access::AccessRules &rules, std::string *error) {
    if (!rules.loadDirectory(directory, zeb_access::NameLookup::system(), error))
        return false;
    for (const std::string &warning : rules.warnings())
        kelTraceZ(KELTRACE_LEVEL_WARNING, "bus", "access rules: %s", warning.c_str());
    kelTraceZ(KELTRACE_LEVEL_NOTICE, "bus", "access rules: %zu rule(s) from %s", rules.size(),
              directory.c_str());
    return true;
}

void onReload(uv_signal_t *handle, int) {
    auto &daemon = *static_cast<Daemon *>(handle->data);
    if (daemon.rules == nullptr) {
        kelTraceZ(KELTRACE_LEVEL_NOTICE, "bus", "SIGHUP: no access rules to read (no --acl)");
        return;
    }
    std::string error;
    if (loadRules(daemon.options->acl, *daemon.rules, &error))
        daemon.server->rulesChanged();
    else
        kelTraceZ(KELTRACE_LEVEL_ERROR, "bus",
                  "access rules not read again, the previous ones stay: %s", error.c_str());
}

// A plug-in's start (reading its saved file) leaves freed memory in the
// allocator's arena; glibc keeps it resident unless asked, and the daemon
// lives long. Once only: on a fragmented heap a trim costs milliseconds even
// when there is nothing to give back, too much for every timer.
void releaseFreedMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void onTimer(uv_timer_t *) {
    zeb_timers_fireDue();
}

// Runs before the loop waits: whatever the last event did to the plug-ins'
// timers, the loop timer now stands for the earliest of them.
void onPrepare(uv_prepare_t *handle) {
    auto &daemon = *static_cast<Daemon *>(handle->data);
    int64_t due = zeb_timers_nextDue();
    if (due < 0) {
        uv_timer_stop(&daemon.timer);
        return;
    }
    uv_update_time(&daemon.loop);
    uv_timer_start(&daemon.timer, onTimer, static_cast<uint64_t>(due), 0);
}

int serve(const Options &options, zeb_t *context, zeb_access::AccessRules *rules) {
    Daemon daemon;
    daemon.options = &options;
    daemon.rules = rules;
    uv_loop_init(&daemon.loop);
    zebd::Server server(&daemon.loop, context);
    server.setAccessRules(rules);
    daemon.server = &server;
    std::string error;
    bool listening = server.listen(options.socket, &error);
    if (listening) {
        uv_signal_init(&daemon.loop, &daemon.sigterm);
        uv_signal_init(&daemon.loop, &daemon.sigint);
        uv_signal_init(&daemon.loop, &daemon.sighup);
        uv_prepare_init(&daemon.loop, &daemon.prepare);
        uv_timer_init(&daemon.loop, &daemon.timer);
        for (auto *h : {reinterpret_cast<uv_handle_t *>(&daemon.sigterm),
                        reinterpret_cast<uv_handle_t *>(&daemon.sigint),
                        reinterpret_cast<uv_handle_t *>(&daemon.sighup),
                        reinterpret_cast<uv_handle_t *>(&daemon.prepare),
                        reinterpret_cast<uv_handle_t *>(&daemon.timer)})
            h->data = &daemon;
        uv_signal_start(&daemon.sigterm, onSignal, SIGTERM);
        uv_signal_start(&daemon.sigint, onSignal, SIGINT);
        uv_signal_start(&daemon.sighup, onReload, SIGHUP);
        uv_prepare_start(&daemon.prepare, onPrepare);
        std::fprintf(stderr, "zebd: serving %zu definition(s) on %s\n", options.definitions.size(),
                     options.socket.c_str());
    } else {
        std::fprintf(stderr, "zebd: %s\n", error.c_str());
        server.stop();
    }
    uv_run(&daemon.loop, UV_RUN_DEFAULT);
    uv_loop_close(&daemon.loop);
    return listening ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    int status = parseOptions(argc, argv, options);
    if (status != 0)
        return status < 0 ? 0 : status;

    // A client that vanishes must not kill the daemon while a reply is written.
    std::signal(SIGPIPE, SIG_IGN);
    if (!options.sysroot.empty())
        setenv("ZEB_SYSROOT", options.sysroot.c_str(), 1);
    if (options.traceLevel >= 0)
        kelTraceSetDefaultLevel(options.traceLevel);
    if (options.traceLimitGiven)
        kelTraceSetRateLimit(options.traceBurst, options.traceSeconds);

    std::string error;
    // Rules that cannot be read stop the daemon before it serves anybody.
    std::unique_ptr<zeb_access::AccessRules> rules;
    if (!options.acl.empty()) {
        rules = std::make_unique<zeb_access::AccessRules>();
        if (!loadRules(options.acl, *rules, &error)) {
            std::fprintf(stderr, "zebd: cannot read the access rules: %s\n", error.c_str());
            return 1;
        }
    }
    if (!zebd::Server::claimSocketPath(options.socket, &error)) {
        std::fprintf(stderr, "zebd: %s\n", error.c_str());
        return 1;
    }
    zeb_t *context = zeb_create();
    if (context == nullptr) {
        std::fprintf(stderr, "zebd: %s\n", zeb_errorMessage());
        return 1;
    }
    for (const std::string &definition : options.definitions) {
        if (!zeb_loadDefinition(context, definition.c_str())) {
            std::fprintf(stderr, "zebd: cannot load %s: %s\n", definition.c_str(),
                         zeb_errorMessage());
            zeb_destroy(context);
            return 1;
        }
    }
    releaseFreedMemory();
    status = serve(options, context, rules.get());
    // Every client is gone by now: the plug-ins' cleanup runs with no
    // subscription left.
    zeb_destroy(context);
    return status;
}
