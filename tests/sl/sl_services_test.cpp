#include <gtest/gtest.h>

#include "zeb/sl.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

argument_value_t *addNumber(argument_value_list_t *args, const char *name, int32_t number) {
    argument_value_t *arg = argument_valueCreate(name);
    variant_setInt32(argument_value(arg), number);
    return argument_valueAppend(args, arg), arg;
}

TEST(Arguments, TakingUnlinksAndTakeCharOrArrayConsumesTheFirst) {
    argument_value_list_t args;
    argument_valueListInitialize(&args);
    argument_value_t *list = argument_valueCreate("l");
    variant_initialize(argument_value(list), variant_type_array);
    variant_list_addChar(variant_da_list(argument_value(list)), "x");
    argument_valueAppend(&args, list);
    argument_valueAppend(&args, argument_valueCreate(nullptr));
    argument_value_t *second = addNumber(&args, "n", 42);
    addNumber(&args, "n", 7);
    EXPECT_EQ(argument_valueByName(&args, "n"), second);
    EXPECT_FALSE(argument_valueAppend(&args, second)) << "linked twice";
    EXPECT_TRUE(argument_valuePrepend(&args, argument_valueTakeArgument(second)));
    argument_valueDestroy(argument_valueByName(&args, "")); // destroyed while linked

    char *text = argument_takeChar(&args);
    EXPECT_STREQ(text, "42");
    free(text);
    variant_list_t *copy = argument_takeArray(&args);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(variant_da_char(variant_list_iterator_data(variant_list_first(copy))), "x");
    variant_list_cleanup(copy);
    free(copy);
    EXPECT_EQ(argument_takeArray(&args), nullptr) << "not a list";
    EXPECT_TRUE(llist_isEmpty(&args)) << "an argument that does not fit is consumed too";
}

// A fired timer logs "<label>@<clock>", then does what its fields say.
struct Probe {
    std::string label;
    int rearms = 0; // times it starts its own timer again, for `every` ms
    uint32_t every = 10;
    bool destroy = false; // destroys its own timer
    Texts *log = nullptr;
};

void onTimer(zeb_timer_t *timer, void *userData) {
    auto *p = static_cast<Probe *>(userData);
    p->log->push_back(p->label + "@" + std::to_string(zeb_clock_now()));
    if (p->rearms-- > 0)
        zeb_timer_start(timer, p->every);
    if (p->destroy)
        zeb_timer_destroy(timer);
}

class Timers : public ::testing::Test {
  protected:
    void SetUp() override { zeb_clock_useVirtual(true); }
    void TearDown() override {
        for (zeb_timer_t *t : owned)
            zeb_timer_destroy(t);
        zeb_clock_useVirtual(false);
    }
    zeb_timer_t *timer(Probe &probe) {
        probe.log = &log;
        zeb_timer_t *t = zeb_timer_create();
        zeb_timer_setHandler(t, onTimer);
        zeb_timer_setUserData(t, &probe);
        if (!probe.destroy)
            owned.push_back(t);
        return t;
    }
    std::vector<zeb_timer_t *> owned;
    Texts log;
};

TEST_F(Timers, RestartedTimerFiresOnceAtTheLaterTimeInOrder) {
    Probe a{"a"}, b{"b"}, c{"c"};
    zeb_timer_t *ta = timer(a), *tb = timer(b), *tc = timer(c);
    EXPECT_EQ(zeb_timers_nextDue(), -1);
    for (const auto &[t, at] : {std::pair{ta, 100}, {tb, 150}, {ta, 200}, {tc, 200}})
        zeb_timer_start(t, at);
    EXPECT_EQ(zeb_timers_nextDue(), 150);
    zeb_clock_advance(199);
    EXPECT_EQ(log, Texts{"b@150"});
    zeb_clock_advance(101);
    EXPECT_EQ(log, (Texts{"b@150", "a@200", "c@200"}));
    EXPECT_EQ(zeb_clock_now(), 300u);
    EXPECT_EQ(zeb_timers_nextDue(), -1);
}

TEST_F(Timers, HandlersRearmAndDestroyTimersDuringAdvance) {
    Probe rearm{"rearm", 2}, gone{"gone"}, other{"other"};
    gone.destroy = true;
    for (auto &[probe, at] : {std::pair{&rearm, 10}, {&gone, 15}, {&other, 20}})
        zeb_timer_start(timer(*probe), at);
    zeb_clock_advance(40);
    EXPECT_EQ(log, (Texts{"rearm@10", "gone@15", "other@20", "rearm@20", "rearm@30"}));
}

TEST_F(Timers, FireDueLeavesTimersArmedByHandlersForTheNextCall) {
    Probe loop{"loop", 1000, 0}, stopped{"stopped"};
    zeb_timer_t *ts = timer(stopped);
    zeb_timer_start(timer(loop), 0);
    zeb_timer_start(ts, 0);
    zeb_timer_stop(ts);
    EXPECT_EQ(zeb_timers_fireDue(), 1u);
    EXPECT_EQ(zeb_timers_nextDue(), 0);
    EXPECT_EQ(zeb_timers_fireDue(), 1u);
    EXPECT_EQ(log, (Texts{"loop@0", "loop@0"}));
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
