// options_test.cpp -- command-line parsing and the colour file
#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fatal.h"
#include "test_support.h"

namespace {

// Runs parse_options over the words (argv[0] is added) and returns the genk names seen.
std::vector<std::string> parse(std::vector<std::string> words, Options& o) {
    words.insert(words.begin(), "vintrel");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    std::vector<std::string> genk;
    parse_options(static_cast<int>(argv.size()), argv.data(), o,
                  [&](const std::string& name) { genk.push_back(name); });
    return genk;
}

}  // namespace

TEST(Options, SysoutAndGenkTableActInTheOrderOfTheOptions) {
    std::vector<std::string> words = {"vintrel",   "-genk_tbl", "a.tbl",  "-sysout",
                                      "-genk_tbl", "b.tbl",     "-sysout"};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    std::vector<std::string> seen;
    Options o;
    parse_options(
        static_cast<int>(argv.size()), argv.data(), o, [&](const std::string& name) { seen.push_back(name); },
        [&] { seen.push_back("sysout"); });
    EXPECT_EQ(seen, (std::vector<std::string>{"a.tbl", "sysout", "b.tbl", "sysout"}));
}

TEST(Options, DefaultsWithoutArguments) {
    Options o;
    parse({}, o);
    EXPECT_EQ(o.win_width, 480);
    EXPECT_EQ(o.win_height, 480);
    EXPECT_FLOAT_EQ(o.time_step, 0.033f);
    EXPECT_EQ(o.key_interval, 30);
    EXPECT_TRUE(o.scene_file.empty());
    EXPECT_EQ(o.audio_target, "default");
    EXPECT_EQ(o.frames, 0);
}

TEST(Options, EveryOptionAndStrayWords) {
    Options o;
    auto genk = parse({"stray",
                       "-win",
                       "640",
                       "360",
                       "-f",
                       "second.dat",
                       "-time_step",
                       "0.1",
                       "-key_interval",
                       "12",
                       "-sysout",
                       "-col",
                       "colours.txt",
                       "-genk_tbl",
                       "a.tbl",
                       "-frames",
                       "5",
                       "-strike",
                       "10",
                       "20",
                       "-strike",
                       "30",
                       "40",
                       "-snapshot",
                       "out/f",
                       "-audio",
                       "x.wav",
                       "-fps",
                       "25",
                       "-strike_gap",
                       "7",
                       "-memory_every",
                       "100",
                       "-F",
                       "-genk_tbl",
                       "b.tbl"},
                      o);
    EXPECT_EQ(o.win_width, 640);
    EXPECT_EQ(o.win_height, 360);
    EXPECT_EQ(o.scene_file, "second.dat");
    EXPECT_FLOAT_EQ(o.time_step, 0.1f);
    EXPECT_EQ(o.key_interval, 12);
    EXPECT_TRUE(o.want_sysout);
    EXPECT_EQ(o.colour_file, "colours.txt");
    EXPECT_EQ(genk, (std::vector<std::string>{"a.tbl", "b.tbl"}));
    EXPECT_EQ(o.frames, 5);
    ASSERT_EQ(o.strikes.size(), 2u);
    EXPECT_EQ(o.strikes[1].x, 30);
    EXPECT_EQ(o.strikes[1].y, 40);
    EXPECT_EQ(o.snapshot_prefix, "out/f");
    EXPECT_EQ(o.audio_target, "x.wav");
    EXPECT_EQ(o.fps, 25);
    EXPECT_EQ(o.strike_gap, 7);
    EXPECT_EQ(o.memory_every, 100);
}

TEST(Options, ValueThatDoesNotScanKeepsThePreviousValue) {
    Options o;
    parse({"-win", "abc", "300", "-time_step", "fast"}, o);
    EXPECT_EQ(o.win_width, 480);
    EXPECT_EQ(o.win_height, 300);
    EXPECT_FLOAT_EQ(o.time_step, 0.033f);
}

TEST(Options, BadScriptedValueIsOneLineAndFatal) {
    ThrowOnFatal guard;
    const std::vector<std::vector<std::string>> bad = {{"-frames", "abc"},        {"-frames", "-3"},
                                                       {"-frames", "0"},          {"-frames", "12x"},
                                                       {"-frames", ""},           {"-frames", "99999999999"},
                                                       {"-strike", "1", "y"},     {"-strike", "-1", "5"},
                                                       {"-strike_gap", "-1"},     {"-fps", "0"},
                                                       {"-fps", "2.5"},           {"-memory_every", "0"},
                                                       {"-memory_every", "many"}, {"-splats", "gpu"}};
    for (const auto& words : bad) {
        Options o;
        testing::internal::CaptureStderr();
        EXPECT_THROW(parse(words, o), FatalInputError) << words[0] << " " << words[1];
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("vintrel: option " + words[0] + " ", 0), 0u) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
    // The edges of each range are taken.
    Options o;
    parse({"-frames", "1", "-strike", "0", "65535", "-strike_gap", "0", "-fps", "1000", "-memory_every", "1"},
          o);
    EXPECT_EQ(o.frames, 1);
    EXPECT_EQ(o.strikes.at(0).y, 65535);
    EXPECT_EQ(o.fps, 1000);
}

TEST(Options, MissingValueIsFatal) {
    ThrowOnFatal guard;
    for (const char* opt : {"-f", "-genk_tbl", "-time_step", "-key_interval", "-col", "-frames", "-snapshot",
                            "-audio", "-fps", "-strike_gap", "-memory_every", "-splats"}) {
        Options o;
        testing::internal::CaptureStderr();
        EXPECT_THROW(parse({opt}, o), FatalInputError) << opt;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(opt), std::string::npos) << err;
    }
    Options o;
    testing::internal::CaptureStderr();
    EXPECT_THROW(parse({"-win", "640"}, o), FatalInputError);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("-win"), std::string::npos);
    testing::internal::CaptureStderr();
    EXPECT_THROW(parse({"-strike", "1"}, o), FatalInputError);
    testing::internal::GetCapturedStderr();
}

TEST(ColourTable, ReadsEntriesScaledToOne) {
    ScratchDir dir;
    write_text_file(dir.file("c.txt"), "2\n255 0 51\n0 255 102\n");
    ColourTable t;
    load_colour_table(t, dir.file("c.txt"));
    ASSERT_EQ(t.colour_table.size(), 2u);
    EXPECT_FLOAT_EQ(t.colour_table[0].x, 1.0f);
    EXPECT_FLOAT_EQ(t.colour_table[0].z, 0.2f);
    EXPECT_FLOAT_EQ(t.colour_table[1].y, 1.0f);
    EXPECT_FLOAT_EQ(t.colour_table[1].z, 0.4f);
}

TEST(ColourTable, MissingOrDamagedFileKeepsTheTable) {
    ScratchDir dir;
    ColourTable t;
    t.colour_table.push_back(Vec3{1, 1, 1});
    testing::internal::CaptureStdout();
    load_colour_table(t, dir.file("none.txt"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "cannot open color file: " + dir.file("none.txt") + "\n");
    EXPECT_EQ(t.colour_table.size(), 1u);

    write_text_file(dir.file("neg.txt"), "-5\n");
    testing::internal::CaptureStdout();
    load_colour_table(t, dir.file("neg.txt"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(t.colour_table.size(), 1u);

    // A short file keeps what it has and leaves the rest black.
    write_text_file(dir.file("short.txt"), "3\n255 255 255\n");
    testing::internal::CaptureStdout();
    load_colour_table(t, dir.file("short.txt"));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(t.colour_table.size(), 3u);
    EXPECT_FLOAT_EQ(t.colour_table[0].x, 1.0f);
    EXPECT_FLOAT_EQ(t.colour_table[2].x, 0.0f);
}
