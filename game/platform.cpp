#include "game/platform.hpp"

#include <cstdio>

#include <GL/glew.h>
#include <GLFW/glfw3.h>

void enableGLFWErrorOutput()
{
    glfwSetErrorCallback([](int, const char* description) { std::fprintf(stderr, "GLFW error: %s\n", description); });
}

void setContextHints()
{
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_FALSE);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_COMPAT_PROFILE);
    glfwWindowHint(GLFW_DOUBLEBUFFER, GLFW_TRUE);
}

bool checkOpenGLVersion()
{
    GLint major = 0;
    GLint minor = 0;
    glGetIntegerv(GL_MAJOR_VERSION, &major);
    glGetIntegerv(GL_MINOR_VERSION, &minor);
    if (major > 4 || (major == 4 && minor >= 3))
        return true;
    const GLubyte* version = glGetString(GL_VERSION);
    std::fprintf(stderr, "OpenGL 4.3 is required; this context offers %s\n",
                 version ? reinterpret_cast<const char*>(version) : "no version");
    return false;
}

namespace
{
    constexpr int maxReportedErrors = 20;
    int reportedErrors = 0;

    void GLAPIENTRY onDebugMessage(GLenum, GLenum type, GLuint, GLenum, GLsizei, const GLchar* message,
                                   const void*)
    {
        if (type != GL_DEBUG_TYPE_ERROR)
            return;
        if (reportedErrors < maxReportedErrors)
            std::fprintf(stderr, "GL error: %s\n", message);
        else if (reportedErrors == maxReportedErrors)
            std::fprintf(stderr, "GL error: further errors are not shown\n");
        ++reportedErrors;
    }

} // namespace

void enableGLErrorOutput()
{
    if (!glDebugMessageCallback)
        return;
    glEnable(GL_DEBUG_OUTPUT);
    glDebugMessageControl(GL_DONT_CARE, GL_DONT_CARE, GL_DONT_CARE, 0, nullptr, GL_FALSE);
    glDebugMessageControl(GL_DONT_CARE, GL_DEBUG_TYPE_ERROR, GL_DONT_CARE, 0, nullptr, GL_TRUE);
    glDebugMessageCallback(onDebugMessage, nullptr);
}
