// The PNG encoder: exact header and trailer bytes, and round trips that libpng reads back
// bit for bit (and our decoder too).

#include <random>

#include <gtest/gtest.h>
#include <libdeflate.h>

#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>

#include "imagekit/imagekit.hpp"

using namespace norva;
using imagekit::Bytes;
using imagekit::Image;

namespace
{
    Bytes encode(const Surface& surface, ImageEncodeStatus* status = nullptr)
    {
        ImageEncodeFunc encoder = getImageEncoder(".png");
        EXPECT_NE(encoder, nullptr);
        MemoryStream stream;
        ImageEncodeStatus s = encoder(stream, surface, ImageEncodeOptions());
        if (status)
        {
            *status = s;
        }
        const ConstMemory m = stream;
        return Bytes(m.address, m.address + m.size);
    }

    Bitmap randomBitmap(int w, int h, const Format& format, u32 seed)
    {
        Bitmap bitmap(w, h, format);
        std::mt19937 random(seed);
        for (int y = 0; y < h; ++y)
        {
            for (int i = 0; i < w * format.bytes(); ++i)
            {
                bitmap.address(0, y)[i] = u8(random());
            }
        }
        return bitmap;
    }

} // namespace

TEST(PNGEncoder, HeaderAndTrailerBytes)
{
    Bitmap bitmap = randomBitmap(3, 2, Format::RGBA8888, 1);
    const Bytes file = encode(bitmap);
    ASSERT_GE(file.size(), 8u + 25 + 12);
    const Bytes signature = { 0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A };
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), signature);
    const Bytes ihdr = { 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 3, 0, 0, 0, 2, 8, 6, 0, 0, 0 };
    EXPECT_EQ(Bytes(file.begin() + 8, file.begin() + 29), ihdr);
    const Bytes iend = { 0, 0, 0, 0, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82 };
    EXPECT_EQ(Bytes(file.end() - 12, file.end()), iend);
}

// Sixteen-bit samples are stored most significant byte first.
TEST(PNGEncoder, SixteenBitSamplesAreBigEndian)
{
    Bitmap bitmap(1, 1, Format::L16);
    const u16 v = 0x1234;
    std::memcpy(bitmap.image, &v, 2);
    const Bytes file = encode(bitmap);
    // IDAT: behind the signature and IHDR
    const size_t length = (size_t(file[33]) << 24) | (size_t(file[34]) << 16) | (size_t(file[35]) << 8) | file[36];
    ASSERT_EQ(std::string(file.begin() + 37, file.begin() + 41), "IDAT");
    u8 raw[3] = {};
    size_t actual = 0;
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    ASSERT_EQ(libdeflate_zlib_decompress(d, file.data() + 41, length, raw, 3, &actual), LIBDEFLATE_SUCCESS);
    libdeflate_free_decompressor(d);
    EXPECT_EQ(actual, 3u);
    EXPECT_EQ(raw[0], 0);
    EXPECT_EQ(raw[1], 0x12);
    EXPECT_EQ(raw[2], 0x34);
}

// Grey, grey with alpha and RGBA at 8 and 16 bits read back through libpng exactly.
TEST(PNGEncoder, RoundTripsThroughLibpng)
{
    const Format formats[] = { Format::L8, Format::LA88, Format::RGBA8888, Format::L16, Format::LA1616, Format::RGBA16 };
    u32 seed = 10;
    for (const Format& format : formats)
    {
        for (const auto& [w, h] : { std::pair(1, 1), std::pair(13, 7), std::pair(300, 211) })
        {
            const Bitmap source = randomBitmap(w, h, format, ++seed);
            ImageEncodeStatus status;
            const Bytes file = encode(source, &status);
            ASSERT_TRUE(status.success) << status.info;
            const Image expected = imagekit::fromSurface(source);
            EXPECT_TRUE(imagekit::sameImage(imagekit::decodeLibpng(file), expected)) << format.bits << " " << w;

            const imagekit::Decoded ours = imagekit::decodeNative(file, ".png");
            ASSERT_TRUE(ours.status.success) << ours.status.info;
            EXPECT_TRUE(ours.header.format == format || (format == Format::RGBA8888 && ours.header.format == Format::BGRA8888));
            EXPECT_TRUE(imagekit::sameImage(ours.image, expected));
        }
    }
}

// Other formats are converted first: a BGRA pixel is written as RGBA and reads back as
// the same colour.
TEST(PNGEncoder, ConvertsOtherFormats)
{
    Bitmap bitmap(1, 1, Format::BGRA8888);
    const u8 bgra[4] = { 10, 20, 30, 40 };
    std::memcpy(bitmap.image, bgra, 4);
    const Bytes file = encode(bitmap);
    EXPECT_EQ(file[25], 6);    // colour type RGBA
    const imagekit::Decoded ours = imagekit::decodeNative(file, ".png");
    ASSERT_TRUE(ours.header.format == Format::BGRA8888);
    EXPECT_TRUE(imagekit::sameImage(ours.image, imagekit::fromSurface(bitmap)));
}

TEST(PNGEncoder, EmptySurfaceIsAnError)
{
    Surface empty;
    ImageEncodeStatus status;
    const Bytes file = encode(empty, &status);
    EXPECT_FALSE(status.success);
    EXPECT_EQ(status.info, "[ImageEncoder.PNG] Incorrect image size (0 x 0).");
    EXPECT_TRUE(file.empty());
}
