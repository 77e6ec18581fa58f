/*
 * Trace library: leveled, zoned trace lines.
 *
 * Line format (colour strings are always empty):
 *   message: "%s%-7.7s%s - %s[%s]%s%s" <message> "%s - %s(%s@%s:%d)%s"
 *   entry:   "%s%-7.7s%s - >>>>>>>>>>%s - %s(%s@%s:%d)%s"
 *   exit:    "%s%-7.7s%s - <<<<<<<<<<%s - %s(%s@%s:%d)%s"
 * with the zone name (empty without a zone) padded or cut to seven
 * characters, the level mark, the function, the source file's base name and
 * the line. Marks: level <= 100 "x" (error), <= 200 "!" (warning),
 * <= 300 "n" (notice), above "i" (information). Entry and exit lines are
 * written at level 500.
 *
 * Filtering: a line in a registered zone is written when its level is at most
 * the zone's level. A line without a zone, or in a zone that was never
 * registered, is written when its level is at most the default level, which is
 * 200 (errors and warnings) unless kelTraceSetDefaultLevel changes it.
 * Nothing is formatted for a line that the filter drops.
 *
 * Output: each line, with a final line feed, goes to standard error, or to
 * syslog after kelTraceOpenSyslog, or to the sink installed with
 * kelTraceSetSink. Lines longer than KELTRACE_LINE_MAX bytes are cut.
 *
 * Rate limit: standard error and syslog take at most a burst of lines from
 * one call site (source file and line) per interval, 10 lines per 5 seconds
 * unless kelTraceSetRateLimit or the environment variable KELTRACE_RATE_LIMIT
 * ("BURST/SECONDS", read at the first line written; "0" turns the limit off)
 * says otherwise. Lines over the limit are counted and not formatted; the
 * next line that the site writes in a later interval is preceded by one at
 * the same level and zone: "<n> similar lines suppressed". A sink sees every
 * line.
 *
 * The library keeps process-wide state and is meant for single-threaded
 * hosts; calls from several threads must be serialized by the caller.
 */
#ifndef KELTRACE_H
#define KELTRACE_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What follows is the library's interface, exported from it; the rest of
 * the library is hidden. */
#pragma GCC visibility push(default)

#define KELTRACE_LINE_MAX 4096

#define KELTRACE_LEVEL_ERROR 100
#define KELTRACE_LEVEL_WARNING 200
#define KELTRACE_LEVEL_NOTICE 300
#define KELTRACE_LEVEL_INFO 400
#define KELTRACE_LEVEL_CALLS 500

/* Receives one finished line, without the final line feed. */
typedef void (*kelTraceSink)(void *userData, int level, const char *zone, const char *line);

/* Registers `zone` (copied) with `level`, or changes the level of a zone
 * already registered. False for a null or empty zone name. */
bool kelTraceAddZone(int level, const char *zone);

/* Forgets every registered zone and restores the default level and rate
 * limit (the environment is read again at the next line). */
void kelTraceReset(void);

void kelTraceSetDefaultLevel(int level);
int kelTraceDefaultLevel(void);

/* The level a line in `zone` (null: no zone) must not exceed to be written. */
int kelTraceZoneLevel(const char *zone);

/* Sends lines to `sink` instead of standard error; null restores standard
 * error. */
void kelTraceSetSink(kelTraceSink sink, void *userData);

/* Sends lines to syslog under `ident` (copied) until kelTraceSetSink. */
void kelTraceOpenSyslog(const char *ident);

/* At most `burst` lines per call site every `seconds` seconds on standard
 * error and syslog; a burst or interval of 0 turns the limit off. */
void kelTraceSetRateLimit(unsigned burst, unsigned seconds);

/* Reads a limit written "BURST/SECONDS", or "0" for none (both outputs then
 * 0). False, outputs untouched, for anything else or a null text. */
bool kelTraceParseRateLimit(const char *text, unsigned *burst, unsigned *seconds);

/* Writes one message line; use the macros below. `zone` may be null. */
void kelTraceWrite(const char *zone, int level, const char *function, const char *file, int line,
                   const char *format, ...) __attribute__((format(printf, 6, 7)));

/* Writes an entry (enter true) or exit line at level 500. */
void kelTraceCall(const char *zone, bool enter, const char *function, const char *file, int line);

#define kelTrace(level, ...) kelTraceWrite(NULL, (level), __func__, __FILE__, __LINE__, __VA_ARGS__)
#define kelTraceZ(level, zone, ...)                                                                \
    kelTraceWrite((zone), (level), __func__, __FILE__, __LINE__, __VA_ARGS__)
#define kelTraceIn(zone) kelTraceCall((zone), true, __func__, __FILE__, __LINE__)
#define kelTraceOut(zone) kelTraceCall((zone), false, __func__, __FILE__, __LINE__)

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
