#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "allocation_count.hpp"
#include "dm_test_support.h"
#include "keltrace/keltrace.h"
#include "zeb_dm_testing.h"

using namespace dmtest;

namespace {

class Files : public FileTest {
  protected:
    /* Two entries, the first with two numbers and an explicit key. */
    void populate() {
        object_t *a = object_createInstance(entries(), 0, "alice");
        object_parameterSetCharValue(a, "UniqueID", "id-a");
        object_parameterSetCharValue(a, "FormattedName", "Alice \"A\" \xc3\xa9");
        object_parameterSetCharValue(a, "BirthDay", "1990-05-17T08:30:00Z");
        object_parameterSetCharValue(a, "Age", "34");
        object_parameterSetCharValue(a, "Secret", "volatile, never saved");
        object_t *numbers = object_getObject(a, "Number", 0, nullptr);
        object_parameterSetCharValue(object_createInstance(numbers, 7, nullptr), "Value", "+331");
        object_parameterSetCharValue(object_createInstance(numbers, 0, "work"), "Value", "+332");
        object_t *b = object_createInstance(entries(), 5, nullptr);
        object_parameterSetCharValue(b, "UniqueID", "id-b");
        ASSERT_TRUE(object_commit(get("Book")));
        events.clear();
    }

    /* `count` committed entries with a number each, saved to `path`. */
    void fill(int count) {
        for (int i = 0; i < count; ++i) {
            object_t *entry = object_createInstance(entries(), 0, nullptr);
            std::string id = "id-" + std::to_string(i);
            object_parameterSetCharValue(entry, "UniqueID", id.c_str());
            object_parameterSetCharValue(entry, "FormattedName", ("Contact number " + id).c_str());
            object_t *number =
                object_createInstance(object_getObject(entry, "Number", 0, nullptr), 0, nullptr);
            object_parameterSetCharValue(number, "Value", "+33 1 23 45 67 89");
        }
        ASSERT_TRUE(object_commit(get("Book")));
        ASSERT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), 0)) << zeb_errorMessage();
    }
};

TEST_F(Files, SavedDataComesBackThroughAddHandlersAndCommit) {
    populate();
    ASSERT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), 0)) << zeb_errorMessage();
    std::string first = slurp(path);
    EXPECT_EQ(first.find("volatile"), std::string::npos);

    ASSERT_TRUE(reload()) << zeb_errorMessage();
    EXPECT_EQ(events, (std::vector<std::string>{
                          "add Entry.1 state 1 id= age=-1", "add Entry.5 state 1 id= age=-1",
                          "write UniqueID=id-a", "write FormattedName=Alice \"A\" \xc3\xa9",
                          "object Book.Entry.1", "write Value=+331", "write Value=+332",
                          "write UniqueID=id-b", "object Book.Entry.5"}));
    object_t *a = get("Book.Entry.alice", OBJECT_FLAG_KEY);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(object_index(a), 1u);
    EXPECT_EQ(valueOf(a, "BirthDay"), "1990-05-17T08:30:00Z");
    EXPECT_EQ(valueOf(a, "Age"), "34");
    EXPECT_EQ(valueOf(a, "Secret"), "");
    EXPECT_EQ(valueOf(get("Book.Entry.alice.Number.work", OBJECT_FLAG_KEY), "Value"), "+332");
    EXPECT_EQ(object_index(get("Book.Entry.alice.Number.work", OBJECT_FLAG_KEY)), 8u);
    EXPECT_EQ(object_state(get("Book.Entry.5")), object_state_ready);

    ASSERT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), 0));
    EXPECT_EQ(slurp(path), first) << "the same data gives the same bytes";
}

TEST_F(Files, PathsFlagsAndDepthChooseWhereAndWhatIsSaved) {
    ASSERT_EQ(mkdir((dir + "/cfg").c_str(), 0700), 0);
    setenv("ZEB_SYSROOT", dir.c_str(), 1); // paths go through the system root
    ASSERT_TRUE(datamodel_save(get("Book"), -1, "/cfg/book.json", 0)) << zeb_errorMessage();
    EXPECT_TRUE(exists(dir + "/cfg/book.json"));
    EXPECT_TRUE(datamodel_load(dm, "/cfg/book.json", 0)) << zeb_errorMessage();
    unsetenv("ZEB_SYSROOT");

    populate();
    ASSERT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), DATAMODEL_FLAG_PERSISTENT_ONLY));
    std::string persistent = slurp(path);
    EXPECT_EQ(persistent.find("\"Age\""), std::string::npos);
    EXPECT_NE(persistent.find("\"MaxEntries\":10"), std::string::npos);
    EXPECT_EQ(persistent.find("\"Count\""), std::string::npos);

    parameter_setReadHandler(
        object_getParameter(entries(), "FormattedName"),
        [](parameter_t *, variant_t *value) { return variant_setChar(value, "as read"); });
    ASSERT_TRUE(datamodel_save(get("Book"), 1, path.c_str(), 0));
    std::string shallow = slurp(path);
    EXPECT_NE(shallow.find("\"FormattedName\":\"as read\""), std::string::npos)
        << "values go through read handlers";
    EXPECT_NE(shallow.find("\"id-a\""), std::string::npos) << "instances count with their template";
    EXPECT_EQ(shallow.find("+331"), std::string::npos);

    object_t *numbers = get("Book.Entry.1.Number");
    ASSERT_TRUE(datamodel_save(numbers, 0, path.c_str(), 0));
    object_delete(get("Book.Entry.1.Number.7"));
    object_parameterSetCharValue(get("Book.Entry.1.Number.8"), "Value", "changed");
    object_commit(numbers);
    ASSERT_TRUE(datamodel_load(dm, path.c_str(), 0)) << zeb_errorMessage();
    EXPECT_EQ(valueOf(get("Book.Entry.1.Number.7"), "Value"), "+331");
    EXPECT_EQ(valueOf(get("Book.Entry.1.Number.8"), "Value"), "+332")
        << "an existing instance is reused";
}

/* Fails the n-th call of one file step. */
struct Fault {
    const char *step;
    int call;
};
Fault fault;
int calls;

bool faulty(const char *step) {
    if (strcmp(step, fault.step) == 0 && ++calls == fault.call) {
        errno = EIO;
        return true;
    }
    return false;
}

const zeb_dm_file_ops_t kFaultyOps = {
    [](const char *p, int f, mode_t m) { return faulty("open") ? -1 : open(p, f, m); },
    [](int fd, const void *b, size_t n) -> ssize_t {
        return faulty("write") ? -1 : write(fd, b, n < 7 ? n : 7);
    },
    [](int fd) { return faulty("fsync") ? -1 : fsync(fd); },
    [](int fd) {
        int result = close(fd);
        return faulty("close") ? -1 : result;
    },
    [](const char *from, const char *to) { return faulty("rename") ? -1 : rename(from, to); },
    unlink,
    read,
};

TEST_F(Files, AFailureAtAnyStepOfASaveLeavesACompleteFile) {
    populate();
    ASSERT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), 0));
    const std::string old = slurp(path);
    object_parameterSetCharValue(get("Book.Entry.5"), "FormattedName", "Bob");
    object_commit(entries());
    const Fault faults[] = {{"open", 1},   {"write", 3}, {"fsync", 1}, {"close", 1},
                            {"rename", 1}, {"open", 2},  {"fsync", 2}};
    zeb_dm_setFileOps(&kFaultyOps);
    for (const Fault &f : faults) {
        fault = f;
        calls = 0;
        spill(path, old);
        EXPECT_FALSE(datamodel_save(get("Book"), -1, path.c_str(), 0)) << f.step << f.call;
        EXPECT_EQ(zeb_error, ZEB_ERROR_IO);
        EXPECT_NE(strstr(zeb_errorMessage(), dir.c_str()), nullptr) << zeb_errorMessage();
        EXPECT_FALSE(exists(path + ".tmp")) << f.step << f.call;
        std::string now = slurp(path);
        bool renamed = f.call == 2;
        EXPECT_EQ(now.find("Bob") != std::string::npos, renamed) << f.step << f.call;
        EXPECT_TRUE(renamed || now == old);
    }
    zeb_dm_setFileOps(nullptr);
    EXPECT_TRUE(reload()) << zeb_errorMessage();

    spill(path + ".tmp", "{ half a file");
    EXPECT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), 0))
        << "a crash's leftover is overwritten";
    EXPECT_FALSE(exists(path + ".tmp"));
}

struct BadFile {
    const char *content;
    uint32_t code;
    const char *message;
};

const BadFile kBadFiles[] = {
    {"", ZEB_ERROR_INVALID_FILE, "book.json:1:1: not valid JSON"},
    {"{\"version\": 1, \"path\": \"Book\",\n \"objects\": {\"Entry\"", ZEB_ERROR_INVALID_FILE,
     "book.json:2:21: not valid JSON"},
    {"<xml/>", ZEB_ERROR_INVALID_FILE, "book.json:1:1: not valid JSON"},
    {"[]", ZEB_ERROR_INVALID_FILE, "book.json:1:1: expected an object"},
    {"{\"version\": 2, \"path\": \"Book\"}", ZEB_ERROR_INVALID_FILE,
     "book.json:1:2: expected \"version\": 1"},
    {"{\"version\": 1, \"path\": \"Shelf\"}", ZEB_ERROR_INVALID_FILE,
     "book.json:1:16: the data model has no object"},
    {"{\"version\": 1, \"path\": \"Book\", \"objects\": {\"Entry\": {\"instances\": [\n"
     "  {\"index\": 1, \"parameters\": {\"Age\": \"old\"}}]}}}",
     ZEB_ERROR_INVALID_FILE, "book.json:2:31: wrong type for Age: string"},
    {"{\"version\": 1, \"path\": \"Book\", \"objects\": {\"Entry\": {\"instances\": [\n"
     "  {\"index\": 1, \"parameters\": {\"BirthDay\": \"yesterday\"}}]}}}",
     ZEB_ERROR_INVALID_FILE, "book.json:2:31: value of BirthDay does not fit"},
    {"{\"version\": 1, \"path\": \"Book\", \"objects\": {\"Entry\": {\"instances\": [\n"
     "  {\"index\": 1}, {\"index\": 1}]}}}",
     ZEB_ERROR_INVALID_FILE, "book.json:2:17: index or key used twice"},
    {"{\"version\": 1, \"path\": \"Book\", \"objects\": {\"Entry\": {\"instances\": [\n"
     "  {\"index\": 0}]}}}",
     ZEB_ERROR_INVALID_FILE, "book.json:2:4: an instance needs an index"},
    {"{\"version\": 1, \"path\": \"Book\", \"parameters\": 5}", ZEB_ERROR_INVALID_FILE,
     "book.json:1:32: expected an object, found number"},
};

TEST_F(Files, InvalidFilesFailClearlyAndAreMovedAside) {
    for (const BadFile &bad : kBadFiles) {
        spill(path, bad.content);
        EXPECT_FALSE(datamodel_load(dm, path.c_str(), 0)) << bad.content;
        EXPECT_EQ(zeb_error, bad.code) << bad.content;
        EXPECT_NE(strstr(zeb_errorMessage(), bad.message), nullptr)
            << "got: " << zeb_errorMessage() << "\nwanted: " << bad.message;
        EXPECT_NE(strstr(zeb_errorMessage(), "book.json.invalid"), nullptr);
        EXPECT_FALSE(exists(path));
        EXPECT_EQ(slurp(path + ".invalid"), bad.content);
        EXPECT_EQ(object_instanceCount(entries()), 0u);
        EXPECT_TRUE(events.empty()) << "checked before any instance is created";
    }
    EXPECT_FALSE(datamodel_load(dm, path.c_str(), 0));
    EXPECT_EQ(zeb_error, ZEB_ERROR_NOT_FOUND) << "a missing file is not moved";
}

TEST_F(Files, HostileFilesHitLimitsWithoutCrashing) {
    std::string huge = "{\"version\": 1, \"path\": \"Book\", \"parameters\": {\"Comment\": \"" +
                       std::string(70000, 'x') + "\"}}";
    std::string deep =
        "{\"version\": 1, \"path\": \"Book\", \"x\": " + std::string(5000, '[') + "}";
    std::string many =
        "{\"version\": 1, \"path\": \"Book\", \"objects\": {\"Entry\": {\"instances\": [";
    for (int i = 1; i <= 100001; ++i) {
        many += (i > 1 ? ",{\"index\":" : "{\"index\":") + std::to_string(i) + "}";
    }
    many += "]}}}";
    std::string large(65 * 1024 * 1024, ' ');
    for (const std::string &content : {huge, deep, many, large}) {
        spill(path, content);
        EXPECT_FALSE(datamodel_load(dm, path.c_str(), 0));
        EXPECT_EQ(zeb_error, ZEB_ERROR_LIMIT) << zeb_errorMessage();
        EXPECT_TRUE(exists(path + ".invalid"));
        EXPECT_EQ(object_instanceCount(entries()), 0u);
    }
}

// Regressions: a text longer than a load accepts, or bytes that are not
// UTF-8 (overlong forms, surrogates, code points above U+10FFFF, which the
// save replaced), could be set: the next load refused the file and set aside
// everything it held. Refused on every way a text comes in, leaving the
// stored value and the saved file as they were. (Over the bus: Hostile.)
TEST_F(Files, TextsASavedFileCouldNotGiveBackAreRefusedOnEveryWayIn) {
    const std::string longest(64 * 1024, 'x'), name = "Al\u00edce";
    object_t *entry = object_createInstance(entries(), 0, "alice");
    ASSERT_TRUE(object_parameterSetCharValue(entry, "FormattedName", name.c_str()));
    ASSERT_TRUE(object_commit(get("Book")));
    ASSERT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), 0)) << zeb_errorMessage();
    const std::string saved = slurp(path), incoming = dir + "/incoming.json";
    const std::function<bool(const std::string &)> waysIn[] = {
        [&](const std::string &t) {
            return object_parameterSetCharValue(entry, "FormattedName", t.c_str());
        },
        [&](const std::string &t) {
            return object_createInstance(entries(), 0, t.c_str()) != nullptr;
        },
        [&](const std::string &t) {
            std::string content = saved;
            spill(incoming, content.replace(content.find(name), name.size(), t));
            const bool loaded = datamodel_load(dm, incoming.c_str(), 0);
            EXPECT_EQ(slurp(incoming + ".invalid"), content) << "set aside as it was";
            return loaded;
        }};
    const std::pair<std::string, uint32_t> refused[] = {
        {"\xff", ZEB_ERROR_TYPE},         {"\xc0\x80", ZEB_ERROR_TYPE},
        {"\xe0\x80\x80", ZEB_ERROR_TYPE}, {"\xf0\x80\x80\x80", ZEB_ERROR_TYPE},
        {"\xed\xa0\x80", ZEB_ERROR_TYPE}, {"\xf4\x90\x80\x80", ZEB_ERROR_TYPE},
        {"\xe2\x82", ZEB_ERROR_TYPE},     {"a\x80", ZEB_ERROR_TYPE},
        {longest + "x", ZEB_ERROR_LIMIT}};
    for (const auto &[text, code] : refused) {
        std::string shown;
        for (unsigned char c : text.substr(0, 8))
            shown += " " + std::to_string(c);
        for (size_t way = 0; way < (code == ZEB_ERROR_TYPE ? 3 : 2); ++way) {
            EXPECT_FALSE(waysIn[way](text)) << "way " << way << ":" << shown;
            EXPECT_EQ(zeb_error, way == 2 ? ZEB_ERROR_INVALID_FILE : code) << way << ":" << shown;
        }
    }
    EXPECT_EQ(object_instanceCount(entries()), 1u);
    EXPECT_EQ(object_state(entry), object_state_ready);
    ASSERT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), 0)) << zeb_errorMessage();
    EXPECT_EQ(slurp(path), saved);

    for (const char *text : {"\xc3\xa9t\xc3\xa9", "\xe2\x82\xac", "\xf0\x9d\x84\x9e", ""})
        EXPECT_TRUE(object_parameterSetCharValue(entry, "FormattedName", text)) << text;
    ASSERT_TRUE(object_parameterSetCharValue(entry, "FormattedName", longest.c_str()));
    ASSERT_NE(object_createInstance(entries(), 0, longest.c_str()), nullptr);
    ASSERT_TRUE(object_commit(get("Book")));
    ASSERT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), 0)) << zeb_errorMessage();
    ASSERT_TRUE(reload()) << zeb_errorMessage();
    EXPECT_EQ(valueOf(get("Book.Entry.alice", OBJECT_FLAG_KEY), "FormattedName"), longest);
    EXPECT_FALSE(exists(path + ".invalid"));
}

// A template could get more instances than a load accepts; the file holding
// them went to .invalid at the next start (HostileFilesHitLimitsWithoutCrashing
// loads one more).
TEST_F(Files, InstancesBeyondWhatALoadAcceptsAreRefused) {
    object_t *numbers =
        object_getObject(object_createInstance(entries(), 0, nullptr), "Number", 0, nullptr);
    for (int i = 0; i < 100000; ++i)
        ASSERT_NE(object_createInstance(numbers, 0, nullptr), nullptr) << i;
    EXPECT_EQ(object_createInstance(numbers, 0, nullptr), nullptr);
    EXPECT_EQ(zeb_error, ZEB_ERROR_LIMIT);
    ASSERT_TRUE(object_commit(get("Book")));
    EXPECT_EQ(object_instanceCount(numbers), 100000u);
}

// Regression: a phonebook of 50 000 contacts saves about 37 MB; above the
// old bound of 16 MiB every save failed and each restart lost what was added
// since. A save too large to load back still fails and keeps the last file.
TEST_F(Files, FilesAboveSixteenMiBSaveButNotBeyondWhatALoadTakes) {
    const std::string name(60000, 'n');
    auto add = [&](int count) {
        for (int i = 0; i < count; ++i)
            object_parameterSetCharValue(object_createInstance(entries(), 0, nullptr),
                                         "FormattedName", name.c_str());
        ASSERT_TRUE(object_commit(get("Book")));
    };
    add(300);
    ASSERT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), 0)) << zeb_errorMessage();
    const std::string saved = slurp(path);
    EXPECT_GT(saved.size(), 16u * 1024 * 1024);
    ASSERT_TRUE(reload()) << zeb_errorMessage();
    EXPECT_EQ(object_instanceCount(entries()), 300u);
    add(820);
    EXPECT_FALSE(datamodel_save(get("Book"), -1, path.c_str(), 0));
    EXPECT_EQ(zeb_error, ZEB_ERROR_LIMIT);
    EXPECT_TRUE(slurp(path) == saved) << "the last file stays";
    EXPECT_FALSE(exists(path + ".tmp"));
}

// Memory regressions, both found on a daemon holding a large phonebook:
// - a save built the whole document, then its text, before writing a byte:
//   its peak was several times the file, kept by the allocator for good;
// - a load made its plan, as large as the entries, in the heap and left the
//   entries it made between the plan's freed blocks.
TEST_F(Files, SavesAndLoadsHoldLittleBeyondTheirFileAndEntries) {
    if (!zebtest::AllocationCount::available())
        GTEST_SKIP() << "allocations are counted under AddressSanitizer only";
    fill(4000);
    const std::string saved = slurp(path);
    const long long file = static_cast<long long>(saved.size());
    ASSERT_GT(file, 400000);
    for (bool save : {true, false}) {
        if (!save)
            fresh();
        zebtest::AllocationCount count;
        ASSERT_TRUE(save ? datamodel_save(get("Book"), -1, path.c_str(), 0)
                         : datamodel_load(dm, path.c_str(), 0))
            << zeb_errorMessage();
        if (save) {
            EXPECT_LT(count.peakBytes(), file / 4) << "a save holds a block of its file";
            EXPECT_LE(count.heldBytes(), 0) << "a save keeps nothing";
        } else {
            EXPECT_LT(count.peakBytes() - count.heldBytes(), 3 * file) << "the plan alone is 2x";
        }
    }
    ASSERT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), 0)) << zeb_errorMessage();
    EXPECT_EQ(slurp(path), saved);
}

TEST_F(Files, UnknownSavedValuesAreSkippedAndNamed) {
    spill(
        path,
        R"({"version": 1, "path": "Book", "parameters": {"Gone": 1, "Count": 3, "Comment": "kept"},
        "objects": {"Shelf": {}, "Entry": {"instances": [{"index": 2, "parameters": {"Gone": 1}},
                                                          {"index": 3, "parameters": {"Gone": 2}}]}}})");
    std::vector<std::string> lines;
    kelTraceSetSink(collect, &lines);
    ASSERT_TRUE(datamodel_load(dm, path.c_str(), 0)) << zeb_errorMessage();
    EXPECT_EQ(valueOf(get("Book"), "Comment"), "kept");
    EXPECT_EQ(object_instanceCount(entries()), 2u);
    std::string all;
    for (const std::string &line : lines) {
        all += line + "\n";
    }
    for (const char *name : {"of Book.Gone", "of Book.Count", "of Book.Shelf",
                             "2 saved value(s) of Book.Entry.{i}.Gone"}) {
        EXPECT_NE(all.find(name), std::string::npos) << name;
    }
}

// These files are well-formed: only the data model they meet makes them fail,
// after the load has already changed and created things.
TEST_F(Files, AFileFailingWhileAppliedIsMovedAsideAndLeavesTheDataModelAsBefore) {
    addEntry("old");
    object_delete(addEntry("gone"));
    addEntry("third");
    object_parameterSetCharValue(get("Book"), "Comment", "pending before");
    refusedIds = {"taken"};
    const std::string head = R"({"version": 1, "path": "Book", "parameters": {"Comment": "file"},
  "objects": {"Entry": {"instances": [
    {"index": 1, "key": "old", "parameters": {"FormattedName": "changed"}},
    {"index": 4, "objects": {"Number": {"instances": [{"index": 1}]}}},
    )";
    const std::pair<const char *, const char *> failures[] = {
        {R"({"index": 3, "key": "renamed"})", "book.json:5:5: instance 3 of Entry already exists"},
        {R"({"index": 2, "key": "gone"})", "book.json:5:5: instance 2 of Entry already exists"},
        {R"({"index": 6, "key": "third"})", "book.json:5:5: already exists"},
        {R"({"index": 5, "parameters": {"UniqueID": "taken"}})", "book.json:5:33: value refused"},
    };
    for (const auto &[instance, message] : failures) {
        const std::string content = head + instance + "]}}}";
        spill(path, content);
        events.clear();
        EXPECT_FALSE(datamodel_load(dm, path.c_str(), 0)) << instance;
        EXPECT_EQ(zeb_error, ZEB_ERROR_INVALID_FILE);
        std::string said = zeb_errorMessage();
        EXPECT_NE(said.find(message), std::string::npos) << said;
        EXPECT_NE(said.find("moved to " + path + ".invalid"), std::string::npos) << said;
        EXPECT_FALSE(exists(path));
        EXPECT_EQ(slurp(path + ".invalid"), content);

        EXPECT_EQ(object_instanceCount(entries()), 3u) << instance;
        EXPECT_EQ(get("Book.Entry.4"), nullptr);
        EXPECT_EQ(valueOf(get("Book.Entry.1"), "FormattedName"), "");
        EXPECT_EQ(object_state(get("Book.Entry.1")), object_state_ready);
        EXPECT_EQ(object_state(get("Book.Entry.2")), object_state_deleted);
        EXPECT_STREQ(object_name(get("Book.Entry.3"), OBJECT_FLAG_KEY), "third");
        EXPECT_EQ(valueOf(get("Book"), "Comment"), "pending before");
        size_t added = 0, deleted = 0;
        for (const std::string &event : events) {
            added += event.rfind("add Entry.", 0) == 0;
            deleted += event.rfind("del Entry.", 0) == 0;
        }
        EXPECT_TRUE(added > 0 && deleted == added) << "what the load created, it destroyed";
    }
}

} // namespace
