// The collation tables against ICU: generated names in ICU's order, each neighbour compared again.
#include <gtest/gtest.h>

#include <unicode/ucol.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "collation.h"

namespace {

struct Locale {
    const char *tag, *icuId;
};
// One of each kind of rule: none, expansions, letters after z, contractions, dotless i.
const Locale kLocales[] = {{"root", "root"},
                           {"de-u-co-phonebk", "de@collation=phonebook"},
                           {"da", "da"},
                           {"cs", "cs"},
                           {"tr", "tr"}};

using Icu = std::unique_ptr<UCollator, decltype(&ucol_close)>;

Icu openIcu(const char *id) {
    UErrorCode status = U_ZERO_ERROR;
    Icu coll(ucol_open(id, &status), &ucol_close);
    EXPECT_TRUE(U_SUCCESS(status)) << id;
    return coll;
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

int icuCompare(UCollator *coll, const std::string &a, const std::string &b) {
    UErrorCode status = U_ZERO_ERROR;
    int r = ucol_strcollUTF8(coll, a.data(), static_cast<int32_t>(a.size()), b.data(),
                             static_cast<int32_t>(b.size()), &status);
    EXPECT_TRUE(U_SUCCESS(status));
    return sign(r);
}

int ourCompare(const collation_t *coll, const std::string &a, const std::string &b) {
    return sign(
        collation_compare(coll, a.data(), a.size(), b.data(), b.size(), COLLATION_TERTIARY));
}

std::string utf8(const std::u16string &s) {
    char buf[1024];
    int32_t n = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8(buf, sizeof buf, &n, reinterpret_cast<const UChar *>(s.data()),
                static_cast<int32_t>(s.size()), &status);
    EXPECT_TRUE(U_SUCCESS(status));
    return std::string(buf, static_cast<size_t>(n));
}

std::u16string utf16(const std::string &s) {
    UChar buf[512];
    int32_t n = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(buf, 512, &n, s.data(), static_cast<int32_t>(s.size()), &status);
    EXPECT_TRUE(U_SUCCESS(status));
    return std::u16string(reinterpret_cast<const char16_t *>(buf), static_cast<size_t>(n));
}

std::string codePoints(const std::string &s) {
    std::string out;
    char buf[8];
    for (char16_t u : utf16(s))
        out += (std::snprintf(buf, sizeof buf, "%04X ", static_cast<unsigned>(u)), buf);
    return out;
}

template <typename S> std::vector<S> split(const S &text, typename S::value_type separator) {
    std::vector<S> parts(1);
    for (auto u : text)
        if (u == separator)
            parts.emplace_back();
        else
            parts.back() += u;
    return parts;
}

// Letters of every supported script, the tailorings' contractions, stacked marks, digits and
// punctuation; many a small change of an earlier name, for the lower levels; some in NFD.
class Names {
  public:
    explicit Names(unsigned seed) : random_(seed) {
        UErrorCode status = U_ZERO_ERROR;
        nfd_ = unorm2_getNFDInstance(&status);
        nfc_ = unorm2_getNFCInstance(&status);
        fcd_ = unorm2_getInstance(nullptr, "nfc", UNORM2_FCD, &status);
    }

    std::vector<std::string> make(size_t count) {
        std::vector<std::string> out;
        while (out.size() < count) {
            std::u16string name = out.empty() || below(100) < 55 ? fresh() : mutate(out);
            UErrorCode status = U_ZERO_ERROR;
            // Marks out of canonical order are neither NFC nor NFD.
            if (!unorm2_isNormalized(fcd_, reinterpret_cast<const UChar *>(name.data()),
                                     static_cast<int32_t>(name.size()), &status) ||
                below(100) < 20) {
                name = normalize(nfd_, name);
            } else if (below(100) < 5) {
                name = normalize(nfc_, name);
            }
            out.push_back(utf8(name));
        }
        return out;
    }

  private:
    int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }
    template <typename C> auto pick(const C &v) {
        return v[static_cast<size_t>(below(static_cast<int>(v.size())))];
    }
    char16_t letter() { return pick(kLetters[static_cast<size_t>(below(kLetterSets))]); }

    std::u16string fresh() {
        std::u16string name;
        for (int words = 1 + below(3); words > 0; --words) {
            if (!name.empty())
                name += pick(kSeparators);
            for (int n = 1 + below(6); n > 0; --n)
                name += piece();
        }
        return name;
    }

    std::u16string piece() {
        int r = below(100);
        if (r < 40)
            return std::u16string(1, letter());
        if (r < 60)
            return pick(kClusters);
        if (r < 70)
            return std::u16string(1, static_cast<char16_t>(u'0' + below(10)));
        if (r < 80) {
            // A letter with one or two marks from U+0300 on.
            std::u16string s(1, letter());
            for (int n = 1 + below(2); n > 0; --n)
                s += static_cast<char16_t>(0x0300 + below(0x70));
            return s;
        }
        if (r < 85)
            return std::u16string(1, pick(kPunctuation));
        // Anywhere in the tables' repertoire.
        static const std::pair<char16_t, int> kRanges[] = {
            {0x00c0, 0x190}, {0x0370, 0x90}, {0x0400, 0x130}, {0x1e00, 0x100},
            {0x1f00, 0x100}, {0x1ab0, 0x50}, {0x1dc0, 0x40},  {0x20a0, 0x60},
            {0xfe00, 0x10},  {0xfe20, 0x10}, {0xfeff, 1}};
        const auto &range = kRanges[below(11)];
        return std::u16string(1, static_cast<char16_t>(range.first + below(range.second)));
    }

    std::u16string mutate(const std::vector<std::string> &earlier) {
        int back = below(std::min<int>(50, static_cast<int>(earlier.size())));
        std::u16string name = utf16(earlier[earlier.size() - 1 - static_cast<size_t>(back)]);
        if (name.empty())
            return fresh();
        size_t at = static_cast<size_t>(below(static_cast<int>(name.size())));
        int change = below(5);              // case, a piece for a unit, a mark, a cut, a piece more
        if (change == 0 && name[at] < 0x80) // case, within the tables' repertoire
            name[at] = static_cast<char16_t>(name[at] ^ 0x20);
        else if (change == 1)
            name.replace(at, 1, piece());
        else if (change == 2)
            name.insert(at + 1, 1, static_cast<char16_t>(0x0300 + below(0x70)));
        else if (change == 3)
            name.resize(at);
        else
            name += piece();
        return name;
    }

    std::u16string normalize(const UNormalizer2 *n, const std::u16string &s) {
        UChar buf[512];
        UErrorCode status = U_ZERO_ERROR;
        int32_t len = unorm2_normalize(n, reinterpret_cast<const UChar *>(s.data()),
                                       static_cast<int32_t>(s.size()), buf, 512, &status);
        return U_FAILURE(status) ? s
                                 : std::u16string(reinterpret_cast<const char16_t *>(buf),
                                                  static_cast<size_t>(len));
    }

    static constexpr int kLetterSets = 4;
    const std::u16string kLetters[kLetterSets] = {
        u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ",
        // The letters of de, sv, fi, da, nb, es, fr, pl, cs, tr and more.
        u"äöüßÄÖÜẞåÅæÆøØñÑáéíóúÁÉÍÓÚàâçèêëîïôœùûÿÀÂÇÈÊËÎÏÔŒÙÛŸąćęłńśźżĄĆĘŁŃŚŹŻ"
        u"čďěňřšťůýžČĎĚŇŘŠŤŮÝŽğıİşĞŞőűŐŰðþÐÞĳĲŋŊđĐǆǅǄſ",
        u"αβγδεζηθικλμνξοπρσςτυφχψωΑΒΓΔΕΖΗΘΙΚΛΜΝΞΟΠΡΣΤΥΦΧΨΩάέήίόύώϊϋΐΰΆΈΉΊΌΎΏ",
        u"абвгдеёжзийклмнопрстуфхцчшщъыьэюяАБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ"
        u"іїєґўђјљњћџІЇЄҐЎЂЈЉЊЋЏ",
    };
    // Contractions, marks that combine, letters whose marks decide.
    const std::vector<std::u16string> kClusters = split<std::u16string>(
        u"ch|Ch|CH|cH|ll|Ll|LL|aa|Aa|AA|aA|ae|Ae|oe|ue|Ue|ss|ij|IJ|dz|dž|lj|nj|cs|sz|l·l|o\u0308|"
        u"a\u030a|A\u030a|n\u0303|c\u030c|e\u0328|z\u0307|u\u030a|i\u0307|I\u0307|o\u0323\u0308|"
        u"a\u0323\u030a|е\u0308|и\u0306|ı|y\u0308|u\u0308\u0301|aa\u0301|a\u0301a|Å|ǻ",
        u'|');
    const std::u16string kPunctuation =
        u" -.,'&()/_!@#+\u2019\u2013\u2014\u00a0\u2009\u201e\u00b7\u00bf";
    const std::vector<std::u16string> kSeparators = split<std::u16string>(u" |-|, | & |.", u'|');

    std::mt19937 random_;
    const UNormalizer2 *nfd_ = nullptr, *nfc_ = nullptr, *fcd_ = nullptr;
};

class CollationOrder : public testing::TestWithParam<Locale> {};

TEST_P(CollationOrder, EqualsIcuOnGeneratedNames) {
    const Locale &l = GetParam();
    const unsigned seed = 20261207;
    Icu icu = openIcu(l.icuId);
    const collation_t *ours = collation_forLocale(l.tag);
    ASSERT_NE(ours, nullptr);
    ASSERT_STREQ(collation_name(ours), l.tag);

    // ICU's order by its own sort keys, then every neighbour by ours.
    std::vector<std::pair<std::string, std::string>> keyed;
    for (const std::string &n : Names(seed).make(100000)) {
        std::u16string u = utf16(n);
        uint8_t key[2048];
        int32_t len = ucol_getSortKey(icu.get(), reinterpret_cast<const UChar *>(u.data()),
                                      static_cast<int32_t>(u.size()), key, sizeof key);
        ASSERT_LE(len, static_cast<int32_t>(sizeof key));
        keyed.emplace_back(std::string(reinterpret_cast<char *>(key), static_cast<size_t>(len)), n);
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<std::string> ourKeys;
    for (const auto &k : keyed)
        ourKeys.push_back(collation_sortKeyString(ours, k.second, COLLATION_TERTIARY));
    for (size_t i = 1; i < keyed.size(); ++i)
        ASSERT_EQ(sign(ourKeys[i - 1].compare(ourKeys[i])),
                  sign(keyed[i - 1].first.compare(keyed[i].first)))
            << l.tag << " seed " << seed << ":\n  " << codePoints(keyed[i - 1].second) << "\n  "
            << codePoints(keyed[i].second);
}

INSTANTIATE_TEST_SUITE_P(Locales, CollationOrder, testing::ValuesIn(kLocales),
                         [](const testing::TestParamInfo<Locale> &param) {
                             std::string name = param.param.tag;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// Rows "tag=name", no name where no collation is found.
TEST(Collation, LocaleTagsFallBackToTheLanguage) {
    for (std::string row :
         {"de=de", "de_DE=de", "DE-at=de", "de-Latn-CH=de", "de-DE-u-co-phonebk=de-u-co-phonebk",
          "de_DE@collation=phonebook=de-u-co-phonebk", "de-u-co-standard=de", "sv-SE=sv", "no=nb",
          "nb_NO=nb", "=root", "root=root", "en-US=root",
          "xx=", "zh=", "sv-u-co-phonebk=", "de-u-co-pinyin=", "sv-x-private=", "de--="}) {
        size_t at = row.rfind('=');
        const collation_t *coll = collation_forLocale(row.substr(0, at).c_str());
        EXPECT_STREQ(coll ? collation_name(coll) : "", row.substr(at + 1).c_str()) << row;
    }
    EXPECT_EQ(collation_forLocale(nullptr), nullptr);
}

// Ill-formed UTF-8 as ICU orders it (U+FFFD per maximal ill-formed subsequence), code points
// beyond the tables after all letters; only the first 64 KiB of a text count.
TEST(Collation, BadInputOrdersAsIcuAndIsBounded) {
    std::vector<std::string> texts =
        split<std::string>("|a|a\377b|a\357\277\275b|\xc3|\xef\xbf\xbd|\xed\xa0\x80|\xf0\x9f|"
                           "\xe2\x82|z|\xc3\x28|Zorn|\xce\xa9|\xd0\xaf|\xf4\x90\x80\x80|\xc0\xaf|"
                           "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd",
                           '|');
    // Long runs of common accents and case, which keys compress.
    for (size_t n : {0, 1, 62, 63, 64, 65, 66, 127, 128, 129, 200})
        for (const char *tail : {"", "\xc3\xa1", "A", "b"})
            for (char c : {'a', 'A'})
                texts.push_back(std::string(n, c) + tail);
    for (const char *tag : {"root", "da"}) {
        Icu icu = openIcu(tag);
        for (const std::string &a : texts)
            for (const std::string &b : texts)
                ASSERT_EQ(ourCompare(collation_forLocale(tag), a, b), icuCompare(icu.get(), a, b))
                    << tag << ": " << codePoints(a) << "| " << codePoints(b);
    }
    const collation_t *root = collation_forLocale("root");
    EXPECT_LT(ourCompare(root, "\xd4\xaf", "\xd5\x80"), 0); // U+052F < U+0540
    EXPECT_LT(ourCompare(root, "\xd1\x8f", "\xd5\x80"), 0); // я < Armenian
    EXPECT_LT(ourCompare(root, "\xe4\xb8\x80", "\xef\xbf\xbd"), 0);

    std::string longA(COLLATION_MAX_INPUT, 'a');
    EXPECT_EQ(ourCompare(root, longA, longA + "b"), 0);
    EXPECT_LT(ourCompare(root, longA.substr(1), longA), 0);
    const std::string whole = collation_sortKeyString(root, longA, COLLATION_TERTIARY);
    uint8_t key[8];
    std::memset(key, 0x5a, sizeof key);
    EXPECT_EQ(collation_sortKey(root, longA.data(), longA.size(), COLLATION_TERTIARY, key, 4),
              whole.size());
    EXPECT_EQ(std::string(reinterpret_cast<char *>(key), 5), whole.substr(0, 4) + "\x5a");
    EXPECT_EQ(collation_sortKey(root, nullptr, 99, COLLATION_TERTIARY, nullptr, 0),
              collation_sortKey(nullptr, "", 0, COLLATION_TERTIARY, nullptr, 0));
    EXPECT_EQ(
        collation_sortKeyString(root, "Ab\xff\xc3\xa4 \xe4\xb8\x80", COLLATION_TERTIARY).find('\0'),
        std::string::npos);
}

} // namespace
