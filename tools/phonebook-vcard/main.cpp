// phonebook-vcard: vCard files into the phonebook and out of it, as a client
// of the bus (the daemon opens no file for it). docs/vcard.md tells the
// mapping. Exit status: 0 done, 1 a card refused, the file not read or
// written, or contacts added or removed during an export,
// 2 usage error, 3 no daemon or no answer in time, 4 the socket's
// permissions refuse the connection.
#include "zeb/vcard.hpp"

#include "zeb/bus.h"
#include "zeb/client_options.hpp"
#include "zeb/dm.h"
#include "zeb/variant_json.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using vcard::json;

const char *const kUsageText =
    "usage: phonebook-vcard [-s SOCKET] [-t SECONDS] import FILE|- [--update] [--keep-numbers]\n"
    "       phonebook-vcard [-s SOCKET] [-t SECONDS] export FILE|- [--version 3.0|4.0]\n"
    "import adds the cards of FILE (- for standard input) and prints\n"
    "  {\"added\":N,\"failed\":M,\"skipped_properties\":K,...}; refused cards are told on "
    "standard error.\n"
    "  --update: a card whose UID, else formatted name, a contact holds modifies that contact.\n"
    "  --keep-numbers: numbers as written, not in the dialable form (+4930123456).\n"
    "export writes every contact as a vCard (default version 3.0) to FILE or standard output,\n"
    "  sorted by formatted name.\n"
    "SOCKET defaults to $ZEB_SOCKET, else {SOCKET}; SECONDS to 60.\n"
    "Exit status: 0 done, 1 a card refused, the file not read or written, or contacts added\n"
    "or removed during the export, 2 usage error, 3 no daemon,\n"
    "4 permission denied: the socket's permissions refuse this user.\n";

enum Exit { kDone = 0, kRefused = 1, kUsageError = 2, kUnreachable = 3, kDenied = 4 };

// A batch stays far below the bus limit of one message, and short enough
// that the daemon answers other clients in between.
constexpr size_t kBatchBytes = 1u << 20;
constexpr size_t kBatchCards = 250;
// Room left in a message for the request around one card.
constexpr size_t kEnvelopeBytes = 4096;
constexpr size_t kMaxWarningsShown = 100;
// A batch under the sanitizers may take seconds.
constexpr int kTimeoutMs = 60000;

struct UsageError {
    std::string message;
};

// The daemon is gone or does not answer.
struct Unreachable {
    std::string message;
};

// The socket's permissions refuse this user.
struct Denied {
    std::string message;
};

// The daemon refused a call, or a file could not be read or written.
struct Failed {
    std::string message;
    uint32_t code = 0; /* the daemon's error code, when it refused a call */
};

// One line on standard error; line breaks of names and values become blanks.
void say(std::string line) {
    for (char &c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    std::fprintf(stderr, "phonebook-vcard: %s\n", line.c_str());
}

class Variant {
  public:
    Variant() { variant_initialize(&value_, variant_type_unknown); }
    explicit Variant(const json &value) : Variant() {
        if (!zebjson::jsonToVariant(value, &value_))
            throw std::runtime_error("a contact has no bus form");
    }
    ~Variant() { variant_cleanup(&value_); }
    Variant(const Variant &) = delete;
    Variant &operator=(const Variant &) = delete;
    variant_t *get() { return &value_; }
    json toJson() const {
        json out;
        return zebjson::variantToJson(&value_, out) ? out : json();
    }

  private:
    variant_t value_;
};

// The size of a value in a bus message.
size_t encodedSize(const json &value) {
    Variant variant(value);
    char *frame = nullptr;
    size_t size = 0;
    if (zeb_bus_encodeFrame(variant.get(), &frame, &size) != 0)
        return SIZE_MAX;
    std::free(frame);
    return size - 4;
}

// The phonebook over the bus.
class Phonebook {
  public:
    Phonebook(const std::string &socket, int timeoutMs)
        : owned_(zeb_bus_client_create(), zeb_bus_client_destroy), client_(owned_.get()) {
        if (client_ == nullptr)
            throw std::bad_alloc();
        zeb_bus_client_setTimeout(client_, timeoutMs);
        if (zeb_bus_client_connect(client_, socket.c_str()))
            return;
        std::string message = zeb_bus_client_errorMessage(client_);
        if (zeb_bus_client_errorCode(client_) == ZEB_BUS_ERROR_DENIED)
            throw Denied{message};
        throw Unreachable{"cannot reach the daemon: " + message};
    }

    // The function's return value; its out-argument "result" into `result`
    // when asked.
    json call(const char *function, const json &args, json *result = nullptr) {
        Variant given(args), retval;
        variant_map_t outargs;
        variant_map_initialize(&outargs);
        bool ok = zeb_bus_call(client_, "Phonebook", function, given.get(), retval.get(),
                               result != nullptr ? &outargs : nullptr);
        if (ok && result != nullptr) {
            Variant wrapped;
            variant_setMapMove(wrapped.get(), &outargs);
            *result = wrapped.toJson().value("result", json::array());
        }
        variant_map_cleanup(&outargs);
        if (ok)
            return retval.toJson();
        std::string message = std::string(function) + ": " + zeb_bus_client_errorMessage(client_);
        uint32_t code = zeb_bus_client_errorCode(client_);
        if (zeb_bus_isTransportError(code))
            throw Unreachable{message};
        throw Failed{message, code};
    }

    // True when a lookup finds a contact (an empty map when none).
    bool finds(const char *function, const char *argument, const std::string &value) {
        json found = call(function, {{argument, value}});
        return found.is_object() && !found.empty();
    }

  private:
    std::unique_ptr<zeb_bus_client_t, void (*)(zeb_bus_client_t *)> owned_;
    zeb_bus_client_t *client_;
};

std::string displayName(const std::string &file) {
    return file == "-" ? "<stdin>" : file;
}

// The whole file, at most `limit` bytes (one more tells that it is larger).
std::string readInput(const std::string &file, size_t limit) {
    FILE *in = file == "-" ? stdin : std::fopen(file.c_str(), "rb");
    if (in == nullptr)
        throw Failed{"cannot open " + file + ": " + std::strerror(errno)};
    std::string bytes;
    char buffer[65536];
    size_t got;
    while (bytes.size() <= limit && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        bytes.append(buffer, got);
    bool failed = std::ferror(in) != 0;
    if (in != stdin)
        std::fclose(in);
    if (failed)
        throw Failed{"cannot read " + displayName(file)};
    return bytes;
}

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

// One card on its way into the phonebook.
struct Pending {
    vcard::Imported card;
    std::string uniqueID;         /* the card's UID, else a new one */
    bool ownUniqueID = true;      /* the UID came from the card */
    size_t size = 0;              /* in a bus message */
    const json *stored = nullptr; /* with --update: the contact the card modifies */
};

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
        std::string name = vcard::textOf(item, "name");
        items.push_back({numbers ? storedNumber(name) : name, vcard::textOf(item, "type"),
                         item.value("preferred", false)});
    }
    std::sort(items.begin(), items.end());
    return items;
}

// The contact map that makes `stored` what the card says: a modify keeps the
// fields a map leaves out and empties the lists it leaves out, so every
// field is named; items keep the key of a stored item with the same name.
json updateOf(const Pending &card) {
    const json &stored = *card.stored;
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
            std::string name = vcard::textOf(item, "name");
            for (size_t i = 0; i < used.size(); ++i) {
                const json &old = stored[key][i];
                if (!used[i] &&
                    vcard::textOf(old, "name") == (numbers ? storedNumber(name) : name)) {
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

class Importer {
  public:
    Importer(std::string file, Phonebook &phonebook)
        : file_(std::move(file)), phonebook_(phonebook) {}

    // Sends every card; throws Unreachable when the daemon goes away.
    void run(std::vector<Pending> &cards) {
        max_ = phonebook_.call("getMaxNumberOfContacts", json::object()).get<uint64_t>();
        size_t next = 0;
        while (next < cards.size()) {
            // A batch holds the cards refused here too, so that every card is
            // told in the order of the file.
            std::vector<Pending *> batch;
            std::set<std::string> uniqueIDs;
            size_t bytes = kEnvelopeBytes;
            for (; next < cards.size() && batch.size() < kBatchCards; ++next) {
                Pending &card = cards[next];
                if (card.card.error.empty() &&
                    card.size > ZEB_BUS_MAX_MESSAGE_SIZE - kEnvelopeBytes)
                    card.card.error = "the card is too large for one bus message";
                if (!card.card.error.empty() || card.stored != nullptr) {
                    batch.push_back(&card);
                    continue;
                }
                // Two cards of one batch never share a UID: the refused ones
                // are told apart by it.
                if (!uniqueIDs.empty() &&
                    (bytes + card.size > kBatchBytes || uniqueIDs.count(card.uniqueID) != 0))
                    break;
                batch.push_back(&card);
                uniqueIDs.insert(card.uniqueID);
                bytes += card.size;
            }
            send(batch);
        }
    }

    size_t added = 0, failed = 0, updated = 0, unchanged = 0;

  private:
    void send(const std::vector<Pending *> &batch) {
        json contacts = json::array();
        for (const Pending *card : batch) {
            if (card->card.error.empty() && card->stored == nullptr)
                contacts.push_back(card->card.contact);
        }
        json result = json::array();
        uint64_t count = 0;
        std::string refusedCall;
        if (!contacts.empty()) {
            count = phonebook_.call("getNumberOfContacts", json::object()).get<uint64_t>();
            try {
                phonebook_.call("addContacts", {{"contacts", contacts}}, &result);
            } catch (const Failed &e) {
                refusedCall = e.message;
            }
        }
        std::set<std::string> refused;
        for (const json &contact : result) {
            if (contact.is_object())
                refused.insert(contact.value("uniqueID", ""));
        }
        for (Pending *card : batch) {
            if (!card->card.error.empty()) {
                refuse(*card, card->card.error);
            } else if (card->stored != nullptr) {
                update(*card);
            } else if (!refusedCall.empty()) {
                refuse(*card, refusedCall);
            } else if (refused.count(card->uniqueID) == 0) {
                ++added;
                ++count;
            } else {
                refuse(*card, reason(*card, count));
            }
        }
    }

    // A card equal to its contact is not sent: a modify would stamp the
    // contact, announce it and save the phonebook for nothing.
    void update(const Pending &card) {
        json target = updateOf(card);
        if (changesNothing(target, *card.stored)) {
            ++unchanged;
            return;
        }
        std::string storedID = card.stored->value("uniqueID", "");
        json done;
        try {
            done = phonebook_.call("modifyContactByUniqueID",
                                   {{"uniqueID", storedID}, {"contact", target}});
        } catch (const Failed &e) {
            refuse(card, e.message);
            return;
        }
        if (done == true) {
            ++updated;
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
        if (card.ownUniqueID && phonebook_.finds("getContactByUniqueID", "uniqueID", card.uniqueID))
            return "uniqueID \"" + card.uniqueID + "\" is already in the phonebook";
        std::string name = card.card.contact.value("formattedName", "");
        if (!name.empty() && phonebook_.finds("getContact", "formattedName", name))
            return "formattedName \"" + name + "\" is already in the phonebook";
        return "refused by the phonebook";
    }

    void refuse(const Pending &card, const std::string &why) {
        ++failed;
        say("refused \"" + card.card.contact.value("formattedName", "") + "\" (" +
            displayName(file_) + ", card at line " + std::to_string(card.card.line) + "): " + why);
    }

    std::string file_;
    Phonebook &phonebook_;
    uint64_t max_ = 0;
};

// Counts by property name, told as " NAME N, NAME N".
std::string countsByName(const std::map<std::string, size_t> &byName) {
    std::string line;
    for (const auto &entry : byName)
        line += " " + entry.first + " " + std::to_string(entry.second) + ",";
    line.pop_back();
    return line;
}

void reportWarnings(const std::string &file, const std::vector<Pending> &cards, size_t &skipped,
                    std::map<std::string, size_t> &dropped) {
    size_t shown = 0, hidden = 0, droppedTotal = 0;
    std::map<std::string, size_t> byName;
    for (const Pending &card : cards) {
        for (const vcard::Note &note : card.card.warnings) {
            if (shown++ < kMaxWarningsShown)
                say(displayName(file) + ":" + std::to_string(note.line) + ": " + note.text);
            else
                ++hidden;
        }
        for (const vcard::Note &note : card.card.skipped)
            ++byName[note.text];
        skipped += card.card.skipped.size();
        for (const vcard::Note &note : card.card.dropped)
            ++dropped[note.text];
        droppedTotal += card.card.dropped.size();
    }
    if (hidden > 0)
        say(std::to_string(hidden) + " more warnings");
    if (skipped > 0)
        say("left out " + std::to_string(skipped) +
            " properties that no contact holds:" + countsByName(byName));
    // Told apart from the above, whatever the warnings hid: these are
    // numbers and addresses the contacts lack.
    if (droppedTotal > 0)
        say("could not read " + std::to_string(droppedTotal) +
            " telephone numbers, e-mail or postal addresses:" + countsByName(dropped));
}

// The numbers of a contact in their dialable form; how many changed.
size_t makeNumbersDialable(json &contact) {
    size_t changed = 0;
    auto numbers = contact.find("telephoneNumbers");
    if (numbers == contact.end())
        return 0;
    for (json &item : *numbers) {
        std::string written = vcard::textOf(item, "name");
        std::string dialable = vcard::dialableNumber(written);
        if (dialable != written) {
            item["name"] = dialable;
            ++changed;
        }
    }
    return changed;
}

// The phonebook's calls for the paging of zeb_vcard: a page too large for
// one message is told apart from the other refusals.
vcard::Call pagingCalls(Phonebook &phonebook) {
    return [&phonebook](const std::string &function, const json &args) {
        try {
            return phonebook.call(function.c_str(), args);
        } catch (const Failed &e) {
            if (e.code == ZEB_ERROR_LIMIT)
                throw vcard::AnswerTooLarge(e.message);
            throw;
        }
    };
}

int runImport(const zebclient::Options &options, const std::vector<std::string> &args) {
    std::string file;
    bool update = false, keepNumbers = false;
    for (const std::string &arg : args) {
        if (arg == "--update")
            update = true;
        else if (arg == "--keep-numbers")
            keepNumbers = true;
        else if (file.empty() && (arg == "-" || arg.rfind("--", 0) != 0))
            file = arg;
        else
            throw UsageError{"import takes one FILE (- for standard input), --update and "
                             "--keep-numbers"};
    }
    if (file.empty())
        throw UsageError{"import takes one FILE (- for standard input)"};
    vcard::Limits limits;
    std::string bytes = readInput(file, limits.fileBytes);
    std::vector<vcard::Card> read;
    try {
        read = vcard::read(bytes, limits);
    } catch (const vcard::ReadError &e) {
        say(displayName(file) + ": " + e.what() + "; nothing imported");
        return kRefused;
    }
    std::vector<Pending> cards;
    size_t numbersChanged = 0;
    for (const vcard::Card &card : read) {
        Pending pending{vcard::toContact(card), "", true, 0, nullptr};
        json &contact = pending.card.contact;
        if (!keepNumbers)
            numbersChanged += makeNumbersDialable(contact);
        pending.ownUniqueID = contact.contains("uniqueID");
        // addContacts wants a UID; the refused cards are told apart by it.
        pending.uniqueID =
            pending.ownUniqueID ? contact["uniqueID"].get<std::string>() : newUniqueID();
        contact["uniqueID"] = pending.uniqueID;
        pending.size = encodedSize(contact);
        cards.push_back(std::move(pending));
    }
    size_t skipped = 0;
    std::map<std::string, size_t> dropped;
    reportWarnings(file, cards, skipped, dropped);

    Phonebook phonebook(options.socket, options.timeoutMs);
    Importer importer(file, phonebook);
    int status = kDone;
    std::vector<json> stored;
    try {
        if (update) {
            std::vector<vcard::Wanted> wanted;
            for (const Pending &card : cards)
                wanted.push_back({card.ownUniqueID ? card.uniqueID : "",
                                  vcard::textOf(card.card.contact, "formattedName")});
            stored = vcard::findStored(pagingCalls(phonebook), wanted);
            for (size_t i = 0; i < cards.size(); ++i)
                cards[i].stored = stored[i].is_null() ? nullptr : &stored[i];
        }
        importer.run(cards);
    } catch (const Unreachable &e) {
        say(e.message + "; the import stopped");
        status = kUnreachable;
    }
    json summary = {{"added", importer.added},
                    {"failed", importer.failed},
                    {"skipped_properties", skipped},
                    {"dropped_numbers", dropped["TEL"]},
                    {"dropped_emails", dropped["EMAIL"]},
                    {"dropped_addresses", dropped["ADR"]},
                    {"numbers_changed", numbersChanged}};
    if (update) {
        summary["updated"] = importer.updated;
        summary["unchanged"] = importer.unchanged;
    }
    std::printf("%s\n", summary.dump().c_str());
    if (status == kDone && importer.failed > 0)
        status = kRefused;
    return status;
}

// The export's destination: standard output, or a new file beside FILE
// renamed over it by commit(), so that a failure leaves the old file as it
// was.
class Output {
  public:
    explicit Output(std::string file) : file_(std::move(file)) {
        if (file_ == "-")
            return;
        temporary_ = file_ + ".XXXXXX";
        fd_ = mkstemp(temporary_.data());
        if (fd_ < 0)
            throw Failed{"cannot create a file beside " + file_ + ": " + std::strerror(errno)};
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd_, 0666 & ~mask) != 0)
            fail();
    }
    ~Output() {
        if (fd_ >= 0) {
            close(fd_);
            unlink(temporary_.c_str());
        }
    }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    void write(const std::string &text) {
        if (fd_ < 0) {
            if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
                throw Failed{"cannot write to standard output"};
            return;
        }
        for (size_t done = 0; done < text.size();) {
            ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n <= 0)
                fail();
            done += static_cast<size_t>(n);
        }
    }

    void commit() {
        if (fd_ < 0) {
            if (std::fflush(stdout) != 0)
                throw Failed{"cannot write to standard output"};
            return;
        }
        int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0 || std::rename(temporary_.c_str(), file_.c_str()) != 0) {
            std::string why = std::strerror(errno);
            unlink(temporary_.c_str());
            throw Failed{"cannot write " + file_ + ": " + why};
        }
    }

  private:
    [[noreturn]] void fail() {
        throw Failed{"cannot write " + file_ + ": " + std::strerror(errno)};
    }

    std::string file_, temporary_;
    int fd_ = -1;
};

int runExport(const zebclient::Options &options, const std::vector<std::string> &args) {
    std::string file;
    vcard::Version version = vcard::Version::v30;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--version") {
            std::string wanted = i + 1 < args.size() ? args[++i] : "";
            if (wanted != "3.0" && wanted != "4.0")
                throw UsageError{"--version takes 3.0 or 4.0"};
            version = wanted == "4.0" ? vcard::Version::v40 : vcard::Version::v30;
        } else if (file.empty()) {
            file = args[i];
        } else {
            throw UsageError{"export takes one FILE"};
        }
    }
    if (file.empty())
        throw UsageError{"export takes a FILE (- for standard output)"};

    Phonebook phonebook(options.socket, options.timeoutMs);
    Output output(file);
    bool changed = false;
    size_t count = vcard::exportContacts(
        pagingCalls(phonebook), version,
        [&output](const std::string &cards) { output.write(cards); }, changed);
    output.commit();
    if (file != "-")
        std::printf("%s\n", json({{"exported", count}}).dump().c_str());
    if (!changed)
        return kDone;
    say("contacts were added or removed during the export: one of them may be missing; "
        "export again");
    return kRefused;
}

int run(int argc, char **argv) {
    zebclient::Options options;
    options.timeoutMs = kTimeoutMs;
    int i = 1;
    std::string error;
    if (!zebclient::parseOptions(argc, argv, options, i, error))
        throw UsageError{error};
    if (options.help) {
        std::fputs(zebclient::helpText(kUsageText).c_str(), stdout);
        return kDone;
    }
    std::string command = argv[i];
    std::vector<std::string> args(argv + i + 1, argv + argc);
    if (command == "import")
        return runImport(options, args);
    if (command == "export")
        return runExport(options, args);
    throw UsageError{"unknown command " + command};
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError &e) {
        say(e.message);
        std::fputs(zebclient::helpText(kUsageText).c_str(), stderr);
        return kUsageError;
    } catch (const Unreachable &e) {
        say(e.message);
        return kUnreachable;
    } catch (const Denied &e) {
        say(e.message);
        return kDenied;
    } catch (const Failed &e) {
        say(e.message);
        return kRefused;
    } catch (const std::exception &e) {
        say(e.what());
        return kRefused;
    }
}
