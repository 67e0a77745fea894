#pragma once

#include <bit>
#include <cstring>

#include <norva/core/configure.hpp>

namespace norva
{
    // How one pixel is laid out: bits per pixel, the component type and, for red, green,
    // blue and alpha (indices 0 to 3), the width and the lowest bit of each field. A plain
    // 16-byte value compared as raw bytes, so it works as an ordered map key.
    //
    // Use the named formats below (Format::RGBA8888, Format::L8, ...) instead of spelling
    // common layouts by hand: conversions look pairs up by all 16 bytes, flags included, so
    // a grey image must be Format::L8 and not an 8-bit format that only has red.
    struct Format
    {
        enum Type : u16
        {
            NONE = 0x000,
            UNORM = 0x021,
            UINT = 0x043,
            SNORM = 0x122,
            SINT = 0x144,
            FLOAT16 = 0x185,
            FLOAT32 = 0x186,
        };

        // Which component occupies each field, two bits per field from the pixel's lowest
        // bits upwards: RGBA stores an 8:8:8:8 pixel as the bytes R, G, B, A.
        enum Order : u32
        {
            RGBA = 0xE4,
            BGRA = 0xC6,
            ARGB = 0x93,
            ABGR = 0x1B,
        };

        enum Flags : u16
        {
            LUMINANCE = 0x0001,
            INDEXED = 0x0002,
        };

        enum Component : int
        {
            RED = 0,
            GREEN = 1,
            BLUE = 2,
            ALPHA = 3,
        };

        u32 bits = 0;
        u16 type = NONE;
        u16 flags = 0;
        u8 size[4] = { 0, 0, 0, 0 };
        u8 offset[4] = { 0, 0, 0, 0 };

        // The empty format: no image.
        constexpr Format() = default;

        // s0..s3 are the field widths from the pixel's lowest bits upwards; field k holds
        // component (order >> 2k) & 3. Format(16, UNORM, BGRA, 5, 6, 5, 0) is BGR 565.
        constexpr Format(u32 bits, u16 type, u32 order, u32 s0, u32 s1, u32 s2, u32 s3)
            : bits(bits)
            , type(type)
        {
            const u32 sizes[4] = { s0, s1, s2, s3 };
            u32 position = 0;
            for (int k = 0; k < 4; ++k)
            {
                const int c = (order >> (2 * k)) & 3;
                size[c] = u8(sizes[k]);
                offset[c] = u8(position);
                position += sizes[k];
            }
        }

        // From bit masks (BMP, DDS); an empty mask gives size 0 and offset 0.
        constexpr Format(u32 bits, u32 redMask, u32 greenMask, u32 blueMask, u32 alphaMask)
            : bits(bits)
            , type(UNORM)
        {
            const u32 masks[4] = { redMask, greenMask, blueMask, alphaMask };
            for (int c = 0; c < 4; ++c)
            {
                size[c] = u8(std::popcount(masks[c]));
                offset[c] = masks[c] ? u8(std::countr_zero(masks[c])) : u8(0);
            }
        }

        // Sizes and offsets packed one byte per component, red in the lowest byte.
        constexpr Format(u32 bits, u16 type, u32 sizes, u32 offsets)
            : bits(bits)
            , type(type)
        {
            for (int c = 0; c < 4; ++c)
            {
                size[c] = u8(sizes >> (c * 8));
                offset[c] = u8(offsets >> (c * 8));
            }
        }

        // Whole bytes per pixel.
        constexpr int bytes() const { return int(bits >> 3); }

        constexpr bool isAlpha() const { return size[ALPHA] > 0; }
        constexpr bool isFloat() const { return (type & 0x80) != 0; }
        constexpr bool isIndexed() const { return (flags & INDEXED) != 0; }
        constexpr bool isLuminance() const { return (flags & LUMINANCE) != 0; }

        // The bits of component c in a pixel read as a 32-bit word. Sizes and offsets are
        // taken modulo 32, so a 32-bit field gives 0: use it for narrower fields only.
        constexpr u32 mask(int c) const
        {
            const u32 low = (u32(1) << (size[c] & 31)) - 1;
            return low << (offset[c] & 31);
        }

        bool operator==(const Format& other) const { return std::memcmp(this, &other, sizeof(Format)) == 0; }
        bool operator!=(const Format& other) const { return !(*this == other); }

        // Byte order of the stored value (memcmp): a strict weak order for map keys only.
        bool operator<(const Format& other) const { return std::memcmp(this, &other, sizeof(Format)) < 0; }

        // The common formats; components are named from the lowest bits upwards, so
        // RGBA8888 is the bytes R, G, B, A and BGR565 has blue in bits 0 to 4.
        static const Format RGBA8888;
        static const Format BGRA8888;
        static const Format ARGB8888;
        static const Format ABGR8888;
        static const Format RGBX8880;   // 32 bits, the fourth byte has no component
        static const Format BGRX8880;
        static const Format RGB888;
        static const Format BGR888;
        static const Format RGB565;
        static const Format BGR565;
        static const Format BGRA5551;
        static const Format BGRA4444;
        static const Format RGB16;      // 16-bit UNORM per component
        static const Format RGBA16;
        static const Format RGBA16F;    // half floats
        static const Format RGB32F;     // single-precision floats
        static const Format RGBA32F;
        static const Format L8;         // luminance: the grey value fills red, green and blue
        static const Format LA88;
        static const Format L16;
        static const Format LA1616;
        static const Format L32F;
        static const Format A8;         // alpha only
        static const Format INDEX8;     // 8-bit palette indices
    };

    static_assert(sizeof(Format) == 16, "Format is compared as 16 raw bytes");

    // Grey in red, green and blue from bit 0, alpha right above it.
    struct LuminanceFormat : Format
    {
        constexpr LuminanceFormat(u32 bits, u16 type, u32 luminanceBits, u32 alphaBits)
            : Format(bits, type, luminanceBits | (luminanceBits << 8) | (luminanceBits << 16) | (alphaBits << 24),
                     luminanceBits << 24)
        {
            flags = LUMINANCE;
        }

        constexpr LuminanceFormat(u32 bits, u32 luminanceMask, u32 alphaMask)
            : Format(bits, luminanceMask, luminanceMask, luminanceMask, alphaMask)
        {
            flags = LUMINANCE;
        }
    };

    // Palette indices of bits & 0xFF bits.
    struct IndexedFormat : Format
    {
        explicit constexpr IndexedFormat(u32 bits)
            : Format(bits, UNORM, (bits & 0xFF) * 0x010101u, 0u)
        {
            flags = INDEXED;
        }
    };

    inline constexpr Format Format::RGBA8888 { 32, UNORM, RGBA, 8, 8, 8, 8 };
    inline constexpr Format Format::BGRA8888 { 32, UNORM, BGRA, 8, 8, 8, 8 };
    inline constexpr Format Format::ARGB8888 { 32, UNORM, ARGB, 8, 8, 8, 8 };
    inline constexpr Format Format::ABGR8888 { 32, UNORM, ABGR, 8, 8, 8, 8 };
    inline constexpr Format Format::RGBX8880 { 32, UNORM, RGBA, 8, 8, 8, 0 };
    inline constexpr Format Format::BGRX8880 { 32, UNORM, BGRA, 8, 8, 8, 0 };
    inline constexpr Format Format::RGB888 { 24, UNORM, RGBA, 8, 8, 8, 0 };
    inline constexpr Format Format::BGR888 { 24, UNORM, BGRA, 8, 8, 8, 0 };
    inline constexpr Format Format::RGB565 { 16, UNORM, RGBA, 5, 6, 5, 0 };
    inline constexpr Format Format::BGR565 { 16, UNORM, BGRA, 5, 6, 5, 0 };
    inline constexpr Format Format::BGRA5551 { 16, UNORM, BGRA, 5, 5, 5, 1 };
    inline constexpr Format Format::BGRA4444 { 16, UNORM, BGRA, 4, 4, 4, 4 };
    inline constexpr Format Format::RGB16 { 48, UNORM, RGBA, 16, 16, 16, 0 };
    inline constexpr Format Format::RGBA16 { 64, UNORM, RGBA, 16, 16, 16, 16 };
    inline constexpr Format Format::RGBA16F { 64, FLOAT16, RGBA, 16, 16, 16, 16 };
    inline constexpr Format Format::RGB32F { 96, FLOAT32, RGBA, 32, 32, 32, 0 };
    inline constexpr Format Format::RGBA32F { 128, FLOAT32, RGBA, 32, 32, 32, 32 };
    inline constexpr Format Format::L8 = LuminanceFormat(8, UNORM, 8, 0);
    inline constexpr Format Format::LA88 = LuminanceFormat(16, UNORM, 8, 8);
    inline constexpr Format Format::L16 = LuminanceFormat(16, UNORM, 16, 0);
    inline constexpr Format Format::LA1616 = LuminanceFormat(32, UNORM, 16, 16);
    inline constexpr Format Format::L32F = LuminanceFormat(32, FLOAT32, 32, 0);
    inline constexpr Format Format::A8 { 8, UNORM, 0x27, 8, 0, 0, 0 };
    inline constexpr Format Format::INDEX8 = IndexedFormat(8);

} // namespace norva
