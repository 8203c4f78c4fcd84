// two_threads.h -- split a job in two halves over the machine's two cores
#pragma once

#include <thread>

// Runs body(0) on a second thread and body(1) on this one, then waits for both.
// Small jobs (worth_it false) and one-core machines run both halves here, in order.
template <typename Body>
void run_on_two_threads(bool worth_it, Body body) {
    if (!worth_it || std::thread::hardware_concurrency() < 2) {
        body(0);
        body(1);
        return;
    }
    std::thread other([&body] { body(0); });
    body(1);
    other.join();
}
