// textures.cpp -- the texture section: bitmaps turned into RGBA textures
#include "scene/textures.h"

#include <string>

#include "scene/bmp.h"
#include "scene/read_util.h"

namespace {

uint8_t map_channel(uint8_t byte, int32_t offset, float gain) {
    int64_t v = int64_t{byte} - offset;
    if (v < 0) v = 0;
    const float out = static_cast<float>(v) * gain;
    // Negative or non-number gains give black rather than wrapping around.
    if (!(out > 0.0f)) return 0;
    if (out >= 255.0f) return 255;
    return static_cast<uint8_t>(static_cast<int>(out));
}

}  // namespace

void make_texture(const BmpImage& image, int32_t offset, float gain, Texture& texture) {
    texture.width = image.width;
    texture.height = image.height;
    const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    texture.rgba.assign(pixels * 4, 0);
    for (size_t p = 0; p < pixels; ++p) {
        const uint8_t* src = &image.pixels[p * 3];
        uint8_t* dst = &texture.rgba[p * 4];
        for (int c = 0; c < 3; ++c) dst[c] = map_channel(src[c], offset, gain);
        dst[3] = dst[0] > 0 ? 255 : 0;
    }
}

void read_texture_section(FILE* in, Scene& scene) {
    int32_t count = static_cast<int32_t>(scene.textures.size());
    std::fscanf(in, "%d", &count);
    if (count < 0 || count > kMaxTextures) {
        std::printf("*** texture count %d is outside 0 .. %d; texture section ignored\n", count,
                    kMaxTextures);
        return;
    }
    std::vector<Texture> textures(static_cast<size_t>(count));
    std::string name;
    int32_t offset = 0;
    float gain = 1.0f;
    for (int32_t i = 0; i < count; ++i) {
        if (!scan_word(in, name)) {
            std::printf("*** scene file ends after %d of %d textures\n", i, count);
            textures.resize(static_cast<size_t>(i));
            break;
        }
        std::fscanf(in, "%d%f", &offset, &gain);
        read_bmp(scene.bmp_image, name);
        make_texture(scene.bmp_image, offset, gain, textures[static_cast<size_t>(i)]);
        std::printf("  read bitmap: %s\n", name.c_str());
    }
    scene.textures.swap(textures);
}
