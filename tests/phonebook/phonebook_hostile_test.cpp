// Hostile clients of the phonebook under the real zebd: each is refused, the next client is
// served, and the contacts, the saved file and the announcements (none) do not change.
// ZEB_HOSTILE_SCALE (1 by default) multiplies the long cases; scripts/hostile-test.sh raises it.
#include <gtest/gtest.h>

#include "daemon_test.hpp"

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
        // What must not change: the contacts, and the file once it holds them.
        contacts = watcher->call("Phonebook", "getAllContacts", json::object());
        ASSERT_TRUE(contacts.is_array()) << watcher->message();
        bustest::waitFor([&] {
            file = bustest::readFile(daemon.savedFile());
            return file.find("id-Bob") != std::string::npos;
        });
        ASSERT_NE(file.find("id-Ann"), std::string::npos) << file;
    }
    void TearDown() override {
        Client reader(daemon.socket);
        EXPECT_EQ(reader.call("Phonebook", "getAllContacts", json::object()), contacts)
            << reader.message();
        usleep(300000); // announcements come 200 ms after a change
        EXPECT_EQ(bustest::readFile(daemon.savedFile()), file);
        EXPECT_FALSE(std::filesystem::exists(daemon.savedFile() + ".invalid"));
        EXPECT_EQ(watcher->notification(0), nullptr) << "announced";
        DaemonTest::TearDown();
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

TEST_F(Hostile, AModifyTheValidatorRefusesIsRolledBackWhole) {
    Client c(daemon.socket);
    json args = {{"uniqueID", "id-Ann"}, {"contact", {{"title", "T"}, {"formattedName", "Bob"}}}};
    EXPECT_EQ(c.call("Phonebook", "modifyContactByUniqueID", args), false) << c.message();
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

} // namespace
