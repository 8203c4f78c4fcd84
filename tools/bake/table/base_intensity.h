// base_intensity.h -- the sparse wavelet records of the base intensity table
#pragma once

#include <cstdint>
#include <vector>

#include "tools/bake/byte_writer.h"
#include "tools/bake/medium/coarse_cloud.h"

// One table record from one direction's field (M values, transformed in place): the
// viewer's own forward Haar transform (the exact counterpart of its inverse), the `keep` largest coefficients
// by magnitude (ties to the lower position; exact zeros are never listed) times `scale`, written in ascending
// position order as count, positions, values and the trailing value 0. Returns the
// share of the field's energy that the kept coefficients hold (1 for an empty field); adds the kept and the
// whole energy to `energy` (kept, total) when given.
double append_record(std::vector<float>& field, const CoarseCloud& cloud, int32_t keep, double scale,
                     ByteWriter& out, double* energy = nullptr);
