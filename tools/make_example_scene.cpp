// make_example_scene.cpp -- writes the small example scene: scene file, cloud grid, objects, bitmap, sounds
//
// Usage: make_example_scene DIR
// Everything it writes is derived from fixed formulas and a fixed noise seed, so two
// runs give the same bytes. After writing, it reads the scene back with the viewer's
// own reader (from inside DIR, as the viewer would) and checks what it got.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "scene/scene.h"
#include "scene/scene_file.h"

namespace {

// The cloud grid: 32 x 32 x 16 cells of 2 units. The reader moves the given origin by
// half the cell counts, so the origin below puts the grid's low corner at
// (-32, -32, 40) and the cloud box at (-32, -32, 40) .. (32, 32, 72).
constexpr int kNx = 32, kNy = 32, kNz = 16;

constexpr int kSampleRate = 16000;

struct Sphere {
    float x, y, z, r;  // in cells
};

// Deterministic noise: the same linear congruential step everywhere.
struct Noise {
    uint32_t state;
    // Uniform in [-1, 1).
    float next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
    }
};

void put_u16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    put_u16(out, v & 0xFFFF);
    put_u16(out, v >> 16);
}
void put_float(std::vector<uint8_t>& out, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    put_u32(out, bits);
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "make_example_scene: cannot write %s\n", path.c_str());
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) std::fprintf(stderr, "make_example_scene: writing %s failed\n", path.c_str());
    std::printf("wrote %s (%zu bytes)\n", path.c_str(), bytes.size());
    return ok;
}

bool write_text(const std::string& path, const std::string& text) {
    return write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// A blobby cloud from a few overlapping spheres, each falling off smoothly to its
// rim; bytes 0 .. 255 with a byte scale of 1/255, so densities lie in 0 .. 1.
std::vector<uint8_t> cloud_grid() {
    const Sphere spheres[] = {
        {16.0f, 16.0f, 7.0f, 7.5f},  {10.5f, 14.0f, 6.0f, 5.0f}, {21.5f, 18.0f, 7.0f, 5.5f},
        {16.0f, 21.0f, 10.0f, 5.0f}, {14.0f, 10.5f, 9.0f, 4.5f},
    };
    std::vector<uint8_t> out;
    put_u32(out, kNx);
    put_u32(out, kNy);
    put_u32(out, kNz);
    put_float(out, 1.0f / 255.0f);
    for (int k = 0; k < kNz; ++k)
        for (int j = 0; j < kNy; ++j)
            for (int i = 0; i < kNx; ++i) {
                float d = 0.0f;
                for (const Sphere& s : spheres) {
                    float dx = (i + 0.5f - s.x) / s.r, dy = (j + 0.5f - s.y) / s.r,
                          dz = (k + 0.5f - s.z) / s.r;
                    float q = 1.0f - (dx * dx + dy * dy + dz * dz);
                    if (q > 0.0f) d += q * q;
                }
                if (d > 1.0f) d = 1.0f;
                out.push_back(static_cast<uint8_t>(std::lround(d * 255.0f)));
            }
    return out;
}

// A 16 x 16 24-bit ground texture: grass with a darker grid of paths. Rows of 48
// bytes need no padding; the header is the plain 54-byte one.
std::vector<uint8_t> ground_bitmap() {
    constexpr int kSide = 16;
    const uint32_t pixel_bytes = kSide * kSide * 3;
    std::vector<uint8_t> out = {'B', 'M'};
    put_u32(out, 54 + pixel_bytes);
    put_u32(out, 0);
    put_u32(out, 54);
    put_u32(out, 40);
    put_u32(out, kSide);
    put_u32(out, kSide);
    put_u16(out, 1);
    put_u16(out, 24);
    put_u32(out, 0);
    put_u32(out, pixel_bytes);
    put_u32(out, 2835);
    put_u32(out, 2835);
    put_u32(out, 0);
    put_u32(out, 0);
    Noise noise{7u};
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            const bool path = x % 8 == 0 || y % 8 == 0;
            const float n = 0.5f + 0.5f * noise.next();
            uint8_t r = static_cast<uint8_t>(path ? 90 + 20 * n : 40 + 30 * n);
            uint8_t g = static_cast<uint8_t>(path ? 80 + 20 * n : 90 + 50 * n);
            uint8_t b = static_cast<uint8_t>(path ? 60 + 20 * n : 30 + 20 * n);
            out.push_back(b);  // BMP pixels are stored B, G, R
            out.push_back(g);
            out.push_back(r);
        }
    return out;
}

// A canonical 44-byte header, 16-bit mono PCM.
std::vector<uint8_t> wave_file(const std::vector<float>& samples) {
    const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    std::vector<uint8_t> out = {'R', 'I', 'F', 'F'};
    put_u32(out, 36 + data);
    for (char c : std::string("WAVEfmt ")) out.push_back(static_cast<uint8_t>(c));
    put_u32(out, 16);
    put_u16(out, 1);
    put_u16(out, 1);
    put_u32(out, kSampleRate);
    put_u32(out, kSampleRate * 2);
    put_u16(out, 2);
    put_u16(out, 16);
    for (char c : std::string("data")) out.push_back(static_cast<uint8_t>(c));
    put_u32(out, data);
    for (float s : samples) {
        float c = s > 1.0f ? 1.0f : s < -1.0f ? -1.0f : s;
        put_u16(out, static_cast<uint16_t>(static_cast<int16_t>(std::lround(c * 32767.0f))));
    }
    return out;
}

// About a second of thunder: a sharp crack of white noise, then low-passed rumble
// that dies away.
std::vector<float> thunder() {
    std::vector<float> s(kSampleRate);
    Noise noise{12345u};
    float low = 0.0f;
    for (size_t i = 0; i < s.size(); ++i) {
        const float t = static_cast<float>(i) / kSampleRate;
        const float white = noise.next();
        low += 0.02f * (white - low);
        const float crack = t < 0.05f ? white * (1.0f - t / 0.05f) : 0.0f;
        const float attack = t < 0.02f ? t / 0.02f : 1.0f;
        const float rumble = 6.0f * low * attack * std::exp(-3.5f * t);
        s[i] = 0.6f * crack + 0.8f * rumble;
    }
    return s;
}

// Half a second of rain: quiet, slightly filtered noise. The filter starts from the
// state it ends in, so the loop has no click at its seam.
std::vector<float> rain() {
    std::vector<float> s(kSampleRate / 2);
    Noise noise{999u};
    float low = 0.0f;
    for (int pass = 0; pass < 2; ++pass)
        for (size_t i = 0; i < s.size(); ++i) {
            low += 0.3f * (noise.next() - low);
            s[i] = 0.25f * low;
        }
    return s;
}

// Objects: a textured ground quad and one box building, placed by commands. Faces
// list their corners clockwise as seen from outside, which makes the reader's
// (P2 - P0) x (P1 - P0) normals point outwards.
const char* kObjects =
    "2\n"
    "4 1 0.35 0.45 0.3 textured\n"
    "-40 -40 0\n"
    "-40 40 0\n"
    "40 40 0\n"
    "40 -40 0\n"
    "1 2 3 4\n"
    "4 0\n"
    "0 0\n"
    "0 1\n"
    "1 1\n"
    "1 0\n"
    "1 2 3 4\n"
    "8 6 0.6 0.55 0.5 plain\n"
    "0 0 0\n"
    "1 0 0\n"
    "1 1 0\n"
    "0 1 0\n"
    "0 0 1\n"
    "1 0 1\n"
    "1 1 1\n"
    "0 1 1\n"
    "1 2 3 4\n"
    "5 8 7 6\n"
    "1 5 6 2\n"
    "4 3 7 8\n"
    "1 4 8 5\n"
    "2 6 7 3\n"
    "SCALE 2 2 0 0 0 8 6 12\n"
    "MOVE 2 2 10 5 0 0 0 0\n"
    "ZREV 2 2 14 8 0 30 0 0\n"
    "END\n";

const char* kScene =
    "camera\n"
    "0 -150 50\n"            // position, stored only
    "0 0 30\n"               // target: between the ground and the cloud
    "160 -1.5707963 0.15\n"  // distance, azimuth (from -y), elevation
    "50\n"                   // vertical field of view, degrees
    "cloud\n"
    "cloud.grd 0.05\n"
    "2 -16 -16 48\n"  // cell size, origin before centring
    "0.1 0.9 0.0\n"
    "1.5 3.5 1.0\n"
    "4\n"  // dscl: an 8 x 8 x 4 coarse grid
    "1.0 1.0\n"
    "lightning\n"
    "1 12345\n"
    "4 0.3 20\n"
    "2 5\n"
    "0 0\n"
    "0.07 0.97 0.9\n"
    "4.0 0 0 0\n"
    "1 1 1\n"
    "1 1 1\n"
    "0.5 0.5 0.8\n"
    "0.3 0.3 0.4\n"
    "0 0\n"
    "0.3 0.3 0.4\n"
    "fog\n"
    "0.15 0.8 0.8 0.8\n"
    "0.03 0.03 0.03\n"
    "light\n"
    "0.3 -0.5 0.8\n"
    "1.0 0.95 0.9 0.3\n"
    "sky\n"
    "500 17 9 0 0\n"
    "overcast\n"
    "0.35 0.38 0.45\n"
    "object\n"
    "1\n"
    "town.obj\n"
    "texture\n"
    "1\n"
    "ground.bmp 0 1.0\n"
    "wave\n"
    "4.0\n"
    "2\n"
    "thunder.wav 1.0\n"
    "rain.wav 0.5\n"
    "end\n";

// Reads the scene back from inside dir and checks the numbers the example promises.
bool check_scene(const std::string& dir) {
    if (chdir(dir.c_str()) != 0) {
        std::fprintf(stderr, "make_example_scene: cannot enter %s\n", dir.c_str());
        return false;
    }
    Scene scene;
    read_scene_file("test.dat", scene);
    const CloudGrid& g = scene.cloud;
    bool ok = true;
    auto expect = [&ok](bool good, const char* what) {
        if (!good) std::fprintf(stderr, "make_example_scene: check failed: %s\n", what);
        ok = ok && good;
    };
    expect(g.grd_numx == kNx && g.grd_numy == kNy && g.grd_numz == kNz, "grid size");
    expect(g.cloud_box == Box{-32, -32, 40, 32, 32, 72}, "cloud box");
    expect(!g.blobs.empty(), "cloud has blobs");
    expect(scene.lightning.sections_read == 1, "lightning section read");
    expect(scene.objects.size() == 2 && scene.objects[0].textured == 1, "ground object");
    expect(scene.objects.size() == 2 && scene.objects[0].faces[0].normal.z > 0.99f, "ground faces up");
    expect(scene.objects.size() == 2 && scene.objects[1].box_max.z == 12.0f, "building height");
    bool outward = scene.objects.size() == 2;
    if (outward) {
        const SceneObject& box = scene.objects[1];
        for (const ObjectFace& f : box.faces) {
            const Vec3 p = box.vertices[f.corner[0]].position;
            outward = outward && dot(f.normal, sub(p, box.centre)) > 0.0f;
        }
    }
    expect(outward, "building faces point outwards");
    expect(scene.textures.size() == 1 && scene.textures[0].width == 16, "ground texture");
    expect(scene.sound_table.size() == 2 && scene.sound_table[0].value_count == kSampleRate &&
               scene.sound_table[1].value_count == kSampleRate / 2,
           "sounds");
    expect(scene.sky_built && scene.sky.sky_vertices.size() == 8 * 17 + 1, "sky dome");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_example_scene DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = write_text(dir + "/test.dat", kScene);
    ok = write_file(dir + "/cloud.grd", cloud_grid()) && ok;
    ok = write_text(dir + "/town.obj", kObjects) && ok;
    ok = write_file(dir + "/ground.bmp", ground_bitmap()) && ok;
    ok = write_file(dir + "/thunder.wav", wave_file(thunder())) && ok;
    ok = write_file(dir + "/rain.wav", wave_file(rain())) && ok;
    if (!ok) return 1;
    if (!check_scene(dir)) return 1;
    std::printf("example scene in %s checked\n", dir.c_str());
    return 0;
}
