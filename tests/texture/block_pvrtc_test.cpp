// PVRTC 1: basisu's 4 bpp files against basisu's own decode (square, wide, tall, small, a mip
// chain down to 1 x 1 with levels below 2 x 2 words stored unpadded, and a PVR file), known
// answers derived by hand for the 2 bpp modulation modes and both upscales, the word order
// of non-square grids, and small or odd levels that must stay inside their data.

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <norva/image/decoder.hpp>
#include <norva/image/surface.hpp>
#include <norva/image/texture.hpp>

#include "imagekit/imagekit.hpp"
#include "texture/texture_private.hpp"

using namespace norva;
using TC = TextureCompression;
using imagekit::Bytes;
using imagekit::Image;

namespace
{
    // One 64-bit word: modulation, then colour, little-endian.
    void putWord(u8* p, u32 modulation, u32 color)
    {
        for (int i = 0; i < 4; ++i)
        {
            p[i] = u8(modulation >> (8 * i));
            p[4 + i] = u8(color >> (8 * i));
        }
    }

    // Decodes data through the driver into an RGBA 8888 image of width x height.
    Image decode(TC code, int width, int height, const std::vector<u8>& data)
    {
        const TextureCompressionInfo info(code);
        Bitmap bitmap(width, height, Format::RGBA8888);
        const ImageDecodeStatus status = info.decompress(bitmap, ConstMemory(data.data(), data.size()));
        EXPECT_TRUE(status.success) << status.info;
        return imagekit::fromSurface(bitmap);
    }

    // Level `level` of a container file, in RGBA 8888.
    Image decodeFile(const std::string& name, int level)
    {
        const Bytes file = imagekit::readFixture(name);
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), name.substr(name.rfind('.')));
        const ImageHeader header = decoder.header();
        EXPECT_TRUE(header.success) << header.info;
        if (!header.success)
            return {};
        Bitmap bitmap(std::max(header.width >> level, 1), std::max(header.height >> level, 1), Format::RGBA8888);
        const ImageDecodeStatus status = decoder.decode(bitmap, ImageDecodeOptions(), level, 0, 0);
        EXPECT_TRUE(status.success) << status.info;
        return imagekit::fromSurface(bitmap);
    }
} // namespace

TEST(PVRTC, FourBitFilesDecodeLikeBasisu)
{
    struct Row
    {
        const char* file;
        int level;
        const char* reference;
        TC code;
    };
    const Row rows[] = {
        { "ktx_pvrtc4_square.ktx", 0, "ktx_pvrtc4_square.basisu.ref.pam", TC::PVRTC_RGBA_4BPP },
        { "ktx_pvrtc4_rgb_wide.ktx", 0, "ktx_pvrtc4_rgb_wide.basisu.ref.pam", TC::PVRTC_RGB_4BPP },
        { "ktx_pvrtc4_tall.ktx", 0, "ktx_pvrtc4_tall.basisu.ref.pam", TC::PVRTC_RGBA_4BPP },
        { "ktx_pvrtc4_small.ktx", 0, "ktx_pvrtc4_small.basisu.ref.pam", TC::PVRTC_RGBA_4BPP },
        { "pvr_v3_pvrtc4.pvr", 0, "ktx_pvrtc4_square.basisu.ref.pam", TC::PVRTC_RGBA_4BPP },
        { "ktx_pvrtc4_mips.ktx", 0, "ktx_pvrtc4_mips_l0.basisu.ref.pam", TC::PVRTC_RGBA_4BPP },
        { "ktx_pvrtc4_mips.ktx", 1, "ktx_pvrtc4_mips_l1.basisu.ref.pam", TC::PVRTC_RGBA_4BPP },
        { "ktx_pvrtc4_mips.ktx", 2, "ktx_pvrtc4_mips_l2.basisu.ref.pam", TC::PVRTC_RGBA_4BPP },
        { "ktx_pvrtc4_mips.ktx", 3, "ktx_pvrtc4_mips_l3.basisu.ref.pam", TC::PVRTC_RGBA_4BPP },
        { "ktx_pvrtc4_mips.ktx", 4, "ktx_pvrtc4_mips_l4.basisu.ref.pam", TC::PVRTC_RGBA_4BPP },
        { "ktx_pvrtc4_mips.ktx", 5, "ktx_pvrtc4_mips_l5.basisu.ref.pam", TC::PVRTC_RGBA_4BPP },
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::string(row.file) + " level " + std::to_string(row.level));
        const Bytes file = imagekit::readFixture(row.file);
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), std::string(row.file).substr(std::string(row.file).rfind('.')));
        EXPECT_EQ(decoder.header().compression, u32(row.code));

        const Image ours = decodeFile(row.file, row.level);
        const Image reference = imagekit::readPAM(imagekit::readFixture(row.reference));
        ASSERT_FALSE(reference.empty());
        const imagekit::Difference d = imagekit::difference(ours, reference);
        EXPECT_LE(d.max, 0) << "mean " << d.mean;
    }
}

namespace
{
    // Opaque colour A black, opaque colour B white: a texel of modulation m reads 255 m / 8.
    constexpr u32 blackToWhite = 0xFFFF8000;

    // A 16 x 8 image at 2 bpp (the smallest level, 2 x 2 words) of four copies of one word:
    // both colour upscales are flat, so texel (x, y) shows the modulation of (x % 8, y % 4),
    // neighbours wrapping into the next copy.
    std::vector<u8> fourCopies(u32 modulation, u32 color)
    {
        std::vector<u8> data(32);
        for (int i = 0; i < 4; ++i)
            putWord(data.data() + 8 * i, modulation, color);
        return data;
    }

    int gray(int m)
    {
        return 255 * m / 8;
    }
} // namespace

TEST(PVRTC, TwoBitModulationModesMatchHandDerivedValues)
{
    // Interpolated rows below: the stored texels ((x + y) even) carry 2-bit codes, four per
    // row in texel order (codes 0..3 are 0, 3, 5, 8); the others average their neighbours.
    // Code 0's low bit chooses the sub-mode (0: both directions) and then reads as its high
    // bit; with a sub-mode, code 10's low bit says vertical (1) or horizontal (0) and
    // likewise reads as its high bit.
    struct Case
    {
        const char* name;
        u32 modulation;
        u32 colorFlag;
        int expected[4][8];
    };
    const Case cases[] = {
        // one bit per texel: 0 or 8
        { "direct", 0x0F0F3C81, 0,
          { { 8, 0, 0, 0, 0, 0, 0, 8 }, { 0, 0, 8, 8, 8, 8, 0, 0 }, { 8, 8, 8, 8, 0, 0, 0, 0 }, { 8, 8, 8, 8, 0, 0, 0, 0 } } },
        // codes 2,0,3,1 / 0,3,0,3 / 3,0,0,3 / 1,2,3,0; (l + r + u + d + 2) >> 2
        { "both", 0x39C3CC72, 1,
          { { 8, 3, 0, 5, 8, 5, 3, 5 }, { 6, 0, 2, 8, 4, 0, 5, 8 }, { 8, 3, 0, 3, 0, 4, 8, 6 }, { 5, 3, 2, 5, 5, 8, 5, 0 } } },
        // codes 1,3,1,2 / 2,2,0,1 / 3,1,2,0 / 0,3,1,2; (l + r + 1) >> 1
        { "horizontal", 0x9C274A9D, 1,
          { { 0, 4, 8, 6, 3, 4, 5, 3 }, { 4, 5, 5, 5, 3, 0, 2, 3 }, { 8, 6, 3, 6, 8, 4, 0, 4 }, { 3, 0, 4, 8, 6, 3, 4, 5 } } },
        // codes 1,2,3,0 / 3,1,1,0 / 0,2,3,1 / 2,0,3,3; (u + d + 1) >> 1
        { "vertical", 0xF2781739, 1,
          { { 0, 7, 5, 2, 8, 6, 0, 4 }, { 0, 8, 5, 3, 8, 3, 2, 0 }, { 0, 7, 5, 2, 8, 6, 3, 4 }, { 0, 5, 5, 0, 8, 8, 2, 8 } } },
    };
    for (TC code : { TC::PVRTC_RGBA_2BPP, TC::PVRTC_RGB_2BPP, TC::PVRTC_SRGB_ALPHA_2BPP })
    {
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(u32(code)));
            const Image image = decode(code, 16, 8, fourCopies(c.modulation, blackToWhite | c.colorFlag));
            ASSERT_EQ(image.width, 16);
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 16; ++x)
                {
                    const int expected = gray(c.expected[y % 4][x % 8]);
                    ASSERT_EQ(image.at(x, y, 0), expected) << x << ", " << y;
                    ASSERT_EQ(image.at(x, y, 1), expected) << x << ", " << y;
                    ASSERT_EQ(image.at(x, y, 2), expected) << x << ", " << y;
                    ASSERT_EQ(image.at(x, y, 3), 255) << x << ", " << y;
                }
        }
    }
}

TEST(PVRTC, FourBitModulationAndPunchThrough)
{
    // texel codes 0,1,2,3 / 3,2,1,0 / 1,1,2,2 / 0,3,0,3 in an 8 x 8 image of four copies
    const int codes[4][4] = { { 0, 1, 2, 3 }, { 3, 2, 1, 0 }, { 1, 1, 2, 2 }, { 0, 3, 0, 3 } };
    for (bool punch : { false, true })
    {
        const Image image = decode(TC::PVRTC_RGBA_4BPP, 8, 8, fourCopies(0xCCA51BE4, blackToWhite | (punch ? 1 : 0)));
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
            {
                const int code = codes[y % 4][x % 4];
                // 0, 3, 5, 8 eighths; punch-through 0, 4, 4 (alpha 0), 8
                const int m = punch ? (code == 0 ? 0 : code == 3 ? 8 : 4) : (code == 0 ? 0 : code == 1 ? 3 : code == 2 ? 5 : 8);
                ASSERT_EQ(image.at(x, y, 0), gray(m)) << x << ", " << y << " punch " << punch;
                ASSERT_EQ(image.at(x, y, 3), punch && code == 2 ? 0 : 255) << x << ", " << y << " punch " << punch;
            }
    }

    // modulation 0: colour A; 0xFFFFFFFF: colour B. A opaque (31, 31, 15 of 4 bits) is white.
    const u32 colorA = 0x8000 | (31 << 10) | (31 << 5) | (15 << 1);
    Image image = decode(TC::PVRTC_RGBA_4BPP, 8, 8, fourCopies(0, colorA));
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(image.at(5, 6, c), 255);
    // B translucent: alpha 3 x 2 of 15, red 9, green 4, blue 12 of 4 bits
    const u32 colorB = (3u << 28) | (9u << 24) | (4u << 20) | (12u << 16);
    image = decode(TC::PVRTC_RGBA_4BPP, 8, 8, fourCopies(0xFFFFFFFF, colorB | colorA));
    EXPECT_EQ(image.at(1, 2, 0), ((9 << 1 | 9 >> 3) << 3) | ((9 << 1 | 9 >> 3) >> 2));
    EXPECT_EQ(image.at(1, 2, 1), ((4 << 1 | 4 >> 3) << 3) | ((4 << 1 | 4 >> 3) >> 2));
    EXPECT_EQ(image.at(1, 2, 2), ((12 << 1 | 12 >> 3) << 3) | ((12 << 1 | 12 >> 3) >> 2));
    EXPECT_EQ(image.at(1, 2, 3), 6 * 17);
}

TEST(PVRTC, ColorsUpscaleBilinearlyBetweenWordCentres)
{
    // Word 0 (block (0, 0)) holds a colour, the other three transparent black; modulation 0
    // shows colour A. Weights fall off linearly from the word's centre, wrapping around.
    struct Texel
    {
        int x, y, red, alpha;
    };
    // 2 bpp, 16 x 8: translucent A, alpha 7 x 2, red 15 of 4 bits (31 of 5); the sum over
    // weights (8 - |dx|)(4 - |dy|) of 32 becomes (v >> 7) + (v >> 2), alpha (v >> 5) + (v >> 1)
    const Texel twoBits[] = {
        { 4, 2, 255, 238 }, { 5, 3, 167, 156 }, { 0, 0, 63, 59 }, { 8, 4, 63, 59 }, { 12, 6, 0, 0 }, { 15, 7, 23, 22 },
    };
    std::vector<u8> data(32, 0);
    putWord(data.data(), 0, 0x7F00);
    Image image = decode(TC::PVRTC_RGBA_2BPP, 16, 8, data);
    for (const Texel& t : twoBits)
    {
        EXPECT_EQ(image.at(t.x, t.y, 0), t.red) << t.x << ", " << t.y;
        EXPECT_EQ(image.at(t.x, t.y, 1), 0) << t.x << ", " << t.y;
        EXPECT_EQ(image.at(t.x, t.y, 3), t.alpha) << t.x << ", " << t.y;
    }

    // 4 bpp, 8 x 8: weights (4 - |dx|)(4 - |dy|) of 16, (v >> 6) + (v >> 1), (v >> 4) + v
    const Texel fourBits[] = {
        { 2, 2, 255, 238 }, { 3, 3, 143, 133 }, { 0, 0, 63, 59 }, { 4, 4, 63, 59 }, { 6, 6, 0, 0 }, { 1, 2, 191, 178 },
    };
    image = decode(TC::PVRTC_RGBA_4BPP, 8, 8, data);
    for (const Texel& t : fourBits)
    {
        EXPECT_EQ(image.at(t.x, t.y, 0), t.red) << t.x << ", " << t.y;
        EXPECT_EQ(image.at(t.x, t.y, 3), t.alpha) << t.x << ", " << t.y;
    }
}

namespace
{
    // Word (x, y) of a columns x rows grid: the low bits of both coordinates interleave (y
    // first) up to the smaller side, the longer side's remaining bits follow.
    u64 wordIndex(u32 x, u32 y, u32 columns, u32 rows)
    {
        const u32 smaller = std::min(columns, rows);
        u64 index = 0;
        int bit = 0;
        for (u32 s = 1; s < smaller; s <<= 1, bit += 2)
        {
            index |= u64((y & s) != 0) << bit;
            index |= u64((x & s) != 0) << (bit + 1);
        }
        return index | (u64(columns > rows ? x / smaller : y / smaller) << bit);
    }
} // namespace

TEST(PVRTC, NonSquareGridsInterleaveTheSmallerSideAndAppendTheRest)
{
    // basisu's 32 x 16 4 bpp image: block (4, 0) is word 16
    EXPECT_EQ(wordIndex(4, 0, 8, 4), 16u);

    // Every word a flat opaque colour naming its position in memory; the texel at a word's
    // centre takes that word alone, so the centres spell out the word order.
    struct Size
    {
        TC code;
        int width, height, ww;
    };
    const Size sizes[] = {
        { TC::PVRTC_RGBA_4BPP, 32, 16, 4 }, { TC::PVRTC_RGBA_4BPP, 8, 32, 4 }, { TC::PVRTC_RGBA_4BPP, 128, 8, 4 },
        { TC::PVRTC_RGBA_4BPP, 16, 16, 4 }, { TC::PVRTC_RGBA_2BPP, 64, 8, 8 }, { TC::PVRTC_RGBA_2BPP, 16, 64, 8 },
        { TC::PVRTC_SRGB_4BPP, 16, 64, 4 }, { TC::PVRTC_SRGB_2BPP, 128, 16, 8 },
    };
    for (const Size& size : sizes)
    {
        SCOPED_TRACE(std::to_string(size.width) + " x " + std::to_string(size.height) + " ww " + std::to_string(size.ww));
        const u32 columns = u32(size.width / size.ww);
        const u32 rows = u32(size.height / 4);
        std::vector<u8> data(size_t(columns) * rows * 8);
        for (u32 i = 0; i < columns * rows; ++i)
            putWord(data.data() + 8 * i, 0, 0x8000 | ((i & 31) << 10) | (((i >> 5) & 31) << 5));
        const Image image = decode(size.code, size.width, size.height, data);
        ASSERT_EQ(image.width, size.width);
        for (u32 y = 0; y < rows; ++y)
            for (u32 x = 0; x < columns; ++x)
            {
                const u64 i = wordIndex(x, y, columns, rows);
                const int cx = int(x) * size.ww + size.ww / 2;
                const int cy = int(y) * 4 + 2;
                ASSERT_EQ(image.at(cx, cy, 0), int((i & 31) << 3 | (i & 31) >> 2)) << "word " << x << ", " << y;
                ASSERT_EQ(image.at(cx, cy, 1), int(((i >> 5) & 31) << 3 | ((i >> 5) & 31) >> 2)) << "word " << x << ", " << y;
            }
    }
}

TEST(PVRTC, SmallAndNonSquareLevelsStayInsideTheirData)
{
    // Random words in an allocation of exactly the level's size (padded to 2 x 2 words, or
    // unpadded), so the sanitizers see any read past it; every texel is written (two
    // different fills give the same picture) and nothing beyond the destination's rows.
    std::mt19937 random(114);
    const TC codes[] = { TC::PVRTC_RGBA_4BPP, TC::PVRTC_RGB_2BPP, TC::PVRTC_SRGB_ALPHA_4BPP, TC::PVRTC_SRGB_2BPP };
    const int sizes[][2] = { { 1, 1 }, { 2, 1 }, { 4, 4 }, { 8, 4 }, { 8, 8 }, { 16, 8 }, { 8, 32 }, { 32, 8 },
                             { 4, 128 }, { 256, 4 }, { 64, 2 }, { 16, 16 }, { 64, 128 } };
    int decoded = 0;
    for (TC code : codes)
    {
        const TextureCompressionInfo info(code);
        for (const auto& size : sizes)
        {
            const int width = size[0], height = size[1];
            SCOPED_TRACE(std::to_string(u32(code)) + " " + std::to_string(width) + " x " + std::to_string(height));
            for (bool padded : { true, false })
            {
                const u64 bytes = padded ? info.getBlockDataSize(width, height) : getLeastBlockDataSize(info, width, height);
                std::unique_ptr<u8[]> data(new u8[bytes]);
                for (u64 i = 0; i < bytes; ++i)
                    data[i] = u8(random());

                const int gap = 8;
                const int stride = width * 4 + gap;
                std::vector<u8> out[2];
                for (int f = 0; f < 2; ++f)
                {
                    out[f].assign(size_t(stride) * height, u8(f ? 0xFF : 0x00));
                    Surface dest(width, height, Format::RGBA8888, stride, out[f].data());
                    const ImageDecodeStatus status = info.decompress(dest, ConstMemory(data.get(), bytes));
                    ASSERT_TRUE(status.success) << status.info;
                    for (int y = 0; y < height; ++y)
                        for (int i = 0; i < gap; ++i)
                            ASSERT_EQ(out[f][size_t(y) * stride + width * 4 + i], u8(f ? 0xFF : 0x00));
                }
                for (int y = 0; y < height; ++y)
                    ASSERT_EQ(0, std::memcmp(&out[0][size_t(y) * stride], &out[1][size_t(y) * stride], size_t(width) * 4));
                ++decoded;
            }

            // a byte short of the unpadded level is refused
            const u64 least = getLeastBlockDataSize(info, width, height);
            std::vector<u8> shorter(least - 1);
            std::vector<u8> pixels(size_t(width) * height * 4);
            Surface dest(width, height, Format::RGBA8888, width * 4, pixels.data());
            EXPECT_FALSE(info.decompress(dest, ConstMemory(shorter.data(), shorter.size())).success);
        }
    }
    EXPECT_EQ(decoded, 4 * 13 * 2);
}

TEST(PVRTC, CalledDirectlyTheCodecKeepsToItsGrid)
{
    // A grid that cannot wrap (not a power of two of whole words) gets the error colour and
    // no reads; codes other than the PVRTC ones write nothing.
    TextureCompressionInfo info(TC::PVRTC_RGBA_4BPP);
    info.width = 12;
    info.height = 8;
    std::vector<u8> out(12 * 8 * 4, 0);
    info.decode(info, out.data(), nullptr, 12 * 4);
    for (size_t i = 0; i < out.size(); i += 4)
    {
        ASSERT_EQ(out[i + 0], 255);
        ASSERT_EQ(out[i + 1], 0);
        ASSERT_EQ(out[i + 2], 255);
        ASSERT_EQ(out[i + 3], 255);
    }

    TextureCompressionInfo other(TC::PVRTC2_RGBA_4BPP);
    other.width = 8;
    other.height = 8;
    std::vector<u8> data(32, 0xFF);
    std::vector<u8> untouched(8 * 8 * 4, 0x5A);
    info.decode(other, untouched.data(), data.data(), 8 * 4);
    EXPECT_EQ(std::count(untouched.begin(), untouched.end(), 0x5A), 8 * 8 * 4);

    // the sRGB rows decode their words like the linear ones
    std::mt19937 random(7);
    std::vector<u8> words(32 * 16 / 2);
    for (u8& b : words)
        b = u8(random());
    EXPECT_TRUE(imagekit::sameImage(decode(TC::PVRTC_SRGB_ALPHA_4BPP, 32, 16, words), decode(TC::PVRTC_RGBA_4BPP, 32, 16, words)));
    EXPECT_TRUE(imagekit::sameImage(decode(TC::PVRTC_SRGB_2BPP, 32, 16, std::vector<u8>(words.begin(), words.begin() + 128)),
                                    decode(TC::PVRTC_RGB_2BPP, 32, 16, std::vector<u8>(words.begin(), words.begin() + 128))));
}
