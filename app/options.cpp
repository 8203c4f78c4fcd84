// options.cpp -- command-line parsing and the colour file
#include "app/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/fatal.h"
#include "support/file_limits.h"

namespace {

// Upper bound on colour table entries, so a damaged count cannot allocate gigabytes.
constexpr int kMaxColours = 1 << 20;

// The next value argument of the option that started at argv[start]; a missing
// one ends the program, naming the option rather than its earlier values.
const char* value_of(int argc, char** argv, int& i, int start) {
    if (i + 1 >= argc) fatal_input_error("vintrel: option %s needs a value\n", argv[start]);
    return argv[++i];
}

void scan_int(const char* text, int& out) { sscanf(text, "%d", &out); }
void scan_float(const char* text, float& out) { sscanf(text, "%f", &out); }

// The scripted-run options run unattended, so a value that is not a whole number in its range
// would otherwise be taken silently and, for -frames, give a run that never ends. Unlike the
// original options, which keep their silent scanning, these refuse such a value.
int whole_number(const char* option, const char* text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < lo || v > hi)
        fatal_input_error("vintrel: option %s needs a whole number from %ld to %ld, not '%s'\n", option, lo,
                          hi, text);
    return static_cast<int>(v);
}

// Largest pixel coordinate of a scripted strike and longest gap between strikes.
constexpr long kMaxScriptedPixel = 65535;
constexpr long kMaxScriptedCount = 2147483647;
// Frames per second a scripted run may ask for.
constexpr long kMaxFps = 1000;

}  // namespace

void parse_options(int argc, char** argv, Options& o,
                   const std::function<void(const std::string&)>& on_genk_table,
                   const std::function<void()>& on_sysout) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const int start = i;
        if (!strcmp(a, "-f")) {
            o.scene_file = value_of(argc, argv, i, start);
        } else if (!strcmp(a, "-genk_tbl")) {
            std::string name = value_of(argc, argv, i, start);
            if (on_genk_table) on_genk_table(name);
        } else if (!strcmp(a, "-time_step")) {
            scan_float(value_of(argc, argv, i, start), o.time_step);
        } else if (!strcmp(a, "-key_interval")) {
            scan_int(value_of(argc, argv, i, start), o.key_interval);
        } else if (!strcmp(a, "-win")) {
            scan_int(value_of(argc, argv, i, start), o.win_width);
            scan_int(value_of(argc, argv, i, start), o.win_height);
        } else if (!strcmp(a, "-sysout")) {
            o.want_sysout = true;
            if (on_sysout) on_sysout();
        } else if (!strcmp(a, "-col")) {
            o.colour_file = value_of(argc, argv, i, start);
        } else if (!strcmp(a, "-frames")) {
            o.frames = whole_number(a, value_of(argc, argv, i, start), 1, kMaxScriptedCount);
        } else if (!strcmp(a, "-strike")) {
            ScriptedStrike s;
            s.x = whole_number(a, value_of(argc, argv, i, start), 0, kMaxScriptedPixel);
            s.y = whole_number(a, value_of(argc, argv, i, start), 0, kMaxScriptedPixel);
            o.strikes.push_back(s);
        } else if (!strcmp(a, "-snapshot")) {
            o.snapshot_prefix = value_of(argc, argv, i, start);
        } else if (!strcmp(a, "-audio")) {
            o.audio_target = value_of(argc, argv, i, start);
        } else if (!strcmp(a, "-strike_gap")) {
            o.strike_gap = whole_number(a, value_of(argc, argv, i, start), 0, kMaxScriptedCount);
        } else if (!strcmp(a, "-fps")) {
            o.fps = whole_number(a, value_of(argc, argv, i, start), 1, kMaxFps);
        } else if (!strcmp(a, "-memory_every")) {
            o.memory_every = whole_number(a, value_of(argc, argv, i, start), 1, kMaxScriptedCount);
        } else if (!strcmp(a, "-movie")) {
            o.movie_file = value_of(argc, argv, i, start);
        } else if (!strcmp(a, "-export-strike")) {
            o.export_strike_dir = value_of(argc, argv, i, start);
        } else if (!strcmp(a, "-play")) {
            o.play = true;
        } else if (!strcmp(a, "-nohelp")) {
            o.no_help = true;
        } else if (!strcmp(a, "-help_overlay")) {
            o.help_overlay = true;
        } else if (!strcmp(a, "-quads")) {
            o.quads = true;
        } else if (!strcmp(a, "-timing")) {
            o.timing = true;
        } else if (!strcmp(a, "-splats")) {
            o.splats = value_of(argc, argv, i, start);
            if (o.splats != "auto" && o.splats != "gl" && o.splats != "cpu")
                fatal_input_error("vintrel: option -splats needs auto, gl or cpu, not '%s'\n",
                                  o.splats.c_str());
        } else if (!strcmp(a, "-help")) {
            o.help = true;
        }
    }
}

void print_help(FILE* out) {
    fputs(
        "usage: vintrel [options]   (reads test.dat in the working folder)\n"
        "  -f FILE            scene file read after test.dat\n"
        "  -genk_tbl FILE     attenuation table read at once (genk.tbl is read as well)\n"
        "  -time_step SECONDS sound block length and timer period (default 0.033)\n"
        "  -key_interval N    frames between the key views of view.dat (default 30)\n"
        "  -win W H           window size in pixels (default 480 480)\n"
        "  -sysout            open sysout.dat for writing\n"
        "  -col FILE          colour table file\n"
        "  -audio TARGET      sound output: default (sound card), null, FILE.wav or an ALSA device\n"
        "  -frames N          scripted run: exit with status 0 after the N-th frame\n"
        "  -strike X Y        scripted run: a mouse release at window pixel X Y (repeatable)\n"
        "  -snapshot PREFIX   scripted run: write every frame as PREFIX-NNNN.png\n"
        "  -strike_gap N      scripted run: at least N plain frames between strikes (default 0)\n"
        "  -fps N             scripted run: draw at most N frames per second; the frame rate of\n"
        "                     -movie and of a WAV beside frames (default 30)\n"
        "  -memory_every N    scripted run: print heap and resident memory after every N-th strike\n"
        "  -movie FILE.mp4    scripted run: encode the frames and their sound into an MP4 (needs\n"
        "                     -frames and the ffmpeg program); the help overlay is hidden\n"
        "  -export-strike DIR scripted run: after the first strike write DIR/strike.json, render.py\n"
        "                     and cloud.vdb for a path tracer (cloud.vdb by vintrel-bake)\n"
        "  -play              fly the camera along the key views of view.dat from the first frame\n"
        "  -timing            scripted run: print the mean frame time, splat preparation and drawing apart\n"
        "  -nohelp            start with the help overlay hidden\n"
        "  -help_overlay      show the help overlay in a movie too\n"
        "  -quads             draw the cloud as textured quads (the OpenGL 1.1 way) even where\n"
        "                     point sprites are available\n"
        "  -splats WHO        who draws a physically shaded cloud: gl, cpu (this program, into a\n"
        "                     float image) or auto (default: cpu under a software renderer)\n"
        "  -help              print this list and exit\n"
        "keys: g generate mode, r rotate mode, arrows turn the view, p fly the key views on/off,\n"
        "      s save the frame as vintrel-NNNN.png, b export the last strike for a path tracer\n"
        "      as strike-NNNN/, i frame info on/off, h help on/off, q quit\n"
        "mouse: drag with the left button in rotate mode to turn the view; the wheel zooms;\n"
        "       drag with the middle button (or Shift + right) to pan;\n"
        "       release a button in generate mode (or Shift-click) to strike\n",
        out);
}

void load_colour_table(ColourTable& table, const std::string& name) {
    FILE* f = open_input_file(name.c_str(), "r");
    if (!f) {
        printf("cannot open color file: %s\n", name.c_str());
        return;
    }
    int n = 0;
    if (fscanf(f, "%d", &n) != 1 || n < 0 || n > kMaxColours) {
        printf("bad colour count in %s\n", name.c_str());
        fclose(f);
        return;
    }
    std::vector<Vec3> colours(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        int r = 0, g = 0, b = 0;
        if (fscanf(f, "%d%d%d", &r, &g, &b) != 3) {
            // A short file keeps the entries it has; the rest stay black.
            printf("colour file %s ends after %d of %d entries\n", name.c_str(), i, n);
            break;
        }
        colours[static_cast<size_t>(i)] = Vec3{r / 255.0f, g / 255.0f, b / 255.0f};
    }
    fclose(f);
    table.colour_table = std::move(colours);
}
