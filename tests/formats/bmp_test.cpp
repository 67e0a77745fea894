// BMP, ICO and CUR: fixtures from ImageMagick, netpbm, Pillow and icoutils against
// stb_image, netpbm's bmptopnm (committed PAM) and icotool's extracted entries; generated
// files for the headers, compressions and escapes no tool here writes.

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include <norva/core/endian.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>

#include "imagekit/imagekit.hpp"
#include "png/png_builder.hpp"
#include "support/largest_allocation.hpp"

using namespace norva;
using imagekit::Bytes;
using imagekit::Image;
using norva::test::LargestAllocation;

// ---------------------------------------------------------------------------------------
// fixtures
// ---------------------------------------------------------------------------------------

namespace
{
    enum class Reference
    {
        STB,        // stb_image in the test binary
        PAM,        // <name>.ref.pam from bmptopnm
        PNG,        // <name>.ref.png (icotool's extraction), read by libpng
    };

    struct FixtureRow
    {
        const char* file;
        Reference reference;
        imagekit::Compare compare;
        const char* why;
    };

    const FixtureRow bitmapRows[] = {
        { "bmp_1.bmp", Reference::STB, {}, "1 bit, 40-byte header" },
        { "bmp_1.bmp", Reference::PAM, {}, "" },
        { "bmp_4.bmp", Reference::STB, {}, "4 bits" },
        { "bmp_8.bmp", Reference::STB, {}, "8 bits, 200 colours" },
        { "bmp_8.bmp", Reference::PAM, {}, "" },
        { "bmp_rle8.bmp", Reference::PAM, {}, "RLE8 (stb_image has no RLE)" },
        { "bmp_rle8_odd.bmp", Reference::PAM, {}, "RLE8 at width 13, rows padded by runs to 16 (Pillow's decode)" },
        { "bmp_565.bmp", Reference::STB, { .tolerance = 1 }, "bitfields 5:6:5; stb widens by bit copies, we to nearest" },
        { "bmp_555.bmp", Reference::STB, { .tolerance = 1 }, "bitfields 5:5:5" },
        { "bmp_1555.bmp", Reference::STB, { .tolerance = 1 }, "bitfields with a 1-bit alpha" },
        { "bmp_4444.bmp", Reference::STB, {}, "bitfields 4:4:4:4" },
        { "bmp_24_v3.bmp", Reference::STB, {}, "24 bits, 40-byte header" },
        { "bmp_24_v5.bmp", Reference::STB, {}, "24 bits, 124-byte header: its masks do not apply to BI_RGB" },
        { "bmp_32_v5.bmp", Reference::STB, {}, "32 bits, bitfields with an alpha mask" },
        { "bmp_32_pil.bmp", Reference::STB, { .colorOnly = true }, "32-bit BI_RGB: the fourth byte is not alpha" },
        { "bmp_os2_4.bmp", Reference::PAM, {}, "OS/2 12-byte header, 3-byte palette entries" },
        { "bmp_os2_24.bmp", Reference::PAM, {}, "OS/2 12-byte header, 24 bits" },
        // bitmap entries carry alpha (32 bits) or their AND mask (fewer bits): icotool's
        // extractions agree; the colour under a transparent pixel is not compared
        { "ico_im.ico", Reference::PNG, { .ignoreTransparentColor = true }, "48x48 wins over 16 and 32" },
        { "ico_png256.ico", Reference::PNG, {}, "256x256 PNG entry, through the PNG decoder" },
        { "ico_8.ico", Reference::PNG, { .ignoreTransparentColor = true }, "8-bit entry, AND mask" },
        { "ico_4.ico", Reference::PNG, { .ignoreTransparentColor = true }, "4-bit entry, AND mask" },
        { "ico_cursor.cur", Reference::PNG, { .ignoreTransparentColor = true }, "cursor, type 2, AND mask" },
        // files that are JPEGs: decoded by the JPEG decoder, against djpeg -dct int -nosmooth
        // within the JPEG tests' tolerance (the colour conversion's constants differ)
        { "bmp_jpeg.bmp", Reference::PAM, { .tolerance = 4 }, "a 4:4:4 JPEG named .bmp" },
        { "ico_jpeg.ico", Reference::PAM, { .tolerance = 1 }, "a grey JPEG named .ico" },
    };

    std::string withoutExtension(const std::string& name)
    {
        return name.substr(0, name.rfind('.'));
    }

    std::string extensionOf(const std::string& name)
    {
        return name.substr(name.rfind('.'));
    }

    Image referenceOf(const FixtureRow& row)
    {
        switch (row.reference)
        {
            case Reference::STB: return imagekit::decodeStb(imagekit::readFixture(row.file));
            case Reference::PAM: return imagekit::readPAM(imagekit::readFixture(withoutExtension(row.file) + ".ref.pam"));
            case Reference::PNG: return imagekit::decodeLibpng(imagekit::readFixture(withoutExtension(row.file) + ".ref.png"));
        }
        return Image();
    }

} // namespace

class BMPFixture : public ::testing::TestWithParam<FixtureRow>
{
};

TEST_P(BMPFixture, MatchesItsReference)
{
    const FixtureRow& row = GetParam();
    const imagekit::Decoded ours = imagekit::decodeNative(imagekit::readFixture(row.file), extensionOf(row.file));
    ASSERT_TRUE(ours.status.success) << row.file << ": " << ours.status.info;
    EXPECT_TRUE(imagekit::sameImage(imagekit::narrow(ours.image), referenceOf(row), row.compare))
        << row.file << " (" << row.why << ")";
}

INSTANTIATE_TEST_SUITE_P(Fixtures, BMPFixture, ::testing::ValuesIn(bitmapRows), [](const auto& info) {
    std::string name = info.param.file;
    for (char& c : name)
    {
        c = std::isalnum(u8(c)) ? c : '_';
    }
    return name + "_" + std::to_string(info.index);
});

TEST(BMPFixtures, HeadersAndFormats)
{
    const struct
    {
        const char* file;
        int width, height;
        bool palette;
        Format format;
    } rows[] = {
        { "bmp_4.bmp", 13, 7, true, Format::BGRA8888 },
        { "bmp_24_v5.bmp", 13, 7, false, Format::BGR888 },
        { "bmp_32_pil.bmp", 13, 7, false, Format::BGRX8880 },
        { "bmp_32_v5.bmp", 13, 7, false, Format::BGRA8888 },
        { "bmp_565.bmp", 13, 7, false, Format::BGR565 },
        { "bmp_555.bmp", 13, 7, false, Format(16, Format::UNORM, Format::BGRA, 5, 5, 5, 0) },
        { "ico_im.ico", 48, 48, false, Format::BGRA8888 },
        { "ico_png256.ico", 256, 256, false, Format::BGRA8888 },
        { "bmp_jpeg.bmp", 13, 7, false, Format::BGRA8888 },
        { "ico_jpeg.ico", 13, 7, false, Format::L8 },
    };
    for (const auto& row : rows)
    {
        const Bytes file = imagekit::readFixture(row.file);
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), extensionOf(row.file));
        const ImageHeader header = decoder.header();
        ASSERT_TRUE(header.success) << row.file << ": " << header.info;
        EXPECT_EQ(header.width, row.width) << row.file;
        EXPECT_EQ(header.height, row.height) << row.file;
        EXPECT_EQ(header.palette, row.palette) << row.file;
        EXPECT_TRUE(header.format == row.format) << row.file;
    }
}

TEST(BMPFixtures, PaletteRequestDeliversIndices)
{
    for (const char* name : { "bmp_1.bmp", "bmp_4.bmp", "bmp_8.bmp", "bmp_rle8.bmp", "bmp_os2_4.bmp" })
    {
        const Bytes file = imagekit::readFixture(name);
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".bmp");
        Bitmap indices(13, 7, Format::INDEX8);
        Palette palette;
        ImageDecodeOptions options;
        options.palette = &palette;
        const ImageDecodeStatus status = decoder.decode(indices, options);
        ASSERT_TRUE(status.success) << name << ": " << status.info;
        const imagekit::Decoded colours = imagekit::decodeNative(file, ".bmp");
        Image expected = colours.image;
        expected.width = std::min(expected.width, 13);
        if (colours.image.width == 13)
        {
            EXPECT_TRUE(imagekit::sameImage(imagekit::fromIndices(indices, palette), expected)) << name;
        }
    }
}

// ---------------------------------------------------------------------------------------
// generated files
// ---------------------------------------------------------------------------------------

namespace
{
    void putLE16(Bytes& b, u32 v)
    {
        b.resize(b.size() + 2);
        storeLE16(b.data() + b.size() - 2, u16(v));
    }

    void putLE32(Bytes& b, u32 v)
    {
        b.resize(b.size() + 4);
        storeLE32(b.data() + b.size() - 4, v);
    }

    struct BitmapSpec
    {
        u32 headerSize = 40;
        s32 width = 4;
        s32 height = 2;
        u32 bits = 8;
        u32 compression = 0;
        u32 colorsUsed = 0;
        u32 colorsImportant = 0;
        std::vector<u32> masks;     // written behind a 40-byte header, or inside a larger one
        std::vector<u32> palette;   // 0x00RRGGBB
        Bytes pixels;
    };

    // The info header (and masks and palette) alone, as icons store it.
    Bytes infoHeader(const BitmapSpec& s)
    {
        Bytes b;
        putLE32(b, s.headerSize);
        if (s.headerSize == 12)
        {
            putLE16(b, u32(s.width));
            putLE16(b, u32(s.height));
            putLE16(b, 1);
            putLE16(b, s.bits);
        }
        else
        {
            putLE32(b, u32(s.width));
            putLE32(b, u32(s.height));
            putLE16(b, 1);
            putLE16(b, s.bits);
            if (s.headerSize >= 40)
            {
                putLE32(b, s.compression);
                putLE32(b, u32(s.pixels.size()));
                putLE32(b, 2835);
                putLE32(b, 2835);
                putLE32(b, s.colorsUsed);
                putLE32(b, s.colorsImportant);
            }
        }
        for (u32 m : s.masks)
        {
            putLE32(b, m);
        }
        b.resize(std::max<size_t>(b.size(), s.headerSize), 0);
        for (u32 c : s.palette)
        {
            b.push_back(u8(c));
            b.push_back(u8(c >> 8));
            b.push_back(u8(c >> 16));
            if (s.headerSize != 12)
            {
                b.push_back(0);
            }
        }
        return b;
    }

    Bytes bitmapFile(const BitmapSpec& s)
    {
        const Bytes info = infoHeader(s);
        Bytes b = { 'B', 'M' };
        putLE32(b, u32(14 + info.size() + s.pixels.size()));
        putLE32(b, 0);
        putLE32(b, u32(14 + info.size()));
        b.insert(b.end(), info.begin(), info.end());
        b.insert(b.end(), s.pixels.begin(), s.pixels.end());
        return b;
    }

    imagekit::Decoded decode(const Bytes& file, const std::string& extension = ".bmp")
    {
        return imagekit::decodeNative(file, extension);
    }

    std::vector<u32> greyPalette(int n)
    {
        std::vector<u32> p;
        for (int i = 0; i < n; ++i)
        {
            const u32 v = u32(i * 255 / std::max(n - 1, 1));
            p.push_back(v | (v << 8) | (v << 16));
        }
        return p;
    }

} // namespace

// Bottom-up files are flipped into place; a negative height means top-down and reports the
// positive height.
TEST(BMPGenerated, RowOrder)
{
    BitmapSpec s;
    s.bits = 24;
    s.width = 1;
    s.height = 2;
    s.pixels = { 1, 2, 3, 0, 4, 5, 6, 0 };    // rows padded to 4 bytes
    imagekit::Decoded d = decode(bitmapFile(s));
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(0, 0, 2), 4);    // the second stored row is the top
    s.height = -2;
    d = decode(bitmapFile(s));
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.header.height, 2);
    EXPECT_EQ(d.image.at(0, 0, 2), 1);
}

// Every header size: 12 and 64 (OS/2), 16, 40, 52, 56 (masks), 108, 124.
TEST(BMPGenerated, HeaderSizes)
{
    for (u32 size : { 12u, 16u, 40u, 52u, 56u, 64u, 108u, 124u })
    {
        BitmapSpec s;
        s.headerSize = size;
        s.bits = 8;
        s.width = 3;
        s.height = 1;
        s.palette = { 0x102030, 0x405060, 0x708090 };
        if (size >= 40)
        {
            s.colorsUsed = 3;
        }
        else
        {
            s.palette.resize(256, 0);
        }
        s.pixels = { 2, 1, 0, 0 };
        const imagekit::Decoded d = decode(bitmapFile(s));
        ASSERT_TRUE(d.status.success) << size << ": " << d.status.info;
        EXPECT_EQ(d.image.at(0, 0, 0), 0x70) << size;
        EXPECT_EQ(d.image.at(1, 0, 1), 0x50) << size;
        EXPECT_EQ(d.image.at(2, 0, 2), 0x30) << size;
    }
    BitmapSpec bad;
    bad.headerSize = 41;
    EXPECT_EQ(decode(bitmapFile(bad)).status.info, "[ImageDecoder.BMP] Incorrect header size.");
}

TEST(BMPGenerated, PaletteCounts)
{
    // 4 bits with colours used 0: a 16-entry palette
    BitmapSpec s;
    s.bits = 4;
    s.width = 2;
    s.height = 1;
    s.palette = greyPalette(16);
    s.pixels = { 0xF3, 0, 0, 0 };
    imagekit::Decoded d = decode(bitmapFile(s));
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(0, 0, 0), 255);
    EXPECT_EQ(d.image.at(1, 0, 0), 51);

    // colours important 3: only three entries are read, the others are transparent black
    s.colorsImportant = 3;
    d = decode(bitmapFile(s));
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(0, 0, 3), 0);
    EXPECT_EQ(d.image.at(1, 0, 3), 0);
    s.pixels = { 0x21, 0, 0, 0 };
    d = decode(bitmapFile(s));
    EXPECT_EQ(d.image.at(0, 0, 0), 34);
    EXPECT_EQ(d.image.at(0, 0, 3), 255);

    // 2 bits per pixel
    BitmapSpec two;
    two.bits = 2;
    two.width = 4;
    two.height = 1;
    two.palette = greyPalette(4);
    two.pixels = { 0x1B, 0, 0, 0 };
    d = decode(bitmapFile(two));
    ASSERT_TRUE(d.status.success) << d.status.info;
    for (int x = 0; x < 4; ++x)
    {
        EXPECT_EQ(d.image.at(x, 0, 0), 85 * x);
    }
}

// 16 bits without masks are 5:5:5; a 56-byte header's alpha mask is used with bitfields;
// the alpha of a 32-bit BI_RGB pixel is not.
TEST(BMPGenerated, SixteenAndThirtyTwoBits)
{
    BitmapSpec s;
    s.bits = 16;
    s.width = 2;
    s.height = 1;
    s.pixels = { 0x1F, 0x00, 0x00, 0x7C };    // blue max, red max
    imagekit::Decoded d = decode(bitmapFile(s));
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(0, 0, 2), 255);
    EXPECT_EQ(d.image.at(1, 0, 0), 255);
    EXPECT_EQ(d.image.at(1, 0, 2), 0);

    BitmapSpec a;
    a.headerSize = 56;
    a.bits = 32;
    a.width = 1;
    a.height = 1;
    a.compression = 3;
    a.masks = { 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000 };
    a.pixels = { 10, 20, 30, 40 };
    d = decode(bitmapFile(a));
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(0, 0, 0), 30);
    EXPECT_EQ(d.image.at(0, 0, 3), 40);

    a.compression = 0;
    d = decode(bitmapFile(a));
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(0, 0, 0), 30);
    EXPECT_EQ(d.image.at(0, 0, 3), 255);
}

TEST(BMPGenerated, MaskErrors)
{
    const struct
    {
        u32 bits;
        std::vector<u32> masks;
        const char* message;
    } rows[] = {
        { 32, { 0x00FF00FF, 0x0000FF00, 0x00000000 }, "[ImageDecoder.BMP] Incorrect color masks." },
        { 16, { 0x00FF0000, 0x0000FF00, 0x000000FF }, "[ImageDecoder.BMP] Incorrect color masks." },
        // a full 32-bit mask is legal: the pixel is all red
        { 32, { 0xFFFFFFFF, 0, 0 }, nullptr },
    };
    for (const auto& row : rows)
    {
        BitmapSpec s;
        s.bits = row.bits;
        s.compression = 3;
        s.width = 1;
        s.height = 1;
        s.masks = row.masks;
        s.pixels = { 0xFF, 0xFF, 0xFF, 0xFF };
        const imagekit::Decoded d = decode(bitmapFile(s));
        if (row.message)
        {
            EXPECT_EQ(d.status.info, row.message);
        }
        else
        {
            EXPECT_TRUE(d.header.success) << d.header.info;
        }
    }
}

TEST(BMPGenerated, HeaderAndCompressionErrors)
{
    const auto info = [](BitmapSpec s) { return decode(bitmapFile(s)).status.info; };
    BitmapSpec s;
    s.bits = 24;
    s.pixels = Bytes(24, 0);
    BitmapSpec t = s;
    t.height = INT32_MIN;
    EXPECT_EQ(info(t), "[ImageDecoder.BMP] Incorrect image size.");
    t = s;
    t.width = 0;
    EXPECT_EQ(info(t), "[ImageDecoder.BMP] Incorrect image size.");
    t = s;
    t.bits = 7;
    t.palette = greyPalette(128);
    EXPECT_EQ(info(t), "[ImageDecoder.BMP] Incorrect number of color bits.");
    t = s;
    t.compression = 4;
    EXPECT_EQ(info(t), "[ImageDecoder.BMP] Unsupported compression.");
    t.compression = 5;
    EXPECT_EQ(info(t), "[ImageDecoder.BMP] Unsupported compression.");
    t.compression = 7;
    EXPECT_EQ(info(t), "[ImageDecoder.BMP] Incorrect compression.");
    t.compression = 14;
    EXPECT_EQ(info(t), "[ImageDecoder.BMP] Incorrect compression.");
    t = s;
    t.pixels.resize(10);
    EXPECT_EQ(info(t), "[ImageDecoder.BMP] Out of data.");

    Bytes planes = bitmapFile(s);
    planes[26] = 2;
    EXPECT_EQ(decode(planes).status.info, "[ImageDecoder.BMP] Incorrect number of planes.");
    Bytes id = bitmapFile(s);
    id[0] = 'X';
    EXPECT_EQ(decode(id).status.info, "[ImageDecoder.BMP] Incorrect header identifier.");
}

// RLE8 and RLE4 with runs, literals (odd ones padded), end of line, delta and end of
// bitmap; runs past the row are cut; a delta past the image stops.
TEST(BMPGenerated, RunLengthEscapes)
{
    BitmapSpec s;
    s.compression = 1;
    s.width = 6;
    s.height = 3;
    s.palette = greyPalette(256);
    s.pixels = { 3, 5, 0, 0, 0, 3, 7, 8, 9, 0, 0, 2, 0, 1, 4, 9, 0, 1 };
    // row 0 (bottom): 5 5 5; row 1: 7 8 9; delta (0, +1) keeps column 3: 4 x 9 cut at 6
    imagekit::Decoded d = decode(bitmapFile(s));
    ASSERT_TRUE(d.status.success) << d.status.info;
    const int bottom[] = { 5, 5, 5, 0, 0, 0 };
    const int middle[] = { 7, 8, 9, 0, 0, 0 };
    const int top[] = { 0, 0, 0, 9, 9, 9 };
    for (int x = 0; x < 6; ++x)
    {
        EXPECT_EQ(d.image.at(x, 2, 0), s.palette[size_t(bottom[x])] & 0xFF) << x;
        EXPECT_EQ(d.image.at(x, 1, 0), s.palette[size_t(middle[x])] & 0xFF) << x;
        EXPECT_EQ(d.image.at(x, 0, 0), s.palette[size_t(top[x])] & 0xFF) << x;
    }

    // the RLE8 stream 03 05 00 00 00 01: three pixels of index 5 on the first stored row
    s.pixels = { 3, 5, 0, 0, 0, 1 };
    d = decode(bitmapFile(s));
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(2, 2, 0), s.palette[5] & 0xFF);
    EXPECT_EQ(d.image.at(3, 2, 0), 0);

    // a delta far past the image ends decoding without writing
    s.pixels = { 0, 2, 200, 200, 3, 5, 0, 1 };
    d = decode(bitmapFile(s));
    EXPECT_TRUE(d.status.success) << d.status.info;

    // data that ends before end-of-bitmap: what was decoded stays, and the status says so
    s.pixels = { 3, 5, 0 };
    d = decode(bitmapFile(s));
    EXPECT_EQ(d.status.info, "[ImageDecoder.BMP] Out of data.");

    // RLE4: a run alternates nibbles, a literal of 3 takes 2 bytes and pads to 4
    BitmapSpec r4;
    r4.compression = 2;
    r4.bits = 4;
    r4.width = 7;
    r4.height = 1;
    r4.palette = greyPalette(16);
    r4.pixels = { 4, 0x1E, 0, 3, 0x23, 0x40, 0, 0, 0, 1 };
    d = decode(bitmapFile(r4));
    ASSERT_TRUE(d.status.success) << d.status.info;
    const int expected[] = { 1, 14, 1, 14, 2, 3, 4 };
    for (int x = 0; x < 7; ++x)
    {
        EXPECT_EQ(d.image.at(x, 0, 0), r4.palette[size_t(expected[x])] & 0xFF) << x;
    }
}

// What runs and literals draw past the end of a row is dropped up to the next end-of-line,
// delta or end-of-bitmap: padding written by encoders must not come back at the start of
// the row.
TEST(BMPGenerated, RunsPastTheRowAreDropped)
{
    // width 3: a run of 5 of index 7, then a literal 1 2 3 and a run 9 9 wholly past the
    // row, end of line; a run of 3 of index 4; end of bitmap
    const struct
    {
        u32 compression;
        u32 bits;
        Bytes pixels;
    } rows[] = {
        { 1, 8, { 5, 7, 0, 3, 1, 2, 3, 0, 2, 9, 0, 0, 3, 4, 0, 1 } },
        { 2, 4, { 5, 0x77, 0, 3, 0x12, 0x30, 2, 0x99, 0, 0, 3, 0x44, 0, 1 } },
    };
    for (const auto& row : rows)
    {
        BitmapSpec s;
        s.compression = row.compression;
        s.bits = row.bits;
        s.width = 3;
        s.height = 2;
        s.palette = greyPalette(1 << row.bits);
        s.pixels = row.pixels;
        const imagekit::Decoded d = decode(bitmapFile(s));
        ASSERT_TRUE(d.status.success) << d.status.info;
        for (int x = 0; x < 3; ++x)
        {
            EXPECT_EQ(d.image.at(x, 1, 0), s.palette[7] & 0xFF) << "RLE" << row.bits << " x " << x;
            EXPECT_EQ(d.image.at(x, 0, 0), s.palette[4] & 0xFF) << "RLE" << row.bits << " x " << x;
        }
    }
}

// OS/2 bitmaps use compression 3 at 1 bit for Huffman 1D, which is not decoded: refused
// rather than read as uncompressed noise.
TEST(BMPGenerated, HuffmanIsRefused)
{
    for (u32 headerSize : { 40u, 64u })
    {
        BitmapSpec s;
        s.headerSize = headerSize;
        s.bits = 1;
        s.compression = 3;
        s.width = 8;
        s.height = 2;
        s.palette = greyPalette(2);
        s.pixels = { 0xAA, 0, 0, 0, 0x55, 0, 0, 0 };
        EXPECT_EQ(decode(bitmapFile(s)).status.info, "[ImageDecoder.BMP] Unsupported compression.") << headerSize;
    }
}

// A damaged size must not make the decoder (or a caller sizing its surface from the header)
// allocate what the file cannot hold: 16711807 x 64 pixels declared by files of a few KB
// fail in the header, and a decode into a small surface allocates nothing large either.
TEST(BMPGenerated, SizesTheFileCannotHoldAreRefusedBeforeAllocating)
{
    for (const char* name : { "bmp_rle8.bmp", "bmp_8.bmp", "bmp_4.bmp", "bmp_24_v3.bmp" })
    {
        Bytes file = imagekit::readFixture(name);
        storeLE32(file.data() + 18, 16711807);
        storeLE32(file.data() + 22, 64);
        LargestAllocation largest;
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".bmp");
        const ImageHeader header = decoder.header();
        EXPECT_EQ(header.info, "[ImageDecoder.BMP] Out of data.") << name;
        Bitmap small(4, 4, Format::BGRA8888);
        EXPECT_FALSE(decoder.decode(small).success) << name;
        EXPECT_LT(largest.bytes(), size_t(1) << 20) << name;
    }

    // an RLE stream covers at most 255 pixels per two bytes; small images pass regardless
    BitmapSpec s;
    s.compression = 1;
    s.palette = greyPalette(256);
    s.pixels = { 0, 1 };
    s.width = 256;
    s.height = 256;
    EXPECT_TRUE(decode(bitmapFile(s)).status.success);
    s.height = 257;
    EXPECT_EQ(decode(bitmapFile(s)).header.info, "[ImageDecoder.BMP] Out of data.");
    s.pixels.assign(2 * 259, 0);
    s.pixels.back() = 1;
    EXPECT_TRUE(decode(bitmapFile(s)).status.success);
}

// Indexed pixels go straight into a caller's surface that can take them (32-bit B, G, R, A
// colours, or 8-bit indices with the palette requested): no temporary of the image's size.
TEST(BMPGenerated, IndexedPixelsGoStraightIntoAFittingSurface)
{
    const int width = 1000;
    const int height = 600;
    for (u32 compression : { 0u, 1u })
    {
        BitmapSpec s;
        s.compression = compression;
        s.width = width;
        s.height = height;
        s.palette = greyPalette(256);
        for (int y = 0; y < height; ++y)
        {
            for (int x = 0; x < width; x += compression ? 250 : 1)
            {
                if (compression)
                {
                    s.pixels.insert(s.pixels.end(), { 250, u8(x / 4 + y) });
                }
                else
                {
                    s.pixels.push_back(u8(x * 7 + y));
                }
            }
            if (compression)
            {
                s.pixels.insert(s.pixels.end(), { 0, 0 });
            }
        }
        const Bytes file = bitmapFile(s);
        // the reference goes through a conversion, and so through a temporary
        const imagekit::Decoded converted = decode(file);
        ASSERT_TRUE(converted.status.success) << converted.status.info;
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".bmp");

        Bitmap colours(width + 3, height, Format::BGRA8888);
        Bitmap indices(width, height + 1, Format::INDEX8);
        Palette palette;
        ImageDecodeOptions options;
        options.palette = &palette;
        {
            LargestAllocation largest;
            ASSERT_TRUE(decoder.decode(colours).success);
            ASSERT_TRUE(decoder.decode(indices, options).success);
            EXPECT_LT(largest.bytes(), size_t(width) * height) << "compression " << compression;
        }
        const Image image = imagekit::fromSurface(Surface(colours, 0, 0, width, height));
        EXPECT_TRUE(imagekit::sameImage(image, converted.image)) << "compression " << compression;
        EXPECT_TRUE(imagekit::sameImage(imagekit::fromIndices(Surface(indices, 0, 0, width, height), palette),
                                        converted.image))
            << "compression " << compression;
    }
}

TEST(BMPGenerated, NestedImages)
{
    // a PNG named .bmp decodes through the PNG decoder, and its errors are passed on
    using namespace pngbuild;
    const Bytes png = still(ihdr(2, 1, 8, 0), {}, zlib({ 0, 100, 200 }));
    imagekit::Decoded d = decode(png);
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(1, 0, 0), 200);
    const Bytes broken = still(ihdr(2, 1, 8, 0), {}, Bytes { 1, 2, 3 });
    EXPECT_EQ(decode(broken).status.info, "[ImageDecoder.PNG] Inflate failed.");

    // a JPEG named .bmp or .ico: the JPEG decoder's header and errors are the file's
    for (const char* name : { "bmp_jpeg.bmp", "ico_jpeg.ico" })
    {
        Bytes jpeg = imagekit::readFixture(name);
        ASSERT_TRUE(decode(jpeg, extensionOf(name)).status.success) << name;
        // SOF0 with 9-bit samples
        const u8 marker[2] = { 0xFF, 0xC0 };
        const size_t sof = size_t(std::search(jpeg.begin(), jpeg.end(), marker, marker + 2) - jpeg.begin());
        ASSERT_LT(sof + 4, jpeg.size()) << name;
        jpeg[sof + 4] = 9;
        const imagekit::Decoded d = decode(jpeg, extensionOf(name));
        EXPECT_FALSE(d.header.success) << name;
        EXPECT_EQ(d.status.info, "Incorrect precision (9)") << name;
        // cut inside the entropy data: the decoder's failure is passed on, not hidden
        jpeg = imagekit::readFixture(name);
        jpeg.resize(sof + 40);
        EXPECT_FALSE(decode(jpeg, extensionOf(name)).status.success) << name;
    }

    // D7 CD has no decoder: a successful, empty header
    const Bytes apm = { 0xD7, 0xCD, 0xC6, 0x9A, 0, 0 };
    ImageDecoder decoder(ConstMemory(apm.data(), apm.size()), ".bmp");
    const ImageHeader header = decoder.header();
    EXPECT_TRUE(header.success);
    EXPECT_EQ(header.width, 0);
}

namespace
{
    struct IconEntry
    {
        int width, height, colors, bits;
        Bytes image;
    };

    Bytes iconFile(const std::vector<IconEntry>& entries, u32 type = 1)
    {
        Bytes b;
        putLE16(b, 0);
        putLE16(b, type);
        putLE16(b, u32(entries.size()));
        u32 offset = u32(6 + 16 * entries.size());
        for (const IconEntry& e : entries)
        {
            b.push_back(u8(e.width));
            b.push_back(u8(e.height));
            b.push_back(u8(e.colors));
            b.push_back(0);
            putLE16(b, 1);
            putLE16(b, u32(e.bits));
            putLE32(b, u32(e.image.size()));
            putLE32(b, offset);
            offset += u32(e.image.size());
        }
        for (const IconEntry& e : entries)
        {
            b.insert(b.end(), e.image.begin(), e.image.end());
        }
        return b;
    }

    // A headerless icon bitmap: the stored height covers the image and its AND mask.
    Bytes iconBitmap(int size, u32 bits, u32 colorsUsed, u8 index, std::vector<u32> palette)
    {
        BitmapSpec s;
        s.width = size;
        s.height = size * 2;
        s.bits = bits;
        s.colorsUsed = colorsUsed;
        s.palette = std::move(palette);
        const size_t stride = ((size_t(size) * bits + 31) / 32) * 4;
        s.pixels.assign(stride * size_t(size), bits == 8 ? index : u8(0x40));
        s.pixels.resize(s.pixels.size() + size_t(size) * 4, 0);    // AND mask
        Bytes b = infoHeader(s);
        b.insert(b.end(), s.pixels.begin(), s.pixels.end());
        return b;
    }

} // namespace

// 16x16 at 32 bits scores 36^2 x 256 = 331776 and beats 32x32 at 8 bits (12^2 x 1024).
TEST(ICOGenerated, EntryScoring)
{
    const Bytes small32 = iconBitmap(16, 32, 0, 0, {});
    const Bytes large8 = iconBitmap(32, 8, 0, 1, greyPalette(256));
    imagekit::Decoded d = decode(iconFile({ { 32, 32, 0, 8, large8 }, { 16, 16, 0, 32, small32 } }), ".ico");
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.header.width, 16);
    EXPECT_EQ(d.header.height, 16);
    EXPECT_EQ(d.image.at(0, 0, 0), 0x40);
}

// An 8-bit entry whose header and directory both leave the colour count 0 still has its
// 256-entry palette in front of the pixels.
TEST(ICOGenerated, EightBitEntryWithoutColourCount)
{
    std::vector<u32> palette = greyPalette(256);
    palette[7] = 0x123456;
    const Bytes image = iconBitmap(4, 8, 0, 7, palette);
    for (u32 type : { 1u, 2u })
    {
        const imagekit::Decoded d = decode(iconFile({ { 4, 4, 0, 8, image } }, type), type == 1 ? ".ico" : ".cur");
        ASSERT_TRUE(d.status.success) << d.status.info;
        EXPECT_EQ(d.image.at(3, 3, 0), 0x12);
        EXPECT_EQ(d.image.at(3, 3, 1), 0x34);
        EXPECT_EQ(d.image.at(3, 3, 2), 0x56);
    }
}

// Transparency of bitmap entries: a 32-bit entry's fourth byte, or (all of them 0, or fewer
// bits) the AND mask behind the pixels, 1 meaning transparent; a directory size smaller
// than the entry's bitmap still decodes when the file holds the data.
TEST(ICOGenerated, AlphaBytesAndTheANDMask)
{
    // 2 x 2, rows bottom-up; AND mask rows of 4 bytes: the bottom-left pixel transparent
    auto entry = [](u32 bits, const Bytes& pixels) {
        BitmapSpec s;
        s.width = 2;
        s.height = 4;
        s.bits = bits;
        if (bits == 8)
            s.palette = greyPalette(256);
        s.pixels = pixels;
        const Bytes mask = { 0x80, 0, 0, 0, 0, 0, 0, 0 };
        s.pixels.insert(s.pixels.end(), mask.begin(), mask.end());
        Bytes b = infoHeader(s);
        b.insert(b.end(), s.pixels.begin(), s.pixels.end());
        return b;
    };
    const Bytes alpha32 = entry(32, { 1, 2, 3, 0x80, 4, 5, 6, 0, 7, 8, 9, 0xFF, 10, 11, 12, 0x40 });
    const Bytes zero32 = entry(32, { 1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0 });
    const Bytes rgb24 = entry(24, { 1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0 });
    const Bytes index8 = entry(8, { 20, 30, 0, 0, 40, 50, 0, 0 });
    const struct
    {
        const char* what;
        Bytes image;
        int bits;
        int alpha[4];   // top-left, top-right, bottom-left, bottom-right
    } cases[] = {
        { "32-bit alpha bytes, the mask unused", alpha32, 32, { 0xFF, 0x40, 0x80, 0 } },
        { "32-bit with every alpha 0: the mask", zero32, 32, { 255, 255, 0, 255 } },
        { "24-bit: the mask", rgb24, 24, { 255, 255, 0, 255 } },
        { "8-bit: the mask", index8, 8, { 255, 255, 0, 255 } },
    };
    for (const auto& c : cases)
    {
        for (bool small : { false, true })
        {
            Bytes file = iconFile({ { 2, 2, 0, c.bits, c.image } });
            if (small)
                storeLE32(file.data() + 14, 40);    // the directory's size covers the info header only
            for (const char* extension : { ".ico", ".cur" })
            {
                if (std::string(extension) == ".cur")
                    storeLE16(file.data() + 2, 2);
                const imagekit::Decoded d = decode(file, extension);
                ASSERT_TRUE(d.status.success) << c.what << ": " << d.status.info;
                EXPECT_TRUE(d.header.format == Format::BGRA8888) << c.what;
                for (int i = 0; i < 4; ++i)
                    EXPECT_EQ(d.image.at(i % 2, i / 2, 3), c.alpha[i]) << c.what << ", pixel " << i << (small ? ", small size" : "");
            }
        }
    }
    // the colours stay under a transparent pixel (as Pillow and ImageMagick keep them)
    const imagekit::Decoded d = decode(iconFile({ { 2, 2, 0, 24, rgb24 } }), ".ico");
    EXPECT_EQ(d.image.at(0, 1, 0), 3);
    EXPECT_EQ(d.image.at(1, 0, 2), 10);

    // no room for the mask in the file: opaque
    Bytes cut = iconFile({ { 2, 2, 0, 24, rgb24 } });
    cut.resize(cut.size() - 8);
    const imagekit::Decoded opaque = decode(cut, ".ico");
    ASSERT_TRUE(opaque.status.success) << opaque.status.info;
    EXPECT_EQ(opaque.image.at(0, 1, 3), 255);
}

TEST(ICOGenerated, PNGEntriesAndErrors)
{
    using namespace pngbuild;
    const Bytes png = still(ihdr(3, 1, 8, 0), {}, zlib({ 0, 10, 20, 30 }));
    imagekit::Decoded d = decode(iconFile({ { 3, 1, 0, 32, png } }), ".ico");
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_EQ(d.image.at(2, 0, 0), 30);

    // the nested decoder's failure is the icon's failure
    const Bytes broken = still(ihdr(3, 1, 8, 0), {}, Bytes { 9, 9 });
    EXPECT_EQ(decode(iconFile({ { 3, 1, 0, 32, broken } }), ".ico").status.info, "[ImageDecoder.PNG] Inflate failed.");

    EXPECT_EQ(decode(iconFile({ { 3, 1, 0, 32, Bytes(8, 0x33) } }), ".ico").status.info,
              "[ImageDecoder.BMP] Incorrect ICO/CUR magic.");
    EXPECT_EQ(decode(iconFile({ { 3, 1, 0, 32, png } }, 3), ".ico").status.info,
              "[ImageDecoder.BMP] Incorrect ICO/CUR identifier.");
    EXPECT_EQ(decode(iconFile({}), ".ico").status.info, "[ImageDecoder.BMP] Incorrect ICO/CUR directory.");
    Bytes planes = iconFile({ { 3, 1, 0, 32, png } });
    planes[10] = 2;
    EXPECT_EQ(decode(planes, ".ico").status.info, "[ImageDecoder.BMP] Incorrect number of planes in ICO/CUR directory.");
}

// ---------------------------------------------------------------------------------------
// encoder
// ---------------------------------------------------------------------------------------

TEST(BMPEncoder, WritesA56ByteHeaderAndReadsBack)
{
    ImageEncodeFunc encoder = getImageEncoder(".bmp");
    ASSERT_NE(encoder, nullptr);
    Bitmap source(2, 2, Format::RGBA8888);
    const u8 pixels[16] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16 };
    std::memcpy(source.address(0, 0), pixels, 8);
    std::memcpy(source.address(0, 1), pixels + 8, 8);
    MemoryStream stream;
    const ImageEncodeStatus status = encoder(stream, source, ImageEncodeOptions());
    ASSERT_TRUE(status.success) << status.info;
    const ConstMemory m = stream;
    const Bytes file(m.address, m.address + m.size);
    ASSERT_EQ(file.size(), 86u);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[14], 56);
    EXPECT_EQ(file[30], 3);

    const imagekit::Decoded d = decode(file);
    ASSERT_TRUE(d.status.success) << d.status.info;
    EXPECT_TRUE(imagekit::sameImage(d.image, imagekit::fromSurface(source)));

    Surface empty;
    EXPECT_FALSE(encoder(stream, empty, ImageEncodeOptions()).success);
}
