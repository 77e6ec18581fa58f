/*
 * The text form of a legacy configuration file (docs/legacy-store-format.md).
 *
 * A file is a sequence of lines ended by "\n": blank lines, comments ("#"),
 * section headers ("[name]") and assignments (key = value). The phonebook
 * is the consecutive run of sections starting at "[phonebook]"; every other
 * byte of the file is kept as read and written back unchanged.
 */
#include <cstring>

#include "tessel_internal.h"

namespace tessel {

const char *const kFieldKeys[kFieldCount] = {
    "Name",  "FormattedName", "UniqueID", "LastRevision", "BirthDay",
    "Title", "Organisation",  "Url",      "Ringtone",     "Tags",
};

const ListNames kListNames[kListCount] = {
    {"address", "AddressValue", "AddressType", "AddressPreferred"},
    {"label", "LabelValue", "LabelType", "LabelPreferred"},
    {"telephone", "TelephoneNumber", "TelephoneType", "TelephonePreferred"},
    {"email", "EmailAddress", "EmailType", "EmailPreferred"},
};

namespace {

const char kPhonebookSection[] = "phonebook";
const char kEntrySection[] = "phonebook.entry";

/* Length of the well-formed UTF-8 sequence at text[at] (a lead byte of 0x80
 * or more), or 0 when the bytes there are not one. */
size_t utf8Length(const std::string &text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length;
    unsigned char low = 0x80, high = 0xBF; /* range of the second byte */
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; /* no overlong forms */
        else if (lead == 0xED)
            high = 0x9F; /* no surrogates */
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F; /* nothing above U+10FFFF */
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; i++)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return length;
}

bool isNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Where the parser is: before any section, in a section of its own, or in
 * one of the phonebook's sections. */
enum class Place { kPreamble, kOther, kPhonebook, kEntry, kSubRecord };

bool inPhonebook(Place place) {
    return place == Place::kPhonebook || place == Place::kEntry || place == Place::kSubRecord;
}

/* One assignment as read: its key, and either a quoted text (decoded) or a
 * bare word. */
struct Assignment {
    std::string key;
    std::string value;
    bool quoted = false;
};

class Parser {
  public:
    Parser(const std::string &text, Document &document, ParseError &error)
        : text_(text), document_(document), error_(error) {}

    bool run() {
        if (const void *nul = memchr(text_.data(), '\0', text_.size()))
            return failAt(static_cast<const char *>(nul) - text_.data(), "NUL byte");
        size_t start = 0;
        while (start < text_.size()) {
            line_++;
            size_t newline = text_.find('\n', start);
            end_ = newline == std::string::npos ? text_.size() : newline;
            pos_ = start;
            if (!parseLine(start))
                return false;
            start = newline == std::string::npos ? text_.size() : newline + 1;
        }
        if (inPhonebook(place_))
            phonebookEnd_ = text_.size();
        if (document_.hadPhonebook) {
            document_.before = text_.substr(0, phonebookStart_);
            document_.after = text_.substr(phonebookEnd_);
        } else {
            document_.before = text_;
        }
        return true;
    }

  private:
    const std::string &text_;
    Document &document_;
    ParseError &error_;
    size_t line_ = 0;
    size_t pos_ = 0; /* read position, inside the current line */
    size_t end_ = 0; /* end of the current line, at its "\n" */
    Place place_ = Place::kPreamble;
    List list_ = kAddresses; /* the list of the current sub-record section */
    size_t phonebookStart_ = 0, phonebookEnd_ = 0;

    bool fail(const std::string &message) {
        error_.line = line_;
        error_.message = message;
        return false;
    }

    bool failAt(size_t position, const std::string &message) {
        line_ = 1;
        for (size_t i = 0; i < position; i++)
            line_ += text_[i] == '\n';
        return fail(message);
    }

    char peek() const { return pos_ < end_ ? text_[pos_] : '\n'; }
    void skipBlanks() {
        while (pos_ < end_ && isBlank(text_[pos_]))
            pos_++;
    }
    bool atEnd() {
        skipBlanks();
        return pos_ == end_;
    }

    bool parseLine(size_t start) {
        skipBlanks();
        if (pos_ == end_)
            return true;
        if (text_[pos_] == '#')
            return true; /* a comment holds any bytes but NUL */
        if (memchr(text_.data() + start, '\r', end_ - start) != nullptr)
            return fail("carriage return outside a comment");
        if (text_[pos_] == '[')
            return parseHeader(start);
        return parseAssignment();
    }

    std::string readName() {
        size_t from = pos_;
        while (pos_ < end_ && isNameByte(text_[pos_]))
            pos_++;
        return text_.substr(from, pos_ - from);
    }

    bool parseHeader(size_t start) {
        pos_++;
        std::string name = readName();
        if (name.empty())
            return fail("section name expected after '['");
        if (peek() != ']')
            return fail("invalid character in the section name");
        pos_++;
        if (!atEnd())
            return fail("unexpected text after the section header");
        return enterSection(name, start);
    }

    bool enterSection(const std::string &name, size_t start) {
        if (name == kPhonebookSection) {
            if (document_.hadPhonebook)
                return fail("a second [phonebook] section");
            document_.hadPhonebook = true;
            phonebookStart_ = start;
            place_ = Place::kPhonebook;
            return true;
        }
        if (name.compare(0, strlen(kPhonebookSection) + 1, std::string(kPhonebookSection) + ".") !=
            0) {
            if (inPhonebook(place_))
                phonebookEnd_ = start;
            place_ = Place::kOther;
            return true;
        }
        if (!inPhonebook(place_))
            return fail("[" + name +
                        "] outside the phonebook: it must follow [phonebook] or "
                        "another phonebook section");
        std::vector<Record> &records = document_.records;
        if (name == kEntrySection) {
            if (records.size() >= TESSEL_MAX_ENTRIES)
                return fail("more than " + std::to_string(TESSEL_MAX_ENTRIES) + " entries");
            records.emplace_back();
            place_ = Place::kEntry;
            return true;
        }
        for (int list = 0; list < kListCount; list++) {
            if (name != std::string(kEntrySection) + "." + kListNames[list].section)
                continue;
            if (records.empty())
                return fail("[" + name + "] before the first [phonebook.entry]");
            std::vector<SubRecord> &subRecords = records.back().lists[list];
            if (subRecords.size() >= TESSEL_MAX_SUBRECORDS)
                return fail("more than " + std::to_string(TESSEL_MAX_SUBRECORDS) + " [" + name +
                            "] sections in one entry");
            subRecords.emplace_back();
            list_ = static_cast<List>(list);
            place_ = Place::kSubRecord;
            return true;
        }
        return fail("unknown section [" + name + "]");
    }

    /* Decodes a quoted value; pos_ is at the opening quote. */
    bool readQuoted(std::string &value) {
        pos_++;
        while (true) {
            if (pos_ == end_)
                return fail("unterminated value: closing '\"' missing");
            if (value.size() > TESSEL_MAX_VALUE_LENGTH)
                return fail("value longer than " + std::to_string(TESSEL_MAX_VALUE_LENGTH) +
                            " bytes");
            unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') {
                pos_++;
                return true;
            }
            if (c == '\\') {
                if (!readEscape(value))
                    return false;
                continue;
            }
            if (c < 0x20 || c == 0x7F)
                return fail("control character in a value: write it as an escape");
            if (c >= 0x80) {
                size_t length = utf8Length(text_, pos_);
                if (length == 0 || pos_ + length > end_)
                    return fail("invalid UTF-8 in a value: write such bytes as \\xHH");
                value.append(text_, pos_, length);
                pos_ += length;
                continue;
            }
            value += static_cast<char>(c);
            pos_++;
        }
    }

    bool readEscape(std::string &value) {
        pos_++;
        char c = peek();
        pos_++;
        switch (c) {
        case '\\':
            value += '\\';
            return true;
        case '"':
            value += '"';
            return true;
        case 'n':
            value += '\n';
            return true;
        case 't':
            value += '\t';
            return true;
        case 'r':
            value += '\r';
            return true;
        case 'x': {
            int high = hexDigit(peek());
            pos_++;
            int low = hexDigit(peek());
            pos_++;
            if (high < 0 || low < 0)
                return fail("\\x must be followed by two hexadecimal digits");
            if (high == 0 && low == 0)
                return fail("\\x00: a value cannot hold a NUL byte");
            value += static_cast<char>(high * 16 + low);
            return true;
        }
        default:
            return fail("unknown escape in a value");
        }
    }

    /* A bare word: bytes above the space except '"', '#' and DEL; UTF-8. */
    bool readBare(std::string &value) {
        size_t from = pos_;
        while (pos_ < end_) {
            unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (c <= 0x20 || c == '"' || c == '#' || c == 0x7F)
                break;
            if (c >= 0x80) {
                size_t length = utf8Length(text_, pos_);
                if (length == 0 || pos_ + length > end_)
                    return fail("invalid UTF-8 in a value");
                pos_ += length;
            } else {
                pos_++;
            }
        }
        if (pos_ == from)
            return fail(pos_ == end_ ? "value missing after '='" : "invalid character in a value");
        if (pos_ - from > TESSEL_MAX_VALUE_LENGTH)
            return fail("value longer than " + std::to_string(TESSEL_MAX_VALUE_LENGTH) + " bytes");
        value = text_.substr(from, pos_ - from);
        return true;
    }

    bool parseAssignment() {
        Assignment assignment;
        assignment.key = readName();
        if (assignment.key.empty())
            return fail("key, section header or comment expected");
        skipBlanks();
        if (peek() != '=')
            return fail("'=' expected after the key " + assignment.key);
        pos_++;
        skipBlanks();
        assignment.quoted = peek() == '"';
        if (!(assignment.quoted ? readQuoted(assignment.value) : readBare(assignment.value)))
            return false;
        if (!atEnd())
            return fail("unexpected text after the value of " + assignment.key);
        return assign(assignment);
    }

    bool assign(const Assignment &assignment) {
        switch (place_) {
        case Place::kPreamble:
            return fail("assignment before the first section header");
        case Place::kOther:
            return true;
        case Place::kPhonebook:
            return fail("unknown key " + assignment.key + " in [phonebook]");
        case Place::kEntry:
            return assignField(assignment);
        case Place::kSubRecord:
            return assignSubRecord(assignment);
        }
        return false;
    }

    bool assignText(std::optional<std::string> &field, const Assignment &assignment) {
        if (field.has_value())
            return fail("duplicate key " + assignment.key);
        if (!assignment.quoted)
            return fail("the value of " + assignment.key + " must be quoted");
        field = assignment.value;
        return true;
    }

    bool assignField(const Assignment &assignment) {
        for (int field = 0; field < kFieldCount; field++)
            if (assignment.key == kFieldKeys[field])
                return assignText(document_.records.back().fields[field], assignment);
        return fail("unknown key " + assignment.key + " in [phonebook.entry]");
    }

    bool assignSubRecord(const Assignment &assignment) {
        const ListNames &names = kListNames[list_];
        SubRecord &subRecord = document_.records.back().lists[list_].back();
        if (assignment.key == names.value)
            return assignText(subRecord.value, assignment);
        if (assignment.key == names.type)
            return assignText(subRecord.type, assignment);
        if (assignment.key != names.flag)
            return fail("unknown key " + assignment.key + " in [phonebook.entry." + names.section +
                        "]");
        if (subRecord.flag.has_value())
            return fail("duplicate key " + assignment.key);
        if (assignment.quoted || (assignment.value != "true" && assignment.value != "false"))
            return fail("the value of " + assignment.key + " must be true or false");
        subRecord.flag = assignment.value == "true";
        return true;
    }
};

/* Appends `value` in double quotes, escaping what a quoted value cannot hold
 * as it is: quotes, backslashes, control bytes and bytes that are not
 * well-formed UTF-8. */
void appendQuoted(std::string &out, const std::string &value) {
    static const char kHex[] = "0123456789ABCDEF";
    out += '"';
    for (size_t i = 0; i < value.size();) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        size_t length = c >= 0x80 ? utf8Length(value, i) : 1;
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F || length == 0) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out.append(value, i, length);
            i += length;
            continue;
        }
        i++;
    }
    out += '"';
}

void appendText(std::string &out, const char *key, const std::optional<std::string> &value) {
    if (!value.has_value())
        return;
    out += key;
    out += " = ";
    appendQuoted(out, *value);
    out += '\n';
}

void appendRecord(std::string &out, const Record &record) {
    out += "\n[";
    out += kEntrySection;
    out += "]\n";
    for (int field = 0; field < kFieldCount; field++)
        appendText(out, kFieldKeys[field], record.fields[field]);
    for (int list = 0; list < kListCount; list++) {
        const ListNames &names = kListNames[list];
        for (const SubRecord &subRecord : record.lists[list]) {
            out += "\n[";
            out += kEntrySection;
            out += '.';
            out += names.section;
            out += "]\n";
            appendText(out, names.value, subRecord.value);
            appendText(out, names.type, subRecord.type);
            if (subRecord.flag.has_value()) {
                out += names.flag;
                out += *subRecord.flag ? " = true\n" : " = false\n";
            }
        }
    }
}

} // namespace

bool parse(const std::string &text, Document &document, ParseError &error) {
    document = Document();
    return Parser(text, document, error).run();
}

std::string serialize(const Document &document) {
    std::string out = document.before;
    if (!out.empty() && out.back() != '\n')
        out += '\n';
    /* A phonebook new to the file is set apart from the section before it. */
    bool blankLineLast = out.size() >= 2 && out.compare(out.size() - 2, 2, "\n\n") == 0;
    if (!document.hadPhonebook && !out.empty() && !blankLineLast)
        out += '\n';
    out += '[';
    out += kPhonebookSection;
    out += "]\n";
    for (const Record &record : document.records)
        appendRecord(out, record);
    if (!document.after.empty())
        out += '\n';
    out += document.after;
    return out;
}

} // namespace tessel
