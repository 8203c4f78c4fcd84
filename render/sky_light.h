// sky_light.h -- the sun's irradiance and the sky's radiance that light the cloud between strikes
#pragma once

#include "scene/scene.h"
#include "support/vec3.h"

// Display level at which a white surface facing the sun would show, through the physical scene's own
// exposure and tone curve: it sets the sun's irradiance relative to the strike's light (see
// docs/table-to-pixel.md).
constexpr double kSunWhiteLevel = 0.5;

// The sun's irradiance (power per area across the beam) and the even sky's radiance over the upper
// hemisphere for a physical scene shown at `exposure`: the sun times its colour, the sky its dome's mean
// colour over the solid angle above the horizon (coloured as the bake colours it, from the ground),
// both made linear as the viewer makes its background linear (level^gamma / exposure). With the
// viewer's exposure they come in viewer units; with 1 / (albedo x white_radiance) in the point
// sources' own unit.
void ambient_sources(const Scene& scene, double exposure, Vec3& sun_irradiance, Vec3& sky_radiance);
