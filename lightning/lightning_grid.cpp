// lightning_grid.cpp -- the lightning grid, the Haar transform and relighting the cloud from the table
#include "lightning/lightning_grid.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

namespace {

// 1 / B^2 falls by this much per layer below the cloud (B = depth below the top).
constexpr double kLayerFalloff = 5e-6;
// The Haar normalisation divisor, sqrt(2) to the digits the tables were made with.
constexpr double kHaarRoot = 1.41421356;
// The table's coefficients are stored scaled up by this much.
constexpr double kTableScale = 1e9;

// Runs first(0) and first(1), then second(0) and second(1), on two threads: one thread started per call
// (starting one costs about as much as a tenth of the relight), the two meeting between the phases.
template <typename First, typename Second>
void run_in_two_phases(First first, Second second) {
    if (std::thread::hardware_concurrency() < 2) {
        first(0);
        first(1);
        second(0);
        second(1);
        return;
    }
    std::mutex mutex;
    std::condition_variable both_done;
    int arrived = 0;
    auto body = [&](int t) {
        first(t);
        {
            // Waiting asleep, not spinning: on a loaded machine a spinning thread takes the core its
            // partner needs to finish.
            std::unique_lock<std::mutex> lock(mutex);
            if (++arrived == 2) {
                both_done.notify_one();
            } else {
                both_done.wait(lock, [&arrived] { return arrived == 2; });
            }
        }
        second(t);
    };
    std::thread other([&body] { body(0); });
    body(1);
    other.join();
}

// The colour that the whole cloud takes: the first source's intensity over its component sum.
Vec3 colour_ratios(const Vec3* intensity, int count) {
    if (count < 1 || !intensity) return Vec3{};
    const Vec3 c = intensity[0];
    const float sum = c.x + c.y + c.z;
    if (sum == 0.0f || !std::isfinite(sum)) return Vec3{};
    return Vec3{c.x / sum, c.y / sum, c.z / sum};
}

// Everything the relighting reads must agree: the grid, the table and the cloud's coarse grid.
bool relight_possible(const LightningGrid& grid, const BaseIntensityTable& table, const CloudGrid& cloud) {
    if (!lightning_grid_usable(grid) || !table.loaded) return false;
    const int64_t m = static_cast<int64_t>(cloud.dcl_numx) * cloud.dcl_numy * cloud.dcl_numz;
    return table.cell_count == lightning_cell_count(grid) && table.dir_count == kDirCount &&
           table.coarse_count == m && m > 0 &&
           static_cast<int64_t>(cloud.dcl_dir_light.size()) >= m * kDirCount &&
           static_cast<int64_t>(table.start.size()) == static_cast<int64_t>(table.cell_count) * kDirCount + 1;
}

// Gamma mapping of one channel: (ratio * L)^gamma_inv * light_scale, in double as the tables were tuned.
inline float gamma_map(float ratio, float l, float gamma_inv, float light_scale) {
    return static_cast<float>(std::pow(static_cast<double>(ratio * l), static_cast<double>(gamma_inv)) *
                              light_scale);
}

// Adds the table's coefficients for direction d, weighted by each lit cell's total, into w.
void scatter_direction(const BaseIntensityTable& table, const float* total, int32_t cells, int32_t d,
                       float* w) {
    for (int32_t c = 0; c < cells; ++c) {
        const float t = total[c];
        if (!(t > 0.0f)) continue;
        const size_t r = static_cast<size_t>(c) * kDirCount + static_cast<size_t>(d);
        const int64_t end = table.start[r + 1];
        for (int64_t k = table.start[r]; k < end; ++k)
            w[table.index[static_cast<size_t>(k)]] += table.value[static_cast<size_t>(k)] * t;
    }
}

// Each of the two threads reconstructs half of the directions into its own block, the directions of a
// coarse cell side by side (block[i * kHalfDirs + d]): every transform pass then runs along contiguous
// floats, and the colour mapping reads each cell's values together.
constexpr int32_t kHalfDirs = kDirCount / 2;
static_assert(kDirCount % 2 == 0, "the directions split evenly over the two threads");
// Lines transformed together in the y and z passes: wide enough for the vector units, narrow enough
// that every level of a chunk stays in the second-level cache.
constexpr size_t kChunkLines = 512;

// Adds one thread's half of the table (directions first ... first + kHalfDirs - 1), weighted by each lit
// cell's total, into its block. A cell's records for these directions lie together in the table, so each
// kept coefficient is read once, in storage order; each value still sums its terms in the reference's
// order (cell, then coefficient).
void scatter_half(const BaseIntensityTable& table, const float* total, int32_t cells, int32_t first,
                  float* block) {
    const int64_t* start = table.start.data();
    const int32_t* index = table.index.data();
    const float* value = table.value.data();
    for (int32_t c = 0; c < cells; ++c) {
        const float t = total[c];
        if (!(t > 0.0f)) continue;
        const size_t r = static_cast<size_t>(c) * kDirCount + static_cast<size_t>(first);
        for (int32_t d = 0; d < kHalfDirs; ++d) {
            const int64_t end = start[r + static_cast<size_t>(d) + 1];
            for (int64_t k = start[r + static_cast<size_t>(d)]; k < end; ++k)
                block[static_cast<size_t>(index[k]) * kHalfDirs + static_cast<size_t>(d)] += value[k] * t;
        }
    }
}

// The fast kernels below are plain loops over contiguous floats; this compiler vectorises them only when
// asked (and loops with selects only when told that comparisons raise no trap, which changes no value),
// and builds AVX-512 and AVX2 copies beside the baseline one, the best the processor runs chosen when the
// program loads. Multiply-adds stay unfused in every copy, so all of them round as the reference does.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("O3", "no-trapping-math", "fp-contract=off")
#endif
// The thread sanitizer's runtime is not up yet when the loader runs the resolvers that pick a copy, so its
// build keeps the baseline copy alone.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__)
#define RELIGHT_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define RELIGHT_VECTOR_CLONES
#endif

// One merge level over `lines` lines: low row i (pitch lo_pitch) and high row i (pitch hi_pitch) make rows
// 2i and 2i + 1 of out (pitch out_pitch). The high rows are still unscaled and take s here, as do the low
// rows on the first level (lo_scale s, then 1). out may be the buffer that holds the high rows: row 2i and
// 2i + 1 are high rows already read, or row i's own.
RELIGHT_VECTOR_CLONES
void merge_rows(const float* lo, size_t lo_pitch, const float* hi, size_t hi_pitch, float* out,
                size_t out_pitch, int h, size_t lines, float lo_scale, float s, double inv) {
    for (int i = 0; i < h; ++i) {
        const float* x = lo + static_cast<size_t>(i) * lo_pitch;
        const float* y = hi + static_cast<size_t>(i) * hi_pitch;
        float* even = out + static_cast<size_t>(2 * i) * out_pitch;
        float* odd = even + out_pitch;
        for (size_t l = 0; l < lines; ++l) {
            const float u = x[l] * lo_scale, v = y[l] * s;
            even[l] = static_cast<float>((u + v) * inv);
            odd[l] = static_cast<float>((u - v) * inv);
        }
    }
}

// The first merge level in place: rows 0 and 1, both scaled by s, become their sum and difference.
RELIGHT_VECTOR_CLONES
void merge_first_in_place(float* __restrict row0, float* __restrict row1, size_t lines, float s, double inv) {
    for (size_t l = 0; l < lines; ++l) {
        const float u = row0[l] * s, v = row1[l] * s;
        row0[l] = static_cast<float>((u + v) * inv);
        row1[l] = static_cast<float>((u - v) * inv);
    }
}

// inverse_haar_1d applied to `lines` lines at once: element e of line l is a[e * stride + l]; scratch holds
// n * lines floats. The levels go back and forth between the lines and scratch instead of copying back
// each time, and scale each value by sqrt(n) where they first read it; the arithmetic per value is the
// reference's, except that the merges multiply by the reciprocal in double where the reference divides:
// the two round to the same float except when their double results straddle a float rounding boundary
// (about once in 2^28).
void inverse_haar_lines(float* a, int n, size_t stride, size_t lines, float* scratch) {
    const float s = std::sqrt(static_cast<float>(n));
    const double inv = 1.0 / kHaarRoot;
    int top = 1;
    while (top * 2 <= n) top *= 2;
    // Rows past the largest power of two take only the scaling (all of them when there is no merge).
    for (int e = top == 1 ? 0 : top; e < n; ++e) {
        float* row = a + static_cast<size_t>(e) * stride;
        for (size_t l = 0; l < lines; ++l) row[l] *= s;
    }
    int levels = 0;
    for (int m = 2; m <= n; m *= 2) ++levels;
    bool in_scratch = false;  // where the merged low rows are
    float lo_scale = s;
    int m = 2;
    // With an odd number of levels the first is done in place, so that the last one ends in the lines.
    if (levels % 2 == 1) {
        merge_first_in_place(a, a + stride, lines, s, inv);
        lo_scale = 1.0f;
        m = 4;
    }
    for (; m <= n; m *= 2) {
        const int h = m / 2;
        if (in_scratch) {
            merge_rows(scratch, lines, a + static_cast<size_t>(h) * stride, stride, a, stride, h, lines,
                       lo_scale, s, inv);
        } else {
            merge_rows(a, stride, a + static_cast<size_t>(h) * stride, stride, scratch, lines, h, lines,
                       lo_scale, s, inv);
        }
        lo_scale = 1.0f;
        in_scratch = !in_scratch;
    }
    if (in_scratch) {
        for (int e = 0; e < top; ++e) {
            const float* from = scratch + static_cast<size_t>(e) * lines;
            std::copy(from, from + lines, a + static_cast<size_t>(e) * stride);
        }
    }
}

// inverse_haar_3d of one thread's block: x lines (kHalfDirs at once), then y and z lines in chunks.
void inverse_haar_block(float* block, int nx, int ny, int nz, float* scratch) {
    const size_t w = kHalfDirs;
    const size_t row = static_cast<size_t>(nx) * w, slab = static_cast<size_t>(ny) * row;
    const size_t rows = static_cast<size_t>(ny) * static_cast<size_t>(nz);
    for (size_t r = 0; r < rows; ++r) inverse_haar_lines(block + r * row, nx, w, w, scratch);
    for (size_t z = 0; z < static_cast<size_t>(nz); ++z)
        for (size_t l = 0; l < row; l += kChunkLines)
            inverse_haar_lines(block + z * slab + l, ny, row, std::min(kChunkLines, row - l), scratch);
    for (size_t l = 0; l < slab; l += kChunkLines)
        inverse_haar_lines(block + l, nz, slab, std::min(kChunkLines, slab - l), scratch);
}

// x^g for a positive, finite x, to about 1e-13 relative: log2 from the exponent and an atanh series of the
// mantissa, then 2^y from the integer part and a Taylor series of the rest. Plain arithmetic and bit
// moves, so that a loop of them vectorises; far finer than the float it ends in. y is held within
// +-1020, where x^g lies beyond the float range either way.
inline double power_of_positive(double x, double g) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    double e = static_cast<double>(static_cast<int32_t>(bits >> 52) - 1023);
    bits = (bits & 0x000fffffffffffffull) | 0x3ff0000000000000ull;
    double m;
    std::memcpy(&m, &bits, sizeof m);
    // The mantissa into [sqrt(1/2), sqrt(2)), where t = (m - 1) / (m + 1) stays below 0.172.
    const bool fold = m > 1.4142135623730951;
    m = fold ? 0.5 * m : m;
    e = fold ? e + 1.0 : e;
    const double t = (m - 1.0) / (m + 1.0), t2 = t * t;
    double p = 1.0 / 15.0;
    p = p * t2 + 1.0 / 13.0;
    p = p * t2 + 1.0 / 11.0;
    p = p * t2 + 1.0 / 9.0;
    p = p * t2 + 1.0 / 7.0;
    p = p * t2 + 1.0 / 5.0;
    p = p * t2 + 1.0 / 3.0;
    p = p * t2 + 1.0;
    double y = g * (e + 2.8853900817779268 * t * p);  // 2 / ln 2
    y = y < -1020.0 ? -1020.0 : (y > 1020.0 ? 1020.0 : y);
    // Rounded to the nearest integer by the float unit itself: adding 1.5 * 2^52 leaves no fraction bits.
    const double n = (y + 6755399441055744.0) - 6755399441055744.0;
    const double f = (y - n) * 0.6931471805599453;  // ln 2; |f| <= 0.35
    double q = 1.0 / 479001600.0;                   // 1 / 12!
    q = q * f + 1.0 / 39916800.0;
    q = q * f + 1.0 / 3628800.0;
    q = q * f + 1.0 / 362880.0;
    q = q * f + 1.0 / 40320.0;
    q = q * f + 1.0 / 5040.0;
    q = q * f + 1.0 / 720.0;
    q = q * f + 1.0 / 120.0;
    q = q * f + 1.0 / 24.0;
    q = q * f + 1.0 / 6.0;
    q = q * f + 0.5;
    q = q * f + 1.0;
    q = q * f + 1.0;
    const uint64_t scale_bits = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(n)) + 1023)
                                << 52;
    double scale;
    std::memcpy(&scale, &scale_bits, sizeof scale);
    return q * scale;
}

// v^g for `count` reconstructed values, v = w / 1e9; -1 where v is not above 0 (those cells are dark).
RELIGHT_VECTOR_CLONES
void gamma_powers(const float* __restrict w, size_t count, float gi, double* __restrict out) {
    const double g = gi;
    for (size_t e = 0; e < count; ++e) {
        const float v = static_cast<float>(w[e] * (1.0 / kTableScale));
        const bool lit = v > 0.0f && v <= 3.4028234663852886e38f;
        const double p = power_of_positive(lit ? static_cast<double>(v) : 1.0, g);
        out[e] = lit ? p : -1.0;
    }
}

// Colours of kHalfDirs directions of one cell from their powers: (r^g * light_scale) v^g per channel.
RELIGHT_VECTOR_CLONES
void colour_half(const double* __restrict pl, double pr, double pg, double pb, Vec3 dark,
                 Vec3* __restrict cell) {
    float* __restrict out = &cell[0].x;
    for (int32_t d = 0; d < kHalfDirs; ++d) {
        const bool lit = pl[d] >= 0.0;
        out[3 * d] = lit ? static_cast<float>(pr * pl[d]) : dark.x;
        out[3 * d + 1] = lit ? static_cast<float>(pg * pl[d]) : dark.y;
        out[3 * d + 2] = lit ? static_cast<float>(pb * pl[d]) : dark.z;
    }
}

// Cells whose powers are worked out together: long vector loops, and the powers stay in the first-level
// cache until they are used.
constexpr size_t kColourChunk = 64;

// Reconstructed value to colour for the cells begin ... end - 1: v = w / 1e9, then r^g v^g per channel.
// An infinite v (only from a broken table) keeps the library power.
void colour_cells(const float* low, const float* high, size_t begin, size_t end, Vec3* light, double pr,
                  double pg, double pb, float gi, Vec3 dark) {
    double powers[2][kColourChunk * kHalfDirs];
    for (size_t c = begin; c < end; c += kColourChunk) {
        const size_t cells = std::min(kColourChunk, end - c);
        gamma_powers(low + c * kHalfDirs, cells * kHalfDirs, gi, powers[0]);
        gamma_powers(high + c * kHalfDirs, cells * kHalfDirs, gi, powers[1]);
        for (size_t i = 0; i < cells; ++i) {
            Vec3* cell = light + (c + i) * kDirCount;
            colour_half(powers[0] + i * kHalfDirs, pr, pg, pb, dark, cell);
            colour_half(powers[1] + i * kHalfDirs, pr, pg, pb, dark, cell + kHalfDirs);
        }
    }
}

// J of one reconstructed value of a cloud cell: w / 1e9 in double, as the reference divides, clamped at 0.
inline float in_scatter_value(float w) {
    const float v = static_cast<float>(w * (1.0 / kTableScale));
    return v > 0.0f ? v : 0.0f;
}

// In-scattered radiance per unit scattering of kHalfDirs directions of one cell: ratio * J, with
// cloud 1 for a cloud cell and 0 for an empty one.
RELIGHT_VECTOR_CLONES
void in_scatter_half(const float* __restrict from, float cloud, Vec3 ratio, Vec3* __restrict cell) {
    float* __restrict out = &cell[0].x;
    for (int32_t d = 0; d < kHalfDirs; ++d) {
        const float j = in_scatter_value(from[d]) * cloud;
        out[3 * d] = ratio.x * j;
        out[3 * d + 1] = ratio.y * j;
        out[3 * d + 2] = ratio.z * j;
    }
}

// Adds in_scatter_half's values of a cloud cell to the running sums of each channel.
RELIGHT_VECTOR_CLONES
void add_in_scatter_half(const float* __restrict from, Vec3 ratio, float* __restrict sx, float* __restrict sy,
                         float* __restrict sz) {
    for (int32_t d = 0; d < kHalfDirs; ++d) {
        const float j = in_scatter_value(from[d]);
        sx[d] += ratio.x * j;
        sy[d] += ratio.y * j;
        sz[d] += ratio.z * j;
    }
}

// Physical shading for the cells begin ... end - 1: in-scattered radiance per unit scattering,
// J = ratio * w / 1e9 clamped at 0, in linear light: tables baked for it hold J itself. Empty cells
// touching the cloud take the mean of their cloud neighbours, computed here from the neighbours' values
// exactly as fill_empty_cells would from the finished field; other empty cells are 0.
void in_scatter_cells(const float* low, const float* high, size_t begin, size_t end, Vec3* light, Vec3 ratio,
                      const InScattering& s) {
    const float* inv_sigma = s.inv_sigma_s.data();
    size_t f = static_cast<size_t>(
        std::lower_bound(s.fill_cell.begin(), s.fill_cell.end(), static_cast<int32_t>(begin)) -
        s.fill_cell.begin());
    for (size_t i = begin; i < end; ++i) {
        Vec3* cell = light + i * kDirCount;
        if (f < s.fill_cell.size() && static_cast<size_t>(s.fill_cell[f]) == i) {
            const int32_t from = s.fill_start[f], to = s.fill_start[f + 1];
            const float w = 1.0f / static_cast<float>(to - from);
            // Neighbour by neighbour, so each direction's sum still adds them in the listed order.
            float sx[kDirCount] = {}, sy[kDirCount] = {}, sz[kDirCount] = {};
            for (int32_t k = from; k < to; ++k) {
                const size_t nb = static_cast<size_t>(s.fill_from[static_cast<size_t>(k)]);
                add_in_scatter_half(low + nb * kHalfDirs, ratio, sx, sy, sz);
                add_in_scatter_half(high + nb * kHalfDirs, ratio, sx + kHalfDirs, sy + kHalfDirs,
                                    sz + kHalfDirs);
            }
            for (int32_t d = 0; d < kDirCount; ++d) cell[d] = Vec3{sx[d] * w, sy[d] * w, sz[d] * w};
            ++f;
            continue;
        }
        const float cloud = inv_sigma[i] > 0.0f ? 1.0f : 0.0f;
        in_scatter_half(low + i * kHalfDirs, cloud, ratio, cell);
        in_scatter_half(high + i * kHalfDirs, cloud, ratio, cell + kHalfDirs);
    }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif

}  // namespace

int32_t lightning_cell_count(const LightningGrid& grid) {
    return grid.lgrid_nx * grid.lgrid_ny * grid.lgrid_nz;
}

bool lightning_grid_usable(const LightningGrid& grid) {
    return grid.lgrid_nz >= 1 && static_cast<int32_t>(grid.lgrid_z.size()) == grid.lgrid_nz + 1;
}

void setup_lightning_grid(LightningGrid& grid, const LightningSettings& settings, const CloudGrid& cloud) {
    grid = LightningGrid{};
    grid.box_low = settings.discharge_box_low;
    grid.cloud_base = cloud.cloud_box[2];
    grid.box_high = settings.discharge_box_high;
    const float dx = (grid.box_high.x - grid.box_low.x) / static_cast<float>(kLgridNx);
    grid.cell_dx = dx;
    grid.cell_dy = (grid.box_high.y - grid.box_low.y) / static_cast<float>(kLgridNy);
    const float height = grid.box_high.z - grid.box_low.z;
    const float thickness = cloud.cloud_box[5] - cloud.cloud_box[2];

    // A domain without width (no lightning section) would never finish counting layers.
    bool fits = dx > 0.0f && std::isfinite(dx) && grid.cell_dy > 0.0f && std::isfinite(height);
    int32_t cloud_layers = 0;
    if (fits && thickness > 0.0f) {
        float acc = 0.0f;
        // Once the cloud layers reach the domain height no layer is left below; stop counting there.
        // A layer far thinner than the cloud could make this count run past any grid (or
        // forever, once acc stops growing); more than the grid can hold cannot fit anyway.
        while (acc < thickness && static_cast<float>(cloud_layers) * dx < height &&
               cloud_layers <= kMaxLightningLayers) {
            acc += dx;
            ++cloud_layers;
        }
    }
    if (fits && static_cast<float>(cloud_layers) * dx >= height) fits = false;

    std::vector<float> depth;
    if (fits) {
        for (int32_t i = 0;; ++i) {
            float b;
            if (i <= cloud_layers) {
                b = static_cast<float>(i) * dx;
            } else {
                const double prev = depth[static_cast<size_t>(i - 1)];
                const double q = 1.0 / (1.0 / (prev * prev) - kLayerFalloff);
                if (q > 0.0) {
                    b = static_cast<float>(std::sqrt(q));
                } else {
                    const float before = i >= 2 ? depth[static_cast<size_t>(i - 2)] : 0.0f;
                    b = 2.0f * static_cast<float>(prev) - before;
                }
                if (b - static_cast<float>(prev) < dx) b = static_cast<float>(prev) + dx;
            }
            depth.push_back(b);
            if (b >= height) break;
            if (i >= kMaxLightningLayers) {
                fits = false;
                break;
            }
        }
    }
    if (fits) {
        grid.lgrid_nz = static_cast<int32_t>(depth.size()) - 1;
        grid.lgrid_z.resize(depth.size());
        for (int32_t j = 0; j <= grid.lgrid_nz; ++j) {
            grid.lgrid_z[static_cast<size_t>(j)] = height - depth[static_cast<size_t>(grid.lgrid_nz - j)];
        }
    } else {
        grid.lgrid_nz = -1;
    }
    printf("lightning grids: %d, %d, %d\n", grid.lgrid_nx, grid.lgrid_ny, grid.lgrid_nz);
    if (grid.lgrid_nz < 1) {
        printf(
            "The cloud cannot be lit by lightning in this scene: no lightning-grid layer fits between the "
            "cloud and the ground of the discharge domain.\n");
    }
}

int32_t bin_point_sources(LightningGrid& grid, const Vec3* pos, const Vec3* intensity, int count) {
    if (!lightning_grid_usable(grid)) return 0;
    const size_t cells = static_cast<size_t>(lightning_cell_count(grid));
    for (std::vector<float>& a : grid.lgrid_light) a.assign(cells, 0.0f);
    float* r = grid.lgrid_light[0].data();
    float* g = grid.lgrid_light[1].data();
    float* b = grid.lgrid_light[2].data();
    const int32_t top = grid.lgrid_nz - 1;
    const int stride = grid.bin_every_source ? 1 : kBinStride;
    const float weight = static_cast<float>(stride);
    // A discharge starts on the cloud base: its light there comes from the clear air below, so a
    // source on (or a rounding above) the base never goes to a layer that starts at the base.
    const float base_slack = 1e-5f * std::max(1.0f, std::fabs(grid.cloud_base));
    for (int s = 0; pos && intensity && s < count; s += stride) {
        const Vec3 p = pos[s];
        // Clamping in float first keeps far-off or broken positions from overflowing the conversion.
        const float fx = (p.x - grid.box_low.x) / grid.cell_dx;
        const float fy = (p.y - grid.box_low.y) / grid.cell_dy;
        const int32_t ix = !(fx > 0.0f) ? 0 : (fx >= kLgridNx ? kLgridNx - 1 : static_cast<int32_t>(fx));
        const int32_t iy = !(fy > 0.0f) ? 0 : (fy >= kLgridNy ? kLgridNy - 1 : static_cast<int32_t>(fy));
        int32_t iz = top;
        for (int32_t e = 0; e < top; ++e) {
            if (grid.lgrid_z[static_cast<size_t>(e) + 1] > p.z) {
                iz = e;
                break;
            }
        }
        if (grid.bin_every_source && iz > 0 && p.z <= grid.cloud_base + base_slack &&
            grid.lgrid_z[static_cast<size_t>(iz)] >= grid.cloud_base - base_slack) {
            --iz;
        }
        const size_t cell = (static_cast<size_t>(iz) * grid.lgrid_ny + iy) * grid.lgrid_nx + ix;
        r[cell] += weight * intensity[s].x;
        g[cell] += weight * intensity[s].y;
        b[cell] += weight * intensity[s].z;
    }
    int32_t lit = 0;
    for (size_t c = 0; c < cells; ++c) {
        r[c] = r[c] + g[c] + b[c];
        if (r[c] > 0.0f) ++lit;
    }
    return lit;
}

void haar_merge(float* a, int m, float* scratch) {
    const int h = m / 2;
    for (int i = 0; i < h; ++i) {
        scratch[2 * i] = static_cast<float>((a[i] + a[i + h]) / kHaarRoot);
        scratch[2 * i + 1] = static_cast<float>((a[i] - a[i + h]) / kHaarRoot);
    }
    std::copy(scratch, scratch + 2 * h, a);
}

void inverse_haar_1d(float* a, int n, float* scratch) {
    const float s = std::sqrt(static_cast<float>(n));
    for (int i = 0; i < n; ++i) a[i] *= s;
    for (int m = 2; m <= n; m *= 2) haar_merge(a, m, scratch);
}

void inverse_haar_3d(float* grid, int nx, int ny, int nz) {
    if (nx <= 0 || ny <= 0 || nz <= 0) return;
    const size_t sx = static_cast<size_t>(nx), sy = static_cast<size_t>(ny), sz = static_cast<size_t>(nz);
    std::vector<float> line(std::max({sx, sy, sz}));
    std::vector<float> scratch(line.size());
    for (size_t z = 0; z < sz; ++z)
        for (size_t y = 0; y < sy; ++y) inverse_haar_1d(grid + (z * sy + y) * sx, nx, scratch.data());
    for (size_t z = 0; z < sz; ++z)
        for (size_t x = 0; x < sx; ++x) {
            for (size_t y = 0; y < sy; ++y) line[y] = grid[(z * sy + y) * sx + x];
            inverse_haar_1d(line.data(), ny, scratch.data());
            for (size_t y = 0; y < sy; ++y) grid[(z * sy + y) * sx + x] = line[y];
        }
    for (size_t y = 0; y < sy; ++y)
        for (size_t x = 0; x < sx; ++x) {
            for (size_t z = 0; z < sz; ++z) line[z] = grid[(z * sy + y) * sx + x];
            inverse_haar_1d(line.data(), nz, scratch.data());
            for (size_t z = 0; z < sz; ++z) grid[(z * sy + y) * sx + x] = line[z];
        }
}

void haar_split(float* a, int m, float* scratch) {
    const int h = m / 2;
    // Only the bake runs this, over every record of a table: a multiply by the reciprocal keeps it
    // off the divider.
    const double inv = 1.0 / kHaarRoot;
    for (int i = 0; i < h; ++i) {
        scratch[i] = static_cast<float>((a[2 * i] + a[2 * i + 1]) * inv);
        scratch[i + h] = static_cast<float>((a[2 * i] - a[2 * i + 1]) * inv);
    }
    std::copy(scratch, scratch + 2 * h, a);
}

void forward_haar_1d(float* a, int n, float* scratch) {
    if (n <= 0) return;
    int top = 1;
    while (top * 2 <= n) top *= 2;
    for (int m = top; m >= 2; m /= 2) haar_split(a, m, scratch);
    const float s = std::sqrt(static_cast<float>(n));
    for (int i = 0; i < n; ++i) a[i] /= s;
}

void forward_haar_3d(float* grid, int nx, int ny, int nz) {
    if (nx <= 0 || ny <= 0 || nz <= 0) return;
    const size_t sx = static_cast<size_t>(nx), sy = static_cast<size_t>(ny), sz = static_cast<size_t>(nz);
    std::vector<float> line(std::max({sx, sy, sz}));
    std::vector<float> scratch(line.size());
    for (size_t y = 0; y < sy; ++y)
        for (size_t x = 0; x < sx; ++x) {
            for (size_t z = 0; z < sz; ++z) line[z] = grid[(z * sy + y) * sx + x];
            forward_haar_1d(line.data(), nz, scratch.data());
            for (size_t z = 0; z < sz; ++z) grid[(z * sy + y) * sx + x] = line[z];
        }
    for (size_t z = 0; z < sz; ++z)
        for (size_t x = 0; x < sx; ++x) {
            for (size_t y = 0; y < sy; ++y) line[y] = grid[(z * sy + y) * sx + x];
            forward_haar_1d(line.data(), ny, scratch.data());
            for (size_t y = 0; y < sy; ++y) grid[(z * sy + y) * sx + x] = line[y];
        }
    for (size_t z = 0; z < sz; ++z)
        for (size_t y = 0; y < sy; ++y) forward_haar_1d(grid + (z * sy + y) * sx, nx, scratch.data());
}

bool light_cloud_reference(LightningGrid& grid, const BaseIntensityTable& table, IlluminationWork& work,
                           CloudGrid& cloud, const Vec3* pos, const Vec3* intensity, int count) {
    if (!relight_possible(grid, table, cloud)) return false;
    const int64_t m = table.coarse_count;
    const Vec3 ratio = colour_ratios(intensity, count);
    ensure_illumination_work(work, m);
    bin_point_sources(grid, pos, intensity, count);
    const float* total = grid.lgrid_light[0].data();
    float* w = work.dcl_work[0].data();
    Vec3* light = cloud.dcl_dir_light.data();
    for (int32_t d = 0; d < kDirCount; ++d) {
        std::fill(w, w + m, 0.0f);
        scatter_direction(table, total, table.cell_count, d, w);
        inverse_haar_3d(w, cloud.dcl_numx, cloud.dcl_numy, cloud.dcl_numz);
        for (int64_t i = 0; i < m; ++i) {
            const float v = static_cast<float>(w[i] / kTableScale);
            light[i * kDirCount + d].x = v > 0.0f ? v : 0.0f;
        }
    }
    bool all_zero = true;
    if (cloud.shading.physical) {
        prepare_in_scattering(work.in_scattering, cloud);
        for (int64_t e = 0; e < m * kDirCount; ++e) {
            const float j =
                work.in_scattering.inv_sigma_s[static_cast<size_t>(e / kDirCount)] > 0.0f ? light[e].x : 0.0f;
            light[e] = scale(ratio, j);
            if (j != 0.0f && (ratio.x != 0.0f || ratio.y != 0.0f || ratio.z != 0.0f)) all_zero = false;
        }
        fill_empty_cells(work.in_scattering, light);
        work.light_all_zero = all_zero;
        return true;
    }
    for (int64_t e = 0; e < m * kDirCount; ++e) {
        const float l = light[e].x;
        light[e] = Vec3{gamma_map(ratio.x, l, cloud.gamma_inv, cloud.light_scale),
                        gamma_map(ratio.y, l, cloud.gamma_inv, cloud.light_scale),
                        gamma_map(ratio.z, l, cloud.gamma_inv, cloud.light_scale)};
        if (light[e].x != 0.0f || light[e].y != 0.0f || light[e].z != 0.0f) all_zero = false;
    }
    work.light_all_zero = all_zero;
    return true;
}

bool light_cloud_from_lightning_grid(LightningGrid& grid, const BaseIntensityTable& table,
                                     IlluminationWork& work, CloudGrid& cloud, const Vec3* pos,
                                     const Vec3* intensity, int count) {
    if (!relight_possible(grid, table, cloud)) return false;
    const int64_t m = table.coarse_count;
    const size_t sm = static_cast<size_t>(m);
    const Vec3 ratio = colour_ratios(intensity, count);
    const int32_t lit = bin_point_sources(grid, pos, intensity, count);
    // With no lit cell every reconstructed value is 0 and every colour is the gamma map of 0.
    const float gi = cloud.gamma_inv, ls = cloud.light_scale;
    const Vec3 dark{gamma_map(ratio.x, 0.0f, gi, ls), gamma_map(ratio.y, 0.0f, gi, ls),
                    gamma_map(ratio.z, 0.0f, gi, ls)};
    const bool dark_is_zero = dark.x == 0.0f && dark.y == 0.0f && dark.z == 0.0f;
    Vec3* light = cloud.dcl_dir_light.data();
    if (lit == 0) {
        if (work.light_all_zero && dark_is_zero) {
            ++work.relights_skipped;
            return false;
        }
        std::fill(light, light + sm * kDirCount, dark);
        work.light_all_zero = dark_is_zero;
        return true;
    }

    const int nx = cloud.dcl_numx, ny = cloud.dcl_numy, nz = cloud.dcl_numz;
    const size_t scratch_each =
        static_cast<size_t>(std::max({nx, ny, nz})) * std::max<size_t>(kChunkLines, kHalfDirs);
    if (work.planes.size() != sm * kDirCount) work.planes.assign(sm * kDirCount, 0.0f);
    if (work.scratch.size() != 2 * scratch_each) work.scratch.assign(2 * scratch_each, 0.0f);
    const float* total = grid.lgrid_light[0].data();
    float* low = work.planes.data();
    float* high = low + sm * kHalfDirs;

    // Each thread reconstructs half of the directions into its own block; then, once both blocks are whole,
    // each maps half of the cells, writing whole cells so no cache line is shared for long.
    auto reconstruct = [&](int t) {
        float* block = t == 0 ? low : high;
        std::fill(block, block + sm * kHalfDirs, 0.0f);
        scatter_half(table, total, table.cell_count, t * kHalfDirs, block);
        inverse_haar_block(block, nx, ny, nz, work.scratch.data() + static_cast<size_t>(t) * scratch_each);
    };
    const size_t half = sm / 2;
    if (cloud.shading.physical) {
        prepare_in_scattering(work.in_scattering, cloud);
        run_in_two_phases(reconstruct, [&](int t) {
            in_scatter_cells(low, high, t == 0 ? 0 : half, t == 0 ? half : sm, light, ratio,
                             work.in_scattering);
        });
        work.light_all_zero = false;
        return true;
    }
    // (r L)^g = r^g L^g: one power per value, by the vectorised series, instead of three library ones;
    // equal up to float rounding.
    const double gd = gi;
    const double pr = std::pow(static_cast<double>(ratio.x), gd) * ls;
    const double pg = std::pow(static_cast<double>(ratio.y), gd) * ls;
    const double pb = std::pow(static_cast<double>(ratio.z), gd) * ls;
    run_in_two_phases(reconstruct, [&](int t) {
        colour_cells(low, high, t == 0 ? 0 : half, t == 0 ? half : sm, light, pr, pg, pb, gi, dark);
    });
    work.light_all_zero = false;
    return true;
}

bool relight_cloud_with_ambient(LightningGrid& grid, const BaseIntensityTable& table, IlluminationWork& work,
                                const AmbientLight& ambient, std::vector<Vec3>& lightning, CloudGrid& cloud,
                                const Vec3* pos, const Vec3* intensity, int count) {
    if (!cloud.shading.physical || !ambient.loaded ||
        ambient.dir_light.size() != cloud.dcl_dir_light.size()) {
        if (!lightning.empty()) {
            // Ambient light was shown until now (the scene fell back to classic shading): the cloud's field
            // is not the relight's any more, so the next relight must write it whole.
            lightning.clear();
            work.light_all_zero = false;
        }
        return light_cloud_from_lightning_grid(grid, table, work, cloud, pos, intensity, count);
    }
    const bool first = lightning.size() != cloud.dcl_dir_light.size();
    if (first) {
        lightning.assign(cloud.dcl_dir_light.size(), Vec3{});
        work.light_all_zero = true;
    }
    // The relight works on its own field in place of the cloud's, keeping its shortcut for a dark
    // field that is already zero.
    std::swap(cloud.dcl_dir_light, lightning);
    const bool changed = light_cloud_from_lightning_grid(grid, table, work, cloud, pos, intensity, count);
    std::swap(cloud.dcl_dir_light, lightning);
    if (!changed && !first) return false;
    compose_cloud_light(ambient, lightning, cloud.dcl_dir_light);
    return true;
}
