/*
 * The daemon's bus server: accepts clients on a Unix socket, reads framed
 * requests, runs them through the operation table and queues the replies and
 * notifications, all on one libuv loop.
 */
#ifndef ZEBD_SERVER_HPP
#define ZEBD_SERVER_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>
#include <uv.h>

#include "zeb/sl.h"
#include "zeb_bus_message.hpp"
#include "zeb_access.hpp"

namespace zebd {

using zeb_access::AccessRules;
using zeb_access::Caller;

/* Bytes of replies and notifications a client may have waiting to be sent
 * (a frame counts whole until it is written); one that lets more pile up (it
 * stopped reading) is dropped. */
constexpr size_t kMaxClientOutput = 8u * 1024u * 1024u;

/* Bytes of output all open connections together may have waiting. Past it,
 * the connections whose output has waited longest without a write going
 * through (the slowest readers, in practice subscribers) are dropped first. */
constexpr size_t kMaxTotalOutput = 32u * 1024u * 1024u;

struct OutputBounds {
    size_t perClient = kMaxClientOutput;
    size_t total = kMaxTotalOutput;
};

/* Output held by the open connections: bytes queued and not yet written
 * (frames count whole), now, and the most that one connection and all of
 * them together held at any moment. */
struct OutputCounts {
    size_t held = 0;
    size_t mostByOne = 0;
    size_t mostByAll = 0;
};

/* Connections served at once. A further one takes the place of the
 * connection that has waited longest in the middle of a frame, if any, and is
 * closed at once otherwise. */
constexpr size_t kMaxClients = 256;

/* Subscriptions one client may hold; further ones are refused. */
constexpr size_t kMaxSubscriptionsPerClient = 64;

/* Distinct refusals traced per connection; later ones are not traced. */
constexpr size_t kMaxRefusalsTraced = 32;

class Server;
struct Client;

/* One subscription of a client, the user data given to zeb_subscribe. */
struct Subscription {
    Client *client = nullptr;
    uint32_t id = 0;
};

struct Client {
    uv_pipe_t pipe{};
    Server *server = nullptr;
    std::string input; /* bytes received; from `consumed` on not yet handled */
    size_t consumed = 0;
    uint64_t lastInput = 0; /* the loop's time of the last bytes received */
    std::vector<std::unique_ptr<Subscription>> subscriptions;
    Caller caller;                     /* the peer's credentials at accept time */
    std::vector<std::string> refusals; /* refusals traced already */
    size_t held = 0;                   /* bytes of frames queued and not yet written */
    uint64_t outputSince = 0;          /* the loop's time held output last moved or began */
    bool ending = false;               /* no more messages are read or sent */
    bool closing = false;              /* uv_close was called */
};

class Server {
  public:
    /* The server uses `loop` and serves `context`; neither is owned. */
    Server(uv_loop_t *loop, zeb_t *context, OutputBounds bounds = OutputBounds());
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    /* Checks that `path` is free for a new socket: nothing or a stale socket
     * file (no daemon accepts on it) is there; a live one, or a file that is
     * not a socket, makes it fail with *error set. Call before loading
     * plug-ins so that a second daemon gives up before it starts anything. */
    static bool claimSocketPath(const std::string &path, std::string *error);

    /* Binds the socket (mode 0660) under a temporary name beside `path`
     * (`path`.PID), starts accepting and only then renames it to `path`,
     * replacing a stale socket: a socket found at `path` always answers. The
     * check of claimSocketPath is made again at the rename, one daemon at a
     * time. False with *error set when the socket cannot be created or
     * `path` was taken meanwhile. */
    bool listen(const std::string &path, std::string *error);

    /* Stops accepting, closes every client and removes the socket file. The
     * loop ends once the handles are closed. */
    void stop();

    zeb_t *context() const { return context_; }

    OutputCounts outputCounts() const { return output_; }

    /* From now on, every request and notification is checked against
     * `rules` (not owned; it must outlive the server). Null: everything is
     * allowed. */
    void setAccessRules(const AccessRules *rules) { rules_ = rules; }
    const AccessRules *accessRules() const { return rules_; }

    /* Traces a refusal at warning level, once per connection and refusal
     * until the rules change (rulesChanged). */
    void traceRefusal(Client &client, const std::string &what);

    /* The access rules were read again: refusals are traced anew. */
    void rulesChanged();

    /* Encodes `message` and queues it for the client. A message that cannot
     * be encoded is replaced by an error reply carrying `id`, unless it is a
     * notification (id 0), which is dropped. */
    void send(Client &client, const zeb_bus::Message &message, uint32_t id);

    /* Subscribes the client to notifications under `path` (null: all).
     * Returns the id, or 0 with zeb_error set. */
    uint32_t subscribe(Client &client, const char *path);

    /* Ends one of the client's own subscriptions; false when it holds none
     * with that id. */
    bool unsubscribe(Client &client, uint32_t id);

  private:
    static void onConnection(uv_stream_t *listener, int status);
    static void onAlloc(uv_handle_t *handle, size_t suggested, uv_buf_t *buffer);
    static void onRead(uv_stream_t *stream, ssize_t nread, const uv_buf_t *buffer);
    static void onWritten(uv_write_t *request, int status);
    static void onShutdown(uv_shutdown_t *request, int status);
    static void onClientClosed(uv_handle_t *handle);
    static void onNotification(void *userData, const notification_t *notification);

    void accept();
    /* Closes the connection that has waited longest in the middle of a
     * frame; false when no connection holds part of a frame. */
    bool dropStalledClient(const Client &spared);
    void handleInput(Client &client);
    void handleMessage(Client &client, const char *body, size_t size);
    void sendError(Client &client, uint32_t id, uint32_t code, const std::string &message,
                   const std::string &parameter = std::string());
    /* False with *failure set when the message cannot be encoded. */
    bool queueMessage(Client &client, const zeb_bus::Message &message, uint32_t *failure);
    void queueFrame(Client &client, char *frame, size_t size);
    /* Drops the slowest connections until `size` more bytes fit in the total
     * bound; false when `client` itself was dropped. */
    bool makeRoom(const Client &client, size_t size);
    /* Sends what is queued, then closes the connection. */
    void endClient(Client &client);
    void closeClient(Client &client);

    uv_loop_t *loop_;
    zeb_t *context_;
    const AccessRules *rules_ = nullptr;
    OutputBounds bounds_;
    OutputCounts output_;
    uv_pipe_t listener_{};
    bool listening_ = false;
    std::string socketPath_; /* the socket this server bound, removed at stop */
    ino_t socketInode_ = 0;
    std::vector<Client *> clients_;
    char readBuffer_[64 * 1024];
};

} // namespace zebd

#endif
