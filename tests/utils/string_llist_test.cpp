#include "zeb/llist.h"
#include "zeb/zstring.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct String {
    string_t s;
    explicit String(const char *text = nullptr) {
        string_initialize(&s, 0);
        string_setChar(&s, text);
    }
    ~String() { string_cleanup(&s); }
    std::string str() const { return string_buffer(&s) ? string_buffer(&s) : "<null>"; }
};

TEST(String, AppendsMayReadFromTheStringItself) {
    string_t lazy;
    string_initialize(&lazy, 0);
    EXPECT_EQ(string_buffer(&lazy), nullptr);
    EXPECT_TRUE(string_isEmpty(&lazy));
    string_cleanup(&lazy);
    String s("abc");
    ASSERT_TRUE(string_appendChar(&s.s, string_buffer(&s.s)));
    ASSERT_TRUE(string_appendFormat(&s.s, "[%s|%d]", string_buffer(&s.s), 7));
    EXPECT_EQ(s.str(), "abcabc[abcabc|7]");
    ASSERT_TRUE(string_setChar(&s.s, string_buffer(&s.s) + 6));
    EXPECT_EQ(s.str(), "[abcabc|7]");
    std::string wide(1000, 'w');
    ASSERT_TRUE(string_appendFormat(&s.s, "%s%s", wide.c_str(), string_buffer(&s.s)));
    EXPECT_EQ(s.str(), "[abcabc|7]" + wide + "[abcabc|7]");

    // Right at the size of the formatting buffer on the stack.
    string_clear(&s.s);
    for (int width : {254, 255, 256})
        ASSERT_TRUE(string_appendFormat(&s.s, "%*d|", width, 5));
    EXPECT_EQ(string_length(&s.s), 768u);
    EXPECT_EQ(s.str().substr(505, 6), "    5|");
}

// A string made in one allocation with its buffer: what replaces the buffer
// must not free the part of the string's own allocation.
TEST(String, OneAllocationStringsGrowShrinkAndRelease) {
    string_t *s = string_newInline("abc", 3);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(string_setChar(s, "ab")); // fits where it is
    ASSERT_TRUE(string_appendChar(s, "a longer tail than the first one held"));
    EXPECT_EQ(string_replaceChar(s, "b", "bb"), 1u);
    EXPECT_STREQ(string_buffer(s), "abba longer tail than the first one held");
    string_cleanup(s);
    free(s);
}

TEST(String, ReplaceCharScansLeftToRightWithoutOverlap) {
    String s("aaa");
    EXPECT_EQ(string_replaceChar(&s.s, "aa", "b"), 1u);
    EXPECT_EQ(s.str(), "ba");
    EXPECT_EQ(string_replaceChar(&s.s, "b", ""), 1u);
    for (const char *search : {"x", "", static_cast<const char *>(nullptr)})
        EXPECT_EQ(string_replaceChar(&s.s, search, "y"), 0u);
    EXPECT_EQ(string_replaceChar(&s.s, "a", nullptr), 0u);
    EXPECT_EQ(s.str(), "a");
    EXPECT_EQ(string_replaceChar(nullptr, "a", "b"), 0u);
    EXPECT_FALSE(string_appendFormat(nullptr, "%d", 1));
}

struct Item {
    llist_iterator_t link;
    char name;
};

// The names in list order; the backward links and the size must agree.
std::string names(const llist_t *list) {
    std::string forward, backward;
    for (llist_iterator_t *it = llist_first(list); it; it = llist_iterator_next(it))
        forward += reinterpret_cast<Item *>(it)->name;
    for (llist_iterator_t *it = llist_last(list); it; it = llist_iterator_prev(it))
        backward.insert(backward.begin(), reinterpret_cast<Item *>(it)->name);
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(llist_size(list), forward.size());
    return forward;
}

TEST(LinkedList, LinksInOrderAndRefusesLinkedElements) {
    llist_t list, other;
    llist_initialize(&list);
    llist_initialize(&other);
    Item a{{}, 'a'}, b{{}, 'b'}, c{{}, 'c'}, d{{}, 'd'};
    for (Item *item : {&a, &b, &c, &d})
        llist_iterator_initialize(&item->link);
    ASSERT_TRUE(llist_append(&list, &b.link));
    ASSERT_TRUE(llist_prepend(&list, &a.link));
    EXPECT_FALSE(llist_iterator_insertBefore(&d.link, &c.link));
    ASSERT_TRUE(llist_append(&list, &d.link));
    EXPECT_FALSE(llist_iterator_insertBefore(&c.link, &d.link));
    ASSERT_TRUE(llist_iterator_insertBefore(&d.link, &c.link));
    EXPECT_FALSE(llist_append(&list, &c.link));
    EXPECT_FALSE(llist_prepend(&other, &a.link));
    EXPECT_EQ(names(&list), "abcd");
    EXPECT_EQ(llist_iterator_list(&c.link), &list);

    EXPECT_EQ(llist_iterator_take(&a.link), &a.link);
    EXPECT_EQ(llist_iterator_take(&d.link), &d.link);
    EXPECT_EQ(llist_iterator_take(&d.link), &d.link);
    EXPECT_EQ(names(&list), "bc");
    ASSERT_TRUE(llist_iterator_insertBefore(&b.link, &d.link));
    ASSERT_TRUE(llist_append(&other, &a.link));
    EXPECT_EQ(names(&list), "dbc");
    EXPECT_EQ(names(&other), "a");
    for (Item *item : {&b, &c, &d})
        llist_iterator_take(&item->link);
    EXPECT_TRUE(llist_isEmpty(&list));
    EXPECT_EQ(llist_last(&list), nullptr);
    EXPECT_FALSE(llist_append(nullptr, &b.link));
    EXPECT_EQ(llist_iterator_take(nullptr), nullptr);
}

} // namespace
