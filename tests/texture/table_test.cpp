// The table of texture encodings and the whole-image drivers: lookups, block placement on
// whole and partial grids, one task per block row, and the refusals (no codec, short
// data, no conversion).

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <norva/core/thread.hpp>
#include <norva/image/texture.hpp>

#include "texture/texture_private.hpp"

using namespace norva;
using TC = TextureCompression;

namespace
{
    struct LookupRow
    {
        const char* by;
        u32 key;
        TC expected;
        u32 dxgi, gl, vulkan;
        s32 width, height, bytes;
        bool decoder;
    };

    TextureCompressionInfo lookup(const LookupRow& row)
    {
        const std::string by = row.by;
        if (by == "code")
            return TextureCompressionInfo(TC(row.key));
        if (by == "gl")
            return TextureCompressionInfo::fromGL(row.key);
        if (by == "dxgi")
            return TextureCompressionInfo::fromDXGI(row.key);
        return TextureCompressionInfo::fromVulkan(row.key);
    }

    const LookupRow lookupRows[] = {
        { "code", 0x20004, TC::DXT1, 71, 0x83F0, 131, 4, 4, 8, true },
        { "code", 0x5000000C, TC::ASTC_RGBA_4x4, 134, 0x93B0, 157, 4, 4, 16, true },
        { "code", 0xD0000E0C + 13 * 0x100, TC::ASTC_SRGB_ALPHA_12x12, 187, 0x93DD, 184, 12, 12, 16, true },
        { "code", 0x48010209, TC::PVRTC_RGBA_4BPP, 0, 0x8C02, 1000054001, 4, 4, 8, true },
        { "code", 0x5000030D, TC::ASTC_RGBA_4x4x4, 0, 0x93C3, 0, 4, 4, 16, false },
        { "code", 0x12345678, TC::NONE, 0, 0, 0, 0, 0, 0, false },
        { "gl", 0x8A55, TC::PVRTC_SRGB_4BPP, 0, 0x8A55, 0, 8, 8, 32, true },
        { "gl", 0x8DBE, TC::RGTC2_SIGNED_RG, 84, 0x8DBE, 142, 4, 4, 16, true },
        { "gl", 0x8C3D, TC::RGB9_E5, 67, 0x8C3D, 0, 1, 1, 4, true },
        { "gl", 0, TC::NONE, 0, 0, 0, 0, 0, 0, false },          // not a packed row with GL 0
        { "gl", 0x1908, TC::NONE, 0, 0, 0, 0, 0, 0, false },
        { "dxgi", 80, TC::AMD_3DC_X, 80, 0x87F9, 139, 4, 4, 8, true }, // 3DC precedes RGTC
        { "dxgi", 98, TC::BPTC_RGBA_UNORM, 98, 0x8E8C, 145, 4, 4, 16, true },
        { "dxgi", 69, TC::G8R8_G8B8, 69, 0, 0, 2, 1, 4, true },
        { "dxgi", 0, TC::NONE, 0, 0, 0, 0, 0, 0, false },
        { "dxgi", 999, TC::NONE, 0, 0, 0, 0, 0, 0, false },
        { "vulkan", 141, TC::AMD_3DC_XY, 83, 0x87FA, 141, 4, 4, 16, true },
        { "vulkan", 1000054005, TC::PVRTC_SRGB_ALPHA_4BPP, 0, 0x8A57, 1000054005, 8, 8, 32, true },
        { "vulkan", 155, TC::EAC_RG11, 0, 0x9272, 155, 4, 4, 16, true },
        { "vulkan", 7, TC::NONE, 0, 0, 0, 0, 0, 0, false },
    };

    // Writes (block byte 0, block byte 1, x, y) into every pixel of a block, so the test
    // can tell which block and which pixel of it landed where.
    void markerDecode(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride)
    {
        for (int y = 0; y < info.height; ++y)
            for (int x = 0; x < info.width; ++x)
            {
                u8* p = dest + ptrdiff_t(y) * stride + x * 4;
                p[0] = block[0];
                p[1] = block[1];
                p[2] = u8(x);
                p[3] = u8(y);
            }
    }

    // Block data whose blocks carry their (bx, by).
    std::vector<u8> markerBlocks(const TextureCompressionInfo& info, int xblocks, int yblocks)
    {
        std::vector<u8> data(size_t(xblocks) * yblocks * info.bytes, 0);
        for (int by = 0; by < yblocks; ++by)
            for (int bx = 0; bx < xblocks; ++bx)
            {
                data[(size_t(by) * xblocks + bx) * info.bytes + 0] = u8(bx);
                data[(size_t(by) * xblocks + bx) * info.bytes + 1] = u8(by);
            }
        return data;
    }
} // namespace

TEST(TextureTable, LookupsFindTheFirstMatchingRowAndMissesGiveRowZero)
{
    for (const LookupRow& row : lookupRows)
    {
        SCOPED_TRACE(std::string(row.by) + " " + std::to_string(row.key));
        const TextureCompressionInfo info = lookup(row);
        EXPECT_EQ(info.compression, row.expected);
        EXPECT_EQ(info.dxgi, row.dxgi);
        EXPECT_EQ(info.gl, row.gl);
        EXPECT_EQ(info.vulkan, row.vulkan);
        EXPECT_EQ(info.width, row.width);
        EXPECT_EQ(info.height, row.height);
        EXPECT_EQ(info.bytes, row.bytes);
        EXPECT_EQ(info.decode != nullptr, row.decoder);
    }

    const TextureCompressionInfo dxt1(TC::DXT1);
    EXPECT_TRUE(dxt1.format == Format::RGBA8888);
    EXPECT_TRUE(TextureCompressionInfo(TC::NONE).format == Format());

    const TextureCompressionInfo uncompressed;
    EXPECT_EQ(uncompressed.width, 1);
    EXPECT_EQ(uncompressed.height, 1);
    EXPECT_EQ(uncompressed.bytes, 0);
}

TEST(TextureTable, EveryRowIsReachableByItsCodeAndConsistent)
{
    const auto table = getTextureCompressionTable();
    ASSERT_EQ(table.size(), 102u);
    EXPECT_EQ(table[0].compression, TC::NONE);
    EXPECT_EQ(table[0].width, 0);
    for (size_t i = 1; i < table.size(); ++i)
    {
        const TextureCompressionInfo& row = table[i];
        SCOPED_TRACE(i);
        // codes are unique, so the code lookup lands on this very row
        EXPECT_EQ(TextureCompressionInfo(row.compression).gl, row.gl);
        for (size_t j = 1; j < i; ++j)
            EXPECT_NE(table[j].compression, row.compression);
        EXPECT_GT(row.width, 0);
        EXPECT_GT(row.bytes, 0);
        // a decoder needs a format to write
        if (row.decode)
        {
            EXPECT_GT(row.format.bits, 0u);
        }
        // ASTC, 2D and 3D, all 16 bytes
        const u32 family = row.code() & 0xFF;
        if (family == 0x0C || family == 0x0D)
        {
            EXPECT_EQ(row.bytes, 16);
        }
    }
}

TEST(TextureDrivers, BlocksLandTopDownOnWholeAndPartialGrids)
{
    struct Case
    {
        TC code;
        int width, height;
        bool direct;
    };
    const Case cases[] = {
        { TC::DXT1, 4, 4, true },
        { TC::DXT1, 16, 12, true },
        { TC::ASTC_RGBA_5x5, 5, 5, true },
        { TC::ASTC_RGBA_5x5, 13, 7, false },     // partial edge blocks
        { TC::ASTC_RGBA_4x4, 4, 8, true },       // block row 0 fills rows 0 to 3
        { TC::ASTC_RGBA_12x10, 25, 21, false },
        { TC::DXT5, 5, 5, false },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(int(c.code)) + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
        TextureCompressionInfo info(c.code);
        info.decode = markerDecode;
        const int xblocks = (c.width + info.width - 1) / info.width;
        const int yblocks = (c.height + info.height - 1) / info.height;
        const std::vector<u8> data = markerBlocks(info, xblocks, yblocks);

        // a guard column and row around the image catch writes outside it
        const int stride = (c.width + 1) * 4;
        std::vector<u8> pixels(size_t(stride) * (c.height + 1), 0xEE);
        Surface dest(c.width, c.height, Format::RGBA8888, stride, pixels.data());

        const u64 before = getTextureTaskCounter().load();
        const ImageDecodeStatus status = info.decompress(dest, ConstMemory(data.data(), data.size()));
        ASSERT_TRUE(status.success) << status.info;
        EXPECT_EQ(status.direct, c.direct);
        EXPECT_EQ(getTextureTaskCounter().load() - before, u64(yblocks)) << "one task per block row";

        for (int y = 0; y <= c.height; ++y)
            for (int x = 0; x <= c.width; ++x)
            {
                const u8* p = &pixels[size_t(y) * stride + x * 4];
                if (x == c.width || y == c.height)
                {
                    ASSERT_EQ(p[0], 0xEE) << "wrote outside at " << x << "," << y;
                    continue;
                }
                ASSERT_EQ(p[0], x / info.width) << x << "," << y;
                ASSERT_EQ(p[1], y / info.height) << x << "," << y;
                ASSERT_EQ(p[2], x % info.width);
                ASSERT_EQ(p[3], y % info.height);
            }
    }
}

TEST(TextureDrivers, ConvertsIntoOtherFormatsThroughTheBlitter)
{
    // one DXT1 block: color0 = pure red 565, color1 = pure blue, index 0 for the top row,
    // 1 for the second, 2 and 3 below
    const u8 block[8] = { 0x00, 0xF8, 0x1F, 0x00, 0x00, 0x55, 0xAA, 0xFF };
    const TextureCompressionInfo info(TC::DXT1);
    u8 pixels[4 * 4 * 4];
    Surface dest(4, 4, Format::BGRA8888, 16, pixels);
    const ImageDecodeStatus status = info.decompress(dest, ConstMemory(block, 8));
    ASSERT_TRUE(status.success) << status.info;
    EXPECT_FALSE(status.direct);
    const u8 row0[4] = { 0, 0, 255, 255 };   // red as B, G, R, A
    const u8 row1[4] = { 255, 0, 0, 255 };   // blue
    EXPECT_EQ(std::memcmp(pixels, row0, 4), 0);
    EXPECT_EQ(std::memcmp(pixels + 16, row1, 4), 0);
}

TEST(TextureDrivers, RefusesWithoutWritingAnything)
{
    std::vector<u8> data(64 * 64, 0x11);
    u8 pixels[8 * 8 * 16];
    std::memset(pixels, 0x5A, sizeof(pixels));

    struct Case
    {
        TC code;
        int width, height;
        Format format;
        size_t bytes;
        const char* message;
    };
    const Case cases[] = {
        { TC::ASTC_RGBA_4x4x4, 8, 8, Format::RGBA8888, 64, "No decoder for 0x5000030d." },
        { TC::LATC1_LUMINANCE, 8, 8, Format::RGBA8888, 64, "No decoder for 0x3." },
        { TC(0x12345678), 8, 8, Format::RGBA8888, 64, "No decoder for 0x0." },
        // 8 x 8 DXT1 needs 4 blocks of 8 bytes; 5 x 5 needs as many (ceiling division)
        { TC::DXT1, 8, 8, Format::RGBA8888, 31, "[TextureCompression] Not enough block data: 31 bytes for 8 x 8 pixels, 32 needed." },
        { TC::DXT1, 5, 5, Format::RGBA8888, 31, "[TextureCompression] Not enough block data: 31 bytes for 5 x 5 pixels, 32 needed." },
        { TC::ASTC_RGBA_6x5, 7, 6, Format::RGBA8888, 63, nullptr },
        // no conversion from RGBA 8888 into signed normalised
        { TC::DXT1, 8, 8, Format(32, Format::SNORM, Format::RGBA, 8, 8, 8, 8), 32,
          "[TextureCompression] No conversion from the decoded format." },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(int(c.code));
        const TextureCompressionInfo info(c.code);
        Surface dest(c.width, c.height, c.format, c.width * c.format.bytes(), pixels);
        const ImageDecodeStatus status = info.decompress(dest, ConstMemory(data.data(), c.bytes));
        EXPECT_FALSE(status.success);
        if (c.message)
        {
            EXPECT_EQ(status.info, c.message);
        }
        for (u8 p : pixels)
            ASSERT_EQ(p, 0x5A);
    }

    // compress without an encoder
    const TextureCompressionInfo etc2(TC::ETC2_RGB);
    Surface source(8, 8, Format::RGBA8888, 32, pixels);
    std::vector<u8> out(32);
    const ImageDecodeStatus encoded = etc2.compress(Memory(out.data(), out.size()), source);
    EXPECT_FALSE(encoded.success);
    EXPECT_EQ(encoded.info, "No encoder for 0x408.");
}

TEST(TextureDrivers, BlockCountsUseCeilingDivisionAndPadPVRTC)
{
    struct Case
    {
        TC code;
        int width, height;
        u64 bytes;
    };
    const Case cases[] = {
        { TC::ASTC_RGBA_5x4, 17, 9, 4 * 3 * 16 },
        { TC::ASTC_RGBA_6x6, 36, 37, 6 * 7 * 16 },
        { TC::ASTC_RGBA_10x5, 11, 5, 2 * 1 * 16 },
        { TC::ASTC_RGBA_12x12, 100, 50, 9 * 5 * 16 },
        { TC::DXT1, 1, 1, 8 },
        { TC::RGB9_E5, 3, 2, 24 },
        { TC::UYVY, 3, 1, 8 },
        // PVRTC levels hold at least 2 x 2 words of 8 bytes; the sRGB rows' 8 x 8 blocks are
        // 2 x 2 words at 4 bpp and 2 x 1 at 2 bpp
        { TC::PVRTC_RGBA_4BPP, 4, 4, 4 * 8 },
        { TC::PVRTC_RGBA_2BPP, 1, 1, 4 * 8 },
        { TC::PVRTC_RGBA_2BPP, 512, 512, 64 * 128 * 8 },
        { TC::PVRTC_SRGB_4BPP, 8, 8, 4 * 8 },
        { TC::PVRTC_SRGB_4BPP, 2, 1, 4 * 8 },
        { TC::PVRTC_SRGB_4BPP, 32, 16, 8 * 4 * 8 },
        { TC::PVRTC_SRGB_2BPP, 4, 4, 4 * 8 },
        { TC::PVRTC_SRGB_2BPP, 16, 32, 2 * 8 * 8 },
        { TC::NONE, 16, 16, 0 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(int(c.code));
        EXPECT_EQ(TextureCompressionInfo(c.code).getBlockDataSize(c.width, c.height), c.bytes);
    }

    // a 512 x 512 PVRTC 2 bpp texture with all 10 levels holds 87,488 bytes
    const TextureCompressionInfo pvrtc(TC::PVRTC_RGBA_2BPP);
    u64 total = 0;
    for (int level = 0; level < 10; ++level)
        total += pvrtc.getBlockDataSize(512 >> level, 512 >> level);
    EXPECT_EQ(total, 87488u);

    // the largest sizes do not wrap
    const TextureCompressionInfo astc(TC::ASTC_RGBA_4x4);
    EXPECT_EQ(astc.getBlockDataSize(0x7FFFFFFF, 0x7FFFFFFF), u64(0x20000000) * 0x20000000 * 16);
}

TEST(TextureDrivers, WholeSurfaceRowsDecodeOncePaddedAndCropped)
{
    struct Call
    {
        int width = 0, height = 0, calls = 0;
    };
    static Call seen;
    auto surfaceDecode = [](const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride) {
        seen.width = info.width;
        seen.height = info.height;
        ++seen.calls;
        for (int y = 0; y < info.height; ++y)
            for (int x = 0; x < info.width; ++x)
            {
                u8* p = dest + ptrdiff_t(y) * stride + x * 4;
                p[0] = u8(x);
                p[1] = u8(y);
                p[2] = block[0];
                p[3] = 255;
            }
    };

    TextureCompressionInfo info(TC::PVRTC_RGBA_4BPP);
    info.decode = surfaceDecode;
    std::vector<u8> data(4096, 7);

    struct Case
    {
        int width, height, paddedWidth, paddedHeight;
        bool direct;
    };
    const Case cases[] = { { 16, 8, 16, 8, true }, { 4, 4, 8, 8, false }, { 2, 1, 8, 8, false } };
    for (const Case& c : cases)
    {
        std::vector<u8> pixels(size_t(c.width) * c.height * 4, 0);
        Surface dest(c.width, c.height, Format::RGBA8888, c.width * 4, pixels.data());
        const u64 tasks = getTextureTaskCounter().load();
        seen = {};
        const ImageDecodeStatus status = info.decompress(dest, ConstMemory(data.data(), data.size()));
        ASSERT_TRUE(status.success) << status.info;
        EXPECT_EQ(status.direct, c.direct);
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.width, c.paddedWidth);
        EXPECT_EQ(seen.height, c.paddedHeight);
        EXPECT_EQ(getTextureTaskCounter().load(), tasks) << "no tasks for whole-surface rows";
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
            {
                ASSERT_EQ(pixels[(size_t(y) * c.width + x) * 4 + 0], x);
                ASSERT_EQ(pixels[(size_t(y) * c.width + x) * 4 + 1], y);
                ASSERT_EQ(pixels[(size_t(y) * c.width + x) * 4 + 2], 7);
            }
    }

    // sizes that are not powers of two are refused
    std::vector<u8> pixels(12 * 8 * 4);
    Surface dest(12, 8, Format::RGBA8888, 48, pixels.data());
    const ImageDecodeStatus status = info.decompress(dest, ConstMemory(data.data(), data.size()));
    EXPECT_FALSE(status.success);
    EXPECT_EQ(status.info, "[TextureCompression] PVRTC size 12 x 8 is not a power of two.");
}

TEST(TextureDrivers, CompressCutsBlockRowsAndRepeatsEdgePixels)
{
    // an encoder that records the block's pixels: the red byte of each of 16 pixels
    TextureCompressionInfo info(TC::DXT3);
    info.encode = [](const TextureCompressionInfo&, u8* block, const u8* source, s32 stride) {
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                block[y * 4 + x] = source[y * stride + x * 4];
    };

    // 6 x 6 source: pixel (x, y) has red 10 y + x
    std::vector<u8> pixels(6 * 6 * 4, 255);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x)
            pixels[(y * 6 + x) * 4] = u8(10 * y + x);
    Surface source(6, 6, Format::RGBA8888, 24, pixels.data());

    std::vector<u8> out(4 * 16, 0);
    const u64 tasks = getTextureTaskCounter().load();
    const ImageDecodeStatus status = info.compress(Memory(out.data(), out.size()), source);
    ASSERT_TRUE(status.success) << status.info;
    EXPECT_EQ(getTextureTaskCounter().load() - tasks, 2u);

    for (int block = 0; block < 4; ++block)
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
            {
                const int sx = std::min((block % 2) * 4 + x, 5);
                const int sy = std::min((block / 2) * 4 + y, 5);
                ASSERT_EQ(out[block * 16 + y * 4 + x], 10 * sy + sx) << block << " " << x << "," << y;
            }

    // too little output
    const ImageDecodeStatus small = info.compress(Memory(out.data(), 63), source);
    EXPECT_FALSE(small.success);
}

TEST(TextureDrivers, SingleThreadPoolDecodesTheSame)
{
    ThreadPool pool(1);
    pool.shutdown(); // tasks then run on the calling thread
    const TextureCompressionInfo info(TC::DXT5);
    std::vector<u8> data(16 * 16, 0);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = u8(i * 37 + 11);
    std::vector<u8> a(16 * 16 * 4), b(16 * 16 * 4);
    Surface da(16, 16, Format::RGBA8888, 64, a.data());
    Surface db(16, 16, Format::RGBA8888, 64, b.data());
    ASSERT_TRUE(info.decompress(da, ConstMemory(data.data(), data.size()), pool).success);
    ASSERT_TRUE(info.decompress(db, ConstMemory(data.data(), data.size())).success);
    EXPECT_EQ(a, b);
}
