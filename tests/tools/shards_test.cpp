// shards_test.cpp -- shares of a bake: every cell once, balanced work, trailers that survive a round trip
#include "tools/bake/table/shards.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "test_support.h"
#include "tools/bake/bake.h"

// Shares tile the cells for any share count, also where the counts do not divide and where there are
// more shares than cells; with many cells of bounded cost no share carries much more than its part.
TEST(Shards, SharesCoverEveryCellOnceAndBalanceTheWork) {
    std::mt19937 rng(7);
    for (int32_t cells : {1, 7, 100, 6000}) {
        std::vector<double> cost(static_cast<size_t>(cells));
        for (double& c : cost) c = 1.0 + 30.0 * std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        double total = 0.0;
        for (double c : cost) total += c;
        for (int32_t n = 1; n <= 64; ++n) {
            const std::vector<int32_t> b = share_bounds(cost, n);
            ASSERT_EQ(b.size(), static_cast<size_t>(n) + 1);
            ASSERT_EQ(b.front(), 0);
            ASSERT_EQ(b.back(), cells) << cells << " cells, " << n << " shares";
            for (int32_t i = 0; i < n; ++i) {
                ASSERT_LE(b[static_cast<size_t>(i)], b[static_cast<size_t>(i) + 1]) << cells << " / " << n;
                double share = 0.0;
                for (int32_t k = b[static_cast<size_t>(i)]; k < b[static_cast<size_t>(i) + 1]; ++k) {
                    share += cost[static_cast<size_t>(k)];
                }
                if (cells == 6000) {
                    EXPECT_LE(share, 1.15 * total / n) << n << " shares, share " << i;
                }
            }
        }
    }
    int32_t i = 0, n = 0;
    EXPECT_EQ(parse_shard("3/4", i, n), "");
    EXPECT_EQ(i, 3);
    EXPECT_EQ(n, 4);
    for (const char* bad : {"0/4", "5/4", "3", "3/", "/4", "a/b", "-1/4", "1/0"})
        EXPECT_NE(parse_shard(bad, i, n), "") << bad;

    ShardTrailer t;
    t.index = 2;
    t.count = 3;
    t.first = 10;
    t.end = 20;
    t.seed = 4000000000u;
    t.cells = 30;
    t.coarse = 256;
    t.dirs = 26;
    t.checksum = 0x0123456789ABCDEFull;
    std::vector<uint8_t> file(100, 7);
    t.table_bytes = file.size();
    const std::vector<uint8_t> trailer = shard_trailer_bytes(t);
    ASSERT_EQ(trailer.size(), kShardTrailerBytes);
    file.insert(file.end(), trailer.begin(), trailer.end());
    ShardTrailer back;
    ASSERT_TRUE(read_shard_trailer(file, back));
    EXPECT_EQ(back.seed, t.seed);
    EXPECT_EQ(back.checksum, t.checksum);
    EXPECT_EQ(back.end, 20);
    file.push_back(0);  // anything after the trailer: no longer a shard
    EXPECT_FALSE(read_shard_trailer(file, back));
}

// On the demo storm the expected work, pilot walks included, splits evenly over 2 to 64 machines.
TEST(Shards, DemoWorkSplitsEvenly) {
    ScratchDir dir;
    BakeOptions o;
    o.out_dir = dir.path;
    o.cells = {{0, 0}};
    o.quiet = true;
    BakeReport r;
    ASSERT_EQ(run_bake(o, r), "");
    Scene scene;
    ASSERT_EQ(read_scene_folder(dir.path, "", scene), "");
    const std::vector<double> cost = lightning_cell_costs(scene, table_options(o));
    ASSERT_EQ(static_cast<int32_t>(cost.size()), r.tables.lightning_cells);
    double total = 0.0, lo = cost[0], hi = cost[0];
    for (double c : cost) {
        total += c;
        lo = std::min(lo, c);
        hi = std::max(hi, c);
    }
    EXPECT_GT(hi, 3.0 * lo);  // cells inside the cloud cost far more than cells in clear air
    for (int32_t n : {2, 8, 64}) {
        const std::vector<int32_t> b = share_bounds(cost, n);
        for (int32_t i = 0; i < n; ++i) {
            double share = 0.0;
            for (int32_t k = b[static_cast<size_t>(i)]; k < b[static_cast<size_t>(i) + 1]; ++k) {
                share += cost[static_cast<size_t>(k)];
            }
            EXPECT_LE(share, 1.15 * total / n) << n << " shares, share " << i;
        }
    }
}
