// The demo plug-in: Demo.greet(name) answers "<Greeting>, <name>!", counts
// the greetings in the read-only Demo.Greeted and tells subscribers with a
// "greeted" notification.
#include "zeb/sl.h"

#include <cstdlib>
#include <string>

namespace {

zeb_t *host = nullptr;

std::string takeName(function_call_t *fcall, argument_value_list_t *args) {
    bool named = (request_attributes(fcall_request(fcall)) & REQUEST_ATTR_NAMED_ARGS) != 0;
    argument_value_t *arg = named ? argument_valueTakeArgument(argument_valueByName(args, "name"))
                                  : argument_valueTakeArgumentFirst(args);
    char *text = arg != nullptr ? variant_char(argument_value(arg)) : nullptr;
    std::string name = text != nullptr ? text : "world";
    std::free(text);
    argument_valueDestroy(arg);
    return name;
}

} // namespace

extern "C" {

bool zeb_plugin_initialize(zeb_t *context) {
    host = context;
    return true;
}

void zeb_plugin_cleanup(void) { host = nullptr; }

int __greet(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    object_t *demo = fcall_object(fcall);
    std::string name = takeName(fcall, args);
    const char *greeting = variant_da_char(object_parameterValue(demo, "Greeting"));
    std::string answer = std::string(greeting != nullptr ? greeting : "Hello") + ", " + name + "!";
    variant_setChar(retval, answer.c_str());

    variant_t count;
    variant_initialize(&count, variant_type_unknown);
    variant_setUInt32(&count, variant_uint32(object_parameterValue(demo, "Greeted")) + 1);
    object_parameterSetValue(demo, "Greeted", &count);
    object_commit(demo);

    notification_t *n = notification_create(1);
    notification_setName(n, "greeted");
    notification_setObjectPath(n, "Demo");
    variant_t nameValue;
    variant_initialize(&nameValue, variant_type_unknown);
    variant_setChar(&nameValue, name.c_str());
    notification_addParameter(n, notification_parameter_createVariant("name", &nameValue));
    notification_addParameter(n, notification_parameter_createVariant("count", &count));
    zeb_sendNotification(host, nullptr, nullptr, n);
    notification_destroy(n);
    variant_cleanup(&nameValue);
    variant_cleanup(&count);
    fcall_destroy(fcall);
    return 0;
}

} // extern "C"
