// Reading the phonebook a sorted page at a time, for the export and for
// finding the contacts that an update modifies.
#include "zeb/vcard.hpp"

#include <map>
#include <set>

namespace vcard {

namespace {

// One page from `offset`, at most `count` contacts: fewer when a page of
// `count` does not fit in one message (`count` is then left smaller, for
// the pages after it too).
json page(const Call &call, uint64_t offset, uint64_t &count) {
    for (;;) {
        try {
            return call("getContactsRange",
                        {{"offset", offset}, {"count", count}, {"sortBy", "formattedName"}});
        } catch (const AnswerTooLarge &) {
            if (count == 1)
                throw;
            count /= 2;
        }
    }
}

// Keeps `contact` for the wanted text its `key` holds, unless one is kept.
void keepWanted(std::map<std::string, json> &wanted, const char *key, const json &contact) {
    auto found = wanted.find(textOf(contact, key));
    if (found != wanted.end() && found->second.is_null())
        found->second = contact;
}

} // namespace

bool Pages::next(json &contacts) {
    if (total_ >= 0 && offset_ >= static_cast<uint64_t>(total_))
        return false;
    json answer = page(call_, offset_, count_);
    if (!answer.is_object() || !answer.contains("total") || !answer["total"].is_number() ||
        !answer.contains("contacts") || !answer["contacts"].is_array())
        throw BadAnswer("getContactsRange: " + answer.dump());
    total_ = answer.value("total", int64_t{0});
    if (first_ < 0)
        first_ = total_;
    changed_ = changed_ || total_ != first_;
    contacts = std::move(answer["contacts"]);
    offset_ += contacts.size();
    if (contacts.empty())
        total_ = 0; // nothing more to ask for
    return true;
}

bool forEachPage(const Call &call, const std::function<void(const json &contacts)> &visit) {
    Pages pages(call);
    for (json contacts; pages.next(contacts);)
        visit(contacts);
    return pages.changed();
}

bool Export::next(std::string &cards) {
    json contacts;
    if (!pages_.next(contacts))
        return false;
    cards.clear();
    for (const json &contact : contacts) {
        if (!contact.is_object())
            continue;
        std::string uniqueID = textOf(contact, "uniqueID");
        if (uniqueID.empty() || written_.insert(uniqueID).second) {
            cards += vcard::write(contact, version_);
            ++count_;
        }
    }
    return true;
}

size_t exportContacts(const Call &call, Version version,
                      const std::function<void(const std::string &cards)> &write, bool &changed) {
    Export pages(call, version);
    for (std::string cards; pages.next(cards);)
        write(cards);
    changed = pages.changed();
    return pages.count();
}

std::vector<json> findStored(const Call &call, const std::vector<Wanted> &wanted) {
    std::map<std::string, json> byID, byName;
    for (const Wanted &card : wanted) {
        if (!card.uniqueID.empty())
            byID[card.uniqueID];
        if (!card.formattedName.empty())
            byName[card.formattedName];
    }
    forEachPage(call, [&](const json &contacts) {
        for (const json &contact : contacts) {
            keepWanted(byID, "uniqueID", contact);
            keepWanted(byName, "formattedName", contact);
        }
    });
    std::vector<json> stored;
    for (const Wanted &card : wanted) {
        auto id = byID.find(card.uniqueID);
        auto named = byName.find(card.formattedName);
        stored.push_back(id != byID.end() && !id->second.is_null() ? id->second
                         : named != byName.end()                   ? named->second
                                                                   : json());
    }
    return stored;
}

} // namespace vcard
