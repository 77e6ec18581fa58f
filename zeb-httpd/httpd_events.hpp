/*
 * GET /events: the bus's notifications as server-sent events. The bridge
 * holds one subscription of its own to the whole tree on a bus connection
 * kept for it, reconnected and subscribed again when the daemon comes back,
 * and fans each notification out to the streams whose paths cover it and
 * whose session may see it. Recent events stay in a bounded ring, so that a
 * client reconnecting with Last-Event-ID gets what it missed, or a "reset"
 * event when that is no longer known.
 *
 * Each stream is a libmicrohttpd response read through a callback: the
 * connection is suspended while nothing waits for it and resumed when an
 * event comes. Used from the server's one thread only.
 */
#ifndef ZEB_HTTPD_EVENTS_HPP
#define ZEB_HTTPD_EVENTS_HPP

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <poll.h>

#include "httpd_access.hpp"
#include "httpd_sessions.hpp"
#include "zeb/bus.h"

struct MHD_Connection;
struct MHD_Response;

namespace zebhttpd {

struct EventLimits {
    size_t streams = 32;             /* open streams in all: 503 beyond */
    size_t streamsPerSession = 4;    /* 429 beyond */
    size_t pathsPerStream = 16;      /* "path" arguments: 400 beyond */
    size_t streamBytes = 256 * 1024; /* unsent bytes of one stream before it is closed */
    size_t ringEvents = 256;         /* recent events kept for Last-Event-ID */
    size_t ringBytes = 1024 * 1024;
    double keepAliveSeconds = 20; /* a comment line on a stream quiet this long */
    double reconnectSeconds = 1;  /* between attempts to reach the daemon */
    unsigned closeTimeoutSeconds =
        10;             /* a stream closed for lagging waits this long for its reader */
    int retryMs = 3000; /* the reconnect hint sent to the browser */
};

/* One event as sent: its id's number, what filters it, and its text. */
struct Event {
    uint64_t number;
    std::string path; /* without a trailing dot */
    std::string name;
    std::string text; /* "id: ...\nevent: ...\ndata: ...\n\n" */
};

class Events {
  public:
    struct Stream;

    Events(std::string socket, Sessions &sessions, const Access &access, EventLimits limits);
    ~Events();
    Events(const Events &) = delete;
    Events &operator=(const Events &) = delete;

    /* The descriptor to poll for notifications, -1 while not connected. */
    int fd() const;
    /* Milliseconds until run() has something to do without a notification
     * (a reconnection, a keep-alive); -1 when nothing is due. */
    int timeoutMs(double now) const;
    /* Takes the notifications received, connects again when it is time and
     * sends keep-alives; resumes the streams that got something. */
    void run(double now);

    /* Adds the sockets of the suspended streams to `fds`, to learn when
     * their readers hang up; closeHungUp() then ends those streams, given
     * `fds` as poll() left it and where the sockets added began. */
    void watch(std::vector<pollfd> &fds) const;
    void closeHungUp(const std::vector<pollfd> &fds, size_t first);

    /* Answers GET /events on `connection`: the HTTP status and, for 200, the
     * response to queue (the caller adds its headers and queues it). `paths`
     * are the "path" arguments ("" or none: everything), `lastEventId` the
     * header or null. */
    int open(MHD_Connection *connection, const std::string &sessionId,
             const std::vector<std::string> &paths, const char *lastEventId, double now,
             MHD_Response *&response);

    /* Ends every stream (the server stops): they are resumed so that
     * libmicrohttpd can close them. */
    void endAll();

    /* A stream's response is gone (its connection closed): called by
     * libmicrohttpd through the response, never directly. */
    void forget(const Stream *stream);

  private:
    void connect(double now);
    void receive(double now);
    size_t publish(const zeb_bus_notification_t &notification, double now); /* its size */
    void publishReset(double now);
    bool wants(const Stream &stream, const Event &event, double now) const;
    void send(Stream &stream, const std::string &text, double now);
    void end(Stream &stream);
    void resume(Stream &stream);
    std::string resetText() const;
    void replay(Stream &stream, const char *lastEventId, double now);
    void checkStreams(double now);

    std::string socket_;
    Sessions &sessions_;
    const Access &access_;
    EventLimits limits_;
    std::string run_; /* distinguishes the ids of this run from an earlier one's */
    zeb_bus_client_t *client_ = nullptr;
    double nextConnect_ = 0;
    bool everConnected_ = false;
    bool resumed_ = false; /* a stream was resumed since the last run() */
    bool more_ = false;    /* notifications may wait: run() again at once */
    uint64_t lastNumber_ = 0;
    uint64_t firstKept_ = 1; /* events before this one are no longer known */
    std::deque<Event> ring_;
    size_t ringBytes_ = 0;
    std::list<std::unique_ptr<Stream>> streams_;
};

/* True when a stream asking for `wanted` ("" for everything; a trailing dot
 * is ignored) gets a notification of the object at `path`: the same path or
 * one below it ("Phonebook" covers "Phonebook.Entry.1", not "PhonebookX"). */
bool pathCovers(const std::string &wanted, const std::string &path);

} // namespace zebhttpd

#endif
