/*
 * libzeb_bus: the bus between the daemon (zebd) and its clients. The wire
 * codec (framed MessagePack messages holding variants) and the client
 * library. docs/wire-protocol.md describes the messages.
 *
 * A message is a variant map. On the wire it is one frame: a 4-byte
 * big-endian body length, then the body, one MessagePack value. Every variant
 * type survives the trip, including the width of integers, date-times (the
 * MessagePack timestamp extension) and maps with their order and repeated
 * keys.
 *
 * Ownership rules:
 * - Frames from zeb_bus_encodeFrame and texts returned as char* are new and
 *   freed by the caller with free().
 * - Variants and maps passed in are copied or only read; results are written
 *   into initialized variants and maps that the caller owns and cleans up.
 * - A zeb_bus_notification_t filled by zeb_bus_receiveNotification owns its
 *   texts and parameters until zeb_bus_notification_cleanup.
 *
 * Failure rules: the codec returns an error code (0 on success). Client calls
 * return false, null or 0 on failure and leave the reason on the client:
 * zeb_bus_client_errorCode() is a ZEB_ERROR_* code of zeb/error.h when the daemon
 * (or the local encoder) refused the request, or a ZEB_BUS_ERROR_* code below
 * when the daemon could not be reached or did not answer in time. Null
 * arguments fail with ZEB_ERROR_INVALID_ARGUMENT unless a function says that
 * it accepts null.
 *
 * A client is used by one thread at a time; clients are independent.
 */
#ifndef ZEB_BUS_H
#define ZEB_BUS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "zeb/error.h"
#include "zeb/variant.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What follows is the library's interface, exported from it; the rest of
 * the library is hidden. */
#pragma GCC visibility push(default)

/* ---- Limits and defaults ----------------------------------------------------- */

/* Largest body of one frame, in bytes. A peer that announces more is dropped
 * without its body being read. */
#define ZEB_BUS_MAX_MESSAGE_SIZE (4u * 1024u * 1024u)

/* Deepest nesting of lists and maps in one message; the message's own map
 * counts as the first level. */
#define ZEB_BUS_MAX_DEPTH 32

/* Milliseconds a client waits for the daemon unless told otherwise. */
#define ZEB_BUS_DEFAULT_TIMEOUT_MS 5000

/* The socket of the installed daemon, built into the library:
 * "/run/zeb/zeb.sock" (where the packaged service listens) unless the build
 * chose another with the CMake cache variable ZEB_DEFAULT_SOCKET. Never a
 * directory anybody may write to, where any local user could plant a daemon
 * of their own. Constant, never null. */
const char *zeb_bus_builtinSocket(void);

/* The socket path to use when the user gave none: the value of the
 * environment variable ZEB_SOCKET when it is set and not empty, else
 * zeb_bus_builtinSocket(). Never null; the text belongs to the environment or
 * is constant and must not be freed. */
const char *zeb_bus_defaultSocket(void);

/* ---- Client-side error codes ------------------------------------------------------ */

#define ZEB_BUS_ERROR_UNREACHABLE 0x20001u  /* no daemon listens on the socket */
#define ZEB_BUS_ERROR_TIMEOUT 0x20002u      /* the daemon did not answer in time */
#define ZEB_BUS_ERROR_DISCONNECTED 0x20003u /* the connection is closed or broken */
/* The daemon sent something unreadable, or a reply to no request of ours. */
#define ZEB_BUS_ERROR_PROTOCOL 0x20004u
/* The socket's permissions (or those of a directory on its path) do not let
 * this process connect: a daemon may well be running. */
#define ZEB_BUS_ERROR_DENIED 0x20005u

/* True for the ZEB_BUS_ERROR_* codes: the request may not have reached the
 * daemon at all. */
bool zeb_bus_isTransportError(uint32_t code);

/* ---- Codec ------------------------------------------------------------------------ */

/* Encodes `message` (any variant; a map for a protocol message) as a frame:
 * length prefix and body. On success *frame is a new buffer of *size bytes,
 * freed by the caller. Fails with ZEB_ERROR_LIMIT when the body would exceed
 * ZEB_BUS_MAX_MESSAGE_SIZE or nest deeper than ZEB_BUS_MAX_DEPTH,
 * ZEB_ERROR_TYPE for a variant of unknown type, ZEB_ERROR_NO_MEMORY, or
 * ZEB_ERROR_INVALID_ARGUMENT for null arguments; *frame is then untouched. */
uint32_t zeb_bus_encodeFrame(const variant_t *message, char **frame, size_t *size);

/* The body length announced by a 4-byte frame header. */
uint32_t zeb_bus_frameBodySize(const void *header);

/* Decodes one frame body (without its length prefix) into `message`
 * (initialized; its old content is replaced). The whole body is checked
 * before anything is built: a body larger than ZEB_BUS_MAX_MESSAGE_SIZE or
 * nesting deeper than ZEB_BUS_MAX_DEPTH fails with ZEB_ERROR_LIMIT; a body
 * that is not exactly one MessagePack value of the supported kinds (see
 * docs/wire-protocol.md: no binary data, text keys, no NUL in texts, known
 * extension types) fails with ZEB_ERROR_INVALID_ARGUMENT. `message` is
 * unchanged on failure. When `why` is not null it receives a constant text
 * telling the reason (never to be freed), or "" on success. */
uint32_t zeb_bus_decodeBody(const void *body, size_t size, variant_t *message, const char **why);

/* ---- Client ------------------------------------------------------------------------ */

typedef struct zeb_bus_client zeb_bus_client_t;

/* A new, unconnected client whose calls wait at most
 * ZEB_BUS_DEFAULT_TIMEOUT_MS; null when memory runs out. */
zeb_bus_client_t *zeb_bus_client_create(void);

/* Closes the connection and releases the client. Accepts null. */
void zeb_bus_client_destroy(zeb_bus_client_t *client);

/* Sets how long each later call may wait for the daemon, in milliseconds
 * (at least 1). */
bool zeb_bus_client_setTimeout(zeb_bus_client_t *client, int milliseconds);

/* Connects to the daemon's Unix socket at `socketPath` (null: the default
 * socket), waiting at most the client's timeout. Fails with
 * ZEB_BUS_ERROR_UNREACHABLE when no daemon listens there,
 * ZEB_BUS_ERROR_DENIED when the process may not connect to it (the message
 * names the socket) and ZEB_BUS_ERROR_TIMEOUT when it does not accept in
 * time. A connected client
 * is first disconnected. */
bool zeb_bus_client_connect(zeb_bus_client_t *client, const char *socketPath);

/* The connection's file descriptor (readable when a message from the daemon
 * waits on the socket), or -1 when not connected. It stays owned by the
 * client.
 *
 * Driving a client from poll: notifications that arrive while a call waits
 * for its reply are read off the socket and queued inside the client, so the
 * descriptor does not signal them. Before each poll, take the queued ones
 * (while zeb_bus_client_pending() is above 0, zeb_bus_receiveNotification
 * with a timeout of 0); when the descriptor is readable, call
 * zeb_bus_receiveNotification with a timeout of 0 until it fails with
 * ZEB_BUS_ERROR_TIMEOUT. */
int zeb_bus_client_fd(const zeb_bus_client_t *client);

/* Notifications received and queued, not yet taken by
 * zeb_bus_receiveNotification; 0 for null. */
size_t zeb_bus_client_pending(const zeb_bus_client_t *client);

/* The failure of the client's last failing call: a code (0 when none failed
 * yet), a one-line message (never null, "" when none) and, when the daemon
 * refused a value, the parameter it named (else ""). Texts stay valid until
 * the next call on the client. */
uint32_t zeb_bus_client_errorCode(const zeb_bus_client_t *client);
const char *zeb_bus_client_errorMessage(const zeb_bus_client_t *client);
const char *zeb_bus_client_errorParameter(const zeb_bus_client_t *client);

/* Sends one request and waits for its reply. `request` holds the operation
 * ("op") and its fields; the client adds the request id. On success, the
 * reply's "result" (empty when it has none) goes to `result` and, when
 * `reply` is not null, the whole reply map goes to `reply`. Either may be
 * null. Fails when the daemon answers with an error (its code, message and
 * refused parameter are kept) or cannot be reached; notifications that
 * arrive meanwhile are kept for zeb_bus_receiveNotification.
 *
 * The daemon answers in order, so each reply must carry the id of the oldest
 * request still waiting: this one, or one whose wait timed out (that late
 * reply is skipped). The only reply without that id is the daemon's id-0
 * error to a frame it could not read (code ZEB_ERROR_INVALID_ARGUMENT or
 * ZEB_ERROR_LIMIT, no result), taken as the answer to that request. Any other
 * reply fails the call with ZEB_BUS_ERROR_PROTOCOL and closes the connection,
 * since later replies could no longer be told apart. The calls below pair
 * their replies the same way. */
bool zeb_bus_request(zeb_bus_client_t *client, const variant_map_t *request, variant_t *result,
                     variant_map_t *reply);

/* Calls `function` of the object at `objectPath`. `args` is a map for named
 * arguments, a list for positional ones, or null (or the empty variant) for
 * none. The return value goes to `retval` and the out-arguments the function
 * left to `outargs`; both may be null. */
bool zeb_bus_call(zeb_bus_client_t *client, const char *objectPath, const char *function,
                  const variant_t *args, variant_t *retval, variant_map_t *outargs);

/* The value of a parameter, or a map of an object's parameters (with
 * `recursive`, of its descendants too), into `result`. */
bool zeb_bus_get(zeb_bus_client_t *client, const char *path, bool recursive, variant_t *result);

/* Sets several parameters of one object in one transaction: all or none. A
 * refused value's parameter is told by zeb_bus_client_errorParameter. */
bool zeb_bus_set(zeb_bus_client_t *client, const char *objectPath, const variant_map_t *values);

/* Adds an instance to the template at `templatePath` with an optional key
 * and values (null for none). Returns the new instance's path, instances
 * named by key, as a new text freed by the caller; null on failure. */
char *zeb_bus_add(zeb_bus_client_t *client, const char *templatePath, const char *key,
                  const variant_map_t *values);

/* Deletes the instance at `instancePath`. */
bool zeb_bus_delete(zeb_bus_client_t *client, const char *instancePath);

/* What is below `path` (null or "": the top) into `result`: a map with
 * "objects", "parameters" and "functions". */
bool zeb_bus_list(zeb_bus_client_t *client, const char *path, variant_t *result);

/* Subscribes to the notifications whose object path is `path` or lies below
 * it (null or "": all of them). Returns the subscription id (above 0), or 0
 * on failure. */
uint32_t zeb_bus_subscribe(zeb_bus_client_t *client, const char *path);

/* Ends one of this client's subscriptions; an id the client does not hold
 * fails with ZEB_ERROR_NOT_FOUND. */
bool zeb_bus_unsubscribe(zeb_bus_client_t *client, uint32_t subscription);

/* A notification pushed by the daemon. */
typedef struct zeb_bus_notification {
    uint32_t subscription; /* the subscription it matched */
    uint32_t type;
    char *name;
    char *path;
    variant_map_t parameters;
} zeb_bus_notification_t;

/* Makes an empty notification; always true for a non-null one. */
bool zeb_bus_notification_initialize(zeb_bus_notification_t *notification);
/* Releases the content; the notification is then empty. Accepts null. */
void zeb_bus_notification_cleanup(zeb_bus_notification_t *notification);

/* Takes the oldest notification received, waiting at most `timeoutMs`
 * milliseconds (0: do not wait; below 0: wait as long as it takes) for one to
 * arrive. The previous content of `notification` (initialized) is released.
 * Fails with ZEB_BUS_ERROR_TIMEOUT when none came. Late replies to requests
 * whose wait timed out are skipped; a reply to no request of the client fails
 * as in zeb_bus_request. A client keeps at most
 * 4096 unread notifications and forgets the oldest beyond that. */
bool zeb_bus_receiveNotification(zeb_bus_client_t *client, int timeoutMs,
                                 zeb_bus_notification_t *notification);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
