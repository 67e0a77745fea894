// Per-sample normals: every triangle of the grid adds to each of its corners the cross product
// of its two unit edges that start at that corner and at the next one; the sums are then
// normalised. Quads are split along alternating diagonals (quadUsesMainDiagonal).
//
// The sums are gathered per sample rather than scattered per quad, so rows can be computed in
// parallel; the terms are added in the order a scatter over the quads in row order would add
// them, which keeps the result independent of how the rows are shared out.

#include <cmath>
#include <cstdio>
#include <vector>

#include "parallel.hpp"
#include "terrain.hpp"

namespace
{
    using norva::u32;
    using glm::vec3;

    // The edge (dx, dh, dz) under the model's y scale, at unit length.
    inline vec3 unitEdge(float dx, float dh, float dz, float yScale)
    {
        const float y = dh * yScale;
        const float length = std::sqrt(dx * dx + y * y + dz * dz);
        return vec3(dx / length, y / length, dz / length);
    }

    // The term one triangle adds at corner p0, with e1 = p0->p1 and e2 = p1->p2.
    inline vec3 term(const vec3& e2, const vec3& e1)
    {
        return vec3(e1.z * e2.y - e1.y * e2.z, e1.x * e2.z - e1.z * e2.x, e1.y * e2.x - e1.x * e2.y);
    }

    // The unit edges of one quad row y: h[x] = (x,y)->(x+1,y), hBelow[x] = (x,y+1)->(x+1,y+1),
    // v[x] = (x,y)->(x,y+1), d[x] = the quad's diagonal, from (x,y) to (x+1,y+1) or from
    // (x+1,y) to (x,y+1).
    struct QuadRow
    {
        std::vector<vec3> h, hBelow, v, d;

        explicit QuadRow(u32 width)
            : h(width), hBelow(width), v(width), d(width)
        {
        }

        void compute(const float* heights, u32 width, u32 y, float yScale)
        {
            const float* top = heights + std::size_t(y) * width;
            const float* bottom = top + width;
            for (u32 x = 0; x + 1 < width; ++x)
            {
                h[x] = unitEdge(1.0f, top[x + 1] - top[x], 0.0f, yScale);
                hBelow[x] = unitEdge(1.0f, bottom[x + 1] - bottom[x], 0.0f, yScale);
                d[x] = quadUsesMainDiagonal(x, y)
                    ? unitEdge(1.0f, bottom[x + 1] - top[x], 1.0f, yScale)
                    : unitEdge(-1.0f, bottom[x] - top[x + 1], 1.0f, yScale);
            }
            for (u32 x = 0; x < width; ++x)
            {
                v[x] = unitEdge(0.0f, bottom[x] - top[x], 1.0f, yScale);
            }
        }
    };

    // Corners of quad (x, y): A (x,y), B (x+1,y), C (x+1,y+1), D (x,y+1). Each adds the terms of
    // its first triangle, then of its second: {A,B,C}, {A,C,D} along the main diagonal,
    // {A,B,D}, {B,C,D} along the other.
    inline void addCornerA(vec3& n, const QuadRow& q, u32 x, bool mainDiagonal)
    {
        const vec3& ab = q.h[x];
        if (mainDiagonal)
        {
            n += term(q.v[x + 1], ab);     // A,B,C: A->B, B->C
            n += term(-q.hBelow[x], q.d[x]); // A,C,D: A->C, C->D
        }
        else
        {
            n += term(q.d[x], ab);         // A,B,D: A->B, B->D
        }
    }

    inline void addCornerB(vec3& n, const QuadRow& q, u32 x, bool mainDiagonal)
    {
        const vec3& bc = q.v[x + 1];
        if (mainDiagonal)
        {
            n += term(-q.d[x], bc);        // A,B,C: B->C, C->A
        }
        else
        {
            n += term(-q.v[x], q.d[x]);    // A,B,D: B->D, D->A
            n += term(-q.hBelow[x], bc);   // B,C,D: B->C, C->D
        }
    }

    inline void addCornerC(vec3& n, const QuadRow& q, u32 x, bool mainDiagonal)
    {
        const vec3 cd = -q.hBelow[x];
        if (mainDiagonal)
        {
            n += term(q.h[x], -q.d[x]);    // A,B,C: C->A, A->B
            n += term(-q.v[x], cd);        // A,C,D: C->D, D->A
        }
        else
        {
            n += term(-q.d[x], cd);        // B,C,D: C->D, D->B
        }
    }

    inline void addCornerD(vec3& n, const QuadRow& q, u32 x, bool mainDiagonal)
    {
        const vec3 da = -q.v[x];
        if (mainDiagonal)
        {
            n += term(q.d[x], da);         // A,C,D: D->A, A->C
        }
        else
        {
            n += term(q.h[x], da);         // A,B,D: D->A, A->B
            n += term(q.v[x + 1], -q.d[x]); // B,C,D: D->B, B->C
        }
    }

} // namespace

void Terrain::computeNormals()
{
    const std::size_t samples = std::size_t(width) * height;
    std::fill(normals, normals + samples * 3, 0.0f);
    if (width < 2 || height < 2)
    {
        // no quad: every sample faces up
        for (std::size_t i = 0; i < samples; ++i)
        {
            normals[i * 3 + 1] = 1.0f;
        }
        return;
    }

    const float yScale = model[1][1];
    const u32 w = width;
    const u32 h = height;
    const float* grid = heights;
    float* out = normals;

    OrderedProgress progress(h - 1, [](std::size_t row)
    {
        return "computing normals, row: " + std::to_string(row) + "\n";
    });

    parallelFor(h, 32, [&](std::size_t first, std::size_t last)
    {
        QuadRow above(w);   // quad row y - 1
        QuadRow below(w);   // quad row y
        if (first > 0)
        {
            below.compute(grid, w, u32(first - 1), yScale);
        }
        for (u32 y = u32(first); y < last; ++y)
        {
            std::swap(above, below);
            if (y + 1 < h)
            {
                below.compute(grid, w, y, yScale);
            }

            float* row = out + std::size_t(y) * w * 3;
            for (u32 x = 0; x < w; ++x)
            {
                vec3 n(0.0f);
                if (y > 0)
                {
                    if (x > 0)
                    {
                        addCornerC(n, above, x - 1, quadUsesMainDiagonal(x - 1, y - 1));
                    }
                    if (x + 1 < w)
                    {
                        addCornerD(n, above, x, quadUsesMainDiagonal(x, y - 1));
                    }
                }
                if (y + 1 < h)
                {
                    if (x > 0)
                    {
                        addCornerB(n, below, x - 1, quadUsesMainDiagonal(x - 1, y));
                    }
                    if (x + 1 < w)
                    {
                        addCornerA(n, below, x, quadUsesMainDiagonal(x, y));
                    }
                }
                const float length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
                row[x * 3 + 0] = n.x / length;
                row[x * 3 + 1] = n.y / length;
                row[x * 3 + 2] = n.z / length;
            }
        }
        progress.done(first, last);
    });
}
