// DDS, KTX, PVR, PKM and .astc containers: fixtures from ImageMagick, nvcompress/nvassemble,
// etc1tool, astcenc and basisu (and the DX10, KTX and PVR wrappers of make_textures.py) open with
// their levels and faces and decode like ImageMagick's and Mesa's decodes; malformed
// headers give their messages; every fixture truncated at every length ends in a status.

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <norva/core/endian.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/blitter.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/texture.hpp>

#include "imagekit/imagekit.hpp"

using namespace norva;
using imagekit::Bytes;
using imagekit::Image;
using TC = TextureCompression;

namespace
{
    std::string extensionOf(const std::string& name)
    {
        return name.substr(name.rfind('.'));
    }

    // Decodes (level, face) of a file into RGBA 8888.
    Image decodeLevel(const Bytes& file, const std::string& extension, int level, int face, ImageDecodeStatus* status)
    {
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), extension);
        const ImageHeader header = decoder.header();
        const int shift = std::clamp(level, 0, 30);
        const int width = std::max(header.width >> shift, 1);
        const int height = std::max(header.height >> shift, 1);
        Bitmap bitmap(width, height, Format::RGBA8888);
        *status = decoder.decode(bitmap, ImageDecodeOptions(), level, 0, face);
        return imagekit::fromSurface(bitmap);
    }

    // The top-left width x height of an image (references of padded levels are smaller).
    Image crop(const Image& image, int width, int height)
    {
        Image result = imagekit::makeImage(width, height, image.depth);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < 4; ++c)
                    result.at(x, y, c) = image.at(x, y, c);
        return result;
    }

    struct FixtureRow
    {
        const char* file;
        int width, height, levels, faces;
        TC code;
        const char* reference;  // null: header only (no decoder for the code yet)
        int tolerance;
        int level = 0;
        int face = 0;
    };

    const FixtureRow fixtureRows[] = {
        // BC1 exact against ImageMagick, which wrote it; Mesa rounds the thirds
        { "dds_dxt1_im.dds", 30, 22, 1, 1, TC::DXT1, "dds_dxt1_im.ref.pam", 0 },
        { "dds_dxt1_im.dds", 30, 22, 1, 1, TC::DXT1, "dds_dxt1_im.mesa.ref.pam", 1 },
        { "dds_dxt5_im.dds", 32, 32, 6, 1, TC::DXT5, "dds_dxt5_im.ref.pam", 0 },
        { "dds_dxt5_im.dds", 32, 32, 6, 1, TC::DXT5, "dds_dxt5_im.mesa.ref.pam", 1 },
        { "dds_bc2_nv.dds", 32, 32, 6, 1, TC::DXT3, "dds_bc2_nv.mesa.ref.pam", 1 },
        { "dds_bc3_nv.dds", 32, 32, 1, 1, TC::DXT5, "dds_bc3_nv.mesa.ref.pam", 1 },
        { "dds_bc4_nv.dds", 30, 22, 1, 1, TC::RGTC1_RED, "dds_bc4_nv.mesa.ref.pam", 1 },
        { "dds_bc5_nv.dds", 30, 22, 1, 1, TC::RGTC2_RG, "dds_bc5_nv.mesa.ref.pam", 1 },
        { "dds_cube_bc1.dds", 16, 16, 5, 6, TC::DXT1, "dds_cube_bc1_f3_l0.mesa.ref.pam", 1, 0, 3 },
        { "dds_cube_bc1.dds", 16, 16, 5, 6, TC::DXT1, "dds_cube_bc1_f5_l2.mesa.ref.pam", 1, 2, 5 },
        { "dds_rgba_im.dds", 32, 32, 6, 1, TC::NONE, "dds_rgba_im.ref.pam", 0 },
        { "dds_dx10_bc1.dds", 30, 22, 1, 1, TC::DXT1, "dds_dxt1_im.ref.pam", 0 },
        { "dds_dx10_rgba.dds", 32, 32, 1, 1, TC::NONE, "dds_rgba_im.ref.pam", 0 },
        // the same BC1 levels in KTX (with key/value data) and legacy PVR, both byte orders
        { "ktx_bc1_mips.ktx", 30, 22, 1, 1, TC::DXT1, "dds_dxt1_im.ref.pam", 0 },
        { "ktx_bc1_mips_be.ktx", 30, 22, 1, 1, TC::DXT1, "dds_dxt1_im.ref.pam", 0 },
        { "ktx_rgb_7x5.ktx", 7, 5, 1, 1, TC::NONE, "ktx_rgb_7x5.ref.pam", 0 },
        { "ktx_rgb_7x5_be.ktx", 7, 5, 1, 1, TC::NONE, "ktx_rgb_7x5.ref.pam", 0 },
        { "ktx_astc_4x4.ktx", 32, 32, 1, 1, TC::ASTC_RGBA_4x4, "ktx_astc_4x4.mesa.ref.pam", 0 },
        // ATC from basisu, exact against basisu's own decode (3/8 and 5/8, not thirds)
        { "ktx_atc_rgb_basisu.ktx", 32, 32, 1, 1, TC::ATC_RGB, "ktx_atc_rgb_basisu.ref.pam", 0 },
        { "ktx_atc_rgba_basisu.ktx", 32, 32, 1, 1, TC::ATC_RGBA_INTERPOLATED_ALPHA, "ktx_atc_rgba_basisu.ref.pam", 0 },
        { "pvr_legacy_dxt1.pvr", 30, 22, 1, 1, TC::DXT1, "dds_dxt1_im.ref.pam", 0 },
        { "pvr_v3_dxt5.pvr", 32, 32, 1, 1, TC::DXT5, "dds_bc3_nv.mesa.ref.pam", 1 },
        { "pvr_v3_dxt5_be.pvr", 32, 32, 1, 1, TC::DXT5, "dds_bc3_nv.mesa.ref.pam", 1 },
        { "pvr_v3_rgba.pvr", 32, 32, 1, 1, TC::NONE, "dds_rgba_im.ref.pam", 0 },
        // legacy type 0x12 holds bytes R, G, B, A: the same picture as the version 3 file
        { "pvr_legacy_rgba.pvr", 32, 32, 1, 1, TC::NONE, "dds_rgba_im.ref.pam", 0 },
        // astcenc's blocks under the version 3 numbers PowerVR's tools write, one size per block width
        { "pvr_v3_astc_4x4.pvr", 24, 20, 1, 1, TC::ASTC_RGBA_4x4, "astc_cl_4x4.mesa.ref.pam", 0 },
        { "pvr_v3_astc_5x5.pvr", 24, 20, 1, 1, TC::ASTC_RGBA_5x5, "astc_cl_5x5.mesa.ref.pam", 0 },
        { "pvr_v3_astc_6x6.pvr", 24, 20, 1, 1, TC::ASTC_RGBA_6x6, "astc_cl_6x6.mesa.ref.pam", 0 },
        { "pvr_v3_astc_8x8.pvr", 24, 20, 1, 1, TC::ASTC_RGBA_8x8, "astc_cl_8x8.mesa.ref.pam", 0 },
        { "pvr_v3_astc_10x6.pvr", 24, 20, 1, 1, TC::ASTC_RGBA_10x6, "astc_cl_10x6.mesa.ref.pam", 0 },
        { "pvr_v3_astc_12x12.pvr", 24, 20, 1, 1, TC::ASTC_RGBA_12x12, "astc_cl_12x12.mesa.ref.pam", 0 },
        // the PKM is its original 30 x 22 (etc1tool's decode), not the encoded 32 x 24
        { "pkm_etc1.pkm", 30, 22, 0, 0, TC::ETC1_RGB, "pkm_etc1.etc1tool.ref.pam", 0 },
        // ASTC exact against Mesa at every 2D block size, top-down, partial edge blocks included
        { "astc_6x6.astc", 30, 22, 0, 0, TC::ASTC_RGBA_6x6, "astc_6x6.mesa.ref.pam", 0 },
        { "astc_cl_4x4.astc", 24, 20, 0, 0, TC::ASTC_RGBA_4x4, "astc_cl_4x4.mesa.ref.pam", 0 },
        { "astc_cl_5x4.astc", 24, 20, 0, 0, TC::ASTC_RGBA_5x4, "astc_cl_5x4.mesa.ref.pam", 0 },
        { "astc_cl_5x5.astc", 24, 20, 0, 0, TC::ASTC_RGBA_5x5, "astc_cl_5x5.mesa.ref.pam", 0 },
        { "astc_cl_6x5.astc", 24, 20, 0, 0, TC::ASTC_RGBA_6x5, "astc_cl_6x5.mesa.ref.pam", 0 },
        { "astc_cl_6x6.astc", 24, 20, 0, 0, TC::ASTC_RGBA_6x6, "astc_cl_6x6.mesa.ref.pam", 0 },
        { "astc_cl_8x5.astc", 24, 20, 0, 0, TC::ASTC_RGBA_8x5, "astc_cl_8x5.mesa.ref.pam", 0 },
        { "astc_cl_8x6.astc", 24, 20, 0, 0, TC::ASTC_RGBA_8x6, "astc_cl_8x6.mesa.ref.pam", 0 },
        { "astc_cl_8x8.astc", 24, 20, 0, 0, TC::ASTC_RGBA_8x8, "astc_cl_8x8.mesa.ref.pam", 0 },
        { "astc_cl_10x5.astc", 24, 20, 0, 0, TC::ASTC_RGBA_10x5, "astc_cl_10x5.mesa.ref.pam", 0 },
        { "astc_cl_10x6.astc", 24, 20, 0, 0, TC::ASTC_RGBA_10x6, "astc_cl_10x6.mesa.ref.pam", 0 },
        { "astc_cl_10x8.astc", 24, 20, 0, 0, TC::ASTC_RGBA_10x8, "astc_cl_10x8.mesa.ref.pam", 0 },
        { "astc_cl_10x10.astc", 24, 20, 0, 0, TC::ASTC_RGBA_10x10, "astc_cl_10x10.mesa.ref.pam", 0 },
        { "astc_cl_12x10.astc", 24, 20, 0, 0, TC::ASTC_RGBA_12x10, "astc_cl_12x10.mesa.ref.pam", 0 },
        { "astc_cl_12x12.astc", 24, 20, 0, 0, TC::ASTC_RGBA_12x12, "astc_cl_12x12.mesa.ref.pam", 0 },
    };
} // namespace

TEST(TextureContainers, FixturesOpenWithTheirLevelsAndFacesAndDecodeLikeTheReferences)
{
    for (const FixtureRow& row : fixtureRows)
    {
        SCOPED_TRACE(std::string(row.file) + " " + (row.reference ? row.reference : "header"));
        const Bytes file = imagekit::readFixture(row.file);
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), extensionOf(row.file));
        ASSERT_TRUE(decoder.isDecoder());
        const ImageHeader header = decoder.header();
        ASSERT_TRUE(header.success) << header.info;
        EXPECT_EQ(header.width, row.width);
        EXPECT_EQ(header.height, row.height);
        EXPECT_EQ(header.levels, row.levels);
        EXPECT_EQ(header.faces, row.faces);
        EXPECT_EQ(header.compression, u32(row.code));

        ImageDecodeStatus status;
        const Image ours = decodeLevel(file, extensionOf(row.file), row.level, row.face, &status);
        if (!row.reference)
        {
            // codecs that have not landed say so instead of delivering nothing
            EXPECT_FALSE(status.success);
            char message[64];
            std::snprintf(message, sizeof(message), "No decoder for 0x%x.", u32(row.code));
            EXPECT_EQ(status.info, message);
            continue;
        }
        ASSERT_TRUE(status.success) << status.info;
        const Image reference = imagekit::readPAM(imagekit::readFixture(row.reference));
        ASSERT_FALSE(reference.empty());
        ASSERT_LE(reference.width, ours.width);
        ASSERT_LE(reference.height, ours.height);
        EXPECT_TRUE(imagekit::sameImage(crop(ours, reference.width, reference.height), reference,
                                        { .tolerance = row.tolerance }));
    }
}

TEST(TextureContainers, EveryLevelAndFaceOfTheCubeHasItsSpan)
{
    // nvcompress lays the 16 x 16 cube out face by face, each with 5 levels: 1,232 bytes
    const Bytes file = imagekit::readFixture("dds_cube_bc1.dds");
    ASSERT_EQ(file.size(), 1232u);
    ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".dds");
    const u64 levelBytes[5] = { 128, 32, 8, 8, 8 };
    u64 offset = 128;
    for (int face = 0; face < 6; ++face)
        for (int level = 0; level < 5; ++level)
        {
            const ConstMemory span = decoder.memory(level, 0, face);
            EXPECT_EQ(span.address, file.data() + offset) << face << " " << level;
            EXPECT_EQ(span.size, levelBytes[level]);
            offset += levelBytes[level];
        }
    EXPECT_EQ(offset, file.size());

    // levels and faces outside the counts are refused, not read
    ImageDecodeStatus status;
    for (const auto& [level, face] : { std::pair(5, 0), std::pair(0, 6), std::pair(-1, 0), std::pair(0, -1) })
    {
        EXPECT_EQ(decoder.memory(level, 0, face).size, 0u);
        decodeLevel(file, ".dds", level, face, &status);
        EXPECT_FALSE(status.success) << level << " " << face;
    }
}

TEST(TextureContainers, BitmapReadsTexturesThroughTheRegistry)
{
    const Bytes file = imagekit::readFixture("dds_dxt5_im.dds");
    Bitmap bitmap(ConstMemory(file.data(), file.size()), ".dds", Format::RGBA8888);
    ASSERT_TRUE(bitmap.status().success) << bitmap.status().info;
    EXPECT_EQ(bitmap.width, 32);
    EXPECT_TRUE(imagekit::sameImage(imagekit::fromSurface(bitmap),
                                    imagekit::readPAM(imagekit::readFixture("dds_dxt5_im.ref.pam"))));

    // every level decodes into a smaller bitmap, each level's own size
    ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".dds");
    for (int level = 0; level < 6; ++level)
    {
        Bitmap mip(std::max(32 >> level, 1), std::max(32 >> level, 1), Format::BGRA8888);
        const ImageDecodeStatus status = decoder.decode(mip, ImageDecodeOptions(), level, 0, 0);
        EXPECT_TRUE(status.success) << level << ": " << status.info;
    }
}

// ------------------------------------------------------------------------------------------
// headers built by hand
// ------------------------------------------------------------------------------------------

namespace
{
    Bytes ddsFile(u32 flags, u32 width, u32 height, u32 mipmaps, u32 pfFlags, u32 fourcc, u32 caps = 0x1000,
                  u32 caps2 = 0, std::vector<u32> dx10 = {}, u32 dataBytes = 4096)
    {
        Bytes file(128 + dx10.size() * 4 + dataBytes, 0);
        storeLE32(&file[0], 0x20534444);
        storeLE32(&file[4], 124);
        storeLE32(&file[8], flags);
        storeLE32(&file[12], height);
        storeLE32(&file[16], width);
        storeLE32(&file[28], mipmaps);
        storeLE32(&file[76], 32);
        storeLE32(&file[80], pfFlags);
        storeLE32(&file[84], fourcc);
        storeLE32(&file[108], caps);
        storeLE32(&file[112], caps2);
        for (size_t i = 0; i < dx10.size(); ++i)
            storeLE32(&file[128 + i * 4], dx10[i]);
        return file;
    }

    constexpr u32 fourcc(const char* s)
    {
        return u32(u8(s[0])) | (u32(u8(s[1])) << 8) | (u32(u8(s[2])) << 16) | (u32(u8(s[3])) << 24);
    }

    Bytes dx10(u32 dxgi, u32 arraySize = 1)
    {
        return ddsFile(0x1007, 8, 8, 0, 4, fourcc("DX10"), 0x1000, 0, { dxgi, 3, 0, arraySize, 0 });
    }

    Bytes ktxFile(u32 faces, u32 arrayElements, u32 glInternal, u32 glFormat = 0, u32 glType = 0, bool big = false)
    {
        Bytes file(64 + 4 + 256, 0);
        const u8 id[12] = { 0xAB, 0x4B, 0x54, 0x58, 0x20, 0x31, 0x31, 0xBB, 0x0D, 0x0A, 0x1A, 0x0A };
        std::memcpy(file.data(), id, 12);
        auto put = [&](size_t offset, u32 v) { big ? storeBE32(&file[offset], v) : storeLE32(&file[offset], v); };
        put(12, 0x04030201);
        const u32 words[12] = { glType, 1, glFormat, glInternal, 0, 4, 4, 0, arrayElements, faces, 1, 0 };
        for (int i = 0; i < 12; ++i)
            put(16 + i * 4, words[i]);
        put(64, 64);
        return file;
    }

    Bytes pvr3File(u64 pixelFormat, u32 channelType, u32 surfaces, u32 faces, u32 colorSpace, bool big = false)
    {
        Bytes file(52 + 4096, 0);
        auto put = [&](size_t offset, u32 v) { big ? storeBE32(&file[offset], v) : storeLE32(&file[offset], v); };
        put(0, 0x03525650);
        big ? storeBE64(&file[8], pixelFormat) : storeLE64(&file[8], pixelFormat);
        put(16, colorSpace);
        put(20, channelType);
        put(24, 8);   // height
        put(28, 8);   // width
        put(32, 1);
        put(36, surfaces);
        put(40, faces);
        put(44, 1);
        put(48, 0);
        return file;
    }

    Bytes pvrLegacy(u32 pixelType, u32 tag, u32 mipmaps = 0)
    {
        Bytes file(52 + 4096, 0);
        const u32 words[13] = { 52, 8, 8, mipmaps, pixelType, 0, 0, 0, 0, 0, 0, tag, 1 };
        for (int i = 0; i < 13; ++i)
            storeLE32(&file[i * 4], words[i]);
        return file;
    }

    Bytes pkmFile(const char* version, u16 format, u16 width = 8, u16 height = 8)
    {
        Bytes file(16 + 64, 0);
        std::memcpy(file.data(), "PKM ", 4);
        std::memcpy(&file[4], version, 2);
        storeBE16(&file[6], format);
        storeBE16(&file[8], width);
        storeBE16(&file[10], height);
        storeBE16(&file[12], width);
        storeBE16(&file[14], height);
        return file;
    }

    Bytes astcFile(u8 bw, u8 bh, u8 bd, u32 width, u32 height, u32 depth, u32 magic = 0x5CA1AB13)
    {
        Bytes file(16 + 16 * 64, 0);
        storeLE32(&file[0], magic);
        file[4] = bw;
        file[5] = bh;
        file[6] = bd;
        for (int i = 0; i < 3; ++i)
        {
            file[7 + i] = u8(width >> (8 * i));
            file[10 + i] = u8(height >> (8 * i));
            file[13 + i] = u8(depth >> (8 * i));
        }
        return file;
    }

    Bytes truncated(Bytes file, size_t size)
    {
        file.resize(size);
        return file;
    }

    struct HeaderCase
    {
        const char* what;
        Bytes file;
        const char* extension;
        const char* message; // null: the header is accepted
    };
} // namespace

TEST(TextureContainers, MalformedHeadersGiveTheirMessages)
{
    Bytes wrongSize = ddsFile(0x1007, 8, 8, 0, 4, fourcc("DXT1"));
    storeLE32(&wrongSize[4], 100);
    Bytes wrongFormatSize = ddsFile(0x1007, 8, 8, 0, 4, fourcc("DXT1"));
    storeLE32(&wrongFormatSize[76], 24);
    Bytes ktxId = ktxFile(1, 0, 0x83F0);
    ktxId[5] = '2';
    Bytes ktxEndian = ktxFile(1, 0, 0x83F0);
    storeLE32(&ktxEndian[12], 0x12345678);

    const HeaderCase cases[] = {
        { "DDS magic", Bytes(200, 0), ".dds", "[ImageDecoder.DDS] Incorrect header." },
        { "DDS short", truncated(ddsFile(0x1007, 8, 8, 0, 4, fourcc("DXT1")), 100), ".dds", "[ImageDecoder.DDS] Incorrect header." },
        { "DDS size", wrongSize, ".dds", "[ImageDecoder.DDS] Incorrect header size." },
        { "DDS format size", wrongFormatSize, ".dds", "[ImageDecoder.DDS] Incorrect format size." },
        { "DDS BC6H", ddsFile(0x1007, 8, 8, 0, 4, fourcc("BC6H")), ".dds", "[ImageDecoder.DDS] Unsupported fourcc." },
        { "DDS PTC4", ddsFile(0x1007, 8, 8, 0, 4, fourcc("PTC4")), ".dds", "[ImageDecoder.DDS] Unsupported fourcc." },
        { "DDS YUV", ddsFile(0x1007, 8, 8, 0, 0x200, 0), ".dds", "[ImageDecoder.DDS] Unsupported mode (YUV)." },
        { "DDS P8", ddsFile(0x1007, 8, 8, 0, 0x20, 0), ".dds", "[ImageDecoder.DDS] Unsupported mode (P8)." },
        { "DDS mode", ddsFile(0x1007, 8, 8, 0, 0x8, 0), ".dds", "[ImageDecoder.DDS] Unknown mode." },
        { "DDS u32 width", ddsFile(0x1007, 0x80000000, 8, 0, 4, fourcc("DXT1")), ".dds", "[ImageDecoder.DDS] Incorrect image size: 2147483648 x 8." },
        { "DDS mip count", ddsFile(0x21007, 8, 8, 0xFFFFFFFF, 4, fourcc("DXT1")), ".dds", "[ImageDecoder.DDS] Incorrect mip map count: 4294967295." },
        { "DX10 DXGI 28", dx10(28), ".dds", nullptr },
        { "DX10 DXGI 29", dx10(29), ".dds", nullptr },
        { "DX10 DXGI 30 UINT", dx10(30), ".dds", "[ImageDecoder.DDS] DXGI format type not supported." },
        { "DX10 DXGI 71", dx10(71), ".dds", nullptr },
        { "DX10 DXGI 175 ASTC", dx10(175), ".dds", nullptr },
        { "DX10 DXGI 188", dx10(188), ".dds", "[ImageDecoder.DDS] DXGI index out of range." },
        { "DX10 array", dx10(71, 6), ".dds", "[ImageDecoder.DDS] Arrays are not supported." },
        { "DX10 DXGI 100", dx10(100), ".dds", "[ImageDecoder.DDS] DXGI format not supported." },
        { "KTX identifier", ktxId, ".ktx", "[ImageDecoder.KTX] Incorrect identifier." },
        { "KTX short", Bytes(40, 0xAB), ".ktx", "[ImageDecoder.KTX] Incorrect identifier." },
        { "KTX endianness", ktxEndian, ".ktx", "[ImageDecoder.KTX] Incorrect endianness." },
        { "KTX faces", ktxFile(2, 0, 0x83F0), ".ktx", "[ImageDecoder.KTX] Incorrect number of faces." },
        { "KTX array", ktxFile(1, 3, 0x83F0), ".ktx", "[ImageDecoder.KTX] Incorrect number of array elements (not supported)." },
        { "PVR version", Bytes(64, 7), ".pvr", "[ImageDecoder.PVR] Incorrect format version: 0x7070707" },
        { "PVR short", Bytes(3, 0), ".pvr", "[ImageDecoder.PVR] Incorrect format version: 0x0" },
        { "PVR tag", pvrLegacy(13, 0x12345678), ".pvr", "[ImageDecoder.PVR] Incorrect format identifier: 0x12345678" },
        { "PVR channel", pvr3File(7, 13, 1, 1, 0), ".pvr", "[ImageDecoder.PVR] Incorrect channeltype: 13" },
        { "PVR pixelformat", pvr3File(53, 0, 1, 1, 0), ".pvr", "[ImageDecoder.PVR] Incorrect pixelformat: 53" },
        { "PVR surfaces", pvr3File(7, 0, 2, 1, 0), ".pvr", "[ImageDecoder.PVR] Surface arrays not supported." },
        { "PVR faces", pvr3File(7, 0, 1, 3, 0), ".pvr", "[ImageDecoder.PVR] Incorrect number of faces: 3" },
        { "PVR colorspace", pvr3File(7, 0, 1, 1, 2, true), ".pvr", "[ImageDecoder.PVR] Incorrect colorspace: 2" },
        { "PKM magic", Bytes(32, 0), ".pkm", "[ImageDecoder.PKM] Incorrect header." },
        { "PKM short", truncated(pkmFile("10", 0), 15), ".pkm", "[ImageDecoder.PKM] Incorrect header." },
        { "PKM version", pkmFile("11", 0), ".pkm", "[ImageDecoder.PKM] Incorrect version (0x3131)." },
        { "PKM format 2", pkmFile("20", 2), ".pkm", "[ImageDecoder.PKM] Unsupported compression." },
        { "PKM format 9", pkmFile("20", 9), ".pkm", "[ImageDecoder.PKM] Incorrect compression." },
        { "ASTC magic", astcFile(4, 4, 1, 8, 8, 1, 0x5CA1AB12), ".astc", "[ImageDecoder.ASTC] Incorrect header." },
        { "ASTC short", Bytes(15, 0x13), ".astc", "[ImageDecoder.ASTC] Incorrect header." },
        { "ASTC 7x7", astcFile(7, 7, 1, 8, 8, 1), ".astc", "[ImageDecoder.ASTC] Incorrect block size." },
        { "ASTC volume", astcFile(4, 4, 1, 8, 8, 2), ".astc", "[ImageDecoder.ASTC] Incorrect block size." },
        { "ASTC 3D blocks", astcFile(4, 4, 4, 8, 8, 1), ".astc", "[ImageDecoder.ASTC] Incorrect block size." },
        { "ASTC 12x12", astcFile(12, 12, 1, 100, 50, 1), ".astc", nullptr },
    };
    for (const HeaderCase& c : cases)
    {
        SCOPED_TRACE(c.what);
        ImageDecoder decoder(ConstMemory(c.file.data(), c.file.size()), c.extension);
        const ImageHeader header = decoder.header();
        if (!c.message)
        {
            EXPECT_TRUE(header.success) << header.info;
            continue;
        }
        EXPECT_FALSE(header.success);
        EXPECT_EQ(header.info, c.message);
        Bitmap bitmap(8, 8, Format::RGBA8888);
        const ImageDecodeStatus status = decoder.decode(bitmap);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, c.message);
    }
}

TEST(TextureContainers, HeaderFieldsOfHandBuiltFiles)
{
    struct Case
    {
        const char* what;
        Bytes file;
        const char* extension;
        TC code;
        int levels, faces;
        Format format;
    };
    const Format rgba = Format::RGBA8888;
    const Case cases[] = {
        { "DXT1", ddsFile(0x1007, 8, 8, 0, 4, fourcc("DXT1")), ".dds", TC::DXT1, 1, 1, rgba },
        { "DXT1 alpha flag", ddsFile(0x1007, 8, 8, 0, 5, fourcc("DXT1")), ".dds", TC::DXT1_ALPHA, 1, 1, rgba },
        // the premultiplied twins keep their 16-byte blocks
        { "DXT2", ddsFile(0x1007, 8, 8, 0, 4, fourcc("DXT2")), ".dds", TC::DXT3, 1, 1, rgba },
        { "DXT4", ddsFile(0x1007, 8, 8, 0, 4, fourcc("DXT4")), ".dds", TC::DXT5, 1, 1, rgba },
        { "ATI2", ddsFile(0x1007, 8, 8, 0, 4, fourcc("ATI2")), ".dds", TC::RGTC2_RG, 1, 1, rgba },
        // the mip map count flag with a count of 0 still has the one level
        { "count 0", ddsFile(0x21007, 8, 8, 0, 4, fourcc("DXT1")), ".dds", TC::DXT1, 1, 1, rgba },
        { "caps mipmap", ddsFile(0x1007, 256, 64, 0, 4, fourcc("DXT1"), 0x401000), ".dds", TC::DXT1, 9, 1, rgba },
        { "cube 0xFE00", ddsFile(0x1007, 8, 8, 0, 4, fourcc("DXT1"), 0x1000, 0xFE00), ".dds", TC::DXT1, 1, 6, rgba },
        { "cube 0x0E00", ddsFile(0x1007, 8, 8, 0, 4, fourcc("DXT1"), 0x1000, 0x0E00), ".dds", TC::DXT1, 1, 2, rgba },
        { "cube bits without 0x200", ddsFile(0x1007, 8, 8, 0, 4, fourcc("DXT1"), 0x1000, 0xFC00), ".dds", TC::DXT1, 1, 1, rgba },
        { "D3D format 21", ddsFile(0x1007, 8, 8, 0, 4, 21), ".dds", TC::NONE, 1, 1, Format::BGRA8888 },
        { "DX10 BC7", dx10(98), ".dds", TC::BPTC_RGBA_UNORM, 1, 1, rgba },
        { "DX10 sRGB", dx10(29), ".dds", TC::NONE, 1, 1, rgba },
        { "KTX ETC2", ktxFile(1, 0, 0x9274), ".ktx", TC::ETC2_RGB, 1, 1, rgba },
        { "KTX ETC1", ktxFile(6, 0, 0x8D64), ".ktx", TC::ETC1_RGB, 1, 6, rgba },
        { "KTX RG half", ktxFile(1, 0, 0, 0x8227, 0x140B), ".ktx", TC::NONE, 1, 1, Format(32, Format::FLOAT16, Format::RGBA, 16, 16, 0, 0) },
        { "KTX BGR", ktxFile(1, 0, 0, 0x80E0, 0x1401, true), ".ktx", TC::NONE, 1, 1, Format::BGR888 },
        { "KTX ALPHA", ktxFile(1, 0, 0, 0x1906, 0x1401), ".ktx", TC::NONE, 1, 1, Format() },
        { "PVR legacy 13", pvrLegacy(13, 0x21525650, 3), ".pvr", TC::PVRTC_RGBA_4BPP, 4, 1, rgba },
        // premultiplied DXT2 and DXT4 have the 16-byte blocks of DXT3 and DXT5
        { "PVR legacy DXT2", pvrLegacy(33, 0x21525650), ".pvr", TC::DXT3, 1, 1, rgba },
        { "PVR legacy DXT4", pvrLegacy(35, 0x21525650), ".pvr", TC::DXT5, 1, 1, rgba },
        { "PVR v3 DXT2", pvr3File(8, 0, 1, 1, 0), ".pvr", TC::DXT3, 1, 1, rgba },
        { "PVR v3 DXT4", pvr3File(10, 0, 1, 1, 0), ".pvr", TC::DXT5, 1, 1, rgba },
        { "PVR legacy 44", [] { Bytes f = pvrLegacy(5, 0); storeLE32(&f[0], 44); return f; }(), ".pvr", TC::NONE, 1, 1, Format::ARGB8888 },
        // packed channels from the top bits down: red in 11..15
        { "PVR v3 565", pvr3File(0x0005060500626772, 0, 1, 1, 0), ".pvr", TC::NONE, 1, 1,
          Format(16, Format::UNORM, 0x050605u, 0x00050Bu) },
        { "PVR v3 rgba", pvr3File(0x0808080861626772, 0, 1, 1, 0, true), ".pvr", TC::NONE, 1, 1, rgba },
        { "PVR v3 bgra", pvr3File(0x0808080861726762, 0, 1, 1, 0), ".pvr", TC::NONE, 1, 1, Format::BGRA8888 },
        { "PVR v3 ASTC 5x4", pvr3File(28, 0, 1, 6, 1), ".pvr", TC::ASTC_RGBA_5x4, 1, 6, rgba },
        { "PKM 20/3", pkmFile("20", 3, 12, 8), ".pkm", TC::ETC2_RGBA, 0, 0, rgba },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        ImageDecoder decoder(ConstMemory(c.file.data(), c.file.size()), c.extension);
        const ImageHeader header = decoder.header();
        ASSERT_TRUE(header.success) << header.info;
        EXPECT_EQ(header.compression, u32(c.code));
        EXPECT_EQ(header.levels, c.levels);
        EXPECT_EQ(header.faces, c.faces);
        EXPECT_TRUE(header.format == c.format);
    }

    // a format KTX cannot describe fails at decode
    const Bytes alpha = ktxFile(1, 0, 0, 0x1906, 0x1401);
    ImageDecoder decoder(ConstMemory(alpha.data(), alpha.size()), ".ktx");
    Bitmap bitmap(4, 4, Format::RGBA8888);
    EXPECT_EQ(decoder.decode(bitmap).info, "[ImageDecoder.KTX] Incorrect format.");
}

TEST(TextureContainers, ShortLevelsAndHugeSizesFailCleanly)
{
    struct Case
    {
        const char* what;
        Bytes file;
        const char* extension;
    };
    // headers whose sizes promise far more data than the file holds
    const Case cases[] = {
        { "DDS 2^24 DXT1", ddsFile(0x1007, 1u << 24, 1u << 24, 0, 4, fourcc("DXT1"), 0x1000, 0, {}, 64), ".dds" },
        { "DDS cube 2^24", ddsFile(0x21007, 1u << 24, 1u << 24, 25, 4, fourcc("DXT5"), 0x1000, 0xFE00, {}, 64), ".dds" },
        { "ASTC 24-bit sizes", astcFile(4, 4, 1, 0xFFFFFF, 0xFFFFFF, 1), ".astc" },
        { "PKM 65535", pkmFile("10", 0, 65535, 65535), ".pkm" },
        { "PVR v3 huge", [] { Bytes f = pvr3File(11, 0, 1, 6, 0); storeLE32(&f[24], 1u << 24); storeLE32(&f[28], 1u << 24); storeLE32(&f[44], 25); return f; }(), ".pvr" },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        ImageDecoder decoder(ConstMemory(c.file.data(), c.file.size()), c.extension);
        const ImageHeader header = decoder.header();
        ASSERT_TRUE(header.success) << header.info;
        // decode the smallest level into a small surface: the level walk and the block
        // count must still see that the data is missing
        const int level = std::max(header.levels - 1, 0);
        Bitmap bitmap(8, 8, Format::RGBA8888);
        const ImageDecodeStatus status = decoder.decode(bitmap, ImageDecodeOptions(), level, 0, 0);
        EXPECT_FALSE(status.success);
        EXPECT_FALSE(status.info.empty());
        const ImageDecodeStatus first = decoder.decode(bitmap, ImageDecodeOptions(), 0, 0, 0);
        EXPECT_FALSE(first.success);
    }
}

TEST(TextureContainers, TruncatedLevelsFailAndEarlierLevelsStillDecode)
{
    struct Case
    {
        const char* file;
        size_t keep;      // bytes kept
        int goodLevel;    // still whole
        int shortLevel;   // cut
    };
    const Case cases[] = {
        { "dds_dxt5_im.dds", 128 + 1024 + 100, 0, 1 },     // level 1 holds 256 bytes
        { "ktx_bc1_mips.ktx", 200, 0, 0 },                  // inside level 0
        { "pvr_v3_dxt5.pvr", 52 + 16 + 1023, 0, 0 },        // one byte short of level 0
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.file);
        Bytes file = imagekit::readFixture(c.file);
        ASSERT_LT(c.keep, file.size());
        file.resize(c.keep);
        ImageDecodeStatus status;
        if (c.goodLevel != c.shortLevel)
        {
            decodeLevel(file, extensionOf(c.file), c.goodLevel, 0, &status);
            EXPECT_TRUE(status.success) << status.info;
        }
        decodeLevel(file, extensionOf(c.file), c.shortLevel, 0, &status);
        EXPECT_FALSE(status.success);
        EXPECT_NE(status.info.find("Not enough"), std::string::npos) << status.info;
    }
}

TEST(TextureContainers, PKMEncoderRefusesWhatTheHeaderCannotHold)
{
    MemoryStream stream;
    ImageEncodeFunc encode = getImageEncoder(".pkm");
    ASSERT_NE(encode, nullptr);

    Bitmap wide(70000, 1, Format::RGBA8888);
    const ImageEncodeStatus tooWide = encode(stream, wide, ImageEncodeOptions());
    EXPECT_FALSE(tooWide.success);
    EXPECT_EQ(tooWide.info, "[ImageEncoder.PKM] Image size 70000 x 1 does not fit the header.");
    EXPECT_EQ(stream.size(), 0u);

    const TextureCompressionInfo etc1(TC::ETC1_RGB);
    Bitmap small(5, 3, Format::RGBA8888);
    const ImageEncodeStatus status = encode(stream, small, ImageEncodeOptions());
    if (!etc1.encode)
    {
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, "[ImageEncoder.PKM] No ETC1 compressor.");
        EXPECT_EQ(stream.size(), 0u);
    }
    else
    {
        // "PKM 10", format 0, padded 8 x 4, real 5 x 3, then 2 x 1 blocks
        ASSERT_TRUE(status.success) << status.info;
        EXPECT_EQ(stream.size(), 32u);
    }
}

namespace
{
    // The container fixtures of tests/fixtures/texture, without the references.
    std::vector<std::string> textureFixtures()
    {
        std::vector<std::string> names;
        const std::filesystem::path folder = std::filesystem::path(ZELMORA_SOURCE_DIR) / "tests/fixtures/texture";
        for (const auto& entry : std::filesystem::directory_iterator(folder))
        {
            const std::string name = entry.path().filename().string();
            const std::string extension = entry.path().extension().string();
            const bool container = extension == ".dds" || extension == ".ktx" || extension == ".pvr" ||
                                   extension == ".pkm" || extension == ".astc";
            if (container && name.find(".ref.") == std::string::npos)
                names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
} // namespace

class TextureRobustness : public ::testing::TestWithParam<std::string>
{
};

TEST_P(TextureRobustness, EveryTruncationAndFlipEndsInAStatus)
{
    const std::string& name = GetParam();
    const Bytes file = imagekit::readFixture(name);
    // every length of these small files, and seeded damage
    const imagekit::SweepStats stats =
        imagekit::robustnessSweep(file, extensionOf(name), int(file.size()), 300, std::uint32_t(file.size()), 2);
    EXPECT_GE(stats.runs, int(file.size()));
    EXPECT_GT(stats.failures, 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, TextureRobustness,
                         ::testing::ValuesIn(textureFixtures()),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

TEST(TextureContainers, PVRVersion3NumbersAndSignedChannelTypesPickTheirRows)
{
    struct Case
    {
        u64 pixelFormat;
        u32 channelType;
        TC code;
    };
    // 0 unsigned byte norm, 1 signed byte norm, 2 unsigned byte, 5 signed short norm, 9 signed int norm
    const Case cases[] = {
        { 12, 0, TC::RGTC1_RED },      { 12, 1, TC::RGTC1_SIGNED_RED }, { 12, 3, TC::RGTC1_RED },
        { 13, 5, TC::RGTC2_SIGNED_RG }, { 25, 0, TC::EAC_R11 },         { 25, 1, TC::EAC_SIGNED_R11 },
        { 26, 2, TC::EAC_RG11 },        { 26, 9, TC::EAC_SIGNED_RG11 }, { 27, 0, TC::ASTC_RGBA_4x4 },
        { 28, 1, TC::ASTC_RGBA_5x4 },   { 32, 0, TC::ASTC_RGBA_8x5 },   { 36, 0, TC::ASTC_RGBA_10x6 },
        { 40, 0, TC::ASTC_RGBA_12x12 }, { 41, 0, TC::ASTC_RGBA_3x3x3 }, { 50, 0, TC::ASTC_RGBA_6x6x6 },
        { 7, 1, TC::DXT1 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.pixelFormat) + "/" + std::to_string(c.channelType));
        const Bytes file = pvr3File(c.pixelFormat, c.channelType, 1, 1, 0);
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".pvr");
        const ImageHeader header = decoder.header();
        ASSERT_TRUE(header.success) << header.info;
        EXPECT_EQ(header.compression, u32(c.code));
    }

    // 3D ASTC has no decoder: the file says so instead of decoding its blocks as 2D
    const Bytes astc3d = pvr3File(41, 0, 1, 1, 0);
    ImageDecoder decoder(ConstMemory(astc3d.data(), astc3d.size()), ".pvr");
    Bitmap bitmap(8, 8, Format::RGBA8888);
    const ImageDecodeStatus status = decoder.decode(bitmap);
    EXPECT_FALSE(status.success);
    EXPECT_NE(status.info.find("No decoder"), std::string::npos) << status.info;
}

TEST(TextureContainers, PVRSignedBC4DecodesThroughTheSignedRow)
{
    // nvcompress's BC4 blocks under channel type 1 (make_pvr_wrappers.py): the signed row reads
    // the endpoints as signed bytes, so the bright half of the picture turns negative
    const Bytes file = imagekit::readFixture("pvr_v3_bc4_snorm.pvr");
    ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".pvr");
    const ImageHeader header = decoder.header();
    ASSERT_TRUE(header.success) << header.info;
    ASSERT_EQ(header.compression, u32(TC::RGTC1_SIGNED_RED));
    const Format rgba32f = Format::RGBA32F;
    Bitmap ours(header.width, header.height, rgba32f);
    const ImageDecodeStatus status = decoder.decode(ours);
    ASSERT_TRUE(status.success) << status.info;

    const TextureCompressionInfo info(TC::RGTC1_SIGNED_RED);
    Bitmap expected(header.width, header.height, rgba32f);
    ASSERT_TRUE(info.decompress(expected, ConstMemory(file.data() + 52, file.size() - 52)).success);
    int negative = 0;
    for (int y = 0; y < header.height; ++y)
    {
        const float* a = reinterpret_cast<const float*>(ours.address(0, y));
        const float* b = reinterpret_cast<const float*>(expected.address(0, y));
        for (int x = 0; x < header.width; ++x)
        {
            EXPECT_EQ(a[x * 4], b[x * 4]) << x << ", " << y;
            negative += a[x * 4] < 0.0f;
        }
    }
    EXPECT_GT(negative, 0);
}

// ------------------------------------------------------------------------------------------
// float destinations: HDR ASTC above 1.0, signed EAC below 0; signed EAC into unsigned ones
// ------------------------------------------------------------------------------------------

namespace
{
    // One image of blocks under a KTX, PVR version 3 or PKM header built by hand.
    Bytes withBlocks(Bytes file, size_t headerBytes, const Bytes& blocks, size_t offset)
    {
        file.resize(headerBytes);
        file.insert(file.end(), blocks.begin() + ptrdiff_t(offset), blocks.end());
        return file;
    }

    Bytes ktxBlocks(u32 glInternal, u32 width, u32 height, const Bytes& blocks, size_t offset = 0)
    {
        Bytes file = ktxFile(1, 0, glInternal);
        storeLE32(&file[36], width);
        storeLE32(&file[40], height);
        storeLE32(&file[64], u32(blocks.size() - offset));
        return withBlocks(file, 68, blocks, offset);
    }

    Bytes pvrBlocks(u64 pixelFormat, u32 channelType, u32 width, u32 height, const Bytes& blocks, size_t offset = 0)
    {
        Bytes file = pvr3File(pixelFormat, channelType, 1, 1, 0);
        storeLE32(&file[24], height);
        storeLE32(&file[28], width);
        return withBlocks(file, 52, blocks, offset);
    }

    struct ContainerFile
    {
        const char* what;
        Bytes file;
        const char* extension;
    };

    // Pixel (x, y) of a float destination, component c, as a float.
    float floatAt(const Bitmap& bitmap, int x, int y, int c)
    {
        const int channels = bitmap.format.bytes() / (bitmap.format.type == Format::FLOAT16 ? 2 : 4);
        const u8* p = bitmap.address(0, y);
        if (bitmap.format.type == Format::FLOAT16)
            return halfToFloat(loadLE16(p + (x * channels + c) * 2));
        float f;
        std::memcpy(&f, p + (x * channels + c) * 4, 4);
        return f;
    }

    // 512 random signed EAC blocks of a 128 x 64 image (make_textures.sh) under KTX, PKM and
    // PVR headers (PVR's signed channel type picks the signed rows), with Mesa's GL_SHORT
    // readback of the same blocks.
    struct SignedEAC
    {
        const char* name;
        int channels;
        Bytes mesa;
        std::vector<ContainerFile> files;

        s16 mesaAt(int x, int y, int k) const
        {
            return s16(loadLE16(&mesa[size_t((y * 128 + x) * channels + k) * 2]));
        }
    };

    std::vector<SignedEAC> readSignedEAC()
    {
        struct Row
        {
            const char* name;
            int channels;
            u32 gl;
            u16 pkm;
            u64 pvr;
        };
        std::vector<SignedEAC> result;
        for (const Row& r : { Row { "random_eac_r11s", 1, 0x9271, 7, 25 }, Row { "random_eac_rg11s", 2, 0x9273, 8, 26 } })
        {
            const Bytes blocks = imagekit::readFixture(std::string(r.name) + ".blocks");
            SignedEAC c { r.name, r.channels, imagekit::readFixture(std::string(r.name) + ".mesa.raw"), {} };
            c.files.push_back({ "KTX", ktxBlocks(r.gl, 128, 64, blocks), ".ktx" });
            c.files.push_back({ "PKM", withBlocks(pkmFile("20", r.pkm, 128, 64), 16, blocks, 0), ".pkm" });
            c.files.push_back({ "PVR", pvrBlocks(r.pvr, 1, 128, 64, blocks), ".pvr" });
            result.push_back(std::move(c));
        }
        return result;
    }
} // namespace

TEST(TextureContainers, HDRASTCKeepsItsValuesInFloatDestinations)
{
    // astcenc -ch / -cH blocks of a 16 x 16 HDR picture (make_textures.sh) as astcenc wrote
    // them, and under KTX and PVR headers; astcenc -dh's half floats are the reference. The
    // 6 x 6 image has partial edge blocks (converted per block), the 8 x 8 one decodes
    // straight into a RGBA 32F destination. Every HDR value is a half float and equals
    // astcenc's exactly; the few LDR components (v / 65536, 57 of the 6 x 6 image's) are
    // finer than a half float, which astcenc truncates to: within one half-float step. RGBA
    // 16F holds the RGBA 32F values rounded to the nearest half float.
    struct Case
    {
        const char* name;
        u32 gl;
        u64 pvr;
    };
    for (const Case& c : { Case { "astc_hdr_6x6", 0x93B4, 31 }, Case { "astc_hdra_8x8", 0x93B7, 34 } })
    {
        SCOPED_TRACE(c.name);
        const Bytes astc = imagekit::readFixture(std::string(c.name) + ".astc");
        const Bytes astcenc = imagekit::readFixture(std::string(c.name) + ".astcenc.f16");
        ASSERT_EQ(astcenc.size(), 16u * 16 * 8);
        const ContainerFile files[] = {
            { ".astc", astc, ".astc" },
            { "KTX", ktxBlocks(c.gl, 16, 16, astc, 16), ".ktx" },
            { "PVR", pvrBlocks(c.pvr, 0, 16, 16, astc, 16), ".pvr" },
        };
        for (const ContainerFile& f : files)
        {
            SCOPED_TRACE(f.what);
            ImageDecoder decoder(ConstMemory(f.file.data(), f.file.size()), f.extension);
            Bitmap full(16, 16, Format::RGBA32F);
            Bitmap half(16, 16, Format::RGBA16F);
            ImageDecodeStatus status = decoder.decode(full);
            ASSERT_TRUE(status.success) << status.info;
            status = decoder.decode(half);
            ASSERT_TRUE(status.success) << status.info;
            int exact = 0, aboveOne = 0;
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x)
                    for (int k = 0; k < 4; ++k)
                    {
                        const float ours = floatAt(full, x, y, k);
                        const float theirs = halfToFloat(loadLE16(&astcenc[((y * 16 + x) * 4 + k) * 2]));
                        const float rounded = halfToFloat(floatToHalf(ours));
                        if (rounded == ours)
                        {
                            EXPECT_EQ(ours, theirs) << x << ", " << y << " " << k;
                            ++exact;
                        }
                        else
                        {
                            // an LDR component: astcenc truncates it to a half float
                            EXPECT_NEAR(ours, theirs, std::abs(theirs) * 0x1p-10f) << x << ", " << y << " " << k;
                        }
                        EXPECT_EQ(floatAt(half, x, y, k), rounded) << x << ", " << y << " " << k;
                        aboveOne += ours > 1.0f;
                    }
            EXPECT_GT(exact, 16 * 16 * 4 * 9 / 10);
            EXPECT_GT(aboveOne, 500) << "HDR values above 1.0, up to about 50";
        }
    }

    // a destination smaller than the image takes a cropped float copy, not an 8-bit one
    const Bytes astc = imagekit::readFixture("astc_hdr_6x6.astc");
    const Bytes astcenc = imagekit::readFixture("astc_hdr_6x6.astcenc.f16");
    ImageDecoder decoder(ConstMemory(astc.data(), astc.size()), ".astc");
    Bitmap small(10, 7, Format::RGBA32F);
    ASSERT_TRUE(decoder.decode(small).success);
    int aboveOne = 0;
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 10; ++x)
            for (int k = 0; k < 3; ++k)
            {
                const float theirs = halfToFloat(loadLE16(&astcenc[((y * 16 + x) * 4 + k) * 2]));
                EXPECT_EQ(floatAt(small, x, y, k), theirs) << x << ", " << y << " " << k;
                aboveOne += theirs > 1.0f;
            }
    EXPECT_GT(aboveOne, 10);
}

TEST(TextureContainers, SignedEACDecodesIntoFloatDestinations)
{
    // Mesa's readback is the reference, read as i / 32767 like every signed normalised value:
    // exact in 32-bit floats, rounded to the nearest half float in RGBA 16F. A missing green is
    // 0, alpha 1.
    const Format R32F { 32, Format::FLOAT32, Format::RGBA, 32, 0, 0, 0 };
    const Format RG32F { 64, Format::FLOAT32, Format::RGBA, 32, 32, 0, 0 };
    for (const SignedEAC& c : readSignedEAC())
    {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.mesa.size(), size_t(128) * 64 * 2 * c.channels);
        for (const ContainerFile& f : c.files)
        {
            ImageDecoder decoder(ConstMemory(f.file.data(), f.file.size()), f.extension);
            for (const Format& format : { R32F, RG32F, Format(Format::RGBA32F), Format(Format::RGBA16F) })
            {
                const int channels = format.bytes() / (format.type == Format::FLOAT16 ? 2 : 4);
                SCOPED_TRACE(std::string(f.what) + " " + std::to_string(channels) + " channels" +
                             (format.type == Format::FLOAT16 ? " 16F" : " 32F"));
                Bitmap bitmap(128, 64, format);
                const ImageDecodeStatus status = decoder.decode(bitmap);
                ASSERT_TRUE(status.success) << status.info;
                int differ = 0, negative = 0, extremes = 0;
                for (int y = 0; y < 64; ++y)
                    for (int x = 0; x < 128; ++x)
                        for (int k = 0; k < channels; ++k)
                        {
                            float expected = k == 3 ? 1.0f : 0.0f;
                            if (k < c.channels)
                            {
                                const s16 value = c.mesaAt(x, y, k);
                                expected = float(value) / 32767.0f;
                                negative += value < 0;
                                extremes += value == 32767 || value == -32767;
                            }
                            if (format.type == Format::FLOAT16)
                                expected = halfToFloat(floatToHalf(expected));
                            differ += floatAt(bitmap, x, y, k) != expected;
                        }
                EXPECT_EQ(differ, 0);
                EXPECT_GT(negative, 128 * 64 * std::min(channels, c.channels) / 4);
                EXPECT_GT(extremes, 0) << "-1 and 1 come out exactly";
            }
        }
    }
}

namespace
{
    // Signed BC4 and BC5 into an unsigned destination: the texel's float clamped to 0..1,
    // scaled to the field and rounded.
    u32 unsignedField(float value, u32 maximum)
    {
        return u32(std::clamp(double(value), 0.0, 1.0) * maximum + 0.5);
    }

    // RGBA 8888 or RGBA 16
    u32 fieldAt(const Bitmap& bitmap, int x, int y, int c)
    {
        const u8* p = bitmap.address(0, y);
        if (bitmap.format.bytes() == 4)
            return p[x * 4 + c];
        u16 v;
        std::memcpy(&v, p + (x * 4 + c) * 2, 2);
        return v;
    }

    u32 fieldMaximum(const Bitmap& bitmap)
    {
        return bitmap.format.bytes() == 4 ? 255 : 65535;
    }
} // namespace

TEST(TextureContainers, SignedEACDecodesIntoUnsignedDestinationsAsSignedBC4AndBC5Do)
{
    const Format unsignedFormats[] = { Format::RGBA8888, Format::RGBA16 };

    // The rule, as signed BC4 and BC5 follow it: random blocks, decoded into floats and into
    // each unsigned format.
    std::mt19937 random(7);
    for (TC code : { TC::RGTC1_SIGNED_RED, TC::RGTC2_SIGNED_RG })
    {
        const TextureCompressionInfo info(code);
        Bytes blocks(size_t(32) * 16 * info.bytes);
        for (u8& b : blocks)
            b = u8(random());
        const ConstMemory memory(blocks.data(), blocks.size());
        Bitmap floats(128, 64, Format::RGBA32F);
        ASSERT_TRUE(info.decompress(floats, memory).success);
        for (const Format& format : unsignedFormats)
        {
            SCOPED_TRACE(std::to_string(u32(code)) + " into " + std::to_string(format.bytes()) + " bytes");
            Bitmap bitmap(128, 64, format);
            ASSERT_TRUE(info.decompress(bitmap, memory).success);
            int differ = 0, clamped = 0;
            for (int y = 0; y < 64; ++y)
                for (int x = 0; x < 128; ++x)
                    for (int k = 0; k < 4; ++k)
                    {
                        const float f = floatAt(floats, x, y, k);
                        differ += fieldAt(bitmap, x, y, k) != unsignedField(f, fieldMaximum(bitmap));
                        clamped += f < 0.0f;
                    }
            EXPECT_EQ(differ, 0);
            EXPECT_GT(clamped, 128 * 64 / 4);
        }
    }

    // Signed EAC, Mesa's readback as the floats (i / 32767): a missing green is 0, alpha all
    // ones.
    for (const SignedEAC& c : readSignedEAC())
    {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.mesa.size(), size_t(128) * 64 * 2 * c.channels);
        for (const ContainerFile& f : c.files)
        {
            ImageDecoder decoder(ConstMemory(f.file.data(), f.file.size()), f.extension);
            for (const Format& format : unsignedFormats)
            {
                SCOPED_TRACE(std::string(f.what) + " into " + std::to_string(format.bytes()) + " bytes");
                Bitmap bitmap(128, 64, format);
                const ImageDecodeStatus status = decoder.decode(bitmap);
                ASSERT_TRUE(status.success) << status.info;
                const u32 maximum = fieldMaximum(bitmap);
                int differ = 0, clamped = 0, full = 0;
                for (int y = 0; y < 64; ++y)
                    for (int x = 0; x < 128; ++x)
                        for (int k = 0; k < 4; ++k)
                        {
                            u32 expected = k == 3 ? maximum : 0;
                            if (k < c.channels)
                            {
                                const s16 value = c.mesaAt(x, y, k);
                                expected = unsignedField(float(value) / 32767.0f, maximum);
                                clamped += value < 0;
                                full += value == 32767;
                            }
                            differ += fieldAt(bitmap, x, y, k) != expected;
                        }
                EXPECT_EQ(differ, 0);
                EXPECT_GT(clamped, 128 * 64 * c.channels / 4);
                EXPECT_GT(full, 0);
            }
        }
    }
}
