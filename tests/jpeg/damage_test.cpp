// Damaged and incomplete files: what is there decodes as libjpeg decodes it, what is
// missing is flat (as zero coefficients give), the status says what happened, and the
// pixels do not depend on the number of threads.

#include <random>

#include "jpeg_test_util.hpp"

using namespace norva;
using namespace jpegtest;

namespace
{
    const char* const ENDED = "Data ended early";
    const char* const CORRUPT = "Corrupt data";

    bool says(const ImageDecodeStatus& status, const char* text)
    {
        return status.info.find(text) != std::string::npos;
    }

    // The first byte after the first SOS segment.
    size_t scanData(const Bytes& data)
    {
        for (size_t p = 2; p + 3 < data.size(); ++p)
        {
            if (data[p] == 0xFF && data[p + 1] == 0xDA)
                return p + 2 + ((data[p + 2] << 8) | data[p + 3]);
        }
        ADD_FAILURE() << "no scan";
        return 0;
    }

    size_t findMarker(const Bytes& data, size_t from, u8 code)
    {
        for (size_t p = from; p + 1 < data.size(); ++p)
        {
            if (data[p] == 0xFF && data[p + 1] == code)
                return p;
        }
        ADD_FAILURE() << "no marker " << int(code);
        return data.size();
    }

    Image rows(const Image& image, int y0, int y1)
    {
        Image part = imagekit::makeImage(image.width, y1 - y0, image.depth);
        std::copy(image.rgba.begin() + ptrdiff_t(y0) * image.width * 4, image.rgba.begin() + ptrdiff_t(y1) * image.width * 4,
                  part.rgba.begin());
        return part;
    }

    // Every colour sample of the rectangle is `value`.
    ::testing::AssertionResult flat(const Image& image, int x0, int y0, int x1, int y1, int value)
    {
        for (int y = y0; y < y1; ++y)
        {
            for (int x = x0; x < x1; ++x)
            {
                for (int c = 0; c < 3; ++c)
                {
                    if (image.at(x, y, c) != value)
                        return ::testing::AssertionFailure() << "sample " << c << " at (" << x << ", " << y << ") is "
                                                             << image.at(x, y, c) << ", expected " << value;
                }
            }
        }
        return ::testing::AssertionSuccess();
    }

    // The 8x8 pixel blocks in which a colour sample differs by more than tolerance.
    int blocksApart(const Image& a, const Image& b, int tolerance)
    {
        int blocks = 0;
        for (int by = 0; by < a.height; by += 8)
        {
            for (int bx = 0; bx < a.width; bx += 8)
            {
                bool apart = false;
                for (int y = by; y < std::min(by + 8, a.height); ++y)
                {
                    for (int x = bx; x < std::min(bx + 8, a.width); ++x)
                    {
                        for (int c = 0; c < 3; ++c)
                            apart |= std::abs(int(a.at(x, y, c)) - int(b.at(x, y, c))) > tolerance;
                    }
                }
                blocks += apart;
            }
        }
        return blocks;
    }

    // One thread and four give the same outcome and pixels; the one-thread decode.
    Decoded decodeBothWays(const Bytes& data)
    {
        const Decoded single = decode(data, Format::BGR888, 1);
        const Decoded pool = decode(data, Format::BGR888, 4);
        EXPECT_EQ(pool.status.info, single.status.info);
        EXPECT_TRUE(imagekit::sameImage(pool.image, single.image)) << "the pool's pixels differ";
        return single;
    }

    Bytes cut(const Bytes& data, size_t length)
    {
        return Bytes(data.begin(), data.begin() + ptrdiff_t(length));
    }

    // The file cut at 40% of its entropy data.
    Bytes cutInTheScan(const Bytes& whole)
    {
        const size_t scan = scanData(whole);
        return cut(whole, scan + (whole.size() - scan) * 2 / 5);
    }

} // namespace

TEST(JpegDamage, StrayMarkerLosesOnlyTheRestOfItsInterval)
{
    // one restart interval per MCU row of 16 pixel rows; a marker code that means nothing
    // lands in the middle of the first interval
    Bytes data = readFixture("restart_rows.jpg");
    const Decoded intact = decode(data, Format::BGR888);
    ASSERT_TRUE(intact.status.success) << intact.status.info;
    const size_t scan = scanData(data);
    size_t at = scan + (findMarker(data, scan, 0xD0) - scan) / 2;
    while (data[at - 1] == 0xFF || data[at] == 0xFF || data[at + 1] == 0xFF)
        ++at;
    data[at] = 0xFF;
    data[at + 1] = 0x9F;

    const Image reference = referenceDecode(data, JCS_EXT_BGR, false);
    ASSERT_FALSE(reference.empty());

    const Decoded ours = decodeBothWays(data);
    ASSERT_TRUE(ours.status.success) << ours.status.info;
    EXPECT_TRUE(says(ours.status, CORRUPT)) << ours.status.info;

    // libjpeg resynchronises at the interval's restart marker: the later intervals are whole
    EXPECT_TRUE(imagekit::sameImage(rows(ours.image, 16, 45), rows(intact.image, 16, 45)));
    EXPECT_LE(compare(rows(ours.image, 16, 45), rows(reference, 16, 45)).max, 4);
    // the damaged interval's last MCU lies behind the marker
    EXPECT_TRUE(flat(ours.image, 64, 0, 67, 16, 128));
}

TEST(JpegDamage, TruncatedScanIsFlatWhereDataIsMissingAndSaysSo)
{
    // three MCU rows of 16 pixel rows; cut at 40% of the entropy data, inside the second row
    for (const char* file : { "baseline_420.jpg", "restart_7b.jpg", "arithmetic.jpg", "arithmetic_restart_rows.jpg" })
    {
        SCOPED_TRACE(file);
        const Bytes whole = readFixture(file);
        const Decoded intact = decode(whole, Format::BGR888);
        ASSERT_TRUE(intact.status.success) << intact.status.info;
        const Bytes data = cutInTheScan(whole);

        const Image reference = referenceDecode(data, JCS_EXT_BGR, false);
        ASSERT_FALSE(reference.empty());

        const Decoded ours = decodeBothWays(data);
        ASSERT_TRUE(ours.status.success) << ours.status.info;
        EXPECT_TRUE(says(ours.status, ENDED)) << ours.status.info;
        EXPECT_TRUE(flat(ours.image, 0, 32, 67, 45, 128));

        // the first MCU row is whole, as in libjpeg's picture
        EXPECT_TRUE(imagekit::sameImage(rows(ours.image, 0, 16), rows(intact.image, 0, 16)));
        EXPECT_LE(compare(rows(ours.image, 0, 16), rows(reference, 0, 16)).max, 4);
    }
}

TEST(JpegDamage, TruncatedLosslessKeepsWhatItDecodedAndSaysSo)
{
    // cut at 40% of the entropy data: the rows before the cut are whole; after it, Huffman
    // samples continue their prediction, arithmetic ones decode from the zero bytes that
    // stand in for the missing data
    for (const char* file : { "lossless_8_sv1.jpg", "lossless_arith_8_sv6_restart.jpg", "lossless_arith_16_dac.jpg",
                              "lossless_arith_rgb_pt1.jpg", "lossless_arith_4c_restart.jpg" })
    {
        SCOPED_TRACE(file);
        const Bytes whole = readFixture(file);
        const Decoded intact = decode(whole, Format::BGR888);
        ASSERT_TRUE(intact.status.success) << intact.status.info;
        const Bytes data = cutInTheScan(whole);

        const Decoded ours = decodeBothWays(data);
        ASSERT_TRUE(ours.status.success) << ours.status.info;
        EXPECT_TRUE(says(ours.status, ENDED)) << ours.status.info;
        // (restart markers that never come are out of step as well)
        if (std::string(file).find("restart") == std::string::npos)
        {
            EXPECT_FALSE(says(ours.status, CORRUPT)) << ours.status.info;
        }
        EXPECT_TRUE(imagekit::sameImage(rows(ours.image, 0, 12), rows(intact.image, 0, 12)));
        EXPECT_FALSE(imagekit::sameImage(rows(ours.image, 30, 45), rows(intact.image, 30, 45)));
    }
}

TEST(JpegDamage, NoiseInALosslessIntervalLosesOnlyThatInterval)
{
    // a restart every three rows (five for four components); bytes of noise over the middle
    // of the second interval
    for (const char* file : { "lossless_arith_8_sv6_restart.jpg", "lossless_arith_4c_restart.jpg", "lossless_4c_restart.jpg" })
    {
        SCOPED_TRACE(file);
        const Bytes whole = readFixture(file);
        const Decoded intact = decode(whole, Format::BGR888);
        ASSERT_TRUE(intact.status.success) << intact.status.info;
        const int rowsPerInterval = std::string(file).find("4c") != std::string::npos ? 5 : 3;
        const size_t first = findMarker(whole, scanData(whole), 0xD0) + 2;
        const size_t second = findMarker(whole, first, 0xD1);
        for (u32 seed = 1; seed <= 8; ++seed)
        {
            SCOPED_TRACE(seed);
            Bytes data = whole;
            std::mt19937 random(seed);
            for (size_t i = first + (second - first) / 4; i < first + (second - first) * 3 / 4; ++i)
                data[i] = u8(random() % 0xFF);

            const Decoded ours = decodeBothWays(data);
            ASSERT_TRUE(ours.status.success) << ours.status.info;
            EXPECT_TRUE(says(ours.status, CORRUPT)) << ours.status.info;
            EXPECT_TRUE(imagekit::sameImage(rows(ours.image, 0, rowsPerInterval), rows(intact.image, 0, rowsPerInterval)));
            EXPECT_FALSE(imagekit::sameImage(rows(ours.image, rowsPerInterval, 2 * rowsPerInterval),
                                             rows(intact.image, rowsPerInterval, 2 * rowsPerInterval)));
            EXPECT_TRUE(imagekit::sameImage(rows(ours.image, 2 * rowsPerInterval, 45), rows(intact.image, 2 * rowsPerInterval, 45)));
        }
    }
}

TEST(JpegDamage, LosslessComponentWithoutAScanIsZero)
{
    // two components in a scan each; the file ends after the first (with its end marker:
    // nothing ended early)
    for (const char* file : { "lossless_2c.jpg", "lossless_arith_2c.jpg" })
    {
        SCOPED_TRACE(file);
        const Bytes whole = readFixture(file);
        const Decoded intact = decode(whole, Format::RGB888);
        ASSERT_TRUE(intact.status.success) << intact.status.info;
        Bytes data = cut(whole, findMarker(whole, scanData(whole), 0xDA));
        data.push_back(0xFF);
        data.push_back(0xD9);

        const Decoded ours = decodeBothWays(data);
        ASSERT_TRUE(ours.status.success) << ours.status.info;
        Image expected = intact.image;
        for (int y = 0; y < expected.height; ++y)
        {
            for (int x = 0; x < expected.width; ++x)
                expected.at(x, y, 1) = 0;
        }
        // (decodeBothWays decodes to BGR)
        const Decoded rgb = decode(data, Format::RGB888);
        EXPECT_TRUE(imagekit::sameImage(rgb.image, expected));
    }
}

TEST(JpegDamage, EmptyScanIsFlatAndSaysSo)
{
    // (an arithmetic code of zeros is a valid code, which a coder's flush may leave as no
    // bytes at all: an empty arithmetic scan decodes as those zeros, as in libjpeg)
    for (const char* file : { "baseline_420.jpg", "restart_rows.jpg", "progressive.jpg" })
    {
        SCOPED_TRACE(file);
        const Bytes whole = readFixture(file);
        Bytes data = cut(whole, scanData(whole));
        data.push_back(0xFF);
        data.push_back(0xD9);
        const Decoded ours = decodeBothWays(data);
        ASSERT_TRUE(ours.status.success) << ours.status.info;
        EXPECT_TRUE(says(ours.status, ENDED)) << ours.status.info;
        // a first progressive scan holds DC only: without it everything is flat too
        EXPECT_TRUE(flat(ours.image, 0, 0, 67, 45, 128));
    }
}

TEST(JpegDamage, MissingEndMarkerKeepsThePictureAndSaysSo)
{
    for (const char* file : { "baseline_420.jpg", "progressive.jpg", "lossless_8_sv1.jpg", "arithmetic.jpg",
                              "lossless_arith_8_sv6_restart.jpg", "lossless_arith_16_dac.jpg" })
    {
        SCOPED_TRACE(file);
        const Bytes whole = readFixture(file);
        const Decoded intact = decode(whole, Format::BGR888);
        ASSERT_TRUE(intact.status.success) << intact.status.info;
        EXPECT_FALSE(says(intact.status, ENDED)) << intact.status.info;

        const Decoded ours = decode(cut(whole, whole.size() - 2), Format::BGR888);
        ASSERT_TRUE(ours.status.success) << ours.status.info;
        EXPECT_TRUE(says(ours.status, ENDED)) << ours.status.info;
        EXPECT_TRUE(imagekit::sameImage(ours.image, intact.image));
    }
}

TEST(JpegDamage, TruncatedProgressiveKeepsTheScansItHas)
{
    // the missing scans refine nothing, as in libjpeg
    const Bytes whole = readFixture("progressive.jpg");
    std::vector<size_t> scans;
    for (size_t p = 0; p + 1 < whole.size(); ++p)
    {
        if (whole[p] == 0xFF && whole[p + 1] == 0xDA)
            scans.push_back(p);
    }
    ASSERT_GE(scans.size(), 6u);

    for (size_t scan : { size_t(1), size_t(3), scans.size() - 1 })
    {
        SCOPED_TRACE(scan);
        // cut before a scan: the scans before it are whole
        Bytes data = cut(whole, scans[scan]);
        Image reference = referenceDecode(data, JCS_EXT_BGR, false);
        ASSERT_FALSE(reference.empty());
        Decoded ours = decode(data, Format::BGR888);
        ASSERT_TRUE(ours.status.success) << ours.status.info;
        EXPECT_TRUE(says(ours.status, ENDED)) << ours.status.info;
        Difference d = compare(ours.image, reference);
        EXPECT_LE(d.max, 4);
        EXPECT_LE(d.mean, 0.15);

        // cut inside a scan: libjpeg keeps what the unit the data ran out in decoded from the
        // zeros past the data, a first scan here does not; the rest agrees
        const size_t data0 = scans[scan] + 2 + ((whole[scans[scan] + 2] << 8) | whole[scans[scan] + 3]);
        const size_t next = scan + 1 < scans.size() ? scans[scan + 1] : whole.size() - 2;
        data = cut(whole, (data0 + next) / 2);
        reference = referenceDecode(data, JCS_EXT_BGR, false);
        ASSERT_FALSE(reference.empty());
        ours = decode(data, Format::BGR888);
        ASSERT_TRUE(ours.status.success) << ours.status.info;
        EXPECT_TRUE(says(ours.status, ENDED)) << ours.status.info;
        EXPECT_LE(blocksApart(ours.image, reference, 4), 4);   // one MCU
    }
}

TEST(JpegDamage, ProgressiveScansLeftForLaterEndAsOneThreadDoes)
{
    // Found by fuzzing: marker codes no writer uses inside a scan with restart intervals,
    // which the scan's decoder passes over. Several threads first go on at the first of
    // them, meet a segment length the file cannot hold and fail; the decode one scan after
    // another does not stop there, and its outcome is what every thread count must give.
    const Bytes data = readFixture("progressive_stray_markers.jpg");
    const Decoded one = decode(data, Format::BGRA8888, 1);
    for (u32 threads : { 2u, 4u, 8u })
    {
        SCOPED_TRACE(threads);
        const Decoded many = decode(data, Format::BGRA8888, threads);
        EXPECT_EQ(many.status.success, one.status.success);
        EXPECT_EQ(many.status.info, one.status.info);
        if (one.status.success && many.status.success)
        {
            EXPECT_TRUE(imagekit::sameImage(many.image, one.image));
        }
    }
}

TEST(JpegDamage, ProgressiveScansRunAgainOnlyWhenTheParseWentWrong)
{
    // Scans left for later are passed by a marker walk that skips their restart markers; a
    // walk that stops anywhere else costs a second decode one scan after another, which
    // gives the same pixels, so only the count shows it.
    const struct { const char* file; u32 replays; } cases[] = {
        { "progressive.jpg", 0 }, { "progressive_restart.jpg", 0 }, { "progressive_gray.jpg", 0 },
        { "progressive_3x1.jpg", 0 }, { "progressive_422.jpg", 0 }, { "arithmetic_progressive.jpg", 0 },
        { "bits12_progressive.jpg", 0 }, { "size_1x33_progressive.jpg", 0 },
        { "progressive_stray_markers.jpg", 1 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.file);
        const Bytes data = readFixture(c.file);
        jpeg::Parser parser(memoryOf(data));
        parser.threadOverride = 4;
        const ImageHeader& header = parser.header();
        ASSERT_TRUE(header.success) << header.info;
        std::vector<u8> pixels(size_t(header.width) * header.height * 4);
        Surface surface(header.width, header.height, Format::BGRA8888, header.width * 4, pixels.data());
        const ImageDecodeStatus status = parser.decode(surface);
        if (!c.replays)
        {
            EXPECT_TRUE(status.success && !says(status, ENDED) && !says(status, CORRUPT)) << status.info;
        }
        EXPECT_EQ(parser.progressiveReplays, c.replays);
    }
}

TEST(JpegDamage, RestartMarkerAfterAProgressiveScanIsPassedAsOneThreadPassesIt)
{
    // Some encoders end a scan with restart intervals with one more restart marker; one
    // thread passes it (whatever its number, fill bytes and a second marker too) without a
    // word, and several must go on where it does without decoding again. Entropy bytes after
    // that marker are damage the parse warns about: there the decode runs again, as the one
    // thread decode it must match.
    const struct { const char* file; const char* intact; bool damaged; } cases[] = {
        { "progressive_trailing_restart.jpg", "progressive_restart.jpg", false },
        { "progressive_trailing_restart_mixed.jpg", "progressive_restart.jpg", false },
        { "arithmetic_progressive_trailing_restart.jpg", "arithmetic_progressive_restart.jpg", false },
        { "progressive_trailing_restart_data.jpg", "progressive_restart.jpg", true },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.file);
        const Decoded intact = decode(readFixture(c.intact), Format::BGRA8888, 1);
        ASSERT_TRUE(intact.status.success) << intact.status.info;
        ASSERT_FALSE(says(intact.status, CORRUPT) || says(intact.status, ENDED)) << intact.status.info;

        const Bytes data = readFixture(c.file);
        for (u32 threads : { 1u, 2u, 4u, 8u })
        {
            SCOPED_TRACE(threads);
            jpeg::Parser parser(memoryOf(data));
            parser.threadOverride = threads;
            const ImageHeader& header = parser.header();
            ASSERT_TRUE(header.success) << header.info;
            std::vector<u8> pixels(size_t(header.width) * header.height * 4);
            Surface surface(header.width, header.height, Format::BGRA8888, header.width * 4, pixels.data());
            const ImageDecodeStatus status = parser.decode(surface);
            ASSERT_TRUE(status.success) << status.info;

            // the marker changes no pixel, and only the damaged file says anything
            EXPECT_TRUE(imagekit::sameImage(imagekit::fromSurface(surface), intact.image));
            if (c.damaged)
                EXPECT_EQ(status.info, intact.status.info + "; " + CORRUPT);
            else
                EXPECT_EQ(status.info, intact.status.info);
            EXPECT_EQ(parser.progressiveReplays, threads >= 2 && c.damaged ? 1u : 0u);
        }
    }
}

TEST(JpegDamage, NoFrameHeaderFailsWithAMessage)
{
    const Bytes jfif = { 0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0, 0xFF, 0xD9 };
    const Bytes cases[] = { { 0xFF, 0xD8, 0xFF, 0xD9 }, { 0xFF, 0xD8, 0, 0 }, jfif, { 'G', 'I', 'F', '8', '9', 'a', 0, 0 }, {} };
    for (const Bytes& data : cases)
    {
        SCOPED_TRACE(data.size());
        jpeg::Parser parser(memoryOf(data));
        const ImageHeader& header = parser.header();
        EXPECT_FALSE(header.success);
        EXPECT_FALSE(header.info.empty());

        u8 pixel[4] = {};
        Surface surface(1, 1, Format::BGRA8888, 4, pixel);
        const ImageDecodeStatus status = parser.decode(surface);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, header.info);
    }
}

TEST(JpegDamage, IntactFilesDecodeWithoutWarnings)
{
    // every process, restart layout and coder: a whole file leaves no bytes over, runs out of
    // none and keeps its restart markers in step
    const std::vector<std::string> files = imagekit::listFixturesWithExtension(".jpg");
    ASSERT_GT(files.size(), 60u);
    for (const std::string& file : files)
    {
        SCOPED_TRACE(file);
        const Decoded ours = decodeBothWays(readFixture(file));
        // damaged on purpose: the test of trailing restart markers checks its warning
        if (file == "progressive_trailing_restart_data.jpg")
            continue;
        if (!ours.status.success)
        {
            // the fixtures of processes that are refused on purpose
            EXPECT_FALSE(ours.status.info.empty());
            continue;
        }
        EXPECT_FALSE(says(ours.status, ENDED) || says(ours.status, CORRUPT)) << ours.status.info;
    }
}
