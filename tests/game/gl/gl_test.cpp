// On a real OpenGL context (the test runs on an Xvfb display of its own): every shipped
// shader stage compiles, every program links with the uniforms the game sets, and the
// scene draws its sky box on every frame, without one GL error reported through debug
// output along the way.
#include <gtest/gtest.h>

#include <GL/glew.h>
#include <GLFW/glfw3.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <glm/gtc/matrix_transform.hpp>
#include <norva/core/exception.hpp>

#include "gl_context.hpp"
#include "game/camera.hpp"
#include "game/level_object.hpp"
#include "game/platform.hpp"
#include "game/scene.hpp"
#include "game/settings.hpp"
#include "game/shader.hpp"
#include "game/texture.hpp"
#include "game/window.hpp"

namespace
{
    using gl_test::glErrors;

    class GLContext : public ::testing::Environment
    {
    public:
        void SetUp() override
        {
            std::filesystem::current_path(ZELMORA_SOURCE_DIR "/assets");
            gl_test::openDebugContext("gl test", window);
        }
        void TearDown() override
        {
            glfwTerminate();
        }
    };

    const auto* environment = ::testing::AddGlobalTestEnvironment(new GLContext);

    class OnContext : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            glErrors.clear();
        }
        void TearDown() override
        {
            for (const std::string& e : glErrors)
                ADD_FAILURE() << "GL error: " << e;
        }
    };

    GLenum stageOf(const std::string& name)
    {
        auto ends = [&](const char* suffix) {
            std::string s(suffix);
            return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
        };
        if (ends(".vert") || ends(".vertexshader") || ends("_vs.glsl") || ends("-vs.glsl"))
            return GL_VERTEX_SHADER;
        if (ends(".frag") || ends(".fragmentshader") || ends("_fs.glsl") || ends("-fs.glsl"))
            return GL_FRAGMENT_SHADER;
        if (ends("-tcs.glsl"))
            return GL_TESS_CONTROL_SHADER;
        if (ends("-tes.glsl"))
            return GL_TESS_EVALUATION_SHADER;
        return 0;
    }

    bool linked(GLuint program)
    {
        GLint status = GL_FALSE;
        glGetProgramiv(program, GL_LINK_STATUS, &status);
        return status == GL_TRUE;
    }

} // namespace

TEST_F(OnContext, DebugOutputReachesTheTests)
{
    glEnable(0x1234); // not a capability
    EXPECT_EQ(glErrors.size(), 1u);
    glErrors.clear();
}

TEST_F(OnContext, EveryShippedStageCompiles)
{
    int stages = 0;
    for (const auto& entry : std::filesystem::directory_iterator("Shaders"))
    {
        const std::string name = entry.path().filename().string();
        const GLenum type = stageOf(name);
        ASSERT_NE(type, 0u) << name << ": no stage known for this file name";
        Shader shader(name, type); // read through the lower-case "shaders" spelling
        shader.load();
        EXPECT_FALSE(shader.lines.empty()) << name;
        EXPECT_TRUE(shader.compile()) << name;
        glDeleteShader(shader.glName);
        ++stages;
    }
    EXPECT_GE(stages, 8);
}

TEST_F(OnContext, EveryProgramLinksWithTheUniformsTheGameSets)
{
    struct Program
    {
        const char* vertex;
        const char* fragment;
        std::vector<const char*> uniforms;
    };
    const Program programs[] = {
        {"Shaders/NewShadingExperiment.vertexshader", "Shaders/NewShadingExperiment.fragmentshader",
         {"MVP", "M", "V", "depthRendering", "shadowsActive", "specularPowerFactor", "dirLight.direction",
          "dirLight.color", "dirLight.ambient", "dirLight.diffuse", "dirLight.specular", "cascadeDistances",
          "DepthBiasMVP", "shadowMap[0]", "shadowMap[1]", "shadowMap[2]", "myTextureSampler"}},
        {"shaders/c_vs.glsl", "shaders/c_fs.glsl", {"invView", "invProj"}},
        {"Shaders/testquad.vert", "Shaders/testquad.frag", {"inputTexture"}},
        {"Shaders/shadow_light_depth.vert", "Shaders/shadow_light_depth.frag", {"depthMVP"}},
    };
    for (const Program& p : programs)
    {
        const GLuint program = LoadShaders(p.vertex, p.fragment);
        ASSERT_NE(program, 0u) << p.vertex;
        EXPECT_TRUE(linked(program)) << p.vertex;
        for (const char* uniform : p.uniforms)
            EXPECT_NE(glGetUniformLocation(program, uniform), -1) << p.vertex << ": " << uniform;
        glDeleteProgram(program);
    }
}

TEST_F(OnContext, TerrainProgramLinksWithTheSharedFragmentStage)
{
    Shader vs("terrain-vs.glsl", GL_VERTEX_SHADER);
    Shader fs("NewShadingExperiment.fragmentshader", GL_FRAGMENT_SHADER);
    Shader tcs("terrain-tcs.glsl", GL_TESS_CONTROL_SHADER);
    Shader tes("terrain-tes.glsl", GL_TESS_EVALUATION_SHADER);
    ShaderProgram program;
    for (Shader* s : {&vs, &fs, &tcs, &tes})
    {
        s->load();
        EXPECT_TRUE(s->compile()) << s->path;
        program.stages.push_back(s);
    }
    ASSERT_TRUE(program.link());
    for (const char* attribute : {"position_v", "texCoord_v", "tessLevelOuter_v", "tessLevelInner_v"})
        EXPECT_NE(glGetAttribLocation(program.program, attribute), -1) << attribute;
    for (Shader* s : {&vs, &fs, &tcs, &tes})
        glDeleteShader(s->glName);
    glDeleteProgram(program.program);
}

TEST_F(OnContext, MissingVertexFileGivesProgramZero)
{
    EXPECT_EQ(LoadShaders("Shaders/no-such-file.vert", "Shaders/testquad.frag"), 0u);
}

namespace
{
    GLint levelZeroWidth(GLuint texture)
    {
        GLint width = -1;
        glBindTexture(GL_TEXTURE_2D, texture);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        glBindTexture(GL_TEXTURE_2D, 0);
        return width;
    }

    // A scratch copy of the asset folder, made the current directory, for tests that break it.
    class AssetCopy : public OnContext
    {
    protected:
        void SetUp() override
        {
            OnContext::SetUp();
            previous = std::filesystem::current_path();
            folder = std::filesystem::temp_directory_path() /
                     ("zelmora-assets-" + std::to_string(getpid()) + "-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
            std::filesystem::remove_all(folder);
            std::filesystem::create_directories(folder / "Textures");
            // not the terrain's model and caches: they may be large, and the sky-box tests
            // look where the terrain would be
            for (const char* part : {"Levels", "Meshes", "Shaders", "shaders", "Textures/red.png"})
                std::filesystem::copy(previous / part, folder / part,
                                      std::filesystem::copy_options::recursive |
                                          std::filesystem::copy_options::copy_symlinks);
            // the tests' sky box, one colour a face, so a pixel says which face shows
            std::filesystem::copy(std::filesystem::path(ZELMORA_SOURCE_DIR) / "tests/fixtures/game/SkyBox", folder / "SkyBox",
                                  std::filesystem::copy_options::recursive);
            std::filesystem::current_path(folder);
        }
        void TearDown() override
        {
            std::filesystem::current_path(previous);
            std::filesystem::remove_all(folder);
            OnContext::TearDown();
        }
        std::filesystem::path previous;
        std::filesystem::path folder;
    };

} // namespace

TEST_F(AssetCopy, SceneDrawsTheSkyBoxOnEveryFrame)
{
    glfwGetFramebufferSize(window, &windowWidth, &windowHeight);
    glClearColor(0.0f, 0.0f, 0.8f, 0.0f);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_CULL_FACE);
    scene.load(levelPath(levelNumber));

    // What a draw that binds no vertex array of its own does to whichever array is bound:
    // the sky box's must not be the one.
    GLuint junk = 0;
    const float zeros[3] = {};
    glGenBuffers(1, &junk);
    auto foreignDraw = [&] {
        glBindBuffer(GL_ARRAY_BUFFER, junk);
        glBufferData(GL_ARRAY_BUFFER, sizeof(zeros), zeros, GL_STATIC_DRAW);
        glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
        glDisableVertexAttribArray(0);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
    };

    std::array<unsigned char, 4> first{};
    for (int frame = 0; frame < 4; ++frame)
    {
        foreignDraw();
        scene.renderFrame(0.1 * frame, 0.1);
        std::array<unsigned char, 4> rgba{};
        glReadBuffer(GL_BACK);
        glReadPixels(windowWidth / 2, windowHeight - 10, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
        EXPECT_FALSE(rgba[0] == 0 && rgba[1] == 0 && rgba[2] == 204) << "frame " << frame << " shows the clear colour";
        if (frame == 0)
            first = rgba;
        EXPECT_EQ(rgba, first) << "frame " << frame;
        glfwSwapBuffers(window);
    }
    glDeleteBuffers(1, &junk);
    scene.release();
}

TEST_F(AssetCopy, SkyBoxFacesLieAlongTheirAxes)
{
    struct Face
    {
        const char* file;
        glm::vec3 direction; // nudged off the y axis: the camera keeps +y up
        std::array<unsigned char, 3> colour;
    };
    // the colours tests/fixtures/game/make_test_sky.sh gives the faces
    const Face faces[] = {
        {"Front", {0, 0, -1}, {255, 128, 0}},  {"Back", {0, 0, 1}, {128, 0, 255}},
        {"Top", {0, 1, -0.01f}, {64, 192, 255}}, {"Bottom", {0, -1, -0.01f}, {128, 96, 64}},
        {"Right", {-1, 0, 0}, {0, 192, 0}},    {"Left", {1, 0, 0}, {255, 255, 0}},
    };
    glfwGetFramebufferSize(window, &windowWidth, &windowHeight);
    scene.load(levelPath(levelNumber));
    for (const Face& face : faces)
    {
        // the camera looks where the mouse angles say: set them, and keep the mouse still
        const glm::vec3 d = glm::normalize(face.direction);
        horizontalAngle = std::atan2(d.x, d.z);
        verticalAngle = std::asin(d.y);
        glfwSetCursorPos(window, windowWidth / 2, windowHeight / 2);
        scene.renderFrame(0.0, 0.0);
        std::array<unsigned char, 4> rgba{};
        glReadBuffer(GL_BACK);
        glReadPixels(windowWidth / 2, windowHeight / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(rgba[c], face.colour[c], 1) << face.file << ", component " << c;
    }
    scene.release();
}

TEST_F(OnContext, LevelObjectsDrawIntoADepthMap)
{
    const int size = 64;
    GLuint depth = 0;
    glGenTextures(1, &depth);
    glBindTexture(GL_TEXTURE_2D, depth);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_DEPTH_COMPONENT24, size, size, 0, GL_DEPTH_COMPONENT, GL_FLOAT, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    GLuint framebuffer = 0;
    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_TEXTURE_2D, depth, 0);
    glDrawBuffer(GL_NONE);
    glReadBuffer(GL_NONE);
    ASSERT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));
    glViewport(0, 0, size, size);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    glClearDepth(1.0);
    glClear(GL_DEPTH_BUFFER_BIT);

    GLuint program = LoadShaders("Shaders/shadow_light_depth.vert", "Shaders/shadow_light_depth.frag");
    glUseProgram(program);
    depthMVPLocation = glGetUniformLocation(program, "depthMVP");
    useDepthMVP = true;

    LevelObject cube;
    cube.init("Meshes/cube.obj", &program);
    ASSERT_TRUE(cube.loaded);
    EXPECT_NE(cube.vertexArray, 0u);
    LevelObject missing;
    missing.init("Meshes/no-such-mesh.obj", &program);
    EXPECT_FALSE(missing.loaded);

    // another array left bound must not matter: each object draws from its own
    GLuint foreign = 0;
    glGenVertexArrays(1, &foreign);
    glBindVertexArray(foreign);
    const glm::mat4 projection = glm::ortho(-2.0f, 2.0f, -2.0f, 2.0f, 0.1f, 10.0f);
    const glm::mat4 view = glm::lookAt(glm::vec3(0, 0, 5), glm::vec3(0), glm::vec3(0, 1, 0));
    missing.draw(projection, view, 0.0f);
    cube.draw(projection, view, 0.0f);
    glFinish();

    float centre = -1.0f;
    float corner = -1.0f;
    glReadPixels(size / 2, size / 2, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &centre);
    glReadPixels(1, 1, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &corner);
    // the cube's front face lies 4 from the eye: (4 - 0.1) / (10 - 0.1) in the map
    EXPECT_NEAR(centre, 3.9f / 9.9f, 1e-3f);
    EXPECT_EQ(corner, 1.0f);

    cube.releaseGL();
    missing.releaseGL();
    EXPECT_EQ(cube.vertexArray, 0u);
    EXPECT_TRUE(cube.textures.empty() || cube.textures[0] == nullptr);
    useDepthMVP = false;
    depthMVPLocation = -1;
    glBindVertexArray(0);
    glDeleteVertexArrays(1, &foreign);
    glDeleteProgram(program);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &framebuffer);
    glDeleteTextures(1, &depth);
    glReadBuffer(GL_BACK);
    glDrawBuffer(GL_BACK);
}


TEST_F(AssetCopy, TextureUploadsWhatDecodesAndSurvivesWhatDoesNot)
{
    Texture red("Textures/red.png");
    EXPECT_TRUE(red.load());
    EXPECT_TRUE(texturesLoaded);
    EXPECT_NE(red.glName, 0u);
    EXPECT_EQ(levelZeroWidth(red.glName), 4);
    glDeleteTextures(1, &red.glName);

    // no decoder for the extension: an empty texture and a console line, no GL error
    std::filesystem::copy_file("Textures/red.png", "Textures/red.unknown-format");
    Texture unknown("Textures\\red.unknown-format"); // the game's spelling, mapped to the host's
    EXPECT_TRUE(unknown.load());
    EXPECT_EQ(levelZeroWidth(unknown.glName), 0);
    glDeleteTextures(1, &unknown.glName);

    Texture missing("Textures/no-such-file.png");
    EXPECT_THROW(missing.load(), norva::Exception);
}

TEST_F(AssetCopy, LoadShadersLogsEveryStepAndReturnsAProgramThatFailed)
{
    std::ofstream("Shaders/broken.frag") << "#version 330 core\nout vec4 colour;\nvoid main() { colour = undeclaredColour; }\n";
    ::testing::internal::CaptureStdout();
    const GLuint program = LoadShaders("Shaders/testquad.vert", "Shaders/broken.frag");
    std::fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    // the driver may report the failed compile through debug output as well
    glErrors.clear();

    const std::string vertexLine = "Compiling shader : Shaders/testquad.vert\n";
    const std::string fragmentLine = "Compiling shader : Shaders/broken.frag\n";
    const std::string linkLine = "Linking program\n";
    EXPECT_EQ(out.compare(0, vertexLine.size(), vertexLine), 0) << out;
    const std::size_t fragment = out.find(fragmentLine);
    const std::size_t link = out.find(linkLine);
    ASSERT_NE(fragment, std::string::npos) << out;
    ASSERT_NE(link, std::string::npos) << out;
    ASSERT_LT(fragment, link) << out;
    // the compile log names what is wrong, and the link log follows its line
    const std::string compileLog = out.substr(fragment + fragmentLine.size(), link - fragment - fragmentLine.size());
    EXPECT_NE(compileLog.find("undeclaredColour"), std::string::npos) << out;
    EXPECT_GT(out.size(), link + linkLine.size() + 1) << "no link log: " << out;

    EXPECT_NE(program, 0u);
    EXPECT_FALSE(linked(program));
    glDeleteProgram(program);
}

TEST_F(AssetCopy, LevelLoadThatThrowsIsReportedNotFatal)
{
    std::filesystem::remove("SkyBox/sunny_day/Daylight Box_Top.bmp");
    levelLoadFailed = false;
    EXPECT_FALSE(loadLevel(levelPath(levelNumber)));
    EXPECT_TRUE(levelLoadFailed);
    levelLoadFailed = false;
    scene.release();
}
