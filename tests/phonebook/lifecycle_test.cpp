// Start-up, shutdown and the saving of the data model file.
#include "plugin_fixture.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "zeb_dm_testing.h"

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
    auto warning = pbtest::linesWithMessage(
        host, "Load of /cfg/system/phonebook.odl failed: not found: " + host.path(kSavedFile) +
                  ": No such file or directory");
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

// The warning said that the load failed, not why nor where the file went.
TEST_F(Lifecycle, AFileThatFailsToLoadIsSetAsideAndTheWarningSaysWhere) {
    saveOld();
    const std::string broken = host.readFile(kSavedFile).substr(0, 40);
    host.writeFile(kSavedFile, broken);
    start();
    EXPECT_TRUE(allContacts().empty());
    auto lines = host.traces;
    auto warning = std::find_if(lines.begin(), lines.end(), [](const auto &line) {
        return pbtest::message(line).rfind("Load of /cfg/system/phonebook.odl failed: ", 0) == 0;
    });
    ASSERT_NE(warning, lines.end());
    EXPECT_EQ(warning->level, 200);
    EXPECT_NE(warning->line.find("not valid JSON"), std::string::npos) << warning->line;
    EXPECT_NE(warning->line.find("moved to " + host.path(kSavedFile) + ".invalid"),
              std::string::npos)
        << warning->line;
    EXPECT_EQ(host.readFile(std::string(kSavedFile) + ".invalid"), broken);
}

// The errno with which the saved file cannot be read: open fails with
// EACCES, read with any other.
int unreadable = 0;

const zeb_dm_file_ops_t kUnreadableOps = {
    [](const char *p, int f, mode_t m) {
        return unreadable == EACCES ? (errno = EACCES, -1) : open(p, f, m);
    },
    write,
    fsync,
    close,
    rename,
    unlink,
    [](int fd, void *b, size_t n) -> ssize_t {
        return unreadable != EACCES ? (errno = unreadable, -1) : read(fd, b, n);
    },
};

// A saved file the service's user could not read (written by a run as root)
// was taken for a missing one: the phonebook came up empty and its first
// save replaced the file. Now the start fails and says why; the file, and a
// restore marker whose import failed, stay as they were.
TEST_F(Lifecycle, ASavedFileThatCannotBeReadStopsTheStartAndIsNeverSavedOver) {
    saveOld();
    const std::string saved = host.readFile(kSavedFile);
    auto refusedStart = [&](const std::string &why) {
        host.clearRecords();
        EXPECT_FALSE(host.start(definitionPath)) << why;
        zeb_dm_setFileOps(nullptr);
        EXPECT_NE(host.lastError().find(why), std::string::npos) << host.lastError();
        auto errors = std::count_if(host.traces.begin(), host.traces.end(), [&](const auto &l) {
            return l.level == 100 && l.line.find(kSavedFile) != std::string::npos &&
                   l.line.find(why) != std::string::npos;
        });
        EXPECT_GE(errors, 1) << why;
        host.advance(60000);
        host.stop();
        EXPECT_EQ(host.readFile(kSavedFile), saved) << why;
        EXPECT_FALSE(host.exists(std::string(kSavedFile) + ".invalid")) << why;
    };
    for (int error : {EACCES, EIO, EISDIR}) {
        unreadable = error;
        zeb_dm_setFileOps(&kUnreadableOps);
        refusedStart(strerror(error));
    }
    host.writeFile(kMarker, "");
    std::filesystem::create_directories(host.path(kLegacyFile)); // cannot be read either
    unreadable = EACCES;
    zeb_dm_setFileOps(&kUnreadableOps);
    refusedStart(strerror(EACCES));
    EXPECT_TRUE(host.exists(kMarker));

    const std::string aside = host.path("/cfg/system/kept.odl");
    std::filesystem::rename(host.path(kSavedFile), aside);
    std::filesystem::create_directory(host.path(kSavedFile));
    EXPECT_FALSE(host.start(definitionPath));
    EXPECT_TRUE(std::filesystem::is_directory(host.path(kSavedFile)));
    std::filesystem::remove(host.path(kSavedFile));
    std::filesystem::rename(aside, host.path(kSavedFile));
    start();
    EXPECT_TRUE(host.traced("Import from tessel failed"));
    EXPECT_EQ(formattedNames(), Names{"Old"});
    EXPECT_TRUE(host.exists(kMarker));
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

// PHONEBOOK_SAVE_DELAY_MS replaces the delay; anything but a number of
// milliseconds up to an hour leaves the default and says so.
TEST_F(Lifecycle, SaveDelayComesFromTheEnvironment) {
    const std::pair<const char *, uint64_t> cases[] = {
        {"20", 20}, {"0", 0}, {"soon", 5000}, {"-1", 5000}, {"3600001", 5000}, {"", 5000}};
    for (auto [value, delay] : cases) {
        setenv("PHONEBOOK_SAVE_DELAY_MS", value, 1);
        host.clearRecords();
        start();
        add(std::string("at ") + value);
        if (delay > 0) {
            host.advance(delay - 1);
            EXPECT_EQ(saves(), 0u) << value;
        }
        host.advance(1);
        EXPECT_EQ(saves(), 1u) << value;
        bool rejected = delay == 5000 && *value != '\0';
        EXPECT_EQ(host.traced("PHONEBOOK_SAVE_DELAY_MS=" + std::string(value) +
                              " is not a delay in milliseconds: using 5000"),
                  rejected)
            << value;
        host.stop();
    }
    unsetenv("PHONEBOOK_SAVE_DELAY_MS");
}

// Each step of a save failing as a full disk, a read-only file system or a
// failing device makes it fail; `writesLeft` writes of 16 bytes go out first.
int writesLeft = 0;

struct SaveFault {
    const char *why; /* what the trace says */
    zeb_dm_file_ops_t ops;
};

int failWith(int error) {
    errno = error;
    return -1;
}

const SaveFault kSaveFaults[] = {
    {"No space left on device",
     {[](const char *p, int f, mode_t m) { return open(p, f, m); },
      [](int fd, const void *b, size_t n) -> ssize_t {
          return writesLeft-- > 0 ? write(fd, b, n < 16 ? n : 16) : failWith(ENOSPC);
      },
      fsync, close, rename, unlink, read}},
    {"Read-only file system",
     {[](const char *, int, mode_t) { return failWith(EROFS); }, write, fsync, close, rename,
      unlink, read}},
    {"Input/output error",
     {[](const char *p, int f, mode_t m) { return open(p, f, m); }, write,
      [](int) { return failWith(EIO); }, close, rename, unlink, read}},
};

class FailedSave : public Lifecycle {
  protected:
    void TearDown() override {
        zeb_dm_setFileOps(nullptr);
        Lifecycle::TearDown();
    }
    void failSaves(const SaveFault &fault) {
        writesLeft = 3;
        zeb_dm_setFileOps(&fault.ops);
    }
    std::vector<zebtest::TraceLine> failures() const {
        std::vector<zebtest::TraceLine> lines;
        for (const auto &line : host.traces)
            if (pbtest::message(line).rfind(kFailed, 0) == 0)
                lines.push_back(line);
        return lines;
    }
    static constexpr const char *kFailed = "Save of phonebook to /cfg/system/phonebook.odl failed";
};

// The file keeps the last saved phonebook, memory keeps the change, the trace
// says why; nothing is tried again until the next change, which saves both.
TEST_F(FailedSave, KeepsTheOldFileAndTheDataAndTheNextChangeSavesAgain) {
    start();
    add("Old");
    host.advance(5000);
    for (const SaveFault &fault : kSaveFaults) {
        const std::string old = host.readFile(kSavedFile), kept = std::string("Kept ") + fault.why;
        host.clearRecords();
        failSaves(fault);
        add(kept);
        host.advance(5000);
        auto lines = failures();
        ASSERT_EQ(lines.size(), 1u) << fault.why;
        EXPECT_EQ(lines[0].level, 200);
        EXPECT_NE(lines[0].line.find(fault.why), std::string::npos) << lines[0].line;
        EXPECT_EQ(host.readFile(kSavedFile), old) << fault.why;
        EXPECT_FALSE(host.exists(std::string(kSavedFile) + ".tmp")) << fault.why;
        EXPECT_EQ(formattedNames().back(), kept);
        host.advance(60000);
        EXPECT_EQ(failures().size(), 1u) << "no retry without a change";

        zeb_dm_setFileOps(nullptr);
        add(std::string("Next ") + fault.why);
        host.advance(5000);
        EXPECT_EQ(saves(), 1u);
        EXPECT_NE(host.readFile(kSavedFile).find(kept), std::string::npos) << fault.why;
    }
    restart();
    EXPECT_EQ(formattedNames().size(), 1 + 2 * std::size(kSaveFaults));
}

// A save that failed was not tried again at the stop: what it left out was
// lost although the disk could take it by then.
TEST_F(FailedSave, StopSavesTheChangesAFailedSaveLeftOut) {
    start();
    add("Ann");
    host.advance(5000);
    host.clearRecords();
    failSaves(kSaveFaults[0]);
    add("Bob");
    host.advance(5000);
    ASSERT_EQ(failures().size(), 1u);
    zeb_dm_setFileOps(nullptr);
    restart();
    EXPECT_EQ(saves(), 1u) << "at the stop";
    EXPECT_EQ(formattedNames(), (Names{"Ann", "Bob"}));
}

} // namespace
