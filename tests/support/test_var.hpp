/*
 * A variant owned by a test, made from and shown as JSON. Conversions that
 * fail throw.
 */
#ifndef ZEB_TEST_VAR_HPP
#define ZEB_TEST_VAR_HPP

#include <stdexcept>

#include "zeb_variant_json.hpp"

namespace zebtest {

using json = zeb_json::json;

class Var {
  public:
    Var() { variant_initialize(&value_, variant_type_unknown); }
    explicit Var(const json &value) : Var() {
        if (!zeb_json::jsonToVariant(value, &value_))
            throw std::runtime_error("cannot convert to a variant: " + value.dump());
    }
    Var(const Var &other) : Var() { variant_copy(&value_, &other.value_); }
    Var &operator=(const Var &other) {
        if (this != &other)
            variant_copy(&value_, &other.value_);
        return *this;
    }
    ~Var() { variant_cleanup(&value_); }
    variant_t *get() { return &value_; }
    const variant_t *get() const { return &value_; }
    variant_map_t *map() const { return variant_da_map(&value_); }
    variant_type_t type() const { return variant_type(&value_); }
    json toJson() const {
        json out;
        if (!zeb_json::variantToJson(&value_, out))
            throw std::runtime_error("cannot convert a variant to JSON");
        return out;
    }

  private:
    variant_t value_;
};

} // namespace zebtest

#endif
