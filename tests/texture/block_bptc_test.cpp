// BC7 and BC6H decoders: the error colour of reserved modes, known-answer blocks (the
// unquantised maximum, the signed finish toward zero), and random blocks of every mode
// compared with Mesa's decode, recorded by make_textures.sh.

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <imagekit/imagekit.hpp>
#include <norva/image/texture.hpp>

using namespace norva;
using TC = TextureCompression;

namespace
{
    using Bytes = std::vector<u8>;

    // Four floats per texel, blocks in raster order.
    std::vector<float> decodeBlocks(TC code, const Bytes& blocks, int width, int height)
    {
        const TextureCompressionInfo info(code);
        const int stride = width * 16;
        std::vector<float> out(size_t(width) * height * 4, -7.0f);
        const u8* block = blocks.data();
        for (int y = 0; y < height; y += 4)
            for (int x = 0; x < width; x += 4)
            {
                info.decode(info, reinterpret_cast<u8*>(out.data()) + size_t(y) * stride + x * 16, block, stride);
                block += 16;
            }
        return out;
    }

} // namespace

TEST(BlockBC7, ReservedModeAndSaturatedModeSix)
{
    struct Case
    {
        Bytes block;
        float expected[4];
    };
    Bytes saturated(16, 0xFF);
    saturated[0] = 0xC0; // mode 6, then every endpoint, p-bit and index bit set
    Bytes reserved(16, 0xFF);
    reserved[0] = 0x00;
    const Case cases[] = {
        { reserved, { 0.0f, 0.0f, 0.0f, 1.0f } },
        { Bytes(16, 0), { 0.0f, 0.0f, 0.0f, 1.0f } },
        { saturated, { 1.0f, 1.0f, 1.0f, 1.0f } },
    };
    for (const Case& c : cases)
        for (TC code : { TC::BPTC_RGBA_UNORM, TC::BPTC_SRGB_ALPHA_UNORM })
        {
            const std::vector<float> texels = decodeBlocks(code, c.block, 4, 4);
            for (size_t i = 0; i < texels.size(); ++i)
                EXPECT_EQ(texels[i], c.expected[i % 4]) << i;
        }
}

TEST(BlockBC7, RandomBlocksOfEveryModeMatchMesa)
{
    const Bytes blocks = imagekit::readFixture("random_bc7.blocks");
    ASSERT_EQ(blocks.size(), 512u * 16);
    const std::vector<float> ours = decodeBlocks(TC::BPTC_RGBA_UNORM, blocks, 128, 64);
    const imagekit::Image mesa = imagekit::readPAM(imagekit::readFixture("random_bc7.mesa.ref.pam"));
    ASSERT_EQ(mesa.width, 128);
    ASSERT_EQ(mesa.height, 64);
    size_t differ = 0;
    size_t offGrid = 0;
    for (size_t i = 0; i < ours.size(); ++i)
    {
        // every value is a whole number of 255ths
        const float scaled = ours[i] * 255.0f;
        const int value = int(scaled + 0.5f);
        offGrid += std::abs(scaled - float(value)) > 1e-3f;
        differ += value != mesa.rgba[i];
    }
    EXPECT_EQ(offGrid, 0u);
    EXPECT_EQ(differ, 0u);
}

namespace
{
    // A block from a 128-bit little-endian value given as two halves.
    Bytes block128(u64 low, u64 high)
    {
        Bytes block(16);
        for (int i = 0; i < 8; ++i)
        {
            block[i] = u8(low >> (8 * i));
            block[8 + i] = u8(high >> (8 * i));
        }
        return block;
    }

} // namespace

TEST(BlockBC6H, ReservedModesEndpointsAndTheSignedFinish)
{
    // every unmapped five-bit mode value gives the error colour in both rows
    for (u8 mode : { 19, 23, 27, 31 })
        for (TC code : { TC::BPTC_RGB_UNSIGNED_FLOAT, TC::BPTC_RGB_SIGNED_FLOAT })
        {
            Bytes block(16, 0xFF);
            block[0] = u8(0xE0 | mode);
            const std::vector<float> texels = decodeBlocks(code, block, 4, 4);
            for (size_t i = 0; i < texels.size(); ++i)
                EXPECT_EQ(texels[i], i % 4 == 3 ? 1.0f : 0.0f) << int(mode) << " " << i;
        }

    // one-region 10-bit mode (00011): endpoint 0x3FF unquantises to 0xFFFF, the half 0x7BFF
    const std::vector<float> white = decodeBlocks(TC::BPTC_RGB_UNSIGNED_FLOAT,
                                                  block128(3 | (0x3FFull << 5) | (0x3FFull << 15) | (0x3FFull << 25), 0), 4, 4);
    for (size_t i = 0; i < white.size(); ++i)
        EXPECT_EQ(white[i], i % 4 == 3 ? 1.0f : 65504.0f) << i;

    // signed, red A = -1 (-96 after unquantising), B = 0: texel 0 at weight 4 interpolates to
    // -90, which finishes as -87 (toward zero), not -88; the others -96 -> -93 (x 2^-24)
    const std::vector<float> negative = decodeBlocks(TC::BPTC_RGB_SIGNED_FLOAT, block128(3 | (0x3FFull << 5), 2), 4, 4);
    EXPECT_EQ(negative[0], -87.0f * std::ldexp(1.0f, -24));
    for (int i = 1; i < 16; ++i)
    {
        EXPECT_EQ(negative[i * 4], -93.0f * std::ldexp(1.0f, -24)) << i;
        EXPECT_EQ(negative[i * 4 + 1], 0.0f);
        EXPECT_EQ(negative[i * 4 + 3], 1.0f);
    }
}

TEST(BlockBC6H, RandomBlocksOfEveryModeMatchMesa)
{
    for (TC code : { TC::BPTC_RGB_UNSIGNED_FLOAT, TC::BPTC_RGB_SIGNED_FLOAT })
    {
        const std::string name = code == TC::BPTC_RGB_SIGNED_FLOAT ? "random_bc6h_s" : "random_bc6h_u";
        SCOPED_TRACE(name);
        const Bytes blocks = imagekit::readFixture(name + ".blocks");
        ASSERT_EQ(blocks.size(), 256u * 16);
        const std::vector<float> ours = decodeBlocks(code, blocks, 64, 64);
        const Bytes mesa = imagekit::readFixture(name + ".mesa.raw");
        ASSERT_EQ(mesa.size(), ours.size() * 4);
        // bit for bit, sign and NaN payloads included
        EXPECT_EQ(std::memcmp(ours.data(), mesa.data(), mesa.size()), 0);
        int nonZero = 0;
        for (float v : ours)
            nonZero += v != 0.0f && v != 1.0f;
        EXPECT_GT(nonZero, 12000); // of the 64 x 64 x 3 colour values
    }
}
