#pragma once

// The colour half of BC1-BC3 blocks, one implementation per instruction set (scalar and
// SSE2 files) giving the same bytes. The fit works in luminance-weighted space on the
// texels snapped to the 5:6:5 grid: the bounding box, its diagonal turned to the axis the
// texels spread along, then passes that give every texel its nearest palette step and
// solve the least-squares endpoints of that assignment exactly, until no texel changes
// step. The indices come from the unsnapped texels against the 5:6:5 endpoints.
//
// Both implementations compute in the same order: texel i sits in lane i % 4 of the row
// i / 4, a sum over the block adds the rows lane by lane and then the lanes as
// (0 + 2) + (1 + 3). The per-block arithmetic between the row loops is shared below.

#include <algorithm>
#include <utility>

#include <norva/core/configure.hpp>
#include <norva/core/cpu.hpp>
#include <norva/core/endian.hpp>

#include "block_endpoints.hpp"

namespace norva::dxtcolor
{
    // colorKey: texels with alpha 0 are transparent (three-colour mode, index 3); without it
    // every block uses the four-colour mode (the colour halves of BC2 and BC3). The source
    // is RGBA 8888, texel (x, y) at source + y * stride + 4 * x.
    using Encoder = void (*)(u8* output, const u8* source, s32 stride, bool colorKey);

    namespace scalar
    {
        void encodeColorBlockBC1(u8* output, const u8* source, s32 stride, bool colorKey);
    }
    namespace sse2
    {
        void encodeColorBlockBC1(u8* output, const u8* source, s32 stride, bool colorKey);
    }

    // The encoder for a CPU with only cpuFlags (0 gives the scalar one): the seam through
    // which the tests compare the implementations.
    Encoder getEncoder(CPUFlags cpuFlags);

    // The encoder for this CPU, chosen once.
    Encoder encoder();

    // 8-bit channel to its 5- or 6-bit grid value: trunc(v * levels / 255 + 0.5), then to
    // weighted space, and the unsnapped channel in weighted space.
    inline constexpr float snapScale[3] = { 31.0f / 255.0f, 63.0f / 255.0f, 31.0f / 255.0f };
    inline constexpr float gridWeight[3] = { bc1LumaWeights[0] / 31.0f, bc1LumaWeights[1] / 63.0f,
                                             bc1LumaWeights[2] / 31.0f };
    inline constexpr float byteWeight[3] = { bc1LumaWeights[0] / 255.0f, bc1LumaWeights[1] / 255.0f,
                                             bc1LumaWeights[2] / 255.0f };

    // Least-squares passes at most; most blocks settle after two or three.
    inline constexpr int maxPasses = 8;

    // Boxes and segments shorter than this (squared, weighted) keep the box's ends: about one
    // step of the 6-bit green grid.
    inline constexpr float shortSegment = 1.0f / 4096.0f;

    inline float sumLanes(const float v[4])
    {
        return (v[0] + v[2]) + (v[1] + v[3]);
    }

    // Turns the box x..y (its minimum and maximum) into the diagonal whose squared
    // projections sums[k] are the largest: direction k negates green when k & 2 and blue
    // when k & 1; the first wins a tie.
    inline void chooseDiagonal(float x[3], float y[3], const float sums[4])
    {
        int best = 0;
        for (int k = 1; k < 4; ++k)
            if (sums[k] > sums[best])
                best = k;
        if (best & 2)
            std::swap(x[1], y[1]);
        if (best & 1)
            std::swap(x[2], y[2]);
    }

    // The segment x..y of a pass scaled to step units (top = steps - 1); false when it is
    // too short to move the endpoints.
    inline bool stepDirection(float dir[3], const float x[3], const float y[3], float top)
    {
        float length = 0.0f;
        for (int c = 0; c < 3; ++c)
        {
            dir[c] = y[c] - x[c];
            length += dir[c] * dir[c];
        }
        if (length < shortSegment)
            return false;
        const float scale = top / length;
        for (int c = 0; c < 3; ++c)
            dir[c] *= scale;
        return true;
    }

    // Sums of one pass over the texels in the fit: the step weight w = j / (steps - 1) of
    // the end y, its square, and w times each channel.
    struct PassSums
    {
        float w;
        float ww;
        float wc[3];
    };

    // The endpoints that minimise the squared error of the assignment behind sums, given
    // the fit's texel count and channel sums. False when the assignment cannot fix both ends
    // (every texel on one step): x and y are then left alone.
    inline bool solveEndpoints(float x[3], float y[3], const PassSums& s, float count, const float total[3])
    {
        const float yy = s.ww;
        const float xy = s.w - s.ww;
        const float xx = count - 2.0f * s.w + s.ww;
        const float det = xx * yy - xy * xy;
        // Two texels one step apart give 1/9 (four steps) or 1/4; below that it is rounding.
        if (!(det > 1.0f / 32.0f))
            return false;
        const float inverse = 1.0f / det;
        for (int c = 0; c < 3; ++c)
        {
            const float cy = s.wc[c];
            const float cx = total[c] - cy;
            x[c] = (yy * cx - xy * cy) * inverse;
            y[c] = (xx * cy - xy * cx) * inverse;
        }
        return true;
    }

    inline void writeBlock(u8* output, u16 color0, u16 color1, u32 indices)
    {
        storeLE16(output + 0, color0);
        storeLE16(output + 2, color1);
        storeLE32(output + 4, indices);
    }

    inline u16 packRGB565(const float c[3])
    {
        const u32 r = u32(std::clamp(c[0] * bc1LumaInverse[0], 0.0f, 1.0f) * 31.0f + 0.5f);
        const u32 g = u32(std::clamp(c[1] * bc1LumaInverse[1], 0.0f, 1.0f) * 63.0f + 0.5f);
        const u32 b = u32(std::clamp(c[2] * bc1LumaInverse[2], 0.0f, 1.0f) * 31.0f + 0.5f);
        return u16((r << 11) | (g << 5) | b);
    }

    // The decoded colour of a 5:6:5 value, in weighted space.
    inline void unpackWeighted(float c[3], u16 v)
    {
        c[0] = float(v >> 11) * gridWeight[0];
        c[1] = float((v >> 5) & 63) * gridWeight[1];
        c[2] = float(v & 31) * gridWeight[2];
    }

    // The stored endpoints of the fit x..y and the segment the indices are measured on:
    // texel c gets step t = (c - origin) . dir, clamped to 0..steps - 1 and rounded. A
    // four-colour block whose ends pack to one value is one colour with indices 0: then the
    // block is written to output and the result is false.
    struct Endpoints
    {
        u16 color0;
        u16 color1;
        float origin[3];
        float dir[3];
    };

    inline bool packEndpoints(Endpoints& e, u8* output, const float x[3], const float y[3], int steps)
    {
        const u16 a = packRGB565(x);
        const u16 b = packRGB565(y);
        e.color0 = a;
        e.color1 = b;
        if (steps == 4 && a == b)
        {
            writeBlock(output, a, a, 0);
            return false;
        }

        // Four-colour blocks need color0 > color1, three-colour blocks color0 <= color1.
        if ((steps == 3) != (a <= b))
            std::swap(e.color0, e.color1);
        float second[3];
        unpackWeighted(e.origin, e.color0);
        unpackWeighted(second, e.color1);
        float length = 0.0f;
        for (int c = 0; c < 3; ++c)
        {
            e.dir[c] = second[c] - e.origin[c];
            length += e.dir[c] * e.dir[c];
        }
        const float scale = a != b ? float(steps - 1) / length : 0.0f;
        for (float& d : e.dir)
            d *= scale;
        return true;
    }

    // From 16 two-bit steps in fit order (x, ..., y; texel i at bits 2i) to BC1 indices:
    // four steps 0 1 2 3 -> 0 2 3 1, three steps 0 1 2 -> 0 2 1 (3, transparent, stays).
    inline u32 mapSteps(u32 steps16, int steps)
    {
        const u32 low = steps16 & 0x55555555u;
        const u32 high = (steps16 >> 1) & 0x55555555u;
        if (steps == 4)
            return ((high ^ low) << 1) | high;
        return (low << 1) | high;
    }

} // namespace norva::dxtcolor
