// Truncated and bit-flipped files of every process: any status is allowed, a crash, an
// overrun (under the sanitizers) or a hang is not.

#include <random>

#include "jpeg_test_util.hpp"

using namespace norva;
using namespace jpegtest;

namespace
{
    const char* sweepFiles[] =
    {
        "baseline_420.jpg", "sample_3x1.jpg", "sample_1x1_2x2_1x1.jpg", "restart_7b.jpg",
        "progressive.jpg", "progressive_restart.jpg", "multiscan.jpg", "arithmetic.jpg",
        "arithmetic_progressive.jpg", "arithmetic_restart_rows.jpg", "cmyk.jpg", "ycck_420.jpg",
        "bits12_progressive.jpg", "lossless_8_sv4.jpg", "lossless_rgb.jpg", "exif.jpg",
    };

    void decodeAnyway(const std::vector<u8>& data, u32 threads)
    {
        jpeg::Parser parser(memoryOf(data));
        parser.threadOverride = threads;
        const ImageHeader& header = parser.header();
        if (!header.success || header.width <= 0 || header.height <= 0 || header.width > 4096 || header.height > 4096)
            return;
        std::vector<u8> pixels(size_t(header.width) * header.height * 3);
        Surface surface(header.width, header.height, Format::BGR888, header.width * 3, pixels.data());
        const ImageDecodeStatus status = parser.decode(surface);
        if (status.success)
        {
            EXPECT_FALSE(status.info.empty());
        }
    }

} // namespace

TEST(JpegSweep, Truncation)
{
    for (const char* file : sweepFiles)
    {
        SCOPED_TRACE(file);
        const std::vector<u8> data = loadFile(file);
        const size_t step = std::max<size_t>(1, data.size() / 150);
        for (size_t size = 0; size < data.size(); size += step)
        {
            const std::vector<u8> cut(data.begin(), data.begin() + ptrdiff_t(size));
            decodeAnyway(cut, size % 2 ? 1 : 4);
        }
    }
}

TEST(JpegSweep, BitFlips)
{
    std::mt19937 random(20261210);
    for (const char* file : sweepFiles)
    {
        SCOPED_TRACE(file);
        const std::vector<u8> data = loadFile(file);
        for (int round = 0; round < 150; ++round)
        {
            std::vector<u8> damaged = data;
            const int flips = 1 + int(random() % 4);
            for (int i = 0; i < flips; ++i)
            {
                const size_t at = random() % damaged.size();
                damaged[at] ^= u8(1u << (random() % 8));
            }
            decodeAnyway(damaged, round % 2 ? 1 : 4);
        }
    }
}

TEST(JpegSweep, RandomBytesInTheEntropyData)
{
    // a valid header over noise: the entropy decoders meet every kind of code
    std::mt19937 random(7);
    for (const char* file : { "baseline_420.jpg", "progressive.jpg", "arithmetic.jpg", "arithmetic_progressive.jpg", "lossless_8_sv1.jpg" })
    {
        SCOPED_TRACE(file);
        const std::vector<u8> data = loadFile(file);
        size_t scan = 0;
        for (size_t p = 2; p + 1 < data.size(); ++p)
        {
            if (data[p] == 0xFF && data[p + 1] == 0xDA)
            {
                scan = p + 2 + ((data[p + 2] << 8) | data[p + 3]);
                break;
            }
        }
        ASSERT_NE(scan, 0u);
        for (int round = 0; round < 40; ++round)
        {
            std::vector<u8> noisy = data;
            for (size_t i = scan; i + 2 < noisy.size(); ++i)
                noisy[i] = u8(random());
            decodeAnyway(noisy, round % 2 ? 1 : 4);
        }
    }
}
