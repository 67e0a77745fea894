#include "tile_tree.hpp"

#include <algorithm>
#include <vector>

namespace
{
    TilePatch sentinelPatch = []
    {
        TilePatch patch;
        patch.innerLevel = 64;
        return patch;
    }();

    // Which children of a node lie along its edge towards the other node, per direction,
    // for the node on side a (left or upper) and side b (right or lower). Within a pair the
    // first lies above (direction 0) or left of (direction 1) the second.
    constexpr int edgeChildren[2][2][2] =
    {
        { { 1, 2 }, { 0, 3 } }, // direction 0: a's right children, b's left children
        { { 3, 2 }, { 0, 1 } }, // direction 1: a's bottom children, b's top children
    };

    // The outer level of the shared edge, per direction, for side a and side b.
    constexpr int edgeIndex[2][2] =
    {
        { 2, 0 }, // direction 0: a's right edge, b's left edge
        { 3, 1 }, // direction 1: a's bottom edge, b's top edge
    };

    // The direction of the edge between the two children of one side's pair.
    constexpr int perpendicular[2] = { 1, 0 };

    struct EdgeLeaf
    {
        TileNode* node;
        norva::s32 size;
    };

    // One leaf (coarse) against an inner node (fine): the fine side's leaves along the edge
    // share its vertices, each taking its part of the coarse leaf's segments.
    void stitchCoarseToFine(TileNode* coarse, int coarseSide, TileNode* fine, int fineSide, norva::s32 size,
        int direction)
    {
        const int* children = edgeChildren[direction][fineSide];
        std::vector<EdgeLeaf> leaves { { fine, size } };
        for (std::size_t i = 0; i < leaves.size();)
        {
            TileNode* node = leaves[i].node;
            if (node->isLeaf())
            {
                ++i;
                continue;
            }
            const norva::s32 half = leaves[i].size / 2;
            TileNode* c0 = node->child[children[0]];
            TileNode* c1 = node->child[children[1]];
            leaves[i] = { c0, half };
            leaves.push_back({ c1, half });
            stitchEdge(c0, c1, size / 2, perpendicular[direction]);
        }

        norva::s32 need = 0;
        norva::s32 minSize = size;
        for (const EdgeLeaf& leaf : leaves)
        {
            need = std::max(need, leaf.node->patch->innerLevel * size / leaf.size);
            minSize = std::min(minSize, leaf.size);
        }

        norva::s32 edge = need;
        const norva::s32 k = coarse->patch->innerLevel;
        if (k < need)
        {
            edge = k;
            // the smallest fine leaf still gets one segment
            if (k * minSize / size < 1)
            {
                edge = k * size / minSize;
            }
        }

        const int fineEdge = edgeIndex[direction][fineSide];
        for (const EdgeLeaf& leaf : leaves)
        {
            leaf.node->patch->outerLevel[fineEdge] = edge * leaf.size / size;
        }
        coarse->patch->outerLevel[edgeIndex[direction][coarseSide]] = edge;
    }

    TilePatch* newPatch(int l, int w, int x, int y, norva::s32 v)
    {
        TilePatch* patch = new TilePatch();
        patch->innerLevel = 1 << std::max(v - l, 0);
        patch->level = l;
        patch->index = y * w + x;
        return patch;
    }

} // namespace

TileNode stitchSentinel { {}, &sentinelPatch };

void deleteTileNode(TileNode* node)
{
    if (!node)
    {
        return;
    }
    delete node->patch;
    for (TileNode* child : node->child)
    {
        deleteTileNode(child);
    }
    delete node;
}

TileTree::~TileTree()
{
    deleteTileNode(root);
}

LevelPyramid::LevelPyramid(const norva::s32* blockLevels)
{
    std::copy(blockLevels, blockLevels + 64, p3);
    for (int l = 3; l > 0; --l)
    {
        const norva::s32* fine = level(l);
        norva::s32* coarse = const_cast<norva::s32*>(level(l - 1));
        const int w = 1 << (l - 1);
        for (int j = 0; j < w; ++j)
        {
            for (int i = 0; i < w; ++i)
            {
                const int f = 2 * j * 2 * w + 2 * i;
                coarse[j * w + i] = std::max({ fine[f], fine[f + 1], fine[f + 2 * w], fine[f + 2 * w + 1] });
            }
        }
    }
}

const norva::s32* LevelPyramid::level(int l) const
{
    const norva::s32* levels[4] = { p0, p1, p2, p3 };
    return levels[l];
}

TileNode* buildTileNode(const TileTree& tree, const LevelPyramid& pyramid, int l, int w, int x, int y)
{
    TileNode* node = new TileNode();
    const norva::s32 v = pyramid.level(l)[y * w + x];
    // a patch of depth l draws at most 2^6 segments per side
    if (v > l - 4 + tree.maxLevel && l < 3)
    {
        const int cells[4][2] = { { 2 * x, 2 * y }, { 2 * x + 1, 2 * y }, { 2 * x + 1, 2 * y + 1 }, { 2 * x, 2 * y + 1 } };
        for (int i = 0; i < 4; ++i)
        {
            node->child[i] = buildTileNode(tree, pyramid, l + 1, 2 * w, cells[i][0], cells[i][1]);
        }
    }
    else
    {
        node->patch = newPatch(l, w, x, y, v);
    }
    return node;
}

void TileTree::build(const norva::s32* blockLevels)
{
    deleteTileNode(root);
    root = nullptr;
    const LevelPyramid pyramid(blockLevels);
    root = buildTileNode(*this, pyramid, 0, 1, 0, 0);
}

norva::s32 countVisiblePatches(const TileNode* node, int pass)
{
    if (node->isLeaf())
    {
        return node->patch->visibleIn(pass) ? 1 : 0;
    }
    norva::s32 count = 0;
    for (const TileNode* child : node->child)
    {
        count += countVisiblePatches(child, pass);
    }
    return count;
}

norva::s32 gatherPatchVertices(const TileNode* node, norva::s32 base, int pass, glm::vec2* positions,
    glm::vec2* texCoords, float* outerLevels, float* innerLevels)
{
    if (!node->isLeaf())
    {
        norva::s32 written = 0;
        for (const TileNode* child : node->child)
        {
            written += gatherPatchVertices(child, base + written, pass, positions, texCoords, outerLevels, innerLevels);
        }
        return written;
    }

    const TilePatch& patch = *node->patch;
    if (!patch.visibleIn(pass))
    {
        return 0;
    }
    const std::size_t first = std::size_t(base) * 4;
    for (int j = 0; j < 4; ++j)
    {
        positions[first + j] = patch.position[j];
        texCoords[first + j] = patch.texCoord[j];
        outerLevels[first + j] = float(patch.outerLevel[j]);
        innerLevels[first + j] = float(patch.innerLevel);
    }
    return 1;
}

void stitchEdge(TileNode* a, TileNode* b, norva::s32 size, int direction)
{
    if (a->isLeaf() && b->isLeaf())
    {
        const norva::s32 m = std::min(a->patch->innerLevel, b->patch->innerLevel);
        a->patch->outerLevel[edgeIndex[direction][0]] = m;
        b->patch->outerLevel[edgeIndex[direction][1]] = m;
    }
    else if (!a->isLeaf() && !b->isLeaf())
    {
        const int* aSide = edgeChildren[direction][0];
        const int* bSide = edgeChildren[direction][1];
        const norva::s32 half = size / 2;
        stitchEdge(a->child[aSide[0]], b->child[bSide[0]], half, direction);
        stitchEdge(a->child[aSide[1]], b->child[bSide[1]], half, direction);
        stitchEdge(a->child[aSide[0]], a->child[aSide[1]], half, perpendicular[direction]);
        stitchEdge(b->child[bSide[0]], b->child[bSide[1]], half, perpendicular[direction]);
    }
    else if (a->isLeaf())
    {
        stitchCoarseToFine(a, 0, b, 1, size, direction);
    }
    else
    {
        stitchCoarseToFine(b, 1, a, 0, size, direction);
    }
}
