// textures_test.cpp -- the BMP reader and the texture section's offset and gain
#include "scene/textures.h"

#include "gtest/gtest.h"
#include "scene/bmp.h"
#include "scene_files.h"
#include "support/fatal.h"
#include "test_support.h"

namespace {

// Pixels numbered so every byte tells where it came from: pixel p has (p, 100 + p, 200 + p) % 256.
std::vector<uint8_t> numbered_pixels(int count) {
    std::vector<uint8_t> rgb;
    for (int p = 0; p < count; ++p) {
        rgb.push_back(uint8_t(p));
        rgb.push_back(uint8_t(100 + p));
        rgb.push_back(uint8_t(200 + p));
    }
    return rgb;
}

TEST(Bmp, FileOrderBgrBecomesRgbAndTheRectangleIsSet) {
    ScratchDir dir;
    std::vector<uint8_t> rgb = numbered_pixels(8);
    rgb[0] = 30;
    rgb[1] = 20;
    rgb[2] = 10;  // written to the file as 10, 20, 30
    std::vector<uint8_t> file = bmp_bytes(4, 2, rgb);
    ASSERT_EQ(file[54], 10);
    write_binary_file(dir.file("a.bmp"), file);
    BmpImage image;
    read_bmp(image, dir.file("a.bmp"));
    EXPECT_EQ(image.width, 4);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.x1, 3);
    EXPECT_EQ(image.y1, 1);
    EXPECT_EQ(image.name, dir.file("a.bmp"));
    EXPECT_EQ(image.pixels, rgb);
}

TEST(Bmp, PaddedRowsOffsetPixelDataAndTopDownFiles) {
    ScratchDir dir;
    const std::vector<uint8_t> rgb = numbered_pixels(15);  // 5 x 3: rows of 15 bytes padded to 16
    BmpImage image;
    write_binary_file(dir.file("pad.bmp"), bmp_bytes(5, 3, rgb, 24, 0, 70));
    read_bmp(image, dir.file("pad.bmp"));
    EXPECT_EQ(image.pixels, rgb);

    // The same image reused for a smaller one: the record holds only the new pixels.
    write_binary_file(dir.file("small.bmp"), bmp_bytes(1, 1, {1, 2, 3}));
    read_bmp(image, dir.file("small.bmp"));
    EXPECT_EQ(image.pixels, (std::vector<uint8_t>{1, 2, 3}));

    // A negative height stores rows top first; the record still holds them bottom-up.
    std::vector<uint8_t> top_first = bmp_bytes(5, -3, rgb);
    write_binary_file(dir.file("down.bmp"), top_first);
    read_bmp(image, dir.file("down.bmp"));
    ASSERT_EQ(image.height, 3);
    EXPECT_EQ(std::vector<uint8_t>(image.pixels.begin(), image.pixels.begin() + 15),
              std::vector<uint8_t>(rgb.begin() + 30, rgb.end()));
}

TEST(Bmp, RejectsWhatItCannotRead) {
    ThrowOnFatal guard;
    ScratchDir dir;
    std::vector<uint8_t> not_bm = bmp_bytes(2, 2, numbered_pixels(4));
    not_bm[0] = 'P';
    std::vector<uint8_t> truncated = bmp_bytes(4, 4, numbered_pixels(16));
    truncated.resize(truncated.size() - 5);
    std::vector<uint8_t> header_only = bmp_bytes(2, 2, numbered_pixels(4));
    header_only.resize(30);
    std::vector<uint8_t> low_offset = bmp_bytes(2, 2, numbered_pixels(4));
    low_offset[10] = 20;
    struct Case {
        std::vector<uint8_t> bytes;
        const char* problem;
    };
    const Case cases[] = {
        {not_bm, "not a BMP file"},
        {bmp_bytes(2, 2, numbered_pixels(4), 32), "32 bits per pixel"},
        {bmp_bytes(2, 2, numbered_pixels(4), 24, 1), "compressed"},
        {truncated, "bytes of pixel data"},
        {header_only, "shorter than the 54 header bytes"},
        {bmp_bytes(0, 2, {}), "is outside 1 .."},
        {low_offset, "pixel data offset 20 is impossible"},
    };
    for (const Case& c : cases) {
        write_binary_file(dir.file("bad.bmp"), c.bytes);
        BmpImage image;
        testing::internal::CaptureStderr();
        EXPECT_THROW(read_bmp(image, dir.file("bad.bmp")), FatalInputError) << c.problem;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("bitmap " + dir.file("bad.bmp") + ": "), std::string::npos) << err;
        EXPECT_NE(err.find(c.problem), std::string::npos) << err;
    }
    testing::internal::CaptureStderr();
    BmpImage image;
    EXPECT_THROW(read_bmp(image, dir.file("none.bmp")), FatalInputError);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "can't open the file " + dir.file("none.bmp") + ".\n");
}

TEST(Texture, OffsetAndGainWithClampingAndAlphaFromRed) {
    BmpImage image;
    image.width = 3;
    image.height = 1;
    image.pixels = {100, 10, 200, 10, 100, 100, 255, 0, 21};
    Texture t;
    make_texture(image, 20, 2.0f, t);
    EXPECT_EQ(t.rgba, (std::vector<uint8_t>{160, 0, 255, 255, 0, 160, 160, 0, 255, 0, 2, 255}));
    make_texture(image, 300, 2.0f, t);
    EXPECT_EQ(t.rgba, (std::vector<uint8_t>(12, 0)));
    make_texture(image, 0, -1.0f, t);
    EXPECT_EQ(t.rgba, (std::vector<uint8_t>(12, 0)));
    make_texture(image, -10, 0.5f, t);  // (100 + 10) * 0.5
    EXPECT_EQ(t.rgba[0], 55);
}

TEST(TextureSection, ReadsEveryBitmapAndReplacesTheList) {
    ScratchDir dir;
    write_binary_file(dir.file("a.bmp"), bmp_bytes(2, 1, {100, 100, 100, 5, 5, 5}));
    write_binary_file(dir.file("b.bmp"), bmp_bytes(1, 1, {1, 2, 3}));
    Scene scene;
    std::string out = read_scene_text(
        dir, "texture 2\n" + dir.file("a.bmp") + " 20 2\n" + dir.file("b.bmp") + " 0 1\nend", scene);
    EXPECT_EQ(out, "  read bitmap: " + dir.file("a.bmp") + "\n  read bitmap: " + dir.file("b.bmp") + "\n");
    ASSERT_EQ(scene.textures.size(), 2u);
    EXPECT_EQ(scene.textures[0].width, 2);
    EXPECT_EQ(scene.textures[0].rgba, (std::vector<uint8_t>{160, 160, 160, 255, 0, 0, 0, 0}));
    EXPECT_EQ(scene.textures[1].rgba, (std::vector<uint8_t>{1, 2, 3, 255}));

    out = read_scene_text(dir, "texture 1\n" + dir.file("b.bmp") + " 0 1\ntexture -1\nend", scene);
    EXPECT_NE(out.find("texture count -1 is outside 0 .. 1024; texture section ignored"), std::string::npos);
    EXPECT_EQ(scene.textures.size(), 1u);
}

}  // namespace
