// Block encoders (DXT1/3/5, BC4/BC5 unsigned and signed, ETC1) through the compress driver
// and the PKM writer: exact blocks for the cases the formats hold exactly, quality floors
// on a photograph measured through our own decoders, ETC1/PKM bytes equal to etc1tool's,
// identical output on one thread and on the pool, the same BC1 colour blocks and BC4
// indices from the scalar and SIMD code, and the RGBA 8888 to float conversion for the float rows. Fixtures: tests/fixtures/texture/make_encode_fixtures.sh.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include <imagekit/imagekit.hpp>
#include <norva/core/cpu.hpp>
#include <norva/core/endian.hpp>
#include <norva/core/stream.hpp>
#include <norva/core/thread.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/surface.hpp>
#include <norva/image/texture.hpp>

#include "texture/block/block_bc4_indices.hpp"
#include "texture/block/block_bc7_indices.hpp"
#include "texture/block/block_bc7_lines.hpp"
#include "texture/block/block_bptc.hpp"
#include "texture/block/block_dxt_color.hpp"
#include "texture/block/block_rgtc.hpp"

using namespace norva;
using TC = TextureCompression;

namespace
{
    using Bytes = std::vector<u8>;

    // An RGBA 8888 picture in memory.
    struct Picture
    {
        int width = 0;
        int height = 0;
        Bytes rgba;

        Surface surface() const
        {
            return Surface(width, height, Format::RGBA8888, width * 4, const_cast<u8*>(rgba.data()));
        }
        const u8* at(int x, int y) const { return &rgba[(size_t(y) * width + x) * 4]; }
    };

    Picture fromImage(const imagekit::Image& image)
    {
        Picture p { image.width, image.height, Bytes(size_t(image.width) * image.height * 4) };
        for (size_t i = 0; i < p.rgba.size(); ++i)
            p.rgba[i] = u8(image.rgba[i]);
        return p;
    }

    const Picture& photo()
    {
        static const Picture picture = [] {
            const imagekit::Decoded decoded = imagekit::decodeNative(imagekit::readFixture("photo_grace_hopper.jpg"), ".jpg");
            EXPECT_TRUE(decoded.status.success) << decoded.status.info;
            return fromImage(decoded.image);
        }();
        return picture;
    }

    Bytes compress(TC code, const Surface& source, ThreadPool* pool = nullptr)
    {
        const TextureCompressionInfo info(code);
        Bytes blocks(size_t(info.getBlockDataSize(source.width, source.height)), 0xEE);
        const Memory output(blocks.data(), blocks.size());
        const ImageDecodeStatus status = pool ? info.compress(output, source, *pool) : info.compress(output, source);
        EXPECT_TRUE(status.success) << status.info;
        return blocks;
    }

    Picture decompress(TC code, const Bytes& blocks, int width, int height)
    {
        Picture p { width, height, Bytes(size_t(width) * height * 4) };
        const ImageDecodeStatus status =
            TextureCompressionInfo(code).decompress(p.surface(), ConstMemory(blocks.data(), blocks.size()));
        EXPECT_TRUE(status.success) << status.info;
        return p;
    }

    // PSNR of the channels in `mask` (bit c for channel c) against the 8-bit peak.
    double psnr(const Picture& a, const Picture& b, int mask)
    {
        double sum = 0;
        u64 count = 0;
        for (size_t i = 0; i < a.rgba.size(); ++i)
        {
            if (!(mask & (1 << (i % 4))))
                continue;
            const double d = double(a.rgba[i]) - double(b.rgba[i]);
            sum += d * d;
            ++count;
        }
        if (sum == 0)
            return 99.0;
        return 10.0 * std::log10(255.0 * 255.0 / (sum / double(count)));
    }

    // One 4 x 4 block of four floats per texel.
    struct FloatBlock
    {
        float texels[16][4] = {};

        Surface surface() { return Surface(4, 4, Format::RGBA32F, 64, reinterpret_cast<u8*>(texels)); }
    };

    // The SSE2 kernel of a seam and, when this CPU has it, the AVX2 one: each a function of
    // its own, not the scalar one.
    template <typename Function>
    void simdKernels(Function (*get)(CPUFlags), const char* what, std::vector<Function>& simds)
    {
        const Function scalar = get(0);
        simds = { get(CPU_SSE2) };
        if (getCPUFlags() & CPU_AVX2)
            simds.push_back(get(CPU_SSE2 | CPU_AVX2));
        else
            std::printf("    no AVX2 on this CPU: the AVX2 %s is not checked\n", what);
        for (Function simd : simds)
            ASSERT_NE(scalar, simd);
        if (simds.size() == 2)
        {
            ASSERT_NE(simds[0], simds[1]);
        }
    }

} // namespace

TEST(BlockEncoders, ExactBlocks)
{
    // texel i of a 4 x 4 RGBA 8888 block
    using Fill = std::function<void(int i, u8* rgba)>;
    struct Case
    {
        const char* name;
        TC code;
        Fill fill;
        Bytes expected;       // the block's bytes; empty: only the decode is checked
        bool decodesExactly;  // the decoded RGBA equals the source
    };
    auto solid = [](u8 r, u8 g, u8 b, u8 a) {
        return [=](int, u8* p) { p[0] = r, p[1] = g, p[2] = b, p[3] = a; };
    };
    // 5:6:5 colour 0xF81F (255, 0, 255), twice, indices 0
    const Bytes magenta565 = { 0x1F, 0xF8, 0x1F, 0xF8, 0, 0, 0, 0 };
    const Case cases[] = {
        { "DXT1 solid colour of the 5:6:5 grid", TC::DXT1, solid(255, 0, 255, 255), magenta565, true },
        { "DXT1A all transparent", TC::DXT1_ALPHA, solid(90, 30, 200, 0),
          { 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF }, false },
        { "DXT1A holes get index 3", TC::DXT1_ALPHA,
          [](int i, u8* p) { p[0] = (i & 1) ? 255 : 0, p[1] = 0, p[2] = 0, p[3] = (i % 5 == 0) ? 0 : 255; }, {}, false },
        { "DXT3 alpha 128 is nibble 8", TC::DXT3, solid(0, 0, 0, 128),
          { 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0, 0, 0, 0, 0, 0, 0, 0 }, false },
        { "DXT5 opaque", TC::DXT5, solid(255, 0, 255, 255),
          { 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0x1F, 0xF8, 0x1F, 0xF8, 0, 0, 0, 0 }, true },
        { "DXT5 alpha 0 and 255", TC::DXT5,
          [](int i, u8* p) { p[0] = 255, p[1] = 0, p[2] = 255, p[3] = (i * 7 % 3) ? 255 : 0; }, {}, true },
        { "DXT5 alpha 0, 255 and between", TC::DXT5,
          [](int i, u8* p) { p[0] = 0, p[1] = 0, p[2] = 0, p[3] = i == 0 ? 0 : i == 1 ? 255 : 100; }, {}, true },
        { "BC4 all zero", TC::RGTC1_RED, solid(0, 0, 0, 255),
          { 0xFF, 0x00, 0x49, 0x92, 0x24, 0x49, 0x92, 0x24 }, false },
        { "BC4 two levels", TC::RGTC1_RED, [](int i, u8* p) { p[0] = (i & 4) ? 200 : 40, p[1] = p[2] = 0, p[3] = 255; },
          {}, false },
        // both halves differential with equal colours: 5-bit 16, 8, 25 widened to 132, 66, 206
        // (the nearest 5-bit grid point of every channel) and table 0's +2
        { "ETC1 solid colour", TC::ETC1_RGB, solid(134, 68, 208, 255), {}, false },
    };

    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Picture source { 4, 4, Bytes(64) };
        for (int i = 0; i < 16; ++i)
            c.fill(i, &source.rgba[i * 4]);
        const Bytes block = compress(c.code, source.surface());
        if (!c.expected.empty())
        {
            EXPECT_EQ(block, c.expected);
        }

        const Picture decoded = decompress(c.code, block, 4, 4);
        if (c.decodesExactly)
        {
            EXPECT_EQ(decoded.rgba, source.rgba);
        }

        if (c.code == TC::DXT1_ALPHA)
        {
            // transparent texels stay transparent (black), the others opaque and exact
            for (int i = 0; i < 16; ++i)
            {
                const bool hole = source.rgba[i * 4 + 3] == 0;
                EXPECT_EQ(decoded.rgba[i * 4 + 3], hole ? 0 : 255) << i;
                if (!hole)
                {
                    EXPECT_EQ(decoded.rgba[i * 4], source.rgba[i * 4]) << i;
                }
            }
            if (c.expected.empty())
            {
                EXPECT_LE(loadLE16(&block[0]), loadLE16(&block[2])) << "three-colour mode";
            }
        }
        if (c.code == TC::RGTC1_RED)
        {
            for (int i = 0; i < 16; ++i)
                EXPECT_EQ(decoded.rgba[i * 4], source.rgba[i * 4]) << i;
        }
        if (c.code == TC::ETC1_RGB)
        {
            EXPECT_EQ(loadBE32(&block[0]), 0x8040C802u) << "differential, no flip, deltas 0, tables 0";
            for (int i = 0; i < 16; ++i)
            {
                EXPECT_EQ(decoded.rgba[i * 4 + 0], 134) << i;
                EXPECT_EQ(decoded.rgba[i * 4 + 1], 68) << i;
                EXPECT_EQ(decoded.rgba[i * 4 + 2], 208) << i;
            }
        }
    }
}

TEST(BlockEncoders, SignedChannelsHoldTheRangeEndsExactly)
{
    struct Case
    {
        const char* name;
        TC code;
        int channels;
    };
    const Case cases[] = { { "BC4 signed", TC::RGTC1_SIGNED_RED, 1 }, { "BC5 signed", TC::RGTC2_SIGNED_RG, 2 } };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        FloatBlock source;
        for (int i = 0; i < 16; ++i)
        {
            const float values[4] = { -1.0f, 1.0f, 0.25f, -0.5f };
            source.texels[i][0] = values[i % 4];
            source.texels[i][1] = values[(i / 4) % 4];
            source.texels[i][3] = 1.0f;
        }
        const Bytes block = compress(c.code, source.surface());

        FloatBlock decoded;
        const TextureCompressionInfo info(c.code);
        ASSERT_TRUE(info.decompress(decoded.surface(), ConstMemory(block.data(), block.size())).success);
        for (int i = 0; i < 16; ++i)
            for (int ch = 0; ch < c.channels; ++ch)
            {
                const float v = source.texels[i][ch];
                if (v == -1.0f || v == 1.0f)
                    EXPECT_EQ(decoded.texels[i][ch], v) << i << " " << ch;
                else
                    EXPECT_NEAR(decoded.texels[i][ch], v, 1.0f / 127.0f) << i << " " << ch;
            }
        // six-value mode: the first byte is not above the second (as signed bytes)
        for (int ch = 0; ch < c.channels; ++ch)
            EXPECT_LE(s8(block[ch * 8]), s8(block[ch * 8 + 1]));
    }

    // all 1.0: the fit meets itself, bytes 127 and -127, every texel index 0
    FloatBlock ones;
    for (auto& t : ones.texels)
        t[0] = t[3] = 1.0f;
    EXPECT_EQ(compress(TC::RGTC1_SIGNED_RED, ones.surface()), (Bytes { 0x7F, 0x81, 0, 0, 0, 0, 0, 0 }));
}

TEST(BlockEncoders, FloatChannelsOutsideTheRangeAreClamped)
{
    // NaN, infinities and values past the ends: the fit sees them clamped (NaN as the
    // minimum), so the block holds the range ends and nothing overflows a conversion
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float odd[] = { nan, inf, -inf, 1e30f, -1e30f, 2.0f, -2.0f, 0.5f };
    for (TC code : { TC::RGTC1_RED, TC::RGTC1_SIGNED_RED, TC::RGTC2_RG, TC::RGTC2_SIGNED_RG })
    {
        SCOPED_TRACE(int(code));
        const bool isSigned = code == TC::RGTC1_SIGNED_RED || code == TC::RGTC2_SIGNED_RG;
        const float minimum = isSigned ? -1.0f : 0.0f;
        FloatBlock source;
        for (int i = 0; i < 16; ++i)
        {
            source.texels[i][0] = odd[i % 8];
            source.texels[i][1] = odd[(i + 3) % 8];
        }
        const Bytes block = compress(code, source.surface());
        FloatBlock decoded;
        ASSERT_TRUE(TextureCompressionInfo(code)
                        .decompress(decoded.surface(), ConstMemory(block.data(), block.size()))
                        .success);
        for (int i = 0; i < 16; ++i)
        {
            const float v = source.texels[i][0];
            const float expected = v >= minimum ? std::min(v, 1.0f) : minimum;
            EXPECT_NEAR(decoded.texels[i][0], expected, 1.0f / 64.0f) << i;
        }
    }
}

TEST(BlockEncoders, QualityOnThePhotograph)
{
    const Picture& source = photo();
    ASSERT_EQ(source.width, 512);
    ASSERT_EQ(source.height, 600);

    struct Case
    {
        const char* name;
        TC code;
        int channels; // mask of the channels measured
        double floor; // dB
    };
    // The floors sit below what the searches reach (BC1 34.2, BC4 41.7, ETC1 35.5 dB); an
    // index-map, endpoint-order or packing fault costs several dB.
    const Case cases[] = {
        { "BC1", TC::DXT1, 7, 34.0 },
        { "BC1 with alpha", TC::DXT1_ALPHA, 7, 34.0 },
        { "BC2 colour", TC::DXT3, 7, 34.0 },
        { "BC3 colour", TC::DXT5, 7, 34.0 },
        { "BC4 red", TC::RGTC1_RED, 1, 41.0 },
        { "BC5 red", TC::RGTC2_RG, 1, 41.0 },
        { "BC5 green", TC::RGTC2_RG, 2, 41.0 },
        { "ETC1", TC::ETC1_RGB, 7, 35.0 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const Bytes blocks = compress(c.code, source.surface());
        const Picture decoded = decompress(c.code, blocks, source.width, source.height);
        const double db = psnr(decoded, source, c.channels);
        EXPECT_GE(db, c.floor);
        RecordProperty(c.name, std::to_string(db));
        std::printf("    %-16s %.2f dB\n", c.name, db);
    }
}

TEST(BlockEncoders, AlphaOnThePhotograph)
{
    // photo luminance as alpha: BC3 alpha reaches BC4's quality, BC2 its 4-bit steps
    Picture source = photo();
    for (size_t i = 0; i < source.rgba.size(); i += 4)
        source.rgba[i + 3] = source.rgba[i + 1];
    const Bytes dxt5 = compress(TC::DXT5, source.surface());
    EXPECT_GE(psnr(decompress(TC::DXT5, dxt5, source.width, source.height), source, 8), 41.0);
    const Bytes dxt3 = compress(TC::DXT3, source.surface());
    EXPECT_GE(psnr(decompress(TC::DXT3, dxt3, source.width, source.height), source, 8), 33.0);
}

TEST(BlockEncoders, BC1HolesDoNotPullTheColours)
{
    // the photo with every seventh texel transparent: what colour the holes hold must not
    // change a block, and the opaque texels keep most of the four-colour quality
    Picture holes = photo();
    Picture junk = holes;
    for (size_t i = 0; i < holes.rgba.size() / 4; ++i)
        if (i % 7 == 3)
        {
            holes.rgba[i * 4 + 3] = 0;
            junk.rgba[i * 4 + 3] = 0;
            junk.rgba[i * 4 + 0] = u8(i * 97);
            junk.rgba[i * 4 + 1] = u8(i * 31);
            junk.rgba[i * 4 + 2] = u8(255 - i);
        }
    const Bytes blocks = compress(TC::DXT1_ALPHA, holes.surface());
    EXPECT_TRUE(blocks == compress(TC::DXT1_ALPHA, junk.surface()));

    Picture decoded = decompress(TC::DXT1_ALPHA, blocks, holes.width, holes.height);
    int threeColour = 0;
    for (size_t b = 0; b < blocks.size(); b += 8)
        threeColour += loadLE16(&blocks[b]) <= loadLE16(&blocks[b + 2]);
    EXPECT_EQ(threeColour, int(blocks.size() / 8));
    for (size_t i = 0; i < holes.rgba.size(); i += 4)
    {
        ASSERT_EQ(decoded.rgba[i + 3], holes.rgba[i + 3]) << i / 4;
        if (holes.rgba[i + 3] == 0)
            std::memcpy(&decoded.rgba[i], &holes.rgba[i], 4); // measure the opaque texels
    }
    const double db = psnr(decoded, holes, 7);
    std::printf("    BC1 with holes   %.2f dB\n", db);
    EXPECT_GE(db, 32.0);
}

TEST(BlockEncoders, BC1ColourBlocksAreTheSameOnScalarAndSIMD)
{
    if (!(getCPUFlags() & CPU_SSE2))
        GTEST_SKIP() << "no SSE2 on this CPU";
    const dxtcolor::Encoder scalar = dxtcolor::getEncoder(0);
    const dxtcolor::Encoder simd = dxtcolor::getEncoder(CPU_SSE2);
    ASSERT_NE(scalar, simd);

    // every block of the photo, opaque and with alpha-0 holes; random blocks of wide and of
    // narrow spread (mostly transparent ones among them); and flat or nearly flat blocks
    std::vector<Bytes> blocks;
    const Picture& source = photo();
    for (int by = 0; by + 4 <= source.height; by += 4)
        for (int bx = 0; bx + 4 <= source.width; bx += 4)
        {
            Bytes block(64);
            for (int y = 0; y < 4; ++y)
                std::memcpy(&block[y * 16], source.at(bx, by + y), 16);
            blocks.push_back(block);
            for (int i = 0; i < 16; ++i)
                block[i * 4 + 3] = ((bx + by / 4 + i) % 5 == 0) ? 0 : 255;
            blocks.push_back(block);
        }
    u32 seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u, seed >> 24; };
    for (int n = 0; n < 4000; ++n)
    {
        Bytes block(64);
        const u32 base = next();
        const u32 spread = (n & 1) ? 256 : 1 + n % 7;
        for (int i = 0; i < 64; ++i)
            block[i] = u8((base + next() % spread) & 255);
        for (int i = 0; i < 16; ++i)
            block[i * 4 + 3] = (n % 3 == 0) ? u8(next() < 200 ? 0 : 255) : u8(next());
        blocks.push_back(block);
    }
    for (u8 v : { 0, 1, 128, 254, 255 })
    {
        blocks.push_back(Bytes(64, v));
        Bytes block(64, v);
        block[5] ^= 1;
        blocks.push_back(block);
    }

    size_t differ = 0;
    std::vector<u8> seen(8 * blocks.size());
    for (size_t n = 0; n < blocks.size(); ++n)
        for (bool colorKey : { false, true })
        {
            u8 a[8];
            u8 b[8];
            std::memset(a, 0xEE, 8);
            std::memset(b, 0x11, 8);
            scalar(a, blocks[n].data(), 16, colorKey);
            simd(b, blocks[n].data(), 16, colorKey);
            ASSERT_EQ(std::memcmp(a, b, 8), 0) << "block " << n << (colorKey ? " with colour key" : "");
            differ += std::memcmp(a, &seen[8 * n], 8) != 0;
            std::memcpy(&seen[8 * n], a, 8);
        }
    // the blocks were encoded (and not all alike)
    EXPECT_GT(differ, blocks.size());
}

TEST(BlockEncoders, BC4IndicesAreTheSameOnScalarAndSIMD)
{
    if (!(getCPUFlags() & CPU_SSE2))
        GTEST_SKIP() << "no SSE2 on this CPU";
    const bc4indices::Chooser scalar = bc4indices::getChooser(0);
    const bc4indices::Chooser simd = bc4indices::getChooser(CPU_SSE2);
    ASSERT_NE(scalar, simd);

    // both palette modes of random endpoint bytes; values random, on palette entries and
    // half-way between two (the tie goes to the lower index), signed and unsigned
    u32 seed = 777;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u, seed >> 16; };
    int ties = 0;
    for (int n = 0; n < 20000; ++n)
    {
        u8 endpoints[2] = { u8(next()), u8(next()) };
        float palette[8];
        if (n & 1)
            channelPaletteSigned(palette, endpoints);
        else
            channelPaletteUnsigned(palette, endpoints);
        float values[16];
        for (int i = 0; i < 16; ++i)
        {
            const int a = next() % 8;
            const int b = next() % 8;
            switch (next() % 3)
            {
            case 0: values[i] = float(next() % 65536) / 65535.0f * ((n & 1) ? 2.0f : 1.0f) - ((n & 1) ? 1.0f : 0.0f); break;
            case 1: values[i] = palette[a]; break;
            default:
                values[i] = (palette[a] + palette[b]) * 0.5f;
                ties += a != b;
                break;
            }
        }
        const u64 expected = scalar(palette, values);
        ASSERT_EQ(simd(palette, values), expected) << n;
        // every index is the nearest entry
        for (int i = 0; i < 16; ++i)
        {
            const int k = int(expected >> (3 * i)) & 7;
            for (int other = 0; other < 8; ++other)
                ASSERT_LE(std::abs(palette[k] - values[i]), std::abs(palette[other] - values[i])) << n << " " << i;
        }
    }
    EXPECT_GT(ties, 10000);
}

TEST(BlockEncoders, BC7IndicesAreTheSameOnScalarAndSIMD)
{
    if (!(getCPUFlags() & CPU_SSE2))
        GTEST_SKIP() << "no SSE2 on this CPU";
    const bc7indices::Search scalar = bc7indices::getSearch(0);
    std::vector<bc7indices::Search> simds;
    ASSERT_NO_FATAL_FAILURE(simdKernels(bc7indices::getSearch, "search", simds));

    // 2-, 3- and 4-bit palettes over four, three (alpha 0) and one channel, 1 to 16 texels:
    // random texels, texels on an entry and texels half-way between two (ties go to the
    // lower index); endpoints random or at the ends of the range
    u32 seed = 4242;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u, seed >> 16; };
    int ties = 0;
    for (int n = 0; n < 30000; ++n)
    {
        const int bits = 2 + n % 3;
        const int channels = (n / 3) % 3 == 0 ? 4 : (n / 3) % 3 == 1 ? 3 : 1;
        const int count = 1 + int(next() % 16);
        const int* weights = bptc::weightsFor(bits);
        int a[4] = {};
        int b[4] = {};
        for (int c = 0; c < channels; ++c)
        {
            a[c] = (n % 7 == 0) ? 0 : int(next() % 256);
            b[c] = (n % 7 == 0) ? 255 : int(next() % 256);
        }
        int palette[16][4];
        for (int j = 0; j < (1 << bits); ++j)
            for (int c = 0; c < 4; ++c)
                palette[j][c] = bptc::interpolate(a[c], b[c], weights[j]);
        u8 texels[16][4] = {};
        for (int i = 0; i < 16; ++i)
        {
            const int p = int(next() % (1u << bits));
            const int q = int(next() % (1u << bits));
            const int kind = int(next() % 3);
            for (int c = 0; c < channels; ++c)
                texels[i][c] = u8(kind == 0 ? int(next() % 256) : kind == 1 ? palette[p][c]
                                                                            : (palette[p][c] + palette[q][c]) / 2);
            ties += kind == 2 && p != q;
        }
        u8 expected[16];
        u8 got[16];
        std::memset(expected, 0xEE, 16);
        std::memset(got, 0xEE, 16);
        const int error = scalar(texels, count, a, b, weights, 1 << bits, expected);
        for (bc7indices::Search simd : simds)
        {
            ASSERT_EQ(simd(texels, count, a, b, weights, 1 << bits, got), error) << n;
            ASSERT_EQ(std::memcmp(expected, got, 16), 0) << n;
        }
        // the error is that of the chosen entries, and only `count` indices are written
        int sum = 0;
        for (int i = 0; i < count; ++i)
            for (int c = 0; c < 4; ++c)
                sum += (texels[i][c] - palette[expected[i]][c]) * (texels[i][c] - palette[expected[i]][c]);
        ASSERT_EQ(sum, error) << n;
        for (int i = count; i < 16; ++i)
            ASSERT_EQ(got[i], 0xEE) << n;
    }
    EXPECT_GT(ties, 50000);
}

TEST(BlockEncoders, BC7ShapeFitsAreTheSameOnScalarAndSIMD)
{
    if (!(getCPUFlags() & CPU_SSE2))
        GTEST_SKIP() << "no SSE2 on this CPU";
    // (AVX2 fits regions only through its shape fitter, checked below)
    const bc7lines::Fitter scalar = bc7lines::getFitter(0);
    const std::vector<bc7lines::Fitter> simds = { bc7lines::getFitter(CPU_SSE2) };
    ASSERT_NE(scalar, simds[0]);
    ASSERT_EQ(bc7lines::getFitter(CPU_SSE2 | CPU_AVX2), simds[0]);

    // the sums of random subsets of random blocks: empty regions, one and two texels, flat
    // regions, one channel flat, narrow and wide spreads
    u32 seed = 99;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u, seed >> 16; };
    constexpr int regions = 4004;
    std::vector<int> sums(size_t(regions) * 16, 0);
    int flat = 0;
    int pairs = 0;
    int empty = 0;
    for (int n = 0; n < regions; ++n)
    {
        int* v = &sums[size_t(n) * 16];
        const int kind = n % 5;
        const int texels = kind == 0 ? n % 3 : 1 + int(next() % 16);
        const int base = int(next() % 256);
        const int spread = kind == 1 ? 1 : kind == 2 ? 4 : 256;
        for (int i = 0; i < texels; ++i)
        {
            int t[4];
            for (int c = 0; c < 4; ++c)
                t[c] = kind == 3 && c == 1 ? base : (base + int(next() % spread)) % 256;
            v[0] += 1;
            for (int c = 0; c < 4; ++c)
            {
                v[1 + c] += t[c];
                for (int d = c; d < 4; ++d)
                    v[bc7lines::productIndex[c][d]] += t[c] * t[d];
            }
        }
    }
    const auto* table = reinterpret_cast<const int(*)[16]>(sums.data());
    std::vector<bc7lines::LineFit> a(regions);
    scalar(table, regions, a.data());
    for (int n = 0; n < regions; ++n)
    {
        ASSERT_EQ(a[n].count, sums[size_t(n) * 16]) << n;
        ASSERT_LE(a[n].major, a[n].total) << n;
        ASSERT_GE(a[n].major, 0.0f) << n;
        flat += a[n].flat && a[n].count > 1;
        pairs += a[n].count == 2;
        empty += a[n].count == 0 && a[n].flat && a[n].total == 0.0f;
    }
    // the cases came up (and the fits are not all alike)
    EXPECT_GT(flat, 200);
    EXPECT_GT(pairs, 200);
    EXPECT_GT(empty, 200);
    EXPECT_NE(a[10].total, a[14].total);

    // every fitter on the whole table and on short runs (none, one step of four, eight and
    // four more), starting anywhere: fits[0..count) written as the scalar ones, bit for bit,
    // and nothing after them
    struct Run
    {
        int start;
        int count;
    };
    const Run runs[] = { { 0, regions }, { 0, 0 }, { 40, 4 }, { 13, 8 }, { 101, 12 }, { 3, 20 } };
    int compared = 0;
    for (bc7lines::Fitter simd : simds)
        for (const Run& run : runs)
        {
            SCOPED_TRACE(run.count);
            std::vector<bc7lines::LineFit> b(size_t(run.count) + 4);
            std::memset(b.data(), 0xEE, b.size() * sizeof b[0]);
            simd(table + run.start, run.count, b.data());
            for (int k = 0; k < run.count; ++k)
            {
                const bc7lines::LineFit& x = a[run.start + k];
                ASSERT_EQ(x.count, b[k].count) << k;
                ASSERT_EQ(std::memcmp(&x.total, &b[k].total, 4), 0) << k << " " << x.total << " " << b[k].total;
                ASSERT_EQ(std::memcmp(&x.major, &b[k].major, 4), 0) << k << " " << x.major << " " << b[k].major;
                ASSERT_EQ(x.flat, b[k].flat) << k;
                ++compared;
            }
            for (size_t k = size_t(run.count); k < b.size(); ++k)
                for (size_t byte = 0; byte < sizeof b[k]; ++byte)
                    ASSERT_EQ(reinterpret_cast<const u8*>(&b[k])[byte], 0xEE) << k;
        }
    EXPECT_EQ(compared, int(simds.size()) * (regions + 4 + 8 + 12 + 20));
}

TEST(BlockEncoders, BC7ShapeFitsFromRowSumsAreTheFitsOfEachRegion)
{
    if (!(getCPUFlags() & CPU_SSE2))
        GTEST_SKIP() << "no SSE2 on this CPU";
    std::vector<bc7lines::ShapeFitter> fitters;
    ASSERT_NO_FATAL_FAILURE(simdKernels(bc7lines::getShapeFitter, "shape fits from row sums", fitters));
    // the encoder runs the widest the CPU has
    EXPECT_EQ(bc7lines::shapeFitter(), fitters.back());
    fitters.insert(fitters.begin(), bc7lines::getShapeFitter(0));

    // the sums of a set of texels, added up texel by texel
    auto sumsOf = [](const u8 (*texels)[4], unsigned mask, int* v) {
        std::fill(v, v + 16, 0);
        for (int i = 0; i < 16; ++i)
        {
            if (!(mask >> i & 1))
                continue;
            v[0] += 1;
            for (int c = 0; c < 4; ++c)
            {
                v[1 + c] += texels[i][c];
                for (int d = c; d < 4; ++d)
                    v[bc7lines::productIndex[c][d]] += texels[i][c] * texels[i][d];
            }
        }
    };

    // random blocks, narrow spreads, one channel flat, two colours and one; the BPTC shapes
    // and random masks, which leave regions empty or of one or two texels
    u32 seed = 777;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u, seed >> 16; };
    static constexpr int rgba[4] = { 0, 1, 2, 3 };
    int compared = 0;
    int empty = 0;
    int flat = 0;
    for (int n = 0; n < 600; ++n)
    {
        const int kind = n % 5;
        u8 texels[16][4];
        const int base = int(next() % 200);
        for (int i = 0; i < 16; ++i)
            for (int c = 0; c < 4; ++c)
            {
                const int random = int(next() % 256);
                texels[i][c] = u8(kind == 0 ? random : kind == 1 ? base + random % 8 : kind == 2 ? (c == (n / 5) % 4 ? base : random)
                                  : kind == 3 ? (random & 1 ? base : 255 - base) : base);
            }
        int rows[4][16][16];
        for (int r = 0; r < 4; ++r)
            for (int subset = 0; subset < 16; ++subset)
                sumsOf(texels, unsigned(subset) << (4 * r), rows[r][subset]);
        int whole[16];
        sumsOf(texels, 0xFFFF, whole);

        const bool real = n % 2 == 0;
        const int regions = 2 + (n / 2) % 2;
        u16 masks[64][2];
        for (int s = 0; s < 64; ++s)
        {
            if (real && regions == 2)
                masks[s][0] = detail::bptcShapes2[s];
            for (int j = 0; real && regions == 3 && j < 2; ++j)
            {
                masks[s][j] = 0;
                for (int i = 0; i < 16; ++i)
                    masks[s][j] = u16(masks[s][j] | (((detail::bptcShapes3[s] >> (2 * i)) & 3) == u32(j + 1) ? 1u << i : 0u));
            }
            if (!real)
            {
                // some masks of every texel or none, the rest sparse or dense
                const unsigned pick = next() % 8;
                const unsigned random = pick == 0 ? 0u : pick == 1 ? 0xFFFFu : (next() ^ (next() << 8)) & 0xFFFF;
                masks[s][0] = u16(pick < 4 ? random & next() & next() : random);
                masks[s][1] = u16(~masks[s][0] & (next() | (pick == 2 ? 0xFFFF : 0)));
            }
        }
        // the masks as the fitters read them: regions - 1 a shape
        u16 packed[64 * 2];
        for (int s = 0; s < 64; ++s)
            for (int j = 0; j + 1 < regions; ++j)
                packed[s * (regions - 1) + j] = masks[s][j];

        // over red, green and blue, and over all four channels
        for (int channels = 3; channels <= 4; ++channels)
        {
            auto fit = [&](const int* v) { return channels == 3 ? bc7lines::fitLine<3>(v, rgba) : bc7lines::fitLine<4>(v, rgba); };
            std::vector<bc7lines::LineFit> expected(64 * 3);
            for (int s = 0; s < 64; ++s)
            {
                unsigned rest = 0xFFFF;
                for (int j = 1; j < regions; ++j)
                {
                    int v[16];
                    sumsOf(texels, masks[s][j - 1], v);
                    expected[size_t(s * regions + j)] = fit(v);
                    rest &= ~unsigned(masks[s][j - 1]);
                }
                int v[16];
                sumsOf(texels, rest, v);
                expected[size_t(s * regions)] = fit(v);
            }
            // all 64 shapes, or the first eight alone
            const int shapes = n % 7 == 3 ? 8 : 64;
            for (bc7lines::ShapeFitter fitter : fitters)
            {
                SCOPED_TRACE(channels);
                std::vector<bc7lines::LineFit> got(64 * 3 + 4);
                std::memset(got.data(), 0xEE, got.size() * sizeof got[0]);
                fitter(rows, whole, packed, regions, shapes, channels, got.data());
                for (int k = 0; k < shapes * regions; ++k)
                {
                    const bc7lines::LineFit& x = expected[size_t(k)];
                    ASSERT_EQ(x.count, got[k].count) << n << " " << k;
                    ASSERT_EQ(std::memcmp(&x.total, &got[k].total, 4), 0) << n << " " << k << " " << x.total << " " << got[k].total;
                    ASSERT_EQ(std::memcmp(&x.major, &got[k].major, 4), 0) << n << " " << k << " " << x.major << " " << got[k].major;
                    ASSERT_EQ(x.flat, got[k].flat) << n << " " << k;
                    ++compared;
                    empty += x.count == 0;
                    flat += x.flat && x.count > 2;
                }
                for (size_t k = size_t(shapes * regions); k < got.size(); ++k)
                    for (size_t byte = 0; byte < sizeof got[k]; ++byte)
                        ASSERT_EQ(reinterpret_cast<const u8*>(&got[k])[byte], 0xEE) << n << " " << k;
            }
        }
    }
    EXPECT_GT(compared, 2 * 3 * 250 * 64 * 2);
    EXPECT_GT(empty, 1000);
    EXPECT_GT(flat, 10000);
}

TEST(BlockEncoders, SameBytesOnOneThreadAndOnThePool)
{
    ThreadPool single(1);
    single.shutdown(); // every block row runs on the calling thread

    // 5 x 3 tiles of the photo: edge blocks in both directions
    const Picture& source = photo();
    const Surface cut(source.surface(), 3, 5, 509, 590);
    const TC codes[] = { TC::DXT1, TC::DXT1_ALPHA, TC::DXT3, TC::DXT5, TC::RGTC1_RED, TC::RGTC1_SIGNED_RED,
                         TC::RGTC2_RG, TC::RGTC2_SIGNED_RG, TC::ETC1_RGB };
    for (TC code : codes)
    {
        SCOPED_TRACE(int(code));
        const Bytes a = compress(code, cut, &single);
        const Bytes b = compress(code, cut);
        ASSERT_EQ(a.size(), b.size());
        EXPECT_TRUE(a == b);
        EXPECT_EQ(std::count(a.begin(), a.end(), u8(0xEE)) < std::ptrdiff_t(a.size() / 8), true) << "written";
    }
}

TEST(BlockEncoders, FloatRowsConvertTheirSourceAndRefuseWhatCannotBeConverted)
{
    // an RGBA 8888 gradient into the float BC4/BC5 rows: red x * 16, green y * 16
    Picture source { 16, 16, Bytes(16 * 16 * 4) };
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
        {
            u8* p = &source.rgba[(y * 16 + x) * 4];
            p[0] = u8(x * 16), p[1] = u8(y * 16), p[2] = 77, p[3] = 255;
        }
    for (TC code : { TC::RGTC1_RED, TC::RGTC2_RG })
    {
        const Bytes blocks = compress(code, source.surface());
        const Picture decoded = decompress(code, blocks, 16, 16);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
            {
                EXPECT_NEAR(decoded.at(x, y)[0], x * 16, 2) << x << "," << y;
                if (code == TC::RGTC2_RG)
                {
                    EXPECT_NEAR(decoded.at(x, y)[1], y * 16, 2) << x << "," << y;
                }
            }
    }

    // a source format the Blitter has no conversion for fails instead of encoding nothing
    const Format none;
    Bytes pixels(64 * 4, 0);
    const Surface unconvertible(8, 8, none, 32, pixels.data());
    for (TC code : { TC::RGTC1_RED, TC::DXT1, TC::ETC1_RGB })
    {
        const TextureCompressionInfo info(code);
        Bytes blocks(size_t(info.getBlockDataSize(8, 8)), 0xEE);
        const ImageDecodeStatus status = info.compress(Memory(blocks.data(), blocks.size()), unconvertible);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, "[TextureCompression] No conversion into the encoder's format.");
        EXPECT_EQ(std::count(blocks.begin(), blocks.end(), u8(0xEE)), std::ptrdiff_t(blocks.size()));
    }
}

TEST(BlockEncoders, EdgeBlocksRepeatTheEdgePixels)
{
    // 6 x 5: the last block column and row are padded with the edge colours, so a picture of
    // two flat colours split at x = 4 stays exact in every encoder
    Picture source { 6, 5, Bytes(6 * 5 * 4) };
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x)
        {
            u8* p = &source.rgba[(y * 6 + x) * 4];
            const bool right = x >= 4;
            p[0] = right ? 255 : 0, p[1] = 0, p[2] = right ? 0 : 255, p[3] = 255;
        }
    for (TC code : { TC::DXT1, TC::DXT5, TC::RGTC2_RG })
    {
        SCOPED_TRACE(int(code));
        const Picture decoded = decompress(code, compress(code, source.surface()), 6, 5);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 6; ++x)
                for (int c = 0; c < (code == TC::RGTC2_RG ? 2 : 3); ++c)
                    ASSERT_EQ(decoded.at(x, y)[c], source.at(x, y)[c]) << x << "," << y << " " << c;
    }
}

TEST(BlockEncoders, ETC1AndPKMMatchEtc1tool)
{
    ImageEncodeFunc encode = getImageEncoder(".pkm");
    ASSERT_NE(encode, nullptr);

    const char* names[] = { "encode_photo_4x4", "encode_photo_face", "encode_photo_medals", "encode_synthetic" };
    for (const char* name : names)
    {
        SCOPED_TRACE(name);
        const Picture source = fromImage(imagekit::decodeLibpng(imagekit::readFixture(std::string(name) + ".png")));
        ASSERT_GT(source.width, 0);
        const Bytes expected = imagekit::readFixture(std::string(name) + ".etc1tool.ref.bin");
        ASSERT_EQ(expected.size(), 16 + size_t(source.width) * source.height / 2);

        MemoryStream stream;
        const ImageEncodeStatus status = encode(stream, source.surface(), ImageEncodeOptions());
        ASSERT_TRUE(status.success) << status.info;
        const ConstMemory view = stream;
        const Bytes written(view.address, view.address + view.size);
        ASSERT_EQ(written.size(), expected.size());
        EXPECT_TRUE(std::equal(written.begin(), written.begin() + 16, expected.begin())) << "header";
        size_t differing = 0;
        for (size_t i = 16; i < written.size(); i += 8)
            differing += std::memcmp(&written[i], &expected[i], 8) != 0;
        EXPECT_EQ(differing, 0u) << "blocks differing from etc1tool's";
    }
}

TEST(BlockEncoders, PKMHeaderOfAPartialImage)
{
    // "PKM 10", format 0, padded 8 x 4, real 5 x 3 (big-endian), then 2 x 1 blocks
    ImageEncodeFunc encode = getImageEncoder(".pkm");
    ASSERT_NE(encode, nullptr);
    const Picture& p = photo();
    MemoryStream stream;
    const ImageEncodeStatus status = encode(stream, Surface(p.surface(), 100, 100, 5, 3), ImageEncodeOptions());
    ASSERT_TRUE(status.success) << status.info;
    ASSERT_EQ(stream.size(), 32u);
    const u8 header[16] = { 'P', 'K', 'M', ' ', '1', '0', 0, 0, 0, 8, 0, 4, 0, 5, 0, 3 };
    const ConstMemory view = stream;
    EXPECT_EQ(std::memcmp(view.address, header, 16), 0);

    // the blocks are those of the sub-image with its edges repeated
    Picture padded { 8, 4, Bytes(8 * 4 * 4) };
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            std::memcpy(&padded.rgba[(y * 8 + x) * 4], p.at(100 + std::min(x, 4), 100 + std::min(y, 2)), 4);
    const Bytes blocks = compress(TC::ETC1_RGB, padded.surface());
    EXPECT_EQ(std::memcmp(view.address + 16, blocks.data(), 16), 0);

    // sizes past the 16-bit header fields fail with the encoder's message, writing nothing
    MemoryStream tall;
    Bitmap big(4, 65536, Format::RGBA8888);
    const ImageEncodeStatus refused = encode(tall, big, ImageEncodeOptions());
    EXPECT_FALSE(refused.success);
    EXPECT_EQ(refused.info.rfind("[ImageEncoder.PKM] ", 0), 0u) << refused.info;
    EXPECT_EQ(tall.size(), 0u);
}
