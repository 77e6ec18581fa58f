// vCard files: reading must never crash or leak whatever the bytes, every
// card must write as lines of at most 75 octets that read back without
// fault, and after one trip through the writer a contact must stay as it
// is: writing what was read back gives the same card again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "zeb/vcard.hpp"

namespace {

void checkLines(const std::string &card) {
    size_t start = 0;
    while (start < card.size()) {
        size_t end = card.find("\r\n", start);
        if (end == std::string::npos || end - start > 75)
            abort();
        start = end + 2;
    }
}

// The card written for `contact`, read back as a contact.
vcard::json throughCard(const vcard::json &contact, vcard::Version version, std::string &card) {
    card = vcard::write(contact, version);
    checkLines(card);
    std::vector<vcard::Card> cards = vcard::read(card);
    if (cards.size() != 1 || !cards[0].error.empty())
        abort();
    vcard::Imported back = vcard::toContact(cards[0]);
    if (!back.skipped.empty())
        abort();
    return back.contact;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vcard::Limits limits;
    limits.fileBytes = 1u << 20;
    limits.lineBytes = 64u << 10;
    limits.cards = 64;
    std::vector<vcard::Card> cards;
    try {
        cards = vcard::read(std::string(reinterpret_cast<const char *>(data), size), limits);
    } catch (const vcard::ReadError &) {
        return 0;
    }
    for (const vcard::Card &card : cards) {
        vcard::Imported imported = vcard::toContact(card);
        for (vcard::Version version : {vcard::Version::v30, vcard::Version::v40}) {
            std::string first, second, third;
            vcard::json once = throughCard(imported.contact, version, first);
            vcard::json twice = throughCard(once, version, second);
            throughCard(twice, version, third);
            if (second != third)
                abort();
        }
    }
    return 0;
}
