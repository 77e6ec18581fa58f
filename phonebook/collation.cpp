#include "collation.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace {

#include "collation_tables.inc"

// A language and collation type a tag may name, and its collation.
struct LocaleEntry {
    const char *language;
    const char *type; // the -u-co- value, "" for the default
    unsigned index;
};

const LocaleEntry kLanguages[] = {
    {"root", "", 0}, {"und", "", 0}, {"en", "", 0}, {"de", "", 1},  {"de", "phonebk", 2},
    {"sv", "", 3},   {"da", "", 4},  {"nb", "", 5}, {"no", "", 5},  {"fi", "", 6},
    {"es", "", 7},   {"fr", "", 8},  {"pl", "", 9}, {"cs", "", 10}, {"tr", "", 11},
};

} // namespace

struct collation {
    const char *name;
    unsigned index; // into kLocaleInfo, three words per locale: first changed
                    // code point, first contraction, caseFirst=upper
};

namespace {

const collation kCollations[] = {
    {"root", 0}, {"de", 1},  {"de-u-co-phonebk", 2},
    {"sv", 3},   {"da", 4},  {"nb", 5},
    {"fi", 6},   {"es", 7},  {"fr", 8},
    {"pl", 9},   {"cs", 10}, {"tr", 11},
};

constexpr char32_t kNone = 0xffffffff; // a code point taken by a contraction
constexpr uint8_t kSeparator = 0x01;

// ---- Locale tags ----

std::vector<std::string> subtags(const char *tag) {
    std::string t;
    for (const char *c = tag; *c != '\0' && t.size() <= 64; ++c) {
        char ch = *c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
        t += ch;
    }
    // ICU's own spelling of the phone book collation.
    size_t at = t.find('@');
    if (at != std::string::npos) {
        std::string keywords = t.substr(at + 1);
        t.erase(at);
        if (keywords == "collation=phonebook") {
            t += "-u-co-phonebk";
        } else if (keywords != "collation=standard") {
            t += "-x-unknown";
        }
    }
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t dash = t.find('-', start);
        out.push_back(t.substr(start, dash - start));
        if (dash == std::string::npos) {
            return out;
        }
        start = dash + 1;
    }
}

bool allOf(const std::string &s, int (*pred)(int)) {
    return std::all_of(s.begin(), s.end(), [pred](char c) { return pred(c) != 0; });
}

// The collation type of the subtags after the language: script, region and
// variants are skipped; "" unless -u-co-TYPE. False for a private use or
// malformed tail.
bool collationType(const std::vector<std::string> &tags, std::string &type) {
    size_t i = 1;
    while (i < tags.size() && tags[i].size() > 1) {
        if (tags[i].size() > 8 || !allOf(tags[i], isalnum)) {
            return false;
        }
        ++i;
    }
    if (i == tags.size()) {
        return true;
    }
    if (tags[i] != "u") {
        return false;
    }
    for (++i; i < tags.size(); ++i) {
        if (tags[i] == "co" && i + 1 < tags.size()) {
            type = tags[++i] == "standard" ? "" : tags[i];
        } else if (tags[i].size() == 1) {
            return false;
        }
    }
    return true;
}

// ---- Text ----

// The next code point of UTF-8, U+FFFD for each maximal ill-formed subpart.
size_t decode(const uint8_t *s, size_t n, size_t i, char32_t &cp) {
    struct Lead {
        uint8_t first, last, trail, lo, hi; // lead bytes, trail count, range of the 2nd byte
    };
    static const Lead kLeads[] = {
        {0xc2, 0xdf, 1, 0x80, 0xbf}, {0xe0, 0xe0, 2, 0xa0, 0xbf}, {0xe1, 0xec, 2, 0x80, 0xbf},
        {0xed, 0xed, 2, 0x80, 0x9f}, {0xee, 0xef, 2, 0x80, 0xbf}, {0xf0, 0xf0, 3, 0x90, 0xbf},
        {0xf1, 0xf3, 3, 0x80, 0xbf}, {0xf4, 0xf4, 3, 0x80, 0x8f},
    };
    uint8_t b = s[i];
    cp = 0xfffd;
    if (b < 0x80) {
        cp = b;
        return i + 1;
    }
    for (const Lead &l : kLeads) {
        if (b < l.first || b > l.last) {
            continue;
        }
        char32_t c = b & (0x3f >> l.trail);
        size_t j = i + 1;
        for (unsigned k = 0; k < l.trail; ++k, ++j) {
            uint8_t lo = k == 0 ? l.lo : 0x80, hi = k == 0 ? l.hi : 0xbf;
            if (j >= n || s[j] < lo || s[j] > hi) {
                return j;
            }
            c = c << 6 | (s[j] & 0x3f);
        }
        cp = c;
        return j;
    }
    return i + 1;
}

std::vector<char32_t> codePoints(const char *text, size_t length) {
    std::vector<char32_t> out;
    if (text == nullptr) {
        return out;
    }
    size_t n = std::min<size_t>(length, COLLATION_MAX_INPUT);
    const auto *s = reinterpret_cast<const uint8_t *>(text);
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        char32_t cp;
        i = decode(s, n, i, cp);
        out.push_back(cp);
    }
    return out;
}

unsigned combiningClass(char32_t cp) {
    const uint32_t *end = kCombiningClasses + sizeof kCombiningClasses / sizeof *kCombiningClasses;
    const uint32_t *it = std::lower_bound(kCombiningClasses, end, cp << 8);
    return it != end && (*it >> 8) == cp ? (*it & 0xff) : 0;
}

// ---- Collation elements ----

// A run of packed elements of kPool: start << 8 | count.
struct Run {
    uint32_t packed;
    const uint32_t *begin() const { return kPool + (packed >> 8); }
    const uint32_t *end() const { return begin() + (packed & 0xff); }
};

class Contractions {
  public:
    explicit Contractions(unsigned locale)
        : first_(kLocaleInfo[locale * 3 + 1]), last_(kLocaleInfo[locale * 3 + 4]) {}

    // The longest contraction that matches cps[i..] contiguously; its length
    // (0 for none) and run.
    size_t longest(const std::vector<char32_t> &cps, size_t i, Run &run) const {
        size_t best = 0;
        for (unsigned k = lowerBound(cps[i]); k < last_ && text(k)[0] == cps[i]; ++k) {
            size_t n = length(k);
            if (n > best && i + n <= cps.size() &&
                std::equal(text(k), text(k) + n, cps.begin() + static_cast<long>(i))) {
                best = n;
                run = Run{kContractionElements[k]};
            }
        }
        return best;
    }

    // The contraction that is exactly `s`, if any.
    bool exact(const std::u32string &s, Run &run) const {
        for (unsigned k = lowerBound(s[0]); k < last_ && text(k)[0] == s[0]; ++k) {
            if (length(k) == s.size() && std::equal(s.begin(), s.end(), text(k))) {
                run = Run{kContractionElements[k]};
                return true;
            }
        }
        return false;
    }

    bool startsWith(char32_t first) const {
        unsigned k = lowerBound(first);
        return k < last_ && text(k)[0] == first;
    }

  private:
    static const uint16_t *text(unsigned k) { return kContractionText + kContractionStart[k]; }
    static size_t length(unsigned k) { return kContractionStart[k + 1] - kContractionStart[k]; }
    unsigned lowerBound(char32_t first) const {
        unsigned lo = first_, hi = last_;
        while (lo < hi) {
            unsigned mid = (lo + hi) / 2;
            if (text(mid)[0] < first) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    }
    unsigned first_, last_;
};

constexpr uint32_t kImplicit = 0xffffffff; // a table entry without elements

// The elements of one code point outside contractions; false when it has
// no table entry.
bool elementsOf(unsigned locale, char32_t cp, Run &run) {
    const uint32_t *dFirst = kDeltaCodePoints + kLocaleInfo[locale * 3];
    const uint32_t *dLast = kDeltaCodePoints + kLocaleInfo[locale * 3 + 3];
    const uint32_t *d = std::lower_bound(dFirst, dLast, cp);
    if (d != dLast && *d == cp) {
        run = Run{kDeltaElements[d - kDeltaCodePoints]};
        return run.packed != kImplicit;
    }
    for (size_t b = 0; b < sizeof kBlocks / sizeof *kBlocks; b += 3) {
        if (cp >= kBlocks[b] && cp <= kBlocks[b + 1]) {
            run = Run{kRootElements[kBlocks[b + 2] + (cp - kBlocks[b])]};
            return run.packed != kImplicit;
        }
    }
    return false;
}

// One level beyond the primary: runs of common weights take one byte (or a
// few for long runs) whose value says how many and whether a higher weight
// follows, which keeps the order of the weights themselves.
class Level {
  public:
    Level(const uint8_t *range) : low_(range[0]), high_(range[1]) {}

    void add(uint8_t byte) {
        if (byte == 0) {
            ++commons_;
            return;
        }
        flush(byte < low_);
        bytes_ += static_cast<char>(byte);
    }
    // The level ends lower than any weight.
    const std::string &finish() {
        flush(true);
        return bytes_;
    }

  private:
    void flush(bool lowerFollows) {
        if (commons_ == 0) {
            return;
        }
        unsigned maxCount = (high_ - low_) / 2 + 1, n = commons_ - 1;
        for (; n >= maxCount; n -= maxCount) {
            bytes_ += static_cast<char>(low_ + maxCount - 1);
        }
        bytes_ += static_cast<char>(lowerFollows ? low_ + n : high_ - n);
        commons_ = 0;
    }

    unsigned low_, high_, commons_ = 0;
    std::string bytes_;
};

// Builds the levels of a key element by element.
class KeyBuilder {
  public:
    KeyBuilder(unsigned locale, collation_strength_t strength)
        : strength_(strength < COLLATION_PRIMARY || strength > COLLATION_TERTIARY
                        ? COLLATION_TERTIARY
                        : strength),
          upperFirst_(kLocaleInfo[locale * 3 + 2] != 0), secondary_(kCommonRuns),
          tertiary_(kCommonRuns + (upperFirst_ ? 4 : 2)) {}

    void add(Run run) {
        for (uint32_t e : run) {
            addPrimary(e >> 16);
            addRest((e >> 8) & 0xff, e & 0xff);
        }
    }

    // Code points without table entries sort after all of them, by code
    // point; U+FFFD and U+FFFF after those, as in ICU.
    void addImplicit(char32_t cp) {
        if (cp == 0xfffd || cp == 0xffff) {
            primary_ += static_cast<char>(cp == 0xfffd ? 0xfe : 0xff);
        } else {
            primary_ += static_cast<char>(0xe2 + cp / (254 * 254));
            primary_ += static_cast<char>(1 + cp / 254 % 254);
            primary_ += static_cast<char>(1 + cp % 254);
        }
        addRest(kCommonSecondary, kCommonTertiary);
    }

    std::string finish() {
        if (strength_ >= COLLATION_SECONDARY) {
            primary_ += static_cast<char>(kSeparator);
            primary_ += secondary_.finish();
        }
        if (strength_ >= COLLATION_TERTIARY) {
            primary_ += static_cast<char>(kSeparator);
            primary_ += tertiary_.finish();
        }
        return std::move(primary_);
    }

  private:
    void addPrimary(uint32_t rank) {
        if (rank == 0) {
            return;
        }
        uint16_t code = kPrimaryCodes[rank];
        if (code > 0xff) {
            primary_ += static_cast<char>(code >> 8);
        }
        primary_ += static_cast<char>(code & 0xff);
    }
    void addRest(uint32_t s, uint32_t t) {
        if (s != 0 && strength_ >= COLLATION_SECONDARY) {
            secondary_.add(kSecondaryBytes[s]);
        }
        if (t != 0 && strength_ >= COLLATION_TERTIARY) {
            tertiary_.add((upperFirst_ ? kTertiaryUpperFirst : kTertiaryPlain)[t - 1]);
        }
    }

    collation_strength_t strength_;
    bool upperFirst_;
    std::string primary_;
    Level secondary_, tertiary_;
};

// Extends a contraction by the non-starters after it that it may take
// although others stand between (ICU's discontiguous contractions): each
// must not be blocked by a skipped mark of the same or a higher class.
void extendDiscontiguous(const Contractions &contractions, std::vector<char32_t> &cps, size_t end,
                         std::u32string &matched, Run &run) {
    unsigned skipped = 0;
    for (size_t j = end; j < cps.size(); ++j) {
        unsigned ccc = combiningClass(cps[j]);
        if (ccc == 0) {
            return;
        }
        Run longer{};
        if (ccc > skipped && contractions.exact(matched + cps[j], longer)) {
            matched += cps[j];
            run = longer;
            cps[j] = kNone;
        } else {
            skipped = std::max(skipped, ccc);
        }
    }
}

std::string sortKey(const collation_t *coll, const char *text, size_t length,
                    collation_strength_t strength) {
    unsigned locale = coll == nullptr ? 0 : coll->index;
    std::vector<char32_t> cps = codePoints(text, length);
    Contractions contractions(locale);
    KeyBuilder key(locale, strength);
    for (size_t i = 0; i < cps.size(); ++i) {
        if (cps[i] == kNone) {
            continue;
        }
        Run run{};
        size_t n = contractions.longest(cps, i, run);
        if (n == 0) {
            n = 1;
            if (!elementsOf(locale, cps[i], run)) {
                key.addImplicit(cps[i]);
                continue;
            }
        }
        if (contractions.startsWith(cps[i])) {
            std::u32string matched(cps.begin() + static_cast<long>(i),
                                   cps.begin() + static_cast<long>(i + n));
            extendDiscontiguous(contractions, cps, i + n, matched, run);
        }
        key.add(run);
        i += n - 1;
    }
    return key.finish();
}

} // namespace

extern "C" {

const collation_t *collation_forLocale(const char *tag) {
    if (tag == nullptr) {
        return nullptr;
    }
    std::vector<std::string> tags = subtags(tag);
    std::string type;
    if (tags[0].empty() && tags.size() == 1) {
        return &kCollations[0];
    }
    if (!collationType(tags, type)) {
        return nullptr;
    }
    for (const LocaleEntry &e : kLanguages) {
        if (tags[0] == e.language && type == e.type) {
            return &kCollations[e.index];
        }
    }
    return nullptr;
}

const char *collation_name(const collation_t *coll) {
    return coll == nullptr ? kCollations[0].name : coll->name;
}

size_t collation_sortKey(const collation_t *coll, const char *text, size_t length,
                         collation_strength_t strength, uint8_t *key, size_t capacity) {
    std::string k = sortKey(coll, text, length, strength);
    if (key != nullptr) {
        std::memcpy(key, k.data(), std::min(capacity, k.size()));
    }
    return k.size();
}

int collation_compare(const collation_t *coll, const char *a, size_t aLength, const char *b,
                      size_t bLength, collation_strength_t strength) {
    return sortKey(coll, a, aLength, strength).compare(sortKey(coll, b, bLength, strength));
}

bool collation_primaryPrefix(const collation_t *coll, const char *text, size_t textLength,
                             const char *prefix, size_t prefixLength) {
    std::string p = sortKey(coll, prefix, prefixLength, COLLATION_PRIMARY);
    std::string t = sortKey(coll, text, textLength, COLLATION_PRIMARY);
    return t.compare(0, p.size(), p) == 0;
}

} // extern "C"
