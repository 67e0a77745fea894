#include <gtest/gtest.h>

#include <sstream>

#include "game/statistics.hpp"

TEST(FrameStatistics, PrintsOnceASecondHasAccumulatedAndStartsAgain)
{
    FrameStatistics s;
    std::ostringstream out;
    for (int i = 0; i < 3; ++i)
    {
        s.addTime(0.25);
        s.countFrame();
        EXPECT_FALSE(s.endSecond(out, true, 0, 0));
    }
    s.addTime(0.25); // exactly 1.0: the test is greater or equal
    s.countFrame();
    EXPECT_TRUE(s.endSecond(out, true, 8, 10));
    EXPECT_EQ(out.str(), "250 ms/frame (active tiles/frame:2, active patches/frame: 2.5\nFPS: 4\n");
    EXPECT_EQ(s.accumulated, 0.0);
    EXPECT_EQ(s.frames, 0);
}

TEST(FrameStatistics, ValuesUseTheStreamsDefaultFormat)
{
    FrameStatistics s;
    std::ostringstream out;
    for (int i = 0; i < 3; ++i)
    {
        s.addTime(0.4);
        s.countFrame();
    }
    EXPECT_TRUE(s.endSecond(out, true, 1, 2));
    EXPECT_EQ(out.str(), "400 ms/frame (active tiles/frame:0.333333, active patches/frame: 0.666667\nFPS: 2.5\n");
}

TEST(FrameStatistics, SilentSecondsStillReset)
{
    FrameStatistics s;
    std::ostringstream out;
    s.addTime(1.5);
    s.countFrame();
    EXPECT_TRUE(s.endSecond(out, false, 5, 5));
    EXPECT_EQ(out.str(), "");
    // the next printed second averages only its own frames
    s.addTime(0.5);
    s.countFrame();
    s.addTime(0.5);
    s.countFrame();
    EXPECT_TRUE(s.endSecond(out, true, 0, 0));
    EXPECT_EQ(out.str(), "500 ms/frame (active tiles/frame:0, active patches/frame: 0\nFPS: 2\n");
}

TEST(KeyLatch, HeldKeyActsOncePressAgainActsAgain)
{
    KeyLatch latch;
    int flips = 0;
    // held for five passes: one flip
    for (int pass = 0; pass < 5; ++pass)
    {
        flips += latch.trigger(true);
        latch.rearm(true);
    }
    EXPECT_EQ(flips, 1);
    // released for a pass, then pressed again
    flips += latch.trigger(false);
    latch.rearm(false);
    flips += latch.trigger(true);
    latch.rearm(true);
    EXPECT_EQ(flips, 2);
}

TEST(KeyLatch, StickyPressReleasedWithinOnePassStillActsOnce)
{
    // sticky keys: the first read after a short press says pressed, the next says released
    KeyLatch latch;
    EXPECT_TRUE(latch.trigger(true));
    latch.rearm(false);
    EXPECT_FALSE(latch.trigger(false));
    latch.rearm(false);
    EXPECT_TRUE(latch.trigger(true));
}
