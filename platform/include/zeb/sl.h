/*
 * libzeb_sl: the service layer of the host. Host contexts that load
 * definitions and their plug-ins, function calls with argument lists, timers
 * on one clock, and notifications to subscribers.
 *
 * Ownership rules:
 * - A host context owns its data model, its plug-ins and its subscriptions.
 * - An argument list (argument_value_list_t, an llist_t of argument_value_t)
 *   owns its arguments; a taken argument belongs to the caller, who releases
 *   it with argument_valueDestroy. Texts and lists returned by argument_take*
 *   are new and released by the caller (free; variant_list_cleanup + free).
 * - A notification belongs to its creator, who destroys it after sending; a
 *   parameter added to a notification belongs to the notification.
 * - A timer belongs to its creator until zeb_timer_destroy.
 *
 * Failure rules: as libzeb_dm (zeb/dm.h): false, null or 0, with zeb_error
 * and zeb_errorMessage() telling why. Null arguments fail; destroy functions
 * accept null.
 *
 * Threading: everything runs on one thread. Timers are process-wide and run
 * on one clock: the monotonic clock, or a virtual clock that only
 * zeb_clock_advance moves (for tests).
 */
#ifndef ZEB_SL_H
#define ZEB_SL_H

#include <stdbool.h>
#include <stdint.h>

#include "zeb/dm.h"
#include "zeb/llist.h"
#include "zeb/variant.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What follows is the library's interface, exported from it; the rest of
 * the library is hidden. */
#pragma GCC visibility push(default)

/* ---- Host contexts and plug-ins ---------------------------------------------- */

typedef struct zeb zeb_t;

/* Entry points a plug-in exports under exactly these names. */
typedef bool (*zeb_plugin_initialize_t)(zeb_t *context);
typedef void (*zeb_plugin_cleanup_t)(void);

/* A host context with an empty data model. */
zeb_t *zeb_create(void);

/* Stops every started plug-in (zeb_plugin_cleanup, in reverse order of
 * start), unloads them and destroys the data model. Accepts null. */
void zeb_destroy(zeb_t *context);

datamodel_t *zeb_datamodel(const zeb_t *context);

/* Top-level lookup by dotted path; flags as object_getObject. */
object_t *zeb_getObject(const zeb_t *context, const char *path, uint32_t flags);

/* Loads a definition and the plug-in it names ("plugin", a shared object
 * path; relative paths are taken relative to the definition's directory, and
 * a bare file name that is not there is looked for in the directory of the
 * host's own libraries),
 * binds its functions ("f" to the exported "__f") and handler names to the
 * plug-in's exported symbols, then calls zeb_plugin_initialize. A missing
 * plug-in, a missing symbol (named in the message) or an initialize that
 * returns false fails, and nothing of the definition stays. A definition
 * without "plugin" only creates its objects. */
bool zeb_loadDefinition(zeb_t *context, const char *path);

/* Number of plug-ins started. */
size_t zeb_pluginCount(const zeb_t *context);

/* ---- Function calls ---------------------------------------------------------- */

/* One argument of a call: a name (may be empty for positional arguments) and
 * a value. Fields are private. */
typedef struct argument_value_record {
    llist_iterator_t it; /* must stay first */
    char *name;
    variant_t value;
} argument_value_t;

typedef struct request request_t;

/* request_attributes bit: the arguments are named (else positional). */
#define REQUEST_ATTR_NAMED_ARGS 0x8000u

uint32_t request_attributes(const request_t *request);

object_t *fcall_object(const function_call_t *fcall);
request_t *fcall_request(const function_call_t *fcall);
/* Ends the call; the handler must not use `fcall` afterwards. The call record
 * belongs to the caller of the handler (zeb_callFunction): fcall_destroy frees
 * nothing, and a handler that returns without calling it leaks nothing. */
void fcall_destroy(function_call_t *fcall);

/* Argument lists. */
bool argument_valueListInitialize(argument_value_list_t *args);
void argument_valueListCleanup(argument_value_list_t *args);

/* A new, unlinked argument with an empty value; `name` may be null (stored
 * as ""). */
argument_value_t *argument_valueCreate(const char *name);
/* Releases the argument; a linked argument is unlinked first. */
void argument_valueDestroy(argument_value_t *arg);
/* Link an unlinked argument at the end / the front; the list owns it. */
bool argument_valueAppend(argument_value_list_t *args, argument_value_t *arg);
bool argument_valuePrepend(argument_value_list_t *args, argument_value_t *arg);
/* Appends a new argument holding a copy of `value`. */
bool argument_valueAdd(argument_value_list_t *args, const char *name, const variant_t *value);

const char *argument_name(const argument_value_t *arg);
variant_t *argument_value(const argument_value_t *arg);
argument_value_t *argument_valueFirst(const argument_value_list_t *args);
argument_value_t *argument_valueNext(const argument_value_t *arg);

/* The first argument with this name, still linked; null if absent. */
argument_value_t *argument_valueByName(const argument_value_list_t *args, const char *name);
/* Unlinks the argument and gives it to the caller. */
argument_value_t *argument_valueTakeArgument(argument_value_t *arg);
/* Unlinks the first argument and gives it to the caller; null if none. */
argument_value_t *argument_valueTakeArgumentFirst(argument_value_list_t *args);
/* Unlink and destroy the first argument, returning its value as a new text
 * (null when there is none or it has no text form) or as a new list (null
 * when there is none or it is not a list). */
char *argument_takeChar(argument_value_list_t *args);
variant_list_t *argument_takeArray(argument_value_list_t *args);

/* Calls `function` of `object` as a client would: the handler runs with
 * `args` (named when `named`), fills `retval`; afterwards `args` holds what
 * the handler left in it (its out-arguments). True when the handler returned
 * 0. Fails with ZEB_ERROR_NOT_FOUND for an unknown function or one without a
 * handler. */
bool zeb_callFunction(zeb_t *context, object_t *object, const char *function,
                      argument_value_list_t *args, bool named, variant_t *retval);

/* ---- Timers ------------------------------------------------------------------- */

typedef struct zeb_timer zeb_timer_t;
typedef void (*zeb_timer_handler_t)(zeb_timer_t *timer, void *userData);

zeb_timer_t *zeb_timer_create(void);
/* Stops and releases the timer; allowed inside its own handler. */
void zeb_timer_destroy(zeb_timer_t *timer);
bool zeb_timer_setHandler(zeb_timer_t *timer, zeb_timer_handler_t handler);
bool zeb_timer_setUserData(zeb_timer_t *timer, void *userData);
/* One expiry `milliseconds` from now; starting an armed timer arms it again
 * for the new time only. */
bool zeb_timer_start(zeb_timer_t *timer, uint32_t milliseconds);
bool zeb_timer_stop(zeb_timer_t *timer);
bool zeb_timer_isArmed(const zeb_timer_t *timer);

/* The clock: monotonic milliseconds, or virtual once zeb_clock_useVirtual(true)
 * was called (starting at 0 on each switch from monotonic to virtual). */
void zeb_clock_useVirtual(bool useVirtual);
uint64_t zeb_clock_now(void);
/* Virtual clock only: moves time forward by `milliseconds`, firing every timer
 * that falls due on the way, in order of due time (then order of arming), each
 * with the clock set to its due time. Timers that the handlers arm fire in the
 * same call when they fall due within it. */
void zeb_clock_advance(uint64_t milliseconds);
/* Milliseconds until the next armed timer is due (0 if overdue), or -1 when
 * none is armed. */
int64_t zeb_timers_nextDue(void);
/* Fires every timer due at the current time; returns how many fired. Timers
 * that the handlers arm during the call wait for the next call. */
size_t zeb_timers_fireDue(void);

/* ---- Notifications --------------------------------------------------------------- */

typedef struct notification notification_t;
typedef struct notification_parameter notification_parameter_t;

notification_t *notification_create(uint32_t type);
void notification_destroy(notification_t *notification);
bool notification_setName(notification_t *notification, const char *name);
bool notification_setObjectPath(notification_t *notification, const char *path);
/* A new parameter holding a copy of `value`. */
notification_parameter_t *notification_parameter_createVariant(const char *name,
                                                               const variant_t *value);
void notification_parameter_destroy(notification_parameter_t *parameter);
/* The notification takes ownership of the parameter; a parameter already added
 * to a notification fails. */
bool notification_addParameter(notification_t *notification, notification_parameter_t *parameter);

uint32_t notification_type(const notification_t *notification);
const char *notification_name(const notification_t *notification);
const char *notification_objectPath(const notification_t *notification);
notification_parameter_t *notification_firstParameter(const notification_t *notification);
notification_parameter_t *notification_nextParameter(const notification_parameter_t *parameter);
const char *notification_parameter_name(const notification_parameter_t *parameter);
const variant_t *notification_parameter_value(const notification_parameter_t *parameter);

typedef void (*zeb_subscriber_t)(void *userData, const notification_t *notification);

/* Subscribes to notifications whose object path is `path` or lies below it
 * ("" or null: all). Returns a subscription id above 0, or 0 on failure. */
uint32_t zeb_subscribe(zeb_t *context, const char *path, zeb_subscriber_t subscriber,
                       void *userData);
bool zeb_unsubscribe(zeb_t *context, uint32_t id);

/* Delivers the notification to every matching subscriber, synchronously and
 * in order of subscription; a subscriber may unsubscribe itself or others
 * meanwhile. `peer` and `request` must be null (broadcast). False when the
 * notification has no name or object path (unset or empty). The sender keeps
 * ownership. A trailing dot of a path is ignored when matching. */
bool zeb_sendNotification(zeb_t *context, void *peer, void *request,
                          const notification_t *notification);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
