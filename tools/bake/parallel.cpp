// parallel.cpp -- splitting the bake's independent work items over a few threads
#include "tools/bake/parallel.h"

#include <atomic>
#include <thread>
#include <vector>

int default_worker_count() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

void parallel_for(int count, int workers, const std::function<void(int)>& work) {
    if (workers <= 0) workers = default_worker_count();
    if (workers > count) workers = count;
    if (workers <= 1) {
        for (int i = 0; i < count; ++i) work(i);
        return;
    }
    std::atomic<int> next{0};
    auto run = [&]() {
        for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) work(i);
    };
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(workers - 1));
    for (int t = 1; t < workers; ++t) threads.emplace_back(run);
    run();
    for (auto& t : threads) t.join();
}
