// zebd saving right after each change is killed at random moments while writers change contacts:
// the saved file must be a whole phonebook some save wrote, at least as new as the last save
// reported complete, and load back as it is. ZEB_KILL_COUNT sets the kills (20 by default),
// ZEB_KILL_SEED the seed (printed); scripts/kill-test.sh runs 200.
#include <gtest/gtest.h>

#include "daemon_test.hpp"

#include <atomic>
#include <cstdio>
#include <map>
#include <random>
#include <thread>

namespace {

using bustest::Client;
using bustest::json;

constexpr int kWriters = 3;
constexpr size_t kMostContactsPerWriter = 8;

// What both the file and getAllContacts give, without what the daemon stamps (LastRevision).
json contactOf(const std::string &name, const std::string &title, const json &numbers,
               const json &emails) {
    return {{"name", name}, {"title", title}, {"numbers", numbers}, {"emails", emails}};
}

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

Book partOf(const Book &book, const std::string &prefix) {
    Book part;
    for (const auto &[id, contact] : book)
        if (id.rfind(prefix, 0) == 0)
            part.emplace(id, contact);
    return part;
}

// states[k]: the writer's part once its first k calls are done; the last may be a call the kill
// interrupted, done or not.
class Writer {
  public:
    Writer(int index, int round, uint64_t seed, Book start)
        : prefix_("w" + std::to_string(index) + "-"), round_(std::to_string(round) + "."),
          random_(seed) {
        states.push_back(std::move(start));
    }

    void run(const bustest::Daemon &daemon, const std::atomic<bool> &stop) {
        Client client(daemon.socket);
        while (!stop && client.connected()) {
            Book next = states.back();
            auto [function, args] = choose(next);
            states.push_back(next);
            json answer = client.call("Phonebook", function, args);
            if (answer != true) {
                if (!answer.is_null() || !zeb_bus_isTransportError(client.code()))
                    failure = function + " answered " + answer.dump() + " to " + args.dump() +
                              ": " + client.message();
                return;
            }
            // The call's work is in the log before its answer.
            std::error_code gone;
            answeredAt.push_back(std::filesystem::file_size(daemon.logFile, gone));
        }
    }

    std::vector<Book> states;
    std::vector<uintmax_t> answeredAt; /* the log's size as each call was answered */
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

class Saving : public bustest::DaemonTest<bustest::PhonebookDaemon> {
  protected:
    void SetUp() override {
        daemon.logToFile = true;
        setenv("PHONEBOOK_SAVE_DELAY_MS", "0", 1);
        setenv("phonebook", "400", 1); // the notice of each save completed
    }
    void TearDown() override {
        unsetenv("PHONEBOOK_SAVE_DELAY_MS");
        unsetenv("phonebook");
        DaemonTest::TearDown();
    }

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
};

TEST_F(Saving, KillsAtRandomMomentsLeaveAWholeRecentFile) {
    const uint64_t seed = bustest::fromEnvironment("ZEB_KILL_SEED", 20240229);
    const int kills = static_cast<int>(bustest::fromEnvironment("ZEB_KILL_COUNT", 20));
    std::printf("kill test: %d kills, seed %llu (ZEB_KILL_SEED)\n", kills,
                static_cast<unsigned long long>(seed));
    std::mt19937_64 random(seed);
    Book expected;
    bool saved = false;
    int beforeServing = 0;

    for (int round = 0; round < kills; ++round) {
        SCOPED_TRACE("kill " + std::to_string(round) + " of seed " + std::to_string(seed));
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
        for (int w = 0; w < kWriters; ++w)
            writers.push_back(std::make_unique<Writer>(
                w, round, random(), partOf(expected, "w" + std::to_string(w) + "-")));
        for (auto &writer : writers)
            threads.emplace_back([&, w = writer.get()] { w->run(daemon, stop); });
        usleep(std::uniform_int_distribution<useconds_t>(5000, 80000)(random));
        ASSERT_EQ(daemon.stop(SIGKILL), 128 + SIGKILL);
        stop = true;
        for (std::thread &t : threads)
            t.join();
        for (auto &writer : writers)
            ASSERT_EQ(writer->failure, "");

        // Calls answered before the last save reported complete are in the file.
        size_t lastSave = daemon.log().rfind("Save completed to /cfg/system/phonebook.odl");
        saved = saved || lastSave != std::string::npos;
        EXPECT_FALSE(std::filesystem::exists(daemon.savedFile() + ".invalid"));
        if (!std::filesystem::exists(daemon.savedFile())) {
            ASSERT_FALSE(saved) << "the saved file is gone";
            continue;
        }
        Book file;
        std::string text = bustest::readFile(daemon.savedFile());
        ASSERT_NO_THROW(file = fromSavedFile(text)) << "not a whole phonebook:\n" << text;
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
            long reported =
                lastSave == std::string::npos
                    ? 0
                    : std::count_if(writer->answeredAt.begin(), writer->answeredAt.end(),
                                    [&](uintmax_t at) { return at <= lastSave; });
            EXPECT_GE(latest, reported) << prefix << ": older than the last save reported complete";
        }
        EXPECT_EQ(owned, file.size()) << "contacts of nobody in the file";
        expected = file;
    }
    ASSERT_NO_FATAL_FAILURE(startAndCheck(expected));
    // A directory in the temporary file's place fails the save; a leftover temporary file does not.
    const std::string temporary = daemon.savedFile() + ".tmp",
                      old = bustest::readFile(daemon.savedFile());
    std::filesystem::remove(temporary);
    std::filesystem::create_directory(temporary);
    Client last(daemon.socket);
    json late = {{"uniqueID", "late"}, {"formattedName", "Late"}};
    EXPECT_EQ(last.call("Phonebook", "addContact", {{"contact", late}}), true) << last.message();
    const std::string failed = "Save of phonebook to /cfg/system/phonebook.odl failed: ";
    ASSERT_TRUE(bustest::waitFor([&] { return daemon.log().find(failed) != std::string::npos; }));
    EXPECT_NE(daemon.log().find("Is a directory", daemon.log().find(failed)), std::string::npos);
    EXPECT_EQ(bustest::readFile(daemon.savedFile()), old);
    std::filesystem::remove(temporary);
    bustest::writeFile(temporary, "{ half a file");
    EXPECT_EQ(daemon.stop(), 0) << daemon.log();
    EXPECT_FALSE(std::filesystem::exists(daemon.savedFile() + ".tmp"));
    expected["late"] = contactOf("Late", "", json::array(), json::array());
    EXPECT_EQ(fromSavedFile(bustest::readFile(daemon.savedFile())), expected);
    std::printf("kill test: %d kills, %d while starting\n", kills, beforeServing);
}

} // namespace
