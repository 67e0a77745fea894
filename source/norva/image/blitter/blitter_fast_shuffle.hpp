#pragma once

// Byte moves as byte shuffles, planned at compile time.
//
// A ByteMap says where each byte of a destination pixel comes from in its source pixel
// (or that it is 0xFF). A Plan spreads that over a block of pixels whose source and
// destination are whole 16-byte chunks and, for each destination chunk, picks one of two
// ways to build it:
//  - window: all its source bytes lie within 16 bytes, so one unaligned load (inside
//    the block) and one pshufb give the chunk (expanding maps: 1, 2 or 3 bytes to 4);
//  - combine: the OR of one pshufb per source chunk that holds some of its bytes
//    (shrinking maps, whose source bytes spread wider than 16).
// Fill bytes are ORed in at the end. The SSSE3 and AVX2 kernels only run the plan.

#include <array>

#include <norva/core/configure.hpp>

namespace norva::fast
{

    struct ByteMap
    {
        int source;   // bytes per source pixel
        int dest;     // bytes per destination pixel (up to 4)
        int index[4]; // source byte of each destination byte, -1 for 0xFF
    };

    using Control = std::array<u8, 16>;

    template <ByteMap M, int Pixels>
    struct Plan
    {
        static constexpr int S = M.source;
        static constexpr int D = M.dest;
        static constexpr int inBytes = S * Pixels;
        static constexpr int outBytes = D * Pixels;
        static constexpr int inChunks = inBytes / 16;
        static constexpr int outChunks = outBytes / 16;
        static_assert(inBytes % 16 == 0 && outBytes % 16 == 0, "a block is whole chunks");

        // source byte of destination byte j of the block, -1 for a fill byte
        static constexpr int source(int j)
        {
            const int k = M.index[j % D];
            return k < 0 ? -1 : (j / D) * S + k;
        }

        static constexpr int low(int o)
        {
            int m = inBytes;
            for (int j = 16 * o; j < 16 * o + 16; ++j)
                if (source(j) >= 0 && source(j) < m)
                    m = source(j);
            return m;
        }

        static constexpr int high(int o)
        {
            int m = -1;
            for (int j = 16 * o; j < 16 * o + 16; ++j)
                if (source(j) > m)
                    m = source(j);
            return m;
        }

        static constexpr bool window(int o)
        {
            return high(o) - low(o) < 16;
        }

        static constexpr bool uses(int o, int i)
        {
            for (int j = 16 * o; j < 16 * o + 16; ++j)
                if (source(j) >= 16 * i && source(j) < 16 * i + 16)
                    return true;
            return false;
        }

        // Where the window of chunk o starts: at its lowest source byte, moved back when
        // that would read past the block, so that no load leaves the block's source bytes.
        static constexpr int start(int o)
        {
            return low(o) < inBytes - 16 ? low(o) : inBytes - 16;
        }

        // destination chunk o from the 16 bytes at `at` (start(o) unless shared)
        static constexpr Control windowControl(int o, int at)
        {
            Control c {};
            for (int j = 0; j < 16; ++j)
            {
                const int s = source(16 * o + j);
                c[j] = s < 0 ? 0x80 : u8(s - at);
            }
            return c;
        }

        static constexpr Control windowControl(int o)
        {
            return windowControl(o, start(o));
        }

        // Whether chunks a and b draw from one 16-byte window, and where it starts: then
        // one load, broadcast to both 128-bit lanes, serves the pair.
        static constexpr bool sharedWindow(int a, int b)
        {
            const int l = low(a) < low(b) ? low(a) : low(b);
            const int h = high(a) > high(b) ? high(a) : high(b);
            return h - l < 16;
        }

        static constexpr int sharedStart(int a, int b)
        {
            const int l = low(a) < low(b) ? low(a) : low(b);
            return l < inBytes - 16 ? l : inBytes - 16;
        }

        // the bytes of destination chunk o that source chunk i holds
        static constexpr Control chunkControl(int o, int i)
        {
            Control c {};
            for (int j = 0; j < 16; ++j)
            {
                const int s = source(16 * o + j);
                c[j] = (s >= 16 * i && s < 16 * i + 16) ? u8(s - 16 * i) : 0x80;
            }
            return c;
        }

        static constexpr bool hasFill(int o)
        {
            for (int j = 16 * o; j < 16 * o + 16; ++j)
                if (source(j) < 0)
                    return true;
            return false;
        }

        static constexpr Control fill(int o)
        {
            Control c {};
            for (int j = 0; j < 16; ++j)
                c[j] = source(16 * o + j) < 0 ? 0xFF : 0;
            return c;
        }

        // whole blocks that fit in a row of count pixels
        static constexpr int blockPixels(int count)
        {
            return count / Pixels * Pixels;
        }
    };

    // the row kernels' maps
    inline constexpr ByteMap swapRB32Map { 4, 4, { 2, 1, 0, 3 } };
    inline constexpr ByteMap setAlpha32Map { 4, 4, { 0, 1, 2, -1 } };
    inline constexpr ByteMap expandBGR888Map { 3, 4, { 0, 1, 2, -1 } };
    inline constexpr ByteMap expandRGB888toBGRAMap { 3, 4, { 2, 1, 0, -1 } };
    inline constexpr ByteMap dropAlpha32Map { 4, 3, { 0, 1, 2, 0 } };
    inline constexpr ByteMap convertBGRA8888toRGB888Map { 4, 3, { 2, 1, 0, 0 } };
    inline constexpr ByteMap swapRB24Map { 3, 3, { 2, 1, 0, 0 } };
    inline constexpr ByteMap expandL8toRGB888Map { 1, 3, { 0, 0, 0, 0 } };
    inline constexpr ByteMap expandL8toRGBA8888Map { 1, 4, { 0, 0, 0, -1 } };
    inline constexpr ByteMap expandL16toRGBA8888Map { 2, 4, { 1, 1, 1, -1 } };
    inline constexpr ByteMap expandLA16toRGBA8888Map { 4, 4, { 1, 1, 1, 3 } };
    inline constexpr ByteMap convertRGB16toRGBA8888Map { 6, 4, { 1, 3, 5, -1 } };
    inline constexpr ByteMap convertRGB16toBGRA8888Map { 6, 4, { 5, 3, 1, -1 } };
    inline constexpr ByteMap convertRGBA16toRGBA8888Map { 8, 4, { 1, 3, 5, 7 } };
    inline constexpr ByteMap convertRGBA16toBGRA8888Map { 8, 4, { 5, 3, 1, 7 } };

} // namespace norva::fast
