#pragma once

// What the game needs from the platform beyond what GLFW and GLEW give on their own:
// a compatibility context without the forward-compatible bit (with it Mesa hands out a core
// profile, where drawing without a bound vertex array fails), a check that the context
// really offers OpenGL 4.3, and the driver's error reports on the console.

// Writes GLFW's own error reports (no display, no suitable context) to standard error as
// "GLFW error: <description>". Call before glfwInit.
void enableGLFWErrorOutput();

// The window hints of the game's context: 3.3 or later, compatibility profile, double
// buffered.
void setContextHints();

// After GLEW is up: true when the context offers OpenGL 4.3; otherwise writes why to
// standard error.
bool checkOpenGLVersion();

// Writes errors that the driver reports through debug output to standard error as
// "GL error: <message>" (the first 20 of a run, then one line saying more were dropped).
void enableGLErrorOutput();
