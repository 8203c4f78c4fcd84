// textures.h -- texture objects for the cloud splats and the scene's images
#pragma once

#include <cstdint>
#include <vector>

#include "scene/scene.h"

// Texture objects made at window set-up.
struct RenderTextures {
    uint32_t splat_texture = 0;  // 0 until create_textures ran
    // The point-sprite program for the splats; 0 where the graphics system has no shaders (quads then).
    uint32_t splat_program = 0;
    float max_point_size = 0.0f;  // largest sprite side the renderer draws, pixels
    int32_t size_scale_location = -1, strip_location = -1;
};

// Uploads the splat strip (from the cloud's splat size and extinction) and one texture object per image;
// each Texture's texture_name is set. Needs a current graphics context.
void create_textures(RenderTextures& textures, const CloudGrid& cloud, std::vector<Texture>& images);
// Builds the splats' point-sprite program when allowed and the graphics system has OpenGL 2.0 or later;
// otherwise leaves splat_program 0. Needs a current graphics context.
void create_splat_program(RenderTextures& textures, bool allowed);
