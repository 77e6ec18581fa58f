// The vCard reader: physical lines, unfolding, property lines, parameters,
// transfer encodings and character sets, and the BEGIN/END structure.
#include "zeb/vcard.hpp"
#include "vcard_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>

#include <iconv.h>

namespace vcard {

ReadError::ReadError(size_t lineNumber, const std::string &message)
    : std::runtime_error(lineNumber > 0 ? "line " + std::to_string(lineNumber) + ": " + message
                                        : message),
      line(lineNumber) {}

const Parameter *Property::parameter(std::string_view wanted) const {
    for (const Parameter &p : parameters) {
        if (p.name == wanted)
            return &p;
    }
    return nullptr;
}

bool Property::has(std::string_view wanted, std::string_view word) const {
    for (const Parameter &p : parameters) {
        if (p.name != wanted)
            continue;
        for (const std::string &v : p.values) {
            if (equalsIgnoringCase(v, word))
                return true;
        }
    }
    return false;
}

std::vector<std::string> splitEscaped(std::string_view text, char separator) {
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            pieces.back() += text.substr(i, 2);
            ++i;
        } else if (text[i] == separator) {
            pieces.emplace_back();
        } else {
            pieces.back() += text[i];
        }
    }
    return pieces;
}

std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c == '\\' && i + 1 < text.size()) {
            char next = text[i + 1];
            if (next == 'n' || next == 'N')
                out += '\n';
            else if (next == '\\' || next == ',' || next == ';' || next == ':')
                out += next;
            else
                out.append(text.substr(i, 2));
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

bool isUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        if (byte < 0x80)
            length = 1;
        else if ((byte >> 5) == 0x6)
            length = 2;
        else if ((byte >> 4) == 0xE)
            length = 3;
        else if ((byte >> 3) == 0x1E)
            length = 4;
        if (length == 0 || i + length > text.size())
            return false;
        uint32_t code = length == 1 ? byte : byte & (0x7Fu >> length);
        for (size_t k = 1; k < length; ++k) {
            auto follow = static_cast<unsigned char>(text[i + k]);
            if ((follow & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (follow & 0x3Fu);
        }
        static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

// `text` in the character set `from`, as UTF-8; false when iconv does not
// know the set or the text is not valid in it.
bool convertToUtf8(std::string_view text, const std::string &from, std::string &out) {
    iconv_t cd = iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    out.assign(text.size() * 2 + 16, '\0');
    char *in = const_cast<char *>(text.data());
    size_t inLeft = text.size();
    size_t used = 0;
    bool ok = true;
    for (;;) {
        char *outPtr = out.data() + used;
        size_t outLeft = out.size() - used;
        // With no input left, the call ends a state-dependent set's shift.
        size_t rc = inLeft > 0 ? iconv(cd, &in, &inLeft, &outPtr, &outLeft)
                               : iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
        used = out.size() - outLeft;
        if (rc != static_cast<size_t>(-1) && inLeft == 0 && in != nullptr) {
            in = nullptr; // once more, for the shift
            continue;
        }
        if (rc != static_cast<size_t>(-1) && in == nullptr)
            break;
        if (errno != E2BIG) {
            ok = false;
            break;
        }
        out.resize(out.size() * 2);
    }
    iconv_close(cd);
    out.resize(used);
    return ok;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = asciiUpper(c);
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Quoted-printable undone; soft line breaks are already joined. An '=' that
// starts no escape stays as it is.
std::string decodeQuotedPrintable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// RFC 6868 escapes of 4.0 parameter values: ^n, ^' and ^^.
std::string decodeCaret(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] == '^' && (next == 'n' || next == 'N' || next == '\'' || next == '^')) {
            out += next == '\'' ? '"' : next == '^' ? '^' : '\n';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool isNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

// The words of 2.1 that stand alone for an encoding.
bool isEncodingWord(std::string_view word) {
    for (const char *known : {"QUOTED-PRINTABLE", "BASE64", "8BIT", "7BIT", "B"}) {
        if (equalsIgnoringCase(word, known))
            return true;
    }
    return false;
}

class LineParser {
  public:
    LineParser(std::string_view text, bool caretEscapes, size_t maxValues)
        : text_(text), caret_(caretEscapes), maxValues_(maxValues) {}

    // Fills group, name, parameters and the raw value; false with `problem`
    // set when the line is not a property line.
    bool parse(Property &property, size_t line) {
        size_t nameEnd = 0;
        while (nameEnd < text_.size() && (isNameChar(text_[nameEnd]) || text_[nameEnd] == '.'))
            ++nameEnd;
        std::string_view fullName = text_.substr(0, nameEnd);
        size_t dot = fullName.rfind('.');
        if (dot != std::string_view::npos) {
            property.group = std::string(fullName.substr(0, dot));
            fullName = fullName.substr(dot + 1);
        }
        property.name = upper(fullName);
        if (property.name.empty() || nameEnd == text_.size() ||
            (text_[nameEnd] != ';' && text_[nameEnd] != ':')) {
            if (text_.find(':') == std::string_view::npos)
                property.problem = "no ':' in the line";
            else if (property.name.empty())
                property.problem = "no property name";
            else
                property.problem =
                    "the property name holds '" + std::string(1, text_[nameEnd]) + "'";
            if (property.name.empty())
                property.name = "?";
            return false;
        }
        pos_ = nameEnd;
        while (pos_ < text_.size() && text_[pos_] == ';') {
            ++pos_;
            if (!parseParameter(property, line))
                return false;
        }
        if (pos_ >= text_.size() || text_[pos_] != ':') {
            property.problem = "no ':' after the parameters";
            return false;
        }
        property.value = std::string(text_.substr(pos_ + 1));
        return true;
    }

    // What parse() read leniently, for the card's warnings.
    const std::vector<std::string> &oddities() const { return oddities_; }

  private:
    bool parseParameter(Property &property, size_t line) {
        size_t start = pos_;
        while (pos_ < text_.size() && isNameChar(text_[pos_]))
            ++pos_;
        std::string_view word = text_.substr(start, pos_ - start);
        std::string name = upper(word);
        if (pos_ < text_.size() && text_[pos_] == '=') {
            ++pos_;
            Parameter parameter{name, {}};
            for (;;) {
                std::string value;
                if (!parseValue(value, property))
                    return false;
                countValue(line);
                parameter.values.push_back(value);
                if (pos_ >= text_.size() || text_[pos_] != ',')
                    break;
                ++pos_;
            }
            property.parameters.push_back(std::move(parameter));
            return true;
        }
        if (pos_ < text_.size() && text_[pos_] != ';' && text_[pos_] != ':')
            return readOddParameter(property, start, line);
        if (name.empty()) // ";;" or ";:" — nothing to keep
            return true;
        countValue(line);
        // 2.1 writes the value alone: TEL;CELL;PREF, PHOTO;BASE64.
        property.parameters.push_back(
            {isEncodingWord(name) ? "ENCODING" : "TYPE", {std::string(word)}});
        return true;
    }

    // A parameter with characters its grammar does not allow, as exporters
    // write them ("TEL;X-Mobil privat:..."): a word alone is kept as a type
    // text, anything with a '=' is dropped; the property is kept either way.
    bool readOddParameter(Property &property, size_t start, size_t line) {
        pos_ = start;
        while (pos_ < text_.size() && text_[pos_] != ';' && text_[pos_] != ':') {
            size_t close = text_[pos_] == '"' ? text_.find('"', pos_ + 1) : pos_;
            if (close == std::string_view::npos) {
                property.problem = "a quoted parameter value has no closing '\"'";
                return false;
            }
            pos_ = close + 1;
        }
        std::string_view raw = text_.substr(start, pos_ - start);
        std::string_view word = trim(raw);
        bool plain = !word.empty() && word.find_first_of("=\"") == std::string_view::npos;
        bool nameOnly = plain && std::all_of(word.begin(), word.end(), isNameChar);
        if (nameOnly || plain) {
            countValue(line);
            bool encoding = nameOnly && isEncodingWord(word);
            property.parameters.push_back({encoding ? "ENCODING" : "TYPE", {std::string(word)}});
        }
        if (!nameOnly)
            oddities_.push_back("parameter \"" + std::string(raw.substr(0, 40)) + "\" " +
                                (plain ? "read as a type" : "left out"));
        return true;
    }

    bool parseValue(std::string &value, Property &property) {
        if (pos_ < text_.size() && text_[pos_] == '"') {
            size_t close = text_.find('"', pos_ + 1);
            if (close == std::string_view::npos) {
                property.problem = "a quoted parameter value has no closing '\"'";
                return false;
            }
            std::string_view raw = text_.substr(pos_ + 1, close - pos_ - 1);
            value = caret_ ? decodeCaret(raw) : std::string(raw);
            pos_ = close + 1;
            return true;
        }
        size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != ';' &&
               text_[pos_] != ':')
            ++pos_;
        std::string_view raw = text_.substr(start, pos_ - start);
        value = caret_ ? decodeCaret(raw) : std::string(raw);
        return true;
    }

    void countValue(size_t line) {
        if (++values_ > maxValues_)
            throw ReadError(line, "more than " + std::to_string(maxValues_) + " parameter values");
    }

    std::string_view text_;
    bool caret_;
    size_t maxValues_;
    size_t pos_ = 0;
    size_t values_ = 0;
    std::vector<std::string> oddities_;
};

// Makes `text` something the bus carries: UTF-8 (else read as ISO-8859-1)
// without NUL characters; `what` names it in warnings.
void makeCarriable(std::string &text, size_t line, const std::string &what,
                   std::vector<Note> &warnings) {
    if (!isUtf8(text)) {
        warnings.push_back({line, what + ": not UTF-8, read as ISO-8859-1"});
        text = latin1ToUtf8(text);
    }
    if (text.find('\0') != std::string::npos) {
        warnings.push_back({line, what + ": NUL characters removed"});
        std::string kept;
        for (char c : text) {
            if (c != '\0')
                kept += c;
        }
        text = std::move(kept);
    }
}

// Undoes the transfer encoding and the character set of a parsed value.
void decodeValue(Property &property, std::vector<Note> &warnings) {
    for (Parameter &parameter : property.parameters) {
        for (std::string &value : parameter.values)
            makeCarriable(value, property.line, property.name + ";" + parameter.name, warnings);
    }
    const Parameter *encoding = property.parameter("ENCODING");
    std::string encodingName = encoding != nullptr && !encoding->values.empty()
                                   ? upper(encoding->values.front())
                                   : std::string();
    if (encodingName == "B" || encodingName == "BASE64") {
        property.inlineData = true; // photos and sounds: nothing a contact holds
        property.value.clear();
        property.value.shrink_to_fit();
        return;
    }
    if (encodingName == "QUOTED-PRINTABLE")
        property.value = decodeQuotedPrintable(property.value);

    const Parameter *charset = property.parameter("CHARSET");
    std::string charsetName =
        charset != nullptr && !charset->values.empty() ? upper(charset->values.front()) : "";
    if (!charsetName.empty() && charsetName != "UTF-8" && charsetName != "UTF8") {
        std::string converted;
        if (!convertToUtf8(property.value, charsetName, converted)) {
            property.problem = "the value is not in the character set " + charsetName;
            property.value.clear();
            return;
        }
        property.value = std::move(converted);
    }
    // iconv's output is UTF-8 already; the test costs little and holds also
    // for sets that pass bytes through.
    makeCarriable(property.value, property.line, property.name, warnings);
}

// The physical lines of the file, split at CRLF, LF or CR, one at a time
// (a file of empty lines costs no memory per line).
class Lines {
  public:
    Lines(std::string_view text, size_t maxBytes) : text_(text), maxBytes_(maxBytes) {}

    bool done() const { return pos_ >= text_.size(); }
    // The number of the line take() gave last.
    size_t number() const { return number_; }
    // True when the next line goes on the one before: it starts with a blank.
    bool nextIsFold() const { return !done() && (text_[pos_] == ' ' || text_[pos_] == '\t'); }

    std::string_view take() {
        size_t end = text_.find_first_of("\r\n", pos_);
        if (end == std::string_view::npos)
            end = text_.size();
        ++number_;
        if (end - pos_ > maxBytes_)
            throw ReadError(number_, "longer than " + std::to_string(maxBytes_) + " bytes");
        std::string_view line = text_.substr(pos_, end - pos_);
        if (end + 1 < text_.size() && text_[end] == '\r' && text_[end + 1] == '\n')
            ++end;
        pos_ = end + 1;
        return line;
    }

  private:
    std::string_view text_;
    size_t maxBytes_;
    size_t pos_ = 0;
    size_t number_ = 0;
};

class Reader {
  public:
    Reader(std::string_view text, const Limits &limits)
        : limits_(limits), lines_(text, limits.lineBytes) {}

    // The next card into `card`; false at the end of the file. A line ends
    // at most one card, so one is kept at a time.
    bool next(Card &card) {
        while (!ready_ && !lines_.done()) {
            std::string logical(lines_.take());
            size_t line = lines_.number();
            appendFolds(logical, line);
            if (!trim(logical).empty())
                handle(logical, line);
        }
        if (!ready_ && current_ != nullptr) {
            current_->error = "line " + std::to_string(current_->line) +
                              ": the card has no END:VCARD before the end of the file";
            finishCard();
        }
        if (!ready_)
            return false;
        card = std::move(*ready_);
        ready_.reset();
        return true;
    }

  private:
    // Where the parameters of a line being unfolded end, found as it grows.
    struct Header {
        size_t scanned = 0;
        bool quoted = false;
        bool complete = false;
        bool quotedPrintable = false;
    };

    // A line that starts with a blank goes on the line before, unless that
    // one ends in a quoted-printable soft line break: handle() joins the
    // next line to it as it is, its blanks being text.
    void appendFolds(std::string &logical, size_t line) {
        Header header;
        while (lines_.nextIsFold() && !endsInSoftBreak(logical, header, line))
            append(logical, lines_.take().substr(1), line);
    }

    // The header is read once, when its ':' has come: a long value folded
    // into many lines ending in '=' costs no more than one pass.
    bool endsInSoftBreak(const std::string &logical, Header &header, size_t line) const {
        if (logical.empty() || logical.back() != '=')
            return false;
        for (; !header.complete && header.scanned < logical.size(); ++header.scanned) {
            char c = logical[header.scanned];
            header.quoted = header.quoted != (c == '"');
            if (c != ':' || header.quoted)
                continue;
            Property property;
            std::string_view head(logical.data(), header.scanned + 1);
            header.complete = true;
            header.quotedPrintable =
                LineParser(head, false, limits_.parametersPerProperty).parse(property, line) &&
                property.has("ENCODING", "QUOTED-PRINTABLE");
        }
        return header.quotedPrintable;
    }

    void append(std::string &logical, std::string_view more, size_t line) {
        if (logical.size() + more.size() > limits_.lineBytes)
            throw ReadError(line, "longer than " + std::to_string(limits_.lineBytes) +
                                      " bytes once unfolded");
        logical.append(more);
    }

    void handle(const std::string &logical, size_t line) {
        Property property;
        property.line = line;
        bool caret = current_ != nullptr && current_->version == "4.0";
        LineParser parser(logical, caret, limits_.parametersPerProperty);
        bool parsed = parser.parse(property, line);
        if (current_ != nullptr && nested_ == 0) {
            for (const std::string &oddity : parser.oddities())
                current_->warnings.push_back({line, property.name + ": " + oddity});
        }
        if (parsed && property.has("ENCODING", "QUOTED-PRINTABLE")) {
            // Soft line breaks: a value ending in '=' goes on with the next
            // line exactly as it is; after the last one, folds as anywhere.
            std::string &value = property.value;
            while (!lines_.done()) {
                if (!value.empty() && value.back() == '=') {
                    value.pop_back();
                    append(value, lines_.take(), line);
                } else if (lines_.nextIsFold()) {
                    append(value, lines_.take().substr(1), line);
                } else {
                    break;
                }
            }
        }
        bool structural = parsed && (property.name == "BEGIN" || property.name == "END") &&
                          equalsIgnoringCase(trim(property.value), "VCARD");
        if (structural && property.name == "BEGIN")
            begin(line);
        else if (structural)
            end(line);
        else if (nested_ > 0)
            return; // part of an embedded card
        else if (current_ == nullptr)
            throw ReadError(line, "expected BEGIN:VCARD, found \"" +
                                      std::string(logical.substr(0, 40)) + "\"");
        else if (parsed && property.name == "VERSION")
            version(trim(property.value), line);
        else
            add(std::move(property), parsed);
    }

    void begin(size_t line) {
        if (current_ != nullptr && (nested_ > 0 || embedsCard())) {
            if (++nested_ > limits_.nesting)
                throw ReadError(line, "cards nested more than " + std::to_string(limits_.nesting) +
                                          " deep");
            return;
        }
        if (current_ != nullptr) {
            current_->error = "line " + std::to_string(current_->line) +
                              ": the card has no END:VCARD before the next BEGIN:VCARD at line " +
                              std::to_string(line);
            finishCard();
        }
        if (finished_ >= limits_.cards)
            throw ReadError(line, "more than " + std::to_string(limits_.cards) + " cards");
        current_ = std::make_unique<Card>();
        current_->line = line;
    }

    // 2.1 embeds a card as the value of AGENT, on the lines after it.
    bool embedsCard() const {
        return !current_->properties.empty() && current_->properties.back().name == "AGENT" &&
               trim(current_->properties.back().value).empty();
    }

    void end(size_t line) {
        if (nested_ > 0) {
            --nested_;
            return;
        }
        if (current_ == nullptr)
            throw ReadError(line, "END:VCARD without BEGIN:VCARD");
        finishCard();
    }

    void version(std::string_view text, size_t line) {
        if (!current_->version.empty())
            return;
        current_->version = std::string(text);
        if (text != "2.1" && text != "3.0" && text != "4.0" && current_->error.empty())
            current_->error = "line " + std::to_string(line) + ": VERSION " +
                              std::string(text.substr(0, 20)) + " is not 2.1, 3.0 or 4.0";
    }

    void add(Property property, bool parsed) {
        if (current_->properties.size() >= limits_.propertiesPerCard)
            throw ReadError(property.line, "more than " +
                                               std::to_string(limits_.propertiesPerCard) +
                                               " properties in the card begun at line " +
                                               std::to_string(current_->line));
        if (++properties_ > limits_.properties)
            throw ReadError(property.line, "more than " + std::to_string(limits_.properties) +
                                               " properties in the file");
        if (parsed)
            decodeValue(property, current_->warnings);
        else
            property.value.clear();
        current_->properties.push_back(std::move(property));
    }

    void finishCard() {
        ready_ = std::move(current_);
        ++finished_;
        nested_ = 0;
    }

    const Limits &limits_;
    Lines lines_;
    size_t properties_ = 0;
    size_t finished_ = 0;
    std::unique_ptr<Card> ready_;
    std::unique_ptr<Card> current_;
    size_t nested_ = 0;
};

// The text as UTF-8 without a byte order mark; UTF-16 is converted into
// `storage`.
std::string_view withoutByteOrderMark(std::string_view file, std::string &storage) {
    if (file.size() >= 3 && file.substr(0, 3) == "\xEF\xBB\xBF")
        return file.substr(3);
    bool little = file.size() >= 2 && file.substr(0, 2) == "\xFF\xFE";
    bool big = file.size() >= 2 && file.substr(0, 2) == "\xFE\xFF";
    if (!little && !big)
        return file;
    if (!convertToUtf8(file.substr(2), little ? "UTF-16LE" : "UTF-16BE", storage))
        throw ReadError(0, "the file starts as UTF-16 but is not valid UTF-16");
    return storage;
}

} // namespace

struct CardReader::State {
    State(std::string_view file, const Limits &given) : limits(given) {
        if (file.size() > limits.fileBytes)
            throw ReadError(0, "the file is larger than " + std::to_string(limits.fileBytes) +
                                   " bytes");
        reader = std::make_unique<Reader>(withoutByteOrderMark(file, storage), limits);
    }
    Limits limits;
    std::string storage; // the text converted from UTF-16
    std::unique_ptr<Reader> reader;
};

CardReader::CardReader(std::string_view file, const Limits &limits)
    : state_(std::make_unique<State>(file, limits)) {}

CardReader::~CardReader() = default;

bool CardReader::next(Card &card) {
    return state_->reader->next(card);
}

std::vector<Card> read(std::string_view file, const Limits &limits) {
    std::vector<Card> cards;
    CardReader reader(file, limits);
    for (Card card; reader.next(card);)
        cards.push_back(std::move(card));
    return cards;
}

} // namespace vcard
