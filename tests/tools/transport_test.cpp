// transport_test.cpp -- the light-transport bake against conservation, known answers and the exact first
// order
#include "tools/bake/medium/transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "illumination/directions.h"

namespace {

constexpr double kPiD = 3.141592653589793;

// A cube of n^3 unit cells of one extinction.
TransportMedium cube(int32_t n, double sigma, double albedo, double g) {
    CoarseCloud c;
    c.nx = c.ny = c.nz = n;
    c.cell = 1.0;
    c.extinction = sigma;
    c.density.assign(static_cast<size_t>(n) * n * n, 1.0);
    return make_transport_medium(c, albedo, g);
}

// A lumpy cloud: a dense ball, a thin shell round it and clear corners, on 8 x 8 x 4 cells of 2 units.
TransportMedium lumpy(double extinction, double albedo, double g) {
    CoarseCloud c;
    c.nx = 8;
    c.ny = 8;
    c.nz = 4;
    c.cell = 2.0;
    c.extinction = extinction;
    c.density.assign(256, 0.0);
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const double r = std::hypot(std::hypot(x - 3.5, y - 3.5), 1.6 * (z - 1.5));
                c.density[static_cast<size_t>(x + 8 * (y + 8 * z))] = r < 2.5 ? 1.0 : (r < 3.6 ? 0.2 : 0.0);
            }
    return make_transport_medium(c, albedo, g);
}

// Sum over cells of eta * V per direction: the power scattered towards each direction per steradian.
std::vector<double> per_direction(const std::vector<double>& field, const TransportMedium& m, int nd) {
    std::vector<double> sum(static_cast<size_t>(nd), 0.0);
    const double v = m.cell * m.cell * m.cell;
    for (size_t i = 0; i < field.size(); ++i) sum[i % static_cast<size_t>(nd)] += field[i] * v;
    return sum;
}

// An analogue walk, written apart from the bake's and sharing none of its code: unit mean free path,
// a cube of half-width `half_width` round the source, Henyey-Greenstein scattering of asymmetry g by
// inversion, absorption as a survival draw at each collision. Returns the escaping fraction and the mean
// scatterings per photon.
struct AnalogueResult {
    double escaped = 0.0, scatterings = 0.0;
};
AnalogueResult analogue_cube_walk(double half_width, double albedo, double g, int photons, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int64_t escaped = 0, scatterings = 0;
    for (int p = 0; p < photons; ++p) {
        double x[3] = {0, 0, 0};
        // Isotropic emission.
        double mu = 2.0 * u(rng) - 1.0, phi = 2.0 * kPiD * u(rng);
        double d[3] = {std::sqrt(1 - mu * mu) * std::cos(phi), std::sqrt(1 - mu * mu) * std::sin(phi), mu};
        for (;;) {
            const double step = -std::log(1.0 - u(rng));
            for (int k = 0; k < 3; ++k) x[k] += step * d[k];
            if (std::fabs(x[0]) > half_width || std::fabs(x[1]) > half_width ||
                std::fabs(x[2]) > half_width) {
                ++escaped;
                break;
            }
            if (u(rng) >= albedo) break;  // absorbed
            ++scatterings;
            // Cosine of the turn, from the inverse of the HG distribution.
            const double t = (1 - g * g) / (1 - g + 2 * g * u(rng));
            const double c = (1 + g * g - t * t) / (2 * g);
            const double sn = std::sqrt(std::max(0.0, 1 - c * c)), ph = 2.0 * kPiD * u(rng);
            // Any unit vector across d, then the turn about d.
            double a[3] = {0, 0, 0};
            a[std::fabs(d[0]) < 0.6 ? 0 : 1] = 1.0;
            double e1[3] = {a[1] * d[2] - a[2] * d[1], a[2] * d[0] - a[0] * d[2], a[0] * d[1] - a[1] * d[0]};
            const double n1 = std::sqrt(e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2]);
            for (double& v : e1) v /= n1;
            const double e2[3] = {d[1] * e1[2] - d[2] * e1[1], d[2] * e1[0] - d[0] * e1[2],
                                  d[0] * e1[1] - d[1] * e1[0]};
            for (int k = 0; k < 3; ++k) d[k] = c * d[k] + sn * (std::cos(ph) * e1[k] + std::sin(ph) * e2[k]);
        }
    }
    return {static_cast<double>(escaped) / photons, static_cast<double>(scatterings) / photons};
}

}  // namespace

// A point source at the centre of a homogeneous cube, g 0.85: the bake's weighted walks (implicit capture,
// roulette, exact free paths through the cells) against the analogue walk above, for the escaping fraction
// and the mean scatterings per walk, from an optically small cube to one where walks scatter some sixty
// times and most light is absorbed.
TEST(Transport, HomogeneousCubeMatchesAnIndependentAnalogueWalk) {
    TransportScratch scratch;
    std::vector<double> field;
    struct Case {
        double half_width, albedo;
    };
    for (const Case& c : {Case{5.0, 0.99996}, Case{20.0, 0.99996}, Case{20.0, 0.99}, Case{20.0, 0.999}}) {
        const AnalogueResult want = analogue_cube_walk(c.half_width, c.albedo, 0.85, 4000, 17);
        const TransportMedium m = cube(8, c.half_width / 4.0, c.albedo, 0.85);
        const TransportStats s =
            trace_multiple_scattering(m, at_point({4.0, 4.0, 4.0}), 3000, 11, scratch, field);
        const double mean = static_cast<double>(s.collisions) / static_cast<double>(s.paths);
        SCOPED_TRACE(testing::Message() << "half-width " << c.half_width << " albedo " << c.albedo);
        EXPECT_NEAR(s.escaped, want.escaped, 0.03);
        // The weighted walk goes on through collisions the analogue one ends in, so its count is the
        // analogue's only where little is absorbed.
        if (c.albedo > 0.9999) {
            EXPECT_NEAR(mean, want.scatterings, 0.1 * want.scatterings);
        }
        EXPECT_EQ(s.stopped, 0);
    }
}

// Power is conserved: with albedo 1 every unit emitted leaves the grid; otherwise what escapes and what
// is absorbed add up to it. The exact first order scatters albedo times the power that collides at all,
// which the random walks measure independently as one minus their uncollided escape.
TEST(Transport, ConservesPowerAndAgreesWithTheExactFirstOrder) {
    TransportScratch scratch;
    std::vector<double> field;
    const Point3 source{7.0, 6.0, 3.0};
    TransportStats s =
        trace_multiple_scattering(lumpy(1.5, 1.0, 0.85), at_point(source), 2000, 3, scratch, field);
    EXPECT_NEAR(s.escaped, 1.0, 1e-12);
    EXPECT_EQ(s.absorbed, 0.0);
    EXPECT_GT(static_cast<double>(s.collisions) / s.paths, 5.0);
    s = trace_multiple_scattering(lumpy(1.5, 0.9, 0.85), at_point(source), 4000, 4, scratch, field);
    EXPECT_NEAR(s.escaped + s.absorbed, 1.0, 0.03);
    EXPECT_LT(s.escaped, 0.8);
    // The scratch carries nothing from one run to the next: a fresh one gives the same field exactly.
    TransportScratch fresh;
    std::vector<double> again;
    trace_multiple_scattering(lumpy(1.5, 0.9, 0.85), at_point(source), 4000, 4, fresh, again);
    EXPECT_EQ(again, field);

    // Isotropic scattering: 4 pi * sum(eta V) towards any one direction is the power the first
    // collisions scatter.
    const TransportMedium iso = lumpy(0.4, 0.8, 0.0);
    s = trace_multiple_scattering(iso, at_point(source), 40000, 5, scratch, field);
    std::vector<double> first;
    single_scattering(iso, at_point(source), first);
    const std::vector<double> sums = per_direction(first, iso, kDirCount);
    EXPECT_NEAR(4.0 * kPiD * sums[0], 0.8 * (1.0 - s.escaped_direct), 0.01);

    // Forward scattering: in a cell beyond the source, light scattered on, away from the source,
    // outweighs light scattered back towards it many times over (a phase function turned the wrong way
    // round would give the reverse).
    const double cell_centre[3] = {11.0, 7.0, 3.0};  // cell (5, 3, 1) of 2-unit cells
    const size_t cell = static_cast<size_t>(5 + 8 * (3 + 8 * 1));
    const double away[3] = {cell_centre[0] - source[0], cell_centre[1] - source[1],
                            cell_centre[2] - source[2]};
    int forward = 0, backward = 0;
    for (int d = 0; d < kDirCount; ++d) {
        auto along = [&](int e) {
            const Vec3 v = direction_vector(e);
            return v.x * away[0] + v.y * away[1] + v.z * away[2];
        };
        if (along(d) > along(forward)) forward = d;
        if (along(d) < along(backward)) backward = d;
    }
    single_scattering(lumpy(0.4, 0.8, 0.85), at_point(source), first);
    EXPECT_GT(first[cell * kDirCount + forward], 20.0 * first[cell * kDirCount + backward]);
}

// Where the light is scattered at most once -- an optically thin cloud, or one that absorbs almost
// everything it scatters -- the random walks reproduce the exact single scattering direction by
// direction, forward peak included; in a thick, white cloud all orders carry far more light away from
// the source than the first order alone.
TEST(Transport, FirstOrderLimitsMatchSingleScatteringAndAllOrdersSpreadTheGlow) {
    TransportScratch scratch;
    std::vector<double> walk, exact;
    const Point3 source{3.0, 9.0, 1.0};
    struct Case {
        double extinction, albedo;
        int64_t paths;
    };
    for (const Case& c : {Case{0.002, 1.0, 2000000}, Case{2.0, 0.002, 40000}}) {
        // Direction by direction with a milder forward peak (the walks' noise in a peak as sharp as
        // g 0.85 is larger than the tolerance), then summed over directions with the cloud's own g.
        for (double g : {0.6, 0.85}) {
            const TransportMedium m = lumpy(c.extinction, c.albedo, g);
            trace_multiple_scattering(m, at_point(source), c.paths, 6, scratch, walk);
            single_scattering(m, at_point(source), exact);
            const std::vector<double> a = per_direction(walk, m, kDirCount);
            const std::vector<double> b = per_direction(exact, m, kDirCount);
            double peak = 0.0, total_a = 0.0, total_b = 0.0;
            for (int d = 0; d < kDirCount; ++d) {
                peak = std::max(peak, b[d]);
                total_a += a[d];
                total_b += b[d];
            }
            EXPECT_NEAR(total_a, total_b, 0.03 * total_b) << "extinction " << c.extinction << " g " << g;
            for (int d = 0; g < 0.7 && d < kDirCount; ++d) {
                EXPECT_NEAR(a[d], b[d], 0.05 * peak) << "extinction " << c.extinction << " direction " << d;
            }
        }
    }

    // Thick and white: compare the light scattered beyond 4 units of the source.
    const TransportMedium m = lumpy(2.0, 0.999, 0.85);
    const Point3 inside{8.0, 8.0, 4.0};
    trace_multiple_scattering(m, at_point(inside), 4000, 7, scratch, walk);
    single_scattering(m, at_point(inside), exact);
    double far_walk = 0.0, far_exact = 0.0;
    for (int32_t c = 0; c < m.count(); ++c) {
        const double x = (c % 8 + 0.5) * 2.0, y = (c / 8 % 8 + 0.5) * 2.0, z = (c / 64 + 0.5) * 2.0;
        if (std::hypot(std::hypot(x - inside[0], y - inside[1]), z - inside[2]) < 4.0) continue;
        for (int d = 0; d < kDirCount; ++d) {
            far_walk += walk[static_cast<size_t>(c) * kDirCount + d];
            far_exact += exact[static_cast<size_t>(c) * kDirCount + d];
        }
    }
    EXPECT_GT(far_walk, 3.0 * far_exact);
}

// The exact first order against a hand computation: a row of unit cells, a source outside it on the
// row's axis, isotropic scattering.
TEST(Transport, SingleScatteringFallsWithDistanceAndShadow) {
    CoarseCloud c;
    c.nx = 4;
    c.ny = 1;
    c.nz = 1;
    c.cell = 1.0;
    c.extinction = 0.1;
    c.density = {1.0, 1.0, 0.0, 1.0};
    const TransportMedium m = make_transport_medium(c, 0.9, 0.0);
    std::vector<double> out;
    single_scattering(m, at_point({-5.5, 0.5, 0.5}), out);
    ASSERT_EQ(out.size(), 4u * kDirCount);
    const double iso = 0.1 * 0.9 / (4 * kPiD) / (4 * kPiD);
    const size_t n = kDirCount;
    EXPECT_NEAR(out[0], iso * std::exp(-0.05) / 36.0, 1e-9);  // 6 units away, half a cell of shadow
    EXPECT_NEAR(out[n], iso * std::exp(-0.15) / 49.0, 1e-9);
    EXPECT_EQ(out[2 * n], 0.0);                                   // empty cells scatter nothing
    EXPECT_NEAR(out[3 * n], iso * std::exp(-0.25) / 81.0, 1e-9);  // behind the gap
    EXPECT_NEAR(optical_depth(m, {-5.5, 0.5, 0.5}, {9.0, 0.5, 0.5}), 0.3, 1e-12);
}

// Light from outside: the scattered power of every cell, sum_d A_d eta V, adds up to albedo times the
// power that collides. In a thin slab under a vertical sun that is the exact first order, direction by
// direction; in a cube too dense to cross, everything that reaches it collides, so the scattered power
// measures what enters: the sun's irradiance times the cube's shadow, L^2 (|ux| + |uy| + |uz|), and for
// an even sky of unit radiance the shadow over the upper hemisphere, 3 pi L^2. The side facing a low sun
// is the brighter.
TEST(Transport, SunAndSkyLightWhatEntersTheirSideOfTheCloud) {
    TransportScratch scratch;
    std::vector<double> field;
    const PhaseScores& phase = phase_scores(0.5);
    auto power = [&](const TransportMedium& m, const std::vector<double>& f, size_t c) {
        double p = 0.0;
        for (int d = 0; d < kDirCount; ++d) p += phase.footprint[d] * f[c * kDirCount + d];
        return p * m.cell * m.cell * m.cell;
    };

    // A slab of 4 x 4 unit cells, optical depth 0.02, lit from straight above.
    CoarseCloud slab;
    slab.nx = slab.ny = 4;
    slab.nz = 1;
    slab.cell = 1.0;
    slab.extinction = 0.02;
    slab.density.assign(16, 1.0);
    const TransportMedium thin = make_transport_medium(slab, 0.9, 0.5);
    const double up[3] = {0.0, 0.0, 2.0};
    trace_sun(thin, up, 400000, 11, scratch, field);
    alignas(64) float lanes[kScoreLanes] = {};
    add_phase_scores(phase, 0.0, 0.0, -1.0, 1.0f, lanes);
    const double collided = (1.0 - std::exp(-0.02)) / 1.0;  // per unit area, averaged over the depth
    for (int d = 0; d < kDirCount; ++d) {
        double mean = 0.0;
        for (size_t c = 0; c < 16; ++c) mean += field[c * kDirCount + static_cast<size_t>(d)] / 16.0;
        EXPECT_NEAR(mean, 0.9 * collided * lanes[d], 0.05 * 0.9 * collided * lanes[d] + 1e-6)
            << "direction " << d;
    }

    // A cube of 4 units, optical depth 80 across: nothing crosses it.
    const TransportMedium dense = cube(4, 20.0, 0.01, 0.5);
    auto scattered = [&] {
        double sum = 0.0;
        for (size_t c = 0; c < 64; ++c) sum += power(dense, field, c);
        return sum;
    };
    const double oblique[3] = {0.5, -0.3, 0.8};
    const double len = std::sqrt(0.25 + 0.09 + 0.64);
    TransportStats s = trace_sun(dense, oblique, 100000, 12, scratch, field);
    const double shadow = 16.0 * (0.5 + 0.3 + 0.8) / len;
    EXPECT_NEAR(scattered(), 0.01 * shadow, 0.02 * 0.01 * shadow);
    EXPECT_NEAR(s.escaped + s.absorbed, 1.0, 0.01);  // roulette conserves on average
    trace_sky(dense, 100000, 13, scratch, field);
    EXPECT_NEAR(scattered(), 0.01 * 3.0 * kPiD * 16.0, 0.02 * 0.01 * 3.0 * kPiD * 16.0);

    // A white cube of optical depth 16 under a sun low in the +x sky: everything that enters leaves,
    // and the half towards the sun scatters several times the light of the far half.
    const TransportMedium white = cube(8, 2.0, 1.0, 0.5);
    const double low[3] = {1.0, 0.2, 0.15};
    s = trace_sun(white, low, 20000, 14, scratch, field);
    EXPECT_NEAR(s.escaped, 1.0, 1e-9);
    EXPECT_EQ(s.absorbed, 0.0);
    double near = 0.0, far = 0.0;
    for (size_t c = 0; c < 512; ++c) (c % 8 >= 4 ? near : far) += power(white, field, c);
    EXPECT_GT(near, 3.0 * far);
}
