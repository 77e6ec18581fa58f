/*
 * libtessel: the gateway's legacy configuration store, as far as it holds the
 * phonebook. The store loads one legacy configuration file into memory
 * (tessel_initialize), lets the caller read and replace its phonebook
 * records, writes the file back (tessel_save) and is released
 * (tessel_cleanup). The file format is described in
 * docs/legacy-store-format.md; every section of the file other than the
 * phonebook is written back exactly as it was read.
 *
 * Ownership rules:
 * - Texts returned through a `char **` are new, allocated with malloc by the
 *   store, and freed by the caller with free.
 * - Texts passed in are copied; the caller keeps its own.
 * - The store owns everything it loaded until tessel_cleanup.
 *
 * Failure rules:
 * - Functions returning `int` return TESSEL_OK (0) on success and a negative
 *   TESSEL_ERR_* code on failure, with their outputs untouched.
 *   tessel_initialize may also return TESSEL_MISSING (positive).
 * - Counts return the number (0 or more) or a negative TESSEL_ERR_* code.
 * - The add operations return the index of the new record or sub-record, or
 *   -1 when they cannot add it.
 * - Unreadable and invalid files are also reported on the trace (libkeltrace,
 *   error level) with the path and, for an invalid file, the line.
 *
 * Null rules:
 * - A null path or output pointer fails with TESSEL_ERR_ARGUMENT.
 * - A null text passed to a setter clears the field: it is then not set and
 *   is left out of the file.
 * - A getter of a field that is not set stores nothing and returns
 *   TESSEL_ERR_NOT_SET, so the caller's preset (null, false) stays.
 *
 * Addressing: a record by its index (0 to count-1), a sub-record by its
 * record's index and its own index in its list (0 to count-1). An index out
 * of range fails with TESSEL_ERR_NOT_FOUND.
 *
 * Texts are C strings: any byte sequence without a NUL byte, UTF-8 or not,
 * is kept unchanged through a save and a load.
 *
 * The store is one per process and not thread-safe: one caller at a time,
 * between tessel_initialize and tessel_cleanup. Paths are resolved with
 * sysroot_path (zeb/sysroot.h).
 */
#ifndef TESSEL_TESSEL_H
#define TESSEL_TESSEL_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What follows is the library's interface, exported from it; the rest of
 * the library is hidden. */
#pragma GCC visibility push(default)

/* ---- Results --------------------------------------------------------------- */

#define TESSEL_OK 0
/* tessel_initialize: no file at the path. The store is open and holds no
 * record; tessel_save creates the file. */
#define TESSEL_MISSING 1
#define TESSEL_ERR_ARGUMENT (-1)   /* a null path or output pointer */
#define TESSEL_ERR_STATE (-2)      /* not open, or tessel_initialize while open */
#define TESSEL_ERR_UNREADABLE (-3) /* the file exists but cannot be read */
#define TESSEL_ERR_INVALID (-4)    /* the file is not a valid legacy file */
#define TESSEL_ERR_NO_MEMORY (-5)
#define TESSEL_ERR_LIMIT (-6)     /* a limit below would be exceeded */
#define TESSEL_ERR_IO (-7)        /* the file could not be written */
#define TESSEL_ERR_NOT_FOUND (-8) /* an index out of range */
#define TESSEL_ERR_NOT_SET (-9)   /* the field has no value */

/* ---- Limits ---------------------------------------------------------------- */

/* A larger file is invalid; a save that would write one fails. */
#define TESSEL_MAX_FILE_SIZE (4u * 1024u * 1024u)
/* Bytes of one text value. */
#define TESSEL_MAX_VALUE_LENGTH (64u * 1024u)
/* Phonebook records. */
#define TESSEL_MAX_ENTRIES 10000
/* Sub-records of one list of one record. */
#define TESSEL_MAX_SUBRECORDS 256

/* ---- The store --------------------------------------------------------------- */

/* Loads the legacy configuration file at `path`. TESSEL_OK or TESSEL_MISSING
 * leave the store open (the path is kept for tessel_save); any other result
 * leaves it closed: TESSEL_ERR_UNREADABLE for a file that exists but cannot
 * be read (not a regular file, read error), TESSEL_ERR_INVALID for a file
 * that breaks the format or the limits, TESSEL_ERR_STATE when the store is
 * already open. */
int tessel_initialize(const char *path);

/* Releases the store. TESSEL_ERR_STATE when it is not open. Unsaved changes
 * are dropped. */
int tessel_cleanup(void);

/* Writes the store to its file: a temporary file beside it, flushed and
 * renamed over it. On failure the file is unchanged: TESSEL_ERR_IO, or
 * TESSEL_ERR_LIMIT when the file would exceed TESSEL_MAX_FILE_SIZE. */
int tessel_save(void);

/* ---- Phonebook records --------------------------------------------------------- */

int32_t tessel_cntPhoneBookEntries(void);
/* Discards every phonebook record. */
int tessel_freePhoneBookEntry(void);
/* Appends a record with no field set and no sub-record. */
int32_t tessel_addPhoneBookEntry(void);

int tessel_getPhoneBookEntryName(int32_t entry, char **value);
int tessel_setPhoneBookEntryName(int32_t entry, const char *value);
int tessel_getPhoneBookEntryFormattedName(int32_t entry, char **value);
int tessel_setPhoneBookEntryFormattedName(int32_t entry, const char *value);
int tessel_getPhoneBookEntryUniqueID(int32_t entry, char **value);
int tessel_setPhoneBookEntryUniqueID(int32_t entry, const char *value);
int tessel_getPhoneBookEntryLastRevision(int32_t entry, char **value);
int tessel_setPhoneBookEntryLastRevision(int32_t entry, const char *value);
int tessel_getPhoneBookEntryBirthDay(int32_t entry, char **value);
int tessel_setPhoneBookEntryBirthDay(int32_t entry, const char *value);
int tessel_getPhoneBookEntryTitle(int32_t entry, char **value);
int tessel_setPhoneBookEntryTitle(int32_t entry, const char *value);
int tessel_getPhoneBookEntryOrganisation(int32_t entry, char **value);
int tessel_setPhoneBookEntryOrganisation(int32_t entry, const char *value);
int tessel_getPhoneBookEntryUrl(int32_t entry, char **value);
int tessel_setPhoneBookEntryUrl(int32_t entry, const char *value);
int tessel_getPhoneBookEntryRingtone(int32_t entry, char **value);
int tessel_setPhoneBookEntryRingtone(int32_t entry, const char *value);
int tessel_getPhoneBookEntryTags(int32_t entry, char **value);
int tessel_setPhoneBookEntryTags(int32_t entry, const char *value);

/* ---- Sub-records: addresses, labels, telephone numbers, e-mail addresses ---- */

int32_t tessel_cntPhoneBookEntryAddresses(int32_t entry);
int32_t tessel_addPhoneBookEntryAddress(int32_t entry);
int tessel_getPhoneBookEntryAddressValue(int32_t entry, int32_t index, char **value);
int tessel_setPhoneBookEntryAddressValue(int32_t entry, int32_t index, const char *value);
int tessel_getPhoneBookEntryAddressType(int32_t entry, int32_t index, char **value);
int tessel_setPhoneBookEntryAddressType(int32_t entry, int32_t index, const char *value);
int tessel_getPhoneBookEntryAddressPreferred(int32_t entry, int32_t index, bool *value);
int tessel_setPhoneBookEntryAddressPreferred(int32_t entry, int32_t index, bool value);

int32_t tessel_cntPhoneBookEntryLabel(int32_t entry);
int32_t tessel_addPhoneBookEntryLabel(int32_t entry);
int tessel_getPhoneBookEntryLabelValue(int32_t entry, int32_t index, char **value);
int tessel_setPhoneBookEntryLabelValue(int32_t entry, int32_t index, const char *value);
int tessel_getPhoneBookEntryLabelType(int32_t entry, int32_t index, char **value);
int tessel_setPhoneBookEntryLabelType(int32_t entry, int32_t index, const char *value);
int tessel_getPhoneBookEntryLabelPreferred(int32_t entry, int32_t index, bool *value);
int tessel_setPhoneBookEntryLabelPreferred(int32_t entry, int32_t index, bool value);

int32_t tessel_cntPhoneBookEntryTelephone(int32_t entry);
int32_t tessel_addPhoneBookEntryTelephone(int32_t entry);
int tessel_getPhoneBookEntryTelephoneNumber(int32_t entry, int32_t index, char **value);
int tessel_setPhoneBookEntryTelephoneNumber(int32_t entry, int32_t index, const char *value);
int tessel_getPhoneBookEntryTelephoneType(int32_t entry, int32_t index, char **value);
int tessel_setPhoneBookEntryTelephoneType(int32_t entry, int32_t index, const char *value);
int tessel_getPhoneBookEntryTelephonePreferred(int32_t entry, int32_t index, bool *value);
int tessel_setPhoneBookEntryTelephonePreferred(int32_t entry, int32_t index, bool value);

int32_t tessel_cntPhoneBookEntryEmail(int32_t entry);
int32_t tessel_addPhoneBookEntryEmail(int32_t entry);
int tessel_getPhoneBookEntryEmailAddress(int32_t entry, int32_t index, char **value);
int tessel_setPhoneBookEntryEmailAddress(int32_t entry, int32_t index, const char *value);
int tessel_getPhoneBookEntryEmailType(int32_t entry, int32_t index, char **value);
int tessel_setPhoneBookEntryEmailType(int32_t entry, int32_t index, const char *value);
int tessel_getPhoneBookEntryEmailPreferred(int32_t entry, int32_t index, bool *value);
int tessel_setPhoneBookEntryEmailPreferred(int32_t entry, int32_t index, bool value);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
