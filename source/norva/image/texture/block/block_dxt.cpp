// BC1, BC2 and BC3 (DXT1, DXT3, DXT5) block decoders, RGBA 8888 out. The DXT1 rows use the
// three-colour mode (half-way colour and transparent black) when color0 <= color1; the
// colour half of DXT3 and DXT5 blocks is always four-colour, as every GPU decodes it.

#include <norva/core/endian.hpp>

#include "block_palette.hpp"
#include "block_codecs.hpp"

namespace norva
{
    namespace
    {
        // Packed R, G, B, A bytes of a texel (little-endian: red in the lowest byte).
        inline u32 pack(u32 r, u32 g, u32 b, u32 a)
        {
            return littleEndian(r | (g << 8) | (b << 16) | (a << 24));
        }

        void computeBC1Palette(u32 palette[4], const u8* block, u32 alpha, bool threeColorMode)
        {
            const u32 c0 = loadLE16(block + 0);
            const u32 c1 = loadLE16(block + 2);

            const u32 r0 = ((c0 >> 8) & 0xF8) | (c0 >> 13);
            const u32 g0 = ((c0 >> 3) & 0xFC) | ((c0 >> 9) & 3);
            const u32 b0 = ((c0 << 3) & 0xF8) | ((c0 >> 2) & 7);
            const u32 r1 = ((c1 >> 8) & 0xF8) | (c1 >> 13);
            const u32 g1 = ((c1 >> 3) & 0xFC) | ((c1 >> 9) & 3);
            const u32 b1 = ((c1 << 3) & 0xF8) | ((c1 >> 2) & 7);

            palette[0] = pack(r0, g0, b0, alpha);
            palette[1] = pack(r1, g1, b1, alpha);
            if (c0 > c1 || !threeColorMode)
            {
                palette[2] = pack((2 * r0 + r1) / 3, (2 * g0 + g1) / 3, (2 * b0 + b1) / 3, alpha);
                palette[3] = pack((r0 + 2 * r1) / 3, (g0 + 2 * g1) / 3, (b0 + 2 * b1) / 3, alpha);
            }
            else
            {
                palette[2] = pack((r0 + r1) / 2, (g0 + g1) / 2, (b0 + b1) / 2, alpha);
                palette[3] = 0;
            }
        }

        void decodeBC1ColorBlock(u8* dest, s32 stride, const u8* block, u32 alpha, bool threeColorMode)
        {
            u32 palette[4];
            computeBC1Palette(palette, block, alpha, threeColorMode);
            writeColorIndices(dest, stride, palette, loadLE32(block + 4));
        }

    } // namespace

    void decodeBlockDXT1(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeBC1ColorBlock(dest, stride, block, 255, true);
    }

    void decodeBlockDXT3(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeBC1ColorBlock(dest, stride, block + 8, 0, false);
        decodeExplicitAlphaBlock(dest + 3, stride, block);
    }

    void decodeBlockDXT5(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeBC1ColorBlock(dest, stride, block + 8, 0, false);
        decodeAlphaBlock(dest + 3, 4, stride, block);
    }

} // namespace norva
