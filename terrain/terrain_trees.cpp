// Per frame: the quadtree of every visible tile, its patch corners and the stitching of every
// edge, inside tiles and across them, so that neighbouring patches share their edge vertices.

#include "game/settings.hpp"
#include "terrain.hpp"

void Terrain::placePatches(TileNode* node, glm::ivec2 a, glm::ivec2 b, glm::vec2 t0, glm::vec2 t1)
{
    if (node->isLeaf())
    {
        TilePatch& patch = *node->patch;
        patch.position[0] = glm::vec2(a.x, a.y);
        patch.position[1] = glm::vec2(b.x, a.y);
        patch.position[2] = glm::vec2(b.x, b.y);
        patch.position[3] = glm::vec2(a.x, b.y);
        patch.texCoord[0] = glm::vec2(t0.x, t0.y);
        patch.texCoord[1] = glm::vec2(t1.x, t0.y);
        patch.texCoord[2] = glm::vec2(t1.x, t1.y);
        patch.texCoord[3] = glm::vec2(t0.x, t1.y);
        return;
    }

    // child i spans from the middle of the node to its corner i
    const glm::ivec2 corners[4] = { { a.x, a.y }, { b.x, a.y }, { b.x, b.y }, { a.x, b.y } };
    const glm::vec2 texCorners[4] = { { t0.x, t0.y }, { t1.x, t0.y }, { t1.x, t1.y }, { t0.x, t1.y } };
    for (int i = 0; i < 4; ++i)
    {
        const glm::ivec2 c = corners[i];
        placePatches(node->child[i], (c + a) / 2, (c + b) / 2, (t0 + texCorners[i]) * 0.5f, (t1 + texCorners[i]) * 0.5f);
    }
}

void Terrain::updateTrees()
{
    const norva::u32 tiles = tileCount();
    for (norva::u32 t = 0; t < tiles; ++t)
    {
        if (tileVisible[t])
        {
            selectBlockLevels(t, norva::u32(windowWidth), norva::u32(windowHeight));
        }
    }
    buildVisibleTrees();
}

void Terrain::buildVisibleTrees()
{
    const norva::u32 columns = tilesX();
    const norva::u32 rows = tilesY();
    const int size = int(tileSize);
    for (norva::u32 ty = 0; ty < rows; ++ty)
    {
        for (norva::u32 tx = 0; tx < columns; ++tx)
        {
            const norva::u32 t = ty * columns + tx;
            if (!tileVisible[t])
            {
                continue;
            }
            trees[t].build(blockLevel + std::size_t(t) * blocksPerTile);
            const glm::ivec2 origin(int(tx) * size, int(ty) * size);
            placePatches(trees[t].root, origin, origin + glm::ivec2(size), glm::vec2(0.0f), glm::vec2(256.0f));
        }
    }

    // a neighbour outside the grid or not drawn is the sentinel
    auto neighbour = [&](norva::u32 x, norva::u32 y) -> TileNode*
    {
        if (x >= columns || y >= rows || !tileVisible[y * columns + x])
        {
            return &stitchSentinel;
        }
        return trees[y * columns + x].root;
    };
    for (norva::u32 ty = 0; ty < rows; ++ty)
    {
        for (norva::u32 tx = 0; tx < columns; ++tx)
        {
            const norva::u32 t = ty * columns + tx;
            if (!tileVisible[t])
            {
                continue;
            }
            TileNode* tile = trees[t].root;
            // unsigned wrap makes the neighbours of the first row and column fall outside
            stitchEdge(neighbour(tx, ty - 1), tile, 8, 1);
            stitchEdge(tile, neighbour(tx, ty + 1), 8, 1);
            stitchEdge(neighbour(tx - 1, ty), tile, 8, 0);
            stitchEdge(tile, neighbour(tx + 1, ty), 8, 0);
        }
    }
}
