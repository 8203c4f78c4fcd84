// camera.h -- the orbiting camera, picking on the cloud base and the key views
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "app/modes.h"
#include "scene/scene.h"
#include "support/vec3.h"

// Most key views "view.dat" may hold; a file announcing more is refused whole.
constexpr int kMaxKeyViews = 100;

// The camera: an eye orbiting `target` at `distance`, +z up.
struct Camera {
    int32_t given = 0;  // 1 when the scene had a camera section
    Vec3 position_in;   // camera section as read (position_in is not used)
    Vec3 target_in;
    Vec3 orbit_in;  // distance, azimuth, elevation
    Vec3 target;    // look-at point
    Vec3 eye;
    float distance = 0.0f;
    float azimuth = 0.0f;    // radians about the target, from +x towards +y
    float elevation = 0.0f;  // radians above the horizontal plane through the target
    Vec3 view_dir;           // (target - eye) / distance
    float fovy = 30.0f;      // vertical field of view, degrees
    float aspect = 1.0f;     // win_width / win_height
    int32_t win_width = 0, win_height = 0;
    Vec3 right, up, back;  // camera basis
    float roll = 0.0f;     // radians about the line of sight; only key-view flights set it
    // Bounds of `distance` for zooming, set from the start distance.
    float min_distance = 0.0f, max_distance = 0.0f;
};

// One record of "view.dat": nine floats, three floats and a frame number (meaning in
// docs/key-views.md; see key_pose).
struct KeyView {
    std::array<float, 9> pose{};
    std::array<float, 3> extra{};
    int32_t frame = 0;
};

// The key views as read; the camera flight of camera_path.h plays them back.
struct KeyViews {
    std::vector<KeyView> views;  // at most kMaxKeyViews
};

// Places the camera from the camera section, or around the objects, the cloud or a unit box.
void init_view(Camera& camera, const CameraSettings& settings, const Box& object_box, const CloudGrid& cloud,
               int win_width, int win_height);
// Sets viewport, projection and look-at transform for a frame (GL).
void apply_view(const Camera& camera);
// Turns the camera by a mouse drag from (last_x, last_y) to (x, y); only in rotate mode. Levels the roll.
void rotate_view(Camera& camera, int x, int y, int last_x, int last_y, int command_mode);
// Moves the eye towards the target (steps > 0, one per wheel notch) or away from it, within the
// camera's distance bounds.
void zoom_view(Camera& camera, float steps);
// Moves the target in the view plane by a drag from (last_x, last_y) to (x, y), window pixels with y
// down, so that the point under the pointer on the focal plane follows the pointer.
void pan_view(Camera& camera, int x, int y, int last_x, int last_y);
// Orthonormal basis of a camera at eye looking at target, rolled by roll radians.
void camera_basis(Vec3 eye, Vec3 target, float roll, Vec3& right, Vec3& up, Vec3& back);
// World point under window pixel (px, py), origin bottom left, on the focal plane through the target.
Vec3 pixel_to_focal_point(int px, int py, const Camera& camera);
// Where the sight line through pixel (px, py) meets z = base_z; false when it runs parallel to it.
bool pick_ground_point(const Camera& camera, int px, int py, float base_z, Vec3& out);
// Reads the key-view file; frame numbers after the first are spaced by key_interval, saturating at
// the int32 limits.
void read_key_views(KeyViews& key_views, const std::string& name, int key_interval);
