// directions.h -- the sampling-direction layout and the directional radiance lookup
#pragma once

#include <array>
#include <cstdint>

#include "scene/scene.h"
#include "support/vec3.h"

// Four sampling directions around an asked direction, with weights that sum to one.
struct DirectionBlend {
    std::array<int32_t, 4> index{};  // direction indices 0 ... kDirCount - 1
    std::array<float, 4> weight{};
};

// Index of ring q (0 = +z pole ... kDirRings - 1 = -z pole) and segment s; a pole ignores s.
int32_t direction_index(int32_t ring, int32_t segment);
// Unit vector of direction index d (0 ... kDirCount - 1); (0, 0, 0) for an index out of range.
Vec3 direction_vector(int32_t d);
// The four directions and weights around polar angle theta (from +z) and azimuth phi (from +x towards +y),
// radians.
DirectionBlend blend_directions(float theta, float phi);
// arccos of c in [-1, 1] as sqrt(1 - |c|) times a polynomial: within 2.2e-8 of the exact
// angle before the final rounding, within one float ulp after it. Forms every angle of
// direction_angles.
float arc_cos(float c);
// The entry of LightCorners that has no coarse grid to look in.
constexpr uint32_t kNoLightCorners = 0xffffffffu;
// The part of a radiance lookup at one point that does not depend on the direction: the eight coarse cells
// around it and their blend. The corners hold for any light array of the coarse grid they were made for.
struct LightCorners {
    uint32_t entry = kNoLightCorners;       // the low corner's first entry; kNoLightCorners: no coarse grid
    uint32_t steps = 0;                     // bits 0, 1, 2: the grid goes on past the low corner in x, y, z
    float fu = 0.0f, fv = 0.0f, fw = 0.0f;  // blend fractions along x, y and z
};

// Polar angle and azimuth (0 ... 2 pi) of v; the azimuth is 0 for a vertical v, both are 0 for a zero v.
void direction_angles(Vec3 v, float& theta, float& phi);
// Radiance leaving cloud-local point p in direction (theta, phi): 8 coarse cells times 4 directions of
// dcl_dir_light; points outside the coarse grid take the border cells; zero when the cloud has no light
// array.
Vec3 lookup_dir_light(float theta, float phi, Vec3 p, const CloudGrid& cloud);
// The corners and blend of lookup_dir_light at p.
LightCorners light_corners(Vec3 p, const CloudGrid& cloud);
// direction_angles for n vectors at once.
void direction_angles_batch(const Vec3* v, int n, float* theta, float* phi);
// lookup_dir_light for n points at once, into out.
void lookup_dir_light_batch(const float* theta, const float* phi, const Vec3* p, int n,
                            const CloudGrid& cloud, Vec3* out);
// lookup_dir_light for n points given by their corners (made for this coarse grid), into out: the same
// values as from the points.
void lookup_dir_light_corners_batch(const float* theta, const float* phi, const LightCorners* const* corners,
                                    int n, const CloudGrid& cloud, Vec3* out);
