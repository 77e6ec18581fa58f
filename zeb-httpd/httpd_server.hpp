/*
 * The HTTP side of zeb-httpd on libmicrohttpd: one thread of the server
 * polls every connection, the bus's notifications and a wake-up for stop(),
 * and runs every request, so the bus clients, the sessions, the event
 * streams and the throttle are only ever touched from it. Every answer carries the
 * web-safety headers; POST /rpc needs the X-Zeb-CSRF header and a same-origin
 * Origin when one is sent; other paths are static files of the document
 * root (GET and HEAD only).
 */
#ifndef ZEB_HTTPD_SERVER_HPP
#define ZEB_HTTPD_SERVER_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zebhttpd {

class Access;

struct ServerConfig {
    const Access *access = nullptr;        /* what sessions may do on the bus; null: nothing */
    std::string listen = "127.0.0.1:8080"; /* ADDRESS:PORT, [IPV6]:PORT; port 0: any free one */
    std::string socket;                    /* the bus */
    std::string usersFile;
    std::string docroot;           /* "": no static files */
    std::string certFile, keyFile; /* both or neither: HTTPS */
    double sessionIdleSeconds = 300;
    size_t maxSessions = 64;
    size_t maxRpcBody = 1024 * 1024;
    unsigned maxConnections = 64;
    unsigned maxConnectionsPerAddress = 16;
    unsigned requestTimeoutSeconds = 10; /* a connection silent this long is closed */
    size_t connectionMemory = 32 * 1024; /* request line and headers must fit */
    size_t maxEventStreams = 32;         /* GET /events streams open at once */
};

class Server {
  public:
    Server();
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    /* Starts serving; false with `error` set when the configuration or the
     * listening socket fails. */
    bool start(const ServerConfig &config, std::string &error);
    /* The port listened on (the one chosen when the configuration said 0). */
    uint16_t port() const;
    void stop();

    struct State;

  private:
    std::unique_ptr<State> state_;
};

} // namespace zebhttpd

#endif
