// bake.h -- baking the whole demo scene folder
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scene/scene.h"
#include "tools/bake/bake_options.h"
#include "tools/bake/base_intensity.h"
#include "tools/bake/coarse_cloud.h"
#include "tools/bake/table_bake.h"

// One file the bake wrote.
struct BakedFile {
    std::string name;
    uint64_t bytes = 0;
};

// What a bake made, for the report and the tests.
struct BakeReport {
    std::vector<BakedFile> files;  // every file written, the tables included
    TableReport tables;
    double seconds = 0.0;  // wall time of the whole bake
};

// Bakes the demo scene and its tables into options.out_dir, or with options.tables_only the
// tables of the scene already there, and fills report. Returns an empty string on success,
// otherwise what went wrong.
std::string run_bake(const BakeOptions& options, BakeReport& report);
