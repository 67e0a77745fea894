#include "reference.hpp"

#include <cmath>
#include <cstring>
#include <initializer_list>

namespace terrain_gen
{
    void referenceNormals(const float* heights, norva::u32 width, norva::u32 height, float yScale, float* normals)
    {
        std::memset(normals, 0, sizeof(float) * 3 * width * height);
        struct Corner { int dx, dy; };
        const Corner mainTriangles[2][3] = { { {0, 0}, {1, 0}, {1, 1} }, { {0, 0}, {1, 1}, {0, 1} } };
        const Corner otherTriangles[2][3] = { { {0, 0}, {1, 0}, {0, 1} }, { {1, 0}, {1, 1}, {0, 1} } };

        for (norva::u32 y = 0; y + 1 < height; ++y)
        {
            for (norva::u32 x = 0; x + 1 < width; ++x)
            {
                const bool main = (x / 32) % 2 == (y / 32) % 2;
                const Corner (*triangles)[3] = main ? mainTriangles : otherTriangles;
                auto h = [&](Corner c) { return heights[(y + c.dy) * width + x + c.dx]; };
                for (int t = 0; t < 2; ++t)
                {
                    for (int k = 0; k < 3; ++k)
                    {
                        const Corner p0 = triangles[t][k];
                        const Corner p1 = triangles[t][(k + 1) % 3];
                        const Corner p2 = triangles[t][(k + 2) % 3];
                        float e1[3] = { float(p1.dx - p0.dx), (h(p1) - h(p0)) * yScale, float(p1.dy - p0.dy) };
                        float e2[3] = { float(p2.dx - p1.dx), (h(p2) - h(p1)) * yScale, float(p2.dy - p1.dy) };
                        for (float* e : { e1, e2 })
                        {
                            const float length = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
                            e[0] /= length;
                            e[1] /= length;
                            e[2] /= length;
                        }
                        float* n = normals + 3 * ((y + p0.dy) * width + x + p0.dx);
                        n[0] += e1[2] * e2[1] - e1[1] * e2[2];
                        n[1] += e1[0] * e2[2] - e1[2] * e2[0];
                        n[2] += e1[1] * e2[0] - e1[0] * e2[1];
                    }
                }
            }
        }
        for (norva::u32 i = 0; i < width * height; ++i)
        {
            float* n = normals + 3 * i;
            const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
            n[0] /= length;
            n[1] /= length;
            n[2] /= length;
        }
    }

} // namespace terrain_gen
