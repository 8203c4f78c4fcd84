// flash.cpp -- strokes of a cloud-to-ground flash and the light each frame of it receives
#include "lightning/flash.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Cloud-to-ground flash statistics (Florida 1979: 4.0 strokes, 69 ms; a 1085-flash storm of 2015:
// 3.3 strokes, 62 ms, subsequent/first peak 0.52).
constexpr double kSingleStrokeShare = 0.30;
// Strokes beyond the second of a multi-stroke flash are geometric with this chance of stopping after
// each, which gives a mean of 3.5 strokes per flash with the single-stroke share above.
constexpr double kStopAfterStroke = 0.28;
constexpr double kIntervalLog10Mean = -1.187;  // log10(0.065 s)
constexpr double kIntervalLog10Sigma = 0.32;   // decades
// Bounds on one interval: faster strokes are one stroke to the eye; a second's gap is a new flash.
constexpr double kIntervalMin = 0.005, kIntervalMax = 0.8;
constexpr double kPeakLog10Mean = -0.284;  // log10(0.52)
// Spread of later peaks, set so that about 40 % of multi-stroke flashes have one stronger than the first.
constexpr double kPeakLog10Sigma = 0.28;
constexpr double kContinuingShare = 0.40;
constexpr double kContinuingLog10Mean = -1.0;  // 100 ms
constexpr double kContinuingLog10Sigma = 0.3;
// A continuing current glows at a few per cent of a stroke's brightness: over 100 ms it gives a fifth of
// the light of a stroke of the same peak.
constexpr double kContinuingRate = 2.0;  // strokes' light per second
// A return stroke's light decays in about a millisecond: far below one frame, yet a time span that starts
// just after a stroke still gets its tail.
constexpr double kStrokeDecay = 0.001;
// Time after which a stroke's remaining light (e^-30) counts as none.
constexpr double kStrokeTail = 30.0 * kStrokeDecay;

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Light of one exponentially decaying stroke between t0 and t1.
double stroke_light(const FlashStroke& s, double t0, double t1) {
    const double a = std::max(t0, static_cast<double>(s.time_s));
    if (t1 <= a) return 0.0;
    const double from = std::exp(-(a - s.time_s) / kStrokeDecay);
    const double to = std::exp(-(t1 - s.time_s) / kStrokeDecay);
    return s.peak * (from - to);
}

}  // namespace

void seed_flash_random(FlashRandom& random, int32_t seed) {
    // Distinct from any stream a zero seed would give elsewhere; the first draw is mixed anyway.
    random.state = 0x5EEDF1A5ull ^ (static_cast<uint64_t>(static_cast<uint32_t>(seed)) << 32);
}

double flash_uniform(FlashRandom& random) {
    return static_cast<double>(splitmix64(random.state) >> 11) * 0x1.0p-53;
}

double flash_normal(FlashRandom& random) {
    // Box-Muller; 1 - u keeps the logarithm finite.
    const double u = 1.0 - flash_uniform(random);
    const double v = flash_uniform(random);
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
}

Flash draw_flash(FlashRandom& random) {
    Flash flash;
    int count = 1;
    if (flash_uniform(random) >= kSingleStrokeShare) {
        count = 2;
        while (count < kMaxFlashStrokes && flash_uniform(random) >= kStopAfterStroke) ++count;
    }
    flash.strokes.push_back(FlashStroke{});
    double t = 0.0;
    for (int k = 1; k < count; ++k) {
        const double gap = std::pow(10.0, kIntervalLog10Mean + kIntervalLog10Sigma * flash_normal(random));
        t += std::clamp(gap, kIntervalMin, kIntervalMax);
        const double peak = std::pow(10.0, kPeakLog10Mean + kPeakLog10Sigma * flash_normal(random));
        flash.strokes.push_back(FlashStroke{static_cast<float>(t), static_cast<float>(peak)});
    }
    if (flash_uniform(random) < kContinuingShare) {
        const double length =
            std::pow(10.0, kContinuingLog10Mean + kContinuingLog10Sigma * flash_normal(random));
        flash.continuing_s = static_cast<float>(std::clamp(length, 0.01, 1.0));
        flash.continuing_rate = static_cast<float>(kContinuingRate * flash.strokes.back().peak);
    }
    return flash;
}

Flash single_stroke_flash() {
    Flash flash;
    flash.strokes.push_back(FlashStroke{});
    return flash;
}

double flash_light_between(const Flash& flash, double t0, double t1) {
    if (!(t1 > t0)) return 0.0;
    double light = 0.0;
    for (const FlashStroke& s : flash.strokes) light += stroke_light(s, t0, t1);
    if (flash.continuing_s > 0.0f && !flash.strokes.empty()) {
        const double c0 = flash.strokes.back().time_s;
        const double c1 = c0 + flash.continuing_s;
        const double overlap = std::min(t1, c1) - std::max(t0, c0);
        if (overlap > 0.0) light += flash.continuing_rate * overlap;
    }
    return light;
}

double flash_total_light(const Flash& flash) {
    double light = 0.0;
    for (const FlashStroke& s : flash.strokes) light += s.peak;
    return light + static_cast<double>(flash.continuing_rate) * flash.continuing_s;
}

double flash_end(const Flash& flash) {
    if (flash.strokes.empty()) return 0.0;
    const double last = flash.strokes.back().time_s;
    return std::max(last + kStrokeTail, last + static_cast<double>(flash.continuing_s));
}

std::string describe_flash(const Flash& flash) {
    std::string line = "flash: " + std::to_string(flash.strokes.size()) +
                       (flash.strokes.size() == 1 ? " stroke at" : " strokes at");
    char buf[64];
    for (size_t k = 0; k < flash.strokes.size(); ++k) {
        std::snprintf(buf, sizeof buf, "%s %.0f ms (%.2f)", k ? "," : "", flash.strokes[k].time_s * 1000.0,
                      flash.strokes[k].peak);
        line += buf;
    }
    if (flash.continuing_s > 0.0f) {
        std::snprintf(buf, sizeof buf, "; continuing current %.0f ms", flash.continuing_s * 1000.0);
        line += buf;
    }
    return line;
}

void start_flash_playback(FlashPlayback& playback, const Flash& flash, double now) {
    playback.active = true;
    playback.flash = flash;
    playback.start = now;
    playback.shown_until = 0.0;
    playback.level = 0.0f;
}

float advance_flash_playback(FlashPlayback& playback, double frame_end) {
    const double t1 = frame_end - playback.start;
    // A clock that has not moved (a redraw) keeps the frame's light as it was.
    if (t1 <= playback.shown_until) return playback.level;
    if (!playback.active) return playback.level = 0.0f;
    playback.level = static_cast<float>(flash_light_between(playback.flash, playback.shown_until, t1));
    playback.shown_until = t1;
    if (t1 >= flash_end(playback.flash)) playback.active = false;
    return playback.level;
}
