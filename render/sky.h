// sky.h -- sky dome colours from four sky models, and the dome's drawing
#pragma once

#include <array>
#include <cstdint>

#include "scene/scene.h"
#include "support/vec3.h"

// Earth radius in scene units (metres), centre straight below the origin.
constexpr float kEarthRadius = 6378140.0f;

// Values of the single-scattering model derived once per colouring from the
// "integ" settings (red, green, blue channels), all single precision:
//   atmosphere_height           H, thickness of the atmosphere above the ground
//   rayleigh_scale_height       H_R, molecule density scale height
//   aerosol_scale_height        H_M, aerosol density scale height
//   integ_steps                 N, steps along each view ray (N + 1 samples)
//   integ_p1                    molecule extinction scale
//   integ_p2                    aerosol scattering scale
//   integ_p3                    weight of the forward/backward aerosol peak
//   integ_p4                    aerosol extinction scale
//   sky_gamma_inv, sky_light_scale   value ^ gamma_inv * light_scale per channel
struct SkyConstants {
    std::array<float, 3> k_r{}, k_m{};  // molecule and aerosol extinction per unit length
    std::array<float, 3> w_r{}, w_m{};  // molecule and aerosol source weights (sun colour)
    float inv_h_r = 0.0f, inv_h_m = 0.0f;
    float eye_z = 0.0f;
    float eye_r2 = 0.0f;  // (R + eye_z)^2
    float top_r = 0.0f;   // R + H
    float top_r2 = 0.0f;
    int32_t steps = 1;        // N
    float phase_peak = 0.0f;  // integ_p3
    Vec3 sun_dir;
};

// Most path samples (steps + 1 per vertex) the integ sky spends on the whole dome; a
// scene asking for more gets fewer steps, with a message.
constexpr int64_t kMaxIntegSamples = int64_t{1} << 20;

// Derives the model's constants; writes the default heights into zero settings and
// scales integ_p4 by 1e-5 in place (so every call scales it again).
void prepare_sky_constants(SkySettings& sky, const LightSettings& light, float eye_z, SkyConstants& k);
// Radiance (before the gamma mapping) arriving at the eye from unit direction d.
Vec3 sky_radiance(Vec3 d, const SkyConstants& k);
// Molecule and aerosol optical depths along length units of the unit direction u from p.
void sun_optical_depth(Vec3 p, Vec3 u, float length, const SkyConstants& k, float& depth_r, float& depth_m);
// Colours every dome vertex by the sky type; an unknown type leaves the dome black.
void compute_sky_colours(SkySettings& sky, const LightSettings& light, float eye_z);
// Draws the dome scaled by sky_level round the world origin (GL).
void draw_sky_dome(const SkySettings& sky);
