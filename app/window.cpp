// window.cpp -- window set-up, the display, keyboard, mouse and idle callbacks
#include "app/window.h"

#include <GL/freeglut.h>
#include <GL/glu.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/camera.h"
#include "app/snapshot.h"
#include "app/viewer.h"
#include "illumination/tables.h"
#include "lightning/discharge.h"
#include "lightning/glow.h"
#include "lightning/lightning_grid.h"
#include "render/cloud_splats.h"
#include "render/objects.h"
#include "render/sky.h"
#include "render/textures.h"
#include "scene/scene.h"
#include "sound/mixer.h"
#include "support/memory_use.h"

AppState app_state;

namespace {

// The first discharge starts from the generator state after this many draws
// (three for each of 20000 particles that are not drawn).
constexpr int kWarmUpDraws = 60000;
// Axis cross drawn at the camera target while a button is held.
constexpr float kAxisLineWidth = 3.0f;
constexpr float kAxisHalfLength = 1.0f;
// Help overlay: colour, line spacing and margin in pixels.
constexpr int kHelpLeft = 5;
constexpr int kHelpLineSpacing = 14;
// One arrow key turns the view as a drag across this fraction of the window would.
constexpr int kArrowDragFraction = 16;
// The "i" overlay: distance of its baseline from the top of the window, in pixels.
constexpr int kInfoTop = 18;

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void relight_objects() {
    for (SceneObject& o : scene_state.objects) o.lit = 0;
    light_objects(scene_state.objects, scene_state.light);
}

void relight_cloud() {
    const PointSources& ps = lightning_state.sources;
    const double start = seconds_now();
    const bool changed = relight_cloud_with_ambient(
        viewer.lightning_grid, viewer.base_intensity, viewer.illumination_work, viewer.ambient,
        viewer.lightning_light, scene_state.cloud, ps.point_source_pos.data(), ps.point_source_int.data(),
        ps.point_source_count);
    if (changed) {
        // The overlay reports what a strike's relight costs, not the clearing that darkens the cloud after
        // it.
        if (ps.point_source_count > 0) app_state.relight_ms = (seconds_now() - start) * 1000.0;
        mark_splat_light_changed(viewer.splats);
    }
}

// Frames per second of the key views' frame numbers: the movie's rate, or -fps.
double key_frames_per_second(const AppState& a) {
    return a.options.fps > 0 ? a.options.fps : kDefaultMovieFps;
}

// Scripted and frame-clocked runs count a flash's time in frames, interactive ones in wall time.
bool flash_on_frame_clock(const AppState& a) { return a.frame_clock || a.options.frames > 0; }

// The time on the flash's clock where the frame about to be drawn ends.
double flash_frame_end(const AppState& a) {
    return flash_on_frame_clock(a) ? (a.frame_number + 1) / key_frames_per_second(a) : seconds_now();
}

// The cloud's light is the ambient light plus the relight's own field (kept in viewer.lightning_light).
bool ambient_in_use() {
    const CloudGrid& cloud = scene_state.cloud;
    return cloud.shading.physical && viewer.ambient.loaded &&
           viewer.lightning_light.size() == cloud.dcl_dir_light.size();
}

// Shows `level` first strokes of the flash's light in the frame: the cloud's linear light in proportion,
// display-valued colours (channel, glow, sky and object flash) by level^(1/gamma), which puts their
// linear light in proportion too.
void show_flash_level(float level) {
    CloudGrid& cloud = scene_state.cloud;
    const float shown = level > 0.0f ? std::pow(level, cloud.gamma_inv) : 0.0f;
    lightning_state.flash_display = shown;
    const float k = cloud.shading.physical ? level : shown;
    if (viewer.flash_field.size() == cloud.dcl_dir_light.size()) {
        // The sun and the sky stay as they are beneath the flash.
        if (ambient_in_use()) {
            compose_cloud_light(viewer.ambient, viewer.flash_field, cloud.dcl_dir_light, k);
        } else {
            for (size_t i = 0; i < cloud.dcl_dir_light.size(); ++i)
                cloud.dcl_dir_light[i] = scale(viewer.flash_field[i], k);
        }
        mark_splat_light_changed(viewer.splats);
    }
    relight_objects();
    add_object_flash(scene_state.objects, scale(lightning_state.object_flash_total, shown));
}

// The light of the flash on screen that the frame about to be drawn takes in: on the frame clock only a
// frame of the clock moves it on, a redraw shows what was shown.
void update_flash_frame(AppState& a, bool tick) {
    if (!a.flash.active) return;
    if (flash_on_frame_clock(a) && !tick) return;
    show_flash_level(advance_flash_playback(a.flash, flash_frame_end(a)));
}

// Scripted runs draw a frame at every idle step, and so does a flight along the key views; otherwise
// only a lit frame still on screen needs one.
bool idle_work_due(const AppState& a) {
    return a.flash_on_screen || a.flight.on || a.options.frames > 0 ||
           a.next_strike < a.options.strikes.size();
}

// With nothing left for the idle step the window system sleeps until the next event, instead of
// drawing the same frame over and over; the sound timer runs on its own thread regardless.
void update_idle(AppState& a) {
    const bool due = idle_work_due(a);
    if (due == a.idle_running) return;
    glutIdleFunc(due ? idle_step : nullptr);
    a.idle_running = due;
}

// A mouse release that starts a discharge at window pixel (x, y), top-left origin.
void strike_at(int x, int y) {
    AppState& a = app_state;
    a.command_mode = kGenerateMode;
    Vec3 ground;
    if (!pick_ground_point(viewer.camera, x, a.options.win_height - y, scene_state.cloud.grd_origin.z,
                           ground)) {
        // The line of sight runs parallel to the cloud base: there is no point to strike.
        return;
    }
    relight_objects();
    const int record = strike_discharge(lightning_state, scene_state.lightning, a.strike_count, ground,
                                        viewer.camera.eye, scene_state.objects);
    if (record >= 0) {
        ++a.strike_count;
        a.flash_on_screen = true;
        // Kept now: the idle step clears the point sources right after the lit frame, the next display.
        a.last_strike =
            make_strike_export(viewer.camera, scene_state.cloud, lightning_state.sources, a.drawn_count + 1);
        // The sun and the sky go with it only when they light the cloud on screen.
        if (ambient_in_use()) a.last_strike.ambient = make_strike_ambient(viewer.lightning_grid, scene_state);
        a.have_strike = true;
        a.flash.active = false;
        lightning_state.flash_display = 1.0f;
        std::vector<ThunderStroke> strokes{ThunderStroke{}};
        if (scene_state.flash_strokes) {
            // The flash's strokes come from a stream of their own: the channel above was drawn from the
            // scene's generator exactly as without flashes.
            const Flash flash = draw_flash(a.flash_random);
            printf("%s\n", describe_flash(flash).c_str());
            start_flash_playback(
                a.flash, flash,
                flash_on_frame_clock(a) ? a.frame_number / key_frames_per_second(a) : seconds_now());
            strokes.clear();
            for (const FlashStroke& s : flash.strokes) strokes.push_back(ThunderStroke{s.time_s, s.peak});
        }
        if (viewer.thunder.on) {
            const ThunderPlan plan =
                start_strike_thunder(viewer.thunder, lightning_state.discharges[static_cast<size_t>(record)],
                                     scene_state.lightning, viewer.camera.eye, thunder_worker, strokes);
            printf("%s\n", thunder_line(plan).c_str());
            // A movie's sound must not depend on how fast its frames were drawn.
            if (a.frame_clock) wait_for_thunder(thunder_worker);
        }
    }
    relight_cloud();
    // The relight is linear in the strike's light: each frame of the flash scales this field.
    if (a.flash.active)
        viewer.flash_field = ambient_in_use() ? viewer.lightning_light : scene_state.cloud.dcl_dir_light;
}

// Writes the newest strike into dir for a path tracer; false, after the message, when nothing was written.
bool export_last_strike(const std::string& dir) {
    const AppState& a = app_state;
    if (!a.have_strike) {
        printf("no strike to export yet\n");
        fflush(stdout);
        return false;
    }
    const std::string error =
        export_strike(dir, a.last_strike, scene_state.cloud, find_bake_program("/proc/self/exe"));
    if (!error.empty()) {
        fprintf(stderr, "strike not exported to %s: %s\n", dir.c_str(), error.c_str());
        return false;
    }
    // The display curve goes with it: a comparison shows the path tracer's radiance through the same curve.
    printf(
        "strike of frame %d exported to %s: strike.json, render.py, cloud.vdb (%zu point sources%s, "
        "the cloud's display gamma_inv %.6g)\n",
        a.last_strike.frame, dir.c_str(), a.last_strike.positions.size(),
        a.last_strike.ambient.present ? ", the sun and the sky" : "",
        static_cast<double>(scene_state.cloud.gamma_inv));
    fflush(stdout);
    return true;
}

// A scripted run's export comes right after the first strike's lit frame; a run that cannot write it
// has failed.
void export_first_strike() {
    AppState& a = app_state;
    if (a.options.export_strike_dir.empty() || a.strike_exported || !a.have_strike) return;
    if (!export_last_strike(a.options.export_strike_dir)) {
        shut_down(true);
        exit(1);
    }
    a.strike_exported = true;
}

// Writes the picture just drawn (still in the back buffer) as a snapshot, into the movie when it is a
// frame of the frame clock and, after "s", as the next free vintrel-NNNN.png. A scripted run whose
// frames cannot be kept has failed: going on would only repeat the message and end with a status that
// claims success.
void save_frame(bool tick) {
    AppState& a = app_state;
    const bool movie = tick && !a.movie.path.empty();
    if (a.options.snapshot_prefix.empty() && !movie && !a.save_due) return;
    const int w = a.options.win_width, h = a.options.win_height;
    a.frame_rgb.resize(static_cast<size_t>(w) * h * 3);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, a.frame_rgb.data());
    const bool kept =
        a.options.snapshot_prefix.empty() ||
        write_png_bottom_up(snapshot_name(a.options.snapshot_prefix, a.drawn_count), w, h, a.frame_rgb);
    if (!kept || (movie && !add_movie_frame(a.movie, a.frame_rgb))) {
        shut_down(true);
        exit(1);
    }
    if (a.save_due) {
        a.save_due = false;
        const std::string name = free_snapshot_name(a.saved_count);
        if (write_png_bottom_up(name, w, h, a.frame_rgb)) printf("saved %s\n", name.c_str());
        fflush(stdout);
    }
}

// Mixes the sound of the frame just drawn and hands it to the WAV and the movie.
void frame_sound_step() {
    AppState& a = app_state;
    if (!a.frame_clock) return;
    const int32_t n = mix_frame_sound(sound_mixer, a.frame_sound, scene_state.sound_table,
                                      viewer.voices.data(), static_cast<int>(viewer.voices.size()));
    append_wave_values(a.wave_out, sound_mixer.output_block.data(), n);
    if (!a.movie.path.empty() && !add_movie_sound(a.movie, sound_mixer.output_block.data(), n)) {
        shut_down(true);
        exit(1);
    }
}

// Puts the camera where the flight stands; a no-op when not flying.
void place_flight_camera() {
    const AppState& a = app_state;
    if (a.flight.on) place_camera(viewer.camera, sample_key_path(viewer.key_views, a.flight.frame));
}

// The frame clock's step for a flight: on to the path frame of the frame about to be drawn, and the
// camera there before the idle step picks a strike with it.
void advance_flight(AppState& a) {
    if (!a.flight.on) return;
    const bool per_frame = a.frame_clock || a.options.frames > 0;
    a.flight.frame =
        flight_frame(a.flight, per_frame, a.frame_number, seconds_now(), key_frames_per_second(a));
    place_flight_camera();
}

// Adds the frame just drawn to the timing, its GL work finished first; the first frame (textures, the
// first preparation) only starts it.
void note_frame_time(AppState& a, double display_start) {
    glFinish();
    if (a.frame_number == 1) {
        a.timed_prepare_start = viewer.splats.prepare_seconds;
        return;
    }
    ++a.timed_frames;
    a.timed_seconds += seconds_now() - display_start;
}

void print_frame_times(const AppState& a) {
    if (a.timed_frames <= 0) return;
    const double per_frame = a.timed_seconds / a.timed_frames;
    const double prepare = (viewer.splats.prepare_seconds - a.timed_prepare_start) / a.timed_frames;
    printf(
        "timing: %d frames at %d x %d, %.1f ms per frame (%.2f frames per second): splat preparation "
        "%.1f ms, drawing and the rest %.1f ms\n",
        a.timed_frames, a.options.win_width, a.options.win_height, per_frame * 1000.0, 1.0 / per_frame,
        prepare * 1000.0, (per_frame - prepare) * 1000.0);
    fflush(stdout);
}

void draw_info() {
    const AppState& a = app_state;
    const std::string line =
        frame_info_line(frames_per_second(a.frame_times), a.relight_ms, viewer.splats.quad_count);
    glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    glColor3f(1, 1, 0);
    draw_text(line.c_str(), kHelpLeft, a.options.win_height - kInfoTop, GLUT_BITMAP_HELVETICA_12);
    glPopAttrib();
}

// Closing the window ends the process; the sound timer must not outlive the handle.
void on_close() { shut_down(false); }

void draw_axis_cross(Vec3 t) {
    glLineWidth(kAxisLineWidth);
    glBegin(GL_LINES);
    glColor3f(1, 0, 0);
    glVertex3f(t.x - kAxisHalfLength, t.y, t.z);
    glVertex3f(t.x + kAxisHalfLength, t.y, t.z);
    glColor3f(0, 1, 0);
    glVertex3f(t.x, t.y - kAxisHalfLength, t.z);
    glVertex3f(t.x, t.y + kAxisHalfLength, t.z);
    glColor3f(0, 0, 1);
    glVertex3f(t.x, t.y, t.z - kAxisHalfLength);
    glVertex3f(t.x, t.y, t.z + kAxisHalfLength);
    glEnd();
    glLineWidth(1.0f);
}

}  // namespace

void reset_app_state(AppState& app) { app = AppState{}; }

void setup_window() {
    AppState& a = app_state;
    // A depth buffer is requested: the depth test below needs one to mean anything.
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB | GLUT_DEPTH);
    glutInitWindowPosition(0, 0);
    glutInitWindowSize(a.options.win_width, a.options.win_height);
    a.window_id = glutCreateWindow("Vintrel");
    if (!scene_state.objects.empty()) a.object_drawing = 1;
    glutKeyboardFunc(on_key);
    glutMouseFunc(on_mouse);
    glutMotionFunc(on_motion);
    // With a wheel callback the wheel no longer arrives as presses of buttons 3 and 4, which would strike.
    glutMouseWheelFunc(on_wheel);
    glutSpecialFunc(on_special_key);
    glutCloseFunc(on_close);
    glDepthFunc(GL_LESS);
    glEnable(GL_DEPTH_TEST);
    glutDisplayFunc(display);
    load_viewer_tables();
    read_key_views(viewer.key_views, "view.dat", a.options.key_interval);
    if (a.options.play) toggle_flight(a);
    create_textures(viewer.textures, scene_state.cloud, scene_state.textures);
    create_splat_program(viewer.textures, !a.options.quads);
    // -quads asks for the OpenGL 1.1 drawing, which keeps the classic shading; so does a system without
    // float targets. The relight and the splats then work in the classic values as well.
    const SplatDrawer drawer = a.options.splats == "gl"    ? SplatDrawer::gl
                               : a.options.splats == "cpu" ? SplatDrawer::cpu
                                                           : SplatDrawer::automatic;
    create_physical_frame(viewer.physical, !a.options.quads, a.options.win_width, a.options.win_height,
                          drawer);
    if (!viewer.physical.usable) {
        // The classic look whole: its shading and the binning it was always drawn with.
        scene_state.cloud.shading.physical = false;
        viewer.lightning_grid.bin_every_source = false;
    }
    // The sun and the sky light the cloud before any strike.
    if (viewer.ambient.loaded && scene_state.cloud.shading.physical) relight_cloud();
    advance_lightning_random(lightning_state.random, kWarmUpDraws);
}

void display() {
    AppState& a = app_state;
    glutSetWindow(a.window_id);
    // The first picture starts the frame clock; after it only the idle step draws frames.
    const bool tick = a.tick_due || a.first_display;
    a.tick_due = false;
    const double display_start = seconds_now();
    if (a.first_display) {
        if (a.frame_clock) {
            reset_sound_mix(sound_mixer);
        } else if (a.sound_open) {
            reset_sound_mix(sound_mixer);
            start_sound_timer(sound_mixer, scene_state.sound_table, viewer.voices);
        }
        a.first_display = 0;
        a.next_frame_time = std::chrono::steady_clock::now();
    }
    place_flight_camera();
    update_flash_frame(a, tick);
    apply_view(viewer.camera);
    // A physical scene draws into float targets and makes the window's frame in one display transform.
    if (physical_frame_active(viewer.physical, scene_state.cloud)) {
        begin_physical_frame(viewer.physical);
        if (!viewer.physical.usable) {
            // Refused at a new window size: the classic shading from the next relight on.
            scene_state.cloud.shading.physical = false;
            viewer.lightning_grid.bin_every_source = false;
            relight_cloud();
        }
    }
    const bool physical = physical_frame_active(viewer.physical, scene_state.cloud);
    const Vec3 flash = scale(lightning_state.sky_flash_colour, lightning_state.flash_display);
    glClearColor(flash.x, flash.y, flash.z, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (scene_state.sky.sky_level > 0) draw_sky_dome(scene_state.sky);
    draw_channels(lightning_state, scene_state.lightning);
    if (!scene_state.objects.empty() && a.object_drawing == 1) {
        light_objects(scene_state.objects, scene_state.light);
        draw_objects(scene_state.objects);
    }
    draw_glow(viewer.glow, lightning_state, scene_state.lightning, scene_state.fog, viewer.camera.eye);
    if (scene_state.cloud.grd_numx > 0) {
        if (physical) {
            draw_cloud_splats_physical(viewer.splats, viewer.physical, scene_state.cloud, viewer.camera.eye);
        } else {
            draw_cloud_splats(viewer.splats, viewer.textures, scene_state.cloud, viewer.camera.eye);
        }
    }
    if (physical) finish_physical_frame(viewer.physical, scene_state.cloud);
    if (a.mouse_down == 1) draw_axis_cross(viewer.camera.target);
    if (a.help_on == 1) draw_help();
    note_frame(a.frame_times, seconds_now());
    if (a.info_on) draw_info();
    ++a.drawn_count;
    if (tick) ++a.frame_number;
    if (a.options.timing && tick) note_frame_time(a, display_start);
    save_frame(tick);
    if (tick) frame_sound_step();
    glutSwapBuffers();
    if (tick && a.options.frames > 0 && a.frame_number >= a.options.frames) {
        if (a.options.timing) print_frame_times(a);
        export_first_strike();
        if (!a.options.export_strike_dir.empty() && !a.strike_exported) {
            fprintf(stderr, "strike not exported to %s: no strike lit the cloud\n",
                    a.options.export_strike_dir.c_str());
            shut_down(true);
            exit(1);
        }
        exit(shut_down(true) ? 0 : 1);
    }
    update_idle(a);
}

void on_key(unsigned char key, int, int) {
    AppState& a = app_state;
    switch (key) {
        case 'g':
            a.command_mode = kGenerateMode;
            display();
            break;
        case 'h':
            a.help_on = 1 - a.help_on;
            display();
            break;
        case 'r':
            a.command_mode = kRotateMode;
            break;
        case 'p':
            toggle_flight(a);
            update_idle(a);
            break;
        case 's':
            // A redraw changes no clock, so the picture saved is the one on screen, flight or not.
            a.save_due = true;
            display();
            break;
        case 'b': {
            const std::string dir = free_export_folder(a.export_count);
            export_last_strike(dir);
            break;
        }
        case 'i':
            a.info_on = !a.info_on;
            display();
            break;
        case 'q':
            shut_down(false);
            exit(1);
        default:
            break;
    }
}

void on_mouse(int button, int state, int x, int y) {
    AppState& a = app_state;
    a.last_x = x;
    a.last_y = y;
    a.shift_held = glutGetModifiers() == GLUT_ACTIVE_SHIFT ? 1 : 0;
    a.mouse_down = 0;
    if (button >= 0 && button < 3) a.button_down[static_cast<size_t>(button)] = state == GLUT_DOWN ? 1 : 0;
    if (state == GLUT_DOWN) a.mouse_down = 1;
    bool ends_pan = false;
    if (state == GLUT_DOWN &&
        (button == GLUT_MIDDLE_BUTTON || (button == GLUT_RIGHT_BUTTON && a.shift_held == 1))) {
        a.panning = true;
        a.panned = false;
    } else if (state == GLUT_UP && a.panning &&
               (button == GLUT_MIDDLE_BUTTON || button == GLUT_RIGHT_BUTTON)) {
        // A pan that moved the view ends there; a press and release in place is still a click.
        ends_pan = a.panned;
        a.panning = a.panned = false;
    }
    if ((a.shift_held == 1 || a.command_mode == kGenerateMode) && state == GLUT_UP && !ends_pan)
        strike_at(x, y);
    display();
    export_first_strike();
}

void on_motion(int x, int y) {
    AppState& a = app_state;
    if (a.panning) {
        pan_view(viewer.camera, x, y, a.last_x, a.last_y);
        a.panned = a.panned || x != a.last_x || y != a.last_y;
        a.last_x = x;
        a.last_y = y;
    } else if (a.button_down[0] == 1) {
        rotate_view(viewer.camera, x, y, a.last_x, a.last_y, a.command_mode);
        a.last_x = x;
        a.last_y = y;
    }
    display();
}

void on_wheel(int, int direction, int, int) {
    zoom_view(viewer.camera, static_cast<float>(direction));
    display();
}

void on_special_key(int key, int, int) {
    AppState& a = app_state;
    const int sx = std::max(a.options.win_width / kArrowDragFraction, 1);
    const int sy = std::max(a.options.win_height / kArrowDragFraction, 1);
    // The pointer would move this way in a drag that turns the view as the arrow asks.
    int dx = 0, dy = 0;
    switch (key) {
        case GLUT_KEY_LEFT:
            dx = -sx;
            break;
        case GLUT_KEY_RIGHT:
            dx = sx;
            break;
        case GLUT_KEY_UP:
            dy = -sy;
            break;
        case GLUT_KEY_DOWN:
            dy = sy;
            break;
        default:
            return;
    }
    rotate_view(viewer.camera, dx, dy, 0, 0, kRotateMode);
    display();
}

void idle_step() {
    AppState& a = app_state;
    if (!idle_work_due(a)) {
        update_idle(a);
        return;
    }
    if (a.options.fps > 0 && !a.frame_clock) {
        // Scripted runs may be paced so that the sound timer keeps up with the frames; a
        // frame-clocked run needs no pacing, its sound follows the frames whatever their speed.
        a.next_frame_time += std::chrono::microseconds(1000000 / a.options.fps);
        std::this_thread::sleep_until(a.next_frame_time);
    }
    // This step draws the next frame of the frame clock.
    advance_flight(a);
    a.tick_due = true;
    if (a.plain_frames_due == 0 && a.next_strike < a.options.strikes.size()) {
        // A scripted strike replaces this idle step, so its lit frame is followed by a dark one.
        const ScriptedStrike s = a.options.strikes[a.next_strike++];
        a.last_x = s.x;
        a.last_y = s.y;
        printf("strike at frame %d: pixel %d %d\n", a.frame_number + 1, s.x, s.y);
        strike_at(s.x, s.y);
        a.plain_frames_due = a.options.strike_gap > 1 ? a.options.strike_gap : 1;
        display();
        export_first_strike();
        if (a.options.memory_every > 0 && a.next_strike % static_cast<size_t>(a.options.memory_every) == 0) {
            // A synthesis in flight holds its working memory; the count is of what stays.
            wait_for_thunder(thunder_worker);
            const MemoryUse use = current_memory_use();
            printf("memory after strike %zu: heap %lld bytes, resident %lld kB, thunder buffers %lld bytes\n",
                   a.next_strike, static_cast<long long>(use.heap_bytes),
                   static_cast<long long>(use.resident_kb),
                   static_cast<long long>(std::max<int64_t>(thunder_bytes_held(thunder_worker), 0)));
            fflush(stdout);
        }
        return;
    }
    if (a.plain_frames_due > 0) --a.plain_frames_due;
    if (a.flash.active) {
        // The flash goes on: the frame shows the light that falls within its own time.
        display();
        return;
    }
    a.flash_on_screen = false;
    lightning_state.flash_display = 1.0f;
    relight_objects();
    clear_discharges(lightning_state, scene_state.lightning, scene_state.objects);
    relight_cloud();
    display();
}

void draw_text(const char* text, int x, int y, void* font) {
    const AppState& a = app_state;
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(0, a.options.win_width, 0, a.options.win_height);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glPixelZoom(1, 1);
    glRasterPos2i(x, y);
    for (const char* c = text; *c; ++c) glutBitmapCharacter(font, static_cast<unsigned char>(*c));
    glPixelZoom(1, 1);
    glPopMatrix();
}

void draw_help() {
    // Top to bottom; the last line sits one spacing above the bottom edge.
    static const char* const lines[] = {"g :  generate lightning",
                                        "r :  rotate viewpoint",
                                        "Shift + click :  lightning in any mode",
                                        "arrow keys :  turn the view",
                                        "wheel :  zoom",
                                        "middle drag, Shift + right drag :  pan",
                                        "s :  save the frame as vintrel-NNNN.png",
                                        "b :  export the last strike for a path tracer",
                                        "i :  on/off frame info",
                                        "p :  fly along the key views",
                                        "q :  quit",
                                        "h :  on/off help"};
    constexpr int kLines = static_cast<int>(sizeof lines / sizeof lines[0]);
    // Text must not be hidden by the scene's depth or tinted by its textures.
    glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    glColor3f(1, 0, 0);
    for (int i = 0; i < kLines; ++i) {
        char scratch[64];
        snprintf(scratch, sizeof scratch, "%s", lines[i]);
        draw_text(scratch, kHelpLeft, (kLines - i) * kHelpLineSpacing, GLUT_BITMAP_HELVETICA_12);
    }
    glPopAttrib();
}

void toggle_flight(AppState& a) {
    if (a.flight.on) {
        a.flight.on = false;
        return;
    }
    const std::vector<KeyView>& views = viewer.key_views.views;
    if (views.size() < 2) {
        printf("no camera path to fly: %zu key view%s in view.dat, at least 2 needed\n", views.size(),
               views.size() == 1 ? "" : "s");
        fflush(stdout);
        return;
    }
    if (key_path_period(viewer.key_views) <= 0.0) {
        printf("no camera path to fly: the key views' frame numbers do not rise (-key_interval %d)\n",
               a.options.key_interval);
        fflush(stdout);
        return;
    }
    if (!a.flight.started) a.flight.frame = views.front().frame;
    a.flight.started = true;
    a.flight.on = true;
    resume_flight(a.flight, a.frame_number, seconds_now());
    place_flight_camera();
}

bool shut_down(bool drain) {
    AppState& a = app_state;
    if (drain) {
        drain_sound_output(sound_mixer);
    } else {
        release_sound_output(sound_mixer);
    }
    // No tick runs now, so the thunder buffers can go.
    stop_thunder_worker(thunder_worker);
    // Whatever ends the run, the frames drawn so far make a whole WAV and movie.
    bool ok = finish_wave_file(a.wave_out);
    ok = finish_movie(a.movie) && ok;
    if (a.sysout) {
        fclose(a.sysout);
        a.sysout = nullptr;
    }
    return ok;
}
