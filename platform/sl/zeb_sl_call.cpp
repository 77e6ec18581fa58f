#include "zeb_sl_internal.h"

struct request {
    uint32_t attributes = 0;
};

// Lives on zeb_callFunction's stack: fcall_destroy only ends the call, so a
// handler that forgets it leaks nothing.
struct function_call {
    object_t *object = nullptr;
    request_t request;
    bool finished = false;
};

uint32_t request_attributes(const request_t *request) {
    return slCheck(request != nullptr, __func__) ? request->attributes : 0;
}

object_t *fcall_object(const function_call_t *fcall) {
    return slCheck(fcall != nullptr, __func__) ? fcall->object : nullptr;
}

request_t *fcall_request(const function_call_t *fcall) {
    return slCheck(fcall != nullptr, __func__) ? const_cast<request_t *>(&fcall->request) : nullptr;
}

void fcall_destroy(function_call_t *fcall) {
    if (fcall != nullptr)
        fcall->finished = true;
}

namespace {

function_handler_t findHandler(const zeb_t *context, const object_t *object, const char *name) {
    if (object_datamodel(object) != context->dm) {
        slFail(ZEB_ERROR_WRONG_OBJECT, "%s: the object is not in this host's data model", name);
        return nullptr;
    }
    function_t *function = object_getFunction(object, name);
    function_handler_t handler = function != nullptr ? function_handler(function) : nullptr;
    if (handler == nullptr)
        slFail(ZEB_ERROR_NOT_FOUND, "%s: no such function, or it has no handler", name);
    return handler;
}

} // namespace

bool zeb_callFunction(zeb_t *context, object_t *object, const char *function,
                      argument_value_list_t *args, bool named, variant_t *retval) {
    if (!slCheck(context != nullptr && object != nullptr && function != nullptr &&
                     args != nullptr && retval != nullptr,
                 __func__))
        return false;
    function_handler_t handler = findHandler(context, object, function);
    if (handler == nullptr)
        return false;
    function_call_t fcall;
    fcall.object = object;
    fcall.request.attributes = named ? REQUEST_ATTR_NAMED_ARGS : 0;
    uint32_t previousError = zeb_error;
    zeb_error = ZEB_ERROR_NONE;
    int status = handler(&fcall, args, retval);
    if (status == 0) {
        zeb_error = previousError;
        return true;
    }
    if (zeb_error == ZEB_ERROR_NONE)
        slFail(ZEB_ERROR_REFUSED, "%s: the handler failed with status %d", function, status);
    return false;
}
