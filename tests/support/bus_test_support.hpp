/* Helpers of the bus tests: zebd and other child processes, raw connections. Every wait has a
 * deadline; failures to set up throw. */
#ifndef BUS_TEST_SUPPORT_HPP
#define BUS_TEST_SUPPORT_HPP

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zeb/bus.h"
#include "zeb/dm.h"
#include "target_command.hpp"
#include "test_var.hpp"

extern char **environ;

namespace bustest {

using zebtest::json;

using zebtest::Var;

struct TempDir { /* removed with its content at the end */
    TempDir() : path((std::filesystem::temp_directory_path() / "zeb-bus-XXXXXX").string()) {
        if (mkdtemp(path.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
    std::string path;
};

inline void writeFile(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string readFile(const std::string &path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

struct Deadline {
    explicit Deadline(int ms)
        : end(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
    int remaining() const { /* milliseconds left, 0 once passed */
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        return left.count() <= 0 ? 0 : static_cast<int>(left.count());
    }
    std::chrono::steady_clock::time_point end;
};

/* True once `done()` holds, polled every 5 ms; false when `ms` pass first. */
template <class Condition> bool waitFor(Condition done, int ms = 20000) {
    for (Deadline deadline(ms); !done(); usleep(5000))
        if (deadline.remaining() == 0)
            return false;
    return true;
}

/* The number the environment variable `name` holds, or `fallback`. */
inline uint64_t fromEnvironment(const char *name, uint64_t fallback) {
    const char *text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

/* How often `what` occurs in `text`. */
inline size_t count(const std::string &text, const std::string &what) {
    size_t seen = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++seen;
    return seen;
}

inline sockaddr_un addressOf(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

/* A socket listening at `path` that never accepts; the caller closes it. */
inline int silentSocket(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = addressOf(path);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 4) != 0)
        throw std::runtime_error("cannot listen on " + path);
    return fd;
}

/* A child process with stdout and stderr captured (stderr to `errorFile` when given); killed at
 * the end if it still runs. */
class Process {
  public:
    explicit Process(const std::vector<std::string> &command, const std::string &errorFile = "") {
        std::vector<std::string> argv = zebtest::targetCommand(command);
        int outPipe[2], errPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        if (errorFile.empty())
            posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        std::vector<char *> args(argv.size() + 1, nullptr);
        std::transform(argv.begin(), argv.end(), args.begin(),
                       [](const std::string &a) { return const_cast<char *>(a.c_str()); });
        int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        close(errPipe[1]);
        fds_[0] = outPipe[0];
        fds_[1] = errorFile.empty() ? errPipe[0] : (close(errPipe[0]), -1);
        if (failed != 0)
            throw std::runtime_error("cannot start " + argv[0]);
    }
    ~Process() {
        if (status_ < 0 && pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (int fd : fds_)
            close(fd);
    }

    /* Reads until stderr holds `text`; false at its end or timeout (0: reads what is there). */
    bool waitForError(const std::string &text, int timeoutMs) {
        Deadline deadline(timeoutMs);
        while (err.find(text) == std::string::npos) {
            size_t before = out.size() + err.size();
            int left = deadline.remaining();
            if (!pump(left) || (left == 0 && out.size() + err.size() == before))
                return false;
        }
        return true;
    }

    /* True once the process has ended (it is not reaped). */
    bool ended() const {
        siginfo_t info{};
        return status_ >= 0 ||
               (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid);
    }

    /* The exit status, 128 + the signal, or -1 when not ended in time (it is then killed). */
    int wait(int timeoutMs) {
        Deadline deadline(timeoutMs);
        for (int status = 0; status_ < 0;) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else if (deadline.remaining() == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                break;
            } else if (!pump(std::min(deadline.remaining(), 100))) {
                usleep(2000); // the output is closed: wait for the exit itself
            }
        }
        waitForError(std::string(1, '\0'), 0);
        return status_;
    }

    pid_t pid = -1;
    std::string out, err;

  private:
    // Reads what arrives within the time; false once both pipes are closed.
    bool pump(int timeoutMs) {
        pollfd fds[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}}; // poll skips fd -1
        if (fds_[0] < 0 && fds_[1] < 0)
            return false;
        if (poll(fds, 2, timeoutMs) <= 0)
            return true;
        for (int i = 0; i < 2; ++i) {
            char buffer[4096];
            ssize_t got = fds[i].revents != 0 ? read(fds_[i], buffer, sizeof buffer) : -1;
            if (got > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<size_t>(got));
            } else if (fds[i].revents != 0 && (got == 0 || errno != EINTR)) {
                close(fds_[i]);
                fds_[i] = -1;
            }
        }
        return true;
    }

    int fds_[2] = {-1, -1}; /* standard output, standard error */
    int status_ = -1;
};

struct RunResult {
    int status;
    std::string out, err;
};

inline RunResult run(const std::vector<std::string> &argv, int timeoutMs = 20000) {
    Process process(argv);
    return {process.wait(timeoutMs), process.out, process.err};
}

/* zebd serving the test plug-in on dir/zeb.sock, system root dir/sysroot, log dir/zebd.log. */
class Daemon {
  public:
    Daemon() : socket(dir.file("zeb.sock")), sysroot(dir.file("sysroot")) {
        std::filesystem::create_directory(sysroot);
        writeFile(definition, std::string(R"({"plugin": ")") + BUS_TEST_PLUGIN + R"(",
  "objects": [{"name": "Test",
    "parameters": [
      {"name": "Name", "type": "string"}, {"name": "Count", "type": "uint32"},
      {"name": "Small", "type": "uint8"},
      {"name": "Limited", "type": "int32", "validator": "refuse_negative"},
      {"name": "Fixed", "type": "string", "attributes": ["read-only"], "default": "fixed"}],
    "functions": [{"name": "echo"}, {"name": "fail"},
      {"name": "notify", "arguments": ["name", "count", "size"]}],
    "objects": [
      {"name": "Item", "multi-instance": true, "parameters": [
        {"name": "Label", "type": "string"}, {"name": "Value", "type": "int32"}]},
      {"name": "Settings", "parameters": [{"name": "Mode", "type": "string"}]}]}]})");
    }
    ~Daemon() { stop(); }

    /* Starts zebd and waits until it serves; false when it does not. */
    bool start(const std::vector<std::string> &extraArgs = {}) {
        std::vector<std::string> argv = {ZEBD_PATH, "-s", socket, "--sysroot", sysroot};
        argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
        argv.push_back(definition);
        // posix_spawn may return before the child emptied it (vfork is a fork under emulation).
        std::filesystem::remove(logFile);
        process = std::make_unique<Process>(argv, logFile);
        bool served = false;
        waitFor([&] {
            served = log().find("zebd: serving") != std::string::npos;
            return served || process->ended();
        });
        return served;
    }
    /* Sends the signal; the exit status as Process::wait gives it. */
    int stop(int signal = SIGTERM, int timeoutMs = 20000) {
        if (process == nullptr)
            return -1;
        kill(process->pid, signal);
        int status = process->wait(timeoutMs);
        process.reset();
        return status;
    }
    std::string log() const { return readFile(logFile); } /* zebd's standard error so far */

    TempDir dir;
    std::string socket, sysroot, definition = dir.file("test.json"), logFile = dir.file("zebd.log");
    std::unique_ptr<Process> process;
};

/* zebd serving the shipped phonebook, with the calling code table and an empty /cfg/system. */
class PhonebookDaemon : public Daemon {
  public:
    PhonebookDaemon() {
        std::filesystem::create_directories(sysroot + "/cfg/system");
        std::filesystem::create_directories(sysroot + "/usr/lib/phonebook");
        std::filesystem::copy_file(PHONEBOOK_CCC, sysroot + "/usr/lib/phonebook/CCC.dat");
        definition = PHONEBOOK_DEFINITION;
    }
    std::string savedFile() const { return sysroot + "/cfg/system/phonebook.odl"; }
};

class Client { /* of the library, connected at construction */
  public:
    explicit Client(const std::string &socket, int timeoutMs = 10000)
        : client_(zeb_bus_client_create()) {
        zeb_bus_client_setTimeout(client_, timeoutMs);
        zeb_bus_client_connect(client_, socket.c_str());
    }
    ~Client() { zeb_bus_client_destroy(client_); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    zeb_bus_client_t *get() const { return client_; }
    bool connected() const { return zeb_bus_client_fd(client_) >= 0; }
    uint32_t code() const { return zeb_bus_client_errorCode(client_); }
    std::string message() const { return zeb_bus_client_errorMessage(client_); }
    std::string parameter() const { return zeb_bus_client_errorParameter(client_); }

    /* The answer as JSON, null on failure. */
    json get(const std::string &path, bool recursive = false) {
        Var result;
        return zeb_bus_get(client_, path.c_str(), recursive, result.get()) ? result.toJson()
                                                                           : json();
    }
    json call(const std::string &object, const std::string &function, const json &args) {
        Var given(args), retval;
        bool ok = zeb_bus_call(client_, object.c_str(), function.c_str(), given.get(), retval.get(),
                               nullptr);
        return ok ? retval.toJson() : json();
    }
    /* The result of a request of the wire's fields, or {"error": {"code", "message"}}. */
    json ask(const json &fields) {
        Var request(fields), result;
        if (zeb_bus_request(client_, request.map(), result.get(), nullptr))
            return result.toJson();
        return {{"error", {{"code", code()}, {"message", message()}}}};
    }
    /* {"subscription", "type", "name", "path", "parameters"}; null when none comes in time. */
    json notification(int timeoutMs = 10000) {
        zeb_bus_notification_t n;
        zeb_bus_notification_initialize(&n);
        json out;
        if (zeb_bus_receiveNotification(client_, timeoutMs, &n)) {
            Var parameters;
            variant_setMap(parameters.get(), &n.parameters);
            out = {{"subscription", n.subscription},
                   {"type", n.type},
                   {"name", n.name ? n.name : ""},
                   {"path", n.path ? n.path : ""},
                   {"parameters", parameters.toJson()}};
        }
        zeb_bus_notification_cleanup(&n);
        return out;
    }

  private:
    zeb_bus_client_t *client_;
};

class Raw { /* a plain connection, for what the library never sends */
  public:
    explicit Raw(const std::string &socket) : fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address = addressOf(socket);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to " + socket);
    }
    explicit Raw(int connected) : fd(connected) {}
    ~Raw() { close(fd); }

    bool send(const std::string &bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    /* The next message, decoded; false on end, error or timeout. */
    bool receive(Var &message, int timeoutMs = 10000) {
        Deadline deadline(timeoutMs);
        for (;;) {
            size_t size = input_.size() >= 4 ? zeb_bus_frameBodySize(input_.data()) : SIZE_MAX - 4;
            if (input_.size() >= 4 + size) {
                uint32_t failure = zeb_bus_decodeBody(&input_[4], size, message.get(), nullptr);
                input_.erase(0, 4 + size);
                return failure == ZEB_ERROR_NONE;
            }
            if (!readSome(deadline))
                return false;
        }
    }
    /* The next message after `message`; "(no reply)" when none comes. */
    json exchange(const json &message, int timeoutMs = 10000);
    /* True when the peer closes in time (what it sent before is dropped). */
    bool closedByPeer(int timeoutMs = 10000) {
        Deadline deadline(timeoutMs);
        while (readSome(deadline)) {
        }
        return errno == 0 || errno == ECONNRESET;
    }

    int fd;

  private:
    // False at the end (errno 0), on an error or at the deadline (ETIMEDOUT).
    bool readSome(const Deadline &deadline) {
        pollfd p{fd, POLLIN, 0};
        char buffer[65536];
        errno = ETIMEDOUT;
        ssize_t n = poll(&p, 1, deadline.remaining()) > 0 ? recv(fd, buffer, sizeof buffer, 0) : -1;
        if (n == 0)
            errno = 0;
        if (n > 0)
            input_.append(buffer, static_cast<size_t>(n));
        return n > 0;
    }

    std::string input_;
};

inline std::string frame(const std::string &body) {
    uint32_t n = static_cast<uint32_t>(body.size());
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + body;
}

inline std::string frameOf(const Var &message) {
    char *data = nullptr;
    size_t size = 0;
    if (zeb_bus_encodeFrame(message.get(), &data, &size) != ZEB_ERROR_NONE)
        throw std::runtime_error("cannot encode a message");
    std::string bytes(data, size);
    std::free(data);
    return bytes;
}

inline json Raw::exchange(const json &message, int timeoutMs) {
    Var reply;
    return send(frameOf(Var(message))) && receive(reply, timeoutMs) ? reply.toJson()
                                                                    : json("(no reply)");
}

/* The error code of a reply; null when it is no error. */
inline json errorCode(const json &reply) {
    return reply.is_object() && reply.contains("error") ? reply["error"].value("code", json())
                                                        : json();
}

} // namespace bustest

#endif
