// The vCard reader: how exporters write lines, parameters and encodings, and
// what it refuses.
#include <gtest/gtest.h>

#include "charsets.hpp"
#include "zeb/vcard.hpp"

#include <string>
#include <vector>

namespace {

using vcard::Card;
using vcard::Property;

// "NAME=value|value;..." of a property's parameters, for comparisons.
std::string parametersOf(const Property &p) {
    std::string out;
    for (const vcard::Parameter &parameter : p.parameters) {
        out += parameter.name + "=";
        for (size_t i = 0; i < parameter.values.size(); ++i)
            out += (i > 0 ? "|" : "") + parameter.values[i];
        out += ";";
    }
    return out;
}

// "line text" of a card's warnings.
std::vector<std::string> warningsOf(const Card &card) {
    std::vector<std::string> out;
    for (const vcard::Note &note : card.warnings)
        out.push_back(std::to_string(note.line) + " " + note.text);
    return out;
}

const Property &only(const std::vector<Card> &cards, const std::string &name) {
    for (const Property &p : cards.at(0).properties) {
        if (p.name == name)
            return p;
    }
    throw std::runtime_error("no " + name);
}

std::string readError(const std::string &text, const vcard::Limits &limits = {}) {
    try {
        vcard::read(text, limits);
    } catch (const vcard::ReadError &e) {
        return e.what();
    }
    return "(read)";
}

TEST(VcardReader, LineEndingsByteOrderMarksAndFolding) {
    VCARD_NEEDS_CHARSETS("UTF-16LE", "UTF-16BE");
    const std::string lines[] = {"BEGIN:VCARD", "VERSION:3.0", "FN:Élodie Martin", "NOTE:one two",
                                 "END:VCARD"};
    for (const char *eol : {"\r\n", "\n", "\r"}) {
        std::string text;
        for (const std::string &l : lines)
            text += l + eol;
        for (const std::string &prefix : {std::string(), std::string("\xEF\xBB\xBF")}) {
            std::vector<Card> cards = vcard::read(prefix + text);
            ASSERT_EQ(cards.size(), 1u);
            EXPECT_EQ(cards[0].version, "3.0");
            EXPECT_EQ(only(cards, "FN").value, "Élodie Martin");
            EXPECT_EQ(only(cards, "FN").line, 3u);
        }
    }
    // Folds may fall anywhere, inside a UTF-8 sequence too; a tab folds as a
    // space does; the line number is the first line's.
    std::vector<Card> folded = vcard::read(
        "BEGIN:VCARD\r\nFN:\xC3\r\n \x89lodie Ma\r\n\trtin\r\nNOTE:a\r\n  b\r\nEND:VCARD\r\n");
    EXPECT_EQ(only(folded, "FN").value, "Élodie Martin");
    EXPECT_EQ(only(folded, "NOTE").value, "a b") << "one blank is the fold, the other is text";
    EXPECT_EQ(only(folded, "NOTE").line, 5u);

    // UTF-16 with its mark, as some desktop programs save.
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("BEGIN:VCARD\r\nFN:Ann\r\nEND:VCARD\r\n")) {
        utf16 += c;
        utf16 += '\0';
    }
    EXPECT_EQ(only(vcard::read(utf16), "FN").value, "Ann");
    EXPECT_EQ(vcard::read("").size(), 0u);
    EXPECT_EQ(vcard::read("\r\n\r\n").size(), 0u);
}

TEST(VcardReader, QuotedPrintableAndCharacterSets) {
    VCARD_NEEDS_CHARSETS("ISO-8859-1", "SHIFT_JIS");
    static const char kText[] =
        "BEGIN:VCARD\r\nVERSION:2.1\r\n"
        "NOTE;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Appeler apr=C3=A8s 18h,=0D=0A=\r\n"
        "deuxi=C3=A8m=\r\ne =C3=A9tage =3D 2=\r\n\r\n"
        "N;CHARSET=ISO-8859-1;QUOTED-PRINTABLE:M=FCller;J=FCrgen;;;\r\n"
        "FN;CHARSET=SHIFT_JIS:\x8E\x52\x93\x63\r\nTITLE:Caf\xE9\r\nORG;CHARSET=NO-SUCH-SET:x\r\n"
        "X-BROKEN;ENCODING=QUOTED-PRINTABLE:a=ZZb=4\r\nX-NUL;ENCODING=QUOTED-PRINTABLE:a=00b\r\n"
        "EMAIL;TYPE=I\xB9\xB9NTERNET,HOME;X=\"a\0b\":e@x\r\n"
        "PHOTO;ENCODING=BASE64;JPEG:/9j/4AAQ\r\n SkZJRg==\r\n\r\n"
        "END:VCARD\r\n";
    std::vector<Card> cards = vcard::read(std::string_view(kText, sizeof kText - 1));
    // Soft line breaks join lines, even an empty one that follows.
    EXPECT_EQ(only(cards, "NOTE").value, "Appeler après 18h,\r\ndeuxième étage = 2");
    EXPECT_EQ(only(cards, "N").value, "Müller;Jürgen;;;");
    EXPECT_EQ(only(cards, "N").line, 7u);
    EXPECT_EQ(only(cards, "FN").value, "山田");
    EXPECT_EQ(only(cards, "TITLE").value, "Café") << "not UTF-8: read as ISO-8859-1";
    EXPECT_EQ(only(cards, "ORG").value, "");
    EXPECT_EQ(only(cards, "ORG").problem, "the value is not in the character set NO-SUCH-SET");
    EXPECT_EQ(only(cards, "X-BROKEN").value, "a=ZZb=4") << "an '=' that starts no escape stays";
    EXPECT_EQ(only(cards, "X-NUL").value, "ab");
    EXPECT_TRUE(only(cards, "PHOTO").inlineData);
    EXPECT_EQ(only(cards, "PHOTO").value, "") << "inline data is not kept";

    std::vector<std::string> warnings = warningsOf(cards[0]);
    // Parameter values too: what the bus carries is UTF-8 without NUL.
    EXPECT_EQ(parametersOf(only(cards, "EMAIL")), "TYPE=I¹¹NTERNET|HOME;X=ab;");
    EXPECT_EQ(warnings, (std::vector<std::string>{"9 TITLE: not UTF-8, read as ISO-8859-1",
                                                  "12 X-NUL: NUL characters removed",
                                                  "13 EMAIL;TYPE: not UTF-8, read as ISO-8859-1",
                                                  "13 EMAIL;X: NUL characters removed"}));
}

// A soft line break joins the next line as it is: its leading blank is text,
// not a fold that would glue "=" to the next two characters.
TEST(VcardReader, SoftLineBreaksKeepTheBlanksOfTheNextLine) {
    std::vector<Card> cards = vcard::read(
        "BEGIN:VCARD\r\nVERSION:2.1\r\n"
        "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=C3=9Clk=C3=BC Dvo=C5=99=C3=A1k=\r\n 63\r\n"
        "ADR;HOME;CHARSET=UTF-8;QUOTED-PRINTABLE:;;Lange Stra=C3=9Fe=\r\n 12;Berlin=\r\n"
        "\t;;10115\r\n ;DE\r\nNOTE;ENCODING=QUOTED-PRINTABLE:a=\r\nb\r\nTEL:1\r\n"
        "END:VCARD\r\n");
    EXPECT_EQ(only(cards, "FN").value, "Ülkü Dvořák 63");
    // After the last soft break, a blank folds as anywhere else.
    EXPECT_EQ(only(cards, "ADR").value, ";;Lange Straße 12;Berlin\t;;10115;DE");
    EXPECT_EQ(only(cards, "NOTE").value, "ab");
    EXPECT_EQ(only(cards, "TEL").line, 11u);
    EXPECT_TRUE(cards[0].warnings.empty());
}

// The last escape of a value, and conversions whose output outgrows the first
// guess of its size.
TEST(VcardReader, ValuesAreDecodedToTheirLastByte) {
    VCARD_NEEDS_CHARSETS("WINDOWS-1252", "TIS-620");
    std::string quoted, thai, expectedQuotes, expectedThai;
    for (int i = 0; i < 200; ++i) {
        quoted += "\x93x\x94 "; // “x” : 4 bytes become 8
        expectedQuotes += "“x” ";
        thai += "\xCA\xC1"; // สม: 2 bytes become 6
        expectedThai += "สม";
    }
    std::vector<Card> cards =
        vcard::read("BEGIN:VCARD\r\nVERSION:2.1\r\n"
                    "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Ren=C3=A9e Dupr=C3=A9\r\n"
                    "NOTE;CHARSET=WINDOWS-1252:" +
                    quoted +
                    "\r\n"
                    "TITLE;CHARSET=TIS-620:" +
                    thai + "\r\nEND:VCARD\r\n");
    EXPECT_EQ(only(cards, "FN").value, "Renée Dupré");
    EXPECT_EQ(only(cards, "NOTE").value, expectedQuotes);
    EXPECT_EQ(only(cards, "TITLE").value, expectedThai);
}

// Exporters write blanks and other characters into 2.1 parameters; the
// property is kept and the parameter read as a type or left out, with a
// warning.
TEST(VcardReader, OddParametersKeepTheirProperty) {
    std::vector<Card> cards = vcard::read("BEGIN:VCARD\n"
                                          "TEL;X-Mobil privat:+49 179 1000019\n"
                                          "TEL;CELL ;PREF:2\nTEL;X Y=a;WORK:3\n"
                                          "TEL;Büro \"1;2\";HOME:4\n"
                                          "FN;QUOTED-PRINTABLE :A=C3=A9\n"
                                          "END:VCARD\n");
    const auto &p = cards.at(0).properties;
    ASSERT_EQ(p.size(), 5u);
    std::vector<std::string> got;
    for (const Property &property : p)
        got.push_back(parametersOf(property) + " " + property.value + " " + property.problem);
    EXPECT_EQ(got, (std::vector<std::string>{"TYPE=X-Mobil privat; +49 179 1000019 ",
                                             "TYPE=CELL;TYPE=PREF; 2 ", "TYPE=WORK; 3 ",
                                             "TYPE=HOME; 4 ", "ENCODING=QUOTED-PRINTABLE; Aé "}));
    std::vector<std::string> warnings = warningsOf(cards[0]);
    EXPECT_EQ(warnings,
              (std::vector<std::string>{"2 TEL: parameter \"X-Mobil privat\" read as a type",
                                        "4 TEL: parameter \"X Y=a\" left out",
                                        "5 TEL: parameter \"Büro \"1;2\"\" left out"}));
}

TEST(VcardReader, ParametersInEverySpelling) {
    std::vector<Card> cards =
        vcard::read("BEGIN:VCARD\nVERSION:4.0\n"
                    "item1.TEL;CELL;PREF:1\nTEL;type=cell,pref:2\nTEL;TYPE=CELL;TYPE=PREF:3\n"
                    "TEL;TYPE=\"voice,home\";PREF=1;VALUE=uri:tel:+33-1\n"
                    "ADR;LABEL=\"Biuro ^'A^'^n1: Prosta; 2\";TYPE=work:;;;;;;\n"
                    "EMAIL;;TYPE=home;:a@b\nX-A;B=:v\n"
                    "END:VCARD\n");
    const auto &p = cards.at(0).properties;
    ASSERT_EQ(p.size(), 7u);
    EXPECT_EQ(p[0].group, "item1");
    EXPECT_EQ(parametersOf(p[0]), "TYPE=CELL;TYPE=PREF;");
    EXPECT_EQ(parametersOf(p[1]), "TYPE=cell|pref;");
    EXPECT_EQ(parametersOf(p[2]), "TYPE=CELL;TYPE=PREF;");
    EXPECT_EQ(parametersOf(p[3]), "TYPE=voice,home;PREF=1;VALUE=uri;");
    EXPECT_EQ(p[3].value, "tel:+33-1");
    // Quotes hold ':' and ';'; 4.0 decodes ^' and ^n.
    EXPECT_EQ(parametersOf(p[4]), "LABEL=Biuro \"A\"\n1: Prosta; 2;TYPE=work;");
    EXPECT_EQ(p[4].value, ";;;;;;");
    EXPECT_EQ(parametersOf(p[5]), "TYPE=home;");
    EXPECT_EQ(parametersOf(p[6]), "B=;");
    for (const Property &property : p) {
        EXPECT_TRUE(property.problem.empty()) << property.line;
        EXPECT_TRUE(property.has("TYPE", "PREF") || property.line > 5) << property.line;
    }
    // 3.0 has no ^ escapes.
    EXPECT_EQ(
        parametersOf(only(vcard::read("BEGIN:VCARD\nVERSION:3.0\nX;P=a^nb:v\nEND:VCARD\n"), "X")),
        "P=a^nb;");
}

// Faults of one line or one card stay with it; the other cards are read.
TEST(VcardReader, FaultsOfALineOrACardStayThere) {
    std::vector<Card> cards = vcard::read("BEGIN:VCARD\n"
                                          "VERSION:3.0\nFN:Ann\njust some text\n"
                                          "TEL;TYPE=\"cell:0612\nN@X:a\nEND:VCARD\nBEGIN:VCARD\n"
                                          "FN:Bob\n"
                                          "BEGIN:VCARD\n" // line 10: Bob's card has no END
                                          "VERSION:5.0\nFN:Cid\nEND:VCARD\nbegin:vcard\nFN:Dan\n"
                                          "AGENT:\nBEGIN:VCARD\nFN:Dan's assistant\nEND:VCARD\n"
                                          "TEL:1\nEND:VCARD\nBEGIN:VCARD\n"
                                          "FN:Eve\n");
    ASSERT_EQ(cards.size(), 5u);
    const auto &ann = cards[0].properties;
    ASSERT_EQ(ann.size(), 4u);
    EXPECT_EQ(ann[1].line, 4u);
    EXPECT_EQ(ann[1].problem, "no ':' in the line");
    EXPECT_EQ(ann[2].problem, "a quoted parameter value has no closing '\"'");
    EXPECT_EQ(ann[3].problem, "the property name holds '@'");
    EXPECT_TRUE(cards[0].error.empty());

    EXPECT_EQ(cards[1].error,
              "line 8: the card has no END:VCARD before the next BEGIN:VCARD at line 10");
    EXPECT_EQ(cards[1].properties.size(), 1u);
    EXPECT_EQ(cards[2].error, "line 11: VERSION 5.0 is not 2.1, 3.0 or 4.0");
    // The card after AGENT belongs to it and is not read as properties.
    EXPECT_TRUE(cards[3].error.empty());
    ASSERT_EQ(cards[3].properties.size(), 3u);
    EXPECT_EQ(cards[3].properties[2].name, "TEL");
    EXPECT_EQ(cards[4].error, "line 22: the card has no END:VCARD before the end of the file");
}

TEST(VcardReader, FilesBeyondTheLimitsAreRefusedNamingTheLine) {
    vcard::Limits small;
    small.fileBytes = 200;
    small.lineBytes = 20;
    small.cards = 2;
    small.propertiesPerCard = 2;
    small.properties = 2;
    small.parametersPerProperty = 3;
    small.nesting = 1;
    const std::string card = "BEGIN:VCARD\nFN:a\nEND:VCARD\n";
    EXPECT_EQ(readError(std::string(201, ' '), small), "the file is larger than 200 bytes");
    EXPECT_EQ(readError(card + "BEGIN:VCARD\nNOTE:" + std::string(16, 'x') + "\n", small),
              "line 5: longer than 20 bytes");
    EXPECT_EQ(readError(card + "BEGIN:VCARD\nNOTE:0123456789\n 0123456789\n", small),
              "line 5: longer than 20 bytes once unfolded");
    EXPECT_EQ(readError(card + card + card, small), "line 7: more than 2 cards");
    EXPECT_EQ(readError("BEGIN:VCARD\nA:1\nB:2\nC:3\n", small),
              "line 4: more than 2 properties in the card begun at line 1");
    EXPECT_EQ(readError(card + "BEGIN:VCARD\nA:1\nB:2\n", small),
              "line 6: more than 2 properties in the file");
    EXPECT_EQ(readError("BEGIN:VCARD\nTEL;A=1,2;B=3;C:1\n", small),
              "line 2: more than 3 parameter values");
    EXPECT_EQ(readError("BEGIN:VCARD\nAGENT:\nBEGIN:VCARD\nAGENT:\nBEGIN:VCARD\n", small),
              "line 5: cards nested more than 1 deep");
    // Not a vCard file at all.
    EXPECT_EQ(readError("name,number\nAnn,0612\n"),
              "line 1: expected BEGIN:VCARD, found \"name,number\"");
    EXPECT_EQ(readError(card + "END:VCARD\n"), "line 4: END:VCARD without BEGIN:VCARD");
    EXPECT_EQ(readError(std::string("\xFF\xFE\x00\xD8", 4)),
              "the file starts as UTF-16 but is not valid UTF-16");
}

} // namespace
