// A phonebook of the test for vcard::Import, holding only the UIDs of what it
// was given, and files of plain generated cards.
#ifndef VCARD_IMPORT_PHONEBOOK_HPP
#define VCARD_IMPORT_PHONEBOOK_HPP

#include "zeb/vcard.hpp"

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace importtest {

using vcard::json;

// Lines per card of cards(): the card i begins at line 1 + kCardLines * i.
constexpr size_t kCardLines = 11;

// The UID "u<i>" of card i, or of the card before when i is `repeat` (> 0).
inline std::string uniqueID(size_t i, size_t repeat = 0) {
    char n[16];
    std::snprintf(n, sizeof n, "u%05zu", i > 0 && i == repeat ? i - 1 : i);
    return n;
}

// `count` cards of 3.0 with a UID each, as uniqueID() gives them.
inline std::string cards(size_t count, size_t repeat = 0) {
    std::string file;
    for (size_t i = 0; i < count; ++i) {
        std::string id = uniqueID(i, repeat).substr(1);
        file += "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:u" + id + "\r\nFN:Person " + id + "\r\nN:" + id +
                ";Person;;;\r\nTEL;TYPE=CELL:+49 30 1234 " + id + "\r\nTEL;TYPE=HOME:030 555 " +
                id + "\r\nEMAIL:p" + id + "@example.org\r\nADR;TYPE=HOME:;;Street " + id +
                ";Berlin;;10115;Germany\r\nNOTE:a note\r\nEND:VCARD\r\n";
    }
    return file;
}

// Takes contacts up to `max`, refuses the rest and UIDs it holds; finds
// nothing by lookup. `cardSize` > 0 is the size of every card in a message.
struct Phonebook {
    size_t max = SIZE_MAX;
    size_t cardSize = 0;
    std::set<std::string> held;
    std::vector<std::string> given; /* the UIDs addContacts got, in order */
    size_t batches = 0;

    vcard::Phonebook calls() {
        vcard::Phonebook p;
        p.call = [this](const std::string &function, const json &) -> json {
            if (function == "getMaxNumberOfContacts")
                return max == SIZE_MAX ? 100000 : max;
            if (function == "getNumberOfContacts")
                return held.size();
            if (function == "getContactsRange")
                return {{"total", 0}, {"offset", 0}, {"contacts", json::array()}};
            return json::object();
        };
        p.addContacts = [this](const json &contacts) {
            ++batches;
            json refused = json::array();
            for (const json &contact : contacts) {
                std::string id = contact.value("uniqueID", "");
                given.push_back(id);
                if (held.size() >= max || !held.insert(id).second)
                    refused.push_back(contact);
            }
            return refused;
        };
        p.messageSize = [this](const json &value) {
            return cardSize > 0 ? cardSize : value.dump().size();
        };
        p.maxMessage = 4u << 20;
        return p;
    }
};

} // namespace importtest

#endif
