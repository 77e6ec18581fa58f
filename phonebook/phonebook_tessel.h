/*
 * Exchange of the phonebook with the gateway's legacy configuration store
 * (libtessel). Both directions map a legacy record to one Phonebook.Entry
 * instance: ten fields, and the sub-record lists of addresses, labels,
 * telephone numbers and e-mail addresses; photos stay out of the store.
 */
#ifndef PHONEBOOK_PHONEBOOK_TESSEL_H
#define PHONEBOOK_PHONEBOOK_TESSEL_H

#include "phonebook.h"

/* Adds one entry per phonebook record of the legacy file at `path`, beside
 * the entries there are, keeping the records' LastRevision. False, with
 * nothing added, when the file cannot be loaded (missing, unreadable,
 * invalid) or Phonebook has no Entry object. */
bool import_from_tessel(object_t *phonebook, const char *path);

/* Replaces the phonebook of the legacy file at `path` with the entries and
 * saves the file, keeping its other sections; a missing file is created.
 * False, with the file untouched, when an existing file cannot be loaded or
 * the save fails; false also when the store cannot be released. */
bool export_to_tessel(object_t *phonebook, const char *path);

#endif
