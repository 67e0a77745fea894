// WebP: cwebp's lossy, lossless and alpha files against dwebp's decodes (committed PAM),
// through the direct path and through the temporary one; encodes read back by libwebp.

#include <algorithm>
#include <cstring>
#include <random>

#include <gtest/gtest.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>

#include "imagekit/imagekit.hpp"

using namespace norva;
using imagekit::Bytes;
using imagekit::Image;

namespace
{
    const char* const fixtures[] = {
        "webp_lossy", "webp_lossless", "webp_alpha", "webp_alpha_q", "webp_alpha_exact",
    };

    ConstMemory memoryOf(const Bytes& bytes)
    {
        return ConstMemory(bytes.data(), bytes.size());
    }

    struct Destination
    {
        const char* what;
        Format format;
        int extraWidth;     // the surface is this much wider and taller than the image
        bool bottomUp;      // negative stride
        bool direct;        // libwebp writes it without a temporary
        imagekit::Compare compare;
    };

    const Destination destinations[] = {
        { "RGBA 8888 of the image's size", Format::RGBA8888, 0, false, true, {} },
        { "BGRA 8888 of the image's size", Format::BGRA8888, 0, false, true, {} },
        { "RGB 888 (alpha dropped)", Format::RGB888, 0, false, true, { .colorOnly = true } },
        { "BGR 888", Format::BGR888, 0, false, true, { .colorOnly = true } },
        { "RGBA 8888, larger surface", Format::RGBA8888, 3, false, false, {} },
        { "BGRA 8888, bottom-up", Format::BGRA8888, 0, true, false, {} },
        { "RGBA 16 (through RGBA 8888)", Format::RGBA16, 0, false, false, {} },
        { "L8 (through RGB 888)", Format::L8, 0, false, false, {} },
    };

} // namespace

TEST(WebP, FixturesMatchDwebpOnEveryPath)
{
    for (const char* name : fixtures)
    {
        const Bytes file = imagekit::readFixture(std::string(name) + ".webp");
        const Image reference = imagekit::readPAM(imagekit::readFixture(std::string(name) + ".ref.pam"));
        ASSERT_FALSE(reference.empty()) << name;

        for (const Destination& d : destinations)
        {
            ImageDecoder decoder(memoryOf(file), ".webp");
            const ImageHeader header = decoder.header();
            ASSERT_TRUE(header.success) << name << ": " << header.info;
            ASSERT_TRUE(header.format == Format::RGBA8888);
            ASSERT_EQ(header.width, reference.width);
            ASSERT_EQ(header.height, reference.height);

            Bitmap bitmap(header.width + d.extraWidth, header.height + d.extraWidth, d.format);
            std::memset(bitmap.image, 0x5A, size_t(bitmap.stride) * bitmap.height);
            Surface surface = bitmap;
            if (d.bottomUp)
                surface = Surface(bitmap.width, bitmap.height, d.format, -bitmap.stride, bitmap.address(0, bitmap.height - 1));

            const ImageDecodeStatus status = decoder.decode(surface);
            ASSERT_TRUE(status.success) << name << ", " << d.what << ": " << status.info;
            EXPECT_EQ(status.direct, d.direct) << name << ", " << d.what;

            Image expected = reference;
            if (d.format == Format::L8)
            {
                // the reference colour narrowed by the blitter's documented Rec. 601 rule
                Bitmap rgb(header.width, header.height, Format::RGB888);
                for (int y = 0; y < rgb.height; ++y)
                    for (int x = 0; x < rgb.width; ++x)
                        for (int c = 0; c < 3; ++c)
                            rgb.address(x, y)[c] = u8(reference.at(x, y, c));
                Bitmap grey(header.width, header.height, Format::L8);
                ASSERT_TRUE(grey.blit(0, 0, rgb));
                expected = imagekit::fromSurface(grey);
            }

            Image actual = imagekit::narrow(imagekit::fromSurface(surface));
            // the part of a larger surface outside the image is not the decoder's
            if (d.extraWidth)
            {
                EXPECT_EQ(bitmap.address(header.width, 0)[0], 0x5A) << "wrote outside the image";
                Image cropped = imagekit::makeImage(header.width, header.height, 8);
                for (int y = 0; y < header.height; ++y)
                    for (int x = 0; x < header.width; ++x)
                        for (int c = 0; c < 4; ++c)
                            cropped.at(x, y, c) = actual.at(x, y, c);
                actual = cropped;
            }
            EXPECT_TRUE(imagekit::sameImage(actual, expected, d.compare)) << name << ", " << d.what;
        }
    }
}

TEST(WebP, EncodesReadBackThroughLibwebp)
{
    // a smooth image with noise and an alpha ramp
    const int width = 61, height = 23;
    std::mt19937 random(5);
    Bitmap source(width, height, Format::RGBA8888);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
        {
            u8* p = source.address(x, y);
            p[0] = u8(x * 4 + (random() & 3));
            p[1] = u8(y * 11);
            p[2] = u8(x * y);
            p[3] = u8(255 - x * 2);
        }

    // lossless: libwebp gives back every pixel; RGB 888 and a converted BGR 565 source too
    for (const Format& format : { Format::RGBA8888, Format::BGRA8888, Format::RGB888, Format::BGR565 })
    {
        Bitmap converted(width, height, format);
        ASSERT_TRUE(converted.blit(0, 0, source));
        ImageEncodeOptions options;
        options.lossless = true;
        options.quality = 0.0f;     // ignored when lossless
        MemoryStream stream;
        const ImageEncodeStatus status = getImageEncoder(".webp")(stream, converted, options);
        ASSERT_TRUE(status.success) << status.info;

        const ConstMemory file = stream;
        int w = 0, h = 0;
        u8* decoded = WebPDecodeRGBA(file.address, file.size, &w, &h);
        ASSERT_NE(decoded, nullptr);
        ASSERT_EQ(w, width);
        ASSERT_EQ(h, height);
        Bitmap expected(width, height, Format::RGBA8888);
        ASSERT_TRUE(expected.blit(0, 0, converted));
        EXPECT_TRUE(imagekit::sameImage(imagekit::fromSurface(Surface(w, h, Format::RGBA8888, w * 4, decoded)),
                                        imagekit::fromSurface(expected)))
            << "lossless from " << format.bits << " bits";
        WebPFree(decoded);
    }

    // lossy: the same bytes as libwebp called directly with quality 75
    ImageEncodeOptions options;
    options.quality = 0.75f;
    MemoryStream stream;
    ASSERT_TRUE(getImageEncoder(".webp")(stream, source, options).success);
    u8* direct = nullptr;
    const size_t size = WebPEncodeRGBA(source.image, width, height, source.stride, 75.0f, &direct);
    ASSERT_GT(size, 0u);
    const ConstMemory ours = stream;
    EXPECT_EQ(Bytes(ours.address, ours.address + ours.size), Bytes(direct, direct + size));
    WebPFree(direct);
    int w = 0, h = 0;
    EXPECT_TRUE(WebPGetInfo(ours.address, ours.size, &w, &h));
    EXPECT_EQ(w, width);
}

TEST(WebP, FailuresAreReported)
{
    Bitmap dest(13, 7, Format::RGBA8888);
    {
        const Bytes notWebP = { 'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'Q' };
        ImageDecoder decoder(memoryOf(notWebP), ".webp");
        EXPECT_EQ(decoder.header().info, "[ImageDecoder.WEBP] Incorrect header.");
        const ImageDecodeStatus status = decoder.decode(dest);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, "[ImageDecoder.WEBP] Incorrect header.");
    }
    {
        // the header survives, the picture does not
        Bytes file = imagekit::readFixture("webp_lossy.webp");
        file.resize(file.size() - 60);
        ImageDecoder decoder(memoryOf(file), ".webp");
        ASSERT_TRUE(decoder.header().success);
        const ImageDecodeStatus status = decoder.decode(dest);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, "[ImageDecoder.WEBP] Decoding failed.");
    }
    {
        // an animation (img2webp) is refused as such, not as a failed decode
        const Bytes file = imagekit::readFixture("webp_anim.webp");
        ImageDecoder decoder(memoryOf(file), ".webp");
        const ImageHeader header = decoder.header();
        EXPECT_FALSE(header.success);
        EXPECT_EQ(header.info, "[ImageDecoder.WEBP] Animated WebP is not supported.");
        EXPECT_EQ(header.width, 16);
        EXPECT_EQ(header.height, 12);
        const ImageDecodeStatus status = decoder.decode(dest);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, "[ImageDecoder.WEBP] Animated WebP is not supported.");
    }
    {
        // libwebp has 14-bit dimensions
        Bitmap huge(16384, 1, Format::RGBA8888);
        MemoryStream stream;
        const ImageEncodeStatus status = getImageEncoder(".webp")(stream, huge, ImageEncodeOptions());
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, "[ImageEncoder.WEBP] Encoding failed.");
        EXPECT_EQ(stream.size(), 0u);
    }
}

TEST(WebP, RobustnessSweep)
{
    const std::vector<std::string> names = imagekit::listFixtures({ "webp_" });
    ASSERT_EQ(names.size(), std::size(fixtures) + 1) << "the stills and the animation";
    for (const std::string& name : names)
    {
        const Bytes file = imagekit::readFixture(name);
        const imagekit::SweepStats stats = imagekit::robustnessSweep(file, ".webp", 96, 400, u32(file.size()));
        EXPECT_GT(stats.runs, 100) << name;
        EXPECT_GT(stats.failures, 0) << name;
    }
}
