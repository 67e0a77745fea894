#pragma once

// Game settings: plain globals that keys toggle and the scene and terrain read.
extern bool fullscreen;
extern int windowWidth;
extern int windowHeight;
extern int levelNumber;
extern bool shadowsEnabled;
extern bool frustumCulling;
extern bool lightRotation;
extern float lodThreshold;
extern bool wireframe;
extern bool shadowDebugView;
extern bool blending;
extern int debugCascade;
extern bool cascadeEnabled[3];
extern float horizontalAngle;

enum class KeyEffect
{
    None,         // not a settings key
    Changed,      // a setting flipped or stepped
    SwitchWindow, // fullscreen flipped: the window must switch and the level reload
};

// The settings part of the key map, applied for one GLFW_PRESS of `key`.
KeyEffect applySettingsKey(int key);
