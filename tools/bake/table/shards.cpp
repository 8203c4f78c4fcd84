// shards.cpp -- splitting a table bake into shares for many machines, and merging their shard files
#include "tools/bake/table/shards.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "support/file_limits.h"
#include "tools/bake/byte_writer.h"

namespace {

// The trailer's magic ends in its format version: a trailer of another layout is no shard of ours.
constexpr char kMagic[8] = {'V', 'N', 'T', 'S', 'H', 'R', 'D', '2'};
// Program file read for baker_build(), in pieces of this many bytes.
constexpr size_t kBuildReadBytes = 1 << 16;

uint64_t get_u64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

int32_t get_i32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return static_cast<int32_t>(v);
}

void put_u64(ByteWriter& w, uint64_t v) {
    w.i32(static_cast<int32_t>(static_cast<uint32_t>(v)));
    w.i32(static_cast<int32_t>(static_cast<uint32_t>(v >> 32)));
}

// The byte size of a regular file, or -1 when it cannot be read.
int64_t file_bytes(const std::string& path) {
    FILE* f = open_input_file(path.c_str(), "rb");
    if (!f) return -1;
    const int64_t size = remaining_bytes(f);
    std::fclose(f);
    return size;
}

// Reads a whole regular file; false (with the reason) when it cannot be read.
bool read_whole(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
    FILE* f = open_input_file(path.c_str(), "rb");
    if (!f) {
        error = "cannot read " + path;
        return false;
    }
    const int64_t size = remaining_bytes(f);
    if (size < 0) {
        std::fclose(f);
        error = "cannot read " + path;
        return false;
    }
    out.resize(static_cast<size_t>(size));
    const size_t got = size > 0 ? std::fread(out.data(), 1, out.size(), f) : 0;
    std::fclose(f);
    if (got != out.size()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

// Byte offsets of each lightning cell's records in a table: cell k runs from at[k] to at[k + 1].
// False when the records do not fit the table's length.
bool cell_offsets(const std::vector<uint8_t>& file, const ShardTrailer& t, std::vector<uint64_t>& at) {
    at.assign(static_cast<size_t>(t.cells) + 1, 0);
    uint64_t pos = 12;
    for (int32_t k = 0; k < t.cells; ++k) {
        at[static_cast<size_t>(k)] = pos;
        for (int32_t d = 0; d < t.dirs; ++d) {
            if (pos + 4 > t.table_bytes) return false;
            const int32_t n = get_i32(&file[pos]);
            if (n < 0 || n > t.coarse) return false;
            pos += 8 + 8 * static_cast<uint64_t>(n);
        }
    }
    at[static_cast<size_t>(t.cells)] = pos;
    return pos == t.table_bytes;
}

}  // namespace

uint64_t baker_build() {
    static const uint64_t build = [] {
        FILE* f = std::fopen("/proc/self/exe", "rb");
        if (!f) return uint64_t{0};
        uint64_t hash = kChecksumStart;
        std::vector<uint8_t> piece(kBuildReadBytes);
        size_t n;
        while ((n = std::fread(piece.data(), 1, piece.size(), f)) > 0)
            hash = checksum_bytes(hash, piece.data(), n);
        std::fclose(f);
        return hash;
    }();
    return build;
}

std::vector<uint8_t> shard_trailer_bytes(const ShardTrailer& t) {
    ByteWriter w;
    w.i32(t.index);
    w.i32(t.count);
    w.i32(t.first);
    w.i32(t.end);
    w.i32(static_cast<int32_t>(t.seed));
    w.i32(t.cells);
    w.i32(t.coarse);
    w.i32(t.dirs);
    put_u64(w, t.checksum);
    put_u64(w, t.table_bytes);
    put_u64(w, t.build);
    while (w.bytes.size() < kShardTrailerBytes - sizeof kMagic) w.u8(0);
    w.raw(kMagic, sizeof kMagic);
    return std::move(w.bytes);
}

bool read_shard_trailer(const std::vector<uint8_t>& file, ShardTrailer& t) {
    if (file.size() < kShardTrailerBytes + 12) return false;
    const uint8_t* p = file.data() + file.size() - kShardTrailerBytes;
    if (std::memcmp(p + kShardTrailerBytes - sizeof kMagic, kMagic, sizeof kMagic) != 0) return false;
    t.index = get_i32(p);
    t.count = get_i32(p + 4);
    t.first = get_i32(p + 8);
    t.end = get_i32(p + 12);
    t.seed = static_cast<uint32_t>(get_i32(p + 16));
    t.cells = get_i32(p + 20);
    t.coarse = get_i32(p + 24);
    t.dirs = get_i32(p + 28);
    t.checksum = get_u64(p + 32);
    t.table_bytes = get_u64(p + 40);
    t.build = get_u64(p + 48);
    return t.count >= 1 && t.index >= 1 && t.index <= t.count && t.cells >= 0 && t.first >= 0 &&
           t.first <= t.end && t.end <= t.cells && t.coarse >= 1 && t.dirs >= 1 &&
           t.table_bytes == file.size() - kShardTrailerBytes;
}

uint64_t checksum_bytes(uint64_t hash, const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        hash ^= p[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

std::vector<int32_t> share_bounds(const std::vector<double>& cost, int32_t count) {
    const int32_t cells = static_cast<int32_t>(cost.size());
    std::vector<int32_t> bounds(static_cast<size_t>(count) + 1, cells);
    bounds[0] = 0;
    double total = 0.0;
    for (double c : cost) total += c;
    // Share i ends at the first cell whose running total reaches (i + 1) / count of the whole, or
    // passes it by less than it falls short without that cell.
    double running = 0.0;
    int32_t k = 0;
    for (int32_t i = 1; i < count; ++i) {
        const double goal = total * i / count;
        while (k < cells && running + cost[static_cast<size_t>(k)] <= goal)
            running += cost[static_cast<size_t>(k++)];
        if (k < cells && goal - running > running + cost[static_cast<size_t>(k)] - goal) {
            running += cost[static_cast<size_t>(k++)];
        }
        bounds[static_cast<size_t>(i)] = k;
    }
    return bounds;
}

std::string parse_shard(const std::string& text, int32_t& index, int32_t& count) {
    const size_t slash = text.find('/');
    const std::string a = text.substr(0, slash), b = slash == std::string::npos ? "" : text.substr(slash + 1);
    auto whole = [](const std::string& s, long& v) {
        if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos) return false;
        v = std::strtol(s.c_str(), nullptr, 10);
        return true;
    };
    long i = 0, n = 0;
    if (!whole(a, i) || !whole(b, n) || i < 1 || n < 1 || i > n || n > 100000) {
        return "-shard: '" + text + "' is not I/N with 1 <= I <= N";
    }
    index = static_cast<int32_t>(i);
    count = static_cast<int32_t>(n);
    return "";
}

std::string merge_shards(const std::string& out, const std::vector<std::string>& files, bool quiet,
                         MergeReport& report) {
    report = MergeReport{};
    if (files.empty()) return "-merge needs the shard files";
    // Every shard is held at once, and the merged table (at most their sum) beside them.
    uint64_t total = 0;
    for (const std::string& file : files) {
        const int64_t size = file_bytes(file);
        if (size < 0) return "cannot read " + file;
        total += static_cast<uint64_t>(size);
    }
    if (total > UINT64_MAX / 2 || !fits_in_memory(2 * total)) {
        char mb[32];
        std::snprintf(mb, sizeof mb, "%.0f", static_cast<double>(total) / (1024.0 * 1024.0));
        return std::string("the ") + std::to_string(files.size()) + " shard files hold " + mb +
               " MB and the merge holds them and the merged table at once: too much for this machine's "
               "memory";
    }
    std::vector<std::vector<uint8_t>> data(files.size());
    std::vector<ShardTrailer> trailers(files.size());
    std::string error;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!read_whole(files[i], data[i], error)) return error;
        if (!read_shard_trailer(data[i], trailers[i]))
            return files[i] + " is not a shard file of a table bake of this format";
        // The merged table takes the first file's header; each header must say what its trailer says.
        const ShardTrailer& t = trailers[i];
        if (get_i32(&data[i][0]) != t.cells || get_i32(&data[i][4]) != t.coarse ||
            get_i32(&data[i][8]) != t.dirs)
            return files[i] + " is damaged: its table's header does not match its trailer";
    }
    const ShardTrailer& first = trailers[0];
    for (size_t i = 1; i < files.size(); ++i) {
        const ShardTrailer& t = trailers[i];
        if (t.build != first.build) {
            return files[i] + " and " + files[0] +
                   " were made by different builds of the baker, which may compute the table differently: "
                   "bake every share with one build";
        }
        if (t.seed != first.seed) {
            return files[i] + " was baked with seed " + std::to_string(t.seed) + ", " + files[0] +
                   " with seed " + std::to_string(first.seed) + ": they are shards of different bakes";
        }
        if (t.count != first.count) {
            return files[i] + " is a share of " + std::to_string(t.count) + ", " + files[0] + " of " +
                   std::to_string(first.count) + ": they are shards of different bakes";
        }
        if (t.checksum != first.checksum || t.cells != first.cells || t.coarse != first.coarse ||
            t.dirs != first.dirs) {
            return files[i] + " and " + files[0] +
                   " were baked from different scenes or table options: they are shards of different bakes";
        }
    }
    // Every share once.
    std::map<int32_t, size_t> by_index;
    for (size_t i = 0; i < files.size(); ++i) {
        const auto [it, fresh] = by_index.insert({trailers[i].index, i});
        if (!fresh) {
            return "share " + std::to_string(trailers[i].index) + " of " + std::to_string(first.count) +
                   " is given twice (" + files[it->second] + " and " + files[i] + ")";
        }
    }
    std::string missing;
    for (int32_t s = 1; s <= first.count; ++s) {
        if (by_index.count(s) == 0) missing += (missing.empty() ? "" : ", ") + std::to_string(s);
    }
    if (!missing.empty()) {
        return "share" + std::string(missing.find(',') == std::string::npos ? " " : "s ") + missing + " of " +
               std::to_string(first.count) + " missing";
    }
    // The shares, in order, must tile the lightning cells.
    int32_t next = 0;
    for (const auto& [index, i] : by_index) {
        if (trailers[i].first != next) {
            return "the shares do not cover the lightning cells once: share " + std::to_string(index) +
                   " starts at cell " + std::to_string(trailers[i].first) + ", expected " +
                   std::to_string(next);
        }
        next = trailers[i].end;
    }
    if (next != first.cells) {
        return "the shares end at lightning cell " + std::to_string(next) + " of " +
               std::to_string(first.cells);
    }

    ByteWriter w;
    w.raw(data[0].data(), 12);
    for (const auto& [index, i] : by_index) {
        std::vector<uint64_t> at;
        if (!cell_offsets(data[i], trailers[i], at))
            return files[i] + " is damaged: its records do not fit it";
        const uint64_t a = at[static_cast<size_t>(trailers[i].first)],
                       b = at[static_cast<size_t>(trailers[i].end)];
        w.raw(data[i].data() + a, static_cast<size_t>(b - a));
        std::vector<uint8_t>().swap(data[i]);
        (void)index;
    }
    if (!write_file_bytes(out, w.bytes)) return "cannot write " + out;
    report.shards = first.count;
    report.cells = first.cells;
    report.bytes = w.bytes.size();
    if (!quiet) {
        std::printf(
            "merge: %d shards of one bake (seed %u, %d lightning cells, %d coarse cells, inputs %016llx); "
            "every lightning cell covered once; wrote %s (%llu bytes)\n",
            first.count, first.seed, first.cells, first.coarse,
            static_cast<unsigned long long>(first.checksum), out.c_str(),
            static_cast<unsigned long long>(report.bytes));
    }
    return "";
}
