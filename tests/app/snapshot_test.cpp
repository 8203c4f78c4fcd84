// snapshot_test.cpp -- frame file names and the bottom-up to top-down PNG write
#include "app/snapshot.h"

#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include "test_support.h"

TEST(Snapshot, NamesCountFromOneWithFourDigits) {
    EXPECT_EQ(snapshot_name("out/frame", 1), "out/frame-0001.png");
    EXPECT_EQ(snapshot_name("p", 1234), "p-1234.png");
}

TEST(Snapshot, WritesRowsTopDown) {
    ScratchDir dir;
    // 3 x 2 image, GL order: row 0 is the bottom row.
    std::vector<uint8_t> rgb = {10, 0, 0, 20, 0, 0, 30, 0, 0,    // bottom
                                0, 40, 0, 0, 50, 0, 0, 60, 0};  // top
    const std::string path = dir.file("f.png");
    ASSERT_TRUE(write_png_bottom_up(path, 3, 2, rgb));
    int w = 0, h = 0, n = 0;
    unsigned char* px = stbi_load(path.c_str(), &w, &h, &n, 3);
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(px[1], 40);      // first PNG pixel is the top-left one
    EXPECT_EQ(px[9 + 0], 10);  // second PNG row is the bottom row
    stbi_image_free(px);
}

TEST(Snapshot, UnwritablePathIsReportedNotFatal) {
    std::vector<uint8_t> rgb(12, 0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(write_png_bottom_up("/nonexistent-dir/x.png", 2, 2, rgb));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("/nonexistent-dir/x.png"), std::string::npos);
}
