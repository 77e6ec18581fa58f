#include "variant_test_support.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

const variant_type_t unknownCode = static_cast<variant_type_t>(15);
const char *const FAIL = "FAIL";

struct tm brokenDown(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    struct tm time {};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

Variant typed(variant_type_t type, uint64_t bits) {
    Variant result;
    type == variant_type_uint64 ? variant_setUInt64(&result.v, bits)
                                : variant_setBool(&result.v, bits);
    return result;
}

std::string dateTime(const struct tm &time) {
    Variant result = text("kept");
    if (!variant_setDateTime(&result.v, &time)) {
        EXPECT_STREQ(variant_da_char(&result.v), "kept");
        return FAIL;
    }
    return textOf(&result.v);
}

std::string converted(const Variant &src, variant_type_t type) {
    Variant dest = text("untouched");
    if (!variant_convert(&dest.v, &src.v, type)) {
        EXPECT_STREQ(variant_da_char(&dest.v), "untouched");
        return FAIL;
    }
    EXPECT_EQ(variant_type(&dest.v), type);
    return textOf(&dest.v);
}

TEST(Variant, ValuesConvertOnlyWhenNothingIsLost) {
    Variant date;
    const struct tm newYear = brokenDown(2024, 1, 1);
    variant_setDateTime(&date.v, &newYear);
    Variant list;
    variant_initialize(&list.v, variant_type_array);
    const struct {
        Variant from;
        variant_type_t to;
        const char *expected;
    } cases[] = {
        // clang-format off
        {text("+7"), variant_type_int32, "7"}, {text("-128"), variant_type_int8, "-128"},
        {text("-129"), variant_type_int8, FAIL}, {text("128"), variant_type_int8, FAIL},
        {text("256"), variant_type_uint8, FAIL}, {text("-1"), variant_type_uint32, FAIL},
        {text("-0"), variant_type_uint32, "0"}, {text("9223372036854775808"), variant_type_int64, FAIL},
        {text("-9223372036854775808"), variant_type_int64, "-9223372036854775808"},
        {text("18446744073709551615"), variant_type_uint64, "18446744073709551615"},
        {text("18446744073709551616"), variant_type_uint64, FAIL}, {text("12a"), variant_type_int32, FAIL},
        {text(""), variant_type_int32, FAIL}, {text(" 1"), variant_type_int32, FAIL},
        {text("1 "), variant_type_int32, FAIL}, {text("-"), variant_type_int32, FAIL},
        {text("0x10"), variant_type_int32, FAIL}, {text("1.0"), variant_type_int32, FAIL},
        {text("TRUE"), variant_type_bool, "true"}, {text("False"), variant_type_bool, "false"},
        {text("1"), variant_type_bool, "true"}, {text("0"), variant_type_bool, "false"},
        {text("yes"), variant_type_bool, FAIL}, {text("2"), variant_type_bool, FAIL},
        {text("1e3"), variant_type_double, "1000"}, {text(" 1"), variant_type_double, FAIL},
        {text("1x"), variant_type_double, FAIL}, {text("1e999"), variant_type_double, FAIL},
        {text("x"), variant_type_array, FAIL}, {text("x"), unknownCode, FAIL},
        {text("x"), variant_type_unknown, "<none>"},
        {real(3.0), variant_type_int32, "3"}, {real(3.5), variant_type_int32, FAIL},
        {real(300), variant_type_int8, FAIL}, {real(-1), variant_type_uint32, FAIL},
        {real(NAN), variant_type_int64, FAIL},
        {real(-9223372036854775808.0), variant_type_int64, "-9223372036854775808"},
        {real(9223372036854775808.0), variant_type_int64, FAIL},
        {real(1e19), variant_type_uint64, "10000000000000000000"}, {real(-0.0), variant_type_bool, "false"},
        {int64(65536), variant_type_uint16, FAIL}, {int64(-1), variant_type_uint64, FAIL},
        {int64(2), variant_type_bool, "true"},
        {int64(9007199254740992), variant_type_double, "9007199254740992"},
        {int64(9007199254740993), variant_type_double, FAIL},
        {typed(variant_type_uint64, UINT64_MAX), variant_type_int64, FAIL},
        {typed(variant_type_bool, 1), variant_type_int8, "1"},
        {std::move(date), variant_type_int64, FAIL},
        {Variant(), variant_type_int32, "0"}, {Variant(), variant_type_string, ""},
        {Variant(), variant_type_date_time, "1970-01-01T00:00:00Z"}, {Variant(), variant_type_map, FAIL},
        {std::move(list), variant_type_string, FAIL},
        // clang-format on
    };
    for (const auto &c : cases)
        EXPECT_EQ(converted(c.from, c.to), c.expected)
            << '"' << textOf(&c.from.v) << "\" to " << c.to;
    EXPECT_EQ(variant_int32(text("3.5").get()), 0);
    EXPECT_EQ(variant_int8(real(-128).get()), -128);
    EXPECT_TRUE(variant_bool(text("tRuE").get()));

    Variant empty, array;
    variant_initialize(&array.v, variant_type_array);
    EXPECT_EQ(converted(array, variant_type_map), FAIL);
    EXPECT_EQ(converted(array, variant_type_unknown), "<none>");
    variant_setInt32(&empty.v, 1);
    EXPECT_FALSE(variant_initialize(&empty.v, unknownCode));
    EXPECT_EQ(variant_type(&empty.v), variant_type_unknown);
    EXPECT_EQ(variant_create(unknownCode), nullptr);
}

TEST(Variant, NumbersHaveShortTextFormsThatReadBack) {
    EXPECT_EQ(textOf(real(0.1).get()), "0.1");
    EXPECT_EQ(textOf(real(0.1 + 0.2).get()), "0.30000000000000004");
    EXPECT_EQ(textOf(real(1.0 / 3).get()), "0.3333333333333333");
    EXPECT_EQ(textOf(real(-0.0).get()), "-0");
    EXPECT_EQ(textOf(int64(INT64_MIN).get()), "-9223372036854775808");
    for (double value : {DBL_MAX, DBL_MIN, 5e-324, 123456.789, -1e-300, 2.0 / 3}) {
        Variant back;
        ASSERT_TRUE(variant_convert(&back.v, text(textOf(real(value).get()).c_str()).get(),
                                    variant_type_double));
        EXPECT_EQ(back.v.data.d, value);
    }
}

// Regression: a year past 9999 has no text form; such a LastRevision broke saving.
TEST(Variant, DateTimesNormalizeLikeTimegmWithinTheYearsOfTheirTextForm) {
    struct tm summer = brokenDown(2024, 7, 1, 12), zero{}, huge = brokenDown(2024, 1, 1);
    summer.tm_isdst = 1;
    huge.tm_year = INT_MAX;
    huge.tm_mday = INT_MIN;
    const std::pair<struct tm, const char *> cases[] = {
        // clang-format off
        {brokenDown(2024, 3, 0), "2024-02-29T00:00:00Z"}, {brokenDown(2023, 13, 1), "2024-01-01T00:00:00Z"},
        {brokenDown(2024, 0, 31), "2023-12-31T00:00:00Z"}, {brokenDown(1899, 2, 1), "1899-02-01T00:00:00Z"},
        {brokenDown(1970, 1, 1, 0, 0, -1), "1969-12-31T23:59:59Z"}, {summer, "2024-07-01T12:00:00Z"},
        {zero, "1899-12-31T00:00:00Z"}, {brokenDown(9999, 12, 31, 23, 59, 59), "9999-12-31T23:59:59Z"},
        {brokenDown(0, 1, 1), "0000-01-01T00:00:00Z"}, {brokenDown(10000, 1, 1), FAIL},
        {brokenDown(9999, 12, 31, 24), FAIL}, {brokenDown(-1, 12, 31, 23, 59, 59), FAIL},
        {brokenDown(0, 1, 1, 0, 0, -1), FAIL}, {huge, FAIL},
        // clang-format on
    };
    for (const auto &[time, expected] : cases)
        EXPECT_EQ(dateTime(time), expected) << expected;
}

TEST(Variant, DateTimeTextsRoundTripOrAreRefused) {
    for (const char *good : {"2024-02-29T13:05:07Z", "2000-02-29T12:00:00Z", "0000-01-01T00:00:00Z",
                             "9999-12-31T23:59:59Z", "2023-04-30T23:59:59Z", "2100-03-01T00:00:00Z",
                             "1960-06-15T08:00:00Z", "1899-12-31T00:00:00Z"})
        EXPECT_EQ(converted(text(good), variant_type_date_time), good);
    for (const char *bad :
         {"2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2024-04-31T00:00:00Z",
          "2024-13-01T00:00:00Z", "2024-00-10T00:00:00Z", "2024-01-00T00:00:00Z",
          "2024-01-32T00:00:00Z", "2024-01-01T24:00:00Z", "2024-01-01T23:60:00Z",
          "2024-01-01T23:59:60Z", "2024-01-01T00:00:00", "2024-01-01T00:00:00Z ",
          "2024-01-01 00:00:00Z", "2024-01-01t00:00:00Z", "24-01-01T00:00:00Z",
          "02024-01-01T00:00:00Z", "2024-1-01T00:00:00Z", "+024-01-01T00:00:00Z", ""})
        EXPECT_EQ(converted(text(bad), variant_type_date_time), FAIL) << '"' << bad << '"';
    struct tm untouched = brokenDown(1999, 1, 1), time = untouched;
    EXPECT_FALSE(variant_toDateTime(text("2024-04-31T00:00:00Z").get(), &time));
    EXPECT_FALSE(variant_toDateTime(int64(0).get(), &time));
    EXPECT_EQ(memcmp(&time, &untouched, sizeof time), 0);
}

// Regression: dates past the gateway's 32-bit time_t use the variant's own calendar.
TEST(Variant, DateTimeSecondsReachPastA32BitTimeT) {
    // clang-format off
    const struct { const char *text; int64_t seconds; int weekday, yearDay; } cases[] = {
        {"1901-12-13T20:45:51Z", INT64_C(-2147483649), 5, 346}, {"1969-12-31T23:59:59Z", -1, 3, 364},
        {"2024-02-29T13:05:07Z", INT64_C(1709211907), 4, 59}, {"2038-01-19T03:14:08Z", INT64_C(2147483648), 2, 18},
        {"2100-12-31T00:00:00Z", INT64_C(4133894400), 5, 364}};
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        int64_t got = 0;
        EXPECT_TRUE(variant_toDateTimeSeconds(text(c.text).get(), &got) && got == c.seconds) << got;
        Variant date;
        ASSERT_TRUE(variant_setDateTimeSeconds(&date.v, c.seconds));
        EXPECT_EQ(variant_type(&date.v), variant_type_date_time);
        EXPECT_EQ(textOf(&date.v), c.text);
        struct tm time = brokenDown(1999, 1, 1);
        ASSERT_TRUE(variant_toDateTime(text(c.text).get(), &time));
        EXPECT_EQ(time.tm_wday * 1000 + time.tm_yday, c.weekday * 1000 + c.yearDay);
    }
    Variant target = text("untouched");
    for (int64_t seconds : {INT64_MIN, INT64_C(-62167219201), INT64_C(253402300800), INT64_MAX}) {
        EXPECT_FALSE(variant_setDateTimeSeconds(&target.v, seconds)) << seconds;
        EXPECT_STREQ(variant_da_char(&target.v), "untouched");
    }
    int64_t seconds = 7;
    EXPECT_FALSE(variant_toDateTimeSeconds(int64(0).get(), &seconds));
    EXPECT_EQ(seconds, 7);
}

TEST(Variant, CopiesAndMovesOwnTheirContent) {
    Variant original = text("alpha"), copy;
    ASSERT_TRUE(variant_copy(&copy.v, &original.v));
    variant_setChar(&original.v, "beta");
    EXPECT_STREQ(variant_da_char(&copy.v), "alpha");
    EXPECT_TRUE(variant_setChar(&copy.v, variant_da_char(&copy.v) + 1));
    EXPECT_STREQ(variant_da_char(&copy.v), "lpha");
    EXPECT_EQ(variant_da_char(int64(1).get()), nullptr);

    ASSERT_TRUE(variant_move(&copy.v, &original.v));
    EXPECT_EQ(variant_type(&original.v), variant_type_unknown);
    EXPECT_STREQ(variant_da_char(&copy.v), "beta");
    variant_setChar(&copy.v, "42");
    ASSERT_TRUE(variant_convert(&copy.v, &copy.v, variant_type_int32));
    EXPECT_EQ(variant_int32(&copy.v), 42);

    // A value moved out of the map that holds it must be detached first.
    variant_cleanup(&copy.v);
    ASSERT_TRUE(variant_initialize(&copy.v, variant_type_map));
    variant_map_addChar(variant_da_map(&copy.v), "name", "Alice");
    variant_t *name = variant_map_iterator_data(variant_map_first(variant_da_map(&copy.v)));
    ASSERT_TRUE(variant_move(&copy.v, name));
    EXPECT_STREQ(variant_da_char(&copy.v), "Alice");

    string_t string;
    string_initialize(&string, 4);
    string_setChar(&string, "old");
    EXPECT_FALSE(variant_toString(&string, Variant().get()));
    EXPECT_STREQ(string_buffer(&string), "old");
    EXPECT_TRUE(variant_toString(&string, int64(-5).get()));
    EXPECT_STREQ(string_buffer(&string), "-5");
    string_cleanup(&string);
}

} // namespace
