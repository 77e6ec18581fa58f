#include <cstring>
#include <functional>
#include <string_view>

#include "zeb_dm_internal.h"

using namespace zeb_dm;

namespace {

/* The text an index holds an instance under; null for no text, which is
 * never indexed and never found. */
const char *indexedText(const parameter_t *parameter) {
    const char *text = variant_da_char(currentValue(parameter));
    return text && *text ? text : nullptr;
}

uint32_t hashOf(const char *text) {
    return static_cast<uint32_t>(std::hash<std::string_view>()(text));
}

HashIndex *indexAt(const object_t *templ, size_t position) {
    const Instances *lookups = lookupsOf(templ);
    const ValueIndex *index = lookups ? lookups->valueIndex.get() : nullptr;
    if (!index) {
        return nullptr;
    }
    for (size_t i = 0; i < index->positions.size(); ++i) {
        if (index->positions[i] == position) {
            return const_cast<HashIndex *>(&index->byHash[i]);
        }
    }
    return nullptr;
}

HashIndex *indexOf(const parameter_t *parameter) {
    const object_t *owner = ownerOf(parameter);
    if (owner->kind != Kind::Instance || !lookupsOf(owner->parent) ||
        !lookupsOf(owner->parent)->valueIndex) {
        return nullptr;
    }
    return indexAt(owner->parent, parameter->def()->position);
}

void removeEntry(HashIndex *index, object_t *instance, const char *text) {
    if (text) {
        index->erase(hashOf(text), instance);
    }
}

void addEntry(HashIndex *index, object_t *instance, const char *text) {
    if (text && !index->contains(hashOf(text), instance)) {
        index->insert(hashOf(text), instance);
    }
}

bool holdsText(const object_t *instance, size_t position, const char *text) {
    const char *current = indexedText(&ownParams(instance)[position]);
    return current && strcmp(current, text) == 0;
}

/* The first instance after `after` (from the first when null), in instance
 * order, whose parameter at `position` holds `text`. */
object_t *findAfter(const object_t *templ, size_t position, const char *text,
                    const object_t *after) {
    if (!*text) {
        return nullptr;
    }
    if (const HashIndex *index = indexAt(templ, position)) {
        object_t *best = nullptr;
        index->forEach(hashOf(text), [&](object_t *o) {
            if ((!after || instanceIndex(o) > instanceIndex(after)) &&
                (!best || instanceIndex(o) < instanceIndex(best)) && holdsText(o, position, text)) {
                best = o;
            }
        });
        return best;
    }
    object_t *o = after ? after->next : instancesOf(templ).front();
    for (; o; o = o->next) {
        if (holdsText(o, position, text)) {
            return o;
        }
    }
    return nullptr;
}

/* The position of the parameter `name` in the template's definition. */
bool positionOf(const object_t *templ, const char *name, size_t *position) {
    const parameter_t *parameter = object_getParameter(templ, name);
    if (parameter) {
        *position = parameter->def()->position;
    }
    return parameter != nullptr;
}

bool checkTemplate(const object_t *templ) {
    if (!templ) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null template");
    }
    return templ->kind == Kind::Template ||
           fail(ZEB_ERROR_WRONG_OBJECT, "'%s' is not a template", nameOf(templ));
}

} // namespace

namespace zeb_dm {

IndexedChange::IndexedChange(parameter_t *parameter)
    : parameter_(parameter), index_(indexOf(parameter)) {
    if (index_) {
        object_t *owner = ownerOf(parameter_);
        const char *text = indexedText(parameter_);
        /* Room to put it back under its new text, made before anything
         * changes, where a failure can still be reported: the destructor
         * cannot fail. Taking it out leaves that room. */
        if (!text || !index_->contains(hashOf(text), owner)) {
            index_->reserve(index_->size() + 1);
        }
        removeEntry(index_, owner, text);
    }
}

IndexedChange::~IndexedChange() {
    if (index_ && !ownerOf(parameter_)->destroyed) {
        addEntry(index_, ownerOf(parameter_), indexedText(parameter_));
    }
}

/* Adds the instance under each of its indexed texts, or removes it. */
static void updateInstance(object_t *instance,
                           void (*update)(HashIndex *, object_t *, const char *)) {
    Instances *lookups = lookupsOf(instance->parent);
    ValueIndex *index = lookups ? lookups->valueIndex.get() : nullptr;
    for (size_t i = 0; index && i < index->positions.size(); ++i) {
        update(&index->byHash[i], instance, indexedText(&ownParams(instance)[index->positions[i]]));
    }
}

void indexInstance(object_t *instance) {
    updateInstance(instance, addEntry);
}

void unindexInstance(object_t *instance) {
    updateInstance(instance, removeEntry);
}

} // namespace zeb_dm

extern "C" {

bool object_indexParameter(object_t *templ, const char *name) {
    if (!checkTemplate(templ)) {
        return false;
    }
    size_t position = 0;
    if (!name || !positionOf(templ, name, &position)) {
        return name ? false : fail(ZEB_ERROR_INVALID_ARGUMENT, "null name");
    }
    if (paramsOf(templ)[position].def()->type != variant_type_string) {
        return fail(ZEB_ERROR_TYPE, "'%s' is not a text parameter", name);
    }
    if (indexAt(templ, position)) {
        return true;
    }
    return guarded(false, [&] {
        Instances &data = instancesData(templ);
        if (!data.valueIndex) {
            data.valueIndex = std::make_unique<ValueIndex>();
        }
        ValueIndex &index = *data.valueIndex;
        index.byHash.emplace_back();
        index.positions.push_back(position);
        HashIndex &byHash = index.byHash.back();
        byHash.reserve(instancesOf(templ).size());
        for (object_t *instance : instancesOf(templ)) {
            addEntry(&byHash, instance, indexedText(&ownParams(instance)[position]));
        }
        return true;
    });
}

object_t *object_findInstance(const object_t *templ, const char *name, const char *text) {
    size_t position = 0;
    if (!checkTemplate(templ) || !name || !text || !positionOf(templ, name, &position)) {
        if (templ && (!name || !text)) {
            fail(ZEB_ERROR_INVALID_ARGUMENT, "null name or text");
        }
        return nullptr;
    }
    return findAfter(templ, position, text, nullptr);
}

object_t *object_findNextInstance(const object_t *instance, const char *name, const char *text) {
    if (!instance || !name || !text) {
        fail(ZEB_ERROR_INVALID_ARGUMENT, "null instance, name or text");
        return nullptr;
    }
    if (instance->kind != Kind::Instance) {
        fail(ZEB_ERROR_WRONG_OBJECT, "not an instance");
        return nullptr;
    }
    size_t position = 0;
    if (!positionOf(instance->parent, name, &position)) {
        return nullptr;
    }
    return findAfter(instance->parent, position, text, instance);
}

} // extern "C"
