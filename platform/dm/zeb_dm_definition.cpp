#include <cctype>
#include <set>

#include "zeb_dm_json.h"

using namespace zeb_dm;

namespace {

struct TypeName {
    const char *name;
    variant_type_t type;
};

const TypeName kTypes[] = {
    {"string", variant_type_string}, {"int8", variant_type_int8},
    {"int16", variant_type_int16},   {"int32", variant_type_int32},
    {"int64", variant_type_int64},   {"uint8", variant_type_uint8},
    {"uint16", variant_type_uint16}, {"uint32", variant_type_uint32},
    {"uint64", variant_type_uint64}, {"bool", variant_type_bool},
    {"double", variant_type_double}, {"date-time", variant_type_date_time},
};

struct AttributeName {
    const char *name;
    uint32_t bit;
};

const AttributeName kAttributes[] = {
    {"read-only", PARAMETER_ATTR_READ_ONLY},
    {"persistent", PARAMETER_ATTR_PERSISTENT},
    {"volatile", PARAMETER_ATTR_VOLATILE},
};

[[noreturn]] void invalid(const std::string &pointer, const std::string &message) {
    throwAt(ZEB_ERROR_INVALID_FILE, pointer, "%s", message.c_str());
}

void expectKind(const Json &value, Json::value_t kind, const char *kindText,
                const std::string &pointer) {
    if (value.type() != kind) {
        invalid(pointer, std::string("expected ") + kindText + ", found " + kindName(value));
    }
}

void onlyMembers(const Json &object, const std::string &pointer,
                 std::initializer_list<const char *> allowed) {
    for (const auto &member : object.items()) {
        bool known = false;
        for (const char *name : allowed) {
            known = known || member.key() == name;
        }
        if (!known) {
            invalid(pointerTo(pointer, member.key()), "unknown member \"" + member.key() + "\"");
        }
    }
}

const Json *member(const Json &object, const char *name) {
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

std::string text(const Json &object, const char *name, const std::string &pointer) {
    const Json *value = member(object, name);
    if (!value) {
        invalid(pointer, std::string("missing \"") + name + "\"");
    }
    expectKind(*value, Json::value_t::string, "a string", pointerTo(pointer, name));
    return value->get<std::string>();
}

/* Names must not look like an index or hold a dot: paths depend on it. */
std::string nameOf(const Json &object, const std::string &pointer) {
    std::string name = text(object, "name", pointer);
    bool ok = !name.empty() && (isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_');
    for (char c : name) {
        ok = ok && (isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-');
    }
    if (!ok) {
        invalid(pointerTo(pointer, "name"), "invalid name \"" + name + "\"");
    }
    return name;
}

const Json &array(const Json &object, const char *name, const std::string &pointer) {
    static const Json empty = Json::array();
    const Json *value = member(object, name);
    if (!value) {
        return empty;
    }
    expectKind(*value, Json::value_t::array, "an array", pointerTo(pointer, name));
    return *value;
}

class DefinitionReader {
  public:
    DefinitionReader(datamodel_t *dm, datamodel_symbol_resolver_t resolver, void *userData)
        : dm_(dm), resolver_(resolver), userData_(userData) {}

    std::vector<ObjectPtr> read(const Json &document) {
        expectKind(document, Json::value_t::object, "an object", "");
        onlyMembers(document, "", {"plugin", "objects"});
        if (member(document, "plugin")) {
            plugin_ = text(document, "plugin", "");
            hasPlugin_ = true;
            if (resolver_ && !resolver_(userData_, plugin_.c_str(), nullptr)) {
                throwAt(ZEB_ERROR_NOT_FOUND, "/plugin", "plug-in \"%s\" could not be loaded",
                        plugin_.c_str());
            }
        }
        std::vector<ObjectPtr> objects;
        std::set<std::string> names;
        for (object_t *existing : dm_->objects) {
            names.insert(zeb_dm::nameOf(existing));
        }
        const Json &list = array(document, "objects", "");
        for (size_t i = 0; i < list.size(); ++i) {
            std::string pointer = pointerTo("/objects", i);
            objects.push_back(readObject(list[i], pointer));
            if (!names.insert(zeb_dm::nameOf(objects.back().get())).second) {
                throwAt(ZEB_ERROR_DUPLICATE, pointerTo(pointer, "name"),
                        "object \"%s\" already exists", zeb_dm::nameOf(objects.back().get()));
            }
        }
        return objects;
    }

  private:
    template <typename Handler>
    Handler bind(const Json &object, const char *name, const std::string &pointer) {
        if (!member(object, name)) {
            return nullptr;
        }
        return resolve<Handler>(text(object, name, pointer), pointerTo(pointer, name));
    }

    template <typename Handler>
    Handler resolve(const std::string &symbol, const std::string &pointer) {
        if (!resolver_) {
            return nullptr;
        }
        void *address =
            resolver_(userData_, hasPlugin_ ? plugin_.c_str() : nullptr, symbol.c_str());
        if (!address) {
            throwAt(ZEB_ERROR_NOT_FOUND, pointer, "symbol \"%s\" not found%s%s", symbol.c_str(),
                    hasPlugin_ ? " in " : "", hasPlugin_ ? plugin_.c_str() : "");
        }
        return reinterpret_cast<Handler>(address);
    }

    ObjectPtr readObject(const Json &json, const std::string &pointer) {
        expectKind(json, Json::value_t::object, "an object", pointer);
        onlyMembers(json, pointer,
                    {"name", "multi-instance", "parameters", "functions", "objects",
                     "write-handler", "add-handler", "delete-handler"});
        ObjectPtr object = makeDefinition();
        object->dm = dm_;
        asDefinition(object.get())->name = &dm_->names.emplace_back(nameOf(json, pointer));
        if (const Json *multi = member(json, "multi-instance")) {
            expectKind(*multi, Json::value_t::boolean, "true or false",
                       pointerTo(pointer, "multi-instance"));
            object->kind = multi->get<bool>() ? Kind::Template : Kind::Singleton;
        }
        for (const char *handler : {"add-handler", "delete-handler"}) {
            if (object->kind != Kind::Template && member(json, handler)) {
                invalid(pointerTo(pointer, handler),
                        std::string(handler) + " needs \"multi-instance\": true");
            }
        }
        readParameters(json, pointer, object.get());
        readFunctions(json, pointer, object.get());
        readChildren(json, pointer, object.get());
        ObjectHandlers handlers;
        handlers.write = bind<object_write_handler_t>(json, "write-handler", pointer);
        handlers.add = bind<object_instance_handler_t>(json, "add-handler", pointer);
        handlers.del = bind<object_instance_handler_t>(json, "delete-handler", pointer);
        if (handlers.write || handlers.add || handlers.del) {
            setHandlers(object.get(), handlers);
        }
        return object;
    }

    void readChildren(const Json &json, const std::string &pointer, object_t *object) {
        const Json &list = array(json, "objects", pointer);
        for (size_t i = 0; i < list.size(); ++i) {
            std::string at = pointerTo(pointerTo(pointer, "objects"), i);
            ObjectPtr child = readObject(list[i], at);
            if (childByName(object, zeb_dm::nameOf(child.get()))) {
                invalid(pointerTo(at, "name"),
                        "duplicate object \"" + std::string(zeb_dm::nameOf(child.get())) + "\"");
            }
            adopt(asDefinition(object)->children, object, std::move(child));
        }
    }

    void readParameters(const Json &json, const std::string &pointer, object_t *object) {
        const Json &list = array(json, "parameters", pointer);
        for (size_t i = 0; i < list.size(); ++i) {
            std::string at = pointerTo(pointerTo(pointer, "parameters"), i);
            parameter_t p = readParameter(list[i], at);
            for (const parameter_t &other : ownParams(object)) {
                if (other.def()->name == p.def()->name) {
                    invalid(pointerTo(at, "name"), "duplicate parameter \"" + p.def()->name + "\"");
                }
            }
            std::unique_ptr<ObjectDef> &own = asDefinition(object)->own;
            if (!own) {
                own = std::make_unique<ObjectDef>();
            }
            std::vector<parameter_t> &held = own->parameters;
            auto *def = const_cast<ParamDef *>(p.def());
            def->owner = object;
            def->position = held.size();
            own->parameterPositions[def->name] = held.size();
            held.push_back(std::move(p));
        }
    }

    parameter_t readParameter(const Json &json, const std::string &pointer) {
        expectKind(json, Json::value_t::object, "an object", pointer);
        onlyMembers(json, pointer,
                    {"name", "type", "default", "attributes", "read-handler", "write-handler",
                     "validator"});
        ParamDef &def = dm_->paramDefs.emplace_back();
        def.name = nameOf(json, pointer);
        def.type = typeOf(text(json, "type", pointer), pointerTo(pointer, "type"));
        def.attributes =
            attributesOf(array(json, "attributes", pointer), pointerTo(pointer, "attributes"));
        parameter_t p;
        p.setShared(&def);
        setDefault(json, pointer, &p);
        ParamExtra handlers;
        handlers.readHandler = bind<parameter_read_handler_t>(json, "read-handler", pointer);
        handlers.writeHandler = bind<parameter_write_handler_t>(json, "write-handler", pointer);
        handlers.validator = bind<parameter_validator_t>(json, "validator", pointer);
        if (handlers.readHandler || handlers.writeHandler || handlers.validator) {
            p.setExtra(new ParamExtra(handlers));
        }
        return p;
    }

    static variant_type_t typeOf(const std::string &name, const std::string &pointer) {
        for (const TypeName &t : kTypes) {
            if (name == t.name) {
                return t.type;
            }
        }
        invalid(pointer, "unknown type \"" + name + "\"");
    }

    static uint32_t attributesOf(const Json &list, const std::string &pointer) {
        uint32_t bits = 0;
        for (size_t i = 0; i < list.size(); ++i) {
            std::string at = pointerTo(pointer, i);
            expectKind(list[i], Json::value_t::string, "a string", at);
            const std::string &name = list[i].get_ref<const std::string &>();
            uint32_t bit = 0;
            for (const AttributeName &a : kAttributes) {
                bit = name == a.name ? a.bit : bit;
            }
            if (!bit) {
                invalid(at, "unknown attribute \"" + name + "\"");
            }
            bits |= bit;
        }
        return bits;
    }

    static void setDefault(const Json &json, const std::string &pointer, parameter_t *p) {
        const Json *value = member(json, "default");
        Variant given;
        if (value && !scalarToVariant(*value, given.get())) {
            invalid(pointerTo(pointer, "default"),
                    std::string("a default cannot be ") + kindName(*value));
        }
        if (!variant_convert(p->value.get(), given.get(), p->def()->type)) {
            invalid(pointerTo(pointer, "default"),
                    "the default does not convert to the parameter's type");
        }
    }

    void readFunctions(const Json &json, const std::string &pointer, object_t *object) {
        const Json &list = array(json, "functions", pointer);
        for (size_t i = 0; i < list.size(); ++i) {
            std::string at = pointerTo(pointerTo(pointer, "functions"), i);
            expectKind(list[i], Json::value_t::object, "an object", at);
            onlyMembers(list[i], at, {"name", "arguments", "handler"});
            auto f = std::make_unique<function_t>();
            f->name = nameOf(list[i], at);
            std::unique_ptr<ObjectDef> &own = asDefinition(object)->own;
            if (!own) {
                own = std::make_unique<ObjectDef>();
            }
            for (const auto &other : own->functions) {
                if (other->name == f->name) {
                    invalid(pointerTo(at, "name"), "duplicate function \"" + f->name + "\"");
                }
            }
            const Json &arguments = array(list[i], "arguments", at);
            for (size_t a = 0; a < arguments.size(); ++a) {
                expectKind(arguments[a], Json::value_t::string, "a string",
                           pointerTo(pointerTo(at, "arguments"), a));
                f->arguments.push_back(arguments[a].get<std::string>());
            }
            std::string symbol =
                member(list[i], "handler") ? text(list[i], "handler", at) : "__" + f->name;
            f->handler = resolve<function_handler_t>(
                symbol, pointerTo(at, member(list[i], "handler") ? "handler" : "name"));
            f->owner = object;
            f->position = own->functions.size();
            own->functions.push_back(std::move(f));
        }
    }

    datamodel_t *dm_;
    datamodel_symbol_resolver_t resolver_;
    void *userData_;
    std::string plugin_;
    bool hasPlugin_ = false;
};

bool loadDefinition(datamodel_t *dm, const std::string &text, const std::string &name,
                    datamodel_symbol_resolver_t resolver, void *userData) {
    Json document;
    if (!parseDocument(text, name, document)) {
        return false;
    }
    std::vector<ObjectPtr> objects;
    try {
        objects = DefinitionReader(dm, resolver, userData).read(document);
    } catch (const DocumentError &error) {
        return failAt(error, text, name);
    }
    for (ObjectPtr &object : objects) {
        adopt(dm->objects, nullptr, std::move(object));
    }
    return true;
}

} // namespace

extern "C" {

bool datamodel_loadDefinition(datamodel_t *dm, const char *path,
                              datamodel_symbol_resolver_t resolver, void *userData) {
    if (!dm || !path) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null %s", dm ? "path" : "data model");
    }
    return guarded(false, [&] {
        std::string text;
        return readFile(path, text) && loadDefinition(dm, text, path, resolver, userData);
    });
}

bool datamodel_loadDefinitionText(datamodel_t *dm, const char *text, const char *name,
                                  datamodel_symbol_resolver_t resolver, void *userData) {
    if (!dm || !text) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null %s", dm ? "text" : "data model");
    }
    return guarded(false, [&] {
        return loadDefinition(dm, text, name ? name : "(definition)", resolver, userData);
    });
}

} // extern "C"
