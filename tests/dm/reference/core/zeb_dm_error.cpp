#include <cstdio>
#include <string>

#include "zeb_dm_internal.h"

uint32_t zeb_error = ZEB_ERROR_NONE;

namespace {

std::string &message() {
    static std::string text = "no error";
    return text;
}

} // namespace

namespace zeb_dm {

bool failV(uint32_t code, const char *format, va_list args) {
    zeb_error = code;
    char buffer[1024];
    vsnprintf(buffer, sizeof(buffer), format, args);
    try {
        message() = std::string(error_string(code)) + ": " + buffer;
    } catch (const std::bad_alloc &) {
        message().clear();
    }
    return false;
}

bool fail(uint32_t code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    failV(code, format, args);
    va_end(args);
    return false;
}

void appendToMessage(const std::string &text) {
    try {
        message() += text;
    } catch (const std::bad_alloc &) {
    }
}

} // namespace zeb_dm

extern "C" {

const char *error_string(uint32_t code) {
    switch (code) {
    case ZEB_ERROR_NONE:
        return "no error";
    case ZEB_ERROR_INVALID_ARGUMENT:
        return "invalid argument";
    case ZEB_ERROR_NOT_FOUND:
        return "not found";
    case ZEB_ERROR_DUPLICATE:
        return "already exists";
    case ZEB_ERROR_TYPE:
        return "impossible conversion";
    case ZEB_ERROR_REFUSED:
        return "value refused";
    case ZEB_ERROR_READ_ONLY:
        return "read-only";
    case ZEB_ERROR_NO_MEMORY:
        return "out of memory";
    case ZEB_ERROR_IO:
        return "input/output error";
    case ZEB_ERROR_INVALID_FILE:
        return "invalid file";
    case ZEB_ERROR_LIMIT:
        return "limit exceeded";
    case ZEB_ERROR_WRONG_OBJECT:
        return "wrong kind of object";
    case ZEB_ERROR_STATE:
        return "object state forbids it";
    case ZEB_ERROR_PERMISSION:
        return "permission denied";
    default:
        return "unknown error";
    }
}

void zeb_setError(uint32_t code, const char *format, ...) {
    zeb_error = code;
    char buffer[1024] = "";
    if (format) {
        va_list args;
        va_start(args, format);
        vsnprintf(buffer, sizeof(buffer), format, args);
        va_end(args);
    }
    try {
        message() = buffer;
    } catch (const std::bad_alloc &) {
        message().clear();
    }
}

const char *zeb_errorMessage(void) {
    return message().empty() ? error_string(zeb_error) : message().c_str();
}

} // extern "C"
