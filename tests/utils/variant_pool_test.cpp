// Pieces made while pooling is on behave as any other: taken, moved, renamed,
// copied for the caller, released in any order and on any thread. The
// sanitizers judge the memory; the answers must be those of unpooled pieces.
#include "variant_test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Maps and lists spelled out, texts by their text form.
std::string dump(const variant_t *v) {
    std::string out;
    if (const variant_map_t *map = variant_da_map(v)) {
        for (auto *it = variant_map_first(map); it; it = variant_map_iterator_next(it))
            out += std::string(variant_map_iterator_key(it)) + ":" +
                   dump(variant_map_iterator_data(it)) + ",";
        return "{" + out + "}";
    }
    if (const variant_list_t *list = variant_da_list(v)) {
        for (auto *it = variant_list_first(list); it; it = variant_list_iterator_next(it))
            out += dump(variant_list_iterator_data(it)) + ",";
        return "[" + out + "]";
    }
    return textOf(v);
}

variant_t *valueOf(variant_t *map, const char *key) {
    return variant_map_iterator_data(variant_map_find(variant_da_map(map), key));
}

// {name: Alice, numbers: [{name: +331, preferred: true}, {name: +332, ...}]}
void fill(variant_t *contact) {
    variant_initialize(contact, variant_type_map);
    variant_map_t *map = variant_da_map(contact);
    variant_map_addChar(map, "name", "Alice");
    variant_list_t numbers;
    variant_list_initialize(&numbers);
    for (const char *number : {"+331", "+332"}) {
        variant_map_t element;
        variant_map_initialize(&element);
        variant_map_addChar(&element, "name", number);
        variant_map_addBool(&element, "preferred", true);
        variant_list_append(&numbers, variant_list_iterator_createMapMove(&element));
        variant_map_cleanup(&element);
    }
    variant_map_addListMove(map, "numbers", &numbers);
    variant_list_cleanup(&numbers);
}

struct Case {
    const char *name;
    // Gets a filled map to use and release; answers what it saw.
    std::string (*run)(Variant contact);
    const char *expected;
};

const Case kCases[] = {
    {"an entry taken outlives its map",
     [](Variant contact) {
         variant_map_iterator_t *it =
             variant_map_iterator_take(variant_map_find(variant_da_map(contact.get()), "numbers"));
         variant_cleanup(contact.get());
         std::string seen = variant_map_iterator_key(it) + dump(variant_map_iterator_data(it));
         variant_map_iterator_destroy(it);
         return seen;
     },
     "numbers[{name:+331,preferred:true,},{name:+332,preferred:true,},]"},
    {"a list moved out outlives its map",
     [](Variant contact) {
         Variant numbers;
         variant_move(numbers.get(), valueOf(contact.get(), "numbers"));
         variant_cleanup(contact.get());
         return dump(numbers.get()) + dump(contact.get());
     },
     "[{name:+331,preferred:true,},{name:+332,preferred:true,},]<none>"},
    {"renamed keys and replaced values, one too long for a block",
     [](Variant contact) {
         variant_map_iterator_rename(variant_map_find(variant_da_map(contact.get()), "name"),
                                     "formattedName");
         variant_setChar(valueOf(contact.get(), "formattedName"), std::string(3000, 'x').c_str());
         variant_setInt32(valueOf(contact.get(), "numbers"), 7);
         variant_map_addChar(variant_da_map(contact.get()), "name", "Bob");
         std::string seen = dump(contact.get());
         return std::to_string(seen.size()) + seen.substr(seen.size() - 20);
     },
     "3036numbers:7,name:Bob,}"},
    {"copies for the caller are freed with free()",
     [](Variant contact) {
         char *chars = variant_char(valueOf(contact.get(), "name"));
         string_t *text = variant_string(valueOf(contact.get(), "name"));
         variant_list_t *list = variant_list(valueOf(contact.get(), "numbers"));
         variant_map_t *map = variant_map(contact.get());
         std::string seen = std::string(chars) + string_buffer(text) +
                            std::to_string(variant_list_size(list) + variant_map_size(map));
         free(chars);
         string_cleanup(text);
         free(text);
         variant_list_cleanup(list);
         free(list);
         variant_map_cleanup(map);
         free(map);
         return seen;
     },
     "AliceAlice4"},
    {"pieces released on two threads at once",
     [](Variant contact) {
         variant_map_iterator_t *it =
             variant_map_iterator_take(variant_map_find(variant_da_map(contact.get()), "numbers"));
         std::thread other([it] { variant_map_iterator_destroy(it); });
         variant_cleanup(contact.get());
         other.join();
         return dump(contact.get());
     },
     "<none>"},
};

TEST(VariantPool, PooledPiecesBehaveAsAnyOther) {
    for (const Case &c : kCases) {
        for (bool pooled : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (pooled ? ", pooled" : ", not pooled"));
            if (pooled)
                variant_pool_begin();
            Variant contact;
            fill(contact.get());
            EXPECT_EQ(c.run(std::move(contact)), c.expected);
            if (pooled)
                variant_pool_end();
        }
    }
}

// A value built on a thread outlives the thread; ends without begins do not
// disturb the pairs that follow.
TEST(VariantPool, PiecesOutliveTheThreadThatMadeThem) {
    Variant contact;
    std::thread maker([&contact] {
        variant_pool_end();
        variant_pool_begin();
        fill(contact.get());
        variant_pool_end();
    });
    maker.join();
    EXPECT_EQ(dump(contact.get()),
              "{name:Alice,numbers:[{name:+331,preferred:true,},{name:+332,preferred:true,},],}");
}

} // namespace
