#include "httpd_rpc.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include "httpd_users.hpp"
#include "zeb/error.h"
#include "zeb_variant_json.hpp"

namespace zebhttpd {

using zeb_json::json;

zeb_bus_client_t *BusLink::client() {
    if (client_ != nullptr && zeb_bus_client_fd(client_) >= 0)
        return client_;
    if (client_ == nullptr && (client_ = zeb_bus_client_create()) == nullptr)
        return nullptr;
    zeb_bus_client_setTimeout(client_, timeoutMs_);
    return zeb_bus_client_connect(client_, socket_.c_str()) ? client_ : nullptr;
}

int jsonDepth(const std::string &text, int limit) {
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest && (deepest = depth) > limit)
                return deepest;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

namespace {

struct RpcError {
    int code;
    std::string message;
    json data = nullptr;
};

} // namespace

struct Rpc::Call {
    BusLink &bus;
    Sessions &sessions;
    LoginThrottle &throttle;
    const std::string &usersFile;
    const Access &access;
    RpcExchange &exchange;
    const Session *&session;
    const json &params;
};

namespace {

using Handler = json (*)(Rpc::Call &call);

struct Method {
    const char *name;
    Handler run;
    const char *params[4]; /* the names it takes; the others are refused */
};

const json *member(const json &params, const char *name) {
    auto it = params.find(name);
    return it == params.end() ? nullptr : &*it;
}

std::string text(const json &params, const char *name, bool required = true) {
    const json *value = member(params, name);
    if (value == nullptr && !required)
        return "";
    if (value == nullptr || !value->is_string())
        throw RpcError{kInvalidParams, std::string("\"") + name + "\" must be a string"};
    return value->get<std::string>();
}

// The variant of params[name], which must be one of the JSON kinds allowed.
void value(const json &params, const char *name, bool objectOnly, variant_t *out) {
    const json *given = member(params, name);
    if (given == nullptr || given->is_null())
        return;
    if (!given->is_object() && (objectOnly || !given->is_array()))
        throw RpcError{kInvalidParams, std::string("\"") + name + "\" must be an object" +
                                           (objectOnly ? "" : " or an array")};
    if (!zeb_json::jsonToVariant(*given, out))
        throw RpcError{kInvalidParams, std::string("\"") + name + "\" has no variant form"};
}

json toJson(const variant_t *value) {
    json out;
    if (!zeb_json::variantToJson(value, out))
        throw RpcError{kInternalError, "the bus answered a value without a JSON form"};
    return out;
}

RpcError busError(zeb_bus_client_t *client, uint32_t code, const std::string &message) {
    json data = {{"code", code}, {"message", message}};
    std::string parameter = client != nullptr ? zeb_bus_client_errorParameter(client) : "";
    if (!parameter.empty())
        data["parameter"] = parameter;
    return RpcError{kBusError, "bus error", data};
}

// The bus client for a request the session's roles allow.
zeb_bus_client_t *busFor(Rpc::Call &call, const BusRequest &request) {
    std::string refused = call.access.refusal(*call.session, request);
    if (!refused.empty())
        throw busError(nullptr, ZEB_ERROR_PERMISSION, "permission denied: " + refused);
    zeb_bus_client_t *client = call.bus.client();
    if (client == nullptr) {
        zeb_bus_client_t *last = call.bus.lastClient();
        if (last == nullptr)
            throw std::bad_alloc();
        throw busError(last, zeb_bus_client_errorCode(last), zeb_bus_client_errorMessage(last));
    }
    return client;
}

[[noreturn]] void failed(zeb_bus_client_t *client) {
    throw busError(client, zeb_bus_client_errorCode(client), zeb_bus_client_errorMessage(client));
}

json runCall(Rpc::Call &call) {
    std::string object = text(call.params, "object"), function = text(call.params, "function");
    Variant args, retval;
    value(call.params, "args", false, args.get());
    zeb_bus_client_t *client = busFor(call, {"call", object, function});
    variant_map_t outargs;
    variant_map_initialize(&outargs);
    bool ok =
        zeb_bus_call(client, object.c_str(), function.c_str(), args.get(), retval.get(), &outargs);
    Variant wrapped;
    variant_setMapMove(wrapped.get(), &outargs);
    variant_map_cleanup(&outargs);
    if (!ok)
        failed(client);
    json out = {{"retval", toJson(retval.get())}};
    if (variant_map_size(variant_da_map(wrapped.get())) > 0)
        out["outargs"] = toJson(wrapped.get());
    return out;
}

json runGet(Rpc::Call &call) {
    std::string path = text(call.params, "path");
    const json *recursive = member(call.params, "recursive");
    if (recursive != nullptr && !recursive->is_boolean())
        throw RpcError{kInvalidParams, "\"recursive\" must be true or false"};
    bool deep = recursive != nullptr && recursive->get<bool>();
    zeb_bus_client_t *client = busFor(call, {"get", path, "", deep, {}});
    Variant result;
    if (!zeb_bus_get(client, path.c_str(), deep, result.get()))
        failed(client);
    return toJson(result.get());
}

json runSet(Rpc::Call &call) {
    std::string object = text(call.params, "object");
    Variant values;
    value(call.params, "values", true, values.get());
    if (variant_type(values.get()) != variant_type_map)
        throw RpcError{kInvalidParams, "\"values\" must be an object"};
    BusRequest request{"set", object, "", false, {}};
    for (variant_map_iterator_t *it = variant_map_first(variant_da_map(values.get()));
         it != nullptr; it = variant_map_iterator_next(it))
        request.parameters.emplace_back(variant_map_iterator_key(it));
    zeb_bus_client_t *client = busFor(call, request);
    if (!zeb_bus_set(client, object.c_str(), variant_da_map(values.get())))
        failed(client);
    return nullptr;
}

json runAdd(Rpc::Call &call) {
    std::string path = text(call.params, "template");
    const json *key = member(call.params, "key");
    if (key != nullptr && !key->is_string())
        throw RpcError{kInvalidParams, "\"key\" must be a string"};
    Variant values;
    value(call.params, "values", true, values.get());
    zeb_bus_client_t *client = busFor(call, {"add", path, ""});
    std::string keyText = key != nullptr ? key->get<std::string>() : "";
    bool hasValues = variant_type(values.get()) == variant_type_map;
    char *added = zeb_bus_add(client, path.c_str(), key != nullptr ? keyText.c_str() : nullptr,
                              hasValues ? variant_da_map(values.get()) : nullptr);
    if (added == nullptr)
        failed(client);
    json out = added;
    std::free(added);
    return out;
}

json runDelete(Rpc::Call &call) {
    std::string path = text(call.params, "instance");
    zeb_bus_client_t *client = busFor(call, {"del", path, ""});
    if (!zeb_bus_delete(client, path.c_str()))
        failed(client);
    return nullptr;
}

json runList(Rpc::Call &call) {
    std::string path = text(call.params, "path", false);
    zeb_bus_client_t *client = busFor(call, {"list", path, ""});
    Variant result;
    if (!zeb_bus_list(client, path.c_str(), result.get()))
        failed(client);
    return toJson(result.get());
}

json describe(const Rpc::Call &call) {
    return {{"user", call.session->user},
            {"roles", call.session->roles},
            {"idleTimeout", std::lround(call.sessions.idleSeconds())}};
}

json runLogin(Rpc::Call &call) {
    std::string name = text(call.params, "user"), password = text(call.params, "password");
    // Names that no user can have share one count, whatever their length.
    bool valid = validUserName(name);
    std::string userKey = "user " + (valid ? name : "?");
    std::string addressKey = "address " + call.exchange.clientAddress;
    double now = call.exchange.now;
    double wait = std::max(call.throttle.wait(userKey, now), call.throttle.wait(addressKey, now));
    if (wait > 0) {
        auto seconds = static_cast<long long>(std::ceil(wait));
        call.exchange.retryAfter = std::max(call.exchange.retryAfter, static_cast<double>(seconds));
        throw RpcError{kLoginThrottled, "too many failed logins", {{"retryAfter", seconds}}};
    }
    User user;
    bool known = valid && findUser(call.usersFile, name, user);
    if (!checkPassword(known ? &user : nullptr, password)) {
        // The wait counts from the failure's end: where hashing is slow (a
        // gateway's processor), the first delays would pass during the hash.
        double failedAt = call.exchange.clock != nullptr ? call.exchange.clock() : now;
        call.throttle.failed(userKey, failedAt);
        call.throttle.failed(addressKey, failedAt);
        throw RpcError{kLoginFailed, "unknown user or wrong password"};
    }
    call.throttle.succeeded(userKey);
    call.throttle.succeeded(addressKey);
    if (call.session != nullptr)
        call.sessions.close(call.session->id);
    call.session = call.sessions.open(user.name, user.roles, now);
    call.exchange.clearCookie = call.session == nullptr;
    if (call.session == nullptr)
        throw RpcError{kTooManySessions, "too many sessions"};
    call.exchange.setCookieId = call.session->id;
    return describe(call);
}

json runLogout(Rpc::Call &call) {
    call.sessions.close(call.session->id);
    call.session = nullptr;
    call.exchange.setCookieId.clear();
    call.exchange.clearCookie = true;
    return true;
}

json runSession(Rpc::Call &call) {
    return describe(call);
}

const Method kMethods[] = {
    {"call", runCall, {"object", "function", "args"}},
    {"get", runGet, {"path", "recursive"}},
    {"set", runSet, {"object", "values"}},
    {"add", runAdd, {"template", "key", "values"}},
    {"del", runDelete, {"instance"}},
    {"list", runList, {"path"}},
    {"login", runLogin, {"user", "password"}},
    {"logout", runLogout, {}},
    {"session", runSession, {}},
};

const Method &findMethod(const std::string &name) {
    for (const Method &m : kMethods) {
        if (name == m.name)
            return m;
    }
    throw RpcError{kMethodNotFound, "no method " + name};
}

void checkParamNames(const Method &method, const json &params) {
    for (auto it = params.begin(); it != params.end(); ++it) {
        bool known = false;
        for (const char *name : method.params)
            known = known || (name != nullptr && it.key() == name);
        if (!known)
            throw RpcError{kInvalidParams, "unknown parameter \"" + it.key() + "\""};
    }
}

json errorAnswer(const json &id, const RpcError &error) {
    json e = {{"code", error.code}, {"message", error.message}};
    if (!error.data.is_null())
        e["data"] = error.data;
    return {{"jsonrpc", "2.0"}, {"error", e}, {"id", id}};
}

bool validId(const json &id) {
    return id.is_string() || id.is_number() || id.is_null();
}

bool isLogin(const json &request) {
    if (!request.is_object())
        return false;
    auto method = request.find("method");
    return method != request.end() && *method == "login";
}

std::string dump(const json &value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

int Rpc::handle(const std::string &body, RpcExchange &exchange, std::string &answer) {
    json request;
    if (jsonDepth(body, kMaxJsonDepth) > kMaxJsonDepth) {
        answer = dump(errorAnswer(nullptr, {kInvalidRequest, "nested too deep"}));
        return 200;
    }
    // The JSON reader stops at a NUL as at the end of the text, which would
    // take what follows for nothing; JSON has no raw NUL anywhere.
    request = body.find('\0') == std::string::npos ? json::parse(body, nullptr, false)
                                                   : json(json::value_t::discarded);
    if (request.is_discarded()) {
        answer = dump(errorAnswer(nullptr, {kParseError, "not JSON"}));
        return 200;
    }
    bool batch = request.is_array();
    if (batch && (request.empty() || request.size() > kMaxBatch)) {
        answer = dump(errorAnswer(nullptr, {kInvalidRequest, "a batch holds 1 to 64 calls"}));
        return 200;
    }
    const Session *session =
        exchange.sessionId.empty() ? nullptr : sessions_.use(exchange.sessionId, exchange.now);
    bool onlyLogins =
        batch ? std::all_of(request.begin(), request.end(), isLogin) : isLogin(request);
    if (session == nullptr && !onlyLogins) {
        exchange.clearCookie = !exchange.sessionId.empty();
        answer = dump(errorAnswer(nullptr, {kNoSession, "no session: log in first"}));
        return 401;
    }
    std::string answers;
    size_t replies = 0;
    for (const json &one : batch ? request : json::array({request})) {
        bool notification = false;
        json id = one.is_object() && one.contains("id") && validId(one["id"]) ? one["id"] : json();
        json reply;
        try {
            if (!one.is_object() || one.value("jsonrpc", json()) != "2.0" ||
                !one.value("method", json()).is_string() || !validId(one.value("id", json())))
                throw RpcError{kInvalidRequest, "not a JSON-RPC 2.0 request"};
            notification = !one.contains("id");
            const json &params = one.contains("params") ? one["params"] : json::object();
            if (params.is_array())
                throw RpcError{kInvalidParams, "params are named: an object"};
            if (!params.is_object())
                throw RpcError{kInvalidRequest, "params must be an object"};
            const Method &method = findMethod(one["method"].get<std::string>());
            checkParamNames(method, params);
            if (session == nullptr && method.run != runLogin)
                throw RpcError{kNoSession, "no session: log in first"};
            Call call{bus_, sessions_, throttle_, usersFile_, access_, exchange, session, params};
            reply = {{"jsonrpc", "2.0"}, {"result", method.run(call)}, {"id", id}};
        } catch (const RpcError &error) {
            reply = errorAnswer(id, error);
        } catch (const std::exception &) {
            reply = errorAnswer(id, {kInternalError, "internal error"});
        }
        if (notification)
            continue;
        std::string text = dump(reply);
        if (answers.size() + text.size() > kMaxAnswer)
            text = dump(errorAnswer(id, {kAnswerTooLarge, "the answers of this batch pass 16 MiB: "
                                                          "ask for less in each call"}));
        answers += (replies++ == 0 ? "" : ",") + text;
    }
    if (replies == 0) {
        answer.clear();
        return 204;
    }
    answer = batch ? "[" + answers + "]" : std::move(answers);
    return !batch && exchange.retryAfter > 0 ? 429 : 200;
}

} // namespace zebhttpd
