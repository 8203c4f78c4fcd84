// scene.h -- every record that a scene file fills, and the scene state they make up
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sound/wave.h"
#include "support/vec3.h"

// Sampling directions of the per-direction cloud radiance: +z pole, three rings of
// eight, -z pole. Their order is the order of dcl_dir_light and of the base
// intensity table; illumination/directions.h turns angles into these indices.
constexpr int kDirRings = 5;
constexpr int kDirSegments = 8;
constexpr int kDirCount = (kDirRings - 2) * kDirSegments + 2;  // 26
constexpr float kDirStep = 0.7853981f;                         // polar and azimuth step, pi/4

// The system's own value of pi wherever angles are converted.
constexpr float kPi = 3.1415926f;
constexpr float kTwoPi = 6.2831852f;
constexpr float kHalfPi = 1.5707963f;

// A box as min x, y, z then max x, y, z.
using Box = std::array<float, 6>;

// Camera section as read; the camera itself lives in app/camera.h.
struct CameraSettings {
    int32_t given = 0;  // 1 once a camera section has been read
    Vec3 position_in;   // stored, not used
    Vec3 target_in;
    Vec3 orbit_in;       // distance, azimuth, elevation (radians)
    float fovy = 30.0f;  // degrees
};

struct LightSettings {
    Vec3 sun_dir{0.0f, 0.0f, 1.0f};  // unit vector towards the sun
    Vec3 sun_colour{1.0f, 1.0f, 1.0f};
    float ambient = 0.3f;
};

struct FogSettings {
    float fog_density = 0.15f;
    Vec3 fog_colour{0.8f, 0.8f, 0.8f};
    Vec3 fog_extinction{0.03f, 0.03f, 0.03f};
};

struct SkyVertex {
    Vec3 position;  // unit direction on the dome
    Vec3 colour;    // written by the sky model
};

struct SkyQuad {
    std::array<int32_t, 4> corner{};  // indices into SkySettings::sky_vertices, drawing order
    Vec3 normal;                      // not read by any drawing
    float plane_offset = 0.0f;
    std::array<int32_t, 4> spare{};
};

enum SkyType { kSkyClear = 1, kSkyOvercast = 2, kSkyConst = 3, kSkyInteg = 4 };

struct SkySettings {
    float sky_level = -1.0f;  // dome scale; drawn only when > 0
    int32_t sky_segments = -1;
    int32_t sky_rings = -1;
    float sky_param_a = 0.0f, sky_param_b = 0.0f;  // stored, not used
    int32_t sky_type = 0;
    Vec3 sky_colour;
    // "integ" values (meaning in render/sky.h)
    int32_t integ_reserved = 0;
    int32_t integ_steps = 0;
    float atmosphere_height = 0.0f;
    float integ_p1 = 0.0f;
    float rayleigh_scale_height = 0.0f;
    float integ_p2 = 0.0f, integ_p3 = 0.0f, integ_p4 = 0.0f;
    float aerosol_scale_height = 0.0f;
    float sky_gamma_inv = 1.0f;
    float sky_light_scale = 1.0f;
    // The dome, sized by the sky section and filled by build_sky_dome.
    std::vector<SkyVertex> sky_vertices;
    std::vector<SkyQuad> sky_quads;
};

// One occupied fine cell drawn as a splat.
struct Blob {
    float x = 0.0f, y = 0.0f, z = 0.0f;  // cell centre relative to grd_origin
    float sort_key = 0.0f;               // squared distance to the eye, per frame
    int32_t cell = 0;                    // fine cell index
};

// How the cloud is shaded. Without a shading section a scene keeps the classic look (gamma-mapped table
// values over the fine density, blended in display values). "physical": splats carry the in-scattered
// radiance per unit scattering and an opacity from the medium's own extinction, blended in linear light,
// and one display curve makes the finished frame (docs/table-to-pixel.md).
struct ShadingSettings {
    bool physical = false;
    float exposure = 1.0f;  // multiplies linear radiance before the tone curve
};

// The cloud grid record. Fine cell (i, j, k) has index (k * ny + j) * nx + i on both
// the fine and the coarse grid (x fastest).
struct CloudGrid {
    int32_t grd_numx = 0, grd_numy = 0, grd_numz = 0;  // all 0 before any cloud section
    float grd_size = 0.0f;
    Vec3 grd_origin;  // low corner after centring
    std::vector<uint8_t> grd_bytes;
    float grd_byte_scale = 0.0f;
    std::vector<float> grd_density;
    float density_threshold = 0.0f;
    std::array<float, 3> optical{};  // extinction, scattering, phase offset: stored, not used
    float splat_size = 1.5f;
    float splat_brightness = 3.5f;
    float splat_extinction = 1.0f;
    int32_t dscl = 0;
    int32_t dcl_numx = 0, dcl_numy = 0, dcl_numz = 0;
    float dcl_size = 0.0f;
    // Per coarse cell, kDirCount RGB values: entry cell * kDirCount + direction.
    std::vector<Vec3> dcl_dir_light;
    float gamma_inv = 1.0f;
    float light_scale = 1.0f;
    std::vector<Blob> blobs;  // blob_count = blobs.size()
    Box cloud_box{};
    // The shading section's choice; the relight and the splats read it (so does the point-source binning).
    ShadingSettings shading;
};

// Lightning section as read (meaning in lightning/discharge.h).
struct LightningSettings {
    int32_t discharge_count = 0;
    int32_t seed = 0;
    int32_t max_branch_depth = 0;
    float turn_angle_spread = 0.0f;  // radians as read
    float turn_angle_mean = 0.0f;    // radians after reading (degrees in the file)
    float segment_length_min = 0.0f, segment_length_max = 0.0f;
    float ground_height = 0.0f;  // always 0 after reading
    float unused_line4 = 0.0f;
    float branch_probability = 0.0f, continue_probability = 0.0f, continue_decay = 0.0f;
    float glow_size = 0.0f;
    std::array<float, 3> unused_line6{};
    Vec3 channel_colour, emission_colour, glow_colour, object_flash;
    int32_t unused_line11_int = 0;
    float unused_line11_float = 0.0f;
    Vec3 sky_flash;
    int32_t max_branch_points = 1000;
    int32_t max_branches = 10;
    Vec3 discharge_box_low, discharge_box_high;
    // Counts accepted lightning sections, so the caller knows when to (re)build
    // the discharge records and seed the generator after a reading.
    int32_t sections_read = 0;
};

struct ObjectVertex {
    Vec3 position;
    Vec3 colour;  // written by the object lighting
};

constexpr int32_t kNoCorner = -1;  // an empty corner or texture-coordinate reference

struct ObjectFace {
    std::array<int32_t, 4> corner{kNoCorner, kNoCorner, kNoCorner, kNoCorner};  // 0-based vertex refs
    Vec3 normal;
    float plane_offset = 0.0f;
    std::array<int32_t, 4> corner_texcoord{kNoCorner, kNoCorner, kNoCorner, kNoCorner};
};

struct SceneObject {
    int32_t face_count = 0;
    int32_t vertex_count = 0;
    Vec3 colour;
    std::vector<ObjectFace> faces;
    std::vector<ObjectVertex> vertices;
    int32_t lit = 0;
    int32_t transform_kind = 100;  // 101 applies transform when drawing
    int32_t texture_index = -1;
    int32_t texcoord_count = 0;
    int32_t textured = 0;
    std::vector<std::array<float, 2>> texcoords;
    std::array<float, 16> transform{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};  // column-major
    Vec3 box_min, box_max, centre;
    float radius = 0.0f;
};

struct Texture {
    std::vector<uint8_t> rgba;  // 4 bytes per pixel, bottom row first
    int32_t width = 0, height = 0;
    uint32_t texture_name = 0;  // graphics texture object, set when uploaded
};

// The image record that the BMP reader fills.
struct BmpImage {
    std::string name;
    int32_t x0 = 0, x1 = 0, y1 = 0, y0 = 0;
    int32_t width = 0, height = 0;
    std::vector<uint8_t> pixels;  // RGB, rows bottom-up
};

// Everything a scene description defines.
struct Scene {
    CameraSettings camera;
    LightSettings light;
    FogSettings fog;
    SkySettings sky;
    CloudGrid cloud;
    LightningSettings lightning;
    float mix_ring_seconds = 0.0f;
    float thunder_metres_per_unit = 0.0f;  // "thunder": above 0, each strike makes its own thunder
    bool flash_strokes = false;            // "flash strokes": each strike a flash of several strokes, in time
    std::vector<Sound> sound_table;        // sound_count = sound_table.size()
    WaveReader wave_reader;
    std::vector<SceneObject> objects;  // object_count = objects.size()
    Box object_box{};                  // all zeros until an object section
    std::vector<Texture> textures;     // texture_count = textures.size()
    BmpImage bmp_image;                // reused for every texture read
    std::string bmp_word;              // bmp section's prefix, stored, not used
    bool sky_built = false;            // build_sky_dome ran in the latest reading
    bool load_sounds = true;           // false: the wave section's files are named but not read (tools)
};

// The process-wide scene; only app/ reaches it directly.
extern Scene scene_state;

// Back to the state before any scene file was read.
void reset_scene(Scene& scene);
