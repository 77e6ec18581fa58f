/*
 * Test seam of libkeltrace: the clock of the rate limit, so that tests can
 * step through intervals. Not part of the public interface; production code
 * never calls it.
 */
#ifndef KELTRACE_TESTING_H
#define KELTRACE_TESTING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exported although not the interface: the tests of the plug-in reach it in
 * the same library that the plug-in uses. */
#pragma GCC visibility push(default)

/* Milliseconds of a monotonic clock; null restores the system's. */
typedef uint64_t (*kelTraceClock)(void);
void kelTraceSetClock(kelTraceClock clock);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
