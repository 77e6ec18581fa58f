/*
 * Growable byte strings.
 *
 * Rules:
 * - A string_t may live in the caller's storage (string_initialize) or on the
 *   heap (the caller allocates the struct, then initializes it). string_cleanup
 *   releases the content only; a heap string_t is then freed with free().
 * - The buffer is always NUL-terminated once allocated. The content may hold
 *   any byte except NUL.
 * - Functions that allocate return false when memory runs out and leave the
 *   string as it was.
 * - Every function accepts a null string: it does nothing and returns false,
 *   null or 0; string_isEmpty(null) is true.
 */
#ifndef ZEB_ZSTRING_H
#define ZEB_ZSTRING_H

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What follows is the library's interface, exported from it; the rest of
 * the library is hidden. */
#pragma GCC visibility push(default)

/* Fields are private to the library. */
typedef struct string {
    char *buffer;
    size_t length;
    size_t capacity;
} string_t;

/* Makes an empty string. With a capacity above 0 the buffer is allocated at
 * once (holding "") and string_buffer gives ""; with 0 nothing is allocated
 * and string_buffer gives null until something is written. */
bool string_initialize(string_t *string, size_t capacity);

/* Releases the buffer; the string is then as after string_initialize(s, 0). */
void string_cleanup(string_t *string);

/* The characters, owned by the string; null when no buffer was allocated. */
const char *string_buffer(const string_t *string);

size_t string_length(const string_t *string);

/* True when the string holds no characters (also with no buffer). */
bool string_isEmpty(const string_t *string);

/* Empties the string, keeping its buffer. */
void string_clear(string_t *string);

/* Replaces the content with a copy of `text`; null text empties the string. */
bool string_setChar(string_t *string, const char *text);

/* Appends a copy of `text`. */
bool string_appendChar(string_t *string, const char *text);

/* Appends printf-formatted text. */
bool string_appendFormat(string_t *string, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
bool string_appendFormatV(string_t *string, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));

/* A new heap string holding a copy of `length` bytes of `text`, made in one
 * allocation with its buffer. Released like any heap string: string_cleanup,
 * then free(); it may grow like any other. Null when memory runs out. */
string_t *string_newInline(const char *text, size_t length);

/* Replaces every non-overlapping occurrence of `search`, scanning left to
 * right, by `replacement` (which may be empty). Returns the number of
 * replacements; 0 also when `search` is null or empty, `replacement` is null,
 * or memory ran out (the string is then unchanged). */
size_t string_replaceChar(string_t *string, const char *search, const char *replacement);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
