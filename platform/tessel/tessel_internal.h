/*
 * Inside libtessel: the loaded file as a document, its parser and writer
 * (tessel_format.cpp), and the file reading and replacing
 * (tessel_file.cpp).
 */
#ifndef TESSEL_INTERNAL_H
#define TESSEL_INTERNAL_H

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tessel/tessel.h"

#define TESSEL_INTERNAL __attribute__((visibility("hidden")))

namespace tessel {

/* The ten fields of a record, in the order the writer puts them. */
enum Field {
    kName,
    kFormattedName,
    kUniqueID,
    kLastRevision,
    kBirthDay,
    kTitle,
    kOrganisation,
    kUrl,
    kRingtone,
    kTags,
    kFieldCount
};

/* The four sub-record lists, in the order the writer puts them. */
enum List { kAddresses, kLabels, kTelephones, kEmails, kListCount };

/* The file's names of a sub-record list: its section and its three keys. */
struct ListNames {
    const char *section;
    const char *value;
    const char *type;
    const char *flag;
};

TESSEL_INTERNAL extern const char *const kFieldKeys[kFieldCount];
TESSEL_INTERNAL extern const ListNames kListNames[kListCount];

struct SubRecord {
    std::optional<std::string> value;
    std::optional<std::string> type;
    std::optional<bool> flag;
};

struct Record {
    std::optional<std::string> fields[kFieldCount];
    std::vector<SubRecord> lists[kListCount];
};

/* A legacy configuration file: the bytes around the phonebook, kept as read,
 * and the phonebook records. */
struct Document {
    std::string before; /* everything before the phonebook sections */
    std::string after;  /* everything after them */
    bool hadPhonebook = false;
    std::vector<Record> records;
};

struct ParseError {
    size_t line = 0; /* 1-based */
    std::string message;
};

/* Parses a whole file; false with `error` at the first fault. */
TESSEL_INTERNAL bool parse(const std::string &text, Document &document, ParseError &error);
/* The file text of a document. */
TESSEL_INTERNAL std::string serialize(const Document &document);

/* Reads the file at `path` (already resolved) into `text`. Returns TESSEL_OK,
 * TESSEL_MISSING, TESSEL_ERR_UNREADABLE or TESSEL_ERR_INVALID (too large);
 * `why` tells the cause of a failure. `mode` gets the file's permission
 * bits. */
TESSEL_INTERNAL int readFile(const std::string &path, std::string &text, mode_t &mode,
                             std::string &why);
/* Replaces the file at `path` with `text`: a temporary file beside it,
 * flushed, renamed over it, then the directory flushed. False with `why`;
 * the temporary file is removed when a step before the rename fails. */
TESSEL_INTERNAL bool replaceFile(const std::string &path, const std::string &text, mode_t mode,
                                 std::string &why);

} // namespace tessel

#endif
