#include <cstdlib>
#include <cstring>

#include "zeb_dm_internal.h"

using namespace zeb_dm;

namespace zeb_dm {

BusyScope::~BusyScope() {
    if (--dm_->busy == 0) {
        dm_->graveyard.clear();
    }
}

bool isPrototype(const object_t *object) {
    for (const object_t *o = object; o; o = o->parent) {
        if (o->kind == Kind::Instance) {
            return false;
        }
        if (o->kind == Kind::Template) {
            return true;
        }
    }
    return false;
}

bool holdsData(const object_t *object) {
    if (object->kind == Kind::Template) {
        return !object->parent || !isPrototype(object->parent);
    }
    return !isPrototype(object);
}

bool ancestorDeleted(const object_t *object) {
    for (const object_t *o = object->parent; o; o = o->parent) {
        if (o->deleted) {
            return true;
        }
    }
    return false;
}

object_t *childByName(const object_t *object, const std::string &name) {
    for (object_t *child : childrenOf(object)) {
        if (nameOf(child) == name) {
            return child;
        }
    }
    return nullptr;
}

/* Below this many instances a template's list is searched by index. */
static const size_t kIndexedFrom = 8;

static const ObjectList none;

const ObjectList &childrenOf(const object_t *object) {
    switch (object->layout) {
    case Layout::Definition:
        return asDefinition(object)->children;
    case Layout::Holder:
        return asHolder(object)->children;
    case Layout::TemplateCopy:
        break;
    }
    return none;
}

const ObjectList &instancesOf(const object_t *templ) {
    const InstanceList *list = instanceListOf(templ);
    return list ? *list : none;
}

Instances &instancesData(object_t *templ) {
    std::unique_ptr<Instances> &more = instanceListOf(templ)->more;
    if (!more) {
        more = std::make_unique<Instances>();
    }
    return *more;
}

object_t *instanceByIndex(const object_t *templ, uint32_t index) {
    const Instances *data = lookupsOf(templ);
    if (data && data->byIndex) {
        return data->byIndex->find(index);
    }
    for (object_t *instance : instancesOf(templ)) {
        if (instanceIndex(instance) == index) {
            return instance;
        }
    }
    return nullptr;
}

object_t *instanceByKey(const object_t *templ, const std::string &key) {
    const Instances *data = lookupsOf(templ);
    if (data && data->byKey) {
        auto it = data->byKey->find(key);
        if (it != data->byKey->end()) {
            return it->second;
        }
    }
    /* Otherwise a key is the index as text: decimal digits without a leading
     * zero, at most UINT32_MAX. Read here rather than by strtoul, which stops
     * at ULONG_MAX: UINT32_MAX itself where long has 32 bits. */
    uint64_t index = 0;
    if (key.empty() || key[0] == '0' || key.size() > 10) {
        return nullptr;
    }
    for (char c : key) {
        if (c < '0' || c > '9') {
            return nullptr;
        }
        index = index * 10 + static_cast<uint64_t>(c - '0');
    }
    if (index > UINT32_MAX) {
        return nullptr;
    }
    object_t *instance = instanceByIndex(templ, static_cast<uint32_t>(index));
    return instance && !instance->keyed ? instance : nullptr;
}

Params paramsOf(const object_t *object) {
    while (object->kind == Kind::Template && ownParams(object).empty() && object->proto) {
        object = object->proto;
    }
    return ownParams(object);
}

const parameter_t *paramByName(const object_t *object, const std::string &name) {
    /* Every copy has its parameters where its definition has them. */
    const object_t *definition = object;
    while (definition->proto) {
        definition = definition->proto;
    }
    const ObjectDef *own = asDefinition(definition)->own.get();
    if (!own) {
        return nullptr;
    }
    const auto &positions = own->parameterPositions;
    auto it = positions.find(name);
    return it == positions.end() ? nullptr : &paramsOf(object)[it->second];
}

const char *instanceKey(const object_t *instance) {
    return instance->keyed ? instance->dm->keys.at(instance).c_str() : nameOf(instance);
}

void registerInstance(object_t *instance) {
    const ObjectList &list = instancesOf(instance->parent);
    Instances *lookups = lookupsOf(instance->parent);
    if (!instance->keyed && !(lookups && lookups->byIndex) && list.size() < kIndexedFrom) {
        return;
    }
    Instances &data = instancesData(instance->parent);
    if (instance->keyed) {
        if (!data.byKey) {
            data.byKey = std::make_unique<std::unordered_map<std::string, object_t *>>();
        }
        (*data.byKey)[instanceKey(instance)] = instance;
    }
    if (data.byIndex) {
        data.byIndex->put(instance);
    } else if (list.size() >= kIndexedFrom) {
        /* Filled before it is used: a table cut short by a failure would
         * hide the instances it lacks. */
        auto byIndex = std::make_unique<IndexTable>();
        byIndex->reserve(list.size());
        for (object_t *o : list) {
            byIndex->put(o);
        }
        data.byIndex = std::move(byIndex);
    }
}

void setHandlers(object_t *object, const ObjectHandlers &handlers) {
    std::vector<std::unique_ptr<ObjectHandlers>> &sets = object->dm->handlerSets;
    for (const auto &set : sets) {
        if (*set == handlers) {
            object->handlers = set.get();
            return;
        }
    }
    sets.push_back(std::make_unique<ObjectHandlers>(handlers));
    object->handlers = sets.back().get();
}

ObjectList &homeOf(object_t *object) {
    if (object->kind == Kind::Instance) {
        return *instanceListOf(object->parent);
    }
    return object->parent ? const_cast<ObjectList &>(childrenOf(object->parent))
                          : object->dm->objects;
}

object_t *adopt(ObjectList &list, object_t *parent, ObjectPtr child) {
    child->parent = parent;
    return list.insert(nullptr, std::move(child));
}

/* Objects of each layout made and released: the block of a holder also holds
 * its parameters and the template copies behind them. */
template <typename T> static T *construct(void *at) {
    return new (at) T();
}

static void releaseDefinition(object_t *object) {
    asDefinition(object)->~Definition();
}

static void releaseHolder(object_t *object) {
    Holder *holder = asHolder(object);
    parameter_t *first = trailingParams(holder);
    for (uint32_t i = 0; i < holder->paramCount; ++i) {
        first[i].~parameter();
    }
    holder->~Holder();
}

static void releaseTemplateCopy(object_t *object) {
    asTemplateCopy(object)->~TemplateCopy();
}

ObjectPtr makeDefinition() {
    ObjectPtr object(construct<Definition>(::operator new(sizeof(Definition))));
    object->layout = Layout::Definition;
    return object;
}

/* A holder with room for `parameters` parameters and `templates` template
 * copies behind it. */
static ObjectPtr makeHolder(size_t parameters, size_t templates) {
    void *block = ::operator new(sizeof(Holder) + parameters * sizeof(parameter_t) +
                                 templates * sizeof(TemplateCopy));
    Holder *holder = construct<Holder>(block);
    holder->layout = Layout::Holder;
    ObjectPtr object(holder);
    parameter_t *first = trailingParams(holder);
    for (size_t i = 0; i < parameters; ++i) {
        new (first + i) parameter_t();
    }
    holder->paramCount = static_cast<uint32_t>(parameters);
    return object;
}

void ObjectDeleter::operator()(object_t *object) const {
    static void (*const release[])(object_t *) = {releaseDefinition, releaseHolder,
                                                  releaseTemplateCopy};
    if (object->keyed) {
        object->dm->keys.erase(object);
    }
    const bool embedded = object->embedded;
    release[static_cast<size_t>(object->layout)](object);
    if (!embedded) {
        ::operator delete(object);
    }
}

ObjectList::~ObjectList() {
    for (object_t *o = first_; o;) {
        object_t *next = o->next;
        ObjectDeleter()(o);
        o = next;
    }
}

object_t *ObjectList::insert(object_t *before, ObjectPtr object) {
    object_t *raw = object.release();
    object_t *after = before ? before->prev : last_;
    raw->prev = after;
    raw->next = before;
    (after ? after->next : first_) = raw;
    (before ? before->prev : last_) = raw;
    ++count_;
    return raw;
}

ObjectPtr ObjectList::remove(object_t *object) {
    (object->prev ? object->prev->next : first_) = object->next;
    (object->next ? object->next->prev : last_) = object->prev;
    --count_;
    return ObjectPtr(object);
}

/* Also drops the pending values the data model holds for the subtree. */
static void markDestroyed(object_t *object) {
    object->destroyed = true;
    for (parameter_t &p : ownParams(object)) {
        if (p.hasPending() && !p.inPlace()) {
            object->dm->pending.erase(&p);
            p.setHasPending(false);
        }
    }
    for (object_t *child : childrenOf(object)) {
        markDestroyed(child);
    }
    for (object_t *instance : instancesOf(object)) {
        markDestroyed(instance);
    }
}

void discard(object_t *object) {
    /* Out of the value index under the texts it is indexed by, before its
     * pending values go. */
    if (object->kind == Kind::Instance) {
        unindexInstance(object);
    }
    markDestroyed(object);
    if (object->kind == Kind::Instance) {
        syncOpen(object);
    }
    ObjectPtr owned = homeOf(object).remove(object);
    Instances *data = object->kind == Kind::Instance ? lookupsOf(object->parent) : nullptr;
    if (data && data->byIndex) {
        data->byIndex->erase(instanceIndex(object));
    }
    if (data && object->keyed) {
        data->byKey->erase(instanceKey(object));
    }
    if (object->dm->busy > 0) {
        object->dm->graveyard.push_back(std::move(owned));
    }
}

/* Template copies without children of their own live in the block of the
 * holder they are copied into. */
static bool slim(const object_t *prototype) {
    return prototype->kind == Kind::Template && childrenOf(prototype).empty();
}

static ObjectPtr copyChild(const object_t *prototype, datamodel_t *dm, void *slot) {
    if (!slim(prototype)) {
        return cloneFrom(prototype, dm, false);
    }
    TemplateCopy *copy = construct<TemplateCopy>(slot);
    copy->layout = Layout::TemplateCopy;
    copy->embedded = true;
    copy->dm = dm;
    copy->proto = prototype;
    copy->kind = Kind::Template;
    return ObjectPtr(copy);
}

/* A template copied with its children, which are copied too. */
static ObjectPtr copyTemplate(const object_t *prototype, datamodel_t *dm) {
    ObjectPtr copy = makeDefinition();
    copy->dm = dm;
    copy->proto = prototype;
    copy->kind = Kind::Template;
    for (object_t *child : childrenOf(prototype)) {
        adopt(asDefinition(copy.get())->children, copy.get(), cloneFrom(child, dm, false));
    }
    return copy;
}

ObjectPtr cloneFrom(const object_t *prototype, datamodel_t *dm, bool instance) {
    if (!instance && prototype->kind == Kind::Template) {
        /* Shares its definitions: no parameters of its own. */
        return copyTemplate(prototype, dm);
    }
    const Params sources = paramsOf(prototype);
    const ObjectList &children = childrenOf(prototype);
    size_t slims = 0;
    for (const object_t *child : children) {
        slims += slim(child) ? 1 : 0;
    }
    ObjectPtr copy = makeHolder(sources.size(), slims);
    Holder *holder = asHolder(copy.get());
    holder->dm = dm;
    holder->proto = prototype;
    holder->kind = instance ? Kind::Instance : prototype->kind;
    for (size_t i = 0; i < sources.size(); ++i) {
        const parameter_t &source = sources[i];
        parameter_t &p = trailingParams(holder)[i];
        p.setProto(&source);
        if (!variant_copy(p.value.get(), source.value.get())) {
            throw std::bad_alloc();
        }
    }
    auto *slot =
        static_cast<TemplateCopy *>(static_cast<void *>(trailingParams(holder) + sources.size()));
    for (object_t *child : children) {
        adopt(holder->children, holder, copyChild(child, dm, slot));
        slot += slim(child) ? 1 : 0;
    }
    return copy;
}

template <typename Handler, typename Get> static Handler alongObjects(const object_t *o, Get get) {
    for (; o; o = o->proto) {
        if (Handler h = get(o)) {
            return h;
        }
    }
    return nullptr;
}

template <typename Handler, typename Get>
static Handler alongParameters(const parameter_t *p, Get get) {
    for (; p; p = p->prototype()) {
        if (Handler h = get(p)) {
            return h;
        }
    }
    return nullptr;
}

object_instance_handler_t effectiveAddHandler(const object_t *templ) {
    return alongObjects<object_instance_handler_t>(
        templ, [](const object_t *o) { return o->handlers ? o->handlers->add : nullptr; });
}

object_instance_handler_t effectiveDelHandler(const object_t *templ) {
    return alongObjects<object_instance_handler_t>(
        templ, [](const object_t *o) { return o->handlers ? o->handlers->del : nullptr; });
}

object_write_handler_t effectiveWriteHandler(const object_t *object) {
    return alongObjects<object_write_handler_t>(
        object, [](const object_t *o) { return o->handlers ? o->handlers->write : nullptr; });
}

parameter_read_handler_t effectiveReadHandler(const parameter_t *parameter) {
    return alongParameters<parameter_read_handler_t>(parameter, [](const parameter_t *p) {
        return p->extra() ? p->extra()->readHandler : nullptr;
    });
}

parameter_write_handler_t effectiveWriteHandler(const parameter_t *parameter) {
    return alongParameters<parameter_write_handler_t>(parameter, [](const parameter_t *p) {
        return p->extra() ? p->extra()->writeHandler : nullptr;
    });
}

parameter_validator_t effectiveValidator(const parameter_t *parameter) {
    return alongParameters<parameter_validator_t>(parameter, [](const parameter_t *p) {
        return p->extra() ? p->extra()->validator : nullptr;
    });
}

std::string lowerLeadingCapitals(const std::string &name) {
    std::string result = name;
    for (char &c : result) {
        if (c < 'A' || c > 'Z') {
            break;
        }
        c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

} // namespace zeb_dm

namespace {

bool nullArgument(const char *what) {
    return fail(ZEB_ERROR_INVALID_ARGUMENT, "null %s", what);
}

bool parseIndex(const std::string &text, uint32_t *index) {
    if (text.empty() || text.size() > 10 || text[0] == '0') {
        return false;
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX) {
        return false;
    }
    *index = static_cast<uint32_t>(value);
    return true;
}

/* Below a template, a segment names an instance (by index, or by key with
 * OBJECT_FLAG_KEY) or else one of the template's own child objects. */
object_t *step(const object_t *current, const std::string &segment, uint32_t flags) {
    if (current->kind == Kind::Template) {
        if (flags & OBJECT_FLAG_KEY) {
            if (object_t *instance = instanceByKey(current, segment)) {
                return instance;
            }
        } else {
            uint32_t index = 0;
            if (parseIndex(segment, &index)) {
                return instanceByIndex(current, index);
            }
        }
    }
    return childByName(current, segment);
}

object_t *resolve(const object_t *start, const char *path, uint32_t flags) {
    const object_t *current = start;
    const std::string text = path;
    size_t pos = 0;
    while (current && pos < text.size()) {
        size_t dot = text.find('.', pos);
        std::string segment =
            text.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        current = segment.empty() ? nullptr : step(current, segment, flags);
        pos = dot == std::string::npos ? text.size() : dot + 1;
    }
    if (!current) {
        fail(ZEB_ERROR_NOT_FOUND, "no object '%s'", path);
    }
    return const_cast<object_t *>(current);
}

object_t *nextIn(const object_t *object) {
    return object->next;
}

} // namespace

/* ---- Data models ---- */

extern "C" {

datamodel_t *datamodel_create(void) {
    return guarded<datamodel_t *>(nullptr, [] { return new datamodel_t(); });
}

void datamodel_destroy(datamodel_t *dm) {
    delete dm;
}

bool datamodel_removeObject(object_t *object) {
    if (!object) {
        return nullArgument("object");
    }
    if (object->parent) {
        return fail(ZEB_ERROR_WRONG_OBJECT, "'%s' is not a top-level object", nameOf(object));
    }
    discard(object);
    return true;
}

object_t *datamodel_firstObject(const datamodel_t *dm) {
    if (!dm) {
        nullArgument("data model");
        return nullptr;
    }
    return dm->objects.empty() ? nullptr : dm->objects.front();
}

object_t *datamodel_getObject(const datamodel_t *dm, const char *path, uint32_t flags) {
    if (!dm || !path) {
        nullArgument(dm ? "path" : "data model");
        return nullptr;
    }
    return guarded<object_t *>(nullptr, [&]() -> object_t * {
        const char *dot = strchr(path, '.');
        std::string first = dot ? std::string(path, dot) : std::string(path);
        for (object_t *top : dm->objects) {
            if (nameOf(top) == first) {
                return dot ? resolve(top, dot + 1, flags) : top;
            }
        }
        fail(ZEB_ERROR_NOT_FOUND, "no object '%s'", path);
        return nullptr;
    });
}

/* ---- Objects ---- */

datamodel_t *object_datamodel(const object_t *object) {
    if (!object) {
        nullArgument("object");
        return nullptr;
    }
    return object->dm;
}

const char *object_name(const object_t *object, uint32_t flags) {
    if (!object) {
        nullArgument("object");
        return nullptr;
    }
    if (object->kind == Kind::Instance && (flags & OBJECT_FLAG_KEY)) {
        return instanceKey(object);
    }
    return nameOf(object);
}

uint32_t object_index(const object_t *object) {
    if (!object) {
        nullArgument("object");
        return 0;
    }
    return instanceIndex(object);
}

char *object_pathChar(const object_t *object, uint32_t flags) {
    if (!object) {
        nullArgument("object");
        return nullptr;
    }
    return guarded<char *>(nullptr, [&]() -> char * {
        std::string path;
        for (const object_t *o = object; o; o = o->parent) {
            std::string name = object_name(o, flags);
            path = o == object ? name : name + "." + path;
        }
        char *copy = strdup(path.c_str());
        if (!copy) {
            fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        }
        return copy;
    });
}

object_t *object_getObject(const object_t *parent, const char *path, uint32_t flags,
                           void *reserved) {
    if (!parent || !path || reserved) {
        fail(ZEB_ERROR_INVALID_ARGUMENT,
             "object_getObject needs an object, a path and no reserved argument");
        return nullptr;
    }
    return guarded<object_t *>(nullptr, [&] { return resolve(parent, path, flags); });
}

object_t *object_parent(const object_t *object) {
    if (!object) {
        nullArgument("object");
        return nullptr;
    }
    return object->parent;
}

object_t *object_firstChild(const object_t *object) {
    if (!object) {
        nullArgument("object");
        return nullptr;
    }
    const ObjectList &children = childrenOf(object);
    return children.empty() ? nullptr : children.front();
}

object_t *object_nextSibling(const object_t *object) {
    if (!object) {
        nullArgument("object");
        return nullptr;
    }
    if (object->kind == Kind::Instance) {
        fail(ZEB_ERROR_WRONG_OBJECT, "instances are iterated with object_nextInstance");
        return nullptr;
    }
    return nextIn(object);
}

object_t *object_firstInstance(const object_t *templ) {
    if (!templ || templ->kind != Kind::Template) {
        fail(templ ? ZEB_ERROR_WRONG_OBJECT : ZEB_ERROR_INVALID_ARGUMENT, "not a template");
        return nullptr;
    }
    const ObjectList &list = instancesOf(templ);
    return list.front();
}

object_t *object_nextInstance(const object_t *instance) {
    if (!instance || instance->kind != Kind::Instance) {
        fail(instance ? ZEB_ERROR_WRONG_OBJECT : ZEB_ERROR_INVALID_ARGUMENT, "not an instance");
        return nullptr;
    }
    return nextIn(instance);
}

uint32_t object_instanceCount(const object_t *templ) {
    if (!templ || templ->kind != Kind::Template) {
        fail(templ ? ZEB_ERROR_WRONG_OBJECT : ZEB_ERROR_INVALID_ARGUMENT, "not a template");
        return 0;
    }
    return static_cast<uint32_t>(instancesOf(templ).size());
}

bool object_hasInstances(const object_t *templ) {
    return object_instanceCount(templ) > 0;
}

bool object_isInstance(const object_t *object) {
    return object ? object->kind == Kind::Instance : nullArgument("object");
}

bool object_isTemplate(const object_t *object) {
    return object ? object->kind == Kind::Template : nullArgument("object");
}

object_state_t object_state(const object_t *object) {
    if (!object) {
        nullArgument("object");
        return object_state_invalid;
    }
    if (object->deleted) {
        /* Destroyed before its first commit: it never existed for anyone. */
        return object->created && object->destroying ? object_state_created : object_state_deleted;
    }
    if (walkCounts(object).committing > 0) {
        return object_state_validated;
    }
    if (object->created) {
        return object_state_created;
    }
    return object->pendingCount > 0 ? object_state_modified : object_state_ready;
}

bool object_setInstanceAddHandler(object_t *templ, object_instance_handler_t handler) {
    if (!templ || templ->kind != Kind::Template) {
        return fail(templ ? ZEB_ERROR_WRONG_OBJECT : ZEB_ERROR_INVALID_ARGUMENT, "not a template");
    }
    return guarded(false, [&] {
        ObjectHandlers handlers = templ->handlers ? *templ->handlers : ObjectHandlers();
        handlers.add = handler;
        setHandlers(templ, handlers);
        return true;
    });
}

bool object_setInstanceDelHandler(object_t *templ, object_instance_handler_t handler) {
    if (!templ || templ->kind != Kind::Template) {
        return fail(templ ? ZEB_ERROR_WRONG_OBJECT : ZEB_ERROR_INVALID_ARGUMENT, "not a template");
    }
    return guarded(false, [&] {
        ObjectHandlers handlers = templ->handlers ? *templ->handlers : ObjectHandlers();
        handlers.del = handler;
        setHandlers(templ, handlers);
        return true;
    });
}

bool object_setWriteHandler(object_t *object, object_write_handler_t handler) {
    if (!object) {
        return nullArgument("object");
    }
    return guarded(false, [&] {
        ObjectHandlers handlers = object->handlers ? *object->handlers : ObjectHandlers();
        handlers.write = handler;
        setHandlers(object, handlers);
        return true;
    });
}

bool object_setUserData(object_t *object, void *userData) {
    if (!object) {
        return nullArgument("object");
    }
    object->userData = userData;
    return true;
}

void *object_getUserData(const object_t *object) {
    if (!object) {
        nullArgument("object");
        return nullptr;
    }
    return object->userData;
}

parameter_t *object_getParameter(const object_t *object, const char *name) {
    if (!object || !name) {
        nullArgument(object ? "name" : "object");
        return nullptr;
    }
    if (const parameter_t *parameter = paramByName(object, name)) {
        return const_cast<parameter_t *>(parameter);
    }
    fail(ZEB_ERROR_NOT_FOUND, "'%s' has no parameter '%s'", nameOf(object), name);
    return nullptr;
}

parameter_t *object_firstParameter(const object_t *object) {
    if (!object) {
        nullArgument("object");
        return nullptr;
    }
    const Params list = paramsOf(object);
    return list.empty() ? nullptr : list.begin();
}

parameter_t *object_nextParameter(const parameter_t *parameter) {
    if (!parameter) {
        nullArgument("parameter");
        return nullptr;
    }
    const Params list = paramsOf(ownerOf(parameter));
    size_t next = parameter->def()->position + 1;
    return next < list.size() ? &list[next] : nullptr;
}

/* ---- Functions ---- */

/* The functions of the definition the object was copied from. */
static const std::vector<std::unique_ptr<function_t>> &functionsOf(const object_t *object) {
    static const std::vector<std::unique_ptr<function_t>> none;
    while (object->proto) {
        object = object->proto;
    }
    const ObjectDef *own = asDefinition(object)->own.get();
    return own ? own->functions : none;
}

function_t *object_getFunction(const object_t *object, const char *name) {
    if (!object || !name) {
        nullArgument(object ? "name" : "object");
        return nullptr;
    }
    for (const auto &f : functionsOf(object)) {
        if (f->name == name) {
            return f.get();
        }
    }
    fail(ZEB_ERROR_NOT_FOUND, "'%s' has no function '%s'", nameOf(object), name);
    return nullptr;
}

function_t *object_firstFunction(const object_t *object) {
    if (!object) {
        nullArgument("object");
        return nullptr;
    }
    const auto &list = functionsOf(object);
    return list.empty() ? nullptr : list.front().get();
}

function_t *object_nextFunction(const function_t *function) {
    if (!function) {
        nullArgument("function");
        return nullptr;
    }
    const auto &list = asDefinition(function->owner)->own->functions;
    return function->position + 1 < list.size() ? list[function->position + 1].get() : nullptr;
}

const char *function_name(const function_t *function) {
    if (!function) {
        nullArgument("function");
        return nullptr;
    }
    return function->name.c_str();
}

size_t function_argumentCount(const function_t *function) {
    if (!function) {
        nullArgument("function");
        return 0;
    }
    return function->arguments.size();
}

const char *function_argumentName(const function_t *function, size_t index) {
    if (!function) {
        nullArgument("function");
        return nullptr;
    }
    if (index >= function->arguments.size()) {
        fail(ZEB_ERROR_NOT_FOUND, "function '%s' has no argument %zu", function->name.c_str(),
             index);
        return nullptr;
    }
    return function->arguments[index].c_str();
}

function_handler_t function_handler(const function_t *function) {
    if (!function) {
        nullArgument("function");
        return nullptr;
    }
    return function->handler;
}

bool function_setHandler(function_t *function, function_handler_t handler) {
    if (!function) {
        return nullArgument("function");
    }
    function->handler = handler;
    return true;
}

} // extern "C"
