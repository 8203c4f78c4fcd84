// options.h -- the command line: the viewer's settings and the scripted-run options
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/vec3.h"

// A scripted mouse release at window pixel (x, y), top-left origin.
struct ScriptedStrike {
    int x = 0, y = 0;
};

// Everything the command line sets. Defaults are those of a plain start.
struct Options {
    int win_width = 480, win_height = 480;
    float time_step = 0.033f;  // seconds per sound block and timer period
    int key_interval = 30;     // frames between key views
    bool want_sysout = false;  // "-sysout"
    std::string scene_file;    // "-f": read after "test.dat"; empty when not given
    std::string colour_file;   // "-col"; empty when not given
    // Scripted runs (never change an interactive run):
    int frames = 0;                        // stop after this many displayed frames; 0 = run on
    std::vector<ScriptedStrike> strikes;   // performed by the idle step, in order
    std::string snapshot_prefix;           // write every frame as PREFIX-NNNN.png
    std::string audio_target = "default";  // "default", "null" or a .wav path
    int strike_gap = 0;                    // plain idle frames between scripted strikes
    int fps = 0;                           // pace scripted frames to this rate; 0 = as fast as drawn
    int memory_every = 0;                  // report memory after every N-th scripted strike; 0 = never
    std::string movie_file;                // "-movie": frames and sound encoded into this MP4
    std::string export_strike_dir;         // "-export-strike": the first strike written for a path tracer
    bool play = false;                     // "-play": fly the key views from the first frame
    bool no_help = false;                  // "-nohelp": start with the help overlay hidden
    bool help_overlay = false;             // "-help_overlay": show the overlay in a movie too
    bool quads = false;                    // "-quads": splats as quads even where sprites work
    bool timing = false;                   // "-timing": a scripted run prints its frame times at the end
    std::string splats = "auto";           // "-splats": who draws physical splats: auto, gl or cpu
    bool help = false;
};

// Parses argv[1..argc-1] (what the window system left). Unknown words are skipped;
// a number of an original option (-time_step, -key_interval, -win) that does not scan
// keeps the previous value, while a scripted-run option (-frames, -strike, -strike_gap,
// -fps, -memory_every) whose value is not a whole number in its range is a fatal input
// error. "-genk_tbl" calls
// on_genk_table at once with its file name, and "-sysout" calls on_sysout at once, so
// their messages come in the order of the options. An option whose value is missing
// is a fatal input error (message on standard error, status 1).
void parse_options(int argc, char** argv, Options& options,
                   const std::function<void(const std::string&)>& on_genk_table,
                   const std::function<void()>& on_sysout = {});

// The option summary printed by "-help".
void print_help(FILE* out);

// A colour table entry per line of the colour file, each channel in 0..1.
struct ColourTable {
    std::vector<Vec3> colour_table;  // colour_count = colour_table.size()
};

// Reads the colour file (count, then R G B integers 0..255 per entry). A missing
// file prints "cannot open color file: %s\n" and leaves the table as it was.
void load_colour_table(ColourTable& table, const std::string& name);
