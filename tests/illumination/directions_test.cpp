// directions_test.cpp -- sampling-direction layout, direction blending and the radiance lookup
#include "illumination/directions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// A 3 x 2 x 2 coarse grid of cell size 2 whose light is cell * 100 + direction in every channel.
CloudGrid indexed_cloud() {
    CloudGrid c;
    c.dcl_numx = 3;
    c.dcl_numy = 2;
    c.dcl_numz = 2;
    c.dcl_size = 2.0f;
    c.dcl_dir_light.resize(12 * kDirCount);
    for (int cell = 0; cell < 12; ++cell)
        for (int d = 0; d < kDirCount; ++d) {
            const float v = static_cast<float>(cell * 100 + d);
            c.dcl_dir_light[static_cast<size_t>(cell * kDirCount + d)] = Vec3{v, v, v};
        }
    return c;
}

float blend_sum(const DirectionBlend& b) { return b.weight[0] + b.weight[1] + b.weight[2] + b.weight[3]; }

}  // namespace

TEST(Directions, LayoutPolesThenRingsOfEight) {
    EXPECT_EQ(direction_index(0, 5), 0);
    EXPECT_EQ(direction_index(1, 0), 1);
    EXPECT_EQ(direction_index(1, 7), 8);
    EXPECT_EQ(direction_index(3, 7), 24);
    EXPECT_EQ(direction_index(4, 3), 25);
    for (int d = 0; d < kDirCount; ++d) EXPECT_NEAR(length(direction_vector(d)), 1.0f, 1e-6f) << d;
    EXPECT_FLOAT_EQ(direction_vector(0).z, 1.0f);
    EXPECT_FLOAT_EQ(direction_vector(25).z, -1.0f);
    // Ring 2 is the horizon; segment 2 points along +y.
    const Vec3 v = direction_vector(direction_index(2, 2));
    EXPECT_NEAR(v.x, 0.0f, 1e-6f);
    EXPECT_NEAR(v.y, 1.0f, 1e-6f);
    EXPECT_NEAR(v.z, 0.0f, 1e-6f);
    // Every vector gives back its own ring and segment through the angles and the blend.
    for (int d = 1; d < kDirCount - 1; ++d) {
        float theta, phi;
        direction_angles(direction_vector(d), theta, phi);
        const DirectionBlend b = blend_directions(theta + 1e-5f, phi + 1e-5f);
        EXPECT_EQ(b.index[0], d);
        EXPECT_GT(b.weight[0], 0.999f);
    }
}

TEST(Directions, WeightsSumToOneAndStayNonNegative) {
    for (int i = 0; i <= 40; ++i)
        for (int j = -10; j <= 90; ++j) {
            const float theta = kPi * static_cast<float>(i) / 40.0f;
            const float phi = kTwoPi * static_cast<float>(j) / 80.0f;
            const DirectionBlend b = blend_directions(theta, phi);
            EXPECT_NEAR(blend_sum(b), 1.0f, 1e-5f) << theta << " " << phi;
            for (int q = 0; q < 4; ++q) {
                EXPECT_GE(b.weight[q], 0.0f) << theta << " " << phi;
                EXPECT_GE(b.index[q], 0);
                EXPECT_LT(b.index[q], kDirCount);
            }
        }
}

TEST(Directions, PolesAndAzimuthWrap) {
    // theta 0 and pi read only the pole entries, whatever the azimuth.
    for (float phi : {0.0f, 1.0f, 3.0f, 6.2f}) {
        DirectionBlend b = blend_directions(0.0f, phi);
        for (int q = 0; q < 4; ++q)
            if (b.weight[q] > 0.0f) {
                EXPECT_EQ(b.index[q], 0);
            }
        b = blend_directions(kPi, phi);
        for (int q = 0; q < 4; ++q)
            if (b.weight[q] > 0.0f) {
                EXPECT_EQ(b.index[q], kDirCount - 1);
            }
    }
    // Between the last segment and a full turn the blend takes segment 7 and segment 0.
    const DirectionBlend b = blend_directions(2.0f * kDirStep, 7.5f * kDirStep);
    EXPECT_EQ(b.index[0], direction_index(2, 7));
    EXPECT_EQ(b.index[3], direction_index(2, 0));
    EXPECT_NEAR(b.weight[0], 0.5f, 1e-5f);
    EXPECT_NEAR(b.weight[3], 0.5f, 1e-5f);
    // A full turn is segment 0 again.
    EXPECT_EQ(blend_directions(2.0f * kDirStep, kTwoPi).index[0], direction_index(2, 0));
}

TEST(Directions, AnglesFromVectors) {
    float theta, phi;
    direction_angles(Vec3{0, 0, 5}, theta, phi);
    EXPECT_EQ(theta, 0.0f);
    EXPECT_EQ(phi, 0.0f);
    direction_angles(Vec3{0, 0, -2}, theta, phi);
    EXPECT_NEAR(theta, kPi, 1e-6f);
    EXPECT_EQ(phi, 0.0f);  // straight down: azimuth fixed at 0
    direction_angles(Vec3{0, -1, 0}, theta, phi);
    EXPECT_NEAR(theta, kHalfPi, 1e-6f);
    EXPECT_NEAR(phi, 1.5f * kPi, 1e-5f);
    direction_angles(Vec3{}, theta, phi);
    EXPECT_EQ(theta, 0.0f);
    EXPECT_EQ(phi, 0.0f);

    // The batch gives every vector exactly the angles of one at a time, the special cases among them,
    // and its lookups through kept corners exactly the lookups at the points.
    std::vector<Vec3> v = {{0, 0, 5}, {0, 0, -2}, {0, -1, 0}, {}, {1e-30f, 0, 0}, {-3, 0, 0}, {0, 0, 0}};
    for (int i = 0; i < 301; ++i) {
        const float f = static_cast<float>(i);
        v.push_back(
            Vec3{std::sin(f * 1.7f) * 40.0f, std::cos(f * 0.3f) * 9.0f - 2.0f, std::sin(f * 0.11f) * 30.0f});
    }
    const int n = static_cast<int>(v.size());
    std::vector<float> t(v.size()), p(v.size());
    direction_angles_batch(v.data(), n, t.data(), p.data());
    const CloudGrid c = indexed_cloud();
    std::vector<Vec3> at(v.size()), looked(v.size());
    std::vector<LightCorners> corners(v.size());
    std::vector<const LightCorners*> corner_ptrs(v.size());
    for (int i = 0; i < n; ++i) {
        const size_t k = static_cast<size_t>(i);
        direction_angles(v[k], theta, phi);
        ASSERT_EQ(t[k], theta) << i;
        ASSERT_EQ(p[k], phi) << i;
        at[k] = Vec3{std::fabs(v[k].x) * 0.15f, std::fabs(v[k].y) * 0.4f, std::fabs(v[k].z) * 0.13f};
        corners[k] = light_corners(at[k], c);
        corner_ptrs[k] = &corners[k];
    }
    lookup_dir_light_corners_batch(t.data(), p.data(), corner_ptrs.data(), n, c, looked.data());
    for (size_t k = 0; k < v.size(); ++k) {
        const Vec3 one = lookup_dir_light(t[k], p[k], at[k], c);
        ASSERT_EQ(looked[k].x, one.x) << k;
        ASSERT_EQ(looked[k].z, one.z) << k;
    }
}

TEST(DirLightLookup, CellCentresAndTrilinearBlend) {
    const CloudGrid c = indexed_cloud();
    // At the centre of cell (1, 0, 1) = 7, looking straight up: direction 0 only.
    Vec3 l = lookup_dir_light(0.0f, 0.0f, Vec3{3.0f, 1.0f, 3.0f}, c);
    EXPECT_FLOAT_EQ(l.x, 700.0f);
    // Halfway between cells 0 and 1 along x and looking down: (0 + 100) / 2 + 25.
    l = lookup_dir_light(kPi, 0.0f, Vec3{2.0f, 1.0f, 1.0f}, c);
    EXPECT_FLOAT_EQ(l.y, 75.0f);
    // Halfway in z too: cells 0, 1, 6, 7, (0 + 100 + 600 + 700) / 4 + 25.
    l = lookup_dir_light(kPi, 0.0f, Vec3{2.0f, 1.0f, 2.0f}, c);
    EXPECT_FLOAT_EQ(l.z, 375.0f);
    // The highest cell of the grid (11) looking along the horizon at segment 4.
    l = lookup_dir_light(2.0f * kDirStep, 4.0f * kDirStep + 1e-6f, Vec3{5.0f, 3.0f, 3.0f}, c);
    EXPECT_NEAR(l.x, 1100.0f + direction_index(2, 4), 1e-2f);
}

TEST(DirLightLookup, AFullBlendWorkedOutByHand) {
    // Channels kept apart: x = v, y = 2 v, z = 1000 - v with v = cell * 100 + direction.
    CloudGrid c = indexed_cloud();
    for (Vec3& l : c.dcl_dir_light) l = Vec3{l.x, 2.0f * l.x, 1000.0f - l.x};
    // P = (2.5, 1.5, 2.5) with cells of 2: u = 0.75, v = 0.25, w = 0.75, so the eight cells
    // i + 3 (j + 2 k) around (0, 0, 0) add 100 (0.75 + 3 x 0.25 + 6 x 0.75) = 600.
    // theta = 1.25 steps, phi = 2.5 steps: rings 1 and 2 (weights 0.75, 0.25), segments 2 and 3
    // (0.5 each): directions 3 and 4 weigh 0.375, 11 and 12 weigh 0.125, adding 5.5.
    const Vec3 l = lookup_dir_light(1.25f * kDirStep, 2.5f * kDirStep, Vec3{2.5f, 1.5f, 2.5f}, c);
    EXPECT_NEAR(l.x, 605.5f, 1e-3f);
    EXPECT_NEAR(l.y, 1211.0f, 2e-3f);
    EXPECT_NEAR(l.z, 394.5f, 1e-3f);
}

TEST(Directions, PolynomialArccosFollowsTheLibraryOverTheWholeRange) {
    // Evenly over [-1, 1], and every float within 2^16 steps of -1, 0 and 1, where the
    // square root and the sign change meet.
    std::vector<float> cs;
    for (int i = 0; i <= 2000000; ++i) cs.push_back(-1.0f + 2.0f * static_cast<float>(i) / 2000000.0f);
    for (float start : {-1.0f, 0.0f, 1.0f}) {
        float up = start, down = start;
        for (int i = 0; i < 65536; ++i) {
            up = std::nextafter(up, 2.0f);
            down = std::nextafter(down, -2.0f);
            if (up <= 1.0f) cs.push_back(up);
            if (down >= -1.0f) cs.push_back(down);
        }
    }
    double worst = 0.0;
    float worst_at = 0.0f;
    for (float x : cs) {
        const double exact = std::acos(static_cast<double>(x));
        const float got = arc_cos(x);
        // One unit in the last place of the float nearest the exact angle (the polynomial is
        // 2.2e-8 off at most, then rounded to float).
        const double allowed = std::nextafter(static_cast<float>(exact), 4.0f) - static_cast<float>(exact);
        const double err = std::fabs(static_cast<double>(got) - exact);
        if (err - allowed > worst) {
            worst = err - allowed;
            worst_at = x;
        }
    }
    EXPECT_LE(worst, 0.0) << "arccos(" << worst_at << ") = " << arc_cos(worst_at) << ", library "
                          << std::acos(static_cast<double>(worst_at));
}

TEST(DirLightLookup, PointsOutsideTakeTheBorderCells) {
    const CloudGrid c = indexed_cloud();
    EXPECT_FLOAT_EQ(lookup_dir_light(0.0f, 0.0f, Vec3{-50.0f, -3.0f, -1.0f}, c).x, 0.0f);
    EXPECT_FLOAT_EQ(lookup_dir_light(0.0f, 0.0f, Vec3{90.0f, 30.0f, 100.0f}, c).x, 1100.0f);
    EXPECT_FLOAT_EQ(lookup_dir_light(0.0f, 0.0f, Vec3{90.0f, -30.0f, 1.0f}, c).x, 200.0f);
    EXPECT_FLOAT_EQ(lookup_dir_light(0.0f, 0.0f, Vec3{NAN, 1.0f, 1.0f}, c).x, 0.0f);
}

TEST(DirLightLookup, UniformLightComesBackAtEveryAngle) {
    CloudGrid c = indexed_cloud();
    for (Vec3& v : c.dcl_dir_light) v = Vec3{0.25f, 2.0f, 40.0f};
    for (int i = 0; i <= 12; ++i)
        for (int j = 0; j <= 16; ++j) {
            const Vec3 l =
                lookup_dir_light(kPi * i / 12.0f, kTwoPi * j / 16.0f, Vec3{0.3f * j, 0.2f * i, 0.7f * i}, c);
            EXPECT_NEAR(l.x, 0.25f, 1e-6f);
            EXPECT_NEAR(l.y, 2.0f, 1e-5f);
            EXPECT_NEAR(l.z, 40.0f, 1e-4f);
        }
}

TEST(DirLightLookup, NoCoarseGridGivesDarkness) {
    CloudGrid c;
    EXPECT_FLOAT_EQ(lookup_dir_light(1.0f, 1.0f, Vec3{1, 1, 1}, c).x, 0.0f);
    c = indexed_cloud();
    c.dcl_dir_light.resize(5);  // a light array that does not cover the grid is never read
    EXPECT_FLOAT_EQ(lookup_dir_light(1.0f, 1.0f, Vec3{1, 1, 1}, c).x, 0.0f);
}
