// textures.cpp -- uploading the splat strip and the scene's images as texture objects
#include "render/textures.h"

#include <GL/gl.h>

#include "render/cloud_splats.h"

namespace {

// Repeat wrap, linear filters: the settings every texture of the viewer shares.
void set_texture_parameters() {
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
}

}  // namespace

void create_textures(RenderTextures& textures, const CloudGrid& cloud, std::vector<Texture>& images) {
    const std::vector<float> strip = build_splat_strip(cloud.splat_size, cloud.splat_extinction);
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    set_texture_parameters();
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, 4, kSplatTileSize, kSplatTileSize * kSplatTiles, 0, GL_RGBA, GL_FLOAT,
                 strip.data());
    textures.splat_texture = name;

    for (Texture& t : images) {
        if (t.width <= 0 || t.height <= 0 ||
            t.rgba.size() < static_cast<size_t>(t.width) * static_cast<size_t>(t.height) * 4) {
            continue;
        }
        GLuint tex = 0;
        glGenTextures(1, &tex);
        glBindTexture(GL_TEXTURE_2D, tex);
        set_texture_parameters();
        glTexImage2D(GL_TEXTURE_2D, 0, 4, t.width, t.height, 0, GL_RGBA, GL_UNSIGNED_BYTE, t.rgba.data());
        t.texture_name = tex;
    }
    glBindTexture(GL_TEXTURE_2D, 0);
}
