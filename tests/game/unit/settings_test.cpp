#include <gtest/gtest.h>

#include <GLFW/glfw3.h>

#include "game/settings.hpp"

namespace
{
    // Puts the globals the key map touches back to their start values.
    class SettingsKeys : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            fullscreen = true;
            wireframe = false;
            lightRotation = true;
            shadowDebugView = false;
            frustumCulling = true;
            blending = false;
            shadowsEnabled = true;
            debugCascade = 0;
            lodThreshold = 1.0f;
            cascadeEnabled[0] = cascadeEnabled[1] = cascadeEnabled[2] = true;
        }
    };

} // namespace

TEST_F(SettingsKeys, EachToggleFlipsItsOwnFlagAndBack)
{
    struct Case
    {
        int key;
        bool* flag;
    };
    const Case cases[] = {
        {GLFW_KEY_F3, &wireframe},      {GLFW_KEY_F6, &lightRotation}, {GLFW_KEY_F7, &shadowDebugView},
        {GLFW_KEY_F8, &frustumCulling}, {GLFW_KEY_F9, &blending},      {GLFW_KEY_F10, &shadowsEnabled},
        {GLFW_KEY_1, &cascadeEnabled[0]}, {GLFW_KEY_2, &cascadeEnabled[1]}, {GLFW_KEY_3, &cascadeEnabled[2]},
    };
    bool* all[] = {&wireframe,      &lightRotation, &shadowDebugView,   &frustumCulling,    &blending,
                   &shadowsEnabled, &cascadeEnabled[0], &cascadeEnabled[1], &cascadeEnabled[2]};
    for (const Case& c : cases)
    {
        bool before[9];
        for (int i = 0; i < 9; ++i)
            before[i] = *all[i];
        EXPECT_EQ(applySettingsKey(c.key), KeyEffect::Changed) << c.key;
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(*all[i], all[i] == c.flag ? !before[i] : before[i]) << "key " << c.key << ", flag " << i;
        applySettingsKey(c.key);
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(*all[i], before[i]) << "second press of key " << c.key << ", flag " << i;
    }
}

TEST_F(SettingsKeys, CascadeKeyCyclesThroughThree)
{
    const int expected[] = {1, 2, 0, 1};
    for (int e : expected)
    {
        applySettingsKey(GLFW_KEY_C);
        EXPECT_EQ(debugCascade, e);
    }
}

TEST_F(SettingsKeys, LevelOfDetailThresholdDoublesWithoutBoundAndHalvesDownToOne)
{
    applySettingsKey(GLFW_KEY_KP_DIVIDE);
    EXPECT_EQ(lodThreshold, 1.0f);
    for (int i = 0; i < 40; ++i)
        applySettingsKey(GLFW_KEY_KP_MULTIPLY);
    EXPECT_EQ(lodThreshold, 1099511627776.0f); // 2^40
    applySettingsKey(GLFW_KEY_KP_DIVIDE);
    EXPECT_EQ(lodThreshold, 549755813888.0f);

    lodThreshold = 1.5f;
    applySettingsKey(GLFW_KEY_KP_DIVIDE);
    EXPECT_EQ(lodThreshold, 1.0f);
}

TEST_F(SettingsKeys, FullscreenKeyAsksForTheWindowSwitch)
{
    EXPECT_EQ(applySettingsKey(GLFW_KEY_F), KeyEffect::SwitchWindow);
    EXPECT_FALSE(fullscreen);
    EXPECT_EQ(applySettingsKey(GLFW_KEY_F), KeyEffect::SwitchWindow);
    EXPECT_TRUE(fullscreen);
}

TEST_F(SettingsKeys, KeysOutsideTheMapChangeNothing)
{
    // F2, L and Escape are polled by the main loop, W/A/S/D/Q/E by the camera
    for (int key : {GLFW_KEY_F2, GLFW_KEY_L, GLFW_KEY_ESCAPE, GLFW_KEY_W, GLFW_KEY_Q, GLFW_KEY_4, GLFW_KEY_F11})
        EXPECT_EQ(applySettingsKey(key), KeyEffect::None) << key;
    EXPECT_TRUE(fullscreen);
    EXPECT_FALSE(wireframe);
    EXPECT_EQ(debugCascade, 0);
    EXPECT_EQ(lodThreshold, 1.0f);
}
