// ETC1, ETC2 and EAC decoders: known-answer blocks for every mode and the punch-through
// and signed variants, and 512 random blocks per row compared bit for bit with Mesa
// (ETC2/EAC) and etc1tool (ETC1), recorded by tests/fixtures/texture/make_textures.sh.

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <imagekit/imagekit.hpp>
#include <norva/core/endian.hpp>
#include <norva/image/texture.hpp>

using namespace norva;
using TC = TextureCompression;

namespace
{
    using Bytes = std::vector<u8>;

    Bytes word(u64 value)
    {
        Bytes block(8);
        for (int i = 0; i < 8; ++i)
            block[i] = u8(value >> (56 - 8 * i));
        return block;
    }

    // Decodes whole blocks (raster order) of a width x height image in the row's format.
    Bytes decodeBlocks(TC code, const Bytes& blocks, int width, int height)
    {
        const TextureCompressionInfo info(code);
        const int texel = info.format.bytes();
        const int stride = width * texel;
        Bytes out(size_t(stride) * height, 0xCC);
        const u8* block = blocks.data();
        for (int y = 0; y < height; y += 4)
            for (int x = 0; x < width; x += 4)
            {
                info.decode(info, out.data() + size_t(y) * stride + x * texel, block, stride);
                block += info.bytes;
            }
        EXPECT_EQ(size_t(block - blocks.data()), blocks.size());
        return out;
    }

    // The RGBA bytes of texel i = 4x + y of a single decoded block.
    std::vector<u32> texels(TC code, const Bytes& block)
    {
        const Bytes out = decodeBlocks(code, block, 4, 4);
        std::vector<u32> result(16);
        for (int x = 0; x < 4; ++x)
            for (int y = 0; y < 4; ++y)
            {
                const u8* p = &out[(y * 4 + x) * 4];
                result[4 * x + y] = u32(p[0]) << 24 | u32(p[1]) << 16 | u32(p[2]) << 8 | p[3];
            }
        return result;
    }

    // Texel i takes the 2-bit colour index i % 4.
    constexpr u64 rampIndices = 0xCCCCAAAAull;

    std::vector<s16> eacValues(TC code, const Bytes& block)
    {
        const Bytes out = decodeBlocks(code, block, 4, 4);
        std::vector<s16> values(out.size() / 2);
        std::memcpy(values.data(), out.data(), out.size());
        return values;
    }

} // namespace

TEST(BlockETC, IndividualDifferentialAndPunchThroughModifiers)
{
    // individual mode, both colours 0x8 (136), table 0 {2, 8}: index = high bit * 2 + low bit
    struct Case
    {
        u64 indices;
        u32 expected;
    };
    const Case cases[] = {
        { 0x00000000, 0x8A8A8AFF }, // 0: +2
        { 0x0000FFFF, 0x909090FF }, // 1: +8
        { 0xFFFF0000, 0x868686FF }, // 2: -2
        { 0xFFFFFFFF, 0x808080FF }, // 3: -8
    };
    for (const Case& c : cases)
        for (TC code : { TC::ETC1_RGB, TC::ETC2_RGB, TC::ETC2_SRGB })
            for (u32 texel : texels(code, word(0x8888880000000000ull | c.indices)))
                EXPECT_EQ(texel, c.expected) << std::hex << u32(code) << " " << c.indices;

    // differential, base 16 (132) and delta 0, bit 33 clear: ETC2 reads individual mode
    // (0x8 / 0x0 nibbles), the punch-through rows a transparent differential block whose
    // index 0 has no modifier
    const u64 diff = 0x8080800000000000ull | rampIndices;
    const std::vector<u32> punch = texels(TC::ETC2_RGB_ALPHA1, word(diff));
    const std::vector<u32> opaque = texels(TC::ETC2_RGB, word(diff));
    for (int i = 0; i < 16; ++i)
    {
        const u32 expected[4] = { 0x848484FF, 0x8C8C8CFF, 0x00000000, 0x7C7C7CFF };
        EXPECT_EQ(punch[i], expected[i % 4]) << i;
        EXPECT_EQ(opaque[i] & 0xFF, 0xFFu) << i;
    }
    EXPECT_EQ(texels(TC::ETC2_SRGB_ALPHA1, word(diff)), punch);

    // differential red 0 - 4 (green and blue 16 + 0, table 0, index 0): ETC1 cuts the sum's
    // expansion to 8 bits (255) in the columns of sub-block 2; ETC2 reads a T-mode block
    const u64 under = 0x0480800200000000ull;
    const std::vector<u32> etc1 = texels(TC::ETC1_RGB, word(under));
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(etc1[i], i < 8 ? 0x028686FFu : 0xFF8686FFu) << i;
    EXPECT_NE(texels(TC::ETC2_RGB, word(under)), etc1);
}

TEST(BlockETC, TAndPlanarModes)
{
    // T mode (red sum 0 - 4): colour 1 black, colour 2 (15, 15, 15), distance 7 (64)
    const u64 tMode = 0x0400FFFF00000000ull | rampIndices;
    const u32 paint[4] = { 0x000000FF, 0xFFFFFFFF, 0xFFFFFFFF, 0xBFBFBFFF };
    const std::vector<u32> t = texels(TC::ETC2_RGB, word(tMode));
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(t[i], paint[i % 4]) << i;

    // the same with the opaque flag clear: index 2 is transparent black with punch-through
    const u64 tClear = tMode & ~(u64(1) << 33);
    const std::vector<u32> tPunch = texels(TC::ETC2_RGB_ALPHA1, word(tClear));
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(tPunch[i], i % 4 == 2 ? 0u : paint[i % 4]) << i;

    // planar (blue sum 0 - 4): O = 0, H red 63, V = 0 gives the red ramp 0, 64, 128, 191 on
    // every row, opaque with punch-through too
    const u64 planar = 0x0000047F00000000ull;
    for (TC code : { TC::ETC2_RGB, TC::ETC2_RGB_ALPHA1 })
    {
        const u64 bits = code == TC::ETC2_RGB ? planar : planar & ~(u64(1) << 33);
        const std::vector<u32> p = texels(code, word(bits));
        const u32 red[4] = { 0, 64, 128, 191 };
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(p[i], red[i / 4] << 24 | 0xFF) << i;
    }
}

TEST(BlockEAC, ElevenBitChannelsWidenToSixteen)
{
    struct Case
    {
        TC code;
        u64 bits; // base, multiplier, table, every texel index 0 unless set
        s16 expected;
    };
    const u64 index7 = 0xFFFFFFFFFFFFull;
    const u64 index4 = 0x924924924924ull;
    const Case cases[] = {
        // 255 * 8 + 4 + 14 * 15 * 8 clamps to 2047 and widens to 0xFFFF
        { TC::EAC_R11, 0xFFF0000000000000ull | index7, s16(-1) },
        { TC::EAC_R11, 0x0000000000000000ull, s16((1 << 5) | 0) },  // 0 * 8 + 4 - 3 = 1
        // signed: 127 + 14 * 15 clamps to 1023, which widens to the maximum 32767
        { TC::EAC_SIGNED_R11, 0x7FF0000000000000ull | index7, 32767 },
        { TC::EAC_SIGNED_R11, 0x81F0000000000000ull, -32767 },     // -127 - 3 * 15: -1023
        // 0x80 is -127: (-127 + 2) * 8 = -1000; with multiplier 0, -127 * 8 + 2 = -1014
        { TC::EAC_SIGNED_R11, 0x8010000000000000ull | index4, -32031 },
        { TC::EAC_SIGNED_R11, 0x8000000000000000ull | index4, -32479 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << std::hex << c.bits);
        for (s16 v : eacValues(c.code, word(c.bits)))
            EXPECT_EQ(v, c.expected);

        // RG11: the second block lands in the second value of every texel
        const TC rg = c.code == TC::EAC_R11 ? TC::EAC_RG11 : TC::EAC_SIGNED_RG11;
        Bytes two = word(0);
        const Bytes second = word(c.bits);
        two.insert(two.end(), second.begin(), second.end());
        const std::vector<s16> values = eacValues(rg, two);
        const std::vector<s16> first = eacValues(c.code, word(0));
        for (int i = 0; i < 16; ++i)
        {
            EXPECT_EQ(values[2 * i], first[i]);
            EXPECT_EQ(values[2 * i + 1], c.expected);
        }
    }

    // EAC alpha of ETC2 RGBA: base 200, multiplier 0 keeps the base; the colour half decodes
    // as ETC2 RGB
    Bytes rgba = word(0xC8000000FFFFFFFFull);
    const Bytes color = word(0x8888880000000000ull);
    rgba.insert(rgba.end(), color.begin(), color.end());
    for (u32 texel : texels(TC::ETC2_RGBA, rgba))
        EXPECT_EQ(texel, 0x8A8A8AC8u);
}

TEST(BlockETC, RandomBlocksMatchMesaAndEtc1tool)
{
    struct Case
    {
        const char* name;
        TC code;
        const char* reference; // a PAM, or Mesa's raw 16-bit channels
    };
    const Case cases[] = {
        { "random_etc1", TC::ETC1_RGB, "random_etc1.etc1tool.ref.pam" },
        { "random_etc2_rgb", TC::ETC2_RGB, "random_etc2_rgb.mesa.ref.pam" },
        { "random_etc2_alpha1", TC::ETC2_RGB_ALPHA1, "random_etc2_alpha1.mesa.ref.pam" },
        { "random_etc2_rgba", TC::ETC2_RGBA, "random_etc2_rgba.mesa.ref.pam" },
        { "random_eac_r11", TC::EAC_R11, "random_eac_r11.mesa.raw" },
        { "random_eac_r11s", TC::EAC_SIGNED_R11, "random_eac_r11s.mesa.raw" },
        { "random_eac_rg11", TC::EAC_RG11, "random_eac_rg11.mesa.raw" },
        { "random_eac_rg11s", TC::EAC_SIGNED_RG11, "random_eac_rg11s.mesa.raw" },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const Bytes blocks = imagekit::readFixture(std::string(c.name) + ".blocks");
        ASSERT_EQ(blocks.size(), size_t(512) * TextureCompressionInfo(c.code).bytes);
        const Bytes ours = decodeBlocks(c.code, blocks, 128, 64);
        const Bytes reference = imagekit::readFixture(c.reference);
        if (std::string(c.reference).ends_with(".raw"))
        {
            ASSERT_EQ(reference.size(), ours.size());
            EXPECT_TRUE(reference == ours);
            continue;
        }
        const imagekit::Image image = imagekit::readPAM(reference);
        ASSERT_EQ(image.width, 128);
        ASSERT_EQ(image.height, 64);
        // etc1tool wraps differential sums outside 0..31 to five bits; such a block is
        // invalid ETC1 and decodes here (as in Mesa) with the sum cut to 8 bits after the
        // expansion: the known-answer test covers it, the comparison leaves it out
        size_t differ = 0;
        int compared = 0;
        for (int b = 0; b < 512; ++b)
        {
            const u64 bits = loadBE64(&blocks[b * 8]);
            bool wraps = false;
            for (int c = 0; c < 3; ++c)
            {
                const int sum = int((bits >> (59 - 8 * c)) & 31) + (int(((bits >> (56 - 8 * c)) & 7) ^ 4) - 4);
                wraps |= (bits >> 33 & 1) && (sum < 0 || sum > 31);
            }
            if (c.code == TC::ETC1_RGB && wraps)
                continue;
            ++compared;
            const int bx = (b % 32) * 4;
            const int by = (b / 32) * 4;
            for (int y = by; y < by + 4; ++y)
                for (int i = bx * 4; i < (bx + 4) * 4; ++i)
                    differ += ours[size_t(y) * 512 + i] != image.rgba[size_t(y) * 512 + i];
        }
        EXPECT_EQ(differ, 0u);
        EXPECT_GT(compared, 400);
    }
}
