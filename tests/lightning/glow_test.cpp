// glow_test.cpp -- the fog halo image and the billboard angles of the glow layer
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lightning/glow_image.h"

namespace {

constexpr int kN = kGlowTextureSize;

const float* texel(const std::vector<float>& image, int row, int col) {
    return &image[(static_cast<size_t>(row) * kN + static_cast<size_t>(col)) * 4];
}

float radians(float degrees) { return degrees / 180.0f * kPi; }

}  // namespace

TEST(GlowImage, CentralTexelsAreTheBrightest) {
    const FogSettings fog;  // density 0.15, extinction 0.03 in every channel
    const std::vector<float> image = build_glow_image(fog);
    ASSERT_EQ(image.size(), static_cast<size_t>(kN) * kN * 4);
    // The four texels at x, y = +-0.390625 see the source from the same distance.
    const float centre = texel(image, 63, 63)[0];
    EXPECT_EQ(texel(image, 63, 64)[0], centre);
    EXPECT_EQ(texel(image, 64, 63)[0], centre);
    EXPECT_EQ(texel(image, 64, 64)[0], centre);
    for (int i = 0; i < kN; ++i) {
        for (int j = 0; j < kN; ++j) {
            const float* t = texel(image, i, j);
            ASSERT_EQ(t[3], 1.0f);
            ASSERT_EQ(t[1], t[0]) << "equal extinctions give grey at " << i << " " << j;
            ASSERT_EQ(t[2], t[0]);
            const bool central = (i == 63 || i == 64) && (j == 63 || j == 64);
            if (!central) {
                ASSERT_LT(t[0], centre) << i << " " << j;
            }
        }
    }
    // Rows and columns are symmetric about the centre, and the corner is far dimmer.
    EXPECT_EQ(texel(image, 10, 20)[0], texel(image, 117, 107)[0]);
    EXPECT_EQ(texel(image, 10, 20)[0], texel(image, 20, 10)[0]);
    EXPECT_LT(texel(image, 0, 0)[0], centre * 0.01f);
}

TEST(GlowImage, UnequalExtinctionsSwapGreenAndBlue) {
    FogSettings fog;
    fog.fog_extinction = Vec3{0.03f, 0.03f, 0.06f};
    std::vector<float> image = build_glow_image(fog);
    for (int i = 0; i < kN; i += 9) {
        for (int j = 0; j < kN; j += 7) {
            const float* t = texel(image, i, j);
            ASSERT_LT(t[1], t[0]) << "green carries the blue extinction at " << i << " " << j;
            ASSERT_EQ(t[2], t[0]) << "blue carries the green extinction at " << i << " " << j;
        }
    }
    fog.fog_extinction = Vec3{0.03f, 0.06f, 0.03f};
    image = build_glow_image(fog);
    const float* t = texel(image, 40, 90);
    EXPECT_EQ(t[1], t[0]);
    EXPECT_LT(t[2], t[0]);
}

TEST(GlowImage, ClearFogIsTheInverseSquareSum) {
    // Without extinction a texel is S h sum(1 / d^2) over the 128 depth samples,
    // z = -50 + k h: worked out here in double precision.
    FogSettings fog;
    fog.fog_density = 0.2f;
    fog.fog_extinction = Vec3{};
    const std::vector<float> image = build_glow_image(fog);
    const double h = 100.0 / kN;
    for (const auto& [row, col] : {std::pair<int, int>{64, 64}, {0, 0}, {30, 100}}) {
        const double x = -50 + (col + 0.5) * h, y = -50 + (row + 0.5) * h;
        double sum = 0.0;
        for (int k = 0; k < kN; ++k) {
            const double z = -50 + k * h;
            sum += 1.0 / (x * x + y * y + z * z);
        }
        const double want = 0.2 * h * sum;
        const float* t = texel(image, row, col);
        EXPECT_NEAR(t[0], want, want * 1e-4) << row << " " << col;
        EXPECT_EQ(t[1], t[0]);
        EXPECT_EQ(t[2], t[0]);
    }
}

TEST(GlowBillboard, AnglesTurnTheQuadNormalAlongTheLineOfSight) {
    const Vec3 eye{10, -20, 5};
    for (Vec3 v : {Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{-3, 2, 1}, Vec3{-3, -2, -7}, Vec3{4, -0.5f, 2}}) {
        const GlowAngles a = glow_billboard_angles(add(eye, v), eye);
        SCOPED_TRACE(testing::Message() << "v = " << v.x << " " << v.y << " " << v.z);
        EXPECT_GE(a.yaw_degrees, 0.0f);
        EXPECT_LT(a.yaw_degrees, 360.0f);
        // Local +z turned by pitch about y, then by yaw about z.
        const float yaw = radians(a.yaw_degrees), pitch = radians(a.pitch_degrees);
        const Vec3 n{std::sin(pitch) * std::cos(yaw), std::sin(pitch) * std::sin(yaw), std::cos(pitch)};
        const Vec3 want = normalise(v);
        EXPECT_NEAR(n.x, want.x, 1e-5f);
        EXPECT_NEAR(n.y, want.y, 1e-5f);
        EXPECT_NEAR(n.z, want.z, 1e-5f);
    }
    // Straight above or below the eye the yaw is undefined; it is fixed at 0.
    GlowAngles a = glow_billboard_angles(add(eye, Vec3{0, 0, 30}), eye);
    EXPECT_EQ(a.yaw_degrees, 0.0f);
    EXPECT_NEAR(a.pitch_degrees, 0.0f, 1e-4f);
    a = glow_billboard_angles(add(eye, Vec3{0, 0, -30}), eye);
    EXPECT_EQ(a.yaw_degrees, 0.0f);
    EXPECT_NEAR(a.pitch_degrees, 180.0f, 1e-3f);
    a = glow_billboard_angles(eye, eye);
    EXPECT_EQ(a.yaw_degrees, 0.0f);
    EXPECT_EQ(a.pitch_degrees, 0.0f);
}
