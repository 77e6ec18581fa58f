// The vCard reader: how exporters write lines, parameters and encodings, and
// what it refuses.
#include <gtest/gtest.h>

#include "charsets.hpp"
#include "zeb/vcard.hpp"

#include <regex>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

// Each card's version, then each property as "LINE GROUP.NAME;P=v|v;...:VALUE"
// with " !problem" or " (inline)", then the card's warnings and error.
Strings shown(const std::string &text) {
    Strings out;
    for (const vcard::Card &card : vcard::read(text)) {
        if (!card.version.empty())
            out.push_back("VERSION " + card.version);
        for (const vcard::Property &p : card.properties) {
            std::string line =
                std::to_string(p.line) + " " + (p.group.empty() ? "" : p.group + ".") + p.name;
            for (const vcard::Parameter &parameter : p.parameters) {
                line += ";" + parameter.name + "=";
                for (size_t i = 0; i < parameter.values.size(); ++i)
                    line += (i > 0 ? "|" : "") + parameter.values[i];
            }
            line += ":" + p.value + (p.problem.empty() ? "" : " !" + p.problem) +
                    (p.inlineData ? " (inline)" : "");
            out.push_back(line);
        }
        for (const vcard::Note &note : card.warnings)
            out.push_back("warning " + std::to_string(note.line) + " " + note.text);
        if (!card.error.empty())
            out.push_back("error " + card.error);
    }
    return out;
}

std::string utf16le(const std::string &ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii)
        out += {c, '\0'};
    return out;
}

std::string repeated(const std::string &text, int times) {
    return times == 0 ? "" : text + repeated(text, times - 1);
}

TEST(VcardReader, CardsAsExportersWriteThem) {
    const std::string crlf = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Élodie Martin\r\nEND:VCARD\r\n";
    const Strings elodie = {"VERSION 3.0", "3 FN:Élodie Martin"};
    static const char kQp[] =
        "BEGIN:VCARD\r\nVERSION:2.1\r\n"
        "NOTE;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Appeler apr=C3=A8s 18h,=0D=0A=\r\n"
        "deuxi=C3=A8m=\r\ne =C3=A9tage =3D 2=\r\n\r\n"
        "N;CHARSET=ISO-8859-1;QUOTED-PRINTABLE:M=FCller;J=FCrgen;;;\r\n"
        "FN;CHARSET=SHIFT_JIS:\x8E\x52\x93\x63\r\nTITLE:Caf\xE9\r\nORG;CHARSET=NO-SUCH-SET:x\r\n"
        "X-BROKEN;ENCODING=QUOTED-PRINTABLE:a=ZZb=4\r\nX-NUL;ENCODING=QUOTED-PRINTABLE:a=00b\r\n"
        "EMAIL;TYPE=I\xB9\xB9NTERNET,HOME;X=\"a\0b\":e@x\r\n"
        "PHOTO;ENCODING=BASE64;JPEG:/9j/4AAQ\r\n SkZJRg==\r\n\r\n"
        "END:VCARD\r\n";
    struct Case {
        const char *what;
        bool charsets; // needs the converters of charsets.hpp
        std::string text;
        Strings expected;
    } cases[] = {
        {"LF", false, std::regex_replace(crlf, std::regex("\r\n"), "\n"), elodie},
        {"CR", false, std::regex_replace(crlf, std::regex("\r\n"), "\r"), elodie},
        {"byte order mark", false, "\xEF\xBB\xBF" + crlf, elodie},
        {"UTF-16", true, utf16le("BEGIN:VCARD\r\nFN:Ann\r\nEND:VCARD\r\n"), {"2 FN:Ann"}},
        // Folds may fall inside a UTF-8 sequence; a tab folds as a space does.
        {"folds",
         false,
         "BEGIN:VCARD\r\nFN:\xC3\r\n \x89lodie Ma\r\n\trtin\r\nNOTE:a\r\n  b\r\nEND:VCARD\r\n",
         {"2 FN:Élodie Martin", "5 NOTE:a b"}},
        // Soft line breaks join lines, even an empty one that follows;
        // parameter values too become UTF-8 without NUL.
        {"quoted-printable and character sets",
         true,
         std::string(kQp, sizeof kQp - 1),
         {"VERSION 2.1",
          "3 NOTE;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Appeler après 18h,\r\n"
          "deuxième étage = 2",
          "7 N;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:Müller;Jürgen;;;",
          "8 FN;CHARSET=SHIFT_JIS:山田", "9 TITLE:Café",
          "10 ORG;CHARSET=NO-SUCH-SET: !the value is not in the character set NO-SUCH-SET",
          "11 X-BROKEN;ENCODING=QUOTED-PRINTABLE:a=ZZb=4", "12 X-NUL;ENCODING=QUOTED-PRINTABLE:ab",
          "13 EMAIL;TYPE=I¹¹NTERNET|HOME;X=ab:e@x", "14 PHOTO;ENCODING=BASE64;TYPE=JPEG: (inline)",
          "warning 9 TITLE: not UTF-8, read as ISO-8859-1",
          "warning 12 X-NUL: NUL characters removed",
          "warning 13 EMAIL;TYPE: not UTF-8, read as ISO-8859-1",
          "warning 13 EMAIL;X: NUL characters removed"}},
        // A soft line break joins the next line as it is: its leading blank
        // is text, not a fold; after the last soft break a blank folds.
        {"soft line breaks before blanks",
         false,
         "BEGIN:VCARD\r\nVERSION:2.1\r\n"
         "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=C3=9Clk=C3=BC Dvo=C5=99=C3=A1k=\r\n 63\r\n"
         "ADR;HOME;CHARSET=UTF-8;QUOTED-PRINTABLE:;;Lange Stra=C3=9Fe=\r\n 12;Berlin=\r\n"
         "\t;;10115\r\n ;DE\r\nNOTE;ENCODING=QUOTED-PRINTABLE:a=\r\nb\r\nTEL:1\r\nEND:VCARD\r\n",
         {"VERSION 2.1", "3 FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Ülkü Dvořák 63",
          "5 ADR;TYPE=HOME;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:;;Lange Straße "
          "12;Berlin\t;;10115;DE",
          "9 NOTE;ENCODING=QUOTED-PRINTABLE:ab", "11 TEL:1"}},
        // Conversions whose output outgrows the first guess of its size.
        {"values decoded to their last byte",
         true,
         "BEGIN:VCARD\r\nNOTE;CHARSET=WINDOWS-1252:" + repeated("\x93x\x94 ", 200) +
             "\r\nTITLE;CHARSET=TIS-620:" + repeated("\xCA\xC1", 200) + "\r\nEND:VCARD\r\n",
         {"2 NOTE;CHARSET=WINDOWS-1252:" + repeated("“x” ", 200),
          "3 TITLE;CHARSET=TIS-620:" + repeated("สม", 200)}},
        // Blanks and other characters in 2.1 parameters: the property is kept
        // and the parameter read as a type or left out.
        {"odd parameters",
         false,
         "BEGIN:VCARD\nTEL;X-Mobil privat:+49 179 1000019\nTEL;CELL ;PREF:2\nTEL;X Y=a;WORK:3\n"
         "TEL;Büro \"1;2\";HOME:4\nFN;QUOTED-PRINTABLE :A=C3=A9\nEND:VCARD\n",
         {"2 TEL;TYPE=X-Mobil privat:+49 179 1000019", "3 TEL;TYPE=CELL;TYPE=PREF:2",
          "4 TEL;TYPE=WORK:3", "5 TEL;TYPE=HOME:4", "6 FN;ENCODING=QUOTED-PRINTABLE:Aé",
          "warning 2 TEL: parameter \"X-Mobil privat\" read as a type",
          "warning 4 TEL: parameter \"X Y=a\" left out",
          "warning 5 TEL: parameter \"Büro \"1;2\"\" left out"}},
        // Quotes hold ':' and ';'; 4.0 decodes ^' and ^n, 3.0 does not.
        {"parameters in every spelling",
         false,
         "BEGIN:VCARD\nVERSION:4.0\nitem1.TEL;CELL;PREF:1\nTEL;type=cell,pref:2\n"
         "TEL;TYPE=CELL;TYPE=PREF:3\nTEL;TYPE=\"voice,home\";PREF=1;VALUE=uri:tel:+33-1\n"
         "ADR;LABEL=\"Biuro ^'A^'^n1: Prosta; 2\";TYPE=work:;;;;;;\nEMAIL;;TYPE=home;:a@b\n"
         "X-A;B=:v\nEND:VCARD\nBEGIN:VCARD\nVERSION:3.0\nX;P=a^nb:v\nEND:VCARD\n",
         {"VERSION 4.0", "3 item1.TEL;TYPE=CELL;TYPE=PREF:1", "4 TEL;TYPE=cell|pref:2",
          "5 TEL;TYPE=CELL;TYPE=PREF:3", "6 TEL;TYPE=voice,home;PREF=1;VALUE=uri:tel:+33-1",
          "7 ADR;LABEL=Biuro \"A\"\n1: Prosta; 2;TYPE=work:;;;;;;", "8 EMAIL;TYPE=home:a@b",
          "9 X-A;B=:v", "VERSION 3.0", "13 X;P=a^nb:v"}},
        // Faults of one line or one card stay with it; a card after AGENT
        // belongs to it.
        {"faults of a line or a card",
         false,
         "BEGIN:VCARD\nVERSION:3.0\nFN:Ann\njust some text\nTEL;TYPE=\"cell:0612\nN@X:a\n"
         "END:VCARD\nBEGIN:VCARD\nFN:Bob\nBEGIN:VCARD\nVERSION:5.0\nFN:Cid\nEND:VCARD\n"
         "begin:vcard\nFN:Dan\nAGENT:\nBEGIN:VCARD\nFN:Dan's assistant\nEND:VCARD\nTEL:1\n"
         "END:VCARD\nBEGIN:VCARD\nFN:Eve\n",
         {"VERSION 3.0", "3 FN:Ann", "4 JUST: !no ':' in the line",
          "5 TEL: !a quoted parameter value has no closing '\"'",
          "6 N: !the property name holds '@'", "9 FN:Bob",
          "error line 8: the card has no END:VCARD before the next BEGIN:VCARD at line 10",
          "VERSION 5.0", "12 FN:Cid", "error line 11: VERSION 5.0 is not 2.1, 3.0 or 4.0",
          "15 FN:Dan", "16 AGENT:", "20 TEL:1", "23 FN:Eve",
          "error line 22: the card has no END:VCARD before the end of the file"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.charsets &&
            !convertsToUtf8({"UTF-16LE", "ISO-8859-1", "SHIFT_JIS", "WINDOWS-1252", "TIS-620"}))
            continue; // see charsets.hpp
        EXPECT_EQ(shown(c.text), c.expected);
    }
}

TEST(VcardReader, FilesBeyondTheLimitsAreRefusedNamingTheLine) {
    // File and line bytes, cards, properties in all and per card, parameters, nesting.
    const vcard::Limits small{200, 20, 2, 2, 2, 3, 1};
    const std::string card = "BEGIN:VCARD\nFN:a\nEND:VCARD\n";
    const struct {
        std::string text;
        vcard::Limits limits;
        const char *error;
    } cases[] = {
        {std::string(201, ' '), small, "the file is larger than 200 bytes"},
        {card + "BEGIN:VCARD\nNOTE:" + std::string(16, 'x') + "\n", small,
         "line 5: longer than 20 bytes"},
        {card + "BEGIN:VCARD\nNOTE:0123456789\n 0123456789\n", small,
         "line 5: longer than 20 bytes once unfolded"},
        {card + card + card, small, "line 7: more than 2 cards"},
        {"BEGIN:VCARD\nA:1\nB:2\nC:3\n", small,
         "line 4: more than 2 properties in the card begun at line 1"},
        {card + "BEGIN:VCARD\nA:1\nB:2\n", small, "line 6: more than 2 properties in the file"},
        {"BEGIN:VCARD\nTEL;A=1,2;B=3;C:1\n", small, "line 2: more than 3 parameter values"},
        {"BEGIN:VCARD\nAGENT:\nBEGIN:VCARD\nAGENT:\nBEGIN:VCARD\n", small,
         "line 5: cards nested more than 1 deep"},
        {"name,number\nAnn,0612\n", {}, "line 1: expected BEGIN:VCARD, found \"name,number\""},
        {card + "END:VCARD\n", {}, "line 4: END:VCARD without BEGIN:VCARD"},
        {std::string("\xFF\xFE\x00\xD8", 4),
         {},
         "the file starts as UTF-16 but is not valid UTF-16"},
    };
    for (const auto &c : cases) {
        try {
            vcard::read(c.text, c.limits);
            ADD_FAILURE() << "read: " << c.error;
        } catch (const vcard::ReadError &e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

} // namespace
