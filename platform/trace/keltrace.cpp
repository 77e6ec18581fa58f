#include "keltrace/keltrace.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <syslog.h>
#include <utility>
#include <vector>

#include "keltrace_testing.h"

namespace {

struct Zone {
    std::string name;
    int level;
};

/* What one call site wrote in its current interval. */
struct Site {
    uint64_t intervalStart = 0;
    unsigned written = 0;
    unsigned suppressed = 0;
};

uint64_t systemClock() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

struct RateLimit {
    bool configured = false; /* the environment is read once, at the first line */
    unsigned burst = 10;
    unsigned seconds = 5;
    kelTraceClock clock = systemClock;
    /* Keyed by the file name's address and the line: the sites of a program
     * are few and fixed. */
    std::map<std::pair<const char *, int>, Site> sites;
};

struct TraceState {
    RateLimit limit;
    std::vector<Zone> zones;
    int defaultLevel = KELTRACE_LEVEL_WARNING;
    int highestLevel = KELTRACE_LEVEL_WARNING; /* of the default and every zone */
    kelTraceSink sink = nullptr;
    void *sinkData = nullptr;
    bool syslogOpen = false;
    std::string syslogIdent;
};

TraceState &state() {
    static TraceState s;
    return s;
}

const char *levelMark(int level) {
    if (level <= KELTRACE_LEVEL_ERROR)
        return "x";
    if (level <= KELTRACE_LEVEL_WARNING)
        return "!";
    if (level <= KELTRACE_LEVEL_NOTICE)
        return "n";
    return "i";
}

int syslogPriority(int level) {
    if (level <= KELTRACE_LEVEL_ERROR)
        return LOG_ERR;
    if (level <= KELTRACE_LEVEL_WARNING)
        return LOG_WARNING;
    if (level <= KELTRACE_LEVEL_NOTICE)
        return LOG_NOTICE;
    if (level <= KELTRACE_LEVEL_INFO)
        return LOG_INFO;
    return LOG_DEBUG;
}

const char *baseName(const char *file) {
    if (file == nullptr)
        return "";
    const char *slash = std::strrchr(file, '/');
    return slash != nullptr ? slash + 1 : file;
}

/* Most lines are dropped: those above every level are, without a look at
 * their zone. */
bool passes(const char *zone, int level) {
    return level <= state().highestLevel && level <= kelTraceZoneLevel(zone);
}

void updateHighestLevel() {
    TraceState &s = state();
    s.highestLevel = s.defaultLevel;
    for (const Zone &z : s.zones)
        s.highestLevel = std::max(s.highestLevel, z.level);
}

// Appends printf output to a fixed buffer, keeping track of what is left.
struct LineBuffer {
    char text[KELTRACE_LINE_MAX];
    size_t used = 0;

    __attribute__((format(printf, 2, 0))) void appendV(const char *format, va_list args) {
        if (used >= sizeof text - 1)
            return;
        int n = std::vsnprintf(text + used, sizeof text - used, format, args);
        if (n > 0)
            used += std::min(static_cast<size_t>(n), sizeof text - 1 - used);
    }
    __attribute__((format(printf, 2, 3))) void append(const char *format, ...) {
        va_list args;
        va_start(args, format);
        appendV(format, args);
        va_end(args);
    }
};

void configureFromEnvironment(RateLimit &limit) {
    limit.configured = true;
    const char *text = std::getenv("KELTRACE_RATE_LIMIT");
    if (text != nullptr && !kelTraceParseRateLimit(text, &limit.burst, &limit.seconds))
        std::fprintf(stderr, "keltrace: KELTRACE_RATE_LIMIT=%s is not BURST/SECONDS or 0\n", text);
}

/* How many lines the site dropped before this one, which it may write; -1
 * when this line is dropped too. Only standard error and syslog are limited. */
long admit(const char *file, int line) {
    TraceState &s = state();
    RateLimit &limit = s.limit;
    if (!limit.configured)
        configureFromEnvironment(limit);
    if (s.sink != nullptr || limit.burst == 0 || limit.seconds == 0)
        return 0;
    uint64_t now = limit.clock();
    Site &site = limit.sites[{file, line}];
    if (site.written == 0 || now - site.intervalStart >= uint64_t{limit.seconds} * 1000u) {
        long dropped = site.suppressed;
        site = Site{now, 1, 0};
        return dropped;
    }
    if (site.written < limit.burst) {
        site.written++;
        return 0;
    }
    site.suppressed++;
    return -1;
}

void emit(const char *zone, int level, const char *line) {
    TraceState &s = state();
    if (s.sink != nullptr) {
        s.sink(s.sinkData, level, zone, line);
    } else if (s.syslogOpen) {
        syslog(syslogPriority(level), "%s", line);
    } else {
        std::fprintf(stderr, "%s\n", line);
    }
}

/* Says how many lines of the site the limit dropped, in the site's own
 * format, so that the line reads like the ones it stands for. */
void emitSuppressed(const char *zone, int level, const char *function, const char *file, int line,
                    long dropped) {
    LineBuffer buf;
    buf.append("%s%-7.7s%s - %s[%s]%s%s%ld similar lines suppressed%s - %s(%s@%s:%d)%s", "",
               zone != nullptr ? zone : "", "", "", levelMark(level), "", "", dropped, "", "",
               function != nullptr ? function : "", baseName(file), line, "");
    emit(zone, level, buf.text);
}

} // namespace

extern "C" {

bool kelTraceAddZone(int level, const char *zone) {
    if (zone == nullptr || *zone == '\0')
        return false;
    for (Zone &z : state().zones) {
        if (z.name == zone) {
            z.level = level;
            updateHighestLevel();
            return true;
        }
    }
    state().zones.push_back(Zone{zone, level});
    updateHighestLevel();
    return true;
}

void kelTraceReset(void) {
    kelTraceClock clock = state().limit.clock;
    state().limit = RateLimit();
    state().limit.clock = clock;
    state().zones.clear();
    state().defaultLevel = KELTRACE_LEVEL_WARNING;
    updateHighestLevel();
}

void kelTraceSetDefaultLevel(int level) {
    state().defaultLevel = level;
    updateHighestLevel();
}

int kelTraceDefaultLevel(void) {
    return state().defaultLevel;
}

int kelTraceZoneLevel(const char *zone) {
    if (zone != nullptr) {
        for (const Zone &z : state().zones) {
            if (z.name == zone)
                return z.level;
        }
    }
    return state().defaultLevel;
}

void kelTraceSetSink(kelTraceSink sink, void *userData) {
    TraceState &s = state();
    s.sink = sink;
    s.sinkData = userData;
    if (s.syslogOpen) {
        closelog();
        s.syslogOpen = false;
    }
}

void kelTraceOpenSyslog(const char *ident) {
    TraceState &s = state();
    s.sink = nullptr;
    s.sinkData = nullptr;
    // openlog keeps the pointer, so the copy must outlive it.
    s.syslogIdent = ident != nullptr ? ident : "";
    openlog(s.syslogIdent.c_str(), LOG_PID, LOG_DAEMON);
    s.syslogOpen = true;
}

void kelTraceSetRateLimit(unsigned burst, unsigned seconds) {
    RateLimit &limit = state().limit;
    limit.configured = true;
    limit.burst = burst;
    limit.seconds = seconds;
    limit.sites.clear();
}

bool kelTraceParseRateLimit(const char *text, unsigned *burst, unsigned *seconds) {
    if (text == nullptr)
        return false;
    if (std::strcmp(text, "0") == 0) {
        *burst = *seconds = 0;
        return true;
    }
    auto number = [](const char *from, char **end) {
        errno = 0;
        unsigned long value = *from >= '0' && *from <= '9' ? std::strtoul(from, end, 10) : 0;
        return errno == 0 && *end != from && value <= 1000000u ? static_cast<long>(value) : -1L;
    };
    char *end = nullptr;
    long b = number(text, &end);
    if (b < 0 || end == nullptr || *end != '/')
        return false;
    long sec = number(end + 1, &end);
    if (sec < 0 || *end != '\0')
        return false;
    *burst = static_cast<unsigned>(b);
    *seconds = static_cast<unsigned>(sec);
    return true;
}

void kelTraceSetClock(kelTraceClock clock) {
    state().limit.clock = clock != nullptr ? clock : systemClock;
}

void kelTraceWrite(const char *zone, int level, const char *function, const char *file, int line,
                   const char *format, ...) {
    if (!passes(zone, level))
        return;
    long dropped = admit(file, line);
    if (dropped < 0)
        return;
    if (dropped > 0)
        emitSuppressed(zone, level, function, file, line, dropped);
    const char *zoneName = zone != nullptr ? zone : "";
    LineBuffer buf;
    buf.append("%s%-7.7s%s - %s[%s]%s%s", "", zoneName, "", "", levelMark(level), "", "");
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        buf.appendV(format, args);
        va_end(args);
    }
    buf.append("%s - %s(%s@%s:%d)%s", "", "", function != nullptr ? function : "", baseName(file),
               line, "");
    emit(zone, level, buf.text);
}

void kelTraceCall(const char *zone, bool enter, const char *function, const char *file, int line) {
    if (!passes(zone, KELTRACE_LEVEL_CALLS))
        return;
    long dropped = admit(file, line);
    if (dropped < 0)
        return;
    if (dropped > 0)
        emitSuppressed(zone, KELTRACE_LEVEL_CALLS, function, file, line, dropped);
    const char *zoneName = zone != nullptr ? zone : "";
    LineBuffer buf;
    buf.append(enter ? "%s%-7.7s%s - >>>>>>>>>>%s - %s(%s@%s:%d)%s"
                     : "%s%-7.7s%s - <<<<<<<<<<%s - %s(%s@%s:%d)%s",
               "", zoneName, "", "", "", function != nullptr ? function : "", baseName(file), line,
               "");
    emit(zone, KELTRACE_LEVEL_CALLS, buf.text);
}

} // extern "C"
