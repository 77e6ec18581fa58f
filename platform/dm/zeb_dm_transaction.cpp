#include <cstring>
#include <exception>
#include <string>

#include "zeb_dm_internal.h"
#include "zeb_dm_json.h"

using namespace zeb_dm;

namespace {

/* Also flags the subtree dirty: a rollback must visit each object to revive it. */
void markSubtree(object_t *object, bool deleted, bool destroying) {
    object->deleted = deleted;
    setDirty(object, true);
    object->destroying = object->destroying || destroying;
    for (object_t *child : childrenOf(object)) {
        markSubtree(child, deleted, destroying);
    }
    for (object_t *instance : instancesOf(object)) {
        markSubtree(instance, deleted, destroying);
    }
}

/* Visits the objects below `object` for a walk. Every handler can create,
 * delete or destroy objects: the visited objects are taken one at a time and
 * skipped by the visit when destroyed meanwhile (their memory stays valid
 * while the data model is busy). Below a template only the open instances,
 * in instance order, so that a commit costs what it changes and not what the
 * template holds; one that becomes open ahead of the walk is still visited,
 * one created during the walk waits for the next one. */
template <typename Visit> void walkBelow(object_t *object, Visit visit) {
    if (object->kind != Kind::Template) {
        std::vector<object_t *> children;
        children.reserve(childrenOf(object).size());
        for (object_t *o : childrenOf(object)) {
            children.push_back(o);
        }
        for (object_t *child : children) {
            visit(child);
        }
        return;
    }
    const uint32_t createdBefore = object->dm->creations;
    bool started = false;
    uint32_t after = 0;
    /* The open list, and the lookups holding it, go away when it empties:
     * looked up again each time. */
    for (const Instances *data = lookupsOf(object); data && data->open; data = lookupsOf(object)) {
        const std::map<uint32_t, object_t *> &open = *data->open;
        auto it = started ? open.upper_bound(after) : open.begin();
        if (it == open.end()) {
            break;
        }
        object_t *instance = it->second;
        after = it->first;
        started = true;
        /* Counts wrap around: compared by their distance. */
        if (static_cast<int32_t>(asHolder(instance)->creation - createdBefore) <= 0) {
            visit(instance);
        }
    }
}

void runDeleteHandlers(object_t *object) {
    if (object->kind == Kind::Instance) {
        if (object_instance_handler_t handler = effectiveDelHandler(object->parent)) {
            handler(object->parent, object);
        }
    }
    for (object_t *child : childrenOf(object)) {
        runDeleteHandlers(child);
    }
    for (object_t *instance : instancesOf(object)) {
        runDeleteHandlers(instance);
    }
}

/* Takes each pending value out of its slot before its handler runs, so that
 * a nested commit from a handler applies only what was set after it. */
void applyParameters(object_t *object) {
    countWalk(object, &WalkCounts::committing, true); /* may allocate: before any change */
    object->created = false;
    bool changed = false;
    for (size_t i = 0; i < ownParams(object).size() && !object->destroyed; ++i) {
        parameter_t *p = &ownParams(object)[i];
        if (!p->hasPending()) {
            continue;
        }
        /* The current value stays what it was: value indexes need no change. */
        if (p->inPlace()) {
            p->setInPlace(false);
            p->setHasPending(false);
            object->pendingCount--;
            if (variant_equals(p->value.get(), p->proto()->value.get())) {
                continue;
            }
        } else {
            Variant applying = takePending(p);
            if (variant_equals(applying.get(), p->value.get())) {
                continue;
            }
            p->value = std::move(applying);
        }
        changed = true;
        if (parameter_write_handler_t handler = effectiveWriteHandler(p)) {
            ShownValue shown(p, p->value.get());
            handler(p);
        }
    }
    if (changed && !object->destroyed) {
        if (object_write_handler_t handler = effectiveWriteHandler(object)) {
            handler(object);
        }
    }
    countWalk(object, &WalkCounts::committing, false);
}

/* A walk clears an object's dirty flag on entry, before its handlers can
 * change anything again, while its unvisited children keep theirs. Until the
 * walk leaves, the object stays open to commits and rollbacks started from
 * handlers, which would otherwise miss those children; and if an exception
 * cuts the walk short, the flag goes back up for what was not reached. */
class WalkScope {
  public:
    explicit WalkScope(object_t *object)
        : object_(object), exceptions_(std::uncaught_exceptions()) {
        countWalk(object_, &WalkCounts::walking, true);
        syncOpen(object_);
    }
    ~WalkScope() {
        countWalk(object_, &WalkCounts::walking, false);
        if (std::uncaught_exceptions() > exceptions_) {
            markDirty(object_);
        }
        syncOpen(object_);
    }
    WalkScope(const WalkScope &) = delete;
    WalkScope &operator=(const WalkScope &) = delete;

  private:
    object_t *object_;
    int exceptions_;
};

bool skipWalk(const object_t *object) {
    return object->destroyed || object->destroying ||
           (!object->dirty && walkCounts(object).walking == 0);
}

/* A value that cannot be applied throws (out of memory): object_commit turns
 * that into its failure. */
void commitWalk(object_t *object) {
    if (skipWalk(object)) {
        return;
    }
    if (object->deleted) {
        if (object->deleteRoot && !ancestorDeleted(object)) {
            destroyInstance(object);
        }
        return;
    }
    WalkScope walk(object);
    setDirty(object, false);
    applyParameters(object);
    if (object->destroyed || object->deleted) {
        return;
    }
    walkBelow(object, [](object_t *child) { commitWalk(child); });
}

void rollbackWalk(object_t *object, bool keepDeleted) {
    if (skipWalk(object)) {
        return;
    }
    if (object->created) {
        destroyInstance(object);
        return;
    }
    WalkScope walk(object);
    if (!keepDeleted) { /* else the pending deletion above still needs its visit */
        setDirty(object, false);
    }
    for (parameter_t &p : ownParams(object)) {
        if (p.hasPending()) {
            IndexedChange change(&p);
            dropPending(&p);
        }
    }
    object->deleted = keepDeleted;
    object->deleteRoot = false;
    walkBelow(object, [&](object_t *child) { rollbackWalk(child, keepDeleted); });
}

bool chooseIndex(object_t *templ, int64_t requested, bool keyGiven, uint32_t *index) {
    if (requested > static_cast<int64_t>(UINT32_MAX)) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "index %lld is too large",
                    static_cast<long long>(requested));
    }
    if (requested > 0) {
        *index = static_cast<uint32_t>(requested);
        return !instanceByIndex(templ, *index) ||
               fail(ZEB_ERROR_DUPLICATE, "'%s' already has instance %u", nameOf(templ), *index);
    }
    const Instances *data = lookupsOf(templ);
    uint64_t candidate = static_cast<uint64_t>(instanceListOf(templ)->lastIndex) + 1;
    while (candidate <= UINT32_MAX &&
           (instanceByIndex(templ, static_cast<uint32_t>(candidate)) ||
            (!keyGiven && data && data->byKey && data->byKey->count(std::to_string(candidate))))) {
        ++candidate;
    }
    if (candidate > UINT32_MAX) {
        return fail(ZEB_ERROR_LIMIT, "'%s' has no free index left", nameOf(templ));
    }
    *index = static_cast<uint32_t>(candidate);
    return true;
}

/* Where an instance of this index goes in the list: new indexes are mostly
 * the largest, so the search starts from the end. */
object_t *placeFor(const ObjectList &list, uint32_t index) {
    object_t *before = nullptr;
    for (object_t *o = list.back(); o && instanceIndex(o) > index; o = o->prev) {
        before = o;
    }
    return before;
}

bool checkCreate(const object_t *templ) {
    if (!templ) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null template");
    }
    if (templ->kind != Kind::Template || !holdsData(templ)) {
        return fail(ZEB_ERROR_WRONG_OBJECT, "'%s' is not a template that can hold instances",
                    nameOf(templ));
    }
    if (templ->deleted || templ->destroyed) {
        return fail(ZEB_ERROR_STATE, "'%s' is being deleted", nameOf(templ));
    }
    return true;
}

object_t *createInstance(object_t *templ, int64_t requested, const char *key) {
    bool keyGiven = key && *key;
    uint32_t index = 0;
    if (!chooseIndex(templ, requested, keyGiven, &index)) {
        return nullptr;
    }
    std::string name = std::to_string(index);
    std::string instanceKey = keyGiven ? key : name;
    if (instanceKey.find('.') != std::string::npos) {
        fail(ZEB_ERROR_INVALID_ARGUMENT, "key '%s' contains a dot", key);
        return nullptr;
    }
    // Neither a key nor an instance count that a saved file could not give back.
    if (!storableText(instanceKey.data(), instanceKey.size(),
                      "key of a '" + std::string(nameOf(templ)) + "'")) {
        return nullptr;
    }
    if (instancesOf(templ).size() >= kMaxInstances) {
        fail(ZEB_ERROR_LIMIT, "'%s' holds %zu instances, as many as a saved file does",
             nameOf(templ), kMaxInstances);
        return nullptr;
    }
    if (instanceByKey(templ, instanceKey)) {
        fail(ZEB_ERROR_DUPLICATE, "'%s' already has an instance with key '%s'", nameOf(templ),
             instanceKey.c_str());
        return nullptr;
    }
    ObjectPtr owned = cloneFrom(templ, templ->dm, true);
    Holder *instance = asHolder(owned.get());
    instance->index = index;
    memcpy(instance->indexText, name.c_str(), name.size() + 1);
    if (instanceKey != name) {
        templ->dm->keys.emplace(instance, instanceKey);
        instance->keyed = true;
    }
    instance->created = true;
    instance->creation = ++templ->dm->creations;
    InstanceList &list = *instanceListOf(templ);
    instance->parent = templ;
    list.insert(placeFor(list, index), std::move(owned));
    registerInstance(instance);
    indexInstance(instance);
    markDirty(instance);
    if (index > list.lastIndex) {
        list.lastIndex = index;
    }
    BusyScope busy(templ->dm);
    if (object_instance_handler_t handler = effectiveAddHandler(templ)) {
        handler(templ, instance);
    }
    if (instance->destroyed) {
        fail(ZEB_ERROR_STATE, "the add handler of '%s' destroyed the new instance", nameOf(templ));
        return nullptr;
    }
    return instance;
}

} // namespace

namespace zeb_dm {

void markDirty(object_t *object) {
    for (object_t *o = object; o && !o->dirty; o = o->parent) {
        setDirty(o, true);
    }
}

void setDirty(object_t *object, bool dirty) {
    object->dirty = dirty;
    syncOpen(object);
}

void countWalk(object_t *object, uint16_t WalkCounts::*counter, bool up) {
    auto &walks = object->dm->walks;
    auto found = walks.find(object);
    if (found == walks.end()) {
        found = walks.emplace(object, WalkCounts{}).first;
    }
    WalkCounts &counts = found->second;
    counts.*counter = static_cast<uint16_t>(up ? counts.*counter + 1 : counts.*counter - 1);
    object->inWalk = counts.committing > 0 || counts.walking > 0;
    if (!object->inWalk) {
        walks.erase(found);
    }
}

void syncOpen(object_t *object) {
    if (object->kind != Kind::Instance) {
        return;
    }
    bool open = (object->dirty || walkCounts(object).walking > 0) && !object->destroyed;
    if (open == object->open) {
        return;
    }
    if (open) {
        Instances &data = instancesData(object->parent);
        if (!data.open) {
            data.open = std::make_unique<std::map<uint32_t, object_t *>>();
        }
        data.open->emplace(instanceIndex(object), object);
    } else {
        Instances &data = *lookupsOf(object->parent);
        data.open->erase(instanceIndex(object));
        if (data.open->empty()) {
            data.open.reset();
            if (!data.byIndex && !data.byKey && !data.valueIndex) {
                instanceListOf(object->parent)->more.reset();
            }
        }
    }
    object->open = open;
}

void destroyInstance(object_t *instance) {
    BusyScope busy(instance->dm);
    markSubtree(instance, true, true);
    runDeleteHandlers(instance);
    if (!instance->destroyed) {
        discard(instance);
    }
}

} // namespace zeb_dm

extern "C" {

object_t *object_createInstance(object_t *templ, int64_t index, const char *key) {
    if (!checkCreate(templ)) {
        return nullptr;
    }
    return guarded<object_t *>(nullptr, [&] { return createInstance(templ, index, key); });
}

bool object_delete(object_t *instance) {
    if (!instance) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null instance");
    }
    if (instance->kind != Kind::Instance) {
        return fail(ZEB_ERROR_WRONG_OBJECT, "'%s' is not an instance", nameOf(instance));
    }
    if (instance->destroyed) {
        return fail(ZEB_ERROR_STATE, "instance %s is destroyed", nameOf(instance));
    }
    if (!instance->deleted) {
        markSubtree(instance, true, false);
        instance->deleteRoot = true;
        markDirty(instance->parent);
    }
    return true;
}

bool object_commit(object_t *object) {
    if (!object) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null object");
    }
    if (object->destroyed || object->destroying ||
        (object->deleted && (!object->deleteRoot || ancestorDeleted(object)))) {
        return fail(ZEB_ERROR_STATE, "'%s' lies in a subtree being deleted", nameOf(object));
    }
    BusyScope busy(object->dm);
    return guarded(false, [&] {
        commitWalk(object);
        return true;
    });
}

bool object_rollback(object_t *object) {
    if (!object) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null object");
    }
    if (object->destroyed || object->destroying) {
        return fail(ZEB_ERROR_STATE, "'%s' is being destroyed", nameOf(object));
    }
    BusyScope busy(object->dm);
    return guarded(false, [&] {
        rollbackWalk(object, ancestorDeleted(object));
        return true;
    });
}

} // extern "C"
