#include <cstdlib>
#include <cstring>

#include "zeb_dm_internal.h"
#include "zeb_dm_json.h"

using namespace zeb_dm;

namespace zeb_dm {

const variant_t *currentValue(const parameter_t *parameter) {
    if (parameter->hasPending() && !parameter->inPlace()) {
        return ownerOf(parameter)->dm->pending.at(parameter).get();
    }
    return parameter->value.get();
}

const variant_t *committedValue(const parameter_t *parameter) {
    return parameter->inPlace() ? parameter->proto()->value.get() : parameter->value.get();
}

/* A value set on an instance never committed goes in place: nothing but a
 * commit or its destruction can follow, so nothing needs the default apart. */
static bool setsInPlace(const parameter_t *parameter) {
    return parameter->inPlace() ||
           (!parameter->hasPending() && ownerOf(parameter)->created && parameter->copy());
}

void setPending(parameter_t *parameter, Variant &&value) {
    if (setsInPlace(parameter)) {
        parameter->value = std::move(value);
        parameter->setInPlace(true);
    } else {
        ownerOf(parameter)->dm->pending[parameter] = std::move(value);
    }
    if (!parameter->hasPending()) {
        parameter->setHasPending(true);
        ownerOf(parameter)->pendingCount++;
    }
}

Variant takePending(parameter_t *parameter) {
    Variant taken;
    if (!parameter->hasPending()) {
        return taken;
    }
    if (parameter->inPlace()) {
        taken = std::move(parameter->value);
        if (!variant_copy(parameter->value.get(), parameter->proto()->value.get())) {
            throw std::bad_alloc();
        }
        parameter->setInPlace(false);
    } else {
        auto &pending = ownerOf(parameter)->dm->pending;
        auto it = pending.find(parameter);
        taken = std::move(it->second);
        pending.erase(it);
    }
    parameter->setHasPending(false);
    ownerOf(parameter)->pendingCount--;
    return taken;
}

void dropPending(parameter_t *parameter) {
    takePending(parameter);
}

ParamExtra &extraOf(parameter_t *parameter) {
    if (!parameter->extra()) {
        parameter->setExtra(new ParamExtra());
    }
    return *parameter->extra();
}

ShownValue::ShownValue(parameter_t *parameter, const variant_t *value)
    : parameter_(parameter), map_(ownerOf(parameter)->dm->modified) {
    auto it = map_.find(parameter);
    if (it != map_.end()) {
        saved_ = it->second;
        it->second = value;
    } else {
        map_.emplace(parameter, value);
    }
}

ShownValue::~ShownValue() {
    if (saved_) {
        map_[parameter_] = saved_;
    } else {
        map_.erase(parameter_);
    }
}

bool clientValue(parameter_t *parameter, variant_t *out) {
    if (parameter_read_handler_t handler = effectiveReadHandler(parameter)) {
        Variant answer;
        if (handler(parameter, answer.get())) {
            return variant_copy(out, answer.get()) || fail(ZEB_ERROR_NO_MEMORY, "out of memory");
        }
    }
    return variant_copy(out, currentValue(parameter)) || fail(ZEB_ERROR_NO_MEMORY, "out of memory");
}

} // namespace zeb_dm

namespace {

bool nullParameter() {
    return fail(ZEB_ERROR_INVALID_ARGUMENT, "null parameter");
}

bool refuseType(const parameter_t *parameter, const variant_t *value) {
    char *text = variant_char(value);
    fail(ZEB_ERROR_TYPE, "'%s' for parameter '%s' cannot be converted to its type",
         text ? text : "(no text form)", parameter->def()->name.c_str());
    free(text);
    return false;
}

bool runValidator(parameter_t *parameter, const variant_t *candidate) {
    parameter_validator_t validator = effectiveValidator(parameter);
    if (!validator) {
        return true;
    }
    bool accepted = false;
    {
        ShownValue shown(parameter, candidate);
        accepted = validator(parameter);
    }
    return accepted || fail(ZEB_ERROR_REFUSED, "the validator of '%s' refused the value",
                            parameter->def()->name.c_str());
}

bool setValue(parameter_t *parameter, const variant_t *value) {
    object_t *owner = ownerOf(parameter);
    if (isPrototype(owner)) {
        return fail(ZEB_ERROR_WRONG_OBJECT,
                    "'%s' belongs to a template definition and holds no value",
                    parameter->def()->name.c_str());
    }
    if (owner->deleted) {
        return fail(ZEB_ERROR_STATE, "'%s' belongs to an object being deleted",
                    parameter->def()->name.c_str());
    }
    Variant candidate;
    if (!variant_convert(candidate.get(), value, parameter->def()->type)) {
        return refuseType(parameter, value);
    }
    // Only what a saved file can give back is kept.
    if (const string_t *text = variant_da_string(candidate.get())) {
        const char *buffer = string_buffer(text);
        if (!storableText(buffer ? buffer : "", buffer ? strlen(buffer) : 0,
                          "value of '" + parameter->def()->name + "'")) {
            return false;
        }
    }
    return setCandidate(parameter, std::move(candidate));
}

} // namespace

namespace zeb_dm {

bool setCandidate(parameter_t *parameter, Variant &&candidate) {
    object_t *owner = ownerOf(parameter);
    if (variant_equals(candidate.get(), currentValue(parameter))) {
        return true;
    }
    BusyScope busy(owner->dm);
    if (!runValidator(parameter, candidate.get())) {
        return false;
    }
    if (owner->deleted || owner->destroyed) {
        return fail(ZEB_ERROR_STATE, "'%s' was deleted by its validator",
                    parameter->def()->name.c_str());
    }
    IndexedChange change(parameter);
    if (variant_equals(candidate.get(), committedValue(parameter))) {
        dropPending(parameter);
        return true;
    }
    setPending(parameter, std::move(candidate));
    markDirty(owner);
    return true;
}

} // namespace zeb_dm

extern "C" {

const char *parameter_name(const parameter_t *parameter) {
    if (!parameter) {
        nullParameter();
        return nullptr;
    }
    return parameter->def()->name.c_str();
}

variant_type_t parameter_type(const parameter_t *parameter) {
    if (!parameter) {
        nullParameter();
        return variant_type_unknown;
    }
    return parameter->def()->type;
}

uint32_t parameter_attributes(const parameter_t *parameter) {
    if (!parameter) {
        nullParameter();
        return 0;
    }
    return parameter->def()->attributes;
}

object_t *parameter_owner(const parameter_t *parameter) {
    if (!parameter) {
        nullParameter();
        return nullptr;
    }
    return ownerOf(parameter);
}

const variant_t *parameter_getValue(const parameter_t *parameter) {
    if (!parameter) {
        nullParameter();
        return nullptr;
    }
    return currentValue(parameter);
}

const variant_t *parameter_getModifiedValue(const parameter_t *parameter) {
    if (!parameter) {
        nullParameter();
        return nullptr;
    }
    const auto &modified = ownerOf(parameter)->dm->modified;
    auto it = modified.find(parameter);
    if (it != modified.end()) {
        return it->second;
    }
    return parameter->hasPending() ? currentValue(parameter) : nullptr;
}

bool parameter_readValue(parameter_t *parameter, variant_t *value) {
    if (!parameter || !value) {
        return parameter ? fail(ZEB_ERROR_INVALID_ARGUMENT, "null value") : nullParameter();
    }
    return clientValue(parameter, value);
}

bool parameter_setValue(parameter_t *parameter, const variant_t *value) {
    if (!parameter || !value) {
        return parameter ? fail(ZEB_ERROR_INVALID_ARGUMENT, "null value") : nullParameter();
    }
    return guarded(false, [&] { return setValue(parameter, value); });
}

bool parameter_setFromChar(parameter_t *parameter, const char *value) {
    if (!parameter || !value) {
        return parameter ? fail(ZEB_ERROR_INVALID_ARGUMENT, "null value") : nullParameter();
    }
    Variant text;
    if (!variant_setChar(text.get(), value)) {
        return fail(ZEB_ERROR_NO_MEMORY, "out of memory");
    }
    return parameter_setValue(parameter, text.get());
}

bool parameter_setFromString(parameter_t *parameter, const string_t *value) {
    if (!value) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null value");
    }
    const char *text = string_buffer(value);
    return parameter_setFromChar(parameter, text ? text : "");
}

bool parameter_update(parameter_t *parameter) {
    if (!parameter) {
        return nullParameter();
    }
    parameter_read_handler_t handler = effectiveReadHandler(parameter);
    if (handler == nullptr) {
        return true;
    }
    return guarded(false, [&] {
        Variant answer;
        Variant stored;
        if (!handler(parameter, answer.get())) {
            return true;
        }
        if (!variant_convert(stored.get(), answer.get(), parameter->def()->type)) {
            return refuseType(parameter, answer.get());
        }
        IndexedChange change(parameter);
        if (parameter->inPlace()) { /* the pending value moves out of the way */
            ownerOf(parameter)->dm->pending[parameter] = std::move(parameter->value);
            parameter->setInPlace(false);
        }
        parameter->value = std::move(stored);
        return true;
    });
}

bool parameter_setReadHandler(parameter_t *parameter, parameter_read_handler_t handler) {
    if (!parameter) {
        return nullParameter();
    }
    extraOf(parameter).readHandler = handler;
    return true;
}

bool parameter_setWriteHandler(parameter_t *parameter, parameter_write_handler_t handler) {
    if (!parameter) {
        return nullParameter();
    }
    extraOf(parameter).writeHandler = handler;
    return true;
}

bool parameter_setValidator(parameter_t *parameter, parameter_validator_t validator) {
    if (!parameter) {
        return nullParameter();
    }
    extraOf(parameter).validator = validator;
    return true;
}

bool parameter_setUserData(parameter_t *parameter, void *userData) {
    if (!parameter) {
        return nullParameter();
    }
    extraOf(parameter).userData = userData;
    return true;
}

void *parameter_getUserData(const parameter_t *parameter) {
    if (!parameter) {
        nullParameter();
        return nullptr;
    }
    return parameter->extra() ? parameter->extra()->userData : nullptr;
}

/* ---- Object shorthands ---- */

const variant_t *object_parameterValue(const object_t *object, const char *name) {
    parameter_t *parameter = object_getParameter(object, name);
    return parameter ? currentValue(parameter) : nullptr;
}

bool object_parameterSetValue(object_t *object, const char *name, const variant_t *value) {
    return parameter_setValue(object_getParameter(object, name), value);
}

bool object_parameterSetCharValue(object_t *object, const char *name, const char *value) {
    return parameter_setFromChar(object_getParameter(object, name), value);
}

bool object_parameterSetBoolValue(object_t *object, const char *name, bool value) {
    Variant v;
    variant_setBool(v.get(), value);
    return parameter_setValue(object_getParameter(object, name), v.get());
}

bool object_parameterSetDateTimeValue(object_t *object, const char *name, const struct tm *value) {
    if (!value) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null date-time");
    }
    Variant v;
    if (!variant_setDateTime(v.get(), value)) {
        return fail(ZEB_ERROR_TYPE, "invalid date-time for '%s'", name ? name : "(null)");
    }
    return parameter_setValue(object_getParameter(object, name), v.get());
}

bool object_getLowerCaseValues(object_t *object, variant_map_t *values) {
    if (!object || !values) {
        return fail(ZEB_ERROR_INVALID_ARGUMENT, "null %s", object ? "map" : "object");
    }
    return guarded(false, [&] {
        for (const parameter_t &shared : paramsOf(object)) {
            parameter_t &p = const_cast<parameter_t &>(shared);
            Variant value;
            if (!clientValue(&p, value.get())) {
                return false;
            }
            variant_map_iterator_t *entry = variant_map_iterator_createMove(
                lowerLeadingCapitals(p.def()->name).c_str(), value.get());
            if (!entry || !variant_map_append(values, entry)) {
                variant_map_iterator_destroy(entry);
                return fail(ZEB_ERROR_NO_MEMORY, "out of memory");
            }
        }
        return true;
    });
}

} // extern "C"
