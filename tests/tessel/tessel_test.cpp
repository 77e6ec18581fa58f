#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "keltrace/keltrace.h"
#include "tessel/tessel.h"
#include "tessel_testing.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string &path) {
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

class Store : public ::testing::Test {
  protected:
    std::string root;
    std::vector<std::string> errors;

    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tessel-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        setenv("ZEB_SYSROOT", root.c_str(), 1);
        fs::create_directories(root + "/etc/config");
        kelTraceSetSink(
            [](void *self, int, const char *, const char *line) {
                static_cast<Store *>(self)->errors.push_back(line);
            },
            this);
    }
    void TearDown() override {
        tessel_cleanup();
        tessel_setFileOps(nullptr);
        kelTraceSetSink(nullptr, nullptr);
        unsetenv("ZEB_SYSROOT");
        fs::remove_all(root);
    }

    void write(const std::string &content) {
        std::ofstream(root + "/etc/config/t.usr", std::ios::binary | std::ios::trunc) << content;
    }
    std::string read() { return slurp(root + "/etc/config/t.usr"); }
    int load(const std::string &content) {
        write(content);
        return tessel_initialize("/etc/config/t.usr");
    }
    void reload() {
        ASSERT_EQ(tessel_save(), TESSEL_OK);
        ASSERT_EQ(tessel_cleanup(), TESSEL_OK);
        ASSERT_EQ(tessel_initialize("/etc/config/t.usr"), TESSEL_OK);
    }
};

const char kEntry[] = "[phonebook]\n[phonebook.entry]\n";

tessel_file_ops_t systemOps() {
    tessel_file_ops_t ops = {nullptr, ::read, ::write, fsync, close, rename, unlink};
    ops.open = [](const char *path, int flags, mode_t mode) { return open(path, flags, mode); };
    return ops;
}

TEST_F(Store, InitializeTellsMissingUnreadableAndInvalidApart) {
    EXPECT_EQ(tessel_initialize("/etc/config/t.usr"), TESSEL_MISSING);
    EXPECT_EQ(tessel_cntPhoneBookEntries(), 0);
    EXPECT_EQ(tessel_initialize("/etc/config/t.usr"), TESSEL_ERR_STATE);
    EXPECT_EQ(tessel_cleanup(), TESSEL_OK);
    EXPECT_EQ(tessel_cleanup(), TESSEL_ERR_STATE);
    EXPECT_EQ(tessel_cntPhoneBookEntries(), TESSEL_ERR_STATE);
    EXPECT_EQ(tessel_initialize(nullptr), TESSEL_ERR_ARGUMENT);

    fs::create_directories(root + "/etc/config/dir.usr");
    EXPECT_EQ(tessel_initialize("/etc/config/dir.usr"), TESSEL_ERR_UNREADABLE);
    write(std::string(TESSEL_MAX_FILE_SIZE + 1, '#'));
    EXPECT_EQ(tessel_initialize("/etc/config/t.usr"), TESSEL_ERR_INVALID);
    EXPECT_EQ(tessel_cleanup(), TESSEL_ERR_STATE); // failures leave it closed

    tessel_file_ops_t ops = systemOps();
    ops.read = [](int, void *, size_t) -> ssize_t { return errno = EIO, -1; };
    tessel_setFileOps(&ops);
    EXPECT_EQ(load("[a]\n"), TESSEL_ERR_UNREADABLE);
}

// Each file is refused, naming the line of the fault.
TEST_F(Store, ParserIsStrict) {
    const std::string longValue(TESSEL_MAX_VALUE_LENGTH + 1, 'v');
    // clang-format off
    const struct { std::string file; int line; const char *message; } cases[] = {
        {"# c\nx = 1\n", 2, "assignment before the first section header"},
        {"[a]\n[phonebook]\n[b]\n[phonebook.entry]\n", 4, "outside the phonebook"},
        {std::string(kEntry) + "Name = x\n", 3, "must be quoted"},
        {std::string(kEntry) + "[phonebook.entry.label]\nLabelPreferred = yes\n", 4, "must be true or false"},
        {std::string(kEntry) + "Name = \"\\q\"\n", 3, "unknown escape"},
        {std::string(kEntry) + "Name = \"" + longValue + "\"\n", 3, "value longer than"},
        {"[a]\r\nx = 1\n", 1, "carriage return"}, {"[a]\nx =\n", 2, "value missing"}};
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(load(c.file), TESSEL_ERR_INVALID);
        const std::string &said = errors.back();
        EXPECT_NE(said.find(":" + std::to_string(c.line) + ": "), std::string::npos) << said;
        EXPECT_NE(said.find(c.message), std::string::npos) << said;
    }
    std::string many = "[phonebook]\n";
    for (int i = 0; i <= TESSEL_MAX_SUBRECORDS; i++)
        many += (i == 0 ? "[phonebook.entry]\n" : "") + std::string("[phonebook.entry.email]\n");
    EXPECT_EQ(load(many), TESSEL_ERR_INVALID);
    EXPECT_NE(errors.back().find("more than"), std::string::npos);
}

TEST_F(Store, HostileValuesSurviveASaveAndALoad) {
    std::string everyByte;
    for (int c = 1; c < 256; c++)
        everyByte += static_cast<char>(c);
    // clang-format off
    const std::vector<std::string> values = {"", "two\nlines\r\n", "\"quoted\" \\ back\\slash \\x41 \\n",
        "\n[phonebook.entry]\nName = \"injected\"\n# not a comment",
        "\xff\xfe latin-1 \xe9t\xe9, overlong \xc0\x80, surrogate \xed\xa0\x80, cut \xe2\x82",
        "accents àéïõü, 山田, emoji \xf0\x9f\x93\x9e", everyByte, std::string(TESSEL_MAX_VALUE_LENGTH, 'x')};
    // clang-format on
    ASSERT_EQ(load("[other]\nkeep = 1\n"), TESSEL_OK);
    for (const std::string &value : values) {
        int32_t e = tessel_addPhoneBookEntry();
        ASSERT_GE(e, 0);
        EXPECT_EQ(tessel_setPhoneBookEntryName(e, value.c_str()), TESSEL_OK);
        int32_t k = tessel_addPhoneBookEntryTelephone(e);
        EXPECT_EQ(tessel_setPhoneBookEntryTelephoneType(e, k, value.c_str()), TESSEL_OK);
        EXPECT_EQ(tessel_setPhoneBookEntryTelephonePreferred(e, k, true), TESSEL_OK);
    }
    reload();
    for (size_t e = 0; e < values.size(); e++) {
        char *name = nullptr, *type = nullptr;
        bool preferred = false;
        ASSERT_EQ(tessel_getPhoneBookEntryName(e, &name), TESSEL_OK);
        ASSERT_EQ(tessel_getPhoneBookEntryTelephoneType(e, 0, &type), TESSEL_OK);
        EXPECT_EQ(tessel_getPhoneBookEntryTelephonePreferred(e, 0, &preferred), TESSEL_OK);
        EXPECT_EQ(std::string(name), values[e]) << e;
        EXPECT_EQ(std::string(type), values[e]) << e;
        EXPECT_TRUE(preferred) << e;
        free(name);
        free(type);
    }
    std::string tooLong(TESSEL_MAX_VALUE_LENGTH + 1, 'x');
    EXPECT_EQ(tessel_setPhoneBookEntryName(0, tooLong.c_str()), TESSEL_ERR_LIMIT);
}

TEST_F(Store, RecordsAreAddressedAndOwnedAsDocumented) {
    ASSERT_EQ(tessel_initialize("/etc/config/t.usr"), TESSEL_MISSING);
    EXPECT_EQ(tessel_addPhoneBookEntry(), 0);
    EXPECT_EQ(tessel_addPhoneBookEntryEmail(0), 0);
    char *value = nullptr;
    bool flag = true;
    EXPECT_EQ(tessel_getPhoneBookEntryTitle(0, &value), TESSEL_ERR_NOT_SET);
    EXPECT_EQ(tessel_getPhoneBookEntryEmailPreferred(0, 0, &flag), TESSEL_ERR_NOT_SET);
    EXPECT_EQ(tessel_getPhoneBookEntryEmailType(0, 1, &value), TESSEL_ERR_NOT_FOUND);
    EXPECT_EQ(tessel_addPhoneBookEntryEmail(-1), -1);
    EXPECT_EQ(value, nullptr) << "outputs untouched";
    EXPECT_TRUE(flag);

    EXPECT_EQ(tessel_setPhoneBookEntryTitle(0, "Title"), TESSEL_OK);
    EXPECT_EQ(tessel_setPhoneBookEntryTitle(0, nullptr), TESSEL_OK); // cleared
    EXPECT_EQ(tessel_getPhoneBookEntryTitle(0, &value), TESSEL_ERR_NOT_SET);

    for (int i = 1; i < TESSEL_MAX_SUBRECORDS; i++)
        ASSERT_EQ(tessel_addPhoneBookEntryEmail(0), i);
    EXPECT_EQ(tessel_addPhoneBookEntryEmail(0), -1);
    for (int i = 1; i < TESSEL_MAX_ENTRIES; i++)
        ASSERT_EQ(tessel_addPhoneBookEntry(), i);
    EXPECT_EQ(tessel_addPhoneBookEntry(), -1);
    EXPECT_EQ(tessel_freePhoneBookEntry(), TESSEL_OK);
    EXPECT_EQ(tessel_cntPhoneBookEntries(), 0);
}

TEST_F(Store, FailedSaveLeavesTheFileAsItWas) {
    const std::string original = "[phonebook]\n[phonebook.entry]\nName = \"Kept\"\n";
    write(original);
    chmod((root + "/etc/config/t.usr").c_str(), 0640);
    ASSERT_EQ(tessel_initialize("/etc/config/t.usr"), TESSEL_OK);
    tessel_setPhoneBookEntryName(0, "Changed");
    tessel_file_ops_t faults[3] = {systemOps(), systemOps(), systemOps()};
    faults[0].write = [](int, const void *, size_t) -> ssize_t { return errno = ENOSPC, -1; };
    faults[1].fsync = [](int) { return errno = EIO, -1; };
    faults[2].rename = [](const char *, const char *) { return errno = EXDEV, -1; };
    for (const tessel_file_ops_t &faulty : faults) {
        tessel_setFileOps(&faulty);
        EXPECT_EQ(tessel_save(), TESSEL_ERR_IO);
        EXPECT_EQ(read(), original);
        EXPECT_FALSE(fs::exists(root + "/etc/config/t.usr.tmp"));
    }
    tessel_setFileOps(nullptr);
    ASSERT_EQ(tessel_save(), TESSEL_OK);
    EXPECT_EQ(fs::status(root + "/etc/config/t.usr").permissions() & fs::perms::all,
              fs::perms(0640));

    // Nothing is written that a load would refuse.
    std::string big(TESSEL_MAX_VALUE_LENGTH, 'b');
    for (size_t size = 0; size < TESSEL_MAX_FILE_SIZE; size += big.size())
        tessel_setPhoneBookEntryTags(tessel_addPhoneBookEntry(), big.c_str());
    EXPECT_EQ(tessel_save(), TESSEL_ERR_LIMIT);
    EXPECT_NE(read().find("Changed"), std::string::npos);
}

} // namespace
