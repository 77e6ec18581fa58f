#include "page_peers.hpp"

#include <algorithm>
#include <stdexcept>

#include <sqlite3.h>

#include "number_peers.hpp"

namespace peers {

namespace {

// Words end at ASCII characters other than letters and digits, as the
// plug-in splits them.
bool separates(unsigned char c) {
    return c < 0x80 && !((c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'));
}

void addWordKeys(const collation_t *coll, const std::string &text, std::vector<std::string> *keys) {
    for (size_t i = 0; i < text.size();) {
        while (i < text.size() && separates(static_cast<unsigned char>(text[i])))
            ++i;
        size_t start = i;
        while (i < text.size() && !separates(static_cast<unsigned char>(text[i])))
            ++i;
        std::string key =
            collation_sortKeyString(coll, text.substr(start, i - start), COLLATION_PRIMARY);
        if (!key.empty())
            keys->push_back(std::move(key));
    }
}

bool beginsWith(const std::string &key, const std::string &prefix) {
    return key.compare(0, prefix.size(), prefix) == 0;
}

// Whether the contact is found by a search for `prefix` (primary key) or,
// when there are three of them, `digits`.
bool found(const PagedContact &contact, const std::string &prefix, const std::string &digits) {
    bool byWord =
        !prefix.empty() && std::any_of(contact.words.begin(), contact.words.end(),
                                       [&](const auto &w) { return beginsWith(w, prefix); });
    return byWord ||
           (digits.size() >= 3 &&
            std::any_of(contact.numbers.begin(), contact.numbers.end(),
                        [&](const auto &n) { return n.find(digits) != std::string::npos; }));
}

std::string primaryKey(const collation_t *coll, const std::string &text) {
    return collation_sortKeyString(coll, text, COLLATION_PRIMARY);
}

// The least key after every key beginning with `prefix`; empty when none is
// (an empty prefix, or one of 0xff bytes only).
std::string afterPrefix(std::string prefix) {
    while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xff)
        prefix.pop_back();
    if (!prefix.empty())
        prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
    return prefix;
}

void bindBlob(sqlite3_stmt *statement, int at, const std::string &bytes) {
    sqlite3_bind_blob(statement, at, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
}

// The texts of the rows, then the statement reset for the next call.
Page rowsOf(sqlite3_stmt *statement) {
    Page page;
    while (sqlite3_step(statement) == SQLITE_ROW)
        page.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)),
                          static_cast<size_t>(sqlite3_column_bytes(statement, 0)));
    sqlite3_reset(statement);
    return page;
}

} // namespace

std::string digitsOf(const std::string &text) {
    std::string digits;
    std::copy_if(text.begin(), text.end(), std::back_inserter(digits),
                 [](char c) { return c >= '0' && c <= '9'; });
    return digits;
}

PagedContact pagedContact(const collation_t *coll, const std::string &uniqueID,
                          const std::string &formattedName, const std::vector<std::string> &texts,
                          const std::vector<std::string> &numbers, std::string text) {
    PagedContact contact;
    contact.key = collation_sortKeyString(coll, formattedName, COLLATION_TERTIARY);
    contact.key += '\0';
    contact.key += uniqueID;
    for (const std::string &searched : texts)
        addWordKeys(coll, searched, &contact.words);
    for (const std::string &number : numbers)
        contact.numbers.push_back(digitsOf(number));
    contact.text = std::move(text);
    return contact;
}

// ---- The floor ------------------------------------------------------------

SortFloor::SortFloor(const collation_t *coll, std::vector<PagedContact> contacts)
    : coll_(coll), contacts_(std::move(contacts)) {}

Page SortFloor::sortedPage(std::vector<Keyed> keyed, size_t offset, size_t count) const {
    std::sort(keyed.begin(), keyed.end(),
              [](const Keyed &a, const Keyed &b) { return *a.first < *b.first; });
    Page page;
    for (size_t i = offset; i < keyed.size() && i < offset + count; ++i)
        page.push_back(contacts_[keyed[i].second].text);
    return page;
}

Page SortFloor::range(size_t offset, size_t count) const {
    std::vector<Keyed> keyed;
    keyed.reserve(contacts_.size());
    for (uint32_t i = 0; i < contacts_.size(); ++i)
        keyed.emplace_back(&contacts_[i].key, i);
    return sortedPage(std::move(keyed), offset, count);
}

Page SortFloor::from(const std::string &text, size_t count) const {
    std::vector<Keyed> keyed;
    keyed.reserve(contacts_.size());
    for (uint32_t i = 0; i < contacts_.size(); ++i)
        keyed.emplace_back(&contacts_[i].key, i);
    std::sort(keyed.begin(), keyed.end(),
              [](const Keyed &a, const Keyed &b) { return *a.first < *b.first; });
    std::string key = primaryKey(coll_, text);
    auto first =
        std::lower_bound(keyed.begin(), keyed.end(), key,
                         [](const Keyed &e, const std::string &k) { return *e.first < k; });
    Page page;
    for (auto it = first; it != keyed.end() && page.size() < count; ++it)
        page.push_back(contacts_[it->second].text);
    return page;
}

Page SortFloor::search(const std::string &text, size_t offset, size_t count) const {
    std::string prefix = primaryKey(coll_, text);
    std::string digits = digitsOf(text);
    std::vector<Keyed> keyed;
    for (uint32_t i = 0; i < contacts_.size(); ++i) {
        if (found(contacts_[i], prefix, digits))
            keyed.emplace_back(&contacts_[i].key, i);
    }
    return sortedPage(std::move(keyed), offset, count);
}

// ---- SQLite ---------------------------------------------------------------

SqlitePages::SqlitePages(const collation_t *coll, const std::vector<PagedContact> &contacts)
    : coll_(coll) {
    if (sqlite3_open(":memory:", &db_) != SQLITE_OK)
        sqliteFailed(db_, "open");
    sqliteExecute(db_, "CREATE TABLE contact (id INTEGER PRIMARY KEY, key BLOB NOT NULL, "
                       "text TEXT NOT NULL);"
                       "CREATE TABLE word (word BLOB NOT NULL, contact INTEGER NOT NULL);"
                       "CREATE TABLE number (digits TEXT NOT NULL, contact INTEGER NOT NULL)");
    sqlite3_stmt *inserts[] = {sqlitePrepare(db_, "INSERT INTO contact VALUES (?1, ?2, ?3)"),
                               sqlitePrepare(db_, "INSERT INTO word VALUES (?2, ?1)"),
                               sqlitePrepare(db_, "INSERT INTO number VALUES (?2, ?1)")};
    auto insert = [&](sqlite3_stmt *statement, int id, const std::string &blob,
                      const std::string *text) {
        sqlite3_bind_int(statement, 1, id);
        bindBlob(statement, 2, blob);
        if (text != nullptr)
            sqlite3_bind_text(statement, 3, text->data(), static_cast<int>(text->size()),
                              SQLITE_STATIC);
        if (sqlite3_step(statement) != SQLITE_DONE)
            sqliteFailed(db_, "insert");
        sqlite3_reset(statement);
    };
    sqliteExecute(db_, "BEGIN");
    for (int id = 0; id < static_cast<int>(contacts.size()); ++id) {
        const PagedContact &contact = contacts[static_cast<size_t>(id)];
        insert(inserts[0], id, contact.key, &contact.text);
        for (const std::string &word : contact.words)
            insert(inserts[1], id, word, nullptr);
        for (const std::string &digits : contact.numbers) {
            sqlite3_bind_int(inserts[2], 1, id);
            sqlite3_bind_text(inserts[2], 2, digits.data(), static_cast<int>(digits.size()),
                              SQLITE_STATIC);
            if (sqlite3_step(inserts[2]) != SQLITE_DONE)
                sqliteFailed(db_, "insert");
            sqlite3_reset(inserts[2]);
        }
    }
    for (sqlite3_stmt *statement : inserts)
        sqlite3_finalize(statement);
    sqliteExecute(db_, "COMMIT");
    sqliteExecute(db_, "CREATE INDEX contact_by_key ON contact (key);"
                       "CREATE INDEX word_by_word ON word (word, contact);"
                       "ANALYZE");
    range_ = sqlitePrepare(db_, "SELECT text FROM contact ORDER BY key LIMIT ?2 OFFSET ?1");
    from_ = sqlitePrepare(db_, "SELECT text FROM contact WHERE key >= ?1 ORDER BY key LIMIT ?2");
    words_ = sqlitePrepare(db_, "SELECT text FROM contact WHERE id IN (SELECT contact FROM word "
                                "WHERE word >= ?1 AND word < ?2) ORDER BY key LIMIT ?4 OFFSET ?3");
    wordsOrDigits_ =
        sqlitePrepare(db_, "SELECT text FROM contact WHERE id IN (SELECT contact FROM word "
                           "WHERE word >= ?1 AND word < ?2) OR id IN (SELECT contact FROM "
                           "number WHERE instr(digits, ?5) > 0) ORDER BY key LIMIT ?4 OFFSET ?3");
}

SqlitePages::~SqlitePages() {
    for (sqlite3_stmt *statement : {range_, from_, words_, wordsOrDigits_})
        sqlite3_finalize(statement);
    sqlite3_close(db_);
}

Page SqlitePages::range(size_t offset, size_t count) const {
    sqlite3_bind_int64(range_, 1, static_cast<sqlite3_int64>(offset));
    sqlite3_bind_int64(range_, 2, static_cast<sqlite3_int64>(count));
    return rowsOf(range_);
}

Page SqlitePages::from(const std::string &text, size_t count) const {
    std::string key = primaryKey(coll_, text);
    bindBlob(from_, 1, key);
    sqlite3_bind_int64(from_, 2, static_cast<sqlite3_int64>(count));
    return rowsOf(from_);
}

Page SqlitePages::search(const std::string &text, size_t offset, size_t count) const {
    std::string prefix = primaryKey(coll_, text);
    // An empty prefix finds no word, as in the plug-in; nor does one of 0xff
    // bytes alone, which no bound follows (no letter weighs so).
    std::string after = afterPrefix(prefix);
    if (after.empty())
        prefix.clear();
    std::string digits = digitsOf(text);
    sqlite3_stmt *statement = digits.size() >= 3 ? wordsOrDigits_ : words_;
    bindBlob(statement, 1, prefix);
    bindBlob(statement, 2, after);
    sqlite3_bind_int64(statement, 3, static_cast<sqlite3_int64>(offset));
    sqlite3_bind_int64(statement, 4, static_cast<sqlite3_int64>(count));
    if (statement == wordsOrDigits_)
        sqlite3_bind_text(statement, 5, digits.data(), static_cast<int>(digits.size()),
                          SQLITE_STATIC);
    return rowsOf(statement);
}

} // namespace peers
