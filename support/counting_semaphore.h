// counting_semaphore.h -- a counting semaphore with a maximum, for rings of device buffers
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// A release that would lift the count above the maximum is refused as a whole and
// changes nothing, so a reset may return "every" buffer without counting one twice.
class CountingSemaphore {
public:
    // Starts at initial (clamped to [0, maximum]).
    CountingSemaphore(int32_t initial, int32_t maximum);
    // Waits without a time limit until the count is positive, then takes one.
    void acquire();
    // Takes one when the count is positive; false otherwise.
    bool try_acquire();
    // Adds n; false (and no change) when n < 1 or the count would pass the maximum.
    bool release(int32_t n = 1);
    // The current count; for tests and diagnostics, stale as soon as it returns.
    int32_t value() const;
    // The maximum given at construction.
    int32_t maximum() const { return maximum_; }

private:
    mutable std::mutex mutex_;
    std::condition_variable available_;
    int32_t count_;
    const int32_t maximum_;
};
