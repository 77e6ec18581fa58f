// The functions import and export with the real legacy store.
#include <algorithm>
#include <fcntl.h>
#include <map>
#include <unistd.h>

#include "phonebook_test_support.hpp"
#include "tessel/tessel.h"
#include "tessel_testing.h"

namespace {

using pbtest::json;

const char *const kLegacyFile = "/etc/config/tessel.usr";
const std::string kSample = pbtest::fileText(TESSEL_SAMPLE_FILE);

class Legacy : public pbtest::PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        start();
    }
    void TearDown() override {
        tessel_setFileOps(nullptr);
        PluginTest::TearDown();
    }
    size_t errorsWith(const std::string &message) {
        auto lines = pbtest::linesWithMessage(host, message);
        return std::count_if(lines.begin(), lines.end(), [](auto &l) { return l.level == 100; });
    }
};

TEST_F(Legacy, SampleFileGivesItsContactsOnceAndBesideTheEntriesThereAre) {
    host.writeFile(kLegacyFile, kSample);
    EXPECT_EQ(call("import"), true);
    json contacts = allContacts();
    ASSERT_EQ(contacts.size(), 5u);
    const json &amelie = contacts[0];
    EXPECT_EQ(amelie["formattedName"], "Amélie Dupont");
    EXPECT_EQ(amelie["uniqueID"], "urn:uuid:5f0c8a3e-1b2d-4c6e-9f10-2a3b4c5d6e01");
    EXPECT_EQ(amelie["lastRevision"], "2021-03-14T09:26:53Z"); // not the time of the import
    EXPECT_EQ(amelie["birthDay"], "1984-07-14T00:00:00Z");
    EXPECT_EQ(amelie["addresses"],
              json::parse(R"([{"key": "1", "name": "12 rue des Lilas\n75011 Paris",
        "type": "HOME", "preferred": true}])"));
    json numbers = json::array();
    for (const json &number : amelie["telephoneNumbers"])
        numbers.push_back({number["name"], number["type"], number["preferred"]});
    EXPECT_EQ(numbers, json::parse(R"([["0612345678", "CELL", true], ["0143215678", "HOME", false],
        ["0033987654321", "WORK", false]])"));
    EXPECT_EQ(contacts[1]["labels"][0]["name"],
              "Straße des 17. Juni 135\n10623 Berlin\nDeutschland");
    EXPECT_EQ(contacts[1]["url"], "https://example.de/~mueller");
    EXPECT_EQ(contacts[4]["name"], "O'Brien;Seán \"Shay\"");

    // Importing a file twice made a nameless copy of every contact: now skipped with a warning.
    host.clearRecords();
    EXPECT_EQ(host.callPositional("Phonebook", "import", {""}).value(), true);
    EXPECT_EQ(allContacts(), contacts);
    auto skipped = pbtest::linesWithMessage(host, "Skipping legacy record ", true);
    ASSERT_EQ(skipped.size(), 5u);
    EXPECT_NE(skipped[0].line.find("record 0 (FormattedName=Amélie Dupont"), std::string::npos);
    EXPECT_EQ(skipped[0].level, 200);

    // Within one file too; "" is the default file; the entry limit does not apply.
    ASSERT_TRUE(host.set("Phonebook", {{"MaxNumberOfEntries", 1}}));
    host.writeFile(kLegacyFile, "[phonebook]\n[phonebook.entry]\nFormattedName = \"X\"\n"
                                "[phonebook.entry]\nFormattedName = \"Y\"\nUniqueID = \"u\"\n"
                                "[phonebook.entry]\nFormattedName = \"Z\"\nUniqueID = \"u\"\n");
    EXPECT_EQ(call("import", {{"fileName", ""}}), true);
    EXPECT_EQ(call("getNumberOfContacts"), 7);
    EXPECT_EQ(call("getContactByUniqueID", {{"uniqueID", "u"}})["formattedName"], "Y");
    EXPECT_EQ(call("getContact", {{"formattedName", "Z"}}), json::object());
    EXPECT_EQ(allContacts()[0], amelie);
}

// Never a half written or replaced file, never an empty phonebook; the store released each time.
TEST_F(Legacy, FailuresLeaveTheFileAndThePhonebookAlone) {
    addEntry({{"FormattedName", "Ann"}});
    EXPECT_EQ(call("export", {{"fileName", "/etc/config/new.usr"}}), true); // created
    EXPECT_NE(host.readFile("/etc/config/new.usr").find("Ann"), std::string::npos);
    addEntry({{"FormattedName", "Bob"}});
    const json contacts = allContacts();
    std::filesystem::create_directories(host.path("/etc/config/dir.usr"));
    host.writeFile("/etc/config/bad.usr", "[phonebook]\n[phonebook.entry]\nTitle = Dr\n");
    auto openFile = [](const char *p, int f, mode_t m) { return open(p, f, m); };
    auto renameEIO = [](const char *, const char *) { return errno = EIO, -1; };
    const tessel_file_ops_t renameFails = {openFile, read, write, fsync, close, renameEIO, unlink};
    auto bytesOf = [&](const char *file) {
        return std::filesystem::is_regular_file(host.path(file))
                   ? host.readFile(file)
                   : std::to_string(host.exists(file));
    };
    const char *const invalid = "the file is not a valid legacy configuration";
    const std::tuple<const char *, const char *, const char *, const tessel_file_ops_t *> cases[] =
        {{"import", "/etc/config/none.usr", "no such file", nullptr},
         {"import", "/etc/config/dir.usr", "the file cannot be read", nullptr},
         {"import", "/etc/config/bad.usr", invalid, nullptr},
         {"export", "/etc/config/dir.usr", nullptr, nullptr},
         {"export", "/etc/config/bad.usr", invalid, nullptr},
         {"export", "/etc/config/new.usr", nullptr, &renameFails}};
    for (const auto &[function, file, why, ops] : cases) {
        SCOPED_TRACE(std::string(function) + " " + file);
        const std::string before = bytesOf(file);
        host.clearRecords();
        tessel_setFileOps(ops);
        EXPECT_EQ(call(function, {{"fileName", file}}), false);
        tessel_setFileOps(nullptr);
        if (why != nullptr) {
            EXPECT_EQ(errorsWith(std::string("Unable to load tessel file ") + file + ": " + why),
                      1u);
        }
        if (ops != nullptr) {
            EXPECT_EQ(firstLine("Unable to export tessel").level, 200);
        }
        EXPECT_EQ(bytesOf(file), before);
        EXPECT_EQ(allContacts(), contacts);
    }
    call("import", {{"fileName", "/etc/config/bad.usr"}});
    EXPECT_TRUE(
        host.traced(host.path("/etc/config/bad.usr") + ":3: the value of Title must be quoted"));
    host.writeFile(kLegacyFile, "[phonebook]\n");
    EXPECT_EQ(call("import"), true);
    EXPECT_EQ(call("export", {{"fileName", "/etc/config/new.usr"}}), true);
}

TEST_F(Legacy, MissingAndMalformedFieldsOfARecord) {
    host.writeFile(kLegacyFile,
                   "[phonebook]\n[phonebook.entry]\nFormattedName = \"Bare\"\n"
                   "UniqueID = \"\"\n[phonebook.entry.telephone]\nTelephoneNumber = \"1\"\n"
                   "[phonebook.entry]\nLastRevision = \"2020-02-30T00:00:00\"\n"
                   "BirthDay = \"\"\n");
    std::string before = pbtest::localNow();
    EXPECT_EQ(call("import"), true);
    std::string after = pbtest::localNow();
    json contacts = allContacts();
    ASSERT_EQ(contacts.size(), 2u);
    EXPECT_EQ(contacts[0]["uniqueID"].get<std::string>().rfind("urn:uuid:", 0), 0u);
    EXPECT_EQ(contacts[0]["telephoneNumbers"][0]["type"], "");
    EXPECT_EQ(contacts[0]["telephoneNumbers"][0]["preferred"], false);
    for (const json &contact : contacts)
        for (const char *date : {"lastRevision", "birthDay"}) {
            EXPECT_GE(contact[date].get<std::string>(), before);
            EXPECT_LE(contact[date].get<std::string>(), after);
        }
    auto warnings = pbtest::linesWithMessage(
        host, "Cannot extract the time from the string, using the current time as reference");
    EXPECT_EQ(warnings.size(), 4u);
    EXPECT_EQ(warnings.at(0).level, 200);
}

// Everything but photos and instance keys, also texts in the file's own syntax.
TEST_F(Legacy, ExportThenImportGivesTheContactsBackAndLeavesTheRestOfTheFile) {
    json contacts = json::parse(R"([
      {"uniqueID": "u1", "formattedName": "Zoë \"Z\" Ñandú", "name": "Ñandú;Zoë",
       "lastRevision": "2010-10-10T10:10:10Z", "birthDay": "1999-12-31T23:59:59Z",
       "title": "Mme", "organisation": "A & B", "url": "http://x/?a=1#b", "ringtone": "r.wav",
       "tags": "a\\b\tc",
       "addresses": [{"name": "1 rue\n[phonebook]\nName = \"x\"", "type": "HOME", "preferred": true}],
       "labels": [{"name": "label", "type": "", "preferred": false}],
       "telephoneNumbers": [{"name": "111", "type": "HOME", "preferred": false},
                            {"name": "222", "type": "WORK", "preferred": true}],
       "emails": [{"name": "z@x", "type": "", "preferred": true}],
       "photos": [{"name": "file:///photo.jpg", "type": "JPEG", "preferred": true}]},
      {"uniqueID": "u2", "formattedName": "Plain", "lastRevision": "2011-01-01T00:00:00Z"}])");
    for (const json &contact : contacts)
        ASSERT_EQ(call("addContact", {{"contact", contact}}), true);
    auto comparable = [](json book) {
        for (json &contact : book) {
            contact.erase("key");
            contact["photos"] = json::array();
            for (const char *list : {"addresses", "labels", "telephoneNumbers", "emails"})
                for (json &item : contact[list])
                    item.erase("key");
        }
        return book;
    };
    json before = allContacts();
    ASSERT_EQ(before[0]["photos"].size(), 1u);
    const std::string head = "# gateway \xe9t\xe9\n[system]\nhostname=gw\n  # kept\n\n";
    const std::string tail = "[wifi]\nssid = \"x\\ty\"\npin = 0000";
    host.writeFile(kLegacyFile,
                   head + "[phonebook]\n[phonebook.entry]\nFormattedName = \"Gone\"\n\n" + tail);
    EXPECT_EQ(call("export"), true);
    EXPECT_TRUE(host.traced("Phonebook entries found, starting export"));
    std::string file = host.readFile(kLegacyFile);
    EXPECT_EQ(file.substr(0, head.size()), head);
    EXPECT_EQ(file.substr(file.size() - tail.size()), tail);
    EXPECT_EQ(file.find("Gone"), std::string::npos);
    EXPECT_EQ(file.find("photo.jpg"), std::string::npos);
    EXPECT_NE(file.find("TelephoneNumber = \"222\""), std::string::npos);
    EXPECT_EQ(file.find("[phonebook.entry.telephone]", file.find("Plain")), std::string::npos);

    ASSERT_EQ(call("removeAllContacts"), true);
    EXPECT_EQ(call("import"), true);
    EXPECT_EQ(comparable(allContacts()), comparable(before));
    ASSERT_EQ(call("removeAllContacts"), true);
    EXPECT_EQ(call("export"), true);
    EXPECT_TRUE(host.traced("No entries found, no export necessary."));
    EXPECT_EQ(host.readFile(kLegacyFile), head + "[phonebook]\n\n" + tail);
}

std::map<std::string, std::string> filesOutside(const std::filesystem::path &top,
                                                const std::filesystem::path &skip) {
    std::map<std::string, std::string> files;
    for (auto it = std::filesystem::recursive_directory_iterator(top);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        if (it->path() == skip)
            it.disable_recursion_pending();
        else
            files[it->path().string()] =
                it->is_regular_file() ? pbtest::fileText(it->path().c_str()) : "";
    }
    return files;
}

// `/../../escaped.usr` was written above the system root, and a number, a date or a relative
// path named a file beside the daemon. Resolved, links included; only absolute paths taken.
TEST_F(Legacy, FileNamesOutsideTheSystemRootAreRefused) {
    addEntry({{"FormattedName", "Ann"}});
    const json contacts = allContacts();
    // The root three levels down: every escape stays in the test's directory.
    const std::filesystem::path top = host.sysroot(), root = top / "a/b/root";
    const std::filesystem::path config = root / "etc/config", beside = top / "a/beside";
    std::filesystem::create_directories(config);
    std::filesystem::create_directories(root / "cfg/system");
    std::filesystem::create_directories(beside);
    std::ofstream(top / "a/outside.usr") << kSample;
    std::ofstream(beside / "7") << kSample;
    std::filesystem::create_directory_symlink(top / "a", config / "out");
    std::filesystem::create_symlink(top / "a/outside.usr", config / "link.usr");
    std::filesystem::create_symlink("ok.usr", config / "inside.usr");
    setenv("ZEB_SYSROOT", root.c_str(), 1);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(beside);
    const auto before = filesOutside(top, root);

    json outside = json::array({7, true, 1.5, json::array({"/etc/config/x.usr"}), json::object()});
    for (const char *name :
         {"/..", "/../x.usr", "/../../x.usr", "/../../../x.usr", "/etc/../../x.usr",
          "/etc/config/../../../x.usr", "/etc/config/../../../../x.usr", "/etc/config/out/x.usr",
          "/etc/config/out/outside.usr", "/etc/config/link.usr", "../x.usr", "etc/../../x.usr",
          "relative.usr", "etc/config/tessel.usr"})
        outside.push_back(name);
    const json inside = {"/etc/config/../config/./ok.usr", "/../root/etc/config/ok.usr",
                         "/etc/config/inside.usr"};
    for (bool in : {false, true})
        for (const json &name : in ? inside : outside) {
            host.clearRecords();
            EXPECT_EQ(call("export", {{"fileName", name}}), in) << name;
            EXPECT_EQ(call("import", {{"fileName", name}}), in) << name;
            EXPECT_EQ(host.callPositional("Phonebook", "export", json::array({name})).value(), in);
            if (!in && name.is_string() && name.get<std::string>()[0] == '/') {
                EXPECT_EQ(host.countTraced("fileName " + name.get<std::string>() + " "), 3u)
                    << name;
            }
        }
    std::filesystem::current_path(previous);
    EXPECT_EQ(filesOutside(top, root), before) << "nothing read or written outside the root";
    EXPECT_EQ(allContacts(), contacts) << "nothing imported from outside";
    EXPECT_TRUE(std::filesystem::exists(config / "ok.usr"));
    EXPECT_TRUE(std::filesystem::is_symlink(config / "inside.usr"));
    EXPECT_FALSE(std::filesystem::exists(config / "tessel.usr"));
    for (const json &none : {json(nullptr), json("")})
        EXPECT_EQ(call("export", {{"fileName", none}}), true) << none;
    EXPECT_NE(pbtest::fileText((config / "tessel.usr").c_str()).find("Ann"), std::string::npos);
    setenv("ZEB_SYSROOT", host.sysroot().c_str(), 1);
}

} // namespace
