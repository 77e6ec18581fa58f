// The saved file, legacy store file and bus frame that the gateway (MIPS32,
// big-endian) and a PC each wrote into tests/cross/<architecture>/ with
// `zeb_cross_files_test --write DIR`: each reads both and writes the same bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "phonebook_test_support.hpp"
#include "zeb/bus.h"
#include "zeb/dm.h"

namespace {

using pbtest::json;

const char *const kSavedFile = "/cfg/system/phonebook.odl";
const char *const kLegacyFile = "/etc/config/tessel.usr";

const char *const kArchitectures[] = {"mips", "x86_64"};

// Texts beyond ASCII and with control bytes; dates at and past a 32-bit time_t.
json contacts() {
    return json::parse(R"([
      {"uniqueID": "u-1", "formattedName": "Zoë \"Z\" Ñandú", "name": "Ñandú;Zoë",
       "birthDay": "1901-12-13T20:45:51Z", "lastRevision": "2038-01-19T03:14:08Z",
       "title": "Dr", "organisation": "A & B", "url": "http://x/?a=1#b", "tags": "tab\there\u0001",
       "addresses": [{"name": "1 rue\nsecond line", "type": "HOME", "preferred": true}],
       "telephoneNumbers": [{"name": "+33612345678", "type": "CELL", "preferred": true},
                            {"name": "0123", "type": "HOME", "preferred": false}],
       "emails": [{"name": "z@example.org", "type": "WORK", "preferred": false}]},
      {"uniqueID": "u-2", "formattedName": "Иван 李", "birthDay": "1969-12-31T23:59:59Z",
       "lastRevision": "2100-03-01T00:00:00Z"}])");
}

std::string readAll(const std::string &path) {
    return pbtest::fileText(path.c_str());
}
void writeAll(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}

using Owned = zebtest::Var;

// The contacts as getAllContacts answers them and a value of every type at its edges.
void frameMessage(const zebtest::Var &contacts, variant_t *message) {
    variant_initialize(message, variant_type_map);
    variant_map_t *map = variant_da_map(message);
    variant_map_add(map, "contacts", contacts.get());
    Owned values;
    variant_initialize(values.get(), variant_type_array);
    variant_list_t *list = variant_da_list(values.get());
    auto add = [list](auto setter, auto value) {
        Owned item;
        setter(item.get(), value);
        variant_list_add(list, item.get());
    };
    add(variant_setBool, true);
    add(variant_setInt8, INT8_MIN);
    add(variant_setInt16, INT16_MIN);
    add(variant_setInt32, INT32_MIN);
    add(variant_setInt64, INT64_MIN);
    add(variant_setUInt8, UINT8_MAX);
    add(variant_setUInt16, 0x1234);
    add(variant_setUInt32, 0x89abcdefu);
    add(variant_setUInt64, UINT64_C(0x0123456789abcdef));
    for (double value : {-0.1, 5e-324})
        add(variant_setDouble, value);
    for (int64_t seconds :
         {INT64_C(-2147483649), INT64_C(-1), INT64_C(2147483648), INT64_C(4107542400)})
        add(variant_setDateTimeSeconds, seconds);
    variant_map_add(map, "values", values.get());
}

class CrossFiles : public pbtest::PluginTest {
  protected:
    void write(const std::string &dir) {
        std::filesystem::create_directories(host.path("/etc/config"));
        start();
        for (const json &contact : contacts())
            ASSERT_EQ(host.call("Phonebook", "addContact", {{"contact", contact}}).value(), true)
                << contact;
        ASSERT_EQ(host.call("Phonebook", "export").value(), true);
        zebtest::CallResult all = host.call("Phonebook", "getAllContacts");
        ASSERT_TRUE(all.ok);
        host.stop(); // saves
        writeAll(dir + "/phonebook.odl", host.readFile(kSavedFile));
        writeAll(dir + "/tessel.usr", host.readFile(kLegacyFile));

        Owned message;
        frameMessage(all.retval, message.get());
        char *frame = nullptr;
        size_t size = 0;
        ASSERT_EQ(zeb_bus_encodeFrame(message.get(), &frame, &size), ZEB_ERROR_NONE);
        writeAll(dir + "/frame.bin", std::string(frame, size));
        std::free(frame);
    }

    // The contacts of a saved file, or of a legacy store file imported.
    json contactsOf(const std::string &file, bool legacy = false) {
        host.writeFile(legacy ? "/etc/config/in.usr" : kSavedFile, readAll(file));
        start();
        if (legacy) {
            EXPECT_EQ(host.call("Phonebook", "import", {{"fileName", "/etc/config/in.usr"}}).value(),
                      true);
        }
        json all = allContacts();
        host.stop();
        std::filesystem::remove(host.path(kSavedFile));
        return all;
    }

    std::string fixture(const char *architecture, const char *name) {
        return std::string(CROSS_FIXTURES) + "/" + architecture + "/" + name;
    }
};

TEST_F(CrossFiles, EachArchitectureReadsWhatTheOtherWrote) {
    std::filesystem::create_directories(host.path("/out"));
    write(host.path("/out"));
    std::string expectedFrame = readAll(host.path("/out/frame.bin"));
    json expected = contactsOf(host.path("/out/phonebook.odl"));
    ASSERT_EQ(expected.size(), 2u);
    for (size_t i = 0; i < 2; ++i)
        for (const char *key : {"birthDay", "lastRevision"})
            EXPECT_EQ(expected[i][key], contacts()[i][key]);

    for (const char *architecture : kArchitectures) {
        SCOPED_TRACE(architecture);
        EXPECT_EQ(contactsOf(fixture(architecture, "phonebook.odl")), expected);
        EXPECT_EQ(contactsOf(fixture(architecture, "tessel.usr"), true), expected);

        std::string frame = readAll(fixture(architecture, "frame.bin"));
        ASSERT_GE(frame.size(), 4u);
        ASSERT_EQ(zeb_bus_frameBodySize(frame.data()), frame.size() - 4);
        Owned decoded;
        const char *why = nullptr;
        ASSERT_EQ(zeb_bus_decodeBody(frame.data() + 4, frame.size() - 4, decoded.get(), &why),
                  ZEB_ERROR_NONE)
            << why;
        EXPECT_EQ(readAll(host.path("/out/phonebook.odl")),
                  readAll(fixture(architecture, "phonebook.odl")));
        EXPECT_EQ(readAll(host.path("/out/tessel.usr")),
                  readAll(fixture(architecture, "tessel.usr")));
        EXPECT_EQ(expectedFrame, frame);
    }
}

// `--write DIR` writes this architecture's files instead of testing.
class Writer : public CrossFiles {
  public:
    explicit Writer(std::string dir) : dir_(std::move(dir)) {}
    void TestBody() override { write(dir_); }

  private:
    std::string dir_;
};

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--write") == 0) {
        std::filesystem::create_directories(argv[2]);
        std::string dir = std::filesystem::absolute(argv[2]).string();
        ::testing::RegisterTest("CrossFilesWriter", "Write", nullptr, nullptr, __FILE__, __LINE__,
                                [dir]() -> CrossFiles * { return new Writer(dir); });
        ::testing::GTEST_FLAG(filter) = "CrossFilesWriter.*";
    }
    return RUN_ALL_TESTS();
}
