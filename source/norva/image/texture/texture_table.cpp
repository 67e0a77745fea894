// The table of block-compressed and packed texture encodings. One constant array in
// search order: every lookup (by code, GL, DXGI or Vulkan number) scans it from row 0 and
// takes the first match, so where two rows share a number (3DC and RGTC share DXGI 80
// and 83) the earlier row wins. A row binds its codec by pointer; rows without one decode
// to "No decoder for 0x%x." through the drivers.

#include <norva/image/texture.hpp>

#include "block/block_codecs.hpp"
#include "texture_private.hpp"

namespace norva
{
    namespace
    {
        using TC = TextureCompression;

        constexpr Format NONE;
        constexpr Format RGBA8 = Format::RGBA8888;
        constexpr Format BGRA8 = Format::BGRA8888;
        constexpr Format RGBA32F = Format::RGBA32F;
        constexpr Format R8 { 8, Format::UNORM, Format::RGBA, 8, 0, 0, 0 };
        constexpr Format RG8 { 16, Format::UNORM, Format::RGBA, 8, 8, 0, 0 };
        constexpr Format R16 { 16, Format::UNORM, Format::RGBA, 16, 0, 0, 0 };
        constexpr Format R16S { 16, Format::SNORM, Format::RGBA, 16, 0, 0, 0 };
        constexpr Format RG16 { 32, Format::UNORM, Format::RGBA, 16, 16, 0, 0 };
        constexpr Format RG16S { 32, Format::SNORM, Format::RGBA, 16, 16, 0, 0 };
        constexpr Format R32F { 32, Format::FLOAT32, Format::RGBA, 32, 0, 0, 0 };
        constexpr Format RG32F { 64, Format::FLOAT32, Format::RGBA, 32, 32, 0, 0 };

        constexpr TextureCompressionInfo table[] =
        {
        {TC::NONE, 0, 0, 0, 0, 0, 0, NONE, nullptr, nullptr},
        {TC::ATC_RGB, 0, 0x8C92, 0, 4, 4, 8, BGRA8, decodeBlockATC, nullptr},
        {TC::ATC_RGBA_EXPLICIT_ALPHA, 0, 0x8C93, 0, 4, 4, 16, BGRA8, decodeBlockATCE, nullptr},
        {TC::ATC_RGBA_INTERPOLATED_ALPHA, 0, 0x87EE, 0, 4, 4, 16, BGRA8, decodeBlockATCI, nullptr},
        {TC::AMD_3DC_X, 80, 0x87F9, 139, 4, 4, 8, R8, decodeBlock3DCX, nullptr},
        {TC::AMD_3DC_XY, 83, 0x87FA, 141, 4, 4, 16, RG8, decodeBlock3DCXY, nullptr},
        {TC::LATC1_LUMINANCE, 0, 0x8C70, 0, 4, 4, 8, NONE, nullptr, nullptr},
        {TC::LATC1_SIGNED_LUMINANCE, 0, 0x8C71, 0, 4, 4, 8, NONE, nullptr, nullptr},
        {TC::LATC2_LUMINANCE_ALPHA, 0, 0x8C72, 0, 4, 4, 16, NONE, nullptr, nullptr},
        {TC::LATC2_SIGNED_LUMINANCE_ALPHA, 0, 0x8C73, 0, 4, 4, 16, NONE, nullptr, nullptr},
        {TC::DXT1, 71, 0x83F0, 131, 4, 4, 8, RGBA8, decodeBlockDXT1, encodeBlockDXT1},
        {TC::DXT1_SRGB, 72, 0x8C4C, 132, 4, 4, 8, RGBA8, decodeBlockDXT1, encodeBlockDXT1},
        {TC::DXT1_ALPHA, 0, 0x83F1, 133, 4, 4, 8, RGBA8, decodeBlockDXT1, encodeBlockDXT1A},
        {TC::DXT1_ALPHA_SRGB, 0, 0x8C4D, 134, 4, 4, 8, RGBA8, decodeBlockDXT1, encodeBlockDXT1A},
        {TC::DXT3, 74, 0x83F2, 135, 4, 4, 16, RGBA8, decodeBlockDXT3, encodeBlockDXT3},
        {TC::DXT3_SRGB, 75, 0x8C4E, 136, 4, 4, 16, RGBA8, decodeBlockDXT3, encodeBlockDXT3},
        {TC::DXT5, 77, 0x83F3, 137, 4, 4, 16, RGBA8, decodeBlockDXT5, encodeBlockDXT5},
        {TC::DXT5_SRGB, 78, 0x8C4F, 138, 4, 4, 16, RGBA8, decodeBlockDXT5, encodeBlockDXT5},
        {TC::RGTC1_RED, 80, 0x8DBB, 139, 4, 4, 8, RGBA32F, decodeBlockBC4U, encodeBlockBC4U},
        {TC::RGTC1_SIGNED_RED, 81, 0x8DBC, 140, 4, 4, 8, RGBA32F, decodeBlockBC4S, encodeBlockBC4S},
        {TC::RGTC2_RG, 83, 0x8DBD, 141, 4, 4, 16, RGBA32F, decodeBlockBC5U, encodeBlockBC5U},
        {TC::RGTC2_SIGNED_RG, 84, 0x8DBE, 142, 4, 4, 16, RGBA32F, decodeBlockBC5S, encodeBlockBC5S},
        {TC::BPTC_RGB_UNSIGNED_FLOAT, 95, 0x8E8F, 143, 4, 4, 16, RGBA32F, decodeBlockBC6HU, encodeBlockBC6HU},
        {TC::BPTC_RGB_SIGNED_FLOAT, 96, 0x8E8E, 144, 4, 4, 16, RGBA32F, decodeBlockBC6HS, encodeBlockBC6HS},
        {TC::BPTC_RGBA_UNORM, 98, 0x8E8C, 145, 4, 4, 16, RGBA32F, decodeBlockBC7, encodeBlockBC7},
        {TC::BPTC_SRGB_ALPHA_UNORM, 99, 0x8E8D, 146, 4, 4, 16, RGBA32F, decodeBlockBC7, encodeBlockBC7},
        {TC::PVRTC_RGB_4BPP, 0, 0x8C00, 0, 4, 4, 8, RGBA8, decodeSurfacePVRTC, nullptr},
        {TC::PVRTC_RGB_2BPP, 0, 0x8C01, 0, 8, 4, 8, RGBA8, decodeSurfacePVRTC, nullptr},
        {TC::PVRTC_RGBA_4BPP, 0, 0x8C02, 1000054001, 4, 4, 8, RGBA8, decodeSurfacePVRTC, nullptr},
        {TC::PVRTC_RGBA_2BPP, 0, 0x8C03, 1000054000, 8, 4, 8, RGBA8, decodeSurfacePVRTC, nullptr},
        {TC::PVRTC2_RGBA_2BPP, 0, 0x9137, 1000054002, 8, 4, 8, NONE, nullptr, nullptr},
        {TC::PVRTC2_RGBA_4BPP, 0, 0x9138, 1000054003, 4, 4, 8, NONE, nullptr, nullptr},
        {TC::PVRTC_SRGB_2BPP, 0, 0x8A54, 0, 8, 8, 16, RGBA8, decodeSurfacePVRTC, nullptr},
        {TC::PVRTC_SRGB_4BPP, 0, 0x8A55, 0, 8, 8, 32, RGBA8, decodeSurfacePVRTC, nullptr},
        {TC::PVRTC_SRGB_ALPHA_2BPP, 0, 0x8A56, 1000054004, 8, 8, 16, RGBA8, decodeSurfacePVRTC, nullptr},
        {TC::PVRTC_SRGB_ALPHA_4BPP, 0, 0x8A57, 1000054005, 8, 8, 32, RGBA8, decodeSurfacePVRTC, nullptr},
        {TC::ETC1_RGB, 0, 0x8D64, 0, 4, 4, 8, RGBA8, decodeBlockETC1, encodeBlockETC1},
        {TC::EAC_R11, 0, 0x9270, 153, 4, 4, 8, R16, decodeBlockEACR11, nullptr},
        {TC::EAC_SIGNED_R11, 0, 0x9271, 154, 4, 4, 8, R16S, decodeBlockEACR11, nullptr},
        {TC::EAC_RG11, 0, 0x9272, 155, 4, 4, 16, RG16, decodeBlockEACRG11, nullptr},
        {TC::EAC_SIGNED_RG11, 0, 0x9273, 156, 4, 4, 16, RG16S, decodeBlockEACRG11, nullptr},
        {TC::ETC2_RGB, 0, 0x9274, 147, 4, 4, 8, RGBA8, decodeBlockETC2, nullptr},
        {TC::ETC2_SRGB, 0, 0x9275, 148, 4, 4, 8, RGBA8, decodeBlockETC2, nullptr},
        {TC::ETC2_RGB_ALPHA1, 0, 0x9276, 149, 4, 4, 8, RGBA8, decodeBlockETC2, nullptr},
        {TC::ETC2_SRGB_ALPHA1, 0, 0x9277, 150, 4, 4, 8, RGBA8, decodeBlockETC2, nullptr},
        {TC::ETC2_RGBA, 0, 0x9278, 151, 4, 4, 16, RGBA8, decodeBlockETC2EAC, nullptr},
        {TC::ETC2_SRGB_ALPHA8, 0, 0x9279, 152, 4, 4, 16, RGBA8, decodeBlockETC2EAC, nullptr},
        {TC::ASTC_RGBA_4x4, 134, 0x93B0, 157, 4, 4, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_5x4, 138, 0x93B1, 159, 5, 4, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_5x5, 142, 0x93B2, 161, 5, 5, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_6x5, 146, 0x93B3, 163, 6, 5, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_6x6, 150, 0x93B4, 165, 6, 6, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_8x5, 154, 0x93B5, 167, 8, 5, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_8x6, 158, 0x93B6, 169, 8, 6, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_8x8, 162, 0x93B7, 171, 8, 8, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_10x5, 166, 0x93B8, 173, 10, 5, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_10x6, 170, 0x93B9, 175, 10, 6, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_10x8, 174, 0x93BA, 177, 10, 8, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_10x10, 178, 0x93BB, 179, 10, 10, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_12x10, 182, 0x93BC, 181, 12, 10, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_12x12, 186, 0x93BD, 183, 12, 12, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_4x4, 135, 0x93D0, 158, 4, 4, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_5x4, 139, 0x93D1, 160, 5, 4, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_5x5, 143, 0x93D2, 162, 5, 5, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_6x5, 147, 0x93D3, 164, 6, 5, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_6x6, 151, 0x93D4, 166, 6, 6, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_8x5, 155, 0x93D5, 168, 8, 5, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_8x6, 159, 0x93D6, 170, 8, 6, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_8x8, 163, 0x93D7, 172, 8, 8, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_10x5, 167, 0x93D8, 174, 10, 5, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_10x6, 171, 0x93D9, 176, 10, 6, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_10x8, 175, 0x93DA, 178, 10, 8, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_10x10, 179, 0x93DB, 180, 10, 10, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_12x10, 183, 0x93DC, 182, 12, 10, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_SRGB_ALPHA_12x12, 187, 0x93DD, 184, 12, 12, 16, RGBA8, decodeBlockASTC, nullptr},
        {TC::ASTC_RGBA_3x3x3, 0, 0x93C0, 0, 3, 3, 16, NONE, nullptr, nullptr},
        {TC::ASTC_RGBA_4x3x3, 0, 0x93C1, 0, 4, 3, 16, NONE, nullptr, nullptr},
        {TC::ASTC_RGBA_4x4x3, 0, 0x93C2, 0, 4, 4, 16, NONE, nullptr, nullptr},
        {TC::ASTC_RGBA_4x4x4, 0, 0x93C3, 0, 4, 4, 16, NONE, nullptr, nullptr},
        {TC::ASTC_RGBA_5x4x4, 0, 0x93C4, 0, 5, 4, 16, NONE, nullptr, nullptr},
        {TC::ASTC_RGBA_5x5x4, 0, 0x93C5, 0, 5, 5, 16, NONE, nullptr, nullptr},
        {TC::ASTC_RGBA_5x5x5, 0, 0x93C6, 0, 5, 5, 16, NONE, nullptr, nullptr},
        {TC::ASTC_RGBA_6x5x5, 0, 0x93C7, 0, 6, 5, 16, NONE, nullptr, nullptr},
        {TC::ASTC_RGBA_6x6x5, 0, 0x93C8, 0, 6, 6, 16, NONE, nullptr, nullptr},
        {TC::ASTC_RGBA_6x6x6, 0, 0x93C9, 0, 6, 6, 16, NONE, nullptr, nullptr},
        {TC::ASTC_SRGB_ALPHA_3x3x3, 0, 0x93E0, 0, 3, 3, 16, NONE, nullptr, nullptr},
        {TC::ASTC_SRGB_ALPHA_4x3x3, 0, 0x93E1, 0, 4, 3, 16, NONE, nullptr, nullptr},
        {TC::ASTC_SRGB_ALPHA_4x4x3, 0, 0x93E2, 0, 4, 4, 16, NONE, nullptr, nullptr},
        {TC::ASTC_SRGB_ALPHA_4x4x4, 0, 0x93E3, 0, 4, 4, 16, NONE, nullptr, nullptr},
        {TC::ASTC_SRGB_ALPHA_5x4x4, 0, 0x93E4, 0, 5, 4, 16, NONE, nullptr, nullptr},
        {TC::ASTC_SRGB_ALPHA_5x5x4, 0, 0x93E5, 0, 5, 5, 16, NONE, nullptr, nullptr},
        {TC::ASTC_SRGB_ALPHA_5x5x5, 0, 0x93E6, 0, 5, 5, 16, NONE, nullptr, nullptr},
        {TC::ASTC_SRGB_ALPHA_6x5x5, 0, 0x93E7, 0, 6, 5, 16, NONE, nullptr, nullptr},
        {TC::ASTC_SRGB_ALPHA_6x6x5, 0, 0x93E8, 0, 6, 6, 16, NONE, nullptr, nullptr},
        {TC::ASTC_SRGB_ALPHA_6x6x6, 0, 0x93E9, 0, 6, 6, 16, NONE, nullptr, nullptr},
        {TC::RGB9_E5, 67, 0x8C3D, 0, 1, 1, 4, RGBA32F, decodeBlockRGB9E5, nullptr},
        {TC::R11F_G11F_B10F, 0, 0x8C3A, 0, 1, 1, 4, RGBA32F, decodeBlockR11G11B10F, nullptr},
        {TC::R10F_G11F_B11F, 0, 0, 0, 1, 1, 4, RGBA32F, decodeBlockR10G11B11F, nullptr},
        {TC::G8R8_G8B8, 69, 0, 0, 2, 1, 4, RGBA8, decodeBlockGRGB, nullptr},
        {TC::R8G8_B8G8, 68, 0, 0, 2, 1, 4, RGBA8, decodeBlockRGBG, nullptr},
        {TC::UYVY, 0, 0, 0, 2, 1, 4, RGBA8, decodeBlockUYVY, nullptr},
        {TC::YUY2, 0, 0, 0, 2, 1, 4, RGBA8, decodeBlockYUY2, nullptr},
        };

        static_assert(std::size(table) == 102, "row 0 and the 101 encodings");

        template <typename Match>
        TextureCompressionInfo find(Match match)
        {
            for (const TextureCompressionInfo& row : table)
            {
                if (match(row))
                    return row;
            }
            return table[0];
        }

    } // namespace

    TextureCompressionInfo::TextureCompressionInfo(TextureCompression code)
        : TextureCompressionInfo(find([code](const TextureCompressionInfo& row) { return row.compression == code; }))
    {
    }

    TextureCompressionInfo TextureCompressionInfo::fromGL(u32 glInternalFormat)
    {
        return find([glInternalFormat](const TextureCompressionInfo& row) { return row.gl == glInternalFormat; });
    }

    TextureCompressionInfo TextureCompressionInfo::fromDXGI(u32 dxgiFormat)
    {
        return find([dxgiFormat](const TextureCompressionInfo& row) { return row.dxgi == dxgiFormat; });
    }

    TextureCompressionInfo TextureCompressionInfo::fromVulkan(u32 vkFormat)
    {
        return find([vkFormat](const TextureCompressionInfo& row) { return row.vulkan == vkFormat; });
    }

    TextureCompressionInfo getDecodingRow(const TextureCompressionInfo& info, const Format& dest)
    {
        TextureCompressionInfo row = info;
        if (!info.decode)
            return row;
        const u32 code = u32(info.compression);
        const bool astc2D = (code & 0xFF) == 0x0C;
        if (dest.isFloat() && astc2D && !(code & u32(TC::FLAG_SRGB)))
        {
            row.format = RGBA32F;
            row.decode = decodeBlockASTCFloat;
            return row;
        }
        // Signed EAC reaches unsigned destinations through floats as well, as signed BC4 and
        // BC5 do: negatives become 0. Signed destinations keep the native 16-bit texels.
        if (!dest.isFloat() && dest.type != Format::UNORM)
            return row;
        if (info.compression == TC::EAC_SIGNED_R11)
        {
            row.format = R32F;
            row.decode = decodeBlockEACR11Float;
        }
        else if (info.compression == TC::EAC_SIGNED_RG11)
        {
            row.format = RG32F;
            row.decode = decodeBlockEACRG11Float;
        }
        return row;
    }

    std::span<const TextureCompressionInfo> getTextureCompressionTable()
    {
        return table;
    }

} // namespace norva
