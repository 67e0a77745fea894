// Per-block errors: for each 64 x 64 block and each coarser level k (cells of 512 >> k sample
// intervals), the largest vertical distance between the full grid and the two triangles per
// cell that a regular grid of that level would draw.

#include <algorithm>
#include <cmath>

#include "parallel.hpp"
#include "terrain.hpp"

namespace
{
    using norva::u32;

    struct Cell
    {
        const float* heights;
        u32 width;
        u32 cx, cy;   // origin sample
        u32 s;        // side in sample intervals
        bool mainDiagonal; // diagonal from (0,0) to (s,s), else from (s,0) to (0,s)

        float at(u32 x, u32 y) const
        {
            return heights[std::size_t(cy + y) * width + cx + x];
        }

        // The largest |H - P| over offsets x0..x1 by y0..y1 (inclusive).
        float maxError(u32 x0, u32 x1, u32 y0, u32 y1) const
        {
            const float h00 = at(0, 0);
            const float h10 = at(s, 0);
            const float h11 = at(s, s);
            const float h01 = at(0, s);
            const float fs = float(s);
            float error = 0.0f;
            for (u32 y = y0; y <= y1; ++y)
            {
                const float fy = float(y);
                const float* row = heights + std::size_t(cy + y) * width + cx;
                for (u32 x = x0; x <= x1; ++x)
                {
                    const float fx = float(x);
                    float p;
                    if (mainDiagonal)
                    {
                        p = x > y
                            ? h00 + ((h10 - h00) * fx + (h11 - h10) * fy) / fs
                            : h00 + ((h11 - h01) * fx + (h01 - h00) * fy) / fs;
                    }
                    else
                    {
                        p = x > s - y
                            ? h01 + h10 - h11 + ((h11 - h01) * fx + (h11 - h10) * fy) / fs
                            : h00 + ((h10 - h00) * fx + (h01 - h00) * fy) / fs;
                    }
                    error = std::max(error, std::fabs(row[x] - p));
                }
            }
            return error;
        }
    };

} // namespace

void Terrain::computeErrors()
{
    const u32 tiles = tileCount();
    const u32 tilesAcross = tilesX();
    std::fill(blockErrors, blockErrors + std::size_t(tiles) * errorsPerTile, 0.0f);

    OrderedProgress progress(tiles, [tiles](std::size_t t)
    {
        return "tile " + std::to_string(t) + " / " + std::to_string(tiles) + "\n";
    });

    parallelFor(tiles, 1, [&](std::size_t first, std::size_t last)
    {
        for (u32 t = u32(first); t < last; ++t)
        {
            const u32 tx = t % tilesAcross;
            const u32 ty = t / tilesAcross;
            for (u32 by = 0; by < 8; ++by)
            {
                for (u32 bx = 0; bx < 8; ++bx)
                {
                    const u32 block = by * 8 + bx;
                    const u32 X0 = tx * tileSize + bx * blockSize;
                    const u32 Y0 = ty * tileSize + by * blockSize;
                    for (int k = int(errorLevels) - 1; k >= 0; --k)
                    {
                        const u32 s = tileSize >> k;
                        // cells in the quadrants on the tile's main diagonal are split from (s,0) to
                        // (0,s), the others and the whole tile from (0,0) to (s,s)
                        const bool mainDiagonal = k == 0 || ((bx >= 4) != (by >= 4));
                        float& entry = blockErrors[(std::size_t(t) * errorLevels + k) * blocksPerTile + block];

                        if (s > blockSize)
                        {
                            // one cell holds the whole block
                            const Cell cell { view.heights, width, X0 - X0 % s, Y0 - Y0 % s, s, mainDiagonal };
                            const u32 ox = X0 % s;
                            const u32 oy = Y0 % s;
                            entry = std::max(entry, cell.maxError(ox, ox + blockSize, oy, oy + blockSize));
                            continue;
                        }

                        const u32 n = blockSize / s;
                        for (u32 j = 0; j < n; ++j)
                        {
                            for (u32 i = 0; i < n; ++i)
                            {
                                const Cell cell { view.heights, width, X0 + i * s, Y0 + j * s, s, mainDiagonal };
                                // shared lines are tested once, in the block's first cell
                                const u32 from = i == 0 && j == 0 ? 0 : 1;
                                entry = std::max(entry, cell.maxError(from, s, from, s));
                            }
                        }
                    }
                }
            }
            progress.done(t, t + 1);
        }
    });
}
