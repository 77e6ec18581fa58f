/*
 * zeb_vcard: vCard files and the phonebook's contact maps, for the clients
 * that move contacts between them (phonebook-vcard, an HTTP bridge). C++
 * only, linked statically into each client; nothing here reaches the bus by
 * itself.
 *
 * read() splits a file of vCards 2.1, 3.0 or 4.0 into cards and properties:
 * lines unfolded, quoted-printable and CHARSET undone, parameters in every
 * spelling brought to NAME=value lists. toContact() turns one card into a
 * contact map with the phonebook's public keys ("formattedName",
 * "telephoneNumbers", ...) and tells what it left out. write() turns a contact
 * map, as getAllContacts answers it, into one vCard 3.0 or 4.0. docs/vcard.md
 * describes the mapping. forEachPage(), exportContacts() and findStored()
 * read the phonebook a sorted page at a time through a call that the client
 * supplies (a Call), so that no answer passes the limit of one bus message.
 * Import reads a file and sends its cards in batches through calls the
 * client supplies too (a Phonebook), and reports what became of each.
 *
 * Ownership: everything is plain values; the caller owns what it passes and
 * what it gets, and nothing is kept between calls. The functions hold no
 * state and may run in several threads at once on different values.
 *
 * Errors: read() throws ReadError when the file breaks a limit (Limits) or is
 * no vCard file at all; everything else that is wrong with a card is kept
 * with it (an error that refuses the card, warnings, properties that could
 * not be read), so that the other cards of the file still go in. The paging
 * functions throw BadAnswer when the phonebook answers something that is no
 * page, and let whatever the Call throws pass through unchanged (except the
 * AnswerTooLarge they handle). std::bad_alloc may come from any of them.
 * Line numbers count from 1 in the file as given (before unfolding).
 */
#ifndef ZEB_VCARD_HPP
#define ZEB_VCARD_HPP

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vcard {

using json = nlohmann::ordered_json;

/* What read() accepts; more of any is a ReadError. */
struct Limits {
    size_t fileBytes = 64u << 20; /* the whole file */
    size_t lineBytes = 4u << 20;  /* one line once unfolded (inline photos are long) */
    size_t cards = 20000;         /* cards in the file */
    size_t properties = 400000;   /* properties in the file: each costs memory */
    size_t propertiesPerCard = 1000;
    size_t parametersPerProperty = 100; /* parameter values of one property, all names */
    size_t nesting = 4;                 /* cards embedded in a card (2.1 AGENT) */
};

/* A file that cannot be read at all. what() is "line N: ..." (no line part
 * for faults of the whole file); line is 0 for those. */
class ReadError : public std::runtime_error {
  public:
    ReadError(size_t line, const std::string &message);
    size_t line;
};

struct Note {
    size_t line;
    std::string text;
};

struct Parameter {
    std::string name;                /* upper case; TYPE or ENCODING for bare 2.1 words */
    std::vector<std::string> values; /* as written, quotes removed, list split at commas */
};

struct Property {
    size_t line = 0;
    std::string group; /* "item1" of "item1.TEL", as written */
    std::string name;  /* upper case */
    std::vector<Parameter> parameters;
    /* UTF-8, quoted-printable and CHARSET undone, backslash escapes as
     * written. Empty for base64 content, which is not kept. */
    std::string value;
    bool inlineData = false; /* ENCODING=b or BASE64: the value was inline data */
    std::string problem;     /* set when the line could not be read; value is then empty */

    const Parameter *parameter(std::string_view name) const;
    /* True when parameter `name` holds `word`, letter case aside. */
    bool has(std::string_view name, std::string_view word) const;
};

struct Card {
    size_t line = 0;     /* of BEGIN:VCARD */
    std::string version; /* as written; empty when the card has none */
    std::vector<Property> properties;
    std::vector<Note> warnings;
    std::string error; /* set when the card is not to be imported: "line N: ..." */
};

/* The cards of a file; throws ReadError. A UTF-8 or UTF-16 byte order mark
 * is accepted, lines may end in CRLF, LF or CR. */
std::vector<Card> read(std::string_view file, const Limits &limits = Limits());

/* The cards of read() one at a time, with one card in memory besides the
 * file (and its UTF-8 form when it is UTF-16). The constructor throws the
 * ReadError of the whole file (its size, its byte order mark); next() throws
 * the others when the reading reaches them, so a caller that must not act on
 * a file that does not read reads it through first. `file` must outlive the
 * reader. */
class CardReader {
  public:
    explicit CardReader(std::string_view file, const Limits &limits = Limits());
    ~CardReader();
    CardReader(const CardReader &) = delete;
    CardReader &operator=(const CardReader &) = delete;

    /* The next card into `card`; false when the file holds no more. */
    bool next(Card &card);

    struct State;

  private:
    std::unique_ptr<State> state_;
};

/* One card as a contact map, and what did not fit in it. */
struct Imported {
    size_t line = 0; /* of BEGIN:VCARD */
    json contact;    /* "uniqueID" only when the card has a UID */
    std::string error;
    std::vector<Note> warnings;
    std::vector<Note> skipped; /* text: what was left out, e.g. "NOTE", "PHOTO (inline)" */
    /* TEL, EMAIL and ADR properties that could not be read (text: the name);
     * the contact has a place for them, so they are not among `skipped`. */
    std::vector<Note> dropped;
};

Imported toContact(const Card &card);

/* A telephone number in the form that the phonebook's lookup by number
 * compares: visual separators (blanks, no-break spaces, '-', '/', '.',
 * parentheses) removed, a trunk prefix "(0)" of an international number
 * ("+49 (0)30 ...") left out, a leading "+" or "00" kept. Digits, '+', '*',
 * '#' and the pauses p, w, ',' and ';' are kept. A text with no digit, or
 * with any other character (letters, "ext."), is returned as written. */
std::string dialableNumber(std::string_view written);

enum class Version { v30, v40 };

/* One card for a contact map (public keys; date-times as their text form),
 * lines ending in CRLF and folded at 75 octets. Keys it does not know are
 * left out; "key" is the phonebook's own. */
std::string write(const json &contact, Version version);

/* Date and date-time values of REV and BDAY as the phonebook's date-time text
 * "YYYY-MM-DDTHH:MM:SSZ" (times with an offset brought to UTC, times without
 * one taken as UTC, dates at midnight; a date without its year, such as
 * "--0412", in year 1604). Empty when the text is no such value. */
std::string parseDateTime(std::string_view text);

/* The text at `key` of a JSON object, "" when it holds none or no text. */
std::string textOf(const json &object, const char *key);

/* ---- Reading the phonebook a page at a time --------------------------------
 *
 * Call: calls the phonebook's function `function` with the named arguments
 * `args` (a JSON object, as the bus's named arguments) and returns its
 * return value. It throws AnswerTooLarge when the answer would not fit in one
 * message (the bus's ZEB_ERROR_LIMIT), and whatever else it likes when the
 * call fails: the functions below let that pass through and stop. */
using Call = std::function<json(const std::string &function, const json &args)>;

/* A call the phonebook refused, with the bus's error code: what a Call
 * throws for a refusal (rather than a failure of the connection). */
class Refused : public std::runtime_error {
  public:
    Refused(uint32_t busCode, const std::string &message)
        : std::runtime_error(message), code(busCode) {}
    uint32_t code;
};

class AnswerTooLarge : public Refused {
  public:
    explicit AnswerTooLarge(const std::string &message, uint32_t busCode = 0)
        : Refused(busCode, message) {}
};

/* An answer of getContactsRange that is no page ({"total", "offset",
 * "contacts"}); what() names the function and tells the answer. */
class BadAnswer : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/* Contacts asked for per page: far below the bus limit of 4 MiB for contacts
 * of a few kilobytes. A page too large for one message is asked again with
 * half as many, down to one contact; a single contact too large for a
 * message stops the reading with AnswerTooLarge. */
constexpr uint64_t kPageContacts = 250;

/* Calls `visit` with the contacts (a JSON array) of each page of
 * getContactsRange sorted by formatted name, from the first contact to the
 * last, one page held at a time. Pages are found by position: a contact
 * added or removed meanwhile shifts the rest, so that one contact may be
 * seen twice or not at all. Returns true when the number of contacts
 * changed between the first page and the last, which tells that. What
 * `visit` throws passes through. */
bool forEachPage(const Call &call, const std::function<void(const json &contacts)> &visit);

/* The pages of forEachPage() one at a time, for a caller that asks for the
 * next page only when it is done with the last (a streamed answer). */
class Pages {
  public:
    explicit Pages(Call call) : call_(std::move(call)) {}
    /* The contacts of the next page into `contacts`; false when none is
     * left. Throws as forEachPage(). */
    bool next(json &contacts);
    /* The number of contacts changed between the first page and the last read. */
    bool changed() const { return changed_; }

  private:
    Call call_;
    uint64_t offset_ = 0, count_ = kPageContacts;
    int64_t first_ = -1, total_ = -1;
    bool changed_ = false;
};

/* exportContacts() one page at a time: next() gives the cards of the next
 * page (possibly none, when a page held only contacts written already);
 * false when no page is left. */
class Export {
  public:
    Export(Call call, Version version) : pages_(std::move(call)), version_(version) {}
    bool next(std::string &cards);
    bool changed() const { return pages_.changed(); }
    size_t count() const { return count_; }

  private:
    Pages pages_;
    Version version_;
    std::set<std::string> written_;
    size_t count_ = 0;
};

/* Every contact as a vCard of `version`, page by page in the order of the
 * formatted name: `write` gets the cards of each page (lines ending in CRLF)
 * in order, and may throw to stop. Each uniqueID is written once. `changed`
 * as forEachPage() returns it: then one contact may be missing. Returns how
 * many contacts were written. */
size_t exportContacts(const Call &call, Version version,
                      const std::function<void(const std::string &cards)> &write, bool &changed);

/* What an update of a contact by a card looks for: the card's UID (empty
 * when it has none) and its formatted name (empty: none). */
struct Wanted {
    std::string uniqueID;
    std::string formattedName;
};

/* For each of `wanted`, in order, the stored contact that it is to modify:
 * the one holding its UID, else the one holding its formatted name, else
 * null. Reads the phonebook with forEachPage() and keeps only the contacts
 * wanted, so the memory it needs grows with `wanted`, not with the
 * phonebook. A contact shifted past the pages read by a concurrent change
 * is not found. */
std::vector<json> findStored(const Call &call, const std::vector<Wanted> &wanted);

/* ---- Importing a file ------------------------------------------------------
 *
 * What an import needs of the phonebook: `call` as for paging (a refusal
 * thrown as Refused), addContacts with its contacts answering the ones it
 * refused (its out-argument "result"), and the size of a value in one bus
 * message, whose limit is `maxMessage`. */
struct Phonebook {
    Call call;
    std::function<json(const json &contacts)> addContacts;
    std::function<size_t(const json &value)> messageSize;
    size_t maxMessage = 0;
};

struct ImportOptions {
    /* A card whose UID, else formatted name, a contact holds modifies that contact. */
    bool update = false;
    /* Numbers as written rather than in their dialable form. */
    bool keepNumbers = false;
};

/* A card that did not go in, and why. */
struct Refusal {
    size_t line = 0; /* of BEGIN:VCARD */
    std::string formattedName;
    std::string reason;
};

struct ImportReport {
    /* The first kMaxWarnings warnings of the cards; `moreWarnings` counts the rest. */
    static constexpr size_t kMaxWarnings = 100;
    std::vector<Note> warnings;
    size_t moreWarnings = 0;
    std::map<std::string, size_t> skipped; /* properties no contact holds, by name */
    std::map<std::string, size_t> dropped; /* TEL, EMAIL, ADR that could not be read */
    size_t numbersChanged = 0;             /* numbers brought to their dialable form */
    size_t added = 0, updated = 0, unchanged = 0;
    /* The first kMaxRefused cards refused, in the order of the file;
     * `moreRefused` counts the rest. */
    static constexpr size_t kMaxRefused = 100;
    std::vector<Refusal> refused;
    size_t moreRefused = 0;

    /* {"added", "failed" (every card refused, kept or counted),
     * "skipped_properties", "dropped_numbers", "dropped_emails",
     * "dropped_addresses", "numbers_changed"} and, for an update, "updated"
     * and "unchanged". */
    json summary(bool update) const;
};

/* An import. The constructor reads the whole file through (it throws
 * ReadError, so that nothing of a file that does not read goes in) and fills
 * the report's warnings and counts of the file; it keeps the file and, for
 * an update, the UID and formatted name of each card, nothing more. run()
 * reads the cards again and maps and sends them in batches far below one
 * bus message, so that the daemon answers other clients in between and
 * only one batch of contacts is in memory at a time (with update, also the
 * stored contacts that findStored() found for the cards). run() throws what the
 * calls throw but Refused, which refuses the cards concerned; report() then
 * tells what was done before. A card that adds a contact and one that
 * modifies one are told apart by update and the phonebook's contents as
 * they were before the first batch. */
class Import {
  public:
    Import(std::string file, const ImportOptions &options, const Limits &limits = Limits());
    ~Import();
    Import(const Import &) = delete;
    Import &operator=(const Import &) = delete;

    void run(const Phonebook &phonebook);
    const ImportReport &report() const { return report_; }

    struct Pending;

  private:
    std::string file_;
    ImportOptions options_;
    Limits limits_;
    std::vector<Wanted> wanted_; /* with update: per card, in the order of the file */
    ImportReport report_;
};

} // namespace vcard

#endif
