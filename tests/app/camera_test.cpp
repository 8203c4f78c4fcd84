// camera_test.cpp -- camera placement, basis, drag rotation, picking and the key-view file
#include "app/camera.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/camera_path.h"
#include "test_support.h"

namespace {

constexpr float kTol = 1e-5f;

void expect_vec(Vec3 got, float x, float y, float z, float tol = kTol) {
    EXPECT_NEAR(got.x, x, tol);
    EXPECT_NEAR(got.y, y, tol);
    EXPECT_NEAR(got.z, z, tol);
}

// A camera placed from a camera section.
Camera orbit_camera(Vec3 target, float distance, float azimuth, float elevation, float fovy, int w, int h) {
    CameraSettings s;
    s.given = 1;
    s.target_in = target;
    s.orbit_in = Vec3{distance, azimuth, elevation};
    s.fovy = fovy;
    Camera c;
    init_view(c, s, Box{}, CloudGrid{}, w, h);
    return c;
}

// The default camera framing the objects of the usual test box.
Camera default_camera(int w, int h) {
    Camera c;
    init_view(c, CameraSettings{}, Box{-10, -10, 0, 10, 10, 5}, CloudGrid{}, w, h);
    return c;
}

int open_fd_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

// A key-view file of `records` records announcing `count`; record i holds floats
// 100 i + j and frame number frames[i].
std::vector<uint8_t> key_view_file(int32_t count, const std::vector<int32_t>& frames) {
    std::vector<uint8_t> out;
    put_i32(out, count);
    for (size_t i = 0; i < frames.size(); ++i) {
        for (int j = 0; j < 12; ++j) put_f32(out, static_cast<float>(100 * i + j));
        put_i32(out, frames[i]);
    }
    return out;
}

}  // namespace

TEST(Camera, DefaultFramesObjectBox) {
    const Camera c = default_camera(480, 480);
    expect_vec(c.target, 0.0f, 0.0f, 2.5f);
    EXPECT_FLOAT_EQ(c.distance, 40.0f);
    expect_vec(c.eye, 40.0f, 0.0f, 2.5f);
    expect_vec(c.view_dir, -1.0f, 0.0f, 0.0f);
    EXPECT_FLOAT_EQ(c.fovy, 30.0f);
    EXPECT_FLOAT_EQ(c.aspect, 1.0f);
    expect_vec(c.right, 0.0f, 1.0f, 0.0f);
    expect_vec(c.up, 0.0f, 0.0f, 1.0f);
    expect_vec(c.back, 1.0f, 0.0f, 0.0f);
}

TEST(Camera, DefaultWithoutObjectsFramesCloudThenUnitBox) {
    CloudGrid cloud;
    cloud.grd_numx = cloud.grd_numy = cloud.grd_numz = 4;
    cloud.cloud_box = Box{0, 0, 100, 50, 40, 120};
    Camera c;
    init_view(c, CameraSettings{}, Box{}, cloud, 640, 480);
    expect_vec(c.target, 25.0f, 20.0f, 110.0f);
    EXPECT_FLOAT_EQ(c.distance, 100.0f);
    expect_vec(c.eye, 125.0f, 20.0f, 110.0f);
    EXPECT_FLOAT_EQ(c.aspect, 640.0f / 480.0f);

    // No cloud either: a unit box round the origin keeps the eye off the target.
    init_view(c, CameraSettings{}, Box{}, CloudGrid{}, 480, 480);
    expect_vec(c.target, 0.0f, 0.0f, 0.0f);
    EXPECT_FLOAT_EQ(c.distance, 2.0f);
    expect_vec(c.eye, 2.0f, 0.0f, 0.0f);

    // An object section without vertices leaves the box inverted: also no objects.
    init_view(c, CameraSettings{}, Box{1e13f, 1e13f, 1e13f, -1e13f, -1e13f, -1e13f}, cloud, 480, 480);
    expect_vec(c.target, 25.0f, 20.0f, 110.0f);
}

TEST(Camera, ViewsThatCannotBePlacedFallBackWithAMessage) {
    CloudGrid cloud;
    cloud.grd_numx = cloud.grd_numy = cloud.grd_numz = 4;
    cloud.cloud_box = Box{0, 0, 100, 50, 40, 120};
    const Box objects{-20, -20, 0, 20, 20, 5};
    const Box flat{3, -20, 0, 3, 20, 5};  // a wall with no width along x
    CameraSettings zero;
    zero.given = 1;
    zero.target_in = Vec3{1, 2, 3};
    zero.orbit_in = Vec3{0, 0.5f, 0.2f};
    zero.fovy = 40;
    CameraSettings not_a_number = zero;
    not_a_number.orbit_in = Vec3{10, std::nanf(""), 0.2f};
    struct Case {
        const char* what;
        CameraSettings settings;
        Box objects;
        Vec3 target;
        const char* message;
    } cases[] = {
        {"distance 0", zero, objects, Vec3{0, 0, 2.5f}, "*** camera: distance 0,"},
        {"NaN azimuth", not_a_number, objects, Vec3{0, 0, 2.5f}, "*** camera: distance 10,"},
        {"flat objects", CameraSettings{}, flat, Vec3{25, 20, 110}, "*** the objects have no width along x"},
        {"both", zero, flat, Vec3{25, 20, 110}, "*** the objects have no width along x"},
    };
    for (const Case& k : cases) {
        Camera c;
        testing::internal::CaptureStdout();
        init_view(c, k.settings, k.objects, cloud, 480, 480);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(k.message), std::string::npos) << k.what << ": " << out;
        expect_vec(c.target, k.target.x, k.target.y, k.target.z);
        for (float v :
             {c.eye.x, c.eye.y, c.eye.z, c.view_dir.x, c.view_dir.y, c.view_dir.z, c.up.z, c.back.x})
            EXPECT_TRUE(std::isfinite(v)) << k.what;
        EXPECT_GT(c.distance, 0.0f) << k.what;
    }
}

TEST(Camera, SectionOrbitAndBasis) {
    // Orbit (10, pi/2, 0) about the origin: eye on +y, looking along -y.
    Camera c = orbit_camera(Vec3{}, 10.0f, kHalfPi, 0.0f, 45.0f, 480, 480);
    expect_vec(c.eye, 0.0f, 10.0f, 0.0f);
    expect_vec(c.view_dir, 0.0f, -1.0f, 0.0f);
    expect_vec(c.right, -1.0f, 0.0f, 0.0f);
    expect_vec(c.up, 0.0f, 0.0f, 1.0f);
    expect_vec(c.back, 0.0f, 1.0f, 0.0f);
    EXPECT_FLOAT_EQ(c.fovy, 45.0f);

    // The section's target is used as given.
    c = orbit_camera(Vec3{1, 2, 3}, 10.0f, 0.0f, 0.0f, 30.0f, 480, 480);
    expect_vec(c.eye, 11.0f, 2.0f, 3.0f);
}

TEST(Camera, BasisStraightAboveIsIdentity) {
    const Camera c = orbit_camera(Vec3{5, 5, 0}, 10.0f, 0.3f, kHalfPi, 30.0f, 480, 480);
    EXPECT_NEAR(c.eye.z, 10.0f, kTol);
    EXPECT_EQ(c.right.x, 1.0f);
    EXPECT_EQ(c.right.y, 0.0f);
    EXPECT_EQ(c.up.y, 1.0f);
    EXPECT_EQ(c.back.z, 1.0f);
    // Straight below as well.
    Vec3 r, u, b;
    camera_basis(Vec3{0, 0, -3}, Vec3{0.0001f, 0, 0}, 0.0f, r, u, b);
    expect_vec(r, 1, 0, 0);
    expect_vec(u, 0, 1, 0);
    expect_vec(b, 0, 0, 1);
}

TEST(Camera, BasisGeneralIsRightHandedAndRolls) {
    Vec3 r, u, b;
    camera_basis(Vec3{3, -4, 5}, Vec3{1, 1, 1}, 0.0f, r, u, b);
    // back points from the target to the eye.
    const float n = std::sqrt(4.0f + 25.0f + 16.0f);
    expect_vec(b, 2.0f / n, -5.0f / n, 4.0f / n);
    EXPECT_NEAR(dot(r, u), 0.0f, kTol);
    EXPECT_NEAR(dot(r, b), 0.0f, kTol);
    EXPECT_NEAR(dot(u, b), 0.0f, kTol);
    EXPECT_NEAR(r.z, 0.0f, kTol);  // right stays horizontal
    EXPECT_GT(u.z, 0.0f);          // up leans towards +z
    const Vec3 rxu = cross(r, u);
    expect_vec(rxu, b.x, b.y, b.z);

    // A quarter roll turns right into the old up, and up into minus the old right.
    Vec3 r2, u2, b2;
    camera_basis(Vec3{3, -4, 5}, Vec3{1, 1, 1}, kHalfPi, r2, u2, b2);
    expect_vec(r2, u.x, u.y, u.z);
    expect_vec(u2, -r.x, -r.y, -r.z);
    expect_vec(b2, b.x, b.y, b.z);
}

TEST(Camera, DragTurnsOnlyInRotateMode) {
    Camera c = default_camera(480, 480);
    // 100 pixels to the left: a fraction 100/480 of a quarter turn of 3.14.
    rotate_view(c, 140, 200, 240, 200, kRotateMode);
    EXPECT_NEAR(c.azimuth, 100.0f / 480.0f * 1.57f, kTol);
    EXPECT_NEAR(c.azimuth, 0.327f, 1e-3f);
    EXPECT_FLOAT_EQ(c.elevation, 0.0f);
    expect_vec(c.eye, 40.0f * std::cos(c.azimuth), 40.0f * std::sin(c.azimuth), 2.5f, 1e-4f);
    expect_vec(c.view_dir, -std::cos(c.azimuth), -std::sin(c.azimuth), 0.0f);
    expect_vec(c.right, -std::sin(c.azimuth), std::cos(c.azimuth), 0.0f);

    // Upwards drag on a 640 x 320 window: the height scales the elevation.
    Camera w = default_camera(640, 320);
    rotate_view(w, 300, 100, 300, 260, kRotateMode);
    EXPECT_NEAR(w.elevation, 160.0f / 320.0f * 1.57f, kTol);
    EXPECT_FLOAT_EQ(w.azimuth, 0.0f);
    EXPECT_NEAR(w.eye.z, 2.5f + 40.0f * std::sin(w.elevation), 1e-4f);

    // Generate mode leaves the angles.
    Camera g = default_camera(480, 480);
    rotate_view(g, 0, 0, 240, 240, kGenerateMode);
    EXPECT_EQ(g.azimuth, 0.0f);
    EXPECT_EQ(g.elevation, 0.0f);
    expect_vec(g.eye, 40.0f, 0.0f, 2.5f);
}

TEST(Camera, FocalPointUsesIntegerCentre) {
    // 481 wide: column 240 is the centre, so it maps onto the target exactly.
    Camera c = default_camera(481, 480);
    Vec3 p = pixel_to_focal_point(240, 240, c);
    expect_vec(p, 0.0f, 0.0f, 2.5f);
    // One column to the right moves by 1/240.5 of the half width.
    const float t = std::tan(30.0f / 360.0f * 3.1415926f) * 40.0f;
    p = pixel_to_focal_point(241, 240, c);
    expect_vec(p, 0.0f, 1.0f / 240.5f * t * c.aspect, 2.5f);
    // The top row lies a full half height above the target.
    p = pixel_to_focal_point(240, 480, c);
    expect_vec(p, 0.0f, 0.0f, 2.5f + t, 1e-4f);
}

TEST(Camera, PickGroundPoint) {
    // Looking down at 0.5 rad: the centre pixel picks the ground straight along view_dir.
    const Camera c = orbit_camera(Vec3{0, 0, 0}, 100.0f, 0.0f, 0.5f, 30.0f, 480, 480);
    Vec3 g;
    ASSERT_TRUE(pick_ground_point(c, 240, 240, -10.0f, g));
    EXPECT_FLOAT_EQ(g.z, -10.0f);
    const float k = (-10.0f - c.eye.z) / c.view_dir.z;
    expect_vec(g, c.eye.x + k * c.view_dir.x, c.eye.y + k * c.view_dir.y, -10.0f, 1e-3f);

    // Level default camera, bottom row: the sight line drops by the half height
    // tan(15 deg) * 40 over 40 units and meets z = 0 at 40 - 40 * 2.5 / (tan(15 deg) * 40).
    const Camera d = default_camera(480, 480);
    ASSERT_TRUE(pick_ground_point(d, 240, 0, 0.0f, g));
    const double half = std::tan(15.0 * 3.14159265358979 / 180.0) * 40.0;
    EXPECT_NEAR(g.x, 40.0 - 40.0 * 2.5 / half, 1e-3);
    EXPECT_NEAR(g.y, 0.0f, kTol);
    EXPECT_NEAR(g.z, 0.0f, kTol);

    // The centre row of the level camera runs parallel to the base: no point.
    g = Vec3{7, 7, 7};
    EXPECT_FALSE(pick_ground_point(d, 100, 240, 0.0f, g));
    expect_vec(g, 7, 7, 7);
}

TEST(KeyViews, FramesSpacedByInterval) {
    ScratchDir dir;
    write_binary_file(dir.file("view.dat"), key_view_file(3, {7, 99, -5}));
    KeyViews kv;
    kv.views.resize(5);  // an earlier reading is replaced
    const int fds = open_fd_count();
    read_key_views(kv, dir.file("view.dat"), 30);
    EXPECT_EQ(open_fd_count(), fds);  // the file is closed again
    ASSERT_EQ(kv.views.size(), 3u);
    EXPECT_EQ(kv.views[0].frame, 7);
    EXPECT_EQ(kv.views[1].frame, 37);
    EXPECT_EQ(kv.views[2].frame, 67);
    EXPECT_EQ(kv.views[1].pose[0], 100.0f);
    EXPECT_EQ(kv.views[1].pose[8], 108.0f);
    EXPECT_EQ(kv.views[2].extra[0], 209.0f);
    EXPECT_EQ(kv.views[2].extra[2], 211.0f);
}

TEST(KeyViews, CapacityAndDamagedFiles) {
    ScratchDir dir;
    KeyViews kv;
    // Exactly the table's size fits.
    write_binary_file(dir.file("full.dat"), key_view_file(100, std::vector<int32_t>(100, 1)));
    read_key_views(kv, dir.file("full.dat"), 2);
    ASSERT_EQ(kv.views.size(), 100u);
    EXPECT_EQ(kv.views[99].frame, 1 + 99 * 2);

    // One over is refused whole, with a message.
    write_binary_file(dir.file("over.dat"), key_view_file(101, std::vector<int32_t>(101, 1)));
    testing::internal::CaptureStdout();
    read_key_views(kv, dir.file("over.dat"), 2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(kv.views.empty());
    EXPECT_NE(out.find("101 key views do not fit"), std::string::npos) << out;

    // A negative count is refused too.
    write_binary_file(dir.file("neg.dat"), key_view_file(-1, {}));
    testing::internal::CaptureStdout();
    read_key_views(kv, dir.file("neg.dat"), 2);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(kv.views.empty());

    // A file shorter than its count keeps the whole records before the end.
    std::vector<uint8_t> bytes = key_view_file(3, {4, 4, 4});
    bytes.resize(4 + 52 * 2 + 20);
    write_binary_file(dir.file("short.dat"), bytes);
    testing::internal::CaptureStdout();
    read_key_views(kv, dir.file("short.dat"), 10);
    out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(kv.views.size(), 2u);
    EXPECT_EQ(kv.views[1].frame, 14);
    EXPECT_NE(out.find("ends after 2 of 3"), std::string::npos) << out;

    // A first frame near the int32 limit: the spacing saturates (the path then cannot be flown)
    // instead of overflowing, either way round.
    write_binary_file(dir.file("far.dat"), key_view_file(3, {2147483646, 0, 0}));
    read_key_views(kv, dir.file("far.dat"), 30);
    ASSERT_EQ(kv.views.size(), 3u);
    EXPECT_EQ(kv.views[1].frame, 2147483647);
    EXPECT_EQ(kv.views[2].frame, 2147483647);
    EXPECT_EQ(key_path_period(kv), 0.0);
    write_binary_file(dir.file("low.dat"), key_view_file(2, {-2147483647, 0}));
    read_key_views(kv, dir.file("low.dat"), -30);
    ASSERT_EQ(kv.views.size(), 2u);
    EXPECT_EQ(kv.views[1].frame, -2147483647 - 1);

    // Not even a count.
    write_binary_file(dir.file("empty.dat"), {1, 0});
    testing::internal::CaptureStdout();
    read_key_views(kv, dir.file("empty.dat"), 10);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(kv.views.empty());
}

TEST(KeyViews, MissingFilePrintsFixedName) {
    ScratchDir dir;
    KeyViews kv;
    kv.views.resize(2);
    testing::internal::CaptureStdout();
    read_key_views(kv, dir.file("other-name.dat"), 30);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "can't open view.dat\n");
    EXPECT_TRUE(kv.views.empty());
}

namespace {

// Window pixel (origin bottom left, fractional) where the camera shows world point p.
void project(const Camera& c, Vec3 p, float& px, float& py) {
    const Vec3 v = sub(p, c.eye);
    const float depth = dot(v, c.view_dir);
    const float t = std::tan(c.fovy / 360.0f * kPi);
    px = static_cast<float>(c.win_width / 2) + dot(v, c.right) / depth / (t * c.aspect) * c.win_width * 0.5f;
    py = static_cast<float>(c.win_height / 2) + dot(v, c.up) / depth / t * c.win_height * 0.5f;
}

}  // namespace

TEST(CameraNavigation, ZoomStaysWithinBoundsAndKeepsTheTarget) {
    Camera c = orbit_camera(Vec3{10, 20, 30}, 160.0f, 0.4f, 0.3f, 60.0f, 960, 720);
    const Vec3 dir = normalise(sub(c.eye, c.target));
    zoom_view(c, 1.0f);
    EXPECT_NEAR(c.distance, 160.0f * 0.85f, 1e-3f);
    expect_vec(c.target, 10, 20, 30);
    expect_vec(normalise(sub(c.eye, c.target)), dir.x, dir.y, dir.z);
    EXPECT_NEAR(length(sub(c.eye, c.target)), c.distance, 1e-3f);
    zoom_view(c, 200.0f);
    EXPECT_NEAR(c.distance, 8.0f, 1e-3f) << "closest: a twentieth of the start distance";
    zoom_view(c, -500.0f);
    EXPECT_NEAR(c.distance, 1600.0f, 1e-2f) << "farthest: ten times the start distance";
    // A small scene may come no closer than one unit; a huge one goes no farther than 10000.
    Camera small = orbit_camera(Vec3{}, 4.0f, 0.0f, 0.0f, 30.0f, 100, 100);
    zoom_view(small, 100.0f);
    EXPECT_NEAR(small.distance, 1.0f, 1e-5f);
    Camera huge = orbit_camera(Vec3{}, 4000.0f, 0.0f, 0.0f, 30.0f, 100, 100);
    zoom_view(huge, -100.0f);
    EXPECT_NEAR(huge.distance, 10000.0f, 1e-2f);
    // A camera section at distance 0 falls back to a default framing, which zooms like any other.
    Camera flat = orbit_camera(Vec3{}, 0.0f, 0.0f, 0.0f, 30.0f, 100, 100);
    ASSERT_GT(flat.distance, 0.0f);
    const float start = flat.distance;
    zoom_view(flat, 3.0f);
    EXPECT_NEAR(flat.distance, start * 0.85f * 0.85f * 0.85f, 1e-3f * start);
}

TEST(CameraNavigation, PanFollowsThePointerAndPickingStaysUnderIt) {
    Camera c = orbit_camera(Vec3{0, 0, 40}, 150.0f, -0.95f, -0.35f, 60.0f, 960, 720);
    // Drag the point under pixel (300, 200) (top-left origin) to (420, 260): it must follow.
    const Vec3 grabbed = pixel_to_focal_point(300, 720 - 200, c);
    const Vec3 view_before = c.view_dir;
    pan_view(c, 420, 260, 300, 200);
    float px, py;
    project(c, grabbed, px, py);
    EXPECT_NEAR(px, 420.0f, 0.05f);
    EXPECT_NEAR(py, 720.0f - 260.0f, 0.05f);
    expect_vec(c.view_dir, view_before.x, view_before.y, view_before.z);
    EXPECT_NEAR(c.distance, 150.0f, 1e-3f);

    // After zooming and panning, a strike picked under the pointer is drawn under the pointer.
    zoom_view(c, 3.0f);
    pan_view(c, 500, 300, 480, 330);
    rotate_view(c, 470, 340, 480, 360, kRotateMode);
    for (const auto& [x, y] :
         std::vector<std::pair<int, int>>{{480, 360}, {100, 650}, {900, 500}, {10, 700}}) {
        Vec3 ground;
        ASSERT_TRUE(pick_ground_point(c, x, 720 - y, 0.0f, ground)) << x << " " << y;
        EXPECT_NEAR(ground.z, 0.0f, 1e-3f);
        project(c, ground, px, py);
        EXPECT_NEAR(px, static_cast<float>(x), 0.05f) << x << " " << y;
        EXPECT_NEAR(py, static_cast<float>(720 - y), 0.05f) << x << " " << y;
    }
}
