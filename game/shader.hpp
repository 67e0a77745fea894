#pragma once

#include <ios>
#include <string>
#include <vector>

#include <GL/glew.h>

// Reads, compiles and links a vertex and a fragment shader file, logging each step to
// standard output. Returns the program (also when a step failed: the logs say why), or 0
// when the vertex file cannot be opened.
GLuint LoadShaders(const char* vertexFilePath, const char* fragmentFilePath);

// One GLSL stage read from "shaders\<name>" and compiled.
class Shader
{
public:
    Shader(std::string name, GLenum type);
    ~Shader() = default;

    // lineSources points into lines: a copy would point into the original.
    Shader(const Shader&) = delete;
    Shader& operator=(const Shader&) = delete;
    Shader(Shader&&) = default;
    Shader& operator=(Shader&&) = default;

    // Reads the file line by line, each line ending in a line feed. A file that does not
    // open leaves no lines. Always returns true.
    bool load(std::ios_base::openmode mode = std::ios_base::in);

    // Creates and compiles the stage; on failure writes the log to standard error,
    // deletes the stage and returns false.
    bool compile();

    std::string path;
    GLenum glType = 0;
    GLuint glName = 0;
    std::vector<std::string> lines;
    std::vector<const char*> lineSources;
};

// A linked program of several stages (the stages are owned elsewhere).
class ShaderProgram
{
public:
    // Links the stages in order; on failure writes the log to standard error, deletes the
    // program (program becomes 0) and returns false.
    bool link();

    GLuint program = 0;
    std::vector<Shader*> stages;
};
