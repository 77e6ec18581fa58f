// What the phonebook's sorted pages and search are measured against: other
// ways of answering getContactsRange (by formatted name, ascending) and
// searchContacts on the same contacts, with the same sort keys.
//
// - The floor of the naive design: every contact's key computed beforehand,
//   then, per call, a std::sort of all (key, contact) pairs (of the matches,
//   for a search) and the page taken from the sorted whole.
// - SQLite: an in-memory table of the contacts with their key, indexed on
//   it; a page is ORDER BY key LIMIT count OFFSET offset, a jump WHERE
//   key >= the primary key of `from`, a search a range of an indexed table
//   of word keys joined to the contacts in key order (and, for three digits
//   or more, a scan of the numbers' digits).
//
// A page is the contacts' stored texts (their contact maps as JSON), copied
// out. Neither peer counts the total of an answer, nor, for a jump, the
// offset where the page starts: SQLite would need a count(*), a scan.
#ifndef BENCH_PAGE_PEERS_HPP
#define BENCH_PAGE_PEERS_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "collation.h"

struct sqlite3;
struct sqlite3_stmt;

namespace peers {

// A contact as the peers hold it, from its texts.
struct PagedContact {
    std::string key;                  // its key in the order of getContactsRange
    std::vector<std::string> words;   // the primary keys of its words
    std::vector<std::string> numbers; // the digits of each telephone number
    std::string text;                 // its contact map as JSON
};

// `texts`: the formatted name, the structured name, the organisation and the
// e-mail addresses, whose words are searched.
PagedContact pagedContact(const collation_t *coll, const std::string &uniqueID,
                          const std::string &formattedName, const std::vector<std::string> &texts,
                          const std::vector<std::string> &numbers, std::string text);

// The digits of a text, separators left out: what a search by number looks for.
std::string digitsOf(const std::string &text);

using Page = std::vector<std::string>;

class SortFloor {
  public:
    SortFloor(const collation_t *coll, std::vector<PagedContact> contacts);
    Page range(size_t offset, size_t count) const;
    Page from(const std::string &text, size_t count) const;
    Page search(const std::string &text, size_t offset, size_t count) const;

  private:
    using Keyed = std::pair<const std::string *, uint32_t>;
    Page sortedPage(std::vector<Keyed> keyed, size_t offset, size_t count) const;
    const collation_t *coll_;
    std::vector<PagedContact> contacts_;
};

class SqlitePages {
  public:
    SqlitePages(const collation_t *coll, const std::vector<PagedContact> &contacts); // throws
    ~SqlitePages();
    SqlitePages(const SqlitePages &) = delete;
    SqlitePages &operator=(const SqlitePages &) = delete;
    Page range(size_t offset, size_t count) const;
    Page from(const std::string &text, size_t count) const;
    Page search(const std::string &text, size_t offset, size_t count) const;

  private:
    const collation_t *coll_;
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *range_ = nullptr;
    sqlite3_stmt *from_ = nullptr;
    sqlite3_stmt *words_ = nullptr;
    sqlite3_stmt *wordsOrDigits_ = nullptr;
};

} // namespace peers

#endif
