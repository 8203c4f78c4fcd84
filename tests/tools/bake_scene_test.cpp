// bake_scene_test.cpp -- a small bake read back with the viewer's own readers, relit, and baked again
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>

#include "illumination/directions.h"
#include "illumination/tables.h"
#include "lightning/lightning_grid.h"
#include "scene/scene.h"
#include "test_support.h"
#include "tools/bake/bake.h"

namespace {

// A bake small enough for a unit test: 8 x 8 x 4 coarse cells, every coefficient kept.
BakeOptions small_options(const std::string& dir, uint32_t seed) {
    BakeOptions o;
    o.out_dir = dir;
    o.grid_nx = 16;
    o.grid_ny = 16;
    o.grid_nz = 8;
    o.dscl = 2;
    o.coeffs = 8 * 8 * 4;
    o.seed = seed;
    o.threads = 2;
    o.quiet = true;
    return o;
}

class BakedScene : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<ScratchDir>();
        report_ = std::make_unique<BakeReport>();
        ASSERT_EQ(run_bake(small_options(dir_->path, 5), *report_), "");
        scene_ = std::make_unique<Scene>();
        ASSERT_EQ(read_baked_scene(dir_->path, *scene_), "");
    }
    static void TearDownTestSuite() {
        scene_.reset();
        report_.reset();
        dir_.reset();
    }
    static std::unique_ptr<ScratchDir> dir_;
    static std::unique_ptr<BakeReport> report_;
    static std::unique_ptr<Scene> scene_;
};

std::unique_ptr<ScratchDir> BakedScene::dir_;

Vec3 camera_eye(const Scene& s) {
    const Vec3 t = s.camera.target_in;
    const float dist = s.camera.orbit_in.x, az = s.camera.orbit_in.y, el = s.camera.orbit_in.z;
    return Vec3{t.x + dist * std::cos(el) * std::cos(az), t.y + dist * std::cos(el) * std::sin(az),
                t.z + dist * std::sin(el)};
}
std::unique_ptr<BakeReport> BakedScene::report_;
std::unique_ptr<Scene> BakedScene::scene_;

}  // namespace

TEST_F(BakedScene, ViewerReadsEverySection) {
    const Scene& s = *scene_;
    EXPECT_EQ(s.camera.given, 1);
    const CloudGrid& c = s.cloud;
    EXPECT_EQ(c.grd_numx, 16);
    EXPECT_EQ(c.grd_numz, 8);
    EXPECT_EQ(c.dcl_numx, 8);
    EXPECT_EQ(c.dcl_numz, 4);
    // The origin rule of the reader puts the grid 128 units wide, centred, above z = 30.
    EXPECT_NEAR(c.cloud_box[0], -64.0f, 1e-4f);
    EXPECT_NEAR(c.cloud_box[3], 64.0f, 1e-4f);
    EXPECT_NEAR(c.cloud_box[2], 30.0f, 1e-4f);
    EXPECT_NEAR(c.cloud_box[5], 94.0f, 1e-4f);
    EXPECT_GT(c.blobs.size(), 50u);
    // The camera sees every blob of the cloud, even in the default square window.
    const Vec3 eye = camera_eye(s);
    EXPECT_GT(eye.z, 0.0f);
    const Vec3 view = normalise(sub(s.camera.target_in, eye));
    const Vec3 right = normalise(cross(view, Vec3{0, 0, 1}));
    const Vec3 up = cross(right, view);
    const float half = std::tan(0.5f * s.camera.fovy * kPi / 180.0f);
    for (const Blob& b : c.blobs) {
        const Vec3 v = sub(add(c.grd_origin, Vec3{b.x, b.y, b.z}), eye);
        const float depth = dot(v, view);
        ASSERT_GT(depth, 0.0f);
        ASSERT_LT(std::fabs(dot(v, right)) / depth, half) << "blob " << b.cell;
        ASSERT_LT(std::fabs(dot(v, up)) / depth, half) << "blob " << b.cell;
    }
    EXPECT_EQ(s.lightning.sections_read, 1);
    ASSERT_EQ(s.sound_table.size(), 2u);
    for (const Sound& snd : s.sound_table) {
        EXPECT_EQ(snd.rate, 16000);
        EXPECT_EQ(snd.bits, 16);
        EXPECT_EQ(snd.stereo, 0);
    }
    EXPECT_EQ(s.sound_table[0].length, 8 * 16000);
    EXPECT_EQ(s.sound_table[1].length, 6 * 16000);
    ASSERT_EQ(s.textures.size(), 1u);
    EXPECT_EQ(s.textures[0].width, 64);
    EXPECT_TRUE(s.sky_built);
}

TEST_F(BakedScene, ObjectsFaceOutwardsAndStandOnTheGround) {
    const Scene& s = *scene_;
    ASSERT_GT(s.objects.size(), 10u);
    const SceneObject& ground = s.objects[0];
    EXPECT_EQ(ground.textured, 1);
    EXPECT_NEAR(ground.faces[0].normal.z, 1.0f, 1e-6f);
    for (size_t i = 1; i < s.objects.size(); ++i) {
        const SceneObject& o = s.objects[i];
        ASSERT_EQ(o.face_count, 6);
        EXPECT_NEAR(o.box_min.z, 0.0f, 1e-4f) << "building " << i;
        EXPECT_GT(o.box_max.z, 1.9f);
        for (const ObjectFace& f : o.faces) {
            Vec3 mid;
            for (int32_t v : f.corner)
                mid = add(mid, scale(o.vertices[static_cast<size_t>(v)].position, 0.25f));
            EXPECT_GT(dot(f.normal, sub(mid, o.centre)), 0.0f) << "building " << i;
        }
    }
    // No building stands within 15 units of the camera.
    const Vec3 eye = camera_eye(s);
    for (size_t i = 1; i < s.objects.size(); ++i) {
        const SceneObject& o = s.objects[i];
        const float dx = std::max({o.box_min.x - eye.x, eye.x - o.box_max.x, 0.0f});
        const float dy = std::max({o.box_min.y - eye.y, eye.y - o.box_max.y, 0.0f});
        EXPECT_GT(std::hypot(dx, dy), 15.0f) << "building " << i;
    }
    const std::vector<uint8_t> views = read_binary_file(dir_->file("view.dat"));
    EXPECT_EQ(views.size(), 4u + 10u * 52u);  // the orbit of ten key views
}

TEST_F(BakedScene, RelightingWithTheViewerReproducesTheDirectSum) {
    CloudGrid cloud = scene_->cloud;
    GenkTable genk;
    ASSERT_TRUE(load_genk_table(genk, cloud, dir_->file("genk.tbl")));
    LightningGrid lgrid;
    setup_lightning_grid(lgrid, scene_->lightning, cloud);
    BaseIntensityTable table;
    IlluminationWork work;
    ASSERT_TRUE(load_base_intensity(table, work, cloud, lgrid, dir_->file("basic_intensity_cmp.dat")));
    EXPECT_EQ(report_->lightning_cells, lightning_cell_count(lgrid));

    // 41 sources: the viewer bins 0, 20 and 40 (under the base, inside the cloud, near the ground).
    std::vector<Vec3> pos(41, Vec3{0, 0, 10}), intensity(41, Vec3{1, 1, 1});
    pos[0] = {3, -2, 27};
    pos[20] = {-30, 10, 45};
    pos[40] = {20, -20, 5};
    // Linear output: gamma 1, scale 1, so dcl_dir_light is the colour share times w / 1e9.
    cloud.gamma_inv = 1.0f;
    cloud.light_scale = 1.0f;
    ASSERT_TRUE(light_cloud_from_lightning_grid(lgrid, table, work, cloud, pos.data(), intensity.data(), 41));

    // The direct single-scattering sum at the centres of the cells the viewer binned into.
    const CoarseCloud coarse =
        make_coarse_cloud(cloud.grd_density, cloud.grd_numx, cloud.grd_numy, cloud.grd_numz, cloud.dscl,
                          cloud.grd_size, cloud.optical[0]);
    ScatterModel model;
    model.albedo = cloud.optical[1];
    model.phase_g = cloud.optical[2];
    std::vector<Point3> dirs;
    for (int32_t d = 0; d < kDirCount; ++d) {
        const Vec3 v = direction_vector(d);
        dirs.push_back({v.x, v.y, v.z});
    }
    const size_t m = static_cast<size_t>(coarse.count());
    std::vector<double> expected(m * kDirCount, 0.0), one;
    int lit = 0;
    for (int32_t iz = 0; iz < lgrid.lgrid_nz; ++iz) {
        for (int32_t iy = 0; iy < lgrid.lgrid_ny; ++iy) {
            for (int32_t ix = 0; ix < lgrid.lgrid_nx; ++ix) {
                const float total =
                    lgrid.lgrid_light[0]
                                     [static_cast<size_t>((iz * lgrid.lgrid_ny + iy) * lgrid.lgrid_nx + ix)];
                if (total <= 0.0f) continue;
                ++lit;
                const Point3 src{lgrid.box_low.x + (ix + 0.5) * lgrid.cell_dx - cloud.grd_origin.x,
                                 lgrid.box_low.y + (iy + 0.5) * lgrid.cell_dy - cloud.grd_origin.y,
                                 0.5 * (static_cast<double>(lgrid.lgrid_z[iz]) + lgrid.lgrid_z[iz + 1]) -
                                     cloud.grd_origin.z};
                direct_response(coarse, model, dirs, src, one);
                for (size_t i = 0; i < m; ++i) {
                    for (int d = 0; d < kDirCount; ++d) {
                        expected[i * kDirCount + d] +=
                            total * report_->table_scale * one[d * m + i] / 1e9 / 3.0;
                    }
                }
            }
        }
    }
    ASSERT_EQ(lit, 3);
    const double peak = *std::max_element(expected.begin(), expected.end());
    ASSERT_GT(peak, 0.0);
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_NEAR(cloud.dcl_dir_light[i].x, expected[i], 2e-5 * peak)
            << "cell " << i / kDirCount << " dir " << i % kDirCount;
        ASSERT_EQ(cloud.dcl_dir_light[i].x, cloud.dcl_dir_light[i].z);
    }
}

TEST_F(BakedScene, SameSeedGivesTheSameFilesAndAnotherSeedAnotherStorm) {
    ScratchDir again, other;
    BakeReport r1, r2;
    ASSERT_EQ(run_bake(small_options(again.path, 5), r1), "");
    ASSERT_EQ(run_bake(small_options(other.path, 6), r2), "");
    ASSERT_EQ(r1.files.size(), report_->files.size());
    ASSERT_EQ(r1.files.size(), 12u);
    for (const BakedFile& f : report_->files) {
        EXPECT_EQ(read_binary_file(again.file(f.name)), read_binary_file(dir_->file(f.name))) << f.name;
    }
    EXPECT_NE(read_binary_file(other.file("storm.grd")), read_binary_file(dir_->file("storm.grd")));
    EXPECT_NE(read_binary_file(other.file("thunder.wav")), read_binary_file(dir_->file("thunder.wav")));
}
