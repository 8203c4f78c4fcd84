// splat_raster.h -- the physical cloud's splats drawn on the CPU into a float image
#pragma once

#include <cstdint>
#include <vector>

#include "render/cloud_splats.h"

// Where the splats land: GL's matrices in force, the viewport's size and the sprite size per unit depth.
struct SplatView {
    float modelview[16] = {};   // column-major, as GL holds them
    float projection[16] = {};  // column-major
    int32_t width = 0, height = 0;
    float size_scale = 0.0f;      // side 2a of a splat times the projection's pixels per unit at depth 1
    float max_point_size = 0.0f;  // the renderer's largest sprite (0: no limit)
};

// The cloud as the physical splats leave it over a clear background: per pixel premultiplied linear
// radiance and transmittance (RGBA, rows from the bottom as GL keeps them), what the composite reads.
struct SplatImage {
    int32_t width = 0, height = 0;
    std::vector<float> rgba;
    // Window depth of the background per pixel (splats at or behind it are hidden); empty: nothing there.
    std::vector<float> depth;
    std::vector<float> screen;        // 8 floats per splat: x, y, half side, window z, r, g, b, centre depth
    std::vector<float> bins;          // the splats of each screen square in drawing order, 8 floats each
    std::vector<uint32_t> bin_start;  // first splat of each square in bins, and the end
};

// Draws the prepared physical splats of `frame` back to front into `image` (sized to the view and cleared
// first) as the sprite shaders draw them: a disc of the sprite's side around the projected centre with
// opacity 1 - exp(-depth splat_profile(d^2)), depth-tested at its centre's depth. Two threads, no GL.
void rasterise_splats(SplatImage& image, const SplatFrame& frame, const SplatView& view);
