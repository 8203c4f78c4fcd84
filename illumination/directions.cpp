// directions.cpp -- the sampling-direction layout and the directional radiance lookup
#include "illumination/directions.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int32_t kLastRing = kDirRings - 1;

// Clamps x to [0, hi]; NaN becomes 0 so that a broken position can never index outside the grid.
inline float clamp_index(float x, float hi) {
    if (!(x > 0.0f)) return 0.0f;
    return x < hi ? x : hi;
}

// Cosine argument clamped to [-1, 1]: rounding must not turn acos into NaN.
inline float clamp_unit(float c) { return c < -1.0f ? -1.0f : (c > 1.0f ? 1.0f : c); }

}  // namespace

// The splat pass forms two angles per blob per frame and the library call was a third of its cost.
float arc_cos(float c) {
    const double x = std::fabs(static_cast<double>(c));
    const double p =
        1.5707963050 +
        x * (-0.2145988016 +
             x * (0.0889789874 +
                  x * (-0.0501743046 +
                       x * (0.0308918810 + x * (-0.0170881256 + x * (0.0066700901 - x * 0.0012624911))))));
    const double a = std::sqrt(1.0 - x) * p;
    return static_cast<float>(c < 0.0f ? 3.14159265358979323846 - a : a);
}

int32_t direction_index(int32_t ring, int32_t segment) {
    if (ring <= 0) return 0;
    if (ring >= kLastRing) return kDirCount - 1;
    return (ring - 1) * kDirSegments + 1 + segment;
}

Vec3 direction_vector(int32_t d) {
    if (d < 0 || d >= kDirCount) return Vec3{};
    if (d == 0) return Vec3{0.0f, 0.0f, 1.0f};
    if (d == kDirCount - 1) return Vec3{0.0f, 0.0f, -1.0f};
    const int32_t ring = (d - 1) / kDirSegments + 1;
    const int32_t segment = (d - 1) % kDirSegments;
    const float theta = static_cast<float>(ring) * kDirStep;
    const float phi = static_cast<float>(segment) * kDirStep;
    return Vec3{std::cos(phi) * std::sin(theta), std::sin(phi) * std::sin(theta), std::cos(theta)};
}

namespace {

// std::floor without a library call for the usual angles: truncation is exact below 2^23, and steps down
// for negative fractions.
inline float floor_of(float a) {
    if (!(std::fabs(a) < 8388608.0f)) return std::floor(a);
    const float t = static_cast<float>(static_cast<int32_t>(a));
    return t > a ? t - 1.0f : t;
}

__attribute__((always_inline)) inline DirectionBlend blend_of(float theta, float phi) {
    const float e = clamp_index(theta / kDirStep, static_cast<float>(kLastRing));
    const int32_t q0 = static_cast<int32_t>(e);
    const int32_t q1 = q0 + 1 < kLastRing ? q0 + 1 : kLastRing;
    const float ft = e - static_cast<float>(q0);

    // The azimuth may come from outside 0 ... 2 pi; flooring keeps the fraction in [0, 1) so that every
    // weight stays non-negative, and equals truncation for the angles the viewer forms.
    float a = phi / kDirStep;
    if (!std::isfinite(a)) a = 0.0f;
    const float fl = floor_of(a);
    const float fp = a - fl;
    // Whole turns are dropped in float only for huge angles; the usual ones take the integer remainder.
    const float turns = std::fabs(fl) < 1e9f ? fl : std::fmod(fl, static_cast<float>(kDirSegments));
    int32_t s0 = static_cast<int32_t>(turns) % kDirSegments;
    if (s0 < 0) s0 += kDirSegments;
    const int32_t s1 = (s0 + 1) % kDirSegments;

    DirectionBlend b;
    b.index = {direction_index(q0, s0), direction_index(q1, s0), direction_index(q1, s1),
               direction_index(q0, s1)};
    b.weight = {(1.0f - ft) * (1.0f - fp), ft * (1.0f - fp), ft * fp, (1.0f - ft) * fp};
    return b;
}

inline void angles_of(Vec3 v, float& theta, float& phi) {
    const float d = length(v);
    if (!(d > 0.0f)) {
        theta = 0.0f;
        phi = 0.0f;
        return;
    }
    theta = arc_cos(clamp_unit(v.z / d));
    const float h = std::sqrt(v.x * v.x + v.y * v.y);
    // Straight above or below: every azimuth is the same direction, 0 is as good as any.
    if (!(h > 0.0f)) {
        phi = 0.0f;
        return;
    }
    phi = arc_cos(clamp_unit(v.x / h));
    if (v.y < 0.0f) phi = kTwoPi - phi;
}

inline LightCorners corners_of(Vec3 p, const CloudGrid& cloud) {
    LightCorners c;
    const int32_t nx = cloud.dcl_numx, ny = cloud.dcl_numy, nz = cloud.dcl_numz;
    if (nx <= 0 || ny <= 0 || nz <= 0 || !(cloud.dcl_size > 0.0f)) return c;
    const size_t cells = static_cast<size_t>(nx) * static_cast<size_t>(ny) * static_cast<size_t>(nz);
    // Entries are 32-bit; a grid too large for them could never hold its light array anyway.
    if (cells * kDirCount >= kNoLightCorners) return c;

    const float u = clamp_index(p.x / cloud.dcl_size - 0.5f, static_cast<float>(nx - 1));
    const float v = clamp_index(p.y / cloud.dcl_size - 0.5f, static_cast<float>(ny - 1));
    const float w = clamp_index(p.z / cloud.dcl_size - 0.5f, static_cast<float>(nz - 1));
    const int32_t i0 = static_cast<int32_t>(u), j0 = static_cast<int32_t>(v), k0 = static_cast<int32_t>(w);
    const int32_t i1 = i0 + 1 < nx ? i0 + 1 : nx - 1;
    const int32_t j1 = j0 + 1 < ny ? j0 + 1 : ny - 1;
    const int32_t k1 = k0 + 1 < nz ? k0 + 1 : nz - 1;
    const float fu = u - static_cast<float>(i0), fv = v - static_cast<float>(j0),
                fw = w - static_cast<float>(k0);

    c.entry = static_cast<uint32_t>(
        (static_cast<size_t>(i0) +
         static_cast<size_t>(nx) *
             (static_cast<size_t>(j0) + static_cast<size_t>(ny) * static_cast<size_t>(k0))) *
        kDirCount);
    // A clamped axis repeats its cell.
    c.steps = (i1 > i0 ? 1u : 0u) | (j1 > j0 ? 2u : 0u) | (k1 > k0 ? 4u : 0u);
    c.fu = fu;
    c.fv = fv;
    c.fw = fw;
    return c;
}

// A lookup worked out up to its loads: corners, their weights and the direction blend.
struct LookupSetUp {
    bool zero = true;    // no grid or no light array: the radiance is 0
    bool lanes = false;  // every four-float load stays inside the light array
    size_t corner[8];
    float weight[8];
    DirectionBlend blend;
};

__attribute__((always_inline)) inline LookupSetUp set_up_lookup(float theta, float phi, const LightCorners& c,
                                                                const CloudGrid& cloud) {
    LookupSetUp u;
    if (c.entry == kNoLightCorners) return u;
    const size_t nx = static_cast<size_t>(cloud.dcl_numx), nxy = nx * static_cast<size_t>(cloud.dcl_numy);
    const size_t entries = nxy * static_cast<size_t>(cloud.dcl_numz) * kDirCount;
    if (cloud.dcl_dir_light.size() < entries) return u;
    // The eight corners as offsets from the low one, x fastest.
    const size_t sx = (c.steps & 1u) * kDirCount, sy = (c.steps >> 1 & 1u) * nx * kDirCount,
                 sz = (c.steps >> 2 & 1u) * nxy * kDirCount;
    const size_t low = c.entry;
    if (low + sx + sy + sz >= entries) return u;  // corners made for another grid
    u.zero = false;
    const size_t corner[8] = {low,      low + sx,      low + sy,      low + sx + sy,
                              low + sz, low + sz + sx, low + sz + sy, low + sz + sx + sy};
    const float wu[2] = {1.0f - c.fu, c.fu}, wv[2] = {1.0f - c.fv, c.fv}, ww[2] = {1.0f - c.fw, c.fw};
    for (int k = 0; k < 8; ++k) {
        u.corner[k] = corner[k];
        u.weight[k] = wu[k & 1] * wv[(k >> 1) & 1] * ww[k >> 2];
    }
    u.blend = blend_of(theta, phi);
    // The spare fourth lane reads the next entry's x, which exists for every entry but the very last one.
    const DirectionBlend& b = u.blend;
    const int32_t top_dir = std::max(std::max(b.index[0], b.index[1]), std::max(b.index[2], b.index[3]));
    u.lanes = corner[7] + kDirCount < entries || top_dir + 1 < kDirCount;
    return u;
}

Vec3 scalar_sum(const LookupSetUp& u, const Vec3* light) {
    Vec3 sum;
    for (int k = 0; k < 8; ++k) {
        const Vec3* entry = light + u.corner[k];
        Vec3 dir_sum;
        for (int q = 0; q < 4; ++q) dir_sum = add(dir_sum, scale(entry[u.blend.index[q]], u.blend.weight[q]));
        sum = add(sum, scale(dir_sum, u.weight[k]));
    }
    return sum;
}

#if defined(__SSE2__)
// Four lanes hold x, y, z and a spare; each lane does the operations of scalar_sum in the same order.
struct LaneSum {
    __m128 dw[4];
    int32_t offset[4];
    __m128 sum = _mm_setzero_ps();
    explicit LaneSum(const DirectionBlend& b) {
        for (int q = 0; q < 4; ++q) {
            dw[q] = _mm_set1_ps(b.weight[q]);
            offset[q] = 3 * b.index[q];
        }
    }
    // Adds corner k.
    __attribute__((always_inline)) void add_corner(const LookupSetUp& u, const Vec3* light, int k) {
        const float* e = &light[u.corner[k]].x;
        __m128 ds = _mm_add_ps(_mm_setzero_ps(), _mm_mul_ps(_mm_loadu_ps(e + offset[0]), dw[0]));
        ds = _mm_add_ps(ds, _mm_mul_ps(_mm_loadu_ps(e + offset[1]), dw[1]));
        ds = _mm_add_ps(ds, _mm_mul_ps(_mm_loadu_ps(e + offset[2]), dw[2]));
        ds = _mm_add_ps(ds, _mm_mul_ps(_mm_loadu_ps(e + offset[3]), dw[3]));
        sum = _mm_add_ps(sum, _mm_mul_ps(ds, _mm_set1_ps(u.weight[k])));
    }
    Vec3 value() const {
        float lanes[4];
        _mm_storeu_ps(lanes, sum);
        return Vec3{lanes[0], lanes[1], lanes[2]};
    }
};
#endif

__attribute__((always_inline)) inline Vec3 lookup_at(float theta, float phi, const LightCorners& c,
                                                     const CloudGrid& cloud) {
    const LookupSetUp u = set_up_lookup(theta, phi, c, cloud);
    if (u.zero) return Vec3{};
    const Vec3* light = cloud.dcl_dir_light.data();
#if defined(__SSE2__)
    if (u.lanes) {
        LaneSum sum(u.blend);
        for (int k = 0; k < 8; ++k) sum.add_corner(u, light, k);
        return sum.value();
    }
#endif
    return scalar_sum(u, light);
}

inline Vec3 lookup_one(float theta, float phi, Vec3 p, const CloudGrid& cloud) {
    return lookup_at(theta, phi, corners_of(p, cloud), cloud);
}

}  // namespace

DirectionBlend blend_directions(float theta, float phi) { return blend_of(theta, phi); }

void direction_angles(Vec3 v, float& theta, float& phi) { angles_of(v, theta, phi); }

Vec3 lookup_dir_light(float theta, float phi, Vec3 p, const CloudGrid& cloud) {
    return lookup_one(theta, phi, p, cloud);
}

#if defined(__SSE2__)
namespace {

// Lanes where mask is set take a, the others b.
inline __m128 select(__m128 mask, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

// clamp_unit in each lane, by comparisons as there: a NaN stays NaN.
inline __m128 clamp_unit4(__m128 c) {
    const __m128 one = _mm_set1_ps(1.0f), minus_one = _mm_set1_ps(-1.0f);
    return select(_mm_cmplt_ps(c, minus_one), minus_one, select(_mm_cmpgt_ps(c, one), one, c));
}

// arc_cos's polynomial and square root for two lanes, in double and in the same order.
inline __m128d arc_cos_magnitude2(__m128d x) {
    auto step = [&](double a, __m128d t) { return _mm_add_pd(_mm_set1_pd(a), _mm_mul_pd(x, t)); };
    __m128d t = _mm_sub_pd(_mm_set1_pd(0.0066700901), _mm_mul_pd(x, _mm_set1_pd(0.0012624911)));
    t = step(-0.0170881256, t);
    t = step(0.0308918810, t);
    t = step(-0.0501743046, t);
    t = step(0.0889789874, t);
    t = step(-0.2145988016, t);
    const __m128d p = step(1.5707963050, t);
    return _mm_mul_pd(_mm_sqrt_pd(_mm_sub_pd(_mm_set1_pd(1.0), x)), p);
}

// arc_cos of four lanes: the same value as arc_cos in each.
inline __m128 arc_cos4(__m128 c) {
    const __m128 magnitude = _mm_and_ps(c, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff)));
    const __m128d lo = arc_cos_magnitude2(_mm_cvtps_pd(magnitude));
    const __m128d hi = arc_cos_magnitude2(_mm_cvtps_pd(_mm_movehl_ps(magnitude, magnitude)));
    const __m128d pi = _mm_set1_pd(3.14159265358979323846);
    const __m128 a = _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
    const __m128 flipped = _mm_movelh_ps(_mm_cvtpd_ps(_mm_sub_pd(pi, lo)), _mm_cvtpd_ps(_mm_sub_pd(pi, hi)));
    return select(_mm_cmplt_ps(c, _mm_setzero_ps()), flipped, a);
}

// angles_of for four vectors, lane by lane the same operations and special cases.
inline void angles_of4(const Vec3* v, float* theta, float* phi) {
    const __m128 x = _mm_setr_ps(v[0].x, v[1].x, v[2].x, v[3].x);
    const __m128 y = _mm_setr_ps(v[0].y, v[1].y, v[2].y, v[3].y);
    const __m128 z = _mm_setr_ps(v[0].z, v[1].z, v[2].z, v[3].z);
    const __m128 zero = _mm_setzero_ps();
    const __m128 xy = _mm_add_ps(_mm_mul_ps(x, x), _mm_mul_ps(y, y));
    const __m128 d = _mm_sqrt_ps(_mm_add_ps(xy, _mm_mul_ps(z, z)));
    const __m128 has_length = _mm_cmpgt_ps(d, zero);
    const __m128 t = arc_cos4(clamp_unit4(_mm_div_ps(z, d)));
    const __m128 h = _mm_sqrt_ps(xy);
    __m128 p = arc_cos4(clamp_unit4(_mm_div_ps(x, h)));
    p = select(_mm_cmplt_ps(y, zero), _mm_sub_ps(_mm_set1_ps(kTwoPi), p), p);
    _mm_storeu_ps(theta, _mm_and_ps(has_length, t));
    _mm_storeu_ps(phi, _mm_and_ps(_mm_and_ps(has_length, _mm_cmpgt_ps(h, zero)), p));
}

}  // namespace
#endif

// Short loops of independent iterations let the processor overlap the long chains of several lookups.
void direction_angles_batch(const Vec3* v, int n, float* theta, float* phi) {
    int i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= n; i += 4) angles_of4(v + i, theta + i, phi + i);
#endif
    for (; i < n; ++i) angles_of(v[i], theta[i], phi[i]);
}

LightCorners light_corners(Vec3 p, const CloudGrid& cloud) { return corners_of(p, cloud); }

void lookup_dir_light_corners_batch(const float* theta, const float* phi, const LightCorners* const* corners,
                                    int n, const CloudGrid& cloud, Vec3* out) {
    int i = 0;
#if defined(__SSE2__)
    // Two lookups at a time, their loads and sums interleaved: each alone is one long chain of additions.
    const Vec3* light = cloud.dcl_dir_light.data();
    for (; i + 2 <= n; i += 2) {
        const LookupSetUp a = set_up_lookup(theta[i], phi[i], *corners[i], cloud);
        const LookupSetUp b = set_up_lookup(theta[i + 1], phi[i + 1], *corners[i + 1], cloud);
        if (a.zero || b.zero || !a.lanes || !b.lanes) {
            out[i] = lookup_at(theta[i], phi[i], *corners[i], cloud);
            out[i + 1] = lookup_at(theta[i + 1], phi[i + 1], *corners[i + 1], cloud);
            continue;
        }
        LaneSum sa(a.blend), sb(b.blend);
        for (int k = 0; k < 8; ++k) {
            sa.add_corner(a, light, k);
            sb.add_corner(b, light, k);
        }
        out[i] = sa.value();
        out[i + 1] = sb.value();
    }
#endif
    for (; i < n; ++i) out[i] = lookup_at(theta[i], phi[i], *corners[i], cloud);
}

void lookup_dir_light_batch(const float* theta, const float* phi, const Vec3* p, int n,
                            const CloudGrid& cloud, Vec3* out) {
    for (int i = 0; i < n; ++i) out[i] = lookup_one(theta[i], phi[i], p[i], cloud);
}
