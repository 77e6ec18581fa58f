#include "test_host.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "keltrace/keltrace.h"

namespace fs = std::filesystem;

namespace zebtest {

TestHost::TestHost(int traceLevel) {
    std::string pattern = (fs::temp_directory_path() / "zeb-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    sysroot_ = pattern;
    const char *old = std::getenv("ZEB_SYSROOT");
    hadSysroot_ = old != nullptr;
    savedSysroot_ = hadSysroot_ ? old : "";
    setenv("ZEB_SYSROOT", sysroot_.c_str(), 1);

    kelTraceReset();
    kelTraceSetDefaultLevel(traceLevel);
    kelTraceSetSink(&TestHost::onTrace, this);
    zeb_clock_useVirtual(true);
}

TestHost::~TestHost() {
    stop();
    kelTraceSetSink(nullptr, nullptr);
    kelTraceReset();
    zeb_clock_useVirtual(false);
    if (hadSysroot_)
        setenv("ZEB_SYSROOT", savedSysroot_.c_str(), 1);
    else
        unsetenv("ZEB_SYSROOT");
    std::error_code ignored;
    fs::remove_all(sysroot_, ignored);
}

bool TestHost::start(const std::string &definitionPath) {
    stop();
    context_ = zeb_create();
    if (context_ != nullptr && zeb_subscribe(context_, "", &TestHost::onNotification, this) != 0 &&
        zeb_loadDefinition(context_, definitionPath.c_str()))
        return true;
    recordError();
    stop();
    return false;
}

void TestHost::stop() {
    if (context_ == nullptr)
        return;
    zeb_destroy(context_);
    context_ = nullptr;
}

void TestHost::writeFile(const std::string &absolute, const std::string &content) const {
    fs::path target = path(absolute);
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + target.string());
}

std::string TestHost::readFile(const std::string &absolute) const {
    std::ostringstream content;
    content << std::ifstream(path(absolute), std::ios::binary).rdbuf();
    return content.str();
}

CallResult TestHost::call(const std::string &object, const std::string &function,
                          const json &named) {
    std::vector<std::pair<std::string, Var>> arguments;
    for (auto it = named.begin(); it != named.end(); ++it)
        arguments.emplace_back(it.key(), Var(it.value()));
    return callVars(object, function, arguments, true);
}

CallResult TestHost::callPositional(const std::string &object, const std::string &function,
                                    const json &positional) {
    std::vector<std::pair<std::string, Var>> arguments;
    for (const json &value : positional)
        arguments.emplace_back("", Var(value));
    return callVars(object, function, arguments, false);
}

CallResult TestHost::callVars(const std::string &object, const std::string &function,
                              const std::vector<std::pair<std::string, Var>> &arguments,
                              bool named) {
    CallResult result;
    object_t *target = zeb_getObject(context_, object.c_str(), 0);
    argument_value_list_t args;
    argument_valueListInitialize(&args);
    for (const auto &argument : arguments)
        argument_valueAdd(&args, argument.first.c_str(), argument.second.get());
    result.ok = target != nullptr && zeb_callFunction(context_, target, function.c_str(), &args,
                                                      named, result.retval.get());
    if (!result.ok)
        recordError();
    for (argument_value_t *a = argument_valueFirst(&args); a != nullptr;
         a = argument_valueNext(a)) {
        json value;
        zeb_json::variantToJson(argument_value(a), value);
        std::string name = argument_name(a) != nullptr ? argument_name(a) : "";
        result.outargs[name] = value;
        result.outvars.emplace_back(name, Var());
        variant_copy(result.outvars.back().second.get(), argument_value(a));
    }
    argument_valueListCleanup(&args);
    return result;
}

Var TestHost::get(const std::string &path, bool recursive) {
    Var result;
    if (!zeb_ops_get(context_, path.c_str(), recursive, result.get()))
        recordError();
    return result;
}

bool TestHost::set(const std::string &objectPath, const json &values, std::string *refused) {
    Var map(values);
    char *name = nullptr;
    bool ok = zeb_ops_set(context_, objectPath.c_str(), variant_da_map(map.get()), &name);
    if (!ok)
        recordError();
    if (refused != nullptr)
        *refused = name != nullptr ? name : "";
    std::free(name);
    return ok;
}

std::string TestHost::add(const std::string &templatePath, const json &values,
                          const std::string &key, std::string *refused) {
    Var map(values.is_null() ? json::object() : values);
    char *name = nullptr;
    object_t *instance =
        zeb_ops_add(context_, templatePath.c_str(), key.empty() ? nullptr : key.c_str(),
                    variant_da_map(map.get()), &name);
    if (refused != nullptr)
        *refused = name != nullptr ? name : "";
    std::free(name);
    if (instance == nullptr) {
        recordError();
        return "";
    }
    char *path = object_pathChar(instance, OBJECT_FLAG_KEY);
    std::string result = path != nullptr ? path : "";
    std::free(path);
    return result;
}

bool TestHost::del(const std::string &instancePath) {
    bool ok = zeb_ops_delete(context_, instancePath.c_str());
    if (!ok)
        recordError();
    return ok;
}

size_t TestHost::countTraced(const std::string &text) const {
    return static_cast<size_t>(std::count_if(traces.begin(), traces.end(), [&](const TraceLine &t) {
        return t.line.find(text) != std::string::npos;
    }));
}

void TestHost::onTrace(void *self, int level, const char *zone, const char *line) {
    static_cast<TestHost *>(self)->traces.push_back(
        TraceLine{level, zone != nullptr ? zone : "", line});
}

void TestHost::onNotification(void *self, const notification_t *n) {
    Notification record{notification_type(n), notification_name(n), notification_objectPath(n),
                        json::object()};
    for (notification_parameter_t *p = notification_firstParameter(n); p != nullptr;
         p = notification_nextParameter(p)) {
        json value;
        zeb_json::variantToJson(notification_parameter_value(p), value);
        record.parameters[notification_parameter_name(p)] = value;
    }
    static_cast<TestHost *>(self)->notifications.push_back(std::move(record));
}

} // namespace zebtest
