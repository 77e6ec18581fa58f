#include <gtest/gtest.h>

#include "bus_test_support.hpp"
#include "zeb/dm.h"

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

using bustest::json;
using bustest::Var;

std::string encode(const Var &value) {
    return bustest::frameOf(value).substr(4);
}

uint32_t decode(const std::string &body, Var &out, const char **why = nullptr) {
    return zeb_bus_decodeBody(body.data(), body.size(), out.get(), why);
}

Var dateTime(int year, int month, int day, int hour = 0) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    Var v;
    variant_setDateTime(v.get(), &t);
    return v;
}

// Every variant type, with values at the edges of its range.
std::vector<Var> samples() {
    std::vector<Var> all(1); // the empty variant
    auto add = [&all](auto setter, auto value) { setter(all.emplace_back().get(), value); };
    add(variant_setBool, true), add(variant_setChar, ""), add(variant_setChar, "héllo");
    add(variant_setInt8, INT8_MIN), add(variant_setInt16, INT16_MIN);
    add(variant_setInt32, INT32_MIN), add(variant_setInt64, INT64_MIN);
    add(variant_setUInt8, UINT8_MAX), add(variant_setUInt16, UINT16_MAX);
    add(variant_setUInt32, UINT32_MAX), add(variant_setUInt64, UINT64_MAX);
    add(variant_setDouble, -0.1);
    all.push_back(dateTime(2024, 2, 29, 13));
    all.push_back(dateTime(1955, 6, 1));   // before 1970: the 96-bit timestamp
    all.push_back(dateTime(2200, 12, 31)); // beyond 32 bits of seconds
    return all;
}

TEST(BusCodec, EveryTypeComesBackWithItsTypeAlsoInsideContainers) {
    Var list, map;
    variant_initialize(list.get(), variant_type_array);
    variant_initialize(map.get(), variant_type_map);
    for (const Var &sample : samples()) {
        Var back;
        ASSERT_EQ(decode(encode(sample), back), ZEB_ERROR_NONE) << sample.toJson();
        EXPECT_EQ(back.type(), sample.type()) << sample.toJson();
        EXPECT_TRUE(variant_equals(back.get(), sample.get())) << back.toJson();
        variant_list_add(variant_da_list(list.get()), sample.get());
    }
    // Order and repeated keys survive; an empty key and an empty map too.
    variant_map_addChar(map.map(), "b", "first");
    variant_map_add(map.map(), "a", list.get());
    variant_map_addChar(map.map(), "b", "second");
    variant_map_add(map.map(), "", Var(json::object()).get());
    Var back;
    ASSERT_EQ(decode(encode(map), back), ZEB_ERROR_NONE);
    EXPECT_TRUE(variant_equals(back.get(), map.get())) << back.toJson();
}

TEST(BusCodec, WireFormOfWidthsAndDatesAndOfGenericMessagePack) {
    Var small, wide, back;
    variant_setUInt8(small.get(), 7);
    variant_setInt64(wide.get(), 7);
    EXPECT_EQ(encode(small), std::string("\xd4\x06\x07", 3)); // fixext 1, type 6 = uint8
    EXPECT_EQ(encode(wide), std::string("\x07", 1));          // a plain integer
    EXPECT_EQ(encode(dateTime(2024, 2, 29, 13)), std::string("\xd6\xff\x65\xe0\x7f\xd0", 6));

    const std::pair<std::string, json> generic[] = {
        {std::string("\xcc\x05", 2), 5},               // uint 8 format: an int64
        {std::string("\xca\x3f\x80\x00\x00", 5), 1.0}, // float 32: a double
        {std::string("\xd7\xff\x00\x00\x00\x04\x65\xe0\x80\xfc", 10), "2024-02-29T13:05:00Z"},
    };
    for (const auto &[body, expected] : generic) {
        ASSERT_EQ(decode(body, back), ZEB_ERROR_NONE) << expected;
        EXPECT_EQ(back.toJson(), expected);
    }
    ASSERT_EQ(decode(std::string("\xcf\xff\xff\xff\xff\xff\xff\xff\xff", 9), back), ZEB_ERROR_NONE);
    EXPECT_EQ(back.type(), variant_type_uint64) << "above INT64_MAX: unsigned";
}

// The ends of a 32-bit time_t (the gateway's MIPS32) and past them: written and read without it.
TEST(BusCodec, DateTimesOutsideA32BitTimeTHaveTheirExactWireForm) {
    auto bytes = [](std::initializer_list<unsigned char> values) {
        return std::string(values.begin(), values.end());
    };
    // timestamp 96: 0xc7 12 -1, 32-bit nanoseconds, 64-bit seconds.
    auto stamp96 = [&bytes](uint64_t seconds) {
        std::string out = bytes({0xc7, 12, 0xff, 0, 0, 0, 0});
        for (int shift = 56; shift >= 0; shift -= 8)
            out += static_cast<char>(seconds >> shift);
        return out;
    };
    const std::pair<const char *, std::string> cases[] = {
        {"1901-12-13T20:45:51Z", stamp96(static_cast<uint64_t>(INT64_C(-2147483649)))},
        {"1901-12-13T20:45:52Z", stamp96(static_cast<uint64_t>(INT64_C(-2147483648)))},
        {"1969-12-31T23:59:59Z", stamp96(static_cast<uint64_t>(INT64_C(-1)))},
        {"2038-01-19T03:14:07Z", bytes({0xd6, 0xff, 0x7f, 0xff, 0xff, 0xff})},
        {"2038-01-19T03:14:08Z", bytes({0xd6, 0xff, 0x80, 0x00, 0x00, 0x00})},
        {"2100-01-01T00:00:00Z", bytes({0xd6, 0xff, 0xf4, 0x86, 0x57, 0x00})},
        {"2106-02-07T06:28:16Z", bytes({0xd7, 0xff, 0, 0, 0, 0x01, 0, 0, 0, 0})}, // 2^32 s
        {"9999-12-31T23:59:59Z", stamp96(UINT64_C(253402300799))},
    };
    for (const auto &[text, wire] : cases) {
        Var date, back;
        ASSERT_TRUE(variant_convert(date.get(), Var(json(text)).get(), variant_type_date_time));
        EXPECT_EQ(encode(date), wire) << text;
        ASSERT_EQ(decode(wire, back), ZEB_ERROR_NONE) << text;
        EXPECT_EQ(back.type(), variant_type_date_time) << text;
        EXPECT_EQ(back.toJson(), text);
    }
    // Refused, not wrapped: past 9999 a date-time without a text form could never be saved.
    Var target;
    for (uint64_t seconds : {static_cast<uint64_t>(INT64_MIN), static_cast<uint64_t>(INT64_MAX),
                             UINT64_C(253402300800)})
        EXPECT_EQ(decode(stamp96(seconds), target), ZEB_ERROR_INVALID_ARGUMENT) << seconds;
}

TEST(BusCodec, NestingAndSizeAreLimitedBothWays) {
    Var v;
    auto nested = [](int depth, char last) { return std::string(depth, '\x91') + last; };
    EXPECT_EQ(decode(nested(ZEB_BUS_MAX_DEPTH, '\xc0'), v), ZEB_ERROR_NONE);
    EXPECT_EQ(decode(nested(ZEB_BUS_MAX_DEPTH + 1, '\xc0'), v), ZEB_ERROR_LIMIT);
    EXPECT_EQ(decode(nested(ZEB_BUS_MAX_DEPTH, '\x80'), v), ZEB_ERROR_LIMIT) << "empty map";
    EXPECT_EQ(decode(std::string(ZEB_BUS_MAX_MESSAGE_SIZE + 1, '\xc0'), v), ZEB_ERROR_LIMIT);

    json deep = nullptr;
    for (int i = 0; i < ZEB_BUS_MAX_DEPTH; ++i)
        deep = json::array({deep});
    char *frame = nullptr;
    size_t size = 0;
    EXPECT_EQ(zeb_bus_encodeFrame(Var(deep).get(), &frame, &size), ZEB_ERROR_NONE);
    std::free(frame);
    frame = nullptr;
    EXPECT_EQ(zeb_bus_encodeFrame(Var(json::array({deep})).get(), &frame, &size), ZEB_ERROR_LIMIT);

    std::string big(ZEB_BUS_MAX_MESSAGE_SIZE - 5, 'x'); // with its str 32 header: the limit
    variant_setChar(v.get(), big.c_str());
    ASSERT_EQ(zeb_bus_encodeFrame(v.get(), &frame, &size), ZEB_ERROR_NONE);
    EXPECT_EQ(size, 4 + static_cast<size_t>(ZEB_BUS_MAX_MESSAGE_SIZE));
    EXPECT_EQ(zeb_bus_frameBodySize(frame), ZEB_BUS_MAX_MESSAGE_SIZE);
    std::free(frame);
    frame = nullptr;
    variant_setChar(v.get(), (big + "x").c_str());
    EXPECT_EQ(zeb_bus_encodeFrame(v.get(), &frame, &size), ZEB_ERROR_LIMIT);
    EXPECT_EQ(frame, nullptr);
}

TEST(BusCodec, TruncatedAndMalformedBodiesAreRefusedLeavingTheTargetAlone) {
    std::string body = encode(Var(json{{"list", {1, "two", 3.5, nullptr}}, {"text", "abc"}}));
    std::vector<std::pair<std::string, const char *>> cases = {
        {body + '\xc0', "a trailing byte"},
        {std::string("\xc1", 1), "the unused type byte"},
        {std::string("\xc4\x01x", 3), "binary data"},
        {std::string("\x81\x01\xc0", 3), "a map key that is not a text"},
        {std::string("\xa3\x61\0b", 4), "a NUL inside a text"},
        {std::string("\xd4\x10\x00", 3), "an unknown extension type"},
        {std::string("\xd5\x06\x00\x01", 4), "a uint8 two bytes wide"},
        {std::string("\xdd\xff\xff\xff\xff\xc0", 6), "a list announcing 4 billion items"},
        {std::string("\xd7\xff\xff\xff\xff\xfc\x00\x00\x00\x00", 10), "nanoseconds above 1e9"},
    };
    for (size_t length = 0; length < body.size(); ++length)
        cases.emplace_back(body.substr(0, length), "a truncated body");
    Var target;
    variant_setChar(target.get(), "untouched");
    for (const auto &[bytes, what] : cases) {
        const char *why = nullptr;
        EXPECT_EQ(decode(bytes, target, &why), ZEB_ERROR_INVALID_ARGUMENT) << what;
        EXPECT_STRNE(why, "") << what;
        EXPECT_STREQ(variant_da_char(target.get()), "untouched") << what;
    }
}

} // namespace
