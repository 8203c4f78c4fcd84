// glow.h -- drawing of the discharge channels and of their fog glow billboards
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "lightning/discharge.h"
#include "lightning/glow_image.h"
#include "scene/scene.h"
#include "support/vec3.h"

// The glow texture, built on the first glow draw, and the billboard it is drawn on.
struct GlowState {
    bool texture_built = false;
    uint32_t glow_texture = 0;  // texture object name
    // Unit quad in its own x-y plane, corners in drawing order.
    std::array<Vec3, 4> glow_quad{Vec3{-0.5f, -0.5f, 0.0f}, Vec3{0.5f, -0.5f, 0.0f}, Vec3{0.5f, 0.5f, 0.0f},
                                  Vec3{-0.5f, 0.5f, 0.0f}};
};

// Draws every branch of every record as lines, thinner and darker with depth.
void draw_channels(const LightningState& state, const LightningSettings& settings);
// Uploads a build_glow_image result as the glow texture (needs a current context).
void upload_glow_texture(GlowState& glow, const std::vector<float>& image);
// Builds the texture on first use, then draws an additive billboard on every fifth point source.
void draw_glow(GlowState& glow, const LightningState& state, const LightningSettings& settings,
               const FogSettings& fog, Vec3 eye);
