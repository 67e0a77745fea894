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
};

// A quadtree node: a leaf holds a patch and no children, an inner node four children
// (top-left, top-right, bottom-right, bottom-left) and no patch.
struct TileNode
{
    TileNode* child[4] = {};
    TilePatch* patch = nullptr;
};

// Destroys the node's patch and children, then the node.
void deleteTileNode(TileNode* node);

// The per-tile quadtree of patches; owns its nodes.
class TileTree : private norva::NonCopyable
{
public:
    TileTree() = default;
    ~TileTree();

    TileNode* root = nullptr;
    norva::s32 gridSize = 8;      // blocks per tile side
    norva::s32 maxLevel = 10;
};
