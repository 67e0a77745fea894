#include <gtest/gtest.h>

#include <cmath>

#include "game/camera.hpp"

namespace
{
    class Flight : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            forwardSpeed = strafeSpeed = 0.0f;
            forwardHold = backwardHold = rightHold = leftHold = 0.0f;
            camera.position = glm::vec3(0.0f);
            camera.front = glm::vec3(0.0f, 0.0f, -1.0f);
            camera.roll = 0.0f;
        }

        void fly(float dt, FlightKeys keys) { camera.fly(dt, keys, right); }

        static FlightKeys keys(bool forward, bool backward, bool rightKey, bool leftKey)
        {
            FlightKeys k;
            k.forward = forward;
            k.backward = backward;
            k.right = rightKey;
            k.left = leftKey;
            return k;
        }

        Camera camera;
        const glm::vec3 right {1.0f, 0.0f, 0.0f};
        const FlightKeys none {};
    };

    float buildUp(float hold)
    {
        return 5.0f + 50.0f * (1.0f - std::exp(-1.25f * hold));
    }

} // namespace

TEST(LookAngles, BasisFromTheMouseAngles)
{
    // the start angles look along -z with y up and x to the right
    const LookAngles start = lookFromAngles(3.1415927f, 0.0f);
    EXPECT_NEAR(glm::distance(start.front, glm::vec3(0, 0, -1)), 0.0f, 1e-6f);
    EXPECT_NEAR(glm::distance(start.right, glm::vec3(1, 0, 0)), 0.0f, 1e-6f);
    EXPECT_NEAR(glm::distance(start.up, glm::vec3(0, 1, 0)), 0.0f, 1e-6f);

    // looking up by 0.5 and right by a quarter turn: an orthonormal basis, right level
    const LookAngles look = lookFromAngles(3.1415927f - 1.5707964f, 0.5f);
    EXPECT_NEAR(glm::distance(look.front, glm::vec3(std::cos(0.5f), std::sin(0.5f), 0)), 0.0f, 1e-5f);
    EXPECT_NEAR(glm::length(look.front), 1.0f, 1e-6f);
    EXPECT_NEAR(glm::length(look.up), 1.0f, 1e-6f);
    EXPECT_NEAR(glm::dot(look.front, look.up), 0.0f, 1e-6f);
    EXPECT_NEAR(glm::dot(look.right, look.up), 0.0f, 1e-6f);
    EXPECT_EQ(look.right.y, 0.0f);
    EXPECT_GT(look.up.y, 0.0f);
}

TEST_F(Flight, ForwardBuildsUpWhileHeldAndTheBackwardDecayStillApplies)
{
    // the backward branch sees S released and speed above 1: it decays every frame
    const float b = 1.0f - 0.3f * 0.1f;
    float expected = 0.0f;
    for (int frame = 1; frame <= 5; ++frame)
    {
        fly(0.1f, keys(true, false, false, false));
        expected = std::max(expected, buildUp(0.1f * frame)) * b;
        EXPECT_NEAR(forwardSpeed, expected, 1e-4f) << frame;
        EXPECT_NEAR(forwardHold, 0.1f * frame, 1e-6f);
    }
    // the camera moved along front by dt * speed each frame
    EXPECT_LT(camera.position.z, 0.0f);
    EXPECT_EQ(camera.position.x, 0.0f);

    // releasing resets the hold at once
    fly(0.1f, none);
    EXPECT_EQ(forwardHold, 0.0f);
}

TEST_F(Flight, CoastingDecaysTwiceAboveFiveOnceAboveOne)
{
    struct Case
    {
        float dt;
        float speed;
        float expected;
    };
    const Case cases[] = {
        {0.1f, 20.0f, 20.0f * 0.97f * 0.97f},
        {0.1f, 4.0f, 4.0f * 0.97f},
        {0.1f, 0.9f, 0.9f},
        {0.016f, 20.0f, 20.0f * (1 - 0.0048f) * (1 - 0.0048f)},
        {0.5f, 20.0f, 20.0f * 0.85f * 0.85f},
        {2.0f, 20.0f, 20.0f * 0.4f * 0.4f},
        // a negative speed (after S) does not decay
        {0.1f, -3.0f, -3.0f},
        // frames longer than 1 / 0.3 s: the factor stops at 0 instead of reversing the flight
        {5.0f, 20.0f, 0.0f},
        {5.0f, 3.0f, 0.0f},
    };
    for (const Case& c : cases)
    {
        forwardSpeed = c.speed;
        camera.position = glm::vec3(0.0f);
        fly(c.dt, none);
        EXPECT_NEAR(forwardSpeed, c.expected, 1e-4f) << c.dt << " " << c.speed;
        EXPECT_NEAR(camera.position.z, -c.dt * c.expected, 1e-3f);
    }
}

TEST_F(Flight, BackwardBrakesAndReversesAndForwardLiftsANegativeSpeed)
{
    forwardSpeed = 10.0f;
    fly(0.1f, keys(false, true, false, false));
    // forward released: 10 * 0.97; then S: at most 1 - 50 (1 - e^(-0.125))
    EXPECT_NEAR(forwardSpeed, 1.0f - 50.0f * (1.0f - std::exp(-0.125f)), 1e-4f);
    EXPECT_LT(forwardSpeed, 0.0f);

    // W on a negative speed: at least 5 at once, before the backward decay
    fly(0.1f, keys(true, false, false, false));
    EXPECT_NEAR(forwardSpeed, buildUp(0.1f) * 0.97f, 1e-4f);
    EXPECT_EQ(backwardHold, 0.0f);
}

TEST_F(Flight, StrafeBuildsUpBrakesBeforeReversingAndDecaysTwice)
{
    const float a = 0.9f; // 1 - dt at dt 0.1
    fly(0.1f, keys(false, false, true, false));
    // D builds up, and the left branch (A released) decays once
    EXPECT_NEAR(strafeSpeed, 17.0f * (1.0f - std::exp(-0.35f)) * a, 1e-4f);
    EXPECT_GT(camera.position.x, 0.0f);

    // no strafe key: decayed by both branches
    strafeSpeed = 10.0f;
    fly(0.1f, none);
    EXPECT_NEAR(strafeSpeed, 10.0f * a * a, 1e-4f);

    // moving left with D held: brake by 1 - 3 dt (and the left branch's decay) until within 0.2
    strafeSpeed = -10.0f;
    fly(0.1f, keys(false, false, true, false));
    EXPECT_NEAR(strafeSpeed, -10.0f * 0.7f * a, 1e-4f);
    int frames = 1;
    while (strafeSpeed < 0.0f && frames < 100)
    {
        fly(0.1f, keys(false, false, true, false));
        ++frames;
    }
    EXPECT_EQ(strafeSpeed, 0.0f);
    // only then does it build up to the right
    fly(0.1f, keys(false, false, true, false));
    EXPECT_GT(strafeSpeed, 0.0f);

    // the same to the left, mirrored
    strafeSpeed = 10.0f;
    fly(0.1f, keys(false, false, false, true));
    EXPECT_NEAR(strafeSpeed, 10.0f * a * 0.7f, 1e-4f);
}

TEST_F(Flight, RollFollowsQAndE)
{
    FlightKeys q;
    q.rollLeft = true;
    fly(0.1f, q);
    EXPECT_NEAR(camera.roll, 1.0f, 1e-6f);
    FlightKeys e;
    e.rollRight = true;
    fly(0.25f, e);
    EXPECT_NEAR(camera.roll, -1.5f, 1e-6f);
    FlightKeys both;
    both.rollLeft = both.rollRight = true;
    fly(0.1f, both);
    EXPECT_NEAR(camera.roll, -1.5f, 1e-6f);
}

TEST_F(Flight, FiveSecondFrameNeverFlipsASpeed)
{
    // at dt 5 every decay factor (1 - dt, 1 - 0.3 dt, 1 - 3 dt) is negative unless clamped
    forwardSpeed = 40.0f;
    strafeSpeed = 12.0f;
    fly(5.0f, none);
    EXPECT_EQ(forwardSpeed, 0.0f);
    EXPECT_EQ(strafeSpeed, 0.0f);

    strafeSpeed = -12.0f;
    fly(5.0f, keys(false, false, true, false));
    EXPECT_EQ(strafeSpeed, 0.0f); // braked to a stop, not flung right

    // W held through a 5 s frame: built up to 5 + 50 (1 - e^-6.25), then the backward decay stops it
    forwardSpeed = 0.0f;
    fly(5.0f, keys(true, false, false, false));
    EXPECT_GE(forwardSpeed, 0.0f);
    EXPECT_EQ(forwardHold, 5.0f);

    // S held: the backward build-up is negative by design, and stays finite
    forwardSpeed = 0.0f;
    camera.position = glm::vec3(0.0f);
    fly(5.0f, keys(false, true, false, true));
    EXPECT_NEAR(forwardSpeed, 1.0f - 50.0f * (1.0f - std::exp(-6.25f)), 1e-3f);
    EXPECT_TRUE(std::isfinite(camera.position.x) && std::isfinite(camera.position.z));
    EXPECT_GT(camera.position.z, 0.0f); // backwards along -z
}
