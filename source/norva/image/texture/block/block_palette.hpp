#pragma once

// Pieces shared by the BC1-BC3, ATC and 3DC decoders: the 2-bit colour index walk, and the
// alpha halves (four explicit bits per texel, or two endpoints with 3-bit indices into an
// interpolated palette).

#include <cstring>

#include <norva/core/endian.hpp>
#include <norva/image/texture.hpp>

namespace norva
{
    // Texel i takes the 4-byte palette entry of its 2-bit index (bits 2i, 2i + 1).
    inline void writeColorIndices(u8* dest, s32 stride, const u32 palette[4], u32 indices)
    {
        for (int y = 0; y < 4; ++y)
        {
            u32 row[4];
            for (int x = 0; x < 4; ++x)
            {
                row[x] = palette[indices & 3];
                indices >>= 2;
            }
            std::memcpy(dest + ptrdiff_t(y) * stride, row, 16);
        }
    }

    // Entries 0 and 1 are the endpoints; alpha0 > alpha1 gives six interpolated values,
    // otherwise four and the fixed 0 and 255. Divisions truncate.
    inline void computeAlphaPalette(u8 palette[8], const u8* block)
    {
        const u32 a0 = block[0];
        const u32 a1 = block[1];
        palette[0] = u8(a0);
        palette[1] = u8(a1);
        if (a0 > a1)
        {
            for (u32 k = 2; k < 8; ++k)
                palette[k] = u8(((8 - k) * a0 + (k - 1) * a1) / 7);
        }
        else
        {
            for (u32 k = 2; k < 6; ++k)
                palette[k] = u8(((6 - k) * a0 + (k - 1) * a1) / 5);
            palette[6] = 0;
            palette[7] = 255;
        }
    }

    // One byte per texel at dest + y * stride + x * step.
    inline void decodeAlphaBlock(u8* dest, int step, s32 stride, const u8* block)
    {
        u8 palette[8];
        computeAlphaPalette(palette, block);
        u64 indices = loadLE16(block + 2) | (u64(loadLE32(block + 4)) << 16);
        for (int y = 0; y < 4; ++y)
        {
            u8* row = dest + ptrdiff_t(y) * stride;
            for (int x = 0; x < 4; ++x)
            {
                row[x * step] = palette[indices & 7];
                indices >>= 3;
            }
        }
    }

    // dest is the alpha byte of the first 4-byte texel; 4-bit values widened to 8 bits.
    inline void decodeExplicitAlphaBlock(u8* dest, s32 stride, const u8* block)
    {
        u64 bits = loadLE64(block);
        for (int y = 0; y < 4; ++y)
        {
            u8* row = dest + ptrdiff_t(y) * stride;
            for (int x = 0; x < 4; ++x)
            {
                const u32 v = u32(bits & 15);
                row[x * 4] = u8((v << 4) | v);
                bits >>= 4;
            }
        }
    }

} // namespace norva
