// PVRTC 1 decoder, 2 and 4 bits per pixel. The image is a grid of 64-bit words (a 32-bit
// modulation word, then a 32-bit colour word, both little-endian), each covering 4 x 4
// texels at 4 bpp or 8 x 4 at 2 bpp, stored in twiddled (Morton) order. Every word holds
// two low-resolution colours A and B; a texel blends the bilinear upscale of A and of B
// across the four words whose centres surround it, weighted by its own modulation value.
//
// The codec is called once for the whole image (the row's block size is the image size).
// The word grid wraps at its edges, so its sides must be powers of two; the decoder reads
// only the words of that grid and writes each texel of the image once.

#include <algorithm>

#include <norva/core/endian.hpp>

#include "block_codecs.hpp"

namespace norva
{
    namespace
    {
        using TC = TextureCompression;

        // Modulation modes of a word, as the texels read them.
        enum Mode
        {
            MODE_4BPP,          // 2 bits per texel: 0, 3, 5, 8
            MODE_PUNCH_THROUGH, // 4 bpp, 2 bits: 0, 4, 4 with alpha 0, 8
            MODE_2BPP_DIRECT,   // 1 bit per texel: 0 or 8
            MODE_2BPP_BOTH,     // every other texel stored, the others average four neighbours
            MODE_2BPP_HORIZONTAL,
            MODE_2BPP_VERTICAL,
        };

        constexpr int modulationValues[4] = { 0, 3, 5, 8 };
        constexpr int punchThroughValues[4] = { 0, 4, 4, 8 };
        constexpr int punchThrough = 0x10; // marks a value whose texel loses its alpha

        struct Word
        {
            u32 modulation;
            Mode mode;
            int color[8]; // A red, green, blue, alpha, then B: 5-bit colour, 4-bit alpha
        };

        inline int widen4(u32 v)
        {
            return int((v << 1) | (v >> 3));
        }

        // Colour A: bits 0-15; its opaque blue and translucent blue are a bit shorter than B's.
        void unpackColorA(u32 bits, int* c)
        {
            if (bits & 0x8000)
            {
                c[0] = int((bits >> 10) & 31);
                c[1] = int((bits >> 5) & 31);
                c[2] = widen4((bits >> 1) & 15);
                c[3] = 15;
            }
            else
            {
                const u32 blue = (bits >> 1) & 7;
                c[0] = widen4((bits >> 8) & 15);
                c[1] = widen4((bits >> 4) & 15);
                c[2] = int((blue << 2) | (blue >> 1));
                c[3] = int((bits >> 12) & 7) * 2;
            }
        }

        // Colour B: bits 16-31.
        void unpackColorB(u32 bits, int* c)
        {
            if (bits & 0x80000000)
            {
                c[0] = int((bits >> 26) & 31);
                c[1] = int((bits >> 21) & 31);
                c[2] = int((bits >> 16) & 31);
                c[3] = 15;
            }
            else
            {
                c[0] = widen4((bits >> 24) & 15);
                c[1] = widen4((bits >> 20) & 15);
                c[2] = widen4((bits >> 16) & 15);
                c[3] = int((bits >> 28) & 7) * 2;
            }
        }

        Word unpackWord(const u8* data, bool twoBits)
        {
            Word word;
            word.modulation = loadLE32(data);
            const u32 color = loadLE32(data + 4);
            unpackColorA(color, word.color);
            unpackColorB(color, word.color + 4);

            const bool flag = (color & 1) != 0;
            if (!twoBits)
            {
                word.mode = flag ? MODE_PUNCH_THROUGH : MODE_4BPP;
            }
            else if (!flag)
            {
                word.mode = MODE_2BPP_DIRECT;
            }
            else
            {
                // Stored texel 0's low bit picks the interpolation; it is taken from its high
                // bit afterwards. With one direction, stored texel 10's low bit picks which
                // one and is likewise replaced by its high bit.
                u32 m = word.modulation;
                word.mode = MODE_2BPP_BOTH;
                if (m & 1)
                {
                    word.mode = (m & (1u << 20)) ? MODE_2BPP_VERTICAL : MODE_2BPP_HORIZONTAL;
                    m = (m & ~(1u << 20)) | ((m >> 1) & (1u << 20));
                }
                m = (m & ~1u) | ((m >> 1) & 1u);
                word.modulation = m;
            }
            return word;
        }

        // The value (0..8, maybe marked punchThrough) that a word's modulation gives its
        // texel (x, y); interpolated 2 bpp texels return -1.
        inline int storedValue(const Word& word, int x, int y)
        {
            switch (word.mode)
            {
            case MODE_4BPP:
                return modulationValues[(word.modulation >> (2 * (y * 4 + x))) & 3];
            case MODE_PUNCH_THROUGH:
            {
                const u32 bits = (word.modulation >> (2 * (y * 4 + x))) & 3;
                return punchThroughValues[bits] | (bits == 2 ? punchThrough : 0);
            }
            case MODE_2BPP_DIRECT:
                return (word.modulation >> (y * 8 + x)) & 1 ? 8 : 0;
            default:
                if ((x + y) & 1)
                    return -1;
                // stored texels in texel order, four per row
                return modulationValues[(word.modulation >> (2 * (y * 4 + (x >> 1)))) & 3];
            }
        }

        // The four words P, Q (top) and R, S (bottom) of one texel area, as one 2ww x 8 field.
        struct Window
        {
            const Word* words[4];
            int shiftX; // log2 of the word width

            const Word& at(int x, int y) const
            {
                return *words[((y >> 2) << 1) | (x >> shiftX)];
            }

            int stored(int x, int y) const
            {
                return storedValue(at(x, y), x & ((1 << shiftX) - 1), y & 3);
            }

            // The modulation value of field texel (x, y), inside the field by one texel on
            // every side (only the central area is asked for).
            int value(int x, int y) const
            {
                const Word& word = at(x, y);
                const int v = storedValue(word, x & ((1 << shiftX) - 1), y & 3);
                if (v >= 0)
                    return v;
                // the neighbours of an interpolated texel are stored texels, here or in the
                // adjacent word (the word sides are even, so the checkerboard runs on)
                auto get = [&](int nx, int ny) { return stored(nx, ny) & 15; };
                switch (word.mode)
                {
                case MODE_2BPP_HORIZONTAL:
                    return (get(x - 1, y) + get(x + 1, y) + 1) >> 1;
                case MODE_2BPP_VERTICAL:
                    return (get(x, y - 1) + get(x, y + 1) + 1) >> 1;
                default:
                    return (get(x - 1, y) + get(x + 1, y) + get(x, y - 1) + get(x, y + 1) + 2) >> 2;
                }
            }
        };

        // Word (x, y) of a twiddled grid whose smaller side has 2^low words: the low bits of
        // x and y interleave (y in the even bits), the rest of the longer side's coordinate
        // follows above them. Square grids are the plain interleave.
        inline u64 spreadBits(u64 v)
        {
            v &= 0xFFFFFFFF;
            v = (v | (v << 16)) & 0x0000FFFF0000FFFFull;
            v = (v | (v << 8)) & 0x00FF00FF00FF00FFull;
            v = (v | (v << 4)) & 0x0F0F0F0F0F0F0F0Full;
            v = (v | (v << 2)) & 0x3333333333333333ull;
            v = (v | (v << 1)) & 0x5555555555555555ull;
            return v;
        }

        inline u64 twiddle(u32 x, u32 y, int low, bool wide)
        {
            const u32 mask = (u32(1) << low) - 1;
            const u64 high = u64(wide ? x >> low : y >> low) << (2 * low);
            return spreadBits(y & mask) | (spreadBits(x & mask) << 1) | high;
        }

        inline bool isPowerOfTwo(s32 v)
        {
            return v > 0 && (v & (v - 1)) == 0;
        }

        void fillErrorColor(u8* dest, s32 stride, int width, int height)
        {
            for (int y = 0; y < height; ++y)
            {
                u8* row = dest + ptrdiff_t(y) * stride;
                for (int x = 0; x < width; ++x)
                {
                    row[x * 4 + 0] = 255;
                    row[x * 4 + 1] = 0;
                    row[x * 4 + 2] = 255;
                    row[x * 4 + 3] = 255;
                }
            }
        }

        void decodePVRTC(const u8* data, u8* dest, s32 stride, int width, int height, bool twoBits)
        {
            const int ww = twoBits ? 8 : 4;
            const int shiftX = twoBits ? 3 : 2;

            // Anything but a power-of-two grid of whole words cannot wrap: the drivers never
            // ask for one, a direct caller gets the error colour instead of reads past the data.
            if (width <= 0 || height <= 0)
                return;
            if (width % ww || height % 4 || !isPowerOfTwo(width / ww) || !isPowerOfTwo(height / 4))
            {
                fillErrorColor(dest, stride, width, height);
                return;
            }

            const u32 columns = u32(width / ww);
            const u32 rows = u32(height / 4);
            const bool wide = columns > rows;
            const int low = __builtin_ctz(std::min(columns, rows));

            auto load = [&](u32 bx, u32 by) {
                return unpackWord(data + twiddle(bx & (columns - 1), by & (rows - 1), low, wide) * 8, twoBits);
            };

            // bilinear weights sum to 4 ww: 16 (4 bpp) or 32 (2 bpp), widened to 8 bits
            const int colorShift = twoBits ? 2 : 1;
            const int alphaShift = twoBits ? 1 : 0;

            for (u32 by = 0; by < rows; ++by)
            {
                Word p = load(columns - 1, by - 1);
                Word r = load(columns - 1, by);
                for (u32 bx = 0; bx < columns; ++bx)
                {
                    const Word q = load(bx, by - 1);
                    const Word s = load(bx, by);
                    const Window window { { &p, &q, &r, &s }, shiftX };

                    for (int y = 0; y < 4; ++y)
                    {
                        const u32 row = (by * 4 - 2 + u32(y)) & u32(height - 1);
                        u8* line = dest + ptrdiff_t(row) * stride;

                        // per channel: left and right columns of the bilinear patch at this row
                        int left[8], step[8];
                        for (int c = 0; c < 8; ++c)
                        {
                            left[c] = (4 - y) * p.color[c] + y * r.color[c];
                            step[c] = (4 - y) * q.color[c] + y * s.color[c] - left[c];
                            left[c] *= ww;
                        }

                        for (int x = 0; x < ww; ++x)
                        {
                            int color[8];
                            for (int c = 0; c < 8; ++c)
                            {
                                const int v = left[c] + x * step[c];
                                color[c] = (c & 3) == 3 ? (v >> (4 + alphaShift)) + (v >> alphaShift)
                                                        : (v >> (5 + colorShift)) + (v >> colorShift);
                            }

                            const int m = window.value(ww / 2 + x, 2 + y);
                            const int weight = m & 15;
                            const u32 column = (bx * u32(ww) - u32(ww / 2) + u32(x)) & u32(width - 1);
                            u8* texel = line + size_t(column) * 4;
                            for (int c = 0; c < 4; ++c)
                                texel[c] = u8(color[c] + (color[c + 4] - color[c]) * weight / 8);
                            if (m & punchThrough)
                                texel[3] = 0;
                        }
                    }

                    p = q;
                    r = s;
                }
            }
        }

    } // namespace

    void decodeSurfacePVRTC(const TextureCompressionInfo& info, u8* dest, const u8* data, s32 stride)
    {
        switch (info.compression)
        {
        case TC::PVRTC_RGB_2BPP:
        case TC::PVRTC_RGBA_2BPP:
        case TC::PVRTC_SRGB_2BPP:
        case TC::PVRTC_SRGB_ALPHA_2BPP:
            decodePVRTC(data, dest, stride, info.width, info.height, true);
            break;
        case TC::PVRTC_RGB_4BPP:
        case TC::PVRTC_RGBA_4BPP:
        case TC::PVRTC_SRGB_4BPP:
        case TC::PVRTC_SRGB_ALPHA_4BPP:
            decodePVRTC(data, dest, stride, info.width, info.height, false);
            break;
        default:
            break;
        }
    }

} // namespace norva
