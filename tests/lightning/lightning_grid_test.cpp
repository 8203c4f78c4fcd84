// lightning_grid_test.cpp -- lightning-grid layers, binning, the Haar transform and relighting the cloud
#include "lightning/lightning_grid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Domain 200 wide, 150 high; cloud from 100 to 150.
LightningSettings example_settings() {
    LightningSettings s;
    s.discharge_box_low = Vec3{-100.0f, -100.0f, 0.0f};
    s.discharge_box_high = Vec3{100.0f, 100.0f, 150.0f};
    return s;
}

CloudGrid example_cloud(int32_t nx = 2, int32_t ny = 1, int32_t nz = 1) {
    CloudGrid c;
    c.cloud_box = {-100.0f, -100.0f, 100.0f, 100.0f, 100.0f, 150.0f};
    c.dcl_numx = nx;
    c.dcl_numy = ny;
    c.dcl_numz = nz;
    c.dcl_size = 10.0f;
    c.dcl_dir_light.assign(static_cast<size_t>(nx * ny * nz * kDirCount), Vec3{});
    c.gamma_inv = 0.5f;
    c.light_scale = 2.0f;
    return c;
}

std::vector<std::string> setup_quietly(LightningGrid& grid, const LightningSettings& s, const CloudGrid& c) {
    testing::internal::CaptureStdout();
    setup_lightning_grid(grid, s, c);
    return split_lines(testing::internal::GetCapturedStdout());
}

// An empty table for the grid, to which tests add records.
BaseIntensityTable empty_table(const LightningGrid& grid, int32_t m) {
    BaseIntensityTable t;
    t.loaded = true;
    t.cell_count = lightning_cell_count(grid);
    t.coarse_count = m;
    t.dir_count = kDirCount;
    t.start.assign(static_cast<size_t>(t.cell_count) * kDirCount + 1, 0);
    t.trailing.assign(static_cast<size_t>(t.cell_count) * kDirCount, 0.0f);
    return t;
}

// Records must be added in record order (lightning cell, then direction).
void add_record(BaseIntensityTable& t, int32_t cell, int32_t d, const std::vector<int32_t>& index,
                const std::vector<float>& value) {
    const size_t r = static_cast<size_t>(cell) * kDirCount + static_cast<size_t>(d);
    t.index.insert(t.index.end(), index.begin(), index.end());
    t.value.insert(t.value.end(), value.begin(), value.end());
    for (size_t later = r + 1; later < t.start.size(); ++later)
        t.start[later] = static_cast<int64_t>(t.index.size());
}

int32_t lightning_cell(int32_t ix, int32_t iy, int32_t iz) { return (iz * kLgridNy + iy) * kLgridNx + ix; }

// Forward Haar transform written independently in double: pairs to averages and details, level by level
// from the full power-of-two length down, then a division by sqrt(n).
void forward_1d(std::vector<double>& a) {
    const size_t n = a.size();
    size_t len = 1;
    while (len * 2 <= n) len *= 2;
    for (; len >= 2; len /= 2) {
        std::vector<double> t(len);
        for (size_t i = 0; i < len / 2; ++i) {
            t[i] = (a[2 * i] + a[2 * i + 1]) / std::sqrt(2.0);
            t[len / 2 + i] = (a[2 * i] - a[2 * i + 1]) / std::sqrt(2.0);
        }
        std::copy(t.begin(), t.end(), a.begin());
    }
    for (double& v : a) v /= std::sqrt(static_cast<double>(n));
}

// The 3-D forward transform: lines along z, then y, then x (the inverse runs x, y, z).
std::vector<float> forward_3d(const std::vector<float>& g, int nx, int ny, int nz) {
    std::vector<double> d(g.begin(), g.end());
    const size_t length[3] = {static_cast<size_t>(nx), static_cast<size_t>(ny), static_cast<size_t>(nz)};
    const size_t stride[3] = {1, length[0], length[0] * length[1]};
    for (int axis = 2; axis >= 0; --axis) {
        const size_t n = length[axis], step = stride[axis];
        std::vector<double> line(n);
        for (size_t start = 0; start < d.size(); ++start) {
            if ((start / step) % n != 0) continue;  // not the first element of a line along this axis
            for (size_t k = 0; k < n; ++k) line[k] = d[start + k * step];
            forward_1d(line);
            for (size_t k = 0; k < n; ++k) d[start + k * step] = line[k];
        }
    }
    return std::vector<float>(d.begin(), d.end());
}

std::vector<float> ramp(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = std::sin(0.7f * static_cast<float>(i)) * 10.0f + static_cast<float>(i % 5);
    return v;
}

}  // namespace

TEST(LightningGrid, LayersOfTheWorkedExample) {
    LightningGrid g;
    const std::vector<std::string> lines = setup_quietly(g, example_settings(), example_cloud());
    EXPECT_EQ(lines, std::vector<std::string>{"lightning grids: 20, 20, 15"});
    ASSERT_EQ(g.lgrid_nz, 15);
    ASSERT_EQ(g.lgrid_z.size(), 16u);
    for (int j = 0; j <= 15; ++j) EXPECT_NEAR(g.lgrid_z[static_cast<size_t>(j)], 10.0f * j, 1e-4f) << j;
    EXPECT_EQ(lightning_cell_count(g), 6000);
    EXPECT_TRUE(lightning_grid_usable(g));
}

TEST(LightningGrid, LayersWidenFarBelowTheCloud) {
    // A thin cloud high above the ground: below about 154 units of depth the 1 / B^2 rule takes over.
    LightningSettings s = example_settings();
    s.discharge_box_high.z = 1000.0f;
    CloudGrid c = example_cloud();
    c.cloud_box[2] = 990.0f;
    c.cloud_box[5] = 1000.0f;
    LightningGrid g;
    setup_quietly(g, s, c);
    ASSERT_GE(g.lgrid_nz, 2);
    EXPECT_LE(g.lgrid_z.front(), 0.0f);
    EXPECT_FLOAT_EQ(g.lgrid_z.back(), 1000.0f);
    for (size_t j = 1; j < g.lgrid_z.size(); ++j) {
        const float step = g.lgrid_z[j] - g.lgrid_z[j - 1];
        EXPECT_GE(step, 10.0f - 1e-3f) << j;
        if (j + 1 < g.lgrid_z.size()) {
            EXPECT_GE(step, g.lgrid_z[j + 1] - g.lgrid_z[j] - 1e-3f) << j;
        }
    }
    EXPECT_GT(g.lgrid_z[1] - g.lgrid_z[0], 10.5f);  // the lowest layers are the widest
}

TEST(LightningGrid, NoLayerFitsUnderACloudThatReachesTheGround) {
    CloudGrid c = example_cloud();
    c.cloud_box[2] = 0.0f;
    LightningGrid g;
    std::vector<std::string> lines = setup_quietly(g, example_settings(), c);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "lightning grids: 20, 20, -1");
    EXPECT_NE(lines[1].find("cannot be lit by lightning"), std::string::npos);
    EXPECT_FALSE(lightning_grid_usable(g));

    // Without a lightning section the domain has no width: the same answer, and no endless count.
    lines = setup_quietly(g, LightningSettings{}, example_cloud());
    EXPECT_EQ(lines.at(0), "lightning grids: 20, 20, -1");

    // Nothing downstream may touch the missing layers.
    const Vec3 p{0, 0, 50}, i{1, 1, 1};
    EXPECT_EQ(bin_point_sources(g, &p, &i, 1), 0);
    BaseIntensityTable t;
    t.loaded = true;
    IlluminationWork w;
    CloudGrid cloud = example_cloud();
    EXPECT_FALSE(light_cloud_from_lightning_grid(g, t, w, cloud, &p, &i, 1));
    EXPECT_FALSE(light_cloud_reference(g, t, w, cloud, &p, &i, 1));
}

TEST(LightningGrid, LayerFarThinnerThanTheCloudEndsTheCountAndFitsNoGrid) {
    // Cells of 1e-6 under a cloud 1e6 thick: counting layers one by one would never end
    // (the sum stops growing) and would overflow the layer count first.
    LightningSettings s = example_settings();
    s.discharge_box_low = Vec3{0.0f, 0.0f, 0.0f};
    s.discharge_box_high = Vec3{2e-5f, 2e-5f, 2e6f};
    CloudGrid c = example_cloud();
    c.cloud_box[2] = 1e6f;
    c.cloud_box[5] = 2e6f;
    LightningGrid g;
    const std::vector<std::string> lines = setup_quietly(g, s, c);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find(", -1"), std::string::npos) << lines[0];
    EXPECT_FALSE(lightning_grid_usable(g));
}

TEST(LightningGrid, BinningEveryTwentiethSourceWithClamping) {
    LightningGrid g;
    setup_quietly(g, example_settings(), example_cloud());
    std::vector<Vec3> pos(61, Vec3{-95.0f, -95.0f, 55.0f}), in(61, Vec3{100.0f, 0.0f, 0.0f});
    pos[0] = Vec3{0.0f, -150.0f, 5.0f};  // inner column boundary goes up; below the domain clamps to 0
    in[0] = Vec3{1.0f, 2.0f, 3.0f};
    pos[20] = Vec3{500.0f, 99.9f, 150.0f};  // beyond x: column 19; the top boundary: top layer
    in[20] = Vec3{0.5f, 0.0f, 0.0f};
    pos[40] = Vec3{-100.0f, 10.0f, 10.0f};  // on the layer boundary 10: layer 1
    in[40] = Vec3{0.0f, 0.0f, 0.25f};
    pos[60] = Vec3{-100.0f, 10.0f, -30.0f};  // below the ground: layer 0
    in[60] = Vec3{0.0f, 0.0f, 0.5f};
    EXPECT_EQ(bin_point_sources(g, pos.data(), in.data(), 61), 4);
    const std::vector<float>& total = g.lgrid_light[0];
    EXPECT_FLOAT_EQ(total[static_cast<size_t>(lightning_cell(10, 0, 0))], 120.0f);
    EXPECT_FLOAT_EQ(g.lgrid_light[1][static_cast<size_t>(lightning_cell(10, 0, 0))], 40.0f);
    EXPECT_FLOAT_EQ(total[static_cast<size_t>(lightning_cell(19, 19, 14))], 10.0f);
    EXPECT_FLOAT_EQ(total[static_cast<size_t>(lightning_cell(0, 11, 1))], 5.0f);
    EXPECT_FLOAT_EQ(total[static_cast<size_t>(lightning_cell(0, 11, 0))], 10.0f);
    // The skipped sources (strong ones everywhere else) left nothing behind.
    EXPECT_FLOAT_EQ(total[static_cast<size_t>(lightning_cell(0, 0, 5))], 0.0f);

    // 21 sources: 0 and 20 are binned, each with weight 20.
    EXPECT_EQ(bin_point_sources(g, pos.data(), in.data(), 21), 2);
    EXPECT_EQ(bin_point_sources(g, pos.data(), in.data(), 0), 0);
    for (float v : g.lgrid_light[2]) ASSERT_EQ(v, 0.0f);
}

TEST(Haar, InverseOfTwoIsSumAndDifference) {
    float a[2] = {3.0f, 1.0f}, scratch[2];
    inverse_haar_1d(a, 2, scratch);
    EXPECT_NEAR(a[0], 4.0f, 1e-5f);
    EXPECT_NEAR(a[1], 2.0f, 1e-5f);
    // A unit average coefficient over eight values is a constant 1.
    float dc[8] = {1, 0, 0, 0, 0, 0, 0, 0}, s8[8];
    inverse_haar_1d(dc, 8, s8);
    for (float v : dc) EXPECT_NEAR(v, 1.0f, 1e-5f);
    // Elements from m on are untouched by a merge.
    float part[4] = {1.0f, 1.0f, 7.0f, 9.0f}, s4[4];
    haar_merge(part, 2, s4);
    EXPECT_NEAR(part[0], 2.0f / 1.41421356f, 1e-6f);
    EXPECT_EQ(part[2], 7.0f);
    EXPECT_EQ(part[3], 9.0f);
}

TEST(Haar, RoundTripAgainstAnIndependentForwardTransform) {
    for (int n : {1, 2, 8, 6, 12}) {
        const std::vector<float> x = ramp(static_cast<size_t>(n));
        std::vector<double> coef(x.begin(), x.end());
        forward_1d(coef);
        std::vector<float> a(coef.begin(), coef.end()), scratch(static_cast<size_t>(n));
        // The library's own forward transform gives the same coefficients.
        std::vector<float> lib = x;
        forward_haar_1d(lib.data(), n, scratch.data());
        for (int i = 0; i < n; ++i)
            EXPECT_NEAR(lib[static_cast<size_t>(i)], a[static_cast<size_t>(i)], 1e-5f) << n;
        inverse_haar_1d(a.data(), n, scratch.data());
        for (int i = 0; i < n; ++i)
            EXPECT_NEAR(a[static_cast<size_t>(i)], x[static_cast<size_t>(i)], 1e-4f) << n << " " << i;
    }
    // Three dimensions with a non-power-of-two axis along z.
    const int nx = 8, ny = 2, nz = 6;
    const std::vector<float> x = ramp(static_cast<size_t>(nx * ny * nz));
    std::vector<float> g = forward_3d(x, nx, ny, nz);
    std::vector<float> lib = x;
    forward_haar_3d(lib.data(), nx, ny, nz);
    for (size_t i = 0; i < g.size(); ++i) EXPECT_NEAR(lib[i], g[i], 1e-4f) << i;
    inverse_haar_3d(g.data(), nx, ny, nz);
    for (size_t i = 0; i < g.size(); ++i) EXPECT_NEAR(g[i], x[i], 1e-4f) << i;
}

TEST(Relight, SparseSumAndGammaOnATwoCellTable) {
    LightningGrid grid;
    CloudGrid cloud = example_cloud(2, 1, 1);
    setup_quietly(grid, example_settings(), cloud);
    const int32_t a = lightning_cell(10, 10, 0), b = lightning_cell(10, 10, 14);
    BaseIntensityTable t = empty_table(grid, 2);
    add_record(t, a, 0, {0, 1}, {3e9f, 1e9f});
    add_record(t, a, 5, {1}, {-2e9f});
    add_record(t, b, 0, {0}, {1e9f});
    std::vector<Vec3> pos(21, Vec3{5.0f, 5.0f, 5.0f}), in(21, Vec3{1.0f, 1.0f, 2.0f});
    pos[20] = Vec3{5.0f, 5.0f, 149.0f};
    in[20] = Vec3{0.5f, 0.5f, 0.5f};
    IlluminationWork w;
    ASSERT_TRUE(light_cloud_reference(grid, t, w, cloud, pos.data(), in.data(), 21));

    // Direction 0: w = (3e9 * 80 + 1e9 * 30, 1e9 * 80) -> cells (w0 + w1, w0 - w1) / 1e9 = (350, 190).
    // Direction 5: w = (0, -2e9 * 80) -> (-160 -> 0, 160). Colour ratios (0.25, 0.25, 0.5), gamma 2, scale 2.
    auto expect_cell = [&](int cell, int d, float l) {
        const Vec3 v = cloud.dcl_dir_light[static_cast<size_t>(cell * kDirCount + d)];
        EXPECT_NEAR(v.x, 2.0f * std::sqrt(0.25f * l), 1e-4f) << cell << " " << d;
        EXPECT_NEAR(v.y, 2.0f * std::sqrt(0.25f * l), 1e-4f) << cell << " " << d;
        EXPECT_NEAR(v.z, 2.0f * std::sqrt(0.5f * l), 1e-4f) << cell << " " << d;
    };
    expect_cell(0, 0, 350.0f);
    expect_cell(1, 0, 190.0f);
    expect_cell(0, 5, 0.0f);
    expect_cell(1, 5, 160.0f);
    expect_cell(0, 1, 0.0f);
    expect_cell(1, 25, 0.0f);
    EXPECT_FALSE(w.light_all_zero);

    // The fast relight agrees.
    CloudGrid fast = example_cloud(2, 1, 1);
    ASSERT_TRUE(light_cloud_from_lightning_grid(grid, t, w, fast, pos.data(), in.data(), 21));
    for (size_t e = 0; e < fast.dcl_dir_light.size(); ++e) {
        EXPECT_NEAR(fast.dcl_dir_light[e].x, cloud.dcl_dir_light[e].x, 1e-4f) << e;
        EXPECT_NEAR(fast.dcl_dir_light[e].z, cloud.dcl_dir_light[e].z, 1e-4f) << e;
    }
}

namespace {

// Units in the last place between two non-negative floats (their bit patterns are ordered).
int64_t ulps_apart(float a, float b) {
    int32_t ia, ib;
    std::memcpy(&ia, &a, sizeof ia);
    std::memcpy(&ib, &b, sizeof ib);
    return std::llabs(static_cast<int64_t>(ia) - static_cast<int64_t>(ib));
}
constexpr int64_t kRelightUlps = 4;

// A table of `per_record` random coefficients for every record, some of them negative.
BaseIntensityTable random_table(const LightningGrid& grid, int32_t m, uint32_t seed, int per_record) {
    BaseIntensityTable t = empty_table(grid, m);
    uint32_t s = seed;
    auto next = [&s] { return s = s * 1664525u + 1013904223u; };
    for (size_t r = 0; r + 1 < t.start.size(); ++r) {
        for (int k = 0; k < per_record; ++k) {
            t.index.push_back(static_cast<int32_t>(next() % static_cast<uint32_t>(m)));
            t.value.push_back((static_cast<float>(next() % 2000) - 700.0f) * 1e7f);
        }
        t.start[r + 1] = static_cast<int64_t>(t.index.size());
    }
    return t;
}

// A leaning channel of `count` sources through the example domain.
void example_channel(int count, float lean, std::vector<Vec3>& pos, std::vector<Vec3>& in) {
    pos.clear();
    in.clear();
    for (int i = 0; i < count; ++i) {
        pos.push_back(Vec3{-30.0f + lean * i, 12.0f - 0.1f * i, 140.0f - 0.45f * i});
        in.push_back(Vec3{1.0f, 0.8f, 1.3f});
    }
}

// Gives the cloud a fine grid (dscl 2) holding a ball of density off its middle, so that physical
// shading finds cloud cells, empty cells to fill around them and empty cells away from them.
void add_density_ball(CloudGrid& c) {
    c.dscl = 2;
    c.grd_numx = 2 * c.dcl_numx;
    c.grd_numy = 2 * c.dcl_numy;
    c.grd_numz = 2 * c.dcl_numz;
    c.optical = {0.6f, 0.9f, 0.85f};
    c.grd_density.assign(static_cast<size_t>(c.grd_numx) * c.grd_numy * c.grd_numz, 0.0f);
    for (int32_t z = 0; z < c.grd_numz; ++z)
        for (int32_t y = 0; y < c.grd_numy; ++y)
            for (int32_t x = 0; x < c.grd_numx; ++x) {
                const float u = (x + 0.5f) / c.grd_numx - 0.4f, v = (y + 0.5f) / c.grd_numy - 0.5f,
                            w = (z + 0.5f) / c.grd_numz - 0.5f;
                const float r2 = u * u + v * v + w * w;
                if (r2 < 0.12f)
                    c.grd_density[static_cast<size_t>((z * c.grd_numy + y) * c.grd_numx + x)] = 1.0f - r2;
            }
}

}  // namespace

// The fast relight splits the directions and then the cells over two threads, transforms lines in
// chunks and fills the empty cells as it maps: it must give the reference's light for grids whose sides
// are not powers of two and whose cell count is odd, in both shadings, and again when the same work
// arrays are reused for a weaker strike.
TEST(Relight, FastMatchesReferenceOnARandomTable) {
    struct Case {
        int32_t nx, ny, nz;
        bool physical;
    };
    for (const Case& k : {Case{16, 8, 6, false}, Case{7, 5, 3, false}, Case{16, 8, 6, true},
                          Case{7, 5, 3, true}, Case{40, 8, 6, true}}) {
        SCOPED_TRACE(testing::Message()
                     << k.nx << " x " << k.ny << " x " << k.nz << (k.physical ? " physical" : ""));
        LightningGrid grid;
        CloudGrid ref = example_cloud(k.nx, k.ny, k.nz);
        setup_quietly(grid, example_settings(), ref);
        const int32_t m = k.nx * k.ny * k.nz;
        const BaseIntensityTable t = random_table(grid, m, 7, 12);
        ref.gamma_inv = 1.0f / 2.2f;
        ref.light_scale = 255.0f / std::pow(255.0f, ref.gamma_inv);
        ref.shading.physical = k.physical;
        if (k.physical) {
            grid.bin_every_source = true;
            add_density_ball(ref);
        }
        CloudGrid fast = ref;
        IlluminationWork w, fast_work;
        std::vector<Vec3> pos, in;
        for (const int count : {300, 40}) {
            SCOPED_TRACE(count);
            example_channel(count, count == 300 ? 0.2f : 1.1f, pos, in);
            ASSERT_TRUE(light_cloud_reference(grid, t, w, ref, pos.data(), in.data(), count));
            ASSERT_TRUE(
                light_cloud_from_lightning_grid(grid, t, fast_work, fast, pos.data(), in.data(), count));
            int lit = 0;
            int64_t worst = 0;
            for (size_t e = 0; e < ref.dcl_dir_light.size(); ++e) {
                const Vec3 r = ref.dcl_dir_light[e], f = fast.dcl_dir_light[e];
                if (r.x > 0.0f) ++lit;
                // The fast path sums in another order and maps with a cheaper power: a few units in the
                // last place, never a relative tolerance that would hide a real slip.
                ASSERT_LE(ulps_apart(f.x, r.x), kRelightUlps) << e << ": " << f.x << " vs " << r.x;
                ASSERT_LE(ulps_apart(f.y, r.y), kRelightUlps) << e << ": " << f.y << " vs " << r.y;
                ASSERT_LE(ulps_apart(f.z, r.z), kRelightUlps) << e << ": " << f.z << " vs " << r.z;
                worst = std::max({worst, ulps_apart(f.x, r.x), ulps_apart(f.y, r.y), ulps_apart(f.z, r.z)});
            }
            EXPECT_GT(lit, 1000);  // the comparison covered plenty of lit values
            if (k.physical) {
                EXPECT_GT(w.in_scattering.fill_cell.size(), 10u);
            }
            std::printf("fast relight: at most %lld ulp from the reference\n", static_cast<long long>(worst));
        }
    }
}

TEST(Relight, IdleRelightIsSkippedOnceTheCloudIsDark) {
    LightningGrid grid;
    CloudGrid cloud = example_cloud(2, 1, 1);
    setup_quietly(grid, example_settings(), cloud);
    BaseIntensityTable t = empty_table(grid, 2);
    add_record(t, lightning_cell(10, 10, 0), 0, {0}, {1e9f});
    const Vec3 p{5, 5, 5}, in{1, 1, 1};
    IlluminationWork w;
    ASSERT_TRUE(light_cloud_from_lightning_grid(grid, t, w, cloud, &p, &in, 1));
    EXPECT_GT(cloud.dcl_dir_light[0].x, 0.0f);
    // The first empty relight darkens the cloud; the next ones find nothing to do.
    EXPECT_TRUE(light_cloud_from_lightning_grid(grid, t, w, cloud, nullptr, nullptr, 0));
    EXPECT_TRUE(w.light_all_zero);
    for (const Vec3& v : cloud.dcl_dir_light) ASSERT_EQ(v.x + v.y + v.z, 0.0f);
    EXPECT_FALSE(light_cloud_from_lightning_grid(grid, t, w, cloud, nullptr, nullptr, 0));
    EXPECT_FALSE(light_cloud_from_lightning_grid(grid, t, w, cloud, nullptr, nullptr, 0));
    EXPECT_EQ(w.relights_skipped, 2);
    ASSERT_TRUE(light_cloud_from_lightning_grid(grid, t, w, cloud, &p, &in, 1));
    EXPECT_GT(cloud.dcl_dir_light[0].x, 0.0f);
}

TEST(Relight, MismatchedOrMissingTableLeavesTheCloudAlone) {
    LightningGrid grid;
    CloudGrid cloud = example_cloud(2, 1, 1);
    setup_quietly(grid, example_settings(), cloud);
    cloud.dcl_dir_light[0] = Vec3{9, 9, 9};
    const Vec3 p{5, 5, 5}, in{1, 1, 1};
    IlluminationWork w;
    BaseIntensityTable none;
    EXPECT_FALSE(light_cloud_from_lightning_grid(grid, none, w, cloud, &p, &in, 1));
    BaseIntensityTable other = empty_table(grid, 3);  // made for three coarse cells
    EXPECT_FALSE(light_cloud_from_lightning_grid(grid, other, w, cloud, &p, &in, 1));
    BaseIntensityTable ok = empty_table(grid, 2);
    CloudGrid no_light = cloud;
    no_light.dcl_dir_light.clear();
    EXPECT_FALSE(light_cloud_from_lightning_grid(grid, ok, w, no_light, &p, &in, 1));
    EXPECT_EQ(cloud.dcl_dir_light[0].x, 9.0f);
}

TEST(Relight, PhysicalGivesLightPerUnitScatteringAndFillsTheCloudsEdge) {
    // Coarse 4 x 2 x 2 (fine 8 x 4 x 4, dscl 2): column x = 0 is cloud, x = 1 empty beside it (filled
    // from its cloud neighbours), x = 2 and 3 empty and away from the cloud (dark).
    LightningGrid grid;
    CloudGrid classic = example_cloud(4, 2, 2);
    setup_quietly(grid, example_settings(), classic);
    classic.grd_numx = 8;
    classic.grd_numy = 4;
    classic.grd_numz = 4;
    classic.dscl = 2;
    classic.optical = {0.6f, 0.9f, 0.85f};
    classic.gamma_inv = 1.0f;  // with gamma 1 and scale 1 the classic colour is ratio x eta
    classic.light_scale = 1.0f;
    classic.grd_density.assign(8 * 4 * 4, 0.0f);
    for (int z = 0; z < 4; ++z)
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 2; ++x)
                classic.grd_density[static_cast<size_t>((z * 4 + y) * 8 + x)] = 0.1f * (1 + x + y + z);
    const int32_t m = 16;
    BaseIntensityTable t = empty_table(grid, m);
    uint32_t s = 11;
    auto next = [&s] { return s = s * 1664525u + 1013904223u; };
    for (int32_t c = 0; c < t.cell_count; ++c)
        for (int32_t d = 0; d < kDirCount; ++d) {
            std::vector<int32_t> idx;
            std::vector<float> val;
            for (int32_t k = 0; k < m; ++k) {
                idx.push_back(k);
                val.push_back(k == 0 ? 5e8f : (static_cast<float>(next() % 2000) - 1000.0f) * 1e5f);
            }
            add_record(t, c, d, idx, val);
        }
    std::vector<Vec3> pos(40, Vec3{3.0f, -4.0f, 60.0f}), in(40, Vec3{0.5f, 0.3f, 0.2f});
    IlluminationWork w;
    CloudGrid physical = classic, fast = classic;
    physical.shading.physical = fast.shading.physical = true;
    ASSERT_TRUE(light_cloud_reference(grid, t, w, classic, pos.data(), in.data(), 40));
    ASSERT_TRUE(light_cloud_reference(grid, t, w, physical, pos.data(), in.data(), 40));
    ASSERT_TRUE(light_cloud_from_lightning_grid(grid, t, w, fast, pos.data(), in.data(), 40));

    auto at = [](const CloudGrid& c, int x, int y, int z, int d) {
        return c.dcl_dir_light[static_cast<size_t>(((z * 2 + y) * 4 + x) * kDirCount + d)];
    };
    int lit = 0;
    for (int d = 0; d < kDirCount; ++d) {
        for (int z = 0; z < 2; ++z)
            for (int y = 0; y < 2; ++y) {
                const Vec3 e = at(classic, 0, y, z, d), p = at(physical, 0, y, z, d);
                // The table holds J itself: in cloud cells the physical light is the linear relit value.
                ASSERT_NEAR(p.x, e.x, 1e-5f * (1.0f + p.x)) << d;
                ASSERT_NEAR(p.z, e.z, 1e-5f * (1.0f + p.z)) << d;
                if (p.x > 0.0f) ++lit;
                // Beside the cloud: the mean of the four cloud cells it touches (all of column x = 0).
                Vec3 mean{};
                for (int zz = 0; zz < 2; ++zz)
                    for (int yy = 0; yy < 2; ++yy) mean = add(mean, scale(at(physical, 0, yy, zz, d), 0.25f));
                ASSERT_NEAR(at(physical, 1, y, z, d).y, mean.y, 1e-5f * (1.0f + mean.y)) << d;
                ASSERT_EQ(at(physical, 2, y, z, d).x, 0.0f);
                ASSERT_EQ(at(physical, 3, y, z, d).z, 0.0f);
            }
    }
    EXPECT_GT(lit, 40);  // the check covered plenty of lit values
    for (size_t e = 0; e < fast.dcl_dir_light.size(); ++e) {
        const Vec3 r = physical.dcl_dir_light[e], f = fast.dcl_dir_light[e];
        ASSERT_NEAR(f.x, r.x, 1e-5f * (1.0f + r.x)) << e;
        ASSERT_NEAR(f.z, r.z, 1e-5f * (1.0f + r.z)) << e;
    }
}

// Tables baked for physical shading: every source with its own weight, where it is, so the binned
// power is the power emitted; a source on the cloud base lights from the clear air below it, and the
// classic grid (the same sources, the flag off) still bins every twentieth source twenty-fold.
TEST(LightningGrid, PhysicalBinningKeepsEverySourceWhereItIs) {
    LightningGrid g;
    setup_quietly(g, example_settings(), example_cloud());
    ASSERT_FLOAT_EQ(g.cloud_base, 100.0f);
    // A channel from the base (layer boundary 100) down to the ground, sources 1 unit apart, of
    // uneven power.
    std::vector<Vec3> pos, in;
    for (int i = 0; i <= 100; ++i) {
        pos.push_back(Vec3{12.0f + 0.05f * i, -37.0f, 100.0f - i});
        in.push_back(Vec3{1.0f + (i % 7), 0.5f, 0.25f * (i % 3)});
    }
    double emitted = 0.0;
    for (const Vec3& v : in) emitted += v.x + v.y + v.z;
    g.bin_every_source = true;
    EXPECT_EQ(bin_point_sources(g, pos.data(), in.data(), static_cast<int>(pos.size())), 10);
    double binned = 0.0;
    for (float v : g.lgrid_light[0]) binned += v;
    EXPECT_NEAR(binned, emitted, 1e-5 * emitted);
    // Layers are 10 thick: the base source joins layer 9 (90 ... 100, sources 0 to 10), not the cloud's
    // layer 10.
    const size_t base_cell = static_cast<size_t>(lightning_cell(11, 6, 9));
    EXPECT_FLOAT_EQ(g.lgrid_light[0][static_cast<size_t>(lightning_cell(11, 6, 10))], 0.0f);
    double layer9 = 0.0;
    for (int i = 0; i <= 10; ++i)
        layer9 += in[static_cast<size_t>(i)].x + in[static_cast<size_t>(i)].y + in[static_cast<size_t>(i)].z;
    EXPECT_NEAR(g.lgrid_light[0][base_cell], layer9, 1e-4);

    g.bin_every_source = false;
    EXPECT_EQ(bin_point_sources(g, pos.data(), in.data(), static_cast<int>(pos.size())), 6);
    double classic = 0.0;
    for (size_t s = 0; s < pos.size(); s += 20) classic += 20.0 * (in[s].x + in[s].y + in[s].z);
    binned = 0.0;
    for (float v : g.lgrid_light[0]) binned += v;
    EXPECT_NEAR(binned, classic, 1e-5 * classic);
    EXPECT_FLOAT_EQ(g.lgrid_light[0][static_cast<size_t>(lightning_cell(11, 6, 10))], 20.0f * 1.5f);
}
