#include "game/settings.hpp"

#include <GLFW/glfw3.h>

bool fullscreen = true;
int windowWidth = 1280;
int windowHeight = 768;
int levelNumber = 1;
bool shadowsEnabled = true;
bool frustumCulling = true;
bool lightRotation = true;
float lodThreshold = 1.0f;
bool wireframe = false;
bool shadowDebugView = false;
bool blending = false;
int debugCascade = 0;
bool cascadeEnabled[3] = {true, true, true};
float horizontalAngle = 3.1415927f;

KeyEffect applySettingsKey(int key)
{
    switch (key)
    {
    case GLFW_KEY_F:
        fullscreen = !fullscreen;
        return KeyEffect::SwitchWindow;
    case GLFW_KEY_F3:
        wireframe = !wireframe;
        break;
    case GLFW_KEY_F6:
        lightRotation = !lightRotation;
        break;
    case GLFW_KEY_F7:
        shadowDebugView = !shadowDebugView;
        break;
    case GLFW_KEY_F8:
        frustumCulling = !frustumCulling;
        break;
    case GLFW_KEY_F9:
        blending = !blending;
        break;
    case GLFW_KEY_F10:
        shadowsEnabled = !shadowsEnabled;
        break;
    case GLFW_KEY_C:
        debugCascade = (debugCascade + 1) % 3;
        break;
    case GLFW_KEY_KP_MULTIPLY:
        lodThreshold *= 2.0f;
        break;
    case GLFW_KEY_KP_DIVIDE:
        lodThreshold *= 0.5f;
        if (lodThreshold < 1.0f)
            lodThreshold = 1.0f;
        break;
    case GLFW_KEY_1:
    case GLFW_KEY_2:
    case GLFW_KEY_3:
        cascadeEnabled[key - GLFW_KEY_1] = !cascadeEnabled[key - GLFW_KEY_1];
        break;
    default:
        return KeyEffect::None;
    }
    return KeyEffect::Changed;
}
