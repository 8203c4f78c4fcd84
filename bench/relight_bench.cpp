// relight_bench.cpp -- cost of relighting the cloud from a typical discharge
#include <benchmark/benchmark.h>

#include "bench/bench_scene.h"

namespace {

struct RelightFixture {
    CloudGrid cloud = bench::make_cloud();
    LightningGrid grid;
    BaseIntensityTable table;
    IlluminationWork work;
    std::vector<Vec3> pos, intensity;
    RelightFixture() {
        setup_lightning_grid(grid, bench::make_lightning(), cloud);
        table = bench::make_table(grid, cloud);
        bench::make_discharge(pos, intensity);
    }
};

RelightFixture& fixture() {
    static RelightFixture f;
    return f;
}

void BM_Relight(benchmark::State& state) {
    RelightFixture& f = fixture();
    for (auto _ : state) {
        light_cloud_from_lightning_grid(f.grid, f.table, f.work, f.cloud, f.pos.data(), f.intensity.data(),
                                        static_cast<int>(f.pos.size()));
        benchmark::DoNotOptimize(f.cloud.dcl_dir_light.data());
    }
}
BENCHMARK(BM_Relight)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RelightReference(benchmark::State& state) {
    RelightFixture& f = fixture();
    for (auto _ : state) {
        light_cloud_reference(f.grid, f.table, f.work, f.cloud, f.pos.data(), f.intensity.data(),
                              static_cast<int>(f.pos.size()));
        benchmark::DoNotOptimize(f.cloud.dcl_dir_light.data());
    }
}
BENCHMARK(BM_RelightReference)->Unit(benchmark::kMillisecond)->UseRealTime();

// The idle step: no sources, and the cloud already dark.
void BM_RelightIdle(benchmark::State& state) {
    RelightFixture& f = fixture();
    light_cloud_from_lightning_grid(f.grid, f.table, f.work, f.cloud, nullptr, nullptr, 0);
    for (auto _ : state) {
        light_cloud_from_lightning_grid(f.grid, f.table, f.work, f.cloud, nullptr, nullptr, 0);
    }
}
BENCHMARK(BM_RelightIdle)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
