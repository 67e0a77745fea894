// Per frame: which tiles and patches the camera and each shadow cascade see, and the level of
// detail of every block of the visible tiles.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "frustum.hpp"
#include "game/settings.hpp"
#include "terrain.hpp"

namespace
{
    // A tree has at most 1 + 4 + 16 + 64 nodes.
    constexpr int maxTreeNodes = 85;

    // Homogeneous points closer to the eye plane than this (in world units along the view)
    // are measured as if they lay this far away.
    constexpr float minimumViewDistance = 1.0f;

    // Normalised device x and y of a projected point, for the level of detail. A point
    // behind the eye is measured at its mirror image in front of it (w taken by its size) and
    // one within minimumViewDistance of the eye plane at that distance: a division by a w
    // near zero, or by two w of different signs, would give a huge or meaningless screen
    // error (NaN at w = 0) instead of the error's size at that distance.
    glm::vec2 projectedXY(const glm::vec4& p)
    {
        return glm::vec2(p.x, p.y) / std::max(std::fabs(p.w), minimumViewDistance);
    }

} // namespace

void Terrain::resetVisibility()
{
    const std::size_t tiles = tileCount();
    if (!tileVisible)
    {
        return;
    }
    std::memset(tileVisible, 0, tiles);
    std::memset(tileCameraVisible, 0, tiles);
    for (norva::u8* visible : tileCascadeVisible)
    {
        std::memset(visible, 0, tiles);
    }
}

bool Terrain::testTile(const glm::vec3& min, const glm::vec3& max, norva::u8 cascadeFlags[3], norva::u8* cameraFlag) const
{
    bool result = false;
    if (cameraFrustum && cameraFrustum->testBox(min, max, cascadeFlags))
    {
        result = true;
        *cameraFlag = 1;
    }
    if (!cascadeFrusta)
    {
        return result;
    }
    for (int i = 0; i < 3; ++i)
    {
        if (cascadeFlags[i] || !cascadeEnabled[i])
        {
            continue;
        }
        const Frustum& light = cascadeFrusta[i];
        bool inside = true;
        for (const Frustum::Plane& plane : light.planes)
        {
            if (Frustum::boxOutside(plane, min, max))
            {
                inside = false;
                break;
            }
        }
        if (inside)
        {
            cascadeFlags[i] = 1;
            result = true;
        }
    }
    return result;
}

void Terrain::cullTiles()
{
    const norva::u32 columns = tilesX();
    const norva::u32 rows = tilesY();
    for (norva::u32 ty = 0; ty < rows; ++ty)
    {
        for (norva::u32 tx = 0; tx < columns; ++tx)
        {
            const norva::u32 t = ty * columns + tx;
            if (!frustumCulling)
            {
                tileVisible[t] = 1;
                tileCameraVisible[t] = 1;
                for (int i = 0; i < 3; ++i)
                {
                    tileCascadeVisible[i][t] = cascadeEnabled[i];
                }
                ++activeTiles;
                continue;
            }

            const MinMax range = minMax[0][t];
            const glm::vec4 low = model * glm::vec4(float(tx * tileSize), range.min, float(ty * tileSize), 1.0f);
            const glm::vec4 high = model *
                glm::vec4(float(tx * tileSize + tileSize + 1), range.max, float(ty * tileSize + tileSize + 1), 1.0f);
            norva::u8 flags[3] = {};
            if (testTile(glm::vec3(low), glm::vec3(high), flags, &tileCameraVisible[t]))
            {
                tileVisible[t] = 1;
                ++activeTiles;
            }
            for (int i = 0; i < 3; ++i)
            {
                tileCascadeVisible[i][t] = flags[i];
            }
        }
    }
}

void Terrain::cullPatches()
{
    const norva::u32 columns = tilesX();
    const norva::u32 rows = tilesY();
    TileNode* queue[maxTreeNodes];
    for (norva::u32 t = 0; t < columns * rows; ++t)
    {
        if (!tileVisible[t] || !trees[t].root)
        {
            continue;
        }
        int head = 0;
        int tail = 0;
        queue[tail++] = trees[t].root;
        while (head < tail)
        {
            TileNode* node = queue[head++];
            if (!node->isLeaf())
            {
                for (TileNode* child : node->child)
                {
                    queue[tail++] = child;
                }
                continue;
            }

            TilePatch& patch = *node->patch;
            if (!frustumCulling)
            {
                patch.visible = 1;
                patch.cameraVisible = 1;
                for (int i = 0; i < 3; ++i)
                {
                    patch.cascadeVisible[i] = cascadeEnabled[i];
                }
                ++activePatches;
                continue;
            }

            const MinMax range = minMax[patch.level][(std::size_t(t) << (2 * patch.level)) + patch.index];
            const glm::vec4 low = model * glm::vec4(patch.position[0].x, range.min, patch.position[0].y, 1.0f);
            const glm::vec4 high = model * glm::vec4(patch.position[2].x, range.max, patch.position[2].y, 1.0f);
            if (testTile(glm::vec3(low), glm::vec3(high), patch.cascadeVisible, &patch.cameraVisible))
            {
                patch.visible = 1;
                ++activePatches;
            }
        }
    }
}

void Terrain::selectBlockLevels(norva::u32 tile, norva::u32 viewportWidth, norva::u32 viewportHeight)
{
    const norva::u32 tx = tile % tilesX();
    const norva::u32 ty = tile / tilesX();
    const glm::vec2 viewport { float(viewportWidth), float(viewportHeight) };
    const float* errors = blockErrors + std::size_t(tile) * errorsPerTile;

    for (norva::u32 by = 0; by < 8; ++by)
    {
        for (norva::u32 bx = 0; bx < 8; ++bx)
        {
            const norva::u32 b = by * 8 + bx;
            const float cx = float(tx * tileSize + bx * blockSize + 32);
            const float cz = float(ty * tileSize + by * blockSize + 32);
            // the corner away from the camera
            const float px = cx > cameraPosition.x ? cx + 32.0f : cx - 32.0f;
            const float pz = cz > cameraPosition.z ? cz + 32.0f : cz - 32.0f;

            const glm::vec2 a = projectedXY(mvp * glm::vec4(px, 0.0f, pz, 1.0f));
            norva::s32 level = 9;
            for (norva::u32 k = 0; k < errorLevels; ++k)
            {
                const float e = errors[k * blocksPerTile + b];
                const glm::vec2 d = (projectedXY(mvp * glm::vec4(px, e, pz, 1.0f)) - a) * viewport;
                if (lodThreshold > d.x * d.x + d.y * d.y)
                {
                    level = norva::s32(k);
                    break;
                }
            }
            blockLevel[std::size_t(tile) * blocksPerTile + b] = level;
        }
    }
}
