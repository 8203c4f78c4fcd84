// counting_semaphore.h -- a counting semaphore with a maximum, for rings of device buffers
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// A release that would lift the count above the maximum is refused as a whole and
// changes nothing, so a reset may return "every" buffer without counting one twice.
class CountingSemaphore {
  public:
    using Clock = std::chrono::steady_clock;
    // Starts at initial (clamped to [0, maximum]).
    CountingSemaphore(int32_t initial, int32_t maximum);
    // Waits until the count is positive, then takes one and returns true; returns false
    // without taking one while the semaphore is interrupted.
    bool acquire();
    // As acquire, but gives up (false) when deadline passes first.
    bool acquire_until(Clock::time_point deadline);
    // Takes one when the count is positive; false otherwise.
    bool try_acquire();
    // Adds n; false (and no change) when n < 1 or the count would pass the maximum.
    bool release(int32_t n = 1);
    // Wakes every waiter and makes waits fail at once until resume(): how a writer
    // blocked on a device that no longer returns buffers is let go.
    void interrupt();
    // Lets waits wait again.
    void resume();
    // The current count; for tests and diagnostics, stale as soon as it returns.
    int32_t value() const;
    // The maximum given at construction.
    int32_t maximum() const { return maximum_; }

  private:
    mutable std::mutex mutex_;
    std::condition_variable available_;
    int32_t count_;
    const int32_t maximum_;
    bool interrupted_ = false;
};
