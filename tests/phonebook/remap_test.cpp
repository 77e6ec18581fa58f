// The contact map against the walk of the entry and the remapping.
#include "contact_map.h"
#include "phonebook_test_support.hpp"
#include "variant_path_remap.h"

namespace {

using zebtest::json;
using zebtest::Var;

// Built straight under the public keys, against the walk of the entry then the renaming; with
// parameters (one with a read handler) and a property object the key tables do not know.
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
        entry["objects"].push_back(json::parse(R"({"name": "Note", "multi-instance": true,
          "parameters": [{"name": "Text", "type": "string"}, {"name": "Type", "type": "string"}]})"));
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
};

// Also in one answer of all of them, whose maps share blocks, after every other one is dropped.
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

} // namespace
