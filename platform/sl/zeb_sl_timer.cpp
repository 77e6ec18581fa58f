#include "zeb_sl_internal.h"

#include <ctime>
#include <new>
#include <set>

struct zeb_timer {
    zeb_timer_handler_t handler = nullptr;
    void *userData = nullptr;
    bool armed = false;
    uint64_t due = 0;
    uint64_t armedAs = 0; // arming sequence number: orders timers due together
};

namespace {

struct DueOrder {
    bool operator()(const zeb_timer *a, const zeb_timer *b) const {
        return a->due != b->due ? a->due < b->due : a->armedAs < b->armedAs;
    }
};

struct TimerState {
    std::set<zeb_timer *, DueOrder> armed;
    uint64_t lastArming = 0;
    bool virtualClock = false;
    uint64_t virtualNow = 0;
};

TimerState &timers() {
    static TimerState state;
    return state;
}

uint64_t monotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void disarm(zeb_timer_t *timer) {
    if (timer->armed)
        timers().armed.erase(timer);
    timer->armed = false;
}

// The first armed timer due at `limit` or earlier and armed before
// `armedBefore`; it is disarmed and returned, or null.
zeb_timer_t *takeDue(uint64_t limit, uint64_t armedBefore) {
    for (zeb_timer_t *timer : timers().armed) {
        if (timer->due > limit)
            return nullptr;
        if (timer->armedAs < armedBefore) {
            disarm(timer);
            return timer;
        }
    }
    return nullptr;
}

// The timer may be destroyed by its handler: nothing touches it afterwards.
void fire(zeb_timer_t *timer) {
    if (timer->handler != nullptr)
        timer->handler(timer, timer->userData);
}

} // namespace

zeb_timer_t *zeb_timer_create(void) {
    auto *timer = new (std::nothrow) zeb_timer;
    if (timer == nullptr)
        slFail(ZEB_ERROR_NO_MEMORY, "%s: out of memory", __func__);
    return timer;
}

void zeb_timer_destroy(zeb_timer_t *timer) {
    if (timer == nullptr)
        return;
    disarm(timer);
    delete timer;
}

bool zeb_timer_setHandler(zeb_timer_t *timer, zeb_timer_handler_t handler) {
    if (!slCheck(timer != nullptr, __func__))
        return false;
    timer->handler = handler;
    return true;
}

bool zeb_timer_setUserData(zeb_timer_t *timer, void *userData) {
    if (!slCheck(timer != nullptr, __func__))
        return false;
    timer->userData = userData;
    return true;
}

bool zeb_timer_start(zeb_timer_t *timer, uint32_t milliseconds) {
    if (!slCheck(timer != nullptr, __func__))
        return false;
    disarm(timer);
    timer->due = zeb_clock_now() + milliseconds;
    timer->armedAs = ++timers().lastArming;
    return slNoThrow(false, [&] {
        timers().armed.insert(timer);
        timer->armed = true;
        return true;
    });
}

bool zeb_timer_stop(zeb_timer_t *timer) {
    if (!slCheck(timer != nullptr, __func__))
        return false;
    disarm(timer);
    return true;
}

bool zeb_timer_isArmed(const zeb_timer_t *timer) {
    return timer != nullptr && timer->armed;
}

void zeb_clock_useVirtual(bool useVirtual) {
    TimerState &state = timers();
    if (useVirtual && !state.virtualClock)
        state.virtualNow = 0;
    state.virtualClock = useVirtual;
}

uint64_t zeb_clock_now(void) {
    const TimerState &state = timers();
    return state.virtualClock ? state.virtualNow : monotonicMilliseconds();
}

void zeb_clock_advance(uint64_t milliseconds) {
    TimerState &state = timers();
    if (!state.virtualClock)
        return;
    uint64_t end = state.virtualNow + milliseconds;
    // Timers armed by handlers on the way count too, when due before `end`.
    while (zeb_timer_t *timer = takeDue(end, UINT64_MAX)) {
        if (timer->due > state.virtualNow)
            state.virtualNow = timer->due;
        fire(timer);
    }
    state.virtualNow = end;
}

int64_t zeb_timers_nextDue(void) {
    const TimerState &state = timers();
    if (state.armed.empty())
        return -1;
    uint64_t due = (*state.armed.begin())->due;
    uint64_t now = zeb_clock_now();
    return due > now ? static_cast<int64_t>(due - now) : 0;
}

size_t zeb_timers_fireDue(void) {
    uint64_t now = zeb_clock_now();
    // Timers that handlers arm now wait for the next call, so that a handler
    // re-arming itself with 0 ms cannot keep this call going forever.
    uint64_t armedBefore = timers().lastArming + 1;
    size_t fired = 0;
    while (zeb_timer_t *timer = takeDue(now, armedBefore)) {
        fire(timer);
        ++fired;
    }
    return fired;
}
