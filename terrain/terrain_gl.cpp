// The terrain's GL objects. Only this file calls GL: the data part runs without a context.

#include <cstdio>
#include <initializer_list>
#include <vector>

#include "terrain.hpp"

namespace
{
    const char* const attributeNames[] = { "position_v", "texCoord_v", "tessLevelOuter_v", "tessLevelInner_v" };

    const char* const uniformNames[] =
    {
        "depthRendering", "depthRendering2", "MVP", "PrevMVP", "displacementMap", "normalMap", "myTextureSampler",
        "M", "V", "LightPosition_worldspace", "DepthBiasMVP", "dirLight.direction", "dirLight.color",
        "dirLight.ambient", "dirLight.diffuse", "dirLight.specular", "specularPowerFactor", "cascadeDistances",
        "shadowMap[0]", "shadowMap[1]", "shadowMap[2]",
    };

    // Texture units the program samples.
    constexpr GLint heightUnit = 4;
    constexpr GLint normalUnit = 5;
    constexpr GLint detailUnit = 7;

    GLint find(const std::map<std::string, GLint>& locations, const std::string& name)
    {
        const auto it = locations.find(name);
        return it == locations.end() ? -1 : it->second;
    }

    // A float rectangle texture of the grid. Sized formats: unsized GL_RED and GL_RGB may be
    // stored with 8 bits, which terraces the heights and clips negative normal components.
    GLuint uploadRectangle(GLint internalFormat, GLenum format, GLsizei width, GLsizei height, const float* data)
    {
        GLuint name = 0;
        glGenTextures(1, &name);
        glBindTexture(GL_TEXTURE_RECTANGLE, name);
        glTexImage2D(GL_TEXTURE_RECTANGLE, 0, internalFormat, width, height, 0, format, GL_FLOAT, data);
        glBindTexture(GL_TEXTURE_RECTANGLE, 0);
        return name;
    }

    // One attribute stream of a draw, in a buffer of its own.
    GLuint streamAttribute(GLint location, GLint components, const void* data, std::size_t bytes)
    {
        GLuint buffer = 0;
        glGenBuffers(1, &buffer);
        glBindBuffer(GL_ARRAY_BUFFER, buffer);
        glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(bytes), data, GL_STATIC_DRAW);
        // a stage that does not read the attribute lets the linker drop it
        if (location >= 0)
        {
            glEnableVertexAttribArray(GLuint(location));
            glVertexAttribPointer(GLuint(location), components, GL_FLOAT, GL_FALSE, 0, nullptr);
        }
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        return buffer;
    }

    // Mesa's software rasterizer (llvmpipe, 22.3) silently drops the patches of a draw beyond
    // about 2^17 tessellated triangles. Each call stays within half of that: a patch of inner
    // level n and outer levels o makes at most 2 n^2 + sum(o) triangles (8448 at level 64).
    constexpr std::size_t trianglesPerDraw = 1 << 16;

    void drawPatchesInBatches(const std::vector<float>& outerLevels, const std::vector<float>& innerLevels)
    {
        std::size_t first = 0;
        std::size_t triangles = 0;
        for (std::size_t v = 0; v < innerLevels.size(); v += 4)
        {
            const std::size_t n = std::size_t(innerLevels[v]);
            const std::size_t patch = 2 * n * n +
                std::size_t(outerLevels[v] + outerLevels[v + 1] + outerLevels[v + 2] + outerLevels[v + 3]);
            if (triangles + patch > trianglesPerDraw && v > first)
            {
                glDrawArrays(GL_PATCHES, GLint(first), GLsizei(v - first));
                first = v;
                triangles = 0;
            }
            triangles += patch;
        }
        // also when there is nothing to draw: a pass always makes its one draw
        if (first < innerLevels.size() || first == 0)
            glDrawArrays(GL_PATCHES, GLint(first), GLsizei(innerLevels.size() - first));
    }

} // namespace

GLint Terrain::uniformLocation(const std::string& name) const
{
    return find(uniformLocations, name);
}

GLint Terrain::attributeLocation(const std::string& name) const
{
    return find(attributeLocations, name);
}

void Terrain::initGL()
{
    // without a grid there is nothing to draw, nor textures to make
    if (glReady || !loaded)
    {
        return;
    }

    grass->load();

    Shader vertex("terrain-vs.glsl", GL_VERTEX_SHADER);
    Shader fragment("NewShadingExperiment.fragmentshader", GL_FRAGMENT_SHADER);
    Shader control("terrain-tcs.glsl", GL_TESS_CONTROL_SHADER);
    Shader evaluation("terrain-tes.glsl", GL_TESS_EVALUATION_SHADER);
    for (Shader* stage : { &vertex, &fragment, &control, &evaluation })
    {
        stage->load();
        stage->compile(); // a failing stage is logged there, and the link says what is missing
        program.stages.push_back(stage);
    }
    program.link();
    for (Shader* stage : program.stages)
    {
        glDeleteShader(stage->glName);
    }
    // the stages were this call's temporaries
    program.stages.clear();

    for (const char* name : attributeNames)
    {
        attributeLocations[name] = program.program ? glGetAttribLocation(program.program, name) : -1;
    }
    for (const char* name : uniformNames)
    {
        uniformLocations[name] = program.program ? glGetUniformLocation(program.program, name) : -1;
    }

    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_RECTANGLE_TEXTURE_SIZE, &maxSize);
    if (GLint(width) > maxSize || GLint(height) > maxSize)
    {
        std::fprintf(stderr, "[Terrain] The grid of %u x %u samples exceeds the driver's rectangle textures (%d); "
            "the terrain is drawn flat.\n", width, height, maxSize);
    }
    else
    {
        displacementTex = uploadRectangle(GL_R32F, GL_RED, GLsizei(width), GLsizei(height), heights);
        normalTex = uploadRectangle(GL_RGB32F, GL_RGB, GLsizei(width), GLsizei(height), normals);
    }

    if (texturesLoaded)
    {
        glBindTexture(grass->target, grass->glName);
        glTexParameteri(grass->target, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
        glTexParameteri(grass->target, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glGenerateMipmap(grass->target);
        glBindTexture(grass->target, 0);
    }
    glActiveTexture(GL_TEXTURE0 + detailUnit);
    glBindTexture(GL_TEXTURE_2D, grass->glName);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    glBindTexture(GL_TEXTURE_2D, 0);
    glActiveTexture(GL_TEXTURE0);

    GLint maxPatchVertices = 0;
    glGetIntegerv(GL_MAX_PATCH_VERTICES, &maxPatchVertices);
    std::printf("Max supported patch vertices %d\n", maxPatchVertices);

    glReady = 1;
}

void Terrain::draw(int pass)
{
    if (!glReady)
    {
        return;
    }
    glPatchParameteri(GL_PATCH_VERTICES, 4);

    const norva::u32 tiles = tileCount();
    norva::s32 patches = 0;
    for (norva::u32 t = 0; t < tiles; ++t)
    {
        if (tileVisible[t] && trees[t].root)
        {
            patches += countVisiblePatches(trees[t].root, pass);
        }
    }

    const std::size_t vertices = std::size_t(patches) * 4;
    std::vector<glm::vec2> positions(vertices, glm::vec2(0.0f));
    std::vector<glm::vec2> texCoords(vertices, glm::vec2(0.0f));
    std::vector<float> outerLevels(vertices);
    std::vector<float> innerLevels(vertices);
    norva::s32 written = 0;
    for (norva::u32 t = 0; t < tiles; ++t)
    {
        if (tileVisible[t] && trees[t].root)
        {
            written += gatherPatchVertices(trees[t].root, written, pass, positions.data(), texCoords.data(),
                outerLevels.data(), innerLevels.data());
        }
    }

    GLuint vertexArray = 0;
    glGenVertexArrays(1, &vertexArray);
    glBindVertexArray(vertexArray);
    const GLuint buffers[4] =
    {
        streamAttribute(attributeLocation("position_v"), 2, positions.data(), vertices * sizeof(glm::vec2)),
        streamAttribute(attributeLocation("texCoord_v"), 2, texCoords.data(), vertices * sizeof(glm::vec2)),
        streamAttribute(attributeLocation("tessLevelInner_v"), 1, innerLevels.data(), vertices * sizeof(float)),
        streamAttribute(attributeLocation("tessLevelOuter_v"), 1, outerLevels.data(), vertices * sizeof(float)),
    };

    glUniformMatrix4fv(uniformLocation("MVP"), 1, GL_FALSE, &mvp[0][0]);
    glUniformMatrix4fv(uniformLocation("M"), 1, GL_FALSE, &model[0][0]);
    glUniform1i(uniformLocation("displacementMap"), heightUnit);
    glUniform1i(uniformLocation("normalMap"), normalUnit);
    glUniform1i(uniformLocation("myTextureSampler"), detailUnit);

    glActiveTexture(GL_TEXTURE0 + heightUnit);
    glBindTexture(GL_TEXTURE_RECTANGLE, displacementTex);
    glActiveTexture(GL_TEXTURE0 + normalUnit);
    glBindTexture(GL_TEXTURE_RECTANGLE, normalTex);
    glActiveTexture(GL_TEXTURE0 + detailUnit);
    glBindTexture(GL_TEXTURE_2D, grass->glName);
    glActiveTexture(GL_TEXTURE0);

    // the evaluation stage emits its triangles clockwise seen from above
    glFrontFace(GL_CW);
    drawPatchesInBatches(outerLevels, innerLevels);
    glFrontFace(GL_CCW);
    glBindVertexArray(0);

    for (GLuint buffer : buffers)
    {
        glInvalidateBufferData(buffer);
    }
    glDeleteBuffers(4, buffers);
    glDeleteVertexArrays(1, &vertexArray);
}

void Terrain::releaseGL()
{
    if (program.program)
    {
        glDeleteProgram(program.program);
        program.program = 0;
    }
    for (GLuint* name : { &displacementTex, &normalTex, &grass->glName })
    {
        if (*name)
        {
            glDeleteTextures(1, name);
            *name = 0;
        }
    }
    attributeLocations.clear();
    uniformLocations.clear();
    glReady = 0;
}
