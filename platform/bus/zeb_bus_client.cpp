#include "zeb/bus.h"

#include "zeb/error.h"
#include "zeb_bus_message.hpp"
#include "zeb_no_throw.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using zeb_bus::Message;

namespace {

constexpr size_t kMaxPendingNotifications = 4096;
constexpr size_t kReadChunk = 64 * 1024;

class Deadline {
  public:
    explicit Deadline(int milliseconds) : forever_(milliseconds < 0) {
        clock_gettime(CLOCK_MONOTONIC, &end_);
        if (forever_)
            return;
        end_.tv_sec += milliseconds / 1000;
        end_.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
        if (end_.tv_nsec >= 1000000000L) {
            end_.tv_sec += 1;
            end_.tv_nsec -= 1000000000L;
        }
    }

    int remaining() const {
        if (forever_)
            return -1;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long ms = (static_cast<long long>(end_.tv_sec) - now.tv_sec) * 1000LL +
                       (end_.tv_nsec - now.tv_nsec) / 1000000L;
        return ms <= 0 ? 0 : static_cast<int>(ms);
    }

  private:
    bool forever_;
    timespec end_{};
};

// The error reply, with id 0, that the daemon gives to a frame it could not
// read: too large or too deep (limit), or unreadable, not a map or without a
// valid id (invalid argument).
bool isUnreadableRequestError(const Message &message) {
    const variant_map_t *error = message.mapField(zeb_bus::kError);
    if (error == nullptr || message.has(zeb_bus::kResult))
        return false;
    uint32_t code = zeb_bus::readError(error).code;
    return code == ZEB_ERROR_INVALID_ARGUMENT || code == ZEB_ERROR_LIMIT;
}

} // namespace

struct zeb_bus_client {
    int fd = -1;
    int timeoutMs = ZEB_BUS_DEFAULT_TIMEOUT_MS;
    uint32_t lastId = 0;
    // Requests sent whose reply has not come yet, oldest first: the current
    // one, after those whose wait timed out. The daemon answers in order.
    std::deque<uint32_t> unanswered;
    std::string input; // bytes received, from `consumed` on not yet decoded
    size_t consumed = 0;
    std::deque<Message> notifications;
    uint32_t errorCode = ZEB_ERROR_NONE;
    std::string errorMessage;
    std::string errorParameter;

    bool fail(uint32_t code, const char *format, ...) __attribute__((format(printf, 3, 4)));
    void clearError();
    void disconnect();
    bool sendAll(const char *data, size_t size, const Deadline &deadline);
    bool readMessage(const Deadline &deadline, Message &message);
    bool takeFrame(Message &message, bool &complete);
    void keepNotification(Message &message);
    bool matchReply(const Message &message, uint32_t &answered);
    bool exchange(const variant_map_t *fields, variant_t *result, variant_map_t *reply);
};

bool zeb_bus_client::fail(uint32_t code, const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    errorCode = code;
    errorMessage = text;
    errorParameter.clear();
    return false;
}

void zeb_bus_client::clearError() {
    errorCode = ZEB_ERROR_NONE;
    errorMessage.clear();
    errorParameter.clear();
}

void zeb_bus_client::disconnect() {
    if (fd >= 0)
        close(fd);
    fd = -1;
    input.clear();
    consumed = 0;
    unanswered.clear();
}

bool zeb_bus_client::sendAll(const char *data, size_t size, const Deadline &deadline) {
    size_t sent = 0;
    while (sent < size) {
        pollfd p{fd, POLLOUT, 0};
        int ready = poll(&p, 1, deadline.remaining());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            // Half a frame on the wire would garble everything after it.
            if (sent > 0)
                disconnect();
            return fail(ZEB_BUS_ERROR_TIMEOUT, "timed out sending to the daemon");
        }
        ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0) {
            int error = errno;
            disconnect();
            return fail(ZEB_BUS_ERROR_DISCONNECTED, "connection lost: %s", std::strerror(error));
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool zeb_bus_client::takeFrame(Message &message, bool &complete) {
    complete = false;
    size_t available = input.size() - consumed;
    if (available < 4)
        return true;
    uint32_t body = zeb_bus_frameBodySize(input.data() + consumed);
    if (body > ZEB_BUS_MAX_MESSAGE_SIZE) {
        disconnect();
        return fail(ZEB_BUS_ERROR_PROTOCOL, "the daemon sent an oversized message");
    }
    if (available < 4 + static_cast<size_t>(body))
        return true;
    const char *why = "";
    uint32_t failure = zeb_bus_decodeBody(input.data() + consumed + 4, body, message.get(), &why);
    consumed += 4 + static_cast<size_t>(body);
    if (consumed == input.size()) {
        input.clear();
        consumed = 0;
    }
    if (failure != ZEB_ERROR_NONE || message.map() == nullptr) {
        disconnect();
        return fail(ZEB_BUS_ERROR_PROTOCOL, "unreadable message from the daemon: %s",
                    failure != ZEB_ERROR_NONE ? why : "not a map");
    }
    complete = true;
    return true;
}

bool zeb_bus_client::readMessage(const Deadline &deadline, Message &message) {
    for (;;) {
        if (fd < 0)
            return fail(ZEB_BUS_ERROR_DISCONNECTED, "not connected");
        bool complete = false;
        if (!takeFrame(message, complete))
            return false;
        if (complete)
            return true;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, deadline.remaining());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return fail(ZEB_BUS_ERROR_TIMEOUT, "timed out waiting for the daemon");
        if (consumed > 0) {
            input.erase(0, consumed);
            consumed = 0;
        }
        size_t old = input.size();
        input.resize(old + kReadChunk);
        ssize_t n = recv(fd, &input[old], kReadChunk, MSG_DONTWAIT);
        input.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0) {
            int error = n < 0 ? errno : 0;
            disconnect();
            return fail(ZEB_BUS_ERROR_DISCONNECTED, "the daemon closed the connection%s%s",
                        error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
        }
    }
}

void zeb_bus_client::keepNotification(Message &message) {
    if (notifications.size() >= kMaxPendingNotifications)
        notifications.pop_front();
    notifications.emplace_back(std::move(message));
}

bool zeb_bus_client::matchReply(const Message &message, uint32_t &answered) {
    uint32_t replyId = 0;
    bool hasId = message.integerField(zeb_bus::kId, replyId);
    if (!unanswered.empty() && hasId &&
        (replyId == unanswered.front() || (replyId == 0 && isUnreadableRequestError(message)))) {
        answered = unanswered.front();
        unanswered.pop_front();
        return true;
    }
    uint32_t awaited = unanswered.empty() ? 0 : unanswered.front();
    // Replies can no longer be paired with requests.
    disconnect();
    if (!hasId)
        return fail(ZEB_BUS_ERROR_PROTOCOL, "the daemon sent a reply without a valid id");
    if (awaited == 0)
        return fail(ZEB_BUS_ERROR_PROTOCOL, "the daemon sent a reply (id %u) to no request",
                    replyId);
    return fail(ZEB_BUS_ERROR_PROTOCOL, "the daemon answered request %u with id %u", awaited,
                replyId);
}

bool zeb_bus_client::exchange(const variant_map_t *fields, variant_t *result,
                              variant_map_t *reply) {
    clearError();
    if (fd < 0)
        return fail(ZEB_BUS_ERROR_DISCONNECTED, "not connected");
    uint32_t id = ++lastId;
    if (id == 0)
        id = lastId = 1;
    Message request;
    if (!request.setMap() || !request.addInteger(zeb_bus::kId, id) || !request.appendCopies(fields))
        return fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    char *frame = nullptr;
    size_t size = 0;
    uint32_t failure = zeb_bus_encodeFrame(request.get(), &frame, &size);
    if (failure != ZEB_ERROR_NONE)
        return fail(failure, "cannot send the request: %s",
                    failure == ZEB_ERROR_LIMIT  ? "too large or nested too deep"
                    : failure == ZEB_ERROR_TYPE ? "a value of unknown type"
                                                : "out of memory");
    std::unique_ptr<char, decltype(&std::free)> owned(frame, std::free);
    unanswered.push_back(id);
    Deadline deadline(timeoutMs);
    if (!sendAll(frame, size, deadline)) {
        if (fd >= 0)
            unanswered.pop_back(); // timed out before any of it was sent
        return false;
    }
    owned.reset();
    for (;;) {
        Message message;
        if (!readMessage(deadline, message))
            return false;
        if (zeb_bus::isNotification(message)) {
            keepNotification(message);
            continue;
        }
        uint32_t answered = 0;
        if (!matchReply(message, answered))
            return false;
        if (answered != id)
            continue; // the late reply to a request that timed out
        if (const variant_map_t *error = message.mapField(zeb_bus::kError)) {
            zeb_bus::ErrorFields e = zeb_bus::readError(error);
            errorCode = e.code != ZEB_ERROR_NONE ? e.code : ZEB_ERROR_REFUSED;
            errorMessage = e.message;
            errorParameter = e.parameter;
            return false;
        }
        if (result != nullptr && !message.takeField(zeb_bus::kResult, result))
            return fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        if (reply != nullptr) {
            variant_map_cleanup(reply);
            if (!variant_map_copy(reply, message.map()))
                return fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        }
        return true;
    }
}

namespace {

// Runs `body` and turns an allocation failure into ZEB_ERROR_NO_MEMORY, so
// that no exception leaves the C interface.
template <typename R, typename F> R guarded(zeb_bus_client_t *client, R failed, F &&body) {
    return zeb_nothrow::run(
        zeb_nothrow::Mapping::OutOfMemory, failed,
        [client](uint32_t code, const char *text) { client->fail(code, "%s", text); },
        std::forward<F>(body));
}

bool argumentFailure(zeb_bus_client_t *client, const char *function) {
    if (client != nullptr)
        client->fail(ZEB_ERROR_INVALID_ARGUMENT, "%s: invalid argument", function);
    return false;
}

bool connectSocket(zeb_bus_client_t *client, const char *path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path)
        return client->fail(ZEB_ERROR_INVALID_ARGUMENT, "socket path too long: %s", path);
    std::strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return client->fail(ZEB_BUS_ERROR_UNREACHABLE, "socket: %s", std::strerror(errno));
    Deadline deadline(client->timeoutMs);
    for (;;) {
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            break;
        int error = errno;
        // A full listen backlog: the daemon is busy; try again until the deadline.
        if ((error == EAGAIN || error == EINTR) && deadline.remaining() > 0) {
            poll(nullptr, 0, 10);
            continue;
        }
        close(fd);
        if (error == EAGAIN)
            return client->fail(ZEB_BUS_ERROR_TIMEOUT, "the daemon at %s did not accept in time",
                                path);
        if (error == EACCES || error == EPERM)
            return client->fail(ZEB_BUS_ERROR_DENIED, "permission denied to connect to %s: %s",
                                path, std::strerror(error));
        return client->fail(ZEB_BUS_ERROR_UNREACHABLE, "no daemon at %s: %s", path,
                            std::strerror(error));
    }
    client->fd = fd;
    return true;
}

bool addText(Message &request, const char *key, const char *value) {
    return value == nullptr || request.addText(key, value);
}

} // namespace

extern "C" {

zeb_bus_client_t *zeb_bus_client_create(void) {
    return new (std::nothrow) zeb_bus_client;
}

void zeb_bus_client_destroy(zeb_bus_client_t *client) {
    if (client == nullptr)
        return;
    client->disconnect();
    delete client;
}

bool zeb_bus_client_setTimeout(zeb_bus_client_t *client, int milliseconds) {
    if (client == nullptr || milliseconds < 1)
        return argumentFailure(client, __func__);
    client->timeoutMs = milliseconds;
    return true;
}

bool zeb_bus_client_connect(zeb_bus_client_t *client, const char *socketPath) {
    if (client == nullptr)
        return false;
    client->clearError();
    client->disconnect();
    client->notifications.clear();
    const char *path = socketPath != nullptr ? socketPath : zeb_bus_defaultSocket();
    return guarded(client, false, [&] { return connectSocket(client, path); });
}

int zeb_bus_client_fd(const zeb_bus_client_t *client) {
    return client != nullptr ? client->fd : -1;
}

size_t zeb_bus_client_pending(const zeb_bus_client_t *client) {
    return client != nullptr ? client->notifications.size() : 0;
}

uint32_t zeb_bus_client_errorCode(const zeb_bus_client_t *client) {
    return client != nullptr ? client->errorCode : ZEB_ERROR_INVALID_ARGUMENT;
}

const char *zeb_bus_client_errorMessage(const zeb_bus_client_t *client) {
    return client != nullptr ? client->errorMessage.c_str() : "no client";
}

const char *zeb_bus_client_errorParameter(const zeb_bus_client_t *client) {
    return client != nullptr ? client->errorParameter.c_str() : "";
}

bool zeb_bus_request(zeb_bus_client_t *client, const variant_map_t *request, variant_t *result,
                     variant_map_t *reply) {
    if (client == nullptr || request == nullptr)
        return argumentFailure(client, __func__);
    return guarded(client, false, [&] { return client->exchange(request, result, reply); });
}

bool zeb_bus_call(zeb_bus_client_t *client, const char *objectPath, const char *function,
                  const variant_t *args, variant_t *retval, variant_map_t *outargs) {
    variant_type_t argsType = variant_type(args);
    if (client == nullptr || objectPath == nullptr || function == nullptr ||
        (argsType != variant_type_unknown && argsType != variant_type_map &&
         argsType != variant_type_array))
        return argumentFailure(client, __func__);
    return guarded(client, false, [&] {
        Message request;
        Message reply;
        if (!request.setMap() || !request.addText(zeb_bus::kOp, "call") ||
            !request.addText(zeb_bus::kPath, objectPath) ||
            !request.addText(zeb_bus::kFunction, function) ||
            (argsType != variant_type_unknown && !request.add(zeb_bus::kArgs, args)) ||
            !reply.setMap())
            return client->fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        if (!client->exchange(request.map(), retval, reply.map()))
            return false;
        if (outargs != nullptr) {
            variant_map_cleanup(outargs);
            const variant_map_t *returned = reply.mapField(zeb_bus::kOutargs);
            if (returned != nullptr && !variant_map_copy(outargs, returned))
                return client->fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        }
        return true;
    });
}

bool zeb_bus_get(zeb_bus_client_t *client, const char *path, bool recursive, variant_t *result) {
    if (client == nullptr || path == nullptr)
        return argumentFailure(client, __func__);
    return guarded(client, false, [&] {
        Message request;
        if (!request.setMap() || !request.addText(zeb_bus::kOp, "get") ||
            !request.addText(zeb_bus::kPath, path) ||
            (recursive && !request.addBool(zeb_bus::kRecursive, true)))
            return client->fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        return client->exchange(request.map(), result, nullptr);
    });
}

bool zeb_bus_set(zeb_bus_client_t *client, const char *objectPath, const variant_map_t *values) {
    if (client == nullptr || objectPath == nullptr || values == nullptr)
        return argumentFailure(client, __func__);
    return guarded(client, false, [&] {
        Message request;
        variant_map_t copy;
        variant_map_initialize(&copy);
        bool built = request.setMap() && request.addText(zeb_bus::kOp, "set") &&
                     request.addText(zeb_bus::kPath, objectPath) &&
                     variant_map_copy(&copy, values) && request.addMapMove(zeb_bus::kValues, &copy);
        variant_map_cleanup(&copy);
        if (!built)
            return client->fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        return client->exchange(request.map(), nullptr, nullptr);
    });
}

char *zeb_bus_add(zeb_bus_client_t *client, const char *templatePath, const char *key,
                  const variant_map_t *values) {
    if (client == nullptr || templatePath == nullptr) {
        argumentFailure(client, __func__);
        return nullptr;
    }
    return guarded(client, static_cast<char *>(nullptr), [&]() -> char * {
        Message request;
        variant_map_t copy;
        variant_map_initialize(&copy);
        bool built =
            request.setMap() && request.addText(zeb_bus::kOp, "add") &&
            request.addText(zeb_bus::kPath, templatePath) && addText(request, zeb_bus::kKey, key) &&
            (values == nullptr ||
             (variant_map_copy(&copy, values) && request.addMapMove(zeb_bus::kValues, &copy)));
        variant_map_cleanup(&copy);
        if (!built) {
            client->fail(ZEB_ERROR_NO_MEMORY, "out of memory");
            return nullptr;
        }
        Message result;
        if (!client->exchange(request.map(), result.get(), nullptr))
            return nullptr;
        const char *path = variant_da_char(result.get());
        if (path == nullptr) {
            client->fail(ZEB_BUS_ERROR_PROTOCOL, "the daemon did not name the new instance");
            return nullptr;
        }
        char *copyOfPath = strdup(path);
        if (copyOfPath == nullptr)
            client->fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        return copyOfPath;
    });
}

bool zeb_bus_delete(zeb_bus_client_t *client, const char *instancePath) {
    if (client == nullptr || instancePath == nullptr)
        return argumentFailure(client, __func__);
    return guarded(client, false, [&] {
        Message request;
        if (!request.setMap() || !request.addText(zeb_bus::kOp, "del") ||
            !request.addText(zeb_bus::kPath, instancePath))
            return client->fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        return client->exchange(request.map(), nullptr, nullptr);
    });
}

bool zeb_bus_list(zeb_bus_client_t *client, const char *path, variant_t *result) {
    if (client == nullptr)
        return argumentFailure(client, __func__);
    return guarded(client, false, [&] {
        Message request;
        if (!request.setMap() || !request.addText(zeb_bus::kOp, "list") ||
            !addText(request, zeb_bus::kPath, path))
            return client->fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        return client->exchange(request.map(), result, nullptr);
    });
}

uint32_t zeb_bus_subscribe(zeb_bus_client_t *client, const char *path) {
    if (client == nullptr) {
        argumentFailure(client, __func__);
        return 0;
    }
    return guarded(client, 0u, [&]() -> uint32_t {
        Message request;
        if (!request.setMap() || !request.addText(zeb_bus::kOp, "subscribe") ||
            !addText(request, zeb_bus::kPath, path)) {
            client->fail(ZEB_ERROR_NO_MEMORY, "out of memory");
            return 0;
        }
        Message result;
        if (!client->exchange(request.map(), result.get(), nullptr))
            return 0;
        uint32_t id = 0;
        if (!Message::toUInt32(result.get(), id) || id == 0) {
            client->fail(ZEB_BUS_ERROR_PROTOCOL, "the daemon did not give a subscription id");
            return 0;
        }
        return id;
    });
}

bool zeb_bus_unsubscribe(zeb_bus_client_t *client, uint32_t subscription) {
    if (client == nullptr)
        return argumentFailure(client, __func__);
    return guarded(client, false, [&] {
        Message request;
        if (!request.setMap() || !request.addText(zeb_bus::kOp, "unsubscribe") ||
            !request.addInteger(zeb_bus::kSubscription, subscription))
            return client->fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        return client->exchange(request.map(), nullptr, nullptr);
    });
}

bool zeb_bus_notification_initialize(zeb_bus_notification_t *notification) {
    if (notification == nullptr)
        return false;
    notification->subscription = 0;
    notification->type = 0;
    notification->name = nullptr;
    notification->path = nullptr;
    return variant_map_initialize(&notification->parameters);
}

void zeb_bus_notification_cleanup(zeb_bus_notification_t *notification) {
    if (notification == nullptr)
        return;
    std::free(notification->name);
    std::free(notification->path);
    notification->name = nullptr;
    notification->path = nullptr;
    notification->subscription = 0;
    notification->type = 0;
    variant_map_cleanup(&notification->parameters);
}

bool zeb_bus_receiveNotification(zeb_bus_client_t *client, int timeoutMs,
                                 zeb_bus_notification_t *notification) {
    if (client == nullptr || notification == nullptr)
        return argumentFailure(client, __func__);
    return guarded(client, false, [&] {
        client->clearError();
        Deadline deadline(timeoutMs);
        while (client->notifications.empty()) {
            Message message;
            if (!client->readMessage(deadline, message))
                return false;
            uint32_t answered = 0;
            if (zeb_bus::isNotification(message))
                client->keepNotification(message);
            else if (!client->matchReply(message, answered))
                return false;
            // Else the late reply to a request that timed out.
        }
        Message message = std::move(client->notifications.front());
        client->notifications.pop_front();
        zeb_bus_notification_cleanup(notification);
        message.integerField(zeb_bus::kSubscription, notification->subscription);
        message.integerField(zeb_bus::kType, notification->type);
        const char *name = message.textField(zeb_bus::kName);
        const char *path = message.textField(zeb_bus::kPath);
        notification->name = strdup(name != nullptr ? name : "");
        notification->path = strdup(path != nullptr ? path : "");
        const variant_map_t *parameters = message.mapField(zeb_bus::kParameters);
        if (notification->name == nullptr || notification->path == nullptr ||
            (parameters != nullptr && !variant_map_copy(&notification->parameters, parameters))) {
            zeb_bus_notification_cleanup(notification);
            return client->fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        }
        return true;
    });
}

} // extern "C"
