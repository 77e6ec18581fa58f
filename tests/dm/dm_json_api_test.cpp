// zeb/json.h: the kinds a parsed document's values get, and where a refused
// text is reported.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "zeb/dm.h"
#include "zeb/json.h"

namespace {

// Integers up to INT64_MAX are int64 whatever their sign, as the header
// says; the parser reads non-negative ones as unsigned, which were once
// handed on as uint64. A refused text leaves the variant as it was.
TEST(JsonParse, GivesIntegersAsInt64AndRefusesANulWhereItStands) {
    const struct {
        std::string text;
        variant_type_t type; // variant_type_int32: refused with `message`
        const char *message;
    } kCases[] = {
        {"5", variant_type_int64, ""},
        {"-5", variant_type_int64, ""},
        {"9223372036854775807", variant_type_int64, ""},
        {"9223372036854775808", variant_type_uint64, ""},
        {"0.5", variant_type_double, ""},
        {"null", variant_type_unknown, ""},
        {"{\"b\": 1,\n \"a\": [\"x\", \"y\\u0000\"]}", variant_type_int32,
         "t:2:13: a text holds a NUL character"},
        {"{\"b\": {\"k\\u0000\": 1}}", variant_type_int32,
         "t:1:8: a member name holds a NUL character"},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.text);
        variant_t out;
        variant_initialize(&out, variant_type_unknown);
        variant_setInt32(&out, 7);
        const bool refused = c.type == variant_type_int32;
        EXPECT_EQ(zeb_json_parse(c.text.data(), c.text.size(), "t", &out), !refused);
        EXPECT_EQ(variant_type(&out), c.type);
        if (refused) {
            EXPECT_EQ(zeb_error, ZEB_ERROR_INVALID_FILE);
            EXPECT_STREQ(zeb_errorMessage(), c.message);
            EXPECT_EQ(variant_int32(&out), 7);
        }
        variant_cleanup(&out);
    }
}

} // namespace
