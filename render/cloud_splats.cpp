// cloud_splats.cpp -- the splat footprint strip, the back-to-front sort and the per-blob lighting pass
#include "render/cloud_splats.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>

#include "illumination/directions.h"
#include "support/two_threads.h"

namespace {

// Line-of-sight integral of the blob density: f(r) = 2 sqrt(R^2 - r^2) (a u^2 + b u^3), u = 1 - r^2 / R^2.
constexpr float kFootprintU2 = 0.2962963f;  // 8 / 27
constexpr float kFootprintU3 = 0.2031746f;  // 64 / 315
// f(0) / (2R): scales the densest tile's centre to 1.
constexpr float kFootprintPeak = 0.4994709f;
constexpr float kTileStep = 1.0f / kSplatTiles;
// Blobs per thread below which a second thread costs more than it saves.
constexpr size_t kParallelBlobs = 4096;
// Blobs lit together in one batch of the fast pass.
constexpr size_t kLightBatch = 64;
// Radix sort on the key's bits: three passes of 11 bits cover a 32-bit float.
constexpr int kRadixBits = 11;
constexpr uint32_t kRadixBuckets = 1u << kRadixBits;
// Reusing last frame's order is given up beyond this many moves per blob; a radix sort costs about as much.
constexpr size_t kReorderMovesPerBlob = 2;
// Splats read ahead of the one being copied out in drawing order.
constexpr size_t kPrefetchAhead = 16;

// Non-negative floats order like their bit patterns; inverting them gives a descending order.
inline uint32_t descending_bits(float key) {
    uint32_t u;
    std::memcpy(&u, &key, sizeof u);
    return ~u;
}

// The sort key held in the high half of a sort entry.
inline float key_of(uint64_t entry) {
    const uint32_t u = ~static_cast<uint32_t>(entry >> 32);
    float key;
    std::memcpy(&key, &u, sizeof key);
    return key;
}

// Squared distance of blob b from the eye e (grid-relative).
inline float sort_key(const Blob& b, Vec3 e) {
    const float dx = b.x - e.x, dy = b.y - e.y, dz = b.z - e.z;
    return dx * dx + dy * dy + dz * dz;
}

// The parts into which the passes over the blobs are cut for sharing between two threads.
constexpr size_t kParts = 16;

struct PartClaims {
    std::atomic<size_t> next{0}, done{0};
};

// Part `part` of 0 ... count - 1: first and one past last.
inline size_t part_begin(size_t part, size_t count) { return part * count / kParts; }

// Runs body(0) ... body(parts - 1), each once, on this thread and on a helper thread that takes parts as
// it gets to run. On a busy machine the helper may start late: this thread then takes the parts itself
// and waits only for parts the helper has begun, never for the helper to start or to end.
template <typename Body>
void share_parts(bool worth_it, size_t parts, Body& body) {
    if (!worth_it || std::thread::hardware_concurrency() < 2) {
        for (size_t part = 0; part < parts; ++part) body(part);
        return;
    }
    const auto claims = std::make_shared<PartClaims>();
    Body* const shared = &body;
    // The helper touches body only for a part it has claimed, which this thread waits for.
    std::thread([claims, shared, parts] {
        for (size_t part; (part = claims->next.fetch_add(1)) < parts;) {
            (*shared)(part);
            claims->done.fetch_add(1, std::memory_order_release);
        }
    }).detach();
    for (size_t part; (part = claims->next.fetch_add(1)) < parts;) {
        body(part);
        claims->done.fetch_add(1, std::memory_order_release);
    }
    while (claims->done.load(std::memory_order_acquire) < parts) std::this_thread::yield();
}

void set_sort_keys(std::vector<Blob>& blobs, Vec3 e) {
    for (Blob& b : blobs) b.sort_key = sort_key(b, e);
}

// Stable least-significant-digit radix sort of items by key(item), using `bits` low bits of the key.
template <typename T, typename Key>
void radix_sort(std::vector<T>& items, std::vector<T>& scratch, int bits, Key key) {
    const size_t n = items.size();
    scratch.resize(n);
    uint32_t counts[kRadixBuckets];
    for (int shift = 0; shift < bits; shift += kRadixBits) {
        std::fill(counts, counts + kRadixBuckets, 0u);
        for (size_t i = 0; i < n; ++i) ++counts[(key(items[i]) >> shift) & (kRadixBuckets - 1)];
        uint32_t sum = 0;
        for (uint32_t& c : counts) {
            const uint32_t here = c;
            c = sum;
            sum += here;
        }
        for (size_t i = 0; i < n; ++i)
            scratch[counts[(key(items[i]) >> shift) & (kRadixBuckets - 1)]++] = items[i];
        items.swap(scratch);
    }
}

// Sorts items ascending by insertion, giving up (false, items partly sorted) once more than max_moves
// single-place moves were needed: cheap for an almost sorted list, hopeless for a shuffled one.
bool insertion_sort_bounded(std::vector<uint64_t>& items, size_t max_moves) {
    size_t moves = 0;
    for (size_t i = 1; i < items.size(); ++i) {
        const uint64_t v = items[i];
        size_t j = i;
        while (j > 0 && items[j - 1] > v) {
            items[j] = items[j - 1];
            --j;
        }
        items[j] = v;
        moves += i - j;
        if (moves > max_moves) return false;
    }
    return true;
}

// A blob's colour from the radiance looked up for it: over its density, times the brightness. Physical
// shading looks up the in-scattered radiance per unit scattering J, and a splat sends albedo x J.
inline Vec3 colour_from_light(Vec3 l, float rho, const CloudGrid& cloud) {
    if (cloud.shading.physical) return scale(l, cloud.optical[1]);
    return scale(scale(l, 1.0f / rho), cloud.splat_brightness);
}

// Colour of one blob seen from e.
inline Vec3 splat_colour(const Blob& blob, float rho, Vec3 e, const CloudGrid& cloud) {
    const Vec3 p{blob.x, blob.y, blob.z};
    float theta, phi;
    direction_angles(sub(e, p), theta, phi);
    return colour_from_light(lookup_dir_light(theta, phi, p, cloud), rho, cloud);
}

// Writes the centre, colour and tile of one blob at slot q of the frame.
inline void emit_splat(SplatFrame& frame, size_t q, const Blob& blob, float rho, Vec3 colour,
                       const CloudGrid& cloud) {
    const Vec3 offset = splat_offset(blob.cell, cloud.grd_size);
    float* c = frame.centres.data() + q * 3;
    c[0] = cloud.grd_origin.x + blob.x + offset.x;
    c[1] = cloud.grd_origin.y + blob.y + offset.y;
    c[2] = cloud.grd_origin.z + blob.z + offset.z;
    float* col = frame.splat_colours.data() + q * 3;
    col[0] = colour.x;
    col[1] = colour.y;
    col[2] = colour.z;
    if (cloud.shading.physical) {
        // The physical shaders draw the footprint themselves; the quads' rows then span 0 ... 1/32.
        frame.splat_tiles[q] = 0.0f;
        frame.splat_depths[q] = cloud.optical[0] * rho * frame.path_length;
    } else {
        frame.splat_tiles[q] = static_cast<float>(splat_tile(rho)) / kSplatTiles;
    }
}

// Writes the quad, texture rows and colour of splat q, whose centre relative to the grid is p.
void emit_quad(SplatFrame& frame, size_t q, Vec3 p, Vec3 e, const CloudGrid& cloud) {
    const Vec3 v = sub(e, p);
    const float t0 = frame.splat_tiles[q];
    const float t1 = t0 + kTileStep;

    // The square turned by phi about z and then theta about y faces the eye: its local x and y axes are
    // (cos t cos p, cos t sin p, -sin t) and (-sin p, cos p, 0), read straight off the view vector.
    const float h2 = v.x * v.x + v.y * v.y;
    const float d = std::sqrt(h2 + v.z * v.z), h = std::sqrt(h2);
    const float inv_d = d > 0.0f ? 1.0f / d : 0.0f, inv_h = h > 0.0f ? 1.0f / h : 0.0f;
    const float ct = d > 0.0f ? v.z * inv_d : 1.0f, st = h * inv_d;
    const float cp = h > 0.0f ? v.x * inv_h : 1.0f, sp = v.y * inv_h;
    const float a = cloud.splat_size * cloud.grd_size;
    const Vec3 ax = scale(Vec3{ct * cp, ct * sp, -st}, a);
    const Vec3 ay = scale(Vec3{-sp, cp, 0.0f}, a);
    const Vec3 c = add(cloud.grd_origin, p);
    const Vec3 corners[4] = {add(sub(c, ax), ay), add(add(c, ax), ay), sub(add(c, ax), ay),
                             sub(sub(c, ax), ay)};
    float* vert = frame.vertices.data() + q * 12;
    float* col = frame.colours.data() + q * 12;
    const float* colour = frame.splat_colours.data() + q * 3;
    for (int i = 0; i < 4; ++i) {
        vert[3 * i] = corners[i].x;
        vert[3 * i + 1] = corners[i].y;
        vert[3 * i + 2] = corners[i].z;
        col[3 * i] = colour[0];
        col[3 * i + 1] = colour[1];
        col[3 * i + 2] = colour[2];
    }
    float* tex = frame.texcoords.data() + q * 8;
    const float st_coords[8] = {0.0f, t0, 1.0f, t0, 1.0f, t1, 0.0f, t1};
    std::copy(st_coords, st_coords + 8, tex);
}

// True when every radiance value of the cloud is 0: every splat is then black, whatever its direction.
bool cloud_light_is_dark(const CloudGrid& cloud) {
    if (cloud.dcl_dir_light.empty()) return true;  // no radiance at all: the lookups find 0 as well
    // The bits of whole chunks are or-ed together (the sign dropped: -0 is dark too), which the compiler
    // turns into wide loads; a lit cloud usually stops in the first chunk.
    const float* f = &cloud.dcl_dir_light.front().x;
    const size_t n = cloud.dcl_dir_light.size() * 3;
    constexpr size_t kChunk = 1024;
    for (size_t at = 0; at < n; at += kChunk) {
        const size_t stop = std::min(n, at + kChunk);
        uint32_t any = 0;
        for (size_t i = at; i < stop; ++i) {
            uint32_t u;
            std::memcpy(&u, f + i, sizeof u);
            any |= u & 0x7fffffffu;
        }
        if (any != 0) return false;
    }
    return true;
}

// Density of a cell, or 0 when the cell index is outside the density array.
inline float cell_density(const CloudGrid& cloud, int32_t cell) {
    if (cell < 0 || static_cast<size_t>(cell) >= cloud.grd_density.size()) return 0.0f;
    return cloud.grd_density[static_cast<size_t>(cell)];
}

inline float blob_density(const CloudGrid& cloud, const Blob& b) { return cell_density(cloud, b.cell); }

inline uint64_t float_bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return static_cast<uint64_t>(u);
}

// A blob's place in the list and cell (not its sort key) mixed into one number.
inline uint64_t blob_hash(const Blob& b) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(b.cell)) + 1) * 0x9e3779b97f4a7c15ull +
           float_bits(b.x) * 0xc2b2ae3d27d4eb4full + float_bits(b.y) * 0x165667b19e3779f9ull +
           float_bits(b.z) * 0x27d4eb2f165667c5ull;
}

// The hash of a blob at place r of the list: summed over the list, it changes when blobs change places.
inline uint64_t placed_hash(uint64_t hash, size_t r) {
    return (hash ^ (static_cast<uint64_t>(r) * 0xd6e8feb86659fd93ull)) * 0xa0761d6478bd642full;
}

// What the grouping and the eye-independent set-up depend on besides the blobs: the grids.
uint64_t grid_fingerprint(const CloudGrid& cloud) {
    const uint64_t coarse = (static_cast<uint64_t>(static_cast<uint32_t>(cloud.dcl_numx)) << 40) ^
                            (static_cast<uint64_t>(static_cast<uint32_t>(cloud.dcl_numy)) << 20) ^
                            static_cast<uint32_t>(cloud.dcl_numz) ^ (float_bits(cloud.dcl_size) << 17);
    // The drawn centres also follow the fine grid's origin and cell size.
    const uint64_t fine =
        (float_bits(cloud.grd_origin.x) << 32 ^ float_bits(cloud.grd_origin.y)) * 0x94d049bb133111ebull +
        (float_bits(cloud.grd_origin.z) << 32 ^ float_bits(cloud.grd_size)) * 0xbf58476d1ce4e5b9ull;
    return (coarse * 0xff51afd7ed558ccdull) ^ (cloud.blobs.size() * 0xc4ceb9fe1a85ec53ull) ^ fine;
}

// Orders frame.by_cell by the coarse cell that each blob's lookup starts from.
void group_blobs(SplatFrame& frame, const CloudGrid& cloud) {
    const int32_t cx = std::max(cloud.dcl_numx, 1), cy = std::max(cloud.dcl_numy, 1),
                  cz = std::max(cloud.dcl_numz, 1);
    const float inv_size = cloud.dcl_size > 0.0f ? 1.0f / cloud.dcl_size : 0.0f;
    auto axis = [](float u, int32_t cells) {
        if (!(u > 0.0f)) return 0u;
        return u >= static_cast<float>(cells - 1) ? static_cast<uint32_t>(cells - 1)
                                                  : static_cast<uint32_t>(u);
    };
    auto group = [=](const Blob& b) {
        return axis(b.x * inv_size - 0.5f, cx) +
               static_cast<uint32_t>(cx) * (axis(b.y * inv_size - 0.5f, cy) +
                                            static_cast<uint32_t>(cy) * axis(b.z * inv_size - 0.5f, cz));
    };
    const uint64_t groups = static_cast<uint64_t>(cx) * static_cast<uint64_t>(cy) * static_cast<uint64_t>(cz);
    int group_bits = 0;
    while (group_bits < 32 && ((groups - 1) >> group_bits) != 0) group_bits += kRadixBits;
    radix_sort(frame.by_cell, frame.sort_scratch, group_bits, group);
}

// The eye-independent part of each grouped blob's splat: its light lookup's corners, and the blob itself
// in its record.
void make_setup(SplatFrame& frame, const CloudGrid& cloud) {
    const size_t n = frame.by_cell.size();
    frame.corners.resize(n);
    frame.splats.resize(n);
    frame.drawn.resize(n);
    run_on_two_threads(n >= 2 * kParallelBlobs, [&](int t) {
        for (size_t i = t == 0 ? 0 : n / 2; i < (t == 0 ? n / 2 : n); ++i) {
            const Blob& b = frame.by_cell[i];
            frame.corners[i] = light_corners(Vec3{b.x, b.y, b.z}, cloud);
            PreparedSplat& s = frame.splats[i];
            s.x = b.x;
            s.y = b.y;
            s.z = b.z;
            s.cell = b.cell;
        }
    });
}

void size_frame(SplatFrame& frame, const CloudGrid& cloud, size_t blobs) {
    frame.path_length = splat_path_length(cloud.splat_size, cloud.grd_size);
    if (frame.centres.size() < blobs * 3) {
        frame.centres.resize(blobs * 3);
        frame.splat_colours.resize(blobs * 3);
        frame.splat_tiles.resize(blobs);
        frame.splat_depths.resize(blobs);
    }
}

}  // namespace

std::vector<float> build_splat_strip(float splat_size, float splat_extinction) {
    const int n = kSplatTileSize;
    std::vector<float> strip(static_cast<size_t>(kSplatTiles) * n * n * 4);
    const float r = splat_size;
    const float c = 2.0f * r / static_cast<float>(n);
    const float r2 = r * r;
    const float peak = kFootprintPeak * 2.0f * r;
    float level = 0.0f;
    size_t at = 0;
    for (int k = 0; k < kSplatTiles; ++k) {
        level += kTileStep;
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                const float x = -r + static_cast<float>(j) * c;
                const float y = -r + static_cast<float>(i) * c;
                const float d2 = x * x + y * y;
                float f = 0.0f;
                if (d2 < r2) {
                    const float u = 1.0f - d2 / r2;
                    f = 2.0f * std::sqrt(r2 - d2) * (kFootprintU2 * u * u + kFootprintU3 * u * u * u);
                }
                const float g = level * f;
                // A zero radius has no footprint at all: every texel is clear.
                const float e = peak > 0.0f ? g / peak : 0.0f;
                strip[at++] = e;
                strip[at++] = e;
                strip[at++] = e;
                strip[at++] = std::exp(-splat_extinction * g);
            }
        }
    }
    return strip;
}

float splat_path_length(float splat_size, float grd_size) {
    // The blob's density integrated over its ball, in cubic fine cells: 4 pi R^3 times the integral of
    // x^2 (1 - 22/9 x^2 + 17/9 x^4 - 4/9 x^6) over 0 ... 1.
    const double kernel_volume = 4.0 * 3.14159265358979 *
                                 (1.0 / 3.0 - 22.0 / 45.0 + 17.0 / 63.0 - 4.0 / 81.0) * splat_size *
                                 splat_size * splat_size;
    if (!(kernel_volume > 0.0)) return 0.0f;
    // The line integral through the centre, in fine cells, over the kernel's volume in cells: the path
    // length through a splat that holds exactly one cell of medium.
    const double centre = 2.0 * static_cast<double>(kFootprintPeak) * splat_size;
    return static_cast<float>(centre / kernel_volume * grd_size);
}

float splat_centre_depth(const CloudGrid& cloud, float rho) {
    return cloud.optical[0] * rho * splat_path_length(cloud.splat_size, cloud.grd_size);
}

float splat_profile(float d2) {
    if (!(d2 < 1.0f)) return 0.0f;
    const float u = 1.0f - d2;
    return std::sqrt(u) * (kFootprintU2 * u * u + kFootprintU3 * u * u * u) / (kFootprintU2 + kFootprintU3);
}

float splat_opacity(float tau) { return 1.0f - std::exp(-tau); }

void composite_over(Vec3& radiance, float& transmittance, Vec3 colour, float alpha) {
    radiance = add(scale(colour, alpha), scale(radiance, 1.0f - alpha));
    transmittance *= 1.0f - alpha;
}

int compare_blobs(const Blob& a, const Blob& b) {
    if (a.sort_key > b.sort_key) return -1;
    if (a.sort_key < b.sort_key) return 1;
    return 0;
}

int splat_tile(float rho) {
    // The wrap-around of the texture would show the faintest tile for the densest cells.
    const float k = rho * static_cast<float>(kSplatTiles);
    if (!(k > 0.0f)) return 0;
    return k >= kSplatTiles - 1 ? kSplatTiles - 1 : static_cast<int>(k);
}

void prepare_cloud_splats_reference(SplatFrame& frame, CloudGrid& cloud, Vec3 eye) {
    const Vec3 e = sub(eye, cloud.grd_origin);
    set_sort_keys(cloud.blobs, e);
    std::sort(cloud.blobs.begin(), cloud.blobs.end(),
              [](const Blob& a, const Blob& b) { return compare_blobs(a, b) < 0; });
    size_frame(frame, cloud, cloud.blobs.size());
    size_t q = 0;
    for (const Blob& b : cloud.blobs) {
        const float rho = blob_density(cloud, b);
        if (!(rho > cloud.density_threshold) || !(rho > 0.0f)) continue;
        emit_splat(frame, q++, b, rho, splat_colour(b, rho, e, cloud), cloud);
    }
    frame.quad_count = static_cast<int32_t>(q);
}

void prepare_cloud_splats(SplatFrame& frame, CloudGrid& cloud, Vec3 eye) {
    const Vec3 e = sub(eye, cloud.grd_origin);
    const size_t n = cloud.blobs.size();
    size_frame(frame, cloud, n);

    // The lookups run grouped by the coarse cell at the low corner of their blend, so that the few blobs
    // reading the same eight coarse cells follow one another, rather than in drawing order, which jumps
    // across the whole light array; each splat is then written to its drawing slot. The grouping only
    // orders the work (every blob's values are the same in any order) and does not depend on the eye, so it
    // is redone only when the blob list or the coarse grid has changed.
    // One read of the list as it stands gives an order-independent hash of it (for the grouping), a hash
    // of which blob sits where, and, when the list is still in last frame's order, this frame's sort keys
    // in that order: an almost sorted start, read straight through rather than gathered.
    const bool had_order = frame.last_order.size() == n && frame.by_cell.size() == n;
    frame.order_scratch.resize(n);
    uint64_t set_sum[kParts] = {}, placed_sum[kParts] = {};

    // Density, tile and colour in group order, each blob's splat made whole so that the
    // drawing-order pass only copies it; it never touches the large density array.
    size_t hidden[kParts] = {};
    // A dark cloud needs no lookups: every colour is 0, as the lookups would find.
    const bool dark = cloud_light_is_dark(cloud);
    const bool physical = cloud.shading.physical;
    const float depth_per_rho = cloud.optical[0];
    auto light_part = [&](size_t t) {
        const size_t m = frame.by_cell.size();
        const size_t begin = part_begin(t, m), end = part_begin(t + 1, m);
        hidden[t] = 0;
        // Batches of blobs go through each step together, so that the lookups of neighbours overlap.
        Vec3 v[kLightBatch], l[kLightBatch];
        const LightCorners* corners[kLightBatch];
        float theta[kLightBatch], phi[kLightBatch], rho[kLightBatch];
        size_t slot[kLightBatch];
        for (size_t at = begin; at < end; at += kLightBatch) {
            const size_t stop = std::min(end, at + kLightBatch);
            int count = 0;
            // The densities of the next batch are asked for now: their cells lie too far apart for the
            // processor to see the pattern, and waiting on each one dominated the pass.
            for (size_t i = stop; i < std::min(end, stop + kLightBatch); ++i) {
                const int32_t cell = frame.splats[i].cell;
                if (cell >= 0 && static_cast<size_t>(cell) < cloud.grd_density.size())
                    __builtin_prefetch(&cloud.grd_density[static_cast<size_t>(cell)]);
            }
            for (size_t i = at; i < stop; ++i) {
                PreparedSplat& s = frame.splats[i];
                s.colour[0] = s.colour[1] = s.colour[2] = 0.0f;
                s.tile_or_depth = 0.0f;
                const float r = cell_density(cloud, s.cell);
                const bool drawn = r > cloud.density_threshold && r > 0.0f;
                frame.drawn[i] = drawn ? 1 : 0;
                if (!drawn) {
                    ++hidden[t];
                    continue;
                }
                // The physical shaders draw the footprint themselves and need its depth instead of a tile.
                s.tile_or_depth = physical ? depth_per_rho * r * frame.path_length
                                           : static_cast<float>(splat_tile(r)) / kSplatTiles;
                v[count] = sub(e, Vec3{s.x, s.y, s.z});
                corners[count] = &frame.corners[i];
                rho[count] = r;
                slot[count++] = i;
            }
            if (dark) continue;
            direction_angles_batch(v, count, theta, phi);
            lookup_dir_light_corners_batch(theta, phi, corners, count, cloud, l);
            for (int k = 0; k < count; ++k) {
                const Vec3 c = colour_from_light(l[k], rho[k], cloud);
                float* out = frame.splats[slot[k]].colour;
                out[0] = c.x;
                out[1] = c.y;
                out[2] = c.z;
            }
        }
    };
    auto read_part = [&](size_t t) {
        uint64_t set = 0, placed = 0;
        for (size_t r = part_begin(t, n); r < part_begin(t + 1, n); ++r) {
            const Blob& b = cloud.blobs[r];
            const uint64_t h = blob_hash(b);
            set += h;
            placed += placed_hash(h, r);
            if (had_order)
                frame.order_scratch[r] =
                    static_cast<uint64_t>(descending_bits(sort_key(b, e))) << 32 | frame.last_order[r];
        }
        set_sum[t] = set;
        placed_sum[t] = placed;
    };
    const bool shared = n >= 2 * kParallelBlobs;
    share_parts(shared, kParts, read_part);
    uint64_t set_total = 0, placed_total = 0;
    for (size_t t = 0; t < kParts; ++t) {
        set_total += set_sum[t];
        placed_total += placed_sum[t];
    }
    const uint64_t fingerprint = set_total ^ grid_fingerprint(cloud);
    bool in_last_order = had_order && placed_total == frame.placed_fingerprint;
    if (fingerprint != frame.grouped_fingerprint || frame.by_cell.size() != n || frame.corners.size() != n) {
        frame.by_cell = cloud.blobs;
        group_blobs(frame, cloud);
        make_setup(frame, cloud);
        frame.grouped_fingerprint = fingerprint;
        in_last_order = false;
    }

    // Farthest first; ties keep the group order. While the eye moves a little from frame to frame, last
    // frame's order is almost this frame's, and sorting it again moves only a few blobs. The sort is one
    // part among the lighting's, so that it runs beside them rather than before.
    frame.order.resize(n);
    auto sort_part = [&] {
        if (in_last_order && insertion_sort_bounded(frame.order_scratch, kReorderMovesPerBlob * n)) {
            frame.order.swap(frame.order_scratch);
            return;
        }
        for (size_t i = 0; i < n; ++i)
            frame.order[i] = static_cast<uint64_t>(descending_bits(sort_key(frame.by_cell[i], e))) << 32 | i;
        radix_sort(frame.order, frame.order_scratch, 32,
                   [](uint64_t o) { return static_cast<uint32_t>(o >> 32); });
    };
    auto sort_and_light_part = [&](size_t t) {
        if (t == 0)
            sort_part();
        else
            light_part(t - 1);
    };
    share_parts(shared, kParts + 1, sort_and_light_part);
    frame.last_order.resize(n);

    // Usually every blob is drawn and slot r is r; otherwise the slots are counted out first.
    size_t hidden_total = 0;
    for (const size_t h : hidden) hidden_total += h;
    const bool all_drawn = hidden_total == 0;
    if (!all_drawn) {
        frame.slot.resize(n);
        int32_t q = 0;
        for (size_t r = 0; r < n; ++r) {
            frame.slot[r] = frame.drawn[static_cast<size_t>(frame.order[r] & 0xffffffffu)] != 0 ? q++ : -1;
        }
    }
    frame.quad_count = static_cast<int32_t>(n - hidden_total);
    auto emit_part = [&](size_t t) {
        const size_t begin = part_begin(t, n), end = part_begin(t + 1, n);
        uint64_t placed = 0;
        for (size_t r = begin; r < end; ++r) {
            // The blobs come from all over the group order: asking for them well ahead keeps many reads
            // in flight instead of waiting on each in turn.
            if (r + kPrefetchAhead < end)
                __builtin_prefetch(
                    &frame.splats[static_cast<size_t>(frame.order[r + kPrefetchAhead] & 0xffffffffu)]);
            const size_t i = static_cast<size_t>(frame.order[r] & 0xffffffffu);
            frame.last_order[r] = static_cast<uint32_t>(i);
            const PreparedSplat& s = frame.splats[i];
            Blob& b = cloud.blobs[r];
            b = Blob{s.x, s.y, s.z, key_of(frame.order[r]), s.cell};
            placed += placed_hash(blob_hash(b), r);
            const int32_t q = all_drawn ? static_cast<int32_t>(r) : frame.slot[r];
            if (q < 0) continue;
            const size_t at = static_cast<size_t>(q);
            const Vec3 offset = splat_offset(s.cell, cloud.grd_size);
            float* c = frame.centres.data() + at * 3;
            c[0] = cloud.grd_origin.x + s.x + offset.x;
            c[1] = cloud.grd_origin.y + s.y + offset.y;
            c[2] = cloud.grd_origin.z + s.z + offset.z;
            std::memcpy(frame.splat_colours.data() + at * 3, s.colour, sizeof s.colour);
            if (physical) {
                frame.splat_tiles[at] = 0.0f;  // the quads' rows then span 0 ... 1/32
                frame.splat_depths[at] = s.tile_or_depth;
            } else {
                frame.splat_tiles[at] = s.tile_or_depth;
            }
        }
        placed_sum[t] = placed;
    };
    share_parts(shared, kParts, emit_part);
    frame.placed_fingerprint = 0;
    for (const uint64_t p : placed_sum) frame.placed_fingerprint += p;
}

void expand_splat_quads(SplatFrame& frame, const CloudGrid& cloud, Vec3 eye, int32_t first, int32_t last) {
    first = std::max(first, 0);
    last = std::min(last, frame.quad_count);
    if (first >= last) return;
    const size_t n = static_cast<size_t>(frame.quad_count);
    if (frame.vertices.size() < n * 12) {
        frame.vertices.resize(n * 12);
        frame.colours.resize(n * 12);
        frame.texcoords.resize(n * 8);
    }
    const Vec3 e = sub(eye, cloud.grd_origin);
    const size_t begin = static_cast<size_t>(first), end = static_cast<size_t>(last);
    const size_t mid = begin + (end - begin) / 2;
    run_on_two_threads(end - begin >= 2 * kParallelBlobs, [&](int t) {
        for (size_t q = t == 0 ? begin : mid; q < (t == 0 ? mid : end); ++q) {
            // The blob's own offset from the grid origin, as the sort saw it.
            const float* c = frame.centres.data() + q * 3;
            const Vec3 p{c[0] - cloud.grd_origin.x, c[1] - cloud.grd_origin.y, c[2] - cloud.grd_origin.z};
            emit_quad(frame, q, p, e, cloud);
        }
    });
}

Vec3 splat_offset(int32_t cell, float grd_size) {
    // A 32-bit integer mix of the cell index; three 10-bit fields give the three fractions.
    uint32_t h = static_cast<uint32_t>(cell) * 0x9e3779b9u;
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    auto field = [&](int shift) {
        return (static_cast<float>((h >> shift) & 0x3ffu) + 0.5f) / 1024.0f - 0.5f;
    };
    const float span = kSplatJitter * grd_size;
    return Vec3{field(0) * span, field(10) * span, field(20) * span};
}

void mark_splat_light_changed(SplatFrame& frame) { frame.light_changed = true; }

bool splats_need_preparing(const SplatFrame& frame, const CloudGrid& cloud, Vec3 eye) {
    return !frame.prepared || frame.light_changed || frame.prepared_blobs != cloud.blobs.size() ||
           frame.prepared_eye.x != eye.x || frame.prepared_eye.y != eye.y || frame.prepared_eye.z != eye.z;
}

void prepare_splats_when_needed(SplatFrame& frame, CloudGrid& cloud, Vec3 eye) {
    if (!splats_need_preparing(frame, cloud, eye)) return;
    const auto start = std::chrono::steady_clock::now();
    prepare_cloud_splats(frame, cloud, eye);
    frame.prepared = true;
    frame.light_changed = false;
    frame.prepared_eye = eye;
    frame.prepared_blobs = cloud.blobs.size();
    frame.prepare_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
