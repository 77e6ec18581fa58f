// What the phonebook's lookup by number is measured against: other ways of
// answering the same question on the same numbers, "the first contact, in
// the order they were added, holding a number that designates the asked
// line". Each answers with the contact's position, or -1 for none.
//
// - The floor of the linear design: the plug-in's own compare_numbers over
//   one contiguous array of the numbers, without the data model.
// - SQLite: an indexed table of the numbers' notations, asked for each
//   notation that the asked number stands for (number_forEachCandidate).
// - libphonenumber: a scan with IsNumberMatchWithTwoStrings, a matching
//   rule of its own; its answers are counted, not required to agree.
#ifndef BENCH_NUMBER_PEERS_HPP
#define BENCH_NUMBER_PEERS_HPP

#include <cstddef>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace peers {

// The peers' SQLite calls: a failure throws std::runtime_error naming it.
[[noreturn]] void sqliteFailed(sqlite3 *db, const char *what);
void sqliteExecute(sqlite3 *db, const char *sql);
sqlite3_stmt *sqlitePrepare(sqlite3 *db, const char *sql); // persistent

// A telephone number as the plug-in keeps it (a leading "+" written "00"),
// and the position of its contact.
struct HeldNumber {
    int contact;
    std::string text;
};

// The plug-in's number comparison on the contiguous array.
class Floor {
  public:
    explicit Floor(const std::vector<HeldNumber> &numbers);
    int find(const char *asked) const;

  private:
    struct Number {
        const char *text; // in texts_
        int contact;
    };
    std::string texts_; // every number, NUL-terminated, one after the other
    std::vector<Number> numbers_;
};

// An in-memory database: table number(contact, international, text), with
// the indicator taken off international numbers, indexed on the notation.
class Sqlite {
  public:
    explicit Sqlite(const std::vector<HeldNumber> &numbers); // throws on failure
    ~Sqlite();
    Sqlite(const Sqlite &) = delete;
    Sqlite &operator=(const Sqlite &) = delete;
    int find(const char *asked) const;
    // The notations number_forEachCandidate gives, each a query of find().
    static int notationsOf(const char *asked);

  private:
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *lookup_ = nullptr; // the first contact holding one notation
};

// libphonenumber's verdict: NSN_MATCH or EXACT_MATCH. SHORT_NSN_MATCH, one
// national number ending the other, would take "1234" for "+33 1 23 45 12 34".
bool libphonenumberMatches(const std::string &asked, const std::string &stored);

class Libphonenumber {
  public:
    explicit Libphonenumber(const std::vector<HeldNumber> &numbers) : numbers_(numbers) {}
    int find(const std::string &asked) const;

    // One scan for what find() answers, and the numbers that libphonenumber
    // and compare_numbers judge differently against `asked`.
    struct Verdicts {
        int first;
        size_t judgedOtherwise;
    };
    Verdicts verdicts(const std::string &asked) const;

  private:
    std::vector<HeldNumber> numbers_;
};

// Loads the shipped calling code table into this process's copy of the
// plug-in's number matching, from `path`.
void loadCallingCodes(const std::string &path);

} // namespace peers

#endif
