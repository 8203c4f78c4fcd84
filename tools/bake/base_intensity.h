// base_intensity.h -- single-scattering responses of the coarse cloud and the sparse wavelet table
#pragma once

#include <cstdint>
#include <vector>

#include "tools/bake/byte_writer.h"
#include "tools/bake/coarse_cloud.h"

// How a coarse cell scatters the light of a point source towards a direction.
struct ScatterModel {
    double albedo = 0.9;      // single-scattering albedo: share of the extinction that scatters
    double phase_g = 0.2;     // Henyey-Greenstein asymmetry; mild, standing in for the
                              // multiple scattering that smooths a real cloud's glow
    double near_limit = 1.0;  // sources are taken no nearer to a cell centre than this
                              // many cells: a lightning cell stands for sources spread
                              // over it, and a softer peak needs fewer coefficients
                              // (a sharper one rings into dark holes once truncated)
};

// Henyey-Greenstein phase function per steradian (integrates to 1 over the sphere)
// for the cosine between the light's travel direction and the outgoing direction.
double henyey_greenstein(double cos_angle, double g);

// Radiance that every coarse cell sends towards each direction for a source of unit
// intensity at `source` (cloud-local): albedo * extinction * density * phase *
// transmittance(source -> cell centre) / distance^2. The travel direction is source
// -> cell. out holds directions.size() blocks of M values (direction-major).
void direct_response(const CoarseCloud& cloud, const ScatterModel& model,
                     const std::vector<Point3>& directions, const Point3& source, std::vector<double>& out);

// One table record from one direction's field (M values, transformed in place): the
// viewer's own forward Haar transform (the exact counterpart of its inverse), the `keep` largest coefficients
// by magnitude (ties to the lower position; exact zeros are never listed) times `scale`, written in ascending
// position order as count, positions, values and the trailing value 0. Returns the
// share of the field's energy that the kept coefficients hold (1 for an empty field).
double append_record(std::vector<float>& field, const CoarseCloud& cloud, int32_t keep, double scale,
                     ByteWriter& out);

// The whole base intensity file for unit sources at the given lightning cell centres
// (cloud-local, the table's cell order): the header (cell count, M, direction count)
// and one record per cell and direction. Prints progress lines when asked; reports
// the mean kept energy share through kept_energy.
std::vector<uint8_t> base_intensity_file_bytes(const CoarseCloud& cloud, const ScatterModel& model,
                                               const std::vector<Point3>& directions,
                                               const std::vector<Point3>& sources, int32_t keep, double scale,
                                               int workers, bool progress, double* kept_energy);
