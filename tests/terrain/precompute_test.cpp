#include <algorithm>
#include <memory>
#include <tuple>
#include <sstream>

#include "reference.hpp"
#include "terrain_fixture.hpp"

using namespace terrain_test;

namespace
{
    // Which (tile, level, block) entries are above zero.
    std::vector<std::tuple<u32, u32, u32>> nonZeroErrors(const Terrain& t)
    {
        std::vector<std::tuple<u32, u32, u32>> found;
        for (u32 tile = 0; tile < t.tileCount(); ++tile)
        {
            for (u32 level = 0; level < 9; ++level)
            {
                for (u32 block = 0; block < 64; ++block)
                {
                    if (blockError(t, tile, level, block) != 0.0f)
                    {
                        found.emplace_back(tile, level, block);
                    }
                }
            }
        }
        return found;
    }

    std::vector<std::tuple<u32, u32, u32>> allLevels(std::initializer_list<std::pair<u32, u32>> tileBlocks, u32 fromLevel = 0)
    {
        std::vector<std::tuple<u32, u32, u32>> entries;
        for (const auto& [tile, block] : tileBlocks)
        {
            for (u32 level = fromLevel; level < 9; ++level)
            {
                entries.emplace_back(tile, level, block);
            }
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    }

    glm::vec3 normalAt(const Terrain& t, u32 x, u32 y)
    {
        const float* n = t.normals + 3 * (std::size_t(y) * t.width + x);
        return glm::vec3(n[0], n[1], n[2]);
    }

} // namespace

TEST(TerrainPrecompute, FlatGridFacesUpWithoutErrors)
{
    ModelFolder folder;
    folder.write(1025, 1025, [](u32, u32) { return 420.0f; });
    Terrain terrain;
    ASSERT_TRUE(terrain.load(folder.model));
    for (std::size_t i = 0; i < samples(terrain); ++i)
    {
        ASSERT_EQ(glm::vec3(0, 1, 0), normalAt(terrain, u32(i % 1025), u32(i / 1025))) << i;
    }
    EXPECT_TRUE(nonZeroErrors(terrain).empty());
}

TEST(TerrainPrecompute, PlanesHaveNoErrorAtAnyLevel)
{
    // Ranges of a power of two keep every height and every step of the error sum exact.
    struct Plane { const char* name; u32 width, height; std::function<float(u32, u32)> h; };
    const Plane planes[] =
    {
        { "rising east and south", 513, 513, [](u32 x, u32 y) { return 3.0f * x + y; } },
        { "falling", 513, 513, [](u32 x, u32 y) { return 2048.0f - x - 3.0f * y; } },
        { "rising south on a non-square grid", 1537, 1025, [](u32, u32 y) { return 700.0f + 2.0f * y; } },
    };
    for (const Plane& plane : planes)
    {
        SCOPED_TRACE(plane.name);
        ModelFolder folder;
        folder.write(plane.width, plane.height, plane.h);
        Terrain terrain;
        ASSERT_TRUE(terrain.load(folder.model));
        const auto found = nonZeroErrors(terrain);
        EXPECT_TRUE(found.empty()) << found.size() << " entries, first at tile " << std::get<0>(found[0])
                                   << " level " << std::get<1>(found[0]) << " block " << std::get<2>(found[0]);
    }

    // Any other plane is exact but for the binary16 rounding of its heights.
    ModelFolder folder;
    folder.write(1025, 513, [](u32 x, u32 y) { return 300.0f + 0.37f * x + 1.91f * y; });
    Terrain terrain;
    ASSERT_TRUE(terrain.load(folder.model));
    for (std::size_t i = 0; i < terrain.tileCount() * Terrain::errorsPerTile; ++i)
    {
        ASSERT_LT(terrain.blockErrors[i], 1.0f / 1024) << i;
    }
}

TEST(TerrainPrecompute, RaisedSampleChangesExactlyItsBlocks)
{
    struct Case
    {
        const char* name;
        u32 width, height, x, y;
        std::vector<std::tuple<u32, u32, u32>> expected;
    };
    const Case cases[] =
    {
        // never a cell corner: only the block that holds it, at every level
        { "inside block 10", 513, 513, 135, 77, allLevels({ { 0, 10 } }) },
        // a block corner: the four blocks around it, at every level
        { "corner of blocks 0, 1, 8, 9", 513, 513, 64, 64, allLevels({ { 0, 0 }, { 0, 1 }, { 0, 8 }, { 0, 9 } }) },
        // on the edge between tiles 4 and 5 of a 3 x 2 grid: the edge column belongs to the
        // left block's cells, and to the right block's only where its first cell reaches
        // (cells of 32 samples and more)
        { "tile edge", 1537, 1025, 1024, 601, [] {
            auto entries = allLevels({ { 4, 15 } });
            const auto right = allLevels({ { 5, 8 } });
            entries.insert(entries.end(), right.begin(), right.begin() + 5);
            std::sort(entries.begin(), entries.end());
            return entries; }() },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ModelFolder folder;
        folder.write(c.width, c.height, [&](u32 x, u32 y) { return x == c.x && y == c.y ? 100.0f : 0.0f; });
        Terrain terrain;
        ASSERT_TRUE(terrain.load(folder.model));
        EXPECT_EQ(c.expected, nonZeroErrors(terrain));
        if (c.width == 513 && c.x == 135)
        {
            for (u32 level = 0; level < 9; ++level)
            {
                EXPECT_EQ(1.0f, blockError(terrain, 0, level, 10)) << level;
            }
        }
    }
}

TEST(TerrainPrecompute, QuadsAlternateTheirDiagonalEvery32)
{
    struct Quad { u32 x, y; bool main; };
    const Quad quads[] =
    {
        { 0, 0, true }, { 31, 0, true }, { 32, 0, false }, { 63, 31, false }, { 64, 0, true },
        { 0, 32, false }, { 31, 31, true }, { 32, 32, true }, { 31, 32, false }, { 32, 31, false },
    };
    for (const Quad& q : quads)
    {
        EXPECT_EQ(q.main, quadUsesMainDiagonal(q.x, q.y)) << q.x << " " << q.y;
    }

    // A raised corner (x, y) reaches the normal of the opposite corner (x+1, y+1) only
    // through a diagonal between them. Raised samples stay 3 apart, so they do not mix.
    const std::vector<std::vector<Quad>> models =
    {
        { { 0, 0, true }, { 31, 0, true }, { 32, 32, true }, { 64, 64, true }, { 28, 40, false } },
        { { 32, 0, false }, { 31, 31, true }, { 0, 32, false }, { 63, 63, true }, { 40, 20, false } },
    };
    for (const auto& raised : models)
    {
        ModelFolder folder;
        folder.write(513, 513, [&](u32 x, u32 y)
        {
            for (const Quad& q : raised)
            {
                if (q.x == x && q.y == y) return 50.0f;
            }
            return 0.0f;
        });
        Terrain terrain;
        ASSERT_TRUE(terrain.load(folder.model));
        for (const Quad& q : raised)
        {
            const glm::vec3 n = normalAt(terrain, q.x + 1, q.y + 1);
            if (q.main)
            {
                EXPECT_LT(n.y, 0.999f) << q.x << " " << q.y;
            }
            else
            {
                EXPECT_EQ(glm::vec3(0, 1, 0), n) << q.x << " " << q.y;
            }
        }
    }
}

TEST(TerrainPrecompute, NormalsEqualTheSingleThreadedDefinition)
{
    ModelFolder folder;
    folder.write(1537, 1025, [](u32 x, u32 y)
    {
        return terrain_gen::alpineHeight(float(x) * 4.0f, float(y) * 4.0f, 3);
    });
    Terrain terrain;
    ASSERT_TRUE(terrain.load(folder.model));

    // the reference works on the heights as cached; compare before binary16 rounding
    const std::size_t n = samples(terrain);
    std::unique_ptr<float[]> expected(new float[n * 3]);
    terrain_gen::referenceNormals(terrain.heights, terrain.width, terrain.height, terrain.model[1][1], expected.get());
    testing::internal::CaptureStderr();
    terrain.computeNormals();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, std::memcmp(expected.get(), terrain.normals, n * 3 * sizeof(float)));
    for (std::size_t i = 0; i < n; ++i)
    {
        const glm::vec3 v(terrain.normals[3 * i], terrain.normals[3 * i + 1], terrain.normals[3 * i + 2]);
        ASSERT_NEAR(1.0f, glm::length(v), 1e-5f) << i;
        ASSERT_GT(v.y, 0.0f) << i;
    }
}

TEST(TerrainPrecompute, ProgressLinesComeInOrder)
{
    ModelFolder folder;
    folder.write(1537, 1025, hills);
    testing::internal::CaptureStderr();
    Terrain terrain;
    ASSERT_TRUE(terrain.load(folder.model));
    const std::string output = testing::internal::GetCapturedStderr();

    std::ostringstream expected;
    for (u32 row = 0; row < 1024; ++row)
    {
        expected << "computing normals, row: " << row << "\n";
    }
    for (u32 tile = 0; tile < 6; ++tile)
    {
        expected << "tile " << tile << " / 6\n";
    }
    EXPECT_EQ(expected.str(), output);
}
