// YUV 4:2:2 words (UYVY and YUY2): two texels sharing U and V, BT.601 studio range to
// full-range RGBA 8888 in integer arithmetic.

#include <algorithm>
#include <cstring>

#include "block_codecs.hpp"

namespace norva
{
    namespace
    {
        inline u8 clampByte(s32 v)
        {
            return u8(std::clamp(v, 0, 255));
        }

        void storeYUV(u8* dest, s32 y, s32 u, s32 v)
        {
            const s32 l = 298 * y - 4640; // 298 (Y - 16) + 128
            dest[0] = clampByte((l + 409 * (v - 128)) >> 8);
            dest[1] = clampByte((l - 100 * u - 208 * v + 39424) >> 8);
            dest[2] = clampByte((l + 516 * (u - 128)) >> 8);
            dest[3] = 255;
        }

    } // namespace

    void decodeBlockUYVY(const TextureCompressionInfo&, u8* dest, const u8* block, s32)
    {
        storeYUV(dest + 0, block[1], block[0], block[2]);
        storeYUV(dest + 4, block[3], block[0], block[2]);
    }

    void decodeBlockYUY2(const TextureCompressionInfo&, u8* dest, const u8* block, s32)
    {
        storeYUV(dest + 0, block[0], block[1], block[3]);
        storeYUV(dest + 4, block[2], block[1], block[3]);
    }

} // namespace norva
