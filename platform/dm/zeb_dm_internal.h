/*
 * Internal structures and helpers shared by the files of libzeb_dm; not
 * exported.
 *
 * Object kinds: a definition tree holds singletons and templates. Below a
 * template, its child objects are prototypes (never set, never committed)
 * from which instances are copied. An instance, and every object copied
 * inside it, keeps a pointer to the object it was copied from (`proto`);
 * handlers and functions are looked up along that chain, so that a handler
 * installed on a template's parameter applies to every instance.
 *
 * Layout: every object begins with the same head (`object`: links, handlers,
 * user data, pending count, kind, layout, flags); what follows it depends on
 * its layout, and is reached through asDefinition, asHolder, asTemplateCopy
 * or, better, the accessors (childrenOf, instanceListOf, ownParams, nameOf,
 * instanceIndex, instanceKey):
 * - Definition: the objects of a definition (few). Children, the ObjectDef
 *   with its parameters and functions, the name (kept by the data model),
 *   and for a template its instance list. A template copied inside an
 *   instance whose definition has child objects is one too, without
 *   ObjectDef and name.
 * - Holder: an instance, or a singleton copied inside one. Children and
 *   instance fields (index, its text as name, creation count); one block
 *   holds it, its parameters right behind it, then the template copies
 *   made with it (they die with the block).
 * - TemplateCopy: the other templates copied inside an instance: name,
 *   parameters and functions are their definition's, found through
 *   `proto`; only the instance list. What that list rarely needs (lookups
 *   by index and key, value index, open list) hangs behind one pointer,
 *   made on first need and given back when the open list empties with
 *   nothing else in it.
 * A copied parameter finds its holder in front of the first parameter.
 * Objects are linked into the list that owns them through their own `prev`
 * and `next`. An instance key that is not the index as text is kept by the
 * data model (`keys`), flagged by `keyed`.
 *
 * Lifetime: objects destroyed while a commit, rollback or destruction is
 * running are detached at once but freed only when the outermost of those
 * calls returns (the data model's graveyard), so that a walk holding a
 * pointer to them sees `destroyed` instead of freed memory.
 */
#ifndef ZEB_DM_INTERNAL_H
#define ZEB_DM_INTERNAL_H

#include <cstdarg>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "zeb/dm.h"
#include "zeb_dm_table.h"
#include "zeb_no_throw.hpp"

#define ZEB_DM_INTERNAL __attribute__((visibility("hidden")))

namespace zeb_dm {

/* A variant_t that cleans itself up. */
class Variant {
  public:
    Variant() { variant_initialize(&v, variant_type_unknown); }
    ~Variant() { variant_cleanup(&v); }
    Variant(Variant &&other) noexcept : Variant() { variant_move(&v, &other.v); }
    Variant &operator=(Variant &&other) noexcept {
        variant_cleanup(&v);
        variant_move(&v, &other.v);
        return *this;
    }
    Variant(const Variant &) = delete;
    Variant &operator=(const Variant &) = delete;

    variant_t *get() { return &v; }
    const variant_t *get() const { return &v; }

  private:
    variant_t v;
};

/* A template's instances by the text of some of their parameters (pending
 * value, else committed), keyed by 32 bits of the hash of the text: an entry
 * is checked against the instance's current text when it is looked up. */
using HashIndex = HashedTable<object_t>;
struct ValueIndex {
    std::vector<size_t> positions; /* of the indexed parameters */
    std::vector<HashIndex> byHash; /* one per position */
};

/* An instance's index, the key of its template's table by index. */
struct InstanceIndex {
    uint32_t operator()(const object_t *instance) const;
};
using IndexTable = KeyedTable<object_t, InstanceIndex>;

enum class Kind : uint8_t { Singleton, Template, Instance };

/* Releases an object made by makeObject, with its parameters. */
struct ObjectDeleter {
    void operator()(object_t *object) const;
};
using ObjectPtr = std::unique_ptr<object_t, ObjectDeleter>;

/* Objects linked through their own `prev` and `next`, owned by the list. */
class ObjectList {
  public:
    class iterator {
      public:
        explicit iterator(object_t *object) : object_(object) {}
        object_t *operator*() const { return object_; }
        iterator &operator++();
        bool operator==(const iterator &other) const { return object_ == other.object_; }
        bool operator!=(const iterator &other) const { return object_ != other.object_; }

      private:
        object_t *object_;
    };

    ObjectList() = default;
    ~ObjectList();
    ObjectList(const ObjectList &) = delete;
    ObjectList &operator=(const ObjectList &) = delete;

    iterator begin() const { return iterator(first_); }
    iterator end() const { return iterator(nullptr); }
    object_t *front() const { return first_; }
    object_t *back() const { return last_; }
    bool empty() const { return first_ == nullptr; }
    size_t size() const { return count_; }
    /* Links `object` before `before` (at the end when null) and owns it. */
    object_t *insert(object_t *before, ObjectPtr object);
    /* Unlinks `object` and hands it back. Its own links stay as they were, so
     * that a walk standing on it can still step to what followed it. */
    ObjectPtr remove(object_t *object);

  private:
    object_t *first_ = nullptr;
    object_t *last_ = nullptr;
    uint32_t count_ = 0;
};

/* What a template's instances rarely need, made on first need. */
struct Instances {
    /* By index once there are more than a few; the list is searched below
     * that. */
    std::unique_ptr<IndexTable> byIndex;
    /* Keys given at creation that are not the index as text. */
    std::unique_ptr<std::unordered_map<std::string, object_t *>> byKey;
    std::unique_ptr<ValueIndex> valueIndex; /* when asked for */
    /* Those a commit or rollback has to visit (dirty, or passed through by a
     * walk), by index; only while there are any. */
    std::unique_ptr<std::map<uint32_t, object_t *>> open;
};

/* A template's instances by increasing index, held in the template. The
 * index field sits in the list's tail padding. */
struct InstanceList : ObjectList {
    uint32_t lastIndex = 0;          /* the largest index given so far; 0 for none */
    std::unique_ptr<Instances> more; /* lookups, made on first need */
};
static_assert(sizeof(InstanceList) == 3 * sizeof(void *) + 8, "the index fills the padding");

/* An object's own handlers; objects with the same ones share one copy. */
struct ObjectHandlers {
    object_write_handler_t write = nullptr;
    object_instance_handler_t add = nullptr;
    object_instance_handler_t del = nullptr;
    bool operator==(const ObjectHandlers &o) const {
        return write == o.write && add == o.add && del == o.del;
    }
};

/* What a definition's parameter shares with all its copies. */
struct ParamDef {
    std::string name;
    variant_type_t type = variant_type_unknown;
    uint32_t attributes = 0;
    size_t position = 0;
    object_t *owner = nullptr; /* the definition holding it */
};

/* What is set on one parameter handle only; most parameters have none. */
struct ParamExtra {
    parameter_read_handler_t readHandler = nullptr;
    parameter_write_handler_t writeHandler = nullptr;
    parameter_validator_t validator = nullptr;
    void *userData = nullptr;
};

} // namespace zeb_dm

/* Its flags ride in the low bits of its two pointers, which point to
 * structures aligned to at least 4 bytes on every target. */
struct parameter {
    parameter() = default;
    ~parameter() { delete extra(); }
    parameter(parameter &&other) noexcept : value(std::move(other.value)) {
        std::swap(link_, other.link_);
        std::swap(extra_, other.extra_);
    }
    parameter &operator=(parameter &&) = delete;

    zeb_dm::Variant value; /* committed */

    /* A definition's parameter holds what it shares with its copies; a copy
     * holds the parameter it was copied from. */
    bool copy() const { return (link_ & kCopy) != 0; }
    const zeb_dm::ParamDef *shared() const { return fromBits<const zeb_dm::ParamDef>(link_); }
    const parameter_t *proto() const { return fromBits<const parameter_t>(link_); }
    void setShared(const zeb_dm::ParamDef *def) { link_ = reinterpret_cast<uintptr_t>(def); }
    void setProto(const parameter_t *from) { link_ = reinterpret_cast<uintptr_t>(from) | kCopy; }

    /* What was set on this handle only, owned; null for most. */
    zeb_dm::ParamExtra *extra() const { return fromBits<zeb_dm::ParamExtra>(extra_); }
    void setExtra(zeb_dm::ParamExtra *extra) {
        delete this->extra();
        extra_ = reinterpret_cast<uintptr_t>(extra) | (extra_ & kFlags);
    }
    /* It has a value set and not committed. */
    bool hasPending() const { return (extra_ & kPending) != 0; }
    void setHasPending(bool on) { extra_ = on ? extra_ | kPending : extra_ & ~kPending; }
    /* That value is in `value`: its owner has never been committed, so its
     * committed value is still the definition's default (proto()->value).
     * Otherwise the data model holds it, apart. */
    bool inPlace() const { return (extra_ & kInPlace) != 0; }
    void setInPlace(bool on) { extra_ = on ? extra_ | kInPlace : extra_ & ~kInPlace; }

    /* Name, type, attributes, position: the definition's. */
    const zeb_dm::ParamDef *def() const {
        const parameter_t *p = this;
        while (p->copy()) {
            p = p->proto();
        }
        return p->shared();
    }
    /* The parameter it was copied from; null for a definition's. */
    const parameter_t *prototype() const { return copy() ? proto() : nullptr; }

  private:
    static constexpr uintptr_t kCopy = 1;
    static constexpr uintptr_t kPending = 1;
    static constexpr uintptr_t kInPlace = 2;
    static constexpr uintptr_t kFlags = 3;
    template <typename T> static T *fromBits(uintptr_t bits) {
        static_assert(alignof(T) >= 4, "two low bits of the pointer hold flags");
        return reinterpret_cast<T *>(bits & ~kFlags);
    }

    uintptr_t link_ = 0;
    uintptr_t extra_ = 0;
};

namespace zeb_dm {

/* What only the objects of a definition have. */
struct ObjectDef {
    std::vector<std::unique_ptr<function_t>> functions;
    std::unordered_map<std::string, size_t> parameterPositions; /* by name */
    std::vector<parameter_t> parameters; /* never resized once filled: handles */
};

/* How many commits are applying an object's values, and how many commit or
 * rollback walks are passing through it. */
struct WalkCounts {
    uint16_t committing = 0;
    uint16_t walking = 0;
};

} // namespace zeb_dm

struct function {
    std::string name;
    std::vector<std::string> arguments;
    function_handler_t handler = nullptr;
    object_t *owner = nullptr;
    size_t position = 0;
};

namespace zeb_dm {

/* Which structure an object is: the head below and what follows it. */
enum class Layout : uint8_t {
    Definition,   /* Definition: objects of a definition, and templates
                     copied with children */
    Holder,       /* Holder: instances and singletons copied inside one */
    TemplateCopy, /* TemplateCopy: the other templates copied inside one */
};

} // namespace zeb_dm

/* What every object has; its layout tells what follows it in its block.
 * Aligned for the parameters that follow a holder. */
struct alignas(alignof(parameter_t)) object {
    datamodel_t *dm = nullptr;
    object_t *parent = nullptr;
    const object_t *proto = nullptr;
    object_t *prev = nullptr; /* in the list that owns it (homeOf) */
    object_t *next = nullptr;
    const zeb_dm::ObjectHandlers *handlers = nullptr; /* shared, set on this object */
    void *userData = nullptr;
    uint32_t pendingCount = 0; /* parameters holding a pending value */
    zeb_dm::Kind kind = zeb_dm::Kind::Singleton;
    zeb_dm::Layout layout = zeb_dm::Layout::Definition;
    bool open : 1;       /* instances: in the template's open list */
    bool dirty : 1;      /* it or an object below it may hold a pending change */
    bool created : 1;    /* instance not yet committed */
    bool deleted : 1;    /* in a subtree marked for deletion */
    bool deleteRoot : 1; /* the instance that object_delete marked */
    bool destroying : 1; /* delete handlers of its subtree are running */
    bool destroyed : 1;  /* detached; freed when the data model is idle */
    bool inWalk : 1;     /* it has WalkCounts in its data model */
    bool keyed : 1;      /* instances: the data model holds a key that is not the index */
    bool embedded : 1;   /* lives in the block of the holder above it, and dies with it */

    object()
        : open(false), dirty(false), created(false), deleted(false), deleteRoot(false),
          destroying(false), destroyed(false), inWalk(false), keyed(false), embedded(false) {}
};
/* Seven pointers, then 8 bytes of count, kind, layout and flags. */
static_assert(sizeof(object_t) == (7 * sizeof(void *) + 8 + alignof(parameter_t) - 1) /
                                      alignof(parameter_t) * alignof(parameter_t),
              "the flags fill the head");

namespace zeb_dm {

/* The objects of a definition: there are few of them. A template copied
 * inside an instance whose definition has child objects is one too, without
 * `own` and `name`. */
struct Definition : object_t {
    ObjectList children;
    std::unique_ptr<ObjectDef> own;
    const std::string *name = nullptr; /* the data model's copy */
    InstanceList instances;            /* templates */
};

/* An instance, or a singleton copied inside one: its parameters follow it,
 * then the templates copied with it that need no children
 * (TemplateCopy). */
struct Holder : object_t {
    ObjectList children; /* singletons and templates */
    uint32_t paramCount = 0;
    uint32_t creation = 0;   /* instances: the data model's creation count then */
    uint32_t index = 0;      /* instances */
    char indexText[11] = ""; /* instances: the index as text, their name */
};

/* A template copied inside an instance: its name, parameters and functions
 * are its definition's, it has no child objects. */
struct TemplateCopy : object_t {
    InstanceList instances;
};

static_assert(sizeof(Holder) % alignof(parameter_t) == 0, "parameters follow a holder");
static_assert(sizeof(parameter_t) % alignof(TemplateCopy) == 0 &&
                  sizeof(Holder) % alignof(TemplateCopy) == 0,
              "template copies follow the parameters in a holder's block");

} // namespace zeb_dm

struct datamodel {
    /* Instance keys that are not the index as text (object->keyed); first,
     * so that it outlives the objects. */
    std::unordered_map<const object_t *, std::string> keys;
    zeb_dm::ObjectList objects;
    std::vector<zeb_dm::ObjectPtr> graveyard;
    std::vector<std::unique_ptr<zeb_dm::ObjectHandlers>> handlerSets;
    std::deque<zeb_dm::ParamDef> paramDefs;
    std::deque<std::string> names; /* of the definitions' objects */
    /* Values set but not committed, and the candidate or applied value a
     * validator or write handler is looking at: only while they exist. */
    std::unordered_map<const parameter_t *, zeb_dm::Variant> pending;
    std::unordered_map<const parameter_t *, const variant_t *> modified;
    /* Only for the objects a walk is on, and only while it is. */
    std::unordered_map<const object_t *, zeb_dm::WalkCounts> walks;
    int busy = 0;
    uint32_t creations = 0; /* instances created so far, wrapping around */
};

namespace zeb_dm {

/* ---- Errors (zeb_dm_error.cpp) ---- */

/* Sets zeb_error and the message; always returns false. */
ZEB_DM_INTERNAL bool fail(uint32_t code, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
ZEB_DM_INTERNAL bool failV(uint32_t code, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
/* Adds text to the message of the last failure. */
ZEB_DM_INTERNAL void appendToMessage(const std::string &text);

/* Runs `body`, turning a C++ exception into a failure that returns `onError`:
 * out of memory, or an invalid argument with the exception's text. */
template <typename R, typename F> R guarded(R onError, F &&body) {
    return zeb_nothrow::run(
        zeb_nothrow::Mapping::ByKind, onError,
        [](uint32_t code, const char *text) { fail(code, "%s", text); }, std::forward<F>(body));
}

/* ---- Tree (zeb_dm_tree.cpp) ---- */

/* The parameters of one object, in definition order. */
class Params {
  public:
    Params(parameter_t *data, size_t count) : data_(data), count_(count) {}
    parameter_t *begin() const { return data_; }
    parameter_t *end() const { return data_ + count_; }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    parameter_t &operator[](size_t i) const { return data_[i]; }

  private:
    parameter_t *data_;
    size_t count_;
};

/* The structure behind an object's head, as its layout says. */
inline Definition *asDefinition(const object_t *object) {
    return static_cast<Definition *>(const_cast<object_t *>(object));
}
inline Holder *asHolder(const object_t *object) {
    return static_cast<Holder *>(const_cast<object_t *>(object));
}
inline TemplateCopy *asTemplateCopy(const object_t *object) {
    return static_cast<TemplateCopy *>(const_cast<object_t *>(object));
}

/* A new object of a definition; its parameters go in its ObjectDef. */
ZEB_DM_INTERNAL ObjectPtr makeDefinition();

/* The parameters held behind a holder. */
inline parameter_t *trailingParams(const Holder *holder) {
    return static_cast<parameter_t *>(static_cast<void *>(const_cast<Holder *>(holder) + 1));
}
/* The object holding the parameter: a definition's is recorded with it, a
 * copy lies behind its holder at its position. */
inline object_t *ownerOf(const parameter_t *parameter) {
    const ParamDef *def = parameter->def();
    if (!parameter->copy()) {
        return def->owner;
    }
    const parameter_t *first = parameter - def->position;
    return static_cast<Holder *>(static_cast<void *>(const_cast<parameter_t *>(first))) - 1;
}
/* The parameters the object holds itself: none for a template, whose
 * definitions paramsOf finds. */
inline Params ownParams(const object_t *object) {
    if (object->layout == Layout::Holder) {
        const Holder *holder = asHolder(object);
        return Params(trailingParams(holder), holder->paramCount);
    }
    if (object->layout == Layout::Definition && asDefinition(object)->own) {
        std::vector<parameter_t> &list = asDefinition(object)->own->parameters;
        return Params(list.data(), list.size());
    }
    return Params(nullptr, 0);
}
/* A definition's name, shared by its copies; an instance's index as text. */
inline const char *nameOf(const object_t *object) {
    if (object->kind == Kind::Instance) {
        return asHolder(object)->indexText;
    }
    while (object->proto) {
        object = object->proto;
    }
    return asDefinition(object)->name->c_str();
}
/* An instance's index; 0 for other objects. */
inline uint32_t instanceIndex(const object_t *object) {
    return object->kind == Kind::Instance ? asHolder(object)->index : 0;
}
inline uint32_t InstanceIndex::operator()(const object_t *instance) const {
    return instanceIndex(instance);
}
/* A template's instances and their bookkeeping; null for other objects. */
inline InstanceList *instanceListOf(const object_t *object) {
    if (object->kind != Kind::Template) {
        return nullptr;
    }
    return object->layout == Layout::TemplateCopy ? &asTemplateCopy(object)->instances
                                                  : &asDefinition(object)->instances;
}
/* The object's child objects: none for a template copy. */
ZEB_DM_INTERNAL const ObjectList &childrenOf(const object_t *object);

/* Keeps destroyed objects alive until the outermost scope ends. */
class BusyScope {
  public:
    explicit BusyScope(datamodel_t *dm) : dm_(dm) { ++dm_->busy; }
    ~BusyScope();
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;

  private:
    datamodel_t *dm_;
};

/* True for a template and for objects below a template but not below one of
 * its instances: definitions that cannot hold values. */
ZEB_DM_INTERNAL bool isPrototype(const object_t *object);
/* False for prototypes, except that a template which can hold instances
 * (not itself inside a template definition) counts as holding data. */
ZEB_DM_INTERNAL bool holdsData(const object_t *object);
/* True when an ancestor (not the object itself) is marked deleted. */
ZEB_DM_INTERNAL bool ancestorDeleted(const object_t *object);

ZEB_DM_INTERNAL object_t *childByName(const object_t *object, const std::string &name);
ZEB_DM_INTERNAL object_t *instanceByIndex(const object_t *templ, uint32_t index);
ZEB_DM_INTERNAL object_t *instanceByKey(const object_t *templ, const std::string &key);
/* An object's parameters. Templates hold only definitions, so a template
 * inside an instance shares those of the template it was copied from. */
ZEB_DM_INTERNAL Params paramsOf(const object_t *object);
/* The object's parameter of that name; null when its definition has none. */
ZEB_DM_INTERNAL const parameter_t *paramByName(const object_t *object, const std::string &name);

/* An instance's key: the one given at creation, else its index as text. */
ZEB_DM_INTERNAL const char *instanceKey(const object_t *instance);
/* The instances of a template (empty for other objects), and the lookups
 * they rarely need (made when first needed), or null while there are none. */
ZEB_DM_INTERNAL const ObjectList &instancesOf(const object_t *templ);
ZEB_DM_INTERNAL Instances &instancesData(object_t *templ);
inline Instances *lookupsOf(const object_t *templ) {
    const InstanceList *list = instanceListOf(templ);
    return list ? list->more.get() : nullptr;
}
/* Registers a new instance in its template's lookups, after it was linked. */
ZEB_DM_INTERNAL void registerInstance(object_t *instance);
/* The object's handlers with one of them changed, shared through the data model. */
ZEB_DM_INTERNAL void setHandlers(object_t *object, const ObjectHandlers &handlers);

/* The list that owns the object: its template's instances, its parent's
 * children, or the data model's top-level objects. */
ZEB_DM_INTERNAL ObjectList &homeOf(object_t *object);
/* Appends `child` to `list`, owned by it, under `parent`. */
ZEB_DM_INTERNAL object_t *adopt(ObjectList &list, object_t *parent, ObjectPtr child);
/* Detaches the object from its list and frees it now, or parks it in the
 * graveyard while the data model is busy. No handler runs. */
ZEB_DM_INTERNAL void discard(object_t *object);
/* New instance content: copies of the prototype's parameters (values and
 * attributes) and child objects, linked to it through `proto`. */
ZEB_DM_INTERNAL ObjectPtr cloneFrom(const object_t *prototype, datamodel_t *dm, bool instance);

/* Handlers looked up along the proto chain. */
ZEB_DM_INTERNAL object_instance_handler_t effectiveAddHandler(const object_t *templ);
ZEB_DM_INTERNAL object_instance_handler_t effectiveDelHandler(const object_t *templ);
ZEB_DM_INTERNAL object_write_handler_t effectiveWriteHandler(const object_t *object);
ZEB_DM_INTERNAL parameter_read_handler_t effectiveReadHandler(const parameter_t *parameter);
ZEB_DM_INTERNAL parameter_write_handler_t effectiveWriteHandler(const parameter_t *parameter);
ZEB_DM_INTERNAL parameter_validator_t effectiveValidator(const parameter_t *parameter);

ZEB_DM_INTERNAL std::string lowerLeadingCapitals(const std::string &name);

/* ---- Parameters (zeb_dm_parameter.cpp) ---- */

ZEB_DM_INTERNAL const variant_t *currentValue(const parameter_t *parameter);
/* Pending values live in the data model while they exist; these keep the
 * owner's pending count right. */
ZEB_DM_INTERNAL void setPending(parameter_t *parameter, Variant &&value);
/* The committed value (the definition's default for one never committed). */
ZEB_DM_INTERNAL const variant_t *committedValue(const parameter_t *parameter);
ZEB_DM_INTERNAL Variant takePending(parameter_t *parameter);
ZEB_DM_INTERNAL void dropPending(parameter_t *parameter);
/* Sets a value already of the parameter's type on a parameter that can hold
 * one, as parameter_setValue does after its checks and conversion. */
ZEB_DM_INTERNAL bool setCandidate(parameter_t *parameter, Variant &&candidate);
/* The handle's own handlers and user data, made when first set. */
ZEB_DM_INTERNAL ParamExtra &extraOf(parameter_t *parameter);

/* Shows `value` as the parameter's modified value while in scope: the
 * candidate in its validator, the value being applied in its write handler. */
class ShownValue {
  public:
    ShownValue(parameter_t *parameter, const variant_t *value);
    ~ShownValue();
    ShownValue(const ShownValue &) = delete;
    ShownValue &operator=(const ShownValue &) = delete;

  private:
    parameter_t *parameter_;
    std::unordered_map<const parameter_t *, const variant_t *> &map_;
    const variant_t *saved_ = nullptr;
};
/* The value a client reads, into `out` (read handler, else current value). */
ZEB_DM_INTERNAL bool clientValue(parameter_t *parameter, variant_t *out);

/* ---- Value index (zeb_dm_index.cpp) ---- */

/* Brackets a change of a parameter's current value: takes the instance out
 * of its template's value index for that parameter, and puts it back under
 * the new text when it goes out of scope. Nothing for unindexed ones. */
class IndexedChange {
  public:
    explicit IndexedChange(parameter_t *parameter);
    ~IndexedChange();
    IndexedChange(const IndexedChange &) = delete;
    IndexedChange &operator=(const IndexedChange &) = delete;

  private:
    parameter_t *parameter_;
    HashIndex *index_;
};

/* Adds or removes a whole instance in its template's value index. */
ZEB_DM_INTERNAL void indexInstance(object_t *instance);
ZEB_DM_INTERNAL void unindexInstance(object_t *instance);

/* ---- Transactions (zeb_dm_transaction.cpp) ---- */

/* Runs the delete handlers of the instance's subtree, then discards it. */
ZEB_DM_INTERNAL void destroyInstance(object_t *instance);
/* Flags the object and its ancestors as holding a pending change, so that
 * commits and rollbacks from any of them visit it; to be called at every
 * change that a commit or rollback has to act on. */
ZEB_DM_INTERNAL void markDirty(object_t *object);
/* Sets the object's own dirty flag, keeping its template's list of open
 * instances right. */
ZEB_DM_INTERNAL void setDirty(object_t *object, bool dirty);
/* Puts an instance in its template's open list, or takes it out, as its
 * flags now say; a destroyed instance is taken out. */
ZEB_DM_INTERNAL void syncOpen(object_t *object);

/* The object's walk counters; zero when no walk is on it. */
inline WalkCounts walkCounts(const object_t *object) {
    return object->inWalk ? object->dm->walks.at(object) : WalkCounts{};
}
/* Adds one to a counter (it may throw out of memory), or takes one away
 * (it never throws); the object's entry lasts while a counter is non-zero. */
ZEB_DM_INTERNAL void countWalk(object_t *object, uint16_t WalkCounts::*counter, bool up);

inline ObjectList::iterator &ObjectList::iterator::operator++() {
    object_ = object_->next;
    return *this;
}

} // namespace zeb_dm

#endif
