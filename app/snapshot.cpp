// snapshot.cpp -- PNG output of frames through stb_image_write
#include "app/snapshot.h"

#include <stb/stb_image_write.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

std::string snapshot_name(const std::string& prefix, int frame) {
    char number[16];
    snprintf(number, sizeof number, "-%04d.png", frame);
    return prefix + number;
}

bool write_png_bottom_up(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb) {
    if (width <= 0 || height <= 0 || rgb.size() < static_cast<size_t>(width) * height * 3) {
        printf("snapshot %s: no image to write\n", path.c_str());
        return false;
    }
    // GL hands rows bottom-up; PNG stores them top-down.
    stbi_flip_vertically_on_write(1);
    if (!stbi_write_png(path.c_str(), width, height, 3, rgb.data(), width * 3)) {
        printf("can't write snapshot %s\n", path.c_str());
        return false;
    }
    return true;
}

std::string free_snapshot_name(int& last) {
    for (;;) {
        const std::string name = snapshot_name("vintrel", ++last);
        std::error_code error;
        if (!std::filesystem::exists(name, error)) return name;  // an unreadable folder fails at the write
    }
}
