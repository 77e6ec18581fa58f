// A plug-in for the host tests. It tells what happens to it with
// notifications named after the event, so tests see it by subscribing.
#include "zeb/sl.h"

#include <cstdlib>
#include <string>

namespace {

zeb_t *host = nullptr;

void report(const std::string &what, const char *path) {
    notification_t *n = notification_create(1);
    notification_setName(n, what.c_str());
    notification_setObjectPath(n, path);
    zeb_sendNotification(host, nullptr, nullptr, n);
    notification_destroy(n);
}

std::string take(argument_value_t *arg) {
    char *text = arg != nullptr ? variant_char(argument_value(arg)) : nullptr;
    std::string result = text != nullptr ? text : "-";
    free(text);
    argument_valueDestroy(arg);
    return result;
}

} // namespace

extern "C" {

bool zeb_plugin_initialize(zeb_t *context) {
    host = context;
    report("initialized", TEST_PLUGIN_NAME);
    return zeb_getObject(context, "RefuseStart", 0) == nullptr;
}

#ifndef TEST_PLUGIN_BARE
void zeb_plugin_cleanup(void) {
    report("cleanup", TEST_PLUGIN_NAME);
}
#endif

// Named: takes "a" and "b" out of the list. Positional: takes the first two.
int __echo(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    bool named = request_attributes(fcall_request(fcall)) & REQUEST_ATTR_NAMED_ARGS;
    auto next = [&](const char *name) {
        return take(named ? argument_valueTakeArgument(argument_valueByName(args, name))
                          : argument_valueTakeArgumentFirst(args));
    };
    std::string a = next("a");
    std::string answer = object_name(fcall_object(fcall), 0) + (":" + a) + "|" + next("b");
    variant_setChar(retval, answer.c_str());
    fcall_destroy(fcall);
    return 0;
}

int __outArg(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    argument_value_t *out = argument_valueCreate("out");
    variant_setChar(argument_value(out), "result");
    argument_valuePrepend(args, out);
    variant_setBool(retval, true);
    fcall_destroy(fcall);
    return 0;
}

// Fails without ending the call.
int __fail(function_call_t *, argument_value_list_t *, variant_t *) {
    return 7;
}

void onWrite(parameter_t *parameter) {
    char *path = object_pathChar(parameter_owner(parameter), 0);
    report(std::string("written:") + variant_da_char(parameter_getModifiedValue(parameter)), path);
    free(path);
}

} // extern "C"
