// ATI/AMD 3DC block decoders: one or two interpolated 8-bit channels (the alpha block of
// DXT5), written as 8-bit X or X, Y texels.

#include "block_palette.hpp"
#include "block_codecs.hpp"

namespace norva
{
    void decodeBlock3DCX(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeAlphaBlock(dest, 1, stride, block);
    }

    void decodeBlock3DCXY(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeAlphaBlock(dest + 0, 2, stride, block + 0);
        decodeAlphaBlock(dest + 1, 2, stride, block + 8);
    }

} // namespace norva
