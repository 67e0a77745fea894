// The terrain's per-frame CPU steps without a GL context: tile and patch culling, block
// levels, tree building and the stitching that keeps neighbouring patches crack-free.
#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <vector>

#include <glm/gtc/matrix_transform.hpp>

#include "frustum.hpp"
#include "game/settings.hpp"
#include "terrain_fixture.hpp"

using namespace terrain_test;

namespace
{
    // A terrain of tilesX x tilesY tiles without a model: flat heights 0 .. 0.1 everywhere,
    // zero errors, a y scale of 10.
    void makeGrid(Terrain& t, u32 tilesX, u32 tilesY)
    {
        t.width = tilesX * Terrain::tileSize + 1;
        t.height = tilesY * Terrain::tileSize + 1;
        const std::size_t tiles = t.tileCount();
        for (u32 level = 0; level < Terrain::pyramidLevels; ++level)
        {
            t.minMax[level] = new MinMax[tiles << (2 * level)];
            std::fill(t.minMax[level], t.minMax[level] + (tiles << (2 * level)), MinMax { 0.0f, 0.1f });
        }
        t.blockErrors = new float[tiles * Terrain::errorsPerTile]();
        t.allocateFrameArrays();
        t.model[1][1] = 10.0f;
        t.loaded = 1;
    }

    // The camera's frustum as the game builds it, looking from eye towards target.
    Frustum cameraFrustum(const glm::vec3& eye, const glm::vec3& target)
    {
        Frustum f;
        const float r = 768.0f / 1280.0f;
        f.nearDistance = 0.1f;
        f.farDistance = 3000.0f;
        f.nearHeight = 0.1f * r;
        f.nearWidth = 0.1f;
        f.farHeight = 3000.0f * r;
        f.farWidth = 3000.0f;
        const float splits[4] = { 0.1f, 750.075f, 1500.05f, 3000.0f };
        std::copy(splits, splits + 4, f.cascadeSplits);
        f.hasCascades = 1;
        f.setFromView(glm::inverse(glm::lookAt(eye, target, glm::vec3(0, 1, 0))));
        return f;
    }

    // A light frustum: a cube of half size r around centre, as the shadow cascades build it.
    Frustum lightCube(const glm::vec3& centre, float r)
    {
        Frustum f;
        f.nearDistance = -r;
        f.farDistance = r;
        f.nearHeight = f.nearWidth = f.farHeight = f.farWidth = 2 * r;
        f.setFromView(glm::inverse(glm::lookAt(centre, centre + glm::vec3(0.2f, 0.2f, 0.8f), glm::vec3(0, 1, 0))));
        return f;
    }

    void setCamera(Terrain& t, const glm::vec3& eye, const glm::vec3& target)
    {
        const glm::mat4 projection = glm::perspective(glm::pi<float>() / 4, 1280.0f / 768.0f, 0.1f, 3000.0f);
        t.viewProjection = projection * glm::lookAt(eye, target, glm::vec3(0, 1, 0));
        t.mvp = t.viewProjection * t.model;
        t.cameraPosition = eye;
    }

    void runFrame(Terrain& t)
    {
        t.resetVisibility();
        t.cullTiles();
        t.updateTrees();
        t.cullPatches();
    }

    struct Leaf
    {
        u32 tile;
        const TilePatch* patch;
    };

    void collectLeaves(const TileNode* node, u32 tile, std::vector<Leaf>& leaves)
    {
        if (node->isLeaf())
        {
            leaves.push_back({ tile, node->patch });
            return;
        }
        for (const TileNode* child : node->child)
        {
            collectLeaves(child, tile, leaves);
        }
    }

    // An edge of a leaf: the line it lies on (x = c for vertical edges, z = c for horizontal
    // ones), its extent along the line and the vertices its outer level puts on it.
    struct Edge
    {
        bool vertical;
        int line;
        int from;
        int to;
        int level;
    };

    Edge edgeOf(const TilePatch& p, int e)
    {
        const int x0 = int(p.position[0].x), y0 = int(p.position[0].y);
        const int x1 = int(p.position[2].x), y1 = int(p.position[2].y);
        switch (e)
        {
        case 0: return { true, x0, y0, y1, p.outerLevel[0] };
        case 1: return { false, y0, x0, x1, p.outerLevel[1] };
        case 2: return { true, x1, y0, y1, p.outerLevel[2] };
        default: return { false, y1, x0, x1, p.outerLevel[3] };
        }
    }

    // The vertices equal spacing puts on the edge, within [from, to] of its line.
    void addVertices(const Edge& edge, int from, int to, std::set<int>& out)
    {
        const int length = edge.to - edge.from;
        for (int i = 0; i <= edge.level; ++i)
        {
            // sample positions: levels and lengths are powers of two, segments whole samples
            const int v = edge.from + length * i / edge.level;
            if (v >= from && v <= to)
                out.insert(v);
        }
    }

} // namespace

TEST(TerrainTrees, CoarseTilesAreOneLeafAndFineBlocksSplitDownToThemselves)
{
    TileTree tree;
    std::vector<norva::s32> levels(64, 3);
    levels[9] = 6;
    tree.build(levels.data());
    ASSERT_TRUE(tree.root->isLeaf());
    EXPECT_EQ(64, tree.root->patch->innerLevel);
    EXPECT_EQ(0, tree.root->patch->level);
    EXPECT_EQ(0, countVisiblePatches(tree.root, -1));
    tree.root->patch->cameraVisible = 1;
    EXPECT_EQ(1, countVisiblePatches(tree.root, -1));

    // block (bx 5, by 6) at level 9: the tile, its bottom-right half and quarter split
    levels[6 * 8 + 5] = 9;
    tree.build(levels.data());
    const TileNode* half = tree.root->child[2];      // bottom right half: cells x 2..3, y 2..3 of 4
    ASSERT_FALSE(tree.root->isLeaf());
    ASSERT_FALSE(half->isLeaf());
    const TileNode* quarter = half->child[3];        // of it, bottom left: quarter (2, 3)
    ASSERT_FALSE(quarter->isLeaf());
    const TilePatch* block = quarter->child[1]->patch; // top right of that quarter: block (5, 6)
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(3, block->level);
    EXPECT_EQ(6 * 8 + 5, block->index);
    EXPECT_EQ(64, block->innerLevel);
    // a half-tile leaf of maximum level 6 draws 2^(6 - 1) segments
    EXPECT_TRUE(tree.root->child[0]->isLeaf());
    EXPECT_EQ(32, tree.root->child[0]->patch->innerLevel);
    EXPECT_EQ(0, tree.root->child[0]->patch->index);
    EXPECT_EQ(1, tree.root->child[1]->patch->index);
}

TEST(TerrainTrees, StitchingGivesBothSidesOfAnEdgeTheSameSegments)
{
    auto leaf = [](norva::s32 inner)
    {
        TileNode* node = new TileNode();
        node->patch = new TilePatch();
        node->patch->innerLevel = inner;
        return node;
    };

    // two leaves: the coarser level on both sides
    TileNode* a = leaf(8);
    TileNode* b = leaf(32);
    stitchEdge(a, b, 8, 0);
    EXPECT_EQ(8, a->patch->outerLevel[2]);
    EXPECT_EQ(8, b->patch->outerLevel[0]);

    // a leaf of level 16 above an inner node whose top edge holds a leaf of size 4 (level 16)
    // and two of size 2 (level 8): the edge takes 16 segments, 8 and 4 + 4 on the fine side
    TileNode* fine = new TileNode();
    fine->child[0] = leaf(16);
    fine->child[1] = new TileNode();
    fine->child[1]->child[0] = leaf(8);
    fine->child[1]->child[1] = leaf(8);
    fine->child[1]->child[2] = leaf(8);
    fine->child[1]->child[3] = leaf(8);
    fine->child[2] = leaf(16);
    fine->child[3] = leaf(16);
    TileNode* coarse = leaf(16);
    stitchEdge(coarse, fine, 8, 1);
    EXPECT_EQ(16, coarse->patch->outerLevel[3]);
    EXPECT_EQ(8, fine->child[0]->patch->outerLevel[1]);
    EXPECT_EQ(4, fine->child[1]->child[0]->patch->outerLevel[1]);
    EXPECT_EQ(4, fine->child[1]->child[1]->patch->outerLevel[1]);

    // against the sentinel a block-sized leaf of level 64 on a split tile edge gets 64 / 8
    TileTree tile;
    std::vector<norva::s32> levels(64, 0);
    levels[0] = 9;
    tile.build(levels.data());
    stitchEdge(&stitchSentinel, tile.root, 8, 1);
    const TilePatch* corner = tile.root->child[0]->child[0]->child[0]->patch;
    EXPECT_EQ(64, corner->innerLevel);
    EXPECT_EQ(8, corner->outerLevel[1]);
    EXPECT_EQ(64, stitchSentinel.patch->innerLevel);

    for (TileNode* node : { a, b, fine, coarse })
        deleteTileNode(node);
}

// Random block levels on a 3 x 2 grid with random tiles visible: every edge that two drawn
// patches share, inside a tile or across tiles, gets the same vertices from both sides, and
// every tessellation level stays within what the hardware takes.
TEST(TerrainTrees, RandomTreesStitchWithoutCracks)
{
    Terrain t;
    makeGrid(t, 3, 2);
    std::mt19937 random(20261210);
    int sharedEdges = 0;
    for (int round = 0; round < 300; ++round)
    {
        // levels of every kind: flat tiles, smooth ramps, noise
        const int style = round % 3;
        std::uniform_int_distribution<int> anyLevel(0, 9);
        for (u32 b = 0; b < t.tileCount() * Terrain::blocksPerTile; ++b)
        {
            const int base = style == 0 ? anyLevel(random) : style == 1 ? int(b % 8 + b / 64) % 10 : 9 - int(b % 3);
            t.blockLevel[b] = std::clamp(base + std::uniform_int_distribution<int>(-1, 1)(random), 0, 9);
        }
        for (u32 i = 0; i < t.tileCount(); ++i)
            t.tileVisible[i] = std::bernoulli_distribution(0.75)(random);
        t.buildVisibleTrees();

        std::vector<Leaf> leaves;
        for (u32 i = 0; i < t.tileCount(); ++i)
            if (t.tileVisible[i])
                collectLeaves(t.trees[i].root, i, leaves);

        // edges by the line they lie on, for both orientations
        std::map<std::pair<bool, int>, std::vector<std::pair<Edge, int>>> lines;
        for (const Leaf& leaf : leaves)
        {
            const TilePatch& p = *leaf.patch;
            ASSERT_GE(p.innerLevel, 1);
            ASSERT_LE(p.innerLevel, 64);
            for (int e = 0; e < 4; ++e)
            {
                const Edge edge = edgeOf(p, e);
                ASSERT_GE(edge.level, 1) << "round " << round;
                ASSERT_LE(edge.level, 64) << "round " << round;
                ASSERT_EQ(0, (edge.to - edge.from) % edge.level) << "segments of whole samples";
                lines[{ edge.vertical, edge.line }].push_back({ edge, e });
            }
        }

        // each edge against the edges facing it on the same line (left/top faces right/bottom)
        for (const auto& [key, edges] : lines)
        {
            for (const auto& [edge, index] : edges)
            {
                if (index >= 2)
                    continue;
                std::set<int> mine;
                std::set<int> theirs;
                bool facing = false;
                for (const auto& [other, otherIndex] : edges)
                {
                    if (otherIndex != index + 2 || other.to <= edge.from || other.from >= edge.to)
                        continue;
                    facing = true;
                    const int from = std::max(edge.from, other.from);
                    const int to = std::min(edge.to, other.to);
                    addVertices(edge, from, to, mine);
                    addVertices(other, from, to, theirs);
                }
                if (!facing)
                    continue;
                ++sharedEdges;
                ASSERT_EQ(mine, theirs) << "round " << round << ": " << (edge.vertical ? "x = " : "z = ") << edge.line
                                        << ", " << edge.from << " .. " << edge.to;
            }
        }
    }
    EXPECT_GT(sharedEdges, 10000);
}

TEST(TerrainTrees, PatchesTakeTheirCornersAndDetailCoordinates)
{
    Terrain t;
    makeGrid(t, 3, 2);
    std::fill(t.blockLevel, t.blockLevel + 6 * 64, 0);
    t.blockLevel[5 * 64 + 63] = 9; // last block of tile 5 (2, 1)
    std::fill(t.tileVisible, t.tileVisible + 6, 1);
    t.buildVisibleTrees();

    const TilePatch* root = t.trees[0].root->patch;
    ASSERT_NE(nullptr, root);
    EXPECT_EQ(glm::vec2(0, 0), root->position[0]);
    EXPECT_EQ(glm::vec2(512, 512), root->position[2]);
    EXPECT_EQ(glm::vec2(256, 0), root->texCoord[1]);

    const TilePatch* block = t.trees[5].root->child[2]->child[2]->child[2]->patch;
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(glm::vec2(1024 + 448, 512 + 448), block->position[0]);
    EXPECT_EQ(glm::vec2(1536, 1024), block->position[2]);
    EXPECT_EQ(glm::vec2(224, 224), block->texCoord[0]);
    EXPECT_EQ(glm::vec2(256, 256), block->texCoord[2]);

    // four vertices per visible leaf, in child order, each corner with its own edge's level
    std::vector<glm::vec2> positions(64), texCoords(64);
    std::vector<float> outer(64), inner(64);
    t.trees[5].root->child[2]->child[2]->child[2]->patch->cameraVisible = 1;
    t.trees[5].root->child[0]->patch->cameraVisible = 1;
    const TileNode* root5 = t.trees[5].root;
    EXPECT_EQ(2, countVisiblePatches(root5, -1));
    EXPECT_EQ(0, countVisiblePatches(root5, 1));
    EXPECT_EQ(2, gatherPatchVertices(root5, 3, -1, positions.data(), texCoords.data(), outer.data(), inner.data()));
    EXPECT_EQ(glm::vec2(1024, 512), positions[12]);
    EXPECT_EQ(glm::vec2(1024 + 448, 512 + 448), positions[16]);
    EXPECT_EQ(64.0f, inner[19]);
    EXPECT_EQ(float(block->outerLevel[3]), outer[19]);
    EXPECT_EQ(glm::vec2(0), positions[20]);
}

TEST(TerrainCulling, TilesBehindTheCameraOrBesideItAreCulled)
{
    Terrain t;
    makeGrid(t, 3, 2);
    const glm::vec3 eye(768, 100, 400);
    const glm::vec3 target(768, 0, 0);
    Frustum camera = cameraFrustum(eye, target);
    t.cameraFrustum = &camera;
    setCamera(t, eye, target);
    runFrame(t);

    // the first row lies ahead, the second behind the camera
    for (u32 i = 0; i < 6; ++i)
    {
        EXPECT_EQ(i < 3, t.tileVisible[i] != 0) << "tile " << i;
        EXPECT_EQ(t.tileVisible[i], t.tileCameraVisible[i]) << "tile " << i;
    }
    EXPECT_EQ(3, t.activeTiles);
    // zero errors: one patch per tile, seen by the cascades whose slabs the tiles reach
    EXPECT_EQ(3, t.activePatches);
    EXPECT_TRUE(t.tileCascadeVisible[0][1]);
    EXPECT_FALSE(t.tileCascadeVisible[2][1]);

    // looking along +x from beyond the grid's right side: nothing in view
    const glm::vec3 away(2000, 100, 512);
    camera = cameraFrustum(away, away + glm::vec3(1, 0, 0));
    setCamera(t, away, away + glm::vec3(1, 0, 0));
    runFrame(t);
    EXPECT_EQ(3, t.activeTiles);
    EXPECT_EQ(0, std::count(t.tileVisible, t.tileVisible + 6, 1));
}

TEST(TerrainCulling, ACascadeSeesWhatTheCameraDoesNot)
{
    Terrain t;
    makeGrid(t, 3, 2);
    const glm::vec3 eye(768, 100, 400);
    const glm::vec3 target(768, 0, 0);
    Frustum camera = cameraFrustum(eye, target);
    // cascade 1's cube holds tile 4 (behind the camera); the others lie far away
    Frustum cascades[3] = { lightCube(glm::vec3(9000, 0, 9000), 10), lightCube(glm::vec3(768, 0, 768), 100),
                            lightCube(glm::vec3(-9000, 0, 9000), 10) };
    t.cameraFrustum = &camera;
    t.cascadeFrusta = cascades;
    setCamera(t, eye, target);
    runFrame(t);

    EXPECT_TRUE(t.tileVisible[4]);
    EXPECT_FALSE(t.tileCameraVisible[4]);
    EXPECT_TRUE(t.tileCascadeVisible[1][4]);
    EXPECT_FALSE(t.tileCascadeVisible[0][4]);
    EXPECT_FALSE(t.tileVisible[3]);
    const TilePatch* patch = t.trees[4].root->patch;
    EXPECT_TRUE(patch->visible && !patch->cameraVisible && patch->cascadeVisible[1]);

    // with cascade 1 off it is culled
    cascadeEnabled[1] = false;
    runFrame(t);
    cascadeEnabled[1] = true;
    EXPECT_FALSE(t.tileVisible[4]);
}

TEST(TerrainCulling, WithoutCullingEverythingIsVisibleToTheEnabledCascades)
{
    Terrain t;
    makeGrid(t, 3, 2);
    for (u32 b = 0; b < 6 * Terrain::errorsPerTile; ++b)
        t.blockErrors[b] = 0.2f / float(1 << (b / 64 % 9)); // blocks near the camera split
    const glm::vec3 eye(2000, 100, 512);
    Frustum camera = cameraFrustum(eye, eye + glm::vec3(1, 0, 0));
    t.cameraFrustum = &camera;
    setCamera(t, glm::vec3(768, 50, 700), glm::vec3(768, 0, 0));
    cascadeEnabled[2] = false;
    frustumCulling = false;
    runFrame(t);
    runFrame(t);
    frustumCulling = true;
    cascadeEnabled[2] = true;

    EXPECT_EQ(12, t.activeTiles); // the tile count on every call
    int leaves = 0;
    for (u32 i = 0; i < 6; ++i)
    {
        EXPECT_TRUE(t.tileVisible[i] && t.tileCameraVisible[i]);
        EXPECT_TRUE(t.tileCascadeVisible[0][i] && t.tileCascadeVisible[1][i] && !t.tileCascadeVisible[2][i]);
        std::vector<Leaf> all;
        collectLeaves(t.trees[i].root, i, all);
        for (const Leaf& leaf : all)
            EXPECT_TRUE(leaf.patch->visible && leaf.patch->cameraVisible && leaf.patch->cascadeVisible[1] &&
                        !leaf.patch->cascadeVisible[2]);
        leaves += int(all.size());
    }
    EXPECT_GT(leaves, 6);
    EXPECT_EQ(2 * leaves, t.activePatches);
}

TEST(TerrainLevels, ErrorsProjectToLevelsAndALargerThresholdNeverRefines)
{
    Terrain t;
    makeGrid(t, 3, 2);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> error(0.0f, 0.05f);
    for (u32 b = 0; b < 6 * Terrain::errorsPerTile; ++b)
        t.blockErrors[b] = error(random);

    const float saved = lodThreshold;
    for (int view = 0; view < 20; ++view)
    {
        std::uniform_real_distribution<float> coordinate(-200.0f, 1700.0f);
        const glm::vec3 eye(coordinate(random), 20.0f + view * 10.0f, coordinate(random));
        setCamera(t, eye, glm::vec3(coordinate(random), 0.0f, coordinate(random)));
        std::vector<norva::s32> previous;
        for (float threshold = 1.0f; threshold < 5000.0f; threshold *= 2.0f)
        {
            lodThreshold = threshold;
            for (u32 i = 0; i < 6; ++i)
                t.selectBlockLevels(i, 1280, 768);
            std::vector<norva::s32> levels(t.blockLevel, t.blockLevel + 6 * 64);
            for (norva::s32 level : levels)
                ASSERT_TRUE(level >= 0 && level <= 9);
            for (std::size_t b = 0; b < previous.size(); ++b)
                ASSERT_LE(levels[b], previous[b]) << "view " << view << ", threshold " << threshold;
            previous = levels;
        }
    }
    lodThreshold = saved;

    // zero errors pass any threshold; huge ones none
    setCamera(t, glm::vec3(768, 50, 700), glm::vec3(768, 0, 0));
    std::fill(t.blockErrors, t.blockErrors + 6 * Terrain::errorsPerTile, 0.0f);
    t.selectBlockLevels(4, 1280, 768);
    EXPECT_TRUE(std::all_of(t.blockLevel + 4 * 64, t.blockLevel + 5 * 64, [](norva::s32 l) { return l == 0; }));
    std::fill(t.blockErrors, t.blockErrors + 6 * Terrain::errorsPerTile, 1000.0f);
    t.selectBlockLevels(4, 1280, 768);
    EXPECT_TRUE(std::all_of(t.blockLevel + 4 * 64, t.blockLevel + 5 * 64, [](norva::s32 l) { return l == 9; }));
}

TEST(TerrainLevels, CornersAtOrBehindTheEyeGiveTheErrorItsSizeInFront)
{
    Terrain t;
    makeGrid(t, 1, 1);
    // level view along -z from the middle of the tile's block row 4, at the height of the
    // test corners: the camera's eye plane passes through the corners z = 256
    const glm::vec3 eye(256, 0, 256);
    setCamera(t, eye, eye + glm::vec3(0, 0, -1));

    // zero errors: level 0 everywhere, also for the blocks whose corner lies in the eye plane
    // (a division by w = 0 would give NaN and the finest level)
    t.selectBlockLevels(0, 1280, 768);
    EXPECT_TRUE(std::all_of(t.blockLevel, t.blockLevel + 64, [](norva::s32 l) { return l == 0; }));

    // equal errors: a block behind the camera gets the level of its mirror image in front
    std::fill(t.blockErrors, t.blockErrors + Terrain::errorsPerTile, 0.002f);
    for (u32 k = 0; k < Terrain::errorLevels; ++k)
        for (u32 b = 0; b < 64; ++b)
            t.blockErrors[k * 64 + b] = 0.02f / float(1 << k);
    t.selectBlockLevels(0, 1280, 768);
    for (u32 bx = 0; bx < 8; ++bx)
    {
        // rows 0 and 7 lie 256 ahead of and behind the eye (their far corners)
        EXPECT_EQ(t.blockLevel[0 * 8 + bx], t.blockLevel[7 * 8 + bx]) << "column " << bx;
        EXPECT_EQ(t.blockLevel[1 * 8 + bx], t.blockLevel[6 * 8 + bx]) << "column " << bx;
    }
    // the corners in the eye plane stay within the levels, measured one unit away
    for (u32 b = 0; b < 64; ++b)
        EXPECT_LE(t.blockLevel[b], 9);
    EXPECT_LT(t.blockLevel[0], t.blockLevel[3 * 8]);
}
