// timer_test.cpp -- periodic ticks, their ordering and cancellation
#include "sound/timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

struct TickLog {
    std::atomic<int> ticks{0};
    std::atomic<int> inside{0};
    std::atomic<int> max_inside{0};
    std::atomic<bool> in_tick{false};
    int sleep_ms = 0;
    TimerSet* kill_set = nullptr;  // when set, the tick kills its own timer
};

void on_tick(uint32_t id, void* user) {
    auto* log = static_cast<TickLog*>(user);
    int now_inside = ++log->inside;
    int seen = log->max_inside.load();
    while (now_inside > seen && !log->max_inside.compare_exchange_weak(seen, now_inside)) {
    }
    log->in_tick = true;
    if (log->sleep_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(log->sleep_ms));
    ++log->ticks;
    if (log->kill_set) timer_kill_event(*log->kill_set, id);
    log->in_tick = false;
    --log->inside;
}

}  // namespace

TEST(Timer, TicksPeriodicallyUntilKilled) {
    TimerSet timers;
    TickLog log;
    uint32_t id = timer_set_event(timers, 5, 2, on_tick, &log);
    ASSERT_NE(id, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(timer_kill_event(timers, id), 1);
    int ticks = log.ticks.load();
    // About 24; lenient for a busy machine.
    EXPECT_GE(ticks, 5);
    EXPECT_LE(ticks, 25);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(log.ticks.load(), ticks);  // nothing after the kill
    EXPECT_EQ(timer_kill_event(timers, id), 0);
}

TEST(Timer, SlowTicksNeverOverlapAndKillWaitsForThem) {
    TimerSet timers;
    TickLog log;
    log.sleep_ms = 15;  // longer than the period
    uint32_t id = timer_set_event(timers, 2, 2, on_tick, &log);
    while (log.ticks.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    while (!log.in_tick.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    timer_kill_event(timers, id);
    EXPECT_FALSE(log.in_tick.load());  // the running tick had finished
    EXPECT_EQ(log.max_inside.load(), 1);
}

TEST(Timer, IdsAndHarmlessKills) {
    TimerSet timers;
    TickLog log;
    EXPECT_EQ(timer_set_event(timers, 0, 2, on_tick, &log), 0u);
    EXPECT_EQ(timer_set_event(timers, 10, 2, nullptr, &log), 0u);
    EXPECT_EQ(timer_kill_event(timers, 0), 0);
    EXPECT_EQ(timer_kill_event(timers, 77), 0);
    uint32_t a = timer_set_event(timers, 50, 2, on_tick, &log);
    uint32_t b = timer_set_event(timers, 50, 2, on_tick, &log);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(timer_kill_event(timers, a), 1);
    // b is left running: the set stops it when it goes.
}

TEST(Timer, ATickMayKillItsOwnTimer) {
    TimerSet timers;
    TickLog log;
    log.kill_set = &timers;
    timer_set_event(timers, 3, 2, on_tick, &log);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    // The detached tick must be out of the log before the log goes away.
    while (log.ticks.load() == 0 || log.inside.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(log.ticks.load(), 1);
    std::lock_guard<std::mutex> lock(timers.mutex);
    EXPECT_TRUE(timers.timers.empty());
}
