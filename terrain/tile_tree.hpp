#pragma once

#include <glm/glm.hpp>

#include <norva/core/configure.hpp>

// One tessellation patch: a leaf of a tile's quadtree.
struct TilePatch
{
    glm::vec2 position[4] {};     // corners in sample units (x, z): (x0,y0) (x1,y0) (x1,y1) (x0,y1)
    glm::vec2 texCoord[4] {};     // detail-texture coordinates of the same corners
    norva::s32 innerLevel = 1;    // 1..64
    norva::s32 outerLevel[4] = { 1, 1, 1, 1 }; // left, top, right, bottom
    norva::u8 visible = 0;
    norva::u8 cameraVisible = 0;
    norva::u8 cascadeVisible[3] = {};
    norva::s32 level = 0;         // depth: 0 tile, 1 half tile, 2 quarter tile, 3 block
    norva::s32 index = 0;         // cell index y * 2^level + x at that depth

    // pass < 0: the camera's; 0..2: that shadow cascade's
    bool visibleIn(int pass) const
    {
        return pass < 0 ? cameraVisible != 0 : cascadeVisible[pass] != 0;
    }
};

// A quadtree node: a leaf holds a patch and no children, an inner node four children
// (top-left, top-right, bottom-right, bottom-left) and no patch.
struct TileNode
{
    TileNode* child[4] = {};
    TilePatch* patch = nullptr;

    bool isLeaf() const
    {
        return patch != nullptr;
    }
};

// Stands in for a neighbour tile that is missing or not drawn: one leaf of the finest inner
// level, so that stitching against it leaves a tile's own edge levels as they are.
extern TileNode stitchSentinel;

// Destroys the node's patch and children, then the node.
void deleteTileNode(TileNode* node);

// The per-tile quadtree of patches; owns its nodes.
class TileTree : private norva::NonCopyable
{
public:
    TileTree() = default;
    ~TileTree();

    // Replaces the tree with one built from the tile's 8 x 8 block levels (row-major): a
    // region splits while the finest level inside it is too fine for one patch.
    void build(const norva::s32* blockLevels);

    TileNode* root = nullptr;
    norva::s32 gridSize = 8;      // blocks per tile side
    norva::s32 maxLevel = 10;
};

// The max pyramid of a tile's block levels: level l holds 2^l x 2^l cells, row-major.
struct LevelPyramid
{
    norva::s32 p0[1];
    norva::s32 p1[4];
    norva::s32 p2[16];
    norva::s32 p3[64];

    explicit LevelPyramid(const norva::s32* blockLevels);
    const norva::s32* level(int l) const;
};

// The subtree of cell (x, y) at depth l, where w = 2^l.
TileNode* buildTileNode(const TileTree& tree, const LevelPyramid& pyramid, int l, int w, int x, int y);

// Leaves visible in the pass (pass < 0: camera; 0..2: that shadow cascade).
norva::s32 countVisiblePatches(const TileNode* node, int pass);

// Writes four vertices per visible leaf, in child order, from vertex 4 * base on; corner j
// carries outerLevel[j], every corner the inner level. Returns the number of leaves written.
norva::s32 gatherPatchVertices(const TileNode* node, norva::s32 base, int pass, glm::vec2* positions,
    glm::vec2* texCoords, float* outerLevels, float* innerLevels);

// Sets the outer levels on both sides of the edge shared by a and b so that both tessellate
// it into the same vertices. size: the edge's length in blocks (8 for a tile); direction 0:
// a lies left of b, 1: a lies above b.
void stitchEdge(TileNode* a, TileNode* b, norva::s32 size, int direction);
