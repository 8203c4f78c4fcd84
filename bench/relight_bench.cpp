// relight_bench.cpp -- cost of relighting the cloud from a typical discharge
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_scene.h"
#include "lightning/reference_strike.h"
#include "scene/scene_file.h"

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

// The demo as the viewer shows it: its scene and budgeted table, relit by its reference strike (one
// source per lightning cell of the strike, each carrying that cell's weight). The demo is baked by
// vintrel-bake into VINTREL_DEMO_DIR (default build/demo); without it these cases are skipped.
struct DemoFixture {
    bool ready = false;
    std::string missing;
    Scene scene;
    LightningGrid grid;
    BaseIntensityTable table;
    IlluminationWork work;
    std::vector<Vec3> pos, intensity;
    int64_t strike_coefficients = 0;
    DemoFixture() {
        const char* env = std::getenv("VINTREL_DEMO_DIR");
        const std::filesystem::path dir = env && *env ? env : "build/demo";
        if (!std::filesystem::exists(dir / "test.dat") ||
            !std::filesystem::exists(dir / "basic_intensity_cmp.dat")) {
            missing = "no baked demo in " + dir.string() +
                      " (bake it with vintrel-bake DIR -quiet and set VINTREL_DEMO_DIR=DIR)";
            return;
        }
        // The scene names its files relative to its folder, as the viewer reads it from there.
        const std::filesystem::path here = std::filesystem::current_path();
        std::filesystem::current_path(dir);
        reset_scene(scene);
        read_scene_file("test.dat", scene);
        setup_lightning_grid(grid, scene.lightning, scene.cloud);
        grid.bin_every_source = scene.cloud.shading.physical;
        const bool loaded = load_base_intensity(table, work, scene.cloud, grid, "basic_intensity_cmp.dat");
        std::filesystem::current_path(here);
        if (!loaded) {
            missing = "the demo's table in " + dir.string() + " does not load";
            return;
        }
        const LightningSettings& s = scene.lightning;
        const Vec3 e = s.emission_colour, c = s.channel_colour;
        const double per_length = e.x * c.x + e.y * c.y + e.z * c.z;
        const int32_t stride = grid.bin_every_source ? 1 : kBinStride;
        for (const auto& [k, weight] : reference_strike_cells(grid, scene)) {
            const int32_t ix = k % grid.lgrid_nx, iy = (k / grid.lgrid_nx) % grid.lgrid_ny;
            const int32_t iz = k / (grid.lgrid_nx * grid.lgrid_ny);
            const float f = static_cast<float>(weight / (stride * per_length));
            const Vec3 p{
                grid.box_low.x + (ix + 0.5f) * grid.cell_dx, grid.box_low.y + (iy + 0.5f) * grid.cell_dy,
                0.5f * (grid.lgrid_z[static_cast<size_t>(iz)] + grid.lgrid_z[static_cast<size_t>(iz) + 1])};
            for (int32_t i = 0; i < stride; ++i) {
                pos.push_back(p);
                intensity.push_back(i == 0 ? Vec3{f * e.x * c.x, f * e.y * c.y, f * e.z * c.z} : Vec3{});
            }
            const size_t r = static_cast<size_t>(k) * kDirCount;
            strike_coefficients += table.start[r + kDirCount] - table.start[r];
        }
        ready = !pos.empty();
        if (!ready) missing = "the demo has no reference strike";
    }
};

DemoFixture& demo() {
    static DemoFixture f;
    return f;
}

void demo_counters(benchmark::State& state, const DemoFixture& f) {
    state.counters["coarse_cells"] = static_cast<double>(f.table.coarse_count);
    state.counters["strike_coeffs"] = static_cast<double>(f.strike_coefficients);
}

void BM_RelightDemoStrike(benchmark::State& state) {
    DemoFixture& f = demo();
    if (!f.ready) {
        state.SkipWithError(f.missing.c_str());
        return;
    }
    for (auto _ : state) {
        light_cloud_from_lightning_grid(f.grid, f.table, f.work, f.scene.cloud, f.pos.data(),
                                        f.intensity.data(), static_cast<int>(f.pos.size()));
        benchmark::DoNotOptimize(f.scene.cloud.dcl_dir_light.data());
    }
    demo_counters(state, f);
}
BENCHMARK(BM_RelightDemoStrike)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RelightDemoStrikeReference(benchmark::State& state) {
    DemoFixture& f = demo();
    if (!f.ready) {
        state.SkipWithError(f.missing.c_str());
        return;
    }
    for (auto _ : state) {
        light_cloud_reference(f.grid, f.table, f.work, f.scene.cloud, f.pos.data(), f.intensity.data(),
                              static_cast<int>(f.pos.size()));
        benchmark::DoNotOptimize(f.scene.cloud.dcl_dir_light.data());
    }
    demo_counters(state, f);
}
BENCHMARK(BM_RelightDemoStrikeReference)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
