// camera_path.h -- flying the camera along the key views of "view.dat"
#pragma once

#include "app/camera.h"

// What one key view stands for (see docs/key-views.md).
struct KeyPose {
    Vec3 eye;
    Vec3 target;
    Vec3 up;            // screen-up direction; only its part across the line of sight counts
    float fovy = 0.0f;  // degrees; 0 or less keeps the camera's own field of view
};

// Playback of the key views: on or off, and the path frame the camera stands at.
struct CameraFlight {
    bool on = false;
    double frame = 0.0;
    bool started = false;  // false until the first start, which begins at the first key view
    // Where the flight last (re)started: its path frame, the frames drawn by then and the time.
    double start_frame = 0.0;
    int start_tick = 0;
    double start_seconds = 0.0;
};

// Starts or resumes the flight at its current path frame, with `ticks` frames drawn so far on the frame
// clock and the wall clock at `now_seconds`.
void resume_flight(CameraFlight& flight, int ticks, double now_seconds);

// The path frame a running flight has reached. Runs on the frame clock (scripted runs and movies) move
// one path frame per drawn frame, so every movie frame is one step; interactive flights follow the wall
// clock at `frames_per_second`, so their speed does not depend on how fast frames are drawn.
double flight_frame(const CameraFlight& flight, bool per_frame, int ticks, double now_seconds,
                    double frames_per_second);

// The pose of one record: pose[0..2] eye, pose[3..5] target, pose[6..8] up, extra[0] fovy.
KeyPose key_pose(const KeyView& view);

// Frames from the first key view round the whole loop back to it: the last key view
// returns to the first over one key interval. 0 when the views cannot be flown (fewer
// than two, or frame numbers that do not increase).
double key_path_period(const KeyViews& key_views);

// The pose at path frame `frame`: a Catmull-Rom spline through the eyes, targets, ups and
// fields of view of the closed loop of key views, each key view reached at its frame number.
// Frames outside one loop wrap. The views must be flyable (key_path_period > 0).
KeyPose sample_key_path(const KeyViews& key_views, double frame);

// Puts the camera at a pose: eye, target, orbit (distance, azimuth, elevation), view
// direction, field of view, roll and basis. A pose whose eye sits on its target is ignored.
void place_camera(Camera& camera, const KeyPose& pose);
