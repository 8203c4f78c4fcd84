// transport.h -- light of a point source in the coarse cloud: all scattering orders by Monte Carlo, or
// the first order exactly
//
// The quantity computed for every coarse cell c and sampling direction d is
//   eta(c, d) = (1 / V_c) * integral over c of sigma_s(x) * integral of p(w' . w_d) L(x, w') dw' dx,
// the radiance scattered towards w_d per unit length, averaged over the cell, where L is the steady
// radiance of an isotropic point source of unit power. The medium is the coarse grid with
// sigma_t = extinction * density (piecewise constant per cell), sigma_s = albedo * sigma_t, a
// Henyey-Greenstein phase function of asymmetry g, and vacuum outside the grid (no ground).
//
// The source is a point, or spread evenly over a box (where a lightning channel can be inside a
// lightning cell): each walk starts at its own point of the box. The same walks also start from
// outside: parallel light of the sun, and an even sky, entering the cloud's box from above.
//
// Multiple scattering: analogue light tracing with exact free-path sampling through the piecewise-constant
// cells (no null collisions), implicit capture (the weight keeps albedo^n after n collisions) and Russian
// roulette below a weight of kRouletteWeight. Every real collision in cell c with incoming direction w'
// scores w * albedo * score_d(w') / (N V_c) into all directions d at once, score_d the phase function
// averaged over d's footprint in the viewer's blending (phase.h): the collision estimator of eta as
// the viewer reconstructs it, unbiased for every order including the first. Single scattering: eta of the
// unscattered light only, sigma_s(c) p T(s -> x) / (4 pi r^2), averaged over the cell by sub-samples near the
// source.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/bake/medium/coarse_cloud.h"
#include "tools/bake/medium/grid_walk.h"
#include "tools/bake/medium/phase.h"

// Below this share of its starting weight a path plays Russian roulette (survives with probability 1/2 at
// twice the weight).
constexpr double kRouletteWeight = 0.05;
// A path still going after this many collisions is stopped and counted: only optical depths of many
// thousands get there, and without a bound such a scene would never finish.
constexpr int64_t kMaxCollisionsPerPath = 1000000;

// The medium the light travels through: per-cell extinction coefficients and optics.
struct TransportMedium {
    int32_t nx = 0, ny = 0, nz = 0;
    double cell = 0.0;            // coarse cell edge in world units
    std::vector<double> sigma_t;  // extinction per world unit, per coarse cell (x fastest)
    double albedo = 1.0;
    double g = 0.0;  // Henyey-Greenstein asymmetry, |g| < 1
    const PhaseScores* phase = nullptr;
    // Smallest box of cells holding every cell with sigma_t > 0: a path that leaves it never meets the
    // cloud again, since a straight line leaves a box once.
    WalkBox box;
    int32_t count() const { return nx * ny * nz; }
};

// The medium of a coarse cloud with the given albedo and asymmetry.
TransportMedium make_transport_medium(const CoarseCloud& cloud, double albedo, double g);

// Where the source's power is emitted: evenly over the box lo ... hi (cloud-local), a point when
// they are equal.
struct SourceBox {
    Point3 lo{}, hi{};
};
// A point source at p.
inline SourceBox at_point(const Point3& p) { return SourceBox{p, p}; }

// What a Monte Carlo run did, for conservation checks and the bake's summary.
struct TransportStats {
    int64_t paths = 0;
    int64_t collisions = 0;       // real scattering events
    int64_t stopped = 0;          // paths cut at kMaxCollisionsPerPath
    double escaped = 0.0;         // weight that left the grid, per unit emitted
    double absorbed = 0.0;        // weight lost to absorption and roulette, per unit emitted
    double escaped_direct = 0.0;  // weight that left without any collision, per unit emitted
    void add(const TransportStats& o);
};

// Reusable per-thread scratch: the score accumulator (cells x kScoreLanes floats) and which cells a
// run scored into. Between runs both are all zero, so a run clears only the cells it touched rather
// than the whole accumulator.
struct TransportScratch {
    std::vector<float> score;
    std::vector<uint8_t> touched;  // per cell, 1 once a run has scored into it
};

// eta for a unit source by `paths` random walks from the generator seeded with `stream`; out holds
// M * kDirCount values, cell-major (out[c * kDirCount + d]). Deterministic for a given stream.
// Returns the run's statistics (fractions per unit emitted).
TransportStats trace_multiple_scattering(const TransportMedium& medium, const SourceBox& source,
                                         int64_t paths, uint64_t stream, TransportScratch& scratch,
                                         std::vector<double>& out);

// eta per unit irradiance of the sun: parallel light travelling against towards_sun (need not be unit),
// entering the occupied box evenly over its shadow, scored as above. Deterministic for a given stream.
TransportStats trace_sun(const TransportMedium& medium, const double towards_sun[3], int64_t paths,
                         uint64_t stream, TransportScratch& scratch, std::vector<double>& out);

// eta per unit radiance of an even sky over the upper hemisphere (light arriving from every direction
// with z > 0, none from below the horizon): directions evenly over the hemisphere's solid angle,
// stratified, each a parallel beam over the box's shadow as for the sun.
TransportStats trace_sky(const TransportMedium& medium, int64_t paths, uint64_t stream,
                         TransportScratch& scratch, std::vector<double>& out);

// The same random walks without scoring: their statistics only (a cheap estimate of a cell's work).
TransportStats trace_walks_only(const TransportMedium& medium, const SourceBox& source, int64_t paths,
                                uint64_t stream);

// eta of the first scattering order only, deterministic, same layout as above; a box source is the
// mean of kSourcePointsPerAxis points along each axis it spans.
constexpr int kSourcePointsPerAxis = 2;
void single_scattering(const TransportMedium& medium, const SourceBox& source, std::vector<double>& out);

// Optical depth along the straight segment a -> b through the medium.
double optical_depth(const TransportMedium& medium, const Point3& a, const Point3& b);

// The generator stream of one lightning cell: a hash of the seed and the cell index, so a cell gives the
// same walks whether it is baked alone or among others.
uint64_t cell_stream(uint64_t seed, int64_t cell);
