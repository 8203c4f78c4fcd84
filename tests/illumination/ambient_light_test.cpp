// ambient_light_test.cpp -- reading the ambient table, filling the cloud's edge, refusing damaged files
#include "illumination/ambient_light.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// A cloud of 2 x 1 x 1 coarse cells (dscl 1): the first holds medium, the second is empty.
CloudGrid two_cells() {
    CloudGrid c;
    c.grd_numx = 2;
    c.grd_numy = c.grd_numz = 1;
    c.dscl = 1;
    c.dcl_numx = 2;
    c.dcl_numy = c.dcl_numz = 1;
    c.optical = {1.0f, 0.9f, 0.5f};
    c.grd_density = {1.0f, 0.0f};
    return c;
}

struct Loaded {
    bool ok;
    std::string out;
};

Loaded load(AmbientLight& a, const CloudGrid& cloud, const std::string& path) {
    testing::internal::CaptureStdout();
    const bool ok = load_ambient_light(a, cloud, path);
    return Loaded{ok, testing::internal::GetCapturedStdout()};
}

}  // namespace

// What the baker writes comes back value by value in the cloud's cells, and the empty cell next to the
// cloud takes its neighbour's light, as the relight fills it. A missing file is no error.
TEST(AmbientLight, RoundTripsAndFillsTheCloudsEdge) {
    ScratchDir dir;
    const CloudGrid cloud = two_cells();
    std::vector<Vec3> light(2 * kDirCount);
    for (int d = 0; d < kDirCount; ++d) light[static_cast<size_t>(d)] = Vec3{0.5f * d, 1.0f, 2.0f + d};
    write_binary_file(dir.file("a.dat"), ambient_file_bytes(2, 1, 1, light));
    AmbientLight a;
    const Loaded l = load(a, cloud, dir.file("a.dat"));
    ASSERT_TRUE(l.ok) << l.out;
    EXPECT_TRUE(a.loaded);
    ASSERT_EQ(a.dir_light.size(), light.size());
    for (int d = 0; d < kDirCount; ++d) {
        for (size_t c : {0u, 1u}) {
            const Vec3 v = a.dir_light[c * kDirCount + static_cast<size_t>(d)];
            EXPECT_EQ(v.x, 0.5f * d);
            EXPECT_EQ(v.z, 2.0f + d);
        }
    }
    const Loaded missing = load(a, cloud, dir.file("none.dat"));
    EXPECT_FALSE(missing.ok);
    EXPECT_FALSE(a.loaded);
    EXPECT_EQ(missing.out, "");
}

// A damaged file or one for another cloud is refused whole, with the file's name and what is wrong, and
// leaves no ambient light behind.
TEST(AmbientLight, RefusesDamagedAndForeignFiles) {
    ScratchDir dir;
    const CloudGrid cloud = two_cells();
    const std::vector<Vec3> light(2 * kDirCount, Vec3{1.0f, 1.0f, 1.0f});
    const std::vector<uint8_t> good = ambient_file_bytes(2, 1, 1, light);
    std::vector<uint8_t> negative = good;
    put_f32(negative, 0.0f);
    negative.resize(good.size());
    const float minus = -1.0f;
    std::memcpy(negative.data() + 24 + 40, &minus, 4);
    std::vector<uint8_t> magic = good;
    magic[0] = 'X';
    std::vector<uint8_t> version = good;
    version[4] = 9;
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    const struct {
        std::vector<uint8_t> bytes;
        const char* why;
    } cases[] = {
        {std::vector<uint8_t>(good.begin(), good.end() - 4), "short"},
        {std::vector<uint8_t>(good.begin(), good.begin() + 10), "ends inside its header"},
        {longer, "longer than its header says"},
        {ambient_file_bytes(1, 2, 1, light), "another coarse grid"},
        {magic, "not an ambient table"},
        {version, "unknown version"},
        {negative, "negative or non-finite"},
    };
    for (const auto& c : cases) {
        write_binary_file(dir.file("bad.dat"), c.bytes);
        AmbientLight a;
        a.loaded = true;
        const Loaded l = load(a, cloud, dir.file("bad.dat"));
        EXPECT_FALSE(l.ok) << c.why;
        EXPECT_FALSE(a.loaded) << c.why;
        EXPECT_TRUE(a.dir_light.empty()) << c.why;
        EXPECT_NE(l.out.find(dir.file("bad.dat") + ": ambient table"), std::string::npos) << l.out;
        EXPECT_NE(l.out.find(c.why), std::string::npos) << l.out;
        EXPECT_NE(l.out.find("no sun or sky light"), std::string::npos) << l.out;
    }
}
