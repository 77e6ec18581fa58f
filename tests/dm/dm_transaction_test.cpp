// Handler order inside a transaction; that lookups and rollbacks keep the
// tree consistent is the random walk's part.
#include "dm_test_support.h"
#include "zeb_dm_internal.h"

using namespace dmtest;

namespace {

using Events = std::vector<std::string>;

class Transactions : public DataModelTest {};

// Regression: pending values of an instance destroyed with them stayed behind
// in the data model for good.
TEST_F(Transactions, PendingValuesGoWithTheirInstance) {
    object_t *entry = addEntry("a", {"1"});
    ASSERT_TRUE(object_parameterSetCharValue(entry, "FormattedName", "pending"));
    ASSERT_TRUE(object_parameterSetCharValue(get("Book.Entry.1.Number.1"), "Value", "2"));
    ASSERT_TRUE(object_delete(entry));
    ASSERT_TRUE(object_commit(entries()));
    EXPECT_TRUE(dm->pending.empty());
}

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

TEST_F(Transactions, CommitWritesInPreOrderAndDeletesParentFirstOnAnIntactSubtree) {
    object_t *first = addEntry("a", {"1", "2"});
    object_t *second = addEntry("b");
    object_parameterSetCharValue(second, "FormattedName", "B");
    object_parameterSetCharValue(get("Book.Entry.1.Number.1"), "Value", "11");
    object_parameterSetCharValue(first, "FormattedName", "A");
    object_parameterSetCharValue(first, "UniqueID", "a2");
    EXPECT_TRUE(object_commit(get("Book")));
    EXPECT_EQ(events, (Events{"write UniqueID=a2", "write FormattedName=A", "object Book.Entry.1",
                              "write Value=11", "write FormattedName=B", "object Book.Entry.2"}));

    events.clear();
    EXPECT_TRUE(object_delete(first));
    object_t *number = get("Book.Entry.1.Number.1");
    EXPECT_FALSE(object_parameterSetCharValue(number, "Value", "x"));
    EXPECT_EQ(zeb_error, ZEB_ERROR_STATE);
    EXPECT_FALSE(object_commit(number))
        << "only the deleted instance or an ancestor applies a deletion";
    EXPECT_TRUE(object_commit(entries()));
    EXPECT_EQ(events, (Events{"del Entry.1 state 5 numbers 2", "del Number.1 state 5 entry state 5",
                              "del Number.2 state 5 entry state 5"}));
}

TEST_F(Transactions, CommitOrRollbackOfAnAncestorFromAHandlerCoversTheWholeSubtree) {
    object_t *first = addEntry("a", {"1"});
    object_t *firstNumbers = object_getObject(first, "Number", 0, nullptr);
    addEntry("b");
    object_t *third = addEntry("c");
    bool rollback = false;
    onWrite = [&](parameter_t *p) {
        if (parameter_owner(p) != first || std::string(parameter_name(p)) != "FormattedName")
            return;
        if (rollback) {
            EXPECT_TRUE(object_rollback(get("Book")));
        } else {
            EXPECT_TRUE(object_commit(get("Book")));
            EXPECT_EQ(object_state(third), object_state_ready) << "the nested commit reached it";
        }
    };
    object_parameterSetCharValue(first, "FormattedName", "A");
    object_parameterSetCharValue(third, "FormattedName", "C");
    EXPECT_TRUE(object_commit(entries()));
    EXPECT_EQ(events, (Events{"write FormattedName=A", "write FormattedName=C",
                              "object Book.Entry.3", "object Book.Entry.1"}));

    // The rollback also reaches below the instance being committed, whose
    // walk has not got to its children yet.
    rollback = true;
    object_parameterSetCharValue(first, "FormattedName", "A2");
    object_parameterSetCharValue(get("Book.Entry.1.Number.1"), "Value", "dropped");
    object_createInstance(firstNumbers, 0, nullptr);
    object_parameterSetCharValue(third, "FormattedName", "dropped");
    object_createInstance(entries(), 0, nullptr);
    events.clear();
    EXPECT_TRUE(object_commit(entries()));
    EXPECT_EQ(events, (Events{"write FormattedName=A2", "del Number.2 state 1 entry state 4",
                              "del Entry.4 state 1 numbers 0", "object Book.Entry.1"}));
    EXPECT_EQ(valueOf(third, "FormattedName"), "C");
    EXPECT_EQ(valueOf(get("Book.Entry.1.Number.1"), "Value"), "1");
    EXPECT_EQ(object_instanceCount(entries()), 3u);
}

} // namespace
