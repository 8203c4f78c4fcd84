// tables_test.cpp -- loading the attenuation and base intensity tables, and refusing damaged ones
#include "illumination/tables.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

CloudGrid coarse_cloud(int32_t nx, int32_t ny, int32_t nz) {
    CloudGrid c;
    c.dcl_numx = nx;
    c.dcl_numy = ny;
    c.dcl_numz = nz;
    return c;
}

std::vector<uint8_t> genk_file(int32_t nx, int32_t ny, int32_t nz, int64_t row_bytes) {
    std::vector<uint8_t> out;
    put_i32(out, nx);
    put_i32(out, ny);
    put_i32(out, nz);
    for (int64_t i = 0; i < row_bytes; ++i) out.push_back(static_cast<uint8_t>(i % 251));
    return out;
}

// One base intensity record: count, positions, count + 1 values.
void put_record(std::vector<uint8_t>& out, const std::vector<int32_t>& index, const std::vector<float>& value,
                float trailing) {
    put_i32(out, static_cast<int32_t>(index.size()));
    for (int32_t i : index) put_i32(out, i);
    for (float v : value) put_f32(out, v);
    put_f32(out, trailing);
}

// A table for a 1 x 1 x 1 lightning grid (one cell) and the given coarse cell count: direction d lists
// the single position d % m with value d + 1, except that direction 3 lists nothing.
std::vector<uint8_t> base_file(int32_t m) {
    std::vector<uint8_t> out;
    put_i32(out, 1);
    put_i32(out, m);
    put_i32(out, kDirCount);
    for (int32_t d = 0; d < kDirCount; ++d) {
        if (d == 3) {
            put_record(out, {}, {}, 7.0f);
        } else {
            put_record(out, {d % m}, {static_cast<float>(d + 1)}, 0.5f);
        }
    }
    return out;
}

struct Loaded {
    bool ok;
    std::vector<std::string> lines;
};

Loaded load_genk(GenkTable& t, CloudGrid& cloud, const std::string& path) {
    testing::internal::CaptureStdout();
    const bool ok = load_genk_table(t, cloud, path);
    return Loaded{ok, split_lines(testing::internal::GetCapturedStdout())};
}

Loaded load_base(BaseIntensityTable& t, IlluminationWork& w, const CloudGrid& cloud, const std::string& path,
                 int32_t nz = 1) {
    testing::internal::CaptureStdout();
    const bool ok = load_base_intensity(t, w, cloud, 1, 1, nz, path);
    return Loaded{ok, split_lines(testing::internal::GetCapturedStdout())};
}

}  // namespace

TEST(GenkTable, LoadsRowsSetsSizesAndReportsProgressEveryThousandRows) {
    ScratchDir dir;
    write_binary_file(dir.file("g.tbl"), genk_file(1001, 1, 1, 1001LL * 1001));
    CloudGrid cloud;  // no cloud yet: the table's header sets the coarse sizes
    GenkTable t;
    const Loaded r = load_genk(t, cloud, dir.file("g.tbl"));
    ASSERT_TRUE(r.ok);
    const std::vector<std::string> want = {"genk_tbl: 1001 x 1 x 1", "g_tbl size: 0 MB",
                                           "reading genk_tbl...", " --- 0/1001 ---", " --- 1000/1001 ---"};
    EXPECT_EQ(r.lines, want);
    EXPECT_EQ(cloud.dcl_numx, 1001);
    EXPECT_EQ(t.m, 1001);
    EXPECT_EQ(genk_byte(t, 0, 0), 0);
    EXPECT_EQ(genk_byte(t, 1, 0), 1001 % 251);
    EXPECT_EQ(genk_byte(t, 1000, 1000), (1001LL * 1001 - 1) % 251);
    EXPECT_EQ(genk_byte(t, 1001, 0), 255);  // outside: clear

    // A second load of the same size reads into the same rows without the size line.
    const Loaded again = load_genk(t, cloud, dir.file("g.tbl"));
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(again.lines.at(1), "reading genk_tbl...");
}

TEST(GenkTable, SizeLineForFourThousandCells) {
    ScratchDir dir;
    write_binary_file(dir.file("g.tbl"), genk_file(16, 16, 16, 4096LL * 4096));
    CloudGrid cloud = coarse_cloud(16, 16, 16);
    GenkTable t;
    const Loaded r = load_genk(t, cloud, dir.file("g.tbl"));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.lines.at(1), "g_tbl size: 16 MB");
    EXPECT_EQ(r.lines.size(), 2u + 1u + 5u);  // progress at 0, 1000, 2000, 3000, 4000
}

TEST(GenkTable, RefusedTablesLeaveSizesAndEarlierTable) {
    ScratchDir dir;
    CloudGrid cloud = coarse_cloud(2, 2, 1);
    GenkTable t;

    Loaded r = load_genk(t, cloud, dir.file("missing.tbl"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.lines, std::vector<std::string>{"can't open the file: " + dir.file("missing.tbl") + "."});

    write_binary_file(dir.file("good.tbl"), genk_file(2, 2, 1, 16));
    ASSERT_TRUE(load_genk(t, cloud, dir.file("good.tbl")).ok);

    // Other sizes than the cloud's coarse grid, even with the same cell count.
    write_binary_file(dir.file("other.tbl"), genk_file(4, 1, 1, 16));
    r = load_genk(t, cloud, dir.file("other.tbl"));
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_EQ(r.lines[0], "genk_tbl: 4 x 1 x 1");
    EXPECT_NE(r.lines[1].find("table not used"), std::string::npos);
    EXPECT_EQ(cloud.dcl_numx, 2);
    EXPECT_EQ(cloud.dcl_numy, 2);

    // Short rows, non-positive sizes, a header cut short, and a size whose square would not fit.
    write_binary_file(dir.file("short.tbl"), genk_file(2, 2, 1, 15));
    write_binary_file(dir.file("zero.tbl"), genk_file(2, 0, 1, 0));
    write_binary_file(dir.file("header.tbl"), {1, 0, 0, 0, 2});
    write_binary_file(dir.file("huge.tbl"), genk_file(65536, 65536, 1, 0));
    // Found by fuzzing: sizes whose product leaves 64 bits, negative or positive.
    write_binary_file(dir.file("negative.tbl"), genk_file(-16777212, -5675211, -264202, 0));
    write_binary_file(dir.file("vast.tbl"), genk_file(INT32_MAX, INT32_MAX, INT32_MAX, 0));
    for (const char* name : {"short.tbl", "zero.tbl", "header.tbl", "huge.tbl", "negative.tbl", "vast.tbl"}) {
        r = load_genk(t, cloud, dir.file(name));
        EXPECT_FALSE(r.ok) << name;
        ASSERT_FALSE(r.lines.empty()) << name;
        EXPECT_NE(r.lines.back().find("table not used"), std::string::npos) << name;
    }
    EXPECT_EQ(t.m, 4);
    EXPECT_EQ(genk_byte(t, 3, 3), 15);
    EXPECT_EQ(cloud.dcl_numx * cloud.dcl_numy * cloud.dcl_numz, 4);
}

TEST(GenkTable, SecondLoadMustMatchTheFirst) {
    ScratchDir dir;
    CloudGrid cloud;  // no cloud: only the earlier load is there to compare with
    GenkTable t;
    write_binary_file(dir.file("a.tbl"), genk_file(2, 1, 1, 4));
    write_binary_file(dir.file("b.tbl"), genk_file(3, 1, 1, 9));
    ASSERT_TRUE(load_genk(t, cloud, dir.file("a.tbl")).ok);
    cloud = CloudGrid{};
    EXPECT_FALSE(load_genk(t, cloud, dir.file("b.tbl")).ok);
    EXPECT_EQ(t.m, 2);
    EXPECT_EQ(cloud.dcl_numx, 0);
}

TEST(BaseIntensity, LoadsSparseRecordsAndReportsSizes) {
    ScratchDir dir;
    write_binary_file(dir.file("b.dat"), base_file(2));
    const CloudGrid cloud = coarse_cloud(2, 1, 1);
    BaseIntensityTable t;
    IlluminationWork w;
    const Loaded r = load_base(t, w, cloud, dir.file("b.dat"));
    ASSERT_TRUE(r.ok);
    const std::vector<std::string> want = {"1, 1, 1, 1", "Reading base intensity data..",
                                           "   size: 0 [MB] / 0 [MB]"};
    EXPECT_EQ(r.lines, want);
    EXPECT_TRUE(t.loaded);
    EXPECT_EQ(t.cell_count, 1);
    EXPECT_EQ(t.coarse_count, 2);
    ASSERT_EQ(t.start.size(), static_cast<size_t>(kDirCount) + 1);
    // The empty record of direction 3 consumed its 8 bytes and listed nothing.
    EXPECT_EQ(t.start[4] - t.start[3], 0);
    EXPECT_EQ(t.trailing[3], 7.0f);
    EXPECT_EQ(t.index.size(), static_cast<size_t>(kDirCount - 1));
    EXPECT_EQ(t.index[static_cast<size_t>(t.start[5])], 1);
    EXPECT_EQ(t.value[static_cast<size_t>(t.start[5])], 6.0f);
    EXPECT_EQ(t.value[static_cast<size_t>(t.start[25])], 26.0f);
    EXPECT_EQ(w.dcl_work[0].size(), 2u);
    EXPECT_EQ(w.dcl_work[2].size(), 2u);
}

TEST(BaseIntensity, SizeFiguresAreWholeMebibytesWithoutOverflow) {
    ScratchDir dir;
    // 20 x 20 x 300 lightning cells over 4096 coarse cells: the dense size, 120000 * 26 * (8 * 4096 + 4)
    // bytes, is about 97 GiB and does not fit 32 bits.
    std::vector<uint8_t> out;
    put_i32(out, 120000);
    put_i32(out, 4096);
    put_i32(out, kDirCount);
    for (int64_t r = 0; r < 120000LL * kDirCount; ++r) put_record(out, {}, {}, 0.0f);
    write_binary_file(dir.file("big.dat"), out);
    const CloudGrid cloud = coarse_cloud(16, 16, 16);
    BaseIntensityTable t;
    IlluminationWork w;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(load_base_intensity(t, w, cloud, 20, 20, 300, dir.file("big.dat")));
    const std::vector<std::string> lines = split_lines(testing::internal::GetCapturedStdout());
    const int64_t full = 12 + 120000LL * (8 * 4096 + 4) * kDirCount;
    const int64_t stored = 12 + 120000LL * kDirCount * 4;
    EXPECT_EQ(lines.back(), "   size: " + std::to_string(stored / 1024 / 1024) + " [MB] / " +
                                std::to_string(full / 1024 / 1024) + " [MB]");
}

TEST(BaseIntensity, HeaderForOtherSizesIsRejected) {
    ScratchDir dir;
    const CloudGrid cloud = coarse_cloud(2, 1, 1);
    BaseIntensityTable t;
    IlluminationWork w;

    std::vector<uint8_t> bad_first = base_file(2);
    bad_first[0] = 2;
    write_binary_file(dir.file("first.dat"), bad_first);
    Loaded r = load_base(t, w, cloud, dir.file("first.dat"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"1, 1, 1, 1", "different base intensity!"}));

    std::vector<uint8_t> bad_third = base_file(2);
    bad_third[8] = 27;
    write_binary_file(dir.file("third.dat"), bad_third);
    r = load_base(t, w, cloud, dir.file("third.dat"));
    EXPECT_EQ(r.lines, (std::vector<std::string>{"1, 1, 1, 1", "different base intensity!"}));

    // The same file against a cloud of three coarse cells: the second value disagrees.
    write_binary_file(dir.file("good.dat"), base_file(2));
    r = load_base(t, w, coarse_cloud(3, 1, 1), dir.file("good.dat"));
    EXPECT_EQ(r.lines.back(), "different base intensity!");

    // A lightning grid without layers never matches, even when the file claims a matching count.
    std::vector<uint8_t> negative = base_file(2);
    negative[0] = 0xff;
    negative[1] = 0xff;
    negative[2] = 0xff;
    negative[3] = 0xff;  // -1 cells, as 1 x 1 x -1 would give
    write_binary_file(dir.file("neg.dat"), negative);
    r = load_base(t, w, cloud, dir.file("neg.dat"), -1);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(t.loaded);
    EXPECT_EQ(r.lines.front(), "-1, 1, 1, -1");

    r = load_base(t, w, cloud, dir.file("none.dat"));
    EXPECT_EQ(r.lines, std::vector<std::string>{"can't open the file: " + dir.file("none.dat") + "."});
}

TEST(BaseIntensity, DamagedFilesAreRejectedWhole) {
    ScratchDir dir;
    const CloudGrid cloud = coarse_cloud(2, 1, 1);
    const std::vector<uint8_t> good = base_file(2);
    // Record of direction 0 starts at byte 12: count, one position, two floats.
    std::vector<uint8_t> negative_count = good;
    negative_count[12 + 3] = 0x80;
    std::vector<uint8_t> bad_position = good;
    bad_position[16] = 2;  // position 2 with two coarse cells
    std::vector<uint8_t> huge_count = good;
    huge_count[12 + 3] = 0x7f;
    const std::vector<uint8_t> truncated(good.begin(), good.end() - 3);
    const std::vector<uint8_t> no_records(good.begin(), good.begin() + 12);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {{"negative_count", negative_count},
                 {"bad_position", bad_position},
                 {"huge_count", huge_count},
                 {"truncated", truncated},
                 {"no_records", no_records}};
    for (const auto& c : cases) {
        const std::string path = dir.file(c.name);
        write_binary_file(path, c.bytes);
        BaseIntensityTable t;
        IlluminationWork w;
        const Loaded r = load_base(t, w, cloud, path);
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_FALSE(t.loaded) << c.name;
        EXPECT_TRUE(t.index.empty()) << c.name;
        ASSERT_EQ(r.lines.size(), 3u) << c.name;
        EXPECT_NE(r.lines[2].find(path), std::string::npos) << c.name;
        EXPECT_NE(r.lines[2].find("no lightning light"), std::string::npos) << c.name;
    }
}

TEST(BaseIntensity, FileTooShortForItsRecordsIsRefusedBeforeSizingThem) {
    // A large lightning grid whose header matches but whose records are missing: the
    // per-record arrays (26 * 10^8 records here) must not be sized from the grid alone.
    ScratchDir dir;
    std::vector<uint8_t> bytes;
    put_i32(bytes, 100000000);
    put_i32(bytes, 4);
    put_i32(bytes, kDirCount);
    put_i32(bytes, 0);
    write_binary_file(dir.file("b.dat"), bytes);
    CloudGrid cloud = coarse_cloud(2, 2, 1);
    BaseIntensityTable t;
    IlluminationWork w;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(load_base_intensity(t, w, cloud, 1000, 1000, 100, dir.file("b.dat")));
    const std::vector<std::string> lines = split_lines(testing::internal::GetCapturedStdout());
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("4 bytes cannot hold 2600000000 records"), std::string::npos) << lines.back();
    EXPECT_FALSE(t.loaded);
    EXPECT_TRUE(t.start.empty());
}
