#include <cstring>

#include "dm_test_support.h"

using namespace dmtest;

namespace {

class Tree : public FileTest {};

TEST_F(Tree, NamesPathsAndLookups) {
    object_t *keyed = object_createInstance(entries(), 0, "alice");
    object_t *plain = object_createInstance(entries(), 0, nullptr);
    object_t *number =
        object_createInstance(object_getObject(keyed, "Number", 0, nullptr), 4, "home");

    EXPECT_STREQ(object_name(keyed, 0), "1");
    EXPECT_STREQ(object_name(keyed, OBJECT_FLAG_KEY), "alice");
    EXPECT_STREQ(object_name(plain, OBJECT_FLAG_KEY), "2");
    EXPECT_STREQ(object_name(entries(), OBJECT_FLAG_KEY), "Entry");
    EXPECT_EQ(pathOf(number), "Book.Entry.1.Number.4");
    EXPECT_EQ(pathOf(number, OBJECT_FLAG_KEY), "Book.Entry.alice.Number.home");

    EXPECT_EQ(get("Book.Entry.1.Number.4"), number);
    EXPECT_EQ(get("Book.Entry.alice.Number.home.", OBJECT_FLAG_KEY), number);
    EXPECT_EQ(object_getObject(get("Book"), "Entry.2", 0, nullptr), plain);
    EXPECT_EQ(object_getObject(entries(), "alice", OBJECT_FLAG_KEY, nullptr), keyed);
    EXPECT_EQ(object_getObject(entries(), "", 0, nullptr), entries());
    EXPECT_TRUE(object_isTemplate(get("Book.Entry.Number")))
        << "a template's own child definitions";

    // Regression, indices beyond uint32 find nothing even with the last index
    // in use: strtoul stops at ULONG_MAX, UINT32_MAX where long is 32 bits (the
    // gateway), so a larger index landed on the last instance there.
    object_t *last = object_createInstance(entries(), UINT32_MAX, nullptr);
    EXPECT_EQ(get("Book.Entry.4294967295"), last);
    for (const char *missing :
         {"Book.Entry.3", "Book.Entry.alice", "Book..Entry", "Nope", "Book.Entry.01",
          "Book.Entry.4294967296", "Book.Entry.18446744073709551615",
          "Book.Entry.18446744073709551616", "Book.Entry.99999999999999999999"}) {
        EXPECT_EQ(get(missing), nullptr) << missing;
        EXPECT_EQ(zeb_error, ZEB_ERROR_NOT_FOUND) << missing;
    }
    EXPECT_EQ(object_getObject(entries(), "1", 0, &zeb_error), nullptr) << "reserved must be null";
}

TEST_F(Tree, IterationFollowsDefinitionAndIndexOrder) {
    object_createInstance(entries(), 3, nullptr);
    object_createInstance(entries(), 1, nullptr);
    object_createInstance(entries(), 0, nullptr);
    std::string order;
    for (object_t *i = object_firstInstance(entries()); i; i = object_nextInstance(i)) {
        order += object_name(i, 0);
    }
    EXPECT_EQ(order, "134");
    EXPECT_EQ(object_instanceCount(entries()), 3u);
    EXPECT_EQ(object_firstChild(get("Book")), entries());
    EXPECT_EQ(object_nextSibling(entries()), nullptr);
    EXPECT_EQ(object_nextSibling(object_firstInstance(entries())), nullptr);
    EXPECT_EQ(zeb_error, ZEB_ERROR_WRONG_OBJECT);

    std::string names;
    for (parameter_t *p = object_firstParameter(get("Book.Entry.3")); p;
         p = object_nextParameter(p)) {
        names += std::string(parameter_name(p)) + " ";
    }
    EXPECT_EQ(names, "UniqueID FormattedName BirthDay Age Secret ");

    function_t *find = object_firstFunction(get("Book"));
    ASSERT_NE(find, nullptr);
    EXPECT_STREQ(function_name(find), "find");
    EXPECT_EQ(function_argumentCount(find), 2u);
    EXPECT_STREQ(function_argumentName(find, 1), "limit");
    EXPECT_EQ(function_argumentName(find, 2), nullptr);
    EXPECT_NE(function_handler(find), nullptr);
    EXPECT_EQ(object_nextFunction(find), nullptr);
}

TEST_F(Tree, InstancesShareTheirTemplateHandlersButNotUserData) {
    object_t *before = object_createInstance(entries(), 0, nullptr);
    int data = 0;
    object_setUserData(entries(), &data);
    parameter_setUserData(object_getParameter(entries(), "Age"), &data);
    parameter_setWriteHandler(object_getParameter(get("Book.Entry.Number"), "Value"),
                              [](parameter_t *) { events.push_back("late handler"); });
    object_t *after =
        object_createInstance(object_getObject(before, "Number", 0, nullptr), 0, nullptr);
    EXPECT_EQ(object_getUserData(before), nullptr);
    EXPECT_EQ(parameter_getUserData(object_getParameter(before, "Age")), nullptr);
    object_parameterSetCharValue(after, "Value", "1");
    events.clear();
    object_commit(entries());
    EXPECT_EQ(events, std::vector<std::string>{"late handler"});
}

/* Below an instance: a template inside a singleton, a template whose
 * definition has child objects, and a plain one. */
const char *const kNested = R"({"objects": [{"name": "Deep", "objects": [
  {"name": "Row", "multi-instance": true, "objects": [
    {"name": "Group", "objects": [{"name": "Tag", "multi-instance": true,
      "parameters": [{"name": "Label", "type": "string", "attributes": ["persistent"]}]}]},
    {"name": "Card", "multi-instance": true, "objects": [
      {"name": "Line", "parameters": [{"name": "Text", "type": "string", "attributes": ["persistent"]}]},
      {"name": "Sub", "multi-instance": true,
       "parameters": [{"name": "V", "type": "string", "attributes": ["persistent"]}]}]},
    {"name": "Plain", "multi-instance": true}]}]}]})";

std::string childNames(const object_t *object) {
    std::string names;
    for (object_t *c = object_firstChild(object); c; c = object_nextSibling(c)) {
        names += std::string(object_name(c, 0)) + (object_isTemplate(c) ? "* " : " ");
    }
    return names;
}

TEST_F(Tree, ObjectsCopiedIntoInstancesAtEveryDepthBehaveAsTheirDefinitions) {
    ASSERT_TRUE(datamodel_loadDefinitionText(dm, kNested, "nested.json", nullptr, nullptr));
    object_t *row = object_createInstance(get("Deep.Row"), 0, "r");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(childNames(row), "Group Card* Plain* ");
    EXPECT_EQ(childNames(get("Deep.Row.1.Card")), "Line Sub* ");
    EXPECT_EQ(childNames(get("Deep.Row.1.Plain")), "");

    object_t *tag = object_createInstance(get("Deep.Row.1.Group.Tag"), 0, "t");
    object_t *card = object_createInstance(get("Deep.Row.1.Card"), 0, nullptr);
    object_t *sub = object_createInstance(get("Deep.Row.r.Card.1.Sub", OBJECT_FLAG_KEY), 7, "s");
    ASSERT_TRUE(tag && card && sub) << zeb_errorMessage();
    EXPECT_EQ(childNames(card), "Line Sub* ");
    EXPECT_TRUE(object_parameterSetCharValue(tag, "Label", "blue"));
    EXPECT_TRUE(object_parameterSetCharValue(get("Deep.Row.1.Card.1.Line"), "Text", "x"));
    EXPECT_TRUE(object_parameterSetCharValue(sub, "V", "v"));
    ASSERT_TRUE(object_commit(get("Deep")));
    EXPECT_EQ(pathOf(sub, OBJECT_FLAG_KEY), "Deep.Row.r.Card.1.Sub.s");
    EXPECT_EQ(get("Deep.Row.r.Group.Tag.t", OBJECT_FLAG_KEY), tag);
    EXPECT_EQ(object_state(get("Deep.Row.1.Card.1.Line")), object_state_ready);

    ASSERT_TRUE(datamodel_save(get("Deep"), -1, path.c_str(), 0)) << zeb_errorMessage();
    const std::string saved = slurp(path);
    datamodel_t *other = datamodel_create();
    ASSERT_TRUE(datamodel_loadDefinitionText(other, kNested, "nested.json", nullptr, nullptr));
    EXPECT_TRUE(datamodel_load(other, path.c_str(), 0)) << zeb_errorMessage();
    EXPECT_EQ(valueOf(datamodel_getObject(other, "Deep.Row.r.Card.1.Sub.s", OBJECT_FLAG_KEY), "V"),
              "v");
    ASSERT_TRUE(datamodel_save(datamodel_getObject(other, "Deep", 0), -1, path.c_str(), 0));
    EXPECT_EQ(slurp(path), saved);
    datamodel_destroy(other);

    ASSERT_TRUE(object_delete(row));
    ASSERT_TRUE(object_commit(get("Deep")));
    EXPECT_EQ(object_instanceCount(get("Deep.Row")), 0u);
    EXPECT_EQ(get("Deep.Row.r", OBJECT_FLAG_KEY), nullptr);
}

TEST_F(Tree, LowerCaseValuesLowerTheLeadingCapitalsOnly) {
    datamodel_t *other = datamodel_create();
    ASSERT_TRUE(datamodel_loadDefinitionText(other, R"({"objects": [{"name": "C", "parameters": [
        {"name": "UniqueID", "type": "string"}, {"name": "URL", "type": "string"},
        {"name": "LastRevision", "type": "string"}, {"name": "BirthDay", "type": "string"},
        {"name": "lower", "type": "string"}, {"name": "X1Y", "type": "bool", "default": "true"}]}]})",
                                             "c.json", nullptr, nullptr));
    variant_map_t values;
    variant_map_initialize(&values);
    EXPECT_TRUE(object_getLowerCaseValues(datamodel_firstObject(other), &values));
    std::string keys;
    for (variant_map_iterator_t *it = variant_map_first(&values); it;
         it = variant_map_iterator_next(it)) {
        keys += std::string(variant_map_iterator_key(it)) + " ";
    }
    EXPECT_EQ(keys, "uniqueID url lastRevision birthDay lower x1Y ");
    EXPECT_EQ(variant_type(variant_map_iterator_data(variant_map_find(&values, "x1Y"))),
              variant_type_bool);
    variant_map_cleanup(&values);
    datamodel_destroy(other);
}

TEST_F(Tree, NullHandlesAndErrorTexts) {
    EXPECT_FALSE(object_commit(nullptr));
    EXPECT_EQ(zeb_error, ZEB_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(object_pathChar(nullptr, 0), nullptr);
    EXPECT_FALSE(parameter_setValue(nullptr, nullptr));
    EXPECT_EQ(datamodel_getObject(nullptr, "Book", 0), nullptr);
    EXPECT_FALSE(object_delete(get("Book")));
    EXPECT_EQ(zeb_error, ZEB_ERROR_WRONG_OBJECT);
    EXPECT_STREQ(error_string(0xdead), "unknown error");
    EXPECT_NE(strstr(zeb_errorMessage(), "not an instance"), nullptr) << zeb_errorMessage();
}

} // namespace
