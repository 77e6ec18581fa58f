// Bodies of POST /rpc as zeb-httpd answers them, without sockets: the first
// byte says whether the request carries a live session (odd) or none, the
// rest is the body. Bus requests are refused by the access seam and logins
// are held back by the throttle, so nothing reaches the bus or libcrypt and
// every input exercises only the parsing of requests and their values.
// Checked: the answer is JSON-RPC 2.0 (one reply per call that is not a
// notification, each with its request's id or null and a known error code),
// too deep a body is refused exactly when it is, and values that map to
// variants map back to the same JSON.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "httpd_rpc.hpp"
#include "zeb_variant_json.hpp"

namespace {

using zeb_json::json;
using zebhttpd::BusRequest;
using zebhttpd::Session;

[[noreturn]] void broken(const char *what, const std::string &body, const std::string &answer) {
    fprintf(stderr, "rpc %s\nbody: [%s]\nanswer: [%s]\n", what, body.c_str(), answer.c_str());
    abort();
}

class RefuseBus : public zebhttpd::Access {
  public:
    std::string refusal(const Session &, const BusRequest &request) const override {
        return request.operation;
    }
    bool maySee(const Session &, const std::string &, const std::string &) const override {
        return false;
    }
};

int depthOf(const json &value) {
    int deepest = 0;
    if (value.is_structured()) {
        for (const json &inner : value)
            deepest = std::max(deepest, depthOf(inner));
        ++deepest;
    }
    return deepest;
}

bool knownCode(int code) {
    return (code >= -32005 && code <= -32000) || code == -32700 ||
           (code >= -32603 && code <= -32600);
}

// A call that gets no reply: a well-formed request without an id.
bool isNotification(const json &call) {
    return call.is_object() && !call.contains("id") && call.value("jsonrpc", json()) == "2.0" &&
           call.value("method", json()).is_string();
}

json expectedId(const json &call) {
    if (!call.is_object() || !call.contains("id"))
        return nullptr;
    const json &id = call["id"];
    return id.is_string() || id.is_number() ? id : json();
}

// The variant form of a value, where it has one, gives back the same JSON.
void checkValueMapping(const json &params, const std::string &body) {
    if (!params.is_object())
        return;
    for (const char *name : {"args", "values"}) {
        auto it = params.find(name);
        if (it == params.end())
            continue;
        variant_t value;
        variant_initialize(&value, variant_type_unknown);
        json back;
        if (zeb_json::jsonToVariant(*it, &value) &&
            (!zeb_json::variantToJson(&value, back) || back != *it))
            broken("value changed through its variant", body, back.dump());
        variant_cleanup(&value);
    }
}

void checkReply(const json &reply, const json &call, const std::string &body,
                const std::string &answer) {
    if (!reply.is_object() || reply.value("jsonrpc", json()) != "2.0" ||
        reply.contains("result") == reply.contains("error"))
        broken("reply is not JSON-RPC 2.0", body, answer);
    if (reply.value("id", json("missing")) != expectedId(call))
        broken("reply has another id", body, answer);
    if (reply.contains("error")) {
        const json &error = reply["error"];
        if (!error.is_object() || !error.value("code", json()).is_number_integer() ||
            !error.value("message", json()).is_string() || !knownCode(error["code"].get<int>()))
            broken("error without a known code and a message", body, answer);
    }
}

void checkAnswer(const std::string &body, int status, const std::string &answer) {
    // JSON has no raw NUL: a body with one is no JSON text.
    json request = body.find('\0') == std::string::npos ? json::parse(body, nullptr, false)
                                                        : json(json::value_t::discarded);
    bool tooDeep = !request.is_discarded() && depthOf(request) > zebhttpd::kMaxJsonDepth;
    if (status == 204) {
        if (!answer.empty())
            broken("204 with a body", body, answer);
        return;
    }
    json reply = json::parse(answer, nullptr, false);
    if (reply.is_discarded() || (status != 200 && status != 401 && status != 429))
        broken("answer is not JSON or has an unexpected status", body, answer);
    bool refusedDeep = reply.is_object() && reply.contains("error") &&
                       reply["error"].value("message", json()) == "nested too deep";
    if (!request.is_discarded() && refusedDeep != tooDeep)
        broken("depth limit misjudged", body, answer);
    int code = reply.is_object() ? reply.value("error", json::object()).value("code", 0) : 0;
    if (request.is_discarded() && code != -32700 && !refusedDeep)
        broken("not JSON but not answered as such", body, answer);
    if (request.is_discarded() || tooDeep || status == 401)
        return;
    bool batch = request.is_array() && !request.empty() && request.size() <= zebhttpd::kMaxBatch;
    json calls = batch ? request : json::array({request});
    size_t replies = 0;
    for (const json &call : calls) {
        checkValueMapping(call.is_object() ? call.value("params", json()) : json(), body);
        if (isNotification(call))
            continue;
        const json &one =
            batch ? (reply.is_array() && replies < reply.size() ? reply[replies] : json()) : reply;
        checkReply(one, request.is_array() && !batch ? json() : call, body, answer);
        ++replies;
    }
    if (batch && replies != reply.size())
        broken("a reply count other than the calls'", body, answer);
}

struct Bridge {
    RefuseBus access;
    zebhttpd::BusLink bus{"/nonexistent/zeb.sock", 100};
    zebhttpd::Sessions sessions{300, 4};
    zebhttpd::LoginThrottle throttle;
    zebhttpd::Rpc rpc{bus, sessions, throttle, "/nonexistent/users", access};

    Bridge() {
        // The clock stands still: the address waits for ever.
        for (int i = 0; i < 8; ++i)
            throttle.failed("address fuzz", 0);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Bridge bridge;
    if (size == 0)
        return 0;
    std::string body(reinterpret_cast<const char *>(data) + 1, size - 1);
    zebhttpd::RpcExchange exchange;
    exchange.clientAddress = "fuzz";
    const Session *session = nullptr;
    if ((data[0] & 1) != 0) {
        session = bridge.sessions.open("fuzz", {"admin"}, 0);
        if (session == nullptr)
            abort();
        exchange.sessionId = session->id;
    }
    std::string answer;
    int status = bridge.rpc.handle(body, exchange, answer);
    checkAnswer(body, status, answer);
    if (!exchange.sessionId.empty())
        bridge.sessions.close(exchange.sessionId);
    return 0;
}
