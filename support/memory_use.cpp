// memory_use.cpp -- how much memory the process holds now, for long-run checks
#include "support/memory_use.h"

#include <malloc.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VINTREL_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VINTREL_SANITIZER_HEAP 1
#endif
#endif

#ifdef VINTREL_SANITIZER_HEAP
// From the sanitizer runtime (not every compiler installs its header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

MemoryUse current_memory_use() {
    MemoryUse use;
#ifdef VINTREL_SANITIZER_HEAP
    // The sanitizers replace malloc, so only their allocator knows what is live.
    use.heap_bytes = static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = mallinfo2();
    use.heap_bytes = static_cast<int64_t>(info.uordblks + info.hblkhd);
#endif
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f) {
        long pages = 0, resident = 0;
        if (std::fscanf(f, "%ld %ld", &pages, &resident) == 2)
            use.resident_kb = static_cast<int64_t>(resident) * (sysconf(_SC_PAGESIZE) / 1024);
        std::fclose(f);
    }
    return use;
}
