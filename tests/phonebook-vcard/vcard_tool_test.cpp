// phonebook-vcard against zebd serving the phonebook.
#include <gtest/gtest.h>

#include "bus_test_support.hpp"

#include <unistd.h>

#include <filesystem>
#include <set>

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

    bustest::PhonebookDaemon daemon;
    std::unique_ptr<bustest::Client> client;
};

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

// --keep-numbers stores numbers as written; one that cannot be read is told.
TEST_F(VcardTool, NumbersAreKeptAsWrittenOnRequest) {
    RunResult kept = tool({"import", "--keep-numbers", kFixtures + "/phone-2.1.vcf"});
    EXPECT_EQ(summaryOf(kept), summary(2, 0, 1, {{"dropped_numbers", 1}}));
    EXPECT_NE(kept.err.find("\nphonebook-vcard: could not read 1 telephone numbers, e-mail or "
                            "postal addresses: TEL 1\n"),
              std::string::npos)
        << kept.err;
    EXPECT_EQ(contacts()[1]["telephoneNumbers"][0]["name"], "0179 / 100 00 99");
}

TEST_F(VcardTool, UpdateModifiesKnownContactsAndLeavesEqualOnesAlone) {
    ASSERT_EQ(tool({"import", kFixtures + "/ios-3.0.vcf"}).status, 0);
    ASSERT_EQ(tool({"import", kFixtures + "/phone-2.1.vcf"}).status, 0);
    std::string exported = daemon.dir.file("export.vcf");
    ASSERT_EQ(tool({"export", exported}).status, 0);
    json before = client->call("Phonebook", "getAllContacts", json::object());
    ASSERT_EQ(before.size(), 4u);
    usleep(1100 * 1000); // revisions count seconds: now a modify would show in them

    // Both files again (the phone's cards have no UID: found by name): nothing changes.
    RunResult same = tool({"import", "--update", exported});
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(summaryOf(same), summary(0, 0, 0, {{"updated", 0}, {"unchanged", 4}}));
    RunResult again = tool({"import", kFixtures + "/phone-2.1.vcf", "--update"});
    json kept = {{"updated", 0}, {"unchanged", 2}, {"dropped_numbers", 1}, {"numbers_changed", 4}};
    EXPECT_EQ(summaryOf(again), summary(0, 0, 1, kept));
    EXPECT_EQ(client->call("Phonebook", "getAllContacts", json::object()), before);

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
}

// A page of 250 contacts with large photos would pass the bus limit.
TEST_F(VcardTool, ExportOfLargeContactsShrinksThePage) {
    const std::string photo = "data:image/jpeg;base64," + std::string(20000, 'A');
    for (int first = 0; first < 300; first += 100) {
        json batch = json::array();
        for (int i = first; i < first + 100; ++i)
            batch.push_back({{"uniqueID", "u" + std::to_string(i)},
                             {"formattedName", "Person " + std::to_string(i)},
                             {"photos", {{{"name", photo}}}}});
        ASSERT_EQ(client->call("Phonebook", "addContacts", {{"contacts", batch}}), true);
    }
    RunResult r = tool({"export", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> uids;
    size_t cards = 0;
    for (size_t at = r.out.find("\r\nUID:"); at != std::string::npos;
         at = r.out.find("\r\nUID:", at + 1)) {
        uids.insert(r.out.substr(at + 6, r.out.find("\r\n", at + 6) - at - 6));
        ++cards;
    }
    EXPECT_EQ(cards, 300u);
    EXPECT_EQ(uids.size(), 300u) << "each contact once";
}

TEST_F(VcardTool, ExitStatusesAndWhatFailuresLeave) {
    std::string card = daemon.dir.file("one.vcf");
    bustest::writeFile(card, "BEGIN:VCARD\nFN:Ann\nEND:VCARD\n");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {}, {"export", "-", "--version", "2.1"}, {"sync", card}, {"-x", "import", card}}) {
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
}

} // namespace
