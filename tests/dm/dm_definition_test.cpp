#include <cstring>
#include <string>
#include <vector>

#include "dm_test_support.h"

using namespace dmtest;

namespace {

struct Attempt {
    const char *text;
    const char *expected; // part of the message, with file:line:column
};

const Attempt kInvalid[] = {
    {"{\"objects\": [\n  {\"name\": \"A\", \"colour\": 1}]}",
     "d.json:2:17: unknown member \"colour\""},
    {"{\"objects\": [{\"name\": \"A\", \"parameters\": [\n  {\"name\": \"P\", \"type\": "
     "\"string\"},\n"
     "  {\"name\": \"P\", \"type\": \"bool\"}]}]}",
     "d.json:3:4: duplicate parameter \"P\""},
    {"{\"objects\": [{\"name\": \"A\", \"parameters\": [\n  {\"name\": \"P\", \"type\": \"uint8\", "
     "\"default\": 300}]}]}",
     "d.json:2:34: the default does not convert"},
    {"{\"objects\": [{\"name\": \"A\"},\n {\"name\": \"A\"}]}",
     "d.json:2:3: object \"A\" already exists"},
    {"{\"objects\": [\n  {\"name\": \"A\",]}", "d.json:2:16: not valid JSON"},
    {nullptr, "d.json:1:33: nested deeper"}, // 100 000 brackets
};

TEST(Definition, ErrorsNameFileLineAndColumnAndLeaveNothing) {
    const std::string deep(100000, '[');
    for (const Attempt &attempt : kInvalid) {
        SCOPED_TRACE(attempt.text);
        datamodel_t *dm = datamodel_create();
        const char *text = attempt.text ? attempt.text : deep.c_str();
        EXPECT_FALSE(datamodel_loadDefinitionText(dm, text, "d.json", nullptr, nullptr));
        EXPECT_NE(strstr(zeb_errorMessage(), attempt.expected), nullptr) << zeb_errorMessage();
        EXPECT_EQ(zeb_error, attempt.text ? zeb_error : ZEB_ERROR_LIMIT);
        EXPECT_EQ(datamodel_firstObject(dm), nullptr);
        datamodel_destroy(dm);
    }
}

} // namespace
