// thunder_bench.cpp -- cost of synthesising one strike's thunder from its channel, and the voice it makes
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "sound/thunder_synthesis.h"

namespace {

// A channel the size of the demo's larger strikes, in metres: a main channel wandering down from a
// 1900 m cloud base to the ground, and branches of a few hundred metres off its upper half.
std::vector<ThunderSegment> demo_sized_channel() {
    std::vector<ThunderSegment> segments;
    uint32_t s = 12345;
    auto unit = [&s] { return static_cast<float>((s = s * 1664525u + 1013904223u) >> 8) / 16777216.0f; };
    Vec3 p{0.0f, 0.0f, 1900.0f};
    while (p.z > 0.0f) {
        const Vec3 q{p.x + 120.0f * (unit() - 0.5f), p.y + 120.0f * (unit() - 0.5f),
                     p.z - 100.0f - 80.0f * unit()};
        segments.push_back(ThunderSegment{p, q, 1.0f});
        if (p.z > 900.0f && unit() < 0.5f) {
            Vec3 b = p;
            for (int k = 0; k < 4; ++k) {
                const Vec3 c{b.x + 150.0f * (unit() - 0.3f), b.y + 150.0f * (unit() - 0.5f),
                             b.z - 60.0f * unit()};
                segments.push_back(ThunderSegment{b, c, 0.5f});
                b = c;
            }
        }
        p = q;
    }
    return segments;
}

// Heard from 9 km (the demo's camera stands 8 to 13 km from its strikes) and from 2 km.
void BM_ThunderSynthesis(benchmark::State& state) {
    const std::vector<ThunderSegment> channel = tortuous_channel(demo_sized_channel(), 25.0);
    const Vec3 listener{static_cast<float>(state.range(0)), 0.0f, 2.0f};
    ThunderParams params;
    const std::vector<ThunderStroke> strokes{ThunderStroke{0.0, 1.0f}, ThunderStroke{0.065, 0.5f},
                                             ThunderStroke{0.13, 0.5f}};
    size_t samples = 0;
    for (auto _ : state) {
        const SynthesisedThunder t = synthesise_thunder(channel, listener, params, strokes);
        samples = t.samples.size();
        benchmark::DoNotOptimize(t.samples.data());
    }
    state.counters["pieces"] = static_cast<double>(channel.size());
    state.counters["voice_bytes"] = static_cast<double>(samples * sizeof(float));
    state.counters["voice_seconds"] = static_cast<double>(samples) / kThunderRate;
}
BENCHMARK(BM_ThunderSynthesis)->Arg(9000)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
