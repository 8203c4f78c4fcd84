// sections.cpp -- camera, light, fog, sky, lightning, shading, wave and bmp sections of the scene file
#include "scene/sections.h"

#include <cmath>
#include <string>

#include "scene/read_util.h"
#include "sound/wave.h"

namespace {

int scan3(FILE* in, Vec3& v) { return std::fscanf(in, "%f%f%f", &v.x, &v.y, &v.z); }

}  // namespace

void apply_gamma(float k, float g, float& gamma_inv, float& light_scale) {
    if (g == 0.0f) g = 1.0f;
    if (!(g > 0.0f)) return;
    gamma_inv = 1.0f / g;
    // Both roundings to single precision are part of the mapping: tables baked
    // elsewhere reproduce exactly these values.
    float p = static_cast<float>(std::pow(255.0, static_cast<double>(gamma_inv)));
    float ratio = 255.0f / p;
    light_scale = k * ratio;
}

void read_camera_section(FILE* in, Scene& scene) {
    CameraSettings& c = scene.camera;
    c.given = 1;
    scan3(in, c.position_in);
    scan3(in, c.target_in);
    scan3(in, c.orbit_in);
    std::fscanf(in, "%f", &c.fovy);
}

void read_light_section(FILE* in, Scene& scene) {
    LightSettings& l = scene.light;
    Vec3 dir = l.sun_dir;
    scan3(in, dir);
    float len = std::sqrt(dir.x * dir.x + dir.y * dir.y + dir.z * dir.z);
    if (len > 0.0f && std::isfinite(len)) {
        l.sun_dir = Vec3{dir.x / len, dir.y / len, dir.z / len};
    } else {
        std::printf("*** light direction (%f, %f, %f) has no length; keeping (%f, %f, %f)\n", dir.x, dir.y,
                    dir.z, l.sun_dir.x, l.sun_dir.y, l.sun_dir.z);
    }
    std::fscanf(in, "%f%f%f%f", &l.sun_colour.x, &l.sun_colour.y, &l.sun_colour.z, &l.ambient);
}

void read_shading_section(FILE* in, Scene& scene) {
    ShadingSettings& s = scene.cloud.shading;
    std::string mode;
    if (!scan_word(in, mode)) return;
    s.physical = mode == "physical";
    float exposure = 0.0f;
    if (std::fscanf(in, "%f", &exposure) != 1) return;
    if (exposure > 0.0f && std::isfinite(exposure)) {
        s.exposure = exposure;
    } else {
        std::printf("*** shading exposure %g must be a positive number; keeping %g\n", exposure, s.exposure);
    }
}

void read_fog_section(FILE* in, Scene& scene) {
    FogSettings& f = scene.fog;
    std::fscanf(in, "%f%f%f%f", &f.fog_density, &f.fog_colour.x, &f.fog_colour.y, &f.fog_colour.z);
    scan3(in, f.fog_extinction);
}

void read_sky_section(FILE* in, Scene& scene) {
    SkySettings& s = scene.sky;
    int32_t segments = s.sky_segments, rings = s.sky_rings;
    std::fscanf(in, "%f%d%d%f%f", &s.sky_level, &segments, &rings, &s.sky_param_a, &s.sky_param_b);

    std::string type;
    if (scan_word(in, type)) {
        if (type == "clear" || type == "overcast" || type == "const") {
            s.sky_type = type == "clear" ? kSkyClear : type == "overcast" ? kSkyOvercast : kSkyConst;
            scan3(in, s.sky_colour);
        } else if (type == "integ") {
            s.sky_type = kSkyInteg;
            std::fscanf(in, "%d%d%f%f", &s.integ_reserved, &s.integ_steps, &s.atmosphere_height, &s.integ_p1);
            std::fscanf(in, "%f%f%f%f%f", &s.rayleigh_scale_height, &s.integ_p2, &s.integ_p3, &s.integ_p4,
                        &s.aerosol_scale_height);
            float k = 0.0f, g = 0.0f;
            // Without both values there is nothing to map; the old mapping stays.
            if (std::fscanf(in, "%f%f", &k, &g) == 2) apply_gamma(k, g, s.sky_gamma_inv, s.sky_light_scale);
        }
    }

    // The dome needs a closed ring (two segments) and a ring below the apex.
    if (segments < 2 || rings < 2) {
        std::printf("*** sky dome needs at least 2 segments and 2 rings (got %d and %d); no dome built\n",
                    segments, rings);
        return;
    }
    int64_t vertex_count = int64_t{rings - 1} * segments + 1;
    if (vertex_count > kMaxSkyVertices) {
        std::printf(
            "*** sky dome of %d segments and %d rings is too large (at most %lld vertices); no dome built\n",
            segments, rings, static_cast<long long>(kMaxSkyVertices));
        return;
    }
    s.sky_segments = segments;
    s.sky_rings = rings;
    s.sky_vertices.assign(static_cast<size_t>(vertex_count), SkyVertex{});
    s.sky_quads.assign(static_cast<size_t>(int64_t{rings - 1} * (segments - 1)), SkyQuad{});
}

void build_sky_dome(SkySettings& sky) {
    const int32_t S = sky.sky_segments, R = sky.sky_rings;
    if (S < 2 || R < 2) return;
    const size_t vertex_count = static_cast<size_t>(R - 1) * S + 1;
    const size_t quad_count = static_cast<size_t>(R - 1) * (S - 1);
    if (sky.sky_vertices.size() != vertex_count) sky.sky_vertices.assign(vertex_count, SkyVertex{});
    if (sky.sky_quads.size() != quad_count) sky.sky_quads.assign(quad_count, SkyQuad{});

    // Elevation and azimuth are accumulated step by step in single precision, so the
    // rings sit exactly where the sky model expects them.
    const float de = kHalfPi / static_cast<float>(R - 1);
    const float da = kTwoPi / static_cast<float>(S - 1);
    float e = 0.0f;
    for (int32_t i = 0; i <= R - 2; ++i) {
        float a = 0.0f;
        for (int32_t j = 0; j < S; ++j) {
            Vec3& p = sky.sky_vertices[static_cast<size_t>(i) * S + j].position;
            p.x = std::cos(e) * std::cos(a);
            // The first and last vertex of a ring coincide so the ring closes exactly.
            p.y = (j == 0 || j == S - 1) ? 0.0f : std::cos(e) * std::sin(a);
            p.z = std::sin(e);
            a += da;
        }
        e += de;
    }
    const int32_t apex = static_cast<int32_t>(vertex_count - 1);
    sky.sky_vertices[apex].position = Vec3{0.0f, 0.0f, 1.0f};

    for (int32_t i = 0; i <= R - 2; ++i) {
        for (int32_t j = 0; j <= S - 2; ++j) {
            SkyQuad& q = sky.sky_quads[static_cast<size_t>(i) * (S - 1) + j];
            q.corner[0] = i * S + j;
            q.corner[1] = i * S + j + 1;
            if (i == R - 2) {
                q.corner[2] = apex;
                q.corner[3] = apex;
            } else {
                q.corner[2] = (i + 1) * S + j + 1;
                q.corner[3] = (i + 1) * S + j;
            }
        }
    }
}

void read_lightning_section(FILE* in, Scene& scene) {
    const CloudGrid& cloud = scene.cloud;
    if (cloud.grd_numx == 0 && cloud.grd_numy == 0 && cloud.grd_numz == 0) {
        std::printf("*** call lightning after cloud command !\n");
        return;
    }
    // Read into a copy so a refused section leaves the previous settings whole.
    LightningSettings s = scene.lightning;
    std::fscanf(in, "%d%d", &s.discharge_count, &s.seed);
    std::fscanf(in, "%d%f%f", &s.max_branch_depth, &s.turn_angle_spread, &s.turn_angle_mean);
    std::fscanf(in, "%f%f", &s.segment_length_min, &s.segment_length_max);
    std::fscanf(in, "%f%f", &s.ground_height, &s.unused_line4);
    std::fscanf(in, "%f%f%f", &s.branch_probability, &s.continue_probability, &s.continue_decay);
    std::fscanf(in, "%f%f%f%f", &s.glow_size, &s.unused_line6[0], &s.unused_line6[1], &s.unused_line6[2]);
    scan3(in, s.channel_colour);
    scan3(in, s.emission_colour);
    scan3(in, s.glow_colour);
    scan3(in, s.object_flash);
    std::fscanf(in, "%d%f", &s.unused_line11_int, &s.unused_line11_float);
    scan3(in, s.sky_flash);

    if (s.discharge_count < 0 || s.discharge_count > kMaxDischarges) {
        std::printf("*** discharge count %d is outside 0 .. %d; lightning section ignored\n",
                    s.discharge_count, kMaxDischarges);
        return;
    }

    s.ground_height = 0.0f;
    s.max_branch_points = 1000;
    s.max_branches = 10;
    s.turn_angle_mean = s.turn_angle_mean / 180.0f * kPi;

    const Box& b = cloud.cloud_box;
    s.discharge_box_low = Vec3{b[0], b[1], s.ground_height};
    s.discharge_box_high = Vec3{b[3], b[4], b[5]};
    std::printf("(%f, %f, %f) - (%f, %f, %f)\n", s.discharge_box_low.x, s.discharge_box_low.y,
                s.discharge_box_low.z, s.discharge_box_high.x, s.discharge_box_high.y,
                s.discharge_box_high.z);
    s.sections_read = scene.lightning.sections_read + 1;
    scene.lightning = s;
}

void read_wave_section(FILE* in, Scene& scene) {
    std::fscanf(in, "%f", &scene.mix_ring_seconds);
    int32_t count = static_cast<int32_t>(scene.sound_table.size());
    std::fscanf(in, "%d", &count);
    if (count < 0 || count > kMaxSounds) {
        std::printf("*** sound count %d is outside 0 .. %d; sound table kept as it was\n", count, kMaxSounds);
        return;
    }
    scene.sound_table.assign(static_cast<size_t>(count), Sound{});
    std::string name;
    for (int32_t i = 0; i < count; ++i) {
        Sound& sound = scene.sound_table[static_cast<size_t>(i)];
        if (!scan_word(in, name)) {
            std::printf("*** scene file ends after %d of %d sounds; the rest stay silent\n", i, count);
            return;
        }
        std::fscanf(in, "%f", &sound.gain);
        if (scene.load_sounds) load_sound(name.c_str(), sound, scene.wave_reader);
    }
}

void read_bmp_section(FILE* in, Scene& scene) { scan_word(in, scene.bmp_word); }

void read_flash_section(FILE* in, Scene& scene) {
    std::string mode;
    if (!scan_word(in, mode)) return;
    if (mode == "strokes" || mode == "single") {
        scene.flash_strokes = mode == "strokes";
    } else {
        std::printf("*** flash mode %s is neither strokes nor single; keeping %s\n", mode.c_str(),
                    scene.flash_strokes ? "strokes" : "single");
    }
}

void read_thunder_section(FILE* in, Scene& scene) {
    float metres = scene.thunder_metres_per_unit;
    std::fscanf(in, "%f", &metres);
    // 0 or less asks for the sampled thunder; an absurd scale would put every arrival hours away.
    if (metres > kMaxThunderMetresPerUnit || metres != metres) {
        std::printf("*** thunder: %g metres per unit is beyond %g; strikes keep the sampled thunder\n",
                    static_cast<double>(metres), static_cast<double>(kMaxThunderMetresPerUnit));
        metres = 0.0f;
    }
    scene.thunder_metres_per_unit = metres > 0.0f ? metres : 0.0f;
}
