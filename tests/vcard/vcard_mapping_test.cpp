// Cards to contacts and back, and what the writer produces.
#include <gtest/gtest.h>

#include "zeb/vcard.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

using vcard::json;

std::string fixture(const std::string &name) {
    std::ifstream in(std::string(VCARD_FIXTURES) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<vcard::Imported> importAll(const std::string &text) {
    std::vector<vcard::Imported> out;
    for (const vcard::Card &card : vcard::read(text))
        out.push_back(vcard::toContact(card));
    return out;
}

nlohmann::json unordered(const json &value) {
    return nlohmann::json::parse(value.dump());
}

// "line:what" of the properties left out, then "dropped line:what" of the
// unreadable ones and "warning line text".
std::vector<std::string> notes(const vcard::Imported &card) {
    std::vector<std::string> out;
    for (auto [kept, prefix, separator] : {std::tuple{&card.skipped, "", ":"},
                                           {&card.dropped, "dropped ", ":"},
                                           {&card.warnings, "warning ", " "}})
        for (const vcard::Note &note : *kept)
            out.push_back(prefix + std::to_string(note.line) + separator + note.text);
    return out;
}

using Strings = std::vector<std::string>;

// A contact written with its items as [name, type, preferred].
template <class Json> Json items(Json contact) {
    for (auto &field : contact.items()) {
        if (field.value().is_array()) {
            for (auto &i : field.value())
                i = {{"name", i[0]}, {"type", i[1]}, {"preferred", i[2]}};
        }
    }
    return contact;
}

// Each card against its contact (items as [name, type, preferred]) and notes.
TEST(VcardMapping, CardsOfAnExporterAndOddCards) {
    struct Case {
        std::string source; // a fixture or the text of a card
        const char *contact;
        Strings notes;
    } cases[] = {
        // The lowest PREF wins.
        {"rfc-4.0.vcf",
         R"({"uniqueID": "urn:uuid:4fbe8971-0bc3-424c-9c26-36c3e1eff6b1",
          "formattedName": "Łucja Żółkowska", "name": "Żółkowska;Łucja", "lastRevision": "2024-01-20T08:00:00Z",
          "birthDay": "1604-04-12T00:00:00Z", "tags": "rodzina,przyjaciele",
          "addresses": [["ul. Marszałkowska 10\n00-001 Warszawa\nPolska", "home", false]],
          "labels": [["ul. Marszałkowska 10\nWarszawa", "home", false],
                     ["Biuro \"Centrum\"\nul. Prosta 1", "work", false]],
          "telephoneNumbers": [["+48221234567", "cell", true], ["+48221234567;ext=102", "voice,home", false],
                               ["+48227654321", "work", false]],
          "emails": [["lucja@example.pl", "work", false], ["lucja.z@example.com", "home", true]],
          "photos": [["https://example.pl/photos/lucja.jpg", "", false]]})",
         {"7:KIND", "16:ANNIVERSARY", "17:GENDER", "18:LANG", "20:PHOTO (inline)"}},
        {"BEGIN:VCARD\nVERSION:3.0\nFN:O\\;Brien\\, Pat\\nJr.\nN:O\\;Brien;Pat\\,Rose;;;\n"
         "URL:http://a\nURL:http://b\nBDAY:1985-02-30\nBDAY:1985-04-12\n"
         "REV:2021-12-31T23:30:00-01:30\nEMAIL;TYPE=INTERNET;TYPE=pref:x@y\nTEL:\nbroken line\n"
         "END:VCARD\n",
         R"({"formattedName": "O;Brien, Pat\nJr.", "name": "O\\;Brien;Pat,Rose", "url": "http://a",
          "birthDay": "1985-04-12T00:00:00Z", "lastRevision": "2022-01-01T01:00:00Z",
          "emails": [["x@y", "", true]]})",
         {"6:URL (more than one)", "7:BDAY", "12:BROKEN",
          "warning 7 BDAY \"1985-02-30\" is not a date; left out",
          "warning 12 BROKEN: no ':' in the line; left out"}},
        // Unreadable numbers and addresses are told apart from unplaced properties.
        {"BEGIN:VCARD\nFN:A\nTEL;CHARSET=NO-SUCH-SET:1\nEMAIL;X=\"a:b\n"
         "ADR;CHARSET=NO-SUCH-SET:;;x\nNOTE;CHARSET=NO-SUCH-SET:n\nTEL:2\nEND:VCARD\n",
         R"({"formattedName": "A", "telephoneNumbers": [["2", "", false]]})",
         {"6:NOTE", "dropped 3:TEL", "dropped 4:EMAIL", "dropped 5:ADR",
          "warning 3 TEL: the value is not in the character set NO-SUCH-SET; left out",
          "warning 4 EMAIL: a quoted parameter value has no closing '\"'; left out",
          "warning 5 ADR: the value is not in the character set NO-SUCH-SET; left out",
          "warning 6 NOTE: the value is not in the character set NO-SUCH-SET; left out"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.source);
        bool file = c.source.rfind(".vcf") == c.source.size() - 4;
        auto cards = importAll(file ? fixture(c.source) : c.source);
        ASSERT_FALSE(cards.empty());
        EXPECT_EQ(unordered(cards[0].contact), items(nlohmann::json::parse(c.contact)));
        EXPECT_EQ(notes(cards[0]), c.notes);
    }
    // Without FN the name comes from N, else ORG, else the first number.
    const std::pair<const char *, const char *> named[] = {
        {"N:Public;John;Quinlan;Mr.;Esq.\nORG:Acme\n", "Mr. John Quinlan Public Esq."},
        {"N:;;;;\nORG:Acme\\, Inc.;Sales\nTEL:1\n", "Acme, Inc."},
        {"TEL:07 00 00 00 01\nEMAIL:a@b\n", "07 00 00 00 01"}};
    for (const auto &[properties, name] : named) {
        std::string card = std::string("BEGIN:VCARD\nVERSION:3.0\n") + properties + "END:VCARD\n";
        EXPECT_EQ(importAll(card).at(0).contact["formattedName"], name);
    }
}

TEST(VcardMapping, NumbersInTheirDialableForm) {
    const std::pair<const char *, const char *> cases[] = {
        {"+49 179 1000019", "+491791000019"},
        {"0179 / 100 00 99", "01791000099"},
        {"+49 (0)30 1234567", "+49301234567"},
        {"0049(0)30-123.45.67", "0049301234567"},
        {"(030) 123 4567", "0301234567"},
        {"+1 (212) 555-0100", "+12125550100"},
        {"+33\u00A06\u00A012", "+33612"},
        {"*31# 0611 p 123 w 4, 5; 6", "*31#0611p123w4,5;6"},
        {"+49 30 1234-56 ext. 7", "+49 30 1234-56 ext. 7"},
        {"1-800-FLOWERS", "1-800-FLOWERS"},
        {"ask at the desk", "ask at the desk"},
        {"- -", "- -"},
        {"", ""},
    };
    for (const auto &[written, dialable] : cases)
        EXPECT_EQ(vcard::dialableNumber(written), dialable) << written;
}

TEST(VcardMapping, DatesOfEveryForm) {
    const std::pair<const char *, const char *> cases[] = {
        {"1985-04-12", "1985-04-12T00:00:00Z"},
        {"19850412", "1985-04-12T00:00:00Z"},
        {"--0412", "1604-04-12T00:00:00Z"},
        {"--04-12", "1604-04-12T00:00:00Z"},
        {"19960415T231000Z", "1996-04-15T23:10:00Z"},
        {"1996-04-15T23:10:00.25Z", "1996-04-15T23:10:00Z"},
        {"19960415T2310", "1996-04-15T23:10:00Z"},
        {"2000-03-01T00:30:00+01:00", "2000-02-29T23:30:00Z"},
        {"1999-12-31T20:00-0500", "2000-01-01T01:00:00Z"},
        {"2016-12-31T23:59:60Z", "2016-12-31T23:59:59Z"},
        {" 2024-02-29 ", "2024-02-29T00:00:00Z"},
        {"2023-02-29", ""},
        {"1985-13-01", ""},
        {"1985-04-12T24:00:00Z", ""},
        {"1985-04-12T10:00:00+15", ""},
        {"1985-04", ""},
        {"circa 1800", ""},
        {"0000-01-01", ""},
        {"", ""},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(vcard::parseDateTime(text), expected) << text;
}

// CRLF only, at most 75 octets a line, no cut inside a UTF-8 sequence.
void expectWellFormed(const std::string &card) {
    ASSERT_EQ(card.substr(card.size() - 2), "\r\n");
    for (size_t start = 0, end; (end = card.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        std::string line = card.substr(start, end - start);
        EXPECT_LE(line.size(), 75u) << line;
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
        EXPECT_FALSE(!line.empty() && (static_cast<unsigned char>(line.back()) & 0xC0) == 0xC0);
        EXPECT_FALSE(line.size() > 1 && line[0] == ' ' &&
                     (static_cast<unsigned char>(line[1]) & 0xC0) == 0x80)
            << line;
    }
}

// A contact with everything that needs care, written and read back.
TEST(VcardMapping, WrittenCardsReadBackToTheSameContact) {
    json contact = items(json::parse(R"({"key": "7", "uniqueID": "ann-1",
        "lastRevision": "2021-03-04T05:06:07Z", "name": "O\\;Brien;Ann,Marie;;Dr.",
        "formattedName": "", "birthDay": "1604-03-15T00:00:00Z", "title": "Chef; de projet",
        "organisation": "Acme, Inc.;R&D", "url": "https://example.com/a,b;c", "ringtone": "bell.mp3",
        "tags": "famille,amis", "addresses": [["1 rue X, Bât. 2\n75001 Paris", "home,intl", true]],
        "labels": [["Bureau \"Est\"\n^2 Rue", "Mon bureau", false]],
        "telephoneNumbers": [["0033612345678", "cell", true], ["06 12 34 56 78", "", false],
                             ["+33 1;ext=2", "work,fax", false]],
        "emails": [["ann@example.com", "home", false]],
        "photos": [["https://example.com/ann.jpg", "image/jpeg,work", true]]})"));
    contact["formattedName"] = "Ann O;Brien, \"Dr\"\\ ünd " + std::string(60, 'x') + "ñ";
    for (vcard::Version version : {vcard::Version::v30, vcard::Version::v40}) {
        std::string card = vcard::write(contact, version);
        expectWellFormed(card);
        auto back = importAll(card);
        ASSERT_EQ(back.size(), 1u);
        EXPECT_TRUE(back[0].skipped.empty());
        EXPECT_TRUE(back[0].warnings.empty());
        json expected = contact;
        expected.erase("key");
        if (version == vcard::Version::v40) // written as tel:+33...
            expected["telephoneNumbers"][0]["name"] = "+33612345678";
        EXPECT_EQ(unordered(back[0].contact), unordered(expected)) << card;
    }
}

TEST(VcardMapping, WhatEachVersionWrites) {
    json contact = items(json::parse(R"({"formattedName": "", "name": "Smith;Ann",
        "birthDay": "1985-04-12T00:00:00Z", "lastRevision": "1970-01-01T00:00:00Z",
        "uniqueID": "urn:uuid:1", "telephoneNumbers": [["0033612345678", "cell", true]],
        "labels": [["a\nb", "work", false]], "photos": [["http://p", "image/png", false]],
        "emails": []})"));
    EXPECT_EQ(vcard::write(contact, vcard::Version::v30),
              "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Smith\r\nN:Smith;Ann;;;\r\nUID:urn:uuid:1\r\n"
              "BDAY:1985-04-12\r\nTEL;TYPE=cell,pref:0033612345678\r\nLABEL;TYPE=work:a\\nb\r\n"
              "PHOTO;VALUE=uri;TYPE=PNG:http://p\r\nEND:VCARD\r\n");
    EXPECT_EQ(vcard::write(contact, vcard::Version::v40),
              "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Ann Smith\r\nN:Smith;Ann;;;\r\nUID:urn:uuid:1\r\n"
              "BDAY:19850412\r\nTEL;VALUE=uri;TYPE=cell;PREF=1:tel:+33612345678\r\nADR;LABEL="
              "\"a^nb\";TYPE=work:;;;;;;\r\nPHOTO;MEDIATYPE=image/png:http://p\r\nEND:VCARD\r\n");
    // Bytes that are no UTF-8 (the phonebook does not check) still fold.
    std::string garbage = vcard::write({{"title", std::string(300, '\x80')}}, vcard::Version::v30);
    size_t longest = 0, count = 0;
    for (size_t start = 0, end; (end = garbage.find("\r\n", start)) != std::string::npos;
         start = end + 2, ++count)
        longest = std::max(longest, end - start);
    EXPECT_LE(longest, 75u);
    EXPECT_EQ(count, 4u + 5 + 1) << "TITLE in five lines";
    // Nothing but what 4.0 needs; a UID that is no URI is told as text.
    EXPECT_EQ(vcard::write({{"uniqueID", "u1"}}, vcard::Version::v40),
              "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:\r\nUID;VALUE=text:u1\r\nEND:VCARD\r\n");
}

} // namespace
