// ambient_light_test.cpp -- reading the ambient table, filling the cloud's edge, refusing damaged files
#include "illumination/ambient_light.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

// A cloud of two coarse cells, the second empty: a good table loads and the empty cell takes its
// neighbour's light, as the relight fills it; a missing table is no error; a damaged or foreign one is
// refused whole, with the file's name and what is wrong, and leaves no ambient light.
TEST(AmbientLight, LoadsFillsTheEdgeAndRefusesDamagedFiles) {
    ScratchDir dir;
    CloudGrid cloud;
    cloud.grd_numx = cloud.dcl_numx = 2;
    cloud.grd_numy = cloud.grd_numz = cloud.dcl_numy = cloud.dcl_numz = cloud.dscl = 1;
    cloud.optical = {1.0f, 0.9f, 0.5f};
    cloud.grd_density = {1.0f, 0.0f};
    std::vector<Vec3> light(2 * kDirCount);
    for (int d = 0; d < kDirCount; ++d) light[static_cast<size_t>(d)] = Vec3{0.5f * d, 1.0f, 2.0f + d};
    const std::vector<uint8_t> good = ambient_file_bytes(2, 1, 1, light);
    auto load = [&](const std::vector<uint8_t>& bytes, AmbientLight& a) {
        write_binary_file(dir.file("a.dat"), bytes);
        testing::internal::CaptureStdout();
        load_ambient_light(a, cloud, dir.file("a.dat"));
        return testing::internal::GetCapturedStdout();
    };
    AmbientLight a;
    load(good, a);
    ASSERT_TRUE(a.loaded);
    ASSERT_EQ(a.dir_light.size(), light.size());
    EXPECT_EQ(a.dir_light[7].z, 9.0f);
    EXPECT_EQ(a.dir_light[kDirCount + 7].x, 3.5f);
    EXPECT_EQ(a.dir_light[kDirCount + 7].z, 9.0f);

    testing::internal::CaptureStdout();
    EXPECT_FALSE(load_ambient_light(a, cloud, dir.file("none.dat")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(a.loaded);

    std::vector<uint8_t> negative = good, magic = good, version = good, longer = good;
    const float minus = -1.0f;
    std::memcpy(negative.data() + 24 + 40, &minus, 4);
    magic[0] = 'X';
    version[4] = 9;
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
        AmbientLight bad;
        bad.loaded = true;
        const std::string out = load(c.bytes, bad);
        EXPECT_FALSE(bad.loaded) << c.why;
        EXPECT_TRUE(bad.dir_light.empty()) << c.why;
        EXPECT_NE(out.find(dir.file("a.dat") + ": ambient table"), std::string::npos) << out;
        EXPECT_NE(out.find(c.why), std::string::npos) << out;
        EXPECT_NE(out.find("no sun or sky light"), std::string::npos) << out;
    }
}
