// bake.h -- baking the whole demo scene folder
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scene/scene.h"
#include "tools/bake/bake_options.h"
#include "tools/bake/medium/coarse_cloud.h"
#include "tools/bake/scene_writer.h"
#include "tools/bake/table/base_intensity.h"
#include "tools/bake/table/table_bake.h"

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

// Writes a scene folder's files one by one and records each in the report; after the first failure
// it writes nothing more and keeps the message in `error`.
struct SceneFiles {
    std::string dir;
    BakeReport& report;
    std::string error;
    // Writes dir/name (through a temporary file); false once anything has failed.
    bool put(const std::string& name, const std::vector<uint8_t>& bytes);
    // The same for text.
    bool put_text(const std::string& name, const std::string& text);
};

// The files every baked scene has besides its cloud, objects, key views and scene file: the ground
// texture, the thunder, the rain and the colour file, under the layout's names, made from `seed`.
void put_shared_assets(SceneFiles& files, const DemoLayout& layout, uint32_t seed);

// Reads dir's scene (test.dat, then `extra` when not empty) as the viewer does, bakes its tables and
// adds the table files to report. Returns an empty string or the message.
std::string bake_folder_tables(const std::string& dir, const std::string& extra, const TableOptions& options,
                               BakeReport& report);

// bake_folder_tables for a scene made by the baker (the demo, -cloud), then its scene file written
// again from `layout` with a physical shading section, whose exposure comes from the table scale.
std::string bake_physical_scene(SceneFiles& files, DemoLayout layout, const TableOptions& options);

// Bakes the demo scene and its tables into options.out_dir, or with options.tables_only the
// tables of the scene already there, and fills report. Returns an empty string on success,
// otherwise what went wrong.
std::string run_bake(const BakeOptions& options, BakeReport& report);
