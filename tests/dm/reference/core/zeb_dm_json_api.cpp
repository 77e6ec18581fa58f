#include "zeb/json.h"

#include <cstdlib>
#include <cstring>

#include "zeb_dm_json.h"

namespace zeb_dm {
namespace {

/* The variant form of a parsed document; a text holding a NUL (which a
 * variant's text cannot) is refused where it stands. */
bool toVariant(const Json &value, const std::string &pointer, variant_t *out) {
    if (value.is_null()) {
        variant_cleanup(out);
        variant_initialize(out, variant_type_unknown);
        return true;
    }
    if (value.is_string() && value.get_ref<const std::string &>().find('\0') != std::string::npos)
        throwAt(ZEB_ERROR_INVALID_FILE, pointer, "a text holds a NUL character");
    if (value.is_array()) {
        variant_list_t list;
        variant_list_initialize(&list);
        bool ok = true;
        size_t position = 0;
        for (const Json &element : value) {
            variant_t item;
            variant_initialize(&item, variant_type_unknown);
            try {
                ok = toVariant(element, pointerTo(pointer, position++), &item) &&
                     variant_list_add(&list, &item);
            } catch (...) {
                variant_cleanup(&item);
                variant_list_cleanup(&list);
                throw;
            }
            variant_cleanup(&item);
            if (!ok)
                break;
        }
        ok = ok && variant_setListMove(out, &list);
        variant_list_cleanup(&list);
        return ok;
    }
    if (value.is_object()) {
        variant_map_t map;
        variant_map_initialize(&map);
        bool ok = true;
        for (const auto &member : value.items()) {
            const std::string where = pointerTo(pointer, member.key());
            if (member.key().find('\0') != std::string::npos) {
                variant_map_cleanup(&map);
                throwAt(ZEB_ERROR_INVALID_FILE, where, "a member name holds a NUL character");
            }
            variant_t item;
            variant_initialize(&item, variant_type_unknown);
            try {
                ok = toVariant(member.value(), where, &item) &&
                     variant_map_add(&map, member.key().c_str(), &item);
            } catch (...) {
                variant_cleanup(&item);
                variant_map_cleanup(&map);
                throw;
            }
            variant_cleanup(&item);
            if (!ok)
                break;
        }
        ok = ok && variant_setMapMove(out, &map);
        variant_map_cleanup(&map);
        return ok;
    }
    return jsonToVariant(value, out);
}

/* The library's messages begin with the code's text; these begin with where
 * the fault is. Returns false. */
bool withoutCodeText() {
    std::string text = zeb_errorMessage();
    std::string prefix = std::string(error_string(zeb_error)) + ": ";
    if (text.compare(0, prefix.size(), prefix) == 0)
        zeb_setError(zeb_error, "%s", text.c_str() + prefix.size());
    return false;
}

} // namespace
} // namespace zeb_dm

extern "C" {

bool zeb_json_readFile(const char *path, size_t maxSize, char **text, size_t *size) {
    if (path == nullptr || text == nullptr || size == nullptr)
        return zeb_dm::fail(ZEB_ERROR_INVALID_ARGUMENT, "%s: null argument", __func__);
    return zeb_dm::guarded(false, [&] {
        zeb_json::Problem problem;
        std::string content;
        if (!zeb_json::readFile(path, maxSize, content, &problem)) {
            zeb_setError(problem.code, "%s", problem.message.c_str());
            return false;
        }
        char *copy = static_cast<char *>(std::malloc(content.size() + 1));
        if (copy == nullptr)
            return zeb_dm::fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        std::memcpy(copy, content.data(), content.size() + 1);
        *text = copy;
        *size = content.size();
        return true;
    });
}

bool zeb_json_parse(const char *text, size_t size, const char *name, variant_t *out) {
    if (text == nullptr || name == nullptr || out == nullptr)
        return zeb_dm::fail(ZEB_ERROR_INVALID_ARGUMENT, "%s: null argument", __func__);
    return zeb_dm::guarded(false, [&] {
        std::string document(text, size);
        zeb_dm::Json parsed;
        if (!zeb_dm::parseDocument(document, name, parsed))
            return zeb_dm::withoutCodeText();
        variant_t result;
        variant_initialize(&result, variant_type_unknown);
        bool ok = false;
        try {
            ok = zeb_dm::toVariant(parsed, "", &result) ||
                 zeb_dm::fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        } catch (const zeb_dm::DocumentError &error) {
            zeb_dm::failAt(error, document, name);
            zeb_dm::withoutCodeText();
        }
        ok = ok && variant_move(out, &result);
        variant_cleanup(&result);
        return ok;
    });
}

char *zeb_json_where(const char *text, size_t size, const char *name, const char *pointer) {
    if (text == nullptr || name == nullptr || pointer == nullptr) {
        zeb_dm::fail(ZEB_ERROR_INVALID_ARGUMENT, "%s: null argument", __func__);
        return nullptr;
    }
    char *where = nullptr;
    zeb_dm::guarded(false, [&] {
        std::string document(text, size);
        size_t offset = zeb_json::locate(document, pointer);
        std::string result =
            offset == std::string::npos ? name : zeb_json::located(name, document, offset);
        where = strdup(result.c_str());
        return where != nullptr || zeb_dm::fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    });
    return where;
}

} // extern "C"
