// phonebook-vcard against zebd serving the phonebook.
#include <gtest/gtest.h>

#include "bus_test_support.hpp"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

namespace {

using bustest::json;
using bustest::RunResult;

const std::string kFixtures = VCARD_FIXTURES;

class VcardTool : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.start({"-v", "100"})) << daemon.log();
        client = std::make_unique<bustest::Client>(daemon.socket, 60000);
        ASSERT_TRUE(client->connected()) << client->message();
    }
    void TearDown() override {
        client.reset();
        EXPECT_EQ(daemon.stop(), 0) << daemon.log();
    }

    RunResult tool(std::vector<std::string> args) {
        args.insert(args.begin(), {PHONEBOOK_VCARD_PATH, "-s", daemon.socket});
        return bustest::run(args, 120000);
    }
    // The contacts without the phonebook's instance keys.
    json contacts() {
        json all = client->call("Phonebook", "getAllContacts", json::object()), empty;
        for (json &contact : all) {
            contact.erase("key");
            for (json &field : contact)
                for (json &element : field.is_array() ? field : empty)
                    element.erase("key");
        }
        return all;
    }
    json count() { return client->call("Phonebook", "getNumberOfContacts", json::object()); }
    void setLimit(int limit) {
        bustest::Var values(json{{"MaxNumberOfEntries", limit}});
        ASSERT_TRUE(zeb_bus_set(client->get(), "Phonebook", values.map())) << client->message();
    }

    // Contacts "u<n>" "Person <n>" with the fields `more` gives, `batch` a call.
    void addPeople(int total, int batch, const std::function<json(const std::string &)> &more) {
        for (int first = 0; first < total; first += batch) {
            json contacts = json::array();
            for (int i = first; i < first + batch; ++i) {
                std::string n = std::to_string(i);
                json contact = more(n);
                contact["uniqueID"] = "u" + n;
                contact["formattedName"] = "Person " + n;
                contacts.push_back(contact);
            }
            ASSERT_EQ(client->call("Phonebook", "addContacts", {{"contacts", contacts}}), true);
        }
    }

    bustest::PhonebookDaemon daemon;
    std::unique_ptr<bustest::Client> client;
};

// Every contact "u<i>" of `total` is in the export, once.
void expectEachOnce(const std::string &cards, int total) {
    std::map<std::string, int> seen;
    for (size_t at = cards.find("\r\nUID:"); at != std::string::npos;
         at = cards.find("\r\nUID:", at + 1))
        ++seen[cards.substr(at + 6, cards.find("\r\n", at + 6) - at - 6)];
    for (int i = 0; i < total; ++i)
        EXPECT_EQ(seen["u" + std::to_string(i)], 1) << i;
    EXPECT_EQ(seen.size(), static_cast<size_t>(total));
}

json summaryOf(const RunResult &r) {
    return json::parse(r.out, nullptr, false);
}

json summary(int added, int failed, int skipped, const json &more = json::object()) {
    json out = {{"added", added},       {"failed", failed},    {"skipped_properties", skipped},
                {"dropped_numbers", 0}, {"dropped_emails", 0}, {"dropped_addresses", 0},
                {"numbers_changed", 0}};
    out.update(more);
    return out;
}

TEST_F(VcardTool, RefusedCardsAreToldCountedAndLeaveTheRestAlone) {
    json ann = json::parse(R"({"uniqueID": "ann", "formattedName": "Ann",
        "telephoneNumbers": [{"name": "0611", "type": "cell", "preferred": true}]})");
    ASSERT_EQ(client->call("Phonebook", "addContact", {{"contact", ann}}), true);
    json annBefore = contacts();
    setLimit(6);
    std::string file = daemon.dir.file("refusals.vcf");
    bustest::writeFile(file, "BEGIN:VCARD\nFN:Ann\nTEL:0999\nEND:VCARD\n"  // 1
                             "BEGIN:VCARD\nUID:ann\nFN:Other\nEND:VCARD\n" // 5
                             "BEGIN:VCARD\nFN:Bob\nEND:VCARD\n"            // 9
                             "BEGIN:VCARD\nUID:bob2\nFN:Bob\nEND:VCARD\n"  // 12
                             "BEGIN:VCARD\nUID:x\nFN:X1\nEND:VCARD\n"      // 16
                             "BEGIN:VCARD\nUID:x\nFN:X2\nEND:VCARD\n"      // 20
                             "BEGIN:VCARD\nFN:Cid\nEND:VCARD\n"            // 24
                             "BEGIN:VCARD\nFN:Dan\nNOTE:n\nEND:VCARD\n"    // 27
                             "BEGIN:VCARD\nFN:Eve\nEND:VCARD\n"            // 31
                             "BEGIN:VCARD\nFN:Fay\nEND:VCARD\n"            // 34
                             "BEGIN:VCARD\nVERSION:9\nFN:Gus\nEND:VCARD\n" // 37
                             "BEGIN:VCARD\nFN:Hal\n");                     // 41
    RunResult r = tool({"import", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(summaryOf(r), summary(5, 7, 1));
    const struct {
        const char *name, *line, *reason;
    } refusals[] = {{"Ann", "1", "formattedName \"Ann\" is already in the phonebook"},
                    {"Other", "5", "uniqueID \"ann\" is already in the phonebook"},
                    {"Bob", "12", "formattedName \"Bob\" is already in the phonebook"},
                    {"X2", "20", "uniqueID \"x\" is already in the phonebook"},
                    {"Fay", "34", "the phonebook is full (MaxNumberOfEntries 6)"},
                    {"Gus", "37", "line 38: VERSION 9 is not 2.1, 3.0 or 4.0"},
                    {"Hal", "41", "line 41: the card has no END:VCARD before the end of the file"}};
    std::string told = "phonebook-vcard: left out 1 properties that no contact holds: NOTE 1\n";
    for (const auto &refused : refusals)
        told += "phonebook-vcard: refused \"" + std::string(refused.name) + "\" (" + file +
                ", card at line " + refused.line + "): " + refused.reason + "\n";
    EXPECT_EQ(r.err, told);

    json after = contacts();
    ASSERT_EQ(after.size(), 6u);
    EXPECT_EQ(after[0], annBefore[0]);
    json names = json::array();
    for (const json &contact : after)
        names.push_back(contact["formattedName"]);
    EXPECT_EQ(names, json({"Ann", "Bob", "X1", "Cid", "Dan", "Eve"}));
    EXPECT_EQ(after[1]["uniqueID"].get<std::string>().rfind("urn:uuid:", 0), 0u) << "not bob2";
    EXPECT_EQ(after[2]["uniqueID"], "x");
}

// The lookup compares stored texts, so numbers go in without blanks and punctuation.
TEST_F(VcardTool, ImportedNumbersAreFoundByTheDigitsOfACall) {
    RunResult r = tool({"import", kFixtures + "/phone-2.1.vcf"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(summaryOf(r), summary(2, 0, 1, {{"dropped_numbers", 1}, {"numbers_changed", 4}}));
    EXPECT_NE(r.err.find("\nphonebook-vcard: left out 1 properties that no contact holds: NOTE 1\n"
                         "phonebook-vcard: could not read 1 telephone numbers, e-mail or postal "
                         "addresses: TEL 1\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(
        contacts()[0]["telephoneNumbers"],
        json::parse(R"([{"name": "00491791000019", "type": "X-Mobil privat", "preferred": false},
                              {"name": "0049301234567", "type": "HOME", "preferred": false}])"));
    json found = client->call("Phonebook", "getContactByNumber", {{"number", "01791000099"}});
    EXPECT_EQ(found.value("formattedName", ""), "Renée Dupré");

    // --keep-numbers stores them as written, and the lookup then misses.
    EXPECT_EQ(client->call("Phonebook", "removeAllContacts", json::object()), true);
    RunResult kept = tool({"import", "--keep-numbers", kFixtures + "/phone-2.1.vcf"});
    EXPECT_EQ(summaryOf(kept), summary(2, 0, 1, {{"dropped_numbers", 1}}));
    EXPECT_EQ(contacts()[1]["telephoneNumbers"][0]["name"], "0179 / 100 00 99");
    json missed = client->call("Phonebook", "getContactByNumber", {{"number", "01791000099"}});
    EXPECT_TRUE(missed.is_null() || missed.empty()) << missed;
}

// Takes the notifications that come within `ms`: [name, uniqueID] of each.
json notifications(bustest::Client &listener, int ms) {
    json heard = json::array();
    zeb_bus_notification_t n;
    zeb_bus_notification_initialize(&n);
    while (zeb_bus_receiveNotification(listener.get(), ms, &n)) {
        bustest::Var parameters;
        variant_setMap(parameters.get(), &n.parameters);
        heard.push_back({n.name, parameters.toJson()["contact"]["uniqueID"]});
    }
    zeb_bus_notification_cleanup(&n);
    return heard;
}

TEST_F(VcardTool, UpdateModifiesKnownContactsAndLeavesEqualOnesAlone) {
    ASSERT_EQ(tool({"import", kFixtures + "/ios-3.0.vcf"}).status, 0);
    ASSERT_EQ(tool({"import", kFixtures + "/phone-2.1.vcf"}).status, 0);
    std::string exported = daemon.dir.file("export.vcf");
    ASSERT_EQ(tool({"export", exported}).status, 0);
    json before = client->call("Phonebook", "getAllContacts", json::object());
    ASSERT_EQ(before.size(), 4u);
    bustest::Client listener(daemon.socket);
    ASSERT_NE(zeb_bus_subscribe(listener.get(), "Phonebook"), 0u) << listener.message();
    // Revisions count seconds: after this wait a modify would show in them.
    notifications(listener, 1100);

    // Both files again (the phone's cards have no UID: found by name): nothing changes.
    RunResult same = tool({"import", "--update", exported});
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(summaryOf(same), summary(0, 0, 0, {{"updated", 0}, {"unchanged", 4}}));
    RunResult again = tool({"import", kFixtures + "/phone-2.1.vcf", "--update"});
    json kept = {{"updated", 0}, {"unchanged", 2}, {"dropped_numbers", 1}, {"numbers_changed", 4}};
    EXPECT_EQ(summaryOf(again), summary(0, 0, 1, kept));
    EXPECT_EQ(client->call("Phonebook", "getAllContacts", json::object()), before);
    EXPECT_EQ(notifications(listener, 600), json::array());

    // Items kept keep their key; fields and lists no longer there are emptied.
    std::string text = bustest::readFile(exported), uid = before[3]["uniqueID"];
    size_t begin = text.rfind("BEGIN:VCARD", text.find("FN:Renée Dupré"));
    text.replace(begin, text.find("END:VCARD", begin) - begin,
                 "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Renée Dupré\r\nUID:" + uid +
                     "\r\nTITLE:Dr\r\nTEL;TYPE=CELL:0179 100 00 99\r\nTEL:0611\r\n");
    text += "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:New\r\nEND:VCARD\r\n";
    bustest::writeFile(exported, text);
    RunResult changed = tool({"import", "--update", exported});
    EXPECT_EQ(changed.status, 0) << changed.err;
    EXPECT_EQ(summaryOf(changed),
              summary(1, 0, 0, {{"updated", 1}, {"unchanged", 3}, {"numbers_changed", 1}}));
    json after = client->call("Phonebook", "getAllContacts", json::object());
    ASSERT_EQ(after.size(), 5u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(after[i], before[i]) << i;
    json &numbers = after[3]["telephoneNumbers"];
    EXPECT_EQ(json({after[3]["title"], after[3]["emails"], numbers[0]["key"], numbers[1]["name"],
                    after[4]["formattedName"]}),
              json({"Dr", json::array(), before[3]["telephoneNumbers"][0]["key"], "0611", "New"}));
    EXPECT_NE(after[3]["lastRevision"], before[3]["lastRevision"]);
    json heard = notifications(listener, 600);
    EXPECT_NE(std::find(heard.begin(), heard.end(), json({"contactUpdated", uid})), heard.end())
        << heard;
}

// More than one reply of getAllContacts holds (about 15 000); 50 000 are too slow.
constexpr int kManyContacts = 20000;

class LargeVcardTool : public VcardTool {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(VcardTool::SetUp());
        setLimit(kManyContacts + 10);
        ASSERT_NO_FATAL_FAILURE(addPeople(kManyContacts, 500, [](const std::string &n) {
            return json{{"telephoneNumbers", {{{"name", "0612" + n}, {"type", "cell"}}}},
                        {"emails", {{{"name", "p" + n + "@example.com"}}}}};
        }));
        ASSERT_EQ(count(), kManyContacts);
        ASSERT_TRUE(client->call("Phonebook", "getAllContacts", json::object()).is_null())
            << "one reply would hold them all";
    }
    // Saving this many as zebd stops takes over 20 s under the sanitizers.
    void TearDown() override {
        client.reset();
        EXPECT_EQ(daemon.stop(SIGTERM, 120000), 0) << daemon.log();
    }
};

// The update read every contact in one reply, which failed.
TEST_F(LargeVcardTool, MoreThanOneMessageHoldsIsExportedAndUpdatedPageByPage) {
    std::string all = daemon.dir.file("all.vcf");
    RunResult exported = tool({"export", all});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(summaryOf(exported), json({{"exported", kManyContacts}}));
    expectEachOnce(bustest::readFile(all), kManyContacts);

    auto card = [](const std::string &lines) {
        return "BEGIN:VCARD\r\nVERSION:3.0\r\n" + lines + "END:VCARD\r\n";
    };
    // "Person 0" sorts first, "Person 9999" last; the second card is found by name.
    std::string file = daemon.dir.file("update.vcf");
    bustest::writeFile(file, card("UID:u0\r\nFN:Person 0\r\nTITLE:Dr\r\n") +
                                 card("FN:Person 9999\r\nTITLE:Mr\r\n") + card("FN:Newcomer\r\n"));
    RunResult r = tool({"import", "--update", file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(summaryOf(r), summary(1, 0, 0, {{"updated", 2}, {"unchanged", 0}}));
    EXPECT_EQ(count(), kManyContacts + 1);
    json first = client->call("Phonebook", "getContactByUniqueID", {{"uniqueID", "u0"}});
    json last = client->call("Phonebook", "getContactByUniqueID", {{"uniqueID", "u9999"}});
    EXPECT_EQ(json({first.value("title", ""), last.value("title", ""),
                    last.value("formattedName", ""), last["telephoneNumbers"]}),
              json({"Dr", "Mr", "Person 9999", json::array()}));
}

// A page of 250 contacts with large photos would pass the bus limit.
TEST_F(VcardTool, ExportOfLargeContactsShrinksThePage) {
    constexpr int kContacts = 300;
    const std::string photo = "data:image/jpeg;base64," + std::string(20000, 'A');
    addPeople(kContacts, 100, [&](const std::string &n) {
        return json{{"photos", {{{"name", photo + n}}}}};
    });
    RunResult r = tool({"export", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    expectEachOnce(r.out, kContacts);
}

TEST_F(VcardTool, ExitStatusesAndWhatFailuresLeave) {
    std::string card = daemon.dir.file("one.vcf");
    bustest::writeFile(card, "BEGIN:VCARD\nFN:Ann\nEND:VCARD\n");
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{},
                                               {"import"},
                                               {"import", card, card},
                                               {"export"},
                                               {"export", "-", "--version", "2.1"},
                                               {"sync", card},
                                               {"-x", "import", card}}) {
        RunResult r = tool(args);
        EXPECT_EQ(std::pair(r.status, r.out), std::pair(2, std::string())) << r.err;
        EXPECT_NE(r.err.find("usage: phonebook-vcard"), std::string::npos);
    }

    // No daemon: nothing is read from it or written for it.
    std::string nowhere = daemon.dir.file("nobody.sock"), target = daemon.dir.file("never.vcf");
    RunResult noDaemon = bustest::run({PHONEBOOK_VCARD_PATH, "-s", nowhere, "import", card});
    EXPECT_EQ(std::pair(noDaemon.status, noDaemon.out), std::pair(3, std::string()));
    EXPECT_EQ(noDaemon.err.rfind("phonebook-vcard: cannot reach the daemon: ", 0), 0u);
    EXPECT_NE(noDaemon.err.find(nowhere), std::string::npos) << noDaemon.err;
    EXPECT_EQ(bustest::run({PHONEBOOK_VCARD_PATH, "-s", nowhere, "export", target}).status, 3);
    EXPECT_FALSE(std::filesystem::exists(target));

    RunResult missing = tool({"import", daemon.dir.file("missing.vcf")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
    std::string csv = daemon.dir.file("contacts.csv");
    bustest::writeFile(csv, "BEGIN:VCARD\nFN:Ann\nEND:VCARD\nname,number\n");
    RunResult notVcard = tool({"import", csv});
    EXPECT_EQ(std::pair(notVcard.status, notVcard.out), std::pair(1, std::string()));
    EXPECT_EQ(notVcard.err, "phonebook-vcard: " + csv +
                                ": line 4: expected BEGIN:VCARD, found \"name,number\"; nothing "
                                "imported\n");
    EXPECT_EQ(count(), 0);

    RunResult piped = bustest::run(
        {"/bin/sh", "-c",
         zebtest::targetShellCommand({PHONEBOOK_VCARD_PATH, "-s", daemon.socket, "import", "-"}) +
             " < " + card});
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(summaryOf(piped), summary(1, 0, 0));
    bustest::writeFile(daemon.dir.file("empty.vcf"), "");
    EXPECT_EQ(summaryOf(tool({"import", daemon.dir.file("empty.vcf")})), summary(0, 0, 0));

    // A failed export leaves what was there and no temporary file beside it.
    std::string taken = daemon.dir.file("taken");
    std::filesystem::create_directory(taken);
    RunResult blocked = tool({"export", taken});
    EXPECT_EQ(blocked.status, 1);
    EXPECT_NE(blocked.err.find("cannot write " + taken), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(taken));
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(daemon.dir.path))
        files += entry.path().filename().string().rfind("taken.", 0) == 0 ? 1 : 0;
    EXPECT_EQ(files, 0u);
    EXPECT_EQ(tool({"export", daemon.dir.file("no/such/dir.vcf")}).status, 1);
}

} // namespace
