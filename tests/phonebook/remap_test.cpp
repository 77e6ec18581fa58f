// Contact key tables, in-place remapping of variant trees, the tree printer,
// and the contact map of an entry against the reference conversion.
#include <cstdlib>

#include "allocation_count.hpp"
#include "contact_map.h"
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
    Var tree(pub);
    EXPECT_TRUE(remap(tree, true));
    EXPECT_EQ(tree.toJson(), object); // ordered: every entry keeps its place
    EXPECT_TRUE(remap(tree, false));
    EXPECT_EQ(tree.toJson(), pub);
}

// Missing keys are skipped; a list element that is no map fails the remap,
// the way back restores the keys and fails on the same element; every line
// is traced without a zone.
TEST_F(Remap, ShapesUnderPropertyKeys) {
    const std::tuple<const char *, const char *, bool> cases[] = {
        {R"({"emails": []})", R"({"Email": []})", true},
        {R"({"uniqueID": "u", "telephoneNumbers": [{"name": "1"}]})",
         R"({"UniqueID": "u", "TelephoneNumber": [{"Number": "1"}]})", true},
        {R"({"addresses": {"name": "S", "key": "4"}})",
         R"({"Address": {"Address": "S", "key": "4"}})", true},
        {R"({"addresses": "S"})", R"({"Address": "S"})", true},
        {R"({"emails": [{"name": "a"}, "x"], "uniqueID": "u"})",
         R"({"Email": [{"Address": "a"}, "x"], "UniqueID": "u"})", false}};
    for (const auto &[in, out, ok] : cases) {
        Var tree(json::parse(in));
        EXPECT_EQ(remap(tree, true), ok) << in;
        EXPECT_EQ(tree.toJson(), json::parse(out)) << in;
        EXPECT_EQ(remap(tree, false), ok) << in;
        EXPECT_EQ(tree.toJson(), json::parse(in));
    }
    EXPECT_TRUE(traces.traced("Encountered a variant of type 1; old_key=addresses"));
    EXPECT_TRUE(traces.traced("old_key=lastRevision was not found, ignoring"));
    EXPECT_TRUE(traces.traced("remapping variant tree telephoneNumbers at depth 1"));
    EXPECT_TRUE(
        traces.traced("remapped old_key=telephoneNumbers.name to new_key=TelephoneNumber.Number"));
    for (const auto &t : traces.traces)
        EXPECT_EQ(t.zone, "") << t.line;

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

// The contact map that answers build straight under the public keys, against
// the reference conversion (the walk of the entry, then the renaming), with
// parameters (one with a read handler) and a property object that the key
// tables do not know.
class ContactMap : public pbtest::PluginTest {
  protected:
    static constexpr const char *kLongName =
        "XMLNoteNamedLongerThanWhatTheConversionKeepsOnItsStack";
    pbtest::Random random{24};

    void SetUp() override {
        PluginTest::SetUp();
        json def = pbtest::definition();
        json &entry = def["objects"][0]["objects"][0];
        for (const char *name : {"XMLNote", kLongName})
            entry["parameters"].push_back({{"name", name}, {"type", "string"}});
        // Read as a client reads it: a number, not the text stored.
        entry["parameters"].back()["read-handler"] = "uniqueID_read_handler";
        entry["objects"].push_back(
            {{"name", "Note"},
             {"multi-instance", true},
             {"parameters", json::array({{{"name", "Text"}, {"type", "string"}},
                                         {{"name", "Type"}, {"type", "string"}}})}});
        useDefinition(def);
        start();
    }
    std::string oddText() {
        static const std::vector<std::string> odd = {
            "",          "Ärger Ørsted",        "\"quoted\" \\ back", "ÉCOLE", "日本語",
            "tab\there", std::string(300, 'x'), "+33 (0)1-40.00",     "ABC"};
        return random.chance(50) ? random.pick(odd) : random.text("aAzZ09 .@", 12);
    }
    // Elements under the public keys, or the data model's names for "Note".
    json properties(bool note) {
        json list = json::array();
        for (int n = random.below(4); n > 0; --n) {
            json element = {{note ? "Text" : "name", oddText()}};
            if (random.chance(70))
                element[note ? "Type" : "type"] = oddText();
            if (random.chance(70) && !note)
                element["preferred"] = random.chance(50);
            if (random.chance(20))
                element["key"] = "k" + std::to_string(n) + random.text("xy", 3);
            list.push_back(element);
        }
        return list;
    }
    json randomContact(int id) {
        json contact = {{"uniqueID", "u" + std::to_string(id)},
                        {"formattedName", random.chance(90) ? "f" + std::to_string(id) : ""}};
        for (const char *text :
             {"name", "title", "organisation", "url", "ringtone", "tags", "XMLNote", kLongName})
            if (random.chance(70))
                contact[text] = oddText();
        if (random.chance(70))
            contact["birthDay"] = "19" + std::to_string(10 + random.below(90)) + "-07-14T00:00:00Z";
        for (const char *list : {"addresses", "labels", "telephoneNumbers", "emails", "photos"})
            contact[list] = properties(false);
        contact["Note"] = properties(true);
        return contact;
    }
    std::vector<object_t *> entries() const {
        std::vector<object_t *> all;
        for (object_t *e = object_firstInstance(object("Phonebook.Entry")); e;
             e = object_nextInstance(e))
            all.push_back(e);
        return all;
    }
};

// Equal in keys, order, types and values on random entries holding every
// field, empty and odd texts, several properties and keys given by the
// client; also in one answer of all of them, whose maps share blocks, after
// every other one is dropped. Seeded: a failure names its seed.
TEST_F(ContactMap, EqualsTheReferenceConversionOnRandomEntries) {
    SCOPED_TRACE("seed 24");
    for (int id = 0; id < 300; ++id) {
        json contact = randomContact(id);
        if (random.chance(80)) { // through the plug-in, as a client adds one
            ASSERT_EQ(call("addContact", {{"contact", contact}}), true) << contact.dump();
        } else { // straight into the data model, then changed: a stamped revision
            std::string path = addEntry({{"UniqueID", contact["uniqueID"]}});
            host.set(path, {{"Title", oddText()}});
        }
    }
    auto referenceOf = [](object_t *entry) {
        Var reference(json::object());
        zeb_obj_to_variant_map_t(entry, variant_da_map(reference.get()), nullptr);
        remap_paths(variant_da_map(reference.get()), CONTACT_OBJECT_PATHS, CONTACT_TYPE_PATHS,
                    CONTACT_TYPE_PATHS_SIZE, 0, 0);
        return reference;
    };
    std::vector<object_t *> all = entries();
    EXPECT_GE(all.size(), 250u);
    Var answer(json::array());
    variant_list_t *list = variant_da_list(answer.get());
    for (object_t *entry : all) {
        Var reference = referenceOf(entry), fast(json::object());
        ASSERT_TRUE(contact_map_add(entry, variant_da_map(fast.get())));
        ASSERT_TRUE(variant_equals(reference.get(), fast.get()))
            << "reference " << reference.toJson().dump() << "\nfast      " << fast.toJson().dump();
        contact_map_append(list, entry);
    }
    EXPECT_FALSE(contact_map_add(nullptr, nullptr));
    variant_list_iterator_t *element = variant_list_first(list);
    for (size_t i = 0; element != nullptr; ++i) {
        variant_list_iterator_t *next = variant_list_iterator_next(element);
        if (i % 2 == 1)
            variant_list_iterator_destroy(element);
        element = next;
    }
    EXPECT_EQ(variant_list_size(list), (all.size() + 1) / 2);
    element = variant_list_first(list);
    for (size_t i = 0; i < all.size(); i += 2, element = variant_list_iterator_next(element))
        ASSERT_TRUE(variant_equals(referenceOf(all[i]).get(), variant_list_iterator_data(element)));
}

// An answer of many contacts takes a few shared blocks, not an allocation
// per text, element and entry of each contact map.
using ContactMapAnswer = pbtest::RandomChanges; // the shipped definition, started

TEST_F(ContactMapAnswer, TakesFewerAllocationsThanContacts) {
    if (!zebtest::AllocationCount::available())
        GTEST_SKIP() << "allocations are counted under AddressSanitizer only";
    const size_t contacts = 60;
    for (size_t id = 0; id < contacts; ++id) {
        std::string n = std::to_string(id);
        ASSERT_EQ(call("addContact",
                       {{"contact",
                         {{"uniqueID", "u" + n},
                          {"formattedName", "contact " + n},
                          {"organisation", "Example"},
                          {"telephoneNumbers",
                           {{{"name", "+3314" + n}, {"type", "work"}}, {{"name", "06" + n}}}},
                          {"emails", {{{"name", "c" + n + "@example.com"}}}},
                          {"addresses", {{{"name", "1 rue de la Paix"}}}}}}}),
                  true);
    }
    Var answer(json::array());
    object_t *first = object_firstInstance(object("Phonebook.Entry"));
    zebtest::AllocationCount count;
    for (object_t *entry = first; entry; entry = object_nextInstance(entry))
        contact_map_append(variant_da_list(answer.get()), entry);
    EXPECT_LT(count.count(), contacts / 2);
    EXPECT_EQ(variant_list_size(variant_da_list(answer.get())), contacts);
}

} // namespace
