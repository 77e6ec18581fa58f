#include "keltrace/keltrace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <syslog.h>
#include <vector>

namespace {

struct Zone {
    std::string name;
    int level;
};

struct TraceState {
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

void kelTraceWrite(const char *zone, int level, const char *function, const char *file, int line,
                   const char *format, ...) {
    if (!passes(zone, level))
        return;
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
    const char *zoneName = zone != nullptr ? zone : "";
    LineBuffer buf;
    buf.append(enter ? "%s%-7.7s%s - >>>>>>>>>>%s - %s(%s@%s:%d)%s"
                     : "%s%-7.7s%s - <<<<<<<<<<%s - %s(%s@%s:%d)%s",
               "", zoneName, "", "", "", function != nullptr ? function : "", baseName(file), line,
               "");
    emit(zone, KELTRACE_LEVEL_CALLS, buf.text);
}

} // extern "C"
