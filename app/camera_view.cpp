// camera_view.cpp -- hands the camera to the graphics system at the start of a frame
#include <GL/gl.h>
#include <GL/glu.h>

#include "app/camera.h"

namespace {

// Depth range of the view, in scene units.
constexpr double kNearPlane = 0.1;
constexpr double kFarPlane = 50000.0;

}  // namespace

// Leaves the model-view matrix current, as every drawing pass of a frame expects. A level
// camera keeps +z up; a rolled one (a key-view flight) turns with its basis.
void apply_view(const Camera& camera) {
    glViewport(0, 0, camera.win_width, camera.win_height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(camera.fovy, camera.aspect, kNearPlane, kFarPlane);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    const Vec3 up = camera.roll == 0.0f ? Vec3{0.0f, 0.0f, 1.0f} : camera.up;
    gluLookAt(camera.eye.x, camera.eye.y, camera.eye.z, camera.target.x, camera.target.y, camera.target.z,
              up.x, up.y, up.z);
}
