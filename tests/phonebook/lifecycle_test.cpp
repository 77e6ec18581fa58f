// Start-up, shutdown and saving.
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "phonebook_test_support.hpp"
#include "zeb_dm_testing.h"

namespace {

using pbtest::json;

const std::string kSaved = "/cfg/system/phonebook.odl";
const char *const kMarker = "/var/lib/phonebook/restore";
const char *const kLegacyFile = "/etc/config/tessel.usr";

class Lifecycle : public pbtest::PluginTest {
  protected:
    void TearDown() override {
        zeb_dm_setFileOps(nullptr);
        PluginTest::TearDown();
    }
    void add(const std::string &name) {
        addEntry({{"FormattedName", name}, {"UniqueID", "id-" + name}});
    }
    zebtest::TraceLine warning(const std::string &text) {
        auto lines = pbtest::linesWithMessage(host, text, true);
        EXPECT_EQ(lines.size(), 1u) << text;
        EXPECT_EQ(lines.empty() ? 0 : lines[0].level, 200) << text;
        return lines.empty() ? zebtest::TraceLine{} : lines[0];
    }
};

// The errno the saved file cannot be read with: open fails with EACCES, read with any other.
int unreadable = 0;
int failWith(int error) {
    errno = error;
    return -1;
}
auto openFile = [](const char *p, int f, mode_t m) { return open(p, f, m); };
auto openUnreadable = [](const char *p, int f, mode_t m) {
    return unreadable == EACCES ? failWith(EACCES) : open(p, f, m);
};
auto readUnreadable = [](int fd, void *b, size_t n) -> ssize_t {
    return unreadable != EACCES ? failWith(unreadable) : read(fd, b, n);
};
const zeb_dm_file_ops_t kUnreadableOps = {openUnreadable, write,  fsync,         close,
                                          rename,         unlink, readUnreadable};

// A saved file the service's user could not read (written by root) was taken for a missing one:
// the first save replaced it. With the restore marker, a legacy file that cannot be loaded keeps
// the marker and the saved phonebook; one that loads replaces the saved file at once. A broken
// saved file is set aside. The warning said that the load failed, not why nor where the file went.
TEST_F(Lifecycle, AStartThatCannotTakeItsDataLeavesTheSavedFile) {
    start();
    const std::string missing = "Load of " + kSaved + " failed: not found: " + host.path(kSaved);
    EXPECT_EQ(warning(missing + ": No such file or directory").zone, "");
    EXPECT_EQ(firstLine("loading datamodel").zone, "phonebook");
    add("Old");
    ASSERT_FALSE(host.add("Phonebook.Entry.1.TelephoneNumber", {{"Number", "0123"}}).empty());
    ASSERT_TRUE(host.set("Phonebook.Entry.1", {{"LastRevision", "2001-01-01T00:00:00Z"}}));
    host.advance(5000);
    const json saved = allContacts();
    const std::string savedFile = host.readFile(kSaved);
    host.stop();
    // The errno (0: none), and the legacy file beside a marker (none without; "/" a directory).
    const std::pair<int, const char *> cases[] = {
        {EACCES, nullptr}, {EIO, nullptr}, {EISDIR, nullptr},
        {EACCES, "/"},     {0, ""},        {0, "[phonebook]\n[phonebook.entry]\nName = broken\n"}};
    for (const auto &[error, legacy] : cases) {
        const std::string why = error != 0 ? strerror(error) : "readable";
        SCOPED_TRACE(why + ", legacy " + (legacy != nullptr ? legacy : "none"));
        host.clearRecords();
        std::filesystem::remove_all(host.path(kLegacyFile));
        if (legacy != nullptr)
            host.writeFile(kMarker, "");
        if (legacy != nullptr && *legacy == '/')
            std::filesystem::create_directories(host.path(kLegacyFile));
        else if (legacy != nullptr && *legacy != '\0')
            host.writeFile(kLegacyFile, legacy);
        unreadable = error;
        zeb_dm_setFileOps(error != 0 ? &kUnreadableOps : nullptr);
        EXPECT_EQ(host.start(definitionPath), error == 0);
        zeb_dm_setFileOps(nullptr);
        if (error != 0) {
            EXPECT_NE(host.lastError().find(why), std::string::npos) << host.lastError();
            EXPECT_TRUE(std::any_of(host.traces.begin(), host.traces.end(), [&](const auto &l) {
                return l.level == 100 && l.line.find(kSaved) != std::string::npos &&
                       l.line.find(why) != std::string::npos;
            }));
        } else {
            EXPECT_TRUE(host.traced("Loading settings from tessel"));
            EXPECT_EQ(firstLine("Import from tessel failed").level, 100);
            EXPECT_TRUE(host.traced("loaded datamodel"));
            EXPECT_EQ(allContacts(), saved);
        }
        host.advance(60000);
        host.stop();
        EXPECT_EQ(host.readFile(kSaved), savedFile);
        EXPECT_FALSE(host.exists(kSaved + ".invalid"));
        EXPECT_EQ(host.exists(kMarker), legacy != nullptr);
    }
    // A record skipped as a copy does not fail the restore.
    const std::string record = "[phonebook.entry]\nFormattedName = \"Imported\"\n"
                               "LastRevision = \"2019-05-06T07:08:09Z\"\n";
    host.writeFile(kLegacyFile, "[phonebook]\n" + record + record);
    host.clearRecords();
    start();
    EXPECT_FALSE(host.traced("loading datamodel"));
    EXPECT_FALSE(host.exists(kMarker));
    ASSERT_EQ(allContacts().size(), 1u);
    EXPECT_EQ(allContacts()[0]["lastRevision"], "2019-05-06T07:08:09Z");
    EXPECT_EQ(saves(), 1u); // at once, before any timer ran
    EXPECT_NE(host.readFile(kSaved).find("Imported"), std::string::npos);
    EXPECT_EQ(host.readFile(kSaved).find("Old"), std::string::npos);

    host.stop();
    const std::string broken = host.readFile(kSaved).substr(0, 40);
    host.writeFile(kSaved, broken);
    host.clearRecords();
    start();
    EXPECT_TRUE(allContacts().empty());
    std::string line = warning("Load of " + kSaved + " failed: ").line;
    EXPECT_NE(line.find("not valid JSON"), std::string::npos) << line;
    EXPECT_NE(line.find("moved to " + host.path(kSaved) + ".invalid"), std::string::npos);
    EXPECT_EQ(host.readFile(kSaved + ".invalid"), broken);
}

TEST_F(Lifecycle, MissingPhonebookEndsTheProcess) {
    json def = pbtest::definition();
    def["objects"][0]["name"] = "Directory";
    useDefinition(def);
    EXPECT_EXIT(host.start(definitionPath), ::testing::ExitedWithCode(1), "");
}

// Anything but milliseconds up to an hour in PHONEBOOK_SAVE_DELAY_MS leaves the default.
TEST_F(Lifecycle, OneSaveADelayAfterTheLastChangeAndAtTheStopOnlyWhatIsPending) {
    start();
    add("Cy");
    host.advance(2000);
    add("Ann");
    const std::pair<int, size_t> waits[] = {{4999, 0}, {1, 1}, {60000, 1}};
    for (auto [wait, saved] : waits) {
        host.advance(wait);
        EXPECT_EQ(saves(), saved) << wait;
    }
    std::string saved = host.readFile(kSaved);
    restart(); // nothing pending: the teardown is not saved
    EXPECT_EQ(host.readFile(kSaved), saved);
    add("Bob");
    host.advance(2000);
    host.stop(); // Bob waits for the timer: saved now
    host.advance(60000);
    EXPECT_EQ(saves(), 2u);

    const std::pair<const char *, uint64_t> delays[] = {
        {"20", 20}, {"1", 1}, {"soon", 5000}, {"-1", 5000}, {"3600001", 5000}, {"", 5000}};
    for (auto [value, delay] : delays) {
        setenv("PHONEBOOK_SAVE_DELAY_MS", value, 1);
        host.clearRecords();
        start();
        add(std::string("at ") + value);
        host.advance(delay - 1);
        EXPECT_EQ(saves(), 0u) << value;
        host.advance(1);
        EXPECT_EQ(saves(), 1u) << value;
        EXPECT_EQ(host.traced("PHONEBOOK_SAVE_DELAY_MS=" + std::string(value) +
                              " is not a delay in milliseconds: using 5000"),
                  delay == 5000 && *value != '\0')
            << value;
        host.stop();
    }
    unsetenv("PHONEBOOK_SAVE_DELAY_MS");
    start();
    EXPECT_EQ(allContacts().size(), 3 + std::size(delays));
}

// A full disk: `writesLeft` writes of 16 bytes, then no space.
int writesLeft = 0;
auto writeUntilFull = [](int fd, const void *b, size_t n) -> ssize_t {
    return writesLeft-- > 0 ? write(fd, b, n < 16 ? n : 16) : failWith(ENOSPC);
};
const zeb_dm_file_ops_t kFullDisk = {openFile, writeUntilFull, fsync, close, rename, unlink, read};

// Nothing is tried again until the next change, which saves both, or the stop.
TEST_F(Lifecycle, AFailedSaveKeepsTheOldFileAndTheDataAndTheNextChangeOrStopSavesAgain) {
    start();
    add("Old");
    host.advance(5000);
    const std::string old = host.readFile(kSaved);
    host.clearRecords();
    writesLeft = 3;
    zeb_dm_setFileOps(&kFullDisk);
    add("Kept");
    host.advance(5000);
    const std::string failed = "Save of phonebook to " + kSaved + " failed";
    EXPECT_NE(warning(failed).line.find("No space left on device"), std::string::npos);
    EXPECT_EQ(host.readFile(kSaved), old);
    EXPECT_FALSE(host.exists(kSaved + ".tmp"));
    host.advance(60000);
    EXPECT_EQ(pbtest::linesWithMessage(host, failed, true).size(), 1u) << "no retry";

    zeb_dm_setFileOps(nullptr);
    add("Next");
    host.advance(5000);
    EXPECT_EQ(saves(), 1u);
    EXPECT_NE(host.readFile(kSaved).find("Kept"), std::string::npos);
    host.clearRecords();
    zeb_dm_setFileOps(&kFullDisk);
    add("Last");
    host.advance(5000);
    zeb_dm_setFileOps(nullptr);
    restart();
    EXPECT_EQ(saves(), 1u) << "at the stop";
    EXPECT_NE(host.readFile(kSaved).find("Last"), std::string::npos);
}

} // namespace
