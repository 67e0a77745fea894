#include <cfloat>
#include <limits>

#include <glm/gtc/packing.hpp>

#include "terrain_fixture.hpp"

using namespace terrain_test;

namespace
{
    float half(float value)
    {
        return glm::unpackHalf1x16(glm::packHalf1x16(value));
    }

    // Heights with no data, negative, NaN and infinite samples at known places; the samples
    // around the window are far higher than anything inside, so reading them would show.
    float untidy(u32 x, u32 y)
    {
        if (x == 10 && y == 10) return -32767.0f;
        if (x == 11 && y == 10) return -3.5f;
        if (x == 12 && y == 10) return std::numeric_limits<float>::quiet_NaN();
        if (x == 13 && y == 10) return std::numeric_limits<float>::infinity();
        if (x == 14 && y == 10) return -std::numeric_limits<float>::infinity();
        if (x == 300 && y == 400) return 2500.0f;
        return 1000.0f + float((x * 7 + y * 3) % 200);
    }

    void expectPyramidMatchesHeights(const Terrain& t)
    {
        for (u32 tile = 0; tile < t.tileCount(); ++tile)
        {
            const u32 x0 = (tile % t.tilesX()) * 512;
            const u32 y0 = (tile / t.tilesX()) * 512;
            for (u32 level = 0; level < 4; ++level)
            {
                const u32 side = 1u << level;
                const u32 span = 512 >> level;
                for (u32 cy = 0; cy < side; ++cy)
                {
                    for (u32 cx = 0; cx < side; ++cx)
                    {
                        float lo = FLT_MAX;
                        float hi = -FLT_MAX;
                        for (u32 y = y0 + cy * span; y < y0 + (cy + 1) * span; ++y)
                        {
                            for (u32 x = x0 + cx * span; x < x0 + (cx + 1) * span; ++x)
                            {
                                lo = std::min(lo, t.heights[std::size_t(y) * t.width + x]);
                                hi = std::max(hi, t.heights[std::size_t(y) * t.width + x]);
                            }
                        }
                        const MinMax& entry = t.minMax[level][(tile << (2 * level)) + cy * side + cx];
                        ASSERT_EQ(lo, entry.min) << tile << " " << level << " " << cx << " " << cy;
                        ASSERT_EQ(hi, entry.max) << tile << " " << level << " " << cx << " " << cy;
                    }
                }
            }
        }
    }

    void expectNoCaches(const ModelFolder& folder)
    {
        for (const char* suffix : cacheSuffixes)
        {
            EXPECT_FALSE(folder.exists(suffix)) << suffix;
        }
    }

} // namespace

TEST(TerrainImport, CleansAndNormalisesTheWindow)
{
    ModelFolder folder;
    folder.write(1025, 513, untidy, 99999.0f);
    Terrain terrain;
    ASSERT_TRUE(terrain.load(folder.model));

    // the cleaned samples count as 0 for the minimum, so the range is the highest sample
    EXPECT_EQ(2500.0f, terrain.heightRange);
    EXPECT_EQ(0.0f, terrain.minHeight);
    EXPECT_EQ(2500.0f / 50.0f, terrain.model[1][1]);
    for (u32 x = 10; x <= 14; ++x)
    {
        EXPECT_EQ(0.0f, terrain.heights[10 * 1025 + x]) << x;
    }
    EXPECT_EQ(1.0f, terrain.heights[400 * 1025 + 300]);
    for (const auto& [x, y] : { std::pair<u32, u32> { 0, 0 }, { 1024, 512 }, { 517, 3 } })
    {
        EXPECT_EQ(half(untidy(x, y) / 2500.0f), terrain.heights[std::size_t(y) * 1025 + x]) << x << " " << y;
    }
    for (std::size_t i = 0; i < samples(terrain); ++i)
    {
        ASSERT_TRUE(terrain.heights[i] >= 0.0f && terrain.heights[i] <= 1.0f) << i;
    }
    expectPyramidMatchesHeights(terrain);
}

TEST(TerrainImport, StripLayoutsAndExtraSamplesReadAlike)
{
    ModelFolder reference;
    reference.write(513, 513, hills);
    Terrain expected;
    ASSERT_TRUE(expected.load(reference.model));

    struct Layout { const char* name; u32 rowsPerStrip; bool lzw; bool predictor; norva::u16 samplesPerPixel; };
    const Layout layouts[] =
    {
        { "16 rows per LZW strip, not dividing row 99", 16, true, true, 1 },
        { "one LZW strip, rows per strip 2^32 - 1", 0xffffffff, true, true, 1 },
        { "LZW without predictor", 1, true, false, 1 },
        { "uncompressed strips of 7 rows", 7, false, false, 1 },
        { "two samples per pixel", 1, true, true, 2 },
    };
    for (const Layout& layout : layouts)
    {
        SCOPED_TRACE(layout.name);
        ModelFolder folder;
        terrain_gen::ModelOptions options = terrain_gen::windowModel(513, 513, hills);
        options.rowsPerStrip = layout.rowsPerStrip;
        options.lzw = layout.lzw;
        options.floatPredictor = layout.predictor;
        options.samplesPerPixel = layout.samplesPerPixel;
        folder.writeOptions(options);
        ASSERT_TRUE(terrain_gen::writeSizeFile(folder.cache("_size.dat"), 513, 513));

        Terrain terrain;
        ASSERT_TRUE(terrain.load(folder.model));
        EXPECT_EQ(0, std::memcmp(expected.heights, terrain.heights, samples(terrain) * sizeof(float)));
        EXPECT_EQ(expected.heightRange, terrain.heightRange);
    }
}

TEST(TerrainImport, ModelsSmallerThanTheWindowReadWhatTheyHold)
{
    struct Case { const char* name; u32 width, height; };
    const Case cases[] =
    {
        { "narrower", terrain_gen::windowColumn + 300, terrain_gen::windowRow + 513 },
        { "shorter", terrain_gen::windowColumn + 513, terrain_gen::windowRow + 200 },
        { "nothing of the window", 4000, 90 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ModelFolder folder;
        terrain_gen::ModelOptions options = terrain_gen::windowModel(513, 513, [](u32 x, u32 y) { return 100.0f + x + y; });
        options.width = c.width;
        options.height = c.height;
        folder.writeOptions(options);
        ASSERT_TRUE(terrain_gen::writeSizeFile(folder.cache("_size.dat"), 513, 513));

        testing::internal::CaptureStderr();
        Terrain terrain;
        ASSERT_TRUE(terrain.load(folder.model));
        const std::string output = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, output.find("does not cover")) << output;

        const u32 columns = c.width > terrain_gen::windowColumn ? std::min(513u, c.width - terrain_gen::windowColumn) : 0;
        const u32 rows = c.height > terrain_gen::windowRow ? std::min(513u, c.height - terrain_gen::windowRow) : 0;
        const float highest = columns && rows ? 100.0f + (columns - 1) + (rows - 1) : 0.0f;
        EXPECT_EQ(highest, terrain.heightRange);
        for (u32 y = 0; y < 513; ++y)
        {
            for (u32 x = 0; x < 513; ++x)
            {
                const float expected = x < columns && y < rows ? half((100.0f + x + y) / highest) : 0.0f;
                ASSERT_EQ(expected, terrain.heights[y * 513 + x]) << x << " " << y;
            }
        }
    }
}

TEST(TerrainImport, FlatModelGivesZeroHeights)
{
    ModelFolder folder;
    folder.write(513, 513, [](u32, u32) { return 812.0f; });
    Terrain terrain;
    ASSERT_TRUE(terrain.load(folder.model));
    EXPECT_EQ(0.0f, terrain.heightRange);
    EXPECT_EQ(0.0f, terrain.model[1][1]);
    for (std::size_t i = 0; i < samples(terrain); ++i)
    {
        ASSERT_EQ(0.0f, terrain.heights[i]) << i;
    }
}

TEST(TerrainImport, MissingModelWithoutSizeFileLeavesTheTerrainEmpty)
{
    ModelFolder folder;
    testing::internal::CaptureStderr();
    Terrain terrain;
    EXPECT_FALSE(terrain.load(folder.model));
    const std::string output = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, output.find("Cannot open the terrain model")) << output;
    EXPECT_FALSE(terrain.loaded);
    EXPECT_EQ(0u, terrain.tileCount());
    EXPECT_EQ(nullptr, terrain.heights);
    EXPECT_FALSE(folder.exists("_size.dat"));
    expectNoCaches(folder);
}

TEST(TerrainImport, BadModelsFailWithoutWritingCaches)
{
    struct Case
    {
        const char* name;
        const char* message;
        std::function<void(ModelFolder&)> make;
    };
    auto good = [] { return terrain_gen::windowModel(513, 513, hills); };
    const Case cases[] =
    {
        { "missing", "Cannot open", [](ModelFolder&) {} },
        { "tiled", "organised in tiles", [&](ModelFolder& f)
            {
                auto options = good();
                options.tiled = true;
                f.writeOptions(options);
            } },
        { "16-bit", "16-bit samples", [&](ModelFolder& f)
            {
                auto options = good();
                options.bitsPerSample = 16;
                f.writeOptions(options);
            } },
        { "truncated", "", [&](ModelFolder& f)
            {
                f.writeOptions(good());
                std::filesystem::resize_file(f.model, std::filesystem::file_size(f.model) / 2);
            } },
        { "damaged strips", "Reading row", [&](ModelFolder& f)
            {
                f.writeOptions(good());
                // overwrite the compressed data of the window rows, leaving header and directory
                std::fstream file(f.model, std::ios::in | std::ios::out | std::ios::binary);
                const auto size = std::filesystem::file_size(f.model);
                file.seekp(std::streamoff(size / 4));
                const std::string junk(std::size_t(size / 2), '\xff');
                file.write(junk.data(), std::streamsize(junk.size()));
            } },
        { "not a TIFF", "Cannot open", [](ModelFolder& f)
            {
                std::ofstream(f.model) << "II*\0 this is no terrain model";
            } },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ModelFolder folder;
        c.make(folder);
        ASSERT_TRUE(terrain_gen::writeSizeFile(folder.cache("_size.dat"), 513, 513));

        testing::internal::CaptureStderr();
        Terrain terrain;
        EXPECT_FALSE(terrain.load(folder.model));
        const std::string output = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, output.find(c.message)) << output;
        EXPECT_NE(std::string::npos, output.find("could not be imported")) << output;
        EXPECT_FALSE(terrain.loaded);
        EXPECT_EQ(0u, terrain.tileCount());
        EXPECT_EQ(nullptr, terrain.heights);
        expectNoCaches(folder);
    }
}
