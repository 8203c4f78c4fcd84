// town.cpp -- the ground, the buildings and the ground texture of the demo scene
#include "tools/bake/demo/town.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "tools/bake/byte_writer.h"
#include "tools/bake/demo/noise.h"

namespace {

using Corner = std::array<float, 3>;

// Face normal as the viewer computes it: (P2 - P0) x (P1 - P0).
Corner viewer_normal(const Corner& p0, const Corner& p1, const Corner& p2) {
    const Corner a{p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
    const Corner b{p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

}  // namespace

std::vector<uint8_t> bmp_file_bytes(int32_t width, int32_t height, const std::vector<uint8_t>& rgb) {
    const int32_t row = (width * 3 + 3) / 4 * 4;
    const int32_t image = row * height;
    ByteWriter w;
    w.raw("BM", 2);
    w.i32(54 + image);
    w.u16(0);
    w.u16(0);
    w.i32(54);
    w.i32(40);
    w.i32(width);
    w.i32(height);
    w.u16(1);
    w.u16(24);
    w.i32(0);
    w.i32(image);
    w.i32(2835);  // 72 dots per inch
    w.i32(2835);
    w.i32(0);
    w.i32(0);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            w.u8(p[2]);
            w.u8(p[1]);
            w.u8(p[0]);
        }
        for (int32_t pad = width * 3; pad < row; ++pad) w.u8(0);
    }
    return std::move(w.bytes);
}

std::vector<uint8_t> ground_texture_rgb(uint32_t seed) {
    const int32_t n = kGroundTextureSize;
    std::vector<uint8_t> rgb(static_cast<size_t>(n) * n * 3);
    for (int32_t y = 0; y < n; ++y) {
        for (int32_t x = 0; x < n; ++x) {
            const double grain = fractal_noise(x * 0.35, y * 0.35, 0.5, seed + 17u, 3);
            const bool street = (x % 16) < 3 || (y % 16) < 3;
            const bool lamp = street && (x % 16) == 1 && (y % 8) == 1;
            double r, g, b;
            if (lamp) {
                r = 230;
                g = 190;
                b = 120;
            } else if (street) {
                r = g = 52 + 20 * grain;
                b = 58 + 20 * grain;
            } else {
                r = 40 + 30 * grain;
                g = 52 + 34 * grain;
                b = 36 + 20 * grain;
            }
            uint8_t* p = &rgb[(static_cast<size_t>(y) * n + x) * 3];
            p[0] = static_cast<uint8_t>(r);
            p[1] = static_cast<uint8_t>(g);
            p[2] = static_cast<uint8_t>(b);
        }
    }
    return rgb;
}

std::string ground_object_text(float half_size, float repeat) {
    std::string s = "1\n";
    s += format_text("4 1 %.3f %.3f %.3f textured\n", 0.16, 0.17, 0.15);
    const float h = half_size;
    s += format_text("%.3f %.3f 0\n%.3f %.3f 0\n%.3f %.3f 0\n%.3f %.3f 0\n", -h, -h, -h, h, h, h, h, -h);
    s += "1 2 3 4\n";
    s += "4 0\n";
    s += format_text("0 0\n0 %.3f\n%.3f %.3f\n%.3f 0\n", repeat, repeat, repeat, repeat);
    s += "1 2 3 4\n";
    s += "END\n";
    return s;
}

std::string buildings_object_text(uint32_t seed, int count, float spread, float min_height, float max_height,
                                  float cx, float cy, float turn_degrees) {
    BakeRandom rng(0x746F776E00000000ull ^ seed);
    struct Lot {
        float x, y, w, d, h;
    };
    std::vector<Lot> lots;
    for (int attempt = 0; attempt < 400 && static_cast<int>(lots.size()) < count; ++attempt) {
        Lot l;
        l.w = static_cast<float>(3.0 + 5.0 * rng.uniform());
        l.d = static_cast<float>(3.0 + 5.0 * rng.uniform());
        l.h = static_cast<float>(min_height + (max_height - min_height) * rng.uniform() * rng.uniform());
        l.x = static_cast<float>(spread * rng.signed_uniform());
        l.y = static_cast<float>(spread * rng.signed_uniform());
        bool clear = true;
        for (const Lot& o : lots) {
            // Keep a street's width between neighbours.
            if (std::fabs(l.x - o.x) < 0.5f * (l.w + o.w) + 2.0f &&
                std::fabs(l.y - o.y) < 0.5f * (l.d + o.d) + 2.0f)
                clear = false;
        }
        if (clear) lots.push_back(l);
    }

    // The unit cube, x and y in [-0.5, 0.5], z in [0, 1]; faces wound so that the
    // viewer's normals point outwards.
    const std::array<Corner, 8> cube{{{-0.5f, -0.5f, 0},
                                      {0.5f, -0.5f, 0},
                                      {0.5f, 0.5f, 0},
                                      {-0.5f, 0.5f, 0},
                                      {-0.5f, -0.5f, 1},
                                      {0.5f, -0.5f, 1},
                                      {0.5f, 0.5f, 1},
                                      {-0.5f, 0.5f, 1}}};
    std::array<std::array<int, 4>, 6> faces{
        {{0, 1, 2, 3}, {4, 5, 6, 7}, {0, 1, 5, 4}, {1, 2, 6, 5}, {2, 3, 7, 6}, {3, 0, 4, 7}}};
    for (auto& f : faces) {
        Corner centre{0, 0, 0};
        for (int v : f)
            for (int k = 0; k < 3; ++k) centre[k] += 0.25f * cube[v][k];
        const Corner n = viewer_normal(cube[f[0]], cube[f[1]], cube[f[2]]);
        const float outward = n[0] * centre[0] + n[1] * centre[1] + n[2] * (centre[2] - 0.5f);
        if (outward < 0) std::reverse(f.begin(), f.end());
    }

    std::string s = format_text("%d\n", static_cast<int>(lots.size()));
    for (size_t i = 0; i < lots.size(); ++i) {
        // Dark facades, a little warmer or bluer from house to house.
        const double shade = 0.25 + 0.2 * rng.uniform();
        s += format_text("8 6 %.3f %.3f %.3f plain\n", shade * 1.05, shade,
                         shade * (0.9 + 0.25 * rng.uniform()));
        for (const Corner& c : cube) s += format_text("%g %g %g\n", c[0], c[1], c[2]);
        for (const auto& f : faces) s += format_text("%d %d %d %d\n", f[0] + 1, f[1] + 1, f[2] + 1, f[3] + 1);
    }
    for (size_t i = 0; i < lots.size(); ++i) {
        const Lot& l = lots[i];
        const int n = static_cast<int>(i) + 1;
        s += format_text("SCALE %d %d 0 0 0 %.3f %.3f %.3f\n", n, n, l.w, l.d, l.h);
        s += format_text("MOVE %d %d %.3f %.3f 0 0 0 0\n", n, n, l.x, l.y);
    }
    const int last = static_cast<int>(lots.size());
    s += format_text("ZREV 1 %d 0 0 0 %.3f 0 0\n", last, turn_degrees);
    s += format_text("MOVE 1 %d %.3f %.3f 0 0 0 0\n", last, cx, cy);
    s += "END\n";
    return s;
}
