// Contact key tables, in-place remapping of variant trees and the tree printer.
#include <gtest/gtest.h>

#include <cstdlib>

#include "phonebook_test_support.hpp"
#include "variant_path_remap.h"

namespace {

using zebtest::json;
using zebtest::Var;

class Remap : public ::testing::Test {
  protected:
    zebtest::TestHost traces{500}; // records every trace line

    static bool remap(Var &tree, bool toObject) {
        return remap_paths(
            variant_da_map(tree.get()), toObject ? CONTACT_TYPE_PATHS : CONTACT_OBJECT_PATHS,
            toObject ? CONTACT_OBJECT_PATHS : CONTACT_TYPE_PATHS, CONTACT_TYPE_PATHS_SIZE, 0, 0);
    }
};

TEST_F(Remap, EveryFieldBothWaysInPlace) {
    const json pub = json::parse(R"({"key": "3", "uniqueID": "u", "lastRevision": "r", "name": "n",
      "formattedName": "f", "birthDay": "b", "title": "t", "organisation": "o", "url": "u",
      "ringtone": "r", "tags": "t", "other": 1,
      "addresses": [{"key": "1", "name": "a", "type": "t", "preferred": true}],
      "labels": [{"name": "l", "type": "t", "preferred": false}],
      "telephoneNumbers": [{"name": "1", "type": "t", "preferred": true}, {"key": "2", "name": "2"}],
      "emails": [{"name": "e", "type": "t", "preferred": false}],
      "photos": [{"name": "p", "type": "t", "preferred": false}]})");
    const json object =
        json::parse(R"({"key": "3", "UniqueID": "u", "LastRevision": "r", "Name": "n",
      "FormattedName": "f", "BirthDay": "b", "Title": "t", "Organisation": "o", "URL": "u",
      "Ringtone": "r", "Tags": "t", "other": 1,
      "Address": [{"key": "1", "Address": "a", "Type": "t", "Preferred": true}],
      "Label": [{"Address": "l", "Type": "t", "Preferred": false}],
      "TelephoneNumber": [{"Number": "1", "Type": "t", "Preferred": true}, {"key": "2", "Number": "2"}],
      "Email": [{"Address": "e", "Type": "t", "Preferred": false}],
      "Photo": [{"URI": "p", "Type": "t", "Preferred": false}]})");
    ASSERT_EQ(CONTACT_OBJECT_PATHS_SIZE, 31u);
    ASSERT_EQ(CONTACT_TYPE_PATHS_SIZE, 31u);
    Var tree(pub);
    EXPECT_TRUE(remap(tree, true));
    EXPECT_EQ(tree.toJson(), object); // ordered: every entry keeps its place
    EXPECT_TRUE(remap(tree, false));
    EXPECT_EQ(tree.toJson(), pub);
}

TEST_F(Remap, MissingKeysAreTracedWithoutAZone) {
    Var tree(json::parse(R"({"uniqueID": "u", "telephoneNumbers": [{"name": "1"}]})"));
    traces.clearRecords();
    EXPECT_TRUE(remap(tree, true));
    EXPECT_EQ(traces.countTraced("was not found, ignoring"), 13u + 2u);
    EXPECT_TRUE(traces.traced("old_key=lastRevision was not found, ignoring"));
    EXPECT_TRUE(traces.traced("remapping variant tree telephoneNumbers at depth 1"));
    EXPECT_TRUE(
        traces.traced("remapped old_key=telephoneNumbers.name to new_key=TelephoneNumber.Number"));
    for (const auto &t : traces.traces)
        EXPECT_EQ(t.zone, "") << t.line;
}

TEST_F(Remap, ShapesUnderPropertyKeys) {
    struct Case {
        const char *in, *out;
        bool ok;
    } cases[] = {
        {R"({"emails": []})", R"({"Email": []})", true},
        {R"({"addresses": {"name": "S", "key": "4"}})",
         R"({"Address": {"Address": "S", "key": "4"}})", true},
        {R"({"addresses": "S"})", R"({"Address": "S"})", true},
        {R"({"emails": [{"name": "a"}, "x"], "uniqueID": "u"})",
         R"({"Email": [{"Address": "a"}, "x"], "UniqueID": "u"})", false},
    };
    for (const Case &c : cases) {
        Var tree(json::parse(c.in));
        EXPECT_EQ(remap(tree, true), c.ok) << c.in;
        EXPECT_EQ(tree.toJson(), json::parse(c.out)) << c.in;
        // The way back restores the keys, and fails on the same element.
        EXPECT_EQ(remap(tree, false), c.ok) << c.in;
        EXPECT_EQ(tree.toJson(), json::parse(c.in));
    }
    EXPECT_TRUE(traces.traced("Encountered a variant of type 1; old_key=addresses"));

    Var tree(json::parse(R"({"uniqueID": "u"})"));
    EXPECT_TRUE(
        remap_paths(variant_da_map(tree.get()), CONTACT_TYPE_PATHS, CONTACT_OBJECT_PATHS, 0, 0, 0));
    EXPECT_EQ(tree.toJson(), json::parse(R"({"uniqueID": "u"})"));
}

TEST_F(Remap, TablesOfUnequalDepthAbort) {
    const char *const one[] = {"a"};
    const char *const two[] = {"a", "b"};
    const variant_path_t from[] = {{1, one}}, to[] = {{2, two}};
    Var tree(json::parse(R"({"a": 1})"));
    EXPECT_DEATH(remap_paths(variant_da_map(tree.get()), from, to, 1, 0, 0),
                 "base_path.depth == new_path.depth");
}

TEST_F(Remap, Helpers) {
    const variant_path_t &number = CONTACT_OBJECT_PATHS[21];
    for (uint32_t n : {2u, 9u}) {
        char *text = pathToString(&number, n);
        EXPECT_STREQ(text, "TelephoneNumber.Number");
        free(text);
    }
    EXPECT_EQ(pathToString(&number, 0), nullptr);
    EXPECT_TRUE(path_compare(&number, &CONTACT_OBJECT_PATHS[11], 1));
    EXPECT_FALSE(path_compare(&number, &CONTACT_OBJECT_PATHS[9], 1));

    Var tree(json::parse(R"({"a": 1, "b": 2})"));
    variant_map_t *map = variant_da_map(tree.get());
    EXPECT_TRUE(variant_map_iterator_setKey(variant_map_find(map, "a"), "x"));
    zeb_error = ZEB_ERROR_NONE;
    EXPECT_FALSE(variant_map_iterator_setKey(variant_map_find(map, "b"), nullptr));
    EXPECT_EQ(zeb_error, 0x10001u);
    EXPECT_EQ(tree.toJson(), json::parse(R"({"x": 1, "b": 2})"));
}

TEST_F(Remap, PrinterWalksTheWholeTree) {
    std::string longKey(300, 'k');
    json value = json::parse(
        R"({"telephoneNumbers": [{"name": "1", "preferred": true}, "x", {"name": "2"}]})");
    value[longKey] = {{"n", 5}};
    Var tree(value);
    traces.clearRecords();
    recursiveVariantMapPrint(variant_da_map(tree.get()), "phonebook");
    std::vector<std::string> lines;
    for (const auto &t : traces.traces)
        if (t.level < 500)
            lines.push_back(pbtest::message(t));
    const std::vector<std::string> expected = {
        "printing a map of size 2",
        "Encountered a new variant_type_array; old_key",
        "!!!!! Decending into phonebook.telephoneNumbers",
        "printing a map of size 2",
        "!!!!! phonebook.telephoneNumbers.name = 1; type=1",
        "variant type: phonebook.telephoneNumbers.preferred = 10",
        "!!!!! phonebook.telephoneNumbers.preferred = true; type=10",
        "variant_list_iterator_t element is not of type variant_type_map",
        "!!!!! Decending into phonebook.telephoneNumbers",
        "printing a map of size 1",
        "!!!!! phonebook.telephoneNumbers.name = 2; type=1",
        "!!!!! Decending into phonebook." + longKey,
        "printing a map of size 1",
        "variant type: phonebook." + longKey + ".n = 5",
        "!!!!! phonebook." + longKey + ".n = 5; type=5",
    };
    EXPECT_EQ(lines, expected);
}

} // namespace
