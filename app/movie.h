// movie.h -- MP4 output of a scripted run through the ffmpeg program
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Frame rate of a movie when -fps does not give one.
constexpr int kDefaultMovieFps = 30;

// One movie being written. The frames go to an ffmpeg process on a pipe, which encodes
// them into a temporary video file while the run draws; the sound goes to a temporary raw
// file beside it. Finishing joins the two into FILE.part with a second ffmpeg and renames
// that to FILE, so the final name only ever holds a whole movie.
struct MovieWriter {
    std::string path;           // the final name
    std::string video_path;     // path + ".video.part": H.264, no sound
    std::string sound_path;     // path + ".sound.part": 16-bit mono values at 16000 Hz
    std::string part_path;      // path + ".part": the joined movie before its rename
    std::string ffmpeg;         // the program, found on the PATH
    int width = 0, height = 0;  // window size; the movie drops an odd last column or row
    int fps = kDefaultMovieFps;
    int frames_expected = 0;  // for progress lines; 0 = unknown
    pid_t encoder = -1;       // the ffmpeg reading the frames
    int frame_pipe = -1;      // its standard input
    FILE* sound = nullptr;
    int64_t frames = 0;        // frames written
    int64_t sound_values = 0;  // values written
    bool failed = false;       // a message has been printed; the movie will not be finished
};

// Full path of an executable `name` on the PATH `path_list` (colon-separated); empty when none.
std::string find_program(const std::string& name, const char* path_list);

// Checks that ffmpeg exists and can encode H.264 and AAC, opens the temporary files and
// starts the encoder. False after a message on standard error (nothing is left behind).
bool start_movie(MovieWriter& movie, const std::string& path, int width, int height, int fps,
                 int frames_expected);

// Hands one frame (width * height RGB, rows bottom-up as GL reads them) to the encoder and
// prints progress once per second of movie. False after a message when ffmpeg has stopped.
bool add_movie_frame(MovieWriter& movie, const std::vector<uint8_t>& rgb);

// Appends sound values (16-bit, 16000 Hz, mono). False after a message on a write error.
bool add_movie_sound(MovieWriter& movie, const int16_t* values, int32_t count);

// Ends the encoder, joins picture and sound into the final file and removes the temporary
// ones. False after a message when anything failed; the final name is then left untouched.
bool finish_movie(MovieWriter& movie);

// Stops the encoder and removes every temporary file; the final name is left untouched.
void abandon_movie(MovieWriter& movie);
