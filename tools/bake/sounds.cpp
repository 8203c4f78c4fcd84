// sounds.cpp -- synthesised thunder and rain, and the 16-bit mono wave files that hold them
#include "tools/bake/sounds.h"

#include <algorithm>
#include <cmath>

#include "tools/bake/byte_writer.h"
#include "tools/bake/demo/noise.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

// One-pole low-pass: y += a (x - y), a from the cut-off frequency.
struct LowPass {
    double a = 0.0, y = 0.0;
    explicit LowPass(double cutoff_hz) : a(1.0 - std::exp(-kTwoPi * cutoff_hz / kSoundRate)) {}
    double step(double x) { return y += a * (x - y); }
};

// Scales the signal so its largest magnitude is `peak` of full scale.
std::vector<int16_t> to_pcm(const std::vector<double>& signal, double peak) {
    double top = 0.0;
    for (double v : signal) top = std::max(top, std::fabs(v));
    const double g = top > 0.0 ? peak * 32767.0 / top : 0.0;
    std::vector<int16_t> out(signal.size());
    for (size_t i = 0; i < signal.size(); ++i) {
        out[i] = static_cast<int16_t>(std::clamp(std::lround(signal[i] * g), -32767L, 32767L));
    }
    return out;
}

}  // namespace

std::vector<int16_t> synthesise_thunder(double seconds, uint32_t seed) {
    BakeRandom rng(0x7468756E64657200ull ^ seed);
    const size_t n = static_cast<size_t>(seconds * kSoundRate);
    std::vector<double> s(n, 0.0);

    // Slow swells of the rumble: the sound of channel sections at different distances
    // arriving one after another.
    struct Roll {
        double t, width, gain;
    };
    std::vector<Roll> rolls;
    for (int i = 0; i < 9; ++i) {
        rolls.push_back(
            {0.25 + rng.uniform() * seconds * 0.7, 0.25 + rng.uniform() * 0.8, 0.35 + rng.uniform() * 0.65});
    }
    // Crackles: short bright bursts in the first half second.
    std::vector<double> crackle_times;
    for (int i = 0; i < 7; ++i) crackle_times.push_back(0.02 + rng.uniform() * 0.5);

    LowPass crack_tone(3500.0), rumble1(180.0), rumble2(120.0), sub1(45.0), sub2(35.0);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kSoundRate;
        const double white = rng.signed_uniform();
        // The crack: near-instant attack, gone within a fifth of a second.
        double crack = std::exp(-t / 0.045) * (1.0 - std::exp(-t / 0.0015));
        for (double ct : crackle_times) {
            const double dt = t - ct;
            if (dt >= 0.0 && dt < 0.08) crack += 0.55 * std::exp(-dt / 0.012);
        }
        const double crack_sound = crack_tone.step(white) * crack * 2.5;
        // The rumble: twice-filtered noise under a slow envelope with its rolls.
        double swell = 0.0;
        for (const Roll& r : rolls) {
            const double d = (t - r.t) / r.width;
            swell += r.gain * std::exp(-d * d);
        }
        const double envelope =
            (1.0 - std::exp(-t / 0.35)) * std::exp(-t / (seconds * 0.32)) * (0.45 + swell);
        const double rumble = rumble2.step(rumble1.step(white)) * 5.0 + sub2.step(sub1.step(white)) * 14.0;
        s[i] = crack_sound + rumble * envelope;
    }
    // A short fade at the end so the last sample is silent.
    const size_t fade = std::min<size_t>(n, kSoundRate / 10);
    for (size_t i = 0; i < fade; ++i) s[n - 1 - i] *= static_cast<double>(i) / fade;
    return to_pcm(s, 0.9);
}

std::vector<int16_t> synthesise_rain(double seconds, uint32_t seed) {
    BakeRandom rng(0x7261696E00000000ull ^ seed);
    const size_t n = static_cast<size_t>(seconds * kSoundRate);
    const size_t overlap = static_cast<size_t>(0.5 * kSoundRate);
    const size_t total = n + overlap;
    std::vector<double> s(total, 0.0);

    // Hiss: white noise with its lowest and highest parts taken off.
    LowPass body(5000.0), rumble(300.0);
    for (size_t i = 0; i < total; ++i) {
        const double x = body.step(rng.signed_uniform());
        s[i] = (x - rumble.step(x)) * 0.6;
    }
    // Drops: about 250 a second, each a short decaying tone of its own pitch.
    const size_t drops = static_cast<size_t>(250.0 * static_cast<double>(total) / kSoundRate);
    for (size_t k = 0; k < drops; ++k) {
        const size_t start = static_cast<size_t>(rng.uniform() * static_cast<double>(total));
        const double freq = 1800.0 + rng.uniform() * 4200.0;
        const double amp = 0.05 + 0.25 * rng.uniform() * rng.uniform();
        const double decay = 0.0015 + rng.uniform() * 0.004;
        const size_t len = static_cast<size_t>(decay * 5.0 * kSoundRate);
        for (size_t j = 0; j < len && start + j < total; ++j) {
            const double t = static_cast<double>(j) / kSoundRate;
            s[start + j] += amp * std::exp(-t / decay) * std::sin(kTwoPi * freq * t);
        }
    }
    // Seamless loop: the extra tail is faded into the start with equal power (the two
    // halves are unrelated noise), so sample n-1 runs straight on into sample 0.
    std::vector<double> loop(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    for (size_t i = 0; i < overlap && i < n; ++i) {
        const double w = static_cast<double>(i) / overlap;
        loop[i] = s[i] * std::sqrt(w) + s[n + i] * std::sqrt(1.0 - w);
    }
    return to_pcm(loop, 0.45);
}

std::vector<uint8_t> wave_file_bytes(const std::vector<int16_t>& samples) {
    const int32_t data_size = static_cast<int32_t>(samples.size() * 2);
    ByteWriter w;
    w.raw("RIFF", 4);
    w.i32(36 + data_size);
    w.raw("WAVE", 4);
    w.raw("fmt ", 4);
    w.i32(16);
    w.u16(1);  // PCM
    w.u16(1);  // mono
    w.i32(kSoundRate);
    w.i32(kSoundRate * 2);
    w.u16(2);
    w.u16(16);
    w.raw("data", 4);
    w.i32(data_size);
    for (int16_t v : samples) w.u16(static_cast<uint16_t>(v));
    return std::move(w.bytes);
}
