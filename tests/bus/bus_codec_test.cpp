#include <gtest/gtest.h>

#include "bus_test_support.hpp"
#include "zeb/dm.h"

#include <cstdlib>
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
    variant_convert(all.emplace_back().get(), Var(json("2024-02-29T13:05:00Z")).get(),
                    variant_type_date_time);
    return all;
}

TEST(BusCodec, EveryTypeComesBackWithItsTypeAlsoInsideContainers) {
    Var list;
    variant_initialize(list.get(), variant_type_array);
    for (const Var &sample : samples()) {
        Var back;
        ASSERT_EQ(decode(encode(sample), back), ZEB_ERROR_NONE) << sample.toJson();
        EXPECT_EQ(back.type(), sample.type()) << sample.toJson();
        EXPECT_TRUE(variant_equals(back.get(), sample.get())) << back.toJson();
        variant_list_add(variant_da_list(list.get()), sample.get());
    }
    Var back;
    ASSERT_EQ(decode(encode(list), back), ZEB_ERROR_NONE);
    EXPECT_TRUE(variant_equals(back.get(), list.get())) << back.toJson();
}

TEST(BusCodec, WireFormOfWidthsAndOfGenericMessagePack) {
    Var small, wide, back;
    variant_setUInt8(small.get(), 7);
    variant_setInt64(wide.get(), 7);
    EXPECT_EQ(encode(small), std::string("\xd4\x06\x07", 3)); // fixext 1, type 6 = uint8
    EXPECT_EQ(encode(wide), std::string("\x07", 1));          // a plain integer

    const std::pair<std::string, json> generic[] = {
        {std::string("\xcc\x05", 2), 5},               // uint 8 format: an int64
        {std::string("\xca\x3f\x80\x00\x00", 5), 1.0}, // float 32: a double
    };
    for (const auto &[body, expected] : generic) {
        ASSERT_EQ(decode(body, back), ZEB_ERROR_NONE) << expected;
        EXPECT_EQ(back.toJson(), expected);
    }
    ASSERT_EQ(decode(std::string("\xcf\xff\xff\xff\xff\xff\xff\xff\xff", 9), back), ZEB_ERROR_NONE);
    EXPECT_EQ(back.type(), variant_type_uint64) << "above INT64_MAX: unsigned";
}

// A 32-bit time_t (the gateway's) kept dates before 1901-12-13T20:45:52, after 2038-01-19T03:14:07
// and 1969-12-31T23:59:59 from crossing. Past 9999 a date-time has no text form and could never be
// saved: it is refused, not wrapped.
TEST(BusCodec, DateTimesOutsideA32BitTimeTHaveTheirExactWireForm) {
    auto stamp96 = [](int64_t seconds) { // 0xc7 12 -1, 32-bit nanoseconds, 64-bit seconds
        std::string out("\xc7\x0c\xff\0\0\0\0", 7);
        for (int shift = 56; shift >= 0; shift -= 8)
            out += static_cast<char>(static_cast<uint64_t>(seconds) >> shift);
        return out;
    };
    const std::pair<const char *, std::string> cases[] = {
        {"1901-12-13T20:45:51Z", stamp96(INT64_C(-2147483649))},
        {"1969-12-31T23:59:59Z", stamp96(-1)},
        {"2038-01-19T03:14:08Z", std::string("\xd6\xff\x80\0\0\0", 6)},
        {"2106-02-07T06:28:16Z", std::string("\xd7\xff\0\0\0\x01\0\0\0\0", 10)},
        {"9999-12-31T23:59:59Z", stamp96(INT64_C(253402300799))}};
    for (const auto &[text, wire] : cases) {
        Var date, back;
        ASSERT_TRUE(variant_convert(date.get(), Var(json(text)).get(), variant_type_date_time));
        EXPECT_EQ(encode(date), wire) << text;
        ASSERT_EQ(decode(wire, back), ZEB_ERROR_NONE) << text;
        EXPECT_EQ(back.type(), variant_type_date_time) << text;
        EXPECT_EQ(back.toJson(), text);
    }
    Var target;
    for (int64_t seconds : {INT64_MIN, INT64_MAX, INT64_C(253402300800)})
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
    std::free(frame);
    frame = nullptr;
    variant_setChar(v.get(), (big + "x").c_str());
    EXPECT_EQ(zeb_bus_encodeFrame(v.get(), &frame, &size), ZEB_ERROR_LIMIT);
    EXPECT_EQ(frame, nullptr);
}

TEST(BusCodec, TruncatedAndMalformedBodiesAreRefusedLeavingTheTargetAlone) {
    std::string body = encode(Var(json{{"list", {1, "two", 3.5, nullptr}}, {"text", "abc"}}));
    std::vector<std::string> cases = {body + '\xc0', std::string("\xc4\x01x", 3),
                                      std::string("\xa3\x61\0b", 4),
                                      std::string("\xd4\x10\x00", 3)};
    for (size_t length = 0; length < body.size(); ++length)
        cases.push_back(body.substr(0, length));
    Var target;
    variant_setChar(target.get(), "untouched");
    for (const std::string &bytes : cases) {
        const char *why = nullptr;
        EXPECT_EQ(decode(bytes, target, &why), ZEB_ERROR_INVALID_ARGUMENT)
            << testing::PrintToString(bytes);
        EXPECT_STRNE(why, "");
        EXPECT_STREQ(variant_da_char(target.get()), "untouched");
    }
}

} // namespace
