#pragma once

// Float endpoint fit over a subset of a block's texels (one region of a partitioned block):
// the bounding box, its diagonal flipped to the axis the texels spread along, then a few
// Newton steps that move both ends toward the least-squares fit of the texels snapped to
// `steps` evenly spaced palette entries. Used as the first guess of the BC6H and BC7 searches.

#include <cfloat>

#include <norva/core/configure.hpp>

namespace norva
{
    namespace detail
    {
        template <int C>
        void optimizeRegion(const float (*texels)[4], const u8* list, int count, int steps, float* x, float* y)
        {
            static constexpr float wx3[3] = { 1.0f, 0.5f, 0.0f };
            static constexpr float wy3[3] = { 0.0f, 0.5f, 1.0f };
            static constexpr float wx4[4] = { 1.0f, 2.0f / 3.0f, 1.0f / 3.0f, 0.0f };
            static constexpr float wy4[4] = { 0.0f, 1.0f / 3.0f, 2.0f / 3.0f, 1.0f };
            const float* wx = steps == 3 ? wx3 : wx4;
            const float* wy = steps == 3 ? wy3 : wy4;

            // The box starts at the first texel, not at [0, 1]: HDR input lies outside it.
            for (int c = 0; c < C; ++c)
                x[c] = y[c] = count ? texels[list[0]][c] : 0.0f;
            for (int i = 1; i < count; ++i)
                for (int c = 0; c < C; ++c)
                {
                    const float v = texels[list[i]][c];
                    x[c] = v < x[c] ? v : x[c];
                    y[c] = v > y[c] ? v : y[c];
                }

            float ab[C];
            float fab = 0.0f;
            for (int c = 0; c < C; ++c)
            {
                ab[c] = y[c] - x[c];
                fab += ab[c] * ab[c];
            }
            if (fab < FLT_MIN)
                return;

            // Which diagonal of the box: direction k negates the channels after red whose
            // bit is set (k's highest bit is green).
            constexpr int directions = 1 << (C - 1);
            float sums[directions] = {};
            float mid[C];
            float dir[C];
            for (int c = 0; c < C; ++c)
            {
                dir[c] = ab[c] / fab;
                mid[c] = (x[c] + y[c]) * 0.5f;
            }
            for (int i = 0; i < count; ++i)
            {
                float p[C];
                for (int c = 0; c < C; ++c)
                    p[c] = (texels[list[i]][c] - mid[c]) * dir[c];
                for (int k = 0; k < directions; ++k)
                {
                    float dot = p[0];
                    for (int c = 1; c < C; ++c)
                        dot += (k & (1 << (C - 1 - c))) ? -p[c] : p[c];
                    sums[k] += dot * dot;
                }
            }
            int best = 0;
            for (int k = 1; k < directions; ++k)
                if (sums[k] > sums[best])
                    best = k;
            for (int c = 1; c < C; ++c)
                if (best & (1 << (C - 1 - c)))
                {
                    const float t = x[c];
                    x[c] = y[c];
                    y[c] = t;
                }

            if (fab < 1.0f / 4096.0f)
                return;

            for (int pass = 0; pass < 8; ++pass)
            {
                float s[4][C];
                float d[C];
                float fd = 0.0f;
                for (int c = 0; c < C; ++c)
                {
                    for (int j = 0; j < steps; ++j)
                        s[j][c] = x[c] * wx[j] + y[c] * wy[j];
                    d[c] = y[c] - x[c];
                    fd += d[c] * d[c];
                }
                if (fd < 1.0f / 4096.0f)
                    break;
                const float scale = float(steps - 1) / fd;
                for (int c = 0; c < C; ++c)
                    d[c] *= scale;

                float d2x = 0.0f;
                float d2y = 0.0f;
                float dx[C] = {};
                float dy[C] = {};
                for (int i = 0; i < count; ++i)
                {
                    const float* texel = texels[list[i]];
                    float t = 0.0f;
                    for (int c = 0; c < C; ++c)
                        t += (texel[c] - x[c]) * d[c];
                    const int j = !(t > 0.0f) ? 0 : t >= float(steps - 1) ? steps - 1 : int(t + 0.5f);
                    const float fx = wx[j] * 0.125f;
                    const float fy = wy[j] * 0.125f;
                    d2x += fx * wx[j];
                    d2y += fy * wy[j];
                    for (int c = 0; c < C; ++c)
                    {
                        const float diff = s[j][c] - texel[c];
                        dx[c] += fx * diff;
                        dy[c] += fy * diff;
                    }
                }
                if (d2x > 0.0f)
                    for (int c = 0; c < C; ++c)
                        x[c] -= dx[c] / d2x;
                if (d2y > 0.0f)
                    for (int c = 0; c < C; ++c)
                        y[c] -= dy[c] / d2y;

                bool settled = true;
                for (int c = 0; c < C; ++c)
                    settled = settled && dx[c] * dx[c] < 1.0f / 65536.0f && dy[c] * dy[c] < 1.0f / 65536.0f;
                if (settled)
                    break;
            }
        }
    } // namespace detail

    // Red, green and blue of the listed texels (four floats each).
    inline void optimizeRGBRegion(const float (*texels)[4], const u8* list, int count, int steps, float* x, float* y)
    {
        detail::optimizeRegion<3>(texels, list, count, steps, x, y);
    }

    // All four channels of the listed texels.
    inline void optimizeRGBARegion(const float (*texels)[4], const u8* list, int count, int steps, float* x, float* y)
    {
        detail::optimizeRegion<4>(texels, list, count, steps, x, y);
    }

} // namespace norva
