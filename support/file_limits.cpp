// file_limits.cpp -- opening input files, how many bytes they still hold and how much a reader may allocate
#include "support/file_limits.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

ReaderLimits reader_limits;

FILE* open_input_file(const char* name, const char* mode) {
    struct stat st;
    if (stat(name, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    FILE* f = std::fopen(name, mode);
    // The name may have been replaced between the two looks.
    if (f && (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))) {
        std::fclose(f);
        return nullptr;
    }
    return f;
}

int64_t remaining_bytes(FILE* in) {
    long here = std::ftell(in);
    if (here < 0 || std::fseek(in, 0, SEEK_END) != 0) return -1;
    long end = std::ftell(in);
    if (std::fseek(in, here, SEEK_SET) != 0 || end < here) return -1;
    return static_cast<int64_t>(end) - here;
}

bool fits_in_memory(uint64_t bytes) {
    if (reader_limits.memory_bytes > 0) return bytes <= reader_limits.memory_bytes;
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGESIZE);
    // Without an answer from the system, fall back to a limit every desktop meets.
    uint64_t physical = (pages > 0 && page_size > 0)
                            ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size)
                            : (uint64_t{4} << 30);
    return bytes <= physical / 2;
}

int64_t size_product(int64_t a, int64_t b, int64_t c) {
    int64_t ab = 0, abc = 0;
    if (__builtin_mul_overflow(a, b, &ab) || __builtin_mul_overflow(ab, c, &abc)) return INT64_MAX;
    return abc;
}
