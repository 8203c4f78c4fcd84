// bake.h -- baking the whole demo scene folder
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scene/scene.h"
#include "tools/bake/bake_options.h"
#include "tools/bake/base_intensity.h"
#include "tools/bake/coarse_cloud.h"

// Brightest gamma-mapped radiance a reference strike should give the cloud at the
// scene's brightness 1 (before the splat brightness): the cells just above the
// channel reach full colour through the splats' division by density, the rest of the
// tower glows dimmer, and the anvil stays dark.
constexpr double kReferencePeak = 0.3;

// One file the bake wrote.
struct BakedFile {
    std::string name;
    uint64_t bytes = 0;
};

// What a bake made, for the report and the tests.
struct BakeReport {
    std::vector<BakedFile> files;
    int32_t lightning_cells = 0;  // N_L of the viewer's lightning grid
    int32_t coarse_cells = 0;     // M
    double table_scale = 0.0;     // factor applied to every coefficient
    double kept_energy = 0.0;     // mean share of the field energy kept per record
    double seconds = 0.0;         // wall time of the whole bake
};

// Scale that makes the viewer show `peak` for the brightest cell and direction of a
// linear response `raw_peak` (before the table scale): the viewer divides by 1e9,
// multiplies by the colour share `colour_share` of the strongest channel and maps
// with value^gamma_inv * light_scale.
double table_scale_for_peak(double raw_peak, double colour_share, float gamma_inv, float light_scale,
                            double peak);

// Reads dir/test.dat into scene with the viewer's own reader, from inside dir as the
// viewer does (the scene names its files relative to the working folder). Returns an
// empty string, or why dir could not be entered.
std::string read_baked_scene(const std::string& dir, Scene& scene);

// Bakes everything into options.out_dir and fills report. Returns an empty string on
// success, otherwise what went wrong.
std::string run_bake(const BakeOptions& options, BakeReport& report);
