#pragma once

#include <string>

struct GLFWwindow;
struct GLFWmonitor;

extern GLFWwindow* window;
extern GLFWmonitor* monitor; // the full-screen monitor, null when windowed

// A level path is prefix + base + level number + suffix: "Levels/Level1.txt".
extern std::string levelPathPrefix;
extern std::string levelPathBase;
extern std::string levelPathSuffix;
std::string levelPath(int level);

// Creates the window on the first call (false when it cannot be created); later calls
// switch it between full screen and windowed mode and reload the level.
bool createWindow();

// Scene::load behind a guard: an exception escaping the load (an image file that cannot
// be opened) is written to standard error and sets levelLoadFailed, which ends the main
// loop with exit code -1. Returns whether the level loaded.
bool loadLevel(const std::string& path);
extern bool levelLoadFailed;

// The GLFW key callback: forwards to the scene camera's key map.
void keyCallback(GLFWwindow* window, int key, int scancode, int action, int mods);
