#include <cstring>
#include <string>
#include <vector>

#include "dm_test_support.h"

using namespace dmtest;

namespace {

struct Attempt {
    const char *text;
    const char *expected; /* part of the message, with file:line:column */
};

/* Each line of the definitions below is a line of the file, so that the
 * expected positions can be checked by eye. */
const Attempt kInvalid[] = {
    {"{\"objects\": [\n  {\"name\": \"A\", \"colour\": 1}]}",
     "d.json:2:17: unknown member \"colour\""},
    {"{\"objects\": [\n  {\"name\": 5}]}", "d.json:2:4: expected a string, found number"},
    {"{\"objects\": [{\"name\": \"A\", \"parameters\": [\n  {\"name\": \"P\", \"type\": "
     "\"string\"},\n"
     "  {\"name\": \"P\", \"type\": \"bool\"}]}]}",
     "d.json:3:4: duplicate parameter \"P\""},
    {"{\"objects\": [{\"name\": \"A\", \"parameters\": [\n  {\"name\": \"P\", \"type\": \"uint8\", "
     "\"default\": 300}]}]}",
     "d.json:2:34: the default does not convert"},
    {"{\"objects\": [{\"name\": \"A\", \"parameters\": [\n  {\"name\": \"P\", \"type\": "
     "\"float\"}]}]}",
     "d.json:2:17: unknown type \"float\""},
    {"{\"objects\": [{\"name\": \"A\",\n \"add-handler\": \"f\"}]}",
     "d.json:2:2: add-handler needs"},
    {"{\"objects\": [{\"name\": \"A\"},\n {\"name\": \"A\"}]}",
     "d.json:2:3: object \"A\" already exists"},
    {"{\"objects\": [{\"name\": \"1A\"}]}", "d.json:1:15: invalid name \"1A\""},
    {"{\"objects\": [\n  {\"name\": \"A\",\n   \"name\": \"B\"}]}",
     "d.json:3:4: duplicate member \"name\""},
    {"{\"objects\": [\n  {\"name\": \"A\",]}", "d.json:2:16: not valid JSON"},
    {"", "d.json:1:1: not valid JSON"},
    {"{\"objects\": [{\"name\": \"A\", \"functions\": [{\"name\": \"f\", \"arguments\": [1]}]}]}",
     "d.json:1:70: expected a string"},
};

TEST(Definition, ErrorsNameFileLineAndColumnAndLeaveNothing) {
    for (const Attempt &attempt : kInvalid) {
        datamodel_t *dm = datamodel_create();
        EXPECT_FALSE(datamodel_loadDefinitionText(dm, attempt.text, "d.json", nullptr, nullptr))
            << attempt.text;
        EXPECT_NE(strstr(zeb_errorMessage(), attempt.expected), nullptr)
            << "got: " << zeb_errorMessage() << "\nwanted: " << attempt.expected;
        EXPECT_EQ(datamodel_firstObject(dm), nullptr);
        datamodel_destroy(dm);
    }
}

TEST(Definition, DeepNestingIsRefusedWithoutCrashing) {
    std::string deep(100000, '[');
    datamodel_t *dm = datamodel_create();
    EXPECT_FALSE(datamodel_loadDefinitionText(dm, deep.c_str(), "deep.json", nullptr, nullptr));
    EXPECT_EQ(zeb_error, ZEB_ERROR_LIMIT);
    EXPECT_NE(strstr(zeb_errorMessage(), "deep.json:1:33: nested deeper"), nullptr)
        << zeb_errorMessage();
    datamodel_destroy(dm);
}

TEST_F(DataModelTest, ATopLevelNameAlreadyPresentFails) {
    EXPECT_FALSE(
        datamodel_loadDefinitionText(dm, R"({"objects": [{"name": "Other"}, {"name": "Book"}]})",
                                     "again.json", nullptr, nullptr));
    EXPECT_EQ(zeb_error, ZEB_ERROR_DUPLICATE);
    EXPECT_EQ(get("Other"), nullptr) << "nothing of a failed definition stays";
}

struct ResolverLog {
    std::vector<std::string> calls;
    bool failPlugin = false;
};

void *loggingResolver(void *userData, const char *library, const char *symbol) {
    auto *log = static_cast<ResolverLog *>(userData);
    log->calls.push_back(std::string(library ? library : "-") + ":" + (symbol ? symbol : "-"));
    if (!symbol && log->failPlugin) {
        return nullptr;
    }
    return symbol && strcmp(symbol, "absent") == 0 ? nullptr
                                                   : reinterpret_cast<void *>(loggingResolver);
}

TEST(Definition, BindingsGoThroughTheResolver) {
    const char *text = R"({"plugin": "p.so", "objects": [{"name": "A", "write-handler": "w",
        "functions": [{"name": "f"}, {"name": "g", "handler": "h"}],
        "parameters": [{"name": "P", "type": "string", "validator": "v"}]}]})";
    ResolverLog log;
    datamodel_t *dm = datamodel_create();
    ASSERT_TRUE(datamodel_loadDefinitionText(dm, text, "p.json", loggingResolver, &log))
        << zeb_errorMessage();
    EXPECT_EQ(log.calls,
              (std::vector<std::string>{"p.so:-", "p.so:v", "p.so:__f", "p.so:h", "p.so:w"}));
    EXPECT_NE(function_handler(object_getFunction(datamodel_firstObject(dm), "g")), nullptr);
    datamodel_destroy(dm);

    dm = datamodel_create();
    std::string missing = text;
    missing.replace(missing.find("\"h\""), 3, "\"absent\"");
    EXPECT_FALSE(
        datamodel_loadDefinitionText(dm, missing.c_str(), "p.json", loggingResolver, &log));
    EXPECT_EQ(zeb_error, ZEB_ERROR_NOT_FOUND);
    EXPECT_NE(strstr(zeb_errorMessage(), "symbol \"absent\" not found in p.so"), nullptr)
        << zeb_errorMessage();
    log.failPlugin = true;
    EXPECT_FALSE(datamodel_loadDefinitionText(dm, text, "p.json", loggingResolver, &log));
    EXPECT_EQ(datamodel_firstObject(dm), nullptr);
    datamodel_destroy(dm);
}

TEST(Definition, ThePhonebookDefinitionLoads) {
    datamodel_t *dm = datamodel_create();
    ASSERT_TRUE(
        datamodel_loadDefinition(dm, ZEB_SOURCE_DIR "/data/phonebook.json", nullptr, nullptr))
        << zeb_errorMessage();
    object_t *entry = datamodel_getObject(dm, "Phonebook.Entry", 0);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(object_isTemplate(object_getObject(entry, "TelephoneNumber", 0, nullptr)));
    EXPECT_EQ(parameter_type(object_getParameter(entry, "LastRevision")), variant_type_date_time);
    EXPECT_EQ(
        variant_uint32(object_parameterValue(datamodel_firstObject(dm), "MaxNumberOfEntries")),
        1000u);
    EXPECT_FALSE(
        datamodel_loadDefinition(dm, ZEB_SOURCE_DIR "/data/no-such-file.json", nullptr, nullptr));
    EXPECT_EQ(zeb_error, ZEB_ERROR_NOT_FOUND);
    datamodel_destroy(dm);
}

} // namespace
