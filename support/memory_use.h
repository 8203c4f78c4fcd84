// memory_use.h -- how much memory the process holds now, for long-run checks
#pragma once

#include <cstdint>

struct MemoryUse {
    int64_t heap_bytes = -1;   // bytes in live heap blocks; -1 when it cannot be told
    int64_t resident_kb = -1;  // resident set size; -1 when it cannot be told
};

// Live heap from the sanitizer's allocator when the build has one, else from malloc's
// own bookkeeping; resident size from /proc.
MemoryUse current_memory_use();
