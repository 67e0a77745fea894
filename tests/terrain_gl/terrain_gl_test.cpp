// The terrain's GL side on a real context: the tessellation program and its locations, the
// float height and normal textures, and draws that cover the grid without a dropped patch.
#include <gtest/gtest.h>

#include <GL/glew.h>
#include <GLFW/glfw3.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <glm/gtc/matrix_transform.hpp>

#include "../game/gl/gl_context.hpp"
#include "../terrain/terrain_fixture.hpp"
#include "game/platform.hpp"
#include "game/scene.hpp"
#include "game/shadows.hpp"
#include "game/settings.hpp"
#include "game/texture.hpp"
#include "terrain.hpp"

namespace
{
    using gl_test::glErrors;

    GLFWwindow* window = nullptr;

    class GLContext : public ::testing::Environment
    {
    public:
        void SetUp() override
        {
            gl_test::openDebugContext("terrain gl test", window);
        }
        void TearDown() override
        {
            glfwTerminate();
        }
    };

    const auto* environment = ::testing::AddGlobalTestEnvironment(new GLContext);

    // A terrain over a generated model in a scratch folder that also holds the game's shaders
    // and detail texture, made the working directory.
    class TerrainOnContext : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            glErrors.clear();
            previous = std::filesystem::current_path();
            const std::filesystem::path assets = ZELMORA_SOURCE_DIR "/assets";
            for (const char* part : { "Shaders", "Textures/GrassGreenTexture0002.jpg" })
                std::filesystem::create_symlink(assets / part, folder.dir / part);
            std::filesystem::create_directory_symlink("Shaders", folder.dir / "shaders");
            std::filesystem::current_path(folder.dir);
            frustumCulling = true;
            lodThreshold = 1.0f;
        }
        void TearDown() override
        {
            terrain.releaseGL();
            std::filesystem::current_path(previous);
            for (const std::string& e : glErrors)
                ADD_FAILURE() << "GL error: " << e;
            frustumCulling = true;
        }

        void load(terrain_test::u32 width, terrain_test::u32 height)
        {
            folder.write(width, height, terrain_test::hills);
            ASSERT_TRUE(terrain.load("Textures\\DTM Austria 50m LZW.tif"));
            terrain.initGL();
            ASSERT_TRUE(terrain.glReady);
            ASSERT_NE(terrain.program.program, 0u);
        }

        // Looks straight down on the whole grid: x to the right, z downwards.
        void lookFromAbove()
        {
            const float w = float(terrain.width - 1);
            const float h = float(terrain.height - 1);
            const glm::vec3 centre(w / 2, 0.0f, h / 2);
            const glm::mat4 view = glm::lookAt(centre + glm::vec3(0, 1000, 0), centre, glm::vec3(0, 0, -1));
            const glm::mat4 projection = glm::ortho(-w / 2, w / 2, -h / 2, h / 2, 1.0f, 3000.0f);
            terrain.viewProjection = projection * view;
            terrain.mvp = terrain.viewProjection * terrain.model;
            terrain.cameraPosition = centre + glm::vec3(0, 1000, 0);
        }

        // Draws the camera pass into a viewport of the grid's proportions; returns how many of
        // its pixels still hold the clear colour.
        int drawAndCountClearPixels(int viewportWidth, int viewportHeight)
        {
            glViewport(0, 0, viewportWidth, viewportHeight);
            glClearColor(0.0f, 0.0f, 1.0f, 0.0f);
            glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
            glEnable(GL_DEPTH_TEST);
            glEnable(GL_CULL_FACE);
            glCullFace(GL_BACK);
            glUseProgram(terrain.program.program);
            glUniform1i(terrain.uniformLocation("depthRendering"), 0);
            const glm::mat4 view(1.0f);
            glUniformMatrix4fv(terrain.uniformLocation("V"), 1, GL_FALSE, &view[0][0]);
            glUniform3f(terrain.uniformLocation("dirLight.direction"), 0.2f, 0.8f, 0.2f);
            glUniform3f(terrain.uniformLocation("dirLight.color"), 1.0f, 1.0f, 0.8f);
            glUniform1f(terrain.uniformLocation("dirLight.ambient"), 0.4f);
            glUniform1f(terrain.uniformLocation("dirLight.diffuse"), 1.5f);
            terrain.draw(-1);
            glFinish();

            std::vector<unsigned char> rgba(std::size_t(viewportWidth) * viewportHeight * 4);
            glReadBuffer(GL_BACK);
            glPixelStorei(GL_PACK_ALIGNMENT, 1);
            glReadPixels(0, 0, viewportWidth, viewportHeight, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
            int clear = 0;
            for (std::size_t i = 0; i < rgba.size(); i += 4)
                clear += rgba[i] == 0 && rgba[i + 1] == 0 && rgba[i + 2] == 255;
            return clear;
        }

        terrain_test::ModelFolder folder;
        std::filesystem::path previous;
        Terrain terrain;
    };

} // namespace

TEST_F(TerrainOnContext, EveryPatchOfEveryTileIsDrawn)
{
    load(1537, 1025);
    lookFromAbove();
    frustumCulling = false;

    std::mt19937 random(8);
    std::uniform_int_distribution<int> level(0, 8);
    terrain.resetVisibility();
    terrain.cullTiles();
    for (std::size_t b = 0; b < terrain.tileCount() * Terrain::blocksPerTile; ++b)
        terrain.blockLevel[b] = level(random);
    terrain.buildVisibleTrees();
    terrain.cullPatches();
    EXPECT_EQ(terrain.activeTiles, 6);
    EXPECT_GT(terrain.activePatches, 6 * 4);

    EXPECT_EQ(drawAndCountClearPixels(768, 512), 0);
}

TEST_F(TerrainOnContext, HeightsAndNormalsAreFullFloatTextures)
{
    load(513, 513);
    struct Texture
    {
        GLuint name;
        GLint internalFormat;
        int components;
        const float* data;
    };
    const Texture textures[] = {
        {terrain.displacementTex, GL_R32F, 1, terrain.heights},
        {terrain.normalTex, GL_RGB32F, 3, terrain.normals},
    };
    for (const Texture& t : textures)
    {
        glBindTexture(GL_TEXTURE_RECTANGLE, t.name);
        GLint format = 0;
        GLint width = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_RECTANGLE, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
        glGetTexLevelParameteriv(GL_TEXTURE_RECTANGLE, 0, GL_TEXTURE_WIDTH, &width);
        EXPECT_EQ(format, t.internalFormat);
        EXPECT_EQ(width, 513);

        const std::size_t count = std::size_t(513) * 513 * t.components;
        std::vector<float> back(count);
        glGetTexImage(GL_TEXTURE_RECTANGLE, 0, t.components == 1 ? GL_RED : GL_RGB, GL_FLOAT, back.data());
        // bit for bit: no 8-bit terraces, and negative normal components survive
        EXPECT_TRUE(std::equal(back.begin(), back.end(), t.data)) << "internal format 0x" << std::hex << format;
    }
    glBindTexture(GL_TEXTURE_RECTANGLE, 0);
    EXPECT_TRUE(std::any_of(terrain.normals, terrain.normals + std::size_t(513) * 513 * 3, [](float v) { return v < 0; }));
}

TEST_F(TerrainOnContext, SetsUpOnceAndFindsItsLocations)
{
    load(513, 513);
    const GLuint program = terrain.program.program;
    const GLuint heights = terrain.displacementTex;
    terrain.initGL();
    EXPECT_EQ(terrain.program.program, program);
    EXPECT_EQ(terrain.displacementTex, heights);
    EXPECT_TRUE(terrain.program.stages.empty()); // the stages were temporaries of the set-up

    for (const char* name : {"position_v", "texCoord_v", "tessLevelOuter_v", "tessLevelInner_v"})
        EXPECT_GE(terrain.attributeLocation(name), 0) << name;
    for (const char* name : {"MVP", "M", "V", "depthRendering", "displacementMap", "normalMap", "myTextureSampler",
                             "DepthBiasMVP", "cascadeDistances", "shadowMap[0]", "shadowMap[2]", "dirLight.direction"})
        EXPECT_GE(terrain.uniformLocation(name), 0) << name;
    // a name the program lacks is no location, not location 0
    EXPECT_EQ(terrain.uniformLocation("depthRendering2"), -1);
    EXPECT_EQ(terrain.uniformLocation("no such uniform"), -1);

    GLint wrap = 0;
    glBindTexture(GL_TEXTURE_2D, terrain.grass->glName);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &wrap);
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(wrap, GL_REPEAT);
    EXPECT_NE(terrain.grass->glName, 0u);
}

TEST_F(TerrainOnContext, PassesDrawOnlyTheirOwnPatches)
{
    load(1025, 513);
    lookFromAbove();
    frustumCulling = false;
    cascadeEnabled[1] = false;
    terrain.resetVisibility();
    terrain.cullTiles();
    std::fill(terrain.blockLevel, terrain.blockLevel + terrain.tileCount() * Terrain::blocksPerTile, 7);
    terrain.buildVisibleTrees();
    terrain.cullPatches();
    cascadeEnabled[1] = true;

    // the camera pass covers the grid; cascade 1 is off, so its pass draws nothing, without error
    EXPECT_EQ(drawAndCountClearPixels(768, 384), 0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    terrain.draw(1);
    std::vector<unsigned char> rgba(768 * 384 * 4);
    glReadPixels(0, 0, 768, 384, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    for (std::size_t i = 0; i < rgba.size(); i += 4)
        ASSERT_EQ(rgba[i + 2], 255) << "cascade 1 drew pixel " << i / 4;
}

TEST_F(TerrainOnContext, ShadowMapsStayWithinTheDriversLimitsAndCompleteTheFramebuffer)
{
    const float scales[3] = {16.0f, 8.0f, 4.0f};
    std::copy(scales, scales + 3, shadowMapScales);
    windowWidth = 1280;
    windowHeight = 768;
    scene.initShadowMaps();
    EXPECT_TRUE(shadowMapsReady);

    GLint largest = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &largest);
    for (int i = 0; i < 3; ++i)
    {
        GLint width = 0, height = 0, compare = 0;
        glBindTexture(GL_TEXTURE_2D, shadowDepthTextures[i]);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
        glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_COMPARE_MODE, &compare);
        // cascade 0 at sixteen times the window is wider than any driver allows
        EXPECT_EQ(width, std::min(int(1280 * scales[i]), largest)) << "cascade " << i;
        EXPECT_EQ(height, std::min(int(768 * scales[i]), largest)) << "cascade " << i;
        EXPECT_EQ(glm::ivec2(width, height), shadowMapSizes[i]);
        EXPECT_EQ(compare, GL_COMPARE_REF_TO_TEXTURE);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(shadowMapSize(1280, 768, 16.0f, glm::ivec2(16384)), glm::ivec2(16384, 12288));
    EXPECT_EQ(shadowMapSize(1280, 768, 4.0f, glm::ivec2(4096, 8192)), glm::ivec2(4096, 3072));

    glDeleteTextures(3, shadowDepthTextures);
    glDeleteFramebuffers(1, &shadowFramebuffer);
    glDeleteProgram(lightDepthProgram);
    shadowFramebuffer = lightDepthProgram = 0;
    std::fill(shadowDepthTextures, shadowDepthTextures + 3, 0u);
    shadowMapsReady = false;
}
