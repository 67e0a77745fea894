// ASTC block decoder: known-answer blocks (flat colours stay exact in linear rows, void
// extents, the error colour of reserved and inconsistent blocks, HDR saturating in 8-bit
// rows), random blocks of every 2D size against Mesa (LDR, linear and sRGB) and astcenc's
// HDR decoder, astcenc's sRGB files against Mesa, and astcenc -ch / -cH images against
// astcenc -dh. The random blocks come from the generator of make_astc.py; the references
// are per-block FNV-1a hashes recorded by make_textures.sh.

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <imagekit/imagekit.hpp>
#include <norva/core/endian.hpp>
#include <norva/image/texture.hpp>

#include "texture/block/block_astc.hpp"
#include "texture/block/block_astc_tables.hpp"

using namespace norva;
using TC = TextureCompression;

namespace
{
    using Bytes = std::vector<u8>;

    struct Size
    {
        int width, height;
        const char* name;
    };

    constexpr Size sizes[14] = {
        { 4, 4, "4x4" },   { 5, 4, "5x4" },   { 5, 5, "5x5" },   { 6, 5, "6x5" },    { 6, 6, "6x6" },
        { 8, 5, "8x5" },   { 8, 6, "8x6" },   { 8, 8, "8x8" },   { 10, 5, "10x5" },  { 10, 6, "10x6" },
        { 10, 8, "10x8" }, { 10, 10, "10x10" }, { 12, 10, "12x10" }, { 12, 12, "12x12" },
    };

    TC srgbRow(int i)
    {
        return TC(u32(TC::ASTC_SRGB_ALPHA_4x4) + u32(i) * 0x100);
    }

    u64 splitmix64(u64& state)
    {
        u64 z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // The blocks of make_astc.py's random_blocks(): one in 16 as drawn, one in 16 a void
    // extent, the rest with a block mode whose weight grid fits the block. Mesa, like this
    // decoder, ignores bits 10-11 of a void extent; for astcenc they are set.
    Bytes randomBlocks(int width, int height, int count, bool hdr)
    {
        std::vector<int> valid;
        for (int mode = 0; mode < 2048; ++mode)
        {
            const astc::BlockMode& m = astc::blockModes[mode];
            if (!(m.flags & (astc::MODE_ERROR | astc::MODE_VOID_EXTENT)) && m.gridWidth <= width && m.gridHeight <= height)
                valid.push_back(mode);
        }
        u64 state = u64(width * 16 + height + (hdr ? 0x1000 : 0));
        Bytes blocks(size_t(count) * 16);
        for (int i = 0; i < count; ++i)
        {
            u64 lo = splitmix64(state);
            const u64 hi = splitmix64(state);
            const u64 r = splitmix64(state);
            const int kind = int(r & 15);
            if (kind == 1)
            {
                lo = (lo & ~u64(0x1FF)) | 0x1FC;
                if ((r >> 4) & 1)
                    lo |= ~u64(0) << 12;
            }
            else if (kind > 1)
            {
                lo = (lo & ~u64(0x7FF)) | u64(valid[(r >> 8) % valid.size()]);
            }
            // astcenc rejects void extents whose bits 10-11 are not both set
            if (hdr && (lo & 0x1FF) == 0x1FC)
                lo |= 0xC00;
            storeLE64(&blocks[i * 16], lo);
            storeLE64(&blocks[i * 16 + 8], hi);
        }
        return blocks;
    }

    u32 fnv1a(const void* data, size_t size)
    {
        u32 h = 0x811C9DC5u;
        const u8* p = static_cast<const u8*>(data);
        for (size_t i = 0; i < size; ++i)
            h = (h ^ p[i]) * 0x01000193u;
        return h;
    }

    // float -> half, rounding toward zero: astcenc writes its 16-bit LDR values (v / 65536)
    // that way; the HDR values are halves already and come back exactly
    u16 truncateToHalf(float f)
    {
        u32 bits;
        std::memcpy(&bits, &f, 4);
        const u32 sign = (bits >> 16) & 0x8000;
        const int exponent = int((bits >> 23) & 0xFF) - 127 + 15;
        const u32 mantissa = bits & 0x7FFFFF;
        if (((bits >> 23) & 0xFF) == 0xFF)
            return u16(sign | 0x7C00 | (mantissa >> 13) | (mantissa ? 0x200 : 0));
        if (exponent >= 31)
            return u16(sign | 0x7BFF);
        if (exponent >= 1)
            return u16(sign | (u32(exponent) << 10) | (mantissa >> 13));
        return u16(sign | u32(std::ldexp(std::fabs(f), 24)));
    }

    bool isError(const u8* texels, int count)
    {
        for (int i = 0; i < count; ++i)
            if (std::memcmp(texels + i * 4, "\xFF\x00\xFF\xFF", 4))
                return false;
        return true;
    }

    // A block built bit by bit (LSB first), as the format numbers them.
    struct BlockBits
    {
        u8 bytes[16] = {};

        BlockBits& set(int pos, int count, u64 value)
        {
            for (int i = 0; i < count; ++i)
            {
                const int bit = pos + i;
                bytes[bit >> 3] = u8((bytes[bit >> 3] & ~(1 << (bit & 7))) | ((i < 64 ? (value >> i) & 1 : 0) << (bit & 7)));
            }
            return *this;
        }
    };

    // A void-extent block: all-ones coordinates, bits 10-11 and the HDR bit as given.
    BlockBits voidExtent(u16 r, u16 g, u16 b, u16 a, bool hdr = false, int reserved = 3)
    {
        BlockBits block;
        block.set(0, 9, 0x1FC).set(9, 1, hdr).set(10, 2, reserved).set(12, 52, (u64(1) << 52) - 1);
        block.set(64, 16, r).set(80, 16, g).set(96, 16, b).set(112, 16, a);
        return block;
    }

    // One partition, CEM 8 (RGB direct), a 4 x 4 grid of 2-bit weights (block mode 0x42),
    // the six colour values as 8-bit integers from bit 17; weights all w.
    BlockBits rgbDirect(int r, int g, int b, int weight)
    {
        BlockBits block;
        block.set(0, 11, 0x42).set(11, 2, 0).set(13, 4, 8);
        const int values[6] = { r, r, g, g, b, b };
        for (int i = 0; i < 6; ++i)
            block.set(17 + 8 * i, 8, u64(values[i]));
        // the weights from bit 127 down, each value's bits reversed with them
        for (int i = 0; i < 16; ++i)
            for (int k = 0; k < 2; ++k)
                block.set(127 - (2 * i + k), 1, (weight >> k) & 1);
        return block;
    }

    std::vector<u8> decodeRow(TC code, const u8* block)
    {
        const TextureCompressionInfo info(code);
        std::vector<u8> out(size_t(info.width) * info.height * 4, 0x5A);
        info.decode(info, out.data(), block, info.width * 4);
        return out;
    }

} // namespace

TEST(BlockASTC, KnownBlocksInLinearAndSRGBRows)
{
    struct Case
    {
        const char* name;
        BlockBits block;
        u8 linear[4];
        u8 srgb[4];
    };
    BlockBits reserved;           // bits 0-3 zero
    reserved.set(4, 124, 0);
    BlockBits wideGrid;           // 6 x 2 grid of 0..31 in a 4 x 4 block
    wideGrid.set(0, 11, 0x313);
    BlockBits dualFour = rgbDirect(10, 20, 30, 1);
    dualFour.set(10, 1, 1).set(11, 2, 3);   // dual plane with four partitions
    BlockBits tooManyValues;      // four partitions of CEM 15: 32 colour values
    tooManyValues.set(0, 11, 0x42).set(11, 2, 3).set(13, 10, 5).set(23, 2, 0).set(25, 4, 15);

    const Case cases[] = {
        // a flat colour is exact in both rows (the 16-bit value's high byte, not
        // trunc(v / 65536 * 255), which would give 127, 63, 199)
        { "flat RGB", rgbDirect(128, 64, 200, 2), { 128, 64, 200, 255 }, { 128, 64, 200, 255 } },
        { "flat white", rgbDirect(255, 255, 255, 3), { 255, 255, 255, 255 }, { 255, 255, 255, 255 } },
        { "flat black", rgbDirect(0, 0, 0, 0), { 0, 0, 0, 255 }, { 0, 0, 0, 255 } },
        { "void extent", voidExtent(0xFFFF, 0, 0x8000, 0xFFFF), { 255, 0, 128, 255 }, { 255, 0, 128, 255 } },
        { "void extent, bits 10-11 clear", voidExtent(0xFFFF, 0, 0x8000, 0xFFFF, false, 0), { 255, 0, 128, 255 }, { 255, 0, 128, 255 } },
        { "void extent 0x8080", voidExtent(0x8080, 0x4040, 0xC8C8, 0xFFFF), { 128, 64, 200, 255 }, { 128, 64, 200, 255 } },
        // HDR: 1.0, 4.0, 0.5, 0.25 saturate and round in linear rows; sRGB rows have no HDR
        { "HDR void extent", voidExtent(0x3C00, 0x4400, 0x3800, 0x3400, true), { 255, 255, 128, 64 }, { 255, 0, 255, 255 } },
        { "reserved mode", reserved, { 255, 0, 255, 255 }, { 255, 0, 255, 255 } },
        { "grid wider than the block", wideGrid, { 255, 0, 255, 255 }, { 255, 0, 255, 255 } },
        { "dual plane, four partitions", dualFour, { 255, 0, 255, 255 }, { 255, 0, 255, 255 } },
        { "32 colour values", tooManyValues, { 255, 0, 255, 255 }, { 255, 0, 255, 255 } },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (bool srgb : { false, true })
        {
            const std::vector<u8> texels = decodeRow(srgb ? TC::ASTC_SRGB_ALPHA_4x4 : TC::ASTC_RGBA_4x4, c.block.bytes);
            const u8* expected = srgb ? c.srgb : c.linear;
            for (int i = 0; i < 16; ++i)
                ASSERT_EQ(std::memcmp(&texels[i * 4], expected, 4), 0)
                    << (srgb ? "sRGB" : "linear") << " texel " << i << ": " << int(texels[i * 4]) << " "
                    << int(texels[i * 4 + 1]) << " " << int(texels[i * 4 + 2]) << " " << int(texels[i * 4 + 3]);
        }
    }
}

TEST(BlockASTC, RandomBlocksOfEverySizeMatchMesa)
{
    const Bytes reference = imagekit::readFixture("random_astc.mesa.fnv");
    ASSERT_EQ(reference.size(), 14u * (2048 + 512) * 4);
    const u8* expected = reference.data();
    for (int s = 0; s < 14; ++s)
    {
        const Size& size = sizes[s];
        SCOPED_TRACE(size.name);
        const int texels = size.width * size.height;
        const Bytes blocks = randomBlocks(size.width, size.height, 2048, false);
        std::vector<u8> out(size_t(texels) * 4);

        // linear: Mesa decodes the LDR profile, where HDR endpoints give the error colour
        int differ = 0, decoded = 0;
        for (int n = 0; n < 2048; ++n)
        {
            decodeASTCBlockRGBA8(out.data(), size.width * 4, &blocks[n * 16], size.width, size.height, false, true);
            if (fnv1a(out.data(), out.size()) != loadLE32(expected + n * 4))
            {
                if (differ < 5)
                    ADD_FAILURE() << "linear block " << n;
                ++differ;
            }
            decoded += !isError(out.data(), texels);
        }
        EXPECT_EQ(differ, 0);
        EXPECT_GT(decoded, 600) << "most random blocks should decode to something else than the error colour";
        expected += 2048 * 4;

        // sRGB through the table's row
        const TextureCompressionInfo info(srgbRow(s));
        differ = 0;
        for (int n = 0; n < 512; ++n)
        {
            info.decode(info, out.data(), &blocks[n * 16], size.width * 4);
            differ += fnv1a(out.data(), out.size()) != loadLE32(expected + n * 4);
        }
        EXPECT_EQ(differ, 0) << "sRGB";
        expected += 512 * 4;
    }
}

TEST(BlockASTC, RandomBlocksOfEverySizeMatchAstcencHDR)
{
    const Bytes reference = imagekit::readFixture("random_astc_hdr.astcenc.fnv");
    ASSERT_EQ(reference.size(), 14u * 1024 * 4);
    for (int s = 0; s < 14; ++s)
    {
        const Size& size = sizes[s];
        SCOPED_TRACE(size.name);
        const int texels = size.width * size.height;
        const Bytes blocks = randomBlocks(size.width, size.height, 1024, true);
        std::vector<float> out(size_t(texels) * 4);
        std::vector<u16> halves(out.size());
        int differ = 0, aboveOne = 0;
        for (int n = 0; n < 1024; ++n)
        {
            decodeASTCBlockFloat(out.data(), &blocks[n * 16], size.width, size.height, false);
            bool bright = false;
            for (size_t i = 0; i < out.size(); ++i)
            {
                halves[i] = truncateToHalf(out[i]);
                bright |= out[i] > 1.0f;
            }
            aboveOne += bright;
            if (fnv1a(halves.data(), halves.size() * 2) != loadLE32(&reference[(s * 1024 + n) * 4]))
            {
                if (differ < 5)
                    ADD_FAILURE() << "block " << n;
                ++differ;
            }
        }
        EXPECT_EQ(differ, 0);
        EXPECT_GT(aboveOne, 100) << "blocks with HDR values above 1.0";
    }
}

TEST(BlockASTC, AstcencSRGBFilesMatchMesa)
{
    for (int s : { 0, 6, 13 })
    {
        const Size& size = sizes[s];
        SCOPED_TRACE(size.name);
        const Bytes file = imagekit::readFixture(std::string("astc_cs_") + size.name + ".astc");
        const imagekit::Image mesa = imagekit::readPAM(imagekit::readFixture(std::string("astc_cs_") + size.name + ".mesa.ref.pam"));
        ASSERT_EQ(mesa.width, 24);
        ASSERT_EQ(mesa.height, 20);
        const TextureCompressionInfo info(srgbRow(s));
        ASSERT_EQ(file.size(), 16 + info.getBlockDataSize(24, 20));
        Bitmap bitmap(24, 20, Format::RGBA8888);
        const ImageDecodeStatus status = info.decompress(bitmap, ConstMemory(file.data() + 16, file.size() - 16));
        ASSERT_TRUE(status.success) << status.info;
        EXPECT_TRUE(imagekit::sameImage(imagekit::fromSurface(bitmap), mesa));
    }
}

TEST(BlockASTC, AstcencHDRImagesMatchAstcencAndSaturateInLinearRows)
{
    struct Case
    {
        const char* name;
        int width, height;
        TC row;
    };
    for (const Case& c : { Case { "astc_hdr_6x6", 6, 6, TC::ASTC_RGBA_6x6 }, Case { "astc_hdra_8x8", 8, 8, TC::ASTC_RGBA_8x8 } })
    {
        SCOPED_TRACE(c.name);
        const Bytes file = imagekit::readFixture(std::string(c.name) + ".astc");
        const Bytes astcenc = imagekit::readFixture(std::string(c.name) + ".astcenc.f16");
        ASSERT_EQ(astcenc.size(), 16u * 16 * 8);
        const int xblocks = (16 + c.width - 1) / c.width;
        const int yblocks = (16 + c.height - 1) / c.height;
        ASSERT_EQ(file.size(), 16u + size_t(xblocks) * yblocks * 16);

        const TextureCompressionInfo info(c.row);
        int differ = 0, bright = 0, alphaAboveOne = 0;
        float texels[144 * 4];
        u8 bytes[144 * 4];
        for (int by = 0; by < yblocks; ++by)
            for (int bx = 0; bx < xblocks; ++bx)
            {
                const u8* block = &file[16 + (by * xblocks + bx) * 16];
                decodeASTCBlockFloat(texels, block, c.width, c.height, false);
                info.decode(info, bytes, block, c.width * 4);
                for (int y = 0; y < c.height; ++y)
                    for (int x = 0; x < c.width; ++x)
                    {
                        const int px = bx * c.width + x, py = by * c.height + y;
                        if (px >= 16 || py >= 16)
                            continue;
                        for (int k = 0; k < 4; ++k)
                        {
                            const float f = texels[(y * c.width + x) * 4 + k];
                            const u16 theirs = loadLE16(&astcenc[((py * 16 + px) * 4 + k) * 2]);
                            differ += truncateToHalf(f) != theirs;
                            // the 8-bit row saturates instead of wrapping
                            const u8 byte = bytes[(y * c.width + x) * 4 + k];
                            if (f >= 1.0f)
                            {
                                EXPECT_EQ(byte, 255) << px << "," << py << " " << k << " " << f;
                                ++bright;
                                alphaAboveOne += k == 3 && f > 1.0f;
                            }
                            else
                            {
                                EXPECT_NEAR(byte, f * 255.0f, 1.0f) << px << "," << py << " " << k;
                            }
                        }
                    }
            }
        EXPECT_EQ(differ, 0);
        EXPECT_GT(bright, 100);
        if (c.row == TC::ASTC_RGBA_8x8)
        {
            EXPECT_GT(alphaAboveOne, 10) << "-cH keeps alpha above 1.0 (HDR alpha)";
        }
    }
}
