// Header results, info strings, metadata, the direct flag and the registry entry; and a
// table of damaged headers, each with the message it must give.

#include <functional>

#include <norva/image/decoder.hpp>

#include "jpeg_test_util.hpp"

using namespace norva;
using namespace jpegtest;

namespace
{
    // Offset of the first marker segment `marker` before the first scan, or npos.
    size_t findSegment(const std::vector<u8>& data, u8 marker)
    {
        size_t p = 2;
        while (p + 4 <= data.size() && data[p] == 0xFF)
        {
            const u8 m = data[p + 1];
            if (m == marker)
                return p;
            if (m == 0xDA)
                break;
            p += 2 + ((data[p + 2] << 8) | data[p + 3]);
        }
        return std::string::npos;
    }

    std::vector<u8> withSegment(std::vector<u8> data, size_t at, const std::vector<u8>& segment)
    {
        data.insert(data.begin() + ptrdiff_t(at), segment.begin(), segment.end());
        return data;
    }

    std::vector<u8> app2(u8 sequence, u8 count, const std::vector<u8>& payload)
    {
        const u8 header[] = { 0xFF, 0xE2, 0, 0, 'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, sequence, count };
        std::vector<u8> s(std::begin(header), std::end(header));
        s.insert(s.end(), payload.begin(), payload.end());
        const size_t length = s.size() - 2;
        s[2] = u8(length >> 8);
        s[3] = u8(length);
        return s;
    }

} // namespace

TEST(JpegHeader, SizesAndFormats)
{
    struct Case { const char* file; int width; int height; Format format; };
    const Case cases[] =
    {
        { "baseline_420.jpg", 67, 45, Format::BGRA8888 },
        { "gray.jpg", 67, 45, Format::L8 },
        { "cmyk.jpg", 67, 45, Format::BGRA8888 },
        { "lossless_8_sv1.jpg", 67, 45, Format::L8 },
        { "bits12_progressive.jpg", 67, 45, Format::L8 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.file);
        const Bytes data = readFixture(c.file);
        jpeg::Parser parser(memoryOf(data));
        const ImageHeader& header = parser.header();
        EXPECT_TRUE(header.success) << header.info;
        EXPECT_EQ(header.width, c.width);
        EXPECT_EQ(header.height, c.height);
        EXPECT_TRUE(header.format == c.format);
        EXPECT_EQ(header.depth, 0);
        EXPECT_EQ(header.levels, 0);
        EXPECT_FALSE(header.palette);
    }
}

TEST(JpegHeader, NotAJpeg)
{
    const std::vector<u8> data = { 'G', 'I', 'F', '8', '9', 'a', 0, 0 };
    jpeg::Parser parser(memoryOf(data));
    EXPECT_FALSE(parser.header().success);
    EXPECT_EQ(parser.header().info, "Not a JPEG file");
    EXPECT_EQ(parser.header().width, 0);

    u8 pixel[4] = {};
    Surface surface(1, 1, Format::BGRA8888, 4, pixel);
    const ImageDecodeStatus status = parser.decode(surface);
    EXPECT_FALSE(status.success);
    EXPECT_EQ(status.info, "Not a JPEG file");

    jpeg::Parser empty(ConstMemory(nullptr, 0));
    EXPECT_EQ(empty.header().width, 0);
    EXPECT_FALSE(empty.decode(surface).success);

    // the start marker alone is no image either
    const std::vector<u8> bare = { 0xFF, 0xD8, 0xFF, 0xD9 };
    jpeg::Parser noFrame(memoryOf(bare));
    EXPECT_FALSE(noFrame.header().success);
    EXPECT_EQ(noFrame.header().info, "No frame header");
}

TEST(JpegHeader, InfoNamesProcessEntropyIdctAndConversion)
{
    const CPUFlags sse2 = CPU_SSE2;
    struct Case { const char* file; Format format; CPUFlags flags; const char* info; };
    const Case cases[] =
    {
        { "baseline_420.jpg", Format::BGRA8888, sse2, "Baseline DCT, Huffman, SSE2 iDCT, SSE2 YCbCr 16x16" },
        { "baseline_420.jpg", Format::BGR888, sse2, "Baseline DCT, Huffman, SSE2 iDCT,  YCbCr 16x16" },
        { "baseline_420.jpg", Format::RGBA8888, 0, "Baseline DCT, Huffman,  YCbCr 16x16" },
        { "sample_422.jpg", Format::BGRA8888, sse2, "Baseline DCT, Huffman, SSE2 iDCT, SSE2 YCbCr 16x8" },
        { "sample_440.jpg", Format::RGBA8888, sse2, "Baseline DCT, Huffman, SSE2 iDCT, SSE2 YCbCr 8x16" },
        { "sample_444.jpg", Format::RGB888, sse2, "Baseline DCT, Huffman, SSE2 iDCT,  YCbCr 8x8" },
        { "sample_411.jpg", Format::BGRA8888, sse2, "Baseline DCT, Huffman, SSE2 iDCT, YCbCr" },
        { "sample_2x1_2x1_2x1.jpg", Format::BGRA8888, sse2, "Baseline DCT, Huffman, SSE2 iDCT, YCbCr" },
        { "progressive.jpg", Format::BGRA8888, sse2, "Progressive DCT, Huffman, SSE2 iDCT, SSE2 YCbCr 16x16" },
        { "arithmetic.jpg", Format::BGRA8888, sse2, "Extended sequential DCT, Arithmetic, SSE2 iDCT, SSE2 YCbCr 16x16" },
        { "quality_1.jpg", Format::BGRA8888, sse2, "Extended sequential DCT, Huffman, SSE2 iDCT, SSE2 YCbCr 16x16" },
        { "gray.jpg", Format::BGRA8888, sse2, "Baseline DCT, Huffman, SSE2 iDCT, Y" },
        { "cmyk.jpg", Format::BGRA8888, sse2, "Baseline DCT, Huffman, SSE2 iDCT, CMYK" },
        { "rgb.jpg", Format::BGRA8888, sse2, "Baseline DCT, Huffman, SSE2 iDCT, SSE2 RGB 8x8" },
        { "rgb.jpg", Format::RGB888, 0, "Baseline DCT, Huffman,  RGB 8x8" },
        { "rgb_422.jpg", Format::RGBA8888, sse2, "Baseline DCT, Huffman, SSE2 iDCT, SSE2 RGB 16x8" },
        { "rgb_422.jpg", Format::L8, sse2, "Baseline DCT, Huffman, SSE2 iDCT, RGB" },
        { "bits12_sequential.jpg", Format::L8, sse2, "Extended sequential DCT, Huffman, 12 bit iDCT, Y" },
        // lossless frames use neither an iDCT nor a colour converter
        { "lossless_8_sv1.jpg", Format::L8, 0, "Lossless, Huffman" },
        { "lossless_8_sv1.jpg", Format::BGRA8888, sse2, "Lossless, Huffman" },
        { "lossless_16.jpg", Format::L8, sse2, "Lossless, Huffman" },
        { "lossless_rgb.jpg", Format::RGB888, sse2, "Lossless, Huffman" },
        { "lossless_arith_4c_restart.jpg", Format::BGRA8888, sse2, "Lossless, Arithmetic" },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.file);
        const Decoded decoded = decode(readFixture(c.file), c.format, 0, c.flags);
        EXPECT_TRUE(decoded.status.success);
        EXPECT_EQ(decoded.status.info, c.info);
    }
}

TEST(JpegHeader, DirectOnlyForExactSizeAndLayout)
{
    const Bytes data = readFixture("baseline_420.jpg");
    jpeg::Parser parser(memoryOf(data));

    std::vector<u8> exact(67 * 45 * 4);
    Surface surface(67, 45, Format::BGRA8888, 67 * 4, exact.data());
    ImageDecodeStatus status = parser.decode(surface);
    EXPECT_TRUE(status.success);
    EXPECT_TRUE(status.direct);

    // another format goes through a temporary and the blitter
    std::vector<u8> bgrx(67 * 45 * 4);
    Surface other(67, 45, Format::BGRX8880, 67 * 4, bgrx.data());
    status = parser.decode(other);
    EXPECT_TRUE(status.success);
    EXPECT_FALSE(status.direct);
    for (size_t i = 0; i < exact.size(); i += 4)
        ASSERT_EQ(std::memcmp(&exact[i], &bgrx[i], 3), 0);

    // a larger surface gets the image at (0, 0) and nothing of the MCU padding
    std::vector<u8> large(80 * 50 * 4, 0x55);
    Surface bigger(80, 50, Format::BGRA8888, 80 * 4, large.data());
    status = parser.decode(bigger);
    EXPECT_TRUE(status.success);
    EXPECT_FALSE(status.direct);
    EXPECT_EQ(std::memcmp(large.data(), exact.data(), 67 * 4), 0);
    EXPECT_EQ(large[67 * 4], 0x55);
    EXPECT_EQ(large[size_t(45) * 80 * 4], 0x55);
}

TEST(JpegHeader, DecodingTwiceGivesTheSamePixels)
{
    // progressive files redefine their tables between scans
    for (const char* file : { "progressive.jpg", "arithmetic_progressive.jpg", "lossless_8_sv4.jpg" })
    {
        SCOPED_TRACE(file);
        const Bytes data = readFixture(file);
        jpeg::Parser parser(memoryOf(data));
        std::vector<u8> first(67 * 45 * 4), second(67 * 45 * 4);
        Surface a(67, 45, Format::BGRA8888, 67 * 4, first.data());
        Surface b(67, 45, Format::BGRA8888, 67 * 4, second.data());
        EXPECT_TRUE(parser.decode(a).success);
        EXPECT_TRUE(parser.decode(b).success);
        EXPECT_EQ(first, second);
    }
}

TEST(JpegMetadata, ExifIsWhatExiftoolExtracts)
{
    const Bytes data = readFixture("exif.jpg");
    const Bytes expected = readFixture("exif.bin");
    ImageDecoder decoder(memoryOf(data), ".jpg");
    const ConstMemory exif = decoder.exif();
    ASSERT_EQ(exif.size, expected.size());
    EXPECT_EQ(std::memcmp(exif.address, expected.data(), exif.size), 0);
    EXPECT_EQ(decoder.icc().size, 0u);

    // a decode does not collect it again
    std::vector<u8> pixels(67 * 45 * 4);
    Surface surface(67, 45, Format::BGRA8888, 67 * 4, pixels.data());
    EXPECT_TRUE(decoder.decode(surface).success);
    EXPECT_EQ(decoder.exif().size, expected.size());
}

TEST(JpegMetadata, IccChunksJoinInFileOrder)
{
    const Bytes data = readFixture("icc.jpg");
    const Bytes expected = readFixture("icc.bin");
    {
        jpeg::Parser parser(memoryOf(data));
        ASSERT_EQ(parser.icc().size, expected.size());
        EXPECT_EQ(std::memcmp(parser.icc().address, expected.data(), expected.size()), 0);
    }

    // three chunks whose sequence numbers say otherwise; a decode must not append again
    std::vector<u8> a(60000, 0xA1), b(60000, 0xB2), c(1234, 0xC3);
    std::vector<u8> file = readFixture("baseline_420.jpg");
    std::vector<u8> chunks = app2(3, 3, a);
    const std::vector<u8> second = app2(1, 3, b), third = app2(2, 3, c);
    chunks.insert(chunks.end(), second.begin(), second.end());
    chunks.insert(chunks.end(), third.begin(), third.end());
    file = withSegment(file, 2, chunks);

    jpeg::Parser parser(memoryOf(file));
    std::vector<u8> joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    joined.insert(joined.end(), c.begin(), c.end());
    ASSERT_EQ(parser.icc().size, joined.size());
    EXPECT_EQ(std::memcmp(parser.icc().address, joined.data(), joined.size()), 0);

    std::vector<u8> pixels(67 * 45 * 4);
    Surface surface(67, 45, Format::BGRA8888, 67 * 4, pixels.data());
    EXPECT_TRUE(parser.decode(surface).success);
    EXPECT_EQ(parser.icc().size, joined.size());
}

TEST(JpegMetadata, SegmentsTooShortForTheirHeaderGiveNothing)
{
    // each is shorter than its tag and header, or holds no payload after them
    const std::vector<u8> segments[] =
    {
        { 0xFF, 0xE1, 0, 7, 'E', 'x', 'i', 'f', 0 },
        { 0xFF, 0xE1, 0, 8, 'E', 'x', 'i', 'f', 0, 0 },
        { 0xFF, 0xE3, 0, 7, 'M', 'E', 'T', 'A', 0 },
        { 0xFF, 0xE2, 0, 15, 'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1 },
        { 0xFF, 0xE2, 0, 16, 'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1 },
    };
    for (const std::vector<u8>& segment : segments)
    {
        SCOPED_TRACE(int(segment[3]));
        const std::vector<u8> file = withSegment(readFixture("baseline_420.jpg"), 2, segment);
        jpeg::Parser parser(memoryOf(file));
        ASSERT_TRUE(parser.header().success) << parser.header().info;
        EXPECT_EQ(parser.exif().size, 0u);
        EXPECT_EQ(parser.icc().size, 0u);
        EXPECT_TRUE(decode(file, Format::BGRA8888).status.success);
    }
}

TEST(JpegMetadata, QuantizationTablesOfBothPrecisions)
{
    // one DQT segment: table 0 of 8 bits, table 1 of 16 bits
    std::vector<u8> dqt = { 0xFF, 0xDB, 0, 2 + 65 + 129, 0x00 };
    for (int k = 0; k < 64; ++k)
        dqt.push_back(u8(k + 1));
    dqt.push_back(0x11);
    for (int k = 0; k < 64; ++k)
    {
        dqt.push_back(u8((1000 + k) >> 8));
        dqt.push_back(u8(1000 + k));
    }
    std::vector<u8> file = readFixture("baseline_420.jpg");
    file = withSegment(file, findSegment(file, 0xC0), dqt);

    jpeg::Parser parser(memoryOf(file));
    ASSERT_TRUE(parser.header().success) << parser.header().info;
    EXPECT_EQ(parser.quantizationPrecision(0), 8u);
    EXPECT_EQ(parser.quantizationPrecision(1), 16u);
    // zig-zag position 2 is natural index 8
    EXPECT_EQ(parser.quantizationTable(0)[8], 3);
    EXPECT_EQ(parser.quantizationTable(1)[8], 1002);
    EXPECT_EQ(parser.quantizationTable(1)[63], 1063);
}

TEST(JpegHeader, AdobeTransformOfFourComponents)
{
    // transform 2 is YCCK; 1 has no meaning for four components and decodes black; without
    // the segment the components are CMYK as stored
    std::vector<u8> data = readFixture("ycck_420.jpg");
    const size_t adobe = findSegment(data, 0xEE);
    ASSERT_NE(adobe, std::string::npos);
    ASSERT_EQ(data[adobe + 15], 2);

    const Decoded ycck = decode(data, Format::BGRA8888);
    data[adobe + 15] = 1;
    const Decoded black = decode(data, Format::BGRA8888);
    data[adobe + 1] = 0xED;
    const Decoded cmyk = decode(data, Format::BGRA8888);
    ASSERT_TRUE(ycck.status.success && black.status.success && cmyk.status.success);

    for (size_t i = 0; i < black.image.rgba.size(); ++i)
        ASSERT_EQ(black.image.rgba[i], (i % 4 == 3) ? 255 : 0);
    EXPECT_NE(cmyk.image.rgba, ycck.image.rgba);
}

TEST(JpegHeader, ColourSpaceOfThreeComponents)
{
    // cjpeg -rgb writes an Adobe segment with transform 0 and the identifiers 'R', 'G', 'B'.
    // A JFIF segment outranks the Adobe one, which outranks the identifiers; anything else
    // is YCbCr. libjpeg decides the same way, so each variant must match its decode too
    // (of the transform 1 variant where libjpeg warns about the transform).
    const std::vector<u8> original = readFixture("rgb.jpg");
    const size_t adobe = findSegment(original, 0xEE);
    const size_t sof = findSegment(original, 0xC0);
    const size_t sos = findSegment(original, 0xDA);
    ASSERT_NE(adobe, std::string::npos);
    ASSERT_NE(sof, std::string::npos);
    ASSERT_NE(sos, std::string::npos);
    ASSERT_EQ(original[adobe + 15], 0);
    ASSERT_EQ(original[sof + 10], 'R');

    const std::vector<u8> jfif = { 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0 };
    auto numbered = [&](std::vector<u8> data) {
        for (int c = 0; c < 3; ++c)
        {
            data[sof + 10 + 3 * c] = u8(c + 1);
            data[sos + 5 + 2 * c] = u8(c + 1);
        }
        return data;
    };
    auto withoutAdobe = [&](std::vector<u8> data) {
        data[adobe + 1] = 0xED;
        return data;
    };
    auto transform = [&](std::vector<u8> data, u8 value) {
        data[adobe + 15] = value;
        return data;
    };

    struct Case { const char* name; std::vector<u8> data; bool rgb; std::vector<u8> reference; };
    const std::vector<u8> ycbcr = transform(original, 1);
    const Case cases[] =
    {
        { "Adobe 0, R G B", original, true, original },
        { "R G B alone", withoutAdobe(original), true, withoutAdobe(original) },
        { "Adobe 0, 1 2 3", numbered(original), true, numbered(original) },
        { "Adobe 1, R G B", ycbcr, false, ycbcr },
        { "Adobe 2, R G B", transform(original, 2), false, ycbcr },
        { "Adobe 7, R G B", transform(original, 7), false, ycbcr },
        { "JFIF, Adobe 0, R G B", withSegment(original, 2, jfif), false, withSegment(original, 2, jfif) },
        { "1 2 3 alone", numbered(withoutAdobe(original)), false, numbered(withoutAdobe(original)) },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (CPUFlags flags : { CPUFlags(0), CPUFlags(CPU_SSE2) })
        {
            const Decoded ours = decode(c.data, Format::RGBA8888, 0, flags);
            ASSERT_TRUE(ours.status.success) << ours.status.info;
            const std::string name = c.rgb ? "RGB 8x8" : "YCbCr 8x8";
            EXPECT_EQ(ours.status.info.substr(ours.status.info.size() - name.size()), name) << ours.status.info;

            const Difference d = compare(ours.image, referenceDecode(c.reference, JCS_EXT_RGBA));
            EXPECT_LE(d.max, 4) << "mean " << d.mean;
            EXPECT_TRUE(d.mean <= 0.1 || d.psnr() >= 45.0) << "max " << d.max << " mean " << d.mean;
        }
    }
}

TEST(JpegRegistry, ExtensionsFindTheDecoder)
{
    const Bytes data = readFixture("gray.jpg");
    for (const char* extension : { ".jpg", ".jpeg", ".JFIF", ".mpo", "photo.JPG" })
    {
        ImageDecoder decoder(memoryOf(data), extension);
        ASSERT_TRUE(decoder.isDecoder()) << extension;
        EXPECT_EQ(decoder.header().width, 67);
    }

    Bitmap bitmap(memoryOf(readFixture("baseline_420.jpg")), ".jpg", Format::RGBA8888);
    EXPECT_TRUE(bitmap.status().success) << bitmap.status().info;
    EXPECT_EQ(bitmap.width, 67);
    EXPECT_EQ(bitmap.height, 45);
}

// ------------------------------------------------------------------------------------------
// damaged headers
// ------------------------------------------------------------------------------------------

namespace
{
    struct Damage
    {
        const char* name;
        const char* file;
        std::function<void(std::vector<u8>&)> mutate;
        const char* message;    // expected error, from the header or else the decode
    };

    // byte `offset` of the segment `marker`
    std::function<void(std::vector<u8>&)> setByte(u8 marker, size_t offset, u8 value)
    {
        return [=](std::vector<u8>& data) {
            const size_t p = findSegment(data, marker);
            ASSERT_NE(p, std::string::npos);
            data[p + offset] = value;
        };
    }

    // byte `offset` of the first scan header
    std::function<void(std::vector<u8>&)> setScanByte(size_t offset, u8 value)
    {
        return [=](std::vector<u8>& data) {
            for (size_t p = 2; p + 1 < data.size(); ++p)
            {
                if (data[p] == 0xFF && data[p + 1] == 0xDA)
                {
                    data[p + offset] = value;
                    return;
                }
            }
            FAIL() << "no scan";
        };
    }

    // SOF offsets from the marker: 4 precision, 5 height, 7 width, 9 Nf, 10 + 3i component
    const Damage damages[] =
    {
        { "huffman class 2", "baseline_420.jpg", setByte(0xC4, 4, 0x20), "Incorrect huffman table class (2)" },
        { "huffman identifier 4", "baseline_420.jpg", setByte(0xC4, 4, 0x04), "Incorrect huffman table identifier (4)" },
        { "huffman oversubscribed", "baseline_420.jpg", [](std::vector<u8>& d) {
              // three codes of one bit, the symbol count unchanged
              const size_t p = findSegment(d, 0xC4);
              ASSERT_GE(d[p + 7], 3);
              d[p + 5] = 3;
              d[p + 7] -= 3;
          }, "Incorrect huffman table code lengths" },
        { "huffman 270 symbols", "baseline_420.jpg", setByte(0xC4, 20, 255), "Incorrect huffman table symbol count (" },
        { "quantization table 4", "baseline_420.jpg", setByte(0xDB, 4, 0x04), "Incorrect quantization table (Tq: 4 >= 4)" },
        { "quantization precision 2", "baseline_420.jpg", setByte(0xDB, 4, 0x20), "Incorrect quantization table element precision (2)" },
        { "quantization truncated", "baseline_420.jpg", setByte(0xDB, 3, 40), "Incorrect segment length" },
        { "segment length 1", "baseline_420.jpg", setByte(0xDB, 3, 1), "Incorrect segment length" },
        { "segment past the end", "baseline_420.jpg", setByte(0xE0, 2, 0xFF), "Incorrect segment length" },
        { "width 0", "baseline_420.jpg", [](std::vector<u8>& d) { const size_t p = findSegment(d, 0xC0); d[p + 7] = 0; d[p + 8] = 0; }, "Incorrect dimensions (0 x 45)" },
        { "no components", "baseline_420.jpg", setByte(0xC0, 9, 0), "Incorrect number of components (0)" },
        { "five components", "baseline_420.jpg", setByte(0xC0, 9, 5), "Incorrect number of components (5)" },
        { "sampling 0", "baseline_420.jpg", setByte(0xC0, 11, 0x02), "Incorrect sampling factors (0 x 2)" },
        { "sampling 9", "baseline_420.jpg", setByte(0xC0, 11, 0x92), "Incorrect frame sampling rate (9 x 2)" },
        { "14 blocks per MCU", "baseline_420.jpg", setByte(0xC0, 11, 0x43), "Incorrect number of blocks per MCU (14)" },
        { "quantization selector 9", "baseline_420.jpg", setByte(0xC0, 12, 9), "Incorrect quantization table selector (9)" },
        { "precision 9", "baseline_420.jpg", setByte(0xC0, 4, 9), "Incorrect precision (9)" },
        { "lossless precision 1", "lossless_8_sv1.jpg", setByte(0xC3, 4, 1), "Incorrect precision (1)" },
        { "two components", "sample_444.jpg", setByte(0xC0, 9, 2), "Unsupported number of components (2)" },
        { "scan of no components", "baseline_420.jpg", setScanByte(4, 0), "Incorrect number of scan components (0)" },
        { "scan of an unknown component", "baseline_420.jpg", setScanByte(5, 9), "Incorrect scan component (9)" },
        { "scan table 4", "baseline_420.jpg", setScanByte(6, 0x40), "Incorrect scan table selector (4, 0)" },
        { "scan repeats a component", "baseline_420.jpg", setScanByte(7, 1), "Duplicate scan component (1)" },
        { "progressive Se 70", "progressive_gray.jpg", setScanByte(6 + 2, 70), "Incorrect progressive scan (Ss: 0, Se: 70" },
        { "lossless predictor 0", "lossless_8_sv1.jpg", setScanByte(7, 0), "Incorrect lossless scan (predictor 0" },
    };

} // namespace

TEST(JpegDamage, EachGivesItsMessage)
{
    for (const Damage& damage : damages)
    {
        SCOPED_TRACE(damage.name);
        std::vector<u8> data = readFixture(damage.file);
        damage.mutate(data);

        jpeg::Parser parser(memoryOf(data));
        std::string message = parser.header().info;
        if (parser.header().success)
        {
            std::vector<u8> pixels(size_t(std::max(parser.header().width, 1)) * std::max(parser.header().height, 1) * 4);
            Surface surface(parser.header().width, parser.header().height, Format::BGRA8888, parser.header().width * 4, pixels.data());
            const ImageDecodeStatus status = parser.decode(surface);
            EXPECT_FALSE(status.success);
            message = status.info;
        }
        else
        {
            u8 pixel[4];
            Surface surface(1, 1, Format::BGRA8888, 4, pixel);
            const ImageDecodeStatus status = parser.decode(surface);
            EXPECT_FALSE(status.success);
            EXPECT_EQ(status.info, message);
        }
        EXPECT_EQ(message.rfind(damage.message, 0), 0u) << message;
    }
}

TEST(JpegDamage, SecondFrameEndsTheImage)
{
    // a frame header after the scans, once the target (and for a progressive frame the
    // coefficient buffer) is sized: the image is the first frame
    const struct { const char* file; u8 marker; } cases[] = { { "baseline_420.jpg", 0xC0 }, { "progressive.jpg", 0xC2 } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.file);
        const Bytes data = readFixture(c.file);
        const size_t sof = findSegment(data, c.marker);
        ASSERT_NE(sof, std::string::npos);
        const size_t length = (data[sof + 2] << 8) | data[sof + 3];
        std::vector<u8> frame(data.begin() + ptrdiff_t(sof), data.begin() + ptrdiff_t(sof + 2 + length));
        frame[5] = 0x10; // height 4096
        const std::vector<u8> twice = withSegment(data, data.size() - 2, frame);

        const Decoded a = decode(data, Format::BGRA8888);
        const Decoded b = decode(twice, Format::BGRA8888);
        ASSERT_TRUE(b.status.success) << b.status.info;
        EXPECT_TRUE(imagekit::sameImage(b.image, a.image));
    }
}

TEST(JpegDamage, UndefinedQuantizationTableIsZero)
{
    // the frame names a table no DQT defined: every coefficient dequantises to 0, never to
    // whatever the table memory held
    std::vector<u8> data = readFixture("gray.jpg");
    const size_t sof = findSegment(data, 0xC0);
    ASSERT_NE(sof, std::string::npos);
    data[sof + 12] = 3;

    const Decoded d = decode(data, Format::L8);
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_NE(d.status.info.find("Corrupt data"), std::string::npos) << d.status.info;
    for (int y = 0; y < d.image.height; ++y)
        for (int x = 0; x < d.image.width; ++x)
            ASSERT_EQ(d.image.at(x, y, 0), 128) << x << ", " << y;
}

TEST(JpegDamage, HugeFramesFailWithoutAllocating)
{
    // 65535 x 65535 claimed by a small file: the temporary and the coefficient buffer are
    // refused before any allocation
    for (const char* file : { "baseline_420.jpg", "progressive.jpg" })
    {
        SCOPED_TRACE(file);
        std::vector<u8> data = readFixture(file);
        const size_t p = findSegment(data, file[0] == 'b' ? 0xC0 : 0xC2);
        for (int i = 5; i < 9; ++i)
            data[p + i] = 0xFF;
        jpeg::Parser parser(memoryOf(data));
        ASSERT_TRUE(parser.header().success);
        EXPECT_EQ(parser.header().width, 65535);
        u8 pixel[4];
        Surface surface(1, 1, Format::BGRA8888, 4, pixel);
        const ImageDecodeStatus status = parser.decode(surface);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, "Out of memory");
    }
}

TEST(JpegDamage, FillBytesBeforeMarkers)
{
    const Bytes data = readFixture("baseline_420.jpg");
    const Decoded plain = decode(data, Format::BGRA8888);
    for (size_t fill : { 1u, 2u, 5u })
    {
        SCOPED_TRACE(fill);
        const std::vector<u8> padded = withSegment(data, findSegment(data, 0xC4), std::vector<u8>(fill, 0xFF));
        const Decoded d = decode(padded, Format::BGRA8888);
        ASSERT_TRUE(d.status.success) << d.status.info;
        EXPECT_TRUE(imagekit::sameImage(d.image, plain.image));
    }
}
