#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "zeb_dm_json.h"

namespace zeb_dm {

void throwAt(uint32_t code, const std::string &pointer, const char *format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    throw DocumentError{code, pointer, buffer};
}

bool parseDocument(const std::string &text, const std::string &name, Json &out) {
    zeb_json::Problem problem;
    if (zeb_json::parse(text, out, &problem)) {
        return true;
    }
    return fail(problem.code, "%s: %s", zeb_json::located(name, text, problem.offset).c_str(),
                problem.message.c_str());
}

bool failAt(const DocumentError &error, const std::string &text, const std::string &name) {
    size_t offset = zeb_json::locate(text, error.pointer);
    std::string where = offset == std::string::npos ? name : zeb_json::located(name, text, offset);
    return fail(error.code, "%s: %s", where.c_str(), error.message.c_str());
}

bool readFile(const std::string &path, std::string &text) {
    zeb_json::Problem problem;
    return zeb_json::readFile(path, kMaxFileSize, text, &problem) ||
           fail(problem.code, "%s", problem.message.c_str());
}

bool scalarToVariant(const Json &value, variant_t *out) {
    switch (value.type()) {
    case Json::value_t::string:
        return variant_setChar(out, value.get_ref<const std::string &>().c_str());
    case Json::value_t::boolean:
        return variant_setBool(out, value.get<bool>());
    case Json::value_t::number_integer:
        return variant_setInt64(out, value.get<int64_t>());
    case Json::value_t::number_unsigned:
        return variant_setUInt64(out, value.get<uint64_t>());
    case Json::value_t::number_float:
        return variant_setDouble(out, value.get<double>());
    default:
        return false;
    }
}

const char *kindName(const Json &value) {
    return value.type_name();
}

namespace {

/* Length of the well-formed UTF-8 sequence at `at`, 0 when there is none. */
size_t sequenceLength(const unsigned char *text, size_t size, size_t at) {
    unsigned char lead = text[at];
    size_t length = lead < 0x80   ? 1
                    : lead < 0xc2 ? 0
                    : lead < 0xe0 ? 2
                    : lead < 0xf0 ? 3
                    : lead < 0xf5 ? 4
                                  : 0;
    if (length == 0 || length > size - at) {
        return 0;
    }
    // The second byte's range excludes overlong forms, surrogates and code
    // points above U+10FFFF.
    unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
    for (size_t i = 1; i < length; ++i) {
        unsigned char c = text[at + i];
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xbf)) {
            return 0;
        }
    }
    return length;
}

} // namespace

bool storableText(const char *text, size_t size, const std::string &what) {
    if (size > kMaxStringLength) {
        return fail(ZEB_ERROR_LIMIT, "%s: %zu bytes, more than a saved file holds (%zu)",
                    what.c_str(), size, kMaxStringLength);
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    for (size_t at = 0; at < size;) {
        size_t length = sequenceLength(bytes, size, at);
        if (length == 0) {
            return fail(ZEB_ERROR_TYPE, "%s: not UTF-8 text (byte %zu)", what.c_str(), at);
        }
        at += length;
    }
    return true;
}

} // namespace zeb_dm
