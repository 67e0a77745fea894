// BC4 and BC5 (RGTC1, RGTC2) block decoders, unsigned and signed: one or two interpolated
// channels, written as four floats per texel (red, green, 0, 1).

#include <cstring>

#include <norva/core/endian.hpp>

#include "block_codecs.hpp"
#include "block_rgtc.hpp"

namespace norva
{
    namespace
    {
        // Writes the channel into float `component` of every texel.
        void decodeChannel(u8* dest, s32 stride, const u8* block, int component, const float palette[8])
        {
            u64 indices = loadLE16(block + 2) | (u64(loadLE32(block + 4)) << 16);
            for (int y = 0; y < 4; ++y)
            {
                u8* row = dest + ptrdiff_t(y) * stride + component * 4;
                for (int x = 0; x < 4; ++x)
                {
                    std::memcpy(row + x * 16, &palette[indices & 7], 4);
                    indices >>= 3;
                }
            }
        }

        void clearTexels(u8* dest, s32 stride)
        {
            const float texel[4] = { 0.0f, 0.0f, 0.0f, 1.0f };
            for (int y = 0; y < 4; ++y)
            {
                u8* row = dest + ptrdiff_t(y) * stride;
                for (int x = 0; x < 4; ++x)
                    std::memcpy(row + x * 16, texel, 16);
            }
        }

        template <void (*Palette)(float*, const u8*)>
        void decodeBC4(u8* dest, const u8* block, s32 stride)
        {
            float palette[8];
            Palette(palette, block);
            clearTexels(dest, stride);
            decodeChannel(dest, stride, block, 0, palette);
        }

        template <void (*Palette)(float*, const u8*)>
        void decodeBC5(u8* dest, const u8* block, s32 stride)
        {
            float red[8];
            float green[8];
            Palette(red, block);
            Palette(green, block + 8);
            clearTexels(dest, stride);
            decodeChannel(dest, stride, block, 0, red);
            decodeChannel(dest, stride, block + 8, 1, green);
        }

    } // namespace

    void decodeBlockBC4U(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeBC4<channelPaletteUnsigned>(dest, block, stride);
    }

    void decodeBlockBC4S(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeBC4<channelPaletteSigned>(dest, block, stride);
    }

    void decodeBlockBC5U(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeBC5<channelPaletteUnsigned>(dest, block, stride);
    }

    void decodeBlockBC5S(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeBC5<channelPaletteSigned>(dest, block, stride);
    }

} // namespace norva
