#pragma once

// The OpenGL context of a GL test binary, on the Xvfb display the test runs on: a debug
// context whose errors, reported through debug output, are collected for the tests to fail on.
#include <gtest/gtest.h>

#include <GL/glew.h>
#include <GLFW/glfw3.h>

#include <string>
#include <vector>

#include "game/platform.hpp"
#include "game/settings.hpp"

namespace gl_test
{
    inline std::vector<std::string> glErrors;

    inline void GLAPIENTRY collectErrors(GLenum, GLenum type, GLuint, GLenum, GLsizei, const GLchar* message,
                                         const void*)
    {
        if (type == GL_DEBUG_TYPE_ERROR)
            glErrors.push_back(message);
    }

    // Opens a windowWidth x windowHeight window with the game's context and makes it current,
    // with debug output going to glErrors.
    inline void openDebugContext(const char* title, GLFWwindow*& window)
    {
        ASSERT_TRUE(glfwInit());
        setContextHints();
        glfwWindowHint(GLFW_OPENGL_DEBUG_CONTEXT, GLFW_TRUE);
        window = glfwCreateWindow(windowWidth, windowHeight, title, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        glfwMakeContextCurrent(window);
        glewExperimental = GL_TRUE;
        ASSERT_EQ(glewInit(), GLEW_OK);
        ASSERT_TRUE(checkOpenGLVersion());
        glEnable(GL_DEBUG_OUTPUT);
        glEnable(GL_DEBUG_OUTPUT_SYNCHRONOUS);
        glDebugMessageCallback(collectErrors, nullptr);
        glGetError(); // GLEW's start-up may leave one behind
    }

} // namespace gl_test
