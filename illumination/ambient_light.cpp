// ambient_light.cpp -- reading the ambient table and adding it beneath the lightning's light
#include "illumination/ambient_light.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "illumination/in_scattering.h"
#include "support/file_limits.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the table files are little-endian");

namespace {

void put_i32(std::vector<uint8_t>& out, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(u >> (8 * k)));
}

// Why a file was refused, or nullptr.
const char* check_header(const int32_t h[5], const CloudGrid& cloud) {
    if (h[0] != kAmbientVersion) return "unknown version";
    if (h[1] != cloud.dcl_numx || h[2] != cloud.dcl_numy || h[3] != cloud.dcl_numz)
        return "made for another coarse grid";
    if (h[4] != kDirCount) return "made for another number of directions";
    return nullptr;
}

}  // namespace

std::vector<uint8_t> ambient_file_bytes(int32_t nx, int32_t ny, int32_t nz, const std::vector<Vec3>& light) {
    std::vector<uint8_t> out(kAmbientMagic, kAmbientMagic + 4);
    for (int32_t v : {kAmbientVersion, nx, ny, nz, kDirCount}) put_i32(out, v);
    const size_t at = out.size();
    out.resize(at + light.size() * sizeof(Vec3));
    std::memcpy(out.data() + at, light.data(), light.size() * sizeof(Vec3));
    return out;
}

bool load_ambient_light(AmbientLight& ambient, const CloudGrid& cloud, const std::string& name) {
    ambient = AmbientLight{};
    struct stat st;
    if (stat(name.c_str(), &st) != 0) return false;  // the table is optional
    FILE* f = open_input_file(name.c_str(), "rb");
    if (!f) {
        printf("can't open the file: %s.\n", name.c_str());
        return false;
    }
    const int64_t values = size_product(cloud.dcl_numx, cloud.dcl_numy, cloud.dcl_numz) * kDirCount;
    const char* why = nullptr;
    char magic[4] = {};
    int32_t h[5] = {};
    if (fread(magic, 1, 4, f) != 4 || fread(h, 4, 5, f) != 5) {
        why = "ends inside its header";
    } else if (std::memcmp(magic, kAmbientMagic, 4) != 0) {
        why = "not an ambient table";
    } else if (cloud.dcl_numx <= 0 || cloud.dcl_numy <= 0 || cloud.dcl_numz <= 0) {
        why = "the cloud has no coarse grid";
    } else if ((why = check_header(h, cloud)) == nullptr) {
        const int64_t left = remaining_bytes(f);
        const int64_t want = values * static_cast<int64_t>(sizeof(Vec3));
        if (left != want || !fits_in_memory(static_cast<uint64_t>(want))) {
            why = left < want ? "short" : "longer than its header says";
        } else {
            ambient.dir_light.resize(static_cast<size_t>(values));
            if (fread(ambient.dir_light.data(), sizeof(Vec3), ambient.dir_light.size(), f) !=
                ambient.dir_light.size()) {
                why = "short";
            }
            for (const Vec3& v : ambient.dir_light) {
                if (why) break;
                for (float c : {v.x, v.y, v.z}) {
                    if (!(c >= 0.0f) || !std::isfinite(c)) why = "holds a negative or non-finite value";
                }
            }
        }
    }
    fclose(f);
    if (why) {
        printf("%s: ambient table %s; the cloud has no sun or sky light.\n", name.c_str(), why);
        ambient = AmbientLight{};
        return false;
    }
    InScattering s;
    prepare_in_scattering(s, cloud);
    fill_empty_cells(s, ambient.dir_light.data());
    ambient.nx = cloud.dcl_numx;
    ambient.ny = cloud.dcl_numy;
    ambient.nz = cloud.dcl_numz;
    ambient.loaded = true;
    printf("ambient light: %s\n", name.c_str());
    return true;
}

void compose_cloud_light(const AmbientLight& ambient, const std::vector<Vec3>& lightning,
                         std::vector<Vec3>& out, float lightning_scale) {
    out.resize(lightning.size());
    const size_t n = std::min(lightning.size(), ambient.dir_light.size());
    for (size_t i = 0; i < n; ++i) out[i] = add(ambient.dir_light[i], scale(lightning[i], lightning_scale));
    for (size_t i = n; i < lightning.size(); ++i) out[i] = scale(lightning[i], lightning_scale);
}
