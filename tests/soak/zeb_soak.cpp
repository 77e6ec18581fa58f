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

struct Options {
    std::string zebd, definition, table;
    int seconds = 600, clients = 8;
    long rssSlackKiB = 2048; /* negative: memory is reported, not checked */
};

bool parse(int argc, char **argv, Options &o) {
    const std::map<std::string, std::function<void(const char *)>> set = {
        {"--zebd", [&](const char *v) { o.zebd = v; }},
        {"--definition", [&](const char *v) { o.definition = v; }},
        {"--table", [&](const char *v) { o.table = v; }},
        {"--seconds", [&](const char *v) { o.seconds = std::atoi(v); }},
        {"--clients", [&](const char *v) { o.clients = std::atoi(v); }},
        {"--rss-slack-kib", [&](const char *v) { o.rssSlackKiB = std::atol(v); }}};
    for (int i = 1; i + 1 < argc; i += 2) {
        auto it = set.find(argv[i]);
        if (it == set.end())
            return false;
        it->second(argv[i + 1]);
    }
    return argc % 2 == 1 && !o.zebd.empty() && !o.definition.empty() && !o.table.empty() &&
           o.seconds > 0 && o.clients > 0;
}

struct Tally {
    std::mutex lock;
    std::map<std::string, long> answered, refused;
    std::vector<std::string> unanswered;

    void count(const std::string &op, bool ok, zeb_bus_client_t *client) {
        std::lock_guard<std::mutex> guard(lock);
        if (ok || !zeb_bus_isTransportError(zeb_bus_client_errorCode(client)))
            (ok ? answered : refused)[op]++;
        else
            unanswered.push_back(op + ": " + zeb_bus_client_errorMessage(client));
    }
};

class SoakClient {
  public:
    SoakClient(int id, const std::string &socket, Tally &tally)
        : id_(id), random_(static_cast<unsigned>(id) + 1), tally_(tally),
          client_(zeb_bus_client_create()) {
        zeb_bus_client_setTimeout(client_, 20000);
        zeb_bus_client_connect(client_, socket.c_str());
        zeb_bus_notification_initialize(&notification_);
    }
    ~SoakClient() {
        zeb_bus_notification_cleanup(&notification_);
        zeb_bus_client_destroy(client_);
    }

    void run(Clock::time_point end) {
        const bool listens = id_ < 2;
        if (listens)
            tally_.count("subscribe", zeb_bus_subscribe(client_, "Phonebook") != 0, client_);
        do {
            step();
            while (listens && zeb_bus_receiveNotification(client_, 0, &notification_))
                notifications++;
        } while (Clock::now() < end);
    }
    long notifications = 0;

  private:
    std::string idOf(int n) const { return std::to_string(id_) + "-" + std::to_string(n); }
    std::string numberOf(int n) const {
        char text[32];
        std::snprintf(text, sizeof text, "+336%02d%06d", id_, n);
        return text;
    }
    json contact(int n) {
        return {{"uniqueID", idOf(n)},
                {"formattedName", "Soak " + idOf(n)},
                {"organisation", "Example " + std::to_string(random_() % 100)},
                {"telephoneNumbers", json::array({{{"name", numberOf(n)}, {"type", "cell"}}})},
                {"emails", json::array({{{"name", idOf(n) + "@example.com"}}})}};
    }
    void call(const char *op, const json &args) {
        variant_t given, retval;
        variant_initialize(&given, variant_type_unknown);
        variant_initialize(&retval, variant_type_unknown);
        zeb_json::jsonToVariant(args, &given);
        tally_.count(op, zeb_bus_call(client_, "Phonebook", op, &given, &retval, nullptr), client_);
        variant_cleanup(&given), variant_cleanup(&retval);
    }
    int anyLive() { return live_.empty() ? -1 : live_[random_() % live_.size()]; }
    void step() {
        unsigned roll = random_() % 100;
        int n = anyLive();
        // A name inside the daemon's system root, as the daemon takes it.
        std::string file = "/etc/config/legacy-" + std::to_string(id_) + ".usr";
        if (roll < 25 && n >= 0) {
            call("getContact", {{"formattedName", "Soak " + idOf(n)}});
        } else if (roll < 40) {
            call("getContactByNumber", {{"number", "0" + numberOf(n < 0 ? 0 : n).substr(3)}});
        } else if (roll < 43) {
            call("getAllContacts", json::object());
        } else if (roll < 60 && live_.size() < 40) {
            call("addContact", {{"contact", contact(next_)}});
            live_.push_back(next_++);
        } else if (roll < 75 && n >= 0) {
            call("modifyContactByUniqueID", {{"uniqueID", idOf(n)}, {"contact", contact(n)}});
        } else if (roll < 92 && n >= 0) {
            call("removeContactByUniqueID", {{"uniqueID", idOf(n)}});
            live_.erase(std::find(live_.begin(), live_.end(), n));
        } else if (roll < 95) {
            call("export", {{"fileName", file}});
        } else if (roll < 97) {
            call("import", {{"fileName", file}});
        } else {
            call("getNumberOfContacts", json::object());
        }
    }

    int id_;
    std::minstd_rand random_;
    Tally &tally_;
    zeb_bus_client_t *client_;
    zeb_bus_notification_t notification_;
    std::vector<int> live_;
    int next_ = 0;
};

bool logSays(const std::string &path, const char *text) {
    std::ifstream log(path);
    return std::string(std::istreambuf_iterator<char>(log), {}).find(text) != std::string::npos;
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// zebd, its standard error in the soak's directory.
pid_t startDaemon(const Options &o, const std::string &dir, const std::string &socket) {
    std::string sysroot = dir + "/sysroot";
    for (const char *sub : {"/cfg/system", "/etc/config", "/usr/lib/phonebook"})
        std::filesystem::create_directories(sysroot + sub);
    std::filesystem::copy_file(o.table, sysroot + "/usr/lib/phonebook/CCC.dat");
    std::vector<std::string> argv =
        zebtest::targetCommand({o.zebd, "-s", socket, "--sysroot", sysroot, o.definition});
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
    for (int i = 0; pid > 0 && i < 400 && !logSays(dir + "/zebd.log", "zebd: serving"); ++i)
        usleep(50000);
    return pid;
}

int stopDaemon(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

    Tally tally;
    Clock::time_point start = Clock::now(), end = start + std::chrono::seconds(o.seconds);
    long notifications = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < o.clients; ++i)
        threads.emplace_back([&, i] {
            SoakClient client(i, socket, tally);
            client.run(end);
            std::lock_guard<std::mutex> guard(tally.lock);
            notifications += client.notifications;
        });

    // Samples of the resident memory; the first quarter of the run is warm-up.
    std::vector<long> afterWarmUp;
    Clock::time_point warm = start + std::chrono::seconds(o.seconds) / 4;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(1000, o.seconds * 100)));
        if (Clock::now() >= warm)
            afterWarmUp.push_back(residentKiB(pid));
    }
    for (std::thread &t : threads)
        t.join();
    int exitStatus = stopDaemon(pid);

    long total = 0;
    std::printf("soak: %d clients for %d s\n", o.clients, o.seconds);
    for (const auto &[op, n] : tally.answered) {
        std::printf("  %-26s %8ld answered, %6ld refused\n", op.c_str(), n, tally.refused[op]);
        total += n + tally.refused[op];
    }
    std::printf("  requests: %ld, unanswered: %zu, notifications read: %ld\n", total,
                tally.unanswered.size(), notifications);
    for (size_t i = 0; i < tally.unanswered.size() && i < 10; ++i)
        std::printf("  unanswered: %s\n", tally.unanswered[i].c_str());
    const long growth = afterWarmUp.empty() ? 0 : afterWarmUp.back() - afterWarmUp.front();
    if (!afterWarmUp.empty())
        std::printf("  VmRSS after warm-up: %zu samples, first %ld KiB, growth %+ld KiB\n",
                    afterWarmUp.size(), afterWarmUp.front(), growth);
    const bool memoryFlat = o.rssSlackKiB < 0 || growth <= o.rssSlackKiB;
    std::printf("  zebd exit status: %d (log: %s/zebd.log)\n", exitStatus, dir.c_str());
    const bool ok = tally.unanswered.empty() && exitStatus == 0 && memoryFlat && total > 0;
    std::printf("soak: %s\n", ok ? "passed" : "FAILED");
    if (ok)
        std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
