#include <cstdio>
#include <iostream>

#include <GL/glew.h>
#include <GLFW/glfw3.h>

#include "game/platform.hpp"
#include "game/scene.hpp"
#include "game/settings.hpp"
#include "game/statistics.hpp"
#include "game/window.hpp"

namespace
{
    bool pressed(int key)
    {
        return glfwGetKey(window, key) == GLFW_PRESS;
    }

    // The scene's OpenGL objects go before the context does.
    int shutDown(int code)
    {
        scene.release();
        glfwTerminate();
        return code;
    }

} // namespace

int main()
{
    enableGLFWErrorOutput();
    if (!glfwInit())
    {
        std::cerr << "Failed to initialize GLFW" << std::endl;
        std::getchar();
        return -1;
    }
    setContextHints();
    if (!createWindow())
        return -1;
    glfwMakeContextCurrent(window);
    glfwSwapInterval(0);

    glewExperimental = GL_TRUE;
    if (glewInit() != GLEW_OK)
    {
        std::cerr << "Failed to initialize GLEW" << std::endl;
        std::getchar();
        glfwTerminate();
        return -1;
    }
    if (!checkOpenGLVersion())
    {
        std::getchar();
        glfwTerminate();
        return -1;
    }
    enableGLErrorOutput();

    glfwSetInputMode(window, GLFW_STICKY_KEYS, GLFW_TRUE);
    glfwSetInputMode(window, GLFW_CURSOR, GLFW_CURSOR_DISABLED);
    glfwPollEvents();
    glfwSetCursorPos(window, windowWidth / 2, windowHeight / 2);

    glClearColor(0.0f, 0.0f, 0.8f, 0.0f);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    glEnable(GL_CULL_FACE);

    levelPathPrefix = "";
    if (!loadLevel(levelPath(levelNumber)))
        return shutDown(-1);

    glfwSetKeyCallback(window, keyCallback);
    double previous = glfwGetTime();

    cascadeEnabled[0] = cascadeEnabled[1] = cascadeEnabled[2] = true;
    FrameStatistics statistics;
    KeyLatch f2;

    for (;;)
    {
        const double now = glfwGetTime();
        const double dt = now - previous;
        previous = now;
        statistics.addTime(dt);

        if (f2.trigger(pressed(GLFW_KEY_F2)))
            scene.printStatistics = !scene.printStatistics;
        statistics.countFrame();
        if (statistics.endSecond(std::cout, scene.printStatistics, scene.activeTiles(), scene.activePatches()))
            scene.resetTerrainCounters();
        f2.rearm(pressed(GLFW_KEY_F2));

        // no latch: every pass that reads L pressed switches level
        if (pressed(GLFW_KEY_L))
        {
            scene.shadowTestLevel = !scene.shadowTestLevel;
            scene.unload();
            if (!loadLevel(levelPath(levelNumber)))
                return shutDown(-1);
        }

        scene.renderFrame(now, dt);

        glfwSwapBuffers(window);
        glfwPollEvents();

        if (levelLoadFailed)
            return shutDown(-1);
        if (pressed(GLFW_KEY_ESCAPE) || glfwWindowShouldClose(window))
            return shutDown(0);
    }
}
