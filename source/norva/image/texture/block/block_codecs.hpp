#pragma once

// The block codecs the table of texture encodings binds to its rows (texture_table.cpp).
// A codec file declares its functions here and enters them into its rows; a row whose
// codec has not landed keeps null pointers and decodes to "No decoder for 0x%x.".

#include <norva/image/texture.hpp>

namespace norva
{
    // BC1-BC3, ATC and 3DC: 8-bit integer results
    void decodeBlockDXT1(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockDXT3(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockDXT5(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockATC(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockATCE(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockATCI(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlock3DCX(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlock3DCXY(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);

    // BC4/BC5 (RGTC): four floats per texel
    void decodeBlockBC4U(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockBC4S(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockBC5U(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockBC5S(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);

    // packed floats, two-texel RGB and YUV 4:2:2 words
    void decodeBlockRGB9E5(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockR11G11B10F(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockR10G11B11F(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockGRGB(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockRGBG(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockUYVY(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockYUY2(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);

    // ETC1, ETC2 and EAC: RGBA 8-bit, or 16-bit EAC channels (signed for the signed rows)
    void decodeBlockETC1(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockETC2(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockETC2EAC(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockEACR11(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockEACRG11(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);

    // Signed EAC into one (R11) or two (RG11) floats per texel, -1..1 (float destinations, and
    // unsigned ones, which clamp negatives to 0 as signed BC4 and BC5 do; getDecodingRow)
    void decodeBlockEACR11Float(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockEACRG11Float(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);

    // BC6H and BC7 (BPTC): four floats per texel
    void decodeBlockBC6HU(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockBC6HS(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void decodeBlockBC7(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);
    void encodeBlockBC6HU(const TextureCompressionInfo& info, u8* block, const u8* source, s32 stride);
    void encodeBlockBC6HS(const TextureCompressionInfo& info, u8* block, const u8* source, s32 stride);
    void encodeBlockBC7(const TextureCompressionInfo& info, u8* block, const u8* source, s32 stride);

    // Encoders: one 4 x 4 block of source texels in the row's format (RGBA 8888 for DXT and
    // ETC1, four floats per texel for RGTC) into one block.
    void encodeBlockDXT1(const TextureCompressionInfo& info, u8* output, const u8* source, s32 stride);
    void encodeBlockDXT1A(const TextureCompressionInfo& info, u8* output, const u8* source, s32 stride);
    void encodeBlockDXT3(const TextureCompressionInfo& info, u8* output, const u8* source, s32 stride);
    void encodeBlockDXT5(const TextureCompressionInfo& info, u8* output, const u8* source, s32 stride);
    void encodeBlockBC4U(const TextureCompressionInfo& info, u8* output, const u8* source, s32 stride);
    void encodeBlockBC4S(const TextureCompressionInfo& info, u8* output, const u8* source, s32 stride);
    void encodeBlockBC5U(const TextureCompressionInfo& info, u8* output, const u8* source, s32 stride);
    void encodeBlockBC5S(const TextureCompressionInfo& info, u8* output, const u8* source, s32 stride);
    void encodeBlockETC1(const TextureCompressionInfo& info, u8* output, const u8* source, s32 stride);

    // PVRTC 1, 2 and 4 bpp: the whole image at once (info's block is the image), RGBA 8-bit
    void decodeSurfacePVRTC(const TextureCompressionInfo& info, u8* dest, const u8* data, s32 stride);

    // ASTC 2D, linear and sRGB rows: RGBA 8-bit (block_astc.hpp has the float decoder)
    void decodeBlockASTC(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);

    // ASTC 2D, linear rows: four floats per texel, HDR values above 1.0 kept (float
    // destinations, getDecodingRow)
    void decodeBlockASTCFloat(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);

} // namespace norva
