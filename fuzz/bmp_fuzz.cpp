// bmp_fuzz.cpp -- a BMP image, then the texture made from it
#include "fuzz_support.h"
#include "scene/bmp.h"
#include "scene/textures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_file("ground.bmp", data, size);
    BmpImage image;
    Texture texture;
    fuzz_guard([&] {
        read_bmp(image, path);
        make_texture(image, 10, 1.5f, texture);
    });
    return 0;
}
