// Writes phonebook/collation_tables.inc from the ICU of the build machine:
// the collation elements of every code point of the supported scripts and of
// every contraction, for the root collation once and for each locale only
// where it differs. Run on the build machine only; nothing the gateway runs
// links ICU.
//
//   collation-gen OUT        write the tables to OUT
//   collation-gen --check F  exit 1 unless F equals what would be written
#include <unicode/ucol.h>
#include <unicode/ucoleitr.h>
#include <unicode/uchar.h>
#include <unicode/uset.h>
#include <unicode/uversion.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Locale {
    const char *tag;   // as the library names it
    const char *icuId; // as ICU opens it
};

// The order is the order of the library's locale table.
const Locale kLocales[] = {
    {"root", "root"}, {"de", "de"}, {"de-u-co-phonebk", "de@collation=phonebook"},
    {"sv", "sv"},     {"da", "da"}, {"nb", "nb"},
    {"fi", "fi"},     {"es", "es"}, {"fr", "fr"},
    {"pl", "pl"},     {"cs", "cs"}, {"tr", "tr"},
};

struct Range {
    UChar32 first, last;
};
// Latin, IPA and spacing modifiers (where decompositions lead), combining
// marks, Greek, Cyrillic; more combining marks; extended Latin, polytonic
// Greek, punctuation, currency signs, marks for symbols; variation
// selectors, half marks and the byte order mark (ignorable in ICU).
const Range kRepertoire[] = {{0x0000, 0x052F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x206F}, {0x20A0, 0x20FF},
                             {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}};

// One collation element as ICU weighs it: 32-bit primary, 16-bit secondary,
// 16-bit tertiary with the case bits on top.
struct Ce {
    uint32_t p;
    uint16_t s, t;
    bool operator==(const Ce &o) const { return p == o.p && s == o.s && t == o.t; }
};
using Ces = std::vector<Ce>;

void check(UErrorCode status, const char *what) {
    if (U_FAILURE(status)) {
        std::fprintf(stderr, "collation-gen: %s: %s\n", what, u_errorName(status));
        std::exit(2);
    }
}

// The iterator hands out each 64-bit element as one or two 32-bit halves.
Ces elementsOf(UCollator *coll, const std::u16string &text) {
    UErrorCode status = U_ZERO_ERROR;
    UCollationElements *it = ucol_openElements(coll, reinterpret_cast<const UChar *>(text.data()),
                                               static_cast<int32_t>(text.size()), &status);
    check(status, "ucol_openElements");
    Ces out;
    for (;;) {
        int32_t half = ucol_next(it, &status);
        check(status, "ucol_next");
        if (half == UCOL_NULLORDER) {
            break;
        }
        auto h = static_cast<uint32_t>(half);
        if ((h & 0xc0) == 0xc0 && !out.empty()) {
            Ce &ce = out.back();
            ce.p |= h >> 16;
            ce.s = static_cast<uint16_t>(ce.s | ((h >> 8) & 0xff));
            ce.t = static_cast<uint16_t>(ce.t | (h & 0x3f));
            continue;
        }
        if (h == 0) {
            continue;
        }
        out.push_back(Ce{h & 0xffff0000u, static_cast<uint16_t>(((h >> 8) & 0xff) << 8),
                         static_cast<uint16_t>((h & 0xff) << 8)});
    }
    ucol_closeElements(it);
    return out;
}

std::u16string utf16(UChar32 c) {
    std::u16string s;
    if (c > 0xffff) {
        s += static_cast<char16_t>(0xd7c0 + (c >> 10));
        s += static_cast<char16_t>(0xdc00 | (c & 0x3ff));
    } else {
        s += static_cast<char16_t>(c);
    }
    return s;
}

bool inRepertoire(UChar32 c) {
    for (const Range &r : kRepertoire) {
        if (c >= r.first && c <= r.last) {
            return true;
        }
    }
    return false;
}

UCollator *open(const Locale &l) {
    UErrorCode status = U_ZERO_ERROR;
    UCollator *coll = ucol_open(l.icuId, &status);
    check(status, l.icuId);
    // The library reproduces ICU's default settings plus caseFirst; refuse
    // a locale whose data asks for anything else.
    const UColAttribute plain[] = {UCOL_FRENCH_COLLATION, UCOL_CASE_LEVEL, UCOL_NORMALIZATION_MODE,
                                   UCOL_NUMERIC_COLLATION};
    for (UColAttribute a : plain) {
        if (ucol_getAttribute(coll, a, &status) != UCOL_OFF) {
            std::fprintf(stderr, "collation-gen: %s sets attribute %d\n", l.icuId, a);
            std::exit(2);
        }
    }
    if (ucol_getAttribute(coll, UCOL_ALTERNATE_HANDLING, &status) != UCOL_NON_IGNORABLE ||
        ucol_getReorderCodes(coll, nullptr, 0, &status) != 0) {
        std::fprintf(stderr, "collation-gen: %s shifts or reorders\n", l.icuId);
        std::exit(2);
    }
    status = U_ZERO_ERROR;
    return coll;
}

// The contractions of a collator that begin in the repertoire, as UTF-16.
std::set<std::u16string> contractionsOf(UCollator *coll) {
    UErrorCode status = U_ZERO_ERROR;
    USet *set = uset_openEmpty();
    ucol_getContractionsAndExpansions(coll, set, nullptr, true, &status);
    check(status, "ucol_getContractionsAndExpansions");
    std::set<std::u16string> out;
    for (int32_t i = 0, n = uset_getItemCount(set); i < n; ++i) {
        UChar32 start, end;
        UChar buf[64];
        int32_t len = uset_getItem(set, i, &start, &end, buf, 64, &status);
        check(status, "uset_getItem");
        if (len == 0) {
            continue;
        }
        std::u16string s(reinterpret_cast<const char16_t *>(buf), static_cast<size_t>(len));
        if (U16_IS_LEAD(s[0]) || !inRepertoire(s[0])) {
            continue;
        }
        for (char16_t u : s) {
            if (U16_IS_SURROGATE(u)) {
                std::fprintf(stderr, "collation-gen: contraction beyond the BMP\n");
                std::exit(2);
            }
        }
        out.insert(s);
    }
    uset_close(set);
    return out;
}

struct LocaleData {
    bool upperFirst = false;
    std::map<UChar32, Ces> cps;                 // every code point of the repertoire
    std::map<std::u16string, Ces> contractions; // every contraction
};

LocaleData collect(const Locale &l) {
    UCollator *coll = open(l);
    LocaleData d;
    UErrorCode status = U_ZERO_ERROR;
    d.upperFirst = ucol_getAttribute(coll, UCOL_CASE_FIRST, &status) == UCOL_UPPER_FIRST;
    if (ucol_getAttribute(coll, UCOL_CASE_FIRST, &status) == UCOL_LOWER_FIRST) {
        std::fprintf(stderr, "collation-gen: %s sorts lower case first\n", l.icuId);
        std::exit(2);
    }
    for (const Range &r : kRepertoire) {
        for (UChar32 c = r.first; c <= r.last; ++c) {
            d.cps[c] = elementsOf(coll, utf16(c));
        }
    }
    for (const std::u16string &s : contractionsOf(coll)) {
        d.contractions[s] = elementsOf(coll, s);
    }
    ucol_close(coll);
    return d;
}

// ICU's tertiary weight as its sort keys order it (caseFirst off or upper).
uint32_t effectiveTertiary(uint16_t t, bool secondaryNonZero, bool upperFirst) {
    if (!upperFirst) {
        return t & 0x3f3f;
    }
    uint32_t w = t;
    if (secondaryNonZero) {
        w ^= 0xc000;
        if (w < 0xc500) {
            w -= 0x4000;
        }
    } else {
        w += 0x4000;
    }
    return w;
}

// Dense ranks of a set of weights, starting at `first`.
std::map<uint32_t, uint32_t> ranks(const std::set<uint32_t> &weights, uint32_t first) {
    std::map<uint32_t, uint32_t> out;
    for (uint32_t w : weights) {
        out.emplace(w, first + static_cast<uint32_t>(out.size()));
    }
    return out;
}

// The bytes of one level's weights, in their order: those below the common
// weight, then the range [low, high] that runs of common weights are
// compressed into (as ICU's sort keys do), then those above.
struct LevelBytes {
    std::map<uint32_t, uint32_t> byteOf; // 0 for the common weight
    uint32_t low = 0, high = 0;
};

LevelBytes levelBytes(const std::set<uint32_t> &weights, uint32_t common) {
    LevelBytes l;
    auto below = static_cast<uint32_t>(std::distance(weights.begin(), weights.lower_bound(common)));
    auto above = static_cast<uint32_t>(std::distance(weights.upper_bound(common), weights.end()));
    l.low = 2 + below;
    uint32_t count = std::min<uint32_t>(64, (0xff - above - l.low) / 2 + 1);
    l.high = l.low + 2 * (count - 1);
    if (weights.count(common) == 0 || count < 8 || l.high + above > 0xff) {
        std::fprintf(stderr, "collation-gen: too many weights on a level\n");
        std::exit(2);
    }
    uint32_t next = 2;
    for (uint32_t w : weights) {
        l.byteOf[w] = w == common ? 0 : next++;
        if (w == common) {
            next = l.high + 1;
        }
    }
    return l;
}

// Primary codes: one byte for a window of the primaries from the digits on
// (digits and Latin letters), two bytes for the others; the lead bytes stay
// below 0xe2, where the weights of code points outside the tables begin.
std::vector<uint32_t> primaryCodes(size_t count, size_t windowStart) {
    auto leads = [](size_t n) { return (n + 254) / 255; };
    size_t before = windowStart - 1, window = 0;
    while (window < count - before &&
           2 + leads(before) + window + 1 + leads(count - before - window - 1) <= 0xe2) {
        ++window;
    }
    std::vector<uint32_t> codes(count + 1, 0);
    uint32_t lead = 2, trail = 1;
    for (size_t rank = 1; rank <= count; ++rank) {
        bool single = rank >= windowStart && rank < windowStart + window;
        if (single) {
            codes[rank] = lead++;
            trail = 1;
            continue;
        }
        codes[rank] = lead << 8 | trail;
        if (++trail == 256 || (rank + 1 == windowStart)) {
            ++lead;
            trail = 1;
        }
    }
    if (lead > 0xe2 || (lead == 0xe2 && trail > 1)) {
        std::fprintf(stderr, "collation-gen: primaries do not fit\n");
        std::exit(2);
    }
    return codes;
}

struct Writer {
    std::vector<LocaleData> data;
    std::map<uint32_t, uint32_t> primaryRank, secondaryRank;
    std::vector<std::pair<uint16_t, bool>> palette; // tertiary, secondary != 0
    std::map<std::pair<uint16_t, bool>, size_t> paletteIndex;
    std::vector<uint32_t> pool;
    std::map<std::vector<uint32_t>, size_t> poolIndex;
    std::ostringstream out;

    void rank() {
        std::set<uint32_t> ps, ss;
        auto note = [&](const Ces &ces) {
            for (const Ce &ce : ces) {
                if (ce.p != 0) {
                    ps.insert(ce.p);
                }
                if (ce.s != 0) {
                    ss.insert(ce.s);
                }
                auto key = std::make_pair(ce.t, ce.s != 0);
                if (ce.t != 0 && paletteIndex.emplace(key, palette.size()).second) {
                    palette.push_back(key);
                }
            }
        };
        // Code points outside the tables weigh like this.
        note(Ces{Ce{0, 0x0500, 0x0500}});
        for (const LocaleData &d : data) {
            for (const auto &[cp, ces] : d.cps) {
                if (u_charType(cp) != U_UNASSIGNED) {
                    note(ces);
                }
            }
            for (const auto &[s, ces] : d.contractions) {
                note(ces);
            }
        }
        primaryRank = ranks(ps, 1);
        secondaryRank = ranks(ss, 1);
        if (primaryRank.size() >= 200 * 254 || secondaryRank.size() > 250 || palette.size() > 255) {
            std::fprintf(stderr, "collation-gen: too many weights\n");
            std::exit(2);
        }
    }

    // Packed element: primary rank (16 bits), secondary rank (8), tertiary
    // palette index + 1 (8); 0 in a field means the level is ignorable.
    uint32_t pack(const Ce &ce) const {
        uint32_t p = ce.p ? primaryRank.at(ce.p) : 0;
        uint32_t s = ce.s ? secondaryRank.at(ce.s) : 0;
        uint32_t t = ce.t ? static_cast<uint32_t>(paletteIndex.at({ce.t, ce.s != 0})) + 1 : 0;
        return p << 16 | s << 8 | t;
    }

    // Start of the sequence in the pool, appending it unless already there.
    size_t place(const Ces &ces) {
        std::vector<uint32_t> packed;
        for (const Ce &ce : ces) {
            packed.push_back(pack(ce));
        }
        auto found = poolIndex.find(packed);
        if (found != poolIndex.end()) {
            return found->second;
        }
        size_t at = pool.size();
        pool.insert(pool.end(), packed.begin(), packed.end());
        poolIndex.emplace(packed, at);
        if (pool.size() > 0xffffff || packed.size() > 0xff) {
            std::fprintf(stderr, "collation-gen: pool too large\n");
            std::exit(2);
        }
        return at;
    }

    // A code point's pool run, start << 8 | count; unassigned ones get the
    // library's implicit weights, as everything outside the tables does.
    uint32_t entry(UChar32 c, const Ces &ces) {
        if (u_charType(c) == U_UNASSIGNED) {
            return 0xffffffffu;
        }
        return static_cast<uint32_t>(place(ces) << 8 | ces.size());
    }

    template <typename T> void array(const char *type, const char *name, const std::vector<T> &v) {
        out << "static const " << type << " " << name << "[] = {";
        for (size_t i = 0; i < v.size(); ++i) {
            out << (i % 12 == 0 ? "\n    " : " ") << "0x" << std::hex << v[i] << std::dec << ",";
        }
        out << "\n};\n";
    }

    void write() {
        UVersionInfo v;
        u_getVersion(v);
        char version[U_MAX_VERSION_STRING_LENGTH];
        u_versionToString(v, version);
        out << "// Generated by tools/collation-gen from ICU " << version
            << "; do not edit.\n// Regenerate: see docs/collation.md.\n\n";
        rank();
        // Root: the elements of every code point, block by block.
        std::vector<uint32_t> rootStart, blocks;
        const LocaleData &root = data[0];
        for (const Range &r : kRepertoire) {
            blocks.push_back(static_cast<uint32_t>(r.first));
            blocks.push_back(static_cast<uint32_t>(r.last));
            blocks.push_back(static_cast<uint32_t>(rootStart.size()));
            for (UChar32 c = r.first; c <= r.last; ++c) {
                rootStart.push_back(entry(c, root.cps.at(c)));
            }
        }
        // Each locale: changed code points, then all its contractions.
        std::vector<uint32_t> deltaCp, deltaCe, contrStr, contrStart, contrCe, localeInfo;
        for (const LocaleData &d : data) {
            localeInfo.push_back(static_cast<uint32_t>(deltaCp.size()));
            localeInfo.push_back(static_cast<uint32_t>(contrCe.size()));
            localeInfo.push_back(d.upperFirst ? 1 : 0);
            for (const auto &[cp, ces] : d.cps) {
                if (!(ces == root.cps.at(cp))) {
                    deltaCp.push_back(static_cast<uint32_t>(cp));
                    deltaCe.push_back(entry(cp, ces));
                }
            }
            for (const auto &[s, ces] : d.contractions) {
                contrCe.push_back(static_cast<uint32_t>(place(ces) << 8 | ces.size()));
                contrStart.push_back(static_cast<uint32_t>(contrStr.size()));
                contrStr.insert(contrStr.end(), s.begin(), s.end());
            }
        }
        localeInfo.push_back(static_cast<uint32_t>(deltaCp.size()));
        localeInfo.push_back(static_cast<uint32_t>(contrCe.size()));
        localeInfo.push_back(0);
        contrStart.push_back(static_cast<uint32_t>(contrStr.size()));

        std::vector<uint32_t> levels, ter[2];
        for (int mode = 0; mode < 2; ++mode) {
            std::set<uint32_t> eff;
            for (const auto &[t, sNonZero] : palette) {
                eff.insert(effectiveTertiary(t, sNonZero, mode == 1));
            }
            LevelBytes l = levelBytes(eff, effectiveTertiary(0x0500, true, mode == 1));
            for (const auto &[t, sNonZero] : palette) {
                ter[mode].push_back(l.byteOf.at(effectiveTertiary(t, sNonZero, mode == 1)));
            }
            levels.push_back(l.low);
            levels.push_back(l.high);
        }
        std::set<uint32_t> secondaries;
        for (const auto &[w, id] : secondaryRank) {
            secondaries.insert(w);
        }
        LevelBytes sec = levelBytes(secondaries, 0x0500);
        std::vector<uint32_t> secBytes(1, 0);
        for (const auto &[w, id] : secondaryRank) {
            secBytes.push_back(sec.byteOf.at(w));
        }
        levels.insert(levels.begin(), {sec.low, sec.high});
        uint32_t zero = primaryRank.at(data[0].cps.at(0x30).at(0).p);
        out << "static const uint8_t kCommonSecondary = " << secondaryRank.at(0x0500) << ";\n";
        out << "static const uint8_t kCommonTertiary = " << paletteIndex.at({0x0500, true}) + 1
            << ";\n";
        array("uint16_t", "kPrimaryCodes", primaryCodes(primaryRank.size(), zero));
        array("uint8_t", "kSecondaryBytes", secBytes);
        // Low and high end of the compressed common weights: secondary,
        // tertiary, tertiary with upper case first.
        array("uint8_t", "kCommonRuns", levels);
        array("uint32_t", "kPool", pool);
        array("uint32_t", "kBlocks", blocks);
        array("uint32_t", "kRootElements", rootStart);
        array("uint32_t", "kDeltaCodePoints", deltaCp);
        array("uint32_t", "kDeltaElements", deltaCe);
        array("uint16_t", "kContractionText", contrStr);
        array("uint16_t", "kContractionStart", contrStart);
        array("uint32_t", "kContractionElements", contrCe);
        array("uint32_t", "kLocaleInfo", localeInfo);
        array("uint8_t", "kTertiaryPlain", ter[0]);
        array("uint8_t", "kTertiaryUpperFirst", ter[1]);
        // Code point << 8 | canonical combining class, for the non-starters.
        std::vector<uint32_t> ccc;
        for (const Range &r : kRepertoire) {
            for (UChar32 c = r.first; c <= r.last; ++c) {
                if (u_getCombiningClass(c) != 0) {
                    ccc.push_back(static_cast<uint32_t>(c) << 8 | u_getCombiningClass(c));
                }
            }
        }
        array("uint32_t", "kCombiningClasses", ccc);
        std::fprintf(stderr,
                     "collation-gen: %zu primaries, %zu secondaries, %zu tertiaries, %zu "
                     "elements, %zu changed code points, %zu contractions\n",
                     primaryRank.size(), secondaryRank.size(), palette.size(), pool.size(),
                     deltaCp.size(), contrCe.size());
    }
};

} // namespace

int main(int argc, char **argv) {
    bool checkOnly = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    if (argc != 2 && !checkOnly) {
        std::fprintf(stderr, "usage: collation-gen OUT | collation-gen --check FILE\n");
        return 2;
    }
    Writer w;
    for (const Locale &l : kLocales) {
        w.data.push_back(collect(l));
    }
    w.write();
    const char *path = argv[argc - 1];
    if (checkOnly) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream have;
        have << in.rdbuf();
        if (have.str() != w.out.str()) {
            std::fprintf(stderr, "collation-gen: %s is stale: regenerate it\n", path);
            return 1;
        }
        return 0;
    }
    std::ofstream(path, std::ios::binary) << w.out.str();
    return 0;
}
