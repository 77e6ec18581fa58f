#include "dm_test_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "keltrace/keltrace.h"
#include "zeb_dm_testing.h"

namespace dmtest {

const char *const kDefinition = R"({ "plugin": "book.so",
  "objects": [ { "name": "Book",
    "parameters": [
      { "name": "Count", "type": "uint32", "attributes": ["read-only", "volatile"], "read-handler": "read_count" },
      { "name": "MaxEntries", "type": "uint32", "default": 10, "attributes": ["persistent"] },
      { "name": "Comment", "type": "string" } ],
    "functions": [ { "name": "find", "arguments": ["name", "limit"] } ],
    "objects": [ { "name": "Entry", "multi-instance": true,
      "add-handler": "entry_added", "delete-handler": "entry_deleted",
      "parameters": [
        { "name": "UniqueID", "type": "string", "attributes": ["persistent"], "validator": "validate_id",
          "write-handler": "param_written" },
        { "name": "FormattedName", "type": "string", "attributes": ["persistent"], "validator": "validate_id",
          "write-handler": "param_written" },
        { "name": "BirthDay", "type": "date-time", "attributes": ["persistent"] },
        { "name": "Age", "type": "int32", "default": -1 },
        { "name": "Secret", "type": "string", "attributes": ["volatile"] } ],
      "objects": [ { "name": "Number", "multi-instance": true, "delete-handler": "number_deleted",
        "parameters": [ { "name": "Value", "type": "string", "attributes": ["persistent"],
                          "write-handler": "param_written" } ] } ] } ] } ] })";

std::vector<std::string> events;
std::function<void(parameter_t *)> onWrite;
std::vector<std::string> refusedIds;

std::string slurp(const std::string &path) {
    std::stringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

void spill(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}

bool exists(const std::string &path) {
    return std::filesystem::exists(path);
}

// The text of a heap string, which it frees, or `none`.
static std::string taken(char *chars, const char *none) {
    std::string result = chars ? chars : none;
    free(chars);
    return result;
}

std::string text(const variant_t *value) {
    return taken(variant_char(value), "(none)");
}

std::string valueOf(const object_t *object, const char *name) {
    return text(object_parameterValue(object, name));
}

std::string pathOf(const object_t *object, uint32_t flags) {
    return taken(object_pathChar(object, flags), "(null)");
}

namespace {

// "<verb> <path> state <state>", e.g. "del Book.Entry.1 state 5".
bool logged(const char *verb, object_t *instance) {
    events.push_back(verb + pathOf(instance) + " state " + std::to_string(object_state(instance)));
    return true;
}

bool entryAdded(object_t *, object_t *instance) {
    return logged("add ", instance);
}

bool entryDeleted(object_t *, object_t *instance) {
    return logged("del ", instance);
}

void paramWritten(parameter_t *parameter) {
    events.push_back(std::string("write ") + parameter_name(parameter) + "=" +
                     text(parameter_getModifiedValue(parameter)));
    if (onWrite)
        onWrite(parameter);
}

bool validateId(parameter_t *parameter) {
    return std::find(refusedIds.begin(), refusedIds.end(),
                     text(parameter_getModifiedValue(parameter))) == refusedIds.end();
}

bool readCount(parameter_t *parameter, variant_t *value) {
    return variant_setUInt32(value, object_instanceCount(object_getObject(
                                        parameter_owner(parameter), "Entry", 0, nullptr)));
}

int find(function_call_t *, argument_value_list_t *, variant_t *) {
    return 0;
}

} // namespace

void *resolve(void *, const char *library, const char *symbol) {
    static const std::map<std::string, void *> symbols = {
        {"entry_added", reinterpret_cast<void *>(entryAdded)},
        {"entry_deleted", reinterpret_cast<void *>(entryDeleted)},
        {"number_deleted", reinterpret_cast<void *>(entryDeleted)},
        {"param_written", reinterpret_cast<void *>(paramWritten)},
        {"validate_id", reinterpret_cast<void *>(validateId)},
        {"read_count", reinterpret_cast<void *>(readCount)},
        {"__find", reinterpret_cast<void *>(find)},
    };
    if (!symbol)
        return library && strcmp(library, "missing.so") != 0 ? symbols.at("__find") : nullptr;
    auto it = symbols.find(symbol);
    return it == symbols.end() ? nullptr : it->second;
}

void DataModelTest::SetUp() {
    events.clear();
    onWrite = nullptr;
    refusedIds.clear();
    dm = datamodel_create();
    ASSERT_TRUE(datamodel_loadDefinitionText(dm, kDefinition, "book.json", resolve, nullptr))
        << zeb_errorMessage();
}

void DataModelTest::TearDown() {
    datamodel_destroy(dm);
    onWrite = nullptr;
}

object_t *DataModelTest::addEntry(const char *id, std::vector<std::string> numbers) {
    object_t *entry = object_createInstance(entries(), 0, id);
    EXPECT_NE(entry, nullptr) << zeb_errorMessage();
    EXPECT_TRUE(object_parameterSetCharValue(entry, "UniqueID", id)) << zeb_errorMessage();
    for (const std::string &number : numbers)
        EXPECT_TRUE(object_parameterSetCharValue(
            object_createInstance(object_getObject(entry, "Number", 0, nullptr), 0, nullptr),
            "Value", number.c_str()));
    EXPECT_TRUE(object_commit(entry)) << zeb_errorMessage();
    events.clear();
    return entry;
}

void FileTest::SetUp() {
    DataModelTest::SetUp();
    char pattern[] = "/tmp/zeb_dm_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    path = dir + "/book.json";
}

void FileTest::TearDown() {
    zeb_dm_setFileOps(nullptr);
    kelTraceSetSink(nullptr, nullptr);
    std::filesystem::remove_all(dir);
    DataModelTest::TearDown();
}

void FileTest::fresh() {
    datamodel_destroy(dm);
    dm = datamodel_create();
    ASSERT_TRUE(datamodel_loadDefinitionText(dm, kDefinition, "book.json", resolve, nullptr));
}

bool FileTest::reload() {
    fresh();
    events.clear();
    return datamodel_load(dm, path.c_str(), 0);
}

void collect(void *lines, int, const char *, const char *line) {
    static_cast<std::vector<std::string> *>(lines)->push_back(line);
}

} // namespace dmtest
