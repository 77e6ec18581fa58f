#include "dm_test_support.h"

using namespace dmtest;

namespace {

class Transactions : public DataModelTest {};

// Regression: a stale stored value of a read-handled parameter made a
// client's set of the value it reads look like no change. An update stores the
// handler's answer, but under a value set on an instance never committed,
// which stays pending.
TEST_F(Transactions, UpdateStoresTheReadAnswerUnderPendingValues) {
    addEntry("a");
    parameter_t *count = object_getParameter(get("Book"), "Count");
    EXPECT_EQ(text(parameter_getValue(count)), "0");
    EXPECT_TRUE(parameter_update(count));
    EXPECT_EQ(text(parameter_getValue(count)), "1");

    object_t *entry = object_createInstance(entries(), 0, nullptr);
    parameter_t *age = object_getParameter(entry, "Age");
    ASSERT_TRUE(object_parameterSetCharValue(entry, "Age", "3"));
    ASSERT_TRUE(parameter_setReadHandler(
        age, [](parameter_t *, variant_t *out) { return variant_setInt32(out, 7); }));
    EXPECT_TRUE(parameter_update(age));
    EXPECT_EQ(text(parameter_getModifiedValue(age)), "3");
    EXPECT_TRUE(object_commit(entries()));
    EXPECT_EQ(valueOf(entry, "Age"), "3");
}

} // namespace
