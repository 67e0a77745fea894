// The row expanders, one per sample layout, and the choice among them for an image.

#include <cstring>

#include <norva/core/endian.hpp>

#include "png_expand.hpp"
#include "png_kernels_private.hpp"

namespace norva::png
{
    namespace
    {

        // The output surfaces hold their 16-bit samples and 32-bit pixels in host order.
        inline void storeHost16(u8* p, u16 v)
        {
            std::memcpy(p, &v, 2);
        }

        inline void storeHost32(u8* p, u32 v)
        {
            std::memcpy(p, &v, 4);
        }

        // Sample i of a row packed at 1, 2 or 4 bits, the first sample in the high bits.
        inline u32 packedSample(const u8* src, u32 i, int depth)
        {
            const u32 bit = i * u32(depth);
            return (src[bit >> 3] >> (8 - depth - (bit & 7))) & ((1u << depth) - 1);
        }

        // grey

        void greyPacked(u8* dest, const u8* src, u32 width, const SampleFormat& f)
        {
            const int depth = f.depth;
            const u32 scale = 255 / ((1u << depth) - 1);
            for (u32 x = 0; x < width; ++x)
            {
                dest[x] = u8(packedSample(src, x, depth) * scale);
            }
        }

        void greyPackedKeyed(u8* dest, const u8* src, u32 width, const SampleFormat& f)
        {
            const int depth = f.depth;
            const u32 key = f.greyKey;
            const u32 scale = 255 / ((1u << depth) - 1);
            for (u32 x = 0; x < width; ++x)
            {
                const u32 s = packedSample(src, x, depth);
                dest[x * 2 + 0] = u8(s * scale);
                dest[x * 2 + 1] = s == key ? 0 : 255;
            }
        }

        void copyBytes(u8* dest, const u8* src, u32 width, const SampleFormat&)
        {
            std::memcpy(dest, src, width);
        }

        void grey8Keyed(u8* dest, const u8* src, u32 width, const SampleFormat& f)
        {
            const u32 key = f.greyKey;
            for (u32 x = 0; x < width; ++x)
            {
                dest[x * 2 + 0] = src[x];
                dest[x * 2 + 1] = src[x] == key ? 0 : 255;
            }
        }

        void grey16(u8* dest, const u8* src, u32 width, const SampleFormat&)
        {
            for (u32 x = 0; x < width; ++x)
            {
                storeHost16(dest + x * 2, loadBE16(src + x * 2));
            }
        }

        void grey16Keyed(u8* dest, const u8* src, u32 width, const SampleFormat& f)
        {
            const u16 key = f.greyKey;
            for (u32 x = 0; x < width; ++x)
            {
                const u16 l = loadBE16(src + x * 2);
                storeHost16(dest + x * 4 + 0, l);
                storeHost16(dest + x * 4 + 2, l == key ? 0 : 65535);
            }
        }

        // grey with alpha

        void greyAlpha8(u8* dest, const u8* src, u32 width, const SampleFormat&)
        {
            std::memcpy(dest, src, size_t(width) * 2);
        }

        void greyAlpha16(u8* dest, const u8* src, u32 width, const SampleFormat&)
        {
            for (u32 i = 0; i < width * 2; ++i)
            {
                storeHost16(dest + i * 2, loadBE16(src + i * 2));
            }
        }

        // RGB and RGBA

        void rgb8Keyed(u8* dest, const u8* src, u32 width, const SampleFormat& f)
        {
            const u32 key = packBGRA(f.redKey & 0xFF, f.greenKey & 0xFF, f.blueKey & 0xFF, 0xFF);
            for (u32 x = 0; x < width; ++x)
            {
                u32 c = packBGRA(src[x * 3 + 0], src[x * 3 + 1], src[x * 3 + 2], 0xFF);
                if (c == key)
                {
                    c &= 0x00FFFFFF;
                }
                storeHost32(dest + x * 4, c);
            }
        }

        void rgb16(u8* dest, const u8* src, u32 width, const SampleFormat& f)
        {
            const bool keyed = f.transparent;
            const u16 redKey = f.redKey;
            const u16 greenKey = f.greenKey;
            const u16 blueKey = f.blueKey;
            for (u32 x = 0; x < width; ++x)
            {
                const u16 r = loadBE16(src + x * 6 + 0);
                const u16 g = loadBE16(src + x * 6 + 2);
                const u16 b = loadBE16(src + x * 6 + 4);
                const bool key = keyed && r == redKey && g == greenKey && b == blueKey;
                storeHost16(dest + x * 8 + 0, r);
                storeHost16(dest + x * 8 + 2, g);
                storeHost16(dest + x * 8 + 4, b);
                storeHost16(dest + x * 8 + 6, key ? 0 : 65535);
            }
        }

        void rgba16(u8* dest, const u8* src, u32 width, const SampleFormat&)
        {
            for (u32 i = 0; i < width * 4; ++i)
            {
                storeHost16(dest + i * 2, loadBE16(src + i * 2));
            }
        }

        // palette

        void paletteIndicesPacked(u8* dest, const u8* src, u32 width, const SampleFormat& f)
        {
            const int depth = f.depth;
            for (u32 x = 0; x < width; ++x)
            {
                dest[x] = u8(packedSample(src, x, depth));
            }
        }

        // The format's fields are copied into locals before the loops: the byte stores may
        // alias them, and the compiler would load them again for every pixel.

        void palette8(u8* dest, const u8* src, u32 width, const SampleFormat& f)
        {
            const u32* palette = f.palette;
            for (u32 x = 0; x < width; ++x)
            {
                storeHost32(dest + x * 4, palette[src[x]]);
            }
        }

        void palettePacked(u8* dest, const u8* src, u32 width, const SampleFormat& f)
        {
            const u32* palette = f.palette;
            const int depth = f.depth;
            for (u32 x = 0; x < width; ++x)
            {
                storeHost32(dest + x * 4, palette[packedSample(src, x, depth)]);
            }
        }

        void nothing(u8*, const u8*, u32, const SampleFormat&)
        {
        }

        RowExpander::Function chooseGrey(const SampleFormat& f)
        {
            if (f.depth < 8)
            {
                return f.transparent ? greyPackedKeyed : greyPacked;
            }
            if (f.depth == 8)
            {
                return f.transparent ? grey8Keyed : copyBytes;
            }
            return f.transparent ? grey16Keyed : grey16;
        }

        RowExpander::Function choosePalette(const SampleFormat& f)
        {
            if (f.indexed)
            {
                return f.depth == 8 ? copyBytes : paletteIndicesPacked;
            }
            return f.depth == 8 ? palette8 : palettePacked;
        }

    } // namespace

    namespace scalar
    {

        void expandRGB8(u8* dest, const u8* src, size_t width)
        {
            for (size_t x = 0; x < width; ++x)
            {
                storeHost32(dest + x * 4, packBGRA(src[x * 3], src[x * 3 + 1], src[x * 3 + 2], 0xFF));
            }
        }

        void expandRGBA8(u8* dest, const u8* src, size_t width)
        {
            for (size_t x = 0; x < width; ++x)
            {
                storeHost32(dest + x * 4, packBGRA(src[x * 4], src[x * 4 + 1], src[x * 4 + 2], src[x * 4 + 3]));
            }
        }

    } // namespace scalar

    RowExpander::RowExpander(const SampleFormat& format, const Kernels& kernels)
        : m_function(nothing)
        , m_format(format)
    {
        const bool wide = format.depth == 16;
        switch (format.colorType)
        {
            case COLOR_GREY:
                m_function = chooseGrey(format);
                break;
            case COLOR_GREY_ALPHA:
                m_function = wide ? greyAlpha16 : greyAlpha8;
                break;
            case COLOR_RGB:
                if (wide)
                {
                    m_function = rgb16;
                }
                else if (format.transparent)
                {
                    m_function = rgb8Keyed;
                }
                else
                {
                    m_kernel = kernels.expandRGB8;
                }
                break;
            case COLOR_RGB_ALPHA:
                if (wide)
                {
                    m_function = rgba16;
                }
                else
                {
                    m_kernel = kernels.expandRGBA8;
                }
                break;
            case COLOR_PALETTE:
                m_function = choosePalette(format);
                break;
            default:
                break;
        }
    }

} // namespace norva::png
