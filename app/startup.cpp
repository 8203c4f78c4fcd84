// startup.cpp -- start-up: defaults, command line, scene, view, lightning grid, sound, window
#include "app/startup.h"

#include <GL/freeglut.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "app/options.h"
#include "app/viewer.h"
#include "app/window.h"
#include "lightning/discharge.h"
#include "render/sky.h"
#include "scene/scene.h"
#include "scene/scene_file.h"
#include "sound/audio_service.h"
#include "sound/frame_sound.h"
#include "sound/mixer.h"
#include "support/fatal.h"

Viewer viewer;

namespace {

// Sound output format; nothing changes it.
constexpr int kSampleRate = 16000;
constexpr int kSampleBits = 16;
constexpr int kStereo = 0;

// Reads one scene file and finishes what the reading leaves to the caller: the
// dome colours and, after a lightning section, fresh discharge records.
void read_scene(const std::string& name) {
    const int lightning_before = scene_state.lightning.sections_read;
    read_scene_file(name, scene_state);
    // The sky is coloured at load time, before the view is placed: the eye is at height 0.
    if (scene_state.sky_built) compute_sky_colours(scene_state.sky, scene_state.light, 0.0f);
    if (scene_state.lightning.sections_read != lightning_before) {
        prepare_discharges(lightning_state, scene_state.lightning);
    }
}

// A fatal exit while the movie is being written leaves no encoder and no temporary files.
void abandon_movie_at_exit() { abandon_movie(app_state.movie); }

// Decides whether the sound follows the frame clock and sets up what that needs: the
// mixer sized for frame blocks, the WAV beside the frames, and the movie encoder.
void set_up_frame_clock(AppState& a) {
    const Options& o = a.options;
    const bool movie = !o.movie_file.empty();
    a.frame_clock = movie || (o.frames > 0 && is_wav_target(o.audio_target.c_str()));
    if (!a.frame_clock) return;
    const int fps = o.fps > 0 ? o.fps : kDefaultMovieFps;
    // A movie has a sound track even when the scene is silent: the mixer then makes silence.
    allocate_frame_sound(sound_mixer, a.frame_sound, fps, scene_state.mix_ring_seconds);
    if (!scene_state.sound_table.empty() && is_wav_target(o.audio_target.c_str()) &&
        !open_wave_file_writer(a.wave_out, o.audio_target, kSampleRate)) {
        exit(1);
    }
    a.sound_open = !scene_state.sound_table.empty();
    if (movie) {
        if (!start_movie(a.movie, o.movie_file, o.win_width, o.win_height, fps, o.frames)) exit(1);
        atexit(abandon_movie_at_exit);
    }
}

bool wants_help(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (!strcmp(argv[i], "-help")) return true;
    return false;
}

// A movie without a frame count, a mistyped -audio target or a snapshot folder that cannot
// be made would otherwise show only after the window opened (a silent run, or a line per
// frame); each ends the run here, before the window system starts or the scene is read.
void check_scripted_outputs(const Options& o) {
    if (!o.movie_file.empty() && o.frames <= 0)
        fatal_input_error("vintrel: -movie needs -frames N, the number of frames to encode\n");
    if (!is_known_audio_target(o.audio_target.c_str())) {
        fatal_input_error(
            "vintrel: -audio %s: the sound output must be default, null, a FILE.wav or an ALSA device name\n",
            o.audio_target.c_str());
    }
    if (!o.snapshot_prefix.empty()) {
        const std::filesystem::path folder = std::filesystem::path(o.snapshot_prefix).parent_path();
        std::error_code error;
        if (!folder.empty()) std::filesystem::create_directories(folder, error);
        if (error) {
            fatal_input_error("vintrel: -snapshot %s: cannot create the folder %s (%s)\n",
                              o.snapshot_prefix.c_str(), folder.c_str(), error.message().c_str());
        }
    }
}

// The window system's fatal errors, with our prefix; the commonest, no display at all, gets a line
// saying what to do about it. The window system expects this not to return.
void on_window_system_error(const char* format, va_list args) {
    fputs("vintrel: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    if (strstr(format, "display"))
        fputs(
            "vintrel: the viewer needs a display; without one run it under a virtual X server, e.g. "
            "xvfb-run -a vintrel\n",
            stderr);
    exit(1);
}

}  // namespace

void load_viewer_tables() {
    load_genk_table(viewer.genk, scene_state.cloud, "genk.tbl");
    load_base_intensity(viewer.base_intensity, viewer.illumination_work, scene_state.cloud,
                        viewer.lightning_grid, "basic_intensity_cmp.dat");
    if (scene_state.cloud.shading.physical)
        load_ambient_light(viewer.ambient, scene_state.cloud, kAmbientFileName);
}

int run_viewer(int argc, char** argv) {
    // -help needs no display, so it is answered before the window system starts.
    if (wants_help(argc, argv)) {
        print_help(stdout);
        return 0;
    }
    reset_scene(scene_state);
    reset_lightning(lightning_state);
    reset_app_state(app_state);
    AppState& a = app_state;

    // Our own options are checked before the window system starts, so a bad value is refused
    // with its own line, display or not, and before any file is read or anything opens. The
    // window system's own options, still in argv here, are words this parse skips.
    Options checked;
    parse_options(argc, argv, checked, {}, {});
    check_scripted_outputs(checked);

    glutInitErrorFunc(on_window_system_error);
    glutInit(&argc, argv);
    a.options.win_width = a.options.win_height = 480;
    scene_state.camera.given = 0;

    parse_options(
        argc, argv, a.options,
        [](const std::string& name) { load_genk_table(viewer.genk, scene_state.cloud, name); },
        [] {
            AppState& app = app_state;
            if (app.sysout) return;  // a repeated -sysout keeps the stream it opened
            app.sysout = fopen("sysout.dat", "w");
            if (!app.sysout) printf("Can't open sysout.dat\n");
        });

    read_scene("test.dat");
    if (!a.options.scene_file.empty()) read_scene(a.options.scene_file);
    if (!a.options.colour_file.empty()) load_colour_table(a.colours, a.options.colour_file);
    viewer.thunder = prepare_strike_thunder(scene_state);
    lightning_state.synthesised_thunder = viewer.thunder.on;
    seed_flash_random(a.flash_random, scene_state.lightning.seed);

    printf("no. of sampling direction: %d\n", (kDirRings - 2) * kDirSegments + 2);
    init_view(viewer.camera, scene_state.camera, scene_state.object_box, scene_state.cloud,
              a.options.win_width, a.options.win_height);
    a.glow_quad = {Vec3{-0.5f, -0.5f, 0}, Vec3{0.5f, -0.5f, 0}, Vec3{0.5f, 0.5f, 0}, Vec3{-0.5f, 0.5f, 0}};
    setup_lightning_grid(viewer.lightning_grid, scene_state.lightning, scene_state.cloud);
    viewer.lightning_grid.bin_every_source = scene_state.cloud.shading.physical;

    viewer.voices.clear();
    for (int i = 0; i < lightning_state.discharge_count; ++i)
        viewer.voices.push_back(&lightning_state.discharges[static_cast<size_t>(i)].thunder);
    if (!a.options.movie_file.empty() && !a.options.help_overlay) a.help_on = 0;
    if (a.options.no_help) a.help_on = 0;
    set_up_frame_clock(a);
    if (!a.frame_clock && !scene_state.sound_table.empty()) {
        allocate_sound_buffers(sound_mixer, a.options.time_step, scene_state.mix_ring_seconds);
        open_sound_output(sound_mixer, kSampleRate, kSampleBits, sound_mixer.block_frames, kStereo,
                          a.options.audio_target);
        a.sound_open = true;
    }
    fflush(stdout);
    setup_window();
    glutMainLoop();
    return 0;
}
