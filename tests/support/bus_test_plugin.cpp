// The plug-in that zebd serves in the bus tests. echo hands its arguments
// back (a map when named, a list when positional), fail refuses, notify
// sends a burst of notifications of a chosen size.
#include "zeb/sl.h"

#include <string>

namespace {

zeb_t *host = nullptr;

// The named argument, or the next positional one, taken out of the list.
variant_t *take(function_call_t *fcall, argument_value_list_t *args, const char *name,
                variant_t *value) {
    bool named = (request_attributes(fcall_request(fcall)) & REQUEST_ATTR_NAMED_ARGS) != 0;
    argument_value_t *arg = named ? argument_valueTakeArgument(argument_valueByName(args, name))
                                  : argument_valueTakeArgumentFirst(args);
    if (arg != nullptr)
        variant_move(value, argument_value(arg));
    argument_valueDestroy(arg);
    return value;
}

uint32_t takeNumber(function_call_t *fcall, argument_value_list_t *args, const char *name,
                    uint32_t fallback) {
    variant_t value;
    variant_initialize(&value, variant_type_unknown);
    uint32_t number = variant_type(take(fcall, args, name, &value)) != variant_type_unknown
                          ? variant_uint32(&value)
                          : fallback;
    variant_cleanup(&value);
    return number;
}

void send(const char *name, uint32_t index, size_t size) {
    notification_t *n = notification_create(7);
    notification_setName(n, name);
    notification_setObjectPath(n, "Test");
    variant_t value;
    variant_initialize(&value, variant_type_unknown);
    variant_setUInt32(&value, index);
    notification_addParameter(n, notification_parameter_createVariant("index", &value));
    variant_setChar(&value, std::string(size, 'x').c_str());
    notification_addParameter(n, notification_parameter_createVariant("payload", &value));
    variant_cleanup(&value);
    zeb_sendNotification(host, nullptr, nullptr, n);
    notification_destroy(n);
}

int finish(function_call_t *fcall) {
    fcall_destroy(fcall);
    return 0;
}

} // namespace

extern "C" {

bool zeb_plugin_initialize(zeb_t *context) {
    host = context;
    return true;
}

void zeb_plugin_cleanup(void) {}

int __echo(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    bool named = (request_attributes(fcall_request(fcall)) & REQUEST_ATTR_NAMED_ARGS) != 0;
    variant_cleanup(retval);
    variant_initialize(retval, named ? variant_type_map : variant_type_array);
    while (argument_value_t *arg = argument_valueTakeArgumentFirst(args)) {
        if (named)
            variant_map_add(variant_da_map(retval), argument_name(arg), argument_value(arg));
        else
            variant_list_add(variant_da_list(retval), argument_value(arg));
        argument_valueDestroy(arg);
    }
    return finish(fcall);
}

int __fail(function_call_t *fcall, argument_value_list_t *, variant_t *) {
    zeb_setError(ZEB_ERROR_REFUSED, "fail: refused on purpose");
    fcall_destroy(fcall);
    return 1;
}

int __notify(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    variant_t name;
    variant_initialize(&name, variant_type_unknown);
    take(fcall, args, "name", &name);
    uint32_t count = takeNumber(fcall, args, "count", 1);
    uint32_t size = takeNumber(fcall, args, "size", 0);
    for (uint32_t i = 0; i < count; ++i)
        send(variant_da_char(&name) != nullptr ? variant_da_char(&name) : "event", i, size);
    variant_cleanup(&name);
    variant_setUInt32(retval, count);
    return finish(fcall);
}

bool refuse_negative(parameter_t *parameter) {
    return variant_int64(parameter_getModifiedValue(parameter)) >= 0;
}

} // extern "C"
