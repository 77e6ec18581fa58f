// The functions import and export with the real legacy store.
#include <fcntl.h>
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
};

// Never a half written or replaced file, never an empty phonebook; the store released each time.
TEST_F(Legacy, FailuresLeaveTheFileAndThePhonebookAlone) {
    addEntry({{"FormattedName", "Ann"}});
    EXPECT_EQ(call("export", {{"fileName", "/etc/config/new.usr"}}), true); // created
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
            EXPECT_EQ(
                firstLine(std::string("Unable to load tessel file ") + file + ": " + why).level,
                100);
        }
        if (ops != nullptr) {
            EXPECT_EQ(firstLine("Unable to export tessel").level, 200);
        }
        EXPECT_EQ(bytesOf(file), before);
        EXPECT_EQ(allContacts(), contacts);
    }
    host.writeFile(kLegacyFile, "[phonebook]\n");
    EXPECT_EQ(call("import"), true);
    EXPECT_EQ(call("export", {{"fileName", "/etc/config/new.usr"}}), true);
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
    // Importing a file twice made a nameless copy of every contact: now skipped with a warning.
    const json imported = allContacts();
    host.clearRecords();
    EXPECT_EQ(call("import"), true);
    EXPECT_EQ(allContacts(), imported);
    EXPECT_EQ(pbtest::linesWithMessage(host, "Skipping legacy record ", true).size(), 2u);
    ASSERT_EQ(call("removeAllContacts"), true);
    EXPECT_EQ(call("export"), true);
    EXPECT_TRUE(host.traced("No entries found, no export necessary."));
    EXPECT_EQ(host.readFile(kLegacyFile), head + "[phonebook]\n\n" + tail);

    // A date that does not parse, and one missing, give the time of the import.
    host.writeFile(kLegacyFile, "[phonebook]\n[phonebook.entry]\nLastRevision = \"2020-02-30\"\n");
    const std::string now = pbtest::localNow();
    host.clearRecords();
    EXPECT_EQ(call("import"), true);
    EXPECT_GE(allContacts().at(0)["lastRevision"].get<std::string>(), now);
    const std::string warning =
        "Cannot extract the time from the string, using the current time as reference";
    EXPECT_EQ(pbtest::linesWithMessage(host, warning).size(), 2u);
    EXPECT_EQ(firstLine(warning).level, 200);
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

    json outside = json::array({7, true, 1.5, json::array({"/etc/config/x.usr"}), json::object()});
    for (const char *name : {"/..", "/../../../x.usr", "/etc/config/../../../../x.usr",
                             "/etc/config/out/x.usr", "/etc/config/out/outside.usr",
                             "/etc/config/link.usr", "../x.usr", "etc/config/tessel.usr"})
        outside.push_back(name);
    const json inside = {"/etc/config/../config/./ok.usr", "/../root/etc/config/ok.usr",
                         "/etc/config/inside.usr"};
    for (bool in : {false, true})
        for (const json &name : in ? inside : outside) {
            EXPECT_EQ(call("export", {{"fileName", name}}), in) << name;
            EXPECT_EQ(call("import", {{"fileName", name}}), in) << name;
        }
    std::filesystem::current_path(previous);
    for (const char *escaped : {"x.usr", "a/x.usr", "a/b/x.usr"})
        EXPECT_FALSE(std::filesystem::exists(top / escaped)) << escaped;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(beside), {}), 1);
    EXPECT_EQ(pbtest::fileText((top / "a/outside.usr").c_str()), kSample);
    EXPECT_EQ(pbtest::fileText((beside / "7").c_str()), kSample);
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
