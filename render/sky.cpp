// sky.cpp -- sky dome vertex colours: constant, overcast, clear and integrated single scattering
#include "render/sky.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Heights used when the scene leaves them 0, metres.
constexpr float kDefaultAtmosphereHeight = 30000.0f;
constexpr float kDefaultRayleighHeight = 7994.0f;
constexpr float kDefaultAerosolHeight = 12000.0f;

// Wavelengths of the red, green and blue channels (micrometres, 0.675, 0.52, 0.46 as
// floats) and their fourth powers, taken from the single-precision wavelengths.
constexpr std::array<float, 3> kLambda{0.675000011920929f, 0.5199999809265137f, 0.46000000834465027f};
constexpr std::array<float, 3> kLambda4{0.20759417116641998f, 0.07311615347862244f, 0.04477456212043762f};

// Sun-path integration: ten samples, the first at half weight.
constexpr int kSunPathSamples = 10;

// Clear-sky normalisation: the luminance ratio at the zenith for an overhead sun.
constexpr float kClearNormal = 3.649635f;
// Lowest elevation sine used by the clear-sky gradation, so the horizon stays finite.
constexpr float kClearMinZ = 0.01f;

float channel(Vec3 v, int c) { return c == 0 ? v.x : (c == 1 ? v.y : v.z); }

void set_channel(Vec3& v, int c, float value) { (c == 0 ? v.x : (c == 1 ? v.y : v.z)) = value; }

// Height above the ground of a point given relative to the ground origin.
float height_above_ground(Vec3 p) {
    const float z = p.z + kEarthRadius;
    return std::sqrt(p.x * p.x + p.y * p.y + z * z) - kEarthRadius;
}

void colour_const(SkySettings& sky) {
    for (SkyVertex& v : sky.sky_vertices) v.colour = sky.sky_colour;
}

// Luminance rising from a third of the zenith value at the horizon.
void colour_overcast(SkySettings& sky) {
    for (SkyVertex& v : sky.sky_vertices) {
        const float k = (2.0f * v.position.z + 1.0f) / 3.0f;
        v.colour = scale(sky.sky_colour, k);
    }
}

// Clear sky: gradation with elevation times the scattering indicatrix round the sun,
// normalised by the indicatrix of the zenith.
void colour_clear(SkySettings& sky, const LightSettings& light) {
    const Vec3 sun = light.sun_dir;
    const float zenith_angle = kHalfPi - std::asin(std::clamp(sun.z, -1.0f, 1.0f));
    const float cz = std::cos(zenith_angle);
    const float d = 10.0f * std::exp(-3.0f * zenith_angle) + 0.91f + 0.45f * (cz * cz);
    const float k = kClearNormal / d;
    for (SkyVertex& v : sky.sky_vertices) {
        const float mu = std::clamp(dot(v.position, sun), -1.0f, 1.0f);
        const float gamma = std::acos(mu);
        const float f = 10.0f * std::exp(-3.0f * gamma) + 0.91f + 0.45f * (mu * mu);
        const float z = std::max(v.position.z, kClearMinZ);
        const float g = 1.0f - std::exp(-0.32f / z);
        v.colour = scale(sky.sky_colour, g * f * k);
    }
}

void colour_integ(SkySettings& sky, const LightSettings& light, float eye_z) {
    SkyConstants k;
    prepare_sky_constants(sky, light, eye_z, k);
    // Every step of every vertex costs a sun path of its own; a step count from the scene
    // file far beyond any visible difference would keep start-up busy for hours.
    const int64_t vertices = static_cast<int64_t>(sky.sky_vertices.size());
    if (vertices > 0 && k.steps > 0 && (static_cast<int64_t>(k.steps) + 1) * vertices > kMaxIntegSamples) {
        const int32_t fit = static_cast<int32_t>(std::max<int64_t>(1, kMaxIntegSamples / vertices - 1));
        std::printf("*** integ sky: %d steps for each of %lld dome vertices is too much work; using %d steps\n",
                    k.steps, static_cast<long long>(vertices), fit);
        k.steps = fit;
    }
    for (SkyVertex& v : sky.sky_vertices) {
        Vec3 d = v.position;
        // Below-horizon and horizon vertices look along the horizon at their azimuth.
        if (d.z <= 0.0f) {
            d.z = 0.0f;
            const float n = std::sqrt(d.x * d.x + d.y * d.y);
            if (n > 0.0f) {
                d.x = d.x / n;
                d.y = d.y / n;
            }
        }
        const Vec3 rgb = sky_radiance(d, k);
        for (int c = 0; c < 3; ++c)
            set_channel(v.colour, c, std::pow(channel(rgb, c), sky.sky_gamma_inv) * sky.sky_light_scale);
    }
}

}  // namespace

void prepare_sky_constants(SkySettings& sky, const LightSettings& light, float eye_z, SkyConstants& k) {
    if (sky.atmosphere_height == 0.0f) sky.atmosphere_height = kDefaultAtmosphereHeight;
    if (sky.rayleigh_scale_height == 0.0f) sky.rayleigh_scale_height = kDefaultRayleighHeight;
    if (sky.aerosol_scale_height == 0.0f) sky.aerosol_scale_height = kDefaultAerosolHeight;
    sky.integ_p4 = sky.integ_p4 * 0.00001f;
    for (size_t c = 0; c < 3; ++c) {
        const float sun = channel(light.sun_colour, static_cast<int>(c));
        k.k_r[c] = sky.integ_p1 * 0.00001f / kLambda4[c];
        k.k_m[c] = sky.integ_p4 * 0.52f / kLambda[c];
        k.w_r[c] = sun * 0.001f / kLambda4[c];
        k.w_m[c] = sun * sky.integ_p2 * 0.52f / kLambda[c];
    }
    k.inv_h_r = 1.0f / sky.rayleigh_scale_height;
    k.inv_h_m = 1.0f / sky.aerosol_scale_height;
    k.eye_z = eye_z;
    const float eye_r = kEarthRadius + eye_z;
    k.eye_r2 = eye_r * eye_r;
    k.top_r = kEarthRadius + sky.atmosphere_height;
    k.top_r2 = k.top_r * k.top_r;
    // Zero steps would divide the path by zero; one step samples both ends of it.
    k.steps = sky.integ_steps == 0 ? 1 : sky.integ_steps;
    k.phase_peak = sky.integ_p3;
    k.sun_dir = light.sun_dir;
}

Vec3 sky_radiance(Vec3 d, const SkyConstants& k) {
    Vec3 result;
    if (d.z < 0.0f || k.steps < 0) return result;
    const int n = k.steps;
    // Distance to the top of the atmosphere along d.
    const float q = std::max(k.top_r2 - (1.0f - d.z * d.z) * k.eye_r2, 0.0f);
    const float path = std::sqrt(q) - d.z * kEarthRadius;
    const float ds = path / static_cast<float>(n);
    const Vec3 step = scale(d, ds);

    const float cos_t = dot(d, k.sun_dir);
    const float cos2 = cos_t * cos_t;
    const float cos4 = cos2 * cos2;
    const float cos8 = cos4 * cos4;
    const float phase_r = 1.0f + cos2;
    const float phase_m = 1.0f + k.phase_peak * (cos4 * cos8);
    std::array<float, 3> a_r, a_m;
    for (size_t c = 0; c < 3; ++c) {
        a_r[c] = k.w_r[c] * phase_r;
        a_m[c] = k.w_m[c] * phase_m;
    }

    Vec3 p{0.0f, 0.0f, k.eye_z};
    // s: the projection on the sun direction of the point one step ahead of p,
    // measured from the ground origin.
    float s = k.sun_dir.z * k.eye_z;
    const float ds_s = dot(step, k.sun_dir);
    float column_r = 0.0f, column_m = 0.0f;
    for (int i = 0; i <= n; ++i) {
        s += ds_s;
        const float zr = p.z + kEarthRadius;
        const float r2 = p.x * p.x + p.y * p.y + zr * zr;
        const float h = std::sqrt(r2) - kEarthRadius;
        const float sun_path = std::sqrt(std::max(s * s + k.top_r2 - r2, 0.0f)) - s;
        float d_r = std::exp(-h * k.inv_h_r) * ds;
        const float d_m = std::exp(-h * k.inv_h_m) * ds;
        if (i == 0 || i == n) d_r = d_r * 0.55f;
        column_r += d_r;
        column_m += d_m;
        float t_r = 0.0f, t_m = 0.0f;
        sun_optical_depth(p, k.sun_dir, sun_path, k, t_r, t_m);
        for (int c = 0; c < 3; ++c) {
            const size_t ci = static_cast<size_t>(c);
            const float t = std::exp(-k.k_r[ci] * (t_r + column_r) - k.k_m[ci] * (t_m + column_m));
            set_channel(result, c, channel(result, c) + t * (a_r[ci] * d_r + a_m[ci] * d_m));
        }
        p = add(p, step);
    }
    return result;
}

void sun_optical_depth(Vec3 p, Vec3 u, float length, const SkyConstants& k, float& depth_r, float& depth_m) {
    const float delta = length * 0.1f;
    const float h0 = height_above_ground(p);
    // The start sample is half-weighted and taken even below the ground.
    float t_r = 0.5f * std::exp(-h0 * k.inv_h_r);
    float t_m = 0.5f * std::exp(-h0 * k.inv_h_m);
    const Vec3 step = scale(u, delta);
    for (int i = 1; i < kSunPathSamples; ++i) {
        p = add(p, step);
        const float h = height_above_ground(p);
        if (h > 0.0f) {
            t_r += std::exp(-h * k.inv_h_r);
            t_m += std::exp(-h * k.inv_h_m);
        }
    }
    depth_r = t_r * delta;
    depth_m = t_m * delta;
}

void compute_sky_colours(SkySettings& sky, const LightSettings& light, float eye_z) {
    switch (sky.sky_type) {
        case kSkyClear:
            colour_clear(sky, light);
            break;
        case kSkyOvercast:
            colour_overcast(sky);
            break;
        case kSkyConst:
            colour_const(sky);
            break;
        case kSkyInteg:
            colour_integ(sky, light, eye_z);
            break;
        default:
            // A sky of unknown type shows black rather than whatever the dome held.
            for (SkyVertex& v : sky.sky_vertices) v.colour = Vec3{};
            break;
    }
}
