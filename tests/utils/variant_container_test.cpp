#include "variant_test_support.h"

#include <gtest/gtest.h>

namespace {

struct Map {
    variant_map_t m;
    Map() { variant_map_initialize(&m); }
    ~Map() { variant_map_cleanup(&m); }
};

struct List {
    variant_list_t l;
    List() { variant_list_initialize(&l); }
    ~List() { variant_list_cleanup(&l); }
};

// "key=value,..." in map order; the backward links and the size must agree.
std::string entries(const variant_map_t *map) {
    std::string forward, keys, backward;
    size_t count = 0;
    for (auto *it = variant_map_first(map); it; it = variant_map_iterator_next(it), count++) {
        forward += std::string(count ? "," : "") + variant_map_iterator_key(it) + "=" +
                   textOf(variant_map_iterator_data(it));
        keys += variant_map_iterator_key(it);
    }
    for (auto *it = variant_map_last(map); it; it = variant_map_iterator_prev(it))
        backward.insert(0, variant_map_iterator_key(it));
    EXPECT_EQ(backward, keys);
    EXPECT_EQ(variant_map_size(map), count);
    return forward;
}

std::string items(const variant_list_t *list) {
    std::string result;
    for (auto *it = variant_list_first(list); it; it = variant_list_iterator_next(it))
        result += (result.empty() ? "" : ",") + textOf(variant_list_iterator_data(it));
    return result;
}

variant_t *valueOf(const variant_map_t *map, const char *key) {
    return variant_map_iterator_data(variant_map_find(map, key));
}

TEST(VariantMap, KeepsInsertionOrderAndDuplicateKeysAndRefusesLinkedEntries) {
    Map map;
    variant_map_addInt32(&map.m, "b", 1);
    variant_map_addChar(&map.m, "a", "x");
    variant_map_addBool(&map.m, "b", true);
    variant_map_addUInt32(&map.m, "c", 7);
    EXPECT_EQ(entries(&map.m), "b=1,a=x,b=true,c=7");
    EXPECT_EQ(textOf(valueOf(&map.m, "b")), "1");
    EXPECT_EQ(variant_map_find(&map.m, "B"), nullptr);
    EXPECT_FALSE(variant_map_addChar(&map.m, "n", nullptr));
    EXPECT_FALSE(variant_map_addInt32(&map.m, nullptr, 1));

    variant_map_iterator_t *a = variant_map_iterator_take(variant_map_find(&map.m, "a"));
    EXPECT_EQ(entries(&map.m), "b=1,b=true,c=7");
    EXPECT_EQ(variant_map_iterator_take(a), a);
    ASSERT_TRUE(variant_map_append(&map.m, a));
    EXPECT_FALSE(variant_map_append(&map.m, a));
    variant_map_iterator_destroy(variant_map_first(&map.m)); // unlinked first
    EXPECT_EQ(entries(&map.m), "b=true,c=7,a=x");
}

TEST(VariantList, OrderTakeAndDoubleAppend) {
    List list;
    variant_list_addChar(&list.l, "b");
    variant_list_add(&list.l, int64(3).get());
    variant_list_iterator_t *first = variant_list_iterator_create(text("a").get());
    ASSERT_TRUE(variant_list_prepend(&list.l, first));
    EXPECT_FALSE(variant_list_append(&list.l, first));
    EXPECT_EQ(items(&list.l), "a,b,3");
    EXPECT_EQ(variant_list_iterator_prev(variant_list_last(&list.l)), variant_list_at(&list.l, 1));

    variant_list_iterator_destroy(variant_list_iterator_take(variant_list_at(&list.l, 1)));
    EXPECT_EQ(items(&list.l), "a,3");
    variant_list_cleanup(&list.l);
    EXPECT_EQ(variant_list_size(&list.l), 0u);
    EXPECT_TRUE(variant_list_addChar(&list.l, "reused"));
}

TEST(VariantContainers, DeepCopiesAreIndependentAndCompareEqual) {
    Map contact;
    variant_map_addChar(&contact.m, "number", "+3212");
    Variant original, again;
    variant_setMap(&original.v, &contact.m);
    variant_map_t *copy = variant_map(&original.v);
    variant_setMapMove(&again.v, copy);
    variant_map_cleanup(copy);
    free(copy);
    EXPECT_TRUE(variant_equals(&original.v, &again.v));
    variant_setChar(valueOf(variant_da_map(&again.v), "number"), "0032");
    EXPECT_FALSE(variant_equals(&original.v, &again.v));
    variant_setInt32(&original.v, 1);
    variant_setUInt32(&again.v, 1);
    EXPECT_FALSE(variant_equals(&original.v, &again.v)) << "same number, other type";
}

TEST(VariantContainers, CopyIntoANonEmptyTargetReplacesIt) {
    List source, target;
    variant_list_addChar(&source.l, "new");
    variant_list_addChar(&target.l, "old");
    ASSERT_TRUE(variant_list_copy(&target.l, &source.l));
    EXPECT_TRUE(variant_list_copy(&target.l, &target.l));
    EXPECT_EQ(items(&target.l), "new");
    Map from, into;
    variant_map_addChar(&from.m, "k", "new");
    variant_map_addChar(&into.m, "k", "old");
    ASSERT_TRUE(variant_map_copy(&into.m, &from.m));
    EXPECT_EQ(entries(&into.m), "k=new");

    Variant holder, converted;
    variant_setList(&holder.v, &source.l);
    ASSERT_TRUE(variant_convert(&converted.v, &holder.v, variant_type_array));
    variant_list_addChar(variant_da_list(&holder.v), "more");
    EXPECT_EQ(items(variant_da_list(&converted.v)), "new");
    variant_list_t *copy = variant_list(&holder.v);
    EXPECT_EQ(items(copy), "new,more");
    variant_list_cleanup(copy);
    free(copy);
}

} // namespace
