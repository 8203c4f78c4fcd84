// ambient_light.h -- the cloud's light from the sun and the sky, and adding it beneath the lightning's
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scene/scene.h"

// The ambient table's file: "VAMB", a version, the coarse sizes and the direction count (little-endian
// int32), then RGB floats per coarse cell (x fastest) and sampling direction.
constexpr char kAmbientMagic[4] = {'V', 'A', 'M', 'B'};
constexpr int32_t kAmbientVersion = 1;
constexpr int64_t kAmbientHeaderBytes = 24;
constexpr const char* kAmbientFileName = "ambient_light.dat";

// In-scattered radiance per unit scattering from the sun and the sky, in the units of physical
// shading's dcl_dir_light, per coarse cell and direction (cell-major), the empty cells at the cloud's
// edge already filled as the relight fills them.
struct AmbientLight {
    bool loaded = false;
    int32_t nx = 0, ny = 0, nz = 0;
    std::vector<Vec3> dir_light;
};

// The bytes of an ambient table for the given coarse sizes; light holds nx * ny * nz * kDirCount values.
std::vector<uint8_t> ambient_file_bytes(int32_t nx, int32_t ny, int32_t nz, const std::vector<Vec3>& light);

// Reads an ambient table for the cloud's coarse grid and fills its empty edge cells. A missing file
// leaves `ambient` unloaded without a word; a file that is short, long, for other sizes or holds a
// value that is not a finite non-negative number is refused whole with a message. True when loaded.
bool load_ambient_light(AmbientLight& ambient, const CloudGrid& cloud, const std::string& name);

// out = ambient + lightning_scale x lightning, value by value (lightning and out of the same size; out
// may be lightning). The scale is a flash's light in the frame.
void compose_cloud_light(const AmbientLight& ambient, const std::vector<Vec3>& lightning,
                         std::vector<Vec3>& out, float lightning_scale = 1.0f);
