// movie.cpp -- MP4 output of a scripted run through the ffmpeg program
#include "app/movie.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

// The sound format of the viewer, which the raw sound file holds.
constexpr int kSoundRate = 16000;
// H.264 quality: visually lossless for this kind of picture at a few MB per minute.
constexpr const char* kVideoQuality = "18";
constexpr const char* kSoundBitRate = "96k";

std::string status_text(int status) {
    char text[64];
    if (WIFEXITED(status)) {
        snprintf(text, sizeof text, "status %d", WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        snprintf(text, sizeof text, "signal %d", WTERMSIG(status));
    } else {
        snprintf(text, sizeof text, "wait status %d", status);
    }
    return text;
}

std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Starts args[0] with its standard input from in_fd and its standard output to out_fd
// (either -1 to inherit); -1 after errno is set.
pid_t spawn(std::vector<std::string> args, int in_fd, int out_fd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in_fd >= 0) posix_spawn_file_actions_adddup2(&actions, in_fd, STDIN_FILENO);
    if (out_fd >= 0) posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    std::vector<char*> argv = argv_of(args);
    pid_t pid = -1;
    const int code = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (code != 0) {
        errno = code;
        return -1;
    }
    return pid;
}

int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

// Runs a program to its end and gives its standard output; the wait status, or -1.
int run_capture(const std::vector<std::string>& args, std::string& out) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = spawn(args, -1, fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    return wait_for(pid);
}

bool write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void remove_temporaries(const MovieWriter& m) {
    std::remove(m.video_path.c_str());
    std::remove(m.sound_path.c_str());
    std::remove(m.part_path.c_str());
}

// Closes the frame pipe and waits for the encoder; its wait status, or 0 when none ran.
int end_encoder(MovieWriter& m) {
    if (m.frame_pipe >= 0) close(m.frame_pipe);
    m.frame_pipe = -1;
    int status = 0;
    if (m.encoder > 0) status = wait_for(m.encoder);
    m.encoder = -1;
    return status;
}

void report_encoder_stop(MovieWriter& m, int status) {
    fprintf(stderr, "vintrel: ffmpeg stopped (%s) while encoding %s; see its messages above\n",
            status_text(status).c_str(), m.path.c_str());
}

}  // namespace

std::string find_program(const std::string& name, const char* path_list) {
    if (name.empty()) return "";
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    const std::string list = path_list ? path_list : "";
    size_t start = 0;
    for (;;) {
        const size_t end = list.find(':', start);
        std::string dir = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos) return "";
        start = end + 1;
    }
}

bool start_movie(MovieWriter& m, const std::string& path, int width, int height, int fps,
                 int frames_expected) {
    m = MovieWriter{};
    m.path = path;
    m.video_path = path + ".video.part";
    m.sound_path = path + ".sound.part";
    m.part_path = path + ".part";
    m.width = width;
    m.height = height;
    m.fps = fps;
    m.frames_expected = frames_expected;
    // yuv420p halves both axes, so a movie needs at least 2 x 2 pixels.
    if (width < 2 || height < 2) {
        fprintf(stderr, "vintrel: a movie needs a window of at least 2 x 2 pixels, not %d x %d\n", width,
                height);
        return false;
    }
    m.ffmpeg = find_program("ffmpeg", getenv("PATH"));
    if (m.ffmpeg.empty()) {
        fprintf(stderr,
                "vintrel: cannot write the movie %s: the ffmpeg program is not on the PATH "
                "(install the ffmpeg package)\n",
                path.c_str());
        return false;
    }
    // Every ffmpeg call gets -nostdin: ffmpeg otherwise reads the terminal for keys, and a run in a
    // background job would be stopped by SIGTTIN.
    std::string encoders;
    const int status =
        run_capture({m.ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error", "-encoders"}, encoders);
    if (status != 0) {
        fprintf(stderr, "vintrel: cannot write the movie %s: %s -encoders failed (%s)\n", path.c_str(),
                m.ffmpeg.c_str(), status < 0 ? strerror(errno) : status_text(status).c_str());
        return false;
    }
    for (const char* needed : {" libx264 ", " aac "}) {
        if (encoders.find(needed) == std::string::npos) {
            fprintf(stderr, "vintrel: cannot write the movie %s: %s has no%sencoder\n", path.c_str(),
                    m.ffmpeg.c_str(), needed);
            return false;
        }
    }
    m.sound = fopen(m.sound_path.c_str(), "wbe");
    if (!m.sound) {
        fprintf(stderr, "vintrel: cannot write the movie %s: %s: %s\n", path.c_str(), m.sound_path.c_str(),
                strerror(errno));
        return false;
    }
    // A stopped encoder must show up as a failed write, not end the process.
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fprintf(stderr, "vintrel: cannot write the movie %s: pipe: %s\n", path.c_str(), strerror(errno));
        abandon_movie(m);
        return false;
    }
    char size[32], rate[16], crop[48];
    snprintf(size, sizeof size, "%dx%d", width, height);
    snprintf(rate, sizeof rate, "%d", fps);
    // GL rows are bottom-up; H.264 in yuv420p wants even sizes, so an odd last column or row goes.
    snprintf(crop, sizeof crop, "vflip,crop=%d:%d:0:0", width & ~1, height & ~1);
    m.encoder =
        spawn({m.ffmpeg,   "-nostdin", "-hide_banner", "-loglevel",   "error", "-y",         "-f",
               "rawvideo", "-pix_fmt", "rgb24",        "-video_size", size,    "-framerate", rate,
               "-i",       "pipe:0",   "-vf",          crop,          "-an",   "-c:v",       "libx264",
               "-pix_fmt", "yuv420p",  "-crf",         kVideoQuality, "-f",    "mp4",        m.video_path},
              fds[0], -1);
    const int spawn_errno = errno;
    close(fds[0]);
    m.frame_pipe = fds[1];
    if (m.encoder < 0) {
        fprintf(stderr, "vintrel: cannot start %s: %s\n", m.ffmpeg.c_str(), strerror(spawn_errno));
        abandon_movie(m);
        return false;
    }
    printf("writing the movie %s: %d x %d at %d frames per second\n", path.c_str(), width & ~1, height & ~1,
           fps);
    fflush(stdout);
    return true;
}

bool add_movie_frame(MovieWriter& m, const std::vector<uint8_t>& rgb) {
    if (m.failed || m.frame_pipe < 0) return false;
    const size_t bytes = static_cast<size_t>(m.width) * static_cast<size_t>(m.height) * 3;
    if (rgb.size() < bytes) {
        fprintf(stderr, "vintrel: movie frame %lld is smaller than the window\n",
                static_cast<long long>(m.frames + 1));
        m.failed = true;
        return false;
    }
    if (!write_all(m.frame_pipe, rgb.data(), bytes)) {
        report_encoder_stop(m, end_encoder(m));
        m.failed = true;
        return false;
    }
    ++m.frames;
    if (m.frames % m.fps == 0) {
        if (m.frames_expected > 0) {
            printf("movie %s: %lld of %d frames\n", m.path.c_str(), static_cast<long long>(m.frames),
                   m.frames_expected);
        } else {
            printf("movie %s: %lld frames\n", m.path.c_str(), static_cast<long long>(m.frames));
        }
        fflush(stdout);
    }
    return true;
}

bool add_movie_sound(MovieWriter& m, const int16_t* values, int32_t count) {
    if (m.failed || !m.sound || count <= 0) return !m.failed;
    // The raw file is little-endian, as ffmpeg's s16le reader expects on any host.
    for (int32_t i = 0; i < count; ++i) {
        const uint16_t v = static_cast<uint16_t>(values[i]);
        const unsigned char le[2] = {static_cast<unsigned char>(v & 0xFF),
                                     static_cast<unsigned char>(v >> 8)};
        if (fwrite(le, 1, 2, m.sound) != 2) {
            fprintf(stderr, "vintrel: cannot write %s: %s\n", m.sound_path.c_str(), strerror(errno));
            m.failed = true;
            return false;
        }
    }
    m.sound_values += count;
    return true;
}

bool finish_movie(MovieWriter& m) {
    if (m.path.empty()) return true;
    const bool had_encoder = m.encoder > 0;
    const int status = end_encoder(m);
    if (!m.failed && had_encoder && status != 0) {
        report_encoder_stop(m, status);
        m.failed = true;
    }
    if (m.sound && fclose(m.sound) != 0 && !m.failed) {
        fprintf(stderr, "vintrel: cannot write %s: %s\n", m.sound_path.c_str(), strerror(errno));
        m.failed = true;
    }
    m.sound = nullptr;
    if (!m.failed && m.frames == 0) {
        fprintf(stderr, "vintrel: the movie %s has no frames\n", m.path.c_str());
        m.failed = true;
    }
    if (!m.failed) {
        // The picture is copied as encoded; only the sound is encoded here.
        std::string joined;
        const int join = run_capture(
            {m.ffmpeg,   "-nostdin",    "-hide_banner", "-loglevel",  "error", "-y",
             "-i",       m.video_path,  "-f",           "s16le",      "-ar",   std::to_string(kSoundRate),
             "-ac",      "1",           "-i",           m.sound_path, "-map",  "0:v:0",
             "-map",     "1:a:0",       "-c:v",         "copy",       "-c:a",  "aac",
             "-b:a",     kSoundBitRate, "-movflags",    "+faststart", "-f",    "mp4",
             m.part_path},
            joined);
        if (join != 0) {
            fprintf(stderr, "vintrel: ffmpeg could not join picture and sound into %s (%s)\n", m.path.c_str(),
                    join < 0 ? strerror(errno) : status_text(join).c_str());
            m.failed = true;
        } else if (std::rename(m.part_path.c_str(), m.path.c_str()) != 0) {
            fprintf(stderr, "vintrel: cannot rename %s to %s: %s\n", m.part_path.c_str(), m.path.c_str(),
                    strerror(errno));
            m.failed = true;
        }
    }
    remove_temporaries(m);
    if (!m.failed) {
        printf("movie written: %s (%lld frames, %.2f s, %d x %d)\n", m.path.c_str(),
               static_cast<long long>(m.frames), static_cast<double>(m.frames) / m.fps, m.width & ~1,
               m.height & ~1);
        fflush(stdout);
    }
    const bool ok = !m.failed;
    m.path.clear();
    return ok;
}

void abandon_movie(MovieWriter& m) {
    if (m.path.empty()) return;
    if (m.frame_pipe >= 0) close(m.frame_pipe);
    m.frame_pipe = -1;
    if (m.encoder > 0) {
        kill(m.encoder, SIGTERM);
        wait_for(m.encoder);
    }
    m.encoder = -1;
    if (m.sound) fclose(m.sound);
    m.sound = nullptr;
    remove_temporaries(m);
    m.path.clear();
}
