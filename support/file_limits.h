// file_limits.h -- opening input files, how many bytes they still hold and how much a reader may allocate
#pragma once

#include <cstdint>
#include <cstdio>

// What the readers may allocate for one file's contents. The viewer keeps the default
// (half the physical memory); fuzz harnesses lower it so a claimed size far beyond
// their memory limit is refused like one beyond the machine.
struct ReaderLimits {
    uint64_t memory_bytes = 0;  // 0: half the physical memory
};

extern ReaderLimits reader_limits;

// fopen for the readers, which only take regular files: a folder, a device or a pipe
// is refused (nullptr, as for a missing file) before it is opened, since reading one
// would never end or would report sizes that are not a file's.
FILE* open_input_file(const char* name, const char* mode);

// Bytes from the current position to the end of the stream, or -1 when unknown.
int64_t remaining_bytes(FILE* in);

// True when a block of this many bytes could plausibly be allocated on this machine
// (no more than half of the physical memory, or the lowered reader limit).
bool fits_in_memory(uint64_t bytes);

// a * b * c for sizes already checked to be non-negative, saturating at INT64_MAX so a
// header's claim can be compared with a limit without overflowing.
int64_t size_product(int64_t a, int64_t b, int64_t c);
