// Packed-pixel words: the shared-exponent and small unsigned float formats (one texel a
// word, four floats out) and the two-texel green-red-green-blue and red-green-blue-green
// words (RGBA 8888 out).

#include <bit>
#include <cstring>

#include <norva/core/endian.hpp>

#include "block_codecs.hpp"

namespace norva
{
    namespace
    {
        // An unsigned float of a 5-bit exponent over an n-bit mantissa (10- and 11-bit
        // formats), converted exactly.
        float unpackSmallFloat(u32 bits, int mantissaBits)
        {
            const u32 m = bits & ((1u << mantissaBits) - 1);
            const u32 e = (bits >> mantissaBits) & 31;
            if (e == 0)
                return float(m) * (1.0f / 16384.0f) / float(1u << mantissaBits);
            const u32 mantissa = m << (23 - mantissaBits);
            const u32 exponent = e == 31 ? 255u : e + 112;
            return std::bit_cast<float>((exponent << 23) | mantissa);
        }

        float unpackFloat10(u32 bits) { return unpackSmallFloat(bits, 5); }
        float unpackFloat11(u32 bits) { return unpackSmallFloat(bits, 6); }

        void storeTexel(u8* dest, float r, float g, float b)
        {
            const float texel[4] = { r, g, b, 1.0f };
            std::memcpy(dest, texel, 16);
        }

        void storeTwoTexels(u8* dest, u32 r0, u32 g0, u32 b0, u32 r1, u32 g1, u32 b1)
        {
            const u8 texels[8] = { u8(r0), u8(g0), u8(b0), 255, u8(r1), u8(g1), u8(b1), 255 };
            std::memcpy(dest, texels, 8);
        }

    } // namespace

    void decodeBlockRGB9E5(const TextureCompressionInfo&, u8* dest, const u8* block, s32)
    {
        const u32 word = loadLE32(block);
        const int e = int(word >> 27);
        const float scale = e < 24 ? 1.0f / float(1u << (24 - e)) : float(1u << (e - 24));
        storeTexel(dest, float(word & 0x1FF) * scale, float((word >> 9) & 0x1FF) * scale,
                   float((word >> 18) & 0x1FF) * scale);
    }

    void decodeBlockR11G11B10F(const TextureCompressionInfo&, u8* dest, const u8* block, s32)
    {
        const u32 word = loadLE32(block);
        storeTexel(dest, unpackFloat11(word & 0x7FF), unpackFloat11((word >> 11) & 0x7FF),
                   unpackFloat10(word >> 22));
    }

    void decodeBlockR10G11B11F(const TextureCompressionInfo&, u8* dest, const u8* block, s32)
    {
        const u32 word = loadLE32(block);
        storeTexel(dest, unpackFloat10(word & 0x3FF), unpackFloat11((word >> 10) & 0x7FF),
                   unpackFloat11(word >> 21));
    }

    void decodeBlockGRGB(const TextureCompressionInfo&, u8* dest, const u8* block, s32)
    {
        // G0 R G1 B
        storeTwoTexels(dest, block[1], block[0], block[3], block[1], block[2], block[3]);
    }

    void decodeBlockRGBG(const TextureCompressionInfo&, u8* dest, const u8* block, s32)
    {
        // R G0 B G1
        storeTwoTexels(dest, block[0], block[1], block[2], block[0], block[3], block[2]);
    }

} // namespace norva
