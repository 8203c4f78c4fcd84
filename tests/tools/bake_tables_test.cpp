// bake_tables_test.cpp -- ray marching, the attenuation table and the base intensity round trip
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "illumination/tables.h"
#include "lightning/lightning_grid.h"
#include "test_support.h"
#include "tools/bake/medium/coarse_cloud.h"
#include "tools/bake/table/base_intensity.h"

namespace {

CoarseCloud two_cell_cloud() {
    CoarseCloud c;
    c.nx = 2;
    c.ny = 1;
    c.nz = 1;
    c.cell = 2.0;
    c.extinction = 0.4;
    c.density = {0.5, 0.25};
    return c;
}

}  // namespace

TEST(CoarseCloud, AveragesFineBlocksAndDropsPartialOnes) {
    // 5 x 2 x 2 fine cells with dscl 2: the fifth x column is left out.
    std::vector<float> fine(20, 0.0f);
    fine[0] = 0.8f;          // (0, 0, 0)
    fine[1 + 5 * 1] = 0.4f;  // (1, 1, 0)
    fine[2 + 5 * 2] = 1.0f;  // (2, 0, 1)
    fine[4] = 9.0f;          // (4, 0, 0): outside every whole block
    const CoarseCloud c = make_coarse_cloud(fine, 5, 2, 2, 2, 1.5, 0.1);
    ASSERT_EQ(c.count(), 2);
    EXPECT_DOUBLE_EQ(c.cell, 3.0);
    EXPECT_NEAR(c.density[0], 1.2 / 8.0, 1e-7);
    EXPECT_NEAR(c.density[1], 1.0 / 8.0, 1e-7);
    EXPECT_DOUBLE_EQ(c.centre(1)[0], 4.5);
}

TEST(CoarseCloud, PathIntegralIsExactPerCellAndClipsToTheGrid) {
    const CoarseCloud c = two_cell_cloud();
    // Centre to centre: half a cell in each.
    EXPECT_NEAR(density_path_integral(c, {1, 1, 1}, {3, 1, 1}), 0.5 * 1 + 0.25 * 1, 1e-12);
    // The same segment backwards gives the same integral.
    EXPECT_NEAR(density_path_integral(c, {3, 1, 1}, {1, 1, 1}), 0.75, 1e-12);
    // From far outside through the whole grid: only the 4 units inside count.
    EXPECT_NEAR(density_path_integral(c, {-10, 1, 1}, {20, 1, 1}), 0.5 * 2 + 0.25 * 2, 1e-12);
    // A slanted segment through cell 1 only: length sqrt(1 + 1).
    EXPECT_NEAR(density_path_integral(c, {2.5, 0.5, 1}, {3.5, 1.5, 1}), 0.25 * std::sqrt(2.0), 1e-12);
    // Missing the grid, or of zero length.
    EXPECT_EQ(density_path_integral(c, {1, 5, 1}, {3, 5, 1}), 0.0);
    EXPECT_EQ(density_path_integral(c, {1, 1, 1}, {1, 1, 1}), 0.0);
    EXPECT_NEAR(transmittance(c, {1, 1, 1}, {3, 1, 1}), std::exp(-0.3), 1e-12);
}

TEST(GenkTable, TwoCellCloudMatchesHandComputedTransmittance) {
    const std::vector<uint8_t> bytes = genk_file_bytes(two_cell_cloud(), 2, false);
    // exp(-0.4 * (0.5 + 0.25)) = 0.7408, times 255 = 188.9 -> 189.
    std::vector<uint8_t> expected;
    put_i32(expected, 2);
    put_i32(expected, 1);
    put_i32(expected, 1);
    for (uint8_t b : {255, 189, 189, 255}) expected.push_back(b);
    EXPECT_EQ(bytes, expected);

    // The viewer's loader takes it for a cloud of the same coarse size.
    ScratchDir dir;
    write_binary_file(dir.file("genk.tbl"), bytes);
    CloudGrid cloud;
    cloud.dcl_numx = 2;
    cloud.dcl_numy = 1;
    cloud.dcl_numz = 1;
    GenkTable table;
    ASSERT_TRUE(load_genk_table(table, cloud, dir.file("genk.tbl")));
    EXPECT_EQ(genk_byte(table, 0, 1), 189);
    EXPECT_EQ(genk_byte(table, 1, 0), 189);
    EXPECT_EQ(genk_byte(table, 1, 1), 255);
}

TEST(GenkTable, QuantisesToTheNearestByte) {
    EXPECT_EQ(transmittance_byte(1.0), 255);
    EXPECT_EQ(transmittance_byte(0.0), 0);
    EXPECT_EQ(transmittance_byte(0.5), 128);  // 127.5 rounds up
    EXPECT_EQ(transmittance_byte(1.7), 255);
}

TEST(BaseIntensity, ConstantFieldIsOneCoefficient) {
    CoarseCloud c;
    c.nx = 4;
    c.ny = 2;
    c.nz = 2;
    std::vector<float> field(16, 3.0f);
    ByteWriter w;
    const double kept = append_record(field, c, 5, 2.0, w);
    std::vector<uint8_t> expected;
    put_i32(expected, 1);
    put_i32(expected, 0);
    put_f32(expected, 6.0f);
    put_f32(expected, 0.0f);
    ASSERT_EQ(w.bytes.size(), expected.size());
    float value = 0.0f;
    std::memcpy(&value, &w.bytes[8], 4);
    EXPECT_NEAR(value, 6.0f, 1e-5f);
    EXPECT_NEAR(kept, 1.0, 1e-9);
}

TEST(BaseIntensity, KeepsTheLargestCoefficientsInPositionOrder) {
    CoarseCloud c;
    c.nx = 4;
    c.ny = 1;
    c.nz = 1;
    std::vector<float> field{1, 2, 3, 4};
    std::vector<float> copy = field;
    forward_haar_3d(copy.data(), 4, 1, 1);
    ByteWriter w;
    const double kept = append_record(field, c, 2, 1.0, w);
    ASSERT_EQ(w.bytes.size(), 8u * 2 + 8);
    int32_t count = 0, i0 = 0, i1 = 0;
    std::memcpy(&count, &w.bytes[0], 4);
    std::memcpy(&i0, &w.bytes[4], 4);
    std::memcpy(&i1, &w.bytes[8], 4);
    EXPECT_EQ(count, 2);
    EXPECT_LT(i0, i1);
    // Whatever was kept are the two largest magnitudes.
    std::vector<float> mags;
    for (float v : copy) mags.push_back(std::fabs(v));
    std::vector<float> sorted = mags;
    std::sort(sorted.rbegin(), sorted.rend());
    EXPECT_GE(std::min(mags[i0], mags[i1]), sorted[1]);
    double total = 0, part = 0;
    for (float v : copy) total += v * v;
    part = copy[i0] * copy[i0] + copy[i1] * copy[i1];
    EXPECT_NEAR(kept, part / total, 1e-6);
}
