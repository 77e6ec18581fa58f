#include <cerrno>
#include <cstring>
#include <optional>
#include <set>

#include "keltrace/keltrace.h"
#include "zeb_dm_file.h"
#include "zeb_dm_json.h"
#include "zeb_dm_load_plan.h"

using namespace zeb_dm;

namespace {

[[noreturn]] void invalid(const std::string &pointer, const std::string &message) {
    throwAt(ZEB_ERROR_INVALID_FILE, pointer, "%s", message.c_str());
}

void expectObject(const Json &json, const std::string &pointer) {
    if (!json.is_object()) {
        invalid(pointer, std::string("expected an object, found ") + kindName(json));
    }
}

/* The saved value as a variant of the parameter's type. */
bool convert(const Json &json, variant_type_t type, variant_t *out) {
    Variant given;
    return scalarToVariant(json, given.get()) && variant_convert(out, given.get(), type);
}

class Checker {
  public:
    Checker(uint32_t flags, PlanArena &arena) : flags_(flags), arena_(arena) {}

    /* `asInstance`: the node is an instance of the template `shape`. */
    PlanNode check(const Json &json, const object_t *shape, const std::string &pointer,
                   const std::string &shown, bool asInstance,
                   std::initializer_list<const char *> extra) {
        expectObject(json, pointer);
        PlanNode plan(arena_.resource());
        plan.name = nameOf(shape);
        bool templ = shape->kind == Kind::Template && !asInstance;
        for (const auto &item : json.items()) {
            std::string at = pointerTo(pointer, item.key());
            if (templ && item.key() == "instances") {
                checkInstances(item.value(), shape, at, shown + ".{i}", plan);
            } else if (!templ && item.key() == "parameters") {
                plan.pointer = arena_.keep(at);
                checkValues(item.value(), shape, at, shown, plan);
            } else if (!templ && item.key() == "objects") {
                checkChildren(item.value(), shape, at, shown, plan);
            } else if (!isExtra(item.key(), extra)) {
                invalid(at, "unknown member \"" + item.key() + "\"");
            }
        }
        return plan;
    }

    void reportSkipped(const std::string &path) const {
        for (const auto &entry : skipped_) {
            kelTrace(KELTRACE_LEVEL_WARNING,
                     "%s: skipped %zu saved value(s) of %s, which the data model does not have",
                     path.c_str(), entry.second, entry.first.c_str());
        }
    }

  private:
    static bool isExtra(const std::string &key, std::initializer_list<const char *> extra) {
        for (const char *name : extra) {
            if (key == name) {
                return true;
            }
        }
        return false;
    }

    void checkValues(const Json &json, const object_t *shape, const std::string &pointer,
                     const std::string &shown, PlanNode &plan) {
        expectObject(json, pointer);
        for (const auto &item : json.items()) {
            const parameter_t *p = paramByName(shape, item.key());
            if (!p || (p->def()->attributes & PARAMETER_ATTR_VOLATILE)) {
                skipped_[shown + "." + item.key()]++;
                continue;
            }
            if ((flags_ & DATAMODEL_FLAG_PERSISTENT_ONLY) &&
                !(p->def()->attributes & PARAMETER_ATTR_PERSISTENT)) {
                continue;
            }
            const ParamDef &def = *p->def();
            if (!kindFits(item.value().type(), def.type)) {
                invalid(pointerTo(pointer, item.key()),
                        std::string("wrong type for ") + def.name + ": " + kindName(item.value()));
            }
            if (item.value().is_string() && def.type == variant_type_string) {
                std::string_view text =
                    arena_.keep(item.value().get_ref<const std::string &>().c_str());
                plan.values.push_back(PlanValue{def.position, &def.name, Variant(), text});
                continue;
            }
            Variant value;
            if (!convert(item.value(), def.type, value.get())) {
                invalid(pointerTo(pointer, item.key()),
                        "value of " + def.name + " does not fit its type");
            }
            plan.values.push_back(PlanValue{def.position, &def.name, std::move(value), {}});
        }
    }

    void checkChildren(const Json &json, const object_t *shape, const std::string &pointer,
                       const std::string &shown, PlanNode &plan) {
        expectObject(json, pointer);
        for (const auto &item : json.items()) {
            const object_t *child = childByName(shape, item.key());
            if (!child) {
                skipped_[shown + "." + item.key()]++;
                continue;
            }
            plan.children.push_back(check(item.value(), child, pointerTo(pointer, item.key()),
                                          shown + "." + item.key(), false, {}));
        }
    }

    void checkInstances(const Json &json, const object_t *templ, const std::string &pointer,
                        const std::string &shown, PlanNode &plan) {
        if (!json.is_array()) {
            invalid(pointer, std::string("expected an array, found ") + kindName(json));
        }
        if (json.size() > kMaxInstances) {
            throwAt(ZEB_ERROR_LIMIT, pointer, "more than %zu instances", kMaxInstances);
        }
        std::set<uint32_t> indexes;
        std::set<std::string> keys;
        for (size_t i = 0; i < json.size(); ++i) {
            std::string at = pointerTo(pointer, i);
            expectObject(json[i], at);
            PlanInstance instance(arena_.resource());
            instance.pointer = arena_.keep(at);
            instance.index = indexOf(json[i], at);
            std::string key = keyOf(json[i], at, instance.index);
            instance.key = arena_.keep(key);
            if (!indexes.insert(instance.index).second || !keys.insert(std::move(key)).second) {
                invalid(at, "index or key used twice");
            }
            instance.node = check(json[i], templ, at, shown, true, {"index", "key"});
            plan.instances.push_back(std::move(instance));
        }
    }

    static uint32_t indexOf(const Json &json, const std::string &pointer) {
        auto it = json.find("index");
        if (it == json.end() || !it->is_number_integer() || it->get<int64_t>() < 1 ||
            it->get<uint64_t>() > UINT32_MAX) {
            invalid(it == json.end() ? pointer : pointerTo(pointer, "index"),
                    "an instance needs an index from 1 to 4294967295");
        }
        return static_cast<uint32_t>(it->get<uint64_t>());
    }

    static std::string keyOf(const Json &json, const std::string &pointer, uint32_t index) {
        auto it = json.find("key");
        if (it == json.end()) {
            return std::to_string(index);
        }
        if (!it->is_string() || it->get_ref<const std::string &>().empty() ||
            it->get_ref<const std::string &>().find('.') != std::string::npos) {
            invalid(pointerTo(pointer, "key"), "a key is a non-empty text without dots");
        }
        return it->get<std::string>();
    }

    uint32_t flags_;
    PlanArena &arena_;
    std::map<std::string, size_t> skipped_;
};

/* Applies a checked plan; on failure, undo() puts back the pending values it
 * replaced and destroys the instances it created (their delete handlers run). */
class Applier {
  public:
    void apply(PlanNode &plan, object_t *object, bool insideCreated) {
        if (object->kind == Kind::Template) {
            applyInstances(plan, object, insideCreated);
            return;
        }
        for (PlanValue &value : plan.values) {
            parameter_t *p = &ownParams(object)[value.position];
            if (!insideCreated) {
                remember(p);
            }
            if (!setCandidate(p, valueOf(value))) {
                invalid(pointerTo(std::string(plan.pointer), *value.name), zeb_errorMessage());
            }
        }
        for (PlanNode &child : plan.children) {
            apply(child, childByName(object, std::string(child.name)), insideCreated);
        }
    }

    void undo() {
        for (auto it = changed_.rbegin(); it != changed_.rend(); ++it) {
            if (!ownerOf(it->parameter)->destroyed) {
                IndexedChange change(it->parameter);
                dropPending(it->parameter);
                if (it->hadPending) {
                    setPending(it->parameter, std::move(it->pending));
                    markDirty(ownerOf(it->parameter));
                }
            }
        }
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
            if (!(*it)->destroyed) {
                destroyInstance(*it);
            }
        }
    }

  private:
    /* Made here, in the heap the data model keeps, not in the plan's arena. */
    static Variant valueOf(PlanValue &value) {
        if (!value.text.data()) {
            return std::move(value.value);
        }
        Variant text;
        if (!variant_setChar(text.get(), value.text.data())) {
            throw std::bad_alloc();
        }
        return text;
    }

    struct Change {
        parameter_t *parameter;
        bool hadPending;
        Variant pending;
    };

    void remember(parameter_t *p) {
        if (!p) {
            return;
        }
        Change change{p, p->hasPending(), Variant()};
        if (p->hasPending() && !variant_copy(change.pending.get(), currentValue(p))) {
            throw std::bad_alloc();
        }
        changed_.push_back(std::move(change));
    }

    void applyInstances(PlanNode &plan, object_t *templ, bool insideCreated) {
        for (PlanInstance &saved : plan.instances) {
            object_t *instance = instanceByIndex(templ, saved.index);
            bool fresh = !instance;
            if (instance && (instanceKey(instance) != saved.key || instance->deleted)) {
                invalid(std::string(saved.pointer),
                        "instance " + std::to_string(saved.index) + " of " + nameOf(templ) +
                            " already exists with another key or is being deleted");
            }
            if (fresh) {
                instance = object_createInstance(templ, saved.index, saved.key.data());
                if (!instance) {
                    invalid(std::string(saved.pointer), zeb_errorMessage());
                }
                if (!insideCreated) {
                    created_.push_back(instance);
                }
            }
            apply(saved.node, instance, insideCreated || fresh);
        }
    }

    std::vector<Change> changed_;
    std::vector<object_t *> created_;
};

/* Keeps the only copy of a file the host cannot use out of the next save's
 * way, keeping the failure's code and message. */
bool quarantine(const std::string &path) {
    std::string target = path + ".invalid";
    if (fileOps().rename(path.c_str(), target.c_str()) == 0) {
        appendToMessage(" (moved to " + target + ")");
    } else {
        appendToMessage(" (could not move it to " + target + ": " + strerror(errno) + ")");
    }
    return false;
}

object_t *rootOf(const Json &document, const datamodel_t *dm) {
    expectObject(document, "");
    auto version = document.find("version");
    if (version == document.end() || !version->is_number_integer() ||
        version->get<int64_t>() != 1) {
        invalid(version == document.end() ? "" : "/version", "expected \"version\": 1");
    }
    auto path = document.find("path");
    if (path == document.end() || !path->is_string()) {
        invalid(path == document.end() ? "" : "/path", "expected \"path\" naming the saved object");
    }
    object_t *root = datamodel_getObject(dm, path->get_ref<const std::string &>().c_str(), 0);
    if (!root || !holdsData(root)) {
        invalid("/path",
                "the data model has no object \"" + path->get<std::string>() + "\" holding data");
    }
    return root;
}

/* A plan with the arena it lives in. */
struct Plan {
    PlanArena arena;
    PlanNode root{arena.resource()};
};

/* Applies a checked plan and commits it; a value refused on the way undoes
 * the load. The plan is released before the commit, whose write handlers may
 * keep memory of their own. */
bool applyPlan(std::optional<Plan> &plan, object_t *root, const std::string &text,
               const std::string &path) {
    Applier applier;
    try {
        applier.apply(plan->root, root, false);
    } catch (const DocumentError &error) {
        applier.undo();
        failAt(error, text, path);
        return quarantine(path);
    } catch (...) {
        applier.undo();
        throw;
    }
    plan.reset();
    return object_commit(root);
}

/* Reads the whole file into a document, then checks it: slower than the
 * streaming reader, but it takes every file and tells where each fault is. */
bool loadDocument(datamodel_t *dm, const std::string &text, const std::string &path,
                  uint32_t flags) {
    Json document;
    if (!parseDocument(text, path, document)) {
        return quarantine(path);
    }
    object_t *root = nullptr;
    std::optional<Plan> plan(std::in_place);
    Checker checker(flags, plan->arena);
    try {
        root = rootOf(document, dm);
        plan->root = checker.check(document, root, "", document["path"].get<std::string>(), false,
                                   {"version", "path"});
    } catch (const DocumentError &error) {
        failAt(error, text, path);
        return quarantine(path);
    }
    checker.reportSkipped(path);
    return applyPlan(plan, root, text, path);
}

bool documentOnly = false;
unsigned streamedLoads = 0;

bool load(datamodel_t *dm, const std::string &path, uint32_t flags) {
    std::string text;
    if (!readSavedFile(path, text)) {
        return zeb_error == ZEB_ERROR_LIMIT ? quarantine(path) : false;
    }
    BusyScope busy(dm);
    if (!documentOnly) {
        object_t *root = nullptr;
        std::optional<Plan> plan(std::in_place);
        if (streamPlan(dm, text, flags, root, plan->arena, plan->root)) {
            ++streamedLoads;
            return applyPlan(plan, root, text, path);
        }
    }
    return loadDocument(dm, text, path, flags);
}

} // namespace

extern "C" bool datamodel_load(datamodel_t *dm, const char *path, uint32_t flags) {
    if (!dm || !path) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null %s", dm ? "path" : "data model");
    }
    return guarded(false, [&] {
        std::string resolved;
        return resolvePath(path, resolved) && load(dm, resolved, flags);
    });
}

extern "C" void zeb_dm_setDocumentLoad(bool on) {
    documentOnly = on;
}

extern "C" unsigned zeb_dm_streamedLoads(void) {
    return streamedLoads;
}
