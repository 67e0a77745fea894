// Known-answer blocks for the BC1-BC5, ATC, 3DC, packed-float and YUV decoders: the mode
// switches, the truncating interpolation, and what each decoder may and may not touch.

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include <norva/image/texture.hpp>

using namespace norva;
using TC = TextureCompression;

namespace
{
    // Decodes one block of the row into a buffer pre-filled with `fill` (stride = block row
    // bytes) and returns the texel bytes.
    std::vector<u8> decodeOne(TC code, const std::vector<u8>& block, u8 fill = 0xCC)
    {
        const TextureCompressionInfo info(code);
        EXPECT_EQ(int(block.size()), info.bytes);
        const int stride = info.width * info.format.bytes();
        std::vector<u8> out(size_t(stride) * info.height, fill);
        info.decode(info, out.data(), block.data(), stride);
        return out;
    }

    std::vector<float> decodeFloats(TC code, const std::vector<u8>& block)
    {
        const std::vector<u8> bytes = decodeOne(code, block);
        std::vector<float> floats(bytes.size() / 4);
        std::memcpy(floats.data(), bytes.data(), bytes.size());
        return floats;
    }

    // Every texel takes index `index` (2-bit colour indices).
    std::vector<u8> colorBlock(u16 c0, u16 c1, u32 index)
    {
        const u32 indices = index * 0x55555555u;
        return { u8(c0), u8(c0 >> 8), u8(c1), u8(c1 >> 8), u8(indices), u8(indices >> 8), u8(indices >> 16),
                 u8(indices >> 24) };
    }

    // Two alpha endpoints, then every texel at 3-bit index `index`.
    std::vector<u8> alphaBlock(u8 a0, u8 a1, u32 index)
    {
        u64 bits = 0;
        for (int i = 0; i < 16; ++i)
            bits |= u64(index) << (3 * i);
        return { a0, a1, u8(bits), u8(bits >> 8), u8(bits >> 16), u8(bits >> 24), u8(bits >> 32), u8(bits >> 40) };
    }

    // The 16 texels of an alpha block whose texel i has index i % 8.
    std::vector<u8> alphaRamp(u8 a0, u8 a1)
    {
        u64 bits = 0;
        for (int i = 0; i < 16; ++i)
            bits |= u64(i % 8) << (3 * i);
        return { a0, a1, u8(bits), u8(bits >> 8), u8(bits >> 16), u8(bits >> 24), u8(bits >> 32), u8(bits >> 40) };
    }

    std::vector<u8> concat(std::vector<u8> a, const std::vector<u8>& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    void expectTexels(const std::vector<u8>& texels, std::initializer_list<u8> expected, int bytesPerTexel = 4)
    {
        const std::vector<u8> want(expected);
        for (size_t t = 0; t < texels.size() / bytesPerTexel; ++t)
            for (int c = 0; c < bytesPerTexel; ++c)
                ASSERT_EQ(texels[t * bytesPerTexel + c], want[c]) << "texel " << t << " byte " << c;
    }
} // namespace

TEST(BlockBC1, PaletteModesAndIndexThree)
{
    struct Case
    {
        TC code;
        u16 c0, c1;
        u32 index;
        std::initializer_list<u8> texel;
    };
    // 0xF800 red, 0x001F blue, 0x07E0 green
    const Case cases[] = {
        { TC::DXT1, 0xF800, 0x001F, 0, { 255, 0, 0, 255 } },
        { TC::DXT1, 0xF800, 0x001F, 2, { 170, 0, 85, 255 } },   // thirds truncate
        { TC::DXT1, 0xF800, 0x001F, 3, { 85, 0, 170, 255 } },
        { TC::DXT1, 0x001F, 0xF800, 2, { 127, 0, 127, 255 } },  // three-colour: half-way
        { TC::DXT1, 0x001F, 0xF800, 3, { 0, 0, 0, 0 } },        // and transparent black
        { TC::DXT1, 0x07E0, 0x07E0, 2, { 0, 255, 0, 255 } },    // equal endpoints: three-colour
        { TC::DXT1, 0x07E0, 0x07E0, 3, { 0, 0, 0, 0 } },
        { TC::DXT1_ALPHA, 0x001F, 0xF800, 3, { 0, 0, 0, 0 } },
        { TC::DXT1_SRGB, 0x8410, 0x8410, 0, { 132, 130, 132, 255 } }, // bit replication
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << c.c0 << " " << c.c1 << " " << c.index);
        expectTexels(decodeOne(c.code, colorBlock(c.c0, c.c1, c.index)), c.texel);
    }
}

TEST(BlockBC2BC3, ColourHalfIsAlwaysFourColour)
{
    // color0 < color1 would be three-colour in a DXT1 block; in DXT3/DXT5 index 3 is the
    // second third, (170, 0, 85) for blue then red
    const std::vector<u8> color = colorBlock(0x001F, 0xF800, 3);
    const std::vector<u8> explicitAlpha(8, 0x88); // nibble 8 -> 0x88
    expectTexels(decodeOne(TC::DXT3, concat(explicitAlpha, color)), { 170, 0, 85, 0x88 });
    expectTexels(decodeOne(TC::DXT5, concat(alphaBlock(200, 100, 0), color)), { 170, 0, 85, 200 });
    expectTexels(decodeOne(TC::DXT5_SRGB, concat(alphaBlock(200, 100, 1), colorBlock(0x001F, 0xF800, 2))),
                 { 85, 0, 170, 100 });
}

TEST(BlockBC2BC3, ExplicitAlphaNibblesInTexelOrder)
{
    std::vector<u8> alpha(8);
    for (int i = 0; i < 8; ++i)
        alpha[i] = u8((2 * i) | ((2 * i + 1) << 4)); // texel t has nibble t
    const std::vector<u8> out = decodeOne(TC::DXT3, concat(alpha, colorBlock(0xFFFF, 0, 0)));
    for (int t = 0; t < 16; ++t)
        EXPECT_EQ(out[t * 4 + 3], t * 17) << t;
}

TEST(BlockAlpha, InterpolatedPalettes)
{
    struct Case
    {
        u8 a0, a1;
        u8 palette[8];
    };
    const Case cases[] = {
        { 255, 0, { 255, 0, 218, 182, 145, 109, 72, 36 } },   // eight values, truncating
        { 128, 128, { 128, 128, 128, 128, 128, 128, 0, 255 } }, // equal: six values + 0, 255
        { 10, 200, { 10, 200, 48, 86, 124, 162, 0, 255 } },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << int(c.a0) << " " << int(c.a1));
        const std::vector<u8> ramp = alphaRamp(c.a0, c.a1);
        const std::vector<u8> dxt5 = decodeOne(TC::DXT5, concat(ramp, colorBlock(0, 0, 0)));
        const std::vector<u8> x = decodeOne(TC::AMD_3DC_X, ramp);
        const std::vector<u8> atci = decodeOne(TC::ATC_RGBA_INTERPOLATED_ALPHA, concat(ramp, colorBlock(0, 0, 0)));
        for (int t = 0; t < 16; ++t)
        {
            EXPECT_EQ(dxt5[t * 4 + 3], c.palette[t % 8]) << t;
            EXPECT_EQ(x[t], c.palette[t % 8]) << t;
            EXPECT_EQ(atci[t * 4 + 3], c.palette[t % 8]) << t;
        }
    }
}

TEST(Block3DC, TwoChannelsIntoTheirOwnBytes)
{
    const std::vector<u8> out = decodeOne(TC::AMD_3DC_XY, concat(alphaBlock(40, 30, 0), alphaBlock(90, 80, 1)));
    ASSERT_EQ(out.size(), 32u);
    expectTexels(out, { 40, 80 }, 2);
}

TEST(BlockATC, BothModes)
{
    struct Case
    {
        TC code;
        std::vector<u8> block;
        std::initializer_list<u8> texel; // B, G, R, A
    };
    // color0 5:5:5 (bit 15 mode), color1 5:6:5
    const Case cases[] = {
        { TC::ATC_RGB, colorBlock(0x7C00, 0x001F, 0), { 0, 0, 255, 255 } },        // C0 red
        { TC::ATC_RGB, colorBlock(0x7C00, 0x001F, 1), { 95, 0, 159, 255 } },       // (5 C0 + 3 C1) / 8
        { TC::ATC_RGB, colorBlock(0x7C00, 0x001F, 2), { 159, 0, 95, 255 } },       // (3 C0 + 5 C1) / 8
        { TC::ATC_RGB, colorBlock(0x7C00, 0x001F, 3), { 255, 0, 0, 255 } },        // C1 blue
        { TC::ATC_RGB, colorBlock(0x8000 | 0x7C00, 0x001F, 0), { 0, 0, 0, 255 } },
        // C0 - C1 / 4 per channel, modulo 256: blue 0 - 63 = 193
        { TC::ATC_RGB, colorBlock(0x8000 | 0x7C00, 0x001F, 1), { 193, 0, 255, 255 } },
        { TC::ATC_RGB, colorBlock(0x8000 | 0x7C00, 0x001F, 2), { 0, 0, 255, 255 } },
        { TC::ATC_RGB, colorBlock(0x8000 | 0x7C00, 0xFFFF, 3), { 255, 255, 255, 255 } },
        { TC::ATC_RGBA_EXPLICIT_ALPHA, concat(std::vector<u8>(8, 0x33), colorBlock(0x03E0, 0, 0)), { 0, 255, 0, 0x33 } },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.block[0] | (c.block[1] << 8)));
        expectTexels(decodeOne(c.code, c.block), c.texel);
    }
}

TEST(BlockBC4BC5, UnsignedAndSignedPalettes)
{
    struct Case
    {
        TC code;
        std::vector<u8> block;
        int texel;
        float red, green;
    };
    const Case cases[] = {
        { TC::RGTC1_RED, alphaRamp(255, 0), 2, 6.0f / 7.0f, 0.0f },
        { TC::RGTC1_RED, alphaRamp(0, 255), 6, 0.0f, 0.0f },
        { TC::RGTC1_RED, alphaRamp(0, 255), 7, 1.0f, 0.0f },
        { TC::RGTC1_RED, alphaRamp(51, 51), 3, 0.2f, 0.0f },
        // signed: 0x80 and 0x81 are both -1, and -128 is not greater than -127 (six values)
        { TC::RGTC1_SIGNED_RED, alphaRamp(0x80, 0x81), 0, -1.0f, 0.0f },
        { TC::RGTC1_SIGNED_RED, alphaRamp(0x80, 0x81), 6, -1.0f, 0.0f },
        { TC::RGTC1_SIGNED_RED, alphaRamp(0x80, 0x81), 7, 1.0f, 0.0f },
        { TC::RGTC1_SIGNED_RED, alphaRamp(127, 0x81), 1, -1.0f, 0.0f },
        { TC::RGTC1_SIGNED_RED, alphaRamp(127, 0x81), 4, (4.0f - 3.0f) / 7.0f, 0.0f }, // 4/7 - 3/7
        { TC::RGTC2_RG, concat(alphaBlock(255, 0, 0), alphaBlock(255, 0, 1)), 5, 1.0f, 0.0f },
        { TC::RGTC2_SIGNED_RG, concat(alphaBlock(0x81, 127, 7), alphaBlock(0x81, 127, 6)), 9, 1.0f, -1.0f },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << int(c.code) << " texel " << c.texel);
        const std::vector<float> f = decodeFloats(c.code, c.block);
        ASSERT_EQ(f.size(), 64u);
        EXPECT_NEAR(f[c.texel * 4 + 0], c.red, 1e-6f);
        EXPECT_NEAR(f[c.texel * 4 + 1], c.green, 1e-6f);
        EXPECT_EQ(f[c.texel * 4 + 2], 0.0f);
        EXPECT_EQ(f[c.texel * 4 + 3], 1.0f);
    }
}

TEST(BlockPacked, FloatWords)
{
    const float inf = std::numeric_limits<float>::infinity();
    struct Case
    {
        TC code;
        u32 word;
        float r, g, b;
    };
    const Case cases[] = {
        { TC::RGB9_E5, 0x80000100, 1.0f, 0.0f, 0.0f },                  // e 16, red 256
        { TC::RGB9_E5, (24u << 27) | (3u << 18) | (5u << 9) | 7u, 7.0f, 5.0f, 3.0f },
        { TC::RGB9_E5, (31u << 27) | 511u, 511.0f * 128.0f, 0.0f, 0.0f },
        { TC::RGB9_E5, 1u, 1.0f / 16777216.0f, 0.0f, 0.0f },
        { TC::R11F_G11F_B10F, 15u << 6, 1.0f, 0.0f, 0.0f },
        { TC::R11F_G11F_B10F, 1u, 0x1p-20f, 0.0f, 0.0f },
        { TC::R11F_G11F_B10F, 1u << 22, 0.0f, 0.0f, 0x1p-19f },
        { TC::R11F_G11F_B10F, (31u << 17) | (16u << 27) | (16u << 22), 0.0f, inf, 3.0f },
        { TC::R10F_G11F_B11F, (15u << 5) | (14u << 16) | (1u << 10) | (17u << 27), 1.0f, 0.5f + 0.5f / 64.0f, 4.0f },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << c.word);
        const std::vector<float> f = decodeFloats(c.code, { u8(c.word), u8(c.word >> 8), u8(c.word >> 16), u8(c.word >> 24) });
        EXPECT_EQ(f[0], c.r);
        EXPECT_EQ(f[1], c.g);
        EXPECT_EQ(f[2], c.b);
        EXPECT_EQ(f[3], 1.0f);
    }
    // exponent 31 with a mantissa is a NaN
    const std::vector<float> nan = decodeFloats(TC::R11F_G11F_B10F, { 0xC1, 0x07, 0, 0 });
    EXPECT_TRUE(std::isnan(nan[0]));
}

TEST(BlockPacked, TwoTexelWords)
{
    struct Case
    {
        TC code;
        std::vector<u8> word;
        std::vector<u8> texels;
    };
    const Case cases[] = {
        { TC::G8R8_G8B8, { 10, 20, 30, 40 }, { 20, 10, 40, 255, 20, 30, 40, 255 } },
        { TC::R8G8_B8G8, { 10, 20, 30, 40 }, { 10, 20, 30, 255, 10, 40, 30, 255 } },
        // studio white and black
        { TC::UYVY, { 0x80, 0xEB, 0x80, 0x10 }, { 255, 255, 255, 255, 0, 0, 0, 255 } },
        { TC::YUY2, { 0xEB, 0x80, 0x10, 0x80 }, { 255, 255, 255, 255, 0, 0, 0, 255 } },
        // (81, 90, 240) is BT.601 studio red; Y = 255 with V = 255 clamps red, and a
        // negative green clamps at 0 (arithmetic shift of the signed sum)
        { TC::UYVY, { 90, 81, 240, 255 }, { 255, 0, 0, 255, 255, 202, 202, 255 } },
        { TC::YUY2, { 255, 128, 16, 255 }, { 255, 175, 255, 255, 203, 0, 0, 255 } },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(int(c.code));
        EXPECT_EQ(decodeOne(c.code, c.word), c.texels);
    }
}
