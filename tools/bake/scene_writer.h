// scene_writer.h -- the demo's scene file, key views and colour file
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Everything the scene file says, in world units (z up, ground at 0).
struct DemoLayout {
    // Cloud: the fine grid's cell size and the world box it must fill.
    std::string grid_file = "storm.grd";
    int32_t grid_nx = 0, grid_ny = 0, grid_nz = 0;
    float cell_size = 1.0f;
    float box_low[3] = {0, 0, 0};  // where the grid's low corner must end up
    float density_threshold = 0.04f;
    float extinction = 0.05f, albedo = 0.9f, phase_g = 0.2f;  // stored by the viewer, used by the bake
    float splat_size = 1.5f, splat_brightness = 1.0f, splat_extinction = 1.0f;
    int32_t dscl = 8;
    float light_k = 1.0f, light_gamma = 2.0f;
    float exposure = 0.0f;  // above 0: a "shading physical" section with this exposure
    // Camera orbit about the target.
    float target[3] = {0, 0, 0};
    float distance = 0, azimuth = 0, elevation = 0, fovy = 50;
    // Lightning section.
    int32_t lightning_seed = 1;
    float channel_colour[3] = {0.85f, 0.85f, 1.0f};
    float emission_colour[3] = {1.0f, 1.0f, 1.0f};
    // Sky and sun.
    float sun_dir[3] = {0.3f, 0.95f, 0.05f};
    bool sky_dome = true;
    // Object and texture files, sounds.
    std::vector<std::string> object_files;
    std::string texture_file = "ground.bmp";
    std::string thunder_file = "thunder.wav", rain_file = "rain.wav";
    float thunder_metres_per_unit = 0.0f;  // above 0: a thunder section, each strike its own thunder
    bool flash_strokes = false;            // a "flash strokes" section: strikes flicker as flashes do
};

// The origin to write so that the viewer's centring (origin minus half the cell
// counts, not scaled by the cell size) puts the grid's low corner at box_low.
void scene_grid_origin(const DemoLayout& layout, float origin[3]);

// Text of "test.dat": camera, cloud, lightning, fog, light, objects, texture, sky,
// wave and bmp sections, the shading section when the layout has an exposure, then "end".
std::string scene_file_text(const DemoLayout& layout);

// Frames between successive key views, the viewer's default key interval.
constexpr int32_t kKeyViewFrames = 30;

// A level circle round the cloud's vertical axis, at the camera's eye height, looking at
// one point of the axis.
struct KeyOrbit {
    float radius = 0.0f;  // horizontal distance from the axis
    float eye_z = 0.0f;
    float target_z = 0.0f;
};

// The closest such circle, starting from the camera's own distance, from which `count`
// evenly spaced views (the first at the camera's azimuth) each show the whole cloud box
// with a margin in a square window.
KeyOrbit fit_key_orbit(const DemoLayout& layout, int32_t count);

// "view.dat": `count` key views round the orbit of fit_key_orbit, each eye, target, up
// (+z), (fovy, 0, 0) and frame number 30 i (see docs/key-views.md).
std::vector<uint8_t> view_file_bytes(const DemoLayout& layout, int32_t count);

// The colour file: a count, then a storm palette as R G B lines of 0..255.
std::string colour_file_text();
