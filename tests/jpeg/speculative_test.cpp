// Speculative parallel entropy decoding of sequential scans without restart markers: the
// pixels and the status must be those of the one-thread decoder for every file, damaged or
// not, however many ranges the data is cut into. Forcing many small ranges on small files
// makes ranges that resynchronise at once, late, or never.

#include <filesystem>
#include <random>

#include <norva/core/thread.hpp>

#include "jpeg_test_util.hpp"

using namespace norva;
using namespace jpegtest;

namespace
{
    struct Outcome
    {
        Decoded decoded;
        jpeg::Parser::SpeculativeCounts counts;
    };

    // ranges 0: the one-thread decoder; otherwise the pool with the data cut into that many
    Outcome decodeWithRanges(const Bytes& data, u32 ranges)
    {
        Outcome outcome;
        Decoded& result = outcome.decoded;
        jpeg::Parser parser(memoryOf(data));
        parser.threadOverride = ranges ? std::max(2u, ThreadPool::getHardwareConcurrency()) : 1;
        parser.entropyRangeOverride = ranges;
        result.header = parser.header();
        if (!result.header.success || result.header.width <= 0 || result.header.width > 8192 || result.header.height > 8192)
        {
            result.status.setError("header: %s", result.header.info.c_str());
            return outcome;
        }
        const int width = result.header.width;
        const int height = result.header.height;
        std::vector<u8> pixels(size_t(width) * height * 4, 0);
        Surface surface(width, height, Format::BGRA8888, width * 4, pixels.data());
        result.status = parser.decode(surface);
        result.image = imagekit::fromSurface(surface);
        outcome.counts = parser.speculative;
        return outcome;
    }

    void expectSame(const Decoded& serial, const Decoded& parallel)
    {
        EXPECT_EQ(serial.status.success, parallel.status.success);
        EXPECT_EQ(serial.status.info, parallel.status.info);
        if (serial.status.success && parallel.status.success)
        {
            ASSERT_EQ(serial.image.width, parallel.image.width);
            ASSERT_EQ(serial.image.height, parallel.image.height);
            EXPECT_TRUE(serial.image.rgba == parallel.image.rgba) << "pixels differ";
        }
    }

    void add(jpeg::Parser::SpeculativeCounts& total, const jpeg::Parser::SpeculativeCounts& counts)
    {
        total.scans += counts.scans;
        total.joined += counts.joined;
        total.passed += counts.passed;
        total.declined += counts.declined;
    }

    // A photograph tiled to a size whose entropy data is worth cutting, encoded by libjpeg
    // without restart markers.
    Bytes encodeMosaic(int hsf, int vsf, bool gray, int quality = 90)
    {
        static const ReferenceSamples photo = referenceSamples(readFixture("photo_grace_hopper.jpg"), JCS_RGB);
        const int width = photo.width * 2 - 13;
        const int height = photo.height * 2 - 5;

        std::vector<u8> rgb(size_t(width) * height * 3);
        for (int y = 0; y < height; ++y)
        {
            for (int x = 0; x < width; ++x)
            {
                // mirrored tiles: no seams, but no tile equals another
                const int tx = x / photo.width, ty = y / photo.height;
                int sx = x % photo.width, sy = y % photo.height;
                if (tx & 1)
                    sx = photo.width - 1 - sx;
                if (ty & 1)
                    sy = photo.height - 1 - sy;
                const u8* s = photo.samples.data() + (size_t(sy) * photo.width + sx) * 3;
                u8* d = rgb.data() + (size_t(y) * width + x) * 3;
                for (int c = 0; c < 3; ++c)
                    d[c] = u8(s[(c + tx + ty) % 3]);
            }
        }

        jpeg_compress_struct info;
        jpeg_error_mgr error;
        info.err = jpeg_std_error(&error);
        jpeg_create_compress(&info);
        unsigned char* output = nullptr;
        unsigned long size = 0;
        jpeg_mem_dest(&info, &output, &size);
        info.image_width = JDIMENSION(width);
        info.image_height = JDIMENSION(height);
        info.input_components = 3;
        info.in_color_space = JCS_RGB;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, quality, TRUE);
        if (gray)
            jpeg_set_colorspace(&info, JCS_GRAYSCALE);
        info.comp_info[0].h_samp_factor = hsf;
        info.comp_info[0].v_samp_factor = vsf;
        jpeg_start_compress(&info, TRUE);
        while (info.next_scanline < info.image_height)
        {
            JSAMPROW row = rgb.data() + size_t(info.next_scanline) * width * 3;
            jpeg_write_scanlines(&info, &row, 1);
        }
        jpeg_finish_compress(&info);
        jpeg_destroy_compress(&info);
        Bytes file(output, output + size);
        std::free(output);
        return file;
    }

    size_t entropyStart(const Bytes& data)
    {
        for (size_t p = 2; p + 3 < data.size(); ++p)
        {
            if (data[p] == 0xFF && data[p + 1] == 0xDA)
                return p + 2 + ((data[p + 2] << 8) | data[p + 3]);
        }
        return 0;
    }

} // namespace

TEST(JpegSpeculative, EveryFixtureAsOnOneThread)
{
    const std::filesystem::path folder = std::filesystem::path(imagekit::fixturePath("baseline_420.jpg")).parent_path();
    jpeg::Parser::SpeculativeCounts total;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
    {
        if (entry.path().extension() != ".jpg")
            continue;
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        const Bytes data = readFixture(name);
        const Outcome serial = decodeWithRanges(data, 0);
        EXPECT_EQ(serial.counts.scans, 0u);
        for (u32 ranges : { 2u, 3u, 7u, 64u, 1000u })
        {
            SCOPED_TRACE(ranges);
            const Outcome parallel = decodeWithRanges(data, ranges);
            expectSame(serial.decoded, parallel.decoded);
            add(total, parallel.counts);
        }
        ++files;
    }
    EXPECT_GT(files, 60);
    // the sequential Huffman files went through the ranges; with a thousand ranges of a few
    // bytes, some are met and some never are
    EXPECT_GT(total.scans, 100u);
    EXPECT_GT(total.joined, 500u);
    EXPECT_GT(total.passed, 500u);
}

TEST(JpegSpeculative, LargeFilesWithoutRestartMarkers)
{
    struct Case { const char* name; int hsf, vsf; bool gray; };
    const Case cases[] =
    {
        { "420", 2, 2, false }, { "444", 1, 1, false }, { "422", 2, 1, false }, { "gray", 1, 1, true },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const Bytes data = encodeMosaic(c.hsf, c.vsf, c.gray);
        const Outcome serial = decodeWithRanges(data, 0);
        ASSERT_TRUE(serial.decoded.status.success) << serial.decoded.status.info;
        EXPECT_EQ(serial.decoded.status.info.find(';'), std::string::npos) << serial.decoded.status.info;

        // the pool's own choice of ranges, then forced counts
        {
            jpeg::Parser parser(memoryOf(data));
            parser.threadOverride = 8;
            const int width = parser.header().width, height = parser.header().height;
            std::vector<u8> pixels(size_t(width) * height * 4);
            Surface surface(width, height, Format::BGRA8888, width * 4, pixels.data());
            const ImageDecodeStatus status = parser.decode(surface);
            EXPECT_EQ(status.info, serial.decoded.status.info);
            EXPECT_TRUE(imagekit::fromSurface(surface).rgba == serial.decoded.image.rgba);
        }
        for (u32 ranges : { 2u, 8u, 300u })
        {
            SCOPED_TRACE(ranges);
            const Outcome parallel = decodeWithRanges(data, ranges);
            expectSame(serial.decoded, parallel.decoded);
            EXPECT_EQ(parallel.counts.scans, 1u);
            EXPECT_EQ(parallel.counts.declined, 0u);
            if (ranges <= 8)
            {
                EXPECT_EQ(parallel.counts.joined, ranges - 1);
            }
        }
    }
}

TEST(JpegSpeculative, CutsFlipsAndMarkersInALargeFile)
{
    const Bytes data = encodeMosaic(2, 2, false);
    const size_t scan = entropyStart(data);
    ASSERT_GT(scan, 0u);
    const size_t entropy = data.size() - 2 - scan;

    std::mt19937 random(20261210);
    jpeg::Parser::SpeculativeCounts total;
    int damagedButDecoded = 0;
    for (int round = 0; round < 48; ++round)
    {
        SCOPED_TRACE(round);
        Bytes damaged = data;
        const size_t at = scan + random() % entropy;
        switch (round % 4)
        {
            case 0:
                damaged.resize(at);     // cut
                break;
            case 1:
                damaged[at] ^= u8(1 << (random() % 8));     // one bit
                break;
            case 2:
            {
                // a marker inside the data: a restart the file never declared, or fill bytes
                const u8 marker[] = { 0xFF, u8(round % 8 == 2 ? 0xD3 : 0xFF), 0xFF, 0xD9 };
                damaged.insert(damaged.begin() + std::ptrdiff_t(at), marker, marker + (round % 8 == 2 ? 2 : 4));
                break;
            }
            default:
                for (int i = 0; i < 16; ++i)
                    damaged[scan + random() % entropy] = u8(random());   // a burst of noise
                break;
        }

        const Outcome serial = decodeWithRanges(damaged, 0);
        const Outcome parallel = decodeWithRanges(damaged, round % 3 ? 8 : 61);
        expectSame(serial.decoded, parallel.decoded);
        add(total, parallel.counts);
        if (serial.decoded.status.success && serial.decoded.status.info.find(';') != std::string::npos)
            ++damagedButDecoded;
    }
    EXPECT_GT(damagedButDecoded, 24);
    // flipped bits keep to the ranges; cuts and markers leave the scan to the serial decoder
    EXPECT_GT(total.scans, 16u);
    EXPECT_GT(total.declined, 16u);
}

TEST(JpegSpeculative, DamageSweepAgainstOneThread)
{
    imagekit::SweepPromises promises;
    promises.decodeWithThreads = [](const Bytes& data, unsigned threads) {
        return decodeWithRanges(data, threads == 1 ? 0 : 23).decoded;
    };
    promises.truncationIsDamage = true;
    promises.reportsDamage = [](const ImageDecodeStatus& status) {
        return status.info.find("Data ended early") != std::string::npos ||
               status.info.find("Corrupt data") != std::string::npos;
    };

    for (const char* file : { "baseline_420.jpg", "sample_444.jpg", "gray.jpg", "sample_2x2_2x1_1x1.jpg", "quality_1.jpg" })
    {
        SCOPED_TRACE(file);
        const Bytes data = readFixture(file);
        auto decodeAnyway = [](const Bytes& bytes, int run) {
            const Decoded decoded = decodeWithRanges(bytes, run % 2 ? 0 : 5).decoded;
            return decoded.status.success;
        };
        imagekit::PromiseStats checks;
        const imagekit::SweepStats stats = imagekit::robustnessSweep(data, decodeAnyway, 100, 200, 77, promises, checks);
        EXPECT_TRUE(stats.intact);
        EXPECT_GT(stats.decoded, 0);
        EXPECT_GT(checks.threadChecks, 100);
    }
}
