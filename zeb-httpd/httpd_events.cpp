#include "httpd_events.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <microhttpd.h>
#include <poll.h>
#include <sys/random.h>

#include "zeb_variant_json.hpp"

namespace zebhttpd {

using zeb_json::json;

struct Events::Stream {
    Events *events;
    MHD_Connection *connection;
    std::string sessionId;
    std::vector<std::string> paths; /* without trailing dots; empty: everything */
    std::deque<std::string> pending;
    size_t offset = 0; /* bytes of pending.front() already handed out */
    size_t bytes = 0;  /* unsent bytes in pending */
    double lastSent = 0;
    bool suspended = false;
    bool ending = false; /* no more events: the stream ends once pending is sent */
};

namespace {

/* The most a stream's response takes from its queue at once, in each run
 * of libmicrohttpd. */
constexpr size_t kBlock = 16 * 1024;
/* Bytes of events taken from the bus in one run(): less than a block, so
 * that a stream whose reader keeps up drains faster than it fills. */
constexpr size_t kBatchBytes = kBlock / 2;

std::string withoutTrailingDot(std::string path) {
    if (!path.empty() && path.back() == '.')
        path.pop_back();
    return path;
}

// A field of an event stream ends at a line break, so none may hold one.
std::string oneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

std::string newRun() {
    uint32_t bits = 0;
    if (getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits))
        bits = static_cast<uint32_t>(time(nullptr));
    char text[9];
    std::snprintf(text, sizeof text, "%08" PRIx32, bits);
    return text;
}

ssize_t readStream(void *cls, uint64_t, char *buffer, size_t max) {
    auto &stream = *static_cast<Events::Stream *>(cls);
    if (stream.pending.empty()) {
        if (stream.ending)
            return MHD_CONTENT_READER_END_OF_STREAM;
        // Nothing to send: the connection sleeps until an event resumes it.
        MHD_suspend_connection(stream.connection);
        stream.suspended = true;
        return 0;
    }
    size_t written = 0;
    while (written < max && !stream.pending.empty()) {
        const std::string &front = stream.pending.front();
        size_t n = std::min(max - written, front.size() - stream.offset);
        std::memcpy(buffer + written, front.data() + stream.offset, n);
        written += n;
        stream.offset += n;
        if (stream.offset == front.size()) {
            stream.pending.pop_front();
            stream.offset = 0;
        }
    }
    stream.bytes -= written;
    return static_cast<ssize_t>(written);
}

void freeStream(void *cls) {
    auto *stream = static_cast<Events::Stream *>(cls);
    stream->events->forget(stream);
}

} // namespace

bool pathCovers(const std::string &wanted, const std::string &path) {
    std::string prefix = withoutTrailingDot(wanted);
    if (prefix.empty())
        return true;
    if (path.compare(0, prefix.size(), prefix) != 0)
        return false;
    return path.size() == prefix.size() || path[prefix.size()] == '.';
}

Events::Events(std::string socket, Sessions &sessions, const Access &access, EventLimits limits)
    : socket_(std::move(socket)), sessions_(sessions), access_(access), limits_(limits),
      run_(newRun()) {}

Events::~Events() {
    zeb_bus_client_destroy(client_);
}

int Events::fd() const {
    return client_ != nullptr ? zeb_bus_client_fd(client_) : -1;
}

int Events::timeoutMs(double now) const {
    if (resumed_ || more_)
        return 0;
    double due = client_ == nullptr ? nextConnect_ : -1;
    for (const auto &stream : streams_) {
        if (stream->ending)
            continue;
        double keepAlive = stream->lastSent + limits_.keepAliveSeconds;
        due = due < 0 ? keepAlive : std::min(due, keepAlive);
    }
    if (due < 0)
        return -1;
    return due <= now ? 0 : static_cast<int>((due - now) * 1000) + 1;
}

void Events::run(double now) {
    resumed_ = false;
    if (client_ == nullptr && now >= nextConnect_)
        connect(now);
    receive(now);
    checkStreams(now);
}

void Events::connect(double now) {
    nextConnect_ = now + limits_.reconnectSeconds;
    client_ = zeb_bus_client_create();
    if (client_ != nullptr && zeb_bus_client_connect(client_, socket_.c_str()) &&
        zeb_bus_subscribe(client_, "") != 0) {
        // What happened while the daemon was away is lost: clients reload.
        if (everConnected_)
            publishReset(now);
        everConnected_ = true;
        return;
    }
    zeb_bus_client_destroy(client_);
    client_ = nullptr;
}

// A burst is taken a few notifications at a time, so that the streams' data
// goes out between them: a reader that keeps up never lags for a burst
// (an import) alone.
void Events::receive(double now) {
    zeb_bus_notification_t notification;
    zeb_bus_notification_initialize(&notification);
    size_t taken = 0;
    while (client_ != nullptr && taken < kBatchBytes &&
           zeb_bus_receiveNotification(client_, 0, &notification))
        taken += publish(notification, now);
    zeb_bus_notification_cleanup(&notification);
    more_ = taken >= kBatchBytes;
    if (!more_ && client_ != nullptr &&
        zeb_bus_client_errorCode(client_) != ZEB_BUS_ERROR_TIMEOUT) {
        zeb_bus_client_destroy(client_);
        client_ = nullptr;
        nextConnect_ = now + limits_.reconnectSeconds;
    }
}

size_t Events::publish(const zeb_bus_notification_t &notification, double now) {
    variant_t parameters;
    variant_initialize(&parameters, variant_type_unknown);
    json data = {{"path", notification.path != nullptr ? notification.path : ""},
                 {"name", notification.name != nullptr ? notification.name : ""}};
    // Parameters without a JSON form (a double that is not finite) go as
    // null: the event itself is not lost.
    json values;
    bool mapped = variant_setMap(&parameters, &notification.parameters) &&
                  zeb_json::variantToJson(&parameters, values);
    data["parameters"] = mapped ? std::move(values) : json();
    variant_cleanup(&parameters);
    Event event{++lastNumber_, withoutTrailingDot(data["path"].get<std::string>()),
                data["name"].get<std::string>(), ""};
    event.text = "id: " + run_ + "-" + std::to_string(event.number) +
                 "\nevent: " + oneLine(event.name) +
                 "\ndata: " + data.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
    ring_.push_back(event);
    ringBytes_ += event.text.size();
    while (ring_.size() > limits_.ringEvents || ringBytes_ > limits_.ringBytes) {
        ringBytes_ -= ring_.front().text.size();
        ring_.pop_front();
        firstKept_ = ring_.empty() ? lastNumber_ + 1 : ring_.front().number;
    }
    for (auto &stream : streams_) {
        if (wants(*stream, event, now))
            send(*stream, event.text, now);
    }
    return event.text.size();
}

void Events::publishReset(double now) {
    ring_.clear();
    ringBytes_ = 0;
    firstKept_ = lastNumber_ + 1;
    for (auto &stream : streams_)
        send(*stream, resetText(), now);
}

// Carries the id of the latest event, so that a client that reloaded and
// reconnects with it misses nothing sent afterwards.
std::string Events::resetText() const {
    return "id: " + run_ + "-" + std::to_string(lastNumber_) + "\nevent: reset\ndata: {}\n\n";
}

bool Events::wants(const Stream &stream, const Event &event, double now) const {
    const Session *session = sessions_.find(stream.sessionId, now);
    if (session == nullptr)
        return false;
    bool covered = stream.paths.empty() ||
                   std::any_of(stream.paths.begin(), stream.paths.end(),
                               [&](const std::string &p) { return pathCovers(p, event.path); });
    return covered && access_.maySee(*session, event.path, event.name);
}

// A reader too far behind gets a last reset event in place of what it has
// not read yet (but the rest of an event it began reading), then the end.
void Events::send(Stream &stream, const std::string &text, double now) {
    if (stream.ending)
        return;
    if (stream.bytes + text.size() > limits_.streamBytes) {
        while (stream.pending.size() > (stream.offset > 0 ? 1u : 0u)) {
            stream.bytes -= stream.pending.back().size();
            stream.pending.pop_back();
        }
        stream.pending.push_back(resetText());
        stream.bytes += stream.pending.back().size();
        end(stream);
        MHD_set_connection_option(stream.connection, MHD_CONNECTION_OPTION_TIMEOUT,
                                  limits_.closeTimeoutSeconds);
        return;
    }
    stream.pending.push_back(text);
    stream.bytes += text.size();
    stream.lastSent = now;
    resume(stream);
}

// libmicrohttpd takes a resumed connection up at its next run, which the
// loop must then not delay.
void Events::resume(Stream &stream) {
    if (stream.suspended) {
        stream.suspended = false;
        resumed_ = true;
        MHD_resume_connection(stream.connection);
    }
}

void Events::end(Stream &stream) {
    stream.ending = true;
    resume(stream);
}

void Events::checkStreams(double now) {
    for (auto &stream : streams_) {
        if (stream->ending)
            continue;
        if (sessions_.find(stream->sessionId, now) == nullptr)
            end(*stream);
        else if (now - stream->lastSent >= limits_.keepAliveSeconds)
            send(*stream, ":\n\n", now);
    }
}

void Events::replay(Stream &stream, const char *lastEventId, double now) {
    if (lastEventId == nullptr)
        return;
    std::string id = lastEventId;
    std::string prefix = run_ + "-";
    uint64_t number = 0;
    bool known = id.size() > prefix.size() && id.compare(0, prefix.size(), prefix) == 0 &&
                 id.find_first_not_of("0123456789", prefix.size()) == std::string::npos &&
                 id.size() - prefix.size() <= 19;
    if (known)
        number = std::stoull(id.substr(prefix.size()));
    if (!known || number > lastNumber_ || number + 1 < firstKept_) {
        send(stream, resetText(), now);
        return;
    }
    for (const Event &event : ring_) {
        if (event.number > number && wants(stream, event, now))
            send(stream, event.text, now);
    }
}

int Events::open(MHD_Connection *connection, const std::string &sessionId,
                 const std::vector<std::string> &paths, const char *lastEventId, double now,
                 MHD_Response *&response) {
    if (sessionId.empty() || sessions_.use(sessionId, now) == nullptr)
        return 401;
    if (paths.size() > limits_.pathsPerStream)
        return 400;
    if (streams_.size() >= limits_.streams)
        return 503;
    auto mine =
        static_cast<size_t>(std::count_if(streams_.begin(), streams_.end(), [&](const auto &s) {
            return s->sessionId == sessionId;
        }));
    if (mine >= limits_.streamsPerSession)
        return 429;
    auto stream = std::make_unique<Stream>();
    stream->events = this;
    stream->connection = connection;
    stream->sessionId = sessionId;
    for (const std::string &path : paths) {
        if (!withoutTrailingDot(path).empty())
            stream->paths.push_back(withoutTrailingDot(path));
    }
    if (stream->paths.size() < paths.size())
        stream->paths.clear(); /* one path asked for everything */
    send(*stream, "retry: " + std::to_string(limits_.retryMs) + "\n\n", now);
    replay(*stream, lastEventId, now);
    response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kBlock, readStream, stream.get(),
                                                 freeStream);
    if (response == nullptr)
        return 500;
    // The stream lives as long as its reader reads; a lagging one gets a
    // timeout again when it is closed.
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
    streams_.push_back(std::move(stream));
    return 200;
}

void Events::watch(std::vector<pollfd> &fds) const {
    for (const auto &stream : streams_) {
        const MHD_ConnectionInfo *info =
            stream->suspended
                ? MHD_get_connection_info(stream->connection, MHD_CONNECTION_INFO_CONNECTION_FD)
                : nullptr;
        if (info != nullptr)
            fds.push_back({info->connect_fd, POLLRDHUP, 0});
    }
}

// libmicrohttpd does not watch a suspended connection: a reader that went
// away is seen here, and its stream resumed so that the connection closes.
void Events::closeHungUp(const std::vector<pollfd> &fds, size_t first) {
    for (size_t i = first; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0)
            continue;
        for (auto &stream : streams_) {
            const MHD_ConnectionInfo *info =
                MHD_get_connection_info(stream->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            if (stream->suspended && info != nullptr && info->connect_fd == fds[i].fd)
                end(*stream);
        }
    }
}

void Events::forget(const Stream *stream) {
    streams_.remove_if([&](const auto &s) { return s.get() == stream; });
}

void Events::endAll() {
    for (auto &stream : streams_)
        end(*stream);
}

} // namespace zebhttpd
