// textures.h -- the texture section: bitmaps turned into RGBA textures
#pragma once

#include <cstdint>
#include <cstdio>

#include "scene/scene.h"

// Most images a texture section may list.
constexpr int32_t kMaxTextures = 1024;

// Texture section: a count, then per image a bitmap name, an offset and a gain. Each
// bitmap goes through scene.bmp_image and becomes one entry of scene.textures, which
// the section replaces. A negative or too large count is refused with a message.
void read_texture_section(FILE* in, Scene& scene);

// Turns an RGB image into RGBA texels: each channel max(0, byte - offset) * gain,
// truncated and clamped to 0 .. 255; alpha 255 where the red output is above 0.
void make_texture(const BmpImage& image, int32_t offset, float gain, Texture& texture);
