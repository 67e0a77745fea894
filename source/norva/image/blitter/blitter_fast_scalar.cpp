// The fast rows one pixel at a time: the reference for their SIMD variants and the
// remainder path of those. Each kernel keeps its row's own rule: packs truncate, unpacks
// replicate the top bits, 16-bit components give their high byte.

#include <norva/image/blitter.hpp>

#include "blitter_fast_private.hpp"

namespace norva::fast::scalar
{
    namespace
    {

        // 5 or 6 bits to 8 by repeating the top bits below them
        inline u32 replicate5(u32 c)
        {
            return (c << 3) | (c >> 2);
        }

        inline u32 replicate6(u32 c)
        {
            return (c << 2) | (c >> 4);
        }

        inline u32 grey(u32 l)
        {
            return l * 0x010101u;
        }

        // byte map of one pixel: dest byte k is src[index[k]]
        template <int S, int D>
        inline void moveBytes(u8* dest, const u8* src, int count, const int (&index)[D], int alphaByte)
        {
            for (int x = 0; x < count; ++x)
            {
                u8 pixel[4];
                for (int k = 0; k < D; ++k)
                    pixel[k] = k == alphaByte ? 0xFF : src[index[k]];
                std::memcpy(dest, pixel, D);
                dest += D;
                src += S;
            }
        }

    } // namespace

    void copyRow4(u8* dest, const u8* src, int count)
    {
        if (count > 0)
            std::memmove(dest, src, size_t(count) * 4);
    }

    void setAlpha32(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
            storeLE32(dest + 4 * x, loadLE32(src + 4 * x) | 0xFF000000);
    }

    void swapRB32(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
        {
            const u32 s = loadLE32(src + 4 * x);
            storeLE32(dest + 4 * x, (s & 0xFF00FF00) | ((s >> 16) & 0xFF) | ((s & 0xFF) << 16));
        }
    }

    void unpackBGRA4444(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
        {
            const u32 s = loadLE16(src + 2 * x);
            // each nibble into its own byte, then n * 17
            const u32 spread = (s & 0xF) | ((s & 0xF0) << 4) | ((s & 0xF00) << 8) | ((s & 0xF000) << 12);
            storeLE32(dest + 4 * x, spread * 17);
        }
    }

    void unpackBGRA5551(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
        {
            const u32 s = loadLE16(src + 2 * x);
            const u32 b = replicate5(s & 0x1F);
            const u32 g = replicate5((s >> 5) & 0x1F);
            const u32 r = replicate5((s >> 10) & 0x1F);
            const u32 a = (s & 0x8000) ? 0xFF000000 : 0;
            storeLE32(dest + 4 * x, b | (g << 8) | (r << 16) | a);
        }
    }

    void expandBGR888(u8* dest, const u8* src, int count)
    {
        static constexpr int index[4] = { 0, 1, 2, 0 };
        moveBytes<3, 4>(dest, src, count, index, 3);
    }

    void expandRGB888toBGRA(u8* dest, const u8* src, int count)
    {
        static constexpr int index[4] = { 2, 1, 0, 0 };
        moveBytes<3, 4>(dest, src, count, index, 3);
    }

    void unpackBGR565(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
        {
            const u32 s = loadLE16(src + 2 * x);
            const u32 b = replicate5(s & 0x1F);
            const u32 g = replicate6((s >> 5) & 0x3F);
            const u32 r = replicate5(s >> 11);
            storeLE32(dest + 4 * x, b | (g << 8) | (r << 16) | 0xFF000000);
        }
    }

    void dropAlpha32(u8* dest, const u8* src, int count)
    {
        static constexpr int index[3] = { 0, 1, 2 };
        moveBytes<4, 3>(dest, src, count, index, -1);
    }

    void convertBGRA8888toRGB888(u8* dest, const u8* src, int count)
    {
        static constexpr int index[3] = { 2, 1, 0 };
        moveBytes<4, 3>(dest, src, count, index, -1);
    }

    void swapRB24(u8* dest, const u8* src, int count)
    {
        static constexpr int index[3] = { 2, 1, 0 };
        moveBytes<3, 3>(dest, src, count, index, -1);
    }

    void packBGR565(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
        {
            const u32 s = loadLE32(src + 4 * x);
            storeLE16(dest + 2 * x, u16(((s >> 8) & 0xF800) | ((s >> 5) & 0x7E0) | ((s >> 3) & 0x1F)));
        }
    }

    void packBGRA5551(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
        {
            const u32 s = loadLE32(src + 4 * x);
            storeLE16(dest + 2 * x,
                    u16(((s >> 9) & 0x7C00) | ((s >> 6) & 0x3E0) | ((s >> 3) & 0x1F) | ((s >> 16) & 0x8000)));
        }
    }

    void packBGRA4444(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
        {
            const u32 s = loadLE32(src + 4 * x);
            storeLE16(dest + 2 * x,
                    u16(((s >> 16) & 0xF000) | ((s >> 12) & 0xF00) | ((s >> 8) & 0xF0) | ((s >> 4) & 0xF)));
        }
    }

    void expandL8toRGB888(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
        {
            const u8 l = src[x];
            dest[3 * x + 0] = l;
            dest[3 * x + 1] = l;
            dest[3 * x + 2] = l;
        }
    }

    void expandL8toRGBA8888(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
            storeLE32(dest + 4 * x, grey(src[x]) | 0xFF000000);
    }

    void expandL16toRGBA8888(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
            storeLE32(dest + 4 * x, grey(src[2 * x + 1]) | 0xFF000000);
    }

    void expandLA16toRGBA8888(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
            storeLE32(dest + 4 * x, grey(src[4 * x + 1]) | (u32(src[4 * x + 3]) << 24));
    }

    void convertRGB16toRGBA8888(u8* dest, const u8* src, int count)
    {
        static constexpr int index[4] = { 1, 3, 5, 0 };
        moveBytes<6, 4>(dest, src, count, index, 3);
    }

    void convertRGB16toBGRA8888(u8* dest, const u8* src, int count)
    {
        static constexpr int index[4] = { 5, 3, 1, 0 };
        moveBytes<6, 4>(dest, src, count, index, 3);
    }

    void convertRGBA16toRGBA8888(u8* dest, const u8* src, int count)
    {
        static constexpr int index[4] = { 1, 3, 5, 7 };
        moveBytes<8, 4>(dest, src, count, index, -1);
    }

    void convertRGBA16toBGRA8888(u8* dest, const u8* src, int count)
    {
        static constexpr int index[4] = { 5, 3, 1, 7 };
        moveBytes<8, 4>(dest, src, count, index, -1);
    }

    namespace
    {
        // r, g, b, a floats into bytes at the given positions (0 = lowest byte)
        template <int R, int B>
        inline void floatPixel(u8* dest, const float (&v)[4])
        {
            const u32 d = (floatToByte(v[0]) << (8 * R)) | (floatToByte(v[1]) << 8) | (floatToByte(v[2]) << (8 * B)) |
                          (floatToByte(v[3]) << 24);
            storeLE32(dest, d);
        }

        template <int R, int B>
        void halfRow(u8* dest, const u8* src, int count)
        {
            for (int x = 0; x < count; ++x)
            {
                float v[4];
                for (int c = 0; c < 4; ++c)
                    v[c] = halfToFloat(loadLE16(src + 8 * x + 2 * c));
                floatPixel<R, B>(dest + 4 * x, v);
            }
        }

        template <int R, int B>
        void floatRow(u8* dest, const u8* src, int count)
        {
            for (int x = 0; x < count; ++x)
            {
                float v[4];
                std::memcpy(v, src + 16 * x, 16);
                floatPixel<R, B>(dest + 4 * x, v);
            }
        }
    } // namespace

    void convertHalfToRGBA8888(u8* dest, const u8* src, int count)
    {
        halfRow<0, 2>(dest, src, count);
    }

    void convertHalfToBGRA8888(u8* dest, const u8* src, int count)
    {
        halfRow<2, 0>(dest, src, count);
    }

    void convertFloatToRGBA8888(u8* dest, const u8* src, int count)
    {
        floatRow<0, 2>(dest, src, count);
    }

    void convertFloatToBGRA8888(u8* dest, const u8* src, int count)
    {
        floatRow<2, 0>(dest, src, count);
    }

    void convertFloatToHalf(u8* dest, const u8* src, int count)
    {
        for (int i = 0; i < count * 4; ++i)
        {
            float f;
            std::memcpy(&f, src + 4 * i, 4);
            storeLE16(dest + 2 * i, floatToHalf(f));
        }
    }

    void convertHalfToFloat(u8* dest, const u8* src, int count)
    {
        for (int i = 0; i < count * 4; ++i)
        {
            const float f = halfToFloat(loadLE16(src + 2 * i));
            std::memcpy(dest + 4 * i, &f, 4);
        }
    }

    // Bytes to floats v / 255: single-precision division is correctly rounded, so these are
    // the values of the generic converter's double division rounded to float.
    void convertRGBA8888ToFloat(u8* dest, const u8* src, int count)
    {
        for (int i = 0; i < count * 4; ++i)
        {
            const float f = float(src[i]) / 255.0f;
            std::memcpy(dest + 4 * i, &f, 4);
        }
    }

    void convertBGRA8888ToFloat(u8* dest, const u8* src, int count)
    {
        for (int x = 0; x < count; ++x)
        {
            const float f[4] = { float(src[4 * x + 2]) / 255.0f, float(src[4 * x + 1]) / 255.0f,
                                 float(src[4 * x + 0]) / 255.0f, float(src[4 * x + 3]) / 255.0f };
            std::memcpy(dest + 16 * x, f, 16);
        }
    }

} // namespace norva::fast::scalar
