// town.h -- the ground, the buildings and the ground texture of the demo scene
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A 24-bit BMP file (54-byte header, rows bottom-up, padded to four bytes) of an
// image given as RGB triples, bottom row first.
std::vector<uint8_t> bmp_file_bytes(int32_t width, int32_t height, const std::vector<uint8_t>& rgb);

// A dark street-grid texture for the ground, 64 x 64 pixels, RGB bottom row first.
std::vector<uint8_t> ground_texture_rgb(uint32_t seed);
// Side of the ground texture in pixels.
constexpr int32_t kGroundTextureSize = 64;

// Object file of the ground: one textured quad of half-width `half_size` at z = 0,
// facing up, using texture 0 repeated `repeat` times along each side.
std::string ground_object_text(float half_size, float repeat);

// Object file of `count` box buildings scattered without overlap over a square block
// of half-width `spread`, heights in [min_height, max_height]. Each box is written as
// a unit cube and put in place by SCALE and MOVE commands; a final ZREV turns the
// whole block by `turn_degrees` and a MOVE puts it at (cx, cy).
std::string buildings_object_text(uint32_t seed, int count, float spread, float min_height, float max_height,
                                  float cx, float cy, float turn_degrees);
