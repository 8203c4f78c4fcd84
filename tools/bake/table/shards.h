// shards.h -- splitting a table bake into shares for many machines, and merging their shard files
//
// A shard file is a complete base intensity table whose lightning cells outside its share have empty
// records, followed by a trailer that says which bake and which share it is. The viewer reads the table
// and ignores the trailer; the merge reads the trailer to refuse shards of another bake.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Size of the trailer, which ends with its own magic so it can be found from the end of the file.
constexpr size_t kShardTrailerBytes = 64;

// A checksum of the running baker's own program file, computed once: shards are merged only when one
// build of the baker made them all, since another build may compute the table differently. 0 when the
// program file cannot be read.
uint64_t baker_build();

// Which bake and which share a shard file holds.
struct ShardTrailer {
    int32_t index = 0;           // 1 ... count
    int32_t count = 0;           // shares in the bake
    int32_t first = 0, end = 0;  // lightning cells [first, end) of this share
    uint32_t seed = 0;
    int32_t cells = 0, coarse = 0, dirs = 0;  // the table's header: N_L, M, directions
    uint64_t checksum = 0;                    // of the scene and the table options (inputs_checksum)
    uint64_t table_bytes = 0;                 // length of the table before the trailer
    uint64_t build = baker_build();           // the baker program that wrote it (see baker_build)
};

// The trailer's bytes (little-endian, kShardTrailerBytes long).
std::vector<uint8_t> shard_trailer_bytes(const ShardTrailer& trailer);

// Reads the trailer at the end of a file's bytes; false when there is none or it does not fit the file.
bool read_shard_trailer(const std::vector<uint8_t>& file, ShardTrailer& trailer);

// 64-bit FNV-1a over bytes, continuing from `hash`; start with kChecksumStart.
constexpr uint64_t kChecksumStart = 14695981039346656037ull;
uint64_t checksum_bytes(uint64_t hash, const void* data, size_t size);

// Splits consecutive cells of the given costs into `count` shares of about equal summed cost: share i
// (0-based) is cells [bounds[i], bounds[i + 1]). Every cell is in exactly one share; a share may be
// empty when there are more shares than cells.
std::vector<int32_t> share_bounds(const std::vector<double>& cost, int32_t count);

// Parses "I/N" (1 <= I <= N <= 100000). Returns an empty string or what is wrong.
std::string parse_shard(const std::string& text, int32_t& index, int32_t& count);

// What a merge checked and wrote.
struct MergeReport {
    int32_t shards = 0;
    int32_t cells = 0;
    uint64_t bytes = 0;
};

// Checks that `files` are the shards of one bake (the same trailer format, baker build, share count,
// seed, scene and options, each table's header agreeing with its trailer), that all of them and the
// merged table fit in memory together, that every share is there exactly once and that their cells
// cover every lightning cell once, then writes the whole table to `out` through a temporary file.
// Returns an empty string, or the message.
std::string merge_shards(const std::string& out, const std::vector<std::string>& files, bool quiet,
                         MergeReport& report);
