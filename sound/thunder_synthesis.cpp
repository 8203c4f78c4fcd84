// thunder_synthesis.cpp -- thunder made from a channel's geometry: N-waves per segment, delayed, spread,
// absorbed
#include "sound/thunder_synthesis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

namespace {

using Complex = std::complex<double>;

constexpr double kPi = 3.14159265358979323846;
constexpr double kSeaLevelPressure = 1.013e5;  // Pa, p0 of the relaxation radius
// N-wave length near the channel, in relaxation radii travelled at the speed of sound.
constexpr double kNwaveRadii = 2.6;
// Growth of the N-wave length with the logarithm of distance: weak steepening, a fifth longer
// at 10 km than near the channel.
constexpr double kNwaveLengthening = 0.05;
// Amplitude falls as 1/r only beyond the first metres; nearer, the shock is still forming.
constexpr double kNearestMetres = 5.0;
// Each element's arrival is resolved to a fraction of a sample: a segment gets at least two
// elements per sample that its sound spreads over, and never fewer than four.
constexpr double kElementsPerSample = 2.0;
constexpr int64_t kMinElements = 4;
constexpr int64_t kMaxElementsPerSegment = 1 << 18;
// Kernels (the N-wave after the air's absorption) are this long; 128 ms covers the longest
// N-wave and the ringing of the absorption of 20 km of air.
constexpr int32_t kKernelSamples = 2048;
// Frequency grid on which the absorption's minimum-phase response is made.
constexpr int32_t kKernelFft = 8192;
// Below this the log magnitude of the absorption is held: -40 nepers is -350 dB.
constexpr double kLowestLogMagnitude = -40.0;
// Absorption changes little over this distance; the channel's distances are covered by bands
// this far apart, each element shared between its two nearest bands.
constexpr double kBandMetres = 150.0;
constexpr int32_t kMaxBands = 64;
// Tortuous pieces turn by this much on average.
constexpr double kMeanTurnRadians = 16.0 * kPi / 180.0;
// How much of its lean a piece passes on to the next: the channel wanders some 25 degrees off
// its segment's line while turning 16 degrees a piece.
constexpr double kPieceMemory = 0.8;
// Shortest and longest piece, in mean piece lengths.
constexpr double kShortestPiece = 0.2;
constexpr double kLongestPiece = 2.8;
// A channel is broken into at most this many pieces; segments beyond stay whole. (The demo's
// channels make a few hundred.)
constexpr size_t kMaxPieces = 100000;
// Arrivals later than this after the strike are not synthesised at all.
constexpr double kMaxDelaySeconds = 600.0;

struct Dvec {
    double x = 0.0, y = 0.0, z = 0.0;
};
Dvec dv(Vec3 v) { return Dvec{v.x, v.y, v.z}; }
Dvec dsub(Dvec a, Dvec b) { return Dvec{a.x - b.x, a.y - b.y, a.z - b.z}; }
Dvec dadd(Dvec a, Dvec b) { return Dvec{a.x + b.x, a.y + b.y, a.z + b.z}; }
Dvec dscale(Dvec a, double s) { return Dvec{a.x * s, a.y * s, a.z * s}; }
double ddot(Dvec a, Dvec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double dlen(Dvec a) { return std::sqrt(ddot(a, a)); }

// In-place radix-2 transform; n must be a power of two. The inverse divides by n.
void fft(std::vector<Complex>& a, bool inverse) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    std::vector<Complex> twiddle(n / 2);
    const double sign = inverse ? 1.0 : -1.0;
    for (size_t k = 0; k < n / 2; ++k)
        twiddle[k] = std::polar(1.0, sign * 2.0 * kPi * static_cast<double>(k) / static_cast<double>(n));
    for (size_t len = 2; len <= n; len <<= 1) {
        const size_t half = len / 2, step = n / len;
        for (size_t i = 0; i < n; i += len) {
            for (size_t j = 0; j < half; ++j) {
                const Complex u = a[i + j], v = a[i + j + half] * twiddle[j * step];
                a[i + j] = u + v;
                a[i + j + half] = u - v;
            }
        }
    }
    if (inverse)
        for (Complex& x : a) x /= static_cast<double>(n);
}

size_t power_of_two_at_least(size_t n) {
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

// Distance from p to the nearest point of segment a-b.
double segment_distance(Dvec a, Dvec b, Dvec p) {
    const Dvec d = dsub(b, a);
    const double l2 = ddot(d, d);
    double t = l2 > 0.0 ? ddot(dsub(p, a), d) / l2 : 0.0;
    t = std::min(std::max(t, 0.0), 1.0);
    return dlen(dsub(dadd(a, dscale(d, t)), p));
}

// Visits every element of every segment: f(distance, weight), weight = strength x length / r.
template <typename F>
void for_each_element(const std::vector<ThunderSegment>& segments, Dvec listener, double samples_per_metre,
                      F&& f) {
    for (const ThunderSegment& s : segments) {
        const Dvec a = dv(s.a), b = dv(s.b), d = dsub(b, a);
        const double length = dlen(d);
        if (!(length > 0.0) || !(s.strength != 0.0f) || !std::isfinite(length)) continue;
        const double r0 = dlen(dsub(a, listener)), r1 = dlen(dsub(b, listener));
        const double rm = segment_distance(a, b, listener);
        const double spread = (r0 - rm + r1 - rm) * samples_per_metre;
        const int64_t n =
            std::min(std::max(static_cast<int64_t>(std::ceil(kElementsPerSample * spread)) + kMinElements,
                              kMinElements),
                     kMaxElementsPerSegment);
        const double dl = length / static_cast<double>(n);
        const double w = static_cast<double>(s.strength) * dl;
        for (int64_t i = 0; i < n; ++i) {
            const double t = (static_cast<double>(i) + 0.5) / static_cast<double>(n);
            const double r = dlen(dsub(dadd(a, dscale(d, t)), listener));
            f(r, w / std::max(r, kNearestMetres));
        }
    }
}

// The N-wave of `seconds`, sampled: a jump to +1, a straight fall to -1, a jump back to 0.
std::vector<double> nwave(double seconds) {
    const int32_t n = std::max(2, static_cast<int32_t>(std::lround(seconds * kThunderRate)));
    std::vector<double> w(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) w[static_cast<size_t>(i)] = 1.0 - 2.0 * (i + 0.5) / n;
    return w;
}

// What one element's N-wave sounds like `distance` metres away: the N-wave passed through the
// causal (minimum-phase) filter whose magnitude is the air's absorption over that distance.
std::vector<double> band_kernel(double distance, const ThunderParams& p) {
    const std::vector<double> shock = nwave(nwave_seconds(distance, p));
    std::vector<double> kernel(static_cast<size_t>(kKernelSamples), 0.0);
    if (!p.absorption) {
        std::copy_n(shock.begin(), std::min(shock.size(), kernel.size()), kernel.begin());
        return kernel;
    }
    const size_t m = kKernelFft;
    // Log magnitude, then the cepstrum folded onto positive quefrencies: its transform is the log
    // of the minimum-phase response with that magnitude.
    std::vector<Complex> c(m);
    for (size_t k = 0; k <= m / 2; ++k) {
        const double f = static_cast<double>(k) * kThunderRate / static_cast<double>(m);
        const double nepers = air_absorption_db_per_metre(f, p.air) * distance / 8.685889638;
        c[k] = Complex(std::max(-nepers, kLowestLogMagnitude), 0.0);
        if (k > 0 && k < m / 2) c[m - k] = c[k];
    }
    fft(c, true);
    for (size_t n = 1; n < m / 2; ++n) c[n] *= 2.0;
    for (size_t n = m / 2 + 1; n < m; ++n) c[n] = 0.0;
    fft(c, false);
    std::vector<Complex> s(m);
    for (size_t i = 0; i < shock.size() && i < m; ++i) s[i] = shock[i];
    fft(s, false);
    for (size_t k = 0; k < m; ++k) s[k] *= std::exp(c[k]);
    fft(s, true);
    for (size_t i = 0; i < kernel.size(); ++i) kernel[i] = s[i].real();
    return kernel;
}

// Distances the bands stand at, evenly from nearest to farthest.
std::vector<double> band_distances(double nearest, double farthest) {
    const int32_t count = std::min(
        kMaxBands, std::max(1, static_cast<int32_t>(std::ceil((farthest - nearest) / kBandMetres)) + 1));
    std::vector<double> r(static_cast<size_t>(count), nearest);
    for (int32_t b = 1; b < count; ++b)
        r[static_cast<size_t>(b)] = nearest + (farthest - nearest) * b / (count - 1);
    return r;
}

// A small generator for the tortuous pieces, seeded from the channel itself.
struct PieceRandom {
    uint64_t s;
    double uniform() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return (static_cast<double>(s >> 11) + 0.5) * (1.0 / 9007199254740992.0);
    }
    double normal() { return std::sqrt(-2.0 * std::log(uniform())) * std::cos(2.0 * kPi * uniform()); }
};

uint64_t mix_bits(uint64_t h, float v) {
    uint32_t bits = 0;
    static_assert(sizeof bits == sizeof v, "float is 32 bits");
    std::copy_n(reinterpret_cast<const unsigned char*>(&v), sizeof v,
                reinterpret_cast<unsigned char*>(&bits));
    h ^= bits + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    return h * 0xBF58476D1CE4E5B9ull;
}

}  // namespace

double air_absorption_db_per_metre(double frequency, const AirConditions& air) {
    const double t = air.temperature_c + 273.15;
    const double t_ref = 293.15, t_triple = 273.16;
    const double pressure = air.pressure_kpa / 101.325;
    // Molar concentration of water vapour from the relative humidity and the saturation pressure.
    const double saturation = std::pow(10.0, -6.8346 * std::pow(t_triple / t, 1.261) + 4.6151);
    const double h = air.humidity_percent * saturation / pressure;
    const double tr = t / t_ref;
    // Relaxation frequencies of oxygen and nitrogen.
    const double fr_o = pressure * (24.0 + 4.04e4 * h * (0.02 + h) / (0.391 + h));
    const double fr_n = pressure * std::pow(tr, -0.5) *
                        (9.0 + 280.0 * h * std::exp(-4.170 * (std::pow(tr, -1.0 / 3.0) - 1.0)));
    const double f2 = frequency * frequency;
    return 8.686 * f2 *
           (1.84e-11 / pressure * std::sqrt(tr) +
            std::pow(tr, -2.5) * (0.01275 * std::exp(-2239.1 / t) / (fr_o + f2 / fr_o) +
                                  0.1068 * std::exp(-3352.0 / t) / (fr_n + f2 / fr_n)));
}

double relaxation_radius(double energy_per_metre) {
    return std::sqrt(std::max(energy_per_metre, 0.0) / (kPi * kSeaLevelPressure));
}

double nwave_seconds(double distance, const ThunderParams& params) {
    const double r0 = std::max(relaxation_radius(params.energy_per_metre), 1e-3);
    const double near = kNwaveRadii * r0 / params.speed_of_sound;
    return near * std::sqrt(1.0 + kNwaveLengthening * std::log(std::max(distance, r0) / r0));
}

std::vector<ThunderSegment> tortuous_channel(const std::vector<ThunderSegment>& segments,
                                             double piece_metres) {
    std::vector<ThunderSegment> out;
    // Each piece leans off the segment's line by a slope that wanders (per axis: spread
    // lean, correlation kPieceMemory from piece to piece), so that successive pieces turn
    // by kMeanTurnRadians on average while the channel keeps its course.
    const double turn_scale = std::sqrt(kPi * (1.0 - kPieceMemory));
    const double lean = std::tan(kMeanTurnRadians) / turn_scale;
    const double fresh = lean * std::sqrt(1.0 - kPieceMemory * kPieceMemory);
    for (const ThunderSegment& s : segments) {
        const Dvec a = dv(s.a), d = dsub(dv(s.b), a);
        const double length = dlen(d);
        uint64_t h = 0x243F6A8885A308D3ull;
        for (float v : {s.a.x, s.a.y, s.a.z, s.b.x, s.b.y, s.b.z}) h = mix_bits(h, v);
        PieceRandom random{h | 1u};
        // Piece lengths spread evenly in their logarithm between 0.2 and 2.8 times the mean length
        // asked (5 to 70 m for 25 m): short pieces give sharp pulses, long ones drawn-out rolls.
        std::vector<double> cut{0.0};
        while (piece_metres > 0.0 && std::isfinite(length) && cut.back() < length && cut.size() < 4096 &&
               out.size() + cut.size() < kMaxPieces)
            cut.push_back(cut.back() +
                          piece_metres * kShortestPiece *
                              std::exp(std::log(kLongestPiece / kShortestPiece) * random.uniform()));
        const int64_t n = static_cast<int64_t>(cut.size()) - 1;
        if (n <= 1) {
            out.push_back(s);
            continue;
        }
        // Two directions across the segment.
        const Dvec u = dscale(d, 1.0 / length);
        const Dvec helper = std::fabs(u.z) < 0.9 ? Dvec{0, 0, 1} : Dvec{1, 0, 0};
        Dvec e1{u.y * helper.z - u.z * helper.y, u.z * helper.x - u.x * helper.z,
                u.x * helper.y - u.y * helper.x};
        e1 = dscale(e1, 1.0 / dlen(e1));
        const Dvec e2{u.y * e1.z - u.z * e1.y, u.z * e1.x - u.x * e1.z, u.x * e1.y - u.y * e1.x};
        // The pieces' sideways steps, then pulled back so that the last one ends where the segment does.
        const double stretch = length / cut.back();
        double slope1 = lean * random.normal(), slope2 = lean * random.normal();
        std::vector<Dvec> offset(static_cast<size_t>(n) + 1);
        for (int64_t i = 1; i <= n; ++i) {
            const double piece = (cut[static_cast<size_t>(i)] - cut[static_cast<size_t>(i - 1)]) * stretch;
            offset[static_cast<size_t>(i)] =
                dadd(offset[static_cast<size_t>(i - 1)],
                     dadd(dscale(e1, piece * slope1), dscale(e2, piece * slope2)));
            slope1 = kPieceMemory * slope1 + fresh * random.normal();
            slope2 = kPieceMemory * slope2 + fresh * random.normal();
        }
        const Dvec end = offset[static_cast<size_t>(n)];
        Vec3 previous = s.a;
        for (int64_t i = 1; i <= n; ++i) {
            const double t = cut[static_cast<size_t>(i)] / cut.back();
            const Dvec p = dadd(dadd(a, dscale(d, t)), dsub(offset[static_cast<size_t>(i)], dscale(end, t)));
            const Vec3 next =
                i == n ? s.b
                       : Vec3{static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z)};
            out.push_back(ThunderSegment{previous, next, s.strength});
            previous = next;
        }
    }
    return out;
}

ThunderPlan plan_thunder(const std::vector<ThunderSegment>& segments, Vec3 listener,
                         const ThunderParams& params, const std::vector<ThunderStroke>& strokes) {
    ThunderPlan plan;
    const Dvec p = dv(listener);
    double nearest = std::numeric_limits<double>::infinity(), farthest = 0.0;
    for (const ThunderSegment& s : segments) {
        const Dvec a = dv(s.a), b = dv(s.b);
        if (!(dlen(dsub(b, a)) > 0.0) || !(s.strength != 0.0f)) continue;
        nearest = std::min(nearest, segment_distance(a, b, p));
        farthest = std::max(farthest, std::max(dlen(dsub(a, p)), dlen(dsub(b, p))));
    }
    if (!std::isfinite(nearest) || !std::isfinite(farthest) || strokes.empty()) return plan;
    plan.nearest_m = nearest;
    plan.farthest_m = farthest;
    double first_stroke = std::numeric_limits<double>::infinity(), last_stroke = -first_stroke;
    for (const ThunderStroke& k : strokes) {
        first_stroke = std::min(first_stroke, k.time);
        last_stroke = std::max(last_stroke, k.time);
    }
    const double c = params.speed_of_sound;
    const double first = nearest / c + first_stroke;
    if (!(c > 0.0) || !(first >= 0.0) || !(first < kMaxDelaySeconds)) return plan;
    const double last = farthest / c + last_stroke;
    plan.first_sample = static_cast<int64_t>(std::floor(first * kThunderRate));
    const int64_t span = static_cast<int64_t>(std::ceil(last * kThunderRate)) + 2 - plan.first_sample;
    const int64_t most = static_cast<int64_t>(std::max(params.max_seconds, 0.0) * kThunderRate);
    plan.sample_count = std::min(span + kKernelSamples, most);
    return plan;
}

SynthesisedThunder synthesise_thunder(const std::vector<ThunderSegment>& segments, Vec3 listener,
                                      const ThunderParams& params,
                                      const std::vector<ThunderStroke>& strokes) {
    SynthesisedThunder out;
    const ThunderPlan plan = plan_thunder(segments, listener, params, strokes);
    out.first_sample = plan.first_sample;
    if (plan.sample_count <= 0) return out;
    const std::vector<double> bands = band_distances(plan.nearest_m, plan.farthest_m);
    const size_t band_count = bands.size();
    const double band_step = band_count > 1 ? bands[1] - bands[0] : 0.0;
    const double c = params.speed_of_sound;
    const Dvec p = dv(listener);

    // Each band's arrivals are confined to the times its distances and the strokes allow.
    double first_stroke = std::numeric_limits<double>::infinity(), last_stroke = -first_stroke;
    for (const ThunderStroke& k : strokes) {
        first_stroke = std::min(first_stroke, k.time);
        last_stroke = std::max(last_stroke, k.time);
    }
    std::vector<int64_t> window_start(band_count), window_length(band_count);
    std::vector<std::vector<double>> impulses(band_count);
    for (size_t b = 0; b < band_count; ++b) {
        const double lo = bands[b > 0 ? b - 1 : 0], hi = bands[b + 1 < band_count ? b + 1 : b];
        // Arrivals past the end of the voice are dropped, so no window reaches beyond it.
        window_start[b] = std::min(
            static_cast<int64_t>(std::floor((lo / c + first_stroke) * kThunderRate)) - 1 - plan.first_sample,
            plan.sample_count);
        const int64_t end = std::min(
            static_cast<int64_t>(std::ceil((hi / c + last_stroke) * kThunderRate)) + 3 - plan.first_sample,
            plan.sample_count);
        window_length[b] = std::max<int64_t>(end - window_start[b], 1);
        impulses[b].assign(static_cast<size_t>(window_length[b]), 0.0);
    }
    auto deposit = [&](size_t b, double sample, double w) {
        const double local = sample - static_cast<double>(window_start[b]);
        const int64_t i = static_cast<int64_t>(std::floor(local));
        const double frac = local - static_cast<double>(i);
        std::vector<double>& x = impulses[b];
        if (i >= 0 && i < window_length[b]) x[static_cast<size_t>(i)] += w * (1.0 - frac);
        if (i + 1 >= 0 && i + 1 < window_length[b]) x[static_cast<size_t>(i + 1)] += w * frac;
    };
    for_each_element(segments, p, kThunderRate / c, [&](double r, double w) {
        double u = band_step > 0.0 ? (r - bands[0]) / band_step : 0.0;
        u = std::min(std::max(u, 0.0), static_cast<double>(band_count - 1));
        const size_t b0 = std::min(static_cast<size_t>(u), band_count - 1);
        const double frac = u - static_cast<double>(b0);
        for (const ThunderStroke& k : strokes) {
            const double sample = (r / c + k.time) * kThunderRate - static_cast<double>(plan.first_sample);
            const double wk = w * k.strength;
            deposit(b0, sample, wk * (1.0 - frac));
            if (b0 + 1 < band_count && frac > 0.0) deposit(b0 + 1, sample, wk * frac);
        }
    });

    // Per band: arrivals convolved with the band's kernel. Both are real, so one complex transform
    // carries the two (arrivals in the real part, kernel in the imaginary part).
    std::vector<double> sum(static_cast<size_t>(plan.sample_count), 0.0);
    for (size_t b = 0; b < band_count; ++b) {
        const std::vector<double> kernel = band_kernel(bands[b], params);
        const size_t m = power_of_two_at_least(static_cast<size_t>(window_length[b]) + kernel.size());
        std::vector<Complex> z(m);
        for (size_t i = 0; i < impulses[b].size(); ++i) z[i] = Complex(impulses[b][i], 0.0);
        for (size_t i = 0; i < kernel.size(); ++i) z[i] += Complex(0.0, kernel[i]);
        fft(z, false);
        std::vector<Complex> y(m);
        for (size_t k = 0; k < m; ++k) {
            const Complex zk = z[k], zm = std::conj(z[(m - k) % m]);
            const Complex x = 0.5 * (zk + zm), h = Complex(0.0, -0.5) * (zk - zm);
            y[k] = x * h;
        }
        fft(y, true);
        const size_t used = impulses[b].size() + kernel.size() - 1;
        for (size_t i = 0; i < used; ++i) {
            const int64_t at = window_start[b] + static_cast<int64_t>(i);
            if (at >= 0 && at < plan.sample_count) sum[static_cast<size_t>(at)] += y[i].real();
        }
    }

    double peak = 0.0;
    for (double v : sum) peak = std::max(peak, std::fabs(v) * params.gain);
    const double g = peak > params.ceiling && peak > 0.0 ? params.gain * params.ceiling / peak : params.gain;
    out.samples.resize(sum.size());
    for (size_t i = 0; i < sum.size(); ++i) out.samples[i] = static_cast<float>(sum[i] * g);
    // Rounding to float must not take the loudest sample past the ceiling either.
    for (float& v : out.samples) v = std::min(std::max(v, -params.ceiling), params.ceiling);
    return out;
}

float reference_thunder_gain(double base_height, float strength, float peak, const ThunderParams& params) {
    const double h = std::max(base_height, 1.0);
    const std::vector<ThunderSegment> channel{
        ThunderSegment{Vec3{0.0f, 0.0f, static_cast<float>(h)}, Vec3{0.0f, 0.0f, 0.0f}, strength}};
    ThunderParams raw = params;
    raw.gain = 1.0f;
    raw.ceiling = std::numeric_limits<float>::max();
    const SynthesisedThunder t =
        synthesise_thunder(channel, Vec3{static_cast<float>(h), 0.0f, 1.5f}, raw, {ThunderStroke{}});
    float loudest = 0.0f;
    for (float v : t.samples) loudest = std::max(loudest, std::fabs(v));
    return loudest > 0.0f ? peak / loudest : 1.0f;
}
