// From a contact map to a vCard 3.0 or 4.0: escaping, parameters, dates and
// folding.
#include "zeb/vcard.hpp"
#include "vcard_text.h"

namespace vcard {

namespace {

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n';
}

// A text value: backslash, line breaks, ';' and (unless `keepCommas`) ','
// escaped; other control characters have no form in a vCard and go.
std::string escapeText(std::string_view text, bool keepCommas = false) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == ';' || (c == ',' && !keepCommas))
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else if (!isControl(c))
            out += c;
    }
    return out;
}

// A URI value is written as it is, without control characters.
std::string uriValue(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (!isControl(c) && c != '\n')
            out += c;
    }
    return out;
}

// Parameter values hold anything but controls, '"', ';', ':' and ','
// unquoted; 4.0 reads '^' as an escape in both forms.
bool needsQuotes(std::string_view text) {
    for (char c : text) {
        if (isControl(c) || c == '\n' || c == '"' || c == ';' || c == ':' || c == ',' || c == '^')
            return true;
    }
    return text.empty();
}

// A quoted parameter value. 4.0 escapes what quotes cannot hold with '^'
// (^n, ^', ^^); 3.0 has no such escape.
std::string quoted(std::string_view text, Version version) {
    std::string out = "\"";
    for (char c : text) {
        if (version == Version::v40 && c == '^')
            out += "^^";
        else if (version == Version::v40 && c == '"')
            out += "^'";
        else if (version == Version::v40 && c == '\n')
            out += "^n";
        else if (c == '"')
            out += '\'';
        else if (c == '\n')
            out += ' ';
        else if (!isControl(c))
            out += c;
    }
    return out + "\"";
}

std::string parameterValue(std::string_view text, Version version) {
    return needsQuotes(text) ? quoted(text, version) : std::string(text);
}

// The line with its CRLF, cut so that no line passes 75 octets; a cut never
// falls inside a UTF-8 sequence.
void appendFolded(std::string &out, std::string_view line) {
    const size_t kWidth = 75;
    size_t width = kWidth;
    while (line.size() > width) {
        size_t cut = width;
        while (cut > width - 3 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut;
        out.append(line.substr(0, cut));
        out += "\r\n ";
        line.remove_prefix(cut);
        width = kWidth - 1; // the leading space counts
    }
    out.append(line);
    out += "\r\n";
}

struct Element {
    std::string name;
    std::vector<std::string> types;
    bool preferred = false;
};

std::vector<Element> elementsOf(const json &contact, const char *key) {
    std::vector<Element> elements;
    auto list = contact.find(key);
    if (list == contact.end() || !list->is_array())
        return elements;
    for (const json &item : *list) {
        if (!item.is_object() || textOf(item, "name").empty())
            continue;
        Element element{textOf(item, "name"), {}, false};
        for (const std::string &type : splitEscaped(textOf(item, "type"), ',')) {
            if (!trim(type).empty())
                element.types.emplace_back(trim(type));
        }
        auto preferred = item.find("preferred");
        element.preferred =
            preferred != item.end() && preferred->is_boolean() && preferred->get<bool>();
        elements.push_back(std::move(element));
    }
    return elements;
}

class CardWriter {
  public:
    CardWriter(const json &contact, Version version) : c_(contact), v_(version) {}

    std::string run() {
        line("BEGIN:VCARD");
        line(v4() ? "VERSION:4.0" : "VERSION:3.0");
        std::string formattedName = textOf(c_, "formattedName");
        line("FN:" + escapeText(formattedName.empty() ? fallbackFormattedName(c_) : formattedName));
        name();
        uid();
        date("REV", "lastRevision");
        date("BDAY", "birthDay");
        text("TITLE", "title");
        organisation();
        uri("URL", textOf(c_, "url"));
        categories();
        for (const Element &e : elementsOf(c_, "telephoneNumbers"))
            telephone(e);
        for (const Element &e : elementsOf(c_, "emails"))
            line("EMAIL" + parameters(e.types, e.preferred) + ":" + escapeText(e.name));
        for (const Element &e : elementsOf(c_, "addresses"))
            line("ADR" + parameters(e.types, e.preferred) + ":;;" + escapeText(e.name) + ";;;;");
        for (const Element &e : elementsOf(c_, "labels"))
            label(e);
        for (const Element &e : elementsOf(c_, "photos"))
            photo(e);
        text("X-RINGTONE", "ringtone");
        line("END:VCARD");
        return std::move(out_);
    }

  private:
    bool v4() const { return v_ == Version::v40; }
    void line(const std::string &text) { appendFolded(out_, text); }

    void text(const char *property, const char *key) {
        std::string value = textOf(c_, key);
        if (!value.empty())
            line(property + (":" + escapeText(value)));
    }

    void uri(const char *property, const std::string &value) {
        if (!value.empty())
            line(property + (":" + uriValue(value)));
    }

    // ";TYPE=a,b" (with pref in 3.0) and ";PREF=1" in 4.0.
    std::string parameters(const std::vector<std::string> &types, bool preferred) const {
        std::vector<std::string> words;
        for (const std::string &type : types)
            words.push_back(parameterValue(type, v_));
        if (preferred && !v4())
            words.emplace_back("pref");
        std::string out = words.empty() ? "" : ";TYPE=" + join(words, ",");
        if (preferred && v4())
            out += ";PREF=1";
        return out;
    }

    // N: five components; the phonebook keeps them joined by ';'. Commas
    // separate the values of one component, as in the card they came from.
    void name() {
        std::string stored = textOf(c_, "name");
        if (stored.empty() && v4())
            return;
        std::vector<std::string> parts = splitEscaped(stored, ';');
        while (parts.size() > 5) {
            parts[4] = join({parts[4], parts.back()}, " ");
            parts.pop_back();
        }
        parts.resize(5);
        std::string value;
        for (size_t i = 0; i < parts.size(); ++i)
            value += (i > 0 ? ";" : "") + escapeText(unescape(parts[i]), true);
        line("N:" + value);
    }

    void organisation() {
        std::string stored = textOf(c_, "organisation");
        if (stored.empty())
            return;
        std::string value;
        std::vector<std::string> parts = splitEscaped(stored, ';');
        for (size_t i = 0; i < parts.size(); ++i)
            value += (i > 0 ? ";" : "") + escapeText(unescape(parts[i]));
        line("ORG:" + value);
    }

    // 4.0 takes a URI by default, text when told so.
    void uid() {
        std::string value = textOf(c_, "uniqueID");
        if (value.empty())
            return;
        if (v4() && hasScheme(value))
            line("UID:" + uriValue(value));
        else
            line((v4() ? "UID;VALUE=text:" : "UID:") + escapeText(value));
    }

    // The phonebook's 1970-01-01T00:00:00Z stands for no date. A birthday in
    // year 1604 is one whose year is unknown.
    void date(const char *property, const char *key) {
        std::string value = parseDateTime(textOf(c_, key));
        if (value.empty() || value == "1970-01-01T00:00:00Z")
            return;
        std::string day = value.substr(0, 10), time = value.substr(11, 8);
        bool noYear = std::string(property) == "BDAY" && value.compare(0, 4, "1604") == 0;
        bool midnight = std::string(property) == "BDAY" && time == "00:00:00";
        std::string out;
        if (v4()) {
            std::string compactDay = day.substr(0, 4) + day.substr(5, 2) + day.substr(8, 2);
            out = noYear ? "--" + compactDay.substr(4) : compactDay;
            if (!noYear && !midnight)
                out += "T" + time.substr(0, 2) + time.substr(3, 2) + time.substr(6, 2) + "Z";
            line(std::string(property) + ":" + out);
            return;
        }
        out = midnight || noYear ? day : value;
        line(std::string(property) + (noYear ? ";X-APPLE-OMIT-YEAR=1604:" : ":") + out);
    }

    void categories() {
        std::vector<std::string> tags;
        for (const std::string &tag : splitEscaped(textOf(c_, "tags"), ','))
            tags.push_back(escapeText(trim(tag)));
        std::string value = join(tags, ",");
        if (!value.empty())
            line("CATEGORIES:" + value);
    }

    // 4.0 writes an international number of digits alone (as the phonebook
    // keeps "+33..." as "0033...") as a tel: URI, any other number as text,
    // as written.
    void telephone(const Element &e) {
        const std::string &number = e.name;
        size_t start = number.rfind('+', 0) == 0 ? 1 : number.rfind("00", 0) == 0 ? 2 : 0;
        bool global = v4() && start > 0 && start < number.size() &&
                      number.find_first_not_of("0123456789", start) == std::string::npos;
        if (global)
            line("TEL;VALUE=uri" + parameters(e.types, e.preferred) + ":tel:+" +
                 number.substr(start));
        else
            line("TEL" + parameters(e.types, e.preferred) + ":" + escapeText(number));
    }

    // 4.0 has no LABEL: a label is the LABEL parameter of an ADR without
    // components.
    void label(const Element &e) {
        if (v4())
            line("ADR;LABEL=" + quoted(e.name, v_) + parameters(e.types, e.preferred) + ":;;;;;;");
        else
            line("LABEL" + parameters(e.types, e.preferred) + ":" + escapeText(e.name));
    }

    // The photo's media type travels as MEDIATYPE (4.0) or as the image
    // format among the TYPE words (3.0: image/jpeg is TYPE=JPEG).
    void photo(const Element &e) {
        std::string media;
        std::vector<std::string> types;
        for (const std::string &type : e.types) {
            if (media.empty() && type.find('/') != std::string::npos)
                media = type;
            else
                types.push_back(type);
        }
        std::string head = "PHOTO";
        if (v4() && !media.empty())
            head += ";MEDIATYPE=" + parameterValue(media, v_);
        if (!v4()) {
            head += ";VALUE=uri";
            if (!media.empty())
                types.insert(types.begin(), upper(media.substr(media.find('/') + 1)));
        }
        line(head + parameters(types, e.preferred) + ":" + uriValue(e.name));
    }

    const json &c_;
    Version v_;
    std::string out_;
};

} // namespace

std::string write(const json &contact, Version version) {
    return CardWriter(contact, version).run();
}

} // namespace vcard
