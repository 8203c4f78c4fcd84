// splats_bench.cpp -- cost of the per-frame sort and lookups of the cloud splats
#include <benchmark/benchmark.h>

#include "bench/bench_scene.h"
#include "render/cloud_splats.h"

namespace {

constexpr int32_t kBlobs = 100000;

struct SplatFixture {
    CloudGrid cloud = bench::make_cloud();
    SplatFrame frame;
    Vec3 eye{150.0f, -220.0f, 60.0f};
    SplatFixture() {
        bench::Lcg r;
        const size_t cells = static_cast<size_t>(bench::kFineX) * bench::kFineY * bench::kFineZ;
        cloud.grd_density.assign(cells, 0.0f);
        for (Vec3& l : cloud.dcl_dir_light) l = Vec3{r.unit() * 200.0f, r.unit() * 200.0f, r.unit() * 255.0f};
        // Every tenth cell, give or take, holds a blob, as in a ragged storm cloud.
        for (int32_t n = 0; n < kBlobs; ++n) {
            size_t cell;
            do {
                cell = static_cast<size_t>(r.next() % cells);
            } while (cloud.grd_density[cell] > 0.0f);
            cloud.grd_density[cell] = 0.05f + 0.95f * r.unit();
        }
        for (size_t cell = 0; cell < cells; ++cell) {
            if (cloud.grd_density[cell] <= 0.0f) continue;
            const int32_t i = static_cast<int32_t>(cell % bench::kFineX);
            const int32_t j = static_cast<int32_t>(cell / bench::kFineX % bench::kFineY);
            const int32_t k = static_cast<int32_t>(cell / (bench::kFineX * bench::kFineY));
            cloud.blobs.push_back(Blob{i + 0.5f, j + 0.5f, k + 0.5f, 0.0f, static_cast<int32_t>(cell)});
        }
    }
};

SplatFixture& fixture() {
    static SplatFixture f;
    return f;
}

// The eye moves a little every frame, as when the view is being turned.
void BM_PrepareSplats(benchmark::State& state) {
    SplatFixture& f = fixture();
    float step = 0.0f;
    for (auto _ : state) {
        step += 0.01f;
        prepare_cloud_splats(f.frame, f.cloud, Vec3{f.eye.x + step, f.eye.y, f.eye.z});
        benchmark::DoNotOptimize(f.frame.centres.data());
    }
    state.counters["blobs"] = static_cast<double>(f.cloud.blobs.size());
}
BENCHMARK(BM_PrepareSplats)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same with physical shading: no division by the density, and an optical depth per splat.
void BM_PrepareSplatsPhysical(benchmark::State& state) {
    SplatFixture& f = fixture();
    f.cloud.shading.physical = true;
    float step = 0.0f;
    for (auto _ : state) {
        step += 0.01f;
        prepare_cloud_splats(f.frame, f.cloud, Vec3{f.eye.x + step, f.eye.y, f.eye.z});
        benchmark::DoNotOptimize(f.frame.centres.data());
    }
    f.cloud.shading.physical = false;
}
BENCHMARK(BM_PrepareSplatsPhysical)->Unit(benchmark::kMillisecond)->UseRealTime();

// Between strikes the cloud is dark: no lookups are needed, only the order and the splats.
void BM_PrepareSplatsDark(benchmark::State& state) {
    SplatFixture& f = fixture();
    const std::vector<Vec3> lit = f.cloud.dcl_dir_light;
    for (Vec3& l : f.cloud.dcl_dir_light) l = Vec3{};
    float step = 0.0f;
    for (auto _ : state) {
        step += 0.01f;
        prepare_cloud_splats(f.frame, f.cloud, Vec3{f.eye.x + step, f.eye.y, f.eye.z});
        benchmark::DoNotOptimize(f.frame.centres.data());
    }
    f.cloud.dcl_dir_light = lit;
}
BENCHMARK(BM_PrepareSplatsDark)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PrepareSplatsReference(benchmark::State& state) {
    SplatFixture& f = fixture();
    float step = 0.0f;
    for (auto _ : state) {
        step += 0.01f;
        prepare_cloud_splats_reference(f.frame, f.cloud, Vec3{f.eye.x + step, f.eye.y, f.eye.z});
        benchmark::DoNotOptimize(f.frame.centres.data());
    }
}
BENCHMARK(BM_PrepareSplatsReference)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
