// glow_image.h -- the fog halo image and billboard angles for the glow layer, free of graphics calls
#pragma once

#include <vector>

#include "scene/scene.h"
#include "support/vec3.h"

// Texels per side of the square glow image.
constexpr int kGlowTextureSize = 128;

// Rotation that turns a billboard's local +z towards the line of sight.
struct GlowAngles {
    float yaw_degrees = 0.0f;    // about +z, 0 ... 360
    float pitch_degrees = 0.0f;  // then about +y, 0 ... 180
};

// Single-scattered light of a unit source in fog, RGBA floats row by row (kGlowTextureSize squared texels).
std::vector<float> build_glow_image(const FogSettings& fog);
// Angles for a billboard at p seen from eye; a source straight above or below the eye gets yaw 0.
GlowAngles glow_billboard_angles(Vec3 p, Vec3 eye);
