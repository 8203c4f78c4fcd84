// cloud_test.cpp -- cloud section: densities, blobs, coarse grid, placement and damaged grid files
#include "scene/cloud.h"

#include "gtest/gtest.h"
#include "scene_files.h"
#include "support/fatal.h"
#include "test_support.h"

namespace {

// A cloud section for grid file path with the given threshold, cell size, origin and dscl.
std::string cloud_section(const std::string& path, const std::string& threshold = "0.5",
                          const std::string& placement = "1 0 0 0", const std::string& dscl = "2") {
    return "cloud\n" + path + " " + threshold + "\n" + placement + "\n0.1 0.2 0.3\n1.5 3.5 1.0\n" + dscl +
           "\n1 1\n";
}

TEST(CloudSection, UniformGridGivesDensitiesBlobsAndCoarseGrid) {
    ScratchDir dir;
    Scene scene;
    write_grid(dir.file("g.bin"), 4, 4, 4, 0.1f, 10);
    std::string out = read_scene_text(dir, cloud_section(dir.file("g.bin"), "1.0") + "end", scene);
    const CloudGrid& g = scene.cloud;
    EXPECT_EQ(split_lines(out),
              (std::vector<std::string>{"reading grid data:" + dir.file("g.bin") + "...", "grd size: 4 4 4",
                                        "dcl size: 2 2 2", "No. of blobs: 64", "   no. of grids: 4, 4, 4"}));
    ASSERT_EQ(g.grd_density.size(), 64u);
    for (float d : g.grd_density) EXPECT_EQ(d, 10.0f * 0.1f);
    ASSERT_EQ(g.blobs.size(), 64u);
    // Blobs come in cell order with their centres relative to the grid's corner.
    EXPECT_EQ(g.blobs[6].cell, 6);
    EXPECT_EQ(g.blobs[6].x, 2.5f);
    EXPECT_EQ(g.blobs[6].y, 1.5f);
    EXPECT_EQ(g.blobs[6].z, 0.5f);
    EXPECT_EQ(g.blobs[63].z, 3.5f);
    EXPECT_EQ(g.dcl_dir_light.size(), 8u * kDirCount);
    EXPECT_EQ(g.dcl_size, 2.0f);
    EXPECT_EQ(g.density_threshold, 0.0f);  // whatever the file said
    EXPECT_FLOAT_EQ(g.optical[1], 0.2f);
    EXPECT_EQ(g.light_scale, 1.0f);
}

TEST(CloudSection, ThresholdAboveEveryDensityLeavesNoBlobs) {
    ScratchDir dir;
    Scene scene;
    write_grid(dir.file("g.bin"), 4, 4, 4, 0.1f, 10);
    std::string out = read_scene_text(dir, cloud_section(dir.file("g.bin"), "1.5") + "end", scene);
    EXPECT_NE(out.find("No. of blobs: 0\n"), std::string::npos);
    EXPECT_TRUE(scene.cloud.blobs.empty());
    for (float d : scene.cloud.grd_density) EXPECT_EQ(d, 0.0f);
}

TEST(CloudSection, BlobsListExactlyTheCountedCellsForAnyThreshold) {
    ScratchDir dir;
    std::vector<uint8_t> cells(8, 0);
    cells[1] = 3;
    cells[6] = 9;
    write_binary_file(dir.file("g.bin"), grid_bytes(2, 2, 2, 0.5f, cells));
    {
        Scene scene;
        read_scene_text(dir, cloud_section(dir.file("g.bin"), "2") + "end", scene);
        ASSERT_EQ(scene.cloud.blobs.size(), 1u);
        EXPECT_EQ(scene.cloud.blobs[0].cell, 6);
        EXPECT_EQ(scene.cloud.grd_density[1], 0.0f);
        EXPECT_EQ(scene.cloud.grd_density[6], 4.5f);
    }
    // With a threshold of 0 every cell counts, the empty ones too, and every one is listed.
    for (const char* threshold : {"0", "-1"}) {
        Scene scene;
        std::string out = read_scene_text(dir, cloud_section(dir.file("g.bin"), threshold) + "end", scene);
        EXPECT_NE(out.find("No. of blobs: 8\n"), std::string::npos) << threshold;
        ASSERT_EQ(scene.cloud.blobs.size(), 8u);
        for (int c = 0; c < 8; ++c) EXPECT_EQ(scene.cloud.blobs[c].cell, c);
        EXPECT_EQ(scene.cloud.grd_density[1], 1.5f);
    }
}

TEST(CloudSection, OddDsclAndNonMultiplesPrintCautionsAndGoOn) {
    ScratchDir dir;
    Scene scene;
    write_grid(dir.file("g.bin"), 100, 6, 3, 0.1f, 1);
    std::string out =
        read_scene_text(dir, cloud_section(dir.file("g.bin"), "0.5", "1 0 0 0", "3") + "end", scene);
    EXPECT_NE(out.find("grd size: 100 6 3\n"
                       " *** caution. dscl must be even number !\n"
                       " *** caution. grd_numx must be 99 !\n"
                       "dcl size: 33 2 1\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("grd_numy"), std::string::npos);
    EXPECT_EQ(scene.cloud.dcl_dir_light.size(), size_t(33 * 2 * 1 * kDirCount));
}

TEST(CloudSection, CentringSubtractsHalfTheCellCountsAndSetsTheBox) {
    ScratchDir dir;
    Scene scene;
    write_grid(dir.file("g.bin"), 100, 100, 40, 0.01f, 1);
    read_scene_text(dir, cloud_section(dir.file("g.bin"), "0.5", "2 0 0 0") + "end", scene);
    const CloudGrid& g = scene.cloud;
    EXPECT_EQ(g.grd_origin.x, -50.0f);
    EXPECT_EQ(g.grd_origin.y, -50.0f);
    EXPECT_EQ(g.grd_origin.z, -20.0f);
    EXPECT_EQ(g.cloud_box, (Box{-50, -50, -20, 150, 150, 60}));
}

TEST(CloudSection, CloudGammaMapsBrightness) {
    ScratchDir dir;
    Scene scene;
    write_grid(dir.file("g.bin"), 2, 2, 2, 0.1f, 10);
    std::string text = cloud_section(dir.file("g.bin"));
    text.replace(text.rfind("1 1"), 3, "3 2");
    read_scene_text(dir, text + "end", scene);
    EXPECT_FLOAT_EQ(scene.cloud.gamma_inv, 0.5f);
    EXPECT_FLOAT_EQ(scene.cloud.light_scale, 3.0f * 255.0f / std::sqrt(255.0f));
}

TEST(CloudSection, LaterSectionOfAnotherShapeReallocatesAndSameShapeKeepsRadiance) {
    ScratchDir dir;
    Scene scene;
    write_grid(dir.file("small.bin"), 4, 4, 4, 0.1f, 10);
    write_grid(dir.file("large.bin"), 8, 8, 4, 0.1f, 20);
    read_scene_text(dir, cloud_section(dir.file("small.bin")) + "end", scene);
    scene.cloud.dcl_dir_light[3] = Vec3{1, 2, 3};

    std::string again = read_scene_text(dir, cloud_section(dir.file("small.bin")) + "end", scene);
    EXPECT_EQ(again.find("dcl size"), std::string::npos);
    EXPECT_EQ(scene.cloud.dcl_dir_light[3].y, 2.0f);

    std::string out = read_scene_text(dir, cloud_section(dir.file("large.bin")) + "end", scene);
    EXPECT_NE(out.find("dcl size: 4 4 2\n"), std::string::npos) << out;
    EXPECT_EQ(scene.cloud.grd_density.size(), 256u);
    EXPECT_EQ(scene.cloud.blobs.size(), 256u);
    EXPECT_EQ(scene.cloud.dcl_dir_light.size(), size_t(32 * kDirCount));
    EXPECT_EQ(scene.cloud.dcl_dir_light[3].y, 0.0f);

    // The same grid with another dscl gets a coarse grid of its own.
    out = read_scene_text(dir, cloud_section(dir.file("large.bin"), "0.5", "1 0 0 0", "4") + "end", scene);
    EXPECT_NE(out.find("dcl size: 2 2 1\n"), std::string::npos) << out;
    EXPECT_EQ(scene.cloud.dcl_dir_light.size(), size_t(4 * kDirCount));
}

TEST(CloudSection, MissingGridFileIsFatalWithBothMessages) {
    ThrowOnFatal guard;
    ScratchDir dir;
    Scene scene;
    testing::internal::CaptureStderr();
    std::string out;
    EXPECT_THROW(out = read_scene_text(dir, cloud_section(dir.file("none.bin")) + "end", scene),
                 FatalInputError);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "can't open the file " + dir.file("none.bin") + ".\n");
}

TEST(CloudSection, DsclBelowOneIsFatal) {
    ThrowOnFatal guard;
    ScratchDir dir;
    Scene scene;
    write_grid(dir.file("g.bin"), 2, 2, 2, 0.1f, 10);
    testing::internal::CaptureStderr();
    EXPECT_THROW(read_scene_text(dir, cloud_section(dir.file("g.bin"), "0.5", "1 0 0 0", "0") + "end", scene),
                 FatalInputError);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("dscl 0 must be at least 1"), std::string::npos);
}

TEST(GridFile, DamagedFilesAreFatalAndNameTheFileAndProblem) {
    ThrowOnFatal guard;
    ScratchDir dir;
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* problem;
    };
    std::vector<uint8_t> short_header = grid_bytes(2, 2, 2, 1.0f, {});
    short_header.resize(10);
    const Case cases[] = {
        {"short header", short_header, "header holds 10 of 16 bytes"},
        {"negative size", grid_bytes(2, -2, 2, 1.0f, std::vector<uint8_t>(8)), "is not positive"},
        {"zero size", grid_bytes(0, 2, 2, 1.0f, {}), "is not positive"},
        {"overflowing count", grid_bytes(65536, 65536, 2, 1.0f, {}), "overflow a 32-bit cell count"},
        // Found by fuzzing: a product beyond 64 bits must not overflow while it is checked.
        {"count beyond 64 bits", grid_bytes(16, 0x32323240, 0x32323232, 1.0f, {}),
         "overflow a 32-bit cell count"},
        {"short data", grid_bytes(2, 2, 2, 1.0f, std::vector<uint8_t>(7)), "holds 7 cell bytes"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file("bad.bin");
        write_binary_file(path, c.bytes);
        CloudGrid grid;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_THROW(read_grid_file(path, grid), FatalInputError) << c.what;
        testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("grid file " + path), std::string::npos) << c.what << ": " << err;
        EXPECT_NE(err.find(c.problem), std::string::npos) << c.what << ": " << err;
        EXPECT_EQ(grid.grd_numx, 0) << c.what;
        EXPECT_TRUE(grid.grd_bytes.empty()) << c.what;
    }
}

TEST(GridFile, BytesAfterTheCellsAreIgnored) {
    ScratchDir dir;
    const std::string path = dir.file("long.bin");
    std::vector<uint8_t> cells = {1, 2, 3, 4, 5, 6, 7, 8, 200, 201, 202};  // three bytes too many
    write_binary_file(path, grid_bytes(2, 2, 2, 0.5f, cells));
    CloudGrid grid;
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_grid_file(path, grid), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(grid.grd_numx * grid.grd_numy * grid.grd_numz, 8);
    EXPECT_EQ(grid.grd_bytes, std::vector<uint8_t>(cells.begin(), cells.begin() + 8));
}

TEST(GridFile, MissingFileReturnsZero) {
    CloudGrid grid;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_grid_file("/nonexistent/grid.bin", grid), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "can't open the file /nonexistent/grid.bin.\n");
}

}  // namespace
