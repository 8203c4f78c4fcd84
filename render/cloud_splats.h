// cloud_splats.h -- the cloud drawn as sorted, lit, camera-facing splats
#pragma once

#include <cstdint>
#include <vector>

#include "illumination/directions.h"
#include "render/textures.h"
#include "scene/scene.h"
#include "support/vec3.h"

// The splat texture: kSplatTiles tiles of kSplatTileSize squared texels stacked along t.
constexpr int kSplatTileSize = 32;
constexpr int kSplatTiles = 32;
// Splats are drawn shifted from their cell centres by a fixed amount per cell, up to half this many
// cells along each axis: a regular lattice of splats seen at a grazing angle shows as bands.
constexpr float kSplatJitter = 0.75f;

// One blob's splat for the frame in group order, all that the drawing-order pass reads for it: the blob
// and its colour, and its tile, or its optical depth under physical shading.
struct alignas(32) PreparedSplat {
    float x, y, z;
    int32_t cell;
    float colour[3];
    float tile_or_depth;
};

// One frame's splats ready for drawing, in back-to-front order: a centre, a colour and a texture tile per
// splat, from which the drawing makes point sprites or, without them, camera-facing quads.
struct SplatFrame {
    int32_t quad_count = 0;            // splats to draw
    std::vector<float> centres;        // 3 floats per splat: world-space centre
    std::vector<float> splat_colours;  // 3 floats per splat
    std::vector<float> splat_tiles;    // 1 float per splat: t of its tile's first row, tile / 32
    // Physical shading: 1 float per splat, the optical depth through its centre (splat_centre_depth).
    std::vector<float> splat_depths;
    float path_length = 0.0f;  // splat_path_length of the cloud last prepared
    // Filled by expand_splat_quads for the splats drawn as quads: four corners per splat.
    std::vector<float> vertices;     // 12 floats per splat: 4 world-space corners
    std::vector<float> texcoords;    // 8 floats per splat
    std::vector<float> colours;      // 12 floats per splat: the same RGB at each corner
    std::vector<float> quad_depths;  // physical shading: 4 floats per splat, its depth at each corner
    // Reused by the fast pass: blobs in cell order with their set-up, sort order, drawing slots and the
    // frame's splats in cell order.
    std::vector<Blob> by_cell, sort_scratch;
    // What does not depend on the eye or the light, per grouped blob: its light lookup's corners.
    std::vector<LightCorners> corners;
    std::vector<uint64_t> order, order_scratch;
    std::vector<uint32_t> last_order;  // last frame's drawing order as indices into by_cell
    std::vector<int32_t> slot;
    std::vector<PreparedSplat> splats;
    std::vector<uint8_t> drawn;        // per grouped blob: 1 when its density draws it
    uint64_t placed_fingerprint = 0;   // which blob the last preparation left at which place of the list
    uint64_t grouped_fingerprint = 0;  // blob list and grids that by_cell and corners were made for
    // What the frame was last prepared for: drawing prepares again only for a new eye or new light.
    bool prepared = false;
    bool light_changed = true;
    Vec3 prepared_eye;
    size_t prepared_blobs = 0;
    // CPU time spent preparing, for the frame timing of scripted runs (-timing).
    double prepare_seconds = 0.0;  // all preparations so far
};

// The footprint strip for splat radius R (fine cells) and extinction: 32 tiles of 32 x 32 RGBA floats,
// tile k (density level (k + 1) / 32) in rows 32k ... 32k + 31.
std::vector<float> build_splat_strip(float splat_size, float splat_extinction);
// Physical splats. A splat stands for one fine cell of medium: its footprint's optical depth at a point
// d (in splat radii) from its centre is splat_centre_depth x splat_profile(d^2), and it sends albedo x J
// (J the in-scattered radiance per unit scattering looked up for it) with opacity 1 - exp(-depth). The
// drawing's shaders compute the same; these are the CPU side of it for tests and checks.
// Path length (world units) through the centre of a splat of radius splat_size fine cells, normalised so
// that the footprint integrated over the screen is one cell's volume: sigma_t x this is the centre depth.
float splat_path_length(float splat_size, float grd_size);
// Optical depth through the centre of the splat of a fine cell of density rho: extinction x rho x path.
float splat_centre_depth(const CloudGrid& cloud, float rho);
// The footprint's shape, 1 at the centre and 0 from d^2 = 1 on (d in splat radii).
float splat_profile(float d2);
// 1 - exp(-tau).
float splat_opacity(float tau);
// Puts a splat of premultiplied-free colour and opacity alpha in front of what radiance and transmittance
// hold: radiance = colour alpha + (1 - alpha) radiance, transmittance *= 1 - alpha.
void composite_over(Vec3& radiance, float& transmittance, Vec3 colour, float alpha);
// Sort order of blobs: -1 when a is farther from the eye (larger sort_key), 1 when nearer, 0 when equal.
int compare_blobs(const Blob& a, const Blob& b);
// Texture tile for density rho: trunc(rho * 32), densities of 1.0 and more use the last tile.
int splat_tile(float rho);
// The fixed offset (world units) at which the blob of the given fine cell is drawn, each axis within
// +-kSplatJitter / 2 cells; the order and the lookups use the cell centre.
Vec3 splat_offset(int32_t cell, float grd_size);
// Sorts cloud.blobs back to front for the eye (world) and fills frame with a lit quad per drawn blob (two
// threads, no graphics calls).
void prepare_cloud_splats(SplatFrame& frame, CloudGrid& cloud, Vec3 eye);
// The same, one blob at a time with std::sort; the fast pass is checked against it.
void prepare_cloud_splats_reference(SplatFrame& frame, CloudGrid& cloud, Vec3 eye);
// The cloud's light was rebuilt: the next drawing prepares the splats again.
void mark_splat_light_changed(SplatFrame& frame);
// False when the last preparation was for this eye, this many blobs and the light as it is.
bool splats_need_preparing(const SplatFrame& frame, const CloudGrid& cloud, Vec3 eye);
// Splats nearer than this factor of the distance at which a sprite reaches the renderer's largest size
// are drawn as quads: a sprite grows by 1 / cos^1.5 of its angle off the view axis, and this covers
// angles up to 51 degrees, more than the corners of a 60-degree view.
constexpr float kSpriteSizeMargin = 2.0f;
// A compiled GL shader of `kind` (a GLenum) from `source`; 0 when it does not compile.
unsigned compile_shader(unsigned kind, const char* source);
// Widens the GL viewport by half the largest sprite (max_point_size pixels) on every side, pushing a
// projection narrowed to match; the caller pops the projection and restores the viewport.
void widen_viewport_for_sprites(const int viewport[4], const float projection[16], float max_point_size);
// Prepares the splats when they need it and notes what for, adding the time taken to prepare_seconds.
void prepare_splats_when_needed(SplatFrame& frame, CloudGrid& cloud, Vec3 eye);
// Fills vertices, texcoords and colours for splats first ... last - 1 of a prepared frame, at the same
// positions: quads of side 2 splat_size grd_size facing the eye (world), textured with the splat's tile.
void expand_splat_quads(SplatFrame& frame, const CloudGrid& cloud, Vec3 eye, int32_t first, int32_t last);
// Index of the first prepared splat (they run far to near) nearer to the eye than sqrt(limit2).
int32_t first_splat_nearer_than(const SplatFrame& frame, Vec3 eye, float limit2);
// Prepares and draws the cloud: no depth writes, blend one / source alpha, the splat texture.
void draw_cloud_splats(SplatFrame& frame, const RenderTextures& textures, CloudGrid& cloud, Vec3 eye);
