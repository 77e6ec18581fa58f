// The plug-in that zebd serves in the bus tests. echo hands its arguments
// back (a map when named, a list when positional), split leaves
// out-arguments, fail refuses, notify sends a burst of notifications of a
// chosen size, notifyLater sends one from a timer. Its cleanup leaves the
// file /cleanup-marker under the system root.
#include "zeb/sl.h"
#include "zeb/sysroot.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

zeb_t *host = nullptr;
std::vector<zeb_timer_t *> timers;

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
    struct tm when {};
    when.tm_year = 124; // 2024-02-29T13:05:00Z
    when.tm_mon = 1;
    when.tm_mday = 29;
    when.tm_hour = 13;
    when.tm_min = 5;
    variant_setDateTime(&value, &when);
    notification_addParameter(n, notification_parameter_createVariant("when", &value));
    variant_cleanup(&value);
    zeb_sendNotification(host, nullptr, nullptr, n);
    notification_destroy(n);
}

void onLater(zeb_timer_t *timer, void *) {
    timers.erase(std::find(timers.begin(), timers.end(), timer));
    zeb_timer_destroy(timer);
    send("later", 0, 0);
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

void zeb_plugin_cleanup(void) {
    for (zeb_timer_t *timer : timers)
        zeb_timer_destroy(timer);
    timers.clear();
    char *path = sysroot_path("/cleanup-marker");
    if (FILE *f = std::fopen(path, "w")) {
        std::fputs("cleaned\n", f);
        std::fclose(f);
    }
    std::free(path);
}

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

// split(text): the parts around the first blank, as out-arguments.
int __split(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    variant_t value;
    variant_initialize(&value, variant_type_unknown);
    const char *given = variant_da_char(take(fcall, args, "text", &value));
    std::string text = given != nullptr ? given : "";
    size_t blank = text.find(' ');
    variant_setChar(&value, text.substr(0, blank).c_str());
    argument_valueAdd(args, "head", &value);
    variant_setChar(&value, blank == std::string::npos ? "" : text.substr(blank + 1).c_str());
    argument_valueAdd(args, "tail", &value);
    variant_cleanup(&value);
    variant_setBool(retval, blank != std::string::npos);
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

int __notifyLater(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    zeb_timer_t *timer = zeb_timer_create();
    zeb_timer_setHandler(timer, onLater);
    timers.push_back(timer);
    zeb_timer_start(timer, takeNumber(fcall, args, "delay", 0));
    variant_setBool(retval, true);
    return finish(fcall);
}

bool refuse_negative(parameter_t *parameter) {
    return variant_int64(parameter_getModifiedValue(parameter)) >= 0;
}

} // extern "C"
