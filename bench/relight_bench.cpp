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

// Physical shading: light per unit scattering instead of the gamma mapping, and the cells round an
// ellipsoidal cloud filled from their neighbours.
void BM_RelightPhysical(benchmark::State& state) {
    RelightFixture& f = fixture();
    CloudGrid cloud = f.cloud;
    cloud.shading.physical = true;
    cloud.optical = {0.6f, 0.999f, 0.85f};
    cloud.grd_density.assign(static_cast<size_t>(cloud.grd_numx) * cloud.grd_numy * cloud.grd_numz, 0.0f);
    for (int32_t z = 0; z < cloud.grd_numz; ++z)
        for (int32_t y = 0; y < cloud.grd_numy; ++y)
            for (int32_t x = 0; x < cloud.grd_numx; ++x) {
                const float u = (x + 0.5f) / cloud.grd_numx - 0.5f, v = (y + 0.5f) / cloud.grd_numy - 0.5f,
                            w = (z + 0.5f) / cloud.grd_numz - 0.5f;
                const float r2 = 4.0f * (u * u + v * v + w * w);
                if (r2 < 0.8f)
                    cloud.grd_density[static_cast<size_t>((z * cloud.grd_numy + y) * cloud.grd_numx + x)] =
                        1.0f - r2;
            }
    for (auto _ : state) {
        light_cloud_from_lightning_grid(f.grid, f.table, f.work, cloud, f.pos.data(), f.intensity.data(),
                                        static_cast<int>(f.pos.size()));
        benchmark::DoNotOptimize(cloud.dcl_dir_light.data());
    }
    state.counters["filled"] = static_cast<double>(f.work.in_scattering.fill_cell.size());
}
BENCHMARK(BM_RelightPhysical)->Unit(benchmark::kMillisecond)->UseRealTime();

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
