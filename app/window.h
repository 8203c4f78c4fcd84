// window.h -- the window, its callbacks and the interaction state of the viewer
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <vector>

#include "app/camera_path.h"
#include "app/frame_info.h"
#include "app/modes.h"
#include "app/movie.h"
#include "app/options.h"
#include "app/strike_export.h"
#include "lightning/flash.h"
#include "sound/frame_sound.h"
#include "support/vec3.h"

// The interaction state and the settings of the running viewer.
struct AppState {
    Options options;
    ColourTable colours;
    FILE* sysout = nullptr;
    std::array<Vec3, 4> glow_quad{};
    int window_id = 0;
    int command_mode = kRotateMode;
    int help_on = 1;
    int mouse_down = 0;
    int shift_held = 0;
    std::array<int, 3> button_down{};
    int last_x = 0, last_y = 0;
    int strike_count = 0;          // strikes so far; strike n fills record n mod discharge_count
    bool flash_on_screen = false;  // a lit frame is showing; the next idle step clears it
    bool idle_running = false;     // idle_step is registered with the window system
    // Panning: a middle-button drag, or a right-button drag that began with Shift held.
    bool panning = false;
    bool panned = false;  // the pan moved the view, so its release is no click
    // "s" and "i".
    bool save_due = false;  // the next frame is also written as vintrel-NNNN.png
    int saved_count = 0;    // highest number written or found taken so far
    bool info_on = false;
    FrameClock frame_times;   // when the last frames were drawn, for the "i" overlay
    double relight_ms = 0.0;  // duration of the last relight from a strike's lights
    int first_display = 1;
    int object_drawing = 0;
    bool sound_open = false;  // the scene has sounds and buffers were made
    // The frame clock: the idle step (and the first display) draws the next frame, which advances a
    // flight, a movie and a frame-clocked sound; any other display (an input, an expose) redraws the
    // frame on screen and changes none of them.
    bool tick_due = false;  // the next display is the frame clock's
    int drawn_count = 0;    // every display, frame or redraw: the numbers of -snapshot files
    // Scripted runs.
    int frame_number = 0;         // frames of the frame clock drawn so far
    std::size_t next_strike = 0;  // index into options.strikes
    int plain_frames_due = 0;     // plain idle steps still to run before the next strike
    std::chrono::steady_clock::time_point next_frame_time{};
    CameraFlight flight;  // "p" and "-play"
    // Frame-clocked runs (-movie, or a WAV beside a scripted run): the sound of every frame
    // is mixed right after it is drawn instead of by the wall-clock timer.
    bool frame_clock = false;
    FrameSound frame_sound;
    WaveFileWriter wave_out;
    MovieWriter movie;
    std::vector<uint8_t> frame_rgb;  // the frame read back for snapshots and the movie
    // "b" and "-export-strike": the newest strike as a path tracer needs it, kept after its frame.
    bool have_strike = false;
    StrikeExport last_strike;
    int export_count = 0;          // highest strike-NNNN folder number written or found taken
    bool strike_exported = false;  // "-export-strike" has written its folder
    // Flashes in time ("flash strokes" scenes): their own random stream and the flash on screen.
    FlashRandom flash_random;
    FlashPlayback flash;
    // "-timing": frames of the frame clock after the first, their time (the GL work finished) and the
    // splat preparation's share.
    int timed_frames = 0;
    double timed_seconds = 0.0;
    double timed_prepare_start = 0.0;
};

extern AppState app_state;

// Back to the state of a fresh start.
void reset_app_state(AppState& app);

// Creates the window, registers the callbacks and loads what needs a window.
void setup_window();

// Window callbacks.
void display();
void on_key(unsigned char key, int x, int y);
void on_mouse(int button, int state, int x, int y);
void on_motion(int x, int y);
void on_wheel(int wheel, int direction, int x, int y);
void on_special_key(int key, int x, int y);
void idle_step();

// Draws text at window pixel (x, y), origin bottom left, in a GLUT bitmap font.
void draw_text(const char* text, int x, int y, void* font);

// The help overlay: one line per key and mouse action.
void draw_help();

// Starts flying the key views (from the first one, or from where the last flight
// stopped) or stops; with no path to fly it prints one line and changes nothing.
void toggle_flight(AppState& app);

// Stops the sound timer, closes the output (draining it when drain is true), finishes
// a frame-clocked WAV and the movie and closes sysout.dat: everything that must happen
// before the process ends. False when the WAV or the movie could not be finished.
bool shut_down(bool drain);
