#include "variant_test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

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
        {text("0x10"), variant_type_int32, FAIL}, {text("1.0"), variant_type_int32, FAIL},
        {text("TRUE"), variant_type_bool, "true"}, {text("False"), variant_type_bool, "false"},
        {text("1"), variant_type_bool, "true"}, {text("0"), variant_type_bool, "false"},
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

// Regression: a year past 9999 has no text form; such a LastRevision broke saving.
TEST(Variant, DateTimesNormalizeLikeTimegmWithinTheYearsOfTheirTextForm) {
    struct tm summer = brokenDown(2024, 7, 1, 12), huge = brokenDown(2024, 1, 1);
    summer.tm_isdst = 1;
    huge.tm_year = INT_MAX;
    huge.tm_mday = INT_MIN;
    const std::pair<struct tm, const char *> cases[] = {
        {summer, "2024-07-01T12:00:00Z"},
        {brokenDown(9999, 12, 31, 23, 59, 59), "9999-12-31T23:59:59Z"},
        {brokenDown(10000, 1, 1), FAIL},
        {brokenDown(-1, 12, 31, 23, 59, 59), FAIL},
        {huge, FAIL},
    };
    for (const auto &[time, expected] : cases)
        EXPECT_EQ(dateTime(time), expected) << expected;
}

TEST(Variant, AFailedConversionToTextLeavesTheStringAsItWas) {
    string_t string;
    string_initialize(&string, 4);
    string_setChar(&string, "old");
    EXPECT_FALSE(variant_toString(&string, Variant().get()));
    EXPECT_STREQ(string_buffer(&string), "old");
    string_cleanup(&string);
}

} // namespace
