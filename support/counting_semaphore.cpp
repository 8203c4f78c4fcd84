// counting_semaphore.cpp -- a counting semaphore with a maximum, for rings of device buffers
#include "support/counting_semaphore.h"

#include <algorithm>

CountingSemaphore::CountingSemaphore(int32_t initial, int32_t maximum)
    : count_(std::clamp(initial, 0, std::max(maximum, 0))), maximum_(std::max(maximum, 0)) {}

bool CountingSemaphore::acquire() { return acquire_until(Clock::time_point::max()); }

bool CountingSemaphore::acquire_until(Clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(mutex_);
    auto ready = [this] { return count_ > 0 || interrupted_; };
    if (deadline == Clock::time_point::max()) {
        // wait_until with the largest time point overflows inside some libraries.
        available_.wait(guard, ready);
    } else if (!available_.wait_until(guard, deadline, ready)) {
        return false;
    }
    if (interrupted_) return false;
    --count_;
    return true;
}

bool CountingSemaphore::try_acquire() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (count_ <= 0) return false;
    --count_;
    return true;
}

bool CountingSemaphore::release(int32_t n) {
    // Notifying under the lock: a waiter that takes the last count may destroy the
    // semaphore (a drained device is freed) as soon as it can return.
    std::lock_guard<std::mutex> guard(mutex_);
    if (n < 1 || n > maximum_ - count_) return false;
    count_ += n;
    if (n == 1) {
        available_.notify_one();
    } else {
        available_.notify_all();
    }
    return true;
}

void CountingSemaphore::interrupt() {
    std::lock_guard<std::mutex> guard(mutex_);
    interrupted_ = true;
    available_.notify_all();
}

void CountingSemaphore::resume() {
    std::lock_guard<std::mutex> guard(mutex_);
    interrupted_ = false;
}

int32_t CountingSemaphore::value() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return count_;
}
