// glow_image.cpp -- the fog halo image and billboard angles for the glow layer
#include "lightning/glow_image.h"

#include <algorithm>
#include <cmath>

namespace {

// The image spans a cube of this edge centred on the source, in scene units.
constexpr float kGlowCubeEdge = 100.0f;
constexpr float kGlowCubeHalf = 50.0f;
// Squared distances are kept above this so a sample on the source stays finite.
constexpr float kMinDistance2 = 0.0001f;

float degrees(float radians) { return radians / kPi * 180.0f; }

// acos with its argument kept in range: rounding may push a cosine just past 1.
float safe_acos(float c) { return std::acos(std::min(1.0f, std::max(-1.0f, c))); }

}  // namespace

std::vector<float> build_glow_image(const FogSettings& fog) {
    const int n = kGlowTextureSize;
    const float h = kGlowCubeEdge / static_cast<float>(n);
    const float density = fog.fog_density;
    const Vec3 sigma = fog.fog_extinction;
    std::vector<float> image(static_cast<size_t>(n) * n * 4);
    for (int i = 0; i < n; ++i) {
        const float y = -kGlowCubeHalf + (static_cast<float>(i) + 0.5f) * h;
        for (int j = 0; j < n; ++j) {
            const float x = -kGlowCubeHalf + (static_cast<float>(j) + 0.5f) * h;
            // March the line of sight through the cube: light goes d from the source
            // to the sample, then z + 50 to the front face, with 1/d^2 spreading.
            float a1 = 0.0f, a2 = 0.0f, a3 = 0.0f;
            for (int k = 0; k < n; ++k) {
                const float z = -kGlowCubeHalf + static_cast<float>(k) * h;
                const float d2 = std::max(x * x + y * y + z * z, kMinDistance2);
                const float d = std::sqrt(d2);
                const float path = (z + kGlowCubeHalf) + d;
                a1 += density * std::exp(-sigma.x * path) / d2;
                a2 += density * std::exp(-sigma.y * path) / d2;
                a3 += density * std::exp(-sigma.z * path) / d2;
            }
            // Green holds the sum taken with the blue extinction and blue the one
            // taken with green: the halo has always been tinted this way.
            float* t = &image[(static_cast<size_t>(i) * n + static_cast<size_t>(j)) * 4];
            t[0] = a1 * h;
            t[1] = a3 * h;
            t[2] = a2 * h;
            t[3] = 1.0f;
        }
    }
    return image;
}

GlowAngles glow_billboard_angles(Vec3 p, Vec3 eye) {
    const Vec3 v = sub(p, eye);
    const float d = length(v);
    const float horizontal = std::sqrt(v.x * v.x + v.y * v.y);
    GlowAngles a;
    if (horizontal > 0.0f) {
        a.yaw_degrees = degrees(safe_acos(v.x / horizontal));
        if (v.y < 0.0f) a.yaw_degrees = 360.0f - a.yaw_degrees;
    }
    if (d > 0.0f) a.pitch_degrees = degrees(safe_acos(v.z / d));
    return a;
}
