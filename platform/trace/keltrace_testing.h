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

/* Milliseconds of a monotonic clock; null restores the system's. */
typedef uint64_t (*kelTraceClock)(void);
void kelTraceSetClock(kelTraceClock clock);

#ifdef __cplusplus
}
#endif

#endif
