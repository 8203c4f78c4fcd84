// parallel.h -- splitting the bake's independent work items over a few threads
#pragma once

#include <functional>

// Threads used when the caller asks for 0: the hardware count, at least 1.
int default_worker_count();

// Calls work(i) for every i in [0, count) from `workers` threads (0 = default), each
// taking the next unclaimed item, so slow items do not hold the others back. Every
// item writes only its own outputs, which keeps the results independent of the
// scheduling. Returns when all items are done.
void parallel_for(int count, int workers, const std::function<void(int)>& work);
