// bake_options.h -- the bake tool's command line
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/bake/table/table_bake.h"

// The demo's table budget: with its other files the scene stays under 150 MB.
constexpr double kDemoTableMb = 136.0;

// What to bake. The defaults make the demo: a fine grid of 128 x 128 x 64 cells on a
// 32 x 32 x 16 coarse grid, 96 coefficients per table record, all scattering orders.
struct BakeOptions {
    bool tables_only = false;  // -tables: bake the tables of the existing scene in out_dir
    std::string out_dir;       // the demo's folder, or the scene folder of -tables
    std::string scene_file;    // -f: read after test.dat (with -tables)
    int32_t grid_nx = 128, grid_ny = 128, grid_nz = 64;
    int32_t dscl = 4;
    uint32_t seed = 1;
    int32_t coeffs = 96;
    bool coeffs_given = false;  // -coeffs was given: the per-record rule unless -table-mb is given too
    double table_mb = -1.0;     // -table-mb: the table's size budget in MiB; 0: none (-coeffs per record);
                                // below 0: the default (kDemoTableMb for the demo and -cloud without
                                // -coeffs, none otherwise)
    int64_t paths = kDefaultPaths;
    Scattering scattering = Scattering::kMultiple;
    CellRanges cells;                          // empty: every lightning cell
    int32_t shard_index = 0, shard_count = 0;  // -shard I/N
    std::string shard_file;                    // -o
    std::string merge_out;                     // -merge OUT FILE...: merge instead of baking
    std::vector<std::string> merge_files;
    int32_t threads = 0;        // 0: all cores
    bool sky_dome = true;       // false: no dome, the background is the flash colour
    bool flash_strokes = true;  // -flash strokes (the default) or single
    bool quiet = false;         // no progress lines
    bool help = false;
    // -cloud FILE DIR: a scene round a user's cloud (out_dir is DIR).
    std::string cloud_file;
    std::string cloud_grid;    // -grid NAME: the VDB grid to use
    int32_t cells_across = 0;  // -cells-across N: fine cells along the longest side (0: the default)
    double height_m = 0.0;     // -height METRES: the cloud's vertical extent (0: from the file)
    bool town = true;          // false: -no-town
    // -export-vdb SCENE_DIR OUT.vdb: the scene's cloud as an OpenVDB file (out_dir is SCENE_DIR).
    std::string export_file;
};

// The -help text.
std::string bake_usage();

// Parses the arguments after the program name. Returns an empty string when they
// are usable (or -help was asked), otherwise the message to print: an unknown
// option, a missing or malformed value, a coarse size that is not a power of two, an
// odd or non-dividing dscl, a demo option given with -tables or the other way round.
std::string parse_bake_options(const std::vector<std::string>& args, BakeOptions& options);

// The table settings the options ask for.
TableOptions table_options(const BakeOptions& options);
