#include "zeb/json.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "zeb/dm.h"
#include "zeb_json_reader.hpp"
#include "zeb_no_throw.hpp"
#include "zeb_variant_json.hpp"

namespace zeb_json {
namespace {

/* Fails with the code's text in front of the message, as the data model's
 * own failures read. Returns false. */
bool fail(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));
bool fail(uint32_t code, const char *format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    zeb_setError(code, "%s: %s", error_string(code), buffer);
    return false;
}

template <typename R, typename F> R guarded(R failed, F &&body) {
    return zeb_nothrow::run(
        zeb_nothrow::Mapping::ByKind, failed,
        [](uint32_t code, const char *text) { fail(code, "%s", text); }, std::forward<F>(body));
}

/* "<name>:<line>:<column>" of `offset` in `text`, `name` alone for npos. */
std::string where(const std::string &name, const std::string &text, size_t offset) {
    return offset == std::string::npos ? name : located(name, text, offset);
}

} // namespace
} // namespace zeb_json

extern "C" {

bool zeb_json_readFile(const char *path, size_t maxSize, char **text, size_t *size) {
    if (path == nullptr || text == nullptr || size == nullptr)
        return zeb_json::fail(ZEB_ERROR_INVALID_ARGUMENT, "%s: null argument", __func__);
    return zeb_json::guarded(false, [&] {
        zeb_json::Problem problem;
        std::string content;
        if (!zeb_json::readFile(path, maxSize, content, &problem)) {
            zeb_setError(problem.code, "%s", problem.message.c_str());
            return false;
        }
        char *copy = static_cast<char *>(std::malloc(content.size() + 1));
        if (copy == nullptr)
            return zeb_json::fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        std::memcpy(copy, content.data(), content.size() + 1);
        *text = copy;
        *size = content.size();
        return true;
    });
}

bool zeb_json_parse(const char *text, size_t size, const char *name, variant_t *out) {
    if (text == nullptr || name == nullptr || out == nullptr)
        return zeb_json::fail(ZEB_ERROR_INVALID_ARGUMENT, "%s: null argument", __func__);
    return zeb_json::guarded(false, [&] {
        std::string document(text, size);
        zeb_json::Problem problem;
        zeb_json::Document parsed;
        if (!zeb_json::parse(document, parsed, &problem)) {
            zeb_setError(problem.code, "%s: %s",
                         zeb_json::located(name, document, problem.offset).c_str(),
                         problem.message.c_str());
            return false;
        }
        // Messages about the text begin with where the fault is.
        zeb_json::ConversionFault fault;
        if (zeb_json::jsonToVariant(parsed, out, &fault))
            return true;
        if (!fault.nul)
            return zeb_json::fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        zeb_setError(
            ZEB_ERROR_INVALID_FILE, "%s: %s",
            zeb_json::where(name, document, zeb_json::locate(document, fault.pointer)).c_str(),
            fault.member ? "a member name holds a NUL character" : "a text holds a NUL character");
        return false;
    });
}

char *zeb_json_where(const char *text, size_t size, const char *name, const char *pointer) {
    if (text == nullptr || name == nullptr || pointer == nullptr) {
        zeb_json::fail(ZEB_ERROR_INVALID_ARGUMENT, "%s: null argument", __func__);
        return nullptr;
    }
    char *where = nullptr;
    zeb_json::guarded(false, [&] {
        std::string document(text, size);
        std::string result = zeb_json::where(name, document, zeb_json::locate(document, pointer));
        where = strdup(result.c_str());
        return where != nullptr || zeb_json::fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    });
    return where;
}

} // extern "C"
