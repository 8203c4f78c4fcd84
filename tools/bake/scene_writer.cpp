// scene_writer.cpp -- the demo's scene file, key views and colour file
#include "tools/bake/scene_writer.h"

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

    line(s, "bmp");
    line(s, "frame");
    line(s, "end");
    return s;
}

std::vector<uint8_t> view_file_bytes(const DemoLayout& l, int32_t count) {
    ByteWriter w;
    w.i32(count);
    for (int32_t i = 0; i < count; ++i) {
        const float azimuth = l.azimuth + 6.2831852f * static_cast<float>(i) / static_cast<float>(count);
        float eye[3];
        eye_of(l, azimuth, eye);
        for (float v : eye) w.f32(v);
        for (float v : l.target) w.f32(v);
        w.f32(l.distance);
        w.f32(azimuth);
        w.f32(l.elevation);
        w.f32(l.fovy);
        w.f32(0.0f);
        w.f32(0.0f);
        w.i32(30 * i);
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
