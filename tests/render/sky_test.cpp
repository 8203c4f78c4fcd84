// sky_test.cpp -- the four sky models and the single-scattering integration
#include "render/sky.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// A dome of the given unit directions, coloured (9, 9, 9) beforehand.
SkySettings dome(const std::vector<Vec3>& dirs, int type, Vec3 colour = Vec3{0.5f, 0.6f, 0.9f}) {
    SkySettings s;
    s.sky_type = type;
    s.sky_colour = colour;
    for (Vec3 d : dirs) s.sky_vertices.push_back(SkyVertex{d, Vec3{9, 9, 9}});
    return s;
}

LightSettings sun(Vec3 dir, Vec3 colour = Vec3{1, 1, 1}) {
    LightSettings l;
    l.sun_dir = normalise(dir);
    l.sun_colour = colour;
    return l;
}

void expect_rel(double got, double want, double rel) {
    EXPECT_NEAR(got, want, std::fabs(want) * rel) << "want " << want;
}

// Integ settings with extinction and both scatterers on.
SkySettings integ_settings(int steps) {
    SkySettings s = dome({}, kSkyInteg);
    s.integ_steps = steps;
    s.integ_p1 = 1.0f;
    s.integ_p2 = 0.5f;
    s.integ_p3 = 0.8f;
    s.integ_p4 = 2.0f;
    return s;
}

struct D3 {
    double x, y, z;
};

const double kLam[3] = {0.675, 0.52, 0.46};

// The single-scattering model in double precision, written from the model's definition.
struct RefSky {
    double top = 30000, hr = 7994, hm = 12000, p1 = 0, p2 = 0, p3 = 0, p4 = 0;  // p4 already scaled
    D3 sun{0, 0, 1};
    D3 sun_colour{1, 1, 1};
    int n = 10;
    double eye_z = 0;
    static constexpr double kR = 6378140.0;

    double height(D3 p) const { return std::sqrt(p.x * p.x + p.y * p.y + (p.z + kR) * (p.z + kR)) - kR; }

    void depth(D3 p, double len, double& tr, double& tm) const {
        const double dl = len * 0.1;
        double h = height(p);
        tr = 0.5 * std::exp(-h / hr);
        tm = 0.5 * std::exp(-h / hm);
        for (int i = 1; i < 10; ++i) {
            p = D3{p.x + sun.x * dl, p.y + sun.y * dl, p.z + sun.z * dl};
            h = height(p);
            if (h > 0) {
                tr += std::exp(-h / hr);
                tm += std::exp(-h / hm);
            }
        }
        tr *= dl;
        tm *= dl;
    }

    std::vector<double> radiance(D3 d) const {
        std::vector<double> out(3, 0.0);
        const double rt2 = (kR + top) * (kR + top), re2 = (kR + eye_z) * (kR + eye_z);
        const double ds = (std::sqrt(std::max(rt2 - (1 - d.z * d.z) * re2, 0.0)) - d.z * kR) / n;
        const double ct = d.x * sun.x + d.y * sun.y + d.z * sun.z;
        const double pr = 1 + ct * ct, pm = 1 + p3 * std::pow(ct, 12);
        const double sc[3] = {sun_colour.x, sun_colour.y, sun_colour.z};
        double ar = 0, am = 0, s = sun.z * eye_z;
        for (int i = 0; i <= n; ++i) {
            const D3 p{d.x * ds * i, d.y * ds * i, eye_z + d.z * ds * i};
            s += ds * ct;
            const double r2 = p.x * p.x + p.y * p.y + (p.z + kR) * (p.z + kR);
            const double h = std::sqrt(r2) - kR;
            const double ls = std::sqrt(std::max(s * s + rt2 - r2, 0.0)) - s;
            double dr = std::exp(-h / hr) * ds;
            const double dm = std::exp(-h / hm) * ds;
            if (i == 0 || i == n) dr *= 0.55;
            ar += dr;
            am += dm;
            double tr, tm;
            depth(p, ls, tr, tm);
            for (int c = 0; c < 3; ++c) {
                const double l4 = std::pow(kLam[c], 4);
                const double kr = p1 * 1e-5 / l4, km = p4 * 0.52 / kLam[c];
                const double wr = sc[c] * 0.001 / l4, wm = sc[c] * p2 * 0.52 / kLam[c];
                out[c] += std::exp(-kr * (tr + ar) - km * (tm + am)) * (wr * pr * dr + wm * pm * dm);
            }
        }
        return out;
    }
};

}  // namespace

TEST(Sky, ConstAndOvercast) {
    const std::vector<Vec3> dirs{{0, 0, 1}, {1, 0, 0}, {0.6f, 0, 0.8f}};
    SkySettings s = dome(dirs, kSkyConst);
    compute_sky_colours(s, LightSettings{}, 0.0f);
    for (const SkyVertex& v : s.sky_vertices) EXPECT_EQ(v.colour.y, 0.6f);

    s = dome(dirs, kSkyOvercast, Vec3{0.9f, 0.6f, 0.3f});
    compute_sky_colours(s, LightSettings{}, 0.0f);
    // The apex gets the full colour, the horizon a third of it.
    EXPECT_FLOAT_EQ(s.sky_vertices[0].colour.x, 0.9f);
    EXPECT_FLOAT_EQ(s.sky_vertices[0].colour.z, 0.3f);
    EXPECT_FLOAT_EQ(s.sky_vertices[1].colour.x, 0.3f);
    EXPECT_FLOAT_EQ(s.sky_vertices[1].colour.y, 0.2f);
    EXPECT_FLOAT_EQ(s.sky_vertices[2].colour.y, 0.6f * 2.6f / 3.0f);
}

TEST(Sky, UnknownTypeIsBlack) {
    for (int type : {0, 5, -3}) {
        SkySettings s = dome({{0, 0, 1}, {1, 0, 0}}, type);
        compute_sky_colours(s, LightSettings{}, 0.0f);
        for (const SkyVertex& v : s.sky_vertices) {
            EXPECT_EQ(v.colour.x, 0.0f) << "type " << type;
            EXPECT_EQ(v.colour.z, 0.0f) << "type " << type;
        }
    }
}

TEST(Sky, ClearSunAtZenith) {
    SkySettings s =
        dome({{0, 0, 1}, {1, 0, 0}, {0, 0.6f, 0.8f}, {0, 0.8f, -0.6f}}, kSkyClear, Vec3{1, 0.5f, 2});
    compute_sky_colours(s, sun(Vec3{0, 0, 1}), 0.0f);
    // Z = 0: D = 10 + 0.91 + 0.45 and K = 3.649635 / 11.36.
    const double k = 3.649635 / 11.36;
    // Apex: the indicatrix equals D, leaving the gradation 1 - e^-0.32 times 3.649635.
    expect_rel(s.sky_vertices[0].colour.x, (1 - std::exp(-0.32)) * 3.649635, 2e-6);
    expect_rel(s.sky_vertices[0].colour.z, 2 * (1 - std::exp(-0.32)) * 3.649635, 2e-6);
    // Horizon: 90 degrees from the sun, gradation taken at z = 0.01.
    const double f_h = 10 * std::exp(-3 * 1.5707963267948966) + 0.91;
    expect_rel(s.sky_vertices[1].colour.x, (1 - std::exp(-32.0)) * f_h * k, 2e-6);
    expect_rel(s.sky_vertices[1].colour.y, 0.5 * f_h * k, 2e-6);
    // 0.8 elevation sine: gamma = acos 0.8.
    const double f_m = 10 * std::exp(-3 * std::acos(0.8)) + 0.91 + 0.45 * 0.64;
    expect_rel(s.sky_vertices[2].colour.x, (1 - std::exp(-0.4)) * f_m * k, 2e-6);
    // Below the horizon the gradation is held at its horizon value, not turned negative.
    const double f_b = 10 * std::exp(-3 * std::acos(-0.6)) + 0.91 + 0.45 * 0.36;
    expect_rel(s.sky_vertices[3].colour.x, f_b * k, 2e-6);
}

TEST(Sky, ClearSunOnHorizon) {
    // A vertex a hair longer than unit length along the sun stays finite (mu clamped).
    SkySettings s = dome({{1.0000001f, 0, 0}, {0, 0, 1}}, kSkyClear, Vec3{1, 1, 1});
    compute_sky_colours(s, sun(Vec3{1, 0, 0}), 0.0f);
    const double zen = 1.5707963 - std::asin(0.0);
    const double d = 10 * std::exp(-3 * zen) + 0.91 + 0.45 * std::cos(zen) * std::cos(zen);
    const double k = 3.649635 / d;
    // Looking into the sun on the horizon: the circumsolar peak.
    expect_rel(s.sky_vertices[0].colour.x, 11.36 * k, 5e-6);
    // The zenith is 90 degrees from the sun.
    const double f = 10 * std::exp(-3 * 1.5707963267948966) + 0.91;
    expect_rel(s.sky_vertices[1].colour.x, (1 - std::exp(-0.32)) * f * k, 5e-6);
}

TEST(Sky, IntegDefaultsAndInPlaceScaling) {
    SkySettings s = integ_settings(10);
    s.integ_p4 = 0.5f;
    s.sky_vertices.push_back(SkyVertex{Vec3{0, 0, 1}, Vec3{}});
    SkyConstants k;
    prepare_sky_constants(s, sun(Vec3{0, 0, 1}, Vec3{1, 2, 4}), 0.0f, k);
    // Zero heights take their defaults and keep them in the settings.
    EXPECT_EQ(s.atmosphere_height, 30000.0f);
    EXPECT_EQ(s.rayleigh_scale_height, 7994.0f);
    EXPECT_EQ(s.aerosol_scale_height, 12000.0f);
    EXPECT_FLOAT_EQ(s.integ_p4, 0.5e-5f);
    EXPECT_FLOAT_EQ(k.top_r, 6408140.0f);
    EXPECT_FLOAT_EQ(k.top_r2, 6408140.0f * 6408140.0f);
    EXPECT_FLOAT_EQ(k.eye_r2, 6378140.0f * 6378140.0f);
    EXPECT_FLOAT_EQ(k.inv_h_r, 1.0f / 7994.0f);
    EXPECT_FLOAT_EQ(k.inv_h_m, 1.0f / 12000.0f);
    for (int c = 0; c < 3; ++c) {
        const size_t ci = static_cast<size_t>(c);
        const double l4 = std::pow(kLam[c], 4), sc = c == 0 ? 1 : (c == 1 ? 2 : 4);
        expect_rel(k.k_r[ci], 1e-5 / l4, 1e-6);
        expect_rel(k.k_m[ci], 0.5e-5 * 0.52 / kLam[c], 1e-6);
        expect_rel(k.w_r[ci], sc * 0.001 / l4, 1e-6);
        expect_rel(k.w_m[ci], sc * 0.5 * 0.52 / kLam[c], 1e-6);
    }

    // Every colouring scales the aerosol extinction once more.
    compute_sky_colours(s, LightSettings{}, 0.0f);
    EXPECT_FLOAT_EQ(s.integ_p4, 0.5e-10f);

    // Heights given in the scene stay, and the eye height lifts the start radius.
    SkySettings g = integ_settings(10);
    g.atmosphere_height = 8000.0f;
    g.rayleigh_scale_height = 1000.0f;
    g.aerosol_scale_height = 500.0f;
    prepare_sky_constants(g, LightSettings{}, 250.0f, k);
    EXPECT_EQ(g.atmosphere_height, 8000.0f);
    EXPECT_EQ(g.aerosol_scale_height, 500.0f);
    EXPECT_FLOAT_EQ(k.top_r, 6386140.0f);
    EXPECT_FLOAT_EQ(k.eye_r2, 6378390.0f * 6378390.0f);
}

TEST(Sky, SunOpticalDepthSamples) {
    SkySettings s = integ_settings(10);
    SkyConstants k;
    prepare_sky_constants(s, LightSettings{}, 0.0f, k);
    const double hr = 7994, hm = 12000;
    float tr = 0, tm = 0;
    // Straight up from the ground over 1000 units: samples at 0 (half weight) to 900.
    sun_optical_depth(Vec3{0, 0, 0}, Vec3{0, 0, 1}, 1000.0f, k, tr, tm);
    double wr = 0.5, wm = 0.5;
    for (int i = 1; i < 10; ++i) {
        wr += std::exp(-100.0 * i / hr);
        wm += std::exp(-100.0 * i / hm);
    }
    expect_rel(tr, wr * 100, 1e-6);
    expect_rel(tm, wm * 100, 1e-6);

    // Starting below the ground: the half-weight start counts, the buried samples do not.
    sun_optical_depth(Vec3{0, 0, -100}, Vec3{0, 0, 1}, 150.0f, k, tr, tm);
    // Samples at -85 ... -10 lie below it; 5, 20 and 35 count.
    wr = 0.5 * std::exp(100 / hr) + std::exp(-5 / hr) + std::exp(-20 / hr) + std::exp(-35 / hr);
    wm = 0.5 * std::exp(100 / hm) + std::exp(-5 / hm) + std::exp(-20 / hm) + std::exp(-35 / hm);
    expect_rel(tr, wr * 15, 1e-6);
    expect_rel(tm, wm * 15, 1e-6);

    // Along the ground the earth curves away below the samples.
    sun_optical_depth(Vec3{0, 0, 0}, Vec3{1, 0, 0}, 100000.0f, k, tr, tm);
    wr = 0.5;
    for (int i = 1; i < 10; ++i) {
        const double x = 10000.0 * i;
        wr += std::exp(-(std::sqrt(x * x + 6378140.0 * 6378140.0) - 6378140.0) / hr);
    }
    expect_rel(tr, wr * 10000, 1e-4);
}

TEST(Sky, RadianceColumnWithoutExtinction) {
    // No extinction and no aerosol: the zenith radiance is the sun weight times the
    // Rayleigh phase times the density column, with the ends at 0.55 weight.
    SkySettings s = dome({}, kSkyInteg);
    s.integ_steps = 12;
    SkyConstants k;
    prepare_sky_constants(s, sun(Vec3{0, 0, 1}, Vec3{1, 0.5f, 0.25f}), 0.0f, k);
    const Vec3 rgb = sky_radiance(Vec3{0, 0, 1}, k);
    const double ds = 30000.0 / 12;
    double column = 0;
    for (int i = 0; i <= 12; ++i)
        column += std::exp(-ds * i / 7994.0) * ds * (i == 0 || i == 12 ? 0.55 : 1.0);
    expect_rel(rgb.x, 1.0 * 0.001 / std::pow(0.675, 4) * 2 * column, 1e-4);
    expect_rel(rgb.y, 0.5 * 0.001 / std::pow(0.52, 4) * 2 * column, 1e-4);
    expect_rel(rgb.z, 0.25 * 0.001 / std::pow(0.46, 4) * 2 * column, 1e-4);
}

TEST(Sky, RadianceMatchesDoubleReference) {
    const Vec3 sun_dir = normalise(Vec3{0.3f, 0.2f, 0.93f});
    const Vec3 dirs[] = {{0, 0, 1}, normalise(Vec3{0.5f, 0.5f, 0.6f}), {0.6f, -0.8f, 0}, sun_dir};
    for (float eye_z : {0.0f, 500.0f}) {
        SkySettings s = integ_settings(20);
        SkyConstants k;
        prepare_sky_constants(s, sun(sun_dir, Vec3{1, 0.9f, 0.8f}), eye_z, k);
        RefSky ref;
        ref.p1 = 1;
        ref.p2 = 0.5;
        ref.p3 = 0.8;
        ref.p4 = 2e-5;
        ref.n = 20;
        ref.eye_z = eye_z;
        ref.sun = D3{sun_dir.x, sun_dir.y, sun_dir.z};
        ref.sun_colour = D3{1, 0.9, 0.8};
        for (Vec3 d : dirs) {
            const Vec3 got = sky_radiance(d, k);
            const std::vector<double> want = ref.radiance(D3{d.x, d.y, d.z});
            SCOPED_TRACE(testing::Message() << "eye " << eye_z << " dir " << d.x << " " << d.y << " " << d.z);
            expect_rel(got.x, want[0], 1e-3);
            expect_rel(got.y, want[1], 1e-3);
            expect_rel(got.z, want[2], 1e-3);
        }
    }
}

TEST(Sky, RadianceStepsAndDirections) {
    SkySettings s = integ_settings(0);
    SkyConstants zero, one;
    prepare_sky_constants(s, sun(Vec3{0, 0.5f, 1}), 0.0f, zero);
    s = integ_settings(1);
    prepare_sky_constants(s, sun(Vec3{0, 0.5f, 1}), 0.0f, one);
    // Zero steps sample like one step instead of dividing by zero.
    const Vec3 a = sky_radiance(Vec3{0, 0.6f, 0.8f}, zero);
    const Vec3 b = sky_radiance(Vec3{0, 0.6f, 0.8f}, one);
    EXPECT_TRUE(std::isfinite(a.x));
    EXPECT_GT(a.z, 0.0f);
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.z, b.z);

    // Below the horizon, and with negative steps: no light.
    Vec3 c = sky_radiance(Vec3{0.6f, 0, -0.8f}, one);
    EXPECT_EQ(c.x, 0.0f);
    EXPECT_EQ(c.z, 0.0f);
    s = integ_settings(-2);
    SkyConstants neg;
    prepare_sky_constants(s, LightSettings{}, 0.0f, neg);
    c = sky_radiance(Vec3{0, 0, 1}, neg);
    EXPECT_EQ(c.y, 0.0f);
}

TEST(Sky, IntegColoursHorizonAndGamma) {
    SkySettings s = integ_settings(8);
    s.sky_gamma_inv = 0.5f;
    s.sky_light_scale = 2.0f;
    s.integ_p4 = 0.0f;  // so a fresh preparation below sees the same constants
    s.sky_vertices = {SkyVertex{Vec3{0.3f, 0.4f, -0.2f}, {}}, SkyVertex{Vec3{0.6f, 0.8f, 0.0f}, {}},
                      SkyVertex{Vec3{0, 0, 1}, {}}};
    const LightSettings light = sun(Vec3{0.2f, 0.1f, 1});
    compute_sky_colours(s, light, 0.0f);
    // A vertex below the horizon looks along the horizon at its azimuth.
    EXPECT_EQ(s.sky_vertices[0].colour.x, s.sky_vertices[1].colour.x);
    EXPECT_EQ(s.sky_vertices[0].colour.z, s.sky_vertices[1].colour.z);
    EXPECT_GT(s.sky_vertices[1].colour.z, 0.0f);
    // Each channel is mapped by value ^ gamma_inv * light_scale.
    SkyConstants k;
    prepare_sky_constants(s, light, 0.0f, k);
    const Vec3 zenith = sky_radiance(Vec3{0, 0, 1}, k);
    EXPECT_FLOAT_EQ(s.sky_vertices[2].colour.x, 2.0f * std::sqrt(zenith.x));
    EXPECT_FLOAT_EQ(s.sky_vertices[2].colour.z, 2.0f * std::sqrt(zenith.z));
}

TEST(Sky, IntegStepsBeyondTheWorkLimitAreCutWithAMessage) {
    // Found by fuzzing: a scene asking for 2^31 steps per vertex kept start-up busy for hours.
    SkySettings s = integ_settings(INT32_MAX);
    s.sky_vertices = {SkyVertex{Vec3{0.6f, 0.8f, 0.0f}, {}}, SkyVertex{Vec3{0, 0.6f, 0.8f}, {}},
                      SkyVertex{Vec3{0, 0, 1}, {}}};
    testing::internal::CaptureStdout();
    compute_sky_colours(s, sun(Vec3{0.2f, 0.1f, 1}), 0.0f);
    const std::string out = testing::internal::GetCapturedStdout();
    const int64_t fit = kMaxIntegSamples / 3 - 1;
    EXPECT_NE(out.find("*** integ sky: 2147483647 steps for each of 3 dome vertices is too much work; using " +
                       std::to_string(fit) + " steps"),
              std::string::npos)
        << out;
    for (const SkyVertex& v : s.sky_vertices) {
        EXPECT_TRUE(std::isfinite(v.colour.x) && std::isfinite(v.colour.z));
        EXPECT_GT(v.colour.z, 0.0f);
    }
    // Step counts within the limit are left alone and print nothing.
    SkySettings small = integ_settings(8);
    small.sky_vertices = s.sky_vertices;
    testing::internal::CaptureStdout();
    compute_sky_colours(small, sun(Vec3{0.2f, 0.1f, 1}), 0.0f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}
