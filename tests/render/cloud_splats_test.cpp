// cloud_splats_test.cpp -- the splat footprint strip, the blob order and the prepared splats
#include "render/cloud_splats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace {

// Texel (tile, row, column) of the strip: four floats.
const float* texel(const std::vector<float>& strip, int tile, int row, int col) {
    return &strip[static_cast<size_t>(((tile * kSplatTileSize + row) * kSplatTileSize + col) * 4)];
}

// A fine grid of nx x ny x nz unit cells with coarse factor 2; every `every`-th cell holds a blob.
CloudGrid splat_cloud(int nx, int ny, int nz, int every) {
    CloudGrid c;
    c.grd_numx = nx;
    c.grd_numy = ny;
    c.grd_numz = nz;
    c.grd_size = 1.0f;
    c.grd_origin = Vec3{-10.0f, 5.0f, 20.0f};
    c.dscl = 2;
    c.dcl_numx = nx / 2;
    c.dcl_numy = ny / 2;
    c.dcl_numz = nz / 2;
    c.dcl_size = 2.0f;
    const size_t coarse = static_cast<size_t>(c.dcl_numx * c.dcl_numy * c.dcl_numz);
    c.dcl_dir_light.resize(coarse * kDirCount);
    for (size_t e = 0; e < c.dcl_dir_light.size(); ++e) {
        const float f = static_cast<float>(e % 97);
        c.dcl_dir_light[e] = Vec3{f, 2.0f * f, 100.0f - f};
    }
    c.grd_density.assign(static_cast<size_t>(nx * ny * nz), 0.0f);
    for (int cell = 0; cell < nx * ny * nz; cell += every) {
        c.grd_density[static_cast<size_t>(cell)] = 0.02f + static_cast<float>(cell % 50) / 49.0f;
        const int i = cell % nx, j = cell / nx % ny, k = cell / (nx * ny);
        c.blobs.push_back(Blob{i + 0.5f, j + 0.5f, k + 0.5f, 0.0f, cell});
    }
    return c;
}

struct Splat {
    std::vector<float> v, t, c;
};

// Splats of a prepared frame by the cell of the blob they were made from (blobs in drawing order).
std::map<int32_t, Splat> splats_by_cell(const SplatFrame& f, const CloudGrid& cloud) {
    std::map<int32_t, Splat> out;
    size_t q = 0;
    for (const Blob& b : cloud.blobs) {
        if (!(cloud.grd_density[static_cast<size_t>(b.cell)] > cloud.density_threshold)) continue;
        Splat s;
        s.v.assign(f.vertices.begin() + static_cast<long>(q * 12),
                   f.vertices.begin() + static_cast<long>(q * 12 + 12));
        s.t.assign(f.texcoords.begin() + static_cast<long>(q * 8),
                   f.texcoords.begin() + static_cast<long>(q * 8 + 8));
        s.c.assign(f.colours.begin() + static_cast<long>(q * 12),
                   f.colours.begin() + static_cast<long>(q * 12 + 12));
        out[b.cell] = s;
        ++q;
    }
    return out;
}

void expect_same_frames(SplatFrame& fast, CloudGrid& a, CloudGrid& b, Vec3 eye) {
    SplatFrame ref;
    prepare_cloud_splats(fast, a, eye);
    prepare_cloud_splats_reference(ref, b, eye);
    ASSERT_EQ(fast.quad_count, ref.quad_count);
    expand_splat_quads(fast, a, eye, 0, fast.quad_count);
    expand_splat_quads(ref, b, eye, 0, ref.quad_count);
    ASSERT_EQ(a.blobs.size(), b.blobs.size());
    // Equal keys may come in either order; the key sequence itself must agree.
    for (size_t i = 0; i < a.blobs.size(); ++i) ASSERT_EQ(a.blobs[i].sort_key, b.blobs[i].sort_key) << i;
    // Each blob carries its own key: the order is of the blobs, not only of the keys.
    const Vec3 e = sub(eye, a.grd_origin);
    for (const Blob& blob : a.blobs) {
        const float dx = blob.x - e.x, dy = blob.y - e.y, dz = blob.z - e.z;
        ASSERT_EQ(blob.sort_key, dx * dx + dy * dy + dz * dz) << blob.cell;
    }
    const std::map<int32_t, Splat> fa = splats_by_cell(fast, a), fb = splats_by_cell(ref, b);
    ASSERT_EQ(fa.size(), fb.size());
    for (const auto& [cell, s] : fa) {
        const Splat& r = fb.at(cell);
        for (size_t k = 0; k < 12; ++k) ASSERT_FLOAT_EQ(s.v[k], r.v[k]) << cell;
        for (size_t k = 0; k < 12; ++k) ASSERT_FLOAT_EQ(s.c[k], r.c[k]) << cell;
        for (size_t k = 0; k < 8; ++k) ASSERT_FLOAT_EQ(s.t[k], r.t[k]) << cell;
    }
}

void expect_same_frames(CloudGrid& a, CloudGrid& b, Vec3 eye) {
    SplatFrame fast;
    expect_same_frames(fast, a, b, eye);
}

}  // namespace

TEST(SplatStrip, CentreRimAndOutside) {
    const float r = 1.5f;
    const std::vector<float> strip = build_splat_strip(r, 1.0f);
    ASSERT_EQ(strip.size(), static_cast<size_t>(32 * 1024 * 4));
    // Centre of the densest tile peaks at 1 (level 32/32).
    const float* c = texel(strip, 31, 16, 16);
    EXPECT_NEAR(c[0], 1.0f, 1e-5f);
    EXPECT_EQ(c[0], c[1]);
    EXPECT_EQ(c[0], c[2]);
    EXPECT_NEAR(c[3], std::exp(-0.4994709f * 2.0f * r), 1e-5f);
    // The faintest tile stands for density 1/32.
    EXPECT_NEAR(texel(strip, 0, 16, 16)[0], 1.0f / 32.0f, 1e-6f);
    // Half the radius out along x: u = 0.75.
    const float f = 2.0f * std::sqrt(0.75f) * r * (0.2962963f * 0.5625f + 0.2031746f * 0.421875f);
    EXPECT_NEAR(texel(strip, 31, 16, 8)[0], f / (0.4994709f * 2.0f * r), 1e-5f);
    // On the rim (r = R) and in the corner: clear and dark.
    for (const float* t : {texel(strip, 31, 16, 0), texel(strip, 31, 0, 0), texel(strip, 5, 0, 16)}) {
        EXPECT_EQ(t[0], 0.0f);
        EXPECT_EQ(t[3], 1.0f);
    }
}

TEST(SplatStrip, NoExtinctionAndNoRadius) {
    for (float a : [] {
             std::vector<float> alphas;
             const std::vector<float> s = build_splat_strip(2.0f, 0.0f);
             for (size_t i = 3; i < s.size(); i += 4) alphas.push_back(s[i]);
             return alphas;
         }()) {
        ASSERT_EQ(a, 1.0f);
    }
    for (float v : build_splat_strip(0.0f, 1.0f)) ASSERT_TRUE(std::isfinite(v));
}

TEST(SplatTiles, DensitySelectsTileAndDenseCellsUseTheLast) {
    EXPECT_EQ(splat_tile(0.5f), 16);
    EXPECT_EQ(splat_tile(0.03f), 0);
    EXPECT_EQ(splat_tile(0.99f), 31);
    EXPECT_EQ(splat_tile(1.0f), 31);
    EXPECT_EQ(splat_tile(7.0f), 31);
    EXPECT_EQ(splat_tile(-1.0f), 0);
}

TEST(BlobOrder, FarthestFirst) {
    Blob near, far;
    near.sort_key = 1.0f;
    far.sort_key = 9.0f;
    EXPECT_EQ(compare_blobs(far, near), -1);
    EXPECT_EQ(compare_blobs(near, far), 1);
    EXPECT_EQ(compare_blobs(near, near), 0);

    CloudGrid c = splat_cloud(8, 8, 4, 3);
    SplatFrame f;
    prepare_cloud_splats(f, c, Vec3{-30.0f, 0.0f, 25.0f});
    for (size_t i = 1; i < c.blobs.size(); ++i) ASSERT_GE(c.blobs[i - 1].sort_key, c.blobs[i].sort_key) << i;
    const Vec3 e = sub(Vec3{-30.0f, 0.0f, 25.0f}, c.grd_origin);
    const Blob& first = c.blobs.front();
    EXPECT_FLOAT_EQ(first.sort_key,
                    dot(sub(Vec3{first.x, first.y, first.z}, e), sub(Vec3{first.x, first.y, first.z}, e)));
}

TEST(PreparedSplats, QuadsFaceTheEyeWithTheirTileAndColour) {
    CloudGrid c = splat_cloud(4, 4, 2, 1);
    for (Vec3& l : c.dcl_dir_light) l = Vec3{0.5f, 1.0f, 2.0f};
    c.splat_size = 1.5f;
    c.splat_brightness = 3.0f;
    c.grd_density[5] = 0.0f;  // a cell that fell to the threshold is not drawn
    const Vec3 eye{7.0f, -4.0f, 40.0f};
    SplatFrame f;
    prepare_cloud_splats_reference(f, c, eye);
    ASSERT_EQ(f.quad_count, 31);
    expand_splat_quads(f, c, eye, 0, f.quad_count);
    size_t q = 0;
    for (const Blob& b : c.blobs) {
        const float rho = c.grd_density[static_cast<size_t>(b.cell)];
        if (rho <= 0.0f) continue;
        const float* v = &f.vertices[q * 12];
        const Vec3 c0{v[0], v[1], v[2]}, c1{v[3], v[4], v[5]}, c3{v[9], v[10], v[11]};
        // Each splat sits at its cell's fixed offset from the cell centre, inside the cell.
        const Vec3 offset = splat_offset(b.cell, c.grd_size);
        EXPECT_LE(std::fabs(offset.x), 0.375f);
        EXPECT_LE(std::fabs(offset.y), 0.375f);
        EXPECT_LE(std::fabs(offset.z), 0.375f);
        const Vec3 centre = add(add(c.grd_origin, Vec3{b.x, b.y, b.z}), offset);
        EXPECT_NEAR(f.centres[q * 3], centre.x, 1e-4f);
        EXPECT_NEAR(f.centres[q * 3 + 1], centre.y, 1e-4f);
        EXPECT_NEAR(f.centres[q * 3 + 2], centre.z, 1e-4f);
        const Vec3 to_eye = normalise(sub(eye, centre));
        EXPECT_NEAR(length(sub(c1, c0)), 3.0f, 1e-4f);  // side 2 a with a = splat_size * grd_size
        EXPECT_NEAR(dot(sub(c1, c0), to_eye), 0.0f, 1e-4f);
        EXPECT_NEAR(dot(sub(c3, c0), to_eye), 0.0f, 1e-4f);
        EXPECT_NEAR(dot(normalise(cross(sub(c1, c0), sub(c0, c3))), to_eye), 1.0f, 1e-4f);
        const float t0 = static_cast<float>(splat_tile(rho)) / 32.0f;
        EXPECT_FLOAT_EQ(f.texcoords[q * 8 + 1], t0);
        EXPECT_FLOAT_EQ(f.texcoords[q * 8 + 5], t0 + 1.0f / 32.0f);
        EXPECT_NEAR(f.colours[q * 12 + 2], 2.0f / rho * 3.0f, 1e-3f);
        ++q;
    }
}

TEST(PreparedSplats, OffsetsBreakTheLatticeButStayFixed) {
    // The offsets scale with the cell, repeat for the same cell and differ between neighbours, so that no
    // two neighbouring layers of splats line up.
    float spread = 0.0f;
    for (int32_t cell = 0; cell < 1000; ++cell) {
        const Vec3 o = splat_offset(cell, 2.0f), again = splat_offset(cell, 2.0f),
                   unit = splat_offset(cell, 1.0f);
        ASSERT_EQ(o.x, again.x);
        ASSERT_NEAR(o.y, 2.0f * unit.y, 1e-6f);
        ASSERT_LE(std::fabs(o.z), 0.75f) << cell;
        spread += std::fabs(o.x - splat_offset(cell + 1, 2.0f).x) +
                  std::fabs(o.z - splat_offset(cell + 64, 2.0f).z);
    }
    EXPECT_GT(spread / 2000.0f, 0.3f) << "neighbouring offsets are too alike to break the layers";
}

TEST(PreparedSplats, BlobStraightAboveTheEyeStaysFinite) {
    CloudGrid c = splat_cloud(2, 2, 2, 1);
    const Vec3 eye = add(c.grd_origin, Vec3{0.5f, 0.5f, -30.0f});  // right under cell 0
    SplatFrame f;
    prepare_cloud_splats(f, c, eye);
    expand_splat_quads(f, c, eye, 0, f.quad_count);
    for (int i = 0; i < f.quad_count * 12; ++i)
        ASSERT_TRUE(std::isfinite(f.vertices[static_cast<size_t>(i)]));
    for (int i = 0; i < f.quad_count * 12; ++i) ASSERT_TRUE(std::isfinite(f.colours[static_cast<size_t>(i)]));
}

TEST(PreparedSplats, FastPassMatchesReference) {
    // Enough blobs for both threads; then a changed blob list and an eye inside the cloud.
    CloudGrid a = splat_cloud(32, 32, 16, 2);
    a.grd_density[40] = 0.0f;
    CloudGrid b = a;
    expect_same_frames(a, b, Vec3{60.0f, -70.0f, 30.0f});
    expect_same_frames(a, b, Vec3{61.0f, -70.0f, 30.0f});
    a.blobs.resize(a.blobs.size() / 3);
    b = a;
    expect_same_frames(a, b, Vec3{5.0f, 20.0f, 28.0f});
    CloudGrid none;
    SplatFrame f;
    prepare_cloud_splats(f, none, Vec3{});
    EXPECT_EQ(f.quad_count, 0);
}

TEST(PreparedSplats, FastPassFollowsAMovingEyeAndADarkCloud) {
    // One frame record across frames, as in the viewer: small steps reuse the last order, a jump to the
    // other side of the cloud cannot, and a dark cloud skips its lookups; each frame equals the reference.
    CloudGrid a = splat_cloud(32, 32, 16, 3);
    CloudGrid b = a;
    SplatFrame fast;
    const Vec3 path[] = {{60.0f, -70.0f, 30.0f},  {60.5f, -70.0f, 30.2f},  {61.5f, -69.0f, 30.2f},
                         {-50.0f, 80.0f, -10.0f}, {-50.0f, 80.5f, -10.0f}, {5.0f, 20.0f, 28.0f}};
    for (const Vec3& eye : path) expect_same_frames(fast, a, b, eye);
    for (Vec3& l : a.dcl_dir_light) l = Vec3{};
    b.dcl_dir_light = a.dcl_dir_light;
    expect_same_frames(fast, a, b, Vec3{-49.0f, 80.0f, -10.0f});
    for (int i = 0; i < fast.quad_count * 3; ++i) ASSERT_EQ(fast.splat_colours[static_cast<size_t>(i)], 0.0f);

    // What the frame keeps between preparations must follow every change to the cloud: blobs moved at the
    // same count, the list put in another order, new light, a cell thinned out, the grid moved.
    for (Vec3& l : a.dcl_dir_light) l = Vec3{1.0f, 2.0f, 3.0f};
    a.dcl_dir_light[5 * kDirCount + 3] = Vec3{40.0f, 0.0f, 9.0f};
    b.dcl_dir_light = a.dcl_dir_light;
    expect_same_frames(fast, a, b, Vec3{-48.0f, 80.0f, -10.0f});
    const auto change = [&](auto edit, Vec3 eye) {
        edit(a);
        edit(b);
        expect_same_frames(fast, a, b, eye);
    };
    change(
        [](CloudGrid& c) {
            const int32_t cell = 3 + 9 * 32 + 2 * 32 * 32;  // no blob there so far
            c.grd_density[static_cast<size_t>(cell)] = 0.7f;
            // The lists are in different orders: the blob of cell 21 is looked for in each.
            for (Blob& blob : c.blobs)
                if (blob.cell == 21) blob = Blob{3.5f, 9.5f, 2.5f, 0.0f, cell};
        },
        Vec3{-48.0f, 80.0f, -10.5f});
    change([](CloudGrid& c) { std::swap(c.blobs[10], c.blobs[40]); }, Vec3{-48.0f, 80.0f, -10.6f});
    change(
        [](CloudGrid& c) {
            c.dcl_dir_light[5 * kDirCount + 3] = Vec3{0.0f, 70.0f, 1.0f};
        },
        Vec3{-48.0f, 80.0f, -10.6f});
    change([](CloudGrid& c) { c.grd_density[300] = 0.0f; }, Vec3{-48.0f, 80.1f, -10.6f});
    change(
        [](CloudGrid& c) {
            c.grd_origin = add(c.grd_origin, Vec3{0.5f, 0.0f, -1.0f});
        },
        Vec3{-48.0f, 80.1f, -10.6f});
    change([](CloudGrid& c) { c.dcl_size = 3.0f; }, Vec3{-48.0f, 80.2f, -10.6f});
    change(
        [](CloudGrid& c) {
            c.shading.physical = true;
            c.optical = {0.8f, 0.6f, 0.0f};
        },
        Vec3{-48.0f, 80.2f, -10.7f});
    size_t q = 0;
    for (const Blob& blob : a.blobs) {
        const float rho = a.grd_density[static_cast<size_t>(blob.cell)];
        if (!(rho > 0.0f)) continue;
        ASSERT_FLOAT_EQ(fast.splat_depths[q++], splat_centre_depth(a, rho)) << blob.cell;
    }
    ASSERT_EQ(q, static_cast<size_t>(fast.quad_count));

    // Drawing prepares again only for another eye, another blob count or new light.
    const Vec3 eye{1.0f, 2.0f, 3.0f};
    SplatFrame f;
    EXPECT_TRUE(splats_need_preparing(f, a, eye));
    f.prepared = true;
    f.light_changed = false;
    f.prepared_eye = eye;
    f.prepared_blobs = a.blobs.size();
    EXPECT_FALSE(splats_need_preparing(f, a, eye));
    EXPECT_TRUE(splats_need_preparing(f, a, Vec3{1.0f, 2.0f, 3.0001f}));
    mark_splat_light_changed(f);
    EXPECT_TRUE(splats_need_preparing(f, a, eye));
    f.light_changed = false;
    a.blobs.pop_back();
    EXPECT_TRUE(splats_need_preparing(f, a, eye));
}
