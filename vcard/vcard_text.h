/*
 * Text helpers shared by the reader, the mapping and the writer of zeb_vcard;
 * internal, not part of the library's contract. ASCII letter case only: vCard
 * names and parameter words are ASCII.
 */
#ifndef ZEB_VCARD_TEXT_H
#define ZEB_VCARD_TEXT_H

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vcard {

inline char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string upper(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        c = asciiUpper(c);
    return out;
}

inline std::string lower(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i]) != asciiUpper(b[i]))
            return false;
    }
    return true;
}

inline bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

inline std::string_view trim(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos)
        return {};
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

/* The non-empty parts joined by `separator`. */
inline std::string join(const std::vector<std::string> &parts, std::string_view separator) {
    std::string out;
    for (const std::string &part : parts) {
        if (part.empty())
            continue;
        if (!out.empty())
            out += separator;
        out += part;
    }
    return out;
}

/* True when the value starts with a URI scheme ("http:", "tel:"). */
inline bool hasScheme(std::string_view value) {
    size_t colon = value.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    for (size_t i = 0; i < colon; ++i) {
        char c = value[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!letter && (i == 0 || !other))
            return false;
    }
    return true;
}

/* `text` cut at each `separator` that no backslash escapes; the pieces keep
 * their escapes. */
std::vector<std::string> splitEscaped(std::string_view text, char separator);

/* Backslash escapes of text values undone: \n and \N a line break, \\ \, \;
 * and \: the character itself; any other backslash stays. Line breaks that
 * quoted-printable brought in (CRLF, CR) become LF. */
std::string unescape(std::string_view text);

/* The components of a structured value (N, ORG, ADR), escapes undone, the
 * values of one component joined by `listSeparator`. */
std::vector<std::string> components(std::string_view value, std::string_view listSeparator);

/* The formatted name for a contact that has none: from its name (N), else
 * the first part of its organisation, else its first number; "" when it has
 * none of these. */
std::string fallbackFormattedName(const nlohmann::ordered_json &contact);

} // namespace vcard

#endif
