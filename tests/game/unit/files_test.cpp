#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "game/paths.hpp"
#include "game/shader.hpp"

TEST(HostPath, BackslashesBecomeSlashes)
{
    EXPECT_EQ(hostPath("Textures\\DTM Austria 50m LZW.tif"), "Textures/DTM Austria 50m LZW.tif");
    EXPECT_EQ(hostPath("shaders\\terrain-vs.glsl"), "shaders/terrain-vs.glsl");
    EXPECT_EQ(hostPath("Shaders/testquad.vert"), "Shaders/testquad.vert");
    EXPECT_EQ(hostPath(""), "");
}

namespace
{
    // A scratch folder holding shaders/, made the current directory for one test.
    class ShaderFiles : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            previous = std::filesystem::current_path();
            folder = std::filesystem::temp_directory_path() /
                     ("zelmora-shader-" + std::to_string(getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
            std::filesystem::create_directories(folder / "shaders");
            std::filesystem::current_path(folder);
        }
        void TearDown() override
        {
            std::filesystem::current_path(previous);
            std::filesystem::remove_all(folder);
        }
        void write(const std::string& name, const std::string& text)
        {
            std::ofstream(folder / "shaders" / name, std::ios::binary) << text;
        }

        std::filesystem::path previous;
        std::filesystem::path folder;
    };

} // namespace

TEST_F(ShaderFiles, EveryLineEndsInALineFeedAndTheSourcesPointAtThem)
{
    write("a.glsl", "#version 430 core\nvoid main()\n{ }"); // no final line feed
    Shader shader("a.glsl", GL_VERTEX_SHADER);
    EXPECT_EQ(shader.path, "shaders\\a.glsl");
    EXPECT_TRUE(shader.load());
    ASSERT_EQ(shader.lines.size(), 3u);
    EXPECT_EQ(shader.lines[0], "#version 430 core\n");
    EXPECT_EQ(shader.lines[2], "{ }\n");
    ASSERT_EQ(shader.lineSources.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(shader.lineSources[i], shader.lines[i].c_str());
}

TEST_F(ShaderFiles, EmptyAndMissingFilesGiveNoLines)
{
    write("empty.glsl", "");
    Shader empty("empty.glsl", GL_FRAGMENT_SHADER);
    EXPECT_TRUE(empty.load());
    EXPECT_TRUE(empty.lines.empty());
    EXPECT_TRUE(empty.lineSources.empty());

    Shader missing("missing.glsl", GL_FRAGMENT_SHADER);
    EXPECT_TRUE(missing.load());
    EXPECT_TRUE(missing.lines.empty());
}

TEST_F(ShaderFiles, MovedShaderKeepsValidSources)
{
    write("b.glsl", std::string(100, 'x') + "\nshort\n"); // one line beyond any small-string buffer
    Shader shader("b.glsl", GL_VERTEX_SHADER);
    shader.load();
    Shader moved(std::move(shader));
    ASSERT_EQ(moved.lineSources.size(), 2u);
    EXPECT_EQ(moved.lineSources[0], moved.lines[0].c_str());
    EXPECT_EQ(moved.lineSources[1], moved.lines[1].c_str());
}
