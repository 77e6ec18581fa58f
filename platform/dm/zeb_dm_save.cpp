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

/* The saved text, written to the file as the objects are walked: the bytes a
 * document of the same members dumped without indentation would have. */
class Writer {
  public:
    explicit Writer(FileReplacement &file) : file_(file) {}

    void member(const std::string &name) {
        separate();
        scalar(OutJson(name));
        file_.append(":", 1);
    }
    void element() { separate(); }
    void open(char bracket) {
        file_.append(&bracket, 1);
        first_ = true;
    }
    void close(char bracket) {
        file_.append(&bracket, 1);
        first_ = false;
    }
    void scalar(const OutJson &value) {
        file_.append(value.dump(-1, ' ', false, OutJson::error_handler_t::replace));
        first_ = false;
    }

  private:
    void separate() {
        if (!first_) {
            file_.append(",", 1);
        }
    }

    FileReplacement &file_;
    bool first_ = true;
};

/* The saved form of a parameter's value; false, traced, when it has none. */
bool savedValue(parameter_t *p, const object_t *object, OutJson &value) {
    Variant read;
    Variant typed;
    if (clientValue(p, read.get()) && variant_convert(typed.get(), read.get(), p->def()->type) &&
        toJson(typed.get(), value)) {
        return true;
    }
    kelTrace(KELTRACE_LEVEL_WARNING, "not saving %s of %s: its value has no saved form",
             p->def()->name.c_str(), nameOf(object));
    return false;
}

/* "parameters", left out when no value is saved. */
void writeParameters(Writer &out, object_t *object, uint32_t flags) {
    bool opened = false;
    for (parameter_t &p : ownParams(object)) {
        OutJson value;
        if (!saved(&p, flags) || !savedValue(&p, object, value)) {
            continue;
        }
        if (!opened) {
            out.member("parameters");
            out.open('{');
            opened = true;
        }
        out.member(p.def()->name);
        out.scalar(value);
    }
    if (opened) {
        out.close('}');
    }
}

/* The members of an object's node, into the object being written. Instances
 * count as one level with their template. */
void writeMembers(Writer &out, object_t *object, int depth, uint32_t flags);

void writeInstances(Writer &out, object_t *templ, int depth, uint32_t flags) {
    out.member("instances");
    out.open('[');
    for (object_t *instance : instancesOf(templ)) {
        if (instance->deleted) {
            continue;
        }
        out.element();
        out.open('{');
        out.member("index");
        out.scalar(OutJson(instanceIndex(instance)));
        if (instance->keyed) {
            out.member("key");
            out.scalar(OutJson(std::string(instanceKey(instance))));
        }
        writeMembers(out, instance, depth, flags);
        out.close('}');
    }
    out.close(']');
}

void writeMembers(Writer &out, object_t *object, int depth, uint32_t flags) {
    if (object->kind == Kind::Template) {
        writeInstances(out, object, depth, flags);
        return;
    }
    writeParameters(out, object, flags);
    if (depth != 0 && !childrenOf(object).empty()) {
        out.member("objects");
        out.open('{');
        for (object_t *child : childrenOf(object)) {
            out.member(nameOf(child));
            out.open('{');
            writeMembers(out, child, depth - 1, flags);
            out.close('}');
        }
        out.close('}');
    }
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
    OutJson pathText(objectPath);
    free(objectPath);
    FileReplacement file(resolved, kMaxFileSize);
    if (!file.open()) {
        return false;
    }
    Writer out(file);
    out.open('{');
    out.member("version");
    out.scalar(OutJson(1));
    out.member("path");
    out.scalar(pathText);
    writeMembers(out, object, depth, flags);
    out.close('}');
    file.append("\n", 1);
    return file.finish();
}

} // namespace

extern "C" bool datamodel_save(object_t *object, int depth, const char *path, uint32_t flags) {
    if (!object || !path) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null %s", object ? "path" : "object");
    }
    if (!holdsData(object)) {
        return fail(ZEB_ERROR_WRONG_OBJECT, "'%s' is part of a template definition",
                    nameOf(object));
    }
    BusyScope busy(object->dm);
    return guarded(false, [&] { return save(object, depth, path, flags); });
}
