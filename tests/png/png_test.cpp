// PNG decoding: every fixture made by ImageMagick and pnmtopng against libpng and
// stb_image, then the cases that only a generated file can show.

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include <norva/image/decoder.hpp>

#include "imagekit/imagekit.hpp"
#include "png/png_core.hpp"
#include "png_builder.hpp"

using namespace norva;
using imagekit::Bytes;
using imagekit::Image;

namespace
{
    std::vector<std::string> pngFixtures()
    {
        return imagekit::listFixtures({ "png_" });
    }

    ImageHeader headerOf(const Bytes& file)
    {
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".png");
        return decoder.header();
    }

    ImageDecodeStatus decodeStatus(const Bytes& file)
    {
        return imagekit::decodeNative(file, ".png").status;
    }

} // namespace

// ---------------------------------------------------------------------------------------
// the fixture matrix
// ---------------------------------------------------------------------------------------

// Colour type x bit depth x interlace (ImageMagick), palettes of 1 to 8 bits (pnmtopng),
// tRNS keys and palette alpha, and each of the five filters at 1 to 8 bytes per pixel and
// at depth 4 (pnmtopng -force): all decode in their native format to exactly what libpng
// gives at the file's own depth, and to what stb_image gives.
class PNGFixture : public ::testing::TestWithParam<std::string>
{
};

TEST_P(PNGFixture, MatchesLibpngAndStbAtNativeDepth)
{
    const Bytes file = imagekit::readFixture(GetParam());
    const imagekit::Decoded ours = imagekit::decodeNative(file, ".png");
    ASSERT_TRUE(ours.status.success) << ours.status.info;
    EXPECT_TRUE(ours.status.direct);

    const Image libpng = imagekit::decodeLibpng(file);
    EXPECT_TRUE(imagekit::sameImage(ours.image, libpng));

    const Image stb = ours.image.depth == 16 ? imagekit::decodeStb16(file) : imagekit::decodeStb(file);
    EXPECT_TRUE(imagekit::sameImage(ours.image, stb));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, PNGFixture, ::testing::ValuesIn(pngFixtures()),
                         [](const auto& info) {
                             std::string name = info.param.substr(4, info.param.size() - 8);
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

TEST(PNGFixtures, MatrixIsComplete)
{
    // 5 grey depths and 6 colour rows, each plain and interlaced; 8 palette files;
    // 7 tRNS files; 45 filter files
    EXPECT_EQ(pngFixtures().size(), 10u + 12 + 8 + 7 + 45);
}

// The header's format follows the colour type, with tRNS raising grey and RGB to alpha.
TEST(PNGHeader, FormatsByColourType)
{
    const struct
    {
        const char* file;
        Format format;
        bool palette;
    } rows[] = {
        { "png_g4.png", Format::L8, false },
        { "png_g16.png", Format::L16, false },
        { "png_c4_8.png", Format::LA88, false },
        { "png_c4_16.png", Format::LA1616, false },
        { "png_c2_8.png", Format::BGRA8888, false },
        { "png_c2_16.png", Format::RGBA16, false },
        { "png_c6_8.png", Format::BGRA8888, false },
        { "png_c6_16.png", Format::RGBA16, false },
        { "png_p16.png", Format::BGRA8888, true },
        { "png_trns_g8.png", Format::LA88, false },
        { "png_trns_g16.png", Format::LA1616, false },
        { "png_trns_rgb16.png", Format::RGBA16, false },
    };
    for (const auto& row : rows)
    {
        const ImageHeader header = headerOf(imagekit::readFixture(row.file));
        ASSERT_TRUE(header.success) << row.file << ": " << header.info;
        EXPECT_EQ(header.width, 13) << row.file;
        EXPECT_EQ(header.height, 7) << row.file;
        EXPECT_TRUE(header.format == row.format) << row.file;
        EXPECT_EQ(header.palette, row.palette) << row.file;
    }
}

// Through a conversion (a temporary bitmap and the blitter) the result is the same image;
// 16-bit sources narrow to within one step of nearest.
TEST(PNGDecode, IntoRGBA8888ThroughTheBlitter)
{
    for (const char* name : { "png_g2.png", "png_c4_8_i.png", "png_c6_8.png", "png_p200_i.png", "png_trns_g8.png",
                              "png_c6_16.png", "png_g16_i.png" })
    {
        const Bytes file = imagekit::readFixture(name);
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".png");
        const ImageHeader header = decoder.header();
        Bitmap target(header.width, header.height, Format::RGBA8888);
        const ImageDecodeStatus status = decoder.decode(target);
        ASSERT_TRUE(status.success) << name << ": " << status.info;
        EXPECT_FALSE(status.direct);
        const Image reference = imagekit::narrow(imagekit::decodeLibpng(file));
        EXPECT_TRUE(imagekit::sameImage(imagekit::fromSurface(target), reference, { .tolerance = 1 })) << name;
    }
}

// A still image is read whole by every decode call on one decoder object, directly and
// through a conversion alike.
TEST(PNGDecode, RepeatedDecodesOfAStillImage)
{
    for (const char* name : { "png_c6_8.png", "png_p16.png", "png_g4_i.png" })
    {
        const Bytes file = imagekit::readFixture(name);
        const Image reference = imagekit::decodeLibpng(file);
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".png");
        const ImageHeader header = decoder.header();
        for (int i = 0; i < 3; ++i)
        {
            for (const Format& format : { header.format, Format(Format::RGBA8888) })
            {
                Bitmap target(header.width, header.height, format);
                const ImageDecodeStatus status = decoder.decode(target);
                ASSERT_TRUE(status.success) << name << " decode " << i << ": " << status.info;
                EXPECT_EQ(status.next_frame_index, 0) << name;
                EXPECT_TRUE(imagekit::sameImage(imagekit::fromSurface(target), reference)) << name << " decode " << i;
            }
        }
    }
}

// A palette request gets the indices and the palette, alpha included, for every depth.
TEST(PNGDecode, PaletteRequestDeliversIndices)
{
    for (const char* name : { "png_p2.png", "png_p4_i.png", "png_p16.png", "png_p200.png", "png_trns_p16.png" })
    {
        const Bytes file = imagekit::readFixture(name);
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".png");
        const ImageHeader header = decoder.header();
        Bitmap indices(header.width, header.height, Format::INDEX8);
        Palette palette;
        ImageDecodeOptions options;
        options.palette = &palette;
        const ImageDecodeStatus status = decoder.decode(indices, options);
        ASSERT_TRUE(status.success) << name << ": " << status.info;
        EXPECT_TRUE(status.direct);
        EXPECT_GT(palette.size, 0u);
        EXPECT_TRUE(imagekit::sameImage(imagekit::fromIndices(indices, palette), imagekit::decodeLibpng(file)))
            << name;
    }

    // indices cannot go into a 32-bit surface
    const Bytes file = imagekit::readFixture("png_p16.png");
    ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".png");
    Bitmap wrong(13, 7, Format::BGRA8888);
    Palette palette;
    ImageDecodeOptions options;
    options.palette = &palette;
    EXPECT_FALSE(decoder.decode(wrong, options).success);
}

// ---------------------------------------------------------------------------------------
// generated files
// ---------------------------------------------------------------------------------------

TEST(PNGGenerated, TransparencyKeysAndLowDepthScaling)
{
    using namespace pngbuild;

    // grey 2 bits: samples 0..3 become 0, 85, 170, 255; key 2 becomes alpha 0
    const Bytes grey2 = still(ihdr(4, 1, 2, 0), {}, zlib({ 0, 0x1B }));
    imagekit::Decoded d = imagekit::decodeNative(grey2, ".png");
    ASSERT_TRUE(d.status.success) << d.status.info;
    for (int x = 0; x < 4; ++x)
    {
        EXPECT_EQ(d.image.at(x, 0, 0), 85 * x);
    }
    const Bytes keyed = still(ihdr(4, 1, 2, 0), { { "tRNS", { 0, 2 } } }, zlib({ 0, 0x1B }));
    d = imagekit::decodeNative(keyed, ".png");
    ASSERT_TRUE(d.header.format == Format::LA88);
    EXPECT_EQ(d.image.at(2, 0, 3), 0);
    EXPECT_EQ(d.image.at(3, 0, 3), 255);

    // RGB 8 with a key: alpha 0 exactly at the key, 255 elsewhere; without tRNS all 255
    const Bytes pixels = { 0, 1, 2, 3, 0x20, 0x3C, 1, 2, 3 };
    const Bytes rgbKey = still(ihdr(3, 1, 8, 2), { { "tRNS", { 0, 1, 0, 2, 0, 3 } } }, zlib(scanlines(pixels, 9)));
    d = imagekit::decodeNative(rgbKey, ".png");
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(0, 0, 3), 255);
    EXPECT_EQ(d.image.at(1, 0, 3), 255);
    EXPECT_EQ(d.image.at(2, 0, 3), 0);
    d = imagekit::decodeNative(still(ihdr(3, 1, 8, 2), {}, zlib(scanlines(pixels, 9))), ".png");
    ASSERT_TRUE(d.header.format == Format::BGRA8888);
    for (int x = 0; x < 3; ++x)
    {
        EXPECT_EQ(d.image.at(x, 0, 3), 255);
    }
}

TEST(PNGGenerated, HeaderErrors)
{
    using namespace pngbuild;
    const Bytes data = zlib({ 0, 0 });
    const struct
    {
        Bytes file;
        const char* message;
    } rows[] = {
        { Bytes { 1, 2, 3 }, "[ImageDecoder.PNG] Incorrect header magic." },
        { [&] { Bytes f = signature(); f.resize(30, 0); return f; }(),
          "[ImageDecoder.PNG] Incorrect file; too small for the IHDR chunk." },
        { [&] { Bytes f = signature(); chunk(f, "gAMA", Bytes(13, 0)); chunk(f, "IEND", {}); return f; }(),
          "[ImageDecoder.PNG] Incorrect file; the IHDR chunk must come first." },
        { [&] { Bytes f = signature(); chunk(f, "IHDR", Bytes(14, 0)); chunk(f, "IEND", {}); return f; }(),
          "[ImageDecoder.PNG] Incorrect IHDR chunk size." },
        { still(ihdr(32769, 1, 8, 0), {}, data), "[ImageDecoder.PNG] Too large image." },
        { still(ihdr(1, 32769, 8, 0), {}, data), "[ImageDecoder.PNG] Too large image." },
        { still(ihdr(0, 1, 8, 0), {}, data), "[ImageDecoder.PNG] Incorrect image size (0 x 1)." },
        { still(ihdr(1, 1, 3, 0), {}, data), "[ImageDecoder.PNG] Incorrect bit depth." },
        { still(ihdr(1, 1, 4, 2), {}, data), "[ImageDecoder.PNG] Unsupported bit depth for color type." },
        { still(ihdr(1, 1, 16, 3), {}, data), "[ImageDecoder.PNG] Unsupported bit depth for color type." },
        { still(ihdr(1, 1, 8, 5), {}, data), "[ImageDecoder.PNG] Incorrect color type." },
    };
    for (const auto& row : rows)
    {
        const ImageHeader header = headerOf(row.file);
        EXPECT_FALSE(header.success) << row.message;
        EXPECT_EQ(header.info, row.message);
        EXPECT_EQ(decodeStatus(row.file).info, row.message);
    }

    // 32768 is the largest size accepted
    EXPECT_TRUE(headerOf(still(ihdr(32768, 1, 1, 0), {}, data)).success);
}

TEST(PNGGenerated, ChunkErrorsShowInTheDecode)
{
    using namespace pngbuild;
    const Bytes idat = zlib({ 0, 0 });
    const struct
    {
        Bytes header;
        std::vector<std::pair<std::string, Bytes>> extra;
        const char* message;
    } rows[] = {
        { ihdr(1, 1, 8, 3), { { "PLTE", Bytes(769, 0) } }, "[ImageDecoder.PNG] Incorrect palette size." },
        { ihdr(1, 1, 8, 3), { { "PLTE", Bytes(771, 0) } }, "[ImageDecoder.PNG] Too large palette." },
        { ihdr(1, 1, 8, 3), { { "PLTE", Bytes(6, 0) }, { "tRNS", Bytes(3, 0) } },
          "[ImageDecoder.PNG] Incorrect alpha palette size." },
        { ihdr(1, 1, 8, 0), { { "tRNS", Bytes(6, 0) } }, "[ImageDecoder.PNG] Incorrect tRNS chunk size." },
        { ihdr(1, 1, 8, 6), { { "tRNS", Bytes(2, 0) } }, "[ImageDecoder.PNG] Incorrect color type for alpha palette." },
        { ihdr(1, 1, 8, 0), { { "gAMA", Bytes(3, 0) } }, "[ImageDecoder.PNG] Incorrect gAMA chunk size." },
        { ihdr(1, 1, 8, 0), { { "sBIT", Bytes(5, 0) } }, "[ImageDecoder.PNG] Incorrect sBIT chunk size." },
        { ihdr(1, 1, 8, 0), { { "sRGB", Bytes(2, 0) } }, "[ImageDecoder.PNG] Incorrect sRGB chunk size." },
        { ihdr(1, 1, 8, 0), { { "cHRM", Bytes(31, 0) } }, "[ImageDecoder.PNG] Incorrect cHRM chunk size." },
        { ihdr(1, 1, 8, 0), { { "IHDR", ihdr(1, 1, 8, 0) } }, "[ImageDecoder.PNG] File can only have one IHDR chunk." },
    };
    for (const auto& row : rows)
    {
        const Bytes file = still(row.header, row.extra, idat);
        EXPECT_TRUE(headerOf(file).success) << row.message;
        EXPECT_EQ(decodeStatus(file).info, row.message);
    }
}

// Data problems are decode errors: nothing is reported as success over rows that were
// never written.
TEST(PNGGenerated, DataErrors)
{
    using namespace pngbuild;
    const Bytes pixels(4 * 3, 0x7F);
    const Bytes good = zlib(scanlines(pixels, 4));

    // no IDAT at all
    Bytes none = signature();
    chunk(none, "IHDR", ihdr(4, 3, 8, 0));
    chunk(none, "IEND", {});
    EXPECT_EQ(decodeStatus(none).info, "[ImageDecoder.PNG] No compressed data.");

    // damaged, short and long streams
    Bytes damaged = good;
    damaged[damaged.size() / 2] ^= 0xFF;
    damaged[2] = 0xFF;
    const Bytes rows = scanlines(pixels, 4);
    const Bytes shortData = zlib(Bytes(rows.begin(), rows.end() - 5));
    Bytes longPixels = rows;
    longPixels.insert(longPixels.end(), 7, 0);
    for (const Bytes& idat : { damaged, shortData, zlib(longPixels), Bytes { 0x78, 0x9C } })
    {
        EXPECT_EQ(decodeStatus(still(ihdr(4, 3, 8, 0), {}, idat)).info, "[ImageDecoder.PNG] Inflate failed.");
    }

    // a chunk behind the image data that runs past the end of the file
    Bytes cut = still(ihdr(4, 3, 8, 0), {}, good);
    cut.resize(cut.size() - 12);
    chunk(cut, "tEXt", Bytes(40, 'x'));
    cut.resize(cut.size() - 10);
    EXPECT_EQ(decodeStatus(cut).info, "[ImageDecoder.PNG] Corrupted file.\n");
}

// Every single-bit change inside the image data (the chunk's CRC made good again, as chunk
// CRCs are not checked) either fails with a message or decodes to libpng's pixels, whose zlib
// checks the stream's Adler-32. Adler-32 is weak on short streams, so a few changes keep it
// and decode to other pixels in both.
TEST(PNGDamage, FlippedImageDataBitsDecodeOnlyWhereLibpngDoes)
{
    for (const char* name : { "png_c6_8.png", "png_p200_i.png", "png_g16.png" })
    {
        const Bytes file = imagekit::readFixture(name);
        const Image intact = imagekit::decodeLibpng(file);
        ASSERT_FALSE(intact.empty()) << name;

        // the first IDAT chunk
        size_t at = 8;
        size_t length = 0;
        while (at + 8 <= file.size())
        {
            length = size_t(file[at]) << 24 | size_t(file[at + 1]) << 16 | size_t(file[at + 2]) << 8 | file[at + 3];
            if (std::equal(file.begin() + std::ptrdiff_t(at + 4), file.begin() + std::ptrdiff_t(at + 8), "IDAT"))
                break;
            at += 12 + length;
        }
        ASSERT_LT(at + 8, file.size()) << name;
        const Bytes payload(file.begin() + std::ptrdiff_t(at + 8), file.begin() + std::ptrdiff_t(at + 8 + length));

        int refused = 0;
        for (size_t byte = 0; byte < payload.size(); ++byte)
        {
            for (int bit = 0; bit < 8; ++bit)
            {
                Bytes data = payload;
                data[byte] ^= u8(1 << bit);
                Bytes damaged(file.begin(), file.begin() + std::ptrdiff_t(at));
                pngbuild::chunk(damaged, "IDAT", data);
                damaged.insert(damaged.end(), file.begin() + std::ptrdiff_t(at + 12 + length), file.end());

                const imagekit::Decoded d = imagekit::decodeNative(damaged, ".png");
                if (!d.status.success)
                {
                    EXPECT_EQ(d.status.info.rfind("[ImageDecoder.PNG] ", 0), 0u) << d.status.info;
                    ++refused;
                    continue;
                }
                // where zlib is stricter about the deflate codes than the inflaters here, a
                // stream that keeps its checksum holds the intact data
                const Image reference = imagekit::decodeLibpng(damaged);
                EXPECT_TRUE(imagekit::sameImage(d.image, reference.empty() ? intact : reference))
                    << name << ": bit " << bit << " of byte " << byte << (reference.empty() ? " (libpng refuses it)" : "");
            }
        }
        EXPECT_GT(refused, int(payload.size()) * 6) << name;
    }
}

TEST(PNGGenerated, FilterFiveLeavesTheRowAndInterlacedOnePixel)
{
    using namespace pngbuild;
    imagekit::Decoded d = imagekit::decodeNative(still(ihdr(2, 1, 8, 0), {}, zlib({ 5, 9, 8 })), ".png");
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(0, 0, 0), 9);
    EXPECT_EQ(d.image.at(1, 0, 0), 8);

    // an interlaced 1x1 image has pass 1 only: two bytes of inflated data
    d = imagekit::decodeNative(still(ihdr(1, 1, 8, 0, 1), {}, zlib({ 0, 42 })), ".png");
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(0, 0, 0), 42);
}

// Image data of 131072 and 131073 compressed bytes in several IDAT chunks, built from
// stored deflate blocks so that the sizes are exact: both decode to the pixels.
TEST(PNGGenerated, MultipleIDATAroundTheInflaterSplit)
{
    using namespace pngbuild;
    std::mt19937 random(17);
    for (size_t total : { size_t(131072), size_t(131073) })
    {
        // grey 8 bits, height 128: find a width whose rows fit whole stored blocks
        u32 width = 1100;
        size_t raw = 0, blocks = 0;
        for (; width > 900; --width)
        {
            raw = size_t(width + 1) * 128;
            if (raw + 6 < total && (total - 6 - raw) % 5 == 0)
            {
                blocks = (total - 6 - raw) / 5;
                if (blocks >= (raw + 65534) / 65535)
                {
                    break;
                }
            }
        }
        ASSERT_GT(width, 900u);
        Bytes pixels(size_t(width) * 128);
        for (auto& v : pixels)
        {
            v = u8(random());
        }
        const Bytes rows = scanlines(pixels, width);
        const Bytes z = storedZlib(rows, blocks);
        ASSERT_EQ(z.size(), total);

        Bytes file = signature();
        chunk(file, "IHDR", ihdr(width, 128, 8, 0));
        for (size_t at = 0; at < z.size(); at += 50000)
        {
            chunk(file, "IDAT", Bytes(z.begin() + std::ptrdiff_t(at), z.begin() + std::ptrdiff_t(std::min(at + 50000, z.size()))));
        }
        chunk(file, "IEND", {});

        const imagekit::Decoded d = imagekit::decodeNative(file, ".png");
        ASSERT_TRUE(d.status.success) << total << ": " << d.status.info;
        EXPECT_TRUE(imagekit::sameImage(d.image, imagekit::decodeLibpng(file))) << total;
        EXPECT_EQ(d.image.at(int(width) - 1, 127, 0), pixels.back());
    }
}

// Buffers of a megabyte and more are kept between decodes. A decode whose buffers hold
// what an earlier image left still gives its own pixels, also where the Adam7 passes of
// 4-bit samples are ORed into a buffer that has to start out zero.
TEST(PNGGenerated, LargeImagesDecodeAlikeOnKeptBuffers)
{
    using namespace pngbuild;
    std::mt19937 random(23);

    // RGB noise in IDAT chunks of 64 KiB: the stream is joined, then inflated, in buffers
    // of over a megabyte each
    Bytes noise(size_t(1024) * 512 * 3);
    for (auto& v : noise)
    {
        v = u8(random());
    }
    const Bytes z = zlib(scanlines(noise, 1024 * 3));
    Bytes rgb = signature();
    chunk(rgb, "IHDR", ihdr(1024, 512, 8, 2));
    for (size_t at = 0; at < z.size(); at += 65536)
    {
        chunk(rgb, "IDAT", Bytes(z.begin() + std::ptrdiff_t(at), z.begin() + std::ptrdiff_t(std::min(at + 65536, z.size()))));
    }
    chunk(rgb, "IEND", {});

    // 4-bit grey, interlaced: the passes gather into a zeroed buffer of 513 x 2048 bytes
    const u32 width = 1024, height = 2048;
    std::vector<u8> samples(size_t(width) * height);
    for (auto& v : samples)
    {
        v = u8(random() & 15);
    }
    const u32 xstart[7] = { 0, 4, 0, 2, 0, 1, 0 }, ystart[7] = { 0, 0, 4, 0, 2, 0, 1 };
    const u32 xstep[7] = { 8, 8, 4, 4, 2, 2, 1 }, ystep[7] = { 8, 8, 8, 4, 4, 2, 2 };
    Bytes passes;
    for (int p = 0; p < 7; ++p)
    {
        const u32 passWidth = (width - xstart[p] + xstep[p] - 1) / xstep[p];
        for (u32 y = ystart[p]; y < height; y += ystep[p])
        {
            passes.push_back(0);
            Bytes row((passWidth + 1) / 2, 0);
            for (u32 i = 0; i < passWidth; ++i)
            {
                row[i >> 1] |= u8(samples[size_t(y) * width + xstart[p] + i * xstep[p]] << (i & 1 ? 0 : 4));
            }
            passes.insert(passes.end(), row.begin(), row.end());
        }
    }
    const Bytes grey = still(ihdr(width, height, 4, 0, 1), {}, zlib(passes));

    const Image rgbReference = imagekit::decodeLibpng(rgb);
    const Image greyReference = imagekit::decodeLibpng(grey);
    ASSERT_EQ(greyReference.at(5, 3, 0), samples[size_t(3) * width + 5] * 17);
    for (int round = 0; round < 2; ++round)
    {
        imagekit::Decoded d = imagekit::decodeNative(rgb, ".png");
        ASSERT_TRUE(d.status.success) << d.status.info;
        EXPECT_TRUE(imagekit::sameImage(d.image, rgbReference)) << round;
        EXPECT_GT(norva::png::keptBytes(), 0u);

        d = imagekit::decodeNative(grey, ".png");
        ASSERT_TRUE(d.status.success) << d.status.info;
        EXPECT_TRUE(imagekit::sameImage(d.image, greyReference)) << round;
    }
}
