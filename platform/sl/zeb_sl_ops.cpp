#include "zeb/ops.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

char *dupOrNull(const char *text) {
    return text != nullptr ? strdup(text) : nullptr;
}

void setRefused(char **refused, const char *name) {
    if (refused != nullptr)
        *refused = dupOrNull(name);
}

// Removes one trailing dot; "Phonebook.Entry." names "Phonebook.Entry".
std::string trimPath(const char *path) {
    std::string p = path != nullptr ? path : "";
    if (!p.empty() && p.back() == '.')
        p.pop_back();
    return p;
}

// One segment below `parent`: a child object by name, else (below a template)
// an instance by key, else by index.
object_t *childSegment(const object_t *parent, const std::string &segment) {
    if (object_isTemplate(parent)) {
        object_t *byKey = object_getObject(parent, segment.c_str(), OBJECT_FLAG_KEY, nullptr);
        if (byKey != nullptr)
            return byKey;
    }
    return object_getObject(parent, segment.c_str(), 0, nullptr);
}

object_t *topObject(const zeb_t *context, const std::string &name) {
    for (object_t *o = datamodel_firstObject(zeb_datamodel(context)); o != nullptr;
         o = object_nextSibling(o)) {
        if (name == object_name(o, 0))
            return o;
    }
    return nullptr;
}

object_t *walk(const zeb_t *context, const std::string &path, std::string *rest) {
    size_t start = 0;
    object_t *current = nullptr;
    while (start <= path.size()) {
        size_t dot = path.find('.', start);
        std::string segment =
            path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        object_t *next =
            current == nullptr ? topObject(context, segment) : childSegment(current, segment);
        if (next == nullptr) {
            *rest = path.substr(start);
            return current;
        }
        current = next;
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    rest->clear();
    return current;
}

bool addParameters(object_t *object, variant_map_t *map) {
    for (parameter_t *p = object_firstParameter(object); p != nullptr;
         p = object_nextParameter(p)) {
        variant_t value;
        variant_initialize(&value, variant_type_unknown);
        bool ok = parameter_readValue(p, &value) && variant_map_add(map, parameter_name(p), &value);
        variant_cleanup(&value);
        if (!ok)
            return false;
    }
    return true;
}

bool objectToMap(object_t *object, bool recursive, variant_map_t *map, int depth);

bool templateToMap(object_t *templ, variant_map_t *map, int depth) {
    for (object_t *i = object_firstInstance(templ); i != nullptr; i = object_nextInstance(i)) {
        variant_map_t instance;
        variant_map_initialize(&instance);
        bool ok = objectToMap(i, true, &instance, depth + 1) &&
                  variant_map_addMapMove(map, object_name(i, OBJECT_FLAG_KEY), &instance);
        variant_map_cleanup(&instance);
        if (!ok)
            return false;
    }
    return true;
}

bool objectToMap(object_t *object, bool recursive, variant_map_t *map, int depth) {
    if (depth > 64) {
        zeb_setError(ZEB_ERROR_LIMIT, "object tree too deep");
        return false;
    }
    if (!addParameters(object, map))
        return false;
    if (!recursive)
        return true;
    for (object_t *c = object_firstChild(object); c != nullptr; c = object_nextSibling(c)) {
        variant_map_t child;
        variant_map_initialize(&child);
        bool ok = (object_isTemplate(c) ? templateToMap(c, &child, depth)
                                        : objectToMap(c, true, &child, depth + 1)) &&
                  variant_map_addMapMove(map, object_name(c, 0), &child);
        variant_map_cleanup(&child);
        if (!ok)
            return false;
    }
    return true;
}

// Sets every value on the object; the first one refused names the failure.
bool setValues(object_t *object, const variant_map_t *values, char **refused) {
    for (variant_map_iterator_t *it = variant_map_first(values); it != nullptr;
         it = variant_map_iterator_next(it)) {
        const char *name = variant_map_iterator_key(it);
        parameter_t *p = object_getParameter(object, name);
        if (p == nullptr) {
            zeb_setError(ZEB_ERROR_NOT_FOUND, "no parameter %s", name);
        } else if ((parameter_attributes(p) & PARAMETER_ATTR_READ_ONLY) != 0) {
            zeb_setError(ZEB_ERROR_READ_ONLY, "parameter %s is read-only", name);
        } else if (parameter_setValue(p, variant_map_iterator_data(it))) {
            continue;
        }
        setRefused(refused, name);
        return false;
    }
    return true;
}

bool listChildren(object_t *object, variant_list_t *names) {
    if (object_isTemplate(object)) {
        for (object_t *i = object_firstInstance(object); i != nullptr; i = object_nextInstance(i)) {
            char *path = object_pathChar(i, OBJECT_FLAG_KEY);
            bool ok = path != nullptr && variant_list_addChar(names, path);
            std::free(path);
            if (!ok)
                return false;
        }
    }
    object_t *c = object != nullptr ? object_firstChild(object) : nullptr;
    for (; c != nullptr; c = object_nextSibling(c)) {
        if (!variant_list_addChar(names, object_name(c, 0)))
            return false;
    }
    return true;
}

bool listFunctions(object_t *object, variant_map_t *functions) {
    for (function_t *f = object_firstFunction(object); f != nullptr; f = object_nextFunction(f)) {
        variant_list_t arguments;
        variant_list_initialize(&arguments);
        bool ok = true;
        for (size_t i = 0; ok && i < function_argumentCount(f); ++i)
            ok = variant_list_addChar(&arguments, function_argumentName(f, i));
        ok = ok && variant_map_addListMove(functions, function_name(f), &arguments);
        variant_list_cleanup(&arguments);
        if (!ok)
            return false;
    }
    return true;
}

bool listObject(object_t *object, variant_map_t *result) {
    variant_list_t objects, parameters;
    variant_map_t functions;
    variant_list_initialize(&objects);
    variant_list_initialize(&parameters);
    variant_map_initialize(&functions);
    bool ok = listChildren(object, &objects) && listFunctions(object, &functions);
    for (parameter_t *p = object_firstParameter(object); ok && p != nullptr;
         p = object_nextParameter(p))
        ok = variant_list_addChar(&parameters, parameter_name(p));
    ok = ok && variant_map_addListMove(result, "objects", &objects) &&
         variant_map_addListMove(result, "parameters", &parameters) &&
         variant_map_addMapMove(result, "functions", &functions);
    variant_list_cleanup(&objects);
    variant_list_cleanup(&parameters);
    variant_map_cleanup(&functions);
    return ok;
}

bool listTop(const zeb_t *context, variant_map_t *result) {
    variant_list_t objects;
    variant_list_initialize(&objects);
    bool ok = true;
    for (object_t *o = datamodel_firstObject(zeb_datamodel(context)); ok && o != nullptr;
         o = object_nextSibling(o))
        ok = variant_list_addChar(&objects, object_name(o, 0));
    ok = ok && variant_map_addListMove(result, "objects", &objects);
    variant_list_cleanup(&objects);
    return ok;
}

object_t *resolveObject(const zeb_t *context, const char *path) {
    parameter_t *parameter = nullptr;
    object_t *object = zeb_ops_resolve(context, path, &parameter);
    if (object == nullptr || parameter != nullptr) {
        zeb_setError(ZEB_ERROR_NOT_FOUND, "no object %s", path != nullptr ? path : "(null)");
        return nullptr;
    }
    return object;
}

} // namespace

extern "C" {

object_t *zeb_ops_resolve(const zeb_t *context, const char *path, parameter_t **parameter) {
    if (parameter != nullptr)
        *parameter = nullptr;
    if (context == nullptr || path == nullptr) {
        zeb_setError(ZEB_ERROR_INVALID_ARGUMENT, "no context or path");
        return nullptr;
    }
    std::string rest;
    object_t *object = walk(context, trimPath(path), &rest);
    if (object != nullptr && rest.empty())
        return object;
    parameter_t *p = object != nullptr && rest.find('.') == std::string::npos
                         ? object_getParameter(object, rest.c_str())
                         : nullptr;
    if (p == nullptr || parameter == nullptr) {
        zeb_setError(ZEB_ERROR_NOT_FOUND, "no object or parameter %s", path);
        return nullptr;
    }
    *parameter = p;
    return object;
}

bool zeb_ops_get(const zeb_t *context, const char *path, bool recursive, variant_t *result) {
    parameter_t *parameter = nullptr;
    object_t *object = zeb_ops_resolve(context, path, &parameter);
    if (object == nullptr || result == nullptr)
        return false;
    if (parameter != nullptr)
        return parameter_readValue(parameter, result);
    variant_map_t map;
    variant_map_initialize(&map);
    bool ok = object_isTemplate(object) ? recursive ? templateToMap(object, &map, 0) : true
                                        : objectToMap(object, recursive, &map, 0);
    ok = ok && variant_setMapMove(result, &map);
    variant_map_cleanup(&map);
    return ok;
}

bool zeb_ops_set(zeb_t *context, const char *objectPath, const variant_map_t *values,
                 char **refused) {
    if (refused != nullptr)
        *refused = nullptr;
    object_t *object = resolveObject(context, objectPath);
    if (object == nullptr)
        return false;
    if (!setValues(object, values, refused)) {
        uint32_t code = zeb_error;
        std::string message = zeb_errorMessage();
        object_rollback(object);
        zeb_setError(code, "%s", message.c_str());
        return false;
    }
    return object_commit(object);
}

object_t *zeb_ops_add(zeb_t *context, const char *templatePath, const char *key,
                      const variant_map_t *values, char **refused) {
    if (refused != nullptr)
        *refused = nullptr;
    object_t *templ = resolveObject(context, templatePath);
    if (templ == nullptr)
        return nullptr;
    object_t *instance = object_createInstance(templ, 0, key);
    if (instance == nullptr)
        return nullptr;
    if (!setValues(instance, values, refused)) {
        uint32_t code = zeb_error;
        std::string message = zeb_errorMessage();
        object_rollback(instance);
        zeb_setError(code, "%s", message.c_str());
        return nullptr;
    }
    return object_commit(instance) ? instance : nullptr;
}

bool zeb_ops_delete(zeb_t *context, const char *instancePath) {
    object_t *instance = resolveObject(context, instancePath);
    if (instance == nullptr)
        return false;
    if (!object_isInstance(instance)) {
        zeb_setError(ZEB_ERROR_WRONG_OBJECT, "%s is not an instance", instancePath);
        return false;
    }
    object_t *templ = object_parent(instance);
    return object_delete(instance) && object_commit(templ);
}

bool zeb_ops_list(const zeb_t *context, const char *path, variant_t *result) {
    if (context == nullptr || result == nullptr) {
        zeb_setError(ZEB_ERROR_INVALID_ARGUMENT, "no context or result");
        return false;
    }
    variant_map_t map;
    variant_map_initialize(&map);
    bool ok;
    if (path == nullptr || *path == '\0') {
        ok = listTop(context, &map);
    } else {
        object_t *object = resolveObject(context, path);
        ok = object != nullptr && listObject(object, &map);
    }
    ok = ok && variant_setMapMove(result, &map);
    variant_map_cleanup(&map);
    return ok;
}

} // extern "C"
