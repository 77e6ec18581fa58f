// Contacts from the bus: the plug-in, loaded by the in-process test host as
// the daemon loads it, gets a short sequence of addContact, addContacts,
// addContactAndGenUUID, modifyContact(ByUniqueID/ByFormattedName),
// removals, getChangesSince, getContactsRange and searchContacts with values
// decoded from the input. Nothing may crash or
// leak; a refused call must leave the phonebook as it was; and after every
// call or input the phonebook must hold together:
// - UniqueID and FormattedName unique among the entries that have one,
// - every entry committed, with all its property instances, and
//   getNumberOfContacts, NumberOfEntries, the instances of Phonebook.Entry
//   and getAllContacts agreeing on the count (checked after each call),
// - every entry with a UniqueID, found by it, by its FormattedName and by
//   its numbers (checked after each input),
// - a client following getChangesSince from the token of the input's start
//   ending with what getAllContacts gives (after each input); getChangesSince
//   itself changing nothing, whatever its arguments;
// - getContactsRange and searchContacts answering an error or a page, and
//   changing nothing, whatever their arguments.
//
// The input is a tiny byte code, so that every input means a call sequence:
// an operation byte, then its arguments; a value is a type byte, then its
// content. Depth, counts and texts are bounded, keys and texts come mostly
// from the contact's own vocabulary.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "keltrace/keltrace.h"
#include "test_host.hpp"

namespace {

using zebtest::json;
using zebtest::Var;

constexpr int kMaxDepth = 4;
constexpr size_t kMaxEntries = 8; // map entries and list elements
constexpr size_t kMaxNodes = 200; // values in one input
constexpr size_t kMaxTextLength = 31;
constexpr int kMaxCalls = 12;
constexpr size_t kMaxContactsPerCall = 4;
// The plug-in saves this long after a change.
constexpr uint64_t kSaveDelayMs = 5000;

const char *const kKeys[] = {
    "uniqueID",
    "formattedName",
    "name",
    "lastRevision",
    "birthDay",
    "title",
    "organisation",
    "url",
    "ringtone",
    "tags",
    "telephoneNumbers",
    "emails",
    "addresses",
    "labels",
    "photos",
    "key",
    "type",
    "preferred",
    "UniqueID",
    "FormattedName",
    "TelephoneNumber",
    "Number",
    "Address",
    "Type",
    "Preferred",
    "Email",
    "LastRevision",
    "Entry",
    "URI",
    "Photo",
};

const char *const kTexts[] = {
    "",
    "Ann",
    "Bob",
    "ann",
    "+33123456789",
    "0033123456789",
    "0123456789",
    "+1",
    "00",
    "+",
    "2024-02-29T13:05:00Z",
    "1970-01-01T00:00:00Z",
    "9999-12-31T23:59:59Z",
    "urn:uuid:1",
    "1",
    "0",
    "home",
    "work",
    "true",
    "a.b",
    "1.5",
    "-1",
    "4294967296",
};

template <typename T, size_t N> constexpr size_t countOf(const T (&)[N]) {
    return N;
}

class Input {
  public:
    Input(const uint8_t *data, size_t size) : at_(data), end_(data + size) {}
    bool empty() const { return at_ >= end_; }
    uint8_t byte() { return at_ < end_ ? *at_++ : 0; }
    uint64_t bytes(int count) {
        uint64_t value = 0;
        for (int i = 0; i < count; ++i)
            value = value << 8 | byte();
        return value;
    }
    std::string literal(size_t length) {
        std::string text;
        while (text.size() < length && at_ < end_ && *at_ != '\0')
            text += static_cast<char>(*at_++);
        return text;
    }
    // Mostly the vocabulary, else a short literal text.
    std::string text() {
        uint8_t b = byte();
        return b < 0xC0 ? kTexts[b % countOf(kTexts)] : literal(b & kMaxTextLength);
    }
    std::string key() {
        uint8_t b = byte();
        return b < 0xE0 ? kKeys[b % countOf(kKeys)] : literal(b & kMaxTextLength);
    }
    size_t nodes = 0;

  private:
    const uint8_t *at_;
    const uint8_t *end_;
};

void value(Input &in, variant_t *out, int depth);

void mapValue(Input &in, variant_t *out, int depth) {
    variant_map_t map;
    variant_map_initialize(&map);
    size_t count = in.byte() % (kMaxEntries + 1);
    for (size_t i = 0; i < count && in.nodes < kMaxNodes; ++i) {
        std::string key = in.key();
        variant_t element;
        variant_initialize(&element, variant_type_unknown);
        value(in, &element, depth + 1);
        variant_map_add(&map, key.c_str(), &element);
        variant_cleanup(&element);
    }
    variant_setMapMove(out, &map);
    variant_map_cleanup(&map);
}

void listValue(Input &in, variant_t *out, int depth) {
    variant_list_t list;
    variant_list_initialize(&list);
    size_t count = in.byte() % (kMaxEntries + 1);
    for (size_t i = 0; i < count && in.nodes < kMaxNodes; ++i) {
        variant_t element;
        variant_initialize(&element, variant_type_unknown);
        // Property lists hold maps: most elements are one.
        if (in.byte() < 0xC0)
            mapValue(in, &element, depth + 1);
        else
            value(in, &element, depth + 1);
        variant_list_add(&list, &element);
        variant_cleanup(&element);
    }
    variant_setListMove(out, &list);
    variant_list_cleanup(&list);
}

double doubleValue(Input &in) {
    static const double kDoubles[] = {0.0,          -0.0,   1.5,       -1.0,       1e300,
                                      4294967296.0, 9.3e18, 1.0 / 0.0, -1.0 / 0.0, 0.0 / 0.0};
    uint8_t b = in.byte();
    if (b < 0x80)
        return kDoubles[b % countOf(kDoubles)];
    uint64_t bits = in.bytes(8);
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

void dateTimeValue(Input &in, variant_t *out) {
    struct tm time {};
    if (in.byte() < 0xC0) {
        // Near the dates a phonebook sees, fields sometimes out of range.
        time.tm_year = static_cast<int>(in.byte()) - 60 + 100;
        time.tm_mon = static_cast<int>(in.byte() % 14) - 1;
        time.tm_mday = in.byte() % 33;
        time.tm_hour = in.byte() % 26;
        time.tm_min = in.byte() % 62;
        time.tm_sec = in.byte() % 62;
    } else {
        time.tm_year = static_cast<int>(static_cast<uint32_t>(in.bytes(4)));
        time.tm_mon = static_cast<int>(static_cast<uint32_t>(in.bytes(4)));
        time.tm_mday = static_cast<int>(static_cast<uint32_t>(in.bytes(4)));
    }
    variant_setDateTime(out, &time);
}

void value(Input &in, variant_t *out, int depth) {
    in.nodes++;
    uint8_t type = in.byte() % 16;
    if (depth >= kMaxDepth && (type == 14 || type == 15))
        type = 12;
    switch (type) {
    case 0:
        variant_cleanup(out);
        break;
    case 1:
        variant_setBool(out, in.byte() & 1);
        break;
    case 2:
        variant_setInt8(out, static_cast<int8_t>(in.byte()));
        break;
    case 3:
        variant_setInt16(out, static_cast<int16_t>(in.bytes(2)));
        break;
    case 4:
        variant_setInt32(out, static_cast<int32_t>(in.bytes(4)));
        break;
    case 5:
        variant_setInt64(out, static_cast<int64_t>(in.bytes(8)));
        break;
    case 6:
        variant_setUInt8(out, in.byte());
        break;
    case 7:
        variant_setUInt16(out, static_cast<uint16_t>(in.bytes(2)));
        break;
    case 8:
        variant_setUInt32(out, static_cast<uint32_t>(in.bytes(4)));
        break;
    case 9:
        variant_setUInt64(out, in.bytes(8));
        break;
    case 10:
        variant_setDouble(out, doubleValue(in));
        break;
    case 11:
        dateTimeValue(in, out);
        break;
    case 14:
        listValue(in, out, depth);
        break;
    case 15:
        mapValue(in, out, depth);
        break;
    default:
        variant_setChar(out, in.text().c_str());
        break;
    }
}

// A contact argument: nearly always a map.
Var contact(Input &in) {
    Var out;
    if (in.byte() < 0xF0)
        mapValue(in, out.get(), 0);
    else
        value(in, out.get(), 0);
    return out;
}

Var textVar(const std::string &text) {
    Var out;
    variant_setChar(out.get(), text.c_str());
    return out;
}

zebtest::TestHost *host;
object_t *entries;

[[noreturn]] void broken(const std::string &what) {
    fprintf(stderr, "phonebook: %s\n", what.c_str());
    abort();
}

json toJson(const Var &value) {
    json out;
    if (!zeb_json::variantToJson(value.get(), out))
        broken("a result has no JSON form");
    return out;
}

// A value as text for FUZZ_VERBOSE: JSON-like, with every variant type
// (doubles that are not finite too) and its type where JSON has none.
std::string shown(const variant_t *value) {
    switch (variant_type(value)) {
    case variant_type_unknown:
        return "null";
    case variant_type_array: {
        std::string out = "[";
        for (variant_list_iterator_t *it = variant_list_first(variant_da_list(value));
             it != nullptr; it = variant_list_iterator_next(it))
            out += shown(variant_list_iterator_data(it)) + ",";
        return out + "]";
    }
    case variant_type_map: {
        std::string out = "{";
        for (variant_map_iterator_t *it = variant_map_first(variant_da_map(value)); it != nullptr;
             it = variant_map_iterator_next(it))
            out += json(variant_map_iterator_key(it)).dump() + ":" +
                   shown(variant_map_iterator_data(it)) + ",";
        return out + "}";
    }
    default: {
        char *text = variant_char(value);
        std::string out =
            json(text != nullptr ? text : "?").dump(-1, ' ', false, json::error_handler_t::replace);
        free(text);
        return out + "/" + std::to_string(variant_type(value));
    }
    }
}

std::string shown(const Var &value) {
    return shown(value.get());
}

zebtest::CallResult call(const char *function,
                         const std::vector<std::pair<std::string, Var>> &arguments,
                         bool named = true) {
    zebtest::CallResult result = host->callVars("Phonebook", function, arguments, named);
    // FUZZ_VERBOSE=1 shows the calls of an input, to read a finding.
    static const bool verbose = getenv("FUZZ_VERBOSE") != nullptr;
    if (verbose) {
        fprintf(stderr, "%s(", function);
        for (const auto &argument : arguments)
            fprintf(stderr, "%s=%s ", argument.first.c_str(), shown(argument.second).c_str());
        fprintf(stderr, ") -> %s\n", shown(result.retval).c_str());
    }
    if (!result.ok)
        broken(std::string(function) + " did not run: " + host->lastError());
    return result;
}

json allContacts() {
    return toJson(call("getAllContacts", {}).retval);
}

std::string textOf(const json &contact, const char *key) {
    auto it = contact.find(key);
    return it != contact.end() && it->is_string() ? it->get<std::string>() : "";
}

// The entry and every instance below it committed.
bool committed(const object_t *object) {
    if (object_state(object) != object_state_ready)
        return false;
    for (object_t *child = object_firstChild(object); child != nullptr;
         child = object_nextSibling(child))
        for (object_t *instance = object_firstInstance(child); instance != nullptr;
             instance = object_nextInstance(instance))
            if (!committed(instance))
                return false;
    return true;
}

// Who the lookup by `function` with `argument` finds: its UniqueID, "" for
// nobody.
std::string found(const char *function, const char *argument, const std::string &text) {
    json contact = toJson(call(function, {{argument, textVar(text)}}).retval);
    return contact.is_object() ? textOf(contact, "uniqueID") : "";
}

// After every call: the counts agree and nothing is left pending.
void checkCounts(const json &contacts) {
    uint32_t count = variant_uint32(call("getNumberOfContacts", {}).retval.get());
    Var numberOfEntries = host->get("Phonebook.NumberOfEntries");
    if (count != contacts.size() || count != object_instanceCount(entries) ||
        variant_uint32(numberOfEntries.get()) != count)
        broken("the counts disagree: getNumberOfContacts " + std::to_string(count) +
               ", getAllContacts " + std::to_string(contacts.size()) + ", instances " +
               std::to_string(object_instanceCount(entries)));
    for (object_t *entry = object_firstInstance(entries); entry != nullptr;
         entry = object_nextInstance(entry))
        if (!committed(entry))
            broken("an entry was left with a pending change");
}

// After every input: identifiers unique and complete, every entry found by
// what identifies it.
void checkEntries(const json &contacts) {
    std::set<std::string> uniqueIDs, names;
    for (const json &contact : contacts) {
        std::string uniqueID = textOf(contact, "uniqueID");
        std::string name = textOf(contact, "formattedName");
        if (uniqueID.empty())
            broken("an entry has no UniqueID: " + contact.dump());
        if (!uniqueIDs.insert(uniqueID).second)
            broken("two entries have the UniqueID " + uniqueID);
        if (!name.empty() && !names.insert(name).second)
            broken("two entries have the FormattedName " + name);
        if (found("getContactByUniqueID", "uniqueID", uniqueID) != uniqueID)
            broken("the entry " + uniqueID + " is not found by its UniqueID");
        if (!name.empty() && found("getContactByFormattedName", "formattedName", name) != uniqueID)
            broken("the entry " + uniqueID + " is not found by its FormattedName");
        auto numbers = contact.find("telephoneNumbers");
        if (numbers == contact.end())
            continue;
        for (const json &number : *numbers) {
            std::string text = textOf(number, "name");
            // A number of fewer than two characters matches nothing.
            if (text.size() >= 2 && found("getContactByNumber", "number", text).empty())
                broken("the number " + text + " of " + uniqueID + " finds no entry");
        }
    }
}

// A UniqueID or FormattedName to look for: often one the phonebook holds.
Var lookFor(Input &in, const json &contacts, const char *key) {
    uint8_t b = in.byte();
    if (b >= 0x80 && !contacts.empty())
        return textVar(textOf(contacts[b % contacts.size()], key));
    return textVar(in.text());
}

void setMaxEntries(uint32_t max) {
    if (!host->set("Phonebook", {{"MaxNumberOfEntries", max}}))
        broken("MaxNumberOfEntries was refused: " + host->lastError());
}

void expectUnchanged(const char *function, const json &before) {
    json after = allContacts();
    if (after != before)
        broken(std::string(function) + " was refused but changed the phonebook:\n" + before.dump() +
               "\n---\n" + after.dump());
}

// Tokens handed out during the input, passed back now and then.
std::vector<std::string> tokens;

void changesSince(Input &in) {
    Var token, count;
    uint8_t b = in.byte();
    if (b >= 0x80 && !tokens.empty())
        token = textVar(tokens[b % tokens.size()]);
    else
        value(in, token.get(), 0);
    value(in, count.get(), 0);
    bool named = in.byte() & 1;
    auto r = call("getChangesSince", {{named ? "token" : "", token}, {named ? "count" : "", count}},
                  named);
    json answer = r.value();
    if (!answer.is_object() || (!answer.contains("error") && !answer.contains("reset") &&
                                !(answer["token"].is_string() && answer["changed"].is_array() &&
                                  answer["deleted"].is_array() && answer["more"].is_boolean())))
        broken("getChangesSince answered " + answer.dump());
    if (answer.contains("token"))
        tokens.push_back(answer["token"].get<std::string>());
}

// Follows every change from `token`, where the phonebook was empty, to the
// end: the client must hold what getAllContacts gives.
void checkFollower(std::string token, const json &contacts) {
    std::map<std::string, json> known, expected;
    for (bool more = true; more;) {
        json answer =
            host->call("Phonebook", "getChangesSince", {{"token", token}, {"count", 500}}).value();
        if (!answer.contains("token"))
            broken("a follower got " + answer.dump());
        for (const json &id : answer["deleted"])
            known.erase(id.get<std::string>());
        for (const json &contact : answer["changed"])
            known[textOf(contact, "uniqueID")] = contact;
        token = answer["token"];
        more = answer["more"];
    }
    for (const json &contact : contacts)
        expected[textOf(contact, "uniqueID")] = contact;
    if (known != expected)
        broken("a follower of getChangesSince holds a phonebook other than getAllContacts");
}

// A sorted page (getContactsRange) or a search (searchContacts), its
// arguments of any type, named or in order: an error or a page of the
// answer's shape, and nothing changed.
void pageOrSearch(Input &in, bool search) {
    static const char *const kRange[] = {"offset", "count",      "sortBy",
                                         "locale", "descending", "from"};
    static const char *const kSearch[] = {"text", "offset", "count", "locale"};
    bool named = in.byte() & 1;
    std::vector<std::pair<std::string, Var>> arguments;
    for (size_t i = 0; i < (search ? countOf(kSearch) : countOf(kRange)); ++i) {
        Var given;
        value(in, given.get(), 0);
        arguments.emplace_back(named ? (search ? kSearch : kRange)[i] : "", given);
    }
    const char *function = search ? "searchContacts" : "getContactsRange";
    json answer = call(function, arguments, named).value();
    if (!answer.is_object() ||
        (!answer.contains("error") &&
         !(answer["total"].is_number_unsigned() && answer["offset"].is_number_unsigned() &&
           answer["contacts"].is_array() && answer["contacts"].size() <= 500 &&
           answer["contacts"].size() <= answer["total"].get<size_t>())))
        broken(std::string(function) + " answered " + answer.dump());
}

void runCall(Input &in) {
    json before = allContacts();
    uint8_t op = in.byte() % 14;
    switch (op) {
    case 0:
    case 1: {
        bool named = op == 0;
        auto r = call("addContact", {{named ? "contact" : "", contact(in)}}, named);
        if (!variant_bool(r.retval.get()))
            expectUnchanged("addContact", before);
        else if (allContacts().size() != before.size() + 1)
            broken("addContact succeeded without one more entry");
        break;
    }
    case 2:
    case 3: {
        bool named = op == 2;
        Var list;
        variant_initialize(list.get(), variant_type_array);
        size_t count = in.byte() % (kMaxContactsPerCall + 1);
        for (size_t i = 0; i < count; ++i) {
            Var one = contact(in);
            variant_list_add(variant_da_list(list.get()), one.get());
        }
        auto r = call("addContacts", {{named ? "contacts" : "", list}}, named);
        // The contacts that were not added come back in "result".
        size_t failed = 0;
        for (const auto &out : r.outvars)
            if (out.first == "result" && variant_type(out.second.get()) == variant_type_array)
                failed = variant_list_size(variant_da_list(out.second.get()));
        size_t added = allContacts().size() - before.size();
        if (added + failed != count || variant_bool(r.retval.get()) != (failed == 0))
            broken("addContacts: " + std::to_string(count) + " contacts, " + std::to_string(added) +
                   " added, " + std::to_string(failed) + " returned");
        break;
    }
    case 4:
    case 5:
    case 6: {
        bool byUniqueID = op == 5;
        const char *function = byUniqueID ? "modifyContactByUniqueID"
                               : op == 4  ? "modifyContact"
                                          : "modifyContactByFormattedName";
        const char *argument = byUniqueID ? "uniqueID" : "formattedName";
        Var which = lookFor(in, before, byUniqueID ? "uniqueID" : "formattedName");
        bool named = in.byte() & 1;
        auto r =
            call(function, {{named ? argument : "", which}, {named ? "contact" : "", contact(in)}},
                 named);
        if (!variant_bool(r.retval.get()))
            expectUnchanged(function, before);
        else if (allContacts().size() != before.size())
            broken(std::string(function) + " changed the number of entries");
        break;
    }
    case 7: {
        auto r = call("addContactAndGenUUID", {{"contact", contact(in)}});
        if (variant_type(r.retval.get()) != variant_type_string)
            expectUnchanged("addContactAndGenUUID", before);
        else if (found("getContactByUniqueID", "uniqueID", variant_da_char(r.retval.get())).empty())
            broken("addContactAndGenUUID gave a UniqueID that finds nothing");
        break;
    }
    case 8: {
        bool byUniqueID = in.byte() & 1;
        Var which = lookFor(in, before, byUniqueID ? "uniqueID" : "formattedName");
        auto r = call(byUniqueID ? "removeContactByUniqueID" : "removeContact",
                      {{byUniqueID ? "uniqueID" : "formattedName", which}});
        size_t after = allContacts().size();
        if (after != before.size() - (variant_bool(r.retval.get()) ? 1 : 0))
            broken("a removal did not remove exactly what it said");
        break;
    }
    case 9:
        setMaxEntries(in.byte() % 4);
        break;
    case 10:
        changesSince(in);
        expectUnchanged("getChangesSince", before);
        break;
    case 12:
    case 13:
        pageOrSearch(in, op == 13);
        expectUnchanged(op == 13 ? "searchContacts" : "getContactsRange", before);
        break;
    default:
        // The save timer fires: whatever the phonebook holds must save.
        host->advance(kSaveDelayMs);
        if (host->traced("Save of phonebook"))
            broken("the phonebook could not be saved");
        break;
    }
    checkCounts(allContacts());
}

void stopHost() {
    delete host;
    host = nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("TZ", "UTC", 1);
    tzset();
    // The plug-in's saves flush the file and its directory: on a disk that
    // costs more than the calls themselves.
    if (std::filesystem::is_directory("/dev/shm"))
        setenv("TMPDIR", "/dev/shm", 1);
    host = new zebtest::TestHost(KELTRACE_LEVEL_WARNING);
    std::filesystem::create_directories(host->path("/cfg/system"));
    std::filesystem::create_directories(host->path("/usr/lib/phonebook"));
    std::filesystem::copy_file(CCC_DAT, host->path("/usr/lib/phonebook/CCC.dat"));
    json definition = json::parse(std::ifstream(PHONEBOOK_DEFINITION));
    definition["plugin"] = PHONEBOOK_PLUGIN;
    host->writeFile("/definition/phonebook.json", definition.dump());
    if (!host->start(host->path("/definition/phonebook.json")))
        broken("the plug-in did not start: " + host->lastError());
    // Registered after the plug-in is loaded, so that its cleanup runs at exit
    // before the plug-in's own static objects are destroyed.
    atexit(stopHost);
    entries = zeb_getObject(host->context(), "Phonebook.Entry", 0);
    if (entries == nullptr)
        broken("no Phonebook.Entry");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    tokens.assign(1, call("getChangesSince", {}).value()["token"].get<std::string>());
    for (int i = 0; i < kMaxCalls && !in.empty(); ++i)
        runCall(in);
    checkEntries(allContacts());
    checkFollower(tokens.front(), allContacts());

    // Back to an empty phonebook with the shipped limit, the save of this
    // input written, no timer left for the next one.
    if (!variant_bool(call("removeAllContacts", {}).retval.get()))
        broken("removeAllContacts failed");
    setMaxEntries(1000);
    host->advance(kSaveDelayMs);
    if (object_instanceCount(entries) != 0)
        broken("removeAllContacts left entries");
    host->clearRecords();
    return 0;
}
