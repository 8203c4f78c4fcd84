// splat_raster.cpp -- the physical cloud's splats drawn on the CPU into a float image
//
// A software GL renderer spends about a microsecond on every point whatever its size, so the hundred
// thousand small sprites of a storm cost more there than the pixels they cover; this draws the same discs
// directly, the rows shared between two threads so that every pixel still sees its splats in order.
#include "render/splat_raster.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "support/two_threads.h"

namespace {

// The screen is drawn in squares of this side, each by one thread, so that the pixels a square's splats
// touch stay in the cache: drawing straight through the back-to-front order would jump across the whole
// image from one small splat to the next.
constexpr int32_t kTileSide = 64;
// The footprint n(d^2) = sqrt(u) (a u^2 + b u^3) / (a + b), u = 1 - d^2, as splat_profile.
constexpr float kProfileA = 0.2962963f, kProfileB = 0.2031746f;
constexpr float kProfileNorm = 1.0f / (kProfileA + kProfileB);

// exp(x) for x <= 0 in a form the compiler turns into vector code: 2^k 2^f with f in [0, 1) by a
// polynomial (relative error under 1.2e-5, far below a display level); underflows to 0 below -87.
inline float exp_nonpositive(float x) {
    const float t = std::max(x * 1.44269504f, -126.0f);
    const int32_t truncated = static_cast<int32_t>(t);
    const int32_t k = truncated - static_cast<int32_t>(static_cast<float>(truncated) > t);
    const float f = t - static_cast<float>(k);
    const float p = 1.0f + f * (0.69305079f + f * (0.24112892f + f * (0.05266044f + f * 0.01313734f)));
    const int32_t bits = (k + 127) << 23;
    float scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return p * scale;
}

// Rounding of screen positions, well within the int range, without a library call.
inline int32_t floor_int(float v) {
    const int32_t i = static_cast<int32_t>(v);
    return static_cast<float>(i) > v ? i - 1 : i;
}
inline int32_t ceil_int(float v) {
    const int32_t i = static_cast<int32_t>(v);
    return static_cast<float>(i) < v ? i + 1 : i;
}

// Column-major 4 x 4 times (x, y, z, w).
void transform(const float m[16], const float p[4], float out[4]) {
    for (int r = 0; r < 4; ++r) out[r] = m[r] * p[0] + m[4 + r] * p[1] + m[8 + r] * p[2] + m[12 + r] * p[3];
}

// Screen place of splats first ... last - 1: half side 0 where the point would be clipped.
void place_splats(SplatImage& image, const SplatFrame& frame, const SplatView& view, size_t first,
                  size_t last) {
    const float w = static_cast<float>(view.width), h = static_cast<float>(view.height);
    for (size_t q = first; q < last; ++q) {
        const float* c = frame.centres.data() + q * 3;
        const float world[4] = {c[0], c[1], c[2], 1.0f};
        float eye[4], clip[4];
        transform(view.modelview, world, eye);
        transform(view.projection, eye, clip);
        float* s = image.screen.data() + q * 8;
        s[2] = 0.0f;
        const float z = -eye[2];
        if (!(z > 0.0f) || !(clip[3] > 0.0f) || clip[2] < -clip[3] || clip[2] > clip[3]) continue;
        const float len = std::sqrt(eye[0] * eye[0] + eye[1] * eye[1] + eye[2] * eye[2]);
        // The sprite's side as the vertex shader sets it, within the sizes the renderer draws.
        float side = view.size_scale / z * std::sqrt(len / z);
        side = std::max(side, 1.0f);
        if (view.max_point_size > 0.0f) side = std::min(side, view.max_point_size);
        s[0] = (clip[0] / clip[3] + 1.0f) * 0.5f * w;
        s[1] = (clip[1] / clip[3] + 1.0f) * 0.5f * h;
        s[2] = 0.5f * side;
        s[3] = (clip[2] / clip[3] + 1.0f) * 0.5f;
        const float* col = frame.splat_colours.data() + q * 3;
        s[4] = col[0];
        s[5] = col[1];
        s[6] = col[2];
        s[7] = frame.splat_depths[q];
    }
}

// Draws the splats binned to screen square `tile` (its pixels x0 ... x1 - 1, y0 ... y1 - 1) in order.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__)
// Eight pixels at a time, with fused multiply-adds, where the processor has AVX2; four otherwise. (The
// thread sanitizer's runtime is not up when the loader picks a copy: its build keeps the baseline one.)
__attribute__((target_clones("arch=x86-64-v3", "default")))
#endif
void draw_tile(SplatImage& image, int32_t tile, std::vector<float>& alpha) {
    const int32_t w = image.width, h = image.height;
    const int32_t tiles_x = (w + kTileSide - 1) / kTileSide;
    const int32_t tx0 = tile % tiles_x * kTileSide, ty0 = tile / tiles_x * kTileSide;
    const int32_t tx1 = std::min(w, tx0 + kTileSide) - 1, ty1 = std::min(h, ty0 + kTileSide) - 1;
    const bool depth_test = !image.depth.empty();
    // Clear: no radiance, everything behind seen whole.
    for (int32_t y = ty0; y <= ty1; ++y) {
        float* p = image.rgba.data() + (static_cast<size_t>(y) * static_cast<size_t>(w) + tx0) * 4;
        for (int32_t x = tx0; x <= tx1; ++x, p += 4) {
            p[0] = p[1] = p[2] = 0.0f;
            p[3] = 1.0f;
        }
    }
    for (uint32_t at = image.bin_start[static_cast<size_t>(tile)];
         at < image.bin_start[static_cast<size_t>(tile) + 1]; ++at) {
        const float* s = image.bins.data() + static_cast<size_t>(at) * 8;
        const float half = s[2];
        const float cx = s[0], cy = s[1], z = s[3], tau = s[7];
        const float inv_half = 1.0f / half;
        const float colour[4] = {s[4], s[5], s[6], 0.0f};  // the transmittance only keeps its share
        const float depth_scale = tau * kProfileNorm;
        const bool thin = tau <= 0.5f;
        // Pixels whose centres lie in the sprite's disc.
        const int32_t y0 = std::max(ty0, ceil_int(cy - half - 0.5f));
        const int32_t y1 = std::min(ty1, floor_int(cy + half - 0.5f));
        for (int32_t y = y0; y <= y1; ++y) {
            const float dy = (static_cast<float>(y) + 0.5f - cy) * inv_half;
            const float dy2 = dy * dy;
            if (!(dy2 < 1.0f)) continue;
            const float span = half * std::sqrt(1.0f - dy2);
            const int32_t x0 = std::max(tx0, ceil_int(cx - span - 0.5f));
            const int32_t x1 = std::min(tx1, floor_int(cx + span - 0.5f));
            if (x0 > x1) continue;
            const int32_t n = x1 - x0 + 1;
            // Whole groups of eight, so that every pixel goes through the vector code.
            const int32_t n8 = (n + 7) & ~7;
            const float first_dx = (static_cast<float>(x0) + 0.5f - cx) * inv_half;
            if (thin) {
                // Optical depths up to 0.5: 1 - exp(-x) by its series to x^6 (error under 2e-6).
                for (int32_t i = 0; i < n8; ++i) {
                    const float dx = first_dx + static_cast<float>(i) * inv_half;
                    const float u = std::max(1.0f - (dx * dx + dy2), 0.0f);
                    const float x = std::sqrt(u) * u * u * (kProfileA + kProfileB * u) * depth_scale;
                    alpha[static_cast<size_t>(i)] =
                        x * (1.0f -
                             x * (0.5f - x * (1.0f / 6.0f - x * (1.0f / 24.0f - x * (1.0f / 120.0f -
                                                                                     x * (1.0f / 720.0f))))));
                }
            } else {
                for (int32_t i = 0; i < n8; ++i) {
                    const float dx = first_dx + static_cast<float>(i) * inv_half;
                    const float u = std::max(1.0f - (dx * dx + dy2), 0.0f);
                    const float x = std::sqrt(u) * u * u * (kProfileA + kProfileB * u) * depth_scale;
                    alpha[static_cast<size_t>(i)] = 1.0f - exp_nonpositive(-x);
                }
            }
            const size_t row = static_cast<size_t>(y) * static_cast<size_t>(w);
            if (depth_test) {
                // Hidden where the background lies at or before the splat's centre.
                float* depth = alpha.data() + kTileSide + 8;
                std::copy_n(image.depth.data() + row + x0, n, depth);
                for (int32_t i = 0; i < n8; ++i)
                    alpha[static_cast<size_t>(i)] = z < depth[i] ? alpha[static_cast<size_t>(i)] : 0.0f;
            }
            float* p = image.rgba.data() + (row + static_cast<size_t>(x0)) * 4;
            for (int32_t i = 0; i < n; ++i, p += 4) {
                const float a = alpha[static_cast<size_t>(i)], keep = 1.0f - a;
                for (int c = 0; c < 4; ++c) p[c] = colour[c] * a + keep * p[c];
            }
        }
    }
}

// Lists, per screen square, the splats that reach it, in drawing order.
void bin_splats(SplatImage& image, size_t count) {
    const int32_t tiles_x = (image.width + kTileSide - 1) / kTileSide;
    const int32_t tiles_y = (image.height + kTileSide - 1) / kTileSide;
    const size_t tiles = static_cast<size_t>(tiles_x) * static_cast<size_t>(tiles_y);
    image.bin_start.assign(tiles + 1, 0);
    // Each splat's range of squares, once to count and once to place.
    auto range = [&](size_t q, int32_t r[4]) {
        const float* s = image.screen.data() + q * 8;
        if (!(s[2] > 0.0f) || !(s[7] > 0.0f)) return false;
        const float lo_x = s[0] - s[2], hi_x = s[0] + s[2], lo_y = s[1] - s[2], hi_y = s[1] + s[2];
        // Written so that a position that is not a number is left out as well.
        if (!(hi_x >= 0.0f && hi_y >= 0.0f && lo_x <= static_cast<float>(image.width) &&
              lo_y <= static_cast<float>(image.height)))
            return false;
        r[0] = std::max(0, static_cast<int32_t>(lo_x) / kTileSide);
        r[1] = std::min(tiles_x - 1, static_cast<int32_t>(hi_x) / kTileSide);
        r[2] = std::max(0, static_cast<int32_t>(lo_y) / kTileSide);
        r[3] = std::min(tiles_y - 1, static_cast<int32_t>(hi_y) / kTileSide);
        return true;
    };
    int32_t r[4];
    for (size_t q = 0; q < count; ++q) {
        if (!range(q, r)) continue;
        for (int32_t ty = r[2]; ty <= r[3]; ++ty)
            for (int32_t tx = r[0]; tx <= r[1]; ++tx)
                ++image.bin_start[static_cast<size_t>(ty * tiles_x + tx) + 1];
    }
    for (size_t t = 0; t < tiles; ++t) image.bin_start[t + 1] += image.bin_start[t];
    // Each square gets its own copy of its splats, read straight through while it is drawn.
    image.bins.resize(static_cast<size_t>(image.bin_start[tiles]) * 8);
    std::vector<uint32_t> fill(image.bin_start.begin(), image.bin_start.end() - 1);
    for (size_t q = 0; q < count; ++q) {
        if (!range(q, r)) continue;
        const float* from = image.screen.data() + q * 8;
        for (int32_t ty = r[2]; ty <= r[3]; ++ty)
            for (int32_t tx = r[0]; tx <= r[1]; ++tx)
                std::copy_n(from, 8,
                            image.bins.data() +
                                static_cast<size_t>(fill[static_cast<size_t>(ty * tiles_x + tx)]++) * 8);
    }
}

}  // namespace

void rasterise_splats(SplatImage& image, const SplatFrame& frame, const SplatView& view) {
    image.width = std::max(view.width, 0);
    image.height = std::max(view.height, 0);
    const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    image.rgba.resize(pixels * 4);
    if (!image.depth.empty() && image.depth.size() != pixels) image.depth.clear();
    const size_t count = static_cast<size_t>(std::max(frame.quad_count, 0));
    image.screen.resize(count * 8);
    const size_t half = count / 2;
    run_on_two_threads(count >= 4096, [&](int t) {
        place_splats(image, frame, view, t == 0 ? 0 : half, t == 0 ? half : count);
    });
    bin_splats(image, count);
    const int32_t tiles = static_cast<int32_t>(image.bin_start.size()) - 1;
    std::atomic<int32_t> next{0};
    run_on_two_threads(pixels >= 4096, [&](int) {
        std::vector<float> alpha(2 * (kTileSide + 8));  // opacities, then the background's depths
        for (int32_t t = next++; t < tiles; t = next++) draw_tile(image, t, alpha);
    });
}
