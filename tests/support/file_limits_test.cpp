// file_limits_test.cpp -- which files the readers open, what they may allocate, size products
#include "support/file_limits.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>

#include "test_support.h"

TEST(OpenInputFile, TakesRegularFilesOnly) {
    ScratchDir dir;
    write_text_file(dir.file("plain.txt"), "12345");
    FILE* f = open_input_file(dir.file("plain.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(remaining_bytes(f), 5);
    std::fgetc(f);
    EXPECT_EQ(remaining_bytes(f), 4);
    std::fclose(f);

    // A pipe would block the open itself, a device never ends, a folder reports sizes
    // that are not a file's: all are refused as if missing.
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    for (const std::string& name : {dir.file("pipe"), dir.file("folder"), std::string("/dev/zero"),
                                    std::string("/"), dir.file("missing")}) {
        EXPECT_EQ(open_input_file(name.c_str(), "r"), nullptr) << name;
    }
}

TEST(ReaderLimits, LoweredLimitRefusesLargerBlocks) {
    const uint64_t saved = reader_limits.memory_bytes;
    EXPECT_TRUE(fits_in_memory(uint64_t{1} << 20));
    EXPECT_FALSE(fits_in_memory(UINT64_MAX));
    reader_limits.memory_bytes = 1000;
    EXPECT_TRUE(fits_in_memory(1000));
    EXPECT_FALSE(fits_in_memory(1001));
    reader_limits.memory_bytes = saved;
}

TEST(SizeProduct, SaturatesInsteadOfOverflowing) {
    EXPECT_EQ(size_product(2, 3, 4), 24);
    EXPECT_EQ(size_product(0, INT32_MAX, INT32_MAX), 0);
    EXPECT_EQ(size_product(INT32_MAX, INT32_MAX, 1), int64_t{INT32_MAX} * INT32_MAX);
    EXPECT_EQ(size_product(INT32_MAX, INT32_MAX, INT32_MAX), INT64_MAX);
    EXPECT_EQ(size_product(16, 0x32323240, 0x32323232), INT64_MAX);
}
