// Hostile clients of the phonebook served by the real zebd: malformed frames
// written on raw sockets, values of every wrong type for every function
// argument, oversized values, connections that stall in the middle of a
// frame, a subscriber that never reads. Each is answered with an error or a
// false or empty result, the next client is served, and what is stored does
// not change: the contacts, the saved file (saves follow each change at once
// here) and the notifications (none).
//
// ZEB_HOSTILE_SCALE (1 by default) multiplies the sizes and counts of the
// long cases; scripts/hostile-test.sh runs them larger.
#include <gtest/gtest.h>

#include "bus_test_support.hpp"

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <thread>

namespace {

using bustest::Client;
using bustest::json;
using bustest::Raw;
using bustest::Var;

int scale() {
    const char *text = std::getenv("ZEB_HOSTILE_SCALE");
    int value = text != nullptr ? std::atoi(text) : 1;
    return value > 0 ? value : 1;
}

// MessagePack written by hand.
std::string bigEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>(value >> (8 * i));
    return out;
}

std::string mpText(const std::string &text) {
    if (text.size() < 32)
        return static_cast<char>(0xa0 | text.size()) + text;
    return (text.size() < 65536 ? "\xda" + bigEndian(text.size(), 2)
                                : "\xdb" + bigEndian(text.size(), 4)) +
           text;
}

std::string mpMap(size_t entries) { // up to 15
    return std::string(1, static_cast<char>(0x80 | entries));
}

std::string mpUInt(uint64_t value) {
    return value < 128 ? std::string(1, static_cast<char>(value)) : "\xcf" + bigEndian(value, 8);
}

// A call of addContact for `id` in MessagePack, with `name` as the contact's
// formattedName already encoded: the request the malformed frames break.
std::string addContactBody(uint64_t requestId, const std::string &id, const std::string &name) {
    return mpMap(5) + mpText("id") + mpUInt(requestId) + mpText("op") + mpText("call") +
           mpText("path") + mpText("Phonebook") + mpText("function") + mpText("addContact") +
           mpText("args") + mpMap(1) + mpText("contact") + mpMap(2) + mpText("uniqueID") +
           mpText(id) + mpText("formattedName") + name;
}

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        daemon.logToFile = true;
        setenv("PHONEBOOK_SAVE_DELAY_MS", "0", 1);
        ASSERT_TRUE(daemon.start()) << daemon.log();
        unsetenv("PHONEBOOK_SAVE_DELAY_MS");
        watcher = std::make_unique<Client>(daemon.socket);
        ASSERT_NE(zeb_bus_subscribe(watcher->get(), "Phonebook"), 0u) << watcher->message();
        Client setup(daemon.socket);
        for (const char *name : {"Ann", "Bob"}) {
            json contact = {{"uniqueID", std::string("id-") + name},
                            {"formattedName", name},
                            {"telephoneNumbers", {{{"name", "0123456789"}, {"type", "home"}}}}};
            ASSERT_EQ(setup.call("Phonebook", "addContact", {{"contact", contact}}), true)
                << setup.message();
        }
        // The watcher hears of those two, and then of nothing.
        for (int i = 0; i < 2; ++i)
            ASSERT_NE(watcher->notification(), nullptr);
        keep();
    }

    void TearDown() override {
        if (checkUnchanged)
            expectUnchanged();
        EXPECT_EQ(daemon.stop(), 0) << daemon.log();
    }

    // Waits until the saved file holds the contacts there are now and keeps
    // both as what must not change.
    void keep() {
        Client reader(daemon.socket);
        contacts = reader.call("Phonebook", "getAllContacts", json::object());
        ASSERT_TRUE(contacts.is_array()) << reader.message();
        bustest::waitFor([&] {
            file = bustest::readFile(daemon.savedFile());
            bool all = !file.empty();
            for (const json &c : contacts)
                all = all && file.find(c.at("uniqueID").get<std::string>()) != std::string::npos;
            return all;
        });
        ASSERT_NE(file, "") << "no save";
    }

    // A new client is served, and finds the phonebook, the saved file and the
    // announcements as they were.
    void expectUnchanged() {
        Client reader(daemon.socket);
        EXPECT_EQ(reader.call("Phonebook", "getAllContacts", json::object()), contacts)
            << reader.message();
        // Announcements come 200 ms after a change, deletions at once.
        usleep(300000);
        EXPECT_EQ(reader.call("Phonebook", "getNumberOfContacts", json::object()), contacts.size());
        EXPECT_EQ(bustest::readFile(daemon.savedFile()), file);
        EXPECT_FALSE(std::filesystem::exists(daemon.savedFile() + ".invalid"));
        EXPECT_EQ(watcher->notification(0), nullptr) << "announced";
    }

    bustest::PhonebookDaemon daemon;
    std::unique_ptr<Client> watcher;
    json contacts;
    std::string file;
    bool checkUnchanged = true;
};

// Every way of breaking a frame from the wire document, each on a request
// that would add a contact, and ids the protocol does not have: an error
// reply with id 0 (the request being unreadable), the connection goes on, and
// nothing is added. What cannot be framed ends the connection: a length above
// the limit (also the first bytes of an HTTP request), a frame cut by the end
// of the connection.
TEST_F(Hostile, MalformedFramesAddNothing) {
    const std::string name = mpText("Evil"), good = addContactBody(1, "evil", name);
    auto withName = [](const std::string &encoded) { return addContactBody(1, "evil", encoded); };
    auto withId = [&](const std::string &id) {
        return std::string(good).replace(good.find("\xa2id") + 3, 1, id);
    };
    // Each body the codec refuses stands for its kind here; the codec's own
    // test has every way.
    const std::string invalid[] = {
        "",
        good.substr(0, good.size() - 1), // truncated
        good + '\xc0',                   // bytes after it
        withName(std::string("\xc4\x04") + "Evil"),
        withName(mpText(std::string("Ev\0il", 5))),
        withName("\xdb" + bigEndian(0xffffffffu, 4) + "Evil"), // a text longer than the frame
        "\x85\x07\x01" + good.substr(good.find("\xa2op")),     // a key that is 7
        std::string("\x92\x01\x02", 3),                        // not a map
        mpMap(1) + mpText("op") + mpText("get"),               // no id
        withId(mpUInt(0)),
        withId(mpUInt(1ull << 32)),
        withId("\xff"),
        withId(mpText("1")),
        withId("\xc0")};
    std::vector<std::pair<std::string, uint32_t>> bodies = {
        {withName(std::string(40, '\x91') + name), ZEB_ERROR_LIMIT}};
    for (const std::string &body : invalid)
        bodies.emplace_back(body, ZEB_ERROR_INVALID_ARGUMENT);
    Raw raw(daemon.socket);
    Var reply;
    for (const auto &[body, code] : bodies) {
        ASSERT_TRUE(raw.send(bustest::frame(body)));
        ASSERT_TRUE(raw.receive(reply)) << daemon.log();
        EXPECT_EQ(reply.toJson()["id"], 0) << reply.toJson();
        EXPECT_EQ(bustest::errorCode(reply.toJson()), code) << reply.toJson();
    }
    ASSERT_TRUE(raw.send(bustest::frame(mpMap(2) + mpText("id") + mpUInt(5) + mpText("op") +
                                        mpText("getAllContacts"))));
    ASSERT_TRUE(raw.receive(reply));
    EXPECT_EQ(reply.toJson()["id"], 5) << "the connection goes on";
    EXPECT_EQ(bustest::errorCode(reply.toJson()), ZEB_ERROR_NOT_FOUND) << reply.toJson();

    for (const std::string &start : {bigEndian(ZEB_BUS_MAX_MESSAGE_SIZE + 1, 4),
                                     bigEndian(0xffffffffu, 4), std::string("GET ")}) {
        Raw big(daemon.socket);
        ASSERT_TRUE(big.send(start + good));
        ASSERT_TRUE(big.receive(reply));
        EXPECT_EQ(bustest::errorCode(reply.toJson()), ZEB_ERROR_LIMIT);
        EXPECT_TRUE(big.closedByPeer());
    }
    Raw cut(daemon.socket);
    ASSERT_TRUE(cut.send(bustest::frame(good).substr(0, 4 + good.size() - 1)));
    shutdown(cut.fd, SHUT_WR);
    EXPECT_TRUE(cut.closedByPeer());
}

// The phonebook's functions and their arguments, from the shipped definition.
std::vector<std::pair<std::string, std::vector<std::string>>> functions() {
    json definition = json::parse(std::ifstream(PHONEBOOK_DEFINITION));
    std::vector<std::pair<std::string, std::vector<std::string>>> list;
    for (const json &f : definition["objects"][0]["functions"])
        list.emplace_back(f["name"], f.value("arguments", std::vector<std::string>()));
    return list;
}

// Each argument's value of the right type, aimed at what is stored where it
// can be: given with a wrong one beside it, it must not take effect.
const std::map<std::string, json> kRight = {
    {"uniqueID", "id-Ann"},
    {"formattedName", "Ann"},
    {"number", "0123456789"},
    {"contact", {{"title", "Changed"}}},
    {"contacts", json::array({{{"uniqueID", "id-New"}, {"formattedName", "New"}}})},
    {"result", json::array()},
    {"token", ""},
    {"count", 10},
    {"offset", 0},
    {"sortBy", "name"},
    {"locale", "de"},
    {"descending", true},
    {"from", "An"},
    {"text", "An"},
    {"fileName", "/etc/config/none.usr"}};

// True when `argument` takes a value of `type`: that of its right value, any
// whole number for a count or an offset, and nothing for the optional ones.
bool takes(const std::string &argument, variant_type_t type) {
    static const std::set<std::string> optional = {"token", "sortBy", "locale",    "from",
                                                   "count", "offset", "descending"};
    auto whole = [](variant_type_t t) {
        return t >= variant_type_int8 && t <= variant_type_uint64;
    };
    variant_type_t right = Var(kRight.at(argument)).type();
    return type == right || (whole(right) && whole(type)) ||
           (type == variant_type_unknown && optional.count(argument) != 0);
}

// Values of every type, including the variant types JSON does not have.
std::vector<Var> everyValue() {
    std::vector<Var> values;
    for (const json &v : {json(nullptr), json(true), json(7), json(-1), json(1.5), json(""),
                          json("id-Ann"), json::array(), json::array({"id-Ann"}), json::object(),
                          json({{"uniqueID", "id-Ann"}}), json::array({json::array({1})})})
        values.emplace_back(v);
    Var small, large, date;
    variant_setUInt8(small.get(), 200);
    variant_setUInt64(large.get(), UINT64_MAX);
    struct tm when {};
    when.tm_year = 120;
    when.tm_mday = 1;
    variant_setDateTime(date.get(), &when);
    values.push_back(small);
    values.push_back(large);
    values.push_back(date);
    return values;
}

// False, nothing, nothing found, or an error named.
bool refusal(const json &retval) {
    return retval == false || retval.is_null() || retval == json::object() ||
           retval == json::array() || (retval.size() == 1 && retval.contains("error"));
}

// Every argument of every function given every value of a wrong type, named
// and positional, the other arguments right: an error or a refusal each time.
// removeAllContacts takes no argument: whatever it is given, it does its work;
// getChangesSince needs none: without them it answers from the start.
TEST_F(Hostile, EveryArgumentOfEveryFunctionWithEveryWrongType) {
    Client c(daemon.socket);
    int calls = 0;
    for (const auto &[function, arguments] : functions()) {
        for (size_t wrong = 0; wrong < arguments.size(); ++wrong) {
            for (const Var &value : everyValue()) {
                if (takes(arguments[wrong], value.type()))
                    continue;
                for (bool named : {true, false}) {
                    Var args(named ? json::object() : json::array());
                    for (size_t i = 0; i < arguments.size(); ++i) {
                        // The out-argument "result" beside a right list of
                        // contacts would add them.
                        bool skip = arguments[wrong] == "result" && i != wrong;
                        Var given = i == wrong ? value : Var(kRight.at(arguments[i]));
                        if (skip)
                            variant_cleanup(given.get());
                        if (named && !skip)
                            variant_map_add(args.map(), arguments[i].c_str(), given.get());
                        else if (!named)
                            variant_list_append(variant_da_list(args.get()),
                                                variant_list_iterator_create(given.get()));
                    }
                    Var retval;
                    ++calls;
                    bool ok = zeb_bus_call(c.get(), "Phonebook", function.c_str(), args.get(),
                                           retval.get(), nullptr);
                    ASSERT_TRUE(ok || !zeb_bus_isTransportError(c.code())) << c.message();
                    EXPECT_TRUE(!ok || refusal(retval.toJson()))
                        << function << "(" << args.toJson() << ") gave " << retval.toJson();
                }
            }
        }
        // Nothing to miss: no arguments, or none needed.
        if (function == "removeAllContacts" || function == "getChangesSince" ||
            function == "getContactsRange")
            continue;
        // Missing: no arguments at all, or none of the needed ones.
        for (const json &none : {json(nullptr), json::object(), json::array()}) {
            Var args(none), retval;
            bool ok = zeb_bus_call(c.get(), "Phonebook", function.c_str(), args.get(), retval.get(),
                                   nullptr);
            ASSERT_TRUE(ok || !zeb_bus_isTransportError(c.code())) << c.message();
            EXPECT_TRUE(!ok || arguments.empty() || refusal(retval.toJson()))
                << function << "(" << none << ") gave " << retval.toJson();
        }
    }
    std::printf("%d calls with a wrong argument\n", calls);
}

// A contact with a hundred thousand numbers, texts and keys of 1 MiB, texts
// that are not UTF-8: refused, through the functions and through the data
// model alike. Kept, a text that long made the next start set the whole saved
// file aside; bytes that are not UTF-8 came back changed.
TEST_F(Hostile, OversizedAndInvalidValuesAreRefused) {
    Client c(daemon.socket, 120000);
    const std::string mib(1u << 20, 'x'), invalid = "\xff\xfe";
    // A hundred thousand numbers take long to send: a thousand do in the short
    // run, refused just as well.
    json numbers = json::array();
    for (int i = 0; i < (scale() > 1 ? 100000 : 1000); ++i)
        numbers.push_back({{"name", std::to_string(100000000 + i)}});
    const json refusedContacts[] = {
        {{"uniqueID", "many"}, {"formattedName", "Many"}, {"telephoneNumbers", numbers}},
        {{"uniqueID", "name"}, {"formattedName", mib}},
        {{"uniqueID", mib}, {"formattedName", "Long id"}},
        {{"uniqueID", "title"}, {"formattedName", "Title"}, {"title", mib}},
        {{"uniqueID", "key"},
         {"formattedName", "Key"},
         {"emails", {{{"key", mib}, {"name", "a@b"}}}}},
        {{"uniqueID", "utf"}, {"formattedName", invalid}},
        {{"uniqueID", invalid + "-id"}, {"formattedName", "Invalid id"}},
    };
    auto shown = [](const json &value) {
        return value.dump(-1, ' ', false, json::error_handler_t::replace).substr(0, 200);
    };
    for (const json &contact : refusedContacts) {
        EXPECT_EQ(c.call("Phonebook", "addContact", {{"contact", contact}}), false)
            << shown(contact) << c.message();
        json changes = contact;
        if (changes["uniqueID"] == mib || changes["uniqueID"] == invalid + "-id")
            continue; // the identifier is what is wrong
        changes.erase("uniqueID");
        EXPECT_EQ(c.call("Phonebook", "modifyContactByUniqueID",
                         {{"uniqueID", "id-Ann"}, {"contact", changes}}),
                  false)
            << shown(contact);
    }
    for (const std::string &text : {mib, invalid}) {
        EXPECT_EQ(c.call("Phonebook", "getContactByUniqueID", {{"uniqueID", text}}),
                  json::object());
        EXPECT_EQ(c.call("Phonebook", "getContactByNumber", {{"number", text}}), nullptr);
        EXPECT_EQ(c.call("Phonebook", "removeContact", {{"formattedName", text}}), false);
    }

    auto set = [](const json &values) {
        return json{{"op", "set"}, {"path", "Phonebook.Entry.1"}, {"values", values}};
    };
    auto add = [](const std::string &path, const std::string &key) {
        return json{{"op", "add"}, {"path", path}, {"key", key}};
    };
    const std::pair<json, uint32_t> requests[] = {
        {set({{"Title", mib}}), ZEB_ERROR_LIMIT},
        {set({{"Title", invalid}}), ZEB_ERROR_TYPE},
        {set({{mib, "x"}}), ZEB_ERROR_NOT_FOUND},
        {add("Phonebook.Entry", mib), ZEB_ERROR_LIMIT},
        {add("Phonebook.Entry", invalid), ZEB_ERROR_TYPE},
        {add("Phonebook.Entry.1.TelephoneNumber", mib), ZEB_ERROR_LIMIT},
        {{{"op", "get"}, {"path", "Phonebook." + mib}}, ZEB_ERROR_NOT_FOUND},
        {{{"op", "call"}, {"path", "Phonebook"}, {"function", mib}}, ZEB_ERROR_NOT_FOUND},
    };
    for (const auto &[request, code] : requests)
        EXPECT_EQ(bustest::errorCode(c.ask(request)), code) << shown(request);
}

// Overlong forms, surrogates and code points above U+10FFFF written into the
// frames by hand: a text that is not UTF-8 however it is spelt is refused as
// a function's argument, a parameter's value and an instance's key, and
// nothing is stored, saved or announced. (The saved file and a direct set:
// the data model's Files tests.)
TEST_F(Hostile, MalformedUtf8InFramesIsRefused) {
    Raw raw(daemon.socket);
    Var reply;
    uint64_t id = 0, answered = 0;
    for (const std::string text :
         {"\xe0\x80\x80", "\xf0\x80\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        auto op = [&](const char *name, const char *path) {
            return mpMap(4) + mpText("id") + mpUInt(++id) + mpText("op") + mpText(name) +
                   mpText("path") + mpText(path);
        };
        // A call's refusal is its result false, an operation's an error.
        const std::pair<std::string, json> refusals[] = {
            {addContactBody(++id, "evil", mpText("Ev" + text + "il")), false},
            {addContactBody(++id, "evil" + text, mpText("Evil")), false},
            {op("set", "Phonebook.Entry.1") + mpText("values") + mpMap(1) + mpText("Title") +
                 mpText("T" + text),
             ZEB_ERROR_TYPE},
            {op("add", "Phonebook.Entry") + mpText("key") + mpText(text), ZEB_ERROR_TYPE}};
        for (const auto &[body, refusal] : refusals) {
            ASSERT_TRUE(raw.send(bustest::frame(body)));
            ASSERT_TRUE(raw.receive(reply)) << daemon.log();
            json answer = reply.toJson();
            EXPECT_EQ(answer.value("id", json()), ++answered);
            EXPECT_EQ(refusal.is_boolean() ? answer.value("result", json())
                                           : bustest::errorCode(answer),
                      refusal)
                << answer;
        }
    }
}

// As many connections as the daemon serves, most stopped in the middle of a
// frame (half of them announcing the largest body there may be), kept every
// further client out, and the daemon reserved room for every body announced.
// Now a new client takes the place of a stalled one, never of one that is
// quiet because it only waits for notifications (as the telephony service
// does; the watcher has been quiet longest), and the daemon holds no more
// than what was sent to it.
TEST_F(Hostile, StalledHalfFramesNeitherLockOthersOutNorReserveAnnouncedSizes) {
    // Memory mapped for data, in KiB: room reserved counts even untouched.
    auto mapped = [&] {
        std::ifstream status("/proc/" + std::to_string(daemon.process->pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmData:", 0) == 0)
                return std::stol(line.substr(7));
        return 0L;
    };
    // Two round trips on a connection served all along: what the others had
    // sent before the first one is read by the time the second is answered.
    Client busy(daemon.socket);
    auto settle = [&] {
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(busy.call("Phonebook", "getNumberOfContacts", json::object()), 2)
                << busy.message();
    };
    const std::string half = bustest::frame(addContactBody(1, "evil", mpText("Evil")));
    const std::string announced = bigEndian(ZEB_BUS_MAX_MESSAGE_SIZE, 4) + std::string(1024, 'x');
    long before = mapped();
    std::vector<std::unique_ptr<Raw>> idle, stalled;
    for (int i = 0; i < 54; ++i)
        idle.push_back(std::make_unique<Raw>(daemon.socket));
    for (int round = 0; round < scale(); ++round) {
        stalled.clear();
        ASSERT_NO_FATAL_FAILURE(settle());
        // With the watcher, `busy` and the idle ones, as many as the daemon serves.
        for (int i = 0; i < 200; ++i) {
            stalled.push_back(std::make_unique<Raw>(daemon.socket));
            ASSERT_TRUE(
                stalled.back()->send(i % 2 == 0 ? half.substr(0, half.size() / 2) : announced));
        }
        ASSERT_NO_FATAL_FAILURE(settle());
        std::vector<std::unique_ptr<Client>> served;
        for (size_t i = 0; i < 3; ++i) {
            served.push_back(std::make_unique<Client>(daemon.socket));
            EXPECT_EQ(served[i]->call("Phonebook", "getNumberOfContacts", json::object()), 2)
                << "a new client is served: " << served[i]->message();
        }
        size_t closed = 0, idleClosed = 0;
        for (auto &connection : stalled)
            closed += connection->closedByPeer(0);
        for (auto &connection : idle)
            idleClosed += connection->closedByPeer(0);
        EXPECT_EQ(closed, served.size());
        EXPECT_EQ(idleClosed, 0u);
    }
    EXPECT_LT(mapped() - before, 64 * 1024) << "KiB held for frames announced, not sent";
    EXPECT_NE(daemon.log().find("stopped in the middle of a frame"), std::string::npos);
    EXPECT_EQ(watcher->get("Phonebook.NumberOfEntries"), 2) << "the quiet subscriber was dropped";
}

// A subscriber that never reads while contacts are added and announced: the
// daemon does not wait for it, drops it once 8 MiB wait for it, and the
// others, a subscriber that reads among them, go on. The lazy one holds as
// many subscriptions as a connection may, each of which gets every
// announcement, so that a few contacts are enough.
TEST_F(Hostile, ASubscriberThatNeverReadsIsDroppedAndTheOthersGoOn) {
    checkUnchanged = false;
    Raw lazy(daemon.socket);
    for (int id = 1; id <= 64; ++id)
        ASSERT_EQ(lazy.exchange({{"id", id}, {"op", "subscribe"}}).count("error"), 0u);
    Client reader(daemon.socket);
    ASSERT_NE(zeb_bus_subscribe(reader.get(), "Phonebook"), 0u);
    const int expected = 4 * scale();
    int heard = 0;
    std::thread listening([&] {
        while (heard < expected && reader.notification(20000) != nullptr)
            ++heard;
    });
    // Each announcement carries its contact, with 60 KiB of title.
    Client c(daemon.socket, 60000);
    const std::string title(60u << 10, 't');
    for (int i = 0; i < expected; ++i) {
        json contact = {{"uniqueID", "big-" + std::to_string(i)},
                        {"formattedName", "Big " + std::to_string(i)},
                        {"title", title}};
        ASSERT_EQ(c.call("Phonebook", "addContact", {{"contact", contact}}), true) << c.message();
    }
    listening.join();
    EXPECT_EQ(heard, expected) << "the subscriber that reads hears of every contact";
    EXPECT_TRUE(lazy.closedByPeer(10000));
    EXPECT_LE(lazy.received, (8u << 20) + (4u << 20)) << "8 MiB waiting, and the socket's buffers";
    EXPECT_NE(daemon.log().find("does not read"), std::string::npos);
    EXPECT_EQ(c.call("Phonebook", "getNumberOfContacts", json::object()), expected + 2);
}
} // namespace
