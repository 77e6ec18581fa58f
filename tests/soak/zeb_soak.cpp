// A bounded soak of zebd serving the phonebook. Fails on an unanswered request,
// an unclean exit (a leak, under LeakSanitizer) or memory growing past the slack.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zeb/bus.h"
#include "zeb_variant_json.hpp"

#include "target_command.hpp"

extern char **environ;

namespace {

using zeb_json::json;
using Clock = std::chrono::steady_clock;

// A negative --rss-slack-kib: memory is reported, not checked.
using Options = std::map<std::string, std::string>;

bool parse(int argc, char **argv, Options &o) {
    o = {{"--seconds", "600"}, {"--clients", "8"}, {"--rss-slack-kib", "2048"}};
    const std::set<std::string> names = {"--zebd",    "--definition", "--table",
                                         "--seconds", "--clients",    "--rss-slack-kib"};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (names.count(argv[i]) == 0)
            return false;
        o[argv[i]] = argv[i + 1];
    }
    return argc % 2 == 1 && o.size() == names.size() && std::atol(o["--seconds"].c_str()) > 0 &&
           std::atol(o["--clients"].c_str()) > 0;
}

struct Tally {
    std::mutex lock;
    std::map<std::string, long> answered, refused;
    std::vector<std::string> unanswered;
    long notifications = 0;

    void count(const std::string &op, bool ok, zeb_bus_client_t *client) {
        std::lock_guard<std::mutex> guard(lock);
        if (ok || !zeb_bus_isTransportError(zeb_bus_client_errorCode(client)))
            (ok ? answered : refused)[op]++;
        else
            unanswered.push_back(op + ": " + zeb_bus_client_errorMessage(client));
    }
};

// One client's requests until `end`; clients 0 and 1 also read notifications.
void soak(int id, const std::string &socket, Tally &tally, Clock::time_point end) {
    zeb_bus_client_t *client = zeb_bus_client_create();
    zeb_bus_client_setTimeout(client, 20000);
    zeb_bus_client_connect(client, socket.c_str());
    zeb_bus_notification_t notification;
    zeb_bus_notification_initialize(&notification);
    std::minstd_rand random(static_cast<unsigned>(id) + 1);
    std::vector<int> live;
    int next = 0;
    long notifications = 0;
    auto idOf = [id](int n) { return std::to_string(id) + "-" + std::to_string(n); };
    auto numberOf = [id](int n) {
        char text[32];
        std::snprintf(text, sizeof text, "+336%02d%06d", id, n);
        return std::string(text);
    };
    auto contact = [&](int n) -> json {
        return {{"uniqueID", idOf(n)},
                {"formattedName", "Soak " + idOf(n)},
                {"organisation", "Example " + std::to_string(random() % 100)},
                {"telephoneNumbers", json::array({{{"name", numberOf(n)}, {"type", "cell"}}})}};
    };
    auto call = [&](const char *op, const json &args) {
        variant_t given, retval;
        variant_initialize(&given, variant_type_unknown);
        variant_initialize(&retval, variant_type_unknown);
        zeb_json::jsonToVariant(args, &given);
        tally.count(op, zeb_bus_call(client, "Phonebook", op, &given, &retval, nullptr), client);
        variant_cleanup(&given);
        variant_cleanup(&retval);
    };
    // A name inside the daemon's system root, as the daemon takes it.
    const json file = {{"fileName", "/etc/config/legacy-" + std::to_string(id) + ".usr"}};
    if (id < 2)
        tally.count("subscribe", zeb_bus_subscribe(client, "Phonebook") != 0, client);
    do {
        const unsigned roll = random() % 100;
        const int n = live.empty() ? -1 : live[random() % live.size()];
        if (roll < 25 && n >= 0) {
            call("getContact", {{"formattedName", "Soak " + idOf(n)}});
        } else if (roll < 40) {
            call("getContactByNumber", {{"number", "0" + numberOf(std::max(n, 0)).substr(3)}});
        } else if (roll < 43) {
            call("getAllContacts", json::object());
        } else if (roll < 60 && live.size() < 40) {
            call("addContact", {{"contact", contact(next)}});
            live.push_back(next++);
        } else if (roll < 75 && n >= 0) {
            call("modifyContactByUniqueID", {{"uniqueID", idOf(n)}, {"contact", contact(n)}});
        } else if (roll < 92 && n >= 0) {
            call("removeContactByUniqueID", {{"uniqueID", idOf(n)}});
            live.erase(std::find(live.begin(), live.end(), n));
        } else {
            call(roll < 95   ? "export"
                 : roll < 97 ? "import"
                             : "getNumberOfContacts",
                 roll < 97 ? file : json::object());
        }
        while (id < 2 && zeb_bus_receiveNotification(client, 0, &notification))
            notifications++;
    } while (Clock::now() < end);
    zeb_bus_notification_cleanup(&notification);
    zeb_bus_client_destroy(client);
    std::lock_guard<std::mutex> guard(tally.lock);
    tally.notifications += notifications;
}

std::string fileText(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

long residentKiB(pid_t pid) {
    const std::string status = fileText("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// zebd, its standard error in the soak's directory.
pid_t startDaemon(Options &o, const std::string &dir, const std::string &socket) {
    std::string sysroot = dir + "/sysroot";
    for (const char *sub : {"/cfg/system", "/etc/config", "/usr/lib/phonebook"})
        std::filesystem::create_directories(sysroot + sub);
    std::filesystem::copy_file(o["--table"], sysroot + "/usr/lib/phonebook/CCC.dat");
    std::vector<std::string> argv = zebtest::targetCommand(
        {o["--zebd"], "-s", socket, "--sysroot", sysroot, o["--definition"]});
    std::vector<char *> args;
    for (std::string &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, (dir + "/zebd.log").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    // The socket exists from its bind on; zebd serves once it says so.
    for (int i = 0; pid > 0 && i < 400; ++i) {
        if (fileText(dir + "/zebd.log").find("zebd: serving") != std::string::npos)
            break;
        usleep(50000);
    }
    return pid;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: zeb_soak --zebd PATH --definition FILE --table CCC.dat "
                             "[--seconds N] [--clients N] [--rss-slack-kib N]\n");
        return 2;
    }
    char pattern[] = "/tmp/zeb-soak-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 2;
    std::string dir = pattern, socket = dir + "/zeb.sock";
    pid_t pid = startDaemon(o, dir, socket);
    if (pid <= 0 || access(socket.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "zeb_soak: zebd did not start (log in %s)\n", dir.c_str());
        return 1;
    }

    const long seconds = std::atol(o["--seconds"].c_str()),
               clients = std::atol(o["--clients"].c_str());
    const long rssSlackKiB = std::atol(o["--rss-slack-kib"].c_str());
    Tally tally;
    const Clock::time_point start = Clock::now(), end = start + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(soak, i, socket, std::ref(tally), end);
    // Samples of the resident memory; the first quarter of the run is warm-up.
    std::vector<long> afterWarmUp;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(1000L, seconds * 100)));
        if (Clock::now() >= start + std::chrono::seconds(seconds) / 4)
            afterWarmUp.push_back(residentKiB(pid));
    }
    for (std::thread &t : threads)
        t.join();
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    long total = 0;
    std::printf("soak: %ld clients for %ld s\n", clients, seconds);
    for (const auto &[op, n] : tally.answered) {
        std::printf("  %-26s %8ld answered, %6ld refused\n", op.c_str(), n, tally.refused[op]);
        total += n + tally.refused[op];
    }
    std::printf("  requests: %ld, unanswered: %zu, notifications read: %ld\n", total,
                tally.unanswered.size(), tally.notifications);
    for (size_t i = 0; i < tally.unanswered.size() && i < 10; ++i)
        std::printf("  unanswered: %s\n", tally.unanswered[i].c_str());
    const long growth = afterWarmUp.empty() ? 0 : afterWarmUp.back() - afterWarmUp.front();
    if (!afterWarmUp.empty())
        std::printf("  VmRSS after warm-up: %zu samples, first %ld KiB, growth %+ld KiB\n",
                    afterWarmUp.size(), afterWarmUp.front(), growth);
    std::printf("  zebd exit status: %d (log: %s/zebd.log)\n", exitStatus, dir.c_str());
    const bool ok = tally.unanswered.empty() && exitStatus == 0 && total > 0 &&
                    (rssSlackKiB < 0 || growth <= rssSlackKiB);
    std::printf("soak: %s\n", ok ? "passed" : "FAILED");
    if (ok)
        std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
