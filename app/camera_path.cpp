// camera_path.cpp -- flying the camera along the key views of "view.dat"
#include "app/camera_path.h"

#include <algorithm>
#include <cmath>

namespace {

// An up vector whose part across the line of sight is shorter than this (relative to
// the vector) gives no usable screen direction; the view then keeps +z up.
constexpr float kMinUpAcross = 1e-3f;

// Uniform Catmull-Rom between b (t = 0) and c (t = 1), with neighbours a and d: passes
// through every key and has the same slope on both sides of it.
float catmull_rom(float a, float b, float c, float d, float t) {
    const float t2 = t * t, t3 = t2 * t;
    return 0.5f * (2.0f * b + (c - a) * t + (2.0f * a - 5.0f * b + 4.0f * c - d) * t2 +
                   (3.0f * b - a - 3.0f * c + d) * t3);
}

Vec3 catmull_rom(Vec3 a, Vec3 b, Vec3 c, Vec3 d, float t) {
    return Vec3{catmull_rom(a.x, b.x, c.x, d.x, t), catmull_rom(a.y, b.y, c.y, d.y, t),
                catmull_rom(a.z, b.z, c.z, d.z, t)};
}

// Roll, in the sense of camera_basis, that turns the level view's up towards `up`.
float roll_towards(Vec3 eye, Vec3 target, Vec3 up) {
    Vec3 right, level_up, back;
    camera_basis(eye, target, 0.0f, right, level_up, back);
    const float a = dot(up, right), b = dot(up, level_up);
    const float across = std::sqrt(a * a + b * b);
    if (!(across > kMinUpAcross * length(up))) return 0.0f;
    // A roll r makes up = cos r * level_up - sin r * right.
    return std::atan2(-a, b);
}

}  // namespace

KeyPose key_pose(const KeyView& v) {
    KeyPose p;
    p.eye = Vec3{v.pose[0], v.pose[1], v.pose[2]};
    p.target = Vec3{v.pose[3], v.pose[4], v.pose[5]};
    p.up = Vec3{v.pose[6], v.pose[7], v.pose[8]};
    p.fovy = v.extra[0];
    return p;
}

double key_path_period(const KeyViews& key_views) {
    const auto& v = key_views.views;
    if (v.size() < 2) return 0.0;
    for (size_t i = 1; i < v.size(); ++i)
        if (v[i].frame <= v[i - 1].frame) return 0.0;
    // The closing segment takes as long as the first one: the file spaces every view alike.
    const double step = static_cast<double>(v[1].frame) - v[0].frame;
    return static_cast<double>(v.back().frame) - v[0].frame + step;
}

KeyPose sample_key_path(const KeyViews& key_views, double frame) {
    const auto& v = key_views.views;
    const size_t n = v.size();
    const double period = key_path_period(key_views);
    if (period <= 0.0) return n > 0 ? key_pose(v[0]) : KeyPose{};
    double t = std::fmod(frame - v[0].frame, period);
    if (t < 0.0) t += period;
    t += v[0].frame;
    // Segment i runs from view i to view i + 1; the last one closes the loop.
    size_t i = 0;
    while (i + 1 < n && t >= v[i + 1].frame) ++i;
    const double start = v[i].frame;
    const double end = i + 1 < n ? static_cast<double>(v[i + 1].frame) : v[0].frame + period;
    const float u = static_cast<float>((t - start) / (end - start));
    const KeyPose a = key_pose(v[(i + n - 1) % n]), b = key_pose(v[i]), c = key_pose(v[(i + 1) % n]),
                  d = key_pose(v[(i + 2) % n]);
    KeyPose p;
    p.eye = catmull_rom(a.eye, b.eye, c.eye, d.eye, u);
    p.target = catmull_rom(a.target, b.target, c.target, d.target, u);
    p.up = catmull_rom(a.up, b.up, c.up, d.up, u);
    p.fovy = catmull_rom(a.fovy, b.fovy, c.fovy, d.fovy, u);
    return p;
}

void place_camera(Camera& camera, const KeyPose& pose) {
    const Vec3 offset = sub(pose.eye, pose.target);
    const float distance = length(offset);
    if (!(distance > 0.0f) || !std::isfinite(distance)) return;
    camera.eye = pose.eye;
    camera.target = pose.target;
    camera.distance = distance;
    // The orbit angles follow the eye, so a drag after the flight turns on from here.
    camera.azimuth = std::atan2(offset.y, offset.x);
    camera.elevation = std::asin(std::fmax(-1.0f, std::fmin(1.0f, offset.z / distance)));
    camera.view_dir = scale(offset, -1.0f / distance);
    if (pose.fovy > 0.0f && pose.fovy < 180.0f) camera.fovy = pose.fovy;
    camera.roll = roll_towards(camera.eye, camera.target, pose.up);
    camera_basis(camera.eye, camera.target, camera.roll, camera.right, camera.up, camera.back);
}

void resume_flight(CameraFlight& flight, int ticks, double now_seconds) {
    flight.start_frame = flight.frame;
    flight.start_tick = ticks;
    flight.start_seconds = now_seconds;
}

double flight_frame(const CameraFlight& flight, bool per_frame, int ticks, double now_seconds,
                    double frames_per_second) {
    if (per_frame) return flight.start_frame + (ticks - flight.start_tick);
    return flight.start_frame + std::max(0.0, now_seconds - flight.start_seconds) * frames_per_second;
}
