// The HTTP bridge at 10 000 contacts, beside what it stands on, in one run:
// a lookup by number through zeb-httpd over a kept-alive connection with a
// session (JSON-RPC), the same lookup through the bus client library on the
// same zebd, and a static file of the size of the lookup's answer from the
// same zeb-httpd (the floor of an HTTP exchange). Each runs several times;
// the run ends with the medians and what the bridge adds over the bus.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "bench_contacts.hpp"
#include "bus_test_support.hpp"
#include "httpd_users.hpp"

namespace {

using bustest::json;

constexpr int kContacts = 10000;
constexpr int kRepetitions = 5;

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what);
}

// The CPU time a process has used so far, in seconds.
double cpuSecondsOf(pid_t pid) {
    clockid_t clock;
    timespec used;
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0)
        fail("cannot read the CPU time of process " + std::to_string(pid));
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

struct Answer {
    int status = 0;
    std::string head, body;
};

// One HTTP/1.1 connection to the loopback, kept open across exchanges, as a
// browser keeps it. Answers must carry a Content-Length.
class Connection {
  public:
    explicit Connection(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
            fail("cannot connect to zeb-httpd");
    }
    ~Connection() { close(fd_); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Sends `request` and reads its answer whole.
    void exchange(const std::string &request, Answer &answer) {
        for (size_t sent = 0; sent < request.size();) {
            ssize_t n = send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                fail("zeb-httpd closed the connection");
            sent += static_cast<size_t>(n);
        }
        size_t headEnd;
        while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos)
            receive();
        answer.head.assign(buffer_, 0, headEnd + 2);
        answer.status =
            answer.head.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(answer.head.c_str() + 9) : 0;
        size_t length = answer.head.find("\r\nContent-Length: ");
        if (length == std::string::npos)
            fail("an answer without Content-Length: " + answer.head);
        size_t bodySize = std::strtoul(answer.head.c_str() + length + 18, nullptr, 10);
        while (buffer_.size() < headEnd + 4 + bodySize)
            receive();
        answer.body.assign(buffer_, headEnd + 4, bodySize);
        buffer_.erase(0, headEnd + 4 + bodySize);
    }

  private:
    void receive() {
        char chunk[64 * 1024];
        ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            fail("zeb-httpd closed the connection");
        buffer_.append(chunk, static_cast<size_t>(n));
    }

    int fd_;
    std::string buffer_;
};

// The contact whose number the lookup asks: the last one added.
const int kAsked = kContacts - 1;

json lookupCall(const std::string &number) {
    return {{"jsonrpc", "2.0"},
            {"method", "call"},
            {"params",
             {{"object", "Phonebook"},
              {"function", "getContactByNumber"},
              {"args", {{"number", number}}}}},
            {"id", 1}};
}

// zebd serving a phonebook of kContacts contacts, a bus client of it, and
// zeb-httpd in front of it with one session open on a kept-alive connection.
struct Bridge {
    Bridge() {
        if (!daemon.start({"-v", "100"}))
            fail("cannot start zebd: " + daemon.log());
        // The calls that fill a large phonebook take long.
        client = std::make_unique<bustest::Client>(daemon.socket, 600000);
        fill();
        startHttpd();
        connection = std::make_unique<Connection>(port);
        login();
        lookupRequest = post(lookupCall(benchcontacts::numberOf(kAsked)).dump());
        Answer answer;
        connection->exchange(lookupRequest, answer);
        json result = json::parse(answer.body, nullptr, false);
        json found = result.is_object() ? result.value("result", json::object()) : json();
        if (answer.status != 200 || !found.is_object() ||
            found.value("retval", json::object()).value("uniqueID", "") !=
                "id-" + std::to_string(kAsked))
            fail("zeb-httpd answers the lookup with " + answer.head + answer.body);
        // The floor serves as many bytes as the lookup's answer.
        bustest::writeFile(docroot + "/answer.json", answer.body);
        staticRequest = "GET /answer.json HTTP/1.1\r\nHost: " + host() + "\r\n\r\n";
    }

    void fill() {
        bustest::Var limit(json{{"MaxNumberOfEntries", kContacts + 10}});
        if (!zeb_bus_set(client->get(), "Phonebook", limit.map()))
            fail("cannot set MaxNumberOfEntries: " + client->message());
        for (const json &named : benchcontacts::fillingCalls(kContacts)) {
            bustest::Var args(named), added;
            if (!zeb_bus_call(client->get(), "Phonebook", "addContacts", args.get(), added.get(),
                              nullptr) ||
                added.toJson() != true)
                fail("cannot fill the phonebook: " + client->message());
        }
        // Idle again once the save that follows the changes is written.
        for (bustest::Deadline deadline(60000);
             !std::filesystem::exists(daemon.savedFile()) && deadline.remaining() > 0;)
            usleep(100000);
        if (!zeb_bus_call(client->get(), "Phonebook", "getNumberOfContacts", nullptr, nullptr,
                          nullptr))
            fail("zebd does not answer: " + client->message());
    }

    void startHttpd() {
        std::string error;
        if (!zebhttpd::setUser(users, "bench", "bench secret", {"viewer"}, error))
            fail(error);
        std::filesystem::create_directories(docroot);
        // Standard error to a file: nobody reads it while the benchmarks run.
        httpd = std::make_unique<bustest::Process>(
            std::vector<std::string>{ZEB_HTTPD_PATH, "--listen", "127.0.0.1:0", "--socket",
                                     daemon.socket, "--users", users, "--docroot", docroot,
                                     "--roles", ROLES_DIR},
            httpdLog);
        const std::string serving = "serving http://127.0.0.1:";
        for (bustest::Deadline deadline(20000); port == 0; usleep(2000)) {
            std::string log = bustest::readFile(httpdLog);
            size_t at = log.find(serving);
            if (at != std::string::npos && log.find('\n', at) != std::string::npos)
                port = static_cast<uint16_t>(std::atoi(log.c_str() + at + serving.size()));
            else if (deadline.remaining() == 0 || httpd->ended())
                fail("zeb-httpd does not serve: " + log);
        }
    }

    void login() {
        Answer answer;
        connection->exchange(post(json{
                                 {"jsonrpc", "2.0"},
                                 {"method", "login"},
                                 {"params", {{"user", "bench"}, {"password", "bench secret"}}},
                                 {"id",
                                  1}}.dump()),
                             answer);
        size_t at = answer.head.find("zeb_session=");
        if (answer.status != 200 || at == std::string::npos)
            fail("the login failed: " + answer.head + answer.body);
        cookie = answer.head.substr(at, answer.head.find(';', at) - at);
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(port); }

    // A JSON-RPC request as the web page sends it.
    std::string post(const std::string &body) const {
        return "POST /rpc HTTP/1.1\r\nHost: " + host() + "\r\nOrigin: http://" + host() +
               "\r\nX-Zeb-CSRF: 1\r\nContent-Type: application/json\r\n" +
               (cookie.empty() ? "" : "Cookie: " + cookie + "\r\n") +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    bustest::PhonebookDaemon daemon;
    std::unique_ptr<bustest::Client> client;
    std::string users = daemon.dir.file("users"), docroot = daemon.dir.file("www"),
                httpdLog = daemon.dir.file("zeb-httpd.log");
    std::unique_ptr<bustest::Process> httpd;
    uint16_t port = 0;
    std::unique_ptr<Connection> connection;
    std::string cookie, lookupRequest, staticRequest;
};

std::unique_ptr<Bridge> bridge;

Bridge &theBridge() {
    if (bridge == nullptr)
        bridge = std::make_unique<Bridge>();
    return *bridge;
}

// Runs `exchange` per iteration; the CPU time per iteration of zebd and
// zeb-httpd as counters (on a shared machine the wall time also counts what
// others ran).
template <typename Exchange> void timed(benchmark::State &state, Exchange exchange) {
    Bridge &b = theBridge();
    double zebd = cpuSecondsOf(b.daemon.process->pid), httpd = cpuSecondsOf(b.httpd->pid);
    for (auto _ : state)
        exchange(b);
    double iterations = static_cast<double>(state.iterations());
    state.counters["zebd_cpu_us"] = (cpuSecondsOf(b.daemon.process->pid) - zebd) * 1e6 / iterations;
    state.counters["httpd_cpu_us"] = (cpuSecondsOf(b.httpd->pid) - httpd) * 1e6 / iterations;
}

void BM_BusLookup(benchmark::State &state) {
    bustest::Var args(json{{"number", benchcontacts::numberOf(kAsked)}}), answer;
    timed(state, [&](Bridge &b) {
        if (!zeb_bus_call(b.client->get(), "Phonebook", "getContactByNumber", args.get(),
                          answer.get(), nullptr))
            fail("getContactByNumber failed: " + b.client->message());
    });
}

void BM_BridgeLookup(benchmark::State &state) {
    Answer answer;
    timed(state, [&](Bridge &b) { b.connection->exchange(b.lookupRequest, answer); });
    if (answer.status != 200)
        fail("zeb-httpd answered the lookup with " + answer.head);
    state.counters["bytes"] = static_cast<double>(answer.body.size());
}

void BM_BridgeStatic(benchmark::State &state) {
    Answer answer;
    timed(state, [&](Bridge &b) { b.connection->exchange(b.staticRequest, answer); });
    if (answer.status != 200)
        fail("zeb-httpd answered the static file with " + answer.head);
    state.counters["bytes"] = static_cast<double>(answer.body.size());
}

// ---- The summary after the run --------------------------------------------

using Figure = std::optional<double>;

// The console display, then the medians (or the single runs' figures) and
// the differences the bridge's targets are stated in.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || (run.run_type == Run::RT_Iteration && run.repetitions <= 1))
                figures_[run.run_name.function_name] = run;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        Figure bus = wallMicroseconds("BM_BusLookup"), lookup = wallMicroseconds("BM_BridgeLookup"),
               floor = wallMicroseconds("BM_BridgeStatic");
        std::printf("\nLookup by number at %d contacts, medians of %d runs (wall time; CPU time "
                    "per call of each process):\n\n"
                    "| Peer | wall | zeb-httpd CPU | zebd CPU |\n|---|---:|---:|---:|\n",
                    kContacts, kRepetitions);
        row("bus call (libzeb_bus)", "BM_BusLookup");
        row("through zeb-httpd (keep-alive, session)", "BM_BridgeLookup");
        row("static file of the same size (floor)", "BM_BridgeStatic");
        std::printf("\n| Difference | Value | Target |\n|---|---:|---|\n");
        std::printf("| bridge adds over the bus call | %s | ≤ 100 µs |\n",
                    text(difference(lookup, bus)).c_str());
        std::printf("| bridge / bus call | %s | |\n", ratio(lookup, bus).c_str());
        std::printf("| bridge lookup over the static floor | %s | |\n",
                    text(difference(lookup, floor)).c_str());
    }

  private:
    Figure wallMicroseconds(const std::string &name) const {
        auto found = figures_.find(name);
        if (found == figures_.end())
            return std::nullopt;
        return found->second.GetAdjustedRealTime() /
               benchmark::GetTimeUnitMultiplier(found->second.time_unit) * 1e6;
    }
    Figure counter(const std::string &name, const char *counter) const {
        auto found = figures_.find(name);
        if (found == figures_.end() || found->second.counters.count(counter) == 0)
            return std::nullopt;
        return found->second.counters.at(counter).value;
    }
    static Figure difference(Figure a, Figure b) { return a && b ? Figure(*a - *b) : std::nullopt; }
    static std::string text(Figure microseconds) {
        if (!microseconds)
            return "–";
        char out[32];
        std::snprintf(out, sizeof out, "%.1f µs", *microseconds);
        return out;
    }
    static std::string ratio(Figure a, Figure b) {
        if (!a || !b || *b <= 0)
            return "–";
        char out[32];
        std::snprintf(out, sizeof out, "%.2f", *a / *b);
        return out;
    }
    void row(const char *peer, const std::string &name) const {
        std::printf("| %s | %s | %s | %s |\n", peer, text(wallMicroseconds(name)).c_str(),
                    text(counter(name, "httpd_cpu_us")).c_str(),
                    text(counter(name, "zebd_cpu_us")).c_str());
    }

    std::map<std::string, Run> figures_;
};

void registerBenchmarks() {
    for (auto [name, run] : {std::make_pair("BM_BusLookup", BM_BusLookup),
                             std::make_pair("BM_BridgeLookup", BM_BridgeLookup),
                             std::make_pair("BM_BridgeStatic", BM_BridgeStatic)})
        benchmark::RegisterBenchmark(name, run)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond)
            ->Repetitions(kRepetitions)
            ->ReportAggregatesOnly(true);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    registerBenchmarks();
    SummaryReporter reporter;
    try {
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "httpd_bench: %s\n", e.what());
        bridge.reset();
        return 1;
    }
    bridge.reset();
    benchmark::Shutdown();
    return 0;
}
