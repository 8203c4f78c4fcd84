// scene_files.h -- builders of grid, BMP and wave files for the scene reader tests
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "scene/scene_file.h"
#include "test_support.h"

// A grid file: three sizes, the byte scale, then the cell bytes as given.
inline std::vector<uint8_t> grid_bytes(int32_t nx, int32_t ny, int32_t nz, float scale,
                                       const std::vector<uint8_t>& cells) {
    std::vector<uint8_t> out;
    put_i32(out, nx);
    put_i32(out, ny);
    put_i32(out, nz);
    put_f32(out, scale);
    out.insert(out.end(), cells.begin(), cells.end());
    return out;
}

// A uniform grid file of nx x ny x nz cells, all holding value.
inline void write_grid(const std::string& path, int32_t nx, int32_t ny, int32_t nz, float scale,
                       uint8_t value) {
    write_binary_file(path, grid_bytes(nx, ny, nz, scale, std::vector<uint8_t>(size_t(nx) * ny * nz, value)));
}

// A BMP file of the given header fields; rgb holds R, G, B per pixel, rows bottom-up,
// and is written as B, G, R with each row padded to four bytes.
inline std::vector<uint8_t> bmp_bytes(int32_t width, int32_t height, const std::vector<uint8_t>& rgb,
                                      uint16_t bits = 24, uint32_t compression = 0, uint32_t offset = 54) {
    const int32_t rows = height < 0 ? -height : height;
    const int32_t stride = (width * 3 + 3) / 4 * 4;
    std::vector<uint8_t> out = {'B', 'M'};
    put_i32(out, int32_t(offset + stride * rows));
    put_u16(out, 0);
    put_u16(out, 0);
    put_i32(out, int32_t(offset));
    put_i32(out, 40);
    put_i32(out, width);
    put_i32(out, height);
    put_u16(out, 1);
    put_u16(out, bits);
    put_i32(out, int32_t(compression));
    put_i32(out, stride * rows);
    for (int i = 0; i < 4; ++i) put_i32(out, 0);
    out.resize(offset, 0xEE);  // filler between the headers and the pixels
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t x = 0; x < width; ++x) {
            const size_t p = (size_t(r) * width + x) * 3;
            out.push_back(rgb[p + 2]);
            out.push_back(rgb[p + 1]);
            out.push_back(rgb[p + 0]);
        }
        for (int32_t pad = width * 3; pad < stride; ++pad) out.push_back(0xAB);
    }
    return out;
}

// A 16-bit mono wave file at 16000 Hz holding the given samples.
inline void write_wave16(const std::string& path, const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out = {'R', 'I', 'F', 'F'};
    const int32_t data = int32_t(samples.size() * 2);
    put_i32(out, 36 + data);
    for (char c : std::string("WAVEfmt ")) out.push_back(uint8_t(c));
    put_i32(out, 16);
    put_u16(out, 1);
    put_u16(out, 1);
    put_i32(out, 16000);
    put_i32(out, 32000);
    put_u16(out, 2);
    put_u16(out, 16);
    for (char c : std::string("data")) out.push_back(uint8_t(c));
    put_i32(out, data);
    for (int16_t s : samples) put_u16(out, uint16_t(s));
    write_binary_file(path, out);
}

// Writes text as a scene file in dir and reads it into scene; returns what the
// reading printed on standard output.
inline std::string read_scene_text(const ScratchDir& dir, const std::string& text, Scene& scene,
                                   const std::string& file = "scene.dat") {
    write_text_file(dir.file(file), text);
    testing::internal::CaptureStdout();
    try {
        read_scene_file(dir.file(file), scene);
    } catch (...) {
        std::fflush(stdout);
        testing::internal::GetCapturedStdout();
        throw;
    }
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
