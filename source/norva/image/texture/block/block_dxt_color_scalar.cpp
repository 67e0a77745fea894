// The colour half of BC1-BC3 blocks in plain C++: the reference the SIMD files match, lane
// for lane (block_dxt_color.hpp).

#include <cfloat>

#include "block_dxt_color.hpp"

namespace norva::dxtcolor::scalar
{
    namespace
    {
        // The SIMD minimum and maximum: the second operand unless the first is smaller
        // (larger).
        inline float laneMin(float a, float b)
        {
            return a < b ? a : b;
        }

        inline float laneMax(float a, float b)
        {
            return a > b ? a : b;
        }

        // The step of a texel on the segment from origin, dir in step units.
        inline int stepOf(const float c[3], const float origin[3], const float dir[3], float top)
        {
            float t = ((c[0] - origin[0]) * dir[0] + (c[1] - origin[1]) * dir[1]) + (c[2] - origin[2]) * dir[2];
            t = laneMin(laneMax(t, 0.0f), top);
            return int(t + 0.5f);
        }

    } // namespace

    void encodeColorBlockBC1(u8* output, const u8* source, s32 stride, bool colorKey)
    {
        // texel i: snapped and unsnapped colour in weighted space, and whether it is fitted
        float snapped[16][3];
        float exact[16][3];
        bool opaque[16];
        int transparent = 0;
        for (int i = 0; i < 16; ++i)
        {
            const u8* texel = source + ptrdiff_t(i >> 2) * stride + (i & 3) * 4;
            opaque[i] = !colorKey || texel[3] != 0;
            transparent += !opaque[i];
            for (int c = 0; c < 3; ++c)
            {
                const float v = float(texel[c]);
                snapped[i][c] = float(int(v * snapScale[c] + 0.5f)) * gridWeight[c];
                exact[i][c] = v * byteWeight[c];
            }
        }
        if (transparent == 16)
        {
            writeBlock(output, 0x0000, 0xFFFF, 0xFFFFFFFF);
            return;
        }
        const int steps = transparent ? 3 : 4;
        const float top = float(steps - 1);
        const float stepWeight = 1.0f / top;

        // the box of the fitted texels
        float low[3][4];
        float high[3][4];
        for (int c = 0; c < 3; ++c)
            for (int l = 0; l < 4; ++l)
            {
                low[c][l] = FLT_MAX;
                high[c][l] = -FLT_MAX;
            }
        for (int i = 0; i < 16; ++i)
            for (int c = 0; c < 3; ++c)
            {
                const int l = i & 3;
                low[c][l] = laneMin(low[c][l], opaque[i] ? snapped[i][c] : FLT_MAX);
                high[c][l] = laneMax(high[c][l], opaque[i] ? snapped[i][c] : -FLT_MAX);
            }
        float x[3];
        float y[3];
        float box = 0.0f;
        for (int c = 0; c < 3; ++c)
        {
            x[c] = laneMin(laneMin(low[c][0], low[c][2]), laneMin(low[c][1], low[c][3]));
            y[c] = laneMax(laneMax(high[c][0], high[c][2]), laneMax(high[c][1], high[c][3]));
            box += (y[c] - x[c]) * (y[c] - x[c]);
        }

        if (box >= FLT_MIN)
        {
            // which diagonal of the box the texels spread along
            float mid[3];
            float axis[3];
            for (int c = 0; c < 3; ++c)
            {
                mid[c] = (x[c] + y[c]) * 0.5f;
                axis[c] = (y[c] - x[c]) / box;
            }
            float sums[4][4] = {};
            for (int i = 0; i < 16; ++i)
            {
                float p[3];
                for (int c = 0; c < 3; ++c)
                    p[c] = opaque[i] ? (snapped[i][c] - mid[c]) * axis[c] : 0.0f;
                const float plus = p[0] + p[1];
                const float minus = p[0] - p[1];
                const float dots[4] = { plus + p[2], plus - p[2], minus + p[2], minus - p[2] };
                for (int k = 0; k < 4; ++k)
                    sums[k][i & 3] += dots[k] * dots[k];
            }
            const float diagonal[4] = { sumLanes(sums[0]), sumLanes(sums[1]), sumLanes(sums[2]), sumLanes(sums[3]) };
            chooseDiagonal(x, y, diagonal);
        }

        if (box >= shortSegment)
        {
            float totalLanes[3][4] = {};
            for (int i = 0; i < 16; ++i)
                for (int c = 0; c < 3; ++c)
                    totalLanes[c][i & 3] += opaque[i] ? snapped[i][c] : 0.0f;
            const float total[3] = { sumLanes(totalLanes[0]), sumLanes(totalLanes[1]), sumLanes(totalLanes[2]) };
            const float count = float(16 - transparent);

            u32 previous = 0;
            for (int pass = 0; pass < maxPasses; ++pass)
            {
                float dir[3];
                if (!stepDirection(dir, x, y, top))
                    break;

                float w[4] = {};
                float ww[4] = {};
                float wc[3][4] = {};
                u32 assignment = 0;
                for (int i = 0; i < 16; ++i)
                {
                    const int j = stepOf(snapped[i], x, dir, top);
                    assignment |= u32(j) << (2 * i);
                    const float weight = opaque[i] ? float(j) * stepWeight : 0.0f;
                    const int l = i & 3;
                    w[l] += weight;
                    ww[l] += weight * weight;
                    for (int c = 0; c < 3; ++c)
                        wc[c][l] += weight * snapped[i][c];
                }
                if (pass && assignment == previous)
                    break;
                previous = assignment;

                const PassSums s = { sumLanes(w), sumLanes(ww), { sumLanes(wc[0]), sumLanes(wc[1]), sumLanes(wc[2]) } };
                if (!solveEndpoints(x, y, s, count, total))
                    break;
            }
        }

        Endpoints e;
        if (!packEndpoints(e, output, x, y, steps))
            return;
        u32 indices = 0;
        for (int i = 0; i < 16; ++i)
        {
            const u32 j = opaque[i] ? u32(stepOf(exact[i], e.origin, e.dir, top)) : 3u;
            indices |= j << (2 * i);
        }
        writeBlock(output, e.color0, e.color1, mapSteps(indices, steps));
    }

} // namespace norva::dxtcolor::scalar
