// cloud_import_test.cpp -- user clouds from OpenVDB and grid files: resampling, grid choice, placement,
// rejections, export
#include "tools/bake/import/cloud_import.h"

#include <gtest/gtest.h>
#include <openvdb/io/File.h>
#include <openvdb/openvdb.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>

#include "support/file_limits.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using Density = std::function<float(int, int, int)>;

// A float grid of voxel edge `voxel` holding density(i, j, k) over [0, n) wherever it is not 0.
openvdb::FloatGrid::Ptr make_grid(const std::string& name, const int n[3], double voxel,
                                  const Density& density) {
    openvdb::initialize();
    auto grid = openvdb::FloatGrid::create(0.0f);
    grid->setName(name);
    grid->setTransform(openvdb::math::Transform::createLinearTransform(voxel));
    auto acc = grid->getAccessor();
    for (int k = 0; k < n[2]; ++k) {
        for (int j = 0; j < n[1]; ++j) {
            for (int i = 0; i < n[0]; ++i) {
                const float v = density(i, j, k);
                if (v != 0.0f) acc.setValue(openvdb::Coord(i, j, k), v);
            }
        }
    }
    return grid;
}

void write_vdb(const std::string& path, const openvdb::GridPtrVec& grids) {
    openvdb::io::File file(path);
    file.write(grids);
    file.close();
}

// An ellipsoid filling the n-voxel box, densest (`peak`) in the middle.
Density ellipsoid(const int n[3], float peak) {
    const int a = n[0], b = n[1], c = n[2];
    return [=](int i, int j, int k) {
        const double x = (i + 0.5) / a * 2 - 1, y = (j + 0.5) / b * 2 - 1, z = (k + 0.5) / c * 2 - 1;
        const double r = std::sqrt(x * x + y * y + z * z);
        return r < 1.0 ? static_cast<float>(peak * (1.0 - r)) : 0.0f;
    };
}

BakeOptions cloud_options(const std::string& file, const std::string& dir) {
    BakeOptions o;
    o.cloud_file = file;
    o.out_dir = dir;
    o.cells_across = 32;
    o.paths = 4;
    o.coeffs = 8;
    o.quiet = true;
    return o;
}

int nonzero(const CloudBytes& c) {
    return static_cast<int>(std::count_if(c.bytes.begin(), c.bytes.end(), [](uint8_t b) { return b > 0; }));
}

uint8_t byte_at(const CloudBytes& c, int i, int j, int k) {
    return c.bytes[(static_cast<size_t>(k) * c.ny + j) * c.nx + i];
}

}  // namespace

TEST(CloudImport, KeepsTheAspectScalesBytesFromTheDataAndSetsTheDepth) {
    ScratchDir tmp;
    const int n[3] = {80, 48, 20};  // a flattened cloud, 25 m voxels: 2 km x 1.2 km x 500 m
    write_vdb(tmp.file("a.vdb"), {make_grid("density", n, 25.0, ellipsoid(n, 2.0f))});
    write_vdb(tmp.file("b.vdb"), {make_grid("density", n, 25.0, ellipsoid(n, 6.0f))});
    ImportedCloud a, b;
    ASSERT_EQ(import_cloud(cloud_options(tmp.file("a.vdb"), tmp.file("x")), a), "");
    ASSERT_EQ(import_cloud(cloud_options(tmp.file("b.vdb"), tmp.file("x")), b), "");
    // Powers of two, the longest side 32 cells, the others padded round the cloud's own 19.2 and 8 cells.
    EXPECT_EQ(a.cloud.nx, 32);
    EXPECT_EQ(a.cloud.ny, 32);
    EXPECT_EQ(a.cloud.nz, 8);
    EXPECT_NEAR(a.cloud_cells[1] / a.cloud_cells[0], 48.0 / 80.0, 1e-9);
    EXPECT_NEAR(a.cloud_cells[2] / a.cloud_cells[0], 20.0 / 80.0, 1e-9);
    EXPECT_EQ(a.supersamples[0], 3);  // 2.5 voxels per cell
    // The padding across is empty and even on both sides.
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(byte_at(a.cloud, i, 0, 4), 0);
        EXPECT_EQ(byte_at(a.cloud, i, 31, 4), 0);
    }
    EXPECT_EQ(byte_at(a.cloud, 16, 16, 4), byte_at(a.cloud, 16, 15, 4));
    // The bytes follow the data's own range: the top 0.1 % clip at most, the peak reaches 255, and
    // three times the density gives the same bytes with three times the byte step.
    const int cells = nonzero(a.cloud);
    EXPECT_GT(cells, 1000);
    EXPECT_LE(a.clipped, cells / 1000 + 1);
    EXPECT_EQ(*std::max_element(a.cloud.bytes.begin(), a.cloud.bytes.end()), 255);
    EXPECT_EQ(a.cloud.bytes, b.cloud.bytes);
    EXPECT_NEAR(b.density_per_byte / a.density_per_byte, 3.0, 1e-5);
    // 500 m tall at 0.05 per metre: depth 25 through the densest column, and the extinction gives it.
    EXPECT_NEAR(a.core_depth, 25.0, 1e-9);
    double column = 0.0;
    const double cell = kCloudSpanUnits / 32.0;
    for (int j = 0; j < 32; ++j) {
        for (int i = 0; i < 32; ++i) {
            double sum = 0.0;
            for (int k = 0; k < 8; ++k) sum += byte_at(a.cloud, i, j, k) * a.cloud.byte_scale * cell;
            column = std::max(column, sum);
        }
    }
    EXPECT_NEAR(column * a.extinction, 25.0, 1e-3);
    // -height 4000 says the cloud is really 4 km tall: the depth is capped, and the scene unit grows.
    BakeOptions tall = cloud_options(tmp.file("a.vdb"), tmp.file("x"));
    tall.height_m = 4000.0;
    ImportedCloud t;
    ASSERT_EQ(import_cloud(tall, t), "");
    EXPECT_DOUBLE_EQ(t.core_depth, kMaxCoreDepth);
    EXPECT_NEAR(t.metres_per_unit / a.metres_per_unit, 4000.0 / 500.0, 1e-9);
    EXPECT_EQ(t.cloud.bytes, a.cloud.bytes);
    EXPECT_EQ(a.warnings.find("units"), std::string::npos) << a.warnings;
    // The same cloud 32 file units tall is no cloud in metres: its units count as unknown and it is
    // taken as tall as a grid file, with one line saying so; -height still decides, and 100 units
    // tall are metres.
    for (const double voxel : {1.6, 5.0, 1001.0}) {
        write_vdb(tmp.file("u.vdb"), {make_grid("density", n, voxel, ellipsoid(n, 2.0f))});
        ImportedCloud u;
        ASSERT_EQ(import_cloud(cloud_options(tmp.file("u.vdb"), tmp.file("x")), u), "");
        const double metres = voxel == 5.0 ? 100.0 : kAssumedGridHeight;
        EXPECT_NEAR(u.source_size[2] * u.metres_per_source_unit, metres, 1e-6) << voxel;
        EXPECT_EQ(u.warnings.find("taking its units as unknown") != std::string::npos, voxel != 5.0)
            << u.warnings;
        EXPECT_EQ(std::count(u.warnings.begin(), u.warnings.end(), '\n'), voxel == 5.0 ? 0 : 1) << u.warnings;
    }
    // A stray voxel far off neither stretches the box nor shrinks the cloud; the import says so.
    auto strays = make_grid("density", n, 25.0, ellipsoid(n, 2.0f));
    strays->tree().setValue(openvdb::Coord(2000, -300, 5), 1.5f);
    write_vdb(tmp.file("s.vdb"), {strays});
    ImportedCloud st;
    ASSERT_EQ(import_cloud(cloud_options(tmp.file("s.vdb"), tmp.file("x")), st), "");
    for (int k = 0; k < 3; ++k) EXPECT_DOUBLE_EQ(st.source_size[k], a.source_size[k]) << k;
    EXPECT_EQ(st.cloud.bytes, a.cloud.bytes);
    EXPECT_NE(st.warnings.find("strays far from the cloud"), std::string::npos) << st.warnings;
    tall.cloud_file = tmp.file("u.vdb");
    ASSERT_EQ(import_cloud(tall, t), "");
    EXPECT_NEAR(t.source_size[2] * t.metres_per_source_unit, 4000.0, 1e-6);
    EXPECT_TRUE(t.warnings.empty()) << t.warnings;
}

TEST(CloudImport, SlabWithAHoleKeepsTheHoleAndCleansBadValues) {
    ScratchDir tmp;
    const int n[3] = {64, 64, 8};
    auto slab = [](int i, int j, int) {
        const double dx = i + 0.5 - 32, dy = j + 0.5 - 32;
        return dx * dx + dy * dy < 10.0 * 10.0 ? 0.0f : 1.0f;
    };
    auto grid = make_grid("density", n, 10.0, slab);
    // Damaged values: NaN, infinity and negatives in one corner of the slab.
    auto acc = grid->getAccessor();
    acc.setValue(openvdb::Coord(0, 0, 0), std::nanf(""));
    acc.setValue(openvdb::Coord(1, 0, 0), INFINITY);
    acc.setValue(openvdb::Coord(2, 0, 0), -3.0f);
    acc.setValue(openvdb::Coord(3, 0, 0), -0.5f);
    write_vdb(tmp.file("slab.vdb"), {grid});
    ImportedCloud c;
    BakeOptions o = cloud_options(tmp.file("slab.vdb"), tmp.file("x"));
    ASSERT_EQ(import_cloud(o, c), "");
    EXPECT_EQ(c.cloud.nx, 32);
    EXPECT_EQ(c.cloud.ny, 32);
    EXPECT_EQ(c.cloud.nz, 4);
    EXPECT_EQ(c.non_finite, 2);
    EXPECT_EQ(c.negative, 2);
    EXPECT_NE(c.warnings.find("2 non-finite and 2 negative"), std::string::npos) << c.warnings;
    // The hole stays empty through the whole slab; the slab round it is full and even.
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(byte_at(c.cloud, 16, 16, k), 0);
        EXPECT_EQ(byte_at(c.cloud, 15, 15, k), 0);
        EXPECT_EQ(byte_at(c.cloud, 5, 16, k), 255);
        EXPECT_EQ(byte_at(c.cloud, 16, 27, k), 255);
    }
    // The placement: base above the ground, the eye below it and outside the cloud's footprint, and the
    // whole cloud box (the 640 x 640 x 80 m slab: 128 x 128 x 16 units) in the viewer's window, checked
    // with a look-at projection of our own.
    const DemoLayout l = cloud_layout(c, o);
    EXPECT_GT(l.box_low[2], 0.0f);
    // 80 m is no cloud's height, so the file's units count as unknown and the slab stands the default
    // 8000 m tall: 64 km across in 128 units, and the scene's thunder is made at 500 m to the unit.
    EXPECT_FLOAT_EQ(l.thunder_metres_per_unit, 500.0f);
    const double ce = std::cos(l.elevation);
    const double eye[3] = {l.target[0] + l.distance * ce * std::cos(l.azimuth),
                           l.target[1] + l.distance * ce * std::sin(l.azimuth),
                           l.target[2] + l.distance * std::sin(l.elevation)};
    EXPECT_LT(eye[2], l.box_low[2]);
    const double half_w = 64.0, half_d = 64.0, height = 16.0;
    EXPECT_TRUE(std::fabs(eye[0]) > half_w || std::fabs(eye[1]) > half_d);
    double f[3] = {l.target[0] - eye[0], l.target[1] - eye[1], l.target[2] - eye[2]};
    const double fl = std::sqrt(f[0] * f[0] + f[1] * f[1] + f[2] * f[2]);
    for (double& v : f) v /= fl;
    double s[3] = {f[1], -f[0], 0.0};  // forward x up
    const double sl = std::hypot(s[0], s[1]);
    s[0] /= sl;
    s[1] /= sl;
    const double u[3] = {s[1] * f[2] - s[2] * f[1], s[2] * f[0] - s[0] * f[2], s[0] * f[1] - s[1] * f[0]};
    const double t = std::tan(l.fovy / 2 * M_PI / 180.0);
    for (int corner = 0; corner < 8; ++corner) {
        const double p[3] = {l.box_low[0] + ((corner & 1) ? 2 * half_w : 0.0),
                             l.box_low[1] + ((corner & 2) ? 2 * half_d : 0.0),
                             l.box_low[2] + ((corner & 4) ? height : 0.0)};
        const double d[3] = {p[0] - eye[0], p[1] - eye[1], p[2] - eye[2]};
        const double depth = d[0] * f[0] + d[1] * f[1] + d[2] * f[2];
        ASSERT_GT(depth, 0.0) << "corner " << corner;
        EXPECT_LE(std::fabs((d[0] * s[0] + d[1] * s[1] + d[2] * s[2]) / depth), t) << "corner " << corner;
        EXPECT_LE(std::fabs((d[0] * u[0] + d[1] * u[1] + d[2] * u[2]) / depth), t) << "corner " << corner;
    }
    float low[3], high[3];
    cloud_world_box(c, l, low, high);
    EXPECT_FLOAT_EQ(high[2] - low[2], 16.0f);
    EXPECT_TRUE(cloud_screen_box(l, low, high, kViewerWindow).inside);
}

TEST(CloudImport, ChoosesTheNamedTheDensityOrTheFirstFloatGrid) {
    ScratchDir tmp;
    const int n[3] = {16, 16, 16};
    openvdb::initialize();
    auto velocity = openvdb::Vec3SGrid::create();
    velocity->setName("velocity");
    velocity->tree().setValue(openvdb::Coord(1, 1, 1), openvdb::Vec3s(1, 0, 0));
    auto smoke = make_grid("smoke", n, 1.0, ellipsoid(n, 1.0f));
    auto heat = make_grid("heat", n, 1.0, [](int i, int, int) { return i < 8 ? 1.0f : 0.0f; });
    auto density = make_grid("density", n, 1.0, [](int, int, int k) { return k < 4 ? 1.0f : 0.0f; });
    write_vdb(tmp.file("two.vdb"), {velocity, smoke, heat});
    write_vdb(tmp.file("three.vdb"), {smoke, density});
    write_vdb(tmp.file("vectors.vdb"), {velocity});
    ImportedCloud c;
    BakeOptions o = cloud_options(tmp.file("two.vdb"), tmp.file("x"));
    o.cells_across = 16;
    ASSERT_EQ(import_cloud(o, c), "");
    // The first float grid in the file's own order (OpenVDB keeps them last written first); the vector
    // grid is passed over.
    EXPECT_EQ(c.grid_name, "heat");
    o.cloud_grid = "heat";
    ASSERT_EQ(import_cloud(o, c), "");
    EXPECT_EQ(c.grid_name, "heat");
    EXPECT_NEAR(c.cloud_cells[0], 8.0, 1e-9);  // only the active half of the grid counts
    o.cloud_grid.clear();
    o.cloud_file = tmp.file("three.vdb");
    ASSERT_EQ(import_cloud(o, c), "");
    EXPECT_EQ(c.grid_name, "density");
    // A missing name lists what exists; a vector grid is not a density.
    o.cloud_file = tmp.file("two.vdb");
    o.cloud_grid = "dens";
    std::string err = import_cloud(o, c);
    EXPECT_NE(err.find("no grid named 'dens'"), std::string::npos) << err;
    EXPECT_NE(err.find("'heat' (float), 'smoke' (float), 'velocity' (vec3s)"), std::string::npos) << err;
    o.cloud_grid = "velocity";
    err = import_cloud(o, c);
    EXPECT_NE(err.find("not float densities"), std::string::npos) << err;
    o.cloud_grid.clear();
    o.cloud_file = tmp.file("vectors.vdb");
    err = import_cloud(o, c);
    EXPECT_NE(err.find("holds no float grid"), std::string::npos) << err;
}

TEST(CloudImport, RejectsBadInputAndLeavesNothingUnderTheFolder) {
    ScratchDir tmp;
    const int n[3] = {16, 16, 16};
    write_text_file(tmp.file("notes.vdb"), "these are not densities\n");
    write_text_file(tmp.file("hello.txt"), "hello world, a text file and no cloud\n");
    openvdb::initialize();
    auto vel = openvdb::Vec3SGrid::create();
    vel->setName("v");
    vel->tree().setValue(openvdb::Coord(0, 0, 0), openvdb::Vec3s(1, 0, 0));
    write_vdb(tmp.file("vectors.vdb"), {vel});
    write_vdb(tmp.file("empty.vdb"), {make_grid("density", n, 1.0, [](int, int, int) { return 0.0f; })});
    auto zeros = make_grid("density", n, 1.0, [](int, int, int) { return 0.0f; });
    zeros->tree().setValueOn(openvdb::Coord(3, 3, 3), 0.0f);
    zeros->tree().setValueOn(openvdb::Coord(4, 3, 3), -1.0f);
    write_vdb(tmp.file("zeros.vdb"), {zeros});
    write_vdb(tmp.file("ok.vdb"), {make_grid("density", n, 100.0, ellipsoid(n, 1.0f))});
    // A file cut off in the middle of its grid.
    const int big[3] = {40, 40, 40};
    write_vdb(tmp.file("full.vdb"), {make_grid("density", big, 100.0, [](int i, int j, int k) {
                  return static_cast<float>((i * 7 + j * 13 + k * 31) % 17 + 1);
              })});
    std::vector<uint8_t> bytes = read_binary_file(tmp.file("full.vdb"));
    bytes.resize(bytes.size() / 2);
    write_binary_file(tmp.file("cut.vdb"), bytes);
    // A grid file whose header promises more cells than it holds.
    std::vector<uint8_t> grd;
    put_i32(grd, 8);
    put_i32(grd, 8);
    put_i32(grd, 8);
    put_f32(grd, 1.0f / 256);
    grd.resize(grd.size() + 100, 7);
    write_binary_file(tmp.file("short.grd"), grd);
    fs::create_directory(tmp.file("mine"));
    write_text_file(tmp.file("mine/thesis.txt"), "keep me\n");

    struct Case {
        std::string file, grid, expect;
        int32_t across = 32;
        std::string dir = "out";
    };
    const Case cases[] = {
        {"notes.vdb", "", "neither an OpenVDB file nor a grid file"},
        {"hello.txt", "", "hello.txt is neither an OpenVDB file nor a grid file: it starts neither with"},
        {"missing.vdb", "", "no cloud file"},
        {"vectors.vdb", "", "holds no float grid"},
        {"ok.vdb", "cloud", "no grid named 'cloud'; its grids: 'density' (float)"},
        {"empty.vdb", "", "is empty"},
        {"zeros.vdb", "", "holds no density above 0"},
        {"cut.vdb", "", "cut.vdb cannot be read as an OpenVDB file: "},
        {"short.grd", "", "holds 512 bytes of cells, this one 100"},
        {"ok.vdb", "", "of memory, more than half of this machine's", 2048},
        {"ok.vdb", "", "holds files of its own", 32, "mine"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " " + c.expect);
        BakeOptions o = cloud_options(tmp.file(c.file), tmp.file(c.dir));
        o.cloud_grid = c.grid;
        o.cells_across = c.across;
        BakeReport report;
        const std::string err = run_cloud_bake(o, report);
        EXPECT_NE(err.find(c.expect), std::string::npos) << err;
        EXPECT_EQ(err.find("9223372036854775807"), std::string::npos) << err;  // no sizes read from text
        EXPECT_FALSE(fs::exists(tmp.file("out")));
        EXPECT_FALSE(fs::exists(tmp.file(c.dir + ".partial")));
    }
    EXPECT_TRUE(fs::exists(tmp.file("mine/thesis.txt")));

    // Values that compress well make a file far smaller than the grid it loads into: the grid's loaded
    // size is refused before its values are expanded, from the size the writer recorded and, when the
    // file records none, from the grid's structure.
    const int dense_n[3] = {128, 128, 64};
    auto dense = make_grid("density", dense_n, 10.0, [](int, int, int) { return 1.0f; });
    write_vdb(tmp.file("dense.vdb"), {dense});
    {
        openvdb::io::File file(tmp.file("bare.vdb"));
        file.setGridStatsMetadataEnabled(false);
        file.write({dense});
        file.close();
    }
    const uint64_t limit = uint64_t{2} << 20;  // 4 MB of leaf values would load; 2 MB allowed
    const uint64_t saved = reader_limits.memory_bytes;
    reader_limits.memory_bytes = limit;
    for (const char* name : {"dense.vdb", "bare.vdb"}) {
        SCOPED_TRACE(name);
        EXPECT_LT(fs::file_size(tmp.file(name)), limit / 2);
        BakeReport report;
        const std::string err = run_cloud_bake(cloud_options(tmp.file(name), tmp.file("out")), report);
        EXPECT_NE(err.find("MB once loaded, more than half of this machine's memory"), std::string::npos)
            << err;
        EXPECT_FALSE(fs::exists(tmp.file("out")));
    }
    reader_limits.memory_bytes = saved;
}

TEST(CloudImport, ExportAndReimportKeepEveryByte) {
    ScratchDir tmp;
    // A scene of our own: a 32 x 16 x 8 grid with an empty border and every byte value inside.
    CloudBytes g;
    g.nx = 32;
    g.ny = 16;
    g.nz = 8;
    g.byte_scale = kCloudByteScale;
    g.bytes.assign(32 * 16 * 8, 0);
    for (int k = 1; k < 7; ++k) {
        for (int j = 2; j < 14; ++j) {
            for (int i = 3; i < 30; ++i)
                g.bytes[(k * 16 + j) * 32 + i] = static_cast<uint8_t>((i * 37 + j * 11 + k) % 256);
        }
    }
    const std::vector<uint8_t> file = grid_file_bytes(g);
    fs::create_directory(tmp.file("scene"));
    write_binary_file(tmp.file("scene/cloud.grd"), file);
    write_text_file(tmp.file("scene/test.dat"),
                    "cloud\ncloud.grd 0.04\n1.5 16 8 24\n0.6 0.999 0.85\n1.5 1 1\n4\n1 2\n"
                    "wave\n2.0 2\nthunder.wav 1.0\nrain.wav 0.5\nend\n");
    BakeOptions o;
    o.out_dir = tmp.file("scene");
    o.export_file = tmp.file("scene.vdb");
    BakeReport report;
    // The export reads the cloud, not the sounds (which this folder does not even have).
    testing::internal::CaptureStdout();
    const std::string exported = run_vdb_export(o, report);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(exported, "");
    EXPECT_EQ(out.find("thunder.wav"), std::string::npos) << out;
    // The VDB carries the scene's cell size and places voxel (0, 0, 0) at the grid's low corner, which
    // the viewer's centring puts at origin minus half the cell counts: (0, 0, 20).
    openvdb::io::File in(tmp.file("scene.vdb"));
    in.open();
    auto grid = openvdb::gridPtrCast<openvdb::FloatGrid>(in.readGrid("density"));
    in.close();
    ASSERT_TRUE(grid);
    EXPECT_NEAR(grid->voxelSize()[0], 1.5, 1e-9);
    const openvdb::Vec3d corner = grid->indexToWorld(openvdb::Vec3d(-0.5, -0.5, -0.5));
    EXPECT_NEAR(corner[0], 0.0, 1e-6);
    EXPECT_NEAR(corner[1], 0.0, 1e-6);
    EXPECT_NEAR(corner[2], 20.0, 1e-6);
    EXPECT_FLOAT_EQ(grid->tree().getValue(openvdb::Coord(5, 4, 3)), g.bytes[(3 * 16 + 4) * 32 + 5] / 256.0f);
    // Back to a grid file, from the VDB and from the grid file itself: the same bytes.
    for (const std::string& source : {tmp.file("scene.vdb"), tmp.file("scene/cloud.grd")}) {
        SCOPED_TRACE(source);
        ImportedCloud c;
        BakeOptions back;
        back.cloud_file = source;
        ASSERT_EQ(import_cloud(back, c), "");
        EXPECT_EQ(grid_file_bytes(c.cloud), file);
    }
}
