#include "game/shader.hpp"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>

#include "game/paths.hpp"

namespace
{
    // Each line is preceded by a line feed, so the source starts with one.
    bool readSource(const char* filePath, std::string& source)
    {
        std::ifstream stream(hostPath(filePath), std::ios::in);
        if (!stream.is_open())
            return false;
        std::string line;
        while (std::getline(stream, line))
            source += "\n" + line;
        return true;
    }

    // The object's info log; none when the driver reports a length of 0.
    std::optional<std::string> infoLog(GLuint object, bool program)
    {
        GLint length = 0;
        if (program)
            glGetProgramiv(object, GL_INFO_LOG_LENGTH, &length);
        else
            glGetShaderiv(object, GL_INFO_LOG_LENGTH, &length);
        if (length <= 0)
            return std::nullopt;
        std::vector<char> log(size_t(length) + 1, '\0');
        if (program)
            glGetProgramInfoLog(object, length, nullptr, log.data());
        else
            glGetShaderInfoLog(object, length, nullptr, log.data());
        return std::string(log.data());
    }

    void compileLogged(GLuint shader, const char* filePath, const std::string& source)
    {
        std::printf("Compiling shader : %s\n", filePath);
        const char* text = source.c_str();
        glShaderSource(shader, 1, &text, nullptr);
        glCompileShader(shader);

        GLint status = GL_FALSE;
        glGetShaderiv(shader, GL_COMPILE_STATUS, &status);
        if (const auto log = infoLog(shader, false))
            std::printf("%s\n", log->c_str());
    }

} // namespace

GLuint LoadShaders(const char* vertexFilePath, const char* fragmentFilePath)
{
    GLuint vertexShader = glCreateShader(GL_VERTEX_SHADER);
    GLuint fragmentShader = glCreateShader(GL_FRAGMENT_SHADER);

    std::string vertexSource;
    if (!readSource(vertexFilePath, vertexSource))
    {
        std::printf("Impossible to open %s. Are you in the right directory ? Don't forget to read the FAQ !\n",
                    vertexFilePath);
        std::fflush(stdout);
        std::getchar();
        glDeleteShader(vertexShader);
        glDeleteShader(fragmentShader);
        return 0;
    }
    // a fragment file that does not open compiles as an empty source, which the log reports
    std::string fragmentSource;
    readSource(fragmentFilePath, fragmentSource);

    compileLogged(vertexShader, vertexFilePath, vertexSource);
    compileLogged(fragmentShader, fragmentFilePath, fragmentSource);

    std::printf("Linking program\n");
    GLuint program = glCreateProgram();
    glAttachShader(program, vertexShader);
    glAttachShader(program, fragmentShader);
    glLinkProgram(program);

    GLint status = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &status);
    if (const auto log = infoLog(program, true))
        std::printf("%s\n", log->c_str());

    glDetachShader(program, vertexShader);
    glDetachShader(program, fragmentShader);
    glDeleteShader(vertexShader);
    glDeleteShader(fragmentShader);
    return program;
}

Shader::Shader(std::string name, GLenum type)
    : path("shaders\\" + name)
    , glType(type)
{
}

bool Shader::load(std::ios_base::openmode mode)
{
    std::ifstream stream(hostPath(path), mode);
    if (stream.is_open())
    {
        std::string line;
        while (std::getline(stream, line))
            lines.push_back(line + "\n");
    }
    lineSources.clear();
    for (const std::string& line : lines)
        lineSources.push_back(line.c_str());
    return true;
}

bool Shader::compile()
{
    glName = glCreateShader(glType);
    glShaderSource(glName, GLsizei(lineSources.size()), lineSources.data(), nullptr);
    glCompileShader(glName);

    GLint status = GL_FALSE;
    glGetShaderiv(glName, GL_COMPILE_STATUS, &status);
    if (status == GL_TRUE)
        return true;

    std::cerr << path << ": " << infoLog(glName, false).value_or("") << std::endl;
    glDeleteShader(glName);
    glName = 0;
    return false;
}

bool ShaderProgram::link()
{
    program = glCreateProgram();
    // a stage that failed to compile was deleted: the link log tells what is missing
    for (Shader* stage : stages)
        if (stage->glName != 0)
            glAttachShader(program, stage->glName);
    glLinkProgram(program);

    GLint status = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &status);
    if (status != GL_TRUE)
    {
        const std::string log = infoLog(program, true).value_or("");
        glDeleteProgram(program);
        program = 0;
        std::cerr << log << std::endl;
        return false;
    }
    for (Shader* stage : stages)
        if (stage->glName != 0)
            glDetachShader(program, stage->glName);
    return true;
}
