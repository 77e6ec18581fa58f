#include <gtest/gtest.h>

#include "zeb/sl.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

TEST(Arguments, TakingUnlinksAndTakeCharOrArrayConsumesTheFirst) {
    argument_value_list_t args;
    argument_valueListInitialize(&args);
    argument_value_t *list = argument_valueCreate("l");
    variant_initialize(argument_value(list), variant_type_array);
    variant_list_addChar(variant_da_list(argument_value(list)), "x");
    argument_valueAppend(&args, list);
    argument_value_t *number = argument_valueCreate("n");
    variant_setInt32(argument_value(number), 42);
    argument_valueAppend(&args, number);
    EXPECT_FALSE(argument_valueAppend(&args, number)) << "linked twice";
    EXPECT_TRUE(argument_valuePrepend(&args, argument_valueTakeArgument(number)));

    char *text = argument_takeChar(&args);
    EXPECT_STREQ(text, "42");
    free(text);
    variant_list_t *copy = argument_takeArray(&args);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(variant_da_char(variant_list_iterator_data(variant_list_first(copy))), "x");
    variant_list_cleanup(copy);
    free(copy);
    EXPECT_EQ(argument_takeArray(&args), nullptr) << "none left";
}

// A fired timer logs "<label>@<clock>".
struct Probe {
    std::string label;
    Texts *log;
};

void onTimer(zeb_timer_t *, void *userData) {
    auto *p = static_cast<Probe *>(userData);
    p->log->push_back(p->label + "@" + std::to_string(zeb_clock_now()));
}

TEST(Timers, RestartedTimerFiresOnceAtTheLaterTimeInOrder) {
    zeb_clock_useVirtual(true);
    Texts log;
    Probe probes[] = {{"a", &log}, {"b", &log}, {"c", &log}};
    zeb_timer_t *timers[3];
    for (int i = 0; i < 3; ++i) {
        timers[i] = zeb_timer_create();
        zeb_timer_setHandler(timers[i], onTimer);
        zeb_timer_setUserData(timers[i], &probes[i]);
    }
    EXPECT_EQ(zeb_timers_nextDue(), -1);
    for (const auto &[i, at] : {std::pair{0, 100}, {1, 150}, {0, 200}, {2, 200}})
        zeb_timer_start(timers[i], at);
    EXPECT_EQ(zeb_timers_nextDue(), 150);
    zeb_clock_advance(199);
    EXPECT_EQ(log, Texts{"b@150"});
    zeb_clock_advance(101);
    EXPECT_EQ(log, (Texts{"b@150", "a@200", "c@200"}));
    EXPECT_EQ(zeb_clock_now(), 300u);
    EXPECT_EQ(zeb_timers_nextDue(), -1);
    for (zeb_timer_t *timer : timers)
        zeb_timer_destroy(timer);
    zeb_clock_useVirtual(false);
}

struct Subscriber {
    const char *path;
    Texts *log;
    zeb_t *context;
    std::vector<uint32_t> cancels; // subscriptions it cancels when called
};

void deliverTo(void *userData, const notification_t *) {
    auto *s = static_cast<Subscriber *>(userData);
    s->log->push_back(s->path != nullptr ? s->path : "null");
    for (uint32_t id : s->cancels)
        zeb_unsubscribe(s->context, id);
}

TEST(Notifications, ReachSubscribersOfThePathAndItsAncestorsInOrder) {
    zeb_t *context = zeb_create();
    notification_t *n = notification_create(1);
    Texts log;
    std::vector<Subscriber> subs;
    for (const char *path : {"Phonebook.Entry.", "Other", "", "Phone", "Phonebook.Entry.1.Name",
                             "Phonebook", static_cast<const char *>(nullptr)})
        subs.push_back(Subscriber{path, &log, context});
    std::vector<uint32_t> ids;
    for (Subscriber &s : subs)
        ids.push_back(zeb_subscribe(context, s.path, deliverTo, &s));
    subs[0].cancels = {ids[0], ids[2]}; // itself and one that is still to come

    EXPECT_FALSE(zeb_sendNotification(context, nullptr, nullptr, n)) << "no name or path";
    notification_setName(n, "changed");
    notification_setObjectPath(n, "Phonebook.Entry.1");
    int peer = 0;
    EXPECT_FALSE(zeb_sendNotification(context, &peer, nullptr, n)) << "not a broadcast";
    for (int twice = 0; twice < 2; ++twice)
        EXPECT_TRUE(zeb_sendNotification(context, nullptr, nullptr, n));
    EXPECT_EQ(log, (Texts{"Phonebook.Entry.", "Phonebook", "null", "Phonebook", "null"}));
    EXPECT_FALSE(zeb_unsubscribe(context, ids[0]));
    notification_destroy(n);
    zeb_destroy(context);
}

} // namespace
