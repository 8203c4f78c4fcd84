// camera.cpp -- camera placement, drag rotation, basis, picking and the key-view file
#include "app/camera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "support/file_limits.h"

namespace {

// A drag across the whole window turns the view by a quarter turn of this "pi".
constexpr float kDragPi = 3.14f;
// Below this squared horizontal eye-target distance the eye counts as straight above
// or below the target, where the horizontal axes are undefined.
constexpr float kVerticalEps = 1e-6f;
// Zoom: one wheel notch scales the distance by this factor; the distance stays between these multiples
// of the start distance, never closer than ten near planes and never so far that the scene meets the
// far plane.
constexpr float kZoomStep = 0.85f;
constexpr float kZoomInLimit = 0.05f;
constexpr float kZoomOutLimit = 10.0f;
constexpr float kClosestDistance = 1.0f;
constexpr float kFarthestDistance = 10000.0f;
// Bytes of one key-view record: twelve floats and the frame number.
constexpr size_t kKeyViewBytes = 52;

// No objects leaves the box all zeros; an object section without vertices leaves it
// inverted. Neither can frame a view.
bool box_is_empty(const Box& b) {
    bool all_zero = true;
    for (float v : b) all_zero = all_zero && v == 0.0f;
    return all_zero || b[0] > b[3] || b[1] > b[4] || b[2] > b[5];
}

bool finite(Vec3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// A camera section that would put the eye on its target, or give values that are not
// numbers, leaves nothing to look along: every matrix of the frame would be NaN.
bool section_can_place_view(const CameraSettings& s) {
    return s.orbit_in.x != 0.0f && finite(s.target_in) && finite(s.orbit_in) && s.fovy > 0.0f &&
           s.fovy < 180.0f;
}

// A box with no width along x frames nothing: the eye would be placed at distance 0.
bool box_has_width(const Box& b) {
    const float width = b[3] - b[0];
    return width > 0.0f && std::isfinite(width) && std::isfinite(b[1] + b[2] + b[4] + b[5]);
}

void set_distance_bounds(Camera& c) {
    const float d = c.distance;
    if (!(d > 0.0f) || !std::isfinite(d)) {
        // A degenerate start distance cannot be scaled; zooming then leaves it alone.
        c.min_distance = c.max_distance = d;
        return;
    }
    c.min_distance = std::min(d, std::max(d * kZoomInLimit, kClosestDistance));
    c.max_distance = std::max(d, std::min(d * kZoomOutLimit, kFarthestDistance));
}

void place_eye(Camera& c) {
    const float ce = std::cos(c.elevation);
    const Vec3 dir{ce * std::cos(c.azimuth), ce * std::sin(c.azimuth), std::sin(c.elevation)};
    c.eye = add(c.target, scale(dir, c.distance));
    const Vec3 to_target = sub(c.target, c.eye);
    c.view_dir = Vec3{to_target.x / c.distance, to_target.y / c.distance, to_target.z / c.distance};
}

int32_t get_i32(const unsigned char* p) {
    uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    int32_t v;
    std::memcpy(&v, &u, sizeof v);
    return v;
}

float get_f32(const unsigned char* p) {
    int32_t bits = get_i32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace

void init_view(Camera& camera, const CameraSettings& settings, const Box& object_box, const CloudGrid& cloud,
               int win_width, int win_height) {
    camera.given = settings.given;
    camera.position_in = settings.position_in;
    camera.target_in = settings.target_in;
    camera.orbit_in = settings.orbit_in;
    camera.win_width = win_width;
    camera.win_height = win_height;
    const bool use_section = camera.given == 1 && section_can_place_view(settings);
    if (camera.given == 1 && !use_section) {
        printf(
            "*** camera: distance %g, target (%g, %g, %g), field of view %g cannot place a view; "
            "the scene is framed as without a camera section\n",
            settings.orbit_in.x, settings.target_in.x, settings.target_in.y, settings.target_in.z,
            settings.fovy);
    }
    if (use_section) {
        camera.target = settings.target_in;
        camera.distance = settings.orbit_in.x;
        camera.azimuth = settings.orbit_in.y;
        camera.elevation = settings.orbit_in.z;
        camera.fovy = settings.fovy;
    } else {
        // Frame the objects; a scene without them is framed by its cloud, and an
        // empty scene by a unit box round the origin, so the eye never sits on the target.
        Box frame = object_box;
        if (!box_is_empty(frame) && !box_has_width(frame)) {
            printf("*** the objects have no width along x to frame; the view frames the cloud instead\n");
            frame = Box{};
        }
        if (box_is_empty(frame)) {
            const bool has_cloud = cloud.grd_numx > 0 && cloud.grd_numy > 0 && cloud.grd_numz > 0;
            frame = has_cloud && !box_is_empty(cloud.cloud_box) && box_has_width(cloud.cloud_box)
                        ? cloud.cloud_box
                        : Box{-0.5f, -0.5f, -0.5f, 0.5f, 0.5f, 0.5f};
        }
        camera.target =
            Vec3{(frame[0] + frame[3]) * 0.5f, (frame[1] + frame[4]) * 0.5f, (frame[2] + frame[5]) * 0.5f};
        camera.distance = 2.0f * (frame[3] - frame[0]);
        camera.azimuth = 0.0f;
        camera.elevation = 0.0f;
        camera.fovy = 30.0f;
    }
    camera.aspect = static_cast<float>(win_width) / static_cast<float>(win_height);
    set_distance_bounds(camera);
    place_eye(camera);
    // The projection itself is set by apply_view at the start of every frame; at
    // start-up there is no window yet to apply it to.
    camera_basis(camera.eye, camera.target, camera.roll, camera.right, camera.up, camera.back);
}

void rotate_view(Camera& camera, int x, int y, int last_x, int last_y, int command_mode) {
    if (command_mode == kRotateMode) {
        camera.azimuth +=
            static_cast<float>(last_x - x) / static_cast<float>(camera.win_width) * kDragPi * 0.5f;
        camera.elevation +=
            static_cast<float>(last_y - y) / static_cast<float>(camera.win_height) * kDragPi * 0.5f;
    }
    place_eye(camera);
    camera.roll = 0.0f;
    camera_basis(camera.eye, camera.target, camera.roll, camera.right, camera.up, camera.back);
}

void zoom_view(Camera& camera, float steps) {
    if (!(camera.min_distance > 0.0f)) return;
    const float d = camera.distance * std::pow(kZoomStep, steps);
    camera.distance = std::min(std::max(d, camera.min_distance), camera.max_distance);
    place_eye(camera);
    camera_basis(camera.eye, camera.target, camera.roll, camera.right, camera.up, camera.back);
}

void pan_view(Camera& camera, int x, int y, int last_x, int last_y) {
    if (camera.win_height <= 0) return;
    // World units per pixel on the focal plane through the target.
    const float per_pixel =
        2.0f * std::tan(camera.fovy / 360.0f * kPi) * camera.distance / static_cast<float>(camera.win_height);
    const float dx = static_cast<float>(x - last_x) * per_pixel;
    const float dy = static_cast<float>(y - last_y) * per_pixel;
    // Window y runs down, the camera's up vector up: the scene follows the pointer.
    camera.target = add(camera.target, add(scale(camera.right, -dx), scale(camera.up, dy)));
    place_eye(camera);
    camera_basis(camera.eye, camera.target, camera.roll, camera.right, camera.up, camera.back);
}

void camera_basis(Vec3 eye, Vec3 target, float roll, Vec3& right, Vec3& up, Vec3& back) {
    const float h = eye.y - target.y;
    const float l = eye.x - target.x;
    const float m = h * h + l * l;
    if (m < kVerticalEps) {
        right = Vec3{1.0f, 0.0f, 0.0f};
        up = Vec3{0.0f, 1.0f, 0.0f};
        back = Vec3{0.0f, 0.0f, 1.0f};
    } else {
        const float o = eye.z - target.z;
        const float nb = std::sqrt(m + o * o);
        back = Vec3{l / nb, h / nb, o / nb};
        const float nr = std::sqrt(m);
        right = Vec3{-h / nr, l / nr, 0.0f};
        const float ol = -o * l, oh = -o * h;
        const float nu = std::sqrt(ol * ol + oh * oh + m * m);
        up = Vec3{ol / nu, oh / nu, m / nu};
    }
    const float c = std::cos(roll), s = std::sin(roll);
    const Vec3 r0 = right, u0 = up;
    right = add(scale(u0, s), scale(r0, c));
    up = sub(scale(u0, c), scale(r0, s));
}

Vec3 pixel_to_focal_point(int px, int py, const Camera& camera) {
    const float t = std::tan(camera.fovy / 360.0f * kPi) * camera.distance;
    // Integer halves: on an odd-sized window the centre is the column or row just left of / below the middle.
    const float gx = static_cast<float>(px - camera.win_width / 2) /
                     (static_cast<float>(camera.win_width) * 0.5f) * t * camera.aspect;
    const float gy =
        static_cast<float>(py - camera.win_height / 2) / (static_cast<float>(camera.win_height) * 0.5f) * t;
    Vec3 p = add(camera.eye, scale(camera.view_dir, camera.distance));
    p = add(p, scale(camera.right, gx));
    return add(p, scale(camera.up, gy));
}

bool pick_ground_point(const Camera& camera, int px, int py, float base_z, Vec3& out) {
    const Vec3 v = sub(pixel_to_focal_point(px, py, camera), camera.eye);
    if (v.z == 0.0f) return false;  // the sight line never reaches the base
    const float k = (base_z - camera.eye.z) / v.z;
    out = add(camera.eye, scale(v, k));
    return true;
}

void read_key_views(KeyViews& key_views, const std::string& name, int key_interval) {
    key_views.views.clear();
    FILE* f = open_input_file(name.c_str(), "rb");
    if (!f) {
        std::printf("can't open view.dat\n");
        return;
    }
    unsigned char head[4];
    if (std::fread(head, 1, sizeof head, f) != sizeof head) {
        std::fclose(f);
        std::printf("%s: no key view count\n", name.c_str());
        return;
    }
    const int32_t count = get_i32(head);
    if (count < 0 || count > kMaxKeyViews) {
        std::fclose(f);
        std::printf("%s: %d key views do not fit (at most %d); none kept\n", name.c_str(), count,
                    kMaxKeyViews);
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        unsigned char rec[kKeyViewBytes];
        if (std::fread(rec, 1, sizeof rec, f) != sizeof rec) {
            std::printf("%s: ends after %d of %d key views\n", name.c_str(), i, count);
            break;
        }
        KeyView kv;
        for (int j = 0; j < 9; ++j) kv.pose[static_cast<size_t>(j)] = get_f32(rec + 4 * j);
        for (int j = 0; j < 3; ++j) kv.extra[static_cast<size_t>(j)] = get_f32(rec + 36 + 4 * j);
        kv.frame = get_i32(rec + 48);
        key_views.views.push_back(kv);
    }
    std::fclose(f);
    // The file's first frame number and the option are both untrusted: the spacing saturates at
    // the ends of int32 instead of wrapping, so a far-off frame gives views that stop rising
    // (and a path that cannot be flown) rather than undefined arithmetic.
    for (size_t i = 1; i < key_views.views.size(); ++i) {
        const int64_t next = int64_t{key_views.views[i - 1].frame} + key_interval;
        key_views.views[i].frame = static_cast<int32_t>(std::clamp<int64_t>(
            next, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    }
}
