#include "zebd_operations.hpp"

#include "zebd_server.hpp"

#include "zeb/ops.h"

#include <cstdlib>
#include <cstring>

using zeb_access::AccessOperation;
using zeb_access::kAccessAdd;
using zeb_access::kAccessDel;
using zeb_access::kAccessGet;
using zeb_access::kAccessList;
using zeb_access::kAccessSet;
using zeb_access::kAccessSubscribe;
using zeb_bus::Message;

namespace zebd {

bool Reply::fail(uint32_t code, std::string text) {
    error = code;
    message = std::move(text);
    return false;
}

bool Reply::failFromZeb() {
    return fail(zeb_error != ZEB_ERROR_NONE ? zeb_error : ZEB_ERROR_REFUSED, zeb_errorMessage());
}

namespace {

using Handler = void (*)(Server &server, Client &client, const Message &request, Reply &reply);
/* Whether the client may make the request under the server's access rules,
 * which are set; false with the refusal in `reply`. */
using Check = bool (*)(Server &server, Client &client, const Message &request, Reply &reply);

struct Operation {
    const char *name;
    Handler handler;
    Check check;
};

// `path.name`, or `name` below the top.
std::string joined(const std::string &path, const char *name) {
    return path.empty() ? std::string(name) : path + "." + name;
}

// A text field; with `required` false an absent (or empty-variant) field is
// null without failing. Any other type fails.
bool textField(const Message &request, const char *key, bool required, const char *&text,
               Reply &reply) {
    const variant_t *value = request.field(key);
    text = variant_da_char(value);
    if (text != nullptr || (!required && variant_type(value) == variant_type_unknown))
        return true;
    return reply.fail(ZEB_ERROR_INVALID_ARGUMENT,
                      std::string("field \"") + key + "\" must be a text");
}

bool mapField(const Message &request, const char *key, bool required, const variant_map_t *&map,
              Reply &reply) {
    const variant_t *value = request.field(key);
    map = variant_da_map(value);
    if (map != nullptr || (!required && variant_type(value) == variant_type_unknown))
        return true;
    return reply.fail(ZEB_ERROR_INVALID_ARGUMENT,
                      std::string("field \"") + key + "\" must be a map");
}

bool boolField(const Message &request, const char *key, bool &flag, Reply &reply) {
    const variant_t *value = request.field(key);
    variant_type_t type = variant_type(value);
    if (type == variant_type_unknown) {
        flag = false;
        return true;
    }
    if (type != variant_type_bool)
        return reply.fail(ZEB_ERROR_INVALID_ARGUMENT,
                          std::string("field \"") + key + "\" must be a boolean");
    flag = variant_bool(value);
    return true;
}

void failRefused(Reply &reply, char *refused) {
    reply.failFromZeb();
    if (refused != nullptr)
        reply.parameter = refused;
    std::free(refused);
}

bool addArguments(argument_value_list_t *args, const variant_t *given, Reply &reply) {
    if (const variant_map_t *named = variant_da_map(given)) {
        for (variant_map_iterator_t *it = variant_map_first(named); it != nullptr;
             it = variant_map_iterator_next(it)) {
            if (!argument_valueAdd(args, variant_map_iterator_key(it),
                                   variant_map_iterator_data(it)))
                return reply.failFromZeb();
        }
    } else if (const variant_list_t *positional = variant_da_list(given)) {
        for (variant_list_iterator_t *it = variant_list_first(positional); it != nullptr;
             it = variant_list_iterator_next(it)) {
            if (!argument_valueAdd(args, nullptr, variant_list_iterator_data(it)))
                return reply.failFromZeb();
        }
    }
    return true;
}

bool outArguments(const argument_value_list_t *args, Reply &reply) {
    variant_map_t outargs;
    variant_map_initialize(&outargs);
    bool ok = true;
    for (argument_value_t *arg = argument_valueFirst(args); ok && arg != nullptr;
         arg = argument_valueNext(arg))
        ok = variant_map_add(&outargs, argument_name(arg), argument_value(arg));
    ok = ok && reply.fields.setMap() && reply.fields.addMapMove(zeb_bus::kOutargs, &outargs);
    variant_map_cleanup(&outargs);
    return ok || reply.fail(ZEB_ERROR_NO_MEMORY, "out of memory");
}

void opCall(Server &server, Client &, const Message &request, Reply &reply) {
    const char *path = nullptr;
    const char *function = nullptr;
    if (!textField(request, zeb_bus::kPath, true, path, reply) ||
        !textField(request, zeb_bus::kFunction, true, function, reply))
        return;
    const variant_t *given = request.field(zeb_bus::kArgs);
    variant_type_t type = variant_type(given);
    if (type != variant_type_unknown && type != variant_type_map && type != variant_type_array) {
        reply.fail(ZEB_ERROR_INVALID_ARGUMENT, "field \"args\" must be a map or a list");
        return;
    }
    parameter_t *parameter = nullptr;
    object_t *object = zeb_ops_resolve(server.context(), path, &parameter);
    if (object == nullptr || parameter != nullptr) {
        reply.fail(ZEB_ERROR_NOT_FOUND, std::string("no object ") + path);
        return;
    }
    argument_value_list_t args;
    argument_valueListInitialize(&args);
    if (addArguments(&args, given, reply)) {
        zeb_error = ZEB_ERROR_NONE;
        if (!zeb_callFunction(server.context(), object, function, &args, type != variant_type_array,
                              reply.result.get()))
            reply.failFromZeb();
        else
            outArguments(&args, reply);
    }
    argument_valueListCleanup(&args);
}

void opGet(Server &server, Client &, const Message &request, Reply &reply) {
    const char *path = nullptr;
    bool recursive = false;
    if (!textField(request, zeb_bus::kPath, true, path, reply) ||
        !boolField(request, zeb_bus::kRecursive, recursive, reply))
        return;
    if (!zeb_ops_get(server.context(), path, recursive, reply.result.get()))
        reply.failFromZeb();
}

void opSet(Server &server, Client &, const Message &request, Reply &reply) {
    const char *path = nullptr;
    const variant_map_t *values = nullptr;
    if (!textField(request, zeb_bus::kPath, true, path, reply) ||
        !mapField(request, zeb_bus::kValues, true, values, reply))
        return;
    char *refused = nullptr;
    if (!zeb_ops_set(server.context(), path, values, &refused))
        failRefused(reply, refused);
}

void opAdd(Server &server, Client &, const Message &request, Reply &reply) {
    const char *path = nullptr;
    const char *key = nullptr;
    const variant_map_t *values = nullptr;
    if (!textField(request, zeb_bus::kPath, true, path, reply) ||
        !textField(request, zeb_bus::kKey, false, key, reply) ||
        !mapField(request, zeb_bus::kValues, false, values, reply))
        return;
    char *refused = nullptr;
    object_t *instance = zeb_ops_add(server.context(), path, key, values, &refused);
    if (instance == nullptr) {
        failRefused(reply, refused);
        return;
    }
    char *instancePath = object_pathChar(instance, OBJECT_FLAG_KEY);
    if (instancePath == nullptr || !variant_setChar(reply.result.get(), instancePath))
        reply.fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    std::free(instancePath);
}

void opDelete(Server &server, Client &, const Message &request, Reply &reply) {
    const char *path = nullptr;
    if (!textField(request, zeb_bus::kPath, true, path, reply))
        return;
    if (!zeb_ops_delete(server.context(), path))
        reply.failFromZeb();
}

void opList(Server &server, Client &, const Message &request, Reply &reply) {
    const char *path = nullptr;
    if (!textField(request, zeb_bus::kPath, false, path, reply))
        return;
    if (!zeb_ops_list(server.context(), path, reply.result.get()))
        reply.failFromZeb();
}

void opSubscribe(Server &server, Client &client, const Message &request, Reply &reply) {
    const char *path = nullptr;
    if (!textField(request, zeb_bus::kPath, false, path, reply))
        return;
    uint32_t id = server.subscribe(client, path);
    if (id == 0)
        reply.failFromZeb();
    else if (!variant_setInt64(reply.result.get(), id))
        reply.fail(ZEB_ERROR_NO_MEMORY, "out of memory");
}

void opUnsubscribe(Server &server, Client &client, const Message &request, Reply &reply) {
    uint32_t id = 0;
    if (!request.integerField(zeb_bus::kSubscription, id)) {
        reply.fail(ZEB_ERROR_INVALID_ARGUMENT, "field \"subscription\" must be an integer");
        return;
    }
    if (!server.unsubscribe(client, id))
        reply.fail(ZEB_ERROR_NOT_FOUND, "no subscription " + std::to_string(id));
}

/* A request's path as the rules see it and as the client wrote it. The rules
 * see the object's or parameter's own path, instances named by key, so that
 * a spelling (an index, a trailing dot) cannot reach what its canonical path
 * may not; a path that names nothing is taken as written. A refusal tells
 * the client its own spelling, which reveals nothing of the data model (the
 * key of an instance it named by index); the trace tells the canonical one. */
struct Target {
    std::string canonical;
    std::string written; /* without a trailing dot */
};

bool targetOf(Server &server, const char *path, Target &out, Reply &reply) {
    out.written = path != nullptr ? path : "";
    if (!out.written.empty() && out.written.back() == '.')
        out.written.pop_back();
    out.canonical = out.written;
    parameter_t *parameter = nullptr;
    object_t *object =
        out.written.empty() ? nullptr : zeb_ops_resolve(server.context(), path, &parameter);
    if (object == nullptr)
        return true;
    char *objectPath = object_pathChar(object, OBJECT_FLAG_KEY);
    if (objectPath == nullptr)
        return reply.fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    out.canonical = objectPath;
    std::free(objectPath);
    if (parameter != nullptr)
        out.canonical = joined(out.canonical, parameter_name(parameter));
    return true;
}

/* Refuses `operation` on the target, `describe` giving the words after the
 * operation for a spelling of the path. */
template <typename Describe>
bool refuse(Server &server, Client &client, const char *operation, const Target &target,
            Describe describe, Reply &reply) {
    std::string prefix = std::string(operation) + " ";
    server.traceRefusal(client, prefix + describe(target.canonical));
    return reply.fail(ZEB_ERROR_PERMISSION,
                      "permission denied: " + prefix + describe(target.written));
}

bool refuse(Server &server, Client &client, const char *operation, const Target &target,
            Reply &reply) {
    return refuse(
        server, client, operation, target,
        [](const std::string &path) { return path.empty() ? std::string("the top") : path; },
        reply);
}

/* Checks one operation on the request's "path" (absent: the top). */
bool checkPath(Server &server, Client &client, const Message &request, AccessOperation operation,
               bool required, Reply &reply) {
    const char *path = nullptr;
    Target target;
    if (!textField(request, zeb_bus::kPath, required, path, reply) ||
        !targetOf(server, path, target, reply))
        return false;
    const AccessRules &rules = *server.accessRules();
    bool allowed = operation == kAccessSubscribe
                       ? rules.allowsSomewhere(client.caller, operation, target.canonical)
                       : rules.allows(client.caller, operation, target.canonical);
    return allowed || refuse(server, client, accessOperationName(operation), target, reply);
}

bool checkCall(Server &server, Client &client, const Message &request, Reply &reply) {
    const char *path = nullptr;
    const char *function = nullptr;
    Target target;
    if (!textField(request, zeb_bus::kPath, true, path, reply) ||
        !textField(request, zeb_bus::kFunction, true, function, reply) ||
        !targetOf(server, path, target, reply))
        return false;
    return server.accessRules()->allowsCall(client.caller, target.canonical, function) ||
           refuse(
               server, client, "call", target,
               [function](const std::string &object) { return joined(object, function); }, reply);
}

/* A recursive get reads everything below the path too. */
bool checkGet(Server &server, Client &client, const Message &request, Reply &reply) {
    bool recursive = false;
    if (!boolField(request, zeb_bus::kRecursive, recursive, reply))
        return false;
    if (!recursive)
        return checkPath(server, client, request, kAccessGet, true, reply);
    const char *path = nullptr;
    Target target;
    if (!textField(request, zeb_bus::kPath, true, path, reply) ||
        !targetOf(server, path, target, reply))
        return false;
    return server.accessRules()->allowsSubtree(client.caller, kAccessGet, target.canonical) ||
           refuse(
               server, client, "get", target,
               [](const std::string &object) { return object + " recursively"; }, reply);
}

/* Each parameter set is checked by its own path. */
bool checkSet(Server &server, Client &client, const Message &request, Reply &reply) {
    const char *path = nullptr;
    const variant_map_t *values = nullptr;
    Target target;
    if (!textField(request, zeb_bus::kPath, true, path, reply) ||
        !mapField(request, zeb_bus::kValues, true, values, reply) ||
        !targetOf(server, path, target, reply))
        return false;
    const AccessRules &rules = *server.accessRules();
    if (variant_map_first(values) == nullptr &&
        !rules.allows(client.caller, kAccessSet, target.canonical))
        return refuse(server, client, "set", target, reply);
    for (variant_map_iterator_t *it = variant_map_first(values); it != nullptr;
         it = variant_map_iterator_next(it)) {
        const char *name = variant_map_iterator_key(it);
        if (!rules.allows(client.caller, kAccessSet, joined(target.canonical, name)))
            return refuse(
                server, client, "set", target,
                [name](const std::string &object) { return joined(object, name); }, reply);
    }
    return true;
}

bool checkAdd(Server &server, Client &client, const Message &request, Reply &reply) {
    return checkPath(server, client, request, kAccessAdd, true, reply);
}

bool checkDelete(Server &server, Client &client, const Message &request, Reply &reply) {
    return checkPath(server, client, request, kAccessDel, true, reply);
}

bool checkList(Server &server, Client &client, const Message &request, Reply &reply) {
    return checkPath(server, client, request, kAccessList, false, reply);
}

/* Subscribing needs the right for some path at or below the one asked for;
 * each notification is then checked by its own path when it is sent. */
bool checkSubscribe(Server &server, Client &client, const Message &request, Reply &reply) {
    return checkPath(server, client, request, kAccessSubscribe, false, reply);
}

/* A client may always end its own subscriptions. */
bool checkNothing(Server &, Client &, const Message &, Reply &) {
    return true;
}

const Operation kOperations[] = {
    {"call", opCall, checkCall},
    {"get", opGet, checkGet},
    {"set", opSet, checkSet},
    {"add", opAdd, checkAdd},
    {"del", opDelete, checkDelete},
    {"list", opList, checkList},
    {"subscribe", opSubscribe, checkSubscribe},
    {"unsubscribe", opUnsubscribe, checkNothing},
};

} // namespace

void runOperation(Server &server, Client &client, const Message &request, Reply &reply) {
    const char *name = nullptr;
    if (!textField(request, zeb_bus::kOp, true, name, reply))
        return;
    for (const Operation &operation : kOperations) {
        if (std::strcmp(operation.name, name) == 0) {
            if (server.accessRules() != nullptr && !operation.check(server, client, request, reply))
                return;
            zeb_error = ZEB_ERROR_NONE;
            operation.handler(server, client, request, reply);
            return;
        }
    }
    reply.fail(ZEB_ERROR_NOT_FOUND, std::string("unknown operation ") + name);
}

bool notificationMessage(const notification_t *notification, uint32_t subscription,
                         Message &message) {
    variant_map_t parameters;
    variant_map_initialize(&parameters);
    bool ok = true;
    for (notification_parameter_t *p = notification_firstParameter(notification);
         ok && p != nullptr; p = notification_nextParameter(p))
        ok = variant_map_add(&parameters, notification_parameter_name(p),
                             notification_parameter_value(p));
    const char *name = notification_name(notification);
    const char *path = notification_objectPath(notification);
    ok = ok && message.setMap() && message.addInteger(zeb_bus::kSubscription, subscription) &&
         message.addInteger(zeb_bus::kType, notification_type(notification)) &&
         message.addText(zeb_bus::kName, name != nullptr ? name : "") &&
         message.addText(zeb_bus::kPath, path != nullptr ? path : "") &&
         message.addMapMove(zeb_bus::kParameters, &parameters);
    variant_map_cleanup(&parameters);
    return ok;
}

} // namespace zebd
