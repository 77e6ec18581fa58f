#include "notify.h"

#include <stdint.h>
#include <string.h>

#include <deque>
#include <new>

#include "change_log.h"
#include "contact_index.h"
#include "contact_map.h"
#include "keltrace/keltrace.h"
#include "phonebook.h"

/* Delay between the last change under an entry and its announcement. */
#define NOTIFY_DELAY_MS 200u
/* Each change pushes the announcement back by NOTIFY_DELAY_MS, but not once
 * the oldest change waiting is this old: a phonebook that changes without a
 * pause would otherwise never announce anything. */
#define NOTIFY_MAX_WAIT_MS 1000u

#define NOTIFY_TYPE_CREATED 101u
#define NOTIFY_TYPE_UPDATED 102u
#define NOTIFY_TYPE_DELETED 103u

typedef enum notify_state : uint8_t {
    notify_state_created = 0,   /* seen, not yet announced */
    notify_state_updated = 1,   /* announced, changed since */
    notify_state_announced = 2, /* nothing pending */
} notify_state_t;

/* The entries seen since start and not deleted since, in the order in which
 * they were first seen, with their states: an entry's user data is its place
 * + 1, so that finding it does not walk. A deleted entry leaves a null place
 * behind; the null places are squeezed out once they outnumber the others.
 * Two arrays in blocks rather than a record per entry: 9 bytes an entry. */
static std::deque<object_t *> seenEntries;
static std::deque<notify_state_t> seenStates;
static size_t seenLeft = 0;
/* Null before notify_init and after notify_cleanup: nothing is recorded. */
static zeb_timer_t *notify_timer = nullptr;

static const char *textOrEmpty(const char *text) {
    return text != nullptr ? text : "";
}

/* The entry that the object is or lies below, or null. */
static object_t *entryOf(object_t *object) {
    while (object != nullptr && object_isInstance(object)) {
        object_t *templ = object_parent(object);
        if (templ == nullptr)
            return nullptr;
        if (strcmp(textOrEmpty(object_name(templ, 0)), "Entry") == 0)
            return object;
        object = object_parent(templ);
    }
    return nullptr;
}

constexpr size_t kNotSeen = SIZE_MAX;

static size_t placeOf(const object_t *entry) {
    return reinterpret_cast<uintptr_t>(object_getUserData(entry)) - 1;
}

static void setPlace(object_t *entry, size_t place) {
    object_setUserData(entry, reinterpret_cast<void *>(static_cast<uintptr_t>(place + 1)));
}

static void squeeze() {
    std::deque<object_t *> entries;
    std::deque<notify_state_t> states;
    for (size_t at = 0; at < seenEntries.size(); at++) {
        if (seenEntries[at] != nullptr) {
            entries.push_back(seenEntries[at]);
            states.push_back(seenStates[at]);
        }
    }
    for (size_t at = 0; at < entries.size(); at++)
        setPlace(entries[at], at);
    seenEntries.swap(entries);
    seenStates.swap(states);
    seenLeft = 0;
}

static void forget(size_t place) {
    object_setUserData(seenEntries[place], nullptr);
    seenEntries[place] = nullptr;
    seenLeft++;
    while (!seenEntries.empty() && seenEntries.back() == nullptr) {
        seenEntries.pop_back();
        seenStates.pop_back();
        seenLeft--;
    }
    if (seenLeft > 32 && seenLeft * 2 > seenEntries.size()) {
        try {
            squeeze();
        } catch (const std::bad_alloc &) {
            /* Kept as they are, null places included. */
        }
    }
}

static void traceObject(object_t *object) {
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "object=%s.%s",
              textOrEmpty(object_name(object_parent(object), OBJECT_FLAG_KEY)),
              textOrEmpty(object_name(object, OBJECT_FLAG_KEY)));
}

/* Sends one notification carrying the entry's contact with its public keys. */
static void notify_send(object_t *entry, uint32_t type, const char *name) {
    kelTraceIn(PHONEBOOK_ZONE);
    const char *entryName = textOrEmpty(object_name(entry, OBJECT_FLAG_KEY));
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Send notification {type=%u, name=%s, entry=%s}",
              type, name, entryName);
    notification_t *notification = notification_create(type);
    notification_setName(notification, name);
    notification_setObjectPath(notification, "Phonebook");

    variant_t contact;
    variant_initialize(&contact, variant_type_map);
    variant_map_t *map = variant_da_map(&contact);
    contact_map_add(entry, map);
    notification_parameter_t *parameter = notification_parameter_createVariant("contact", &contact);
    if (!notification_addParameter(notification, parameter))
        notification_parameter_destroy(parameter);
    variant_cleanup(&contact);

    if (!zeb_sendNotification(zeb, nullptr, nullptr, notification))
        kelTrace(KELTRACE_LEVEL_ERROR, "Failed to send notification {type=%u, name=%s, entry=%s}",
                 type, name, entryName);
    notification_destroy(notification);
    kelTraceOut(PHONEBOOK_ZONE);
}

/* When the first change that the armed timer stands for came. */
static uint64_t notify_waitingSince = 0;

static void armTimer(void) {
    uint64_t now = zeb_clock_now();
    if (!zeb_timer_isArmed(notify_timer))
        notify_waitingSince = now;
    if (now - notify_waitingSince < NOTIFY_MAX_WAIT_MS)
        zeb_timer_start(notify_timer, NOTIFY_DELAY_MS);
}

/* Announces every entry created or changed since the last expiry. */
static void notify_flush(zeb_timer_t *, void *) {
    kelTraceIn(PHONEBOOK_ZONE);
    for (size_t at = 0; at < seenEntries.size(); at++) {
        if (seenEntries[at] == nullptr)
            continue;
        if (seenStates[at] == notify_state_created)
            notify_send(seenEntries[at], NOTIFY_TYPE_CREATED, "contactCreated");
        else if (seenStates[at] == notify_state_updated)
            notify_send(seenEntries[at], NOTIFY_TYPE_UPDATED, "contactUpdated");
        seenStates[at] = notify_state_announced;
    }
    kelTraceOut(PHONEBOOK_ZONE);
}

void notify_init(void) {
    kelTraceIn(PHONEBOOK_ZONE);
    seenEntries.clear();
    seenStates.clear();
    seenLeft = 0;
    change_log_start();
    contact_index_start();
    notify_timer = zeb_timer_create();
    zeb_timer_setHandler(notify_timer, notify_flush);
    kelTraceOut(PHONEBOOK_ZONE);
}

void notify_cleanup(void) {
    kelTraceIn(PHONEBOOK_ZONE);
    for (object_t *entry : seenEntries)
        if (entry != nullptr)
            object_setUserData(entry, nullptr);
    std::deque<object_t *>().swap(seenEntries);
    std::deque<notify_state_t>().swap(seenStates);
    seenLeft = 0;
    zeb_timer_destroy(notify_timer);
    notify_timer = nullptr;
    change_log_stop();
    contact_index_stop();
    kelTraceOut(PHONEBOOK_ZONE);
}

void notify_entryUpdated(object_t *object) {
    kelTraceIn(PHONEBOOK_ZONE);
    traceObject(object);
    object_t *entry = entryOf(object);
    /* Changes under an entry being deleted are not announced. */
    if (notify_timer == nullptr || entry == nullptr ||
        object_state(entry) == object_state_deleted) {
        kelTraceOut(PHONEBOOK_ZONE);
        return;
    }
    change_log_entryChanged(entry);
    contact_index_entryChanged(entry);
    size_t place = placeOf(entry);
    if (place == kNotSeen) {
        try {
            seenEntries.push_back(entry);
            try {
                seenStates.push_back(notify_state_created);
            } catch (const std::bad_alloc &) {
                seenEntries.pop_back();
                throw;
            }
            setPlace(entry, seenEntries.size() - 1);
        } catch (const std::bad_alloc &) {
            kelTrace(KELTRACE_LEVEL_ERROR, "calloc() failed");
        }
    } else if (seenStates[place] == notify_state_announced) {
        seenStates[place] = notify_state_updated;
    }
    armTimer();
    kelTraceOut(PHONEBOOK_ZONE);
}

void notify_entryDeleted(object_t *object) {
    kelTraceIn(PHONEBOOK_ZONE);
    traceObject(object);
    object_t *entry = entryOf(object);
    if (entry != nullptr && entry != object) {
        notify_entryUpdated(entry);
    } else if (entry != nullptr) {
        contact_index_entryDeleted(entry);
        /* An entry whose creation is rolled back was never there. */
        if (object_state(entry) != object_state_created)
            change_log_uniqueIDLeft(variant_da_char(object_parameterValue(entry, "UniqueID")));
        size_t place = placeOf(entry);
        if (place != kNotSeen) {
            /* An entry never announced leaves without a word. */
            if (seenStates[place] != notify_state_created)
                notify_send(entry, NOTIFY_TYPE_DELETED, "contactDeleted");
            forget(place);
        }
    }
    kelTraceOut(PHONEBOOK_ZONE);
}
