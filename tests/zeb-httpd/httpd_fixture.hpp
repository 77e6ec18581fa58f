// zebd with the phonebook, zeb-httpd in front of it with two users, and raw sockets.
#ifndef ZEB_HTTPD_FIXTURE_HPP
#define ZEB_HTTPD_FIXTURE_HPP

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <functional>

#include "bus_test_support.hpp"
#include "httpd_users.hpp"

namespace httpdtest {

using bustest::json;

const std::string kCsrf = "X-Zeb-CSRF: 1\r\n";
const std::string kForged = "00112233445566778899aabbccddeeff";

inline std::string cookie(const std::string &session) {
    return "Cookie: zeb_session=" + session + "\r\n";
}

struct Response {
    int status = 0; /* 0: the connection closed without an answer */
    std::string head, body;

    /* The value of a response header, "" when absent (names as sent). */
    std::string header(const std::string &name) const {
        size_t at = head.find("\r\n" + name + ": ");
        if (at == std::string::npos)
            return "";
        size_t start = at + name.size() + 4;
        return head.substr(start, head.find("\r\n", start) - start);
    }
    json rpc() const { return json::parse(body); }
};

/* A connection from `source`, a loopback address (receive buffer set when > 0). */
inline int connectTo(uint16_t port, int receiveBuffer = 0, const char *source = "127.0.0.1") {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        close(fd);
        throw std::runtime_error("cannot connect to zeb-httpd");
    }
    return fd;
}

/* What comes until the server closes or the time passes; `onRead` sees each step. */
inline std::string readAll(int fd, int timeoutMs,
                           const std::function<void(const std::string &)> &onRead = nullptr) {
    std::string got;
    bustest::Deadline deadline(timeoutMs);
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, deadline.remaining()) > 0;) {
        char buffer[65536];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.append(buffer, static_cast<size_t>(n));
        if (onRead)
            onRead(got);
    }
    return got;
}

/* The status line, head and body of an answer as received. */
inline Response parse(const std::string &got) {
    Response response;
    size_t end = got.find("\r\n\r\n");
    if ((got.compare(0, 9, "HTTP/1.1 ") != 0 && got.compare(0, 9, "HTTP/1.0 ") != 0) ||
        end == std::string::npos)
        return response;
    response.status = std::stoi(got.substr(9, 3));
    response.head = got.substr(0, end + 2);
    response.body = got.substr(end + 4);
    return response;
}

/* One request on a new connection from `source`, read until the server closes it. */
inline Response roundTrip(uint16_t port, const std::string &request,
                          const char *source = "127.0.0.1") {
    int fd = connectTo(port, 0, source);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    Response response = parse(readAll(fd, 30000));
    close(fd);
    return response;
}

class Httpd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.start());
        addUser("alice", "alice secret", {"admin"});
        addUser("bob", "bob secret", {"viewer", "editor"});
        std::filesystem::create_directories(docroot + "/sub");
        bustest::writeFile(docroot + "/index.html", "<p>home</p>");
        bustest::writeFile(docroot + "/sub/app.js", "let x = 1;");
        bustest::writeFile(daemon.dir.file("secret.txt"), "secret");
        std::filesystem::create_symlink(daemon.dir.file("secret.txt"), docroot + "/out.txt");
    }
    void addUser(const std::string &user, const std::string &password,
                 const std::vector<std::string> &roles) {
        std::string error;
        ASSERT_TRUE(zebhttpd::setUser(users, user, password, roles, error)) << error;
    }

    /* zeb-httpd with `extra` arguments, run by the command `argv` begins with, if any. */
    void startHttpd(const std::vector<std::string> &extra = {},
                    std::vector<std::string> argv = {}) {
        std::vector<std::string> own = {ZEB_HTTPD_PATH, "--listen", "127.0.0.1:0", "--socket",
                                        daemon.socket,  "--users",  users,         "--docroot",
                                        docroot,        "--roles",  ROLES_DIR};
        own.insert(own.end(), extra.begin(), extra.end());
        own = zebtest::targetCommand(own); // under an emulator, it comes after the prefix
        argv.insert(argv.end(), own.begin(), own.end());
        httpd = std::make_unique<bustest::Process>(argv);
        ASSERT_TRUE(httpd->waitForError("/\n", 20000)) << httpd->err;
        port = static_cast<uint16_t>(std::stoi(httpd->err.substr(httpd->err.rfind(':') + 1)));
    }

    /* A request that closes its connection; a body gets its Content-Length. */
    std::string http(const std::string &method, const std::string &target,
                     const std::string &headers = "", const std::string &body = "") {
        return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
               "\r\nConnection: close\r\n" +
               (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
               headers + "\r\n" + body;
    }
    std::string post(const std::string &body, const std::string &headers) {
        return http("POST", "/rpc", "Content-Type: application/json\r\n" + headers, body);
    }
    Response send(const std::string &method, const std::string &target,
                  const std::string &headers = "", const std::string &body = "") {
        return roundTrip(port, http(method, target, headers, body));
    }
    /* A JSON-RPC call with the CSRF header and the session cookie, if any. */
    Response rpc(const json &request, const std::string &session = "") {
        return roundTrip(port,
                         post(request.dump(), kCsrf + (session.empty() ? "" : cookie(session))));
    }
    static json call(const std::string &method, const json &params = json::object(), int id = 1) {
        return {{"jsonrpc", "2.0"}, {"method", method}, {"params", params}, {"id", id}};
    }
    static json pbCall(const std::string &function, const json &args = json::object(), int id = 1) {
        return call("call", {{"object", "Phonebook"}, {"function", function}, {"args", args}}, id);
    }
    std::string login(const std::string &user, const std::string &password) {
        Response r = rpc(call("login", {{"user", user}, {"password", password}}));
        EXPECT_EQ(r.status, 200) << r.body;
        return r.header("Set-Cookie").substr(12, 32);
    }
    std::string alice() { return login("alice", "alice secret"); }
    json count() { return bustest::Client(daemon.socket).get("Phonebook.NumberOfEntries"); }

    bustest::PhonebookDaemon daemon;
    std::string users = daemon.dir.file("users"), docroot = daemon.dir.file("www");
    std::unique_ptr<bustest::Process> httpd;
    uint16_t port = 0;
};

} // namespace httpdtest

#endif
