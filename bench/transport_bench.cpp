// transport_bench.cpp -- scattering events per second of the multiple-scattering bake
#include <benchmark/benchmark.h>

#include <cmath>

#include "illumination/directions.h"
#include "tools/bake/demo/storm_cloud.h"
#include "tools/bake/medium/transport.h"

namespace {

// A point source in the middle of a homogeneous cube of 32^3 cells, half-width 20 mean free paths,
// g 0.85, albedo 0.999: the medium the published figure of about 1e7 events per second per core
// (tracking alone) was measured in.
void BM_WalksHomogeneousCube(benchmark::State& state) {
    CoarseCloud c;
    c.nx = c.ny = c.nz = 32;
    c.cell = 1.0;
    c.extinction = 20.0 / 16.0;
    c.density.assign(32 * 32 * 32, 1.0);
    const TransportMedium m = make_transport_medium(c, 0.999, 0.85);
    TransportScratch scratch;
    std::vector<double> out;
    int64_t events = 0;
    uint64_t stream = 1;
    for (auto _ : state) {
        events += trace_multiple_scattering(m, at_point({16.0, 16.0, 16.0}), 256, stream++, scratch, out)
                      .collisions;
    }
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WalksHomogeneousCube)->Unit(benchmark::kMillisecond);

// The demo's storm on its 32 x 32 x 16 coarse grid with its optics, a source under the middle of the
// base (most walks enter the cloud) and one inside the tower.
void BM_WalksDemoStorm(benchmark::State& state) {
    const CloudBytes bytes = make_storm_cloud(128, 128, 64, 1, 1);
    std::vector<float> fine(bytes.bytes.size());
    for (size_t i = 0; i < fine.size(); ++i) fine[i] = bytes.bytes[i] * bytes.byte_scale;
    const CoarseCloud c = make_coarse_cloud(fine, 128, 128, 64, 4, 1.0, 0.6);
    const TransportMedium m = make_transport_medium(c, 0.999, 0.85);
    TransportScratch scratch;
    std::vector<double> out;
    const Point3 source = state.range(0) == 0 ? Point3{64.0, 64.0, -5.0} : Point3{56.0, 64.0, 20.0};
    int64_t events = 0;
    uint64_t stream = 1;
    for (auto _ : state) {
        events += trace_multiple_scattering(m, at_point(source), 1024, stream++, scratch, out).collisions;
    }
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WalksDemoStorm)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
