#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <norva/core/time.hpp>

using namespace norva;

TEST(Time, MicrosecondsSinceStartAdvanceWithTheClock)
{
    const s64 before = elapsedMicroseconds();
    EXPECT_GE(before, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const s64 after = elapsedMicroseconds();
    // the steady clock never goes back, and a sleep lasts at least what was asked
    EXPECT_GE(after - before, 20000);
}
