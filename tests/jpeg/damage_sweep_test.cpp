// Truncated and bit-flipped files of every process, through the test kit's damage sweep:
// a crash, an overrun (under the sanitizers) or a hang fails; one thread and the pool must
// give the same pixels, and a file that is cut, or that libjpeg finds damaged, must not
// decode as if whole. Each sweep also checks that its files decode at all, so that it cannot
// pass on a decoder that refuses everything.

#include <random>

#include <norva/core/thread.hpp>

#include "jpeg_test_util.hpp"

#include <jerror.h>

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
        "lossless_arith_8_sv6_restart.jpg", "lossless_arith_16_dac.jpg", "lossless_arith_2c.jpg",
        "lossless_arith_4c_restart.jpg",
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

    // The decoder object with one thread, or planning for the pool's (at least two, so that
    // the threaded drivers run on any machine).
    Decoded decodeWithThreads(const Bytes& data, unsigned threads)
    {
        Decoded result;
        jpeg::Parser parser(memoryOf(data));
        parser.threadOverride = threads ? threads : std::max(2u, ThreadPool::getHardwareConcurrency());
        result.header = parser.header();
        if (!result.header.success || result.header.width > 4096 || result.header.height > 4096)
        {
            result.status.setError("header: %s", result.header.info.c_str());
            return result;
        }
        const int width = result.header.width;
        const int height = result.header.height;
        std::vector<u8> pixels(size_t(width) * height * 3);
        Surface surface(width, height, Format::BGR888, width * 3, pixels.data());
        result.status = parser.decode(surface);
        result.image = imagekit::fromSurface(surface);
        return result;
    }

    bool reportsDamage(const ImageDecodeStatus& status)
    {
        return status.info.find("Data ended early") != std::string::npos ||
               status.info.find("Corrupt data") != std::string::npos;
    }

    // libjpeg's verdict on the entropy data and the file's end: a premature end of a segment
    // or of the file, bytes left over before a marker, restart markers out of step, codes
    // that mean nothing, or an error that stops it. (Its other warnings are about metadata.)
    struct Verdict
    {
        jpeg_error_mgr manager;
        std::jmp_buf jump;
        bool damaged = false;
    };

    void verdictExit(j_common_ptr info)
    {
        Verdict* verdict = reinterpret_cast<Verdict*>(info->err);
        verdict->damaged = true;
        std::longjmp(verdict->jump, 1);
    }

    void verdictMessage(j_common_ptr info, int level)
    {
        const int code = info->err->msg_code;
        if (level < 0 && (code == JWRN_HIT_MARKER || code == JWRN_EXTRANEOUS_DATA || code == JWRN_MUST_RESYNC ||
                          code == JWRN_JPEG_EOF || code == JWRN_HUFF_BAD_CODE || code == JWRN_ARITH_BAD_CODE))
            reinterpret_cast<Verdict*>(info->err)->damaged = true;
    }

    bool libjpegFindsDamage(const Bytes& data)
    {
        jpeg_decompress_struct info;
        Verdict verdict;
        info.err = jpeg_std_error(&verdict.manager);
        verdict.manager.error_exit = verdictExit;
        verdict.manager.emit_message = verdictMessage;
        std::vector<u8> row;
        if (setjmp(verdict.jump))
        {
            jpeg_destroy_decompress(&info);
            return true;
        }
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, data.data(), (unsigned long)data.size());
        jpeg_read_header(&info, TRUE);
        if (info.image_width > 4096 || info.image_height > 4096)
        {
            jpeg_destroy_decompress(&info);
            return false;
        }
        jpeg_start_decompress(&info);
        row.resize(size_t(info.output_width) * info.output_components);
        while (info.output_scanline < info.output_height)
        {
            JSAMPROW rows = row.data();
            jpeg_read_scanlines(&info, &rows, 1);
        }
        jpeg_finish_decompress(&info);
        jpeg_destroy_decompress(&info);
        return verdict.damaged;
    }

} // namespace

TEST(JpegSweep, TruncationAndBitFlips)
{
    imagekit::SweepPromises promises;
    promises.decodeWithThreads = decodeWithThreads;
    promises.reportsDamage = reportsDamage;
    promises.truncationIsDamage = true;

    for (const char* file : sweepFiles)
    {
        SCOPED_TRACE(file);
        const Bytes data = readFixture(file);
        // libjpeg-turbo reads the 8-bit DCT files; 12-bit and lossless ones have no verdict
        promises.structureDamaged = libjpegFindsDamage(data) ? nullptr : libjpegFindsDamage;

        imagekit::PromiseStats checks;
        const imagekit::SweepStats stats = imagekit::robustnessSweep(data, decodeAnyway, 150, 300, 20261210, promises, checks);
        EXPECT_TRUE(stats.intact);
        EXPECT_GT(stats.runs, 300);
        // damage in the entropy data decodes to something; a cut header does not
        EXPECT_GT(stats.decoded, 0);
        EXPECT_GT(stats.failures, 0);
        // the promises were put to the test
        EXPECT_GT(checks.threadChecks, 100);
        EXPECT_GT(checks.damageChecks, 150);
    }
}

TEST(JpegSweep, RandomBytesInTheEntropyData)
{
    // a valid header over noise: the entropy decoders meet every kind of code
    std::mt19937 random(7);
    for (const char* file : { "baseline_420.jpg", "progressive.jpg", "arithmetic.jpg", "arithmetic_progressive.jpg", "lossless_8_sv1.jpg",
                              "lossless_arith_8_sv6_restart.jpg", "lossless_arith_4c_restart.jpg" })
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
        int reported = 0;
        for (int round = 0; round < 40; ++round)
        {
            Bytes noisy = data;
            for (size_t i = scan; i + 2 < noisy.size(); ++i)
                noisy[i] = u8(random());
            const Decoded ours = decodeWithThreads(noisy, round % 2 ? 1 : 0);
            decoded += ours.status.success;
            reported += ours.status.success && reportsDamage(ours.status);
        }
        // the headers are intact, so the noise reaches the entropy decoders every time;
        // most of it decodes to pixels of some kind, and says that it is damaged
        EXPECT_GT(decoded, 0);
        EXPECT_GE(reported * 10, decoded * 8) << reported << " of " << decoded;
    }
}
