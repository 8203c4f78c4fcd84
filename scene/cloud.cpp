// cloud.cpp -- the cloud section: grid file, densities, blobs, coarse grid, placement
#include "scene/cloud.h"

#include <cstring>

#include "scene/read_util.h"
#include "scene/sections.h"
#include "support/fatal.h"

namespace {

constexpr int kGridHeaderBytes = 16;  // three int32 sizes and the float byte scale

// Memory a fine cell costs in the worst case: its byte, its density and a blob.
constexpr uint64_t kBytesPerFineCell = 1 + sizeof(float) + sizeof(Blob);

void caution_multiple(const char* axis, int32_t n, int32_t dscl) {
    if (n % dscl != 0) std::printf(" *** caution. grd_%s must be %d !\n", axis, (n / dscl) * dscl);
}

// Sizes the density array and the coarse grid for the grid just read; keeps them
// (and the radiance already in the coarse grid) when an earlier section left arrays
// of exactly this shape.
void size_grid_arrays(CloudGrid& g) {
    const size_t cells = static_cast<size_t>(g.grd_numx) * g.grd_numy * g.grd_numz;
    const int32_t cx = g.grd_numx / g.dscl, cy = g.grd_numy / g.dscl, cz = g.grd_numz / g.dscl;
    const uint64_t coarse = static_cast<uint64_t>(cx) * cy * cz;
    const bool same = !g.grd_density.empty() && g.grd_density.size() == cells && cx == g.dcl_numx &&
                      cy == g.dcl_numy && cz == g.dcl_numz && g.dcl_dir_light.size() == coarse * kDirCount;
    if (same) return;
    if (!fits_in_memory(coarse * kDirCount * sizeof(Vec3))) {
        fatal_input_error(
            "cloud section: a coarse grid of %d x %d x %d cells needs more memory than this machine has\n",
            cx, cy, cz);
    }
    g.grd_density.assign(cells, 0.0f);
    g.dcl_numx = cx;
    g.dcl_numy = cy;
    g.dcl_numz = cz;
    g.dcl_dir_light.assign(static_cast<size_t>(coarse) * kDirCount, Vec3{});
    std::printf("dcl size: %d %d %d\n", g.dcl_numx, g.dcl_numy, g.dcl_numz);
}

// Densities from the bytes and the blob list. Every cell at or above the threshold is
// a blob, so with a threshold of 0 or below every cell is listed, empty ones included:
// the list always holds exactly the counted cells.
void build_densities_and_blobs(CloudGrid& g) {
    const int32_t nx = g.grd_numx, ny = g.grd_numy, nz = g.grd_numz;
    g.blobs.clear();
    for (int32_t k = 0; k < nz; ++k)
        for (int32_t j = 0; j < ny; ++j)
            for (int32_t i = 0; i < nx; ++i) {
                const int32_t c = (k * ny + j) * nx + i;
                const float d = static_cast<float>(g.grd_bytes[static_cast<size_t>(c)]) * g.grd_byte_scale;
                if (!(d >= g.density_threshold)) {
                    g.grd_density[static_cast<size_t>(c)] = 0.0f;
                    continue;
                }
                g.grd_density[static_cast<size_t>(c)] = d;
                Blob b;
                b.x = (static_cast<float>(i) + 0.5f) * g.grd_size;
                b.y = (static_cast<float>(j) + 0.5f) * g.grd_size;
                b.z = (static_cast<float>(k) + 0.5f) * g.grd_size;
                b.cell = c;
                g.blobs.push_back(b);
            }
    std::printf("No. of blobs: %d\n", static_cast<int>(g.blobs.size()));
}

}  // namespace

int read_grid_file(const std::string& name, CloudGrid& grid) {
    ScopedFile in(open_input_file(name.c_str(), "rb"));
    if (!in.file) {
        std::fprintf(stderr, "can't open the file %s.\n", name.c_str());
        return 0;
    }
    std::printf("reading grid data:%s...\n", name.c_str());
    std::fflush(stdout);

    unsigned char header[kGridHeaderBytes];
    size_t got = std::fread(header, 1, sizeof header, in.file);
    if (got != sizeof header) {
        in.close();
        fatal_input_error("grid file %s: header holds %d of %d bytes\n", name.c_str(), static_cast<int>(got),
                          kGridHeaderBytes);
    }
    int32_t n[3];
    float byte_scale;
    std::memcpy(n, header, sizeof n);
    std::memcpy(&byte_scale, header + 12, sizeof byte_scale);
    if (n[0] < 1 || n[1] < 1 || n[2] < 1) {
        in.close();
        fatal_input_error("grid file %s: grid size %d x %d x %d is not positive\n", name.c_str(), n[0], n[1],
                          n[2]);
    }
    const int64_t cells = size_product(n[0], n[1], n[2]);
    if (cells > kMaxGridCells) {
        in.close();
        fatal_input_error("grid file %s: %d x %d x %d cells overflow a 32-bit cell count\n", name.c_str(),
                          n[0], n[1], n[2]);
    }
    // Bytes after the cells are harmless (the reader takes exactly the cells); a file
    // shorter than its cells is damaged.
    const int64_t left = remaining_bytes(in.file);
    if (left >= 0 && left < cells) {
        in.close();
        fatal_input_error("grid file %s: holds %lld cell bytes but its header says %d x %d x %d = %lld\n",
                          name.c_str(), static_cast<long long>(left), n[0], n[1], n[2],
                          static_cast<long long>(cells));
    }
    if (!fits_in_memory(static_cast<uint64_t>(cells) * kBytesPerFineCell)) {
        in.close();
        fatal_input_error("grid file %s: %lld cells need more memory than this machine has\n", name.c_str(),
                          static_cast<long long>(cells));
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(cells));
    if (std::fread(bytes.data(), 1, bytes.size(), in.file) != bytes.size()) {
        in.close();
        fatal_input_error("grid file %s: cell data ends early\n", name.c_str());
    }
    in.close();

    grid.grd_numx = n[0];
    grid.grd_numy = n[1];
    grid.grd_numz = n[2];
    grid.grd_byte_scale = byte_scale;
    grid.grd_bytes.swap(bytes);
    return 1;
}

void read_cloud_section(FILE* in, Scene& scene) {
    CloudGrid& g = scene.cloud;
    std::string name;
    if (scan_word(in, name)) std::fscanf(in, "%f", &g.density_threshold);
    std::fscanf(in, "%f%f%f%f", &g.grd_size, &g.grd_origin.x, &g.grd_origin.y, &g.grd_origin.z);
    std::fscanf(in, "%f%f%f", &g.optical[0], &g.optical[1], &g.optical[2]);
    std::fscanf(in, "%f%f%f", &g.splat_size, &g.splat_brightness, &g.splat_extinction);
    std::fscanf(in, "%d", &g.dscl);
    float k = 0.0f, gamma = 0.0f;
    const bool have_gamma = std::fscanf(in, "%f%f", &k, &gamma) == 2;

    g.dcl_size = static_cast<float>(g.dscl) * g.grd_size;
    // Without both values there is nothing to map; the old mapping stays.
    if (have_gamma) apply_gamma(k, gamma, g.gamma_inv, g.light_scale);

    if (read_grid_file(name, g) == 0) fatal_input_error_stdout("can't open %s. \n", name.c_str());
    std::printf("grd size: %d %d %d\n", g.grd_numx, g.grd_numy, g.grd_numz);

    if (g.dscl < 1) fatal_input_error("cloud section: dscl %d must be at least 1\n", g.dscl);
    if (g.dscl % 2 != 0) std::printf(" *** caution. dscl must be even number !\n");
    caution_multiple("numx", g.grd_numx, g.dscl);
    caution_multiple("numy", g.grd_numy, g.dscl);
    caution_multiple("numz", g.grd_numz, g.dscl);

    size_grid_arrays(g);
    build_densities_and_blobs(g);
    g.density_threshold = 0.0f;

    std::printf("   no. of grids: %d, %d, %d\n", g.grd_numx, g.grd_numy, g.grd_numz);
    // The origin moves by half the cell counts, not by half the grid's extent.
    g.grd_origin.x -= 0.5f * static_cast<float>(g.grd_numx);
    g.grd_origin.y -= 0.5f * static_cast<float>(g.grd_numy);
    g.grd_origin.z -= 0.5f * static_cast<float>(g.grd_numz);
    g.cloud_box = Box{g.grd_origin.x,
                      g.grd_origin.y,
                      g.grd_origin.z,
                      g.grd_origin.x + g.grd_size * static_cast<float>(g.grd_numx),
                      g.grd_origin.y + g.grd_size * static_cast<float>(g.grd_numy),
                      g.grd_origin.z + g.grd_size * static_cast<float>(g.grd_numz)};
}
