#include "zeb_sl_internal.h"

#include <new>

struct notification_parameter {
    llist_iterator_t it; // first: the notification links its parameters by it
    std::string name;
    variant_t value;
};

struct notification {
    uint32_t type = 0;
    std::string name;
    std::string path;
    llist_t parameters;
};

namespace {

// Every link of a notification's parameters is the first member of a
// parameter, and aligned for the whole of it.
notification_parameter_t *fromLink(llist_iterator_t *it) {
    return static_cast<notification_parameter_t *>(static_cast<void *>(it));
}

std::string withoutTrailingDot(const char *path) {
    std::string text = path != nullptr ? path : "";
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

// "Phonebook" covers "Phonebook" and "Phonebook.Entry.1", not "PhonebookX".
bool covers(const std::string &subscribed, const std::string &path) {
    if (subscribed.empty())
        return true;
    if (path.compare(0, subscribed.size(), subscribed) != 0)
        return false;
    return path.size() == subscribed.size() || path[subscribed.size()] == '.';
}

const ZebSubscription *findSubscription(const zeb_t *context, uint32_t id) {
    for (const ZebSubscription &s : context->subscriptions) {
        if (s.id == id)
            return &s;
    }
    return nullptr;
}

// Subscribers may subscribe or unsubscribe while it runs: the matching ids
// are fixed first and each one is looked up again right before its call.
bool deliver(zeb_t *context, const notification_t *notification) {
    std::string path = withoutTrailingDot(notification->path.c_str());
    std::vector<uint32_t> ids;
    for (const ZebSubscription &s : context->subscriptions) {
        if (covers(s.path, path))
            ids.push_back(s.id);
    }
    for (uint32_t id : ids) {
        const ZebSubscription *s = findSubscription(context, id);
        if (s == nullptr)
            continue;
        ZebSubscription call = *s;
        call.subscriber(call.userData, notification);
    }
    return true;
}

} // namespace

notification_t *notification_create(uint32_t type) {
    auto *n = new (std::nothrow) notification;
    if (n == nullptr) {
        slFail(ZEB_ERROR_NO_MEMORY, "%s: out of memory", __func__);
        return nullptr;
    }
    n->type = type;
    llist_initialize(&n->parameters);
    return n;
}

void notification_destroy(notification_t *n) {
    if (n == nullptr)
        return;
    while (llist_iterator_t *it = llist_first(&n->parameters))
        notification_parameter_destroy(fromLink(it));
    delete n;
}

bool notification_setName(notification_t *n, const char *name) {
    if (!slCheck(n != nullptr && name != nullptr, __func__))
        return false;
    return slNoThrow(false, [&] { return n->name.assign(name), true; });
}

bool notification_setObjectPath(notification_t *n, const char *path) {
    if (!slCheck(n != nullptr && path != nullptr, __func__))
        return false;
    return slNoThrow(false, [&] { return n->path.assign(path), true; });
}

notification_parameter_t *notification_parameter_createVariant(const char *name,
                                                               const variant_t *value) {
    if (!slCheck(name != nullptr && value != nullptr, __func__))
        return nullptr;
    return slNoThrow<notification_parameter_t *>(nullptr, [&] {
        auto *p = new notification_parameter;
        llist_iterator_initialize(&p->it);
        p->name = name;
        variant_initialize(&p->value, variant_type_unknown);
        if (!variant_copy(&p->value, value)) {
            delete p;
            slFail(ZEB_ERROR_NO_MEMORY, "notification_parameter_createVariant: cannot copy");
            return static_cast<notification_parameter_t *>(nullptr);
        }
        return p;
    });
}

void notification_parameter_destroy(notification_parameter_t *p) {
    if (p == nullptr)
        return;
    llist_iterator_take(&p->it);
    variant_cleanup(&p->value);
    delete p;
}

bool notification_addParameter(notification_t *n, notification_parameter_t *p) {
    if (!slCheck(n != nullptr && p != nullptr, __func__))
        return false;
    if (!llist_append(&n->parameters, &p->it)) {
        slFail(ZEB_ERROR_STATE, "%s: the parameter belongs to a notification", __func__);
        return false;
    }
    return true;
}

uint32_t notification_type(const notification_t *n) {
    return slCheck(n != nullptr, __func__) ? n->type : 0;
}

const char *notification_name(const notification_t *n) {
    if (!slCheck(n != nullptr, __func__))
        return nullptr;
    return n->name.empty() ? nullptr : n->name.c_str();
}

const char *notification_objectPath(const notification_t *n) {
    if (!slCheck(n != nullptr, __func__))
        return nullptr;
    return n->path.empty() ? nullptr : n->path.c_str();
}

notification_parameter_t *notification_firstParameter(const notification_t *n) {
    return n != nullptr ? fromLink(llist_first(&n->parameters)) : nullptr;
}

notification_parameter_t *notification_nextParameter(const notification_parameter_t *p) {
    return p != nullptr ? fromLink(llist_iterator_next(&p->it)) : nullptr;
}

const char *notification_parameter_name(const notification_parameter_t *p) {
    return slCheck(p != nullptr, __func__) ? p->name.c_str() : nullptr;
}

const variant_t *notification_parameter_value(const notification_parameter_t *p) {
    return slCheck(p != nullptr, __func__) ? &p->value : nullptr;
}

uint32_t zeb_subscribe(zeb_t *context, const char *path, zeb_subscriber_t subscriber,
                       void *userData) {
    if (!slCheck(context != nullptr && subscriber != nullptr, __func__))
        return 0;
    return slNoThrow(0u, [&] {
        uint32_t id = ++context->lastSubscriptionId;
        if (id == 0)
            id = ++context->lastSubscriptionId;
        context->subscriptions.push_back(
            ZebSubscription{id, withoutTrailingDot(path), subscriber, userData});
        return id;
    });
}

bool zeb_unsubscribe(zeb_t *context, uint32_t id) {
    if (!slCheck(context != nullptr, __func__))
        return false;
    auto &subs = context->subscriptions;
    for (auto it = subs.begin(); it != subs.end(); ++it) {
        if (it->id == id) {
            subs.erase(it);
            return true;
        }
    }
    slFail(ZEB_ERROR_NOT_FOUND, "%s: no subscription %u", __func__, id);
    return false;
}

bool zeb_sendNotification(zeb_t *context, void *peer, void *request,
                          const notification_t *notification) {
    if (!slCheck(context != nullptr && notification != nullptr && peer == nullptr &&
                     request == nullptr,
                 __func__))
        return false;
    if (notification->name.empty() || notification->path.empty()) {
        slFail(ZEB_ERROR_INVALID_ARGUMENT, "%s: the notification has no name or object path",
               __func__);
        return false;
    }
    return slNoThrow(false, [&] { return deliver(context, notification); });
}
