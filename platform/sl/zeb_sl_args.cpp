#include "zeb_sl_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

// Every link of an argument list is the first member of an argument, and
// aligned for the whole of it.
argument_value_t *fromLink(llist_iterator_t *it) {
    return static_cast<argument_value_t *>(static_cast<void *>(it));
}

bool linkArgument(argument_value_list_t *args, argument_value_t *arg, bool atFront,
                  const char *function) {
    if (!slCheck(args != nullptr && arg != nullptr, function))
        return false;
    bool linked = atFront ? llist_prepend(args, &arg->it) : llist_append(args, &arg->it);
    if (!linked)
        slFail(ZEB_ERROR_STATE, "%s: the argument is already in a list", function);
    return linked;
}

} // namespace

bool argument_valueListInitialize(argument_value_list_t *args) {
    return slCheck(args != nullptr, __func__) && llist_initialize(args);
}

void argument_valueListCleanup(argument_value_list_t *args) {
    while (argument_value_t *arg = argument_valueTakeArgumentFirst(args))
        argument_valueDestroy(arg);
}

argument_value_t *argument_valueCreate(const char *name) {
    auto *arg = static_cast<argument_value_t *>(std::calloc(1, sizeof(argument_value_t)));
    char *copy = strdup(name != nullptr ? name : "");
    if (arg == nullptr || copy == nullptr) {
        std::free(arg);
        std::free(copy);
        slFail(ZEB_ERROR_NO_MEMORY, "%s: out of memory", __func__);
        return nullptr;
    }
    llist_iterator_initialize(&arg->it);
    arg->name = copy;
    variant_initialize(&arg->value, variant_type_unknown);
    return arg;
}

void argument_valueDestroy(argument_value_t *arg) {
    if (arg == nullptr)
        return;
    llist_iterator_take(&arg->it);
    variant_cleanup(&arg->value);
    std::free(arg->name);
    std::free(arg);
}

bool argument_valueAppend(argument_value_list_t *args, argument_value_t *arg) {
    return linkArgument(args, arg, false, __func__);
}

bool argument_valuePrepend(argument_value_list_t *args, argument_value_t *arg) {
    return linkArgument(args, arg, true, __func__);
}

bool argument_valueAdd(argument_value_list_t *args, const char *name, const variant_t *value) {
    if (!slCheck(args != nullptr && value != nullptr, __func__))
        return false;
    argument_value_t *arg = argument_valueCreate(name);
    if (arg == nullptr)
        return false;
    if (!variant_copy(&arg->value, value)) {
        argument_valueDestroy(arg);
        slFail(ZEB_ERROR_NO_MEMORY, "%s: cannot copy the value", __func__);
        return false;
    }
    return argument_valueAppend(args, arg);
}

const char *argument_name(const argument_value_t *arg) {
    return slCheck(arg != nullptr, __func__) ? arg->name : nullptr;
}

variant_t *argument_value(const argument_value_t *arg) {
    return slCheck(arg != nullptr, __func__) ? const_cast<variant_t *>(&arg->value) : nullptr;
}

argument_value_t *argument_valueFirst(const argument_value_list_t *args) {
    return fromLink(llist_first(args));
}

argument_value_t *argument_valueNext(const argument_value_t *arg) {
    return arg != nullptr ? fromLink(llist_iterator_next(&arg->it)) : nullptr;
}

argument_value_t *argument_valueByName(const argument_value_list_t *args, const char *name) {
    if (!slCheck(args != nullptr && name != nullptr, __func__))
        return nullptr;
    for (argument_value_t *arg = argument_valueFirst(args); arg != nullptr;
         arg = argument_valueNext(arg)) {
        if (std::strcmp(arg->name, name) == 0)
            return arg;
    }
    return nullptr;
}

argument_value_t *argument_valueTakeArgument(argument_value_t *arg) {
    if (!slCheck(arg != nullptr, __func__))
        return nullptr;
    llist_iterator_take(&arg->it);
    return arg;
}

argument_value_t *argument_valueTakeArgumentFirst(argument_value_list_t *args) {
    argument_value_t *first = argument_valueFirst(args);
    return first != nullptr ? argument_valueTakeArgument(first) : nullptr;
}

char *argument_takeChar(argument_value_list_t *args) {
    argument_value_t *arg = argument_valueTakeArgumentFirst(args);
    char *text = arg != nullptr ? variant_char(&arg->value) : nullptr;
    argument_valueDestroy(arg);
    return text;
}

variant_list_t *argument_takeArray(argument_value_list_t *args) {
    argument_value_t *arg = argument_valueTakeArgumentFirst(args);
    variant_list_t *list = nullptr;
    if (arg != nullptr && variant_type(&arg->value) == variant_type_array)
        list = variant_list(&arg->value);
    argument_valueDestroy(arg);
    return list;
}
