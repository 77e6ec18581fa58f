// Importing a file of vCards: the cards mapped, sent in batches, and what
// became of each told in a report.
#include "zeb/vcard.hpp"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>

namespace vcard {

namespace {

// A batch stays far below the bus limit of one message, and short enough
// that the daemon answers other clients in between.
constexpr size_t kBatchBytes = 1u << 20;
constexpr size_t kBatchCards = 250;
// Room left in a message for the request around one card.
constexpr size_t kEnvelopeBytes = 4096;

std::string newUniqueID() {
    std::random_device random;
    unsigned char bytes[16];
    for (unsigned char &b : bytes)
        b = static_cast<unsigned char>(random());
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[64];
    std::snprintf(text, sizeof text,
                  "urn:uuid:%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7],
                  bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14],
                  bytes[15]);
    return text;
}

const char *const kLists[] = {"addresses", "labels", "telephoneNumbers", "emails", "photos"};
const char *const kTexts[] = {"name", "title", "organisation", "url", "ringtone", "tags"};
// A birthday the card does not give: the phonebook's "no date".
const char *const kNoDate = "1970-01-01T00:00:00Z";

// A number as the phonebook stores it: a leading "+" becomes "00".
std::string storedNumber(const std::string &number) {
    return number.rfind('+', 0) == 0 ? "00" + number.substr(1) : number;
}

// A list's items as the phonebook would hold them, in an order of their own:
// the phonebook keeps a modified list in the order of its item keys.
std::vector<json> comparable(const json &list, bool numbers) {
    std::vector<json> items;
    for (const json &item : list) {
        std::string name = textOf(item, "name");
        items.push_back({numbers ? storedNumber(name) : name, textOf(item, "type"),
                         item.value("preferred", false)});
    }
    std::sort(items.begin(), items.end());
    return items;
}

// The numbers of a contact in their dialable form; how many changed.
size_t makeNumbersDialable(json &contact) {
    size_t changed = 0;
    auto numbers = contact.find("telephoneNumbers");
    if (numbers == contact.end())
        return 0;
    for (json &item : *numbers) {
        std::string written = textOf(item, "name");
        std::string dialable = dialableNumber(written);
        if (dialable != written) {
            item["name"] = dialable;
            ++changed;
        }
    }
    return changed;
}

} // namespace

// One card on its way into the phonebook.
struct Import::Pending {
    Imported card;
    std::string uniqueID;    /* the card's UID, else a new one */
    bool ownUniqueID = true; /* the UID came from the card */
    size_t size = 0;         /* in a bus message; 0 until run() */
    json stored;             /* with update: the contact the card modifies */
    std::string formattedName;
};

namespace {

using Pending = Import::Pending;

// The contact map that makes `stored` what the card says: a modify keeps the
// fields a map leaves out and empties the lists it leaves out, so every
// field is named; items keep the key of a stored item with the same name.
json updateOf(const Pending &card) {
    const json &stored = card.stored;
    json target = card.card.contact;
    if (!card.ownUniqueID)
        target["uniqueID"] = stored.value("uniqueID", "");
    target.erase("lastRevision"); // a modify stamps its own
    for (const char *key : kTexts) {
        if (!target.contains(key))
            target[key] = "";
    }
    if (!target.contains("birthDay"))
        target["birthDay"] = kNoDate;
    for (const char *key : kLists) {
        json &list = target[key];
        if (list.is_null())
            list = json::array();
        std::vector<bool> used(stored.contains(key) ? stored[key].size() : 0, false);
        bool numbers = std::string(key) == "telephoneNumbers";
        for (json &item : list) {
            std::string name = textOf(item, "name");
            for (size_t i = 0; i < used.size(); ++i) {
                const json &old = stored[key][i];
                if (!used[i] && textOf(old, "name") == (numbers ? storedNumber(name) : name)) {
                    used[i] = true;
                    item["key"] = old.value("key", "");
                    break;
                }
            }
        }
    }
    return target;
}

// True when the modify `target` would leave `stored` as it is.
bool changesNothing(const json &target, const json &stored) {
    for (const auto &field : target.items()) {
        if (field.key() == "key")
            continue;
        auto old = stored.find(field.key());
        if (old == stored.end())
            return false;
        if (field.value().is_array()) {
            bool numbers = field.key() == "telephoneNumbers";
            if (!old->is_array() || comparable(field.value(), numbers) != comparable(*old, numbers))
                return false;
        } else if (field.value() != *old) {
            return false;
        }
    }
    return true;
}

// True when a lookup finds a contact (an empty map when none).
bool finds(const Phonebook &phonebook, const char *function, const char *argument,
           const std::string &value) {
    json found = phonebook.call(function, {{argument, value}});
    return found.is_object() && !found.empty();
}

// The cards of the file, one at a time, as they are to be sent.
using Source = std::function<bool(Pending &card)>;

class Sender {
  public:
    Sender(const Phonebook &phonebook, ImportReport &report)
        : phonebook_(phonebook), report_(report) {}

    void run(const Source &source) {
        max_ = phonebook_.call("getMaxNumberOfContacts", json::object()).get<uint64_t>();
        Pending carried; // the card that did not fit in the batch before
        bool held = false;
        for (;;) {
            // A batch holds the cards refused here too, so that every card is
            // told in the order of the file.
            std::vector<Pending> batch;
            std::set<std::string> uniqueIDs;
            size_t bytes = kEnvelopeBytes;
            while (batch.size() < kBatchCards && (held || take(source, carried))) {
                held = false;
                if (!carried.card.error.empty() || !carried.stored.is_null()) {
                    batch.push_back(std::move(carried));
                    continue;
                }
                // Two cards of one batch never share a UID: the refused ones
                // are told apart by it.
                if (!uniqueIDs.empty() && (bytes + carried.size > kBatchBytes ||
                                           uniqueIDs.count(carried.uniqueID) != 0)) {
                    held = true;
                    break;
                }
                uniqueIDs.insert(carried.uniqueID);
                bytes += carried.size;
                batch.push_back(std::move(carried));
            }
            if (batch.empty())
                return;
            send(batch);
        }
    }

  private:
    // The next card with its size in a message; one too large is refused.
    bool take(const Source &source, Pending &card) {
        if (!source(card))
            return false;
        if (card.card.error.empty()) {
            card.size = phonebook_.messageSize(card.card.contact);
            if (card.size > phonebook_.maxMessage - kEnvelopeBytes)
                card.card.error = "the card is too large for one bus message";
        }
        return true;
    }

    // The contacts sent are moved out of their cards, which keep what the
    // report needs.
    void send(std::vector<Pending> &batch) {
        json contacts = json::array();
        for (Pending &card : batch) {
            if (card.card.error.empty() && card.stored.is_null())
                contacts.push_back(std::move(card.card.contact));
        }
        json result = json::array();
        uint64_t count = 0;
        std::string refusedCall;
        if (!contacts.empty()) {
            count = phonebook_.call("getNumberOfContacts", json::object()).get<uint64_t>();
            try {
                result = phonebook_.addContacts(contacts);
            } catch (const Refused &e) {
                refusedCall = e.what();
            }
        }
        std::set<std::string> refused;
        for (const json &contact : result) {
            if (contact.is_object())
                refused.insert(contact.value("uniqueID", ""));
        }
        for (const Pending &card : batch) {
            if (!card.card.error.empty()) {
                refuse(card, card.card.error);
            } else if (!card.stored.is_null()) {
                update(card);
            } else if (!refusedCall.empty()) {
                refuse(card, refusedCall);
            } else if (refused.count(card.uniqueID) == 0) {
                ++report_.added;
                ++count;
            } else {
                refuse(card, reason(card, count));
            }
        }
    }

    // A card equal to its contact is not sent: a modify would stamp the
    // contact, announce it and save the phonebook for nothing.
    void update(const Pending &card) {
        json target = updateOf(card);
        if (changesNothing(target, card.stored)) {
            ++report_.unchanged;
            return;
        }
        std::string storedID = card.stored.value("uniqueID", "");
        json done;
        try {
            done = phonebook_.call("modifyContactByUniqueID",
                                   {{"uniqueID", storedID}, {"contact", target}});
        } catch (const Refused &e) {
            refuse(card, e.what());
            return;
        }
        if (done == true) {
            ++report_.updated;
            return;
        }
        std::string name = target.value("formattedName", "");
        json holder =
            name.empty() ? json() : phonebook_.call("getContact", {{"formattedName", name}});
        if (holder.is_object() && holder.value("uniqueID", storedID) != storedID)
            refuse(card, "formattedName \"" + name + "\" is already in the phonebook");
        else
            refuse(card, "the phonebook refused the update");
    }

    // Why addContacts refused a card: the entry limit as it stood when the
    // card came, or a formatted name or UID that another contact holds.
    std::string reason(const Pending &card, uint64_t countBefore) {
        if (countBefore >= max_)
            return "the phonebook is full (MaxNumberOfEntries " + std::to_string(max_) + ")";
        if (card.ownUniqueID &&
            finds(phonebook_, "getContactByUniqueID", "uniqueID", card.uniqueID))
            return "uniqueID \"" + card.uniqueID + "\" is already in the phonebook";
        const std::string &name = card.formattedName;
        if (!name.empty() && finds(phonebook_, "getContact", "formattedName", name))
            return "formattedName \"" + name + "\" is already in the phonebook";
        return "refused by the phonebook";
    }

    void refuse(const Pending &card, const std::string &why) {
        if (report_.refused.size() == ImportReport::kMaxRefused) {
            ++report_.moreRefused;
            return;
        }
        report_.refused.push_back({card.card.line, card.formattedName, why});
    }

    const Phonebook &phonebook_;
    ImportReport &report_;
    uint64_t max_ = 0;
};

} // namespace

json ImportReport::summary(bool update) const {
    auto droppedOf = [this](const char *name) {
        auto found = dropped.find(name);
        return found == dropped.end() ? size_t{0} : found->second;
    };
    size_t skippedTotal = 0;
    for (const auto &entry : skipped)
        skippedTotal += entry.second;
    json out = {{"added", added},
                {"failed", refused.size() + moreRefused},
                {"skipped_properties", skippedTotal},
                {"dropped_numbers", droppedOf("TEL")},
                {"dropped_emails", droppedOf("EMAIL")},
                {"dropped_addresses", droppedOf("ADR")},
                {"numbers_changed", numbersChanged}};
    if (update) {
        out["updated"] = updated;
        out["unchanged"] = unchanged;
    }
    return out;
}

Import::Import(std::string file, const ImportOptions &options, const Limits &limits)
    : file_(std::move(file)), options_(options), limits_(limits) {
    CardReader reader(file_, limits_);
    for (Card card; reader.next(card);) {
        Imported imported = toContact(card);
        if (!options_.keepNumbers)
            report_.numbersChanged += makeNumbersDialable(imported.contact);
        for (Note &note : imported.warnings) {
            if (report_.warnings.size() < ImportReport::kMaxWarnings)
                report_.warnings.push_back(std::move(note));
            else
                ++report_.moreWarnings;
        }
        for (const Note &note : imported.skipped)
            ++report_.skipped[note.text];
        for (const Note &note : imported.dropped)
            ++report_.dropped[note.text];
        if (options_.update)
            wanted_.push_back(
                {textOf(imported.contact, "uniqueID"), textOf(imported.contact, "formattedName")});
    }
}

Import::~Import() = default;

void Import::run(const Phonebook &phonebook) {
    std::vector<json> stored;
    if (options_.update) {
        stored = findStored(phonebook.call, wanted_);
        std::vector<Wanted>().swap(wanted_);
    }
    CardReader reader(file_, limits_);
    size_t index = 0;
    Source source = [&](Pending &pending) {
        Card card;
        if (!reader.next(card))
            return false;
        pending = Pending{toContact(card), "", true, 0, json(), ""};
        json &contact = pending.card.contact;
        pending.formattedName = textOf(contact, "formattedName");
        if (!options_.keepNumbers)
            makeNumbersDialable(contact);
        pending.ownUniqueID = contact.contains("uniqueID");
        // addContacts wants a UID; the refused cards are told apart by it.
        pending.uniqueID =
            pending.ownUniqueID ? contact["uniqueID"].get<std::string>() : newUniqueID();
        contact["uniqueID"] = pending.uniqueID;
        // The warnings were told when the file was read first.
        pending.card.warnings.clear();
        if (index < stored.size())
            pending.stored = std::move(stored[index]);
        ++index;
        return true;
    };
    Sender(phonebook, report_).run(source);
}

} // namespace vcard
