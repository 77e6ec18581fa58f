// Start-up, shutdown and the saving of the data model file.
#include "plugin_fixture.hpp"

namespace {

using pbtest::json;
using pbtest::Names;

const char *const kSavedFile = "/cfg/system/phonebook.odl";
const char *const kMarker = "/var/lib/phonebook/restore";
const char *const kLegacyFile = "/etc/config/tessel.usr";

class Lifecycle : public pbtest::PluginTest {
  protected:
    void add(const std::string &name) {
        addEntry({{"FormattedName", name}, {"UniqueID", "id-" + name}});
    }
    // Leaves a saved file holding the entry "Old" and the host stopped.
    void saveOld() {
        start();
        add("Old");
        host.advance(5000);
        host.stop();
        host.clearRecords();
    }
};

TEST_F(Lifecycle, WithoutMarkerOrSavedFileStartsEmpty) {
    start();
    EXPECT_FALSE(host.traced("Loading settings from tessel"));
    EXPECT_TRUE(allContacts().empty());
    auto warning = pbtest::linesWithMessage(host, "Load of /cfg/system/phonebook.odl failed");
    ASSERT_EQ(warning.size(), 1u);
    EXPECT_EQ(warning[0].level, 200);
    EXPECT_EQ(warning[0].zone, "");
    EXPECT_EQ(pbtest::linesWithMessage(host, "loading datamodel").at(0).zone, "phonebook");
}

TEST_F(Lifecycle, SavedEntriesComeBackAsStored) {
    start();
    std::string ann = addEntry({{"FormattedName", "Ann"}});
    ASSERT_FALSE(host.add(ann + ".TelephoneNumber", {{"Number", "0123"}}).empty());
    ASSERT_TRUE(host.set(ann, {{"LastRevision", "2020-01-02T03:04:05Z"}}));
    add("Bob");
    host.advance(5000);
    json before = allContacts();
    restart();
    EXPECT_TRUE(host.traced("loaded datamodel"));
    EXPECT_EQ(allContacts(), before);
    EXPECT_EQ(before[0]["lastRevision"], "2020-01-02T03:04:05Z");
}

TEST_F(Lifecycle, MarkerAndSuccessfulImportReplaceTheSavedFile) {
    saveOld();
    host.writeFile(kMarker, "");
    // A record skipped as a copy of another does not fail the restore.
    const std::string record = "[phonebook.entry]\nFormattedName = \"Imported\"\n"
                               "LastRevision = \"2019-05-06T07:08:09Z\"\n";
    host.writeFile(kLegacyFile, "[phonebook]\n" + record + record);
    start();
    EXPECT_TRUE(host.traced("Loading settings from tessel"));
    EXPECT_FALSE(host.traced("loading datamodel"));
    EXPECT_FALSE(host.exists(kMarker));
    EXPECT_EQ(formattedNames(), Names{"Imported"});
    EXPECT_EQ(allContacts()[0]["lastRevision"], "2019-05-06T07:08:09Z");
    EXPECT_EQ(saves(), 1u); // at once, before any timer ran
    std::string saved = host.readFile(kSavedFile);
    EXPECT_NE(saved.find("Imported"), std::string::npos);
    EXPECT_EQ(saved.find("Old"), std::string::npos);
}

// A legacy file that cannot be loaded must not cost the saved phonebook.
TEST_F(Lifecycle, FailedImportKeepsTheMarkerAndTheSavedPhonebook) {
    saveOld();
    start();
    ASSERT_FALSE(host.add("Phonebook.Entry.1.TelephoneNumber", {{"Number", "0123"}}).empty());
    ASSERT_TRUE(host.set("Phonebook.Entry.1", {{"LastRevision", "2001-01-01T00:00:00Z"}}));
    host.advance(5000);
    json saved = allContacts();
    std::string savedFile = host.readFile(kSavedFile);
    host.stop();
    host.writeFile(kMarker, "");
    for (const char *legacy : {"", "[phonebook]\n[phonebook.entry]\nName = broken\n"}) {
        host.clearRecords();
        if (*legacy != '\0')
            host.writeFile(kLegacyFile, legacy);
        start();
        EXPECT_TRUE(host.traced("Loading settings from tessel"));
        EXPECT_EQ(pbtest::linesWithMessage(host, "Import from tessel failed").at(0).level, 100);
        EXPECT_TRUE(host.exists(kMarker));
        EXPECT_EQ(allContacts(), saved);
        host.advance(60000);
        host.stop();
        EXPECT_EQ(host.readFile(kSavedFile), savedFile);
    }
}

TEST_F(Lifecycle, MissingPhonebookEndsTheProcess) {
    json def = pbtest::definition();
    def["plugin"] = PHONEBOOK_PLUGIN;
    def["objects"][0]["name"] = "Directory";
    std::string path = pbtest::writeDefinition(host, def);
    EXPECT_EXIT(host.start(path), ::testing::ExitedWithCode(1), "");
}

TEST_F(Lifecycle, StopSavesOnlyWhatIsPending) {
    start();
    add("Ann");
    host.advance(5000);
    std::string saved = host.readFile(kSavedFile);
    restart(); // nothing pending: the teardown is not saved
    EXPECT_EQ(host.readFile(kSavedFile), saved);

    add("Bob");
    host.advance(2000);
    host.stop(); // Bob waits for the timer: saved now
    host.advance(60000);
    EXPECT_EQ(saves(), 2u);
    start();
    EXPECT_EQ(formattedNames(), (Names{"Ann", "Bob"}));
}

TEST_F(Lifecycle, BurstOfChangesGivesOneSaveAfterTheLast) {
    start();
    for (int i = 0; i < 10; i++) {
        add(std::to_string(i));
        host.advance(100);
    }
    host.advance(4899);
    EXPECT_EQ(saves(), 0u);
    host.advance(1);
    EXPECT_EQ(saves(), 1u);
    host.advance(60000);
    EXPECT_EQ(saves(), 1u);
}

TEST_F(Lifecycle, FailedSaveWaitsForTheNextChange) {
    std::filesystem::create_directories(host.path(kSavedFile)); // cannot be replaced
    start();
    const std::string failed = "Save of phonebook to /cfg/system/phonebook.odl failed";
    add("Ann");
    host.advance(65000);
    EXPECT_EQ(pbtest::linesWithMessage(host, failed).size(), 1u);
    add("Bob");
    host.advance(5000);
    EXPECT_EQ(pbtest::linesWithMessage(host, failed).size(), 2u);
}

} // namespace
