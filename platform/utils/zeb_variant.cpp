#include "zeb/variant.h"

#include "zeb_variant_internal.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

// Where the content lives takes what was padding: variants keep their size.
static_assert(sizeof(variant_t) == 16, "a variant is 16 bytes");

namespace {

// ---- Type classes -------------------------------------------------------

bool isKnownType(variant_type_t type) {
    return type >= variant_type_unknown && type <= variant_type_map;
}

bool isSignedType(variant_type_t type) {
    return type >= variant_type_int8 && type <= variant_type_int64;
}

bool isUnsignedType(variant_type_t type) {
    return type >= variant_type_uint8 && type <= variant_type_uint64;
}

uint64_t maximumOf(variant_type_t type) {
    switch (type) {
    case variant_type_int8:
        return INT8_MAX;
    case variant_type_int16:
        return INT16_MAX;
    case variant_type_int32:
        return INT32_MAX;
    case variant_type_int64:
        return INT64_MAX;
    case variant_type_uint8:
        return UINT8_MAX;
    case variant_type_uint16:
        return UINT16_MAX;
    case variant_type_uint32:
        return UINT32_MAX;
    default:
        return UINT64_MAX;
    }
}

// Gives `dest` the content of a variant that nothing else refers to.
void assign(variant_t *dest, const variant_t &fresh) {
    variant_cleanup(dest);
    *dest = fresh;
}

// A container for a variant's content (`storage` set), or for a caller who
// frees it (`storage` null).
template <typename Container> Container *newContainer(uint32_t *storage) {
    auto *container = static_cast<Container *>(zeb_block_new(sizeof(Container), storage));
    if (container) {
        llist_initialize(&container->list);
    }
    return container;
}

template <typename Container>
Container *cloneContainer(const Container *src, uint32_t *storage,
                          bool (*copy)(Container *, const Container *)) {
    auto *container = newContainer<Container>(storage);
    if (container && !copy(container, src)) {
        zeb_block_release(container, storage ? *storage : ZEB_STORAGE_HEAP);
        return nullptr;
    }
    return container;
}

variant_list_t *cloneList(const variant_list_t *src, uint32_t *storage) {
    return cloneContainer(src, storage, variant_list_copy);
}

variant_map_t *cloneMap(const variant_map_t *src, uint32_t *storage) {
    return cloneContainer(src, storage, variant_map_copy);
}

// Every empty text variant shares one string, laid out as a one-allocation
// string so that nothing ever frees its buffer.
struct SharedEmpty {
    string_t string;
    char nul;
};
SharedEmpty sharedEmpty = {{&sharedEmpty.nul, 0, 0}, '\0'};

bool isSharedEmpty(const string_t *string) {
    return string == &sharedEmpty.string;
}

// A text for a variant's content (`storage` set), or for a caller who frees
// it (`storage` null).
string_t *newString(const char *text, uint32_t *storage) {
    if (!text || !*text) {
        if (storage) {
            *storage = ZEB_STORAGE_HEAP;
        }
        return &sharedEmpty.string;
    }
    size_t length = strlen(text);
    void *block = zeb_block_new(sizeof(string_t) + length + 1, storage);
    return block ? zeb_string_placeInline(block, text, length) : nullptr;
}

// ---- Integers -----------------------------------------------------------

// A whole number of either sign; `negative` implies a magnitude above 0.
struct Integer {
    bool negative;
    uint64_t magnitude;
};

bool fits(Integer n, variant_type_t type) {
    if (n.negative) {
        return isSignedType(type) && n.magnitude - 1 <= maximumOf(type);
    }
    return n.magnitude <= maximumOf(type);
}

void store(Integer n, variant_type_t type, variant_t *out) {
    out->type = type;
    if (isSignedType(type)) {
        out->data.i = n.negative ? -static_cast<int64_t>(n.magnitude - 1) - 1
                                 : static_cast<int64_t>(n.magnitude);
    } else {
        out->data.u = n.magnitude;
    }
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool parseInteger(const char *text, Integer *out) {
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        text++;
    }
    if (!*text) {
        return false;
    }
    uint64_t magnitude = 0;
    for (; *text; text++) {
        if (!isDigit(*text)) {
            return false;
        }
        auto digit = static_cast<uint64_t>(*text - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) {
            return false;
        }
        magnitude = magnitude * 10 + digit;
    }
    *out = {negative && magnitude > 0, magnitude};
    return true;
}

bool integerOfDouble(double value, Integer *out) {
    const double twoTo64 = 18446744073709551616.0;
    double magnitude = std::fabs(value);
    if (!std::isfinite(value) || std::trunc(value) != value || magnitude >= twoTo64) {
        return false;
    }
    *out = {value < 0, static_cast<uint64_t>(magnitude)};
    return true;
}

bool integerOf(const variant_t *v, Integer *out) {
    if (isSignedType(v->type)) {
        bool negative = v->data.i < 0;
        auto bits = static_cast<uint64_t>(v->data.i);
        *out = {negative, negative ? 0 - bits : bits};
        return true;
    }
    if (isUnsignedType(v->type)) {
        *out = {false, v->data.u};
        return true;
    }
    switch (v->type) {
    case variant_type_bool:
        *out = {false, v->data.b ? 1u : 0u};
        return true;
    case variant_type_double:
        return integerOfDouble(v->data.d, out);
    case variant_type_string:
        return parseInteger(variant_da_char(v), out);
    default:
        return false;
    }
}

// ---- Doubles and booleans ----------------------------------------------

bool parseDouble(const char *text, double *out) {
    if (!*text || isspace(static_cast<unsigned char>(*text))) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    double value = strtod(text, &end);
    if (*end || (errno == ERANGE && std::isinf(value))) {
        return false;
    }
    *out = value;
    return true;
}

// Integers beyond 2^53 may not survive the trip to double; those fail.
bool doubleOf(const variant_t *v, double *out) {
    const double twoTo63 = 9223372036854775808.0;
    if (isSignedType(v->type)) {
        double d = static_cast<double>(v->data.i);
        *out = d;
        return d < twoTo63 && static_cast<int64_t>(d) == v->data.i;
    }
    if (isUnsignedType(v->type)) {
        double d = static_cast<double>(v->data.u);
        *out = d;
        return d < 2 * twoTo63 && static_cast<uint64_t>(d) == v->data.u;
    }
    switch (v->type) {
    case variant_type_bool:
        *out = v->data.b ? 1.0 : 0.0;
        return true;
    case variant_type_double:
        *out = v->data.d;
        return true;
    case variant_type_string:
        return parseDouble(variant_da_char(v), out);
    default:
        return false;
    }
}

bool boolOf(const variant_t *v, bool *out) {
    if (isSignedType(v->type)) {
        *out = v->data.i != 0;
        return true;
    }
    if (isUnsignedType(v->type)) {
        *out = v->data.u != 0;
        return true;
    }
    switch (v->type) {
    case variant_type_bool:
        *out = v->data.b;
        return true;
    case variant_type_double:
        *out = v->data.d != 0;
        return true;
    case variant_type_string: {
        const char *text = variant_da_char(v);
        *out = strcasecmp(text, "true") == 0 || strcmp(text, "1") == 0;
        return *out || strcasecmp(text, "false") == 0 || strcmp(text, "0") == 0;
    }
    default:
        return false;
    }
}

// ---- Date-times ---------------------------------------------------------

constexpr int64_t secondsPerDay = 86400;

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t year, int month, int64_t day) {
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// As timegm, without touching the struct and without the range of time_t.
int64_t secondsOf(const struct tm *time) {
    int64_t months = static_cast<int64_t>(time->tm_year) * 12 + time->tm_mon;
    int64_t yearsFrom1900 = months >= 0 ? months / 12 : (months - 11) / 12;
    auto month = static_cast<int>(months - yearsFrom1900 * 12) + 1;
    int64_t days = daysFromCivil(1900 + yearsFrom1900, month, 1) + time->tm_mday - 1;
    return days * secondsPerDay + static_cast<int64_t>(time->tm_hour) * 3600 +
           static_cast<int64_t>(time->tm_min) * 60 + time->tm_sec;
}

// The inverse of daysFromCivil.
void civilFromDays(int64_t days, int64_t *year, int *month, int *day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t dayOfEra = days - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    *month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    *year = yearOfEra + era * 400 + (*month <= 2);
}

// As gmtime_r, computed here so that a 32-bit time_t does not limit the range.
// Any int64_t is taken: the day and the second of the day are found without
// an intermediate that could overflow.
bool breakDown(int64_t seconds, struct tm *out) {
    int64_t days = seconds / secondsPerDay;
    int64_t rest = seconds % secondsPerDay;
    if (rest < 0) {
        days -= 1;
        rest += secondsPerDay;
    }
    int64_t year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, &year, &month, &day);
    if (year - 1900 < INT32_MIN || year - 1900 > INT32_MAX) {
        return false;
    }
    struct tm result = {};
    result.tm_year = static_cast<int>(year - 1900);
    result.tm_mon = month - 1;
    result.tm_mday = day;
    result.tm_hour = static_cast<int>(rest / 3600);
    result.tm_min = static_cast<int>(rest % 3600 / 60);
    result.tm_sec = static_cast<int>(rest % 60);
    result.tm_wday = static_cast<int>(((days % 7) + 11) % 7); // 1970-01-01 was a Thursday
    result.tm_yday = static_cast<int>(days - daysFromCivil(year, 1, 1));
    *out = result;
    return true;
}

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

int digitsAt(const char *text, size_t count) {
    int value = 0;
    for (size_t i = 0; i < count; i++) {
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Accepts exactly "YYYY-MM-DDTHH:MM:SSZ" with every field in range.
bool parseDateTime(const char *text, int64_t *out) {
    static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
    for (size_t i = 0; i < sizeof shape; i++) {
        bool matches = shape[i] == 'd' ? isDigit(text[i]) : text[i] == shape[i];
        if (!matches) {
            return false;
        }
    }
    int year = digitsAt(text, 4);
    int month = digitsAt(text + 5, 2);
    int day = digitsAt(text + 8, 2);
    int hour = digitsAt(text + 11, 2);
    int minute = digitsAt(text + 14, 2);
    int second = digitsAt(text + 17, 2);
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59) {
        return false;
    }
    *out = daysFromCivil(year, month, day) * secondsPerDay + hour * 3600 + minute * 60 + second;
    return true;
}

bool dateTimeOf(const variant_t *v, int64_t *out) {
    switch (v->type) {
    case variant_type_date_time:
        *out = v->data.dt;
        return true;
    case variant_type_string:
        return parseDateTime(variant_da_char(v), out);
    default:
        return false;
    }
}

// ---- Text forms ---------------------------------------------------------

bool appendDateTime(string_t *text, int64_t seconds) {
    struct tm time;
    if (!breakDown(seconds, &time)) {
        return false;
    }
    // Only four-digit years have a text form that reads back.
    long long year = 1900LL + time.tm_year;
    if (year < 0 || year > 9999) {
        return false;
    }
    return string_appendFormat(text, "%04lld-%02d-%02dT%02d:%02d:%02dZ", year, time.tm_mon + 1,
                               time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
}

bool appendDouble(string_t *text, double value) {
    if (!std::isfinite(value)) {
        return string_appendFormat(text, "%g", value);
    }
    char shortest[32];
    // Whole numbers read better without an exponent: 1000, not 1e+03.
    if (value == std::trunc(value) && std::fabs(value) < 1e15) {
        snprintf(shortest, sizeof shortest, "%.0f", value);
        return string_appendChar(text, shortest);
    }
    for (int precision = 1; precision <= 17; precision++) {
        snprintf(shortest, sizeof shortest, "%.*g", precision, value);
        if (strtod(shortest, nullptr) == value) {
            break;
        }
    }
    return string_appendChar(text, shortest);
}

bool appendText(string_t *text, const variant_t *v) {
    if (isSignedType(v->type)) {
        return string_appendFormat(text, "%" PRId64, v->data.i);
    }
    if (isUnsignedType(v->type)) {
        return string_appendFormat(text, "%" PRIu64, v->data.u);
    }
    switch (v->type) {
    case variant_type_string:
        return string_appendChar(text, variant_da_char(v));
    case variant_type_bool:
        return string_appendChar(text, v->data.b ? "true" : "false");
    case variant_type_double:
        return appendDouble(text, v->data.d);
    case variant_type_date_time:
        return appendDateTime(text, v->data.dt);
    default:
        return false;
    }
}

// Fills the uninitialized `text` with the text form of v; on failure `text`
// holds nothing to release.
bool textOf(const variant_t *v, string_t *text) {
    string_initialize(text, 0);
    if (appendText(text, v)) {
        return true;
    }
    string_cleanup(text);
    return false;
}

string_t *newText(const variant_t *v, uint32_t *storage) {
    string_t text;
    if (!textOf(v, &text)) {
        return nullptr;
    }
    string_t *kept = newString(string_buffer(&text), storage);
    string_cleanup(&text);
    return kept;
}

// ---- Conversion ---------------------------------------------------------

// Conversion to the scalar types that need no allocation; `out` takes the
// type only on success.
bool convertScalar(const variant_t *src, variant_type_t type, variant_t *out) {
    bool ok = false;
    Integer n;
    switch (type) {
    case variant_type_bool:
        ok = boolOf(src, &out->data.b);
        break;
    case variant_type_double:
        ok = doubleOf(src, &out->data.d);
        break;
    case variant_type_date_time:
        ok = dateTimeOf(src, &out->data.dt);
        break;
    default:
        if ((isSignedType(type) || isUnsignedType(type)) && integerOf(src, &n) && fits(n, type)) {
            store(n, type, out);
            return true;
        }
    }
    if (ok) {
        out->type = type;
    }
    return ok;
}

bool convertInto(variant_t *out, const variant_t *src, variant_type_t type) {
    bool container = type == variant_type_array || type == variant_type_map;
    if (type == variant_type_unknown) {
        return true;
    }
    if (src->type == variant_type_unknown) {
        return !container && variant_initialize(out, type);
    }
    if (container) {
        return src->type == type && variant_copy(out, src);
    }
    if (type == variant_type_string) {
        out->data.s = newText(src, &out->storage);
        out->type = out->data.s ? variant_type_string : variant_type_unknown;
        return out->data.s != nullptr;
    }
    return convertScalar(src, type, out);
}

variant_t emptyVariant() {
    variant_t v;
    v.type = variant_type_unknown;
    v.storage = ZEB_STORAGE_HEAP;
    v.data.u = 0;
    return v;
}

variant_t scalarVariant(variant_type_t type) {
    variant_t v = emptyVariant();
    v.type = type;
    return v;
}

bool put(variant_t *dest, const variant_t &fresh) {
    if (!dest) {
        return false;
    }
    assign(dest, fresh);
    return true;
}

// Fills `copy` with a deep copy of src.
bool cloneInto(variant_t *copy, const variant_t *src) {
    *copy = *src;
    copy->storage = ZEB_STORAGE_HEAP;
    switch (src->type) {
    case variant_type_string:
        return (copy->data.s = newString(variant_da_char(src), &copy->storage)) != nullptr;
    case variant_type_array:
        return (copy->data.l = cloneList(src->data.l, &copy->storage)) != nullptr;
    case variant_type_map:
        return (copy->data.m = cloneMap(src->data.m, &copy->storage)) != nullptr;
    default:
        return true;
    }
}

int64_t signedAs(const variant_t *v, variant_type_t type) {
    variant_t out = emptyVariant();
    return v && convertScalar(v, type, &out) ? out.data.i : 0;
}

uint64_t unsignedAs(const variant_t *v, variant_type_t type) {
    variant_t out = emptyVariant();
    return v && convertScalar(v, type, &out) ? out.data.u : 0;
}

bool setSigned(variant_t *v, variant_type_t type, int64_t value) {
    variant_t fresh = scalarVariant(type);
    fresh.data.i = value;
    return put(v, fresh);
}

bool setUnsigned(variant_t *v, variant_type_t type, uint64_t value) {
    variant_t fresh = scalarVariant(type);
    fresh.data.u = value;
    return put(v, fresh);
}

} // namespace

// ---- Life cycle ---------------------------------------------------------

bool variant_initialize(variant_t *variant, variant_type_t type) {
    if (!variant) {
        return false;
    }
    *variant = emptyVariant();
    bool ok = isKnownType(type);
    switch (type) {
    case variant_type_string:
        ok = (variant->data.s = newString("", &variant->storage)) != nullptr;
        break;
    case variant_type_array:
        ok = (variant->data.l = newContainer<variant_list_t>(&variant->storage)) != nullptr;
        break;
    case variant_type_map:
        ok = (variant->data.m = newContainer<variant_map_t>(&variant->storage)) != nullptr;
        break;
    default:
        break;
    }
    if (ok) {
        variant->type = type;
    }
    return ok;
}

void variant_cleanup(variant_t *variant) {
    if (!variant) {
        return;
    }
    switch (variant->type) {
    case variant_type_string:
        if (!isSharedEmpty(variant->data.s)) {
            string_cleanup(variant->data.s);
            zeb_block_release(variant->data.s, variant->storage);
        }
        break;
    case variant_type_array:
        variant_list_cleanup(variant->data.l);
        zeb_block_release(variant->data.l, variant->storage);
        break;
    case variant_type_map:
        variant_map_cleanup(variant->data.m);
        zeb_block_release(variant->data.m, variant->storage);
        break;
    default:
        break;
    }
    *variant = emptyVariant();
}

variant_t *variant_create(variant_type_t type) {
    auto *variant = static_cast<variant_t *>(malloc(sizeof(variant_t)));
    if (variant && !variant_initialize(variant, type)) {
        free(variant);
        return nullptr;
    }
    return variant;
}

void variant_destroy(variant_t *variant) {
    variant_cleanup(variant);
    free(variant);
}

variant_type_t variant_type(const variant_t *variant) {
    return variant ? variant->type : variant_type_unknown;
}

bool variant_copy(variant_t *dest, const variant_t *src) {
    if (!dest || !src) {
        return false;
    }
    if (dest == src) {
        return true;
    }
    variant_t copy;
    return cloneInto(&copy, src) && put(dest, copy);
}

bool variant_move(variant_t *dest, variant_t *src) {
    if (!dest || !src) {
        return false;
    }
    if (dest != src) {
        // src may live inside dest: detach it before dest is released.
        variant_t taken = *src;
        *src = emptyVariant();
        assign(dest, taken);
    }
    return true;
}

bool variant_equals(const variant_t *a, const variant_t *b) {
    if (!a || !b || a->type != b->type) {
        return false;
    }
    if (isSignedType(a->type)) {
        return a->data.i == b->data.i;
    }
    if (isUnsignedType(a->type)) {
        return a->data.u == b->data.u;
    }
    switch (a->type) {
    case variant_type_string:
        return strcmp(variant_da_char(a), variant_da_char(b)) == 0;
    case variant_type_bool:
        return a->data.b == b->data.b;
    case variant_type_double:
        return a->data.d == b->data.d;
    case variant_type_date_time:
        return a->data.dt == b->data.dt;
    case variant_type_array:
        return zeb_variant_list_equals(a->data.l, b->data.l);
    case variant_type_map:
        return zeb_variant_map_equals(a->data.m, b->data.m);
    default:
        return true;
    }
}

// ---- Setters ------------------------------------------------------------

bool variant_setChar(variant_t *variant, const char *text) {
    if (!variant || !text) {
        return false;
    }
    variant_t fresh = scalarVariant(variant_type_string);
    fresh.data.s = newString(text, &fresh.storage);
    return fresh.data.s && put(variant, fresh);
}

bool variant_setString(variant_t *variant, const string_t *text) {
    if (!text) {
        return false;
    }
    const char *buffer = string_buffer(text);
    return variant_setChar(variant, buffer ? buffer : "");
}

bool variant_setBool(variant_t *variant, bool value) {
    variant_t fresh = scalarVariant(variant_type_bool);
    fresh.data.b = value;
    return put(variant, fresh);
}

bool variant_setInt8(variant_t *variant, int8_t value) {
    return setSigned(variant, variant_type_int8, value);
}

bool variant_setInt16(variant_t *variant, int16_t value) {
    return setSigned(variant, variant_type_int16, value);
}

bool variant_setInt32(variant_t *variant, int32_t value) {
    return setSigned(variant, variant_type_int32, value);
}

bool variant_setInt64(variant_t *variant, int64_t value) {
    return setSigned(variant, variant_type_int64, value);
}

bool variant_setUInt8(variant_t *variant, uint8_t value) {
    return setUnsigned(variant, variant_type_uint8, value);
}

bool variant_setUInt16(variant_t *variant, uint16_t value) {
    return setUnsigned(variant, variant_type_uint16, value);
}

bool variant_setUInt32(variant_t *variant, uint32_t value) {
    return setUnsigned(variant, variant_type_uint32, value);
}

bool variant_setUInt64(variant_t *variant, uint64_t value) {
    return setUnsigned(variant, variant_type_uint64, value);
}

bool variant_setDouble(variant_t *variant, double value) {
    variant_t fresh = scalarVariant(variant_type_double);
    fresh.data.d = value;
    return put(variant, fresh);
}

// Only the years with four digits have a text form that reads back: a
// date-time outside them could be neither shown, saved nor loaded.
bool setDateTimeSeconds(variant_t *variant, int64_t seconds) {
    static const int64_t first = daysFromCivil(0, 1, 1) * secondsPerDay;
    static const int64_t last = daysFromCivil(9999, 12, 31) * secondsPerDay + secondsPerDay - 1;
    return seconds >= first && seconds <= last &&
           setSigned(variant, variant_type_date_time, seconds);
}

bool variant_setDateTime(variant_t *variant, const struct tm *time) {
    return time && setDateTimeSeconds(variant, secondsOf(time));
}

bool variant_setDateTimeSeconds(variant_t *variant, int64_t seconds) {
    return setDateTimeSeconds(variant, seconds);
}

bool variant_setList(variant_t *variant, const variant_list_t *list) {
    if (!variant || !list) {
        return false;
    }
    variant_t fresh = scalarVariant(variant_type_array);
    fresh.data.l = cloneList(list, &fresh.storage);
    return fresh.data.l && put(variant, fresh);
}

bool variant_setMap(variant_t *variant, const variant_map_t *map) {
    if (!variant || !map) {
        return false;
    }
    variant_t fresh = scalarVariant(variant_type_map);
    fresh.data.m = cloneMap(map, &fresh.storage);
    return fresh.data.m && put(variant, fresh);
}

bool variant_setListMove(variant_t *variant, variant_list_t *list) {
    if (!variant || !list) {
        return false;
    }
    if (variant_da_list(variant) == list) {
        return true;
    }
    variant_t fresh;
    if (!variant_initialize(&fresh, variant_type_array)) {
        return false;
    }
    zeb_llist_moveAll(&fresh.data.l->list, &list->list);
    assign(variant, fresh);
    return true;
}

bool variant_setMapMove(variant_t *variant, variant_map_t *map) {
    if (!variant || !map) {
        return false;
    }
    if (variant_da_map(variant) == map) {
        return true;
    }
    variant_t fresh;
    if (!variant_initialize(&fresh, variant_type_map)) {
        return false;
    }
    zeb_llist_moveAll(&fresh.data.m->list, &map->list);
    assign(variant, fresh);
    return true;
}

// ---- Direct access ------------------------------------------------------

string_t *variant_da_string(const variant_t *variant) {
    return variant && variant->type == variant_type_string ? variant->data.s : nullptr;
}

const char *variant_da_char(const variant_t *variant) {
    string_t *string = variant_da_string(variant);
    if (!string) {
        return nullptr;
    }
    // A caller may have cleaned the string up through variant_da_string.
    const char *buffer = string_buffer(string);
    return buffer ? buffer : "";
}

variant_list_t *variant_da_list(const variant_t *variant) {
    return variant && variant->type == variant_type_array ? variant->data.l : nullptr;
}

variant_map_t *variant_da_map(const variant_t *variant) {
    return variant && variant->type == variant_type_map ? variant->data.m : nullptr;
}

// ---- Conversions and copies ---------------------------------------------

bool variant_convert(variant_t *dest, const variant_t *src, variant_type_t type) {
    if (!dest || !src || !isKnownType(type)) {
        return false;
    }
    variant_t result = emptyVariant();
    if (!convertInto(&result, src, type)) {
        return false;
    }
    assign(dest, result);
    return true;
}

bool variant_bool(const variant_t *variant) {
    variant_t out = emptyVariant();
    return variant && convertScalar(variant, variant_type_bool, &out) && out.data.b;
}

int8_t variant_int8(const variant_t *variant) {
    return static_cast<int8_t>(signedAs(variant, variant_type_int8));
}

int16_t variant_int16(const variant_t *variant) {
    return static_cast<int16_t>(signedAs(variant, variant_type_int16));
}

int32_t variant_int32(const variant_t *variant) {
    return static_cast<int32_t>(signedAs(variant, variant_type_int32));
}

int64_t variant_int64(const variant_t *variant) {
    return signedAs(variant, variant_type_int64);
}

uint8_t variant_uint8(const variant_t *variant) {
    return static_cast<uint8_t>(unsignedAs(variant, variant_type_uint8));
}

uint16_t variant_uint16(const variant_t *variant) {
    return static_cast<uint16_t>(unsignedAs(variant, variant_type_uint16));
}

uint32_t variant_uint32(const variant_t *variant) {
    return static_cast<uint32_t>(unsignedAs(variant, variant_type_uint32));
}

uint64_t variant_uint64(const variant_t *variant) {
    return unsignedAs(variant, variant_type_uint64);
}

double variant_double(const variant_t *variant) {
    variant_t out = emptyVariant();
    return variant && convertScalar(variant, variant_type_double, &out) ? out.data.d : 0.0;
}

bool variant_toDateTime(const variant_t *variant, struct tm *time) {
    int64_t seconds = 0;
    struct tm broken;
    if (!variant || !time || !dateTimeOf(variant, &seconds) || !breakDown(seconds, &broken)) {
        return false;
    }
    *time = broken;
    return true;
}

bool variant_toDateTimeSeconds(const variant_t *variant, int64_t *seconds) {
    return variant && seconds && dateTimeOf(variant, seconds);
}

char *variant_char(const variant_t *variant) {
    string_t text;
    return variant && textOf(variant, &text) ? text.buffer : nullptr;
}

string_t *variant_string(const variant_t *variant) {
    return variant ? newText(variant, nullptr) : nullptr;
}

variant_list_t *variant_list(const variant_t *variant) {
    variant_list_t *list = variant_da_list(variant);
    return list ? cloneList(list, nullptr) : nullptr;
}

variant_map_t *variant_map(const variant_t *variant) {
    variant_map_t *map = variant_da_map(variant);
    return map ? cloneMap(map, nullptr) : nullptr;
}

bool variant_toString(string_t *text, const variant_t *variant) {
    string_t result;
    if (!text || !variant || !textOf(variant, &result)) {
        return false;
    }
    string_cleanup(text);
    *text = result;
    return true;
}
