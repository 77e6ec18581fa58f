#include "zebd_server.hpp"

#include "zebd_operations.hpp"

#include "keltrace/keltrace.h"
#include "zeb/bus.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using zeb_bus::Message;

namespace zebd {

namespace {

const char *const kZone = "bus";

struct WriteRequest {
    uv_write_t request{};
    char *frame = nullptr;
    size_t size = 0;
};

uv_stream_t *streamOf(Client &client) {
    return reinterpret_cast<uv_stream_t *>(&client.pipe);
}

bool fillSocketAddress(const std::string &path, sockaddr_un &address, std::string *error) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        *error = "socket path too long: " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

/* The name of a user, empty when it has none. */
std::string userName(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::string();
    return found->pw_name;
}

/* The supplementary groups of the peer as the kernel saw them when it
 * connected; false where the kernel cannot tell (before Linux 4.13). */
bool peerGroups(int fd, std::vector<gid_t> &groups) {
#ifdef SO_PEERGROUPS
    std::vector<gid_t> found(32);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto size = static_cast<socklen_t>(found.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, found.data(), &size) == 0) {
            found.resize(size / sizeof(gid_t));
            groups.insert(groups.end(), found.begin(), found.end());
            return true;
        }
        if (errno != ERANGE)
            return false;
        found.resize(size / sizeof(gid_t) + 1);
    }
#else
    (void)fd;
    (void)groups;
#endif
    return false;
}

/* The groups the user database gives `name` besides `gid`. */
void databaseGroups(const std::string &name, gid_t gid, std::vector<gid_t> &groups) {
    if (name.empty())
        return;
    std::vector<gid_t> found(64);
    int count = static_cast<int>(found.size());
    if (getgrouplist(name.c_str(), gid, found.data(), &count) < 0) {
        found.resize(static_cast<size_t>(count));
        if (getgrouplist(name.c_str(), gid, found.data(), &count) < 0)
            return;
    }
    groups.insert(groups.end(), found.begin(), found.begin() + count);
}

constexpr uid_t kUnidentified = zeb_access::kNoUser;

/* Who is at the other end of the client's socket; a peer that cannot be
 * identified is nobody (no uid, no group) and no rule applies to it. */
void identifyPeer(Client &client) {
    client.caller.uid = kUnidentified;
    client.caller.groups.clear();
    uv_os_fd_t fd = -1;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (uv_fileno(reinterpret_cast<uv_handle_t *>(&client.pipe), &fd) != 0 ||
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return;
    client.caller.uid = credentials.uid;
    client.caller.groups.push_back(credentials.gid);
    if (!peerGroups(fd, client.caller.groups))
        databaseGroups(userName(credentials.uid), credentials.gid, client.caller.groups);
}

/* "uid N (name)" for messages; the user database is read only when a
 * refusal is traced, not for every connection. */
std::string describeCaller(const Caller &caller) {
    if (caller.uid == kUnidentified)
        return "an unidentified peer";
    std::string text = "uid " + std::to_string(caller.uid);
    std::string name = userName(caller.uid);
    if (!name.empty())
        text += " (" + name + ")";
    return text;
}

} // namespace

Server::Server(uv_loop_t *loop, zeb_t *context, OutputBounds bounds)
    : loop_(loop), context_(context), bounds_(bounds) {}

Server::~Server() = default;

namespace {

enum class PathState { kFree, kStale, kTaken };

/* What is at `path`: nothing, a socket nobody accepts on (left by a daemon
 * that died), or something else (a daemon that answers, a file that is not a
 * socket, a path that cannot be checked), with *error set. */
PathState socketPathState(const std::string &path, std::string *error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return PathState::kFree;
        *error = path + ": " + std::strerror(errno);
        return PathState::kTaken;
    }
    if (!S_ISSOCK(st.st_mode)) {
        *error = path + " exists and is not a socket";
        return PathState::kTaken;
    }
    sockaddr_un address;
    if (!fillSocketAddress(path, address, error))
        return PathState::kTaken;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return PathState::kTaken;
    }
    int status = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    int cause = errno;
    close(fd);
    if (status == 0 || cause == EAGAIN) {
        *error = "a daemon already serves " + path;
        return PathState::kTaken;
    }
    if (cause != ECONNREFUSED) {
        *error = path + ": " + std::strerror(cause);
        return PathState::kTaken;
    }
    return PathState::kStale;
}

/* Moves the listening socket `temporary` to `path`, over a stale socket if
 * one is there. Daemons starting together take turns through a lock on the
 * directory: the later one finds the earlier one's socket answering. */
bool placeSocket(const std::string &temporary, const std::string &path, std::string *error) {
    std::string parent = std::filesystem::path(path).parent_path().string();
    int directory = open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0)
        flock(directory, LOCK_EX);
    PathState state = socketPathState(path, error);
    bool placed = state != PathState::kTaken && rename(temporary.c_str(), path.c_str()) == 0;
    if (state != PathState::kTaken && !placed)
        *error = "cannot move the socket to " + path + ": " + std::strerror(errno);
    if (directory >= 0)
        close(directory);
    if (placed && state == PathState::kStale)
        kelTraceZ(KELTRACE_LEVEL_NOTICE, kZone, "removed the stale socket %s", path.c_str());
    return placed;
}

} // namespace

bool Server::claimSocketPath(const std::string &path, std::string *error) {
    return socketPathState(path, error) != PathState::kTaken;
}

bool Server::listen(const std::string &path, std::string *error) {
    // Bound and listening under another name first: whoever finds a socket
    // at `path` finds one that answers.
    const std::string temporary = path + "." + std::to_string(getpid());
    sockaddr_un unused;
    if (!fillSocketAddress(temporary, unused, error))
        return false;
    uv_pipe_init(loop_, &listener_, 0);
    listener_.data = this;
    listening_ = true;
    // The umask makes the socket 0660 from the start: no moment where
    // anybody may connect.
    mode_t previous = umask(0117);
    int status = uv_pipe_bind(&listener_, temporary.c_str());
    umask(previous);
    if (status != 0) {
        *error = "cannot bind " + temporary + ": " + uv_strerror(status);
        return false;
    }
    struct stat st {};
    if (lstat(temporary.c_str(), &st) == 0)
        socketInode_ = st.st_ino;
    chmod(temporary.c_str(), 0660);
    status = uv_listen(reinterpret_cast<uv_stream_t *>(&listener_), 128, onConnection);
    if (status != 0)
        *error = "cannot listen on " + temporary + ": " + uv_strerror(status);
    if (status != 0 || !placeSocket(temporary, path, error)) {
        unlink(temporary.c_str());
        return false;
    }
    socketPath_ = path;
    kelTraceZ(KELTRACE_LEVEL_NOTICE, kZone, "serving on %s", path.c_str());
    return true;
}

void Server::stop() {
    if (listening_) {
        // Only our own socket: a daemon started after us may own the path now.
        // Removed before it stops answering, as it appeared only once it did.
        struct stat st {};
        if (!socketPath_.empty() && lstat(socketPath_.c_str(), &st) == 0 &&
            st.st_ino == socketInode_)
            unlink(socketPath_.c_str());
        socketPath_.clear();
        uv_close(reinterpret_cast<uv_handle_t *>(&listener_), nullptr);
        listening_ = false;
    }
    for (Client *client : clients_)
        closeClient(*client);
}

void Server::onConnection(uv_stream_t *listener, int status) {
    auto *server = static_cast<Server *>(listener->data);
    if (status < 0) {
        kelTraceZ(KELTRACE_LEVEL_WARNING, kZone, "accept failed: %s", uv_strerror(status));
        return;
    }
    server->accept();
}

void Server::accept() {
    auto *client = new (std::nothrow) Client;
    if (client == nullptr)
        return;
    client->server = this;
    uv_pipe_init(loop_, &client->pipe, 0);
    client->pipe.data = client;
    try {
        clients_.push_back(client);
    } catch (...) {
        client->closing = true;
        uv_close(reinterpret_cast<uv_handle_t *>(&client->pipe),
                 [](uv_handle_t *h) { delete static_cast<Client *>(h->data); });
        return;
    }
    if (uv_accept(reinterpret_cast<uv_stream_t *>(&listener_), streamOf(*client)) != 0) {
        closeClient(*client);
        return;
    }
    // Connections being closed are on their way out: they do not count.
    size_t open = static_cast<size_t>(std::count_if(clients_.begin(), clients_.end(),
                                                    [](const Client *c) { return !c->closing; }));
    if (open > kMaxClients && !dropStalledClient(*client)) {
        kelTraceZ(KELTRACE_LEVEL_WARNING, kZone, "too many clients: refusing a connection");
        closeClient(*client);
        return;
    }
    if (rules_ != nullptr) {
        try {
            identifyPeer(*client);
        } catch (...) {
            closeClient(*client);
            return;
        }
    }
    client->lastInput = uv_now(loop_);
    uv_read_start(streamOf(*client), onAlloc, onRead);
}

// Connections that began a frame and stopped sending would otherwise keep
// every other client out once they are as many as the limit.
bool Server::dropStalledClient(const Client &spared) {
    Client *stalled = nullptr;
    for (Client *client : clients_) {
        if (client != &spared && !client->closing && !client->input.empty() &&
            (stalled == nullptr || client->lastInput < stalled->lastInput))
            stalled = client;
    }
    if (stalled == nullptr)
        return false;
    kelTraceZ(KELTRACE_LEVEL_WARNING, kZone,
              "too many clients: dropping one that stopped in the middle of a frame");
    closeClient(*stalled);
    return true;
}

void Server::onAlloc(uv_handle_t *handle, size_t, uv_buf_t *buffer) {
    Server *server = static_cast<Client *>(handle->data)->server;
    *buffer = uv_buf_init(server->readBuffer_, sizeof server->readBuffer_);
}

void Server::onRead(uv_stream_t *stream, ssize_t nread, const uv_buf_t *buffer) {
    auto *client = static_cast<Client *>(stream->data);
    if (nread < 0) {
        client->server->closeClient(*client);
        return;
    }
    if (nread == 0 || client->ending)
        return;
    client->lastInput = uv_now(client->server->loop_);
    try {
        client->input.append(buffer->base, static_cast<size_t>(nread));
    } catch (...) {
        kelTraceZ(KELTRACE_LEVEL_ERROR, kZone, "out of memory: dropping a client");
        client->server->closeClient(*client);
        return;
    }
    client->server->handleInput(*client);
}

void Server::handleInput(Client &client) {
    while (!client.ending) {
        size_t available = client.input.size() - client.consumed;
        if (available < 4)
            break;
        const char *header = client.input.data() + client.consumed;
        uint32_t body = zeb_bus_frameBodySize(header);
        if (body > ZEB_BUS_MAX_MESSAGE_SIZE) {
            // The body is never read: the connection cannot find the next
            // frame, so it ends after the error reply.
            sendError(client, 0, ZEB_ERROR_LIMIT,
                      "message of " + std::to_string(body) + " bytes exceeds the limit of " +
                          std::to_string(ZEB_BUS_MAX_MESSAGE_SIZE));
            endClient(client);
            return;
        }
        // The rest of the frame is awaited; room grows with what arrives, not
        // with what the header announces.
        if (available - 4 < body)
            break;
        handleMessage(client, header + 4, body);
        client.consumed += 4 + body;
    }
    if (client.consumed == client.input.size()) {
        client.input.clear();
        client.consumed = 0;
    } else if (client.consumed > 0) {
        client.input.erase(0, client.consumed);
        client.consumed = 0;
    }
}

void Server::handleMessage(Client &client, const char *body, size_t size) {
    Message request;
    const char *why = "";
    uint32_t failure = zeb_bus_decodeBody(body, size, request.get(), &why);
    if (failure != ZEB_ERROR_NONE) {
        sendError(client, 0, failure, std::string("unreadable request: ") + why);
        return;
    }
    uint32_t id = 0;
    if (request.map() == nullptr || !request.integerField(zeb_bus::kId, id) || id == 0) {
        sendError(client, 0, ZEB_ERROR_INVALID_ARGUMENT,
                  "a request is a map with an \"id\" above 0");
        return;
    }
    Reply reply;
    try {
        runOperation(*this, client, request, reply);
    } catch (...) {
        reply.fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    }
    if (reply.error != ZEB_ERROR_NONE) {
        sendError(client, id, reply.error, reply.message, reply.parameter);
        return;
    }
    Message answer;
    if (!answer.setMap() || !answer.addInteger(zeb_bus::kId, id) ||
        !answer.addMove(zeb_bus::kResult, reply.result.get()) ||
        !answer.appendCopies(reply.fields.map())) {
        sendError(client, id, ZEB_ERROR_NO_MEMORY, "out of memory");
        return;
    }
    send(client, answer, id);
}

void Server::send(Client &client, const Message &message, uint32_t id) {
    uint32_t failure = ZEB_ERROR_NONE;
    if (queueMessage(client, message, &failure))
        return;
    if (zeb_bus::isNotification(message)) {
        kelTraceZ(KELTRACE_LEVEL_WARNING, kZone, "notification not sent: too large or too deep");
        return;
    }
    sendError(client, id, failure,
              failure == ZEB_ERROR_LIMIT ? "the reply is too large or nested too deep to be sent"
                                         : "the reply cannot be encoded");
}

void Server::sendError(Client &client, uint32_t id, uint32_t code, const std::string &text,
                       const std::string &parameter) {
    Message message;
    variant_map_t error;
    variant_map_initialize(&error);
    variant_t codeValue;
    variant_initialize(&codeValue, variant_type_unknown);
    bool built = variant_setInt64(&codeValue, code) &&
                 variant_map_add(&error, zeb_bus::kCode, &codeValue) &&
                 variant_map_addChar(&error, zeb_bus::kMessage, text.c_str()) &&
                 (parameter.empty() ||
                  variant_map_addChar(&error, zeb_bus::kParameter, parameter.c_str())) &&
                 message.setMap() && message.addInteger(zeb_bus::kId, id) &&
                 message.addMapMove(zeb_bus::kError, &error);
    variant_cleanup(&codeValue);
    variant_map_cleanup(&error);
    uint32_t failure = ZEB_ERROR_NONE;
    if (!built || !queueMessage(client, message, &failure))
        kelTraceZ(KELTRACE_LEVEL_ERROR, kZone, "cannot send an error reply");
}

bool Server::queueMessage(Client &client, const Message &message, uint32_t *failure) {
    if (client.ending)
        return true;
    char *frame = nullptr;
    size_t size = 0;
    *failure = zeb_bus_encodeFrame(message.get(), &frame, &size);
    if (*failure != ZEB_ERROR_NONE)
        return false;
    queueFrame(client, frame, size);
    return true;
}

void Server::queueFrame(Client &client, char *frame, size_t size) {
    if (client.ending) {
        std::free(frame);
        return;
    }
    if (client.held + size > bounds_.perClient) {
        kelTraceZ(KELTRACE_LEVEL_WARNING, kZone,
                  "dropping a client that does not read (%zu bytes waiting)", client.held);
        std::free(frame);
        closeClient(client);
        return;
    }
    if (!makeRoom(client, size)) {
        std::free(frame);
        return;
    }
    auto *write = new (std::nothrow) WriteRequest;
    if (write == nullptr) {
        std::free(frame);
        closeClient(client);
        return;
    }
    write->frame = frame;
    write->size = size;
    uv_buf_t buffer = uv_buf_init(frame, static_cast<unsigned int>(size));
    if (uv_write(&write->request, streamOf(client), &buffer, 1, onWritten) != 0) {
        std::free(frame);
        delete write;
        closeClient(client);
        return;
    }
    if (client.held == 0)
        client.outputSince = uv_now(loop_);
    client.held += size;
    output_.held += size;
    output_.mostByOne = std::max(output_.mostByOne, client.held);
    output_.mostByAll = std::max(output_.mostByAll, output_.held);
}

bool Server::makeRoom(const Client &client, size_t size) {
    while (output_.held + size > bounds_.total) {
        Client *slowest = nullptr;
        for (Client *c : clients_) {
            if (!c->closing && c->held > 0 &&
                (slowest == nullptr || c->outputSince < slowest->outputSince ||
                 (c->outputSince == slowest->outputSince && c->held > slowest->held)))
                slowest = c;
        }
        if (slowest == nullptr)
            return true; // a bound below one frame: the frame goes alone
        kelTraceZ(KELTRACE_LEVEL_WARNING, kZone,
                  "output of all clients over %zu bytes: dropping the slowest reader (%zu bytes "
                  "waiting)",
                  bounds_.total, slowest->held);
        closeClient(*slowest);
        if (slowest == &client)
            return false;
    }
    return true;
}

void Server::onWritten(uv_write_t *request, int status) {
    auto *write = reinterpret_cast<WriteRequest *>(request);
    auto *client = static_cast<Client *>(request->handle->data);
    client->held -= write->size;
    if (!client->closing) {
        client->server->output_.held -= write->size;
        client->outputSince = uv_now(client->server->loop_);
    }
    std::free(write->frame);
    delete write;
    if (status < 0 && status != UV_ECANCELED)
        client->server->closeClient(*client);
}

void Server::endClient(Client &client) {
    if (client.ending)
        return;
    client.ending = true;
    uv_read_stop(streamOf(client));
    auto *request = new (std::nothrow) uv_shutdown_t;
    if (request == nullptr || uv_shutdown(request, streamOf(client), onShutdown) != 0) {
        delete request;
        closeClient(client);
    }
}

void Server::onShutdown(uv_shutdown_t *request, int) {
    auto *client = static_cast<Client *>(request->handle->data);
    delete request;
    client->server->closeClient(*client);
}

void Server::closeClient(Client &client) {
    if (client.closing)
        return;
    output_.held -= client.held; // released as the connection closes
    client.closing = true;
    client.ending = true;
    uv_close(reinterpret_cast<uv_handle_t *>(&client.pipe), onClientClosed);
}

// Runs from the loop, never inside a notification being delivered, so the
// subscriptions can go here.
void Server::onClientClosed(uv_handle_t *handle) {
    auto *client = static_cast<Client *>(handle->data);
    Server *server = client->server;
    for (const auto &subscription : client->subscriptions)
        zeb_unsubscribe(server->context_, subscription->id);
    auto it = std::find(server->clients_.begin(), server->clients_.end(), client);
    if (it != server->clients_.end())
        server->clients_.erase(it);
    delete client;
}

void Server::onNotification(void *userData, const notification_t *notification) {
    auto *subscription = static_cast<Subscription *>(userData);
    Client &client = *subscription->client;
    if (client.ending)
        return;
    const AccessRules *rules = client.server->rules_;
    const char *path = notification_objectPath(notification);
    if (rules != nullptr && !rules->allowsNotification(client.caller, path != nullptr ? path : ""))
        return;
    Message message;
    if (!notificationMessage(notification, subscription->id, message)) {
        kelTraceZ(KELTRACE_LEVEL_ERROR, kZone, "out of memory: notification dropped");
        return;
    }
    client.server->send(client, message, 0);
}

void Server::traceRefusal(Client &client, const std::string &what) {
    if (client.refusals.size() >= kMaxRefusalsTraced ||
        std::find(client.refusals.begin(), client.refusals.end(), what) != client.refusals.end())
        return;
    client.refusals.push_back(what);
    kelTraceZ(KELTRACE_LEVEL_WARNING, kZone, "permission denied: %s may not %s",
              describeCaller(client.caller).c_str(), what.c_str());
}

void Server::rulesChanged() {
    for (Client *client : clients_)
        client->refusals.clear();
}

uint32_t Server::subscribe(Client &client, const char *path) {
    if (client.subscriptions.size() >= kMaxSubscriptionsPerClient) {
        zeb_setError(ZEB_ERROR_LIMIT, "a client may hold %zu subscriptions",
                     kMaxSubscriptionsPerClient);
        return 0;
    }
    auto subscription = std::make_unique<Subscription>();
    subscription->client = &client;
    client.subscriptions.reserve(client.subscriptions.size() + 1);
    uint32_t id = zeb_subscribe(context_, path, onNotification, subscription.get());
    if (id == 0)
        return 0;
    subscription->id = id;
    client.subscriptions.push_back(std::move(subscription));
    return id;
}

bool Server::unsubscribe(Client &client, uint32_t id) {
    auto &list = client.subscriptions;
    auto it = std::find_if(list.begin(), list.end(),
                           [id](const std::unique_ptr<Subscription> &s) { return s->id == id; });
    if (it == list.end())
        return false;
    zeb_unsubscribe(context_, id);
    list.erase(it);
    return true;
}

} // namespace zebd
