// frame_info_test.cpp -- the frame rate of the "i" overlay and its line
#include "app/frame_info.h"

#include <gtest/gtest.h>

TEST(FrameInfo, RateOfTheLastBurstOfFrames) {
    FrameClock c;
    EXPECT_EQ(frames_per_second(c), 0.0);
    note_frame(c, 10.0);
    EXPECT_EQ(frames_per_second(c), 0.0) << "one frame has no rate";
    // 40 frames at 25 per second: only the last kFrameClockSize count, and they still give 25.
    for (int i = 1; i <= 40; ++i) note_frame(c, 10.0 + i * 0.04);
    EXPECT_EQ(c.count, kFrameClockSize);
    EXPECT_NEAR(frames_per_second(c), 25.0, 1e-6);
    // After a rest, a new burst at 5 per second is not averaged with the old one.
    note_frame(c, 30.0);
    note_frame(c, 30.2);
    note_frame(c, 30.4);
    EXPECT_EQ(c.count, 3);
    EXPECT_NEAR(frames_per_second(c), 5.0, 1e-6);
    EXPECT_EQ(frame_info_line(5.0, 12.34, 167560), "5.0 fps   relight 12.3 ms   167560 splats");
    EXPECT_EQ(frame_info_line(0.0, 0.0, 0), "-- fps   relight 0.0 ms   0 splats");
}
