#include "contact_map.h"

#include <stdlib.h>
#include <string.h>

#include "variant_path_remap.h"

namespace {

/* A parameter's name with its leading run of ASCII capitals lowered; on the
 * stack unless the name is unusually long. text() is null when memory ran
 * out. */
class LoweredName {
  public:
    explicit LoweredName(const char *name) {
        if (name == nullptr)
            name = "";
        size_t size = strlen(name) + 1;
        text_ = size <= sizeof local_ ? local_ : static_cast<char *>(malloc(size));
        if (text_ == nullptr)
            return;
        memcpy(text_, name, size);
        for (char *c = text_; *c >= 'A' && *c <= 'Z'; ++c)
            *c = static_cast<char>(*c - 'A' + 'a');
    }
    ~LoweredName() {
        if (text_ != local_)
            free(text_);
    }
    LoweredName(const LoweredName &) = delete;
    LoweredName &operator=(const LoweredName &) = delete;

    const char *text() const { return text_; }

  private:
    char local_[48];
    char *text_;
};

/* Appends a new entry under `key` and gives its value to be filled in place;
 * null when memory ran out. */
variant_t *appendEmpty(variant_map_t *map, const char *key) {
    variant_t empty;
    variant_initialize(&empty, variant_type_unknown);
    variant_map_iterator_t *entry =
        key != nullptr ? variant_map_iterator_createMove(key, &empty) : nullptr;
    if (entry == nullptr || !variant_map_append(map, entry)) {
        variant_map_iterator_destroy(entry);
        return nullptr;
    }
    return variant_map_iterator_data(entry);
}

/* An entry's parameters as a client reads them. */
bool addEntryValues(object_t *entry, variant_map_t *map) {
    for (parameter_t *parameter = object_firstParameter(entry); parameter != nullptr;
         parameter = object_nextParameter(parameter)) {
        LoweredName key(parameter_name(parameter));
        variant_t *value = appendEmpty(map, key.text());
        if (value == nullptr || !parameter_readValue(parameter, value))
            return false;
    }
    return true;
}

/* A property instance's parameters as stored. */
bool addPropertyValues(object_t *property, variant_map_t *map) {
    for (parameter_t *parameter = object_firstParameter(property); parameter != nullptr;
         parameter = object_nextParameter(parameter)) {
        variant_t *value = appendEmpty(map, contactPropertyKey(parameter_name(parameter)));
        if (value == nullptr || !variant_copy(value, parameter_getValue(parameter)))
            return false;
    }
    return true;
}

bool addObject(object_t *object, variant_map_t *map, bool property);

/* The instances of a child template, each as an element map. */
bool addInstances(object_t *child, variant_list_t *list) {
    for (object_t *instance = object_firstInstance(child); instance != nullptr;
         instance = object_nextInstance(instance)) {
        variant_list_iterator_t *element = variant_list_iterator_createMapMove(nullptr);
        if (element == nullptr || !variant_list_append(list, element)) {
            variant_list_iterator_destroy(element);
            return false;
        }
        if (!addObject(instance, variant_da_map(variant_list_iterator_data(element)), true))
            return false;
    }
    return true;
}

/* The values of an object and its property objects lie apart on the heap.
 * Asked for before they are read, their cache misses overlap instead of
 * following one another, which is most of the time that a cold entry
 * takes. */
void prefetchValues(object_t *object) {
    for (parameter_t *parameter = object_firstParameter(object); parameter != nullptr;
         parameter = object_nextParameter(parameter)) {
        const variant_t *value = parameter_getValue(parameter);
        if (value != nullptr && value->type == variant_type_string)
            __builtin_prefetch(value->data.s);
    }
}

void prefetchFirstInstances(object_t *object) {
    for (object_t *child = object_firstChild(object); child != nullptr;
         child = object_nextSibling(child))
        __builtin_prefetch(object_firstInstance(child));
}

bool addObject(object_t *object, variant_map_t *map, bool property) {
    prefetchValues(object);
    prefetchFirstInstances(object);
    if (!variant_map_addChar(map, VARKEY_CONTACT_KEY, object_name(object, OBJECT_FLAG_KEY)))
        return false;
    if (!(property ? addPropertyValues(object, map) : addEntryValues(object, map)))
        return false;
    for (object_t *child = object_firstChild(object); child != nullptr;
         child = object_nextSibling(child)) {
        variant_t *list = appendEmpty(map, contactListKey(object_name(child, 0)));
        if (list == nullptr || !variant_initialize(list, variant_type_array) ||
            !addInstances(child, variant_da_list(list)))
            return false;
    }
    return true;
}

/* A contact map is some sixty small pieces, made to be sent and dropped:
 * pooled, they take a few shared blocks, and successive maps of one answer
 * share them too. */
class Pooled {
  public:
    Pooled() { variant_pool_begin(); }
    ~Pooled() { variant_pool_end(); }
    Pooled(const Pooled &) = delete;
    Pooled &operator=(const Pooled &) = delete;
};

} // namespace

bool contact_map_add(object_t *entry, variant_map_t *map) {
    Pooled pooled;
    return entry != nullptr && map != nullptr && addObject(entry, map, false);
}

void contact_map_append(variant_list_t *list, object_t *entry) {
    Pooled pooled;
    variant_list_iterator_t *element = variant_list_iterator_createMapMove(nullptr);
    if (element == nullptr)
        return;
    contact_map_add(entry, variant_da_map(variant_list_iterator_data(element)));
    if (!variant_list_append(list, element))
        variant_list_iterator_destroy(element);
}
