#include <cfloat>

#include "terrain_fixture.hpp"

using namespace terrain_test;

TEST(TerrainState, StartsEmptyWithEveryNameAndPointerSet)
{
    Terrain terrain;
    EXPECT_EQ(glm::mat4(1.0f), terrain.viewProjection);
    EXPECT_EQ(glm::mat4(1.0f), terrain.mvp);
    EXPECT_EQ(glm::mat4(1.0f), terrain.model);
    EXPECT_EQ(glm::vec3(0.0f), terrain.cameraPosition);
    ASSERT_NE(nullptr, terrain.grass);
    EXPECT_EQ("Textures/GrassGreenTexture0002.jpg", terrain.grass->path);
    EXPECT_EQ(0u, terrain.grass->glName);
    EXPECT_EQ(0u, terrain.program.program);
    EXPECT_TRUE(terrain.program.stages.empty());
    EXPECT_EQ(0u, terrain.displacementTex);
    EXPECT_EQ(0u, terrain.normalTex);
    EXPECT_EQ(FLT_MAX, terrain.minHeight);
    EXPECT_EQ(-FLT_MAX, terrain.heightRange);
    EXPECT_EQ(50.0f, terrain.metresPerSample);
    EXPECT_FALSE(terrain.loaded);
    EXPECT_FALSE(terrain.glReady);
    EXPECT_EQ(0u, terrain.width);
    EXPECT_EQ(0u, terrain.tileCount());
    for (const void* p : { (const void*)terrain.heights, (const void*)terrain.normals, (const void*)terrain.blockErrors,
                           (const void*)terrain.blockLevel, (const void*)terrain.tileVisible,
                           (const void*)terrain.tileCameraVisible, (const void*)terrain.trees,
                           (const void*)terrain.view.heights, (const void*)terrain.cameraFrustum,
                           (const void*)terrain.cascadeFrusta })
    {
        EXPECT_EQ(nullptr, p);
    }
    for (const auto* level : terrain.minMax)
    {
        EXPECT_EQ(nullptr, level);
    }
    // nothing to release: no GL call is made without a context
    terrain.releaseGL();
}

TEST(TerrainState, LoadedTerrainHasItsPerFrameArrays)
{
    ModelFolder folder;
    folder.write(1537, 1025, hills);
    Terrain terrain;
    ASSERT_TRUE(terrain.load(folder.model));
    EXPECT_TRUE(terrain.loaded);
    EXPECT_EQ(terrain.heights, terrain.view.heights);
    EXPECT_EQ(terrain.normals, terrain.view.normals);
    EXPECT_EQ(1537u, terrain.view.width);
    EXPECT_EQ(1025u, terrain.view.height);
    EXPECT_EQ(3u, terrain.tilesX());
    EXPECT_EQ(2u, terrain.tilesY());
    ASSERT_NE(nullptr, terrain.trees);
    for (u32 t = 0; t < terrain.tileCount(); ++t)
    {
        EXPECT_EQ(nullptr, terrain.trees[t].root);
        EXPECT_EQ(8, terrain.trees[t].gridSize);
        EXPECT_EQ(10, terrain.trees[t].maxLevel);
        EXPECT_EQ(0, terrain.tileVisible[t] | terrain.tileCameraVisible[t] | terrain.tileCascadeVisible[2][t]);
    }
    EXPECT_EQ(0, terrain.blockLevel[6 * 64 - 1]);
}
