// scene_writer.cpp -- the demo's scene file, key views and colour file
#include "tools/bake/scene_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "tools/bake/byte_writer.h"

namespace {

// Appends printf-formatted text; every scene value group goes on its own line.
void line(std::string& s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void line(std::string& s, const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    s += buf;
    s += '\n';
}

// The orbit's frame: every corner of the cloud box stays inside this share of the
// half-width and half-height of a square view, so the whole cloud shows at any aspect of
// 1 or wider, with a margin for the spline between the key views.
constexpr float kOrbitFill = 0.88f;
// Steps of the search for the closest orbit that frames the box, in scene units.
constexpr float kOrbitRadiusStep = 1.0f;
constexpr float kOrbitTargetStep = 0.5f;
constexpr int kOrbitMaxSteps = 2000;

// Largest share of the half view that a box corner takes from an eye at height `eye_z`,
// `radius` from the storm's vertical axis at `azimuth`, looking at the axis point at
// height `target_z`; 2 when a corner falls behind the eye.
float box_share(const DemoLayout& l, float radius, float azimuth, float eye_z, float target_z) {
    const float half_tan = std::tan(l.fovy * 0.5f * 3.1415926f / 180.0f);
    const float cx = l.box_low[0] + 0.5f * l.cell_size * static_cast<float>(l.grid_nx);
    const float cy = l.box_low[1] + 0.5f * l.cell_size * static_cast<float>(l.grid_ny);
    const float eye[3] = {cx + radius * std::cos(azimuth), cy + radius * std::sin(azimuth), eye_z};
    float fwd[3] = {cx - eye[0], cy - eye[1], target_z - eye[2]};
    const float fl = std::sqrt(fwd[0] * fwd[0] + fwd[1] * fwd[1] + fwd[2] * fwd[2]);
    for (float& v : fwd) v /= fl;
    // Level camera: right is horizontal, up completes the frame.
    const float hl = std::sqrt(fwd[0] * fwd[0] + fwd[1] * fwd[1]);
    const float right[3] = {fwd[1] / hl, -fwd[0] / hl, 0.0f};
    const float up[3] = {right[1] * fwd[2] - right[2] * fwd[1], right[2] * fwd[0] - right[0] * fwd[2],
                         right[0] * fwd[1] - right[1] * fwd[0]};
    const int32_t n[3] = {l.grid_nx, l.grid_ny, l.grid_nz};
    float share = 0.0f;
    for (int corner = 0; corner < 8; ++corner) {
        float d[3];
        for (int k = 0; k < 3; ++k) {
            const float extent = (corner >> k & 1) ? l.cell_size * static_cast<float>(n[k]) : 0.0f;
            d[k] = l.box_low[k] + extent - eye[k];
        }
        const float depth = d[0] * fwd[0] + d[1] * fwd[1] + d[2] * fwd[2];
        if (depth <= 0.0f) return 2.0f;
        const float sx = (d[0] * right[0] + d[1] * right[1] + d[2] * right[2]) / (depth * half_tan);
        const float sy = (d[0] * up[0] + d[1] * up[1] + d[2] * up[2]) / (depth * half_tan);
        share = std::max(share, std::max(std::fabs(sx), std::fabs(sy)));
    }
    return share;
}

void eye_of(const DemoLayout& l, float azimuth, float eye[3]) {
    eye[0] = l.target[0] + l.distance * std::cos(l.elevation) * std::cos(azimuth);
    eye[1] = l.target[1] + l.distance * std::cos(l.elevation) * std::sin(azimuth);
    eye[2] = l.target[2] + l.distance * std::sin(l.elevation);
}

}  // namespace

void scene_grid_origin(const DemoLayout& layout, float origin[3]) {
    const int32_t n[3] = {layout.grid_nx, layout.grid_ny, layout.grid_nz};
    for (int k = 0; k < 3; ++k) origin[k] = layout.box_low[k] + 0.5f * static_cast<float>(n[k]);
}

std::string scene_file_text(const DemoLayout& l) {
    std::string s;
    float eye[3], origin[3];
    eye_of(l, l.azimuth, eye);
    scene_grid_origin(l, origin);
    line(s, "camera");
    line(s, "%.4f %.4f %.4f", eye[0], eye[1], eye[2]);
    line(s, "%.4f %.4f %.4f", l.target[0], l.target[1], l.target[2]);
    line(s, "%.4f %.6f %.6f", l.distance, l.azimuth, l.elevation);
    line(s, "%.2f", l.fovy);

    line(s, "cloud");
    line(s, "%s %.4f", l.grid_file.c_str(), l.density_threshold);
    line(s, "%.6f %.4f %.4f %.4f", l.cell_size, origin[0], origin[1], origin[2]);
    line(s, "%.5f %.4f %.4f", l.extinction, l.albedo, l.phase_g);
    line(s, "%.3f %.3f %.3f", l.splat_size, l.splat_brightness, l.splat_extinction);
    line(s, "%d", l.dscl);
    line(s, "%.4f %.4f", l.light_k, l.light_gamma);

    // Segment lengths and turning suit a channel of about a dozen segments from the
    // cloud base to the ground; branches fork off and die out within a few segments.
    line(s, "lightning");
    line(s, "%d %d", 4, l.lightning_seed);
    line(s, "%d %.3f %.3f", 4, 0.35, 18.0);
    line(s, "%.3f %.3f", 1.5, 4.5);
    line(s, "%.1f %.1f", 0.0, 0.0);
    line(s, "%.3f %.3f %.3f", 0.09, 0.97, 0.72);
    line(s, "%.2f %.1f %.1f %.1f", 9.0, 0.0, 0.0, 0.0);
    line(s, "%.3f %.3f %.3f", l.channel_colour[0], l.channel_colour[1], l.channel_colour[2]);
    line(s, "%.3f %.3f %.3f", l.emission_colour[0], l.emission_colour[1], l.emission_colour[2]);
    line(s, "%.3f %.3f %.3f", 0.16, 0.17, 0.26);
    line(s, "%.3f %.3f %.3f", 0.45, 0.45, 0.6);
    line(s, "%d %.1f", 0, 0.0);
    line(s, "%.3f %.3f %.3f", 0.30, 0.32, 0.45);

    line(s, "fog");
    line(s, "%.3f %.3f %.3f %.3f", 0.15, 0.2, 0.2, 0.25);
    line(s, "%.3f %.3f %.3f", 0.03, 0.03, 0.025);

    line(s, "light");
    line(s, "%.4f %.4f %.4f", l.sun_dir[0], l.sun_dir[1], l.sun_dir[2]);
    line(s, "%.3f %.3f %.3f %.3f", 0.9, 0.5, 0.3, 0.22);

    line(s, "object");
    line(s, "%d", static_cast<int>(l.object_files.size()));
    for (const auto& f : l.object_files) line(s, "%s", f.c_str());

    line(s, "texture");
    line(s, "%d", 1);
    line(s, "%s", l.texture_file.c_str());
    line(s, "%d %.2f", 0, 1.0);

    if (l.sky_dome) {
        // A dusk sky: deep blue overhead, lighter towards the horizon and glowing where
        // the sun has just set.
        line(s, "sky");
        line(s, "%.1f %d %d %.1f %.1f", 3000.0, 33, 12, 0.0, 0.0);
        line(s, "clear");
        line(s, "%.4f %.4f %.4f", 0.022, 0.026, 0.06);
    }

    line(s, "wave");
    line(s, "%.1f", 10.0);
    line(s, "%d", 2);
    line(s, "%s %.2f", l.thunder_file.c_str(), 1.0);
    line(s, "%s %.2f", l.rain_file.c_str(), 0.6);

    if (l.thunder_metres_per_unit > 0.0f) {
        line(s, "thunder");
        line(s, "%.6g", l.thunder_metres_per_unit);
    }
    if (l.flash_strokes) {
        line(s, "flash");
        line(s, "strokes");
    }

    line(s, "bmp");
    line(s, "frame");
    if (l.exposure > 0.0f) {
        line(s, "shading");
        line(s, "physical %.6g", l.exposure);
    }
    line(s, "end");
    return s;
}

KeyOrbit fit_key_orbit(const DemoLayout& l, int32_t count) {
    KeyOrbit o;
    float start_eye[3];
    eye_of(l, l.azimuth, start_eye);
    o.eye_z = start_eye[2];
    o.radius = std::hypot(start_eye[0] - l.target[0], start_eye[1] - l.target[1]);
    const float box_top = l.box_low[2] + l.cell_size * static_cast<float>(l.grid_nz);
    // The closest radius at which some aim point on the axis frames the box from every key view.
    for (int step = 0; step < kOrbitMaxSteps; ++step, o.radius += kOrbitRadiusStep) {
        for (float t = l.box_low[2]; t <= box_top; t += kOrbitTargetStep) {
            float worst = 0.0f;
            for (int32_t i = 0; i < count; ++i) {
                const float azimuth =
                    l.azimuth + 6.2831852f * static_cast<float>(i) / static_cast<float>(count);
                worst = std::max(worst, box_share(l, o.radius, azimuth, o.eye_z, t));
            }
            if (worst <= kOrbitFill) {
                o.target_z = t;
                return o;
            }
        }
    }
    o.target_z = 0.5f * (l.box_low[2] + box_top);
    return o;
}

std::vector<uint8_t> view_file_bytes(const DemoLayout& l, int32_t count) {
    const KeyOrbit orbit = fit_key_orbit(l, count);
    const float cx = l.box_low[0] + 0.5f * l.cell_size * static_cast<float>(l.grid_nx);
    const float cy = l.box_low[1] + 0.5f * l.cell_size * static_cast<float>(l.grid_ny);
    ByteWriter w;
    w.i32(count);
    for (int32_t i = 0; i < count; ++i) {
        const float azimuth = l.azimuth + 6.2831852f * static_cast<float>(i) / static_cast<float>(count);
        w.f32(cx + orbit.radius * std::cos(azimuth));
        w.f32(cy + orbit.radius * std::sin(azimuth));
        w.f32(orbit.eye_z);
        w.f32(cx);
        w.f32(cy);
        w.f32(orbit.target_z);
        w.f32(0.0f);  // up: +z, a level view
        w.f32(0.0f);
        w.f32(1.0f);
        w.f32(l.fovy);
        w.f32(0.0f);  // two values kept for later use
        w.f32(0.0f);
        w.i32(kKeyViewFrames * i);
    }
    return std::move(w.bytes);
}

std::string colour_file_text() {
    static const int palette[][3] = {{8, 10, 24},     {22, 26, 60},    {40, 44, 72},    {96, 104, 140},
                                     {170, 180, 230}, {235, 235, 255}, {255, 190, 120}, {200, 90, 40}};
    std::string s;
    line(s, "%d", static_cast<int>(sizeof palette / sizeof palette[0]));
    for (const auto& c : palette) line(s, "%d %d %d", c[0], c[1], c[2]);
    return s;
}
