// timer.h -- periodic timers on their own threads, cancelled by id
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

// A tick: the timer's id and the user data it was started with.
using TimerCallback = void (*)(uint32_t id, void* user);

struct PeriodicTimer;  // one running timer and its thread

// The timers of one owner (the sound mixer keeps one), keyed by id; ids start at 1.
struct TimerSet {
    std::mutex mutex;
    uint32_t next_id = 1;
    std::map<uint32_t, std::shared_ptr<PeriodicTimer>> timers;
    TimerSet() = default;
    TimerSet(const TimerSet&) = delete;
    TimerSet& operator=(const TimerSet&) = delete;
    ~TimerSet();  // kills whatever still runs
};

// Starts a timer that calls callback every period_ms milliseconds on a thread of its own, the
// first call one period from now; resolution_ms is accepted for the familiar signature and
// ignored (the schedule is on the steady clock). Returns the id, or 0 for a period of 0 or a
// null callback. Ticks never overlap: a late tick delays the next.
uint32_t timer_set_event(TimerSet& timers, uint32_t period_ms, uint32_t resolution_ms, TimerCallback callback,
                         void* user);

// Stops timer id and waits for a running tick to finish (unless called from that tick).
// 1 when the timer was running, 0 for an unknown id (0 included).
int timer_kill_event(TimerSet& timers, uint32_t id);
