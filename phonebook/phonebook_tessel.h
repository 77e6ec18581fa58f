/*
 * Exchange of the phonebook with the gateway's legacy configuration store.
 */
#ifndef PHONEBOOK_PHONEBOOK_TESSEL_H
#define PHONEBOOK_PHONEBOOK_TESSEL_H

#include "phonebook.h"

/* Adds one entry per phonebook record of the legacy file at `path`. */
bool import_from_tessel(object_t *phonebook, const char *path);
/* Replaces the phonebook of the legacy file at `path` with the entries. */
bool export_to_tessel(object_t *phonebook, const char *path);

/* Test seam: while set, the exchange calls these instead of the legacy
 * store (null restores the legacy store). */
typedef bool (*phonebook_exchange_t)(object_t *phonebook, const char *path);
PHONEBOOK_EXPORT void phonebook_test_setImport(phonebook_exchange_t exchange);
PHONEBOOK_EXPORT void phonebook_test_setExport(phonebook_exchange_t exchange);

#endif
