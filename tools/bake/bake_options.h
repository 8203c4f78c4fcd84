// bake_options.h -- the bake tool's command line
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What to bake. The defaults make the demo: a fine grid of 128 x 128 x 64 cells on a
// 16 x 16 x 8 coarse grid, 96 coefficients per table record.
struct BakeOptions {
    std::string out_dir;
    int32_t grid_nx = 128, grid_ny = 128, grid_nz = 64;
    int32_t dscl = 8;
    uint32_t seed = 1;
    int32_t coeffs = 96;
    int32_t threads = 0;   // 0: all cores
    bool sky_dome = true;  // false: no dome, the background is the flash colour
    bool quiet = false;    // no progress lines
    bool help = false;
};

// The -help text.
std::string bake_usage();

// Largest attenuation table the viewer accepts (M * M bytes).
constexpr int64_t kMaxGenkTableBytes = int64_t{1} << 31;

// Parses the arguments after the program name. Returns an empty string when they
// are usable (or -help was asked), otherwise the message to print: an unknown
// option, a missing or malformed value, a coarse size that is not a power of two,
// an odd or non-dividing dscl, or a table too large for the viewer.
std::string parse_bake_options(const std::vector<std::string>& args, BakeOptions& options);
