#include "httpd_server.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "httpd_access.hpp"
#include "httpd_events.hpp"
#include "httpd_rpc.hpp"
#include "httpd_static.hpp"
#include "httpd_vcard.hpp"

namespace zebhttpd {

namespace {

const char *const kCookieName = "zeb_session";
const char *const kCsrfHeader = "X-Zeb-CSRF";

struct Header {
    const char *name;
    const char *value;
};

const Header kSafetyHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'self'; script-src 'self'; object-src 'none'; base-uri 'none'; "
     "form-action 'self'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"X-Frame-Options", "DENY"},
};

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One request while its body arrives.
struct Request {
    std::string body;
    bool vcard = false;  /* GET or POST /vcard */
    size_t answered = 0; /* bytes of the answer to POST /rpc */
};

// After a request or answer to /rpc this large, and after any vCard export
// or import, the memory its parsing and its variants took is given back to
// the system: freed, it stays in the loop
// thread's arena, scattered between the blocks that live on, and the idle
// bridge would keep the resident size of its largest request.
constexpr size_t kTrimAfterBytes = 64 * 1024;

} // namespace

struct Server::State {
    ServerConfig config;
    std::string root; /* the document root, resolved; "" when none */
    std::string cert, key;
    bool tls = false;
    MHD_Daemon *daemon = nullptr;
    RoleAccess noRules;              /* refuses everything */
    const Access *access = &noRules; /* config.access when given */
    std::unique_ptr<BusLink> bus;
    std::unique_ptr<Sessions> sessions;
    LoginThrottle throttle;
    std::unique_ptr<Rpc> rpc;
    std::unique_ptr<Events> events;
    int wake = -1;   /* an eventfd: stop() writes it to end the loop */
    int listen = -1; /* accepted by the loop, after libmicrohttpd's run */
    std::thread loop;
};

namespace {

MHD_Result queue(MHD_Connection *connection, unsigned status, MHD_Response *response) {
    for (const Header &h : kSafetyHeaders)
        MHD_add_response_header(response, h.name, h.value);
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result answerText(MHD_Connection *connection, unsigned status, const std::string &body,
                      const char *type) {
    MHD_Response *response = MHD_create_response_from_buffer(
        body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, "Content-Type", type);
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return queue(connection, status, response);
}

MHD_Result answerStatus(MHD_Connection *connection, unsigned status, const char *text) {
    return answerText(connection, status, std::string(text) + "\n", "text/plain; charset=utf-8");
}

const char *header(MHD_Connection *connection, const char *name) {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

std::string clientAddress(MHD_Connection *connection) {
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "";
    if (info == nullptr || info->client_addr == nullptr)
        return "";
    // Copied out: a sockaddr promises less alignment than the structures of
    // its families, and where that differs the cast does not build.
    const sockaddr *address = info->client_addr;
    if (address->sa_family == AF_INET) {
        sockaddr_in in{};
        std::memcpy(&in, address, sizeof in);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, address, sizeof in6);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    }
    return text;
}

// A request that changes state must carry the custom header, which no
// cross-site form or simple request can set, and, when the browser names
// its origin, come from this server's own.
bool sameOriginRequest(const Server::State &state, MHD_Connection *connection) {
    const char *csrf = header(connection, kCsrfHeader);
    if (csrf == nullptr || std::strcmp(csrf, "1") != 0)
        return false;
    const char *origin = header(connection, "Origin");
    if (origin == nullptr)
        return true;
    const char *host = header(connection, "Host");
    return host != nullptr &&
           std::string(origin) == (state.tls ? "https://" : "http://") + std::string(host);
}

MHD_Result answerStatic(Server::State &state, MHD_Connection *connection, const char *url) {
    StaticFile file;
    int status = state.root.empty() ? 404 : openStatic(state.root, url, file);
    if (status != 200)
        return answerStatus(connection, static_cast<unsigned>(status),
                            status == 403 ? "forbidden" : "not found");
    const char *match = header(connection, "If-None-Match");
    bool unchanged = match != nullptr && file.etag == match;
    MHD_Response *response =
        unchanged ? MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT)
                  : MHD_create_response_from_fd64(file.size, file.fd);
    if (response == nullptr || unchanged)
        close(file.fd);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, "Content-Type", file.contentType.c_str());
    MHD_add_response_header(response, "ETag", file.etag.c_str());
    MHD_add_response_header(response, "Last-Modified", file.lastModified.c_str());
    MHD_add_response_header(response, "Cache-Control", "no-cache");
    return queue(connection, unchanged ? 304 : 200, response);
}

std::string cookie(const Server::State &state, const std::string &value, bool clear) {
    return std::string(kCookieName) + "=" + value + "; HttpOnly; SameSite=Strict; Path=/" +
           (clear ? "; Max-Age=0" : "") + (state.tls ? "; Secure" : "");
}

MHD_Result answerRpc(Server::State &state, MHD_Connection *connection, Request &request) {
    const std::string &body = request.body;
    RpcExchange exchange;
    const char *id = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kCookieName);
    exchange.sessionId = id != nullptr ? id : "";
    exchange.clientAddress = clientAddress(connection);
    exchange.now = monotonicSeconds();
    exchange.clock = monotonicSeconds;
    std::string answer;
    int status = state.rpc->handle(body, exchange, answer);
    request.answered = answer.size();
    MHD_Response *response = MHD_create_response_from_buffer(
        answer.size(), const_cast<char *>(answer.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    if (!answer.empty())
        MHD_add_response_header(response, "Content-Type", "application/json");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    if (!exchange.setCookieId.empty())
        MHD_add_response_header(response, "Set-Cookie",
                                cookie(state, exchange.setCookieId, false).c_str());
    else if (exchange.clearCookie)
        MHD_add_response_header(response, "Set-Cookie", cookie(state, "", true).c_str());
    if (exchange.retryAfter > 0)
        MHD_add_response_header(
            response, "Retry-After",
            std::to_string(static_cast<long long>(exchange.retryAfter)).c_str());
    if (status == 401)
        MHD_add_response_header(response, "WWW-Authenticate", "Cookie");
    return queue(connection, static_cast<unsigned>(status), response);
}

// ---- GET /events ----

MHD_Result collectPath(void *cls, MHD_ValueKind, const char *key, const char *value) {
    if (std::strcmp(key, "path") == 0)
        static_cast<std::vector<std::string> *>(cls)->push_back(value != nullptr ? value : "");
    return MHD_YES;
}

MHD_Result answerEvents(Server::State &state, MHD_Connection *connection, bool get) {
    if (!get)
        return answerStatus(connection, 405, "method not allowed");
    std::vector<std::string> paths;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collectPath, &paths);
    const char *id = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kCookieName);
    MHD_Response *response = nullptr;
    int status =
        state.events->open(connection, id != nullptr ? id : "", paths,
                           header(connection, "Last-Event-ID"), monotonicSeconds(), response);
    struct Refusal {
        int status;
        const char *text;
    } const refusals[] = {{401, "no session: log in first"},
                          {400, "too many paths"},
                          {429, "too many event streams for this session"},
                          {503, "too many event streams"},
                          {500, "out of memory"}};
    for (const Refusal &r : refusals) {
        if (r.status == status)
            return answerStatus(connection, static_cast<unsigned>(status), r.text);
    }
    MHD_add_response_header(response, "Content-Type", "text/event-stream");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return queue(connection, 200, response);
}

// ---- The loop: HTTP connections and bus notifications on one thread ----

// New connections are taken only once libmicrohttpd has run: a connection
// it closed (a timeout) is released, and leaves its address's count, only in
// the run after, which must come before a new connection of that address is
// counted.
void acceptAll(Server::State &state) {
    for (;;) {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        int fd = accept4(state.listen, reinterpret_cast<sockaddr *>(&address), &size,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        // Answers go out as soon as they are queued, not after the client's
        // delayed acknowledgement of the previous segment.
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // Refused (a limit): libmicrohttpd closes the socket.
        MHD_add_connection(state.daemon, fd, reinterpret_cast<sockaddr *>(&address), size);
    }
}

int listenOn(const sockaddr_storage &address) {
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    socklen_t size = address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        bind(fd, reinterpret_cast<const sockaddr *>(&address), size) == 0 &&
        listen(fd, SOMAXCONN) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

void serve(Server::State &state) {
    const MHD_DaemonInfo *info = MHD_get_daemon_info(state.daemon, MHD_DAEMON_INFO_EPOLL_FD);
    int httpFd = info != nullptr ? info->epoll_fd : -1;
    for (;;) {
        double now = monotonicSeconds();
        state.events->run(now);
        MHD_UNSIGNED_LONG_LONG httpMs = 0;
        int timeout = state.events->timeoutMs(now);
        if (MHD_get_timeout(state.daemon, &httpMs) == MHD_YES) {
            int http = static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(httpMs, 60000));
            timeout = timeout < 0 ? http : std::min(timeout, http);
        }
        std::vector<pollfd> fds = {{state.wake, POLLIN, 0},
                                   {httpFd, POLLIN, 0},
                                   {state.events->fd(), POLLIN, 0},
                                   {state.listen, POLLIN, 0}};
        state.events->watch(fds);
        poll(fds.data(), fds.size(), timeout);
        if ((fds[0].revents & POLLIN) != 0)
            return;
        state.events->closeHungUp(fds, 4);
        MHD_run(state.daemon);
        if ((fds[3].revents & POLLIN) != 0)
            acceptAll(state);
    }
}

// The first call for a POST /rpc: refused before its body is read when it
// is too large or not same-origin.
MHD_Result beginRpc(Server::State &state, MHD_Connection *connection, void **context) {
    if (!sameOriginRequest(state, connection))
        return answerStatus(connection, 403, "cross-origin or without the X-Zeb-CSRF header");
    const char *length = header(connection, "Content-Length");
    if (length != nullptr && std::strtoull(length, nullptr, 10) > state.config.maxRpcBody)
        return answerStatus(connection, 413, "request body too large");
    *context = new Request;
    return MHD_YES;
}

// ---- GET and POST /vcard ---------------------------------------------------

// The session of the request's cookie, null when none is valid.
const Session *sessionOf(Server::State &state, MHD_Connection *connection) {
    const char *id = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kCookieName);
    return id != nullptr ? state.sessions->use(id, monotonicSeconds()) : nullptr;
}

MHD_Result answerUnauthorized(MHD_Connection *connection) {
    std::string body = "no session: log in first\n";
    MHD_Response *response = MHD_create_response_from_buffer(
        body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, "Content-Type", "text/plain; charset=utf-8");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "WWW-Authenticate", "Cookie");
    return queue(connection, 401, response);
}

// The first call for /vcard: an upload is refused before its body is read
// when it is not same-origin, comes without a session or is too large.
MHD_Result beginVcard(Server::State &state, MHD_Connection *connection, const char *method,
                      void **context) {
    bool post = std::strcmp(method, "POST") == 0;
    if (!post && std::strcmp(method, "GET") != 0)
        return answerStatus(connection, 405, "method not allowed");
    if (post && !sameOriginRequest(state, connection))
        return answerStatus(connection, 403, "cross-origin or without the X-Zeb-CSRF header");
    if (post && sessionOf(state, connection) == nullptr)
        return answerUnauthorized(connection);
    const char *length = header(connection, "Content-Length");
    if (post && length != nullptr && std::strtoull(length, nullptr, 10) > kMaxVcardBody)
        return answerStatus(connection, 413, "request body too large");
    auto *request = new Request;
    request->vcard = true;
    // Grown by doubling, a body of 6 MiB would pass through 12 MiB. The pages
    // reserved count only once the body fills them.
    if (post && length != nullptr)
        request->body.reserve(std::strtoull(length, nullptr, 10));
    *context = request;
    return MHD_YES;
}

MHD_Result answerExport(Server::State &state, MHD_Connection *connection) {
    const Session *session = sessionOf(state, connection);
    if (session == nullptr)
        return answerUnauthorized(connection);
    const char *version = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "version");
    if (version != nullptr && std::strcmp(version, "3.0") != 0 && std::strcmp(version, "4.0") != 0)
        return answerStatus(connection, 400, "version is 3.0 or 4.0");
    bool v40 = version != nullptr && std::strcmp(version, "4.0") == 0;
    unsigned status = 200;
    std::string error;
    MHD_Response *response =
        exportVcards(vcardCalls(*state.bus, *state.access, *session),
                     v40 ? vcard::Version::v40 : vcard::Version::v30, status, error);
    if (response == nullptr)
        return error.empty() ? MHD_NO : answerStatus(connection, status, error.c_str());
    MHD_add_response_header(response, "Content-Type", "text/vcard; charset=utf-8");
    MHD_add_response_header(response, "Content-Disposition",
                            "attachment; filename=\"phonebook.vcf\"");
    MHD_add_response_header(response, "Cache-Control", "no-store");
    return queue(connection, 200, response);
}

MHD_Result answerImport(Server::State &state, MHD_Connection *connection, std::string &body) {
    const Session *session = sessionOf(state, connection);
    if (session == nullptr)
        return answerUnauthorized(connection);
    const char *update = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "update");
    if (update != nullptr && std::strcmp(update, "0") != 0 && std::strcmp(update, "1") != 0)
        return answerStatus(connection, 400, "update is 0 or 1");
    std::string answer;
    unsigned status = importVcards(vcardCalls(*state.bus, *state.access, *session), body,
                                   update != nullptr && update[0] == '1', answer);
    return answerText(connection, status, answer, "application/json");
}

MHD_Result continueVcard(Server::State &state, MHD_Connection *connection, bool post,
                         Request &request, const char *uploadData, size_t &uploadSize) {
    if (!post)
        return uploadSize > 0 ? MHD_NO : answerExport(state, connection);
    if (uploadSize == 0)
        return answerImport(state, connection, request.body);
    // A chunked body that grows too large closes the connection, as for /rpc.
    if (request.body.size() + uploadSize > kMaxVcardBody)
        return MHD_NO;
    request.body.append(uploadData, uploadSize);
    uploadSize = 0;
    return MHD_YES;
}

MHD_Result onRequest(void *cls, MHD_Connection *connection, const char *url, const char *method,
                     const char * /*version*/, const char *uploadData, size_t *uploadSize,
                     void **context) {
    auto &state = *static_cast<Server::State *>(cls);
    bool post = std::strcmp(method, "POST") == 0;
    bool rpc = std::strcmp(url, "/rpc") == 0;
    auto *request = static_cast<Request *>(*context);
    if (request == nullptr && std::strcmp(url, "/vcard") == 0)
        return beginVcard(state, connection, method, context);
    if (request != nullptr && request->vcard)
        return continueVcard(state, connection, post, *request, uploadData, *uploadSize);
    if (request == nullptr) {
        if (rpc && post)
            return beginRpc(state, connection, context);
        if (rpc || (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0))
            return answerStatus(connection, 405, "method not allowed");
        // Answered once the request is whole, so that the connection stays open.
        *context = new Request;
        return MHD_YES;
    }
    if (!post && *uploadSize > 0)
        return MHD_NO;
    if (!post && std::strcmp(url, "/events") == 0)
        return answerEvents(state, connection, std::strcmp(method, "GET") == 0);
    if (!post)
        return answerStatic(state, connection, url);
    if (*uploadSize > 0) {
        // A body without a length (chunked) that grows too large: no answer
        // can be queued while it arrives, so the connection is closed.
        if (request->body.size() + *uploadSize > state.config.maxRpcBody)
            return MHD_NO;
        request->body.append(uploadData, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    return answerRpc(state, connection, *request);
}

void onCompleted(void *, MHD_Connection *, void **context, MHD_RequestTerminationCode) {
    auto *request = static_cast<Request *>(*context);
    // The vCard endpoints give back their memory themselves, when their
    // import ends or their export's stream is freed.
    bool large = request != nullptr && !request->vcard &&
                 std::max(request->body.size(), request->answered) >= kTrimAfterBytes;
    delete request;
    *context = nullptr;
    if (large)
        malloc_trim(0);
}

bool parseListen(const std::string &listen, sockaddr_storage &address, std::string &error) {
    size_t colon = listen.rfind(':');
    std::string host = colon == std::string::npos ? "" : listen.substr(0, colon);
    std::string port = colon == std::string::npos ? "" : listen.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (host.empty() || port.empty() ||
        getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        error = "--listen wants ADDRESS:PORT with a numeric address, got \"" + listen + "\"";
        return false;
    }
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    return true;
}

bool readWhole(const std::string &path, std::string &text, std::string &error) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    if (file)
        content << file.rdbuf();
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    text = content.str();
    return true;
}

EventLimits eventLimits(const ServerConfig &config) {
    EventLimits limits;
    limits.streams = config.maxEventStreams;
    limits.closeTimeoutSeconds = config.requestTimeoutSeconds;
    return limits;
}

bool prepare(Server::State &state, std::string &error) {
    const ServerConfig &config = state.config;
    if (!config.docroot.empty()) {
        char *resolved = realpath(config.docroot.c_str(), nullptr);
        if (resolved == nullptr) {
            error = "no document root " + config.docroot;
            return false;
        }
        state.root = resolved;
        std::free(resolved);
    }
    if (config.certFile.empty() != config.keyFile.empty()) {
        error = "--cert and --key go together";
        return false;
    }
    state.tls = !config.certFile.empty();
    if (state.tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        error = "HTTPS is not built into this libmicrohttpd";
        return false;
    }
    return !state.tls || (readWhole(config.certFile, state.cert, error) &&
                          readWhole(config.keyFile, state.key, error));
}

} // namespace

Server::Server() = default;
Server::~Server() {
    stop();
}

bool Server::start(const ServerConfig &config, std::string &error) {
    stop();
    state_ = std::make_unique<State>();
    State &state = *state_;
    state.config = config;
    sockaddr_storage address{};
    if (!prepare(state, error) || !parseListen(config.listen, address, error))
        return false;
    state.bus = std::make_unique<BusLink>(config.socket, ZEB_BUS_DEFAULT_TIMEOUT_MS);
    state.sessions = std::make_unique<Sessions>(config.sessionIdleSeconds, config.maxSessions);
    if (config.access != nullptr)
        state.access = config.access;
    state.rpc = std::make_unique<Rpc>(*state.bus, *state.sessions, state.throttle, config.usersFile,
                                      *state.access);
    state.events = std::make_unique<Events>(config.socket, *state.sessions, *state.access,
                                            eventLimits(config));
    unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (address.ss_family == AF_INET6)
        flags |= MHD_USE_IPv6;
    state.listen = listenOn(address);
    if (state.listen < 0) {
        error = "cannot listen on " + config.listen;
        return false;
    }
    flags |= MHD_USE_NO_LISTEN_SOCKET;
    MHD_OptionItem tlsOptions[] = {
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(state.cert.c_str())},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(state.key.c_str())},
        {MHD_OPTION_END, 0, nullptr}};
    if (state.tls)
        flags |= MHD_USE_TLS;
    else
        tlsOptions[0].option = MHD_OPTION_END;
    state.daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &onRequest, &state, MHD_OPTION_CONNECTION_LIMIT,
        config.maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, config.maxConnectionsPerAddress,
        MHD_OPTION_CONNECTION_TIMEOUT, config.requestTimeoutSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, config.connectionMemory, MHD_OPTION_NOTIFY_COMPLETED,
        &onCompleted, nullptr, MHD_OPTION_ARRAY, tlsOptions, MHD_OPTION_END);
    if (state.daemon == nullptr) {
        error = "cannot listen on " + config.listen;
        return false;
    }
    state.wake = eventfd(0, EFD_CLOEXEC);
    if (state.wake < 0) {
        error = "cannot make an eventfd";
        return false;
    }
    state.loop = std::thread(serve, std::ref(state));
    return true;
}

uint16_t Server::port() const {
    if (state_ == nullptr || state_->daemon == nullptr)
        return 0;
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(state_->listen, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return 0;
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port
                     : reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
}

void Server::stop() {
    if (state_ == nullptr)
        return;
    State &state = *state_;
    if (state.loop.joinable()) {
        uint64_t one = 1;
        if (write(state.wake, &one, sizeof one) == sizeof one)
            state.loop.join();
        else
            state.loop.detach(); /* cannot happen with an eventfd; never join a loop that runs on */
    }
    if (state.daemon != nullptr) {
        // Suspended streams are resumed and ended before the daemon goes.
        state.events->endAll();
        MHD_run(state.daemon);
        MHD_stop_daemon(state.daemon);
    }
    if (state.wake >= 0)
        close(state.wake);
    if (state.listen >= 0)
        close(state.listen);
    state_.reset();
}

} // namespace zebhttpd
