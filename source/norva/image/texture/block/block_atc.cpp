// ATC (AMD's handheld texture compression) block decoders, BGRA 8888 out: a colour block
// with a 5:5:5 first endpoint whose top bit picks the mode, alone or after an explicit or
// interpolated alpha block. The two inner colours of the interpolating mode sit at 3/8 and
// 5/8 between the endpoints (truncated), as basisu's decoder has them for every texel.

#include <norva/core/endian.hpp>

#include "block_palette.hpp"
#include "block_codecs.hpp"

namespace norva
{
    namespace
    {
        inline u32 expand5(u32 v) { return (v << 3) | (v >> 2); }
        inline u32 expand6(u32 v) { return (v << 2) | (v >> 4); }

        // B, G, R, A bytes.
        inline u32 pack(u32 r, u32 g, u32 b)
        {
            return littleEndian((b & 0xFF) | ((g & 0xFF) << 8) | ((r & 0xFF) << 16) | 0xFF000000u);
        }

        void decodeATCColorBlock(u8* dest, s32 stride, const u8* block)
        {
            const u32 c0 = loadLE16(block + 0);
            const u32 c1 = loadLE16(block + 2);

            const u32 r0 = expand5((c0 >> 10) & 31);
            const u32 g0 = expand5((c0 >> 5) & 31);
            const u32 b0 = expand5(c0 & 31);
            const u32 r1 = expand5((c1 >> 11) & 31);
            const u32 g1 = expand6((c1 >> 5) & 63);
            const u32 b1 = expand5(c1 & 31);

            u32 palette[4];
            if (c0 & 0x8000)
            {
                // wraps modulo 256 like the hardware, no clamp at 0
                palette[0] = pack(0, 0, 0);
                palette[1] = pack(r0 - (r1 >> 2), g0 - (g1 >> 2), b0 - (b1 >> 2));
                palette[2] = pack(r0, g0, b0);
                palette[3] = pack(r1, g1, b1);
            }
            else
            {
                // ATC interpolates at 3/8 and 5/8, not at the thirds of BC1
                palette[0] = pack(r0, g0, b0);
                palette[1] = pack((5 * r0 + 3 * r1) / 8, (5 * g0 + 3 * g1) / 8, (5 * b0 + 3 * b1) / 8);
                palette[2] = pack((3 * r0 + 5 * r1) / 8, (3 * g0 + 5 * g1) / 8, (3 * b0 + 5 * b1) / 8);
                palette[3] = pack(r1, g1, b1);
            }

            writeColorIndices(dest, stride, palette, loadLE32(block + 4));
        }

    } // namespace

    void decodeBlockATC(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeATCColorBlock(dest, stride, block);
    }

    void decodeBlockATCE(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeATCColorBlock(dest, stride, block + 8);
        decodeExplicitAlphaBlock(dest + 3, stride, block);
    }

    void decodeBlockATCI(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeATCColorBlock(dest, stride, block + 8);
        decodeAlphaBlock(dest + 3, 4, stride, block);
    }

} // namespace norva
