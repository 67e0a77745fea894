#pragma once

// Block-compressed and packed GPU texture encodings: one table of every encoding the
// library knows (its code, its DXGI, OpenGL and Vulkan numbers, block size, the pixel
// format its codec works in, and the codec), and the drivers that decode a whole image of
// blocks into a Surface or encode a Surface into blocks. The texture containers (DDS, KTX,
// PVR, PKM, ASTC) translate their format fields into a row of this table.

#include <span>

#include <norva/core/configure.hpp>
#include <norva/core/memory.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/format.hpp>
#include <norva/image/surface.hpp>

namespace norva
{
    class ThreadPool;

    // A 32-bit identifier: bits 0-7 the family, 8-15 the row within the family, 16-23 a
    // group, and the flags below. Containers and callers compare codes whole.
    enum class TextureCompression : u32
    {
        NONE = 0,

        // flags
        FLAG_YUV = 0x02000000,
        FLAG_FLOAT = 0x04000000,
        FLAG_SURFACE = 0x08000000,   // decoded once for the whole image (PVRTC)
        FLAG_BOTTOM_UP = 0x10000000, // kept in the ASTC codes; the drivers decode top-down
        FLAG_SIGNED = 0x20000000,
        FLAG_ALPHA = 0x40000000,
        FLAG_SRGB = 0x80000000,

        ATC_RGB = 0x00000001,
        ATC_RGBA_EXPLICIT_ALPHA = 0x40000101,
        ATC_RGBA_INTERPOLATED_ALPHA = 0x40000201,
        AMD_3DC_X = 0x00000002,
        AMD_3DC_XY = 0x00000102,
        LATC1_LUMINANCE = 0x00000003,
        LATC1_SIGNED_LUMINANCE = 0x20000103,
        LATC2_LUMINANCE_ALPHA = 0x40000203,
        LATC2_SIGNED_LUMINANCE_ALPHA = 0x60000303,
        DXT1 = 0x00020004,
        DXT1_SRGB = 0x80020404,
        DXT1_ALPHA = 0x40020104,
        DXT1_ALPHA_SRGB = 0xC0020504,
        DXT3 = 0x40020204,
        DXT3_SRGB = 0xC0020604,
        DXT5 = 0x40020304,
        DXT5_SRGB = 0xC0020704,
        RGTC1_RED = 0x00020005,
        RGTC1_SIGNED_RED = 0x20020105,
        RGTC2_RG = 0x00020205,
        RGTC2_SIGNED_RG = 0x20020305,
        BPTC_RGB_UNSIGNED_FLOAT = 0x04020006,
        BPTC_RGB_SIGNED_FLOAT = 0x24020106,
        BPTC_RGBA_UNORM = 0x40020206,
        BPTC_SRGB_ALPHA_UNORM = 0xC0020306,
        PVRTC_RGB_4BPP = 0x08010009,
        PVRTC_RGB_2BPP = 0x08010109,
        PVRTC_RGBA_4BPP = 0x48010209,
        PVRTC_RGBA_2BPP = 0x48010309,
        PVRTC2_RGBA_2BPP = 0x4801040A,
        PVRTC2_RGBA_4BPP = 0x4801050A,
        PVRTC_SRGB_2BPP = 0x8801060B,
        PVRTC_SRGB_4BPP = 0x8801070B,
        PVRTC_SRGB_ALPHA_2BPP = 0xC801080B,
        PVRTC_SRGB_ALPHA_4BPP = 0xC801090B,
        ETC1_RGB = 0x00000007,
        EAC_R11 = 0x00000008,
        EAC_SIGNED_R11 = 0x20000108,
        EAC_RG11 = 0x00000208,
        EAC_SIGNED_RG11 = 0x20000308,
        ETC2_RGB = 0x00000408,
        ETC2_SRGB = 0x80000508,
        ETC2_RGB_ALPHA1 = 0x40000608,
        ETC2_SRGB_ALPHA1 = 0xC0000708,
        ETC2_RGBA = 0x40000808,
        ETC2_SRGB_ALPHA8 = 0xC0000908,
        ASTC_RGBA_4x4 = 0x5000000C,
        ASTC_RGBA_5x4 = 0x5000010C,
        ASTC_RGBA_5x5 = 0x5000020C,
        ASTC_RGBA_6x5 = 0x5000030C,
        ASTC_RGBA_6x6 = 0x5000040C,
        ASTC_RGBA_8x5 = 0x5000050C,
        ASTC_RGBA_8x6 = 0x5000060C,
        ASTC_RGBA_8x8 = 0x5000070C,
        ASTC_RGBA_10x5 = 0x5000080C,
        ASTC_RGBA_10x6 = 0x5000090C,
        ASTC_RGBA_10x8 = 0x50000A0C,
        ASTC_RGBA_10x10 = 0x50000B0C,
        ASTC_RGBA_12x10 = 0x50000C0C,
        ASTC_RGBA_12x12 = 0x50000D0C,
        ASTC_SRGB_ALPHA_4x4 = 0xD0000E0C,
        ASTC_SRGB_ALPHA_5x4 = 0xD0000F0C,
        ASTC_SRGB_ALPHA_5x5 = 0xD000100C,
        ASTC_SRGB_ALPHA_6x5 = 0xD000110C,
        ASTC_SRGB_ALPHA_6x6 = 0xD000120C,
        ASTC_SRGB_ALPHA_8x5 = 0xD000130C,
        ASTC_SRGB_ALPHA_8x6 = 0xD000140C,
        ASTC_SRGB_ALPHA_8x8 = 0xD000150C,
        ASTC_SRGB_ALPHA_10x5 = 0xD000160C,
        ASTC_SRGB_ALPHA_10x6 = 0xD000170C,
        ASTC_SRGB_ALPHA_10x8 = 0xD000180C,
        ASTC_SRGB_ALPHA_10x10 = 0xD000190C,
        ASTC_SRGB_ALPHA_12x10 = 0xD0001A0C,
        ASTC_SRGB_ALPHA_12x12 = 0xD0001B0C,
        ASTC_RGBA_3x3x3 = 0x5000000D,
        ASTC_RGBA_4x3x3 = 0x5000010D,
        ASTC_RGBA_4x4x3 = 0x5000020D,
        ASTC_RGBA_4x4x4 = 0x5000030D,
        ASTC_RGBA_5x4x4 = 0x5000040D,
        ASTC_RGBA_5x5x4 = 0x5000050D,
        ASTC_RGBA_5x5x5 = 0x5000060D,
        ASTC_RGBA_6x5x5 = 0x5000070D,
        ASTC_RGBA_6x6x5 = 0x5000080D,
        ASTC_RGBA_6x6x6 = 0x5000090D,
        ASTC_SRGB_ALPHA_3x3x3 = 0xD0000A0D,
        ASTC_SRGB_ALPHA_4x3x3 = 0xD0000B0D,
        ASTC_SRGB_ALPHA_4x4x3 = 0xD0000C0D,
        ASTC_SRGB_ALPHA_4x4x4 = 0xD0000D0D,
        ASTC_SRGB_ALPHA_5x4x4 = 0xD0000E0D,
        ASTC_SRGB_ALPHA_5x5x4 = 0xD0000F0D,
        ASTC_SRGB_ALPHA_5x5x5 = 0xD000100D,
        ASTC_SRGB_ALPHA_6x5x5 = 0xD000110D,
        ASTC_SRGB_ALPHA_6x6x5 = 0xD000120D,
        ASTC_SRGB_ALPHA_6x6x6 = 0xD000130D,
        RGB9_E5 = 0x0400000E,
        R11F_G11F_B10F = 0x0400010E,
        R10F_G11F_B11F = 0x0400020E,
        G8R8_G8B8 = 0x0000050E,
        R8G8_B8G8 = 0x0000060E,
        UYVY = 0x0200030E,
        YUY2 = 0x0200040E,
    };

    constexpr u32 operator&(TextureCompression code, TextureCompression flag)
    {
        return u32(code) & u32(flag);
    }

    struct TextureCompressionInfo;

    // Decodes one block: info.width x info.height pixels in info.format, the top-left one
    // at dest and pixel row r at dest + r * stride (the stride may be negative). Writes the
    // whole block and reads exactly info.bytes bytes; whole-surface rows (FLAG_SURFACE) get
    // an info whose block is the whole image.
    using BlockDecodeFunc = void (*)(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride);

    // Encodes info.width x info.height source pixels in info.format into info.bytes bytes.
    using BlockEncodeFunc = void (*)(const TextureCompressionInfo& info, u8* block, const u8* source, s32 stride);

    struct TextureCompressionInfo
    {
        TextureCompression compression = TextureCompression::NONE;
        u32 dxgi = 0;     // DXGI_FORMAT, 0 when none
        u32 gl = 0;       // OpenGL internal format, 0 when none
        u32 vulkan = 0;   // VkFormat, 0 when none
        s32 width = 1;    // block size in pixels
        s32 height = 1;
        s32 bytes = 0;    // bytes per block
        Format format;    // what the decoder writes and the encoder reads
        BlockDecodeFunc decode = nullptr;
        BlockEncodeFunc encode = nullptr;

        // Uncompressed: a 1 x 1 block of 0 bytes, no codec.
        constexpr TextureCompressionInfo() = default;

        constexpr TextureCompressionInfo(TextureCompression compression, u32 dxgi, u32 gl, u32 vulkan,
                                         s32 width, s32 height, s32 bytes, const Format& format,
                                         BlockDecodeFunc decode, BlockEncodeFunc encode)
            : compression(compression), dxgi(dxgi), gl(gl), vulkan(vulkan)
            , width(width), height(height), bytes(bytes), format(format)
            , decode(decode), encode(encode)
        {
        }

        // The row of the code; row 0 (code NONE, a 0 x 0 block, no codec) when none holds it.
        explicit TextureCompressionInfo(TextureCompression code);

        // The first row with that number, in table order; row 0 when none (and for 0).
        static TextureCompressionInfo fromGL(u32 glInternalFormat);
        static TextureCompressionInfo fromDXGI(u32 dxgiFormat);
        static TextureCompressionInfo fromVulkan(u32 vkFormat);

        u32 code() const { return u32(compression); }

        // Blocks across and down for an image of width x height pixels (ceiling division;
        // whole-surface rows count at least 2 x 2 blocks, the smallest PVRTC surface).
        u64 getBlockCountX(s32 width) const;
        u64 getBlockCountY(s32 height) const;

        // Bytes of block data of one width x height image, computed in 64 bits; 0 for a
        // row without a block size.
        u64 getBlockDataSize(s32 width, s32 height) const;

        // Decodes the block data of one image (one level, face and slice) into dest:
        // straight into it when its size is whole blocks and its format is the row's,
        // else a block at a time through a temporary and a Blitter. One task per block
        // row on the thread pool. Fails, writing nothing, when the row has no decoder,
        // the memory is shorter than the image's blocks, or dest's format has no
        // conversion from the row's.
        ImageDecodeStatus decompress(const Surface& dest, ConstMemory memory) const;
        ImageDecodeStatus decompress(const Surface& dest, ConstMemory memory, ThreadPool& pool) const;

        // Encodes source into output (getBlockDataSize bytes), one task per block row.
        // Edge blocks repeat the image's last column and row. Fails, writing nothing, when
        // the row has no encoder, output is too small or source's format has no conversion
        // into the row's.
        ImageDecodeStatus compress(Memory output, const Surface& source) const;
        ImageDecodeStatus compress(Memory output, const Surface& source, ThreadPool& pool) const;
    };

    // The whole table in search order; row 0 is the empty row.
    std::span<const TextureCompressionInfo> getTextureCompressionTable();

} // namespace norva
