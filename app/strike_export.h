// strike_export.h -- one strike written out for a path tracer: the cloud, the view and every point source
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/camera.h"
#include "lightning/discharge.h"
#include "lightning/lightning_grid.h"
#include "scene/scene.h"
#include "support/vec3.h"

// The sun and the sky of a physical scene with ambient light, in the point sources' power unit and world
// scene units: what lights the cloud between strikes.
struct StrikeAmbient {
    bool present = false;  // false: the scene shows no ambient light and the record leaves it out
    Vec3 sun_direction;    // unit vector towards the sun
    Vec3 sun_irradiance;   // power per square unit across the beam (0 with the sun below the horizon)
    Vec3 sky_radiance;     // power / (square unit sr), even over the upper hemisphere, none from below
};

// What a path tracer needs to render the frame of a strike: the view, the cloud's optics and the lights,
// all in world scene units.
struct StrikeExport {
    int32_t frame = 0;  // the lit frame, numbered as -snapshot numbers them (from 1)
    int32_t window[2] = {0, 0};
    Vec3 eye, target, up;
    float fov_y_deg = 0.0f;
    float extinction = 0.0f;  // sigma_t per scene unit at density 1 (a value of the VDB)
    float albedo = 0.0f;
    float g = 0.0f;               // Henyey-Greenstein asymmetry
    std::vector<Vec3> positions;  // one per point source
    std::vector<Vec3> powers;     // RGB power of each, in the viewer's intensity unit
    StrikeAmbient ambient;
};

// The record of the strike drawn in frame `frame` from the camera and point sources in force.
StrikeExport make_strike_export(const Camera& camera, const CloudGrid& cloud, const PointSources& sources,
                                int32_t frame);

// The scene's sun and sky in the sources' unit, for a scene whose ambient table is in use (`grid` its
// lightning grid as set up): the bake's own sources (sky dome mean, sun level) at the exposure that
// makes white the reference strike's white_radiance, so that the table's light and the strike's stand
// in the same ratio as in the viewer. Not present when the scene has no lightning to set white by.
StrikeAmbient make_strike_ambient(const LightningGrid& grid, const Scene& scene);

// The strike.json text: frame, window, camera, cloud, lights and, when present, sun and sky, in that
// order.
std::string strike_json(const StrikeExport& strike);

// The Blender script that renders strike.json (read from its own folder) with Cycles.
const char* strike_render_script();

// Where vintrel-bake is: beside the viewer executable `viewer_path`, in tools/ beside it (the build
// folder's layout), or on PATH. Empty when there is none.
std::string find_bake_program(const std::string& viewer_path);

// Writes DIR/strike.json, DIR/render.py and DIR/cloud.vdb (the cloud converted by `bake_program`
// -export-vdb, run as a child), creating DIR when missing. Everything is made in a scratch folder inside
// DIR and renamed into place when whole, so a failure leaves no partial file. Returns an empty string,
// or why nothing was written.
std::string export_strike(const std::string& dir, const StrikeExport& strike, const CloudGrid& cloud,
                          const std::string& bake_program);

// The first folder strike-NNNN (from last + 1) that does not exist in the working folder; last moves
// to its number.
std::string free_export_folder(int& last);
