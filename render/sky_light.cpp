// sky_light.cpp -- the sun's irradiance and the sky's radiance that light the cloud between strikes
#include "render/sky_light.h"

#include <algorithm>
#include <cmath>

#include "render/sky.h"

namespace {

constexpr double kPiD = 3.141592653589793;

// The linear radiance the viewer gives a display value b of the background.
double linear(double b, double exposure, double gamma_inv) {
    return std::pow(std::clamp(b, 0.0, 1.0), 1.0 / gamma_inv) / exposure;
}

}  // namespace

void ambient_sources(const Scene& scene, double exposure, Vec3& sun_irradiance, Vec3& sky_radiance) {
    const double gi = scene.cloud.gamma_inv > 0.0f ? scene.cloud.gamma_inv : 1.0;
    const double e = exposure > 0.0 ? exposure : 1.0;
    const Vec3 s = scene.light.sun_colour;
    // A white surface facing the sun reflects F / pi; it shows at kSunWhiteLevel.
    const double f = kPiD * linear(kSunWhiteLevel, e, gi);
    sun_irradiance =
        Vec3{static_cast<float>(f * std::max(0.0f, s.x)), static_cast<float>(f * std::max(0.0f, s.y)),
             static_cast<float>(f * std::max(0.0f, s.z))};
    sky_radiance = Vec3{};
    if (!scene.sky_built || scene.sky.sky_vertices.empty()) return;
    SkySettings sky = scene.sky;
    compute_sky_colours(sky, scene.light, 0.0f);
    // Rings are evenly spaced in elevation, so a vertex stands for a solid angle in proportion to the
    // cosine of its elevation.
    double sum[3] = {0.0, 0.0, 0.0}, weight = 0.0;
    for (const SkyVertex& v : sky.sky_vertices) {
        if (v.position.z < 0.0f) continue;
        const double w = std::sqrt(std::max(0.0, 1.0 - static_cast<double>(v.position.z) * v.position.z));
        sum[0] += w * v.colour.x;
        sum[1] += w * v.colour.y;
        sum[2] += w * v.colour.z;
        weight += w;
    }
    if (!(weight > 0.0)) return;
    sky_radiance = Vec3{static_cast<float>(linear(sum[0] / weight, e, gi)),
                        static_cast<float>(linear(sum[1] / weight, e, gi)),
                        static_cast<float>(linear(sum[2] / weight, e, gi))};
}
