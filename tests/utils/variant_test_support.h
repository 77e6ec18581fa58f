// Small owners for variants in tests, so that every case cleans up and the
// sanitizers can judge the library alone.
#ifndef ZEB_VARIANT_TEST_SUPPORT_H
#define ZEB_VARIANT_TEST_SUPPORT_H

#include "zeb/variant.h"

#include <cstdlib>
#include <string>

struct Variant {
    variant_t v;
    Variant() { variant_initialize(&v, variant_type_unknown); }
    Variant(Variant &&other) noexcept : Variant() { variant_move(&v, &other.v); }
    ~Variant() { variant_cleanup(&v); }
    // Valid until the end of the full expression for a temporary.
    variant_t *get() { return &v; }
};

inline Variant text(const char *value) {
    Variant result;
    variant_setChar(&result.v, value);
    return result;
}

inline Variant real(double value) {
    Variant result;
    variant_setDouble(&result.v, value);
    return result;
}

inline Variant int64(int64_t value) {
    Variant result;
    variant_setInt64(&result.v, value);
    return result;
}

// The text form of a variant, "<none>" when it has none.
inline std::string textOf(const variant_t *v) {
    char *chars = variant_char(v);
    std::string result = chars ? chars : "<none>";
    free(chars);
    return result;
}

#endif
