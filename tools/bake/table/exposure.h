// exposure.h -- the exposure that a physical scene's display transform starts from
#pragma once

#include "scene/scene.h"

// Exposure for the scene's "shading physical" section, from the table scale S the bake applied and the
// scene alone (no random numbers): white (exposure x albedo x J = 1) is the reference strike's
// white_radiance (lightning/reference_strike.h) carried into the viewer's units (table value =
// S x eta / 1e9). 1 when the scene has no usable lightning grid.
double physical_exposure(double table_scale, const Scene& scene);
