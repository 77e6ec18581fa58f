#include "dm_test_support.h"
#include "zeb_dm_internal.h"

using namespace dmtest;

namespace {

using Events = std::vector<std::string>;

class Transactions : public DataModelTest {};

TEST_F(Transactions, SetConvertsToTheParameterTypeAndReadsSeePendingValues) {
    object_t *entry = addEntry("a");
    EXPECT_TRUE(object_parameterSetCharValue(entry, "Age", "42"));
    EXPECT_EQ(variant_type(object_parameterValue(entry, "Age")), variant_type_int32);
    EXPECT_EQ(object_state(entry), object_state_modified);

    EXPECT_TRUE(object_parameterSetCharValue(entry, "BirthDay", "2024-02-29T13:05:00Z"));
    EXPECT_FALSE(object_parameterSetCharValue(entry, "Age", "forty"));
    EXPECT_EQ(zeb_error, ZEB_ERROR_TYPE);
    EXPECT_FALSE(object_parameterSetCharValue(entry, "BirthDay", "2023-02-29T00:00:00Z"));
    EXPECT_EQ(valueOf(entry, "Age"), "42");

    parameter_t *age = object_getParameter(entry, "Age");
    EXPECT_EQ(text(parameter_getModifiedValue(age)), "42");
    EXPECT_TRUE(object_commit(entry));
    EXPECT_EQ(parameter_getModifiedValue(age), nullptr);
    EXPECT_EQ(valueOf(entry, "Age"), "42");
    EXPECT_EQ(object_state(entry), object_state_ready);
}

// A validator's candidate lives only as long as the set: afterwards the
// modified value is the stored pending value, whatever the validator answered.
TEST_F(Transactions, ModifiedValueIsTheCandidateInTheValidatorAndThePendingValueAfter) {
    object_t *entry = addEntry("a");
    refusedIds = {"b"};
    EXPECT_FALSE(object_parameterSetCharValue(entry, "UniqueID", "b"));
    EXPECT_EQ(zeb_error, ZEB_ERROR_REFUSED);
    EXPECT_EQ(valueOf(entry, "UniqueID"), "a");
    EXPECT_EQ(object_state(entry), object_state_ready);
    parameter_t *id = object_getParameter(entry, "UniqueID");
    parameter_setValidator(id, [](parameter_t *p) {
        std::string candidate = text(parameter_getModifiedValue(p));
        events.push_back(candidate + " over " + text(parameter_getValue(p)));
        return candidate != "refused";
    });
    EXPECT_TRUE(parameter_setFromChar(id, "b"));
    EXPECT_EQ(text(parameter_getModifiedValue(id)), "b");
    EXPECT_TRUE(variant_equals(parameter_getModifiedValue(id), parameter_getValue(id)));

    EXPECT_FALSE(parameter_setFromChar(id, "refused"));
    EXPECT_EQ(zeb_error, ZEB_ERROR_REFUSED);
    EXPECT_EQ(text(parameter_getModifiedValue(id)), "b");
    EXPECT_TRUE(variant_equals(parameter_getModifiedValue(id), parameter_getValue(id)));

    EXPECT_TRUE(parameter_setFromChar(id, "a"));
    EXPECT_EQ(parameter_getModifiedValue(id), nullptr) << "back to the committed value";
    EXPECT_EQ(events, (Events{"b over a", "refused over b", "a over b"}));
}

TEST_F(Transactions, EqualValuesAreNoChangeAndReadOnlyIsForClientsOnly) {
    object_t *entry = addEntry("a");
    EXPECT_TRUE(object_parameterSetCharValue(entry, "UniqueID", "a"));
    EXPECT_EQ(object_state(entry), object_state_ready);
    EXPECT_TRUE(object_parameterSetCharValue(entry, "FormattedName", "x"));
    EXPECT_TRUE(object_parameterSetCharValue(entry, "FormattedName", ""));
    EXPECT_EQ(object_state(entry), object_state_ready) << "back to the committed value";
    EXPECT_TRUE(object_commit(entry));
    EXPECT_TRUE(events.empty());

    object_t *book = get("Book");
    parameter_t *count = object_getParameter(book, "Count");
    EXPECT_TRUE(parameter_attributes(count) & PARAMETER_ATTR_READ_ONLY);
    EXPECT_TRUE(parameter_setFromChar(count, "7"));
    EXPECT_FALSE(object_parameterSetCharValue(entries(), "UniqueID", "t"));
    EXPECT_EQ(zeb_error, ZEB_ERROR_WRONG_OBJECT) << "a template holds no values";
}

// Pending values of an instance destroyed with them stayed behind in the
// data model for good.
TEST_F(Transactions, PendingValuesGoWithTheirInstance) {
    object_t *entry = addEntry("a", {"1"});
    object_t *number = object_firstInstance(object_getObject(entry, "Number", 0, nullptr));
    ASSERT_TRUE(object_parameterSetCharValue(entry, "FormattedName", "pending"));
    ASSERT_TRUE(object_parameterSetCharValue(number, "Value", "2"));
    ASSERT_TRUE(object_delete(entry));
    ASSERT_TRUE(object_commit(entries()));
    EXPECT_TRUE(dm->pending.empty());
}

// An instance never committed keeps the values set on it where its committed
// ones would be: they must still behave as pending values.
TEST_F(Transactions, ValuesOfANewInstanceArePendingUntilItsCommit) {
    object_t *entry = object_createInstance(entries(), 0, nullptr);
    EXPECT_EQ(events, (Events{"add Entry.1 state 1 id= age=-1"})) << "before any value";
    EXPECT_EQ(object_state(entry), object_state_created);
    parameter_t *age = object_getParameter(entry, "Age");
    EXPECT_EQ(parameter_getModifiedValue(age), nullptr);
    ASSERT_TRUE(object_parameterSetCharValue(entry, "Age", "3"));
    EXPECT_EQ(text(parameter_getModifiedValue(age)), "3");
    ASSERT_TRUE(object_parameterSetCharValue(entry, "Age", "-1")); // the default again
    EXPECT_EQ(parameter_getModifiedValue(age), nullptr);
    EXPECT_EQ(valueOf(entry, "Age"), "-1");
    ASSERT_TRUE(object_parameterSetCharValue(entry, "UniqueID", "n"));
    ASSERT_TRUE(object_parameterSetCharValue(entry, "FormattedName", "x"));
    ASSERT_TRUE(object_parameterSetCharValue(entry, "FormattedName", ""));
    events.clear();
    EXPECT_TRUE(object_commit(entries()));
    EXPECT_EQ(events, (Events{"write UniqueID=n", "object Book.Entry.1"}));
    EXPECT_EQ(object_state(entry), object_state_ready);
    EXPECT_EQ(parameter_getModifiedValue(age), nullptr);

    // Another instance still has the default.
    object_t *other = object_createInstance(entries(), 0, nullptr);
    EXPECT_EQ(valueOf(other, "UniqueID"), "");
    EXPECT_EQ(valueOf(other, "Age"), "-1");
}

TEST_F(Transactions, CommitRunsWriteHandlersInPreOrder) {
    object_t *first = addEntry("a", {"1"});
    object_t *second = addEntry("b");
    object_t *number = object_firstInstance(object_getObject(first, "Number", 0, nullptr));
    object_parameterSetCharValue(second, "FormattedName", "B");
    object_parameterSetCharValue(number, "Value", "11");
    object_parameterSetCharValue(first, "FormattedName", "A");
    object_parameterSetCharValue(first, "UniqueID", "a2");
    object_parameterSetCharValue(first, "Age", "3");
    EXPECT_TRUE(object_commit(get("Book")));
    EXPECT_EQ(events, (Events{"write UniqueID=a2", "write FormattedName=A", "object Book.Entry.1",
                              "write Value=11", "write FormattedName=B", "object Book.Entry.2"}));
}

TEST_F(Transactions, DeletionRunsHandlersParentFirstOnAnIntactSubtree) {
    object_t *entry = addEntry("a", {"1", "2"});
    addEntry("b");
    EXPECT_TRUE(object_delete(entry));
    object_t *number = object_firstInstance(object_getObject(entry, "Number", 0, nullptr));
    EXPECT_EQ(object_state(entry), object_state_deleted);
    EXPECT_EQ(object_state(number), object_state_deleted);
    EXPECT_FALSE(object_parameterSetCharValue(number, "Value", "x"));
    EXPECT_EQ(zeb_error, ZEB_ERROR_STATE);
    EXPECT_EQ(object_instanceCount(entries()), 2u) << "stays until the commit";
    EXPECT_FALSE(object_commit(number))
        << "only the deleted instance or an ancestor applies a deletion";
    EXPECT_EQ(zeb_error, ZEB_ERROR_STATE);
    EXPECT_TRUE(events.empty());

    EXPECT_TRUE(object_commit(entries()));
    EXPECT_EQ(events, (Events{"del Entry.1 state 5 numbers 2", "del Number.1 state 5 entry state 5",
                              "del Number.2 state 5 entry state 5"}));
    EXPECT_EQ(object_instanceCount(entries()), 1u);
    EXPECT_EQ(get("Book.Entry.1"), nullptr);
    EXPECT_EQ(object_index(object_createInstance(entries(), 0, nullptr)), 3u)
        << "indexes are not reused";
}

TEST_F(Transactions, NestedCommitFromAWriteHandlerAppliesEachChangeOnce) {
    object_t *entry = addEntry("a");
    onWrite = [](parameter_t *p) {
        if (std::string(parameter_name(p)) == "UniqueID") {
            object_t *owner = parameter_owner(p);
            EXPECT_EQ(valueOf(owner, "UniqueID"), "b") << "a write handler reads the written value";
            object_parameterSetCharValue(owner, "FormattedName", "from handler");
            EXPECT_TRUE(object_commit(owner));
        }
    };
    object_parameterSetCharValue(entry, "UniqueID", "b");
    object_parameterSetCharValue(entry, "FormattedName", "from client");
    EXPECT_TRUE(object_commit(entry));
    EXPECT_EQ(events, (Events{"write UniqueID=b", "write FormattedName=from handler",
                              "object Book.Entry.1", "object Book.Entry.1"}));
    EXPECT_EQ(valueOf(entry, "FormattedName"), "from handler");
    EXPECT_EQ(object_state(entry), object_state_ready);
}

TEST_F(Transactions, HandlersMayDeleteAndCommitDuringTheWalk) {
    object_t *first = addEntry("a");
    addEntry("b", {"1"});
    addEntry("c");
    onWrite = [](parameter_t *p) {
        object_t *templ = object_parent(parameter_owner(p));
        object_t *victim = object_getObject(templ, "2", 0, nullptr);
        if (victim) {
            object_delete(victim);
            object_commit(victim);
        }
        object_createInstance(templ, 0, nullptr);
    };
    object_parameterSetCharValue(first, "FormattedName", "A");
    object_parameterSetCharValue(get("Book.Entry.3"), "FormattedName", "C");
    EXPECT_TRUE(object_commit(entries()));
    EXPECT_EQ(valueOf(get("Book.Entry.3"), "FormattedName"), "C");
    EXPECT_EQ(get("Book.Entry.2"), nullptr);
    EXPECT_EQ(object_instanceCount(entries()), 4u);
}

TEST_F(Transactions, ChangesBehindTheWalkAreKeptForTheNextCommit) {
    addEntry("a");
    object_t *second = addEntry("b", {"2"});
    addEntry("c", {"3"});
    object_parameterSetCharValue(get("Book.Entry.2.Number.1"), "Value", "22");
    EXPECT_TRUE(object_commit(get("Book")));
    EXPECT_EQ(events, (Events{"write Value=22"})) << "found among clean instances";

    // From Entry.2's handler: Entry.1 is behind the walk, Entry.2's UniqueID
    // is already applied, Entry.3 is still ahead.
    onWrite = [this](parameter_t *p) {
        if (text(parameter_getModifiedValue(p)) == "B") {
            object_parameterSetCharValue(get("Book.Entry.1"), "FormattedName", "late");
            object_parameterSetCharValue(get("Book.Entry.2"), "UniqueID", "b2");
            object_parameterSetCharValue(get("Book.Entry.3.Number.1"), "Value", "33");
        }
    };
    object_parameterSetCharValue(second, "FormattedName", "B");
    events.clear();
    EXPECT_TRUE(object_commit(get("Book")));
    EXPECT_EQ(events, (Events{"write FormattedName=B", "object Book.Entry.2", "write Value=33"}));
    EXPECT_EQ(object_state(get("Book.Entry.1")), object_state_modified);
    EXPECT_EQ(object_state(second), object_state_modified);

    events.clear();
    EXPECT_TRUE(object_commit(get("Book")));
    EXPECT_EQ(events, (Events{"write FormattedName=late", "object Book.Entry.1",
                              "write UniqueID=b2", "object Book.Entry.2"}));
    EXPECT_EQ(object_state(get("Book.Entry.1")), object_state_ready);
    EXPECT_EQ(object_state(second), object_state_ready);
}

TEST_F(Transactions, CommitOrRollbackOfAnAncestorFromAHandlerCoversTheWholeSubtree) {
    object_t *first = addEntry("a", {"1"});
    object_t *firstNumbers = object_getObject(first, "Number", 0, nullptr);
    addEntry("b");
    object_t *third = addEntry("c");
    bool rollback = false;
    onWrite = [&](parameter_t *p) {
        if (parameter_owner(p) != first || std::string(parameter_name(p)) != "FormattedName") {
            return;
        }
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
    EXPECT_EQ(object_instanceCount(firstNumbers), 1u);
    EXPECT_EQ(object_instanceCount(entries()), 3u);
}

TEST_F(Transactions, RollbackDropsChangesAndDestroysCreatedInstances) {
    object_t *kept = addEntry("a", {"1"});
    object_parameterSetCharValue(kept, "FormattedName", "dropped");
    object_delete(object_firstInstance(object_getObject(kept, "Number", 0, nullptr)));
    object_t *fresh = object_createInstance(entries(), 0, nullptr);
    object_createInstance(object_getObject(fresh, "Number", 0, nullptr), 0, nullptr);
    events.clear();

    EXPECT_TRUE(object_rollback(entries()));
    EXPECT_EQ(events,
              (Events{"del Entry.2 state 1 numbers 1", "del Number.1 state 1 entry state 1"}));
    EXPECT_EQ(object_instanceCount(entries()), 1u);
    EXPECT_EQ(valueOf(kept, "FormattedName"), "");
    object_t *number = get("Book.Entry.1.Number.1");
    EXPECT_EQ(object_state(number), object_state_ready) << "the deletion is revived";
    EXPECT_TRUE(object_commit(entries()));
    EXPECT_NE(get("Book.Entry.1.Number.1"), nullptr);

    // Created and deleted in one transaction: never committed either.
    object_delete(object_createInstance(entries(), 0, nullptr));
    events.clear();
    EXPECT_TRUE(object_commit(entries()));
    EXPECT_EQ(events, (Events{"del Entry.3 state 1 numbers 0"}));
}

TEST_F(Transactions, RollbackBelowAPendingDeletionLeavesItForTheDeletedInstance) {
    object_t *entry = addEntry("a", {"1"});
    object_t *number = get("Book.Entry.1.Number.1");
    object_delete(number);
    object_delete(entry);
    EXPECT_TRUE(object_rollback(object_getObject(entry, "Number", 0, nullptr)));
    EXPECT_EQ(object_state(number), object_state_deleted) << "the entry's deletion still waits";
    EXPECT_TRUE(object_rollback(entry));
    EXPECT_EQ(object_state(entry), object_state_ready);
    EXPECT_EQ(object_state(number), object_state_ready);
    EXPECT_TRUE(object_commit(get("Book")));
    EXPECT_EQ(get("Book.Entry.1.Number.1"), number) << "its own deletion was rolled back first";
    EXPECT_TRUE(events.empty());

    object_delete(entry); // revived for reuse
    EXPECT_TRUE(object_rollback(entry));
    EXPECT_TRUE(object_parameterSetCharValue(entry, "FormattedName", "reused"));
    EXPECT_TRUE(object_commit(entries()));
    EXPECT_EQ(valueOf(entry, "FormattedName"), "reused");
}

TEST_F(Transactions, ReadHandlersServeClientsAndUpdateStoresTheirAnswer) {
    addEntry("a");
    addEntry("b");
    parameter_t *count = object_getParameter(get("Book"), "Count");
    variant_t read;
    variant_initialize(&read, variant_type_unknown);
    EXPECT_TRUE(parameter_readValue(count, &read));
    EXPECT_EQ(text(&read), "2");
    EXPECT_EQ(text(parameter_getValue(count)), "0");
    // A stale stored value made a client's set of the value it reads look
    // like no change; after an update the store agrees with the readers.
    EXPECT_TRUE(parameter_update(count));
    EXPECT_EQ(text(parameter_getValue(count)), "2");

    variant_map_t values;
    variant_map_initialize(&values);
    EXPECT_TRUE(object_getLowerCaseValues(get("Book"), &values));
    EXPECT_EQ(text(variant_map_iterator_data(variant_map_find(&values, "count"))), "2");
    EXPECT_EQ(text(variant_map_iterator_data(variant_map_find(&values, "maxEntries"))), "10");
    variant_map_cleanup(&values);
    variant_cleanup(&read);
}

// The stored answer of a read handler goes under a value set on an instance
// never committed: that value stays pending and is what its commit writes.
TEST_F(Transactions, UpdateKeepsAValueSetOnANewInstancePending) {
    object_t *entry = object_createInstance(entries(), 0, nullptr);
    parameter_t *age = object_getParameter(entry, "Age");
    ASSERT_TRUE(object_parameterSetCharValue(entry, "Age", "3"));
    ASSERT_TRUE(parameter_setReadHandler(
        age, [](parameter_t *, variant_t *out) { return variant_setInt32(out, 7); }));
    EXPECT_TRUE(parameter_update(age));
    EXPECT_EQ(valueOf(entry, "Age"), "3");
    EXPECT_EQ(text(parameter_getModifiedValue(age)), "3");
    EXPECT_TRUE(object_commit(entries()));
    EXPECT_EQ(valueOf(entry, "Age"), "3");
    EXPECT_EQ(parameter_getModifiedValue(age), nullptr);
}

TEST_F(Transactions, CreationRulesForIndexesAndKeys) {
    object_t *templ = entries();
    EXPECT_EQ(object_index(object_createInstance(templ, 5, "five")), 5u);
    EXPECT_EQ(object_createInstance(templ, 5, nullptr), nullptr);
    EXPECT_EQ(zeb_error, ZEB_ERROR_DUPLICATE);
    EXPECT_EQ(object_createInstance(templ, 0, "five"), nullptr);
    EXPECT_EQ(zeb_error, ZEB_ERROR_DUPLICATE);
    EXPECT_EQ(object_createInstance(templ, 0, "a.b"), nullptr);
    object_t *keyedSeven = object_createInstance(templ, 0, "7");
    EXPECT_EQ(object_index(keyedSeven), 6u);
    EXPECT_EQ(object_index(object_createInstance(templ, 0, nullptr)), 8u)
        << "7 would collide with a key";
    EXPECT_EQ(object_createInstance(object_getObject(templ, "Number", 0, nullptr), 0, nullptr),
              nullptr)
        << "a template inside a definition has no instances";
    EXPECT_EQ(zeb_error, ZEB_ERROR_WRONG_OBJECT);

    object_delete(keyedSeven);
    EXPECT_EQ(object_createInstance(object_getObject(keyedSeven, "Number", 0, nullptr), 0, nullptr),
              nullptr);
    EXPECT_EQ(zeb_error, ZEB_ERROR_STATE);
}

TEST_F(Transactions, DestroyingTheDataModelRunsNoHandler) {
    addEntry("a", {"1"});
    object_delete(get("Book.Entry.1"));
    object_createInstance(entries(), 0, nullptr);
    events.clear();
    datamodel_destroy(dm);
    dm = datamodel_create();
    EXPECT_TRUE(events.empty());
}

} // namespace
