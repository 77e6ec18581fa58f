/*
 * Assertions on invariants that only a broken data model definition or broken
 * constant tables can violate. They hold in every build type: a failed one is
 * traced as an error, printed on standard error and aborts the process.
 */
#ifndef PHONEBOOK_ASSERT_H
#define PHONEBOOK_ASSERT_H

#include <stdio.h>
#include <stdlib.h>

#include "keltrace/keltrace.h"

[[noreturn]] inline void phonebook_assertFailed(const char *text, const char *function,
                                                const char *file, int line) {
    kelTraceWrite(NULL, KELTRACE_LEVEL_ERROR, function, file, line, "Assertion `%s' failed", text);
    fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, text);
    abort();
}

#define PHONEBOOK_ASSERT(expr)                                                                     \
    ((expr) ? (void)0 : phonebook_assertFailed(#expr, __func__, __FILE__, __LINE__))

#endif
