// phase.cpp -- the cloud's phase function: Henyey-Greenstein density and sampling, and the scores
// that a scattering gives the viewer's sampling directions
#include "tools/bake/medium/phase.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "illumination/directions.h"
#include "tools/bake/parallel.h"

namespace {

constexpr double kPiExact = 3.141592653589793;
constexpr double kFourPi = 4.0 * kPiExact;
// Below this |g| the phase function is isotropic to double precision for every purpose here.
constexpr double kIsotropicG = 1e-4;
// Patches: the bands between consecutive rings times the segments.
constexpr int32_t kBands = kDirRings - 1;
constexpr int32_t kPatches = kBands * kDirSegments;
static_assert(kDirSegments == 8, "the patch of an azimuth is found by octant comparisons");
// Deterministic quadrature of the phase function round each node: kQuadAngles angles to the
// arriving direction at equal steps of its cumulative distribution, times kQuadTurns turns about it.
// Each point carries the same share of the light; only the points that straddle a patch edge are
// misplaced, about 1 / (2 kQuadTurns) of the light in the worst case.
constexpr int32_t kQuadAngles = 96;
constexpr int32_t kQuadTurns = 128;

// cos(angle to w) for the cumulative fraction xi of Henyey-Greenstein scattering.
double hg_cosine(double g, double xi) {
    if (std::fabs(g) < kIsotropicG) return 1.0 - 2.0 * xi;
    // The reciprocal of 2 g does not wait for the first quotient, so the two divisions overlap.
    const double half_inv_g = 0.5 / g;
    const double s = (1.0 - g * g) / (1.0 - g + 2.0 * g * xi);
    return std::clamp((1.0 + g * g - s * s) * half_inv_g, -1.0, 1.0);
}

// cos and sin of the angle 2 pi u, u in [0, 1), for the turn of every scattering: the nearest quarter
// turn, then Taylor series over at most an eighth of a turn either side (truncation below 1e-16). The
// library's general sincos spends most of its time reducing arbitrary arguments, which this one needs
// not; the quarter is chosen by table lookups rather than branches, since it is random.
void turn_cos_sin(double u, double& c, double& s) {
    const int32_t k = static_cast<int32_t>(4.0 * u + 0.5);
    const double a = (u - 0.25 * k) * (2.0 * kPiExact);
    const double a2 = a * a;
    // Taylor coefficients in a^2: (-1)^n / (2n + 1)! for the sine over a, (-1)^n / (2n)! for the cosine.
    constexpr double kSin[8] = {1.0,
                                -1.0 / 6.0,
                                1.0 / 120.0,
                                -1.0 / 5040.0,
                                1.0 / 362880.0,
                                -1.0 / 39916800.0,
                                1.0 / 6227020800.0,
                                -1.0 / 1307674368000.0};
    constexpr double kCos[9] = {1.0,
                                -1.0 / 2.0,
                                1.0 / 24.0,
                                -1.0 / 720.0,
                                1.0 / 40320.0,
                                -1.0 / 3628800.0,
                                1.0 / 479001600.0,
                                -1.0 / 87178291200.0,
                                1.0 / 20922789888000.0};
    double sin_a = kSin[7], cos_a = kCos[8];
    for (int n = 6; n >= 0; --n) sin_a = sin_a * a2 + kSin[n];
    for (int n = 7; n >= 0; --n) cos_a = cos_a * a2 + kCos[n];
    sin_a *= a;
    // Turning by k quarters: (cos, sin) -> (-sin, cos) per quarter.
    const double pair[2] = {cos_a, sin_a};
    constexpr double kSign[2] = {1.0, -1.0};
    const int32_t odd = k & 1;
    c = pair[odd] * kSign[((k + 1) >> 1) & 1];
    s = pair[odd ^ 1] * kSign[(k >> 1) & 1];
}

// Orthonormal vectors t1, t2 completing unit w to a right-handed basis, without a branch on its
// direction (Duff et al. 2017).
void basis(const double w[3], double t1[3], double t2[3]) {
    const double sign = std::copysign(1.0, w[2]);
    const double a = -1.0 / (sign + w[2]);
    const double b = w[0] * w[1] * a;
    t1[0] = 1.0 + sign * w[0] * w[0] * a;
    t1[1] = sign * b;
    t1[2] = -sign * w[0];
    t2[0] = b;
    t2[1] = sign + w[1] * w[1] * a;
    t2[2] = -w[1];
}

// The patch holding unit direction v: its band counts the rings above it, its segment the octant of
// its azimuth (boundaries belong to either side; they carry no light).
int32_t patch_of(const double v[3], const double* band_cos) {
    int32_t band = 0;
    while (band < kBands - 1 && v[2] < band_cos[band]) ++band;
    const double x = v[0], y = v[1];
    int32_t seg;
    if (y >= 0.0) {
        seg = x > 0.0 ? (y < x ? 0 : 1) : (y > -x ? 2 : 3);
    } else {
        seg = x < 0.0 ? (-y < -x ? 4 : 5) : (x < -y ? 6 : 7);
    }
    return band * kDirSegments + seg;
}

// The unit direction of octahedral node (i, j).
void node_direction(int32_t i, int32_t j, double out[3]) {
    const double u = -1.0 + 2.0 * i / (kPhaseNodes - 1), v = -1.0 + 2.0 * j / (kPhaseNodes - 1);
    double x = u, y = v;
    const double z = 1.0 - std::fabs(u) - std::fabs(v);
    if (z < 0.0) {
        x = (1.0 - std::fabs(v)) * (u < 0.0 ? -1.0 : 1.0);
        y = (1.0 - std::fabs(u)) * (v < 0.0 ? -1.0 : 1.0);
    }
    const double len = std::sqrt(x * x + y * y + z * z);
    out[0] = x / len;
    out[1] = y / len;
    out[2] = z / len;
}

std::unique_ptr<PhaseScores> build_scores(double g) {
    auto t = std::make_unique<PhaseScores>();
    t->g = g;
    // Which directions each patch blends, and the footprints.
    int32_t members[kPatches][4];
    int32_t count[kPatches];
    double area[kPatches];
    double band_cos[kBands];
    for (int32_t b = 0; b < kBands; ++b) band_cos[b] = std::cos((b + 1) * static_cast<double>(kDirStep));
    for (int32_t b = 0; b < kBands; ++b) {
        // The lookup clamps polar angles past the last ring to the pole, so the last band reaches pi.
        const double top = b * static_cast<double>(kDirStep);
        const double bottom = b == kBands - 1 ? kPiExact : (b + 1) * static_cast<double>(kDirStep);
        for (int32_t s = 0; s < kDirSegments; ++s) {
            const int32_t p = b * kDirSegments + s;
            count[p] = blended_directions(0.5 * (top + bottom), (s + 0.5) * kDirStep, members[p]);
            area[p] = 2.0 * kPiExact / kDirSegments * (std::cos(top) - std::cos(bottom));
            for (int32_t k = 0; k < count[p]; ++k) t->footprint[members[p][k]] += area[p] / count[p];
        }
    }
    t->rows.assign(static_cast<size_t>(kPhaseNodes) * kPhaseNodes * kScoreLanes, 0.0f);
    if (std::fabs(g) < kIsotropicG) {
        for (size_t r = 0; r < static_cast<size_t>(kPhaseNodes) * kPhaseNodes; ++r)
            for (int32_t d = 0; d < kDirCount; ++d)
                t->rows[r * kScoreLanes + d] = static_cast<float>(1.0 / kFourPi);
        return t;
    }
    double cosines[kQuadAngles], sines[kQuadAngles], turn_c[kQuadTurns], turn_s[kQuadTurns];
    for (int32_t a = 0; a < kQuadAngles; ++a) {
        cosines[a] = hg_cosine(g, (a + 0.5) / kQuadAngles);
        sines[a] = std::sqrt(std::max(0.0, 1.0 - cosines[a] * cosines[a]));
    }
    for (int32_t k = 0; k < kQuadTurns; ++k) {
        turn_c[k] = std::cos(2.0 * kPiExact * (k + 0.5) / kQuadTurns);
        turn_s[k] = std::sin(2.0 * kPiExact * (k + 0.5) / kQuadTurns);
    }
    parallel_for(kPhaseNodes, 0, [&](int j) {
        for (int32_t i = 0; i < kPhaseNodes; ++i) {
            double w[3], t1[3], t2[3];
            node_direction(i, j, w);
            basis(w, t1, t2);
            double mass[kPatches] = {};
            for (int32_t a = 0; a < kQuadAngles; ++a) {
                for (int32_t k = 0; k < kQuadTurns; ++k) {
                    const double c = sines[a] * turn_c[k], s = sines[a] * turn_s[k];
                    const double v[3] = {cosines[a] * w[0] + c * t1[0] + s * t2[0],
                                         cosines[a] * w[1] + c * t1[1] + s * t2[1],
                                         cosines[a] * w[2] + c * t1[2] + s * t2[2]};
                    mass[patch_of(v, band_cos)] += 1.0;
                }
            }
            float* row = t->rows.data() + (static_cast<size_t>(j) * kPhaseNodes + i) * kScoreLanes;
            double score[kDirCount] = {};
            for (int32_t p = 0; p < kPatches; ++p) {
                const double share = mass[p] / (static_cast<double>(kQuadAngles) * kQuadTurns) / count[p];
                for (int32_t k = 0; k < count[p]; ++k) score[members[p][k]] += share;
            }
            for (int32_t d = 0; d < kDirCount; ++d) row[d] = static_cast<float>(score[d] / t->footprint[d]);
        }
    });
    return t;
}

}  // namespace

double henyey_greenstein(double cos_angle, double g) {
    const double denom = 1.0 + g * g - 2.0 * g * cos_angle;
    return (1.0 - g * g) / (kFourPi * denom * std::sqrt(denom));
}

void sample_henyey_greenstein(const double w[3], double g, double u1, double u2, double out[3]) {
    const double mu = hg_cosine(g, u1);
    const double sin_t = std::sqrt(std::max(0.0, 1.0 - mu * mu));
    double cos_phi, sin_phi;
    turn_cos_sin(u2, cos_phi, sin_phi);
    const double cp = cos_phi * sin_t, sp = sin_phi * sin_t;
    double t1[3], t2[3];
    basis(w, t1, t2);
    double n[3];
    for (int k = 0; k < 3; ++k) n[k] = mu * w[k] + cp * t1[k] + sp * t2[k];
    // n is a unit vector up to rounding, |n|^2 = 1 + e with e of order 1e-16: one Newton step for
    // 1 / sqrt(1 + e), 1 - e / 2, is exact to double precision there and keeps a walk of any length
    // from drifting off the unit sphere, without a square root and a division on every scattering.
    const double len2 = n[0] * n[0] + n[1] * n[1] + n[2] * n[2];
    const double scale = 1.5 - 0.5 * len2;
    for (int k = 0; k < 3; ++k) out[k] = n[k] * scale;
}

int32_t blended_directions(double theta, double phi, int32_t out[4]) {
    const DirectionBlend b = blend_directions(static_cast<float>(theta), static_cast<float>(phi));
    int32_t n = 0;
    for (int q = 0; q < 4; ++q) {
        if (!(b.weight[static_cast<size_t>(q)] > 0.0f)) continue;
        const int32_t d = b.index[static_cast<size_t>(q)];
        if (std::find(out, out + n, d) == out + n) out[n++] = d;
    }
    return n;
}

const PhaseScores& phase_scores(double g) {
    static std::mutex lock;
    static std::map<double, std::unique_ptr<PhaseScores>> made;
    std::lock_guard<std::mutex> hold(lock);
    std::unique_ptr<PhaseScores>& t = made[g];
    if (!t) t = build_scores(g);
    return *t;
}
