#include "notify.h"

/* Changes are not announced on the bus: nothing is ever pending. */

void notify_init(void) {}

void notify_cleanup(void) {}

void notify_entryUpdated(object_t *) {}

void notify_entryDeleted(object_t *) {}
