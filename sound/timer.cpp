// timer.cpp -- periodic timers on their own threads, cancelled by id
#include "sound/timer.h"

#include <chrono>
#include <condition_variable>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// After a stall longer than this (a suspended machine, a debugger) the schedule restarts
// from now instead of firing a burst of catch-up ticks.
constexpr Clock::duration kMaxLateness = std::chrono::seconds(1);

}  // namespace

struct PeriodicTimer {
    uint32_t id = 0;
    Clock::duration period{};
    TimerCallback callback = nullptr;
    void* user = nullptr;
    std::mutex mutex;
    std::condition_variable cancel_signal;
    bool cancelled = false;
    std::thread thread;
};

namespace {

void run_timer(PeriodicTimer* timer) {
    Clock::time_point due = Clock::now() + timer->period;
    std::unique_lock<std::mutex> lock(timer->mutex);
    for (;;) {
        if (timer->cancel_signal.wait_until(lock, due, [timer] { return timer->cancelled; })) return;
        lock.unlock();
        timer->callback(timer->id, timer->user);
        lock.lock();
        due += timer->period;
        Clock::time_point now = Clock::now();
        if (now - due > kMaxLateness) due = now;
    }
}

void stop(const std::shared_ptr<PeriodicTimer>& timer) {
    {
        std::lock_guard<std::mutex> lock(timer->mutex);
        timer->cancelled = true;
    }
    timer->cancel_signal.notify_all();
    if (timer->thread.get_id() == std::this_thread::get_id()) {
        // Killed from its own tick: joining would wait for ourselves. The thread sees the
        // flag when the tick returns; the shared_ptr it holds keeps the record alive.
        timer->thread.detach();
    } else {
        timer->thread.join();
    }
}

}  // namespace

TimerSet::~TimerSet() {
    for (auto& entry : timers) stop(entry.second);
}

uint32_t timer_set_event(TimerSet& timers, uint32_t period_ms, uint32_t resolution_ms, TimerCallback callback,
                         void* user) {
    (void)resolution_ms;
    if (period_ms == 0 || !callback) return 0;
    auto timer = std::make_shared<PeriodicTimer>();
    timer->period = std::chrono::milliseconds(period_ms);
    timer->callback = callback;
    timer->user = user;
    std::lock_guard<std::mutex> lock(timers.mutex);
    timer->id = timers.next_id++;
    if (timers.next_id == 0) timers.next_id = 1;  // 0 means "no timer"
    // The thread owns a reference so a detached timer outlives its map entry.
    timer->thread = std::thread([timer] { run_timer(timer.get()); });
    timers.timers[timer->id] = timer;
    return timer->id;
}

int timer_kill_event(TimerSet& timers, uint32_t id) {
    std::shared_ptr<PeriodicTimer> timer;
    {
        std::lock_guard<std::mutex> lock(timers.mutex);
        auto found = timers.timers.find(id);
        if (found == timers.timers.end()) return 0;
        timer = found->second;
        timers.timers.erase(found);
    }
    stop(timer);
    return 1;
}
