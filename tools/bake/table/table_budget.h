// table_budget.h -- choosing the table's wavelet coefficients under a size budget, by the error the
// viewer shows after its display curve
//
// Every kept coefficient costs 8 bytes wherever it is, so the choice that makes the displayed error
// least for a size keeps the coefficients whose loss would show most, across all records: each
// coefficient a_i of a record is weighed by what dropping it does on screen,
//   E_i = min(a_i^2 u^2 * mean over its support of D'(v)^2,  |support| * D(|a_i| u / sqrt|support|)^2),
// D the display curve, v the record's own light in the viewer's units (u per field unit), the
// first term the linearised error where the light is (with D' taken no steeper than at a display
// floor), the second the most that the change can show anywhere (D is concave). The pool keeps the
// candidates above a threshold that rises as records come in, so its memory stays near twice the
// budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/bake/medium/coarse_cloud.h"

// Errors are judged no darker than this display level (a fraction of full colour): half a grey level.
constexpr double kDisplayFloor = 0.5 / 255.0;

// The viewer's display curve for one record: D(v) = (share * v)^gamma_inv * light_scale, the
// gamma-mapped colour (1 is full colour), v the value the viewer reconstructs (table value / 1e9 times
// the binned power).
struct DisplayCurve {
    double gamma_inv = 1.0;
    double light_scale = 255.0;
    double share = 1.0;  // colour share of the strongest channel
    // Physical shading shows a coarse cell's light times its own factor (the exposure times the albedo
    // over the cell's scattering coefficient): D_c(v) = D(k_c v). Empty: 1 everywhere.
    std::vector<double> cell_factor;
    double factor_max = 1.0;  // the largest k_c (1 without factors)
};

// D(v) for v >= 0 (0 below).
double display_value(const DisplayCurve& curve, double v);
// D_c(v): the display of coarse cell c.
double display_value_at(const DisplayCurve& curve, size_t cell, double v);

// One candidate coefficient of a record.
struct Coefficient {
    int32_t index = 0;  // position in the coarse grid's Haar layout
    float value = 0.0f;
    float error = 0.0f;  // E_i above
};

// Appends to out the coefficients of one record whose E_i reaches `threshold`: `field` holds the
// record's M values (field units), `coeffs` their forward Haar transform, `unit` the viewer's value
// per field unit. Adds the record's energy (sum of squared coefficients) to `energy`.
void record_candidates(const std::vector<float>& field, const std::vector<float>& coeffs,
                       const CoarseCloud& grid, double unit, const DisplayCurve& curve, double threshold,
                       std::vector<Coefficient>& out, double& energy);

// Candidates of every record; `keep` of them survive.
struct BudgetPool {
    int64_t keep = 0;
    double threshold = 0.0;  // candidates below it can no longer be among the kept
    int64_t count = 0;       // candidates held
    std::vector<std::vector<Coefficient>> records;
};

// Adds a record's candidates (those below the pool's threshold are dropped); when the pool holds more
// than twice `keep`, raises the threshold to the keep-th largest error and drops what falls below.
void add_to_pool(BudgetPool& pool, size_t record, std::vector<Coefficient>& candidates);

// Keeps exactly the `keep` largest errors (ties to the lower record, then the lower position) and
// sorts every record's coefficients by position.
void finish_pool(BudgetPool& pool);
