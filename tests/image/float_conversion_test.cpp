// Half and float conversions: exhaustive where the domain allows it, against arithmetic
// written apart from the converters and against the processor's own F16C instructions.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <immintrin.h>

#include <norva/core/cpu.hpp>
#include <norva/image/blitter.hpp>
#include <norva/image/surface.hpp>

#include "blitter/blitter_private.hpp"

using namespace norva;

namespace
{

    // The value of a half from its fields, in double.
    double halfValue(u16 h)
    {
        const int sign = h >> 15;
        const int exponent = (h >> 10) & 0x1F;
        const int mantissa = h & 0x3FF;
        double v = exponent == 0 ? std::ldexp(double(mantissa), -24)
                                 : std::ldexp(1.0 + mantissa / 1024.0, exponent - 15);
        return sign ? -v : v;
    }

    __attribute__((target("f16c"))) u16 hardwareFloatToHalf(float f)
    {
        return u16(_cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT));
    }

    template <typename T>
    std::vector<T> convertRow(const Format& dest, const Format& source, const void* src, int count)
    {
        std::vector<T> out(size_t(count) * dest.bytes() / sizeof(T) + 1, T(0x5A));
        // the generic converters: hand-written kernels for common pairs follow rules of their own
        const Blitter blitter = makeBlitter(dest, source, getCPUFlags(), false);
        EXPECT_TRUE(blitter.canConvert());
        BlitRect rect;
        rect.dest = reinterpret_cast<u8*>(out.data());
        rect.src = static_cast<const u8*>(src);
        rect.width = count;
        rect.height = 1;
        blitter.convert(rect);
        return out;
    }

    const Format R32F(32, Format::FLOAT32, Format::RGBA, 32, 0, 0, 0);
    const Format R16F(16, Format::FLOAT16, Format::RGBA, 16, 0, 0, 0);

} // namespace

TEST(HalfFloat, EveryHalfWidensExactly)
{
    std::vector<u16> halves(65536);
    for (u32 i = 0; i < 65536; ++i)
        halves[i] = u16(i);

    // the converter's own function and the FLOAT16 -> FLOAT32 path of the Blitter
    const std::vector<float> widened = convertRow<float>(R32F, R16F, halves.data(), 65536);
    for (u32 i = 0; i < 65536; ++i)
    {
        const u16 h = u16(i);
        const int exponent = (h >> 10) & 0x1F;
        const float f = halfToFloat(h);
        if (exponent == 31)
        {
            // infinities and NaNs keep their payload in the top mantissa bits
            const u32 expected = (u32(h & 0x8000) << 16) | 0x7F800000 | (u32(h & 0x3FF) << 13);
            ASSERT_EQ(std::bit_cast<u32>(f), expected) << std::hex << i;
        }
        else
        {
            ASSERT_EQ(double(f), halfValue(h)) << std::hex << i;
            ASSERT_EQ(std::signbit(f), (h & 0x8000) != 0) << std::hex << i;
        }
        ASSERT_EQ(std::bit_cast<u32>(widened[i]), std::bit_cast<u32>(f)) << std::hex << i;
    }
}

TEST(HalfFloat, NarrowingRoundsToNearestTiesAwayAndKeepsNaN)
{
    struct Case
    {
        float value;
        u16 half;
    };
    const Case cases[] = {
        { 1.0f, 0x3C00 },
        { -2.0f, 0xC000 },
        { 65504.0f, 0x7BFF },
        { 65519.0f, 0x7BFF },
        { 65520.0f, 0x7C00 }, // halfway to the next step: away from zero, into infinity
        { 1e10f, 0x7C00 },
        { std::numeric_limits<float>::infinity(), 0x7C00 },
        { -std::numeric_limits<float>::infinity(), 0xFC00 },
        { 0x1p-24f, 0x0001 },
        { 0x1p-25f, 0x0001 },         // half the smallest subnormal: away from zero
        { 0x1.0p-26f, 0x0000 },
        { 1.0f + 0x1p-11f, 0x3C01 },  // a tie between 0x3C00 and 0x3C01
        { -0.0f, 0x8000 },
        { 0x1p-14f, 0x0400 },         // the smallest normal
        { 0x1.ffcp-15f, 0x0400 },     // 1023.5 subnormal steps: up into the normals
        { 0x1.ff8p-15f, 0x03FF },     // exactly the largest subnormal
    };
    for (const Case& c : cases)
        EXPECT_EQ(floatToHalf(c.value), c.half) << c.value;

    // every NaN stays a NaN, including those whose payload sits below the half's mantissa
    for (u32 payload : { 0x400000u, 0x000001u, 0x001FFFu, 0x7FFFFFu, 0x200000u })
    {
        const u16 h = floatToHalf(std::bit_cast<float>(0x7F800000u | payload));
        EXPECT_EQ(h & 0x7C00, 0x7C00);
        EXPECT_NE(h & 0x3FF, 0) << std::hex << payload;
    }
}

TEST(HalfFloat, NarrowingMatchesF16CExceptOnTies)
{
    if (!(getCPUFlags() & CPU_F16C))
        GTEST_SKIP() << "no F16C on this processor";

    // every half's own value, the midpoints between neighbours and a spread of bit patterns
    std::vector<float> values;
    for (u32 i = 0; i < 0x7C00; ++i)
    {
        const double a = halfValue(u16(i));
        const double b = halfValue(u16(i + 1));
        values.push_back(float(a));
        values.push_back(float((a + b) / 2));
        values.push_back(-float((a + b) / 2));
        values.push_back(std::nextafter(float((a + b) / 2), 0.0f));
    }
    u32 seed = 1;
    for (int i = 0; i < 1 << 20; ++i)
    {
        seed = seed * 1664525u + 1013904223u;
        values.push_back(std::bit_cast<float>(seed));
    }

    for (float f : values)
    {
        const u16 ours = floatToHalf(f);
        const u16 hardware = hardwareFloatToHalf(f);
        if (ours == hardware)
            continue;
        // the hardware rounds ties to even, this code away from zero: only exact ties may differ
        ASSERT_FALSE(std::isnan(f));
        ASSERT_EQ(ours & 0x8000, hardware & 0x8000);
        ASSERT_EQ(ours & 0x7FFF, (hardware & 0x7FFF) + 1) << f;
        const double low = std::fabs(halfValue(hardware));
        const double high = std::fabs(halfValue(u16(hardware + 1)));
        ASSERT_EQ(std::fabs(double(f)), (low + high) / 2) << f;
    }
}

TEST(FloatConversion, FloatIntoUNormClampsAndRoundsOnce)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // red, green, blue, alpha into RGBA 8888 and, for 5- and 6-bit fields, RGB 565
    const float pixels[][4] = {
        { 1.0f, 0.5f, 0.0f, nan },
        { 1.5f, -0.25f, inf, -inf },
        { 0.2f, 0.8f, 127.0f / 255.0f, 128.0f / 255.0f },
    };
    const u8 rgba[][4] = {
        { 255, 128, 0, 255 },
        { 255, 0, 255, 0 },
        { 51, 204, 127, 128 },
    };
    const std::vector<u8> bytes = convertRow<u8>(Format::RGBA8888, Format::RGBA32F, pixels, 3);
    for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(bytes[i * 4 + c], rgba[i][c]) << i << " " << c;

    const std::vector<u16> packed = convertRow<u16>(Format::RGB565, Format::RGBA32F, pixels, 3);
    auto pack = [](int r, int g, int b) { return u16(r | g << 5 | b << 11); };
    EXPECT_EQ(packed[0], pack(31, 32, 0)); // 0.5 * 63 + 0.5 = 32
    EXPECT_EQ(packed[1], pack(31, 0, 31));
    EXPECT_EQ(packed[2], pack(6, 50, 15)); // 127/255 * 31 + 0.5 = 15.94

    // 1.0 reaches the top of a field at bit 16 and 24 (a bias of one step in place would wrap it to 0)
    const float ones[4] = { 1.0f, 1.0f, 1.0f, 1.0f };
    EXPECT_EQ(convertRow<u32>(Format::BGRA8888, Format::RGBA32F, ones, 1)[0], 0xFFFFFFFFu);
    EXPECT_EQ(convertRow<u8>(Format::RGB888, Format::RGBA32F, ones, 1)[2], 0xFF);
}

TEST(FloatConversion, BytesSurviveTheTripThroughFloatAndHalf)
{
    std::vector<u8> source(256 * 4);
    for (int i = 0; i < 256; ++i)
        for (int c = 0; c < 4; ++c)
            source[i * 4 + c] = u8(i + c * 64);

    for (const Format& middle : { Format::RGBA32F, Format::RGBA16F })
    {
        const std::vector<u8> wide = convertRow<u8>(middle, Format::RGBA8888, source.data(), 256);
        const std::vector<u8> back = convertRow<u8>(Format::RGBA8888, middle, wide.data(), 256);
        ASSERT_TRUE(std::equal(source.begin(), source.end(), back.begin())) << middle.bits;
    }

    // 16-bit fields through float: exactly v / 65535 and back
    std::vector<u16> words(65536);
    for (u32 i = 0; i < 65536; ++i)
        words[i] = u16(i);
    const Format R16(16, Format::UNORM, Format::RGBA, 16, 0, 0, 0);
    const std::vector<float> f = convertRow<float>(R32F, R16, words.data(), 65536);
    for (u32 i = 0; i < 65536; ++i)
        ASSERT_EQ(f[i], float(double(i) / 65535.0)) << i;
    const std::vector<u16> round = convertRow<u16>(R16, R32F, f.data(), 65536);
    ASSERT_TRUE(std::equal(words.begin(), words.end(), round.begin()));
}

TEST(FloatConversion, MissingComponentsGetDefaults)
{
    // no alpha in the source: 1.0 in float, 0x3C00 in half, all ones in UNORM
    const float rgb[3] = { 0.25f, 0.5f, 0.75f };
    const std::vector<float> rgba = convertRow<float>(Format::RGBA32F, Format::RGB32F, rgb, 1);
    EXPECT_EQ(rgba[0], 0.25f);
    EXPECT_EQ(rgba[2], 0.75f);
    EXPECT_EQ(rgba[3], 1.0f);
    const std::vector<u16> half = convertRow<u16>(Format::RGBA16F, Format::RGB32F, rgb, 1);
    EXPECT_EQ(half[1], 0x3800);
    EXPECT_EQ(half[3], 0x3C00);

    const u8 pixel[3] = { 10, 20, 30 };
    const std::vector<u16> fromBytes = convertRow<u16>(Format::RGBA16F, Format::RGB888, pixel, 1);
    EXPECT_EQ(fromBytes[3], 0x3C00);
    EXPECT_EQ(fromBytes[0], floatToHalf(float(10.0 / 255.0)));

    // a half source that lacks blue leaves blue 0 in a UNORM destination
    const u16 rg[2] = { 0x3C00, 0x3800 };
    const Format RG16F(32, Format::FLOAT16, Format::RGBA, 16, 16, 0, 0);
    const std::vector<u8> out = convertRow<u8>(Format::RGBA8888, RG16F, rg, 1);
    EXPECT_EQ(out[0], 255);
    EXPECT_EQ(out[1], 128);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[3], 255);
}

TEST(FloatConversion, LuminanceDestinationsTakeLumaAndStayInTheirPixel)
{
    // each 4-byte grey pixel is written at its own offset: a packed write of four
    // elements would run 12 bytes past the end (ASan watches the exact-size buffers)
    const float rgba[2][4] = { { 1.0f, 0.0f, 0.0f, 1.0f }, { 0.5f, 0.5f, 0.5f, 0.0f } };
    std::vector<float> grey(2);
    const Blitter blitter = makeBlitter(Format::L32F, Format::RGBA32F, getCPUFlags(), false);
    BlitRect rect { reinterpret_cast<u8*>(grey.data()), 4, reinterpret_cast<const u8*>(rgba), 16, 2, 1 };
    blitter.convert(rect);
    EXPECT_FLOAT_EQ(grey[0], 0.299f);
    EXPECT_FLOAT_EQ(grey[1], 0.5f);

    // and back: grey into red, green and blue, alpha 1
    const std::vector<float> colour = convertRow<float>(Format::RGBA32F, Format::L32F, grey.data(), 2);
    EXPECT_FLOAT_EQ(colour[4], 0.5f);
    EXPECT_FLOAT_EQ(colour[6], 0.5f);
    EXPECT_EQ(colour[7], 1.0f);

    // colour into an 8-bit grey: Rec. 601 weights in destination steps
    const float green[4] = { 0.0f, 1.0f, 0.0f, 1.0f };
    EXPECT_EQ(convertRow<u8>(Format::L8, Format::RGBA32F, green, 1)[0], (150 * 255 + 128) >> 8);
}
