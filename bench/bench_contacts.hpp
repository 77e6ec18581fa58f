// The contacts the benchmarks fill phonebooks with: contact i has the
// formatted name "Contact i", the unique ID "id-i", the cell number
// numberOf(i) and a work number, an e-mail address and a postal address.
#ifndef ZEB_BENCH_CONTACTS_HPP
#define ZEB_BENCH_CONTACTS_HPP

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "zeb_variant_json.hpp"

namespace benchcontacts {

using json = zeb_json::json;

// Contacts go in addContacts calls of this many, as a client filling a large
// phonebook sends them.
constexpr int kBatch = 500;

// The cell number of contact i, in international form.
inline std::string numberOf(int i) {
    char text[32];
    snprintf(text, sizeof text, "+3361%07d", i);
    return text;
}

inline json contact(int i) {
    std::string id = std::to_string(i);
    return json{{"uniqueID", "id-" + id},
                {"formattedName", "Contact " + id},
                {"organisation", "Example"},
                {"telephoneNumbers",
                 json::array({{{"name", numberOf(i)}, {"type", "cell"}, {"preferred", true}},
                              {{"name", "+331400" + id}, {"type", "work"}, {"preferred", false}}})},
                {"emails", json::array({{{"name", "c" + id + "@example.com"},
                                         {"type", "home"},
                                         {"preferred", true}}})},
                {"addresses", json::array({{{"name", id + " rue de l'Exemple, 75011 Paris"},
                                            {"type", "home"},
                                            {"preferred", true}}})}};
}

// The named arguments of the addContacts calls that fill a phonebook of
// `size` contacts.
inline std::vector<json> fillingCalls(int size) {
    std::vector<json> calls;
    for (int first = 0; first < size; first += kBatch) {
        json contacts = json::array();
        for (int i = first; i < std::min(size, first + kBatch); ++i)
            contacts.push_back(contact(i));
        calls.push_back({{"contacts", std::move(contacts)}});
    }
    return calls;
}

} // namespace benchcontacts

#endif
