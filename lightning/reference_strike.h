// reference_strike.h -- the scene's reference strike and the light that display white stands for
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "lightning/lightning_grid.h"
#include "scene/scene.h"

// Distance, in lightning cell widths, at which the reference strike's light seen through clear air is
// shown as full white: at 0.7 the base of the demo's strike comes out just below white, about as bright
// as a path tracer's picture of it scaled to the same display.
constexpr double kWhiteDistanceCells = 0.7;

// The lightning cells and weights of a reference strike: a straight vertical channel from the cloud
// base at the middle of the domain down to the ground, each cell weighted by the channel length inside
// it times the summed channel colours, which is what the viewer's binning gives such a channel. `grid`
// is the scene's lightning grid as set up from it.
std::vector<std::pair<int32_t, double>> reference_strike_cells(const LightningGrid& grid, const Scene& scene);
// The same, setting the grid up from the scene (which prints its sizes).
std::vector<std::pair<int32_t, double>> reference_strike_cells(const Scene& scene);

// The in-scattered radiance per unit scattering that display white stands for, in the unit of the
// point sources' power per (length^2 sr): J_white = share x P / (16 pi^2 d^2), P the reference strike's
// power (summed over channels), share its strongest channel's part of it and d = kWhiteDistanceCells
// lightning cell widths: the strongest channel of P seen from d through clear air, averaged over
// directions. 0 when the scene has no usable lightning grid or no strike power.
double white_radiance(const LightningGrid& grid, const Scene& scene);
