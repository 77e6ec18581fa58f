// Hostile clients of the phonebook under the real zebd: each is refused, the next client is
// served, and the contacts, the saved file and the announcements (none) do not change.
// ZEB_HOSTILE_SCALE (1 by default) multiplies the long cases; scripts/hostile-test.sh raises it.
#include <gtest/gtest.h>

#include "daemon_test.hpp"

#include <map>
#include <set>

namespace {

using bustest::Client;
using bustest::json;
using bustest::Raw;
using bustest::Var;

std::string bigEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>(value >> (8 * i));
    return out;
}

const std::string kEvil = std::string(1, '\xa4') + "Evil"; // in MessagePack

// addContact in MessagePack, its formattedName "Evil" encoded as `name`.
std::string addContactBody(const std::string &name = kEvil) {
    std::string body =
        bustest::frameOf(
            Var({{"id", 1},
                 {"op", "call"},
                 {"path", "Phonebook"},
                 {"function", "addContact"},
                 {"args", {{"contact", {{"uniqueID", "evil"}, {"formattedName", "Evil"}}}}}}))
            .substr(4);
    return body.replace(body.find(kEvil), kEvil.size(), name);
}

class Hostile : public bustest::DaemonTest<bustest::PhonebookDaemon> {
  protected:
    void SetUp() override {
        daemon.logToFile = true;
        setenv("PHONEBOOK_SAVE_DELAY_MS", "0", 1);
        DaemonTest::SetUp();
        unsetenv("PHONEBOOK_SAVE_DELAY_MS");
        if (HasFatalFailure())
            return;
        watcher = std::make_unique<Client>(daemon.socket);
        ASSERT_NE(zeb_bus_subscribe(watcher->get(), "Phonebook"), 0u) << watcher->message();
        for (const char *name : {"Ann", "Bob"}) {
            json contact = {{"uniqueID", std::string("id-") + name},
                            {"formattedName", name},
                            {"telephoneNumbers", {{{"name", "0123456789"}, {"type", "home"}}}}};
            ASSERT_EQ(watcher->call("Phonebook", "addContact", {{"contact", contact}}), true);
        }
        for (int i = 0; i < 2; ++i)
            ASSERT_NE(watcher->notification(), nullptr);
        keep();
    }
    void TearDown() override {
        expectUnchanged();
        DaemonTest::TearDown();
    }

    // Waits for the saved file to hold the contacts; keeps both as what must not change.
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

    void expectUnchanged() {
        Client reader(daemon.socket);
        EXPECT_EQ(reader.call("Phonebook", "getAllContacts", json::object()), contacts)
            << reader.message();
        usleep(300000); // announcements come 200 ms after a change
        EXPECT_EQ(bustest::readFile(daemon.savedFile()), file);
        EXPECT_FALSE(std::filesystem::exists(daemon.savedFile() + ".invalid"));
        EXPECT_EQ(watcher->notification(0), nullptr) << "announced";
    }

    std::unique_ptr<Client> watcher;
    json contacts;
    std::string file;
};

// A broken body or id is answered with id 0 and the connection goes on; what cannot be framed
// (length above the limit, an HTTP request, a frame cut by the end) ends it.
TEST_F(Hostile, MalformedFramesAddNothing) {
    const std::string good = addContactBody();
    auto withId = [&](const std::string &id) {
        return std::string(good).replace(good.find("\xa2id") + 3, 1, id);
    };
    const std::string invalid[] = {"",
                                   good.substr(0, good.size() - 1), // truncated
                                   std::string("\x92\x01\x02", 3),  // not a map
                                   "\x81\xa2op\xa3get",             // no id
                                   withId(std::string(1, '\0')),
                                   withId("\xcf" + bigEndian(1ull << 32, 8)),
                                   withId(std::string("\xa1") + "1"),
                                   withId("\xc0")};
    std::vector<std::pair<std::string, uint32_t>> bodies = {
        {addContactBody(std::string(40, '\x91') + kEvil), ZEB_ERROR_LIMIT}};
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
    ASSERT_TRUE(raw.send(bustest::frameOf(Var({{"id", 5}, {"op", "getAllContacts"}}))));
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

// Connections stalled mid-frame (half announcing the largest body) used to keep every further
// client out and reserve room for every body announced. Now a new client takes a stalled one's
// place, never a quiet subscriber's (the watcher, quiet longest); only what was sent is held.
TEST_F(Hostile, StalledHalfFramesNeitherLockOthersOutNorReserveAnnouncedSizes) {
    // In KiB: reserved room counts even untouched.
    auto mapped = [&] {
        std::ifstream status("/proc/" + std::to_string(daemon.process->pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmData:", 0) == 0)
                return std::stol(line.substr(7));
        return 0L;
    };
    // What others sent before the first round trip is read by the end of the second.
    Client busy(daemon.socket);
    auto settle = [&] {
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(busy.call("Phonebook", "getNumberOfContacts", json::object()), 2)
                << busy.message();
    };
    const std::string half = bustest::frame(addContactBody());
    const std::string announced = bigEndian(ZEB_BUS_MAX_MESSAGE_SIZE, 4) + std::string(1024, 'x');
    long before = mapped();
    std::vector<std::unique_ptr<Raw>> idle, stalled;
    for (int i = 0; i < 54; ++i)
        idle.push_back(std::make_unique<Raw>(daemon.socket));
    const uint64_t rounds = bustest::fromEnvironment("ZEB_HOSTILE_SCALE", 1);
    for (uint64_t round = 0; round < std::max<uint64_t>(rounds, 1); ++round) {
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

// Right values, aimed at what is stored: beside a wrong one, they must not take effect.
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

std::vector<Var> everyValue() {
    std::vector<Var> values;
    for (const json &v : {json(nullptr), json(true), json(-1), json(1.5), json("id-Ann"),
                          json::array({"id-Ann"}), json({{"uniqueID", "id-Ann"}})})
        values.emplace_back(v);
    values.resize(values.size() + 2);
    variant_setUInt64(values[values.size() - 2].get(), UINT64_MAX);
    struct tm when {};
    when.tm_year = 120;
    when.tm_mday = 1;
    variant_setDateTime(values.back().get(), &when);
    return values;
}

// Each argument of each function with each wrong type, named and positional, then no arguments:
// an error, false, nothing or nothing found. getChangesSince and getContactsRange need none.
TEST_F(Hostile, EveryArgumentOfEveryFunctionWithEveryWrongType) {
    Client c(daemon.socket);
    auto refused = [&](const std::string &function, Var &args) {
        Var retval;
        bool ok =
            zeb_bus_call(c.get(), "Phonebook", function.c_str(), args.get(), retval.get(), nullptr);
        EXPECT_TRUE(ok || !zeb_bus_isTransportError(c.code())) << c.message();
        json r = retval.toJson();
        EXPECT_TRUE(!ok || r == false || r.is_null() || r == json::object() || r == json::array() ||
                    (r.size() == 1 && r.contains("error")))
            << function << "(" << args.toJson() << ") gave " << r;
    };
    json definition = json::parse(std::ifstream(PHONEBOOK_DEFINITION));
    for (const json &f : definition["objects"][0]["functions"]) {
        const std::string function = f["name"];
        const auto arguments = f.value("arguments", std::vector<std::string>());
        for (size_t wrong = 0; wrong < arguments.size(); ++wrong)
            for (const Var &value : everyValue()) {
                if (takes(arguments[wrong], value.type()))
                    continue;
                for (bool named : {true, false}) {
                    Var args(named ? json::object() : json::array());
                    for (size_t i = 0; i < arguments.size(); ++i) {
                        // "result" beside a right list of contacts would add them.
                        bool skip = arguments[wrong] == "result" && i != wrong;
                        Var given = i == wrong ? value : Var(kRight.at(arguments[i]));
                        if (named && !skip)
                            variant_map_add(args.map(), arguments[i].c_str(), given.get());
                        else if (!named)
                            variant_list_append(
                                variant_da_list(args.get()),
                                variant_list_iterator_create(skip ? Var().get() : given.get()));
                    }
                    refused(function, args);
                }
            }
        if (!arguments.empty() && function != "getChangesSince" && function != "getContactsRange")
            for (const json &none : {json(nullptr), json::object(), json::array()}) {
                Var args(none);
                refused(function, args);
            }
    }
}

} // namespace
