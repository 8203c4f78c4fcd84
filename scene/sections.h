// sections.h -- camera, light, fog, sky, lightning, wave and bmp sections of the scene file
#pragma once

#include <cstdint>
#include <cstdio>

#include "scene/scene.h"

// Most discharge records a lightning section may ask for, and the most the generator
// makes: each record holds ten branches of a thousand points (120 kB), so larger
// counts only eat memory (256 records are some 30 MB).
constexpr int32_t kMaxDischarges = 256;
// Most sounds a wave section may list.
constexpr int32_t kMaxSounds = 1024;
// Largest metres per unit the thunder section takes: a 128-unit cloud 1280 km wide.
constexpr float kMaxThunderMetresPerUnit = 10000.0f;
// Most vertices a sky dome may have (far beyond any visible difference).
constexpr int64_t kMaxSkyVertices = int64_t{1} << 22;

// Camera section: position (stored), target, orbit (distance, azimuth, elevation), fovy.
void read_camera_section(FILE* in, Scene& scene);
// Light section: sun direction (normalised; a zero vector is refused), sun colour, ambient.
void read_light_section(FILE* in, Scene& scene);
// Fog section: density and colour, then extinction.
void read_fog_section(FILE* in, Scene& scene);
// Sky section: level, dome size, type and the type's values; sizes the dome arrays.
void read_sky_section(FILE* in, Scene& scene);
// Lightning section: stores the settings, the discharge box, and counts the section in
// scene.lightning.sections_read; refused before a cloud section.
void read_lightning_section(FILE* in, Scene& scene);
// Wave section: ring length, then the sound table, each entry loaded as it is read.
void read_wave_section(FILE* in, Scene& scene);
// Thunder section: metres per scene unit; above 0 (and at most kMaxThunderMetresPerUnit) each
// strike's thunder is made from its channel, otherwise the wave section's thunder plays.
void read_thunder_section(FILE* in, Scene& scene);
// Flash section: "strokes" (each strike a flash of several return strokes over time) or "single" (one
// frame of light); another word keeps the mode in force, with a message.
void read_flash_section(FILE* in, Scene& scene);
// Shading section: a mode word ("physical"; any other word is the classic shading) and the exposure
// (a positive number; anything else keeps the exposure in force).
void read_shading_section(FILE* in, Scene& scene);
// Bmp section: one word, stored.
void read_bmp_section(FILE* in, Scene& scene);

// Fills the dome vertices and quads for sky_rings x sky_segments (geometry only; the
// colours are the sky model's). Does nothing for fewer than 2 rings or segments.
void build_sky_dome(SkySettings& sky);

// Gamma mapping of brightness k and gamma g: g 0 counts as 1; for g > 0 sets
// gamma_inv = 1/g and light_scale = k * 255 / 255^(1/g); g < 0 leaves both alone.
void apply_gamma(float k, float g, float& gamma_inv, float& light_scale);
