#include "zeb/zstring.h"

#include "zeb_variant_internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t minimumCapacity = 15;

// A string made by string_newInline keeps its first buffer right after
// itself, in the same allocation; that one is never freed on its own.
void releaseBuffer(string_t *string) {
    if (string->buffer != reinterpret_cast<char *>(string + 1)) {
        free(string->buffer);
    }
}

// `capacity` counts characters; the allocation holds one more for the NUL.
size_t grownCapacity(size_t current, size_t needed) {
    size_t capacity = current > minimumCapacity ? current : minimumCapacity;
    while (capacity < needed) {
        capacity = capacity > SIZE_MAX / 2 ? needed : capacity * 2;
    }
    return capacity;
}

// Gives the string `content` (length bytes, not NUL-terminated) in a new
// buffer. The old buffer is freed only after the copy, so `content` may
// point into it.
bool replaceBuffer(string_t *string, size_t capacity, const char *prefix, size_t prefixLength,
                   const char *content, size_t length) {
    if (capacity == SIZE_MAX) {
        return false;
    }
    auto *buffer = static_cast<char *>(malloc(capacity + 1));
    if (!buffer) {
        return false;
    }
    if (prefixLength > 0) {
        memcpy(buffer, prefix, prefixLength);
    }
    if (length > 0) {
        memcpy(buffer + prefixLength, content, length);
    }
    buffer[prefixLength + length] = '\0';
    releaseBuffer(string);
    string->buffer = buffer;
    string->capacity = capacity;
    string->length = prefixLength + length;
    return true;
}

bool appendBytes(string_t *string, const char *bytes, size_t count) {
    size_t needed = string->length + count;
    if (needed < count) {
        return false;
    }
    if (!string->buffer || needed > string->capacity) {
        return replaceBuffer(string, grownCapacity(string->capacity, needed), string->buffer,
                             string->length, bytes, count);
    }
    memmove(string->buffer + string->length, bytes, count);
    string->length = needed;
    string->buffer[needed] = '\0';
    return true;
}

} // namespace

bool string_initialize(string_t *string, size_t capacity) {
    if (!string) {
        return false;
    }
    string->buffer = nullptr;
    string->length = 0;
    string->capacity = 0;
    return capacity == 0 || replaceBuffer(string, capacity, nullptr, 0, nullptr, 0);
}

void string_cleanup(string_t *string) {
    if (!string) {
        return;
    }
    releaseBuffer(string);
    string_initialize(string, 0);
}

const char *string_buffer(const string_t *string) {
    return string ? string->buffer : nullptr;
}

size_t string_length(const string_t *string) {
    return string ? string->length : 0;
}

bool string_isEmpty(const string_t *string) {
    return !string || string->length == 0;
}

void string_clear(string_t *string) {
    if (!string || !string->buffer) {
        return;
    }
    string->length = 0;
    string->buffer[0] = '\0';
}

bool string_setChar(string_t *string, const char *text) {
    if (!string) {
        return false;
    }
    size_t length = text ? strlen(text) : 0;
    if (!string->buffer || length > string->capacity) {
        return replaceBuffer(string, grownCapacity(0, length), nullptr, 0, text, length);
    }
    memmove(string->buffer, text ? text : "", length);
    string->length = length;
    string->buffer[length] = '\0';
    return true;
}

bool string_appendChar(string_t *string, const char *text) {
    if (!string || !text) {
        return false;
    }
    return appendBytes(string, text, strlen(text));
}

bool string_appendFormat(string_t *string, const char *format, ...) {
    va_list args;
    va_start(args, format);
    bool done = string_appendFormatV(string, format, args);
    va_end(args);
    return done;
}

bool string_appendFormatV(string_t *string, const char *format, va_list args) {
    if (!string || !format) {
        return false;
    }
    // Formatting into a separate buffer keeps arguments that point into the
    // string itself valid while they are read.
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int written = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (written < 0) {
        return false;
    }
    auto length = static_cast<size_t>(written);
    if (length < sizeof small) {
        return appendBytes(string, small, length);
    }
    auto *large = static_cast<char *>(malloc(length + 1));
    if (!large) {
        return false;
    }
    vsnprintf(large, length + 1, format, args);
    bool done = appendBytes(string, large, length);
    free(large);
    return done;
}

size_t string_replaceChar(string_t *string, const char *search, const char *replacement) {
    if (!string || !string->buffer || !search || !*search || !replacement) {
        return 0;
    }
    size_t searchLength = strlen(search);
    size_t replacementLength = strlen(replacement);
    size_t count = 0;
    string_t result;
    string_initialize(&result, 0);
    const char *rest = string->buffer;
    for (const char *hit = strstr(rest, search); hit; hit = strstr(rest, search)) {
        if (!appendBytes(&result, rest, static_cast<size_t>(hit - rest)) ||
            !appendBytes(&result, replacement, replacementLength)) {
            string_cleanup(&result);
            return 0;
        }
        rest = hit + searchLength;
        count++;
    }
    if (count == 0 || !string_appendChar(&result, rest)) {
        string_cleanup(&result);
        return 0;
    }
    releaseBuffer(string);
    *string = result;
    return count;
}

string_t *string_newInline(const char *text, size_t length) {
    void *block = malloc(sizeof(string_t) + length + 1);
    return block ? zeb_string_placeInline(block, text, length) : nullptr;
}

string_t *zeb_string_placeInline(void *block, const char *text, size_t length) {
    auto *string = static_cast<string_t *>(block);
    string->buffer = reinterpret_cast<char *>(string + 1);
    string->length = length;
    string->capacity = length;
    if (length > 0) {
        memcpy(string->buffer, text, length);
    }
    string->buffer[length] = '\0';
    return string;
}
