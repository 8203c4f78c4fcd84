// exposure.h -- the exposure that a physical scene's display transform starts from
#pragma once

#include "scene/scene.h"

// Distance, in lightning cell widths, at which the reference strike's light seen through clear air is
// shown as full white: at 0.7 the base of the demo's strike comes out just below white, about as bright
// as a path tracer's picture of it scaled to the same display.
constexpr double kWhiteDistanceCells = 0.7;

// Exposure for the scene's "shading physical" section, from the table scale S the bake applied and the
// scene alone (no random numbers): white (exposure x albedo x J = 1) is the in-scattered radiance per
// unit scattering J = P / (16 pi^2 d^2) of the reference strike's strongest colour channel P (its
// channel length below the cloud base times the channel colours, as the viewer bins it) seen from
// d = kWhiteDistanceCells lightning cell widths in clear air, carried into the viewer's units
// (table value = S x eta / 1e9). 1 when the scene has no usable lightning grid.
double physical_exposure(double table_scale, const Scene& scene);
