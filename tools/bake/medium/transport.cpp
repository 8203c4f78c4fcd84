// transport.cpp -- light of a point source in the coarse cloud: all scattering orders by Monte Carlo, or
// the first order exactly
#include "tools/bake/medium/transport.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kFourPi = 12.566370614359172;
constexpr double kTwoPiExact = 6.283185307179586;
constexpr double kInf = std::numeric_limits<double>::infinity();
// Exact single scattering: cells whose centre lies within kNearCells cells of the source are integrated
// by kNearRays rays from it; the others by at most kMaxSub sub-samples per axis, each sub-cell at most
// kMaxSubDepth thick optically.
constexpr double kNearCells = 3.0;
constexpr int kNearRays = 65536;
constexpr int kMaxSub = 6;
constexpr double kMaxSubDepth = 0.4;

// xoshiro256** seeded through splitmix64: fast, 2^256 period, and streams from nearby seeds are
// independent after the splitmix scrambling.
struct Rng {
    uint64_t s[4];
    explicit Rng(uint64_t seed) {
        for (uint64_t& v : s) {
            seed += 0x9E3779B97F4A7C15ull;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            v = z ^ (z >> 31);
        }
    }
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t next() {
        const uint64_t result = rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }
    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

struct Dir {
    double x, y, z;
};

Dir isotropic(Rng& rng) {
    const double z = 1.0 - 2.0 * rng.uniform();
    const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
    const double phi = kTwoPiExact * rng.uniform();
    return {r * std::cos(phi), r * std::sin(phi), z};
}

// Walks the medium's occupied box along unit direction w; visit(cell, t0, t1, sigma_t).
template <class Visit>
bool walk_cells(const TransportMedium& m, const double p[3], const Dir& w, double t_max, Visit&& visit) {
    const double wv[3] = {w.x, w.y, w.z};
    return walk_grid(m.box, p, wv, t_max, [&](int32_t cell, double t0, double t1) {
        return visit(cell, t0, t1, m.sigma_t[static_cast<size_t>(cell)]);
    });
}

// Where a walk is: its point, and the coarse cell holding it while it is inside the occupied box
// (cell[0] < 0 when that is not known, as at emission).
struct Place {
    double p[3];
    int32_t cell[3];
};

// The cell coordinates where a line from p along unit w enters the box, and the distance there;
// false when it misses the box.
bool enter_box(const WalkBox& b, const double p[3], const double w[3], double& t_enter, int32_t c[3]) {
    double t_leave = 0.0;
    return enter_walk_box(b, p, w, kInf, t_enter, t_leave, c);
}

// Free flight: from the walk's place along unit w until the optical depth tau is reached. Returns true
// with the distance in t_hit and the place's cell moved to the cell of the collision, or false when
// the path leaves the cloud first. The cell walk is walk_grid's, kept here with the walk's own cell
// so that a flight starting inside the box (all but the first of a path) needs no clipping, and with
// the steps' signs chosen without branches: the direction after a scattering is random, and a
// mispredicted branch costs more than the arithmetic.
bool fly(const TransportMedium& m, Place& at, const Dir& w, double tau, double& t_hit) {
    const WalkBox& b = m.box;
    const double wv[3] = {w.x, w.y, w.z};
    int32_t* const c = at.cell;
    double t = 0.0;
    if (c[0] < 0 && !enter_box(b, at.p, wv, t, c)) return false;
    const int32_t stride[3] = {1, b.nx, b.nx * b.ny};
    double t_next[3], t_delta[3];
    int32_t step[3], index_step[3];
    for (int k = 0; k < 3; ++k) {
        const bool up = wv[k] > 0.0;
        step[k] = up ? 1 : -1;
        index_step[k] = up ? stride[k] : -stride[k];
        // A zero component never crosses a face on its axis.
        const double inv = wv[k] != 0.0 ? 1.0 / wv[k] : kInf;
        const double face = (c[k] + (up ? 1 : 0)) * b.cell;
        t_next[k] = wv[k] != 0.0 ? std::max(t, (face - at.p[k]) * inv) : kInf;
        t_delta[k] = std::fabs(b.cell * inv);
    }
    int32_t index = c[0] * stride[0] + c[1] * stride[1] + c[2] * stride[2];
    const double* const sigma_t = m.sigma_t.data();
    double left = tau;
    for (;;) {
        int k = t_next[0] < t_next[1] ? 0 : 1;
        k = t_next[2] < t_next[k] ? 2 : k;
        const double end = t_next[k];
        const double sigma = sigma_t[index];
        const double d_tau = sigma * (end - t);
        if (d_tau >= left && sigma > 0.0) {
            t_hit = t + left / sigma;
            return true;
        }
        left -= d_tau;
        t = end;
        c[k] += step[k];
        if (c[k] < b.lo[k] || c[k] >= b.hi[k]) return false;
        index += index_step[k];
        t_next[k] += t_delta[k];
    }
}

}  // namespace

void TransportStats::add(const TransportStats& o) {
    paths += o.paths;
    collisions += o.collisions;
    stopped += o.stopped;
    escaped += o.escaped;
    absorbed += o.absorbed;
    escaped_direct += o.escaped_direct;
}

TransportMedium make_transport_medium(const CoarseCloud& cloud, double albedo, double g) {
    TransportMedium m;
    m.nx = cloud.nx;
    m.ny = cloud.ny;
    m.nz = cloud.nz;
    m.cell = cloud.cell;
    m.albedo = albedo;
    m.g = g;
    m.phase = &phase_scores(g);
    m.sigma_t.resize(cloud.density.size());
    int32_t lo[3] = {m.nx, m.ny, m.nz}, hi[3] = {0, 0, 0};
    for (int32_t z = 0; z < m.nz; ++z) {
        for (int32_t y = 0; y < m.ny; ++y) {
            for (int32_t x = 0; x < m.nx; ++x) {
                const size_t i = static_cast<size_t>(x + m.nx * (y + m.ny * z));
                const double s = std::max(0.0, cloud.extinction * cloud.density[i]);
                m.sigma_t[i] = s;
                if (s <= 0.0) continue;
                const int32_t c[3] = {x, y, z};
                for (int k = 0; k < 3; ++k) {
                    lo[k] = std::min(lo[k], c[k]);
                    hi[k] = std::max(hi[k], c[k] + 1);
                }
            }
        }
    }
    if (hi[0] == 0) lo[0] = lo[1] = lo[2] = 0;  // an empty medium: an empty box
    m.box.cell = m.cell;
    m.box.nx = m.nx;
    m.box.ny = m.ny;
    for (int k = 0; k < 3; ++k) {
        m.box.lo[k] = lo[k];
        m.box.hi[k] = hi[k];
    }
    return m;
}

double optical_depth(const TransportMedium& medium, const Point3& a, const Point3& b) {
    const double v[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (len <= 0.0) return 0.0;
    const double p[3] = {a[0], a[1], a[2]};
    double depth = 0.0;
    walk_cells(medium, p, Dir{v[0] / len, v[1] / len, v[2] / len}, len,
               [&](int32_t, double t0, double t1, double sigma) {
                   depth += sigma * (t1 - t0);
                   return true;
               });
    return depth;
}

uint64_t cell_stream(uint64_t seed, int64_t cell) {
    uint64_t z = seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(cell) * 0xD1B54A32D192ED03ull + 1u;
    z = (z ^ (z >> 33)) * 0xFF51AFD7ED558CCDull;
    z = (z ^ (z >> 33)) * 0xC4CEB9FE1A85EC53ull;
    return z ^ (z >> 33);
}

namespace {

// `paths` random walks, each started by emit(rng, path, p, w) at point p travelling along w with the
// weight it returns; score(cell, weight, direction) is called at every real collision with the weight
// arriving there. Statistics per unit of emitted weight.
template <class Emit, class Score>
TransportStats random_walks(const TransportMedium& m, int64_t paths, uint64_t stream, Emit&& emit,
                            Score&& score) {
    TransportStats stats;
    Rng rng(stream);
    double emitted = 0.0;
    for (int64_t path = 0; path < paths; ++path) {
        Place at;
        Dir w;
        const double start = emit(rng, path, at.p, w);
        at.cell[0] = -1;
        double weight = start;
        emitted += start;
        int64_t n = 0;
        for (;;) {
            double t_hit = 0.0;
            const double tau = -std::log(1.0 - rng.uniform());
            if (!fly(m, at, w, tau, t_hit)) {
                stats.escaped += weight;
                if (n == 0) stats.escaped_direct += weight;
                break;
            }
            at.p[0] += w.x * t_hit;
            at.p[1] += w.y * t_hit;
            at.p[2] += w.z * t_hit;
            ++n;
            score(at.cell[0] + m.nx * (at.cell[1] + m.ny * at.cell[2]), weight, w);
            stats.absorbed += weight * (1.0 - m.albedo);
            weight *= m.albedo;
            if (weight < kRouletteWeight * start) {
                if (rng.uniform() < 0.5) {
                    weight *= 2.0;
                } else {
                    stats.absorbed += weight;
                    break;
                }
            }
            if (n >= kMaxCollisionsPerPath) {
                stats.stopped += 1;
                stats.absorbed += weight;
                break;
            }
            const double before[3] = {w.x, w.y, w.z};
            const double u1 = rng.uniform(), u2 = rng.uniform();
            double after[3];
            sample_henyey_greenstein(before, m.g, u1, u2, after);
            w = Dir{after[0], after[1], after[2]};
        }
        stats.collisions += n;
    }
    stats.paths = paths;
    if (emitted > 0.0) {
        stats.escaped /= emitted;
        stats.absorbed /= emitted;
        stats.escaped_direct /= emitted;
    }
    return stats;
}

// Starts walks from a source box: a point drawn evenly over the box, a direction drawn over the
// sphere. The first flights are stratified over the sphere, strata x strata cells of equal solid angle
// in (cos theta, phi), one walk each: how much of the source's light reaches the cloud at all is then
// nearly exact, where independent directions make it binomial (5 % noise at 1024 walks for a source
// under the base). The walks past the last whole square of strata go anywhere.
auto box_emitter(const SourceBox& source, int64_t paths) {
    const int64_t strata = static_cast<int64_t>(std::sqrt(static_cast<double>(paths)));
    return [source, strata](Rng& rng, int64_t path, double p[3], Dir& w) {
        for (int k = 0; k < 3; ++k) {
            p[k] = source.lo[k];
            // Only the axes the box spans draw a number, so a point source keeps its walks.
            const double extent = source.hi[k] - source.lo[k];
            if (extent > 0.0) p[k] += extent * rng.uniform();
        }
        if (path < strata * strata) {
            const double z = 1.0 - 2.0 * (static_cast<double>(path / strata) + rng.uniform()) / strata;
            const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
            const double phi = kTwoPiExact * (static_cast<double>(path % strata) + rng.uniform()) / strata;
            w = Dir{r * std::cos(phi), r * std::sin(phi), z};
        } else {
            w = isotropic(rng);
        }
        return 1.0;
    };
}

// Entry of a parallel beam travelling along unit w into the medium's occupied box: a point drawn
// evenly over the rectangle, perpendicular to w, that covers the box's shadow, placed outside the box
// on the side the light comes from. Returns the rectangle's area (0 for an empty box). Lines through
// the rectangle that miss the box leave at once, so the light is spread evenly over the shadow.
double beam_entry(const WalkBox& box, const Dir& w, double u1, double u2, double p[3]) {
    double lo[3], hi[3], centre[3];
    for (int k = 0; k < 3; ++k) {
        lo[k] = box.lo[k] * box.cell;
        hi[k] = box.hi[k] * box.cell;
        centre[k] = 0.5 * (lo[k] + hi[k]);
    }
    // Two unit axes across the beam.
    const double a[3] = {std::fabs(w.x) < 0.9 ? 1.0 : 0.0, std::fabs(w.x) < 0.9 ? 0.0 : 1.0, 0.0};
    double e1[3] = {a[1] * w.z - a[2] * w.y, a[2] * w.x - a[0] * w.z, a[0] * w.y - a[1] * w.x};
    const double n1 = std::sqrt(e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2]);
    for (double& v : e1) v /= n1;
    const double e2[3] = {w.y * e1[2] - w.z * e1[1], w.z * e1[0] - w.x * e1[2], w.x * e1[1] - w.y * e1[0]};
    // The box's half extents seen along e1 and e2, and its half diagonal.
    const double half[3] = {0.5 * (hi[0] - lo[0]), 0.5 * (hi[1] - lo[1]), 0.5 * (hi[2] - lo[2])};
    const double h1 = half[0] * std::fabs(e1[0]) + half[1] * std::fabs(e1[1]) + half[2] * std::fabs(e1[2]);
    const double h2 = half[0] * std::fabs(e2[0]) + half[1] * std::fabs(e2[1]) + half[2] * std::fabs(e2[2]);
    const double back = 1.0 + std::sqrt(half[0] * half[0] + half[1] * half[1] + half[2] * half[2]);
    const double s1 = (2.0 * u1 - 1.0) * h1, s2 = (2.0 * u2 - 1.0) * h2;
    const double wv[3] = {w.x, w.y, w.z};
    for (int k = 0; k < 3; ++k) p[k] = centre[k] + s1 * e1[k] + s2 * e2[k] - back * wv[k];
    return 4.0 * h1 * h2;
}

// The field of a run: the collision estimator's scores, normalised per walk and unit cell volume.
template <class Emit>
TransportStats scored_walks(const TransportMedium& m, int64_t paths, uint64_t stream, Emit&& emit,
                            TransportScratch& scratch, std::vector<double>& out) {
    const size_t cells = static_cast<size_t>(m.count());
    if (scratch.score.size() != cells * kScoreLanes) {
        scratch.score.assign(cells * kScoreLanes, 0.0f);
        scratch.touched.assign(cells, 0);
    }
    float* const score = scratch.score.data();
    uint8_t* const touched = scratch.touched.data();
    const PhaseScores& phase = *m.phase;
    const TransportStats stats =
        random_walks(m, paths, stream, emit, [&](int32_t cell, double weight, const Dir& w) {
            touched[cell] = 1;
            // Every direction at once: its footprint score for the arriving direction.
            add_phase_scores(phase, w.x, w.y, w.z, static_cast<float>(weight),
                             score + static_cast<size_t>(cell) * kScoreLanes);
        });
    // One pass in memory order over the grid: each run of unscored cells zeroed at once, the scored
    // cells normalised and their accumulators cleared for the next run (the padding lanes stay zero).
    const double norm = paths > 0 ? m.albedo / (static_cast<double>(paths) * m.cell * m.cell * m.cell) : 0.0;
    out.resize(cells * kDirCount);
    double* const values = out.data();
    size_t unscored = 0;  // first cell of the current run of unscored cells
    for (size_t c = 0; c < cells; ++c) {
        if (!touched[c]) continue;
        std::fill(values + unscored * kDirCount, values + c * kDirCount, 0.0);
        float* const lanes = score + c * kScoreLanes;
        double* const cell_values = values + c * kDirCount;
        for (int d = 0; d < kDirCount; ++d) {
            cell_values[d] = norm * lanes[d];
            lanes[d] = 0.0f;
        }
        touched[c] = 0;
        unscored = c + 1;
    }
    std::fill(values + unscored * kDirCount, values + cells * kDirCount, 0.0);
    return stats;
}

}  // namespace

TransportStats trace_multiple_scattering(const TransportMedium& m, const SourceBox& source, int64_t paths,
                                         uint64_t stream, TransportScratch& scratch,
                                         std::vector<double>& out) {
    return scored_walks(m, paths, stream, box_emitter(source, paths), scratch, out);
}

TransportStats trace_walks_only(const TransportMedium& medium, const SourceBox& source, int64_t paths,
                                uint64_t stream) {
    return random_walks(medium, paths, stream, box_emitter(source, paths),
                        [](int32_t, double, const Dir&) {});
}

TransportStats trace_sun(const TransportMedium& m, const double towards_sun[3], int64_t paths,
                         uint64_t stream, TransportScratch& scratch, std::vector<double>& out) {
    const double len = std::sqrt(towards_sun[0] * towards_sun[0] + towards_sun[1] * towards_sun[1] +
                                 towards_sun[2] * towards_sun[2]);
    const Dir w{-towards_sun[0] / len, -towards_sun[1] / len, -towards_sun[2] / len};
    return scored_walks(
        m, paths, stream,
        [&](Rng& rng, int64_t, double p[3], Dir& dir) {
            dir = w;
            const double u1 = rng.uniform(), u2 = rng.uniform();
            return beam_entry(m.box, w, u1, u2, p);
        },
        scratch, out);
}

TransportStats trace_sky(const TransportMedium& m, int64_t paths, uint64_t stream, TransportScratch& scratch,
                         std::vector<double>& out) {
    // Directions stratified over the hemisphere as the point source's are over the sphere.
    const int64_t strata = static_cast<int64_t>(std::sqrt(static_cast<double>(paths)));
    return scored_walks(
        m, paths, stream,
        [&](Rng& rng, int64_t path, double p[3], Dir& w) {
            double u = rng.uniform(), v = rng.uniform();
            if (path < strata * strata) {
                u = (static_cast<double>(path / strata) + u) / strata;
                v = (static_cast<double>(path % strata) + v) / strata;
            }
            // Travelling downwards: cos theta = -w.z even in [0, 1), so each direction has solid angle
            // 2 pi / paths.
            const double z = -u;
            const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
            const double phi = kTwoPiExact * v;
            w = Dir{r * std::cos(phi), r * std::sin(phi), z};
            const double u1 = rng.uniform(), u2 = rng.uniform();
            return kTwoPiExact * beam_entry(m.box, w, u1, u2, p);
        },
        scratch, out);
}

namespace {

// The footprint scores of every direction for light travelling along unit v, in double.
void scores_towards(const PhaseScores& phase, double vx, double vy, double vz, double out[kDirCount]) {
    alignas(64) float lanes[kScoreLanes] = {};
    add_phase_scores(phase, vx, vy, vz, 1.0f, lanes);
    for (int d = 0; d < kDirCount; ++d) out[d] = lanes[d];
}

// Adds `share` times the single scattering of a point source at `source` to out (cell-major).
void single_scattering_point(const TransportMedium& m, const Point3& source, double share,
                             std::vector<double>& out) {
    const size_t cells = static_cast<size_t>(m.count());
    const size_t nd = static_cast<size_t>(kDirCount);
    const double h = m.cell, volume = h * h * h;
    const PhaseScores& phase = *m.phase;
    auto distance = [&](size_t c) {
        const double x = (static_cast<double>(c % m.nx) + 0.5) * h - source[0];
        const double y = (static_cast<double>((c / m.nx) % m.ny) + 0.5) * h - source[1];
        const double z = (static_cast<double>(c / (static_cast<size_t>(m.nx) * m.ny)) + 0.5) * h - source[2];
        return std::sqrt(x * x + y * y + z * z);
    };
    const double near = kNearCells * h;

    // Cells next to the source: the 1/r^2 singularity and the steep shadow defeat any rule over points.
    // Rays from the source instead: along a ray the light that first collides in a segment is exactly
    // e^-tau_in - e^-tau_out, so the cells' share comes out exact in distance, and a dense, even set
    // of ray directions integrates over angle.
    const double ray_share = share * m.albedo / (kNearRays * volume);
    const double golden = kTwoPiExact * (1.0 - 1.0 / 1.6180339887498949);
    double score[kDirCount];
    for (int i = 0; i < kNearRays; ++i) {
        const double z = 1.0 - (2.0 * i + 1.0) / kNearRays;
        const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
        const Dir w{r * std::cos(golden * i), r * std::sin(golden * i), z};
        scores_towards(phase, w.x, w.y, w.z, score);
        const double p[3] = {source[0], source[1], source[2]};
        double depth = 0.0;
        walk_cells(m, p, w, 2.0 * near, [&](int32_t cell, double t0, double t1, double sigma) {
            const double next = depth + sigma * (t1 - t0);
            const size_t c = static_cast<size_t>(cell);
            if (sigma > 0.0 && distance(c) < near) {
                const double collided = ray_share * (std::exp(-depth) - std::exp(-next));
                for (size_t d = 0; d < nd; ++d) out[c * nd + d] += collided * score[d];
            }
            depth = next;
            return true;
        });
    }

    // Every other cell: the cell average of sigma_s p T / (4 pi r^2) by an n^3 midpoint rule, n chosen
    // so that each sub-cell is optically thin (the shadow changes little across it) and subtends less
    // than the forward peak of the phase function as seen from the source.
    const double width = 0.5 * (1.0 - std::fabs(m.g)) + 0.05;
    std::vector<double> sum(nd);
    for (size_t c = 0; c < cells; ++c) {
        const double sigma_s = m.albedo * m.sigma_t[c];
        const double dc = distance(c);
        if (sigma_s <= 0.0 || dc < near) continue;
        const int32_t x = static_cast<int32_t>(c % m.nx), y = static_cast<int32_t>((c / m.nx) % m.ny),
                      z = static_cast<int32_t>(c / (static_cast<size_t>(m.nx) * m.ny));
        const int n_depth = static_cast<int>(std::ceil(m.sigma_t[c] * h / kMaxSubDepth));
        const int n_angle = static_cast<int>(std::ceil(h / dc / width));
        const int n = std::clamp(std::max(n_depth, n_angle), 1, kMaxSub);
        std::fill(sum.begin(), sum.end(), 0.0);
        for (int a = 0; a < n; ++a) {
            for (int b = 0; b < n; ++b) {
                for (int e = 0; e < n; ++e) {
                    const Point3 q{(x + (a + 0.5) / n) * h, (y + (b + 0.5) / n) * h, (z + (e + 0.5) / n) * h};
                    const double v[3] = {q[0] - source[0], q[1] - source[1], q[2] - source[2]};
                    const double r2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
                    const double r = std::sqrt(r2);
                    const double reach = sigma_s * std::exp(-optical_depth(m, source, q)) / (kFourPi * r2);
                    scores_towards(phase, v[0] / r, v[1] / r, v[2] / r, score);
                    for (size_t d = 0; d < nd; ++d) sum[d] += reach * score[d];
                }
            }
        }
        const double inv = share / (n * n * n);
        for (size_t d = 0; d < nd; ++d) out[c * nd + d] += sum[d] * inv;
    }
}

}  // namespace

void single_scattering(const TransportMedium& m, const SourceBox& source, std::vector<double>& out) {
    out.assign(static_cast<size_t>(m.count()) * kDirCount, 0.0);
    // The midpoints of kSourcePointsPerAxis equal parts of every axis the box spans.
    int n[3];
    for (int k = 0; k < 3; ++k) n[k] = source.hi[k] > source.lo[k] ? kSourcePointsPerAxis : 1;
    const double share = 1.0 / (n[0] * n[1] * n[2]);
    for (int a = 0; a < n[0]; ++a) {
        for (int b = 0; b < n[1]; ++b) {
            for (int c = 0; c < n[2]; ++c) {
                const int idx[3] = {a, b, c};
                Point3 p;
                for (int k = 0; k < 3; ++k)
                    p[k] = source.lo[k] + (source.hi[k] - source.lo[k]) * (idx[k] + 0.5) / n[k];
                single_scattering_point(m, p, share, out);
            }
        }
    }
}
