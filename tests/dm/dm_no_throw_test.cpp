// The data model tells a length error from a lack of memory; the host and the
// bus client report any exception as a lack of memory.
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "zeb_no_throw.hpp"

namespace {

using zeb_nothrow::Mapping;

struct Case {
    const char *name;
    Mapping mapping;
    void (*raise)();
    uint32_t code; // ZEB_ERROR_NONE: the exception goes on
    const char *text;
};

const auto noMemory = [] { throw std::bad_alloc(); };
const auto tooLong = [] { throw std::length_error("text too long"); };
const auto notStandard = [] { throw 7; };

const Case kCases[] = {
    {"by kind: bad_alloc", Mapping::ByKind, noMemory, ZEB_ERROR_NO_MEMORY, "out of memory"},
    {"by kind: length_error", Mapping::ByKind, tooLong, ZEB_ERROR_INVALID_ARGUMENT,
     "text too long"},
    {"by kind: not a std::exception", Mapping::ByKind, notStandard, ZEB_ERROR_NONE, ""},
    {"memory: length_error", Mapping::OutOfMemory, tooLong, ZEB_ERROR_NO_MEMORY, "out of memory"},
    {"memory: not a std::exception", Mapping::OutOfMemory, notStandard, ZEB_ERROR_NO_MEMORY,
     "out of memory"},
};

TEST(NoThrow, MapsEachExceptionAsItsLibraryReports) {
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        uint32_t code = ZEB_ERROR_NONE;
        std::string text;
        auto report = [&](uint32_t reported, const char *message) {
            code = reported;
            text = message;
        };
        auto body = [&] {
            c.raise();
            return 1;
        };
        if (c.code == ZEB_ERROR_NONE) {
            EXPECT_THROW(zeb_nothrow::run(c.mapping, -1, report, body), int);
            EXPECT_EQ(code, ZEB_ERROR_NONE);
            continue;
        }
        EXPECT_EQ(zeb_nothrow::run(c.mapping, -1, report, body), -1);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(text, c.text);
    }
}

} // namespace
