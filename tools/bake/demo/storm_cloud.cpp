// storm_cloud.cpp -- the procedural thunderstorm cell and its grid file
#include "tools/bake/demo/storm_cloud.h"

#include <algorithm>
#include <cmath>

#include "tools/bake/byte_writer.h"
#include "tools/bake/demo/noise.h"
#include "tools/bake/parallel.h"

namespace {

// Shape constants in box units: x and y run over [-1, 1], z over [0, 1] of the box
// height (a 2:2:1 box keeps these units the same length along every axis).
// The base is level with the plane strikes start from (the grid's floor), as a real storm's base
// is level at the height where its air condenses: a strike anywhere under the tower comes out of
// the cloud. It fills in over a few cells from just below the floor, so the floor layer is thin,
// ragged cloud rather than a flat plate.
constexpr double kBaseHeight = -0.02;    // where the fill-in starts, below the floor
constexpr double kBaseSharpness = 0.06;  // height over which the base fills in
constexpr double kBaseRoughness = 0.03;  // how far the noise moves the base up and down
constexpr double kTowerRadiusBottom = 0.50;
constexpr double kTowerRadiusTop = 0.34;
constexpr double kTowerLean = 0.12;  // downwind shift of the tower from bottom to top
constexpr double kAnvilBottom = 0.56;
constexpr double kAnvilTop = 0.84;
constexpr double kAnvilRadius = 0.80;
constexpr double kAnvilDrift = 0.12;  // the anvil is blown further downwind
constexpr double kDomeHeight = 0.80;
constexpr double kDomeRadius = 0.15;
constexpr double kShapeNoise = 0.55;     // how far the fractal noise moves the surface
constexpr double kNoiseFrequency = 3.2;  // base noise wavelengths across the half-box

double smoothstep(double a, double b, double x) {
    const double t = std::clamp((x - a) / (b - a), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

// Signed closeness to the storm's surface: above 0 inside, 1 on the axis.
double storm_shape(double x, double y, double z) {
    const double lean = -0.14 + kTowerLean * z;
    const double tower_r = kTowerRadiusBottom + (kTowerRadiusTop - kTowerRadiusBottom) * z;
    // The tower ends in the anvil; only the overshooting dome rises above it.
    const double tower =
        1.0 - std::hypot(x - lean, y) / tower_r - 1.5 * smoothstep(kAnvilTop - 0.04, kAnvilTop + 0.02, z);

    // The anvil widens from its bottom and ends under a flat top.
    const double spread = smoothstep(kAnvilBottom, kAnvilTop - 0.04, z);
    const double anvil_r = tower_r + (kAnvilRadius - tower_r) * spread;
    const double anvil_x = lean + kAnvilDrift * spread;
    double anvil = 1.0 - std::hypot((x - anvil_x) * 0.95, y * 1.1) / anvil_r;
    // Outside its height range the anvil recedes far below the surface, so the noise
    // cannot raise stray cloud there.
    anvil -= 1.5 * (1.0 - smoothstep(kAnvilBottom - 0.06, kAnvilBottom + 0.04, z));
    anvil -= 1.5 * smoothstep(kAnvilTop - 0.03, kAnvilTop + 0.03, z);

    const double dome =
        1.0 - std::sqrt((x - lean) * (x - lean) + y * y + (z - kDomeHeight) * (z - kDomeHeight) * 1.6) /
                  kDomeRadius;
    return std::max({tower, anvil, dome * 0.6});
}

}  // namespace

CloudBytes make_storm_cloud(int32_t nx, int32_t ny, int32_t nz, uint32_t seed, int workers) {
    CloudBytes cloud;
    cloud.nx = nx;
    cloud.ny = ny;
    cloud.nz = nz;
    cloud.byte_scale = kCloudByteScale;
    cloud.bytes.assign(static_cast<size_t>(nx) * ny * nz, 0);
    const uint32_t shape_seed = seed * 2654435761u + 1u;
    const uint32_t detail_seed = seed * 2246822519u + 2u;
    parallel_for(nz, workers, [&](int k) {
        const double z = (k + 0.5) / nz;
        for (int32_t j = 0; j < ny; ++j) {
            const double y = 2.0 * (j + 0.5) / ny - 1.0;
            for (int32_t i = 0; i < nx; ++i) {
                const double x = 2.0 * (i + 0.5) / nx - 1.0;
                const double nxs = x * kNoiseFrequency, nys = y * kNoiseFrequency,
                             nzs = z * 2.0 * kNoiseFrequency;
                const double base_z =
                    kBaseHeight + kBaseRoughness * (fractal_noise(nxs, nys, 0.0, shape_seed + 99u, 3) - 0.5);
                double f =
                    storm_shape(x, y, z) + kShapeNoise * (fractal_noise(nxs, nys, nzs, shape_seed, 5) - 0.5);
                f *= smoothstep(base_z, base_z + kBaseSharpness, z);
                if (f <= 0.0) continue;
                // Inside, the density rises quickly from the surface and carries its
                // own finer texture, so splats of one level do not form flat slabs.
                const double detail = fractal_noise(nxs * 2.3, nys * 2.3, nzs * 2.3, detail_seed, 4);
                const double d = std::min(1.0, f * 3.0) * (0.45 + 0.55 * detail);
                const long b = std::lround(d * 255.0);
                cloud.bytes[(static_cast<size_t>(k) * ny + j) * nx + i] =
                    static_cast<uint8_t>(std::clamp(b, 0L, 255L));
            }
        }
    });
    return cloud;
}

std::vector<uint8_t> grid_file_bytes(const CloudBytes& cloud) {
    ByteWriter w;
    w.i32(cloud.nx);
    w.i32(cloud.ny);
    w.i32(cloud.nz);
    w.f32(cloud.byte_scale);
    w.raw(cloud.bytes.data(), cloud.bytes.size());
    return std::move(w.bytes);
}
