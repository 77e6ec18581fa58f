#include <cstdlib>

#include "keltrace/keltrace.h"
#include "zeb_variant_json.hpp"
#include "zeb_dm_file.h"
#include "zeb_dm_json.h"

using namespace zeb_dm;

/* Written documents keep the definition's order. */
using OutJson = nlohmann::ordered_json;

namespace {

bool saved(const parameter_t *p, uint32_t flags) {
    if (p->def()->attributes & PARAMETER_ATTR_VOLATILE) {
        return false;
    }
    return !(flags & DATAMODEL_FLAG_PERSISTENT_ONLY) ||
           (p->def()->attributes & PARAMETER_ATTR_PERSISTENT);
}

/* False for a value the saved file cannot hold: a container, or a double
 * that is not finite. */
bool toJson(const variant_t *value, OutJson &out) {
    variant_type_t type = variant_type(value);
    return type != variant_type_array && type != variant_type_map && type != variant_type_unknown &&
           zeb_json::variantToJson(value, out);
}

OutJson parametersOf(object_t *object, uint32_t flags) {
    OutJson values = OutJson::object();
    for (parameter_t &p : object->parameters) {
        if (!saved(&p, flags)) {
            continue;
        }
        Variant read;
        Variant typed;
        OutJson value;
        if (!clientValue(&p, read.get()) ||
            !variant_convert(typed.get(), read.get(), p.def()->type) ||
            !toJson(typed.get(), value)) {
            kelTrace(KELTRACE_LEVEL_WARNING, "not saving %s of %s: its value has no saved form",
                     p.def()->name.c_str(), object->name.c_str());
            continue;
        }
        values[p.def()->name] = std::move(value);
    }
    return values;
}

/* Instances count as one level with their template. */
OutJson nodeOf(object_t *object, int depth, uint32_t flags);

OutJson templateNode(object_t *templ, int depth, uint32_t flags) {
    OutJson instances = OutJson::array();
    for (const ObjectPtr &instance : instancesOf(templ)) {
        if (instance->deleted) {
            continue;
        }
        OutJson node = OutJson::object();
        node["index"] = instance->index;
        if (instance->ownKey) {
            node["key"] = *instance->ownKey;
        }
        OutJson content = nodeOf(instance.get(), depth, flags);
        for (auto &item : content.items()) {
            node[item.key()] = std::move(item.value());
        }
        instances.push_back(std::move(node));
    }
    OutJson node = OutJson::object();
    node["instances"] = std::move(instances);
    return node;
}

OutJson nodeOf(object_t *object, int depth, uint32_t flags) {
    if (object->kind == Kind::Template) {
        return templateNode(object, depth, flags);
    }
    OutJson node = OutJson::object();
    OutJson values = parametersOf(object, flags);
    if (!values.empty()) {
        node["parameters"] = std::move(values);
    }
    if (depth != 0 && !object->children.empty()) {
        OutJson children = OutJson::object();
        for (const ObjectPtr &child : object->children) {
            children[child->name] = nodeOf(child.get(), depth - 1, flags);
        }
        node["objects"] = std::move(children);
    }
    return node;
}

bool save(object_t *object, int depth, const char *path, uint32_t flags) {
    std::string resolved;
    if (!resolvePath(path, resolved)) {
        return false;
    }
    char *objectPath = object_pathChar(object, 0);
    if (!objectPath) {
        return false;
    }
    OutJson document = OutJson::object();
    document["version"] = 1;
    document["path"] = objectPath;
    free(objectPath);
    OutJson content = nodeOf(object, depth, flags);
    for (auto &item : content.items()) {
        document[item.key()] = std::move(item.value());
    }
    std::string text = document.dump(-1, ' ', false, OutJson::error_handler_t::replace) + "\n";
    if (text.size() > kMaxFileSize) {
        return fail(ZEB_ERROR_LIMIT, "%s: %zu bytes is more than a load accepts (%zu)",
                    resolved.c_str(), text.size(), kMaxFileSize);
    }
    return replaceFile(resolved, text);
}

} // namespace

extern "C" bool datamodel_save(object_t *object, int depth, const char *path, uint32_t flags) {
    if (!object || !path) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null %s", object ? "path" : "object");
    }
    if (!holdsData(object)) {
        return fail(ZEB_ERROR_WRONG_OBJECT, "'%s' is part of a template definition",
                    object->name.c_str());
    }
    BusyScope busy(object->dm);
    return guarded(false, [&] { return save(object, depth, path, flags); });
}
