// ambient_bake.h -- the cloud's light from the scene's sun and sky, baked into the ambient table
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/sky_light.h"
#include "scene/scene.h"
#include "tools/bake/medium/transport.h"

// Random walks for the sun and for the sky, each, per walk of -paths, in kAmbientBatches batches of
// streams of their own.
constexpr int64_t kAmbientPathsPerPath = 256;
constexpr int32_t kAmbientBatches = 16;

// How the ambient light was made, for the report and the tests.
struct AmbientReport {
    bool sun = false;          // the sun is above the horizon
    Vec3 sun_irradiance;       // in viewer units (per channel)
    Vec3 sky_radiance;         // the even sky's, in viewer units
    int64_t paths = 0;         // walks per light (sun, sky)
    double peak_level = 0.0;   // display level of the brightest J of a non-empty cell (grey, 0 ... 1)
    double mean_level = 0.0;   // display level of the cloud's mean J (luminance-like mean of RGB)
    TransportStats sun_stats;  // per unit of light entering the box's shadow
    double seconds = 0.0;
};

// J of the sun and the sky per coarse cell and direction (cell-major, RGB, viewer units; 0 in empty
// cells): eta of the sun per unit irradiance and of the sky per unit radiance, divided by sigma_s and
// weighted by the sources' colours. Deterministic for a given seed, whatever `workers`.
std::vector<Vec3> ambient_field(const TransportMedium& medium, const Vec3& towards_sun,
                                const Vec3& sun_irradiance, const Vec3& sky_radiance, int64_t paths,
                                uint32_t seed, int workers, AmbientReport& report);

// Bakes dir/ambient_light.dat for the scene: the sources from `exposure`, kAmbientPathsPerPath x `paths`
// walks for each, written under a temporary name and renamed when whole. Returns an empty string or the
// message to print.
std::string bake_ambient_table(const std::string& dir, const Scene& scene, const TransportMedium& medium,
                               double exposure, int64_t paths, uint32_t seed, int workers, bool quiet,
                               AmbientReport& report);
