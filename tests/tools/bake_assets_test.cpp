// bake_assets_test.cpp -- the bake's command line, storm cloud, sounds and image files
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "scene/bmp.h"
#include "scene/cloud.h"
#include "sound/wave.h"
#include "test_support.h"
#include "tools/bake/bake_options.h"
#include "tools/bake/demo/storm_cloud.h"
#include "tools/bake/demo/town.h"
#include "tools/bake/sounds.h"

TEST(BakeOptions, DefaultsAndValues) {
    BakeOptions o;
    ASSERT_EQ(parse_bake_options({"out"}, o), "");
    EXPECT_EQ(o.out_dir, "out");
    EXPECT_EQ(o.grid_nx, 128);
    EXPECT_EQ(o.grid_nz, 64);
    EXPECT_EQ(o.dscl, 4);
    EXPECT_TRUE(o.sky_dome);
    EXPECT_FALSE(o.tables_only);
    EXPECT_EQ(o.scattering, Scattering::kMultiple);
    EXPECT_EQ(o.paths, kDefaultPaths);
    BakeOptions p;
    ASSERT_EQ(
        parse_bake_options(
            {"-grid", "256", "256", "128", "-dscl", "16", "-seed", "7", "-coeffs", "32", "dir", "-night"}, p),
        "");
    EXPECT_EQ(p.grid_nx, 256);
    EXPECT_EQ(p.grid_nz, 128);
    EXPECT_EQ(p.dscl, 16);
    EXPECT_EQ(p.seed, 7u);
    EXPECT_EQ(p.coeffs, 32);
    EXPECT_FALSE(p.sky_dome);
    BakeOptions t;
    ASSERT_EQ(parse_bake_options({"-tables", "scene", "-f", "more.dat", "-paths", "64", "-scattering",
                                  "single", "-cells", "3,10-12,7"},
                                 t),
              "");
    EXPECT_TRUE(t.tables_only);
    EXPECT_EQ(t.out_dir, "scene");
    EXPECT_EQ(t.scene_file, "more.dat");
    EXPECT_EQ(t.paths, 64);
    EXPECT_EQ(t.scattering, Scattering::kSingle);
    EXPECT_EQ(t.cells, (CellRanges{{3, 3}, {10, 12}, {7, 7}}));
    BakeOptions h;
    EXPECT_EQ(parse_bake_options({"-help"}, h), "");
    EXPECT_TRUE(h.help);
}

TEST(BakeOptions, RefusesWhatTheViewerCannotUse) {
    auto error = [](std::vector<std::string> args) {
        BakeOptions o;
        return parse_bake_options(args, o);
    };
    EXPECT_NE(error({}), "");                                              // no folder
    EXPECT_NE(error({"a", "b"}), "");                                      // two folders
    EXPECT_NE(error({"a", "-frobnicate"}), "");                            // unknown option
    EXPECT_NE(error({"a", "-dscl"}), "");                                  // value missing at the end
    EXPECT_NE(error({"a", "-seed", "x1"}), "");                            // not a number
    EXPECT_NE(error({"a", "-dscl", "3", "-grid", "24", "24", "12"}), "");  // odd dscl
    EXPECT_NE(error({"a", "-grid", "96", "128", "64"}), "");               // 96 / 8 = 12 is no power of two
    EXPECT_NE(error({"a", "-grid", "100", "128", "64"}), "");              // not a multiple of dscl
    EXPECT_NE(error({"-tables", "a", "-grid", "16", "16", "8"}), "");      // a demo option with -tables
    EXPECT_NE(error({"a", "-f", "x.dat"}), "");                            // -f without -tables
    EXPECT_NE(error({"-tables"}), "");                                     // no scene folder
    EXPECT_NE(error({"a", "-paths", "0"}), "");
    EXPECT_NE(error({"a", "-scattering", "double"}), "");
    for (const char* cells : {"", "5-2", "1,,2", "x", "-3", "4-"})
        EXPECT_NE(error({"a", "-cells", cells}), "") << cells;
    // 64 x 64 x 32 coarse cells: the attenuation table is left out, the bake goes on.
    EXPECT_EQ(error({"a", "-grid", "512", "512", "256", "-dscl", "8"}), "");
    EXPECT_EQ(error({"a", "-grid", "96", "96", "48", "-dscl", "6"}), "");
}

TEST(StormCloud, SameSeedSameBytesAndAStormShape) {
    const CloudBytes a = make_storm_cloud(64, 64, 32, 3, 2);
    const CloudBytes b = make_storm_cloud(64, 64, 32, 3, 1);
    EXPECT_EQ(a.bytes, b.bytes);  // thread count does not change the result
    EXPECT_NE(make_storm_cloud(64, 64, 32, 4, 2).bytes, a.bytes);
    auto layer_cells = [&](int k) {
        int n = 0;
        for (int j = 0; j < 64; ++j)
            for (int i = 0; i < 64; ++i) n += a.bytes[(static_cast<size_t>(k) * 64 + j) * 64 + i] > 10;
        return n;
    };
    // The base is level with the grid's floor, where strikes start: the columns with cloud in the lower
    // part of the tower have it down to the floor layer or the one above (all but a few where the tower's
    // ragged side begins), so a strike picked under the cloud starts inside it.
    EXPECT_GT(layer_cells(0), 400);
    int columns = 0, reaching = 0;
    for (int j = 0; j < 64; ++j) {
        for (int i = 0; i < 64; ++i) {
            int lowest = -1;
            for (int k = 0; k < 8 && lowest < 0; ++k)
                if (a.bytes[(static_cast<size_t>(k) * 64 + j) * 64 + i] > 10) lowest = k;
            if (lowest < 0) continue;
            ++columns;
            reaching += lowest <= 1;
        }
    }
    EXPECT_GT(columns, 400);
    EXPECT_GE(reaching, columns * 90 / 100) << reaching << " of " << columns;
    EXPECT_EQ(layer_cells(31), 0);  // flat top below the grid's top
    int anvil = 0;
    for (int k = 20; k < 28; ++k) anvil = std::max(anvil, layer_cells(k));
    EXPECT_GT(anvil, 2 * layer_cells(12));  // the anvil spreads wider than the tower
    // Nothing touches the side walls, so the viewer's box holds the whole storm.
    for (int k = 0; k < 32; ++k) {
        for (int j = 0; j < 64; ++j) {
            EXPECT_EQ(a.bytes[(static_cast<size_t>(k) * 64 + j) * 64 + 0], 0);
            EXPECT_EQ(a.bytes[(static_cast<size_t>(k) * 64 + j) * 64 + 63], 0);
        }
    }
}

TEST(StormCloud, GridFileReadsBack) {
    const CloudBytes a = make_storm_cloud(8, 4, 2, 1, 1);
    ScratchDir dir;
    write_binary_file(dir.file("c.grd"), grid_file_bytes(a));
    CloudGrid g;
    ASSERT_EQ(read_grid_file(dir.file("c.grd"), g), 1);
    EXPECT_EQ(g.grd_numx, 8);
    EXPECT_EQ(g.grd_numy, 4);
    EXPECT_EQ(g.grd_numz, 2);
    EXPECT_EQ(g.grd_byte_scale, kCloudByteScale);
    EXPECT_EQ(g.grd_bytes, a.bytes);
}

TEST(Sounds, ThunderCracksThenRumbles) {
    const std::vector<int16_t> t = synthesise_thunder(8.0, 2);
    ASSERT_EQ(t.size(), 8u * 16000u);
    EXPECT_EQ(t, synthesise_thunder(8.0, 2));
    int peak_at = 0;
    for (size_t i = 0; i < t.size(); ++i)
        if (std::abs(t[i]) > std::abs(t[static_cast<size_t>(peak_at)])) peak_at = static_cast<int>(i);
    EXPECT_EQ(std::abs(t[static_cast<size_t>(peak_at)]), 29490);  // 90 % of full scale
    EXPECT_LT(peak_at, 16000 / 2);                                // the crack comes first
    auto rms = [&](double from, double to) {
        double s = 0;
        const size_t a = static_cast<size_t>(from * 16000), b = static_cast<size_t>(to * 16000);
        for (size_t i = a; i < b; ++i) s += static_cast<double>(t[i]) * t[i];
        return std::sqrt(s / static_cast<double>(b - a));
    };
    EXPECT_GT(rms(1.0, 4.0), 1000.0);             // a long rumble, well audible
    EXPECT_GT(rms(0.0, 0.2), rms(6.0, 8.0) * 3);  // dying away
    EXPECT_EQ(t.back(), 0);
}

TEST(Sounds, RainLoopsWithoutASeam) {
    const std::vector<int16_t> r = synthesise_rain(6.0, 2);
    ASSERT_EQ(r.size(), 6u * 16000u);
    // The jump from the last sample to the first is no larger than the usual step.
    double mean_step = 0;
    for (size_t i = 1; i < r.size(); ++i) mean_step += std::abs(r[i] - r[i - 1]);
    mean_step /= static_cast<double>(r.size() - 1);
    EXPECT_LT(std::abs(r.front() - r.back()), 4 * mean_step);
    ScratchDir dir;
    write_binary_file(dir.file("rain.wav"), wave_file_bytes(r));
    WaveReader reader;
    Sound s;
    s.gain = 1.0f;
    ASSERT_EQ(load_sound(dir.file("rain.wav").c_str(), s, reader), 6 * 16000);
    EXPECT_EQ(reader.format.channels, 1);
    EXPECT_EQ(reader.format.sample_rate, 16000);
    EXPECT_EQ(reader.format.bits_per_sample, 16);
    EXPECT_FLOAT_EQ(s.samples[100], static_cast<float>(r[100]) / 32767.0f);
}

TEST(TownFiles, BmpReadsBackWithPaddedRows) {
    // 3 pixels wide: 9 bytes a row, padded to 12 in the file.
    std::vector<uint8_t> rgb;
    for (int i = 0; i < 6; ++i) {
        rgb.push_back(static_cast<uint8_t>(10 * i));
        rgb.push_back(static_cast<uint8_t>(10 * i + 1));
        rgb.push_back(static_cast<uint8_t>(10 * i + 2));
    }
    const std::vector<uint8_t> file = bmp_file_bytes(3, 2, rgb);
    EXPECT_EQ(file.size(), 54u + 24u);
    EXPECT_EQ(file[54], 2);  // first pixel stored B, G, R
    ScratchDir dir;
    write_binary_file(dir.file("t.bmp"), file);
    BmpImage img;
    read_bmp(img, dir.file("t.bmp"));
    EXPECT_EQ(img.width, 3);
    EXPECT_EQ(img.height, 2);
    EXPECT_EQ(img.pixels, rgb);
}
