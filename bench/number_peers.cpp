#include "number_peers.hpp"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <system_error>

#include <phonenumbers/phonenumberutil.h>
#include <sqlite3.h>

#include "phonebook_zeb.h"

namespace peers {

// ---- Floor ----------------------------------------------------------------

Floor::Floor(const std::vector<HeldNumber> &numbers) {
    for (const HeldNumber &number : numbers)
        texts_.append(number.text).push_back('\0');
    // Pointers are taken once texts_ no longer grows.
    const char *text = texts_.data();
    for (const HeldNumber &number : numbers) {
        numbers_.push_back({text, number.contact});
        text += number.text.size() + 1;
    }
}

int Floor::find(const char *asked) const {
    for (const Number &number : numbers_) {
        if (compare_numbers(asked, number.text))
            return number.contact;
    }
    return -1;
}

// ---- SQLite ---------------------------------------------------------------

[[noreturn]] void sqliteFailed(sqlite3 *db, const char *what) {
    throw std::runtime_error(std::string("SQLite: ") + what + ": " + sqlite3_errmsg(db));
}

void sqliteExecute(sqlite3 *db, const char *sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        sqliteFailed(db, sql);
}

sqlite3_stmt *sqlitePrepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK)
        sqliteFailed(db, sql);
    return statement;
}

namespace {

// The first contact holding one notation, or none.
std::optional<int> firstHolding(sqlite3_stmt *lookup, bool international, const char *text,
                                size_t length) {
    sqlite3_bind_int(lookup, 1, international);
    sqlite3_bind_text(lookup, 2, text, static_cast<int>(length), SQLITE_STATIC);
    std::optional<int> contact;
    if (sqlite3_step(lookup) == SQLITE_ROW && sqlite3_column_type(lookup, 0) != SQLITE_NULL)
        contact = sqlite3_column_int(lookup, 0);
    sqlite3_reset(lookup);
    return contact;
}

struct Search {
    sqlite3_stmt *lookup;
    int first; // -1 while none
};

bool visitCandidate(bool international, const char *text, size_t length, void *userData) {
    auto *search = static_cast<Search *>(userData);
    std::optional<int> contact = firstHolding(search->lookup, international, text, length);
    if (contact && (search->first < 0 || *contact < search->first))
        search->first = *contact;
    return true;
}

bool countNotation(bool, const char *, size_t, void *userData) {
    ++*static_cast<int *>(userData);
    return true;
}

} // namespace

Sqlite::Sqlite(const std::vector<HeldNumber> &numbers) {
    if (sqlite3_open(":memory:", &db_) != SQLITE_OK)
        sqliteFailed(db_, "open");
    sqliteExecute(db_,
                  "CREATE TABLE number (contact INTEGER NOT NULL, international INTEGER NOT NULL, "
                  "text TEXT NOT NULL)");
    sqlite3_stmt *insert = sqlitePrepare(db_, "INSERT INTO number VALUES (?1, ?2, ?3)");
    sqliteExecute(db_, "BEGIN");
    for (const HeldNumber &number : numbers) {
        // Shorter numbers never match.
        if (number.text.size() < 2)
            continue;
        bool international = false;
        const char *text = nullptr;
        number_notation(number.text.c_str(), &international, &text);
        sqlite3_bind_int(insert, 1, number.contact);
        sqlite3_bind_int(insert, 2, international);
        sqlite3_bind_text(insert, 3, text, -1, SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE)
            sqliteFailed(db_, "insert");
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqliteExecute(db_, "COMMIT");
    // The contact in the index too: the smallest one is the first entry of
    // the notation's range, read without visiting the table.
    sqliteExecute(db_, "CREATE INDEX number_by_notation ON number (international, text, contact)");
    lookup_ = sqlitePrepare(
        db_, "SELECT min(contact) FROM number WHERE international = ?1 AND text = ?2");
}

Sqlite::~Sqlite() {
    sqlite3_finalize(lookup_);
    sqlite3_close(db_);
}

int Sqlite::find(const char *asked) const {
    Search search{lookup_, -1};
    number_forEachCandidate(asked, true, visitCandidate, &search);
    return search.first;
}

int Sqlite::notationsOf(const char *asked) {
    int notations = 0;
    number_forEachCandidate(asked, true, countNotation, &notations);
    return notations;
}

// ---- libphonenumber -------------------------------------------------------

bool libphonenumberMatches(const std::string &asked, const std::string &stored) {
    using i18n::phonenumbers::PhoneNumberUtil;
    PhoneNumberUtil::MatchType match =
        PhoneNumberUtil::GetInstance()->IsNumberMatchWithTwoStrings(asked, stored);
    return match == PhoneNumberUtil::NSN_MATCH || match == PhoneNumberUtil::EXACT_MATCH;
}

int Libphonenumber::find(const std::string &asked) const {
    for (const HeldNumber &number : numbers_) {
        if (libphonenumberMatches(asked, number.text))
            return number.contact;
    }
    return -1;
}

Libphonenumber::Verdicts Libphonenumber::verdicts(const std::string &asked) const {
    Verdicts verdicts{-1, 0};
    for (const HeldNumber &number : numbers_) {
        bool matches = libphonenumberMatches(asked, number.text);
        if (matches && verdicts.first < 0)
            verdicts.first = number.contact;
        if (matches != compare_numbers(asked.c_str(), number.text.c_str()))
            ++verdicts.judgedOtherwise;
    }
    return verdicts;
}

// ---- The calling code table -------------------------------------------------

void loadCallingCodes(const std::string &path) {
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/zeb-bench-ccc-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("cannot create a directory for the calling code table");
    fs::path root = pattern;
    std::error_code copied;
    fs::create_directories(root / "usr/lib/phonebook", copied);
    if (!copied)
        fs::copy_file(path, root / "usr/lib/phonebook/CCC.dat", copied);
    if (copied) {
        fs::remove_all(root, copied);
        throw std::runtime_error("cannot read the calling code table " + path);
    }
    const char *old = std::getenv("ZEB_SYSROOT");
    std::optional<std::string> saved;
    if (old != nullptr)
        saved = old;
    setenv("ZEB_SYSROOT", pattern, 1);
    bool loaded = read_ccc_file();
    if (saved)
        setenv("ZEB_SYSROOT", saved->c_str(), 1);
    else
        unsetenv("ZEB_SYSROOT");
    fs::remove_all(root, copied);
    if (!loaded || ccc_num == 0)
        throw std::runtime_error("cannot load the calling code table " + path);
}

} // namespace peers
