// The JPEG encoder: its kernels against their scalar twins and the exact transform, the
// file layout byte by byte, libjpeg (warnings are failures) and our decoder reading what it
// writes in every layout and size, quality, thread counts, and its errors.

#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>

#include <norva/core/exception.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>

#include "jpeg/jpeg_encode.hpp"
#include "jpeg_test_util.hpp"

using namespace norva;
using namespace jpegtest;

namespace
{
    Bytes bytesOf(const MemoryStream& stream)
    {
        const ConstMemory m = stream;
        return Bytes(m.address, m.address + m.size);
    }

    struct Encoded
    {
        Bytes file;
        ImageEncodeStatus status;
    };

    Encoded encode(const Surface& surface, float quality, const jpeg::EncodeSettings& settings = {})
    {
        MemoryStream stream;
        Encoded result;
        result.status = jpeg::encodeImage(stream, surface, quality, settings);
        result.file = bytesOf(stream);
        return result;
    }

    // A pixel pattern with smooth areas, edges and colour in every layout's own bytes: the
    // RGB source at (x, y) is the fixture's pixel, tiled.
    Bitmap makeSurface(int width, int height, const Format& format)
    {
        static const Image source = loadNetpbm("source.ppm");
        Bitmap rgb(width, height, Format::RGBA8888);
        for (int y = 0; y < height; ++y)
        {
            for (int x = 0; x < width; ++x)
            {
                const int sx = x % source.width;
                const int sy = y % source.height;
                u8* d = rgb.address(x, y);
                d[0] = u8(source.at(sx, sy, 0));
                d[1] = u8(source.at(sx, sy, 1));
                d[2] = u8(source.at(sx, sy, 2));
                d[3] = u8(x * 7 + y);   // alpha is ignored
            }
        }
        if (format == Format::RGBA8888)
            return rgb;
        Bitmap converted(width, height, format);
        EXPECT_TRUE(converted.blit(0, 0, rgb));
        return converted;
    }

    // The surface's pixels as the reference decoders give them (the comparisons look at
    // colour only, and grey fills all three).
    Image imageOf(const Surface& surface)
    {
        Bitmap rgba(surface.width, surface.height, Format::RGBA8888);
        EXPECT_TRUE(rgba.blit(0, 0, surface));
        return imagekit::fromSurface(rgba);
    }

    struct Layout
    {
        const char* name;
        Format format;
    };

    const Layout layouts[] =
    {
        { "Y", Format::L8 },
        { "BGR", Format::BGR888 },
        { "RGB", Format::RGB888 },
        { "BGRA", Format::BGRA8888 },
        { "RGBA", Format::RGBA8888 },
    };

    // libjpeg's compressor with its defaults for RGB input: its standard tables
    struct LibjpegDefaults
    {
        jpeg_compress_struct info;
        jpeg_error_mgr error;

        LibjpegDefaults()
        {
            info.err = jpeg_std_error(&error);
            jpeg_create_compress(&info);
            info.in_color_space = JCS_RGB;
            jpeg_set_defaults(&info);
        }
        ~LibjpegDefaults() { jpeg_destroy_compress(&info); }
    };

    // a block of 64 samples in [low, high]
    void randomBlock(std::mt19937& random, s16* block, int low, int high)
    {
        std::uniform_int_distribution<int> value(low, high);
        for (int i = 0; i < 64; ++i)
            block[i] = s16(value(random));
    }

    // T.81's forward DCT in double precision
    void exactTransform(const s16* samples, double* out)
    {
        const double pi = 3.14159265358979323846;
        for (int v = 0; v < 8; ++v)
        {
            for (int u = 0; u < 8; ++u)
            {
                double sum = 0;
                for (int y = 0; y < 8; ++y)
                {
                    for (int x = 0; x < 8; ++x)
                        sum += samples[y * 8 + x] * std::cos((2 * x + 1) * u * pi / 16) * std::cos((2 * y + 1) * v * pi / 16);
                }
                const double cu = u ? 1.0 : 1.0 / std::sqrt(2.0);
                const double cv = v ? 1.0 : 1.0 / std::sqrt(2.0);
                out[v * 8 + u] = 0.25 * cu * cv * sum;
            }
        }
    }

    // Blocks that reach the transform's limits: flat extremes, checkerboards, stripes and
    // ramps at the luminance and chrominance sample ranges.
    std::vector<std::vector<s16>> extremeBlocks()
    {
        std::vector<std::vector<s16>> blocks;
        for (int amplitude : { 127, 128, 143, 144, 181, 182 })
        {
            for (int pattern = 0; pattern < 6; ++pattern)
            {
                std::vector<s16> b(64);
                for (int y = 0; y < 8; ++y)
                {
                    for (int x = 0; x < 8; ++x)
                    {
                        bool high = false;
                        switch (pattern)
                        {
                            case 0: high = true; break;
                            case 1: high = false; break;
                            case 2: high = ((x + y) & 1) != 0; break;
                            case 3: high = (x & 1) != 0; break;
                            case 4: high = x < 4; break;
                            case 5: high = (x ^ y) & 4; break;
                        }
                        b[y * 8 + x] = s16(high ? amplitude - 1 : -amplitude);
                    }
                }
                blocks.push_back(b);
            }
        }
        return blocks;
    }

} // namespace

// ---------------------------------------------------------------------------------------
// kernels
// ---------------------------------------------------------------------------------------

TEST(JpegEncoderKernels, ForwardDctSSE2EqualsScalar)
{
    std::mt19937 random(7);
    alignas(16) s16 samples[64];
    alignas(16) s16 scalar[64];
    alignas(16) s16 sse2[64];
    alignas(16) u16 reciprocal[64];

    auto check = [&](const char* what) {
        const u64 maskScalar = jpeg::fdctInteger(scalar, samples, reciprocal);
        const u64 maskSSE2 = jpeg::fdctSSE2(sse2, samples, reciprocal);
        ASSERT_EQ(std::memcmp(scalar, sse2, sizeof(scalar)), 0) << what;
        ASSERT_EQ(maskScalar, maskSSE2) << what;
        u64 expected = 0;
        for (int i = 0; i < 64; ++i)
            expected |= u64(scalar[i] != 0) << i;
        ASSERT_EQ(maskScalar, expected) << what;
        // the Huffman coder's table of AC sizes covers -1024..1023
        for (int i = 1; i < 64; ++i)
            ASSERT_LT(std::abs(scalar[i]), 700) << what;
    };

    // quantisers from 2 (the finest the encoder writes) to 255
    for (int round = 0; round < 20000; ++round)
    {
        for (int i = 0; i < 64; ++i)
            reciprocal[i] = u16(32768 / (2 + (round + i) % 254));
        const bool chroma = round & 1;
        randomBlock(random, samples, chroma ? -182 : -128, chroma ? 181 : 127);
        check("random block");
    }
    for (const std::vector<s16>& b : extremeBlocks())
    {
        std::memcpy(samples, b.data(), sizeof(samples));
        for (int q : { 2, 3, 255 })
        {
            std::fill(std::begin(reciprocal), std::end(reciprocal), u16(32768 / q));
            check("extreme block");
        }
    }
}

// Before quantisation (reciprocal 32768, which only the scalar twin takes) the transform
// is within one unit of T.81's.
TEST(JpegEncoderKernels, ForwardDctWithinOneOfTheExactTransform)
{
    std::mt19937 random(3);
    alignas(16) s16 samples[64];
    alignas(16) s16 out[64];
    u16 identity[64];
    std::fill(std::begin(identity), std::end(identity), u16(32768));
    double exact[64];
    double worst = 0;
    double sum = 0;
    int count = 0;

    auto measure = [&]() {
        jpeg::fdctInteger(out, samples, identity);
        exactTransform(samples, exact);
        for (int i = 0; i < 64; ++i)
        {
            const double e = std::abs(out[i] - exact[i]);
            worst = std::max(worst, e);
            sum += e;
            ++count;
        }
    };

    for (int round = 0; round < 4000; ++round)
    {
        const bool chroma = round & 1;
        randomBlock(random, samples, chroma ? -182 : -128, chroma ? 181 : 127);
        measure();
    }
    for (const std::vector<s16>& b : extremeBlocks())
    {
        std::memcpy(samples, b.data(), sizeof(samples));
        measure();
    }
    EXPECT_LE(worst, 1.0);
    EXPECT_LT(sum / count, 0.3);
}

// The SSE2 readers give what the generic ones give on whole blocks, for every layout that
// has one; a clipped block repeats its last column and row.
TEST(JpegEncoderKernels, ReadersAgreeAndClipByRepeating)
{
    std::mt19937 random(5);
    alignas(16) u8 pixels[8 * 40];
    for (u8& p : pixels)
        p = u8(random());

    const jpeg::Sample samples[] = { jpeg::JPEG_U8_Y, jpeg::JPEG_U8_BGRA, jpeg::JPEG_U8_RGBA };
    for (jpeg::Sample sample : samples)
    {
        const jpeg::EncoderKernels simd = jpeg::selectEncoderKernels(sample, getCPUFlags());
        const jpeg::EncoderKernels scalar = jpeg::selectEncoderKernels(sample, 0);
        alignas(16) s16 a[192] = {};
        alignas(16) s16 b[192] = {};
        simd.fast(a, pixels + 3, 40, 8, 8);
        scalar.generic(b, pixels + 3, 40, 8, 8);
        EXPECT_EQ(std::memcmp(a, b, sizeof(a)), 0) << sample;
    }

    // a 3 x 2 corner of BGR pixels: columns 3..7 copy column 2, rows 2..7 copy row 1
    alignas(16) s16 clipped[192];
    alignas(16) s16 whole[192];
    jpeg::readBlockBGR(clipped, pixels, 40, 3, 2);
    u8 expanded[8 * 24];
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            std::memcpy(expanded + y * 24 + x * 3, pixels + std::min(y, 1) * 40 + std::min(x, 2) * 3, 3);
    jpeg::readBlockBGR(whole, expanded, 24, 8, 8);
    EXPECT_EQ(std::memcmp(clipped, whole, sizeof(whole)), 0);

    // the colour formulas on one pixel: R 200, G 100, B 50
    const u8 pixel[3] = { 50, 100, 200 };
    jpeg::readBlockBGR(clipped, pixel, 3, 1, 1);
    const int luma = (76 * 200 + 151 * 100 + 29 * 50) >> 8;
    EXPECT_EQ(clipped[0], luma - 128);
    EXPECT_EQ(clipped[64], ((50 - luma) * 9) >> 4);
    EXPECT_EQ(clipped[128], ((200 - luma) * 182) >> 8);
}

// ---------------------------------------------------------------------------------------
// quality
// ---------------------------------------------------------------------------------------

TEST(JpegEncoderQuality, ScaleAndTables)
{
    EXPECT_EQ(jpeg::qualityScale(1.0f), 8);
    EXPECT_EQ(jpeg::qualityScale(0.0f), 16384);
    EXPECT_EQ(jpeg::qualityScale(0.5f), int(std::pow(1.5f, 10.0f) * 12.0f));
    // outside 0..1 (and NaN) the ends hold
    EXPECT_EQ(jpeg::qualityScale(3.0f), 8);
    EXPECT_EQ(jpeg::qualityScale(-1.0f), 16384);
    EXPECT_EQ(jpeg::qualityScale(std::nanf("")), 8);

    jpeg::Encoder best(jpeg::JPEG_U8_RGBA, 8, 8, 32, 1.0f);
    for (int t = 0; t < 2; ++t)
        for (int i = 0; i < 64; ++i)
            ASSERT_EQ(best.quantizationTable(t)[i], 2) << t << " " << i;

    // quality 0: the base tables times 16, clamped to 255; scale 1024: the base tables,
    // which must be libjpeg's (jpeg_set_quality 50 keeps them as they are)
    jpeg::Encoder worst(jpeg::JPEG_U8_RGBA, 8, 8, 32, 0.0f);
    jpeg::Encoder base(jpeg::JPEG_U8_RGBA, 8, 8, 32, 0.5f);
    base.setQuality(1024);

    LibjpegDefaults libjpeg;
    jpeg_compress_struct& info = libjpeg.info;
    jpeg_set_quality(&info, 50, TRUE);
    for (int t = 0; t < 2; ++t)
    {
        for (int k = 0; k < 64; ++k)
        {
            const int natural = jpeg::zigzagTable[k];
            const int reference = info.quant_tbl_ptrs[t]->quantval[natural];
            EXPECT_EQ(base.quantizationTable(t)[k], reference) << t << " " << k;
            EXPECT_EQ(worst.quantizationTable(t)[k], std::min(reference * 16, 255)) << t << " " << k;
        }
    }
}

// Finer tables give a better picture: PSNR through libjpeg rises with quality (up to the
// limit the colour conversion sets, about 43 dB here) and is at least 40 dB at 0.9 on the
// photograph-like fixture; our decoder agrees with libjpeg on every file within its stated
// tolerance (max 4, PSNR 45 dB).
TEST(JpegEncoderQuality, PSNRThroughLibjpegAndOurDecoder)
{
    const Image source = loadNetpbm("source.ppm");
    ASSERT_FALSE(source.empty());
    Bitmap surface(source.width, source.height, Format::RGB888);
    for (int y = 0; y < source.height; ++y)
        for (int x = 0; x < source.width; ++x)
            for (int c = 0; c < 3; ++c)
                surface.address(x, y)[c] = u8(source.at(x, y, c));

    struct Row
    {
        float quality;
        double minimum;     // dB
    };
    const Row rows[] = { { 0.0f, 19.0 }, { 0.5f, 27.0 }, { 0.75f, 34.0 }, { 0.9f, 40.0 }, { 1.0f, 40.0 } };

    double previous = 0;
    size_t previousSize = 0;
    for (const Row& row : rows)
    {
        const Encoded e = encode(surface, row.quality);
        ASSERT_TRUE(e.status.success) << e.status.info;
        const Image reference = referenceDecode(e.file, JCS_RGB);
        const double db = compare(reference, source).psnr();
        EXPECT_GE(db, row.minimum) << row.quality;
        EXPECT_GT(db, previous - 0.1) << row.quality;
        EXPECT_GE(e.file.size(), previousSize) << row.quality;
        previous = db;
        previousSize = e.file.size();

        const Decoded ours = decode(e.file, Format::RGB888);
        ASSERT_TRUE(ours.status.success) << ours.status.info;
        const Difference d = compare(ours.image, reference);
        EXPECT_LE(d.max, 4) << row.quality;
        EXPECT_GE(d.psnr(), 45.0) << row.quality;
    }
}

// ---------------------------------------------------------------------------------------
// file layout
// ---------------------------------------------------------------------------------------

namespace
{
    struct Segment
    {
        u8 marker;
        size_t offset;      // of the 0xFF
        Bytes payload;      // after the length
    };

    // The marker segments up to SOS, then the RSTn and EOI markers of the entropy data.
    struct FileLayout
    {
        std::vector<Segment> segments;
        std::vector<u8> markers;        // after SOS: 0xD0..0xD7, 0xD9
        bool stuffedCorrectly = true;   // every 0xFF in the data is followed by 0x00 or a marker
        size_t end = 0;                 // offset after EOI
    };

    FileLayout parseLayout(const Bytes& file)
    {
        FileLayout layout;
        size_t p = 2;
        while (p + 4 <= file.size() && file[p] == 0xFF)
        {
            const u8 marker = file[p + 1];
            const size_t length = (size_t(file[p + 2]) << 8) | file[p + 3];
            if (p + 2 + length > file.size())
                break;
            layout.segments.push_back({ marker, p, Bytes(file.begin() + p + 4, file.begin() + p + 2 + length) });
            p += 2 + length;
            if (marker == 0xDA)
                break;
        }
        while (p + 1 < file.size())
        {
            if (file[p] != 0xFF)
            {
                ++p;
                continue;
            }
            const u8 next = file[p + 1];
            if (next == 0x00)
            {
                p += 2;
                continue;
            }
            if ((next >= 0xD0 && next <= 0xD7) || next == 0xD9)
            {
                layout.markers.push_back(next);
                p += 2;
                if (next == 0xD9)
                {
                    layout.end = p;
                    break;
                }
                continue;
            }
            layout.stuffedCorrectly = false;
            ++p;
        }
        return layout;
    }

    Bytes segmentBytes(std::initializer_list<int> values)
    {
        Bytes b;
        for (int v : values)
            b.push_back(u8(v));
        return b;
    }

    // libjpeg's standard tables as DHT payloads: DC 0, AC 0, DC 1, AC 1
    std::vector<Bytes> libjpegHuffmanPayloads()
    {
        LibjpegDefaults libjpeg;
        const jpeg_compress_struct& info = libjpeg.info;
        std::vector<Bytes> payloads;
        for (int t = 0; t < 2; ++t)
        {
            for (int ac = 0; ac < 2; ++ac)
            {
                const JHUFF_TBL* table = ac ? info.ac_huff_tbl_ptrs[t] : info.dc_huff_tbl_ptrs[t];
                Bytes b { u8(ac << 4 | t) };
                int count = 0;
                for (int l = 1; l <= 16; ++l)
                {
                    b.push_back(table->bits[l]);
                    count += table->bits[l];
                }
                b.insert(b.end(), table->huffval, table->huffval + count);
                payloads.push_back(b);
            }
        }
        return payloads;
    }

} // namespace

// Every segment the format fixes, byte for byte, for colour and grey at several sizes; one
// RSTn after every MCU row (the last one too), cycling through 0..7, then EOI.
TEST(JpegEncoderLayout, SegmentsRestartsAndEnd)
{
    struct Case
    {
        Format format;
        int width;
        int height;
    };
    const Case cases[] = {
        { Format::RGBA8888, 1, 1 },
        { Format::RGBA8888, 67, 45 },
        { Format::L8, 67, 45 },
        { Format::BGR888, 16, 80 },     // ten MCU rows: RST7 is followed by RST0
        { Format::L8, 9, 72 },
    };
    const std::vector<Bytes> dht = libjpegHuffmanPayloads();
    jpeg::Encoder tables(jpeg::JPEG_U8_RGBA, 8, 8, 32, 0.9f);

    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.format.bytes() << " bytes");
        const Bitmap surface = makeSurface(c.width, c.height, c.format);
        const Encoded e = encode(surface, 0.9f);
        ASSERT_TRUE(e.status.success) << e.status.info;
        ASSERT_GE(e.file.size(), 2u);
        EXPECT_EQ(e.file[0], 0xFF);
        EXPECT_EQ(e.file[1], 0xD8);

        const FileLayout layout = parseLayout(e.file);
        const bool grey = c.format == Format::L8;
        const int mcusPerRow = (c.width + 7) / 8;
        const int mcuRows = (c.height + 7) / 8;

        Bytes dqt0 { 0 };
        dqt0.insert(dqt0.end(), tables.quantizationTable(0), tables.quantizationTable(0) + 64);
        Bytes dqt1 { 1 };
        dqt1.insert(dqt1.end(), tables.quantizationTable(1), tables.quantizationTable(1) + 64);

        Bytes sof = segmentBytes({ 8, c.height >> 8, c.height & 0xFF, c.width >> 8, c.width & 0xFF });
        Bytes sos;
        if (grey)
        {
            sof.insert(sof.end(), { 1, 1, 0x11, 0 });
            sos = segmentBytes({ 1, 1, 0x00, 0, 63, 0 });
        }
        else
        {
            sof.insert(sof.end(), { 3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1 });
            sos = segmentBytes({ 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0 });
        }

        const struct
        {
            u8 marker;
            Bytes payload;
        } expected[] = {
            { 0xDB, dqt0 },
            { 0xDB, dqt1 },
            { 0xC0, sof },
            { 0xC4, dht[0] },
            { 0xC4, dht[1] },
            { 0xC4, dht[2] },
            { 0xC4, dht[3] },
            { 0xDD, segmentBytes({ mcusPerRow >> 8, mcusPerRow & 0xFF }) },
            { 0xDA, sos },
        };
        ASSERT_EQ(layout.segments.size(), std::size(expected));
        for (size_t i = 0; i < std::size(expected); ++i)
        {
            EXPECT_EQ(layout.segments[i].marker, expected[i].marker) << i;
            EXPECT_EQ(layout.segments[i].payload, expected[i].payload) << i;
        }
        // the four DHT segments are one block of 432 bytes
        EXPECT_EQ(layout.segments[7].offset - layout.segments[3].offset, 432u);

        std::vector<u8> markers;
        for (int y = 0; y < mcuRows; ++y)
            markers.push_back(u8(0xD0 + (y & 7)));
        markers.push_back(0xD9);
        EXPECT_EQ(layout.markers, markers);
        EXPECT_TRUE(layout.stuffedCorrectly);
        EXPECT_EQ(layout.end, e.file.size());
    }
}

// ---------------------------------------------------------------------------------------
// reading back
// ---------------------------------------------------------------------------------------

// libjpeg reads every layout at every size without a warning, and so do we, agreeing with it.
TEST(JpegEncoderRoundTrip, EveryLayoutAndSizeThroughLibjpegAndOurDecoder)
{
    const int sizes[][2] = { { 1, 1 }, { 7, 9 }, { 8, 8 }, { 67, 45 }, { 13, 70 }, { 130, 3 } };
    for (const Layout& layout : layouts)
    {
        for (const auto& size : sizes)
        {
            SCOPED_TRACE(testing::Message() << layout.name << " " << size[0] << "x" << size[1]);
            const Bitmap surface = makeSurface(size[0], size[1], layout.format);
            const Encoded e = encode(surface, 0.9f);
            ASSERT_TRUE(e.status.success) << e.status.info;

            const bool grey = layout.format == Format::L8;
            const Image reference = referenceDecode(e.file, grey ? JCS_GRAYSCALE : JCS_RGB);
            ASSERT_EQ(reference.width, size[0]);
            ASSERT_EQ(reference.height, size[1]);
            const Image source = imageOf(surface);
            EXPECT_GE(compare(reference, source).psnr(), 36.0);

            const Decoded ours = decode(e.file, grey ? Format::L8 : Format::RGB888);
            ASSERT_TRUE(ours.status.success) << ours.status.info;
            const Difference d = compare(ours.image, reference);
            EXPECT_LE(d.max, grey ? 1 : 4);
        }
    }
}

// Random pixels at the finest tables make the longest codes and the most stuffed bytes a
// row can have: the row's byte area must hold them (ASan watches it) and libjpeg reads them.
TEST(JpegEncoderRoundTrip, NoiseAtTheFinestTables)
{
    std::mt19937 random(11);
    for (const Format& format : { Format::BGRA8888, Format::L8 })
    {
        Bitmap noise(96, 24, format);
        for (int y = 0; y < noise.height; ++y)
            for (int x = 0; x < noise.width * format.bytes(); ++x)
                noise.address(0, y)[x] = u8(random());
        const Encoded e = encode(noise, 1.0f);
        ASSERT_TRUE(e.status.success) << e.status.info;
        const Image reference = referenceDecode(e.file, format == Format::L8 ? JCS_GRAYSCALE : JCS_RGB);
        const Image source = imageOf(noise);
        EXPECT_GE(compare(reference, source).psnr(), 38.0);
    }
}

// ---------------------------------------------------------------------------------------
// input formats, threads and SIMD
// ---------------------------------------------------------------------------------------

// The table's layouts are read directly; any other Format goes through an RGBA 8888 copy.
// Reading a layout directly gives the file its RGBA copy gives (grey: the same luminance).
TEST(JpegEncoderFormats, DirectEqualsTheRGBACopy)
{
    const Bitmap rgba = makeSurface(37, 21, Format::RGBA8888);
    const Encoded fromRGBA = encode(rgba, 0.8f);
    ASSERT_TRUE(fromRGBA.status.success) << fromRGBA.status.info;

    for (const Layout& layout : layouts)
    {
        SCOPED_TRACE(layout.name);
        const Bitmap surface = makeSurface(37, 21, layout.format);
        const Encoded direct = encode(surface, 0.8f);
        ASSERT_TRUE(direct.status.success) << direct.status.info;
        if (layout.format == Format::L8)
        {
            Bitmap copy(37, 21, Format::RGBA8888);
            ASSERT_TRUE(copy.blit(0, 0, surface));
            const Encoded colour = encode(copy, 0.8f);
            const Image a = referenceDecode(direct.file, JCS_GRAYSCALE);
            const Image b = referenceDecode(colour.file, JCS_GRAYSCALE);
            EXPECT_TRUE(imagekit::sameImage(a, b));
            EXPECT_EQ(parseLayout(direct.file).segments[2].payload[5], 1);  // one component
        }
        else
        {
            EXPECT_EQ(direct.file, fromRGBA.file);
        }
    }

    // outside the table: the encoder's own copy gives the file of ours
    const Format others[] = { Format::BGRX8880, Format::ARGB8888, Format::RGB16, Format::RGBA16 };
    for (const Format& format : others)
    {
        Bitmap surface(37, 21, format);
        ASSERT_TRUE(surface.blit(0, 0, rgba));
        Bitmap copy(37, 21, Format::RGBA8888);
        ASSERT_TRUE(copy.blit(0, 0, surface));
        const Encoded through = encode(surface, 0.8f);
        ASSERT_TRUE(through.status.success) << through.status.info;
        EXPECT_EQ(through.file, encode(copy, 0.8f).file) << format.bytes();
    }

    // a bottom-up view (negative stride) encodes the picture it shows
    Bitmap flipped(37, 21, Format::RGBA8888);
    for (int y = 0; y < 21; ++y)
        std::memcpy(flipped.address(0, 20 - y), rgba.address(0, y), 37 * 4);
    const Surface upward(37, 21, Format::RGBA8888, -flipped.stride, flipped.address(0, 20));
    EXPECT_EQ(encode(upward, 0.8f).file, fromRGBA.file);
}

// Rows are independent: one thread, pools of 1, 2 and 8 workers and the library's pool
// write the same bytes, and so do the scalar twins of the SIMD code.
TEST(JpegEncoderThreads, SameBytesForEveryThreadCountAndKernel)
{
    for (const Layout& layout : layouts)
    {
        SCOPED_TRACE(layout.name);
        const Bitmap surface = makeSurface(203, 150, layout.format);

        jpeg::EncodeSettings serial;
        serial.serial = true;
        const Encoded one = encode(surface, 0.9f, serial);
        ASSERT_TRUE(one.status.success) << one.status.info;
        ASSERT_FALSE(referenceDecode(one.file, layout.format == Format::L8 ? JCS_GRAYSCALE : JCS_RGB).empty());

        for (u32 workers : { 1u, 2u, 8u })
        {
            ThreadPool pool(workers);
            jpeg::EncodeSettings settings;
            settings.pool = &pool;
            EXPECT_EQ(encode(surface, 0.9f, settings).file, one.file) << workers;
        }
        EXPECT_EQ(encode(surface, 0.9f).file, one.file);
        EXPECT_EQ(encode(surface, 0.9f).file, one.file);

        jpeg::EncodeSettings scalar;
        scalar.flags = 0;
        const Encoded twin = encode(surface, 0.9f, scalar);
        EXPECT_EQ(twin.file, one.file);
        EXPECT_EQ(twin.status.info, "JPEG Encoder: integer DCT");
    }

    const char* names[] = { "JPEG Encoder: SSE2 DCT SSE2 Y 8x8", "JPEG Encoder: SSE2 DCT", "JPEG Encoder: SSE2 DCT",
                            "JPEG Encoder: SSE2 DCT SSE2 BGRA 8x8", "JPEG Encoder: SSE2 DCT SSE2 RGBA 8x8" };
    if (getCPUFlags() & CPU_SSE2)
    {
        for (size_t i = 0; i < std::size(layouts); ++i)
            EXPECT_EQ(encode(makeSurface(8, 8, layouts[i].format), 0.5f).status.info, names[i]);
    }
}

// ---------------------------------------------------------------------------------------
// errors and the registry
// ---------------------------------------------------------------------------------------

namespace
{
    // Accepts `limit` bytes, then throws as a full disk would.
    class FailingStream : public MemoryStream
    {
    public:
        explicit FailingStream(u64 limit) : m_limit(limit) {}

        void write(const void* source, u64 bytes) override
        {
            if (offset() + bytes > m_limit)
                NORVA_THROW("FailingStream::write", "No space left");
            MemoryStream::write(source, bytes);
        }

    private:
        u64 m_limit;
    };

} // namespace

TEST(JpegEncoderErrors, DimensionsAndStreamFailures)
{
    u8 pixels[4] = {};
    const int sizes[][2] = { { 0, 5 }, { 5, 0 }, { -1, 5 }, { 65536, 1 }, { 1, 65536 } };
    for (const auto& size : sizes)
    {
        const Surface surface(size[0], size[1], Format::RGBA8888, 0, pixels);
        MemoryStream stream;
        const ImageEncodeStatus status = jpeg::encodeImage(stream, surface, 0.9f);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, "Incorrect dimensions (" + std::to_string(size[0]) + " x " + std::to_string(size[1]) + ")");
        EXPECT_EQ(stream.size(), 0u);
    }

    // the largest size SOF0 can carry is written (libjpeg stops at 65500: our decoder reads it)
    std::vector<u8> row(65535, 200);
    row[65534] = 10;
    const Surface wide(65535, 1, Format::L8, 65535, row.data());
    const Encoded widest = encode(wide, 0.9f);
    ASSERT_TRUE(widest.status.success) << widest.status.info;
    const Decoded back = decode(widest.file, Format::L8);
    ASSERT_TRUE(back.status.success) << back.status.info;
    ASSERT_EQ(back.image.width, 65535);
    EXPECT_NEAR(back.image.at(0, 0, 0), 200, 2);
    EXPECT_NEAR(back.image.at(65534, 0, 0), 10, 2);

    const Surface empty(4, 4, Format::RGBA8888, 16, nullptr);
    MemoryStream stream;
    EXPECT_EQ(jpeg::encodeImage(stream, empty, 0.9f).info, "No image data");

    // a stream that fails in the headers, inside the rows or at EOI; serial and threaded
    const Bitmap surface = makeSurface(64, 64, Format::BGRA8888);
    const size_t total = encode(surface, 0.9f).file.size();
    for (bool serial : { true, false })
    {
        for (u64 limit : { u64(0), u64(100), u64(700), u64(total / 2), u64(total - 1) })
        {
            FailingStream failing(limit);
            jpeg::EncodeSettings settings;
            settings.serial = serial;
            const ImageEncodeStatus status = jpeg::encodeImage(failing, surface, 0.9f, settings);
            EXPECT_FALSE(status.success) << limit;
            EXPECT_EQ(status.info, "Stream write failed (No space left)") << limit;
        }
        FailingStream enough(total);
        EXPECT_TRUE(jpeg::encodeImage(enough, surface, 0.9f).success);
    }
}

TEST(JpegEncoderRegistry, JpgAndJpegEncodeAndDecodeBack)
{
    const Bitmap surface = makeSurface(40, 30, Format::BGRA8888);
    for (const char* extension : { ".jpg", ".jpeg" })
    {
        const ImageEncodeFunc encoder = getImageEncoder(extension);
        ASSERT_NE(encoder, nullptr) << extension;
        MemoryStream stream;
        ImageEncodeOptions options;
        options.quality = 0.9f;
        const ImageEncodeStatus status = encoder(stream, surface, options);
        ASSERT_TRUE(status.success) << status.info;

        const Bitmap decoded(ConstMemory(stream), extension, Format::BGRA8888);
        ASSERT_TRUE(decoded.status().success) << decoded.status().info;
        ASSERT_EQ(decoded.width, 40);
        int worst = 0;
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40 * 4; ++x)
                if ((x & 3) != 3)
                    worst = std::max(worst, std::abs(int(decoded.address(0, y)[x]) - int(surface.address(0, y)[x])));
        EXPECT_LE(worst, 24);
    }
}
