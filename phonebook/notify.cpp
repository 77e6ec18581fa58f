#include "notify.h"

#include <stdlib.h>
#include <string.h>

#include "change_log.h"
#include "contact_index.h"
#include "contact_map.h"
#include "keltrace/keltrace.h"
#include "phonebook.h"
#include "zeb/llist.h"

/* Delay between the last change under an entry and its announcement. */
#define NOTIFY_DELAY_MS 200u
/* Each change pushes the announcement back by NOTIFY_DELAY_MS, but not once
 * the oldest change waiting is this old: a phonebook that changes without a
 * pause would otherwise never announce anything. */
#define NOTIFY_MAX_WAIT_MS 1000u

#define NOTIFY_TYPE_CREATED 101u
#define NOTIFY_TYPE_UPDATED 102u
#define NOTIFY_TYPE_DELETED 103u

typedef enum notify_state {
    notify_state_created = 0,   /* seen, not yet announced */
    notify_state_updated = 1,   /* announced, changed since */
    notify_state_announced = 2, /* nothing pending */
} notify_state_t;

/* One per entry seen since start and not deleted since. */
typedef struct notify_record {
    llist_iterator_t it; /* must stay first */
    object_t *entry;
    notify_state_t state;
} notify_record_t;

/* In the order in which the entries were first seen. */
static llist_t pending_notifications;
/* Null before notify_init and after notify_cleanup: nothing is recorded. */
static zeb_timer_t *notify_timer = nullptr;

static const char *textOrEmpty(const char *text) {
    return text != nullptr ? text : "";
}

static notify_record_t *recordOf(llist_iterator_t *it) {
    return reinterpret_cast<notify_record_t *>(it);
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

/* An entry's record hangs on the entry itself, so that finding it does not
 * walk the list. */
static notify_record_t *findRecord(const object_t *entry) {
    return static_cast<notify_record_t *>(object_getUserData(entry));
}

static void dropRecord(notify_record_t *record) {
    object_setUserData(record->entry, nullptr);
    free(recordOf(llist_iterator_take(&record->it)));
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
    for (llist_iterator_t *it = llist_first(&pending_notifications); it != nullptr;
         it = llist_iterator_next(it)) {
        notify_record_t *record = recordOf(it);
        if (record->state == notify_state_created)
            notify_send(record->entry, NOTIFY_TYPE_CREATED, "contactCreated");
        else if (record->state == notify_state_updated)
            notify_send(record->entry, NOTIFY_TYPE_UPDATED, "contactUpdated");
        record->state = notify_state_announced;
    }
    kelTraceOut(PHONEBOOK_ZONE);
}

void notify_init(void) {
    kelTraceIn(PHONEBOOK_ZONE);
    llist_initialize(&pending_notifications);
    change_log_start();
    contact_index_start();
    notify_timer = zeb_timer_create();
    zeb_timer_setHandler(notify_timer, notify_flush);
    kelTraceOut(PHONEBOOK_ZONE);
}

void notify_cleanup(void) {
    kelTraceIn(PHONEBOOK_ZONE);
    llist_iterator_t *it;
    while ((it = llist_first(&pending_notifications)) != nullptr)
        dropRecord(recordOf(it));
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
    notify_record_t *record = findRecord(entry);
    if (record == nullptr) {
        record = static_cast<notify_record_t *>(calloc(1, sizeof(notify_record_t)));
        if (record == nullptr) {
            kelTrace(KELTRACE_LEVEL_ERROR, "calloc() failed");
        } else {
            record->entry = entry;
            record->state = notify_state_created;
            llist_append(&pending_notifications, &record->it);
            object_setUserData(entry, record);
        }
    } else if (record->state == notify_state_announced) {
        record->state = notify_state_updated;
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
        notify_record_t *record = findRecord(entry);
        if (record != nullptr) {
            /* An entry never announced leaves without a word. */
            if (record->state != notify_state_created)
                notify_send(entry, NOTIFY_TYPE_DELETED, "contactDeleted");
            dropRecord(record);
        }
    }
    kelTraceOut(PHONEBOOK_ZONE);
}
