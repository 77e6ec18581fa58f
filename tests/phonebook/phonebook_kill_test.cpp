// The saved phonebook survives the daemon being killed at any moment.
//
// zebd serves the phonebook with saves coming right after each change
// (PHONEBOOK_SAVE_DELAY_MS=0) while writer clients add, modify and remove
// contacts; at a random moment the daemon gets SIGKILL, is started again, and
// the saved file must be a whole phonebook that some save wrote, at least as
// new as the last save the daemon reported complete, and load back as it is.
//
// ZEB_KILL_COUNT sets the number of kills (20 by default), ZEB_KILL_SEED the
// seed (printed, so that a failing run can be repeated);
// scripts/kill-test.sh runs 200. A save that fails is watched here too.
#include <gtest/gtest.h>

#include "bus_test_support.hpp"

#include <atomic>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <thread>

namespace {

using bustest::Client;
using bustest::json;

constexpr int kWriters = 3;
constexpr size_t kMostContactsPerWriter = 8;

// What the test compares of a contact: a projection that the file and
// getAllContacts both give, without what the daemon stamps (LastRevision).
json contactOf(const std::string &name, const std::string &title, const json &numbers,
               const json &emails) {
    return {{"name", name}, {"title", title}, {"numbers", numbers}, {"emails", emails}};
}

// A phonebook as the test sees it: unique identifier to contact.
using Book = std::map<std::string, json>;

Book fromContacts(const json &contacts) {
    Book book;
    for (const json &c : contacts) {
        json numbers = json::array(), emails = json::array();
        for (const json &n : c.at("telephoneNumbers"))
            numbers.push_back(n.at("name"));
        for (const json &e : c.at("emails"))
            emails.push_back(e.at("name"));
        book[c.at("uniqueID")] = contactOf(c.at("formattedName"), c.at("title"), numbers, emails);
    }
    return book;
}

// The phonebook a saved file holds; throws when it is not a whole one.
Book fromSavedFile(const std::string &text) {
    json document = json::parse(text);
    Book book;
    auto values = [](const json &entry, const char *child, const char *parameter) {
        json list = json::array();
        for (const json &i : entry.at("objects").at(child).at("instances"))
            list.push_back(i.at("parameters").at(parameter));
        return list;
    };
    for (const json &entry : document.at("objects").at("Entry").at("instances")) {
        const json &p = entry.at("parameters");
        book[p.at("UniqueID")] = contactOf(p.at("FormattedName"), p.at("Title"),
                                           values(entry, "TelephoneNumber", "Number"),
                                           values(entry, "Email", "Address"));
    }
    return book;
}

// The part of a phonebook that one writer owns: its identifiers start with
// its prefix.
Book partOf(const Book &book, const std::string &prefix) {
    Book part;
    for (const auto &[id, contact] : book)
        if (id.rfind(prefix, 0) == 0)
            part.emplace(id, contact);
    return part;
}

// One client changing its own contacts through the phonebook's functions,
// each call chosen from the state it expects. states[k] is its part of the
// phonebook once its first k calls are done; the last one may stand for a
// call the kill interrupted, done or not.
class Writer {
  public:
    // Identifiers it creates hold the round, never to be used again.
    Writer(int index, int round, uint64_t seed, Book start)
        : prefix_("w" + std::to_string(index) + "-"), round_(std::to_string(round) + "."),
          random_(seed) {
        states.push_back(std::move(start));
    }

    void run(const std::string &socket, const std::atomic<bool> &stop) {
        Client client(socket);
        while (!stop && client.connected()) {
            Book next = states.back();
            auto [function, args] = choose(next);
            states.push_back(next);
            bustest::Var given(args), retval;
            if (!zeb_bus_call(client.get(), "Phonebook", function.c_str(), given.get(),
                              retval.get(), nullptr)) {
                if (!zeb_bus_isTransportError(client.code()))
                    failure = function + " failed: " + client.message();
                return;
            }
            if (retval.toJson() != true) {
                failure = function + " answered " + retval.toJson().dump() + " to " + args.dump();
                return;
            }
        }
    }

    std::vector<Book> states;
    std::string failure;

  private:
    json numbers() {
        json list = json::array();
        for (int i = std::uniform_int_distribution<int>(0, 3)(random_); i > 0; --i)
            list.push_back("0" + std::to_string(std::uniform_int_distribution<int>(
                                     100000000, 999999999)(random_)));
        return list;
    }
    static json asProperties(const json &names) {
        json list = json::array();
        for (const json &name : names)
            list.push_back({{"name", name}, {"type", "home"}});
        return list;
    }

    // The call to make next and its effect on `book`.
    std::pair<std::string, json> choose(Book &book) {
        int pick = std::uniform_int_distribution<int>(0, 9)(random_);
        std::string title = "call " + std::to_string(states.size());
        json phone = numbers(), mail = json::array();
        if (std::uniform_int_distribution<int>(0, 1)(random_) == 1)
            mail.push_back(prefix_ + std::to_string(created_) + "@example.org");
        json changes = {{"title", title},
                        {"telephoneNumbers", asProperties(phone)},
                        {"emails", asProperties(mail)}};
        if (book.empty() || (pick < 4 && book.size() < kMostContactsPerWriter)) {
            std::string id = prefix_ + round_ + std::to_string(created_++);
            book[id] = contactOf("Contact " + id, title, phone, mail);
            changes["uniqueID"] = id;
            changes["formattedName"] = "Contact " + id;
            return {"addContact", {{"contact", changes}}};
        }
        auto it = std::next(book.begin(),
                            std::uniform_int_distribution<size_t>(0, book.size() - 1)(random_));
        std::string id = it->first;
        if (pick < 8) {
            it->second = contactOf(it->second.at("name"), title, phone, mail);
            return {"modifyContactByUniqueID", {{"uniqueID", id}, {"contact", changes}}};
        }
        book.erase(it);
        return {"removeContactByUniqueID", {{"uniqueID", id}}};
    }

    std::string prefix_, round_;
    std::mt19937_64 random_;
    int created_ = 0;
};

// In the daemon's trace, in the order it did them: 'c' a phonebook function
// call beginning, 'b' a save beginning, 's' a save completed.
std::string eventsOf(const std::string &log) {
    std::string events;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Number of arguments") != std::string::npos)
            events += 'c';
        else if (line.find("saving datamodel to temporary file") != std::string::npos)
            events += 'b';
        else if (line.find("Save completed to /cfg/system/phonebook.odl") != std::string::npos)
            events += 's';
    }
    return events;
}

uint64_t fromEnvironment(const char *name, uint64_t fallback) {
    const char *text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

class Saving : public ::testing::Test {
  protected:
    void SetUp() override {
        daemon.logToFile = true;
        setenv("PHONEBOOK_SAVE_DELAY_MS", "0", 1);
        // The phonebook's information lines order calls and saves.
        setenv("phonebook", "400", 1);
    }
    void TearDown() override {
        unsetenv("PHONEBOOK_SAVE_DELAY_MS");
        unsetenv("phonebook");
    }

    // Starts the daemon and checks that it loaded `expected` from the saved
    // file, or fails the test.
    void startAndCheck(const Book &expected) {
        bool saved = std::filesystem::exists(daemon.savedFile());
        ASSERT_TRUE(daemon.start()) << daemon.log();
        Client reader(daemon.socket);
        json all = reader.call("Phonebook", "getAllContacts", json::object());
        ASSERT_TRUE(all.is_array()) << reader.message();
        ASSERT_EQ(fromContacts(all), expected) << "the daemon did not load the saved phonebook";
        std::string log = daemon.log();
        EXPECT_EQ(log.find("Load of") == std::string::npos, saved) << log;
        EXPECT_FALSE(std::filesystem::exists(daemon.savedFile() + ".invalid"));
    }

    bustest::PhonebookDaemon daemon;
};

TEST_F(Saving, KillsAtRandomMomentsLeaveAWholeRecentFile) {
    const uint64_t seed = fromEnvironment("ZEB_KILL_SEED", 20240229);
    const int kills = static_cast<int>(fromEnvironment("ZEB_KILL_COUNT", 20));
    std::printf("kill test: %d kills, seed %llu (ZEB_KILL_SEED)\n", kills,
                static_cast<unsigned long long>(seed));
    std::mt19937_64 random(seed);
    Book expected;
    bool saved = false;
    int inSave = 0, inWrite = 0, beforeServing = 0, totalCalls = 0, totalSaves = 0;

    for (int round = 0; round < kills; ++round) {
        SCOPED_TRACE("kill " + std::to_string(round) + " of seed " + std::to_string(seed));
        // Now and then while it starts and loads the file.
        if (std::uniform_int_distribution<int>(0, 9)(random) == 0) {
            daemon.process = std::make_unique<bustest::Process>(
                std::vector<std::string>{ZEBD_PATH, "-s", daemon.socket, "--sysroot",
                                         daemon.sysroot, daemon.definition},
                daemon.logFile);
            usleep(std::uniform_int_distribution<useconds_t>(0, 30000)(random));
            daemon.stop(SIGKILL);
            ++beforeServing;
        }
        ASSERT_NO_FATAL_FAILURE(startAndCheck(expected));

        std::atomic<bool> stop{false};
        std::vector<std::unique_ptr<Writer>> writers;
        std::vector<std::thread> threads;
        for (int w = 0; w < kWriters; ++w) {
            std::string prefix = "w" + std::to_string(w) + "-";
            writers.push_back(
                std::make_unique<Writer>(w, round, random(), partOf(expected, prefix)));
        }
        for (auto &writer : writers)
            threads.emplace_back([&, w = writer.get()] { w->run(daemon.socket, stop); });
        usleep(std::uniform_int_distribution<useconds_t>(5000, 80000)(random));
        ASSERT_EQ(daemon.stop(SIGKILL), 128 + SIGKILL);
        stop = true;
        for (std::thread &t : threads)
            t.join();
        for (auto &writer : writers)
            ASSERT_EQ(writer->failure, "");

        // Calls begun before the last save reported complete: the file holds
        // what that save wrote or what a later one did. The first call is the
        // check above.
        std::string events = eventsOf(daemon.log());
        size_t lastSave = events.rfind('s');
        long before = -1;
        if (lastSave != std::string::npos) {
            before = std::max<long>(
                0,
                static_cast<long>(std::count(events.begin(), events.begin() + lastSave, 'c')) - 1);
            saved = true;
        }
        totalCalls += static_cast<int>(std::count(events.begin(), events.end(), 'c')) - 1;
        totalSaves += static_cast<int>(std::count(events.begin(), events.end(), 's'));
        // Killed inside a save, and then between the creation of the
        // temporary file and its rename.
        bool cut = events.rfind('b') != std::string::npos &&
                   (lastSave == std::string::npos || events.rfind('b') > lastSave);
        inSave += cut;
        inWrite += cut && std::filesystem::exists(daemon.savedFile() + ".tmp");

        EXPECT_FALSE(std::filesystem::exists(daemon.savedFile() + ".invalid"));
        if (!std::filesystem::exists(daemon.savedFile())) {
            ASSERT_FALSE(saved) << "the saved file is gone";
            continue;
        }
        Book file;
        std::string text = bustest::readFile(daemon.savedFile());
        try {
            file = fromSavedFile(text);
        } catch (const std::exception &e) {
            FAIL() << "the saved file is not a whole phonebook: " << e.what() << "\n" << text;
        }
        // Each writer's part is one of its states, and together they are at
        // least as many calls on as the last reported save.
        long done = 0;
        size_t owned = 0;
        for (auto &writer : writers) {
            std::string prefix = "w" + std::to_string(&writer - &writers[0]) + "-";
            Book part = partOf(file, prefix);
            owned += part.size();
            long latest = -1;
            for (size_t k = 0; k < writer->states.size(); ++k)
                if (writer->states[k] == part)
                    latest = static_cast<long>(k);
            ASSERT_GE(latest, 0) << prefix << ": the file holds a state that never was: "
                                 << json(part).dump();
            done += latest;
        }
        EXPECT_EQ(owned, file.size()) << "contacts of nobody in the file";
        EXPECT_GE(done, before) << "the file is older than the last save reported complete";
        expected = file;
    }
    ASSERT_NO_FATAL_FAILURE(startAndCheck(expected));
    // A temporary file left by a kill is no obstacle: the next save replaces
    // it.
    Client last(daemon.socket);
    EXPECT_EQ(last.call("Phonebook", "removeAllContacts", json::object()), true) << last.message();
    EXPECT_EQ(daemon.stop(), 0) << daemon.log();
    EXPECT_FALSE(std::filesystem::exists(daemon.savedFile() + ".tmp"));
    EXPECT_EQ(fromSavedFile(bustest::readFile(daemon.savedFile())), Book());
    std::printf("kill test: %d kills (%d while starting, %d inside a save, %d of them with the "
                "temporary file written), %d calls, %d saves\n",
                kills, beforeServing, inSave, inWrite, totalCalls, totalSaves);
}

// Through the daemon, a save that cannot write (the temporary file's name is
// taken by a directory, refused as a full or read-only file system would)
// keeps the saved file as it was and the contact in memory and says why; once
// the obstacle is gone, the next change saves both.
TEST_F(Saving, AFailedSaveKeepsTheFileAndTheNextChangeSavesAgain) {
    ASSERT_NO_FATAL_FAILURE(startAndCheck({}));
    Client c(daemon.socket);
    auto add = [&](const std::string &name) {
        json contact = {{"uniqueID", "id-" + name}, {"formattedName", name}};
        ASSERT_EQ(c.call("Phonebook", "addContact", {{"contact", contact}}), true) << c.message();
    };
    using bustest::waitFor;
    auto savedHas = [&](const char *name) {
        return bustest::readFile(daemon.savedFile()).find(name) != std::string::npos;
    };
    add("Ann");
    ASSERT_TRUE(waitFor([&] { return savedHas("id-Ann"); }));
    const std::string old = bustest::readFile(daemon.savedFile());
    std::filesystem::create_directory(daemon.savedFile() + ".tmp");
    add("Bob");
    const std::string failed = "Save of phonebook to /cfg/system/phonebook.odl failed: ";
    ASSERT_TRUE(waitFor([&] { return daemon.log().find(failed) != std::string::npos; }));
    std::string log = daemon.log();
    EXPECT_NE(log.find("Is a directory", log.find(failed)), std::string::npos) << log;
    EXPECT_EQ(bustest::readFile(daemon.savedFile()), old);
    EXPECT_EQ(c.call("Phonebook", "getNumberOfContacts", json::object()), 2);

    std::filesystem::remove(daemon.savedFile() + ".tmp");
    add("Cid");
    EXPECT_TRUE(waitFor([&] { return savedHas("id-Cid"); }));
    EXPECT_TRUE(savedHas("id-Bob"));
    EXPECT_EQ(daemon.stop(), 0) << daemon.log();
    EXPECT_FALSE(std::filesystem::exists(daemon.savedFile() + ".invalid"));
}

} // namespace
