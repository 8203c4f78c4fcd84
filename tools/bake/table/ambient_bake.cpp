// ambient_bake.cpp -- the cloud's light from the scene's sun and sky, baked into the ambient table
#include "tools/bake/table/ambient_bake.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "illumination/ambient_light.h"
#include "render/sky_light.h"
#include "tools/bake/byte_writer.h"
#include "tools/bake/parallel.h"

namespace {

// Stream salts of the sun's and the sky's batches, apart from every lightning cell's.
constexpr uint64_t kSunSalt = 0x5A11ull << 32, kSkySalt = 0x5C1Eull << 32;

// eta of one light (sun or sky) summed over batches in batch order, so the result does not depend on
// how many run at once.
template <class Trace>
std::vector<double> batched(const TransportMedium& m, int64_t paths, uint64_t salt, uint32_t seed,
                            int workers, Trace&& trace, TransportStats& stats) {
    const size_t size = static_cast<size_t>(m.count()) * kDirCount;
    std::vector<double> sum(size, 0.0);
    const int64_t per_batch = std::max<int64_t>(1, paths / kAmbientBatches);
    const int group = std::max(1, std::min(workers, kAmbientBatches));
    std::vector<std::vector<double>> fields(static_cast<size_t>(group));
    std::vector<TransportStats> batch_stats(static_cast<size_t>(group));
    for (int first = 0; first < kAmbientBatches; first += group) {
        const int n = std::min(group, kAmbientBatches - first);
        parallel_for(n, workers, [&](int i) {
            thread_local TransportScratch scratch;
            batch_stats[static_cast<size_t>(i)] = trace(per_batch, cell_stream(seed ^ salt, first + i),
                                                        scratch, fields[static_cast<size_t>(i)]);
        });
        for (int i = 0; i < n; ++i) {
            const std::vector<double>& f = fields[static_cast<size_t>(i)];
            for (size_t j = 0; j < size; ++j) sum[j] += f[j] / kAmbientBatches;
            TransportStats s = batch_stats[static_cast<size_t>(i)];
            s.escaped /= kAmbientBatches;
            s.absorbed /= kAmbientBatches;
            s.escaped_direct /= kAmbientBatches;
            stats.add(s);
        }
    }
    return sum;
}

}  // namespace

std::vector<Vec3> ambient_field(const TransportMedium& m, const Vec3& towards_sun, const Vec3& sun_irradiance,
                                const Vec3& sky_radiance, int64_t paths, uint32_t seed, int workers,
                                AmbientReport& report) {
    const size_t cells = static_cast<size_t>(m.count());
    std::vector<Vec3> out(cells * kDirCount);
    const double len = std::sqrt(static_cast<double>(towards_sun.x) * towards_sun.x +
                                 static_cast<double>(towards_sun.y) * towards_sun.y +
                                 static_cast<double>(towards_sun.z) * towards_sun.z);
    // Below the horizon the ground stands between the sun and the cloud.
    report.sun = len > 0.0 && towards_sun.z > 0.0f;
    report.paths = paths;
    std::vector<double> sun, sky;
    if (report.sun) {
        const double u[3] = {towards_sun.x / len, towards_sun.y / len, towards_sun.z / len};
        sun = batched(
            m, paths, kSunSalt, seed, workers,
            [&](int64_t n, uint64_t stream, TransportScratch& s, std::vector<double>& f) {
                return trace_sun(m, u, n, stream, s, f);
            },
            report.sun_stats);
    }
    if (sky_radiance.x > 0.0f || sky_radiance.y > 0.0f || sky_radiance.z > 0.0f) {
        TransportStats ignored;
        sky = batched(
            m, paths, kSkySalt, seed, workers,
            [&](int64_t n, uint64_t stream, TransportScratch& s, std::vector<double>& f) {
                return trace_sky(m, n, stream, s, f);
            },
            ignored);
    }
    for (size_t c = 0; c < cells; ++c) {
        const double sigma_s = m.albedo * m.sigma_t[c];
        if (!(sigma_s > 0.0)) continue;
        for (size_t d = 0; d < static_cast<size_t>(kDirCount); ++d) {
            const size_t i = c * kDirCount + d;
            const double a = sun.empty() ? 0.0 : sun[i] / sigma_s, b = sky.empty() ? 0.0 : sky[i] / sigma_s;
            out[i] = Vec3{static_cast<float>(a * sun_irradiance.x + b * sky_radiance.x),
                          static_cast<float>(a * sun_irradiance.y + b * sky_radiance.y),
                          static_cast<float>(a * sun_irradiance.z + b * sky_radiance.z)};
        }
    }
    return out;
}

std::string bake_ambient_table(const std::string& dir, const Scene& scene, const TransportMedium& medium,
                               double exposure, int64_t paths, uint32_t seed, int workers, bool quiet,
                               AmbientReport& report) {
    const auto t0 = std::chrono::steady_clock::now();
    report = AmbientReport{};
    Vec3 sun, sky;
    ambient_sources(scene, exposure, sun, sky);
    report.sun_irradiance = sun;
    report.sky_radiance = sky;
    const int64_t walks = kAmbientPathsPerPath * paths;
    if (!quiet) {
        std::printf("  ambient light: %lld walks each for the sun and the sky\n",
                    static_cast<long long>(walks));
        std::fflush(stdout);
    }
    const std::vector<Vec3> light =
        ambient_field(medium, scene.light.sun_dir, sun, sky, walks, seed, workers, report);

    // The levels the viewer will show for thick cloud (radiance a x J) through its exposure.
    const double gi = scene.cloud.gamma_inv > 0.0f ? scene.cloud.gamma_inv : 1.0;
    const double e = exposure > 0.0 ? exposure : 1.0;
    double peak = 0.0, sum = 0.0;
    int64_t n = 0;
    for (size_t c = 0; c < static_cast<size_t>(medium.count()); ++c) {
        if (!(medium.sigma_t[c] > 0.0)) continue;
        for (size_t d = 0; d < static_cast<size_t>(kDirCount); ++d) {
            const Vec3 v = light[c * kDirCount + d];
            const double grey = (v.x + v.y + v.z) / 3.0;
            peak = std::max(peak, grey);
            sum += grey;
            ++n;
        }
    }
    auto level = [&](double j) { return std::pow(std::clamp(e * medium.albedo * j, 0.0, 1.0), gi); };
    report.peak_level = level(peak);
    report.mean_level = n > 0 ? level(sum / static_cast<double>(n)) : 0.0;

    const std::string path = dir + "/" + kAmbientFileName;
    if (!write_file_bytes(path, ambient_file_bytes(medium.nx, medium.ny, medium.nz, light)))
        return "cannot write " + path;
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!quiet) {
        std::printf(
            "  ambient light done (%.1f s): sun %s, sky radiance %.3g %.3g %.3g; the brightest cloud shows "
            "at "
            "%.2f, the mean at %.2f\n",
            report.seconds, report.sun ? "above the horizon" : "below the horizon", sky.x, sky.y, sky.z,
            report.peak_level, report.mean_level);
        std::fflush(stdout);
    }
    return "";
}
