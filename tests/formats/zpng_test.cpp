// ZPNG: files from an independent generator (tests/fixtures/formats/make_zpng.py, its own
// filter and the zstd command line) against its reference PAM files; files built here with
// a reference filter and libzstd for every pixel size; the encoder's bytes and round trips;
// and the layouts and frames that must fail.

#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <zstd.h>

#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>

#include "imagekit/imagekit.hpp"

using namespace norva;
using imagekit::Bytes;
using imagekit::Image;

namespace
{
    ConstMemory memoryOf(const Bytes& bytes)
    {
        return ConstMemory(bytes.data(), bytes.size());
    }

    Bytes header(int width, int height, int channels, int bytes)
    {
        return { 0xF8, 0xFB, u8(width), u8(width >> 8), u8(height), u8(height >> 8), u8(channels), u8(bytes) };
    }

    // The filter written out plainly, apart from the codec: per-row deltas of each byte
    // from the previous pixel's, and for 3 and 4 bytes the planes B, G - B, G - R, A.
    Bytes referenceFilter(const Bytes& pixels, int width, int height, int pixelBytes)
    {
        Bytes out;
        if (pixelBytes == 3 || pixelBytes == 4)
        {
            std::vector<Bytes> planes(pixelBytes);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                {
                    int d[4];
                    for (int i = 0; i < pixelBytes; ++i)
                    {
                        const size_t at = (size_t(y) * width + x) * pixelBytes + i;
                        d[i] = pixels[at] - (x ? pixels[at - pixelBytes] : 0);
                    }
                    planes[0].push_back(u8(d[2]));
                    planes[1].push_back(u8(d[1] - d[2]));
                    planes[2].push_back(u8(d[1] - d[0]));
                    if (pixelBytes == 4)
                        planes[3].push_back(u8(d[3]));
                }
            for (const Bytes& plane : planes)
                out.insert(out.end(), plane.begin(), plane.end());
            return out;
        }
        for (size_t i = 0; i < pixels.size(); ++i)
        {
            const bool rowStart = (i % (size_t(width) * pixelBytes)) < size_t(pixelBytes);
            out.push_back(u8(pixels[i] - (rowStart ? 0 : pixels[i - pixelBytes])));
        }
        return out;
    }

    Bytes zstdFrame(const Bytes& data, int level)
    {
        Bytes frame(ZSTD_compressBound(data.size()));
        const size_t n = ZSTD_compress(frame.data(), frame.size(), data.data(), data.size(), level);
        EXPECT_FALSE(ZSTD_isError(n));
        frame.resize(n);
        return frame;
    }

    Bytes makeFile(const Bytes& pixels, int width, int height, int channels, int bytes)
    {
        Bytes file = header(width, height, channels, bytes);
        const Bytes frame = zstdFrame(referenceFilter(pixels, width, height, channels * bytes), 3);
        file.insert(file.end(), frame.begin(), frame.end());
        return file;
    }

    ImageDecodeStatus decodeInto(const Bytes& file, Surface& dest)
    {
        ImageDecoder decoder(memoryOf(file), ".zpng");
        return decoder.decode(dest);
    }

} // namespace

TEST(ZPNG, GeneratorFixturesMatchTheirReferences)
{
    const struct
    {
        const char* name;
        Format format;
    } rows[] = {
        { "zpng_l8", Format::L8 },
        { "zpng_l16", Format::L16 },
        { "zpng_2x8", Format::L16 },      // two 8-bit channels read as one 16-bit sample
        { "zpng_rgb8", Format::RGB888 },  // planes
        { "zpng_rgba8", Format::RGBA8888 },
        { "zpng_rgb16", Format::RGB16 },  // interleaved lanes
        { "zpng_rgba16", Format::RGBA16 },
    };
    for (const auto& row : rows)
    {
        const std::string name = row.name;
        const imagekit::Decoded ours = imagekit::decodeNative(imagekit::readFixture(name + ".zpng"), ".zpng");
        ASSERT_TRUE(ours.status.success) << name << ": " << ours.status.info;
        EXPECT_TRUE(ours.header.format == row.format) << name;
        EXPECT_EQ(ours.header.width, 13);
        EXPECT_EQ(ours.header.height, 7);
        EXPECT_TRUE(imagekit::sameImage(ours.image, imagekit::readPAM(imagekit::readFixture(name + ".ref.pam"))))
            << name;
    }
}

TEST(ZPNG, EveryPixelSizeDecodesExactly)
{
    const struct
    {
        int channels, bytes;
        Format format;
    } rows[] = {
        { 1, 1, Format::L8 }, { 1, 2, Format::L16 }, { 2, 1, Format::L16 }, { 3, 1, Format::RGB888 },
        { 4, 1, Format::RGBA8888 }, { 3, 2, Format::RGB16 }, { 2, 2, Format::RGBA8888 }, { 4, 2, Format::RGBA16 },
    };
    std::mt19937 random(18);
    for (const auto& row : rows)
    {
        for (const auto& size : { std::pair{ 1, 1 }, std::pair{ 37, 5 }, std::pair{ 300, 129 } })
        {
            const int p = row.channels * row.bytes;
            Bytes pixels(size_t(size.first) * size.second * p);
            for (size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = u8((i / p) * 3 + (random() & 7));  // smooth with noise
            const Bytes file = makeFile(pixels, size.first, size.second, row.channels, row.bytes);

            Bitmap bitmap(size.first, size.second, row.format);
            const ImageDecodeStatus status = decodeInto(file, bitmap);
            ASSERT_TRUE(status.success) << status.info;
            bool same = true;
            for (int y = 0; y < size.second; ++y)
                same = same && std::equal(pixels.begin() + size_t(y) * size.first * p,
                                          pixels.begin() + size_t(y + 1) * size.first * p, bitmap.address(0, y));
            EXPECT_TRUE(same) << row.channels << " x " << row.bytes << " at " << size.first << " x " << size.second;
        }
    }
}

TEST(ZPNG, EncoderFiltersRgbaIntoPlanes)
{
    // one row [10,20,30,255][12,25,29,255]
    u8 pixels[] = { 10, 20, 30, 255, 12, 25, 29, 255 };
    const Surface source(2, 1, Format::RGBA8888, 8, pixels);
    MemoryStream stream;
    ASSERT_TRUE(getImageEncoder(".zpng")(stream, source, ImageEncodeOptions()).success);
    const ConstMemory file = stream;
    ASSERT_GT(file.size, 8u);
    const Bytes head(file.address, file.address + 8);
    EXPECT_EQ(head, header(2, 1, 4, 1));
    u8 filtered[8];
    ASSERT_EQ(ZSTD_decompress(filtered, 8, file.address + 8, file.size - 8), 8u);
    const Bytes expected = { 30, 255, 246, 6, 10, 3, 255, 0 };
    EXPECT_EQ(Bytes(filtered, filtered + 8), expected);
}

TEST(ZPNG, EncodeRoundTripsFromEveryLayout)
{
    std::mt19937 random(7);
    for (const Format& format : { Format::L8, Format::L16, Format::RGB888, Format::RGBA8888, Format::BGRA8888,
                                  Format::RGB16, Format::RGBA16 })
    {
        for (const auto& size : { std::pair{ 1, 1 }, std::pair{ 13, 7 }, std::pair{ 257, 33 } })
        {
            Bitmap source(size.first, size.second, format);
            for (int y = 0; y < source.height; ++y)
                for (int i = 0; i < source.width * format.bytes(); ++i)
                    source.address(0, y)[i] = u8(random());
            MemoryStream stream;
            const ImageEncodeStatus encoded = getImageEncoder(".zpng")(stream, source, ImageEncodeOptions());
            ASSERT_TRUE(encoded.success) << encoded.info;
            const Bytes file(ConstMemory(stream).address, ConstMemory(stream).address + ConstMemory(stream).size);

            // the file holds RGBA 8888: what the source converts to
            Bitmap expected(size.first, size.second, Format::RGBA8888);
            ASSERT_TRUE(expected.blit(0, 0, source));
            const imagekit::Decoded decoded = imagekit::decodeNative(file, ".zpng");
            ASSERT_TRUE(decoded.status.success) << decoded.status.info;
            EXPECT_TRUE(decoded.header.format == Format::RGBA8888);
            EXPECT_TRUE(imagekit::sameImage(decoded.image, imagekit::fromSurface(expected)));
        }
    }
}

TEST(ZPNG, BadHeadersAndFramesFail)
{
    const Bytes good = makeFile(Bytes(4 * 3 * 4, 77), 4, 3, 4, 1);
    auto patched = [&](size_t at, u8 value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    const struct
    {
        Bytes file;
        const char* message;
    } rows[] = {
        { Bytes(good.begin(), good.begin() + 7), "[ImageDecoder.ZPNG] Incorrect identifier." },
        { patched(0, 0xF9), "[ImageDecoder.ZPNG] Incorrect identifier." },
        { patched(6, 0), "[ImageDecoder.ZPNG] Incorrect pixel layout (channels: 0, bytes: 1)." },
        { patched(7, 0), "[ImageDecoder.ZPNG] Incorrect pixel layout (channels: 4, bytes: 0)." },
        { [&] { Bytes b = patched(6, 5); return b; }(), "[ImageDecoder.ZPNG] Incorrect pixel layout (channels: 5, bytes: 1)." },
        { [&] { Bytes b = patched(6, 7); return b; }(), "[ImageDecoder.ZPNG] Incorrect pixel layout (channels: 7, bytes: 1)." },
        { [&] { Bytes b = patched(6, 3); b[7] = 3; return b; }(), "[ImageDecoder.ZPNG] Incorrect pixel layout (channels: 3, bytes: 3)." },
        { [&] { Bytes b = patched(6, 9); return b; }(), "[ImageDecoder.ZPNG] Incorrect pixel layout (channels: 9, bytes: 1)." },
    };
    for (const auto& row : rows)
    {
        ImageDecoder decoder(memoryOf(row.file), ".zpng");
        EXPECT_FALSE(decoder.header().success);
        EXPECT_EQ(decoder.header().info, row.message);
        Bitmap dest(4, 3, Format::RGBA8888);
        const ImageDecodeStatus status = decoder.decode(dest);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, row.message);
    }

    // damaged frames: garbage, a cut frame, a frame larger than the header says
    const Bytes larger = makeFile(Bytes(5 * 3 * 4, 1), 5, 3, 4, 1);
    Bytes wrongSize = good;
    wrongSize.resize(8);
    wrongSize.insert(wrongSize.end(), larger.begin() + 8, larger.end());
    for (const Bytes& file : { patched(8, 0x00), Bytes(good.begin(), good.end() - 3), wrongSize })
    {
        Bitmap dest(4, 3, Format::RGBA8888);
        std::fill(dest.image, dest.image + 48, u8(0xAB));
        const ImageDecodeStatus status = decodeInto(file, dest);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info.rfind("[ImageDecoder.ZPNG] Decompression failed", 0), 0u) << status.info;
        EXPECT_EQ(dest.image[0], 0xAB) << "a rejected frame writes nothing";
    }
}

TEST(ZPNG, EncoderRefusesSizesItsFieldsCannotHold)
{
    Bitmap wide(65536, 1, Format::RGBA8888);
    MemoryStream stream;
    const ImageEncodeStatus status = getImageEncoder(".zpng")(stream, wide, ImageEncodeOptions());
    EXPECT_FALSE(status.success);
    EXPECT_EQ(status.info, "[ImageEncoder.ZPNG] Incorrect image size (65536 x 1).");
    EXPECT_EQ(stream.size(), 0u);

    Bitmap edge(65535, 1, Format::RGBA8888);
    MemoryStream ok;
    EXPECT_TRUE(getImageEncoder(".zpng")(ok, edge, ImageEncodeOptions()).success);
}

TEST(ZPNG, RobustnessSweep)
{
    const std::vector<std::string> names = imagekit::listFixtures({ "zpng_" });
    ASSERT_EQ(names.size(), 7u);
    for (const std::string& name : names)
    {
        const Bytes file = imagekit::readFixture(name);
        const imagekit::SweepStats stats = imagekit::robustnessSweep(file, ".zpng", 96, 400, u32(file.size()));
        EXPECT_GT(stats.runs, 100) << name;
        EXPECT_GT(stats.failures, 0) << name;
    }
}
