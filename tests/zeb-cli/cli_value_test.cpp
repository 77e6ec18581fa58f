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
    // A leading zero is not JSON; 70 levels are deeper than a variant goes. JSON text holding
    // a NUL was cut short at it, the rest silently dropped.
    for (const std::string &text : {std::string("0612345678"), std::string("Ann Smith"),
                                    std::string(70, '[') + std::string(70, ']'),
                                    std::string(R"("a\u0000b")"), std::string(R"({"k\u0000x":1})")})
        EXPECT_EQ(Value(text).text(), text);
}

} // namespace
