// Finding instances by value: the index against the walk it replaces.
#include <cstdio>
#include <filesystem>
#include <random>

#include "dm_test_support.h"

using namespace dmtest;

namespace {

using Found = std::vector<object_t *>;

class ValueIndex : public DataModelTest {
  protected:
    // Every instance holding `value`, in instance order, as found.
    Found found(const char *name, const std::string &value) {
        Found all;
        for (object_t *o = object_findInstance(entries(), name, value.c_str()); o;
             o = object_findNextInstance(o, name, value.c_str()))
            all.push_back(o);
        return all;
    }
    // The same by reading every instance.
    Found walked(const char *name, const std::string &value) {
        Found all;
        for (object_t *o = object_firstInstance(entries()); o; o = object_nextInstance(o))
            if (!value.empty() && valueOf(o, name) == value)
                all.push_back(o);
        return all;
    }
};

TEST_F(ValueIndex, FindsWhatAWalkFindsThroughEveryKindOfChange) {
    ASSERT_TRUE(object_indexParameter(entries(), "UniqueID"));
    const char *const names[] = {"UniqueID", "FormattedName"};
    const std::vector<std::string> values = {"", "a", "b", "c", "d"};
    std::mt19937 random(20261206);
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    auto anyInstance = [&]() -> object_t * {
        uint32_t count = object_instanceCount(entries());
        object_t *o = object_firstInstance(entries());
        for (size_t skip = count ? pick(count) : 0; o && skip > 0; --skip)
            o = object_nextInstance(o);
        return o;
    };
    // A write handler that changes values during the commit, and commits.
    onWrite = [&](parameter_t *p) {
        if (pick(4) == 0 && object_state(parameter_owner(p)) != object_state_deleted) {
            object_parameterSetCharValue(parameter_owner(p), "FormattedName",
                                         values[pick(values.size())].c_str());
            object_commit(parameter_owner(p));
        }
    };

    for (int step = 0; step < 3000; ++step) {
        if (step == 1500) { // an index built over existing instances
            ASSERT_TRUE(object_indexParameter(entries(), "FormattedName"));
        }
        object_t *some = anyInstance();
        switch (pick(8)) {
        case 0:
        case 1:
            object_createInstance(entries(), 0, nullptr);
            break;
        case 2:
        case 3:
            if (some)
                object_parameterSetCharValue(some, names[pick(2)],
                                             values[pick(values.size())].c_str());
            break;
        case 4:
            if (some)
                object_delete(some);
            break;
        case 5:
            object_commit(pick(2) ? entries() : get("Book"));
            break;
        case 6:
            object_rollback(pick(3) || !some ? entries() : some);
            break;
        case 7:
            if (some && pick(2))
                object_commit(some);
            break;
        }
        for (const char *name : names)
            for (const std::string &value : values)
                ASSERT_EQ(found(name, value), walked(name, value))
                    << "step " << step << " " << name << "=" << value;
    }
}

TEST_F(ValueIndex, FollowsLoadsAndTheirUndoing) {
    object_t *kept = addEntry("a");
    ASSERT_TRUE(object_indexParameter(entries(), "UniqueID"));
    std::string path = (std::filesystem::temp_directory_path() / "dm_index_test.json").string();
    // The failed load changes the kept instances' values before it is
    // refused: Entry.1's committed one, and Entry.7's pending one.
    for (bool valid : {true, false}) {
        refusedIds = valid ? std::vector<std::string>{} : std::vector<std::string>{"refused"};
        if (!valid) {
            ASSERT_TRUE(object_parameterSetCharValue(get("Book.Entry.7"), "UniqueID", "pending"));
        }
        FILE *file = fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fprintf(file, R"({"version": 1, "path": "Book", "objects": {"Entry": {"instances": [
            {"index": 1, "key": "a", "parameters": {"UniqueID": "%s"}},
            {"index": 7, "parameters": {"UniqueID": "a"}},
            {"index": 8, "parameters": {"UniqueID": "%s"}}]}}})",
                valid ? "b" : "changed", valid ? "c" : "refused");
        fclose(file);
        EXPECT_EQ(datamodel_load(dm, path.c_str(), 0), valid);
        for (const char *value : {"a", "b", "c", "changed", "pending", "refused"})
            EXPECT_EQ(found("UniqueID", value), walked("UniqueID", value)) << value;
    }
    EXPECT_EQ(found("UniqueID", "b"), Found{kept});
    EXPECT_EQ(found("UniqueID", "pending"), Found{get("Book.Entry.7")});
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".invalid");

    EXPECT_FALSE(object_indexParameter(entries(), "Age"));
    EXPECT_EQ(zeb_error, ZEB_ERROR_TYPE);
    EXPECT_FALSE(object_indexParameter(entries(), "Nickname"));
    EXPECT_EQ(zeb_error, ZEB_ERROR_NOT_FOUND);
    EXPECT_FALSE(object_indexParameter(kept, "UniqueID"));
}

} // namespace
