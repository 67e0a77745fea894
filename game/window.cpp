#include "game/window.hpp"

#include <cstdio>
#include <exception>
#include <iostream>

#include <GLFW/glfw3.h>
#include <norva/core/exception.hpp>

#include "game/scene.hpp"
#include "game/settings.hpp"

GLFWwindow* window = nullptr;
GLFWmonitor* monitor = nullptr;

std::string levelPathPrefix;
std::string levelPathBase = "Levels/Level";
std::string levelPathSuffix = ".txt";

bool levelLoadFailed = false;

std::string levelPath(int level)
{
    return levelPathPrefix + levelPathBase + std::to_string(level) + levelPathSuffix;
}

bool loadLevel(const std::string& path)
{
    // Nothing below may escape: this also runs inside the key callback, where an
    // exception would unwind through GLFW's C frames.
    try
    {
        scene.load(path);
        return true;
    }
    catch (const norva::Exception& e)
    {
        std::cerr << "Loading " << path << " failed: " << e.what() << " (" << e.getFunction() << ", "
                  << e.getFile() << ":" << e.getLine() << ")" << std::endl;
    }
    catch (const std::exception& e)
    {
        std::cerr << "Loading " << path << " failed: " << e.what() << std::endl;
    }
    levelLoadFailed = true;
    return false;
}

bool createWindow()
{
    if (fullscreen)
    {
        monitor = glfwGetPrimaryMonitor();
        const GLFWvidmode* mode = glfwGetVideoMode(monitor);
        std::cerr << "switching to fullscreen, current video mode width: " << mode->width
                  << ", height: " << mode->height << std::endl;
    }
    else
    {
        monitor = nullptr;
    }
    windowWidth = 1280;
    windowHeight = 768;

    if (window)
    {
        const GLFWvidmode* mode = glfwGetVideoMode(glfwGetPrimaryMonitor());
        glfwSetWindowMonitor(window, monitor, (mode->width - windowWidth) / 2, (mode->height - windowHeight) / 2,
                             windowWidth, windowHeight, GLFW_DONT_CARE);
        scene.unload();
        loadLevel(levelPath(levelNumber));
    }
    else
    {
        window = glfwCreateWindow(1280, 768, "Velloran", monitor, nullptr);
        if (!window)
        {
            std::cerr << "Failed to open GLFW window. If you have an Intel GPU, they are not 3.3 compatible."
                      << std::endl;
            std::getchar();
            glfwTerminate();
            return false;
        }
    }

    if (fullscreen)
    {
        const GLFWvidmode* mode = glfwGetVideoMode(monitor);
        std::cerr << "fullscreen video mode width (in screen space coordinates): " << mode->width
                  << ", height: " << mode->height << std::endl;
        windowWidth = mode->width;
        windowHeight = mode->height;
        glfwGetFramebufferSize(window, &windowWidth, &windowHeight);
        std::cerr << "fullscreen video mode width (in pixels): " << windowWidth << ", height: " << windowHeight
                  << std::endl;
    }
    return true;
}

void keyCallback(GLFWwindow*, int key, int scancode, int action, int mods)
{
    scene.camera.onKey(key, scancode, action, mods);
}
