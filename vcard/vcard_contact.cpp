// From a card to a contact map: which property goes to which key, types and
// preference, dates, and the formatted name of a card that has none.
#include "zeb/vcard.hpp"
#include "vcard_text.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace vcard {

namespace {

// ---- Dates ------------------------------------------------------------------

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    auto yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t &y, unsigned &m, unsigned &d) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    auto doe = static_cast<unsigned>(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

unsigned daysInMonth(int64_t year, unsigned month) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// Reads exactly `count` digits.
bool digits(std::string_view text, size_t &pos, size_t count, int &value) {
    if (pos + count > text.size())
        return false;
    value = 0;
    for (size_t i = 0; i < count; ++i) {
        char c = text[pos + i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    pos += count;
    return true;
}

bool skip(std::string_view text, size_t &pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

// The year for a date written without one, as Apple's exporter stores it.
constexpr int kNoYear = 1604;

bool parseDate(std::string_view text, size_t &pos, int &year, int &month, int &day) {
    if (text.substr(pos, 2) == "--") {
        pos += 2;
        year = kNoYear;
    } else if (!digits(text, pos, 4, year)) {
        return false;
    } else {
        skip(text, pos, '-');
    }
    if (!digits(text, pos, 2, month))
        return false;
    skip(text, pos, '-');
    return digits(text, pos, 2, day);
}

// hh[:mm[:ss]][.fraction] and the offset in seconds east of UTC.
bool parseTime(std::string_view text, size_t &pos, int &seconds, int &offset) {
    int hour = 0, minute = 0, second = 0;
    if (!digits(text, pos, 2, hour))
        return false;
    bool colon = skip(text, pos, ':');
    if (digits(text, pos, 2, minute)) {
        if (colon)
            skip(text, pos, ':');
        if (digits(text, pos, 2, second) && (skip(text, pos, '.') || skip(text, pos, ','))) {
            while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
                ++pos;
        }
    }
    if (hour > 23 || minute > 59 || second > 60)
        return false;
    seconds = hour * 3600 + minute * 60 + (second == 60 ? 59 : second);
    offset = 0;
    if (skip(text, pos, 'Z') || skip(text, pos, 'z') || pos == text.size())
        return true;
    int sign = text[pos] == '+' ? 1 : text[pos] == '-' ? -1 : 0;
    int offsetHours = 0, offsetMinutes = 0;
    if (sign == 0 || !digits(text, ++pos, 2, offsetHours))
        return false;
    skip(text, pos, ':');
    if (pos < text.size() && !digits(text, pos, 2, offsetMinutes))
        return false;
    if (offsetHours > 14 || offsetMinutes > 59)
        return false;
    offset = sign * (offsetHours * 3600 + offsetMinutes * 60);
    return true;
}

} // namespace

std::string parseDateTime(std::string_view raw) {
    std::string_view text = trim(raw);
    size_t pos = 0;
    int year = 0, month = 0, day = 0, seconds = 0, offset = 0;
    if (!parseDate(text, pos, year, month, day) || year < 1 || month < 1 || month > 12 || day < 1 ||
        static_cast<unsigned>(day) > daysInMonth(year, static_cast<unsigned>(month)))
        return {};
    if ((skip(text, pos, 'T') || skip(text, pos, 't')) && !parseTime(text, pos, seconds, offset))
        return {};
    if (pos != text.size())
        return {};
    int64_t total =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        seconds - offset;
    int64_t days = total >= 0 ? total / 86400 : (total - 86399) / 86400;
    int64_t rest = total - days * 86400;
    int64_t y = 0;
    unsigned m = 0, d = 0;
    civilFromDays(days, y, m, d);
    if (y < 1 || y > 9999)
        return {};
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(y), m, d,
                  static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                  static_cast<int>(rest % 60));
    return out;
}

namespace {

// ---- Lists of numbers, addresses, ... ------------------------------------------

struct Item {
    std::string value;
    std::vector<std::string> types;
    int pref = INT_MAX; /* 1 most preferred; INT_MAX none */
};

// The TYPE values of a property, split at commas, without "pref" (and
// without the words in `ignored`); a PREF parameter or a TYPE=pref gives the
// preference.
Item itemOf(const Property &property, std::string value,
            std::initializer_list<std::string_view> ignored = {}) {
    Item item;
    item.value = std::move(value);
    for (const Parameter &parameter : property.parameters) {
        if (parameter.name == "PREF" && !parameter.values.empty()) {
            long pref = std::strtol(parameter.values.front().c_str(), nullptr, 10);
            item.pref =
                std::min(item.pref, pref >= 1 && pref <= 100 ? static_cast<int>(pref) : 100);
        }
        if (parameter.name != "TYPE")
            continue;
        for (const std::string &listed : parameter.values) {
            for (const std::string &word : splitEscaped(listed, ',')) {
                std::string_view type = trim(word);
                bool skipWord = type.empty();
                for (std::string_view other : ignored)
                    skipWord = skipWord || equalsIgnoringCase(type, other);
                if (equalsIgnoringCase(type, "pref"))
                    item.pref = 1;
                else if (!skipWord)
                    item.types.emplace_back(type);
            }
        }
    }
    return item;
}

// Apple's built-in labels of X-ABLabel ("_$!<Mobile>!$_") as types; custom
// labels as written.
std::vector<std::string> labelTypes(const std::string &label) {
    static const std::map<std::string, std::vector<std::string>> kBuiltIn = {
        {"Mobile", {"cell"}},   {"Home", {"home"}},           {"Work", {"work"}},
        {"Main", {"main"}},     {"Other", {"other"}},         {"Pager", {"pager"}},
        {"iPhone", {"iphone"}}, {"HomeFAX", {"home", "fax"}}, {"WorkFAX", {"work", "fax"}},
        {"HomePage", {"home"}}, {"School", {"school"}},       {"OtherFAX", {"other", "fax"}},
    };
    std::string_view text = label;
    if (text.size() > 8 && text.substr(0, 4) == "_$!<" && text.substr(text.size() - 4) == ">!$_") {
        std::string inner(text.substr(4, text.size() - 8));
        auto found = kBuiltIn.find(inner);
        return found != kBuiltIn.end() ? found->second : std::vector<std::string>{inner};
    }
    return {label};
}

// Each list's most preferred items (lowest PREF) are its preferred ones.
json listOf(const std::vector<Item> &items) {
    int best = INT_MAX;
    for (const Item &item : items)
        best = std::min(best, item.pref);
    json list = json::array();
    for (const Item &item : items) {
        list.push_back({{"name", item.value},
                        {"type", join(item.types, ",")},
                        {"preferred", item.pref != INT_MAX && item.pref == best}});
    }
    return list;
}

// A structured value (N, ORG) as the phonebook keeps it: the components
// joined by ';', a ';' or '\' inside a component escaped by a backslash,
// empty trailing components dropped.
std::string structuredText(std::string_view value) {
    std::vector<std::string> parts = splitEscaped(value, ';');
    while (!parts.empty() && trim(parts.back()).empty())
        parts.pop_back();
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            out += ';';
        for (char c : unescape(parts[i])) {
            if (c == ';' || c == '\\')
                out += '\\';
            out += c;
        }
    }
    return out;
}

// An ADR as the lines of an address: street, extended address, post office
// box, postal code and locality, region, country.
std::string addressText(std::string_view value) {
    std::vector<std::string> c = components(value, ", ");
    c.resize(7);
    std::string town = join({c[5], c[3]}, " ");
    return join({c[2], c[1], c[0], town, c[4], c[6]}, "\n");
}

std::string telephoneNumber(const Property &property) {
    std::string_view value = trim(property.value);
    if (!startsWithIgnoringCase(value, "tel:"))
        return unescape(value);
    // A tel: URI: the number without its visual separators, its parameters
    // (";ext=...") as written.
    value.remove_prefix(4);
    size_t parameters = value.find(';');
    std::string number;
    for (char c : value.substr(0, parameters)) {
        if (c != '-' && c != '.' && c != '(' && c != ')' && c != ' ')
            number += c;
    }
    if (parameters != std::string_view::npos)
        number.append(value.substr(parameters));
    return number;
}

// The media type of a photo: MEDIATYPE (4.0), else an image format among the
// TYPE words (2.1, 3.0: "JPEG" is image/jpeg).
std::string photoType(const Property &property, Item &item) {
    if (const Parameter *media = property.parameter("MEDIATYPE"))
        return media->values.empty() ? "" : lower(media->values.front());
    for (auto it = item.types.begin(); it != item.types.end(); ++it) {
        std::string word = lower(*it);
        for (const char *format : {"jpeg", "jpg", "png", "gif", "bmp", "tiff", "webp", "heic"}) {
            if (word == format || word == std::string("image/") + format) {
                item.types.erase(it);
                return word.find('/') != std::string::npos
                           ? word
                           : "image/" + (word == "jpg" ? "jpeg" : word);
            }
        }
    }
    return "";
}

// What a card builds up while its properties are read.
class ContactBuilder {
  public:
    explicit ContactBuilder(Imported &out) : out_(out) {}

    void run(const Card &card) {
        for (const Property &p : card.properties) {
            if (p.name == "X-ABLABEL" && !p.group.empty())
                abLabels_[lower(p.group)] = {unescape(p.value), p.line, false};
        }
        for (const Property &p : card.properties)
            take(p);
        for (const auto &label : abLabels_) {
            if (!label.second.used)
                out_.skipped.push_back({label.second.line, "X-ABLABEL"});
        }
        finish();
    }

  private:
    void take(const Property &p) {
        if (!p.problem.empty()) {
            out_.warnings.push_back({p.line, p.name + ": " + p.problem + "; left out"});
            bool listed = p.name == "TEL" || p.name == "EMAIL" || p.name == "ADR";
            (listed ? out_.dropped : out_.skipped).push_back({p.line, p.name});
            return;
        }
        const std::string &n = p.name;
        if (n == "FN")
            single(p, "formattedName", unescape(trim(p.value)));
        else if (n == "N")
            single(p, "name", structuredText(p.value));
        else if (n == "UID")
            single(p, "uniqueID", unescape(trim(p.value)));
        else if (n == "REV" || n == "BDAY")
            date(p, n == "REV" ? "lastRevision" : "birthDay");
        else if (n == "TITLE")
            single(p, "title", unescape(trim(p.value)));
        else if (n == "ORG")
            single(p, "organisation", structuredText(p.value));
        else if (n == "URL")
            single(p, "url", unescape(trim(p.value)));
        else if (n == "X-RINGTONE")
            single(p, "ringtone", unescape(trim(p.value)));
        else if (n == "CATEGORIES")
            categories(p);
        else if (n == "TEL")
            add(numbers_, p, telephoneNumber(p));
        else if (n == "EMAIL")
            add(emails_, p, unescape(trim(p.value)), {"internet"});
        else if (n == "ADR")
            address(p);
        else if (n == "LABEL")
            add(postalLabels_, p, unescape(p.value));
        else if (n == "PHOTO")
            photo(p);
        else if (n == "X-ABLABEL" && !p.group.empty())
            return; // counted with the property of its group
        else if (n != "PRODID")
            out_.skipped.push_back({p.line, n});
    }

    void single(const Property &p, const char *key, std::string value) {
        if (value.empty())
            return;
        if (fields_.count(key) != 0) {
            out_.skipped.push_back({p.line, p.name + " (more than one)"});
            return;
        }
        fields_[key] = std::move(value);
    }

    void date(const Property &p, const char *key) {
        std::string text = unescape(trim(p.value));
        if (text.empty())
            return;
        std::string value = parseDateTime(text);
        if (value.empty()) {
            out_.warnings.push_back(
                {p.line, p.name + " \"" + text.substr(0, 40) + "\" is not a date; left out"});
            out_.skipped.push_back({p.line, p.name});
            return;
        }
        single(p, key, value);
    }

    void categories(const Property &p) {
        for (const std::string &piece : splitEscaped(p.value, ',')) {
            std::string tag(trim(unescape(piece)));
            if (!tag.empty())
                tags_.push_back(tag);
        }
    }

    // A list item, typed by the X-ABLabel of its group when there is one.
    void add(std::vector<Item> &list, const Property &p, std::string value,
             std::initializer_list<std::string_view> ignored = {}) {
        if (trim(value).empty())
            return;
        Item item = itemOf(p, std::move(value), ignored);
        auto label = p.group.empty() ? abLabels_.end() : abLabels_.find(lower(p.group));
        if (label != abLabels_.end()) {
            item.types = labelTypes(label->second.text);
            label->second.used = true;
        }
        list.push_back(std::move(item));
    }

    void address(const Property &p) {
        add(addresses_, p, addressText(p.value));
        // 4.0 puts the label of an address in a parameter.
        const Parameter *label = p.parameter("LABEL");
        if (label != nullptr && !label->values.empty())
            add(postalLabels_, p, unescape(join(label->values, ",")));
    }

    void photo(const Property &p) {
        std::string value(trim(p.value));
        bool uri = !p.inlineData && !startsWithIgnoringCase(value, "data:") &&
                   (p.has("VALUE", "uri") || p.has("VALUE", "url") || hasScheme(value));
        if (!uri) {
            out_.skipped.push_back({p.line, "PHOTO (inline)"});
            return;
        }
        Item item = itemOf(p, unescape(value));
        std::string media = photoType(p, item);
        if (!media.empty())
            item.types.insert(item.types.begin(), media);
        photos_.push_back(std::move(item));
    }

    void finish() {
        json &c = out_.contact;
        c = json::object();
        auto put = [&](const char *key) {
            auto found = fields_.find(key);
            if (found != fields_.end())
                c[key] = found->second;
        };
        put("uniqueID");
        c["formattedName"] = "";
        for (const char *key : {"formattedName", "name", "lastRevision", "birthDay", "title",
                                "organisation", "url", "ringtone"})
            put(key);
        if (!tags_.empty())
            c["tags"] = join(tags_, ",");
        const std::pair<const char *, const std::vector<Item> *> lists[] = {
            {"addresses", &addresses_}, {"labels", &postalLabels_}, {"telephoneNumbers", &numbers_},
            {"emails", &emails_},       {"photos", &photos_},
        };
        for (const auto &list : lists) {
            if (!list.second->empty())
                c[list.first] = listOf(*list.second);
        }
        if (c["formattedName"] == "")
            c["formattedName"] = fallbackFormattedName(c);
    }

    struct Label {
        std::string text;
        size_t line;
        bool used;
    };

    Imported &out_;
    std::map<std::string, std::string> fields_;
    std::map<std::string, Label> abLabels_; /* X-ABLabel by group, lower case */
    std::vector<std::string> tags_;
    std::vector<Item> addresses_, postalLabels_, numbers_, emails_, photos_;
};

} // namespace

std::vector<std::string> components(std::string_view value, std::string_view listSeparator) {
    std::vector<std::string> out;
    for (const std::string &component : splitEscaped(value, ';')) {
        std::vector<std::string> values;
        for (const std::string &piece : splitEscaped(component, ','))
            values.emplace_back(trim(unescape(piece)));
        out.push_back(join(values, listSeparator));
    }
    return out;
}

std::string textOf(const json &object, const char *key) {
    auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::string fallbackFormattedName(const json &contact) {
    std::vector<std::string> n = components(textOf(contact, "name"), " ");
    n.resize(5);
    std::string name = join({n[3], n[1], n[2], n[0], n[4]}, " ");
    if (!name.empty())
        return name;
    // Commas in an organisation are text, not lists.
    std::string organisation = unescape(splitEscaped(textOf(contact, "organisation"), ';').front());
    if (!organisation.empty())
        return organisation;
    auto numbers = contact.find("telephoneNumbers");
    if (numbers == contact.end() || !numbers->is_array())
        return "";
    for (const json &number : *numbers) {
        std::string text = number.is_object() ? textOf(number, "name") : "";
        if (!text.empty())
            return text;
    }
    return "";
}

namespace {

// What a number may hold besides digits and still be dialled: the
// international "+", "*" and "#", and the pauses p, w, ',' and ';'.
bool isDialable(char c) {
    return (c >= '0' && c <= '9') ||
           std::string_view("+*#pPwW,;").find(c) != std::string_view::npos;
}

bool isVisualSeparator(char c) {
    return std::string_view(" \t-/.()").find(c) != std::string_view::npos;
}

} // namespace

std::string dialableNumber(std::string_view written) {
    std::string text(written);
    // A no-break space separates digits too.
    for (size_t at; (at = text.find("\xC2\xA0")) != std::string::npos;)
        text.replace(at, 2, " ");
    bool international = text.rfind('+', 0) == 0 || text.rfind("00", 0) == 0;
    std::string out;
    bool digit = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        // "+49 (0)30 ...": the trunk prefix that callers from inside the
        // country dial; after a calling code it is not dialled.
        if (international && c == '(' && text.compare(i, 3, "(0)") == 0) {
            i += 2;
            continue;
        }
        if (isVisualSeparator(c))
            continue;
        if (!isDialable(c))
            return std::string(written); // text, an extension word: kept
        digit = digit || (c >= '0' && c <= '9');
        out += c;
    }
    return digit ? out : std::string(written);
}

Imported toContact(const Card &card) {
    Imported out;
    out.line = card.line;
    out.error = card.error;
    out.warnings = card.warnings;
    ContactBuilder(out).run(card);
    return out;
}

} // namespace vcard
