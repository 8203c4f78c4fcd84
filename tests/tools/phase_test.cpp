// phase_test.cpp -- the footprint scores of the sampling directions against the viewer's own blending
#include "tools/bake/medium/phase.h"

#include <gtest/gtest.h>

#include <cmath>

#include "illumination/directions.h"

namespace {

constexpr double kPiD = 3.141592653589793;

// What the viewer shows looking along unit v at a field scored for light travelling along v: its
// blend of the four directions round v.
double seen_head_on(const PhaseScores& t, double theta, double phi) {
    const double v[3] = {std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta)};
    float acc[kScoreLanes] = {};
    add_phase_scores(t, v[0], v[1], v[2], 1.0f, acc);
    const DirectionBlend b = blend_directions(static_cast<float>(theta), static_cast<float>(phi));
    double sum = 0.0;
    for (int q = 0; q < 4; ++q)
        sum += b.weight[static_cast<size_t>(q)] * acc[b.index[static_cast<size_t>(q)]];
    return sum;
}

}  // namespace

// A g 0.85 lobe reads the same seen head-on whether the light travels along a sampling direction,
// between two of them or in the middle of four (scored at the exact directions the three differ
// eighteen-fold); the scores keep the scattered power, and a field the same in every direction
// stays so.
TEST(PhaseScores, ForwardLobeReadsTheSameWhereverItLiesBetweenTheDirections) {
    const PhaseScores& t = phase_scores(0.85);
    const double step = kPiD / 4.0;
    // Midway between two neighbouring directions (along a ring, and across rings) and in the middle
    // of four, against the mean of the values seen along the directions themselves.
    for (double theta : {0.0, step, 2.0 * step, 3.0 * step}) {
        for (double phi : {0.0, step, 5.0 * step}) {
            const double here = seen_head_on(t, theta, phi);
            const double next_phi = seen_head_on(t, theta, phi + step);
            const double next_theta = seen_head_on(t, theta + step, phi);
            const double far = seen_head_on(t, theta + step, phi + step);
            EXPECT_NEAR(seen_head_on(t, theta, phi + 0.5 * step) / (0.5 * (here + next_phi)), 1.0, 0.2)
                << "theta " << theta << " phi " << phi;
            EXPECT_NEAR(seen_head_on(t, theta + 0.5 * step, phi) / (0.5 * (here + next_theta)), 1.0, 0.2)
                << "theta " << theta << " phi " << phi;
            EXPECT_NEAR(seen_head_on(t, theta + 0.5 * step, phi + 0.5 * step) /
                            (0.25 * (here + next_phi + next_theta + far)),
                        1.0, 0.2)
                << "theta " << theta << " phi " << phi;
        }
    }
    // Exact-direction scoring for comparison: 6.5 per sr along a direction, 0.37 between two.
    EXPECT_GT(henyey_greenstein(1.0, 0.85) / henyey_greenstein(std::cos(0.5 * step), 0.85), 17.0);

    double footprints = 0.0;
    for (double a : t.footprint) footprints += a;
    EXPECT_NEAR(footprints, 4.0 * kPiD, 1e-9);
    for (double theta = 0.05; theta < kPiD; theta += 0.37) {
        for (double phi = 0.0; phi < 2.0 * kPiD; phi += 0.41) {
            float acc[kScoreLanes] = {};
            add_phase_scores(t, std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi),
                             std::cos(theta), 1.0f, acc);
            double power = 0.0;
            for (int d = 0; d < kDirCount; ++d) {
                ASSERT_GE(acc[d], 0.0f);
                power += t.footprint[d] * acc[d];
            }
            for (int d = kDirCount; d < kScoreLanes; ++d) ASSERT_EQ(acc[d], 0.0f);
            EXPECT_NEAR(power, 1.0, 0.06) << "theta " << theta << " phi " << phi;
        }
    }
    const PhaseScores& iso = phase_scores(0.0);
    float acc[kScoreLanes] = {};
    add_phase_scores(iso, 0.3, -0.4, std::sqrt(0.75), 1.0f, acc);
    for (int d = 0; d < kDirCount; ++d) EXPECT_FLOAT_EQ(acc[d], static_cast<float>(1.0 / (4.0 * kPiD)));
}

// The density integrates to one over the sphere and leans forwards for g > 0.
TEST(ScatterModel, PhaseFunctionIntegratesToOne) {
    for (double g : {0.0, 0.2, 0.6}) {
        double sum = 0.0;
        const int n = 20000;
        for (int i = 0; i < n; ++i) {
            const double mu = -1.0 + (i + 0.5) * 2.0 / n;
            sum += henyey_greenstein(mu, g) * 2.0 * kPiD * (2.0 / n);
        }
        EXPECT_NEAR(sum, 1.0, 1e-6) << "g " << g;
    }
    EXPECT_GT(henyey_greenstein(1.0, 0.2), henyey_greenstein(-1.0, 0.2));
}

// The sampler draws the density: the mean cosine of Henyey-Greenstein scattering is g, and the share
// scattered within 22.5 degrees matches the density's integral.
TEST(PhaseScores, SamplingFollowsTheDensity) {
    const double w[3] = {0.0, 0.6, 0.8};
    for (double g : {0.0, 0.3, 0.85, -0.5}) {
        const int n = 200000;
        double mean = 0.0, near = 0.0;
        for (int i = 0; i < n; ++i) {
            double out[3];
            sample_henyey_greenstein(w, g, (i + 0.5) / n, std::fmod(i * 0.6180339887, 1.0), out);
            const double mu = out[0] * w[0] + out[1] * w[1] + out[2] * w[2];
            ASSERT_NEAR(out[0] * out[0] + out[1] * out[1] + out[2] * out[2], 1.0, 1e-12);
            mean += mu / n;
            near += mu > std::cos(kPiD / 8.0) ? 1.0 / n : 0.0;
        }
        EXPECT_NEAR(mean, g, 2e-3) << "g " << g;
        double expected = 0.0;
        const int steps = 20000;
        for (int k = 0; k < steps; ++k) {
            const double mu = std::cos(kPiD / 8.0) + (1.0 - std::cos(kPiD / 8.0)) * (k + 0.5) / steps;
            expected += henyey_greenstein(mu, g) * 2.0 * kPiD * (1.0 - std::cos(kPiD / 8.0)) / steps;
        }
        EXPECT_NEAR(near, expected, 2e-3) << "g " << g;
    }

    // The turn about w is 2 pi u2 in every quarter of the circle: between the draws at u2 and v2 the
    // scattered direction turns by 2 pi (v2 - u2) about w, anticlockwise.
    for (int i = 0; i < 2000; ++i) {
        const double u2 = std::fmod(i * 0.6180339887, 1.0), v2 = std::fmod(i * 0.4142135623 + 0.1, 1.0);
        double a[3], b[3];
        sample_henyey_greenstein(w, 0.3, 0.37, u2, a);
        sample_henyey_greenstein(w, 0.3, 0.37, v2, b);
        const double mu = a[0] * w[0] + a[1] * w[1] + a[2] * w[2];
        double pa[3], pb[3];
        for (int k = 0; k < 3; ++k) {
            pa[k] = a[k] - mu * w[k];
            pb[k] = b[k] - mu * w[k];
        }
        const double across = 1.0 - mu * mu;
        const double cos_turn = (pa[0] * pb[0] + pa[1] * pb[1] + pa[2] * pb[2]) / across;
        const double sin_turn =
            ((pa[1] * pb[2] - pa[2] * pb[1]) * w[0] + (pa[2] * pb[0] - pa[0] * pb[2]) * w[1] +
             (pa[0] * pb[1] - pa[1] * pb[0]) * w[2]) /
            across;
        ASSERT_NEAR(cos_turn, std::cos(2.0 * kPiD * (v2 - u2)), 1e-9) << "u2 " << u2 << " v2 " << v2;
        ASSERT_NEAR(sin_turn, std::sin(2.0 * kPiD * (v2 - u2)), 1e-9) << "u2 " << u2 << " v2 " << v2;
    }
}
