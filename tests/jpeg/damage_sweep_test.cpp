// Truncated and bit-flipped files of every process, through the test kit's damage sweep:
// any status is allowed, a crash, an overrun (under the sanitizers) or a hang is not. Each
// sweep also checks that its files decode at all, so that it cannot pass on a decoder that
// refuses everything.

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

    // The decoder object itself, on one thread and on four in turn; true when the file
    // has a frame and decodes.
    bool decodeAnyway(const Bytes& data, int run)
    {
        jpeg::Parser parser(memoryOf(data));
        parser.threadOverride = run % 2 ? 1 : 4;
        const ImageHeader& header = parser.header();
        if (!header.success || header.width <= 0 || header.height <= 0 || header.width > 4096 || header.height > 4096)
            return false;
        std::vector<u8> pixels(size_t(header.width) * header.height * 3);
        Surface surface(header.width, header.height, Format::BGR888, header.width * 3, pixels.data());
        const ImageDecodeStatus status = parser.decode(surface);
        if (status.success)
        {
            EXPECT_FALSE(status.info.empty());
        }
        return status.success;
    }

} // namespace

TEST(JpegSweep, TruncationAndBitFlips)
{
    for (const char* file : sweepFiles)
    {
        SCOPED_TRACE(file);
        const Bytes data = readFixture(file);
        const imagekit::SweepStats stats = imagekit::robustnessSweep(data, decodeAnyway, 150, 300, 20261210);
        EXPECT_TRUE(stats.intact);
        EXPECT_GT(stats.runs, 300);
        // damage in the entropy data decodes to something; a cut header does not
        EXPECT_GT(stats.decoded, 0);
        EXPECT_GT(stats.failures, 0);
    }
}

TEST(JpegSweep, RandomBytesInTheEntropyData)
{
    // a valid header over noise: the entropy decoders meet every kind of code
    std::mt19937 random(7);
    for (const char* file : { "baseline_420.jpg", "progressive.jpg", "arithmetic.jpg", "arithmetic_progressive.jpg", "lossless_8_sv1.jpg" })
    {
        SCOPED_TRACE(file);
        const Bytes data = readFixture(file);
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
        int decoded = 0;
        for (int round = 0; round < 40; ++round)
        {
            Bytes noisy = data;
            for (size_t i = scan; i + 2 < noisy.size(); ++i)
                noisy[i] = u8(random());
            decoded += decodeAnyway(noisy, round) ? 1 : 0;
        }
        // the headers are intact, so the noise reaches the entropy decoders every time;
        // most of it decodes to pixels of some kind
        EXPECT_GT(decoded, 0);
    }
}
