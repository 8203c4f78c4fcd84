// bake_scene_test.cpp -- a small bake read back with the viewer's own readers, relit, and baked again
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>

#include "app/strike_export.h"
#include "illumination/ambient_light.h"
#include "illumination/directions.h"
#include "illumination/in_scattering.h"
#include "illumination/tables.h"
#include "lightning/lightning_grid.h"
#include "lightning/reference_strike.h"
#include "render/sky_light.h"
#include "scene/scene.h"
#include "support/file_limits.h"
#include "test_support.h"
#include "tools/bake/bake.h"
#include "tools/bake/table/exposure.h"
#include "tools/bake/table/shards.h"
#include "tools/bake/table/table_bake.h"
#include "tools/bake/table/table_budget.h"

namespace {

// A bake small enough for a unit test: 8 x 8 x 4 coarse cells, a few coefficients per record.
BakeOptions small_options(const std::string& dir, uint32_t seed) {
    BakeOptions o;
    o.out_dir = dir;
    o.grid_nx = 16;
    o.grid_ny = 16;
    o.grid_nz = 8;
    o.dscl = 2;
    o.coeffs = 8;
    o.table_mb = 0.0;  // the per-record rule: each cell's records stand alone
    o.seed = seed;
    o.paths = 32;
    o.threads = 2;
    o.quiet = true;
    return o;
}

// One byte string per lightning cell of a base intensity file (its 26 records), after the header.
std::vector<std::vector<uint8_t>> records_by_cell(const std::vector<uint8_t>& file) {
    auto i32 = [&](size_t at) {
        int32_t v = 0;
        std::memcpy(&v, &file.at(at + 3) - 3, 4);
        return v;
    };
    std::vector<std::vector<uint8_t>> out;
    size_t at = 12;
    for (int32_t k = 0; k < i32(0); ++k) {
        const size_t start = at;
        for (int32_t d = 0; d < i32(8); ++d) at += 8 + 8 * static_cast<size_t>(i32(at));
        out.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(start),
                         file.begin() + static_cast<std::ptrdiff_t>(at));
    }
    EXPECT_EQ(at, file.size());
    return out;
}

// A copy of the baked folder without its tables, with `from` replaced by `to` in its scene file.
void copy_scene(const std::string& from_dir, const std::string& to_dir, const std::string& from = "",
                const std::string& to = "") {
    namespace fs = std::filesystem;
    fs::copy(from_dir, to_dir, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::remove(to_dir + "/basic_intensity_cmp.dat");
    fs::remove(to_dir + "/genk.tbl");
    if (from.empty()) return;
    const std::vector<uint8_t> bytes = read_binary_file(to_dir + "/test.dat");
    std::string text(bytes.begin(), bytes.end());
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    write_text_file(to_dir + "/test.dat", text);
}

BakeOptions tables_options(const std::string& dir) {
    BakeOptions o = small_options(dir, 5);
    o.tables_only = true;
    return o;
}

class BakedScene : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<ScratchDir>();
        report_ = std::make_unique<BakeReport>();
        ASSERT_EQ(run_bake(small_options(dir_->path, 5), *report_), "");
        scene_ = std::make_unique<Scene>();
        ASSERT_EQ(read_scene_folder(dir_->path, "", *scene_), "");
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
    // Shaded physically, with the exposure that the table scale gives (read back from the file's text).
    EXPECT_TRUE(c.shading.physical);
    const double exposure = physical_exposure(report_->tables.table_scale, s);
    EXPECT_GT(exposure, 0.0);
    EXPECT_NEAR(c.shading.exposure, exposure, 1e-5 * exposure);
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
    EXPECT_FLOAT_EQ(s.thunder_metres_per_unit, 8000.0f / 128.0f);  // an 8 km storm
    ASSERT_EQ(s.textures.size(), 1u);
    EXPECT_EQ(s.textures[0].width, 64);
    EXPECT_TRUE(s.sky_built);
}

// The strike export's sun and sky are the sources the ambient table was baked with, carried from viewer
// units back into the point sources' unit (viewer = true x S / 1e9), so that a path tracer lights the
// cloud with the sun and the strike in the viewer's ratio.
TEST_F(BakedScene, StrikeExportCarriesTheBakedSunAndSkyInTheSourcesUnit) {
    Scene s = *scene_;
    const double table_scale = report_->tables.table_scale;
    LightningGrid grid;
    setup_lightning_grid(grid, s.lightning, s.cloud);
    Vec3 sun, sky;
    ambient_sources(s, physical_exposure(table_scale, s), sun, sky);
    ASSERT_GT(sun.x, 0.0f);
    ASSERT_GT(sky.z, 0.0f);
    const StrikeAmbient a = make_strike_ambient(grid, s);
    ASSERT_TRUE(a.present);
    const double to_viewer = table_scale / 1e9;
    const float got[6] = {a.sun_irradiance.x, a.sun_irradiance.y, a.sun_irradiance.z,
                          a.sky_radiance.x,   a.sky_radiance.y,   a.sky_radiance.z};
    const float want[6] = {sun.x, sun.y, sun.z, sky.x, sky.y, sky.z};
    for (int c = 0; c < 6; ++c) EXPECT_NEAR(got[c] * to_viewer, want[c], 1e-5 * want[c]) << c;
    // A white surface facing the sun shows at kSunWhiteLevel: F / pi = 0.5^3 a J_white for a white sun.
    const double white = white_radiance(grid, s) * s.cloud.optical[1];
    EXPECT_NEAR(a.sun_irradiance.x / (3.14159265 * s.light.sun_colour.x * white), 0.125, 1e-5);
    const Vec3 u = normalise(s.light.sun_dir);
    EXPECT_NEAR(dot(a.sun_direction, u), 1.0f, 1e-6f);
    EXPECT_NEAR(length(a.sun_direction), 1.0f, 1e-6f);

    // A sun below the horizon lights nothing through the ground, but the sky (coloured by the sun's
    // place) still does; the record keeps both keys after the lights.
    s.light.sun_dir = Vec3{u.x, u.y, -0.2f};
    const StrikeAmbient below = make_strike_ambient(grid, s);
    ASSERT_TRUE(below.present);
    EXPECT_EQ(below.sun_irradiance.x + below.sun_irradiance.y + below.sun_irradiance.z, 0.0f);
    EXPECT_GT(below.sky_radiance.z, 0.0f);
    StrikeExport record;
    record.ambient = below;
    const std::string json = strike_json(record);
    const size_t lights = json.find("\"lights\": []"), sun_at = json.find("\"sun\": {\"direction\": ["),
                 sky_at = json.find("\"sky\": {\"radiance\": [");
    EXPECT_TRUE(lights < sun_at && sun_at < sky_at && sky_at != std::string::npos) << json;
    EXPECT_EQ(json.substr(json.size() - 4), "]}}\n") << json;

    // Without lightning there is no white to set the unit by: no sun and no sky.
    s.lightning.discharge_box_high = s.lightning.discharge_box_low;
    LightningGrid none;
    setup_lightning_grid(none, s.lightning, s.cloud);
    EXPECT_FALSE(make_strike_ambient(none, s).present);
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
    LightningGrid lgrid;
    setup_lightning_grid(lgrid, scene_->lightning, cloud);
    EXPECT_EQ(report_->tables.lightning_cells, lightning_cell_count(lgrid));

    // 41 sources: the viewer bins 0, 20 and 40 (under the base, inside the cloud, near the ground).
    std::vector<Vec3> pos(41, Vec3{0, 0, 10}), intensity(41, Vec3{1, 1, 1});
    pos[0] = {3, -2, 27};
    pos[20] = {-30, 10, 45};
    pos[40] = {20, -20, 5};
    ASSERT_EQ(bin_point_sources(lgrid, pos.data(), intensity.data(), 41), 3);
    // Those cells baked again with every coefficient kept, so the relighting must give their fields back.
    ScratchDir copy;
    copy_scene(dir_->path, copy.path);
    BakeOptions o = tables_options(copy.path);
    o.coeffs = 8 * 8 * 4;
    for (int32_t k = 0; k < lightning_cell_count(lgrid); ++k) {
        if (lgrid.lgrid_light[0][static_cast<size_t>(k)] > 0.0f) o.cells.push_back({k, k});
    }
    BakeReport all;
    ASSERT_EQ(run_bake(o, all), "");
    GenkTable genk;
    ASSERT_TRUE(load_genk_table(genk, cloud, copy.file("genk.tbl")));
    BaseIntensityTable table;
    IlluminationWork work;
    ASSERT_TRUE(load_base_intensity(table, work, cloud, lgrid, copy.file("basic_intensity_cmp.dat")));
    // Linear output: the classic mapping at gamma 1, scale 1, so dcl_dir_light is the colour share times
    // w / 1e9; physical shading gives the same (checked after the sum).
    cloud.gamma_inv = 1.0f;
    cloud.light_scale = 1.0f;
    CloudGrid physical = cloud;
    cloud.shading.physical = false;
    ASSERT_TRUE(light_cloud_from_lightning_grid(lgrid, table, work, cloud, pos.data(), intensity.data(), 41));
    ASSERT_TRUE(physical.shading.physical);
    ASSERT_TRUE(
        light_cloud_from_lightning_grid(lgrid, table, work, physical, pos.data(), intensity.data(), 41));

    // The bake's own fields of the cells the viewer binned into, summed with the viewer's weights.
    const CoarseCloud coarse =
        make_coarse_cloud(cloud.grd_density, cloud.grd_numx, cloud.grd_numy, cloud.grd_numz, cloud.dscl,
                          cloud.grd_size, cloud.optical[0]);
    const TransportMedium medium = make_transport_medium(coarse, cloud.optical[1], cloud.optical[2]);
    const std::vector<SourceBox> sources = lightning_cell_sources(lgrid, cloud);
    const size_t m = static_cast<size_t>(coarse.count());
    std::vector<double> expected(m * kDirCount, 0.0), one;
    TransportScratch scratch;
    int lit = 0;
    for (int32_t iz = 0; iz < lgrid.lgrid_nz; ++iz) {
        for (int32_t iy = 0; iy < lgrid.lgrid_ny; ++iy) {
            for (int32_t ix = 0; ix < lgrid.lgrid_nx; ++ix) {
                const int32_t k = (iz * lgrid.lgrid_ny + iy) * lgrid.lgrid_nx + ix;
                const float total = lgrid.lgrid_light[0][static_cast<size_t>(k)];
                if (total <= 0.0f) continue;
                ++lit;
                trace_multiple_scattering(medium, sources[static_cast<size_t>(k)], small_options("", 5).paths,
                                          cell_stream(5, k), scratch, one);
                for (size_t i = 0; i < expected.size(); ++i) {
                    expected[i] += total * all.tables.table_scale * one[i] / 1e9 / 3.0;
                }
            }
        }
    }
    ASSERT_EQ(lit, 3);
    const double peak = *std::max_element(expected.begin(), expected.end());
    ASSERT_GT(peak, 0.0);
    for (size_t i = 0; i < expected.size(); ++i) {
        // The physical scene's table holds J = eta / sigma_s: times the bake's own sigma_s it gives the
        // bake's eta back; empty cells hold nothing.
        const double sigma_s = medium.sigma_t[i / kDirCount] * cloud.optical[1];
        const double eta = cloud.dcl_dir_light[i].x * sigma_s;
        ASSERT_NEAR(eta, sigma_s > 0.0 ? expected[i] : 0.0, 2e-5 * peak)
            << "cell " << i / kDirCount << " dir " << i % kDirCount;
        ASSERT_EQ(cloud.dcl_dir_light[i].x, cloud.dcl_dir_light[i].z);
        // The physical relight shows that J itself in the cloud's cells.
        if (sigma_s > 0.0) {
            ASSERT_NEAR(physical.dcl_dir_light[i].y, cloud.dcl_dir_light[i].x,
                        1e-5 * cloud.dcl_dir_light[i].x)
                << "cell " << i / kDirCount << " dir " << i % kDirCount;
        }
    }
}

TEST_F(BakedScene, SameSeedGivesTheSameFilesAndAnotherSeedAnotherStorm) {
    ScratchDir again, other;
    BakeReport r1, r2;
    ASSERT_EQ(run_bake(small_options(again.path, 5), r1), "");
    ASSERT_EQ(run_bake(small_options(other.path, 6), r2), "");
    ASSERT_EQ(r1.files.size(), report_->files.size());
    ASSERT_EQ(r1.files.size(), 13u);
    for (const BakedFile& f : report_->files) {
        EXPECT_EQ(read_binary_file(again.file(f.name)), read_binary_file(dir_->file(f.name))) << f.name;
    }
    EXPECT_NE(read_binary_file(other.file("storm.grd")), read_binary_file(dir_->file("storm.grd")));
    EXPECT_NE(read_binary_file(other.file("thunder.wav")), read_binary_file(dir_->file("thunder.wav")));
}

// A cell's records depend only on the seed and the cell: baked alone, on one thread, they equal the same
// cell of the full two-thread bake, and every other cell gets empty records.
TEST_F(BakedScene, CellsBakedAloneEqualTheSameCellsOfTheFullBake) {
    ScratchDir copy;
    copy_scene(dir_->path, copy.path);
    BakeOptions o = tables_options(copy.path);
    o.threads = 1;
    o.cells = {{3, 3}, {40, 45}, {1000, 1001}};
    BakeReport r;
    ASSERT_EQ(run_bake(o, r), "");
    EXPECT_EQ(r.tables.cells_baked, 9);
    EXPECT_EQ(r.tables.table_scale, report_->tables.table_scale);
    const auto full = records_by_cell(read_binary_file(dir_->file("basic_intensity_cmp.dat")));
    const auto part = records_by_cell(read_binary_file(copy.file("basic_intensity_cmp.dat")));
    ASSERT_EQ(full.size(), part.size());
    for (size_t k = 0; k < full.size(); ++k) {
        const bool baked = k == 3 || (k >= 40 && k <= 45) || k == 1000 || k == 1001;
        if (baked) {
            EXPECT_EQ(part[k], full[k]) << "cell " << k;
        } else {
            ASSERT_EQ(part[k].size(), 8u * kDirCount) << "cell " << k;
        }
    }
    EXPECT_GT(full[1000].size(), 8u * kDirCount);
    // The sun and the sky come from streams of their own: the same on one thread and on two.
    EXPECT_EQ(read_binary_file(copy.file("ambient_light.dat")),
              read_binary_file(dir_->file("ambient_light.dat")));
}

// The ambient table as the viewer uses it: read back for the baked cloud, lit more on the side the sun
// stands (+y), shown alone before a strike and in the dark frame after it, beneath a strike's light
// otherwise, and left out of classic shading.
TEST_F(BakedScene, AmbientLightIsTheCloudsLightBetweenStrikes) {
    CloudGrid cloud = scene_->cloud;
    ASSERT_TRUE(cloud.shading.physical);
    AmbientLight ambient;
    ASSERT_TRUE(load_ambient_light(ambient, cloud, dir_->file("ambient_light.dat")));
    const std::vector<uint8_t> file = read_binary_file(dir_->file("ambient_light.dat"));
    const size_t m = static_cast<size_t>(cloud.dcl_numx) * cloud.dcl_numy * cloud.dcl_numz;
    ASSERT_EQ(file.size(), 24 + m * kDirCount * 12);
    ASSERT_EQ(ambient.dir_light.size(), m * kDirCount);
    const std::vector<float> sigma = coarse_scattering(cloud);
    double near = 0.0, far = 0.0;
    for (size_t c = 0; c < m; ++c) {
        if (!(sigma[c] > 0.0f)) continue;
        for (size_t d = 0; d < static_cast<size_t>(kDirCount); ++d) {
            const Vec3 v = ambient.dir_light[c * kDirCount + d];
            Vec3 stored;
            std::memcpy(&stored, file.data() + 24 + (c * kDirCount + d) * 12, 12);
            ASSERT_EQ(v.x, stored.x);
            ASSERT_EQ(v.z, stored.z);
            const bool sunny =
                (c / static_cast<size_t>(cloud.dcl_numx)) % cloud.dcl_numy >= cloud.dcl_numy / 2u;
            (sunny ? near : far) += v.x + v.y + v.z;
        }
    }
    EXPECT_GT(far, 0.0);
    EXPECT_GT(near, 1.5 * far);

    LightningGrid lgrid;
    setup_lightning_grid(lgrid, scene_->lightning, cloud);
    lgrid.bin_every_source = true;
    BaseIntensityTable table;
    IlluminationWork work, alone_work;
    ASSERT_TRUE(load_base_intensity(table, work, cloud, lgrid, dir_->file("basic_intensity_cmp.dat")));
    std::vector<Vec3> lightning;
    auto equals = [&](const std::vector<Vec3>& a, const std::vector<Vec3>& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Vec3)) == 0;
    };
    EXPECT_TRUE(
        relight_cloud_with_ambient(lgrid, table, work, ambient, lightning, cloud, nullptr, nullptr, 0));
    EXPECT_TRUE(equals(cloud.dcl_dir_light, ambient.dir_light));

    std::vector<Vec3> pos(3, Vec3{0, 0, 10}), intensity(3, Vec3{40, 30, 20});
    pos[1] = {3, -2, 27};
    pos[2] = {-10, 10, 45};
    CloudGrid alone = scene_->cloud;
    ASSERT_TRUE(
        light_cloud_from_lightning_grid(lgrid, table, alone_work, alone, pos.data(), intensity.data(), 3));
    ASSERT_TRUE(relight_cloud_with_ambient(lgrid, table, work, ambient, lightning, cloud, pos.data(),
                                           intensity.data(), 3));
    EXPECT_TRUE(equals(lightning, alone.dcl_dir_light));
    for (size_t i = 0; i < m * kDirCount; ++i) {
        const Vec3 sum = add(ambient.dir_light[i], alone.dcl_dir_light[i]);
        ASSERT_EQ(cloud.dcl_dir_light[i].x, sum.x) << i;
        ASSERT_EQ(cloud.dcl_dir_light[i].z, sum.z) << i;
    }

    // The dark frame after the strike, then one with nothing new to do.
    EXPECT_TRUE(
        relight_cloud_with_ambient(lgrid, table, work, ambient, lightning, cloud, nullptr, nullptr, 0));
    EXPECT_TRUE(equals(cloud.dcl_dir_light, ambient.dir_light));
    EXPECT_FALSE(
        relight_cloud_with_ambient(lgrid, table, work, ambient, lightning, cloud, nullptr, nullptr, 0));
    EXPECT_TRUE(equals(cloud.dcl_dir_light, ambient.dir_light));

    // Classic shading draws what it drew without the table.
    CloudGrid classic = scene_->cloud, plain = scene_->cloud;
    classic.shading.physical = plain.shading.physical = false;
    IlluminationWork classic_work, plain_work;
    std::vector<Vec3> unused;
    ASSERT_TRUE(relight_cloud_with_ambient(lgrid, table, classic_work, ambient, unused, classic, pos.data(),
                                           intensity.data(), 3));
    ASSERT_TRUE(
        light_cloud_from_lightning_grid(lgrid, table, plain_work, plain, pos.data(), intensity.data(), 3));
    EXPECT_TRUE(equals(classic.dcl_dir_light, plain.dcl_dir_light));
    EXPECT_TRUE(unused.empty());
}

// Scenes the tables cannot be baked for, and options that do not fit the scene: a message, and no
// table under its final name (nor a temporary one).
TEST_F(BakedScene, TablesRefuseScenesTheyCannotBakeAndWriteNothing) {
    struct Case {
        std::string from, to, expected;
    };
    const std::vector<Case> cases = {
        {"lightning\n", "nothing\n", "no lightning section"},
        {"cloud\n", "nothing\n", "no cloud section"},
        {"\n2\n1.0000 3.0000", "\n4\n1.0000 3.0000", ""},  // fine: 4 x 4 x 2 coarse cells
        {"\n2\n1.0000 3.0000", "\n3\n1.0000 3.0000", "power of two"},
        {" 34.0000\n", " 4.0000\n", "no layers"},
        {"0.9990 0.8500", "1.5000 0.8500", "albedo"},
    };
    for (const Case& c : cases) {
        ScratchDir copy;
        copy_scene(dir_->path, copy.path, c.from, c.to);
        BakeReport r;
        const std::string error = run_bake(tables_options(copy.path), r);
        if (c.expected.empty()) {
            EXPECT_EQ(error, "");
            continue;
        }
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_FALSE(std::filesystem::exists(copy.file("basic_intensity_cmp.dat"))) << c.expected;
        EXPECT_FALSE(std::filesystem::exists(copy.file("basic_intensity_cmp.dat.part"))) << c.expected;
    }

    ScratchDir copy;
    copy_scene(dir_->path, copy.path);
    BakeReport r;
    BakeOptions o = tables_options(copy.path);
    o.cells = {{0, 0}, {5, 100000}};
    EXPECT_NE(run_bake(o, r).find("out of range"), std::string::npos);
    o = tables_options(copy.path);
    o.paths = 0;
    EXPECT_NE(run_bake(o, r).find("-paths"), std::string::npos);
    o = tables_options(copy.path + "/missing");
    EXPECT_NE(run_bake(o, r).find("no scene folder"), std::string::npos);
    std::filesystem::remove(copy.file("test.dat"));
    EXPECT_NE(run_bake(tables_options(copy.path), r).find("no scene file"), std::string::npos);
    copy_scene(dir_->path, copy.path);
    const uint64_t limit = reader_limits.memory_bytes;
    reader_limits.memory_bytes = 1 << 20;
    const std::string error = run_bake(tables_options(copy.path), r);
    reader_limits.memory_bytes = limit;
    EXPECT_NE(error.find("would need about"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(copy.file("basic_intensity_cmp.dat")));
}

// Shards of one bake merge into the very bytes of the one-process bake; the merge refuses shards of
// another seed or scene, a missing or doubled share and a file that is no shard, and writes nothing then.
TEST_F(BakedScene, ShardsMergeIntoTheOneProcessTableAndForeignShardsAreRefused) {
    ScratchDir copy;
    copy_scene(dir_->path, copy.path);
    auto shard = [&](int32_t i, uint32_t seed, const std::string& file, const std::string& scene_dir) {
        BakeOptions o = tables_options(scene_dir);
        o.seed = seed;
        o.shard_index = i;
        o.shard_count = 3;
        o.shard_file = file;
        BakeReport r;
        EXPECT_EQ(run_bake(o, r), "");
        return file;
    };
    const std::string s1 = shard(1, 5, copy.file("s1"), copy.path),
                      s2 = shard(2, 5, copy.file("s2"), copy.path),
                      s3 = shard(3, 5, copy.file("s3"), copy.path);
    auto merge = [&](std::vector<std::string> files) {
        BakeOptions o;
        o.merge_out = copy.file("merged.dat");
        o.merge_files = files;
        o.quiet = true;
        BakeReport r;
        return run_bake(o, r);
    };
    ASSERT_EQ(merge({s3, s1, s2}), "");
    EXPECT_EQ(read_binary_file(copy.file("merged.dat")),
              read_binary_file(dir_->file("basic_intensity_cmp.dat")));
    std::filesystem::remove(copy.file("merged.dat"));

    const std::string other_seed = shard(2, 6, copy.file("seed6"), copy.path);
    ScratchDir changed;
    copy_scene(dir_->path, changed.path, "0.9990 0.8500", "0.9980 0.8500");
    const std::string other_scene = shard(2, 5, copy.file("scene2"), changed.path);
    struct Case {
        std::vector<std::string> files;
        std::string expected;
    };
    // Share 2 as another build of the baker would have written it, and with a header that disagrees
    // with its trailer (the merged table copies the first file's header).
    auto altered = [&](const std::string& name, size_t at_from_end, size_t at_from_start) {
        std::vector<uint8_t> bytes = read_binary_file(s2);
        if (at_from_end > 0) bytes[bytes.size() - at_from_end] ^= 0x5A;
        if (at_from_start > 0) bytes[at_from_start] ^= 0x01;
        write_binary_file(copy.file(name), bytes);
        return copy.file(name);
    };
    const std::string other_build = altered("build2", kShardTrailerBytes - 48, 0);
    const std::string bad_header = altered("header2", 0, 4);
    for (const Case& c : {Case{{s1, other_seed, s3}, "seed"}, Case{{s1, other_scene, s3}, "different scenes"},
                          Case{{s1, other_build, s3}, "different builds of the baker"},
                          Case{{bad_header, s1, s3}, "header does not match its trailer"},
                          Case{{s1, s3}, "share 2 of 3 missing"}, Case{{s1, s2, s2, s3}, "given twice"},
                          Case{{s1, s2, dir_->file("basic_intensity_cmp.dat")}, "not a shard"}}) {
        const std::string error = merge(c.files);
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_FALSE(std::filesystem::exists(copy.file("merged.dat"))) << c.expected;
    }
    // Memory counts all shards together: a limit that each file fits but not all of them and the
    // merged table refuses the merge before anything is read.
    const uint64_t each = std::filesystem::file_size(s1);
    const uint64_t saved = reader_limits.memory_bytes;
    reader_limits.memory_bytes = 3 * each;
    const std::string error = merge({s1, s2, s3});
    reader_limits.memory_bytes = saved;
    EXPECT_NE(error.find("too much for this machine's memory"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(copy.file("merged.dat")));
}

// The table's one scale: the reference strike (a vertical channel from the cloud base to the ground under
// the middle of the lightning domain) lit through the viewer's own relighting and gamma mapping shows
// kReferenceLevel (its light-weighted mean), and the reference strike is that channel.
TEST_F(BakedScene, TableScaleBringsTheReferenceStrikeToItsLevel) {
    CloudGrid cloud = scene_->cloud;
    LightningGrid lgrid;
    setup_lightning_grid(lgrid, scene_->lightning, cloud);
    const auto ref = reference_strike_cells(*scene_);
    ASSERT_FALSE(ref.empty());
    // One column under the middle of the domain, layer by layer from the ground up to the cloud base,
    // each weighted by the channel length in it times the summed channel colours.
    const LightningSettings& s = scene_->lightning;
    const double per_length = s.emission_colour.x * s.channel_colour.x +
                              s.emission_colour.y * s.channel_colour.y +
                              s.emission_colour.z * s.channel_colour.z;
    const int32_t column = ref[0].first % (lgrid.lgrid_nx * lgrid.lgrid_ny);
    EXPECT_EQ(column, (lgrid.lgrid_ny / 2) * lgrid.lgrid_nx + lgrid.lgrid_nx / 2);
    double length = 0.0;
    for (size_t i = 0; i < ref.size(); ++i) {
        EXPECT_EQ(ref[i].first, static_cast<int32_t>(i) * lgrid.lgrid_nx * lgrid.lgrid_ny + column) << i;
        length += ref[i].second / per_length;
    }
    EXPECT_NEAR(length, cloud.grd_origin.z, 1e-4 * cloud.grd_origin.z);

    // Those cells baked with every coefficient kept, then lit by sources the viewer bins into exactly
    // them with the reference weights and the channel's colours.
    ScratchDir copy;
    copy_scene(dir_->path, copy.path);
    BakeOptions o = tables_options(copy.path);
    o.coeffs = cloud.dcl_numx * cloud.dcl_numy * cloud.dcl_numz;
    // The calibration's own walks, so the relit strike is the one the scale was set from.
    o.paths = kCalibrationPaths;
    o.seed = kCalibrationSeed;
    for (const auto& [k, w] : ref) o.cells.push_back({k, k});
    BakeReport baked;
    ASSERT_EQ(run_bake(o, baked), "");
    EXPECT_DOUBLE_EQ(baked.tables.table_scale, report_->tables.table_scale);  // whichever cells are baked
    BaseIntensityTable table;
    IlluminationWork work;
    ASSERT_TRUE(load_base_intensity(table, work, cloud, lgrid, copy.file("basic_intensity_cmp.dat")));
    const int count = static_cast<int>(ref.size()) * kBinStride;
    std::vector<Vec3> pos(static_cast<size_t>(count)), intensity(static_cast<size_t>(count));
    for (size_t i = 0; i < ref.size(); ++i) {
        const int32_t k = ref[i].first, ix = k % lgrid.lgrid_nx, iy = (k / lgrid.lgrid_nx) % lgrid.lgrid_ny;
        const int32_t iz = k / (lgrid.lgrid_nx * lgrid.lgrid_ny);
        const size_t at = i * kBinStride;
        pos[at] =
            Vec3{lgrid.box_low.x + (ix + 0.5f) * lgrid.cell_dx, lgrid.box_low.y + (iy + 0.5f) * lgrid.cell_dy,
                 0.5f * (lgrid.lgrid_z[iz] + lgrid.lgrid_z[iz + 1])};
        const float f = static_cast<float>(ref[i].second / (kBinStride * per_length));
        intensity[at] =
            Vec3{f * s.emission_colour.x * s.channel_colour.x, f * s.emission_colour.y * s.channel_colour.y,
                 f * s.emission_colour.z * s.channel_colour.z};
    }
    // The classic mapping, undone: v = (colour / light_scale)^(1 / gamma_inv) / red share is the linear
    // light the viewer relit, whose light-weighted mean the scale puts at kReferenceLevel.
    cloud.shading.physical = false;
    ASSERT_TRUE(light_cloud_reference(lgrid, table, work, cloud, pos.data(), intensity.data(), count));
    const double red = s.emission_colour.x * s.channel_colour.x / per_length;
    std::vector<double> linear(cloud.dcl_dir_light.size());
    for (size_t e = 0; e < linear.size(); ++e)
        linear[e] = std::pow(cloud.dcl_dir_light[e].x / cloud.light_scale, 1.0 / cloud.gamma_inv) / red;
    DisplayCurve curve;
    curve.gamma_inv = cloud.gamma_inv;
    curve.light_scale = cloud.light_scale;
    curve.share =
        std::max({s.emission_colour.x * s.channel_colour.x, s.emission_colour.y * s.channel_colour.y,
                  s.emission_colour.z * s.channel_colour.z}) /
        per_length;
    EXPECT_NEAR(display_value(curve, reference_radiance(linear)), kReferenceLevel, 0.005 * kReferenceLevel);
}

namespace {

// The reference strike's field of a seed and a number of walks per cell, summed with its weights.
std::vector<double> reference_field(const Scene& scene, uint32_t seed, int64_t paths) {
    const CloudGrid& cloud = scene.cloud;
    LightningGrid lgrid;
    setup_lightning_grid(lgrid, scene.lightning, cloud);
    const CoarseCloud coarse =
        make_coarse_cloud(cloud.grd_density, cloud.grd_numx, cloud.grd_numy, cloud.grd_numz, cloud.dscl,
                          cloud.grd_size, cloud.optical[0]);
    const TransportMedium medium = make_transport_medium(coarse, cloud.optical[1], cloud.optical[2]);
    const std::vector<SourceBox> sources = lightning_cell_sources(lgrid, cloud);
    std::vector<double> sum, one;
    TransportScratch scratch;
    for (const auto& [k, weight] : reference_strike_cells(scene)) {
        trace_multiple_scattering(medium, sources[static_cast<size_t>(k)], paths, cell_stream(seed, k),
                                  scratch, one);
        sum.resize(one.size(), 0.0);
        for (size_t i = 0; i < one.size(); ++i) sum[i] += weight * one[i];
    }
    return sum;
}

// The viewer's relit light (in-scattered radiance) of a channel under the cloud, from a table file; the
// binned grid into `binned` when given.
std::vector<Vec3> viewer_light(const Scene& scene, const std::string& table_file,
                               LightningGrid* binned = nullptr) {
    CloudGrid cloud = scene.cloud;
    LightningGrid lgrid;
    setup_lightning_grid(lgrid, scene.lightning, cloud);
    lgrid.bin_every_source = true;
    std::vector<Vec3> pos, intensity;
    // Off the middle, where the reference strike stands, and leaning.
    for (int i = 0; i <= 30; ++i) {
        pos.push_back(Vec3{-21.0f + 0.3f * i, 13.0f - 0.2f * i, cloud.cloud_box[2] - static_cast<float>(i)});
        intensity.push_back(scene.lightning.emission_colour);
    }
    BaseIntensityTable table;
    IlluminationWork work;
    EXPECT_TRUE(load_base_intensity(table, work, cloud, lgrid, table_file));
    EXPECT_TRUE(light_cloud_reference(lgrid, table, work, cloud, pos.data(), intensity.data(),
                                      static_cast<int>(pos.size())));
    if (binned) *binned = lgrid;
    return cloud.dcl_dir_light;
}

// RMS difference of the first channel over the cloud's coarse cells and every direction, in grey levels.
// RMS difference in grey levels of what a physical frame shows of two relit fields (in-scattered
// radiance, brightest channel, through the exposure and the tone curve), over the cloud's cells.
double display_rms(const std::vector<Vec3>& a, const std::vector<Vec3>& b, const CloudGrid& cloud) {
    const CoarseCloud coarse = make_coarse_cloud(cloud.grd_density, cloud.grd_numx, cloud.grd_numy,
                                                 cloud.grd_numz, cloud.dscl, cloud.grd_size, 1.0);
    EXPECT_TRUE(cloud.shading.physical);
    const double k = cloud.shading.exposure * cloud.optical[1];
    auto shown = [&](Vec3 j) { return std::pow(k * std::max({j.x, j.y, j.z, 0.0f}), cloud.gamma_inv); };
    double sum = 0.0;
    int n = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!(coarse.density[i / kDirCount] > 0.0)) continue;
        const double d = 255.0 * (shown(a[i]) - shown(b[i]));
        sum += d * d;
        ++n;
    }
    return std::sqrt(sum / std::max(n, 1));
}

}  // namespace

// The scale comes from the reference strike's light-weighted mean radiance, a statistic that moves by
// less than 3 % between seeds and from 1024 to 65 536 walks per cell; the bake traces it with walks of
// its own, so tables of any seed and -paths get the very same scale. Each lightning cell's sources fill
// where a channel can be in it: above the ground, and below the base in the cell that straddles it.
TEST_F(BakedScene, TableScaleHoldsOverSeedsAndWalks) {
    std::vector<double> levels;
    for (uint32_t seed : {1u, 2u}) {
        for (int64_t paths : {1024, 4096, 65536}) {
            levels.push_back(reference_radiance(reference_field(*scene_, seed, paths)));
        }
    }
    double mean = 0.0;
    for (double v : levels) mean += v / static_cast<double>(levels.size());
    ASSERT_GT(mean, 0.0);
    for (size_t i = 0; i < levels.size(); ++i) EXPECT_NEAR(levels[i] / mean, 1.0, 0.03) << "case " << i;

    ScratchDir copy;
    copy_scene(dir_->path, copy.path);
    BakeOptions o = tables_options(copy.path);
    o.seed = 9;
    o.paths = 64;
    o.cells = {{0, 0}};
    BakeReport r;
    ASSERT_EQ(run_bake(o, r), "");
    EXPECT_EQ(r.tables.table_scale, report_->tables.table_scale);

    LightningGrid lgrid;
    setup_lightning_grid(lgrid, scene_->lightning, scene_->cloud);
    // The demo's base lies on a layer boundary; raised a little it cuts a layer.
    CloudGrid cloud = scene_->cloud;
    cloud.cloud_box[2] += 2.5f;
    const std::vector<SourceBox> sources = lightning_cell_sources(lgrid, cloud);
    const Vec3 origin = cloud.grd_origin;
    const double base = cloud.cloud_box[2] - origin.z;
    int straddling = 0;
    for (int32_t iz = 0; iz < lgrid.lgrid_nz; ++iz) {
        const double lo_z = lgrid.lgrid_z[static_cast<size_t>(iz)] - origin.z;
        const double hi_z = lgrid.lgrid_z[static_cast<size_t>(iz) + 1] - origin.z;
        const SourceBox& b = sources[static_cast<size_t>(iz * kLgridNx * kLgridNy + 7 * kLgridNx + 3)];
        EXPECT_NEAR(b.lo[0], lgrid.box_low.x + 3 * lgrid.cell_dx - origin.x, 1e-4);
        EXPECT_NEAR(b.hi[1] - b.lo[1], lgrid.cell_dy, 1e-4);
        EXPECT_GE(b.lo[2], -origin.z - 1e-6);  // above the ground
        EXPECT_GE(b.lo[2], lo_z - 1e-6);
        if (lo_z < base && base < hi_z) {
            ++straddling;
            EXPECT_NEAR(b.hi[2], base, 1e-5);
        } else {
            EXPECT_NEAR(b.hi[2], hi_z, 1e-5);
        }
    }
    EXPECT_EQ(straddling, 1);
}

// Under a size budget the coefficients go where the loss would show after the display curve: the file
// keeps to its size, and a strike the bake never saw (off the middle, leaning) is closer on screen to the
// table with every coefficient than the per-record rule's table of the same size.
TEST_F(BakedScene, SizeBudgetKeepsItsSizeAndBeatsThePerRecordRuleOnScreen) {
    auto bake = [&](const std::string& dir, int32_t coeffs, double mb, int64_t paths,
                    const CellRanges& cells) {
        copy_scene(dir_->path, dir);
        BakeOptions o = tables_options(dir);
        o.paths = paths;
        o.coeffs = coeffs;
        o.table_mb = mb;
        o.cells = cells;
        BakeReport r;
        EXPECT_EQ(run_bake(o, r), "");
        return r.tables;
    };
    ScratchDir rule_dir, budget_dir, truth_dir;
    const TableReport rule = bake(rule_dir.path, 8, 0.0, 128, {});
    const double mb = static_cast<double>(rule.table_bytes) / (1024.0 * 1024.0);
    const TableReport budget = bake(budget_dir.path, 8, mb, 128, {});
    EXPECT_LE(budget.table_bytes, static_cast<uint64_t>(mb * 1024.0 * 1024.0));
    EXPECT_GT(budget.table_bytes, rule.table_bytes - 16);
    EXPECT_TRUE(budget.budget);
    EXPECT_GT(budget.kept_energy, 0.0);
    EXPECT_LT(budget.display_error, budget.display_error_per_record);

    // The truth: the cells the strike lights, with 32 times the walks and every coefficient.
    LightningGrid lgrid;
    setup_lightning_grid(lgrid, scene_->lightning, scene_->cloud);
    CellRanges lit;
    viewer_light(*scene_, rule_dir.file("basic_intensity_cmp.dat"), &lgrid);
    for (int32_t k = 0; k < lightning_cell_count(lgrid); ++k) {
        if (lgrid.lgrid_light[0][static_cast<size_t>(k)] > 0.0f) lit.push_back({k, k});
    }
    ASSERT_GE(lit.size(), 3u);
    bake(truth_dir.path, 8 * 8 * 4, 0.0, 4096, lit);
    const std::vector<Vec3> truth = viewer_light(*scene_, truth_dir.file("basic_intensity_cmp.dat"));
    const double rule_error =
        display_rms(viewer_light(*scene_, rule_dir.file("basic_intensity_cmp.dat")), truth, scene_->cloud);
    const double budget_error =
        display_rms(viewer_light(*scene_, budget_dir.file("basic_intensity_cmp.dat")), truth, scene_->cloud);
    EXPECT_LT(budget_error, 0.9 * rule_error) << "budget " << budget_error << ", per record " << rule_error;

    // A budget below the header and the empty records is refused; so is one split over shards.
    ScratchDir small;
    copy_scene(dir_->path, small.path);
    BakeOptions o = tables_options(small.path);
    o.table_mb = 1e-4;
    BakeReport r;
    EXPECT_NE(run_bake(o, r).find("at least"), std::string::npos);
    o.table_mb = 1.0;
    o.shard_index = 1;
    o.shard_count = 2;
    EXPECT_NE(run_bake(o, r).find("-shard"), std::string::npos);
}
