#include <cstring>

#include "dm_test_support.h"

using namespace dmtest;

namespace {

class Tree : public FileTest {};

TEST_F(Tree, NamesPathsLookupsAndDefinitions) {
    ASSERT_NE(object_createInstance(entries(), 0, "alice"), nullptr);
    // Regression, indices beyond uint32 find nothing even with the last index
    // in use: strtoul stops at ULONG_MAX, UINT32_MAX where long is 32 bits (the
    // gateway), so a larger index landed on the last instance there.
    object_t *last = object_createInstance(entries(), UINT32_MAX, nullptr);
    EXPECT_EQ(get("Book.Entry.4294967295"), last);
    for (const char *missing :
         {"Book.Entry.alice", "Book..Entry", "Nope", "Book.Entry.01", "Book.Entry.4294967296",
          "Book.Entry.18446744073709551616", "Book.Entry.99999999999999999999"}) {
        EXPECT_EQ(get(missing), nullptr) << missing;
        EXPECT_EQ(zeb_error, ZEB_ERROR_NOT_FOUND) << missing;
    }
    EXPECT_EQ(object_getObject(entries(), "1", 0, &zeb_error), nullptr) << "reserved must be null";

    function_t *find = object_firstFunction(get("Book"));
    ASSERT_NE(find, nullptr);
    EXPECT_STREQ(function_name(find), "find");
    EXPECT_STREQ(function_argumentName(find, 1), "limit");
    EXPECT_EQ(function_argumentName(find, 2), nullptr);
    EXPECT_NE(function_handler(find), nullptr);

    EXPECT_FALSE(object_delete(get("Book")));
    EXPECT_EQ(zeb_error, ZEB_ERROR_WRONG_OBJECT);
    EXPECT_NE(strstr(zeb_errorMessage(), "not an instance"), nullptr) << zeb_errorMessage();
    EXPECT_FALSE(object_commit(nullptr));
    EXPECT_EQ(zeb_error, ZEB_ERROR_INVALID_ARGUMENT);
}

} // namespace
