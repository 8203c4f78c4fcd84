// physical_frame.h -- the float frame of physical shading: background, cloud and the display transform
#pragma once

#include <cstdint>

#include "render/cloud_splats.h"
#include "render/splat_raster.h"
#include "scene/scene.h"

// Display transform of the finished frame: display = clamp(exposure x L, 0, 1)^gamma_inv (times 255 on
// screen), L the linear radiance. The drawing's shader computes the same.
float display_value(float linear, float exposure, float gamma_inv);
// Its inverse on 0 ... 1: the linear radiance that shows as `display` (the sky, objects, channel and glow
// are drawn in display values and enter the linear frame through it).
float linear_from_display(float display, float exposure, float gamma_inv);

// Programs and render targets of physical shading. Everything is 0 where the graphics system lacks
// shaders, float render targets or framebuffer objects; such a system keeps the classic drawing.
struct PhysicalFrame {
    uint32_t sprite_program = 0, quad_program = 0, composite_program = 0;
    int32_t sprite_size_scale = -1;  // uniform locations
    int32_t composite_background = -1, composite_cloud = -1, composite_exposure = -1, composite_gamma = -1;
    float max_point_size = 0.0f;
    // Background (sky, objects, channel, glow, in display values) and cloud (premultiplied linear radiance
    // and transmittance) share one depth buffer, so the cloud is hidden by the objects in front of it.
    uint32_t background_fbo = 0, cloud_fbo = 0, background_texture = 0, cloud_texture = 0, depth_buffer = 0;
    int32_t width = 0, height = 0;  // size of the targets, 0 before the first frame
    bool usable = false;
    // The splats drawn by this program into `image` and handed to GL as the cloud target's texture, where
    // GL's points would cost more (a software renderer).
    bool cpu_splats = false;
    bool cloud_uploaded = false;  // this frame's image is in the cloud target
    SplatImage image;
};

// Who draws the physical splats: GL's point sprites, this program (rasterise_splats), or the program
// where GL renders in software.
enum class SplatDrawer { automatic, gl, cpu };
// True for the name (GL_RENDERER) of a renderer that runs on the CPU.
bool software_renderer(const char* renderer);

// Vertex attribute that carries each splat's (or quad corner's) centre depth to the physical shaders.
constexpr uint32_t kSplatDepthAttribute = 1;

// Builds the programs and targets of width x height when allowed and the graphics system has OpenGL 3.0
// (float targets, framebuffer objects, GLSL) and accepts them; leaves `usable` false otherwise. Needs a
// current graphics context.
void create_physical_frame(PhysicalFrame& frame, bool allowed, int32_t width, int32_t height,
                           SplatDrawer drawer = SplatDrawer::automatic);
// True when this frame is drawn the physical way: the scene asks for it and the system can.
bool physical_frame_active(const PhysicalFrame& frame, const CloudGrid& cloud);
// Makes the targets the size of the viewport in force and binds the background target; the caller clears
// and draws the background as usual.
void begin_physical_frame(PhysicalFrame& frame);
// Draws the cloud's splats into the cloud target: linear radiance albedo x J with opacity
// 1 - exp(-depth), back to front, depth-tested against the background's objects.
void draw_cloud_splats_physical(SplatFrame& splats, PhysicalFrame& frame, CloudGrid& cloud, Vec3 eye);
// Composites background and cloud into the window in linear light and applies the display transform.
void finish_physical_frame(const PhysicalFrame& frame, const CloudGrid& cloud);
