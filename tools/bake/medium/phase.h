// phase.h -- the cloud's phase function: Henyey-Greenstein density and sampling, and the scores
// that a scattering gives the viewer's sampling directions
//
// Scores. The viewer reconstructs the light leaving towards w by blending four sampling directions
// (bilinear weights in polar angle and azimuth). A forward lobe of g 0.85 is far narrower than the
// 45 degrees between directions, so scoring the phase function at the exact directions aliases it:
// light travelling along a direction is 18 times brighter seen head-on than light travelling between
// two. Instead each direction d scores the mean of the phase function over its footprint: the
// directions where the lookup blends d in, each shared equally among the directions blended there.
// A patch of the sphere between two rings and two segments is blended from n = 3 or 4 directions, so
//   score_d(w') = sum over patches P blending d of  mass_P(w') / (n_P * A_d),
//   A_d = sum over the same patches of area_P / n_P,
// where mass_P(w') is the share of light arriving along w' that the phase function scatters into
// P. A lobe then reads the same seen head-on wherever it lies between the directions (within about
// 10 %), a field that is the same in every direction is reproduced exactly, and the power is kept
// within a few per cent (sum_d A_d score_d = 1 up to the difference between A_d and the blending
// weights' own solid angles).
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "scene/scene.h"

// Directions scored per collision; the table has kDirCount of them, the rest are padding that keeps
// the scoring loop a fixed-length loop the compiler can vectorise.
constexpr int kScoreLanes = 32;
static_assert(kScoreLanes >= kDirCount, "every sampling direction needs a scoring lane");

// Henyey-Greenstein phase function per steradian (integrates to 1 over the sphere) for the cosine
// between the light's travel direction and the outgoing direction.
double henyey_greenstein(double cos_angle, double g);

// The travel direction after a Henyey-Greenstein scattering of unit travel direction w, from two
// uniform numbers in [0, 1): u1 picks the angle to w, u2 the turn about it.
void sample_henyey_greenstein(const double w[3], double g, double u1, double u2, double out[3]);

// The footprint scores of every sampling direction, tabulated over the arriving direction on an
// octahedral map of kPhaseNodes x kPhaseNodes nodes and blended bilinearly between them.
constexpr int32_t kPhaseNodes = 65;
struct PhaseScores {
    double g = 0.0;
    std::vector<float> rows;        // kPhaseNodes^2 rows of kScoreLanes scores (per steradian)
    double footprint[kDirCount]{};  // A_d, steradians; they sum to 4 pi
};

// The scores for asymmetry g, computed on first use and kept for the process (safe from any thread).
const PhaseScores& phase_scores(double g);

// The footprint of one patch around a sampling direction in the lookup's blending (for tests):
// the directions blended at polar angle theta, azimuth phi; returns their count.
int32_t blended_directions(double theta, double phi, int32_t out[4]);

// Adds weight * score_d(w) to acc[d] for every lane (padding lanes add 0); w a unit vector, the
// direction the light travels before it scatters.
inline void add_phase_scores(const PhaseScores& t, double wx, double wy, double wz, float weight,
                             float* acc) {
    // Octahedral map: the unit sphere onto the square [-1, 1]^2, the lower half folded outwards.
    const double s = 1.0 / (std::fabs(wx) + std::fabs(wy) + std::fabs(wz));
    double u = wx * s, v = wy * s;
    if (wz < 0.0) {
        const double au = std::fabs(u), av = std::fabs(v);
        u = (1.0 - av) * (wx < 0.0 ? -1.0 : 1.0);
        v = (1.0 - au) * (wy < 0.0 ? -1.0 : 1.0);
    }
    constexpr int32_t last = kPhaseNodes - 1;
    const double fu = (u + 1.0) * 0.5 * last, fv = (v + 1.0) * 0.5 * last;
    int32_t i = static_cast<int32_t>(fu), j = static_cast<int32_t>(fv);
    i = i < 0 ? 0 : (i > last - 1 ? last - 1 : i);
    j = j < 0 ? 0 : (j > last - 1 ? last - 1 : j);
    const float a = static_cast<float>(fu - i), b = static_cast<float>(fv - j);
    const float w00 = weight * (1.0f - a) * (1.0f - b), w10 = weight * a * (1.0f - b),
                w01 = weight * (1.0f - a) * b, w11 = weight * a * b;
    const float* r00 = t.rows.data() + (static_cast<size_t>(j) * kPhaseNodes + i) * kScoreLanes;
    const float* r10 = r00 + kScoreLanes;
    const float* r01 = r00 + static_cast<size_t>(kPhaseNodes) * kScoreLanes;
    const float* r11 = r01 + kScoreLanes;
    for (int d = 0; d < kScoreLanes; ++d) acc[d] += w00 * r00[d] + w10 * r10[d] + w01 * r01[d] + w11 * r11[d];
}
