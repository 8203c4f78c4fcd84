// bake_orbit_test.cpp -- the baked key views, flown by the viewer, keep the whole cloud in view
#include <gtest/gtest.h>

#include <cmath>

#include "app/camera_path.h"
#include "scene/scene.h"
#include "test_support.h"
#include "tools/bake/bake.h"

namespace {

// Largest share of the half view (1 = the edge) that a point takes, or 2 behind the eye.
float view_share(const Camera& c, Vec3 p) {
    const Vec3 d = sub(p, c.eye);
    const float depth = dot(d, c.view_dir);
    if (depth <= 0.0f) return 2.0f;
    const float half = std::tan(c.fovy * 0.5f * 3.1415926f / 180.0f) * depth;
    return std::fmax(std::fabs(dot(d, c.right)) / (half * c.aspect), std::fabs(dot(d, c.up)) / half);
}

}  // namespace

TEST(BakedOrbit, EveryFrameOfTheFlightShowsTheWholeCloudBoxAndItsBase) {
    ScratchDir dir;
    BakeOptions o;
    o.out_dir = dir.path;
    o.grid_nx = 16;
    o.grid_ny = 16;
    o.grid_nz = 8;
    o.dscl = 2;
    o.coeffs = 8;
    o.paths = 16;
    o.cells = {{0, 0}};  // the flight needs the scene, not the tables
    o.threads = 2;
    o.quiet = true;
    BakeReport report;
    ASSERT_EQ(run_bake(o, report), "");
    Scene scene;
    ASSERT_EQ(read_scene_folder(dir.path, "", scene), "");
    const Box& b = scene.cloud.cloud_box;
    ASSERT_LT(b[0], b[3]);

    KeyViews kv;
    read_key_views(kv, dir.file("view.dat"), 30);
    ASSERT_GE(kv.views.size(), 8u);
    const double period = key_path_period(kv);
    ASSERT_EQ(period, 30.0 * kv.views.size());
    for (float aspect : {1.0f, 4.0f / 3.0f}) {
        Camera c;
        c.win_width = 480;
        c.win_height = static_cast<int>(480 / aspect);
        c.aspect = aspect;
        float widest = 0.0f;
        for (double f = 0.0; f < period; f += 0.5) {
            place_camera(c, sample_key_path(kv, f));
            ASSERT_GT(c.distance, 0.0f);
            for (int corner = 0; corner < 8; ++corner) {
                const Vec3 p{b[(corner & 1) ? 3 : 0], b[(corner & 2) ? 4 : 1], b[(corner & 4) ? 5 : 2]};
                widest = std::fmax(widest, view_share(c, p));
            }
            // Strikes start on the cloud base: the eye is below it, and its middle is in view.
            ASSERT_LT(c.eye.z, b[2]) << "frame " << f;
            const Vec3 base_middle{0.5f * (b[0] + b[3]), 0.5f * (b[1] + b[4]), b[2]};
            ASSERT_LT(view_share(c, base_middle), 0.9f) << "frame " << f;
        }
        EXPECT_LE(widest, 0.95f) << "aspect " << aspect;
        EXPECT_GE(widest, 0.6f) << "the cloud should fill the view, aspect " << aspect;
    }
}
