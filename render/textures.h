// textures.h -- texture objects for the cloud splats and the scene's images
#pragma once

#include <cstdint>
#include <vector>

#include "scene/scene.h"

// Texture objects made at window set-up.
struct RenderTextures {
    uint32_t splat_texture = 0;  // 0 until create_textures ran
};

// Uploads the splat strip (from the cloud's splat size and extinction) and one texture object per image;
// each Texture's texture_name is set. Needs a current graphics context.
void create_textures(RenderTextures& textures, const CloudGrid& cloud, std::vector<Texture>& images);
