#include <cstdio>
#include <cstring>
#include <fstream>

#include <glm/gtc/packing.hpp>

#include "game/paths.hpp"
#include "terrain_fixture.hpp"

using namespace terrain_test;

namespace
{
    void expectSameArrays(const Terrain& a, const Terrain& b)
    {
        ASSERT_EQ(a.width, b.width);
        ASSERT_EQ(a.height, b.height);
        const std::size_t n = samples(a);
        const std::size_t tiles = a.tileCount();
        EXPECT_EQ(0, std::memcmp(a.heights, b.heights, n * sizeof(float)));
        EXPECT_EQ(0, std::memcmp(a.normals, b.normals, n * 3 * sizeof(float)));
        EXPECT_EQ(0, std::memcmp(a.blockErrors, b.blockErrors, tiles * Terrain::errorsPerTile * sizeof(float)));
        for (u32 level = 0; level < Terrain::pyramidLevels; ++level)
        {
            EXPECT_EQ(0, std::memcmp(a.minMax[level], b.minMax[level], (tiles << (2 * level)) * sizeof(MinMax))) << level;
        }
        EXPECT_EQ(a.minHeight, b.minHeight);
        EXPECT_EQ(a.heightRange, b.heightRange);
        EXPECT_EQ(a.model, b.model);
    }

    std::vector<unsigned char> readBytes(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {});
    }

    unsigned u16le(const std::vector<unsigned char>& bytes, std::size_t offset)
    {
        return bytes[offset] | bytes[offset + 1] << 8;
    }

    void truncateBy(const std::string& path, std::uintmax_t bytes)
    {
        std::filesystem::resize_file(path, std::filesystem::file_size(path) - bytes);
    }

} // namespace

TEST(TerrainCache, FilesHaveExactSizesAndReloadIdentically)
{
    struct Grid { u32 width, height, tiles; };
    for (const Grid grid : { Grid { 513, 513, 1 }, Grid { 1025, 1025, 4 }, Grid { 1537, 1025, 6 } })
    {
        SCOPED_TRACE(testing::Message() << grid.width << " x " << grid.height);
        ModelFolder folder;
        folder.write(grid.width, grid.height, hills);

        Terrain first;
        ASSERT_TRUE(first.load(folder.model));
        EXPECT_EQ(grid.tiles, first.tileCount());
        EXPECT_EQ((grid.width - 1) / 512, first.tilesX());

        const std::uintmax_t n = std::uintmax_t(grid.width) * grid.height;
        EXPECT_EQ(8u, folder.size("_size.dat"));
        EXPECT_EQ(n * 2 + 8 + grid.tiles * 340, folder.size("_packed.dat"));
        EXPECT_EQ(n * 6, folder.size("_normals_packed.dat"));
        EXPECT_EQ(grid.tiles * 1152u, folder.size("_errors_packed.dat"));

        Terrain second;
        ASSERT_TRUE(second.load(folder.model));
        expectSameArrays(first, second);
    }
}

TEST(TerrainCache, BytesAreLittleEndianBinary16)
{
    ModelFolder folder;
    folder.write(513, 513, hills);
    Terrain terrain;
    ASSERT_TRUE(terrain.load(folder.model));

    const auto size = readBytes(folder.cache("_size.dat"));
    EXPECT_EQ((std::vector<unsigned char> { 0x01, 0x02, 0, 0, 0x01, 0x02, 0, 0 }), size);

    // in memory every value is already a binary16 value, so packing it again is exact
    const auto packed = readBytes(folder.cache("_packed.dat"));
    const std::size_t n = samples(terrain);
    for (std::size_t i : { std::size_t(0), std::size_t(1), std::size_t(777), n - 1 })
    {
        EXPECT_EQ(glm::packHalf1x16(terrain.heights[i]), u16le(packed, i * 2)) << i;
        EXPECT_EQ(terrain.heights[i], glm::unpackHalf1x16(u16le(packed, i * 2)));
    }
    float range;
    float minimum;
    const unsigned char rangeBytes[4] = { packed[n * 2 + 4], packed[n * 2 + 5], packed[n * 2 + 6], packed[n * 2 + 7] };
    const unsigned char minBytes[4] = { packed[n * 2], packed[n * 2 + 1], packed[n * 2 + 2], packed[n * 2 + 3] };
    std::memcpy(&range, rangeBytes, 4);
    std::memcpy(&minimum, minBytes, 4);
    EXPECT_EQ(terrain.heightRange, range);
    EXPECT_EQ(0.0f, minimum);
    EXPECT_GT(range, 600.0f);

    // pyramid level 0 of the one tile, then level 3's last block
    const std::size_t pyramid = n * 2 + 8;
    EXPECT_EQ(glm::packHalf1x16(terrain.minMax[0][0].min), u16le(packed, pyramid));
    EXPECT_EQ(glm::packHalf1x16(terrain.minMax[0][0].max), u16le(packed, pyramid + 2));
    const std::size_t level3 = pyramid + (1 + 4 + 16) * 4;
    EXPECT_EQ(glm::packHalf1x16(terrain.minMax[3][63].max), u16le(packed, level3 + 63 * 4 + 2));

    const auto normals = readBytes(folder.cache("_normals_packed.dat"));
    EXPECT_EQ(glm::packHalf1x16(terrain.normals[3 * 1000 + 2]), u16le(normals, (3 * 1000 + 2) * 2));
    const auto errors = readBytes(folder.cache("_errors_packed.dat"));
    EXPECT_EQ(glm::packHalf1x16(blockError(terrain, 0, 5, 17)), u16le(errors, (5 * 64 + 17) * 2));
}

TEST(TerrainCache, ShortCachesAreMadeAgainAndLongerOnesAccepted)
{
    ModelFolder folder;
    folder.write(513, 513, hills);
    Terrain first;
    ASSERT_TRUE(first.load(folder.model));

    // a changed model shows whether the import ran again
    folder.write(513, 513, [](u32 x, u32 y) { return hills(y, x); });
    truncateBy(folder.cache("_packed.dat"), 1);
    {
        std::ofstream longer(folder.cache("_normals_packed.dat"), std::ios::binary | std::ios::app);
        longer << "extra bytes";
    }
    Terrain second;
    ASSERT_TRUE(second.load(folder.model));
    EXPECT_EQ(513u * 513 * 2 + 8 + 340, folder.size("_packed.dat"));
    EXPECT_NE(0, std::memcmp(first.heights, second.heights, samples(first) * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(first.normals, second.normals, samples(first) * 3 * sizeof(float)));

    // short normal and error caches are computed again, to what missing ones give
    std::filesystem::remove(folder.cache("_normals_packed.dat"));
    std::filesystem::remove(folder.cache("_errors_packed.dat"));
    Terrain computed;
    ASSERT_TRUE(computed.load(folder.model));
    truncateBy(folder.cache("_normals_packed.dat"), 100);
    truncateBy(folder.cache("_errors_packed.dat"), 2);
    Terrain third;
    ASSERT_TRUE(third.load(folder.model));
    expectSameArrays(computed, third);
    EXPECT_EQ(513u * 513 * 6, folder.size("_normals_packed.dat"));
}

TEST(TerrainCache, SecondLoadDoesNothing)
{
    ModelFolder folder;
    folder.write(513, 513, hills);
    Terrain terrain;
    ASSERT_TRUE(terrain.load(folder.model));
    const float* heights = terrain.heights;
    std::filesystem::remove_all(folder.dir);
    EXPECT_TRUE(terrain.load(folder.model));
    EXPECT_EQ(heights, terrain.heights);
    EXPECT_FALSE(std::filesystem::exists(folder.dir));
}

TEST(TerrainCache, GamePathsWithBackslashesFindTheModel)
{
    ModelFolder folder;
    folder.write(513, 513, hills);
    std::string gamePath = folder.model;
    gamePath[gamePath.rfind('/')] = '\\';
    Terrain terrain;
    ASSERT_TRUE(terrain.load(gamePath));
    EXPECT_TRUE(folder.exists("_packed.dat"));
    EXPECT_EQ("Textures/DTM Austria 50m LZW.tif", hostPath("Textures\\DTM Austria 50m LZW.tif"));
}

TEST(TerrainCache, SmallGridsHaveNoTiles)
{
    ModelFolder folder;
    folder.write(300, 200, hills);
    Terrain terrain;
    ASSERT_TRUE(terrain.load(folder.model));
    EXPECT_EQ(0u, terrain.tileCount());
    EXPECT_EQ(300u * 200 * 2 + 8, folder.size("_packed.dat"));
    EXPECT_EQ(0u, folder.size("_errors_packed.dat"));
    const glm::vec3 normal(terrain.normals[0], terrain.normals[1], terrain.normals[2]);
    EXPECT_NEAR(1.0f, glm::length(normal), 1e-3f);
}

TEST(TerrainCache, UnusableSizeFilesAreIgnored)
{
    struct Case { const char* name; std::vector<unsigned char> bytes; };
    const Case cases[] =
    {
        { "zero", { 0, 0, 0, 0, 0, 0, 0, 0 } },
        { "huge", { 0xff, 0xff, 0xff, 0xff, 0x01, 0x02, 0, 0 } },
        { "short", { 0x01, 0x02, 0, 0 } },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        // no model either: the terrain stays empty and no size file is made up
        ModelFolder folder;
        {
            std::ofstream file(folder.cache("_size.dat"), std::ios::binary);
            file.write(reinterpret_cast<const char*>(c.bytes.data()), c.bytes.size());
        }
        testing::internal::CaptureStderr();
        Terrain terrain;
        EXPECT_FALSE(terrain.load(folder.model));
        const std::string output = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, output.find("Cannot open the terrain model")) << output;
        EXPECT_EQ(0u, terrain.width);
        EXPECT_EQ(0u, terrain.tileCount());
        EXPECT_FALSE(terrain.loaded);
        EXPECT_EQ(c.bytes, readBytes(folder.cache("_size.dat")));
    }
}
