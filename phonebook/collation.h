/* Language-sensitive ordering of names without ICU: sort keys and comparison
 * of UTF-8 text in the order ICU gives for the same locale, from tables built
 * into the plug-in (docs/collation.md).
 *
 * Rules:
 * - Ownership: a collation_t comes from collation_forLocale() and is shared,
 *   immutable and never freed; it may be used from any thread. Keys are
 *   written into the caller's buffer.
 * - Failure: collation_forLocale() returns NULL for a locale it does not
 *   know. Nothing else fails: invalid UTF-8 weighs as U+FFFD per maximal
 *   ill-formed subsequence (as ICU does), and only the first
 *   COLLATION_MAX_INPUT bytes of a text count (a sequence cut by that bound
 *   weighs as U+FFFD).
 * - Null: a NULL text is the empty text (its length is ignored); a NULL
 *   collation is the root collation; a NULL key buffer needs a capacity of 0.
 * - Keys compare with memcmp (the shorter one first when one is a prefix of
 *   the other) in the order of collation_compare() at the same strength.
 */
#ifndef PHONEBOOK_COLLATION_H
#define PHONEBOOK_COLLATION_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define COLLATION_MAX_INPUT 65536u

typedef struct collation collation_t;

typedef enum {
    COLLATION_PRIMARY = 1,   /* letters only: case and accents ignored */
    COLLATION_SECONDARY = 2, /* and accents */
    COLLATION_TERTIARY = 3   /* and case */
} collation_strength_t;

/* The collation of a BCP 47 tag or ICU-style locale id ("de", "de_DE",
 * "de-AT-u-co-phonebk", "sv-SE", "root", "", "en"), case and '-'/'_'
 * ignored; a region or script falls back to the language. NULL for an
 * unknown language or an unknown collation type. */
const collation_t *collation_forLocale(const char *tag);

/* The tag the collation answers to ("root", "de-u-co-phonebk", ...). */
const char *collation_name(const collation_t *coll);

/* Writes the sort key of `text` (`length` bytes of UTF-8) at `strength` into
 * `key`, at most `capacity` bytes, and returns its full length: a key longer
 * than `capacity` is cut there (still a valid prefix for ordering). A key
 * never contains a 0 byte. An unknown strength counts as tertiary. */
size_t collation_sortKey(const collation_t *coll, const char *text, size_t length,
                         collation_strength_t strength, uint8_t *key, size_t capacity);

/* <0, 0 or >0 as `a` sorts before, with or after `b` at `strength`. */
int collation_compare(const collation_t *coll, const char *a, size_t aLength, const char *b,
                      size_t bLength, collation_strength_t strength);

/* Whether `text` begins with `prefix` at primary strength: the primary
 * weights of `prefix` are the first primary weights of `text` ("mül" and
 * "MUL" begin "Müller" in de; "mue" does too in de-u-co-phonebk). An empty
 * prefix begins every text. Contractions weigh as wholes: in cs "c" does not
 * begin "chata". */
bool collation_primaryPrefix(const collation_t *coll, const char *text, size_t textLength,
                             const char *prefix, size_t prefixLength);

#ifdef __cplusplus
}

#include <string>

/* The whole sort key as a string of bytes. */
inline std::string collation_sortKeyString(const collation_t *coll, const std::string &text,
                                           collation_strength_t strength) {
    std::string key(text.size() * 4 + 16, '\0');
    size_t n = collation_sortKey(coll, text.data(), text.size(), strength,
                                 reinterpret_cast<uint8_t *>(&key[0]), key.size());
    if (n > key.size()) {
        key.resize(n);
        collation_sortKey(coll, text.data(), text.size(), strength,
                          reinterpret_cast<uint8_t *>(&key[0]), key.size());
    }
    key.resize(n);
    return key;
}
#endif

#endif
