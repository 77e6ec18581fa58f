// A seeded random walk, checked against a scan of the tree after every step.
#include <cstdlib>
#include <iterator>
#include <map>
#include <random>
#include <set>

#include "dm_test_support.h"

using namespace dmtest;

namespace {

using Found = std::vector<object_t *>;

const char *const kValues[] = {"", "a", "b", "c", "d"};
const char *const kKeys[] = {nullptr, nullptr, nullptr, "k1", "k2", "7", "3"};
const char *const kIndexed[] = {"UniqueID", "FormattedName"};

// The tree as text; deleted instances only with the states.
std::string dump(const object_t *object, bool states) {
    if (!states && object_state(object) == object_state_deleted)
        return "";
    std::string out = pathOf(object, OBJECT_FLAG_KEY) + " #" +
                      std::to_string(object_index(object)) +
                      (states ? " s" + std::to_string(object_state(object)) : "") + "\n";
    for (parameter_t *p = object_isTemplate(object) ? nullptr : object_firstParameter(object); p;
         p = object_nextParameter(p))
        if (!(parameter_attributes(p) & PARAMETER_ATTR_VOLATILE))
            out += std::string(" ") + parameter_name(p) + "=" + text(parameter_getValue(p)) + "\n";
    for (object_t *child = object_firstChild(object); child; child = object_nextSibling(child)) {
        out += dump(child, states);
        if (object_isTemplate(child))
            for (object_t *i = object_firstInstance(child); i; i = object_nextInstance(i))
                out += dump(i, states);
    }
    return out;
}

class RandomWalk : public FileTest {
  protected:
    size_t pick(size_t n) { return n ? static_cast<size_t>(random() % n) : 0; }
    std::string tree() { return dump(get("Book"), true); }

    std::vector<object_t *> templates() {
        std::vector<object_t *> all{entries()};
        for (object_t *e = object_firstInstance(entries()); e; e = object_nextInstance(e))
            all.push_back(object_getObject(e, "Number", 0, nullptr));
        return all;
    }
    Found instancesOf(object_t *templ) {
        Found all;
        for (object_t *o = object_firstInstance(templ); o; o = object_nextInstance(o))
            all.push_back(o);
        return all;
    }
    object_t *anyInstance() {
        std::vector<object_t *> from = templates();
        Found all = instancesOf(from[pick(from.size())]);
        return all.empty() ? nullptr : all[pick(all.size())];
    }

    void checkLookups() {
        for (object_t *templ : templates()) {
            Found scan = instancesOf(templ);
            ASSERT_EQ(object_instanceCount(templ), scan.size());
            std::set<std::string> keys{"k1", "k2", "7", "3", "0"};
            for (size_t i = 0; i < scan.size(); ++i) {
                ASSERT_TRUE(i == 0 || object_index(scan[i - 1]) < object_index(scan[i]))
                    << "instances in index order";
                keys.insert(object_name(scan[i], OBJECT_FLAG_KEY));
                const std::string at = pathOf(scan[i]);
                ASSERT_EQ(get(at.c_str()), scan[i]) << at;
            }
            const uint32_t last = scan.empty() ? 0 : object_index(scan.back());
            for (uint32_t index = 0; index <= last + 1; ++index) {
                object_t *walked = nullptr;
                for (object_t *o : scan)
                    walked = object_index(o) == index ? o : walked;
                ASSERT_EQ(object_getObject(templ, std::to_string(index).c_str(), 0, nullptr),
                          walked)
                    << pathOf(templ) << " index " << index;
            }
            for (const std::string &key : keys) {
                object_t *walked = nullptr;
                for (object_t *o : scan)
                    walked = !walked && key == object_name(o, OBJECT_FLAG_KEY) ? o : walked;
                ASSERT_EQ(object_getObject(templ, key.c_str(), OBJECT_FLAG_KEY, nullptr), walked)
                    << pathOf(templ) << " key " << key;
            }
        }
        Found scan = instancesOf(entries());
        for (const char *name : kIndexed)
            for (const char *value : kValues) {
                Found found, walked;
                for (object_t *o = object_findInstance(entries(), name, value); o;
                     o = object_findNextInstance(o, name, value))
                    found.push_back(o);
                for (object_t *o : scan)
                    if (*value && valueOf(o, name) == value)
                        walked.push_back(o);
                ASSERT_EQ(found, walked) << name << "=" << value;
            }
    }

    // A new instance gets an index above every one its template handed out.
    void create() {
        std::vector<object_t *> from = templates();
        object_t *templ = from[pick(from.size())];
        const char *key = kKeys[pick(std::size(kKeys))];
        const int64_t index = pick(3) ? 0 : static_cast<int64_t>(pick(9));
        const std::string before = tree();
        object_t *made = object_createInstance(templ, index, key);
        if (!made) {
            ASSERT_EQ(tree(), before) << "a refused creation changes nothing";
            return;
        }
        std::set<uint32_t> &given = handedOut[pathOf(templ)];
        ASSERT_TRUE(index > 0 || given.empty() || object_index(made) > *given.rbegin())
            << pathOf(made) << " takes an index handed out before";
        given.insert(object_index(made));
        handedOut.erase(pathOf(made) + ".Number"); // a new entry's own template
    }

    void set() {
        object_t *some = anyInstance();
        if (!some)
            return;
        const bool entry = object_parent(some) == entries();
        const char *name = entry ? kIndexed[pick(2)] : "Value";
        const std::string value = pick(8) ? kValues[pick(std::size(kValues))] : "refused";
        const std::string before = tree();
        if (!object_parameterSetCharValue(some, name, value.c_str())) {
            ASSERT_EQ(tree(), before) << "a refused value changes nothing";
        }
    }

    // A fresh data model loads the save back; a copy spoiled at its last
    // UniqueID fails to load into the one in use.
    void saveAndLoad() {
        const std::string again = dir + "/again.json";
        ASSERT_TRUE(datamodel_save(get("Book"), -1, path.c_str(), 0)) << zeb_errorMessage();
        const std::string saved = slurp(path);
        datamodel_t *other = datamodel_create();
        ASSERT_TRUE(
            datamodel_loadDefinitionText(other, kDefinition, "book.json", nullptr, nullptr));
        EXPECT_TRUE(datamodel_load(other, path.c_str(), 0)) << zeb_errorMessage();
        EXPECT_EQ(dump(datamodel_getObject(other, "Book", 0), false), dump(get("Book"), false));
        EXPECT_TRUE(datamodel_save(datamodel_getObject(other, "Book", 0), -1, again.c_str(), 0));
        EXPECT_EQ(slurp(again), saved);
        datamodel_destroy(other);

        const size_t at = saved.rfind("\"UniqueID\":\"");
        if (at == std::string::npos)
            return;
        std::string spoiled = saved;
        spoiled.insert(at + 12, "!");
        const size_t end = spoiled.find('"', at + 12);
        refusedIds = {spoiled.substr(at + 12, end - at - 12)};
        spill(dir + "/spoiled.json", spoiled);
        const std::string before = tree();
        EXPECT_FALSE(datamodel_load(dm, (dir + "/spoiled.json").c_str(), 0));
        EXPECT_EQ(tree(), before) << "a failed load leaves the tree as it was";
        EXPECT_EQ(slurp(dir + "/spoiled.json.invalid"), spoiled);
        refusedIds = {"refused"};
    }

    std::mt19937 random{20261208};
    std::map<std::string, std::set<uint32_t>> handedOut;
};

TEST_F(RandomWalk, LookupsRollbacksAndFilesAgreeWithAScanOfTheTree) {
    refusedIds = {"refused"};
    ASSERT_TRUE(object_indexParameter(entries(), "UniqueID"));
    EXPECT_FALSE(object_indexParameter(entries(), "Age"));
    EXPECT_EQ(zeb_error, ZEB_ERROR_TYPE);
    EXPECT_FALSE(object_indexParameter(entries(), "Nickname"));
    EXPECT_EQ(zeb_error, ZEB_ERROR_NOT_FOUND);
    // A write handler that changes a value and commits from inside a commit.
    bool meddle = false;
    onWrite = [&](parameter_t *p) {
        if (meddle && pick(4) == 0 && object_state(parameter_owner(p)) != object_state_deleted) {
            object_parameterSetCharValue(parameter_owner(p), "FormattedName",
                                         kValues[pick(std::size(kValues))]);
            object_commit(parameter_owner(p));
        }
    };
    std::string committed = tree();
    bool rollingBack = false; // this transaction ends in a rollback: no partial commits
    for (int step = 0; step < 2500 && !HasFailure(); ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        events.clear();
        if (step == 1200) { // an index built over existing instances
            ASSERT_TRUE(object_indexParameter(entries(), "FormattedName"));
        }
        const size_t op = pick(20);
        if (op < 5) {
            create();
        } else if (op < 11) {
            set();
        } else if (op < 13) {
            if (object_t *some = anyInstance())
                object_delete(some);
        } else if (op < 15 && !rollingBack) {
            meddle = true;
            object_t *some = anyInstance();
            object_commit(some && pick(2) ? some : entries());
            meddle = false;
        } else if (op < 16) {
            if (object_t *some = anyInstance())
                object_rollback(some);
        } else if (op < 18) {
            if (rollingBack) {
                ASSERT_TRUE(object_rollback(get("Book")));
                ASSERT_EQ(tree(), committed) << "a rollback restores the committed tree";
            } else {
                ASSERT_TRUE(object_commit(get("Book")));
            }
            committed = tree();
            rollingBack = pick(2) == 0;
        } else if (op < 19) {
            saveAndLoad();
        }
        ASSERT_NO_FATAL_FAILURE(checkLookups());
    }
}

} // namespace
