// Pieces made while pooling is on outlive the pool and its thread. The
// sanitizers judge the memory.
#include "variant_test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

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

// A value built on a thread outlives the thread, and its pieces may be
// released on two threads at once; ends without begins do not disturb the
// pairs that follow.
TEST(VariantPool, PiecesOutliveTheThreadThatMadeThem) {
    Variant contact;
    std::thread maker([&contact] {
        variant_pool_end();
        variant_pool_begin();
        fill(contact.get());
        variant_pool_end();
    });
    maker.join();
    Variant unpooled;
    fill(unpooled.get());
    EXPECT_TRUE(variant_equals(contact.get(), unpooled.get()));
    variant_map_iterator_t *numbers =
        variant_map_iterator_take(variant_map_find(variant_da_map(contact.get()), "numbers"));
    std::thread releaser([numbers] { variant_map_iterator_destroy(numbers); });
    variant_cleanup(contact.get());
    releaser.join();
}

} // namespace
