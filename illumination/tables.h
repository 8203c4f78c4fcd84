// tables.h -- the attenuation table and the sparse base intensity table, and their loaders
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "illumination/in_scattering.h"
#include "scene/scene.h"

// The attenuation table holds M * M bytes; a header asking for more than this is refused.
constexpr int64_t kMaxGenkBytes = int64_t{1} << 31;
// Largest base intensity table kept in memory (coefficient storage in bytes).
constexpr int64_t kMaxBaseIntensityBytes = int64_t{1} << 31;

// Transmittance between ordered pairs of coarse cells, one byte each (b / 255).
struct GenkTable {
    int32_t numx = 0, numy = 0, numz = 0;  // header of the load in force, 0 before any
    int64_t m = 0;                         // numx * numy * numz; 0 until a load succeeded
    std::vector<uint8_t> bytes;            // m * m, row r (light leaves cell r) at r * m
};

// Per lightning cell and sampling direction, a sparse list of Haar coefficients over the coarse grid.
// Record r = cell * dir_count + d owns entries start[r] ... start[r + 1] - 1 of index and value.
struct BaseIntensityTable {
    bool loaded = false;          // false: no lightning light in the cloud
    int32_t cell_count = 0;       // lightning cells N_L
    int32_t coarse_count = 0;     // coarse cells M
    int32_t dir_count = 0;        // sampling directions
    std::vector<int64_t> start;   // cell_count * dir_count + 1 offsets
    std::vector<int32_t> index;   // coefficient positions, all in 0 ... M - 1
    std::vector<float> value;     // coefficients, parallel to index
    std::vector<float> trailing;  // the extra float each record carries, one per record
};

// Scratch arrays of the relighting, made once and reused, and what the last relight left behind.
struct IlluminationWork {
    std::array<std::vector<float>, 3> dcl_work;  // three arrays of M floats; the relight uses the first
    std::vector<float> planes;                   // kDirCount * M reconstructed values (fast relight)
    std::vector<float> scratch;                  // per-thread transform lines
    bool light_all_zero = false;                 // dcl_dir_light was last written as all zeros
    int64_t relights_skipped = 0;                // relights saved because nothing had changed
    bool unusable_reported = false;              // the "cannot relight" message has been printed
    InScattering in_scattering;                  // physical shading's coarse sigma_s, made on first use
};

// Gives every dcl_work array m floats (zeros) unless it already has them.
void ensure_illumination_work(IlluminationWork& work, int64_t m);
// Transmittance byte from coarse cell r to coarse cell c; 255 (clear) when no table is loaded.
uint8_t genk_byte(const GenkTable& table, int64_t r, int64_t c);
// Reads an attenuation table; on success its header becomes the cloud's coarse sizes. A table that cannot be
// opened, is short, does not fit in memory, or whose M differs from the cloud's or an earlier load's is
// reported and skipped, leaving table and sizes as they were. True when the table was loaded.
bool load_genk_table(GenkTable& table, CloudGrid& cloud, const std::string& name);
// Reads a base intensity table for the given lightning grid and the cloud's coarse grid. A file for other
// sizes, or a damaged one (negative count, position outside 0 ... M - 1, end of file in a record), is
// rejected whole with a message and leaves table.loaded false. True when the table was loaded.
bool load_base_intensity(BaseIntensityTable& table, IlluminationWork& work, const CloudGrid& cloud,
                         int32_t lgrid_nx, int32_t lgrid_ny, int32_t lgrid_nz, const std::string& name);
