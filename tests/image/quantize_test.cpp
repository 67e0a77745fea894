#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>

#include <norva/core/exception.hpp>
#include <norva/image/quantize.hpp>

using namespace norva;
using norva::image::ColorQuantizer;

namespace
{

    // r = x, g = y, b = (x + y) / 2 over 256 x 256
    Bitmap gradient()
    {
        Bitmap b(256, 256, Format::RGB888);
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x)
            {
                u8* p = b.address(x, y);
                p[0] = u8(x);
                p[1] = u8(y);
                p[2] = u8((x + y) / 2);
            }
        return b;
    }

    struct Result
    {
        Palette palette;
        Bitmap indices;
    };

    Result quantize(const Surface& source, float quality, bool dithering)
    {
        Result r { Palette(), Bitmap(source.width, source.height, Format::INDEX8) };
        ColorQuantizer::Options options;
        options.quality = quality;
        options.dithering = dithering;
        ColorQuantizer::quantize(r.palette, r.indices, source, options);
        return r;
    }

    bool same(const Result& a, const Result& b)
    {
        return std::memcmp(&a.palette, &b.palette, sizeof(Palette)) == 0 &&
               std::memcmp(a.indices.image, b.indices.image, size_t(a.indices.stride) * a.indices.height) == 0;
    }

} // namespace

TEST(ColorQuantizer, RefusesWrongDestinations)
{
    const Bitmap source(4, 4, Format::RGBA8888);
    Palette palette;
    palette.color[0] = 0x12345678;

    const Bitmap rgba(4, 4, Format::RGBA8888);
    try
    {
        ColorQuantizer::quantize(palette, rgba, source, ColorQuantizer::Options());
        FAIL() << "no exception";
    }
    catch (const Exception& e)
    {
        EXPECT_STREQ(e.what(), "[ColorQuantizer] The destination surface must have indexed format.");
        EXPECT_EQ(e.getFunction(), "norva::image::ColorQuantizer::quantize");
    }

    const Bitmap narrow(3, 4, Format::INDEX8);
    try
    {
        ColorQuantizer::quantize(palette, narrow, source, ColorQuantizer::Options());
        FAIL() << "no exception";
    }
    catch (const Exception& e)
    {
        EXPECT_STREQ(e.what(), "[ColorQuantizer] The destination and source dimensions must be identical.");
        EXPECT_EQ(e.getFunction(), "norva::image::ColorQuantizer::quantize");
    }
    // a source without colours to read
    const Bitmap indices(4, 4, Format::INDEX8);
    const Bitmap dest(4, 4, Format::INDEX8);
    EXPECT_THROW(ColorQuantizer::quantize(palette, dest, indices, ColorQuantizer::Options()), Exception);

    EXPECT_EQ(palette.color[0], 0x12345678u); // untouched
}

TEST(ColorQuantizer, RefusesImagesTooLargeBeforeTouchingThem)
{
    // 3.2 GB of BGRA: refused before the working copy is made, so the (absent) pixels are
    // never read
    const Surface source(40000, 20000, Format::RGBA8888, 160000, nullptr);
    const Surface dest(40000, 20000, Format::INDEX8, 40000, nullptr);
    Palette palette;
    try
    {
        ColorQuantizer::quantize(palette, dest, source, ColorQuantizer::Options());
        FAIL() << "no exception";
    }
    catch (const Exception& e)
    {
        EXPECT_STREQ(e.what(), "[ColorQuantizer] The image is too large (40000 x 20000).");
    }
    EXPECT_EQ(palette.size, 0u);
}

TEST(ColorQuantizer, TinyImagesKeepTheGreyRamp)
{
    // 2 x 2 pixels give 16 bytes: below quality 1 no sample is learnt
    Bitmap source(2, 2, Format::RGBA8888);
    std::memset(source.image, 200, 16);
    for (float quality : { 0.0f, 0.5f, -3.0f })
    {
        const Result r = quantize(source, quality, false);
        ASSERT_EQ(r.palette.size, 256u);
        for (u32 i = 0; i < 256; ++i)
            ASSERT_EQ(r.palette.color[i], i | i << 8 | i << 16 | 0xFF000000u) << i;
        // each pixel maps to the grey nearest to 200
        EXPECT_EQ(r.indices.image[0], 200);
    }
}

TEST(ColorQuantizer, OneColourGivesOneIndex)
{
    Bitmap source(64, 64, Format::RGB888);
    for (int i = 0; i < 64 * 64; ++i)
    {
        source.image[i * 3 + 0] = 30;
        source.image[i * 3 + 1] = 140;
        source.image[i * 3 + 2] = 220;
    }
    for (bool dithering : { false, true })
    {
        const Result r = quantize(source, 1.0f, dithering);
        const u8 index = r.indices.image[0];
        for (int i = 0; i < 64 * 64; ++i)
            ASSERT_EQ(r.indices.image[i], index);
        const u32 c = r.palette.color[index];
        EXPECT_LE(std::abs(int((c >> 16) & 0xFF) - 30), 2);
        EXPECT_LE(std::abs(int((c >> 8) & 0xFF) - 140), 2);
        EXPECT_LE(std::abs(int(c & 0xFF) - 220), 2);
        EXPECT_EQ(c >> 24, 0xFFu);
    }
}

TEST(ColorQuantizer, DeterministicAndNaNQualityIsFull)
{
    const Bitmap source = gradient();
    for (bool dithering : { false, true })
    {
        const Result a = quantize(source, 0.7f, dithering);
        const Result b = quantize(source, 0.7f, dithering);
        EXPECT_TRUE(same(a, b));
    }
    const Result full = quantize(source, 1.0f, false);
    EXPECT_TRUE(same(quantize(source, std::numeric_limits<float>::quiet_NaN(), false), full));
    EXPECT_TRUE(same(quantize(source, 5.0f, false), full));
    EXPECT_FALSE(same(quantize(source, 0.0f, false), full));
}

TEST(ColorQuantizer, GradientErrorIsSmall)
{
    const Bitmap source = gradient();
    const Result r = quantize(source, 1.0f, false);
    std::set<int> used;
    double error = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x)
        {
            const u8* p = source.address(x, y);
            const int index = r.indices.address(x, y)[0];
            used.insert(index);
            const u32 c = r.palette.color[index];
            error += std::abs(int((c >> 16) & 0xFF) - p[0]) + std::abs(int((c >> 8) & 0xFF) - p[1]) +
                     std::abs(int(c & 0xFF) - p[2]);
        }
    const double mean = error / (256.0 * 256.0 * 3.0);
    // 256 colours over a 2-D colour ramp: each entry covers about 16 x 16 pixels
    // the mean measures 3.65; a network that learns badly leaves many entries unused
    EXPECT_LT(mean, 5.0) << mean;
    EXPECT_GT(used.size(), 240u);
}

TEST(ColorQuantizer, LastColumnPassesNoError)
{
    // in a one-pixel-wide image every pixel is the last of its row: no diffusion at all
    Bitmap source(1, 300, Format::RGB888);
    for (int y = 0; y < 300; ++y)
    {
        u8* p = source.address(0, y);
        p[0] = u8(y * 7);
        p[1] = u8(y * 3);
        p[2] = u8(255 - y);
    }
    EXPECT_TRUE(same(quantize(source, 1.0f, true), quantize(source, 1.0f, false)));
}
