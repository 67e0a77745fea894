// Every fixture against its reference: libjpeg-turbo for 8-bit files (accurate integer
// iDCT, replicating upsampling), DCMTK's decode for 12-bit and lossless files.

#include <cmath>

#include "jpeg_test_util.hpp"

using namespace norva;
using namespace jpegtest;

namespace
{
    struct Layout
    {
        const char* name;
        Format format;
        J_COLOR_SPACE reference;
        int channels;       // bytes compared per pixel
    };

    const Layout layouts[] =
    {
        { "Y", Format::L8, JCS_GRAYSCALE, 1 },
        { "BGR", Format::BGR888, JCS_EXT_BGR, 3 },
        { "RGB", Format::RGB888, JCS_EXT_RGB, 3 },
        { "BGRA", Format::BGRA8888, JCS_EXT_BGRA, 4 },
        { "RGBA", Format::RGBA8888, JCS_EXT_RGBA, 4 },
    };

    struct Fixture
    {
        const char* file;
        bool grey;
    };

    // 8-bit files of one, three and four components
    const Fixture colorFixtures[] =
    {
        { "baseline_420.jpg", false },
        { "sample_444.jpg", false },
        { "sample_422.jpg", false },
        { "sample_440.jpg", false },
        { "sample_411.jpg", false },
        { "sample_4x2.jpg", false },
        { "sample_3x1.jpg", false },
        { "sample_2x1_2x1_2x1.jpg", false },
        { "sample_2x2_2x1_1x1.jpg", false },
        { "sample_1x1_2x2_1x1.jpg", false },
        { "gray.jpg", true },
        { "gray_2x2.jpg", true },
        { "rgb.jpg", false },       // stored as R, G, B
        { "rgb_422.jpg", false },
        { "quality_1.jpg", false },
        { "restart_7b.jpg", false },
        { "restart_rows.jpg", false },
        { "progressive.jpg", false },
        { "progressive_restart.jpg", false },
        { "progressive_gray.jpg", true },
        { "progressive_3x1.jpg", false },
        { "progressive_422.jpg", false },
        { "multiscan.jpg", false },
        { "multiscan_mixed.jpg", false },
        { "dc_separate.jpg", false },
        { "arithmetic.jpg", false },
        { "arithmetic_444.jpg", false },
        { "arithmetic_progressive.jpg", false },
        { "arithmetic_gray_restart.jpg", true },
        { "arithmetic_restart_rows.jpg", false },
        { "exif.jpg", false },
        { "size_1x1_420.jpg", false },
        { "size_17x9_420.jpg", false },
        { "size_9x17_422.jpg", false },
        { "size_33x1_444.jpg", false },
        { "size_1x33_progressive.jpg", false },
        { "size_35x21_411_restart.jpg", false },
        { "icc.jpg", false },
    };

    void checkAgainstReference(const char* file, bool grey, const Layout& layout, u32 threads, CPUFlags flags)
    {
        SCOPED_TRACE(std::string(file) + " as " + layout.name);
        const Bytes data = readFixture(file);
        ASSERT_FALSE(data.empty());

        const Decoded ours = decode(data, layout.format, threads, flags);
        ASSERT_TRUE(ours.status.success) << ours.status.info;
        const Image reference = referenceDecode(data, layout.reference);

        const Difference d = compare(ours.image, reference);
        if (grey || layout.channels == 1)
        {
            EXPECT_LE(d.max, 1) << "mean " << d.mean;
        }
        else
        {
            // the converters' constants differ from libjpeg's in the third digit
            EXPECT_LE(d.max, 4) << "mean " << d.mean;
            EXPECT_TRUE(d.mean <= 0.1 || d.psnr() >= 45.0) << "max " << d.max << " mean " << d.mean;
        }

        if (layout.channels == 4)
        {
            bool opaque = true;
            for (size_t i = 3; i < ours.image.rgba.size(); i += 4)
                opaque &= ours.image.rgba[i] == 0xFF;
            EXPECT_TRUE(opaque);
        }
    }

} // namespace

TEST(JpegReference, EightBitFilesInEveryLayout)
{
    for (const Fixture& fixture : colorFixtures)
    {
        for (const Layout& layout : layouts)
            checkAgainstReference(fixture.file, fixture.grey, layout, 0, getCPUFlags());
    }
}

TEST(JpegReference, EightBitFilesScalarOneThread)
{
    for (const Fixture& fixture : colorFixtures)
    {
        checkAgainstReference(fixture.file, fixture.grey, layouts[3], 1, 0);
        checkAgainstReference(fixture.file, fixture.grey, layouts[1], 1, 0);
    }
}

TEST(JpegReference, TheGameGrassTexture)
{
    const std::string path = std::string(ZELMORA_SOURCE_DIR) + "/assets/Textures/GrassGreenTexture0002.jpg";
    const Bytes data = imagekit::readFile(path);
    ASSERT_FALSE(data.empty()) << path;

    Bitmap bitmap(memoryOf(data), ".jpg", Format::RGBA8888);
    ASSERT_TRUE(bitmap.status().success) << bitmap.status().info;
    const Image reference = referenceDecode(data, JCS_EXT_RGBA);
    const Difference d = compare(imagekit::fromSurface(bitmap), reference);
    EXPECT_LE(d.max, 4);
    EXPECT_TRUE(d.mean <= 0.1 || d.psnr() >= 45.0) << d.mean;
}

TEST(JpegReference, CmykAndYcck)
{
    // libjpeg-turbo delivers the stored CMYK (YCCK converted to CMYK); the decoder
    // writes R = K * C / 255 and so on.
    for (const char* file : { "cmyk.jpg", "ycck_420.jpg" })
    {
        SCOPED_TRACE(file);
        const Bytes data = readFixture(file);
        const jpegtest::ReferenceSamples cmyk = referenceSamples(data, JCS_CMYK);
        ASSERT_EQ(cmyk.components, 4);
        Image expected = imagekit::makeImage(cmyk.width, cmyk.height, 8);
        for (size_t i = 0; i + 3 < cmyk.samples.size(); i += 4)
        {
            const int c = cmyk.samples[i], m = cmyk.samples[i + 1], y = cmyk.samples[i + 2], k = cmyk.samples[i + 3];
            expected.rgba[i + 0] = u16(k * c / 255);
            expected.rgba[i + 1] = u16(k * m / 255);
            expected.rgba[i + 2] = u16(k * y / 255);
            expected.rgba[i + 3] = 0xFF;
        }

        for (const Layout& layout : { layouts[3], layouts[4] })
        {
            const Decoded ours = decode(data, layout.format);
            ASSERT_TRUE(ours.status.success) << ours.status.info;
            // YCCK goes through the converter's 12-bit constants, libjpeg's through its own
            const Difference d = compare(ours.image, expected, true);
            EXPECT_LE(d.max, 4);
            EXPECT_LE(d.mean, 1.0);
        }
    }
}

TEST(JpegReference, TwelveBitWithinTwoOfDcmtk)
{
    for (const char* name : { "bits12_sequential", "bits12_progressive", "bits12_spectral" })
    {
        SCOPED_TRACE(name);
        const Bytes data = readFixture(std::string(name) + ".jpg");
        const Image reference = loadNetpbm(std::string(name) + ".pgm");
        for (u32 threads : { 1u, 0u })
        {
            const Decoded ours = decode(data, Format::L8, threads);
            ASSERT_TRUE(ours.status.success) << ours.status.info;
            EXPECT_NE(ours.status.info.find("12 bit iDCT"), std::string::npos) << ours.status.info;
            EXPECT_LE(compare(ours.image, reference).max, 2);
        }
    }
}

TEST(JpegReference, TwelveBitColourUnbiased)
{
    // The reference converts DCMTK's 12-bit YCbCr exactly and keeps the top 8 bits, as the
    // grey references do. Samples reach the colour conversion at 8 bits, which costs up to
    // two levels where the chroma factors (up to 1.772) meet; what must not be left is a
    // steady per-channel offset (chroma narrowed by truncation gave -0.66, +0.48, -0.87).
    const Bytes data = readFixture("bits12_color_444.jpg");
    const Image reference = loadNetpbm("bits12_color_444.ppm");
    for (const Layout& layout : { layouts[1], layouts[2], layouts[3], layouts[4] })
    {
        for (CPUFlags flags : { CPUFlags(0), getCPUFlags() })
        {
            SCOPED_TRACE(std::string(layout.name) + (flags ? " SIMD" : " scalar"));
            const Decoded ours = decode(data, layout.format, 0, flags);
            ASSERT_TRUE(ours.status.success) << ours.status.info;
            EXPECT_LE(compare(ours.image, reference).max, 2);
            for (int c = 0; c < 3; ++c)
            {
                double offset = 0;
                for (int y = 0; y < reference.height; ++y)
                {
                    for (int x = 0; x < reference.width; ++x)
                        offset += int(ours.image.at(x, y, c)) - int(reference.at(x, y, c));
                }
                offset /= double(reference.width) * reference.height;
                EXPECT_LT(std::abs(offset), 0.15) << "channel " << c;
            }
        }
    }
}

TEST(JpegReference, LosslessIsExact)
{
    const char* grey[] =
    {
        "lossless_8_sv1", "lossless_8_sv2", "lossless_8_sv3", "lossless_8_sv4", "lossless_8_sv5",
        "lossless_8_sv6", "lossless_8_sv7", "lossless_8_pt2", "lossless_16",
        "lossless_16_checker",  // differences of 32768: the category without extra bits
        // arithmetic coding: restarts, 16 bits with conditioning bounds of its own
        "lossless_arith_8_sv6_restart", "lossless_arith_16_dac",
    };
    for (const char* name : grey)
    {
        SCOPED_TRACE(name);
        const Decoded ours = decode(readFixture(std::string(name) + ".jpg"), Format::L8);
        ASSERT_TRUE(ours.status.success) << ours.status.info;
        EXPECT_TRUE(ours.status.direct);
        EXPECT_TRUE(imagekit::sameImage(ours.image, loadNetpbm(std::string(name) + ".pgm")));
    }

    // Components 0, 1 and 2 in red, green and blue as stored; none in blue for two
    // components, and a fourth has no place. Each file of make_lossless.py in both codings.
    const Image source = loadNetpbm("source.ppm");
    Image redGreen = source;
    for (int y = 0; y < source.height; ++y)
    {
        for (int x = 0; x < source.width; ++x)
            redGreen.at(x, y, 2) = 0;
    }
    struct Colour { const char* file; Image expected; };
    const Colour colour[] =
    {
        { "lossless_rgb.jpg", loadNetpbm("lossless_rgb.ppm") },
        { "lossless_rgb.jpg", source },
        { "lossless_arith_rgb_pt1.jpg", loadNetpbm("lossless_arith_rgb_pt1.ppm") },
        { "lossless_2c.jpg", redGreen },
        { "lossless_arith_2c.jpg", redGreen },
        { "lossless_4c_restart.jpg", source },
        { "lossless_arith_4c_restart.jpg", source },
    };
    for (const Colour& c : colour)
    {
        SCOPED_TRACE(c.file);
        for (const Format& format : { Format::RGB888, Format::BGRA8888 })
        {
            const Decoded ours = decode(readFixture(c.file), format);
            ASSERT_TRUE(ours.status.success) << ours.status.info;
            EXPECT_TRUE(imagekit::sameImage(ours.image, c.expected));
        }
    }
}

TEST(JpegReference, JpegtranRewritesDecodeIdentically)
{
    const char* files[] =
    {
        "same_arithmetic.jpg", "same_progressive.jpg", "same_progressive_arithmetic.jpg",
        "same_restart_rows.jpg", "same_restart_3b_arithmetic.jpg", "same_optimize.jpg",
        "same_multiscan.jpg", "same_dc_separate.jpg",
    };
    for (const Layout& layout : { layouts[1], layouts[3] })
    {
        const Decoded base = decode(readFixture("baseline_420.jpg"), layout.format);
        ASSERT_TRUE(base.status.success);
        for (const char* file : files)
        {
            SCOPED_TRACE(std::string(file) + " as " + layout.name);
            for (u32 threads : { 1u, 0u })
            {
                const Decoded other = decode(readFixture(file), layout.format, threads);
                ASSERT_TRUE(other.status.success) << other.status.info;
                EXPECT_TRUE(imagekit::sameImage(other.image, base.image));
            }
        }
    }
}

TEST(JpegReference, ThreadCountDoesNotChangePixels)
{
    std::vector<const char*> files;
    for (const Fixture& fixture : colorFixtures)
        files.push_back(fixture.file);
    // lossless frames of both codings, interleaved or a scan a component, with restarts
    for (const char* file : { "lossless_8_sv4.jpg", "lossless_rgb.jpg", "lossless_4c_restart.jpg", "lossless_arith_8_sv6_restart.jpg",
                              "lossless_arith_16_dac.jpg", "lossless_arith_rgb_pt1.jpg", "lossless_arith_2c.jpg",
                              "lossless_arith_4c_restart.jpg" })
        files.push_back(file);
    for (const char* file : files)
    {
        SCOPED_TRACE(file);
        const Bytes data = readFixture(file);
        const Decoded one = decode(data, Format::BGRA8888, 1);
        ASSERT_TRUE(one.status.success) << one.status.info;
        for (u32 threads : { 2u, 3u, 8u })
        {
            const Decoded many = decode(data, Format::BGRA8888, threads);
            ASSERT_TRUE(many.status.success) << many.status.info;
            EXPECT_TRUE(imagekit::sameImage(many.image, one.image)) << threads << " threads";
        }
    }
}
