// How zeb-cli reads a VALUE, and the JSON conversion under it.
#include <gtest/gtest.h>

#include <string>

#include "cli_value.hpp"
#include "zeb_variant_json.hpp"

namespace {

using zeb_json::json;

class Value {
  public:
    explicit Value(const std::string &text) {
        variant_initialize(&value_, variant_type_unknown);
        zebcli::parseValue(text, &value_);
    }
    ~Value() { variant_cleanup(&value_); }
    Value(const Value &) = delete;
    Value &operator=(const Value &) = delete;
    variant_type_t type() const { return variant_type(&value_); }
    std::string text() const { return variant_da_char(&value_); }
    json asJson() const {
        json out;
        EXPECT_TRUE(zeb_json::variantToJson(&value_, out));
        return out;
    }

  private:
    variant_t value_;
};

TEST(CliValue, JsonIsTheValueAndAnythingElseTheTextAsWritten) {
    EXPECT_EQ(Value("42").type(), variant_type_int64);
    EXPECT_EQ(Value(R"({"a":[1,true,null]})").asJson(), json::parse(R"({"a":[1,true,null]})"));
    // A leading zero is not JSON; 70 levels are deeper than a variant goes.
    for (const std::string &text : {std::string("0612345678"), std::string("Ann Smith"),
                                    std::string(70, '[') + std::string(70, ']')})
        EXPECT_EQ(Value(text).text(), text);
}

// "a\u0000b" was read as the text "a": the variant's text ended at the NUL
// and the rest of what was written was silently dropped.
TEST(CliValue, JsonTextHoldingNulIsNotCutShort) {
    EXPECT_EQ(Value(R"("a\u0000b")").text(), R"("a\u0000b")");
    EXPECT_EQ(Value(R"({"k\u0000x":1})").text(), R"({"k\u0000x":1})");
}

TEST(VariantJson, TextOrMemberNameHoldingNulHasNoVariantForm) {
    variant_t out;
    variant_initialize(&out, variant_type_unknown);
    variant_setChar(&out, "kept");
    EXPECT_FALSE(zeb_json::jsonToVariant(json(std::string("a\0b", 3)), &out));
    EXPECT_FALSE(zeb_json::jsonToVariant(json::array({1, std::string("\0", 1)}), &out));
    EXPECT_FALSE(zeb_json::jsonToVariant(json{{std::string("k\0", 2), 1}}, &out));
    // A failed conversion leaves the destination alone.
    EXPECT_STREQ(variant_da_char(&out), "kept");
    variant_cleanup(&out);
}

} // namespace
