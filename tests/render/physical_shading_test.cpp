// physical_shading_test.cpp -- a uniform slab through the physical chain: table, relight, splats, compositing
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "lightning/lightning_grid.h"
#include "render/cloud_splats.h"
#include "render/physical_frame.h"

namespace {

// A slab of fine cells 16 x 16 across and 8 thick, all of one density, on a coarse grid of 2^3 blocks.
constexpr int kNx = 16, kNy = 16, kNz = 8;
constexpr float kRho = 0.5f, kExtinction = 0.8f, kAlbedo = 0.9f;
// eta of every coarse cell and direction, per colour channel, that the table below relights to.
constexpr float kEta = 2.0f;

CloudGrid slab() {
    CloudGrid c;
    c.grd_numx = kNx;
    c.grd_numy = kNy;
    c.grd_numz = kNz;
    c.grd_size = 1.0f;
    c.grd_origin = Vec3{-8.0f, -8.0f, 100.0f};
    c.dscl = 2;
    c.dcl_numx = kNx / 2;
    c.dcl_numy = kNy / 2;
    c.dcl_numz = kNz / 2;
    c.dcl_size = 2.0f;
    c.optical = {kExtinction, kAlbedo, 0.85f};
    c.cloud_box = {-8.0f, -8.0f, 100.0f, 8.0f, 8.0f, 108.0f};
    c.dcl_dir_light.assign(static_cast<size_t>(c.dcl_numx * c.dcl_numy * c.dcl_numz) * kDirCount, Vec3{});
    c.grd_density.assign(static_cast<size_t>(kNx * kNy * kNz), kRho);
    for (int cell = 0; cell < kNx * kNy * kNz; ++cell) {
        const int i = cell % kNx, j = cell / kNx % kNy, k = cell / (kNx * kNy);
        c.blobs.push_back(Blob{i + 0.5f, j + 0.5f, k + 0.5f, 0.0f, cell});
    }
    c.shading.physical = true;
    return c;
}

// A table whose every record is the mean coefficient alone: any lit lightning cell gives the same value in
// every coarse cell and direction. One white source binned with weight 20 gives 60, a third per channel.
// A physical table holds J = eta / sigma_s, here of a uniform eta in the uniform slab.
BaseIntensityTable uniform_table(const LightningGrid& grid, int32_t m) {
    BaseIntensityTable t;
    t.loaded = true;
    t.cell_count = lightning_cell_count(grid);
    t.coarse_count = m;
    t.dir_count = kDirCount;
    const size_t records = static_cast<size_t>(t.cell_count) * kDirCount;
    t.start.resize(records + 1);
    for (size_t r = 0; r <= records; ++r) t.start[r] = static_cast<int64_t>(r);
    t.index.assign(records, 0);
    t.value.assign(records, kEta / (kAlbedo * kExtinction * kRho) * 1e9f / 20.0f);
    t.trailing.assign(records, 0.0f);
    return t;
}

}  // namespace

TEST(PhysicalShading, UniformSlabGivesBeerLambertAndTheSourceTermThroughTheCompositing) {
    CloudGrid cloud = slab();
    LightningSettings s;
    s.discharge_box_low = Vec3{-100.0f, -100.0f, 0.0f};
    s.discharge_box_high = Vec3{100.0f, 100.0f, 108.0f};
    LightningGrid grid;
    testing::internal::CaptureStdout();
    setup_lightning_grid(grid, s, cloud);
    testing::internal::GetCapturedStdout();
    const BaseIntensityTable table = uniform_table(grid, cloud.dcl_numx * cloud.dcl_numy * cloud.dcl_numz);
    const Vec3 pos{0.0f, 0.0f, 50.0f}, white{1.0f, 1.0f, 1.0f};

    // The relight gives that J (eta / sigma_s with the coarse sigma_s = albedo x extinction x mean
    // density), the same from the reference and the fast relight.
    IlluminationWork work;
    CloudGrid reference = cloud;
    ASSERT_TRUE(light_cloud_reference(grid, table, work, reference, &pos, &white, 1));
    ASSERT_TRUE(light_cloud_from_lightning_grid(grid, table, work, cloud, &pos, &white, 1));
    const float j = kEta / (kAlbedo * kExtinction * kRho);
    for (size_t e = 0; e < cloud.dcl_dir_light.size(); ++e) {
        ASSERT_NEAR(cloud.dcl_dir_light[e].x, j, 1e-5f * j) << e;
        ASSERT_NEAR(cloud.dcl_dir_light[e].z, j, 1e-5f * j) << e;
        ASSERT_NEAR(reference.dcl_dir_light[e].y, j, 1e-5f * j) << e;
    }

    // Seen from far above, the splats along vertical rays through the slab: transmittance e^-tau with
    // tau = sigma_t x thickness, and radiance eta / sigma_t (1 - e^-tau). The splats sit off their cell
    // centres (the lattice would show as bands), so the depth of one ray ripples by up to a sixth
    // about the mean.
    const Vec3 eye{0.3f, -0.2f, 5000.0f};
    SplatFrame frame;
    prepare_cloud_splats(frame, cloud, eye);
    ASSERT_EQ(frame.quad_count, kNx * kNy * kNz);
    const float radius = cloud.splat_size * cloud.grd_size;
    const float sigma_t = kExtinction * kRho;
    const float tau = sigma_t * static_cast<float>(kNz) * cloud.grd_size;
    double depth_sum = 0.0;
    int rays = 0;
    for (float x = -2.0f; x <= 2.0f; x += 0.37f) {
        for (float y = -2.0f; y <= 2.0f; y += 0.41f) {
            Vec3 radiance{};
            float transmittance = 1.0f;
            for (int32_t q = 0; q < frame.quad_count; ++q) {
                const float* c = &frame.centres[static_cast<size_t>(q) * 3];
                const float dx = c[0] - x, dy = c[1] - y;
                const float d2 = (dx * dx + dy * dy) / (radius * radius);
                const float* colour = &frame.splat_colours[static_cast<size_t>(q) * 3];
                const float alpha =
                    splat_opacity(frame.splat_depths[static_cast<size_t>(q)] * splat_profile(d2));
                composite_over(radiance, transmittance, Vec3{colour[0], colour[1], colour[2]}, alpha);
            }
            const float ray_tau = -std::log(transmittance);
            EXPECT_NEAR(ray_tau, tau, 0.2f * tau) << x << " " << y;
            const float source = kEta / sigma_t * (1.0f - transmittance);
            EXPECT_NEAR(radiance.x, source, 1e-4f * source) << x << " " << y;
            EXPECT_NEAR(radiance.z, source, 1e-4f * source) << x << " " << y;
            depth_sum += ray_tau;
            ++rays;
        }
    }
    EXPECT_NEAR(depth_sum / rays, tau, 0.03 * tau);
    std::printf("slab: mean optical depth %.4f over %d rays, expected %.4f\n", depth_sum / rays, rays, tau);

    // One display transform: white at exposure x L = 1, the scene's gamma as the tone curve, and a
    // background that no splat covers comes out as it went in.
    const float exposure = 0.1f, gamma_inv = 1.0f / 3.0f;
    EXPECT_FLOAT_EQ(display_value(10.0f, exposure, gamma_inv), 1.0f);
    EXPECT_FLOAT_EQ(display_value(1000.0f, exposure, gamma_inv), 1.0f);
    EXPECT_NEAR(display_value(1.25f, exposure, gamma_inv), 0.5f, 1e-6f);
    for (float b : {0.0f, 0.2f, 0.5f, 0.93f})
        EXPECT_NEAR(display_value(linear_from_display(b, exposure, gamma_inv), exposure, gamma_inv), b,
                    1e-6f);
}
