/*
 * POST /rpc: JSON-RPC 2.0 requests, single or batch, answered by the bus and
 * the session table. docs/web-api.md describes the methods and their errors.
 * Used from the server's one thread; nothing here throws.
 */
#ifndef ZEB_HTTPD_RPC_HPP
#define ZEB_HTTPD_RPC_HPP

#include <cstddef>
#include <string>

#include "httpd_access.hpp"
#include "httpd_sessions.hpp"
#include "zeb/bus.h"

namespace zebhttpd {

/* Deepest nesting of arrays and objects in a request body. */
constexpr int kMaxJsonDepth = 32;
/* Most calls in one batch. */
constexpr size_t kMaxBatch = 64;
/* Largest answer of one request, in bytes of JSON: the answers of a batch
 * beyond it are replaced by kAnswerTooLarge errors. One bus answer (at most
 * 4 MiB of MessagePack) always fits. */
constexpr size_t kMaxAnswer = 16u * 1024u * 1024u;

/* JSON-RPC error codes of the bridge, beside the protocol's own. */
enum RpcCode {
    kParseError = -32700,
    kInvalidRequest = -32600,
    kMethodNotFound = -32601,
    kInvalidParams = -32602,
    kInternalError = -32603,
    kBusError = -32000,       /* data: {code, message, parameter?} of the bus */
    kLoginFailed = -32001,    /* unknown user or wrong password, alike */
    kLoginThrottled = -32002, /* data: {retryAfter: seconds} */
    kTooManySessions = -32003,
    kNoSession = -32004,
    kAnswerTooLarge = -32005, /* the batch's answers passed kMaxAnswer */
};

/* The bus connection of the bridge, opened on first use and again once the
 * daemon closed it. */
class BusLink {
  public:
    BusLink(std::string socket, int timeoutMs)
        : socket_(std::move(socket)), timeoutMs_(timeoutMs) {}
    ~BusLink() { zeb_bus_client_destroy(client_); }
    BusLink(const BusLink &) = delete;
    BusLink &operator=(const BusLink &) = delete;

    /* The connected client, or null when it cannot connect (the reason is
     * left on lastClient(), null when memory ran out). */
    zeb_bus_client_t *client();
    zeb_bus_client_t *lastClient() const { return client_; }

  private:
    std::string socket_;
    int timeoutMs_;
    zeb_bus_client_t *client_ = nullptr;
};

/* A variant that cleans itself up. */
class Variant {
  public:
    Variant() { variant_initialize(&value_, variant_type_unknown); }
    ~Variant() { variant_cleanup(&value_); }
    Variant(const Variant &) = delete;
    Variant &operator=(const Variant &) = delete;
    variant_t *get() { return &value_; }

  private:
    variant_t value_;
};

/* What the HTTP layer knows of one request, and what it must add to the answer. */
struct RpcExchange {
    std::string sessionId;     /* from the cookie; "" when none */
    std::string clientAddress; /* numeric */
    double now = 0;            /* monotonic seconds when the request came */
    /* The monotonic clock, read again once a login's password check has
     * ended (it may take a while); null: `now` throughout. */
    double (*clock)() = nullptr;
    /* Filled by the call: */
    std::string setCookieId;  /* a session opened: its id */
    bool clearCookie = false; /* the session ended */
    double retryAfter = 0;    /* a login was refused for this many seconds */
};

class Rpc {
  public:
    Rpc(BusLink &bus, Sessions &sessions, LoginThrottle &throttle, std::string usersFile,
        const Access &access)
        : bus_(bus), sessions_(sessions), throttle_(throttle), usersFile_(std::move(usersFile)),
          access_(access) {}

    /* Answers a request body: the HTTP status (200; 204 when only
     * notifications came; 401 when anything but login comes without a
     * valid session; 429 for a single login refused for its failures) and
     * the JSON body (empty for 204). */
    int handle(const std::string &body, RpcExchange &exchange, std::string &answer);

    struct Call; /* one call of a request, while it runs */

  private:
    BusLink &bus_;
    Sessions &sessions_;
    LoginThrottle &throttle_;
    std::string usersFile_;
    const Access &access_;
};

/* The deepest nesting of arrays and objects in a JSON text (strings are
 * skipped), counted without parsing; stops counting beyond `limit`. */
int jsonDepth(const std::string &text, int limit);

} // namespace zebhttpd

#endif
