#include "httpd_access.hpp"

#include "zeb_access.hpp"

namespace zebhttpd {

namespace {

using zeb_access::AccessOperation;
using zeb_access::AccessRules;
using zeb_access::Caller;

std::string joined(const std::string &path, const std::string &name) {
    return path.empty() ? name : path + "." + name;
}

std::string spelled(const std::string &path) {
    return path.empty() ? std::string("the top") : path;
}

// "" when the caller may make `request`, else what it may not (see Access::refusal).
using Check = std::string (*)(const AccessRules &rules, const Caller &caller,
                              const BusRequest &request, const std::string &path);

std::string checkCall(const AccessRules &rules, const Caller &caller, const BusRequest &request,
                      const std::string &path) {
    return rules.allowsCall(caller, path, request.function)
               ? ""
               : "call " + joined(path, request.function);
}

std::string checkGet(const AccessRules &rules, const Caller &caller, const BusRequest &request,
                     const std::string &path) {
    if (request.recursive)
        return rules.allowsSubtree(caller, zeb_access::kAccessGet, path)
                   ? ""
                   : "get " + path + " recursively";
    return rules.allows(caller, zeb_access::kAccessGet, path) ? "" : "get " + spelled(path);
}

// Each parameter by its own path: one refused parameter refuses the request.
std::string checkSet(const AccessRules &rules, const Caller &caller, const BusRequest &request,
                     const std::string &path) {
    if (request.parameters.empty())
        return rules.allows(caller, zeb_access::kAccessSet, path) ? "" : "set " + spelled(path);
    for (const std::string &name : request.parameters) {
        if (!rules.allows(caller, zeb_access::kAccessSet, joined(path, name)))
            return "set " + joined(path, name);
    }
    return "";
}

template <AccessOperation operation>
std::string checkPath(const AccessRules &rules, const Caller &caller, const BusRequest &request,
                      const std::string &path) {
    return rules.allows(caller, operation, path) ? "" : request.operation + " " + spelled(path);
}

struct OperationCheck {
    const char *operation;
    Check check;
};

const OperationCheck kChecks[] = {
    {"call", checkCall},
    {"get", checkGet},
    {"set", checkSet},
    {"add", checkPath<zeb_access::kAccessAdd>},
    {"del", checkPath<zeb_access::kAccessDel>},
    {"list", checkPath<zeb_access::kAccessList>},
};

// The path as the daemon matches it: "Phonebook." is "Phonebook".
std::string matchedPath(const std::string &path) {
    return !path.empty() && path.back() == '.' ? path.substr(0, path.size() - 1) : path;
}

Caller callerOf(const Session &session) {
    Caller caller;
    caller.roles = session.roles;
    return caller;
}

} // namespace

RoleAccess::RoleAccess() : rules_(std::make_shared<const AccessRules>()) {}
RoleAccess::~RoleAccess() = default;

std::shared_ptr<const AccessRules> RoleAccess::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rules_;
}

bool RoleAccess::load(const std::string &directory, std::string &error) {
    auto loaded = std::make_shared<AccessRules>();
    if (!loaded->loadDirectory(directory, zeb_access::NameLookup::roles(), &error))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    rules_ = std::move(loaded);
    return true;
}

std::vector<std::string> RoleAccess::warnings(const std::vector<std::string> &roles) const {
    std::shared_ptr<const AccessRules> rules = current();
    std::vector<std::string> out = rules->warnings();
    for (const std::string &role : roles) {
        if (!rules->namesRole(role))
            out.push_back("no rule names the role \"" + role + "\": it allows nothing");
    }
    return out;
}

size_t RoleAccess::size() const {
    return current()->size();
}

std::string RoleAccess::refusal(const Session &session, const BusRequest &request) const {
    std::shared_ptr<const AccessRules> rules = current();
    std::string path = matchedPath(request.path);
    for (const OperationCheck &c : kChecks) {
        if (request.operation == c.operation)
            return c.check(*rules, callerOf(session), request, path);
    }
    return request.operation + " " + spelled(path);
}

bool RoleAccess::maySee(const Session &session, const std::string &path,
                        const std::string &) const {
    return current()->allowsNotification(callerOf(session), path);
}

} // namespace zebhttpd
