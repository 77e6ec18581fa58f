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

// Each contact's title, by its uniqueID: what the file and getAllContacts both give.
using Book = std::map<std::string, std::string>;

Book fromContacts(const json &contacts) {
    Book book;
    for (const json &c : contacts)
        book[c.at("uniqueID")] = c.at("title");
    return book;
}

// The phonebook a saved file holds; throws when it is not a whole one.
Book fromSavedFile(const std::string &text) {
    json document = json::parse(text);
    Book book;
    for (const json &entry : document.at("objects").at("Entry").at("instances"))
        book[entry.at("parameters").at("UniqueID")] = entry.at("parameters").at("Title");
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
    std::pair<std::string, json> choose(Book &book) {
        int pick = std::uniform_int_distribution<int>(0, 9)(random_);
        std::string title = "call " + std::to_string(states.size());
        json changes = {{"title", title}};
        if (book.empty() || (pick < 4 && book.size() < kMostContactsPerWriter)) {
            std::string id = prefix_ + round_ + std::to_string(created_++);
            book[id] = title;
            changes["uniqueID"] = id;
            changes["formattedName"] = "Contact " + id;
            return {"addContact", {{"contact", changes}}};
        }
        auto it = std::next(book.begin(),
                            std::uniform_int_distribution<size_t>(0, book.size() - 1)(random_));
        std::string id = it->first;
        if (pick < 8) {
            it->second = title;
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
        setenv("PHONEBOOK_SAVE_DELAY_MS", "0", 1);
        setenv("phonebook", "400", 1); // the notice of each save completed
    }
    void TearDown() override {
        unsetenv("PHONEBOOK_SAVE_DELAY_MS");
        unsetenv("phonebook");
        DaemonTest::TearDown();
    }

    void startAndCheck(const Book &expected) {
        ASSERT_TRUE(daemon.start()) << daemon.log();
        Client reader(daemon.socket);
        json all = reader.call("Phonebook", "getAllContacts", json::object());
        ASSERT_TRUE(all.is_array()) << reader.message();
        ASSERT_EQ(fromContacts(all), expected) << "the daemon did not load the saved phonebook";
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

    for (int round = 0; round < kills; ++round) {
        SCOPED_TRACE("kill " + std::to_string(round) + " of seed " + std::to_string(seed));
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
}

} // namespace
