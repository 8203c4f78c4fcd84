// textures.cpp -- uploading the splat strip and the scene's images as texture objects
#include "render/textures.h"

#include <GL/gl.h>

#include <cstdlib>
#include <cstring>

#include "render/cloud_splats.h"

namespace {

// GL_RGBA16F, which the OpenGL 1.1 headers do not name.
constexpr GLint kHalfFloatRgba = 0x881A;

// Repeat wrap, linear filters: the settings every texture of the viewer shares.
void set_texture_parameters() {
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
}

// Half floats where the graphics system keeps them: 8 bits per channel round the transmittance of a thin
// splat to the same few steps across the whole cloud, which shows as colour bands.
GLint splat_strip_format() {
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    const char* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    const bool float_textures = (version && std::atoi(version) >= 3) ||
                                (extensions && std::strstr(extensions, "GL_ARB_texture_float"));
    return float_textures ? kHalfFloatRgba : 4;
}

}  // namespace

void create_textures(RenderTextures& textures, const CloudGrid& cloud, std::vector<Texture>& images) {
    const std::vector<float> strip = build_splat_strip(cloud.splat_size, cloud.splat_extinction);
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    set_texture_parameters();
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, splat_strip_format(), kSplatTileSize, kSplatTileSize * kSplatTiles, 0,
                 GL_RGBA, GL_FLOAT, strip.data());
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
