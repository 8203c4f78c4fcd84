// sp_util_test.cpp -- exit callbacks, debug filter, rounding and checked allocation
#include "support/sp_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<int> call_order;

void record_callback(void* data) { call_order.push_back(*static_cast<int*>(data)); }

// Writes its tag to standard error so a death test can see the order of the calls.
void print_callback(void* data) { std::fprintf(stderr, "[%s]", static_cast<const char*>(data)); }

struct SpUtilTest : ::testing::Test {
    void SetUp() override {
        reset_sp_util();
        call_order.clear();
    }
    void TearDown() override { reset_sp_util(); }
};

}  // namespace

TEST_F(SpUtilTest, CallbackListGrowsBySixteenAndLeavesHoles) {
    EXPECT_EQ(sp_util_state.callbacks, nullptr);
    EXPECT_EQ(spAddExitCallback(nullptr, nullptr), 0);
    EXPECT_EQ(spRemoveExitCallback(record_callback, nullptr), 0);  // no list yet

    static int tags[20];
    for (int i = 0; i < 15; ++i) ASSERT_EQ(spAddExitCallback(record_callback, &tags[i]), 1);
    EXPECT_EQ(sp_util_state.callback_capacity, 16);
    // The 16th registration finds count + 1 >= capacity and grows first.
    ASSERT_EQ(spAddExitCallback(record_callback, &tags[15]), 1);
    EXPECT_EQ(sp_util_state.callback_capacity, 32);
    EXPECT_EQ(sp_util_state.callback_count, 16);

    EXPECT_EQ(spRemoveExitCallback(record_callback, &tags[3]), 1);
    EXPECT_EQ(spRemoveExitCallback(record_callback, &tags[3]), 0);  // already emptied
    EXPECT_EQ(spRemoveExitCallback(record_callback, &tags[19]), 0);  // never registered
    EXPECT_EQ(spRemoveExitCallback(nullptr, &tags[4]), 0);
    EXPECT_EQ(sp_util_state.callbacks[3], nullptr);
    // A hole is never reused: the next registration still appends.
    ASSERT_EQ(spAddExitCallback(record_callback, &tags[16]), 1);
    EXPECT_EQ(sp_util_state.callback_count, 17);
    EXPECT_EQ(sp_util_state.callback_data[16], &tags[16]);
}

TEST_F(SpUtilTest, RemoveClearsOnlyTheFirstMatchingPair) {
    static int a = 1, b = 2;
    spAddExitCallback(record_callback, &a);
    spAddExitCallback(record_callback, &b);
    spAddExitCallback(record_callback, &a);
    EXPECT_EQ(spRemoveExitCallback(record_callback, &a), 1);
    EXPECT_EQ(sp_util_state.callbacks[0], nullptr);
    EXPECT_EQ(sp_util_state.callback_data[2], &a);
}

TEST_F(SpUtilTest, FatalExitRunsCallbacksNewestFirstSkippingHoles) {
    static char first[] = "first", second[] = "second", third[] = "third";
    EXPECT_EXIT(
        {
            spAddExitCallback(print_callback, first);
            spAddExitCallback(print_callback, second);
            spAddExitCallback(print_callback, third);
            spRemoveExitCallback(print_callback, second);
            spFatalExit(-1, "Can't malloc %d bytes\n", 12);
        },
        ::testing::ExitedWithCode(255), "^Can't malloc 12 bytes\n\\[third\\]\\[first\\]$");
}

TEST_F(SpUtilTest, DebugMessagesAreFilteredByLevelAndNamed) {
    ::testing::internal::CaptureStderr();
    spDebugMessage(0, "spInitAudio", "in\n");  // dropped at the default level -1
    sp_util_state.debug_level = 5;
    spDebugMessage(5, "spInitAudio", "in\n");
    spDebugMessage(6, "spInitAudio", "too deep\n");
    spDebugMessage(1, "", "channels = %d\n", 2);
    spDebugMessage(1, nullptr, "no newline");
    spErrorMessage("open error: %d\n", -2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "spInitAudio: in\nchannels = 2\nno newlineopen error: -2\n");
}

TEST_F(SpUtilTest, RoundIsHalfUp) {
    EXPECT_EQ(spRound(22050.4), 22050.0);
    EXPECT_EQ(spRound(22050.5), 22051.0);
    EXPECT_EQ(spRound(-0.5), 0.0);
    EXPECT_EQ(spRound(-1.5), -1.0);
}

TEST_F(SpUtilTest, AllocationTakesNonPositiveSizesAsOne) {
    void* block = xspMalloc(0);
    ASSERT_NE(block, nullptr);
    block = xspRealloc(block, -5);
    ASSERT_NE(block, nullptr);
    xspFree(block);
    void* fresh = xspRealloc(nullptr, 64);  // a missing block is allocated
    ASSERT_NE(fresh, nullptr);
    static_cast<char*>(fresh)[63] = 1;
    xspFree(fresh);
    xspFree(nullptr);
}
