// splat_raster_bench.cpp -- cost of drawing a storm's physical splats on the CPU (rasterise_splats)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>

#include "bench/bench_scene.h"
#include "render/splat_raster.h"

namespace {

// The demo storm's frame: about 175 000 splats of 4.5 pixels radius on average over a 960 x 720 view.
constexpr int32_t kSplats = 175000;
constexpr int32_t kWidth = 960, kHeight = 720;

struct RasterFixture {
    SplatFrame frame;
    SplatView view;
    SplatImage image;
    RasterFixture() {
        // Looking down -z from the origin with a 60-degree view; splats fill a box 150 ... 450 away.
        view.width = kWidth;
        view.height = kHeight;
        const float f = 1.0f / std::tan(30.0f * 3.14159265f / 180.0f), aspect = 4.0f / 3.0f;
        const float near_plane = 1.0f, far_plane = 2000.0f;
        for (int i = 0; i < 16; ++i) view.modelview[i] = i % 5 == 0 ? 1.0f : 0.0f;
        view.projection[0] = f / aspect;
        view.projection[5] = f;
        view.projection[10] = (far_plane + near_plane) / (near_plane - far_plane);
        view.projection[11] = -1.0f;
        view.projection[14] = 2.0f * far_plane * near_plane / (near_plane - far_plane);
        view.size_scale = 9.0f * 280.0f;  // a splat 280 away is 9 pixels across
        view.max_point_size = 255.0f;
        bench::Lcg r;
        std::vector<float> z(kSplats);
        for (float& v : z) v = 150.0f + 300.0f * r.unit();
        std::sort(z.begin(), z.end(), [](float a, float b) { return a > b; });  // far to near
        frame.quad_count = kSplats;
        frame.centres.resize(kSplats * 3);
        frame.splat_colours.resize(kSplats * 3);
        frame.splat_depths.resize(kSplats);
        for (size_t q = 0; q < kSplats; ++q) {
            const float d = z[q];
            frame.centres[q * 3] = (2.0f * r.unit() - 1.0f) * d * aspect / f * 0.8f;
            frame.centres[q * 3 + 1] = (2.0f * r.unit() - 1.0f) * d / f * 0.6f;
            frame.centres[q * 3 + 2] = -d;
            for (int c = 0; c < 3; ++c) frame.splat_colours[q * 3 + c] = 0.5f * r.unit();
            frame.splat_depths[q] = 0.35f * r.unit();
        }
    }
};

void BM_RasteriseSplats(benchmark::State& state) {
    static RasterFixture f;
    for (auto _ : state) {
        rasterise_splats(f.image, f.frame, f.view);
        benchmark::DoNotOptimize(f.image.rgba.data());
    }
}
BENCHMARK(BM_RasteriseSplats)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
