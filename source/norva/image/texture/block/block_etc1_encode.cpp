// ETC1 block encoder: a fixed, quick search. Both flip orientations are tried; each takes
// its two halves' average colours as base colours (differential when the 5-bit colours are
// close enough, individual 4-bit ones otherwise), and each half picks the modifier table
// with the smallest perceptually weighted error. The output matches Android's etc1tool.

#include <algorithm>

#include <norva/core/endian.hpp>

#include "block_codecs.hpp"

namespace norva
{
    namespace
    {
        // Intensity modifier tables in index order {a, b, -a, -b}.
        constexpr int modifiers[8][4] = {
            { 2, 8, -2, -8 },       { 5, 17, -5, -17 },     { 9, 29, -9, -29 },     { 13, 42, -13, -42 },
            { 18, 60, -18, -60 },   { 24, 80, -24, -80 },   { 33, 106, -33, -106 }, { 47, 183, -47, -183 },
        };

        struct Color
        {
            int r, g, b;
        };

        struct Encoded
        {
            u32 high = 0;
            u32 low = 0;
            u32 error = 0;
        };

        Color texel(const u8* source, s32 stride, int x, int y)
        {
            const u8* p = source + ptrdiff_t(y) * stride + x * 4;
            return { p[0], p[1], p[2] };
        }

        // The rounded mean of the 2 x 4 (columns x0, x0 + 1) or 4 x 2 (rows y0, y0 + 1) half.
        Color averageSubblockETC1(const u8* source, s32 stride, int x0, int y0, int width, int height)
        {
            Color sum = { 4, 4, 4 };
            for (int y = y0; y < y0 + height; ++y)
                for (int x = x0; x < x0 + width; ++x)
                {
                    const Color c = texel(source, stride, x, y);
                    sum.r += c.r;
                    sum.g += c.g;
                    sum.b += c.b;
                }
            return { sum.r >> 3, sum.g >> 3, sum.b >> 3 };
        }

        int quantize5(int v)
        {
            const int q = 31 * v;
            return (q + 128 + (q >> 8)) >> 8;
        }

        int quantize4(int v)
        {
            const int q = 15 * v;
            return (q + 128 + (q >> 8)) >> 8;
        }

        Color widen5(Color c)
        {
            return { (c.r << 3) | (c.r >> 2), (c.g << 3) | (c.g >> 2), (c.b << 3) | (c.b >> 2) };
        }

        Color widen4(Color c)
        {
            return { (c.r << 4) | c.r, (c.g << 4) | c.g, (c.b << 4) | c.b };
        }

        // Sets the base colour fields and the differential bit of high; gives the two base
        // colours as the decoder widens them.
        void encodeBaseColorsETC1(u32& high, Color& base1, Color& base2, Color c1, Color c2)
        {
            const Color q1 = { quantize5(c1.r), quantize5(c1.g), quantize5(c1.b) };
            const Color q2 = { quantize5(c2.r), quantize5(c2.g), quantize5(c2.b) };
            const Color d = { q2.r - q1.r, q2.g - q1.g, q2.b - q1.b };
            auto fits = [](int v) { return v >= -4 && v <= 3; };
            if (fits(d.r) && fits(d.g) && fits(d.b))
            {
                high |= u32(q1.r) << 27 | u32(d.r & 7) << 24 | u32(q1.g) << 19 | u32(d.g & 7) << 16 |
                        u32(q1.b) << 11 | u32(d.b & 7) << 8 | 2;
                base1 = widen5(q1);
                base2 = widen5(q2);
            }
            else
            {
                const Color i1 = { quantize4(c1.r), quantize4(c1.g), quantize4(c1.b) };
                const Color i2 = { quantize4(c2.r), quantize4(c2.g), quantize4(c2.b) };
                high |= u32(i1.r) << 28 | u32(i2.r) << 24 | u32(i1.g) << 20 | u32(i2.g) << 16 | u32(i1.b) << 12 |
                        u32(i2.b) << 8;
                base1 = widen4(i1);
                base2 = widen4(i2);
            }
        }

        int square(int v)
        {
            return v * v;
        }

        // Best modifier of the table for one texel: green weighs 6, red 3, blue 1; a
        // candidate is dropped as soon as its partial error reaches the best so far.
        void chooseModifierETC1(Encoded& half, Color base, const int table[4], Color c, int x, int y)
        {
            u32 bestError = ~u32(0);
            int bestIndex = 0;
            for (int i = 0; i < 4; ++i)
            {
                const int m = table[i];
                u32 error = u32(6 * square(std::clamp(base.g + m, 0, 255) - c.g));
                if (error >= bestError)
                    continue;
                error += u32(3 * square(std::clamp(base.r + m, 0, 255) - c.r));
                error += u32(square(std::clamp(base.b + m, 0, 255) - c.b));
                if (error < bestError)
                {
                    bestError = error;
                    bestIndex = i;
                }
            }
            const int bit = y + 4 * x;
            half.low |= u32(bestIndex & 1) << bit;
            half.low |= u32(bestIndex >> 1) << (bit + 16);
            half.error += bestError;
        }

        // Adds the indices and errors of half `second` (0 or 1) against base with table t.
        void encodeSubblockETC1(Encoded& half, const u8* source, s32 stride, Color base, int t, bool flip, int second)
        {
            const int x0 = flip ? 0 : 2 * second;
            const int y0 = flip ? 2 * second : 0;
            const int width = flip ? 4 : 2;
            const int height = flip ? 2 : 4;
            for (int y = y0; y < y0 + height; ++y)
                for (int x = x0; x < x0 + width; ++x)
                    chooseModifierETC1(half, base, modifiers[t], texel(source, stride, x, y), x, y);
        }

        // Adds half `second` (0 or 1) with the first of the eight tables that gives the
        // smallest error; its codeword goes to bits 5-7 (first half) or 2-4 (second half).
        Encoded chooseTableETC1(const Encoded& start, const u8* source, s32 stride, Color base, bool flip, int second)
        {
            Encoded best;
            for (int t = 0; t < 8; ++t)
            {
                Encoded candidate = start;
                candidate.high |= u32(t) << (second ? 2 : 5);
                encodeSubblockETC1(candidate, source, stride, base, t, flip, second);
                if (t == 0 || candidate.error < best.error)
                    best = candidate;
            }
            return best;
        }

        Encoded encodeFlipETC1(const u8* source, s32 stride, Color c1, Color c2, bool flip)
        {
            Encoded start;
            start.high = flip ? 1 : 0;
            Color base1;
            Color base2;
            encodeBaseColorsETC1(start.high, base1, base2, c1, c2);

            const Encoded first = chooseTableETC1(start, source, stride, base1, flip, 0);
            return chooseTableETC1(first, source, stride, base2, flip, 1);
        }

    } // namespace

    void encodeBlockETC1(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        const Color left = averageSubblockETC1(source, stride, 0, 0, 2, 4);
        const Color right = averageSubblockETC1(source, stride, 2, 0, 2, 4);
        const Color top = averageSubblockETC1(source, stride, 0, 0, 4, 2);
        const Color bottom = averageSubblockETC1(source, stride, 0, 2, 4, 2);

        Encoded best = encodeFlipETC1(source, stride, left, right, false);
        const Encoded flipped = encodeFlipETC1(source, stride, top, bottom, true);
        if (flipped.error < best.error)
            best = flipped;

        storeBE32(output + 0, best.high);
        storeBE32(output + 4, best.low);
    }

} // namespace norva
