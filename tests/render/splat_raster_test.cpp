// splat_raster_test.cpp -- the CPU splat drawing against splats composited one pixel at a time
#include "render/splat_raster.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// A view down -z from the origin, 60 degrees high, over a w x h image.
SplatView view_of(int32_t w, int32_t h, float size_scale) {
    SplatView v;
    v.width = w;
    v.height = h;
    const float f = 1.0f / std::tan(0.5235988f), aspect = static_cast<float>(w) / static_cast<float>(h);
    for (int i = 0; i < 16; ++i) v.modelview[i] = i % 5 == 0 ? 1.0f : 0.0f;
    v.projection[0] = f / aspect;
    v.projection[5] = f;
    v.projection[10] = -101.0f / 99.0f;  // near 1, far 100
    v.projection[11] = -1.0f;
    v.projection[14] = -200.0f / 99.0f;
    v.size_scale = size_scale;
    v.max_point_size = 64.0f;
    return v;
}

// What GL's sprites leave: every splat in order over every pixel centre inside its disc, the sprite's side
// from the vertex shader's formula, hidden where the background's depth is not farther than its centre.
std::vector<float> composited_by_pixel(const SplatFrame& frame, const SplatView& v,
                                       const std::vector<float>& depth) {
    std::vector<float> out(static_cast<size_t>(v.width * v.height) * 4);
    for (size_t p = 0; p < out.size(); p += 4) out[p + 3] = 1.0f;
    for (int32_t q = 0; q < frame.quad_count; ++q) {
        const float* c = &frame.centres[static_cast<size_t>(q) * 3];
        const float z = -c[2], len = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
        const float x = (v.projection[0] * c[0] / z + 1.0f) * 0.5f * v.width;
        const float y = (v.projection[5] * c[1] / z + 1.0f) * 0.5f * v.height;
        const float window_z = ((v.projection[10] * c[2] + v.projection[14]) / z + 1.0f) * 0.5f;
        const float side = std::min(std::max(v.size_scale / z * std::sqrt(len / z), 1.0f), v.max_point_size);
        const Vec3 colour{frame.splat_colours[q * 3], frame.splat_colours[q * 3 + 1],
                          frame.splat_colours[q * 3 + 2]};
        for (int32_t j = 0; j < v.height; ++j)
            for (int32_t i = 0; i < v.width; ++i) {
                const float dx = (i + 0.5f - x) / (0.5f * side), dy = (j + 0.5f - y) / (0.5f * side);
                const size_t at = static_cast<size_t>(j * v.width + i);
                if (dx * dx + dy * dy >= 1.0f || !(window_z < depth[at])) continue;
                Vec3 radiance{out[at * 4], out[at * 4 + 1], out[at * 4 + 2]};
                const float alpha = splat_opacity(frame.splat_depths[q] * splat_profile(dx * dx + dy * dy));
                composite_over(radiance, out[at * 4 + 3], colour, alpha);
                out[at * 4] = radiance.x;
                out[at * 4 + 1] = radiance.y;
                out[at * 4 + 2] = radiance.z;
            }
    }
    return out;
}

// Splats of every size from a pixel to past a screen square, across the squares and the image's edges,
// far to near, thin and nearly opaque, over a background whose left third is a wall among them.
TEST(SplatRaster, DrawsWhatCompositingPixelByPixelGivesAndKeepsItsOwnBuffersClean) {
    const int32_t w = 150, h = 100;
    SplatFrame frame;
    uint32_t seed = 7;
    auto unit = [&] { return static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0f; };
    const int32_t n = 400;
    frame.quad_count = n;
    for (int32_t q = 0; q < n; ++q) {
        const float z = 40.0f - 30.0f * static_cast<float>(q) / n;  // far to near
        frame.centres.insert(frame.centres.end(),
                             {(unit() * 2.6f - 1.3f) * z * 0.77f, (unit() * 2.4f - 1.2f) * z * 0.58f, -z});
        frame.splat_colours.insert(frame.splat_colours.end(), {unit() * 3.0f, unit(), unit() * 0.5f});
        frame.splat_depths.push_back(q % 7 == 0 ? 4.0f * unit() : 0.4f * unit());
    }
    const SplatView v = view_of(w, h, 300.0f);
    SplatImage image;
    image.depth.assign(static_cast<size_t>(w * h), 1.0f);
    for (int32_t j = 0; j < h; ++j)
        for (int32_t i = 0; i < w / 3; ++i) image.depth[static_cast<size_t>(j * w + i)] = 0.95f;  // 16.8 away
    const std::vector<float> expected = composited_by_pixel(frame, v, image.depth);
    double worst = 0.0, covered = 0.0;
    for (int pass = 0; pass < 2; ++pass) {  // the second over the first's buffers
        rasterise_splats(image, frame, v);
        ASSERT_EQ(image.rgba.size(), expected.size());
        for (size_t p = 0; p < expected.size(); ++p) {
            worst = std::max(worst, std::fabs(static_cast<double>(image.rgba[p] - expected[p])) /
                                        (1.0 + std::fabs(static_cast<double>(expected[p]))));
            if (p % 4 == 3) covered += expected[p] < 0.999f;
        }
    }
    EXPECT_LT(worst, 5e-4);           // a display level is 4e-3
    EXPECT_GT(covered, 0.5 * w * h);  // the splats really reach most of the image
    // The wall hides the farther splats: more light comes through in front of it than beside it.
    double left = 0.0, right = 0.0;
    for (int32_t j = 0; j < h; ++j) {
        left += expected[static_cast<size_t>(j * w + 20) * 4 + 3];
        right += expected[static_cast<size_t>(j * w + 120) * 4 + 3];
    }
    EXPECT_GT(left - right, 0.1 * h);

    // Nothing to draw leaves a clear image (the earlier frame's pixels gone).
    frame.quad_count = 0;
    rasterise_splats(image, frame, v);
    for (size_t p = 0; p < image.rgba.size(); ++p) ASSERT_EQ(image.rgba[p], p % 4 == 3 ? 1.0f : 0.0f);
}

}  // namespace
