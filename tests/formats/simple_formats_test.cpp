// TGA, PCX, SGI, PNM/PAM/PFM and Radiance HDR: one table. Each row is a fixture made by a
// real tool (tests/fixtures/formats/make_fmt17.sh) or a few bytes built here for a case no
// tool writes, with its reference (stb_image in this binary, a committed PAM from netpbm or
// Pillow, the values the bytes spell out) or the message the file must be refused with.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>

#include "imagekit/imagekit.hpp"

#define STBI_NO_STDIO
#include <stb/stb_image.h>

using namespace norva;
using imagekit::Bytes;
using imagekit::Image;

namespace
{
    // ------------------------------------------------------------------------------------
    // building files and images
    // ------------------------------------------------------------------------------------

    void le16(Bytes& b, u32 v)
    {
        b.push_back(u8(v));
        b.push_back(u8(v >> 8));
    }

    void append(Bytes& b, std::initializer_list<int> bytes)
    {
        for (int v : bytes)
            b.push_back(u8(v));
    }

    struct TGA
    {
        int idLength = 0, mapType = 0, dataType = 2, first = 0, mapLength = 0, entryBits = 0;
        int width = 1, height = 1, bits = 24, descriptor = 0x20;

        Bytes header() const
        {
            Bytes b;
            append(b, { idLength, mapType, dataType });
            le16(b, u32(first));
            le16(b, u32(mapLength));
            append(b, { entryBits, 0, 0, 0, 0 });
            le16(b, u32(width));
            le16(b, u32(height));
            append(b, { bits, descriptor });
            return b;
        }

        Bytes with(std::initializer_list<int> body) const
        {
            Bytes b = header();
            append(b, body);
            return b;
        }
    };

    // Expected pixels as rows of RGBA quadruples.
    Image pixels(int width, int height, std::initializer_list<int> rgba)
    {
        Image image = imagekit::makeImage(width, height, 8);
        size_t i = 0;
        for (int v : rgba)
            image.rgba[i++] = u16(v);
        EXPECT_EQ(i, image.rgba.size());
        return image;
    }

    // ------------------------------------------------------------------------------------
    // the table
    // ------------------------------------------------------------------------------------

    enum class Reference
    {
        STB,        // stb_image in this binary
        PAM,        // <fixture>.ref.pam, from netpbm or Pillow
        PIXELS,     // the row's expected image
        ERROR,      // refused with the row's message
    };

    struct Row
    {
        const char* name;               // a fixture, or a label for built bytes
        const char* extension;
        Reference reference;
        imagekit::Compare compare = {};
        std::function<Bytes()> bytes = nullptr;     // null: the fixture
        std::function<Image()> expected = nullptr;  // PIXELS
        const char* message = "";                   // ERROR
        const char* why = "";
    };

    std::string withoutExtension(const std::string& name)
    {
        return name.substr(0, name.rfind('.'));
    }

    const Row rows[] = {
        // --- TGA: fixtures -----------------------------------------------------------------
        { "tga_raw24.tga", ".tga", Reference::STB, {}, {}, {}, "", "raw true colour, bottom-up" },
        { "tga_rle24.tga", ".tga", Reference::STB, {}, {}, {}, "", "RLE true colour" },
        { "tga_top24.tga", ".tga", Reference::STB, {}, {}, {}, "", "top-down (0x20)" },
        { "tga_raw32.tga", ".tga", Reference::STB, {}, {}, {}, "", "32 bits with alpha" },
        { "tga_rle32.tga", ".tga", Reference::STB, {}, {}, {}, "", "RLE, 32 bits" },
        { "tga_pil_top32.tga", ".tga", Reference::STB, {}, {}, {}, "", "Pillow, descriptor 0x28" },
        { "tga_cmap.tga", ".tga", Reference::STB, {}, {}, {}, "", "colour-mapped, 24-bit entries" },
        { "tga_cmap_rle.tga", ".tga", Reference::STB, {}, {}, {}, "", "colour-mapped, RLE" },
        { "tga_pil_cmap_rle.tga", ".tga", Reference::STB, {}, {}, {}, "", "Pillow's colour-mapped RLE" },
        { "tga_grey.tga", ".tga", Reference::STB, {}, {}, {}, "", "grey" },
        { "tga_grey_rle.tga", ".tga", Reference::STB, {}, {}, {}, "", "grey, RLE" },
        { "tga_555.tga", ".tga", Reference::STB, { .tolerance = 1 }, {}, {}, "",
          "5:5:5; stb widens with c * 255 / 31, the converter to nearest" },
        { "tga_id_raw.tga", ".tga", Reference::STB, {}, {}, {}, "", "netpbm, with an image id" },
        { "tga_id_rle.tga", ".tga", Reference::STB, {}, {}, {}, "", "netpbm, image id and RLE" },
        { "tga_pil_la.tga", ".tga", Reference::PAM, {}, {}, {}, "", "16-bit grey is grey and alpha (stb reads 5:5:5)" },
        { "tga_pil_la_rle.tga", ".tga", Reference::PAM, {}, {}, {}, "", "16-bit grey and alpha, RLE" },
        { "tga_gen_cmap16.tga", ".tga", Reference::PAM, {}, {}, {}, "", "16-bit colour-map entries" },
        { "tga_gen_cmap32.tga", ".tga", Reference::PAM, {}, {}, {}, "", "32-bit colour-map entries keep alpha" },
        { "tga_gen_first.tga", ".tga", Reference::PAM, {}, {}, {}, "", "colour map starting at index 100" },

        // --- TGA: built cases --------------------------------------------------------------
        { "tga data type 0", ".tga", Reference::ERROR, {}, [] { TGA t; t.dataType = 0; return t.with({ 1, 2, 3 }); },
          {}, "[ImageDecoder.TGA] Invalid data type (0).", "" },
        { "tga pixel size 15", ".tga", Reference::ERROR, {}, [] { TGA t; t.bits = 15; return t.with({ 1, 2 }); },
          {}, "[ImageDecoder.TGA] Invalid pixel size (15).", "" },
        { "tga colormap type 2", ".tga", Reference::ERROR, {}, [] { TGA t; t.mapType = 2; return t.with({ 1, 2, 3 }); },
          {}, "[ImageDecoder.TGA] Invalid colormap type (2).", "" },
        { "tga colormap length 257", ".tga", Reference::ERROR, {},
          [] { TGA t; t.mapType = 1; t.dataType = 1; t.mapLength = 257; t.entryBits = 24; t.bits = 8; return t.with({ 0 }); },
          {}, "[ImageDecoder.TGA] Invalid colormap length.", "" },
        { "tga colormap entry 8 bits", ".tga", Reference::ERROR, {},
          [] { TGA t; t.mapType = 1; t.dataType = 1; t.mapLength = 2; t.entryBits = 8; t.bits = 8; return t.with({ 0, 0, 0 }); },
          {}, "[ImageDecoder.TGA] Invalid colormap size.", "" },
        { "tga colour-mapped 16-bit pixels", ".tga", Reference::ERROR, {},
          [] { TGA t; t.mapType = 1; t.dataType = 1; t.mapLength = 2; t.entryBits = 24; t.bits = 16;
               return t.with({ 0, 0, 0, 0, 0, 0, 1, 0 }); },
          {}, "[ImageDecoder.TGA] Invalid pixel size (16).", "indices wider than 8 bits address no map" },
        { "tga length 257 true colour", ".tga", Reference::PIXELS, {},
          [] {
              TGA t; t.mapType = 1; t.mapLength = 257; t.entryBits = 24;
              Bytes b = t.header();
              b.resize(b.size() + 257 * 3, 0xEE);
              append(b, { 3, 2, 1 });
              return b;
          },
          [] { return pixels(1, 1, { 1, 2, 3, 255 }); }, "", "a colour map of a true-colour file is skipped" },
        { "tga 16-bit entries", ".tga", Reference::PIXELS, {},
          [] { TGA t; t.mapType = 1; t.dataType = 1; t.mapLength = 2; t.entryBits = 16; t.bits = 8; t.width = 3;
               return t.with({ 0x1F, 0x00, 0x00, 0x7C, 0, 1, 2 }); },
          [] { return pixels(3, 1, { 0, 0, 255, 255, 255, 0, 0, 255, 0, 0, 0, 0 }); }, "",
          "0x001F is blue, 0x7C00 red; an index beyond the map is transparent black" },
        { "tga bottom-up 2x2", ".tga", Reference::PIXELS, {},
          [] { TGA t; t.width = 2; t.height = 2; t.descriptor = 0; return t.with({ 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4 }); },
          [] { return pixels(2, 2, { 3, 3, 3, 255, 4, 4, 4, 255, 1, 1, 1, 255, 2, 2, 2, 255 }); }, "",
          "the first stored row is the bottom" },
        { "tga rle across rows", ".tga", Reference::PIXELS, {},
          [] { TGA t; t.dataType = 11; t.bits = 8; t.width = 3; t.height = 2; return t.with({ 0x84, 9, 0x00, 7 }); },
          [] { return pixels(3, 2, { 9, 9, 9, 255, 9, 9, 9, 255, 9, 9, 9, 255, 9, 9, 9, 255, 9, 9, 9, 255, 7, 7, 7, 255 }); },
          "", "a run of 5 fills row 0 and the start of row 1" },
        { "tga grey and alpha", ".tga", Reference::PIXELS, {},
          [] { TGA t; t.dataType = 3; t.bits = 16; return t.with({ 0x40, 0x80 }); },
          [] { return pixels(1, 1, { 0x40, 0x40, 0x40, 0x80 }); }, "", "16-bit grey: grey, then alpha" },
        { "tga truncated raw", ".tga", Reference::ERROR, {},
          [] { TGA t; t.width = 2; t.height = 2; return t.with({ 1, 1, 1, 2, 2, 2, 3, 3 }); },
          {}, "[ImageDecoder.TGA] Not enough data.", "" },
        { "tga truncated rle", ".tga", Reference::ERROR, {},
          [] { TGA t; t.dataType = 10; t.width = 2; t.height = 2; return t.with({ 0x81, 1, 2, 3 }); },
          {}, "[ImageDecoder.TGA] Not enough data.", "" },
        { "tga huge rle from a few bytes", ".tga", Reference::ERROR, {},
          [] { TGA t; t.dataType = 10; t.width = 65535; t.height = 65535; return t.with({ 0xFF, 1, 2, 3 }); },
          {}, "[ImageDecoder.TGA] Not enough data.", "refused before a 12 GB buffer is allocated" },
        { "tga zero width", ".tga", Reference::ERROR, {}, [] { TGA t; t.width = 0; return t.with({}); },
          {}, "[ImageDecoder.TGA] Incorrect image size (0 x 1).", "" },
        { "tga id past the end", ".tga", Reference::ERROR, {}, [] { TGA t; t.idLength = 200; return t.with({ 1, 2, 3 }); },
          {}, "[ImageDecoder.TGA] Not enough data.", "" },
        { "tga short header", ".tga", Reference::ERROR, {}, [] { return Bytes { 0, 0, 2, 0, 0 }; },
          {}, "[ImageDecoder.TGA] Not enough data.", "" },
    };

    Bytes bytesOf(const Row& row)
    {
        return row.bytes ? row.bytes() : imagekit::readFixture(row.name);
    }

    Image referenceOf(const Row& row)
    {
        switch (row.reference)
        {
            case Reference::STB: return imagekit::decodeStb(imagekit::readFixture(row.name));
            case Reference::PAM: return imagekit::readPAM(imagekit::readFixture(withoutExtension(row.name) + ".ref.pam"));
            case Reference::PIXELS: return row.expected();
            case Reference::ERROR: break;
        }
        return Image();
    }

} // namespace

class SimpleFormats : public ::testing::TestWithParam<Row>
{
};

TEST_P(SimpleFormats, MatchesItsReference)
{
    const Row& row = GetParam();
    const Bytes file = bytesOf(row);
    if (row.reference == Reference::ERROR)
    {
        // a corner of the image is enough: some of these claim sizes of gigabytes
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), row.extension);
        const ImageHeader header = decoder.header();
        Status status = header;
        if (header.success)
        {
            Bitmap corner(std::min(header.width, 64), std::min(header.height, 64), header.format);
            status = decoder.decode(corner);
        }
        EXPECT_FALSE(status.success) << row.name;
        EXPECT_EQ(status.info, row.message) << row.name;
        return;
    }
    const imagekit::Decoded ours = imagekit::decodeNative(file, row.extension);
    ASSERT_TRUE(ours.status.success) << row.name << ": " << ours.status.info;
    const Image expected = referenceOf(row);
    ASSERT_FALSE(expected.empty()) << row.name << ": the reference decoder refused it";
    EXPECT_TRUE(imagekit::sameImage(imagekit::narrow(ours.image), expected, row.compare)) << row.name << " (" << row.why << ")";

    // the front end into RGBA 8888 gives the same pixels (the registration and the converting path)
    Bitmap rgba(ConstMemory(file.data(), file.size()), row.extension, Format::RGBA8888);
    ASSERT_TRUE(rgba.status().success) << row.name << ": " << rgba.status().info;
    EXPECT_TRUE(imagekit::sameImage(imagekit::fromSurface(rgba), expected, row.compare)) << row.name << " as RGBA 8888";
}

INSTANTIATE_TEST_SUITE_P(Rows, SimpleFormats, ::testing::ValuesIn(rows), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name)
        c = std::isalnum(u8(c)) ? c : '_';
    return name;
});

// Colour-mapped images hand out their palette and raw indices on request; the colours
// through the palette equal the colour decode.
TEST(SimpleFormatsPalette, IndicesThroughThePaletteEqualTheColours)
{
    const struct
    {
        const char* name;
        const char* extension;
    } files[] = {
        { "tga_cmap.tga", ".tga" }, { "tga_cmap_rle.tga", ".tga" }, { "tga_gen_first.tga", ".tga" },
        { "tga_gen_cmap16.tga", ".tga" },
    };
    for (const auto& f : files)
    {
        const Bytes file = imagekit::readFixture(f.name);
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), f.extension);
        const ImageHeader header = decoder.header();
        ASSERT_TRUE(header.success) << f.name << ": " << header.info;
        ASSERT_TRUE(header.palette) << f.name;
        Bitmap indices(header.width, header.height, Format::INDEX8);
        Palette palette;
        ImageDecodeOptions options;
        options.palette = &palette;
        const ImageDecodeStatus status = decoder.decode(indices, options);
        ASSERT_TRUE(status.success) << f.name << ": " << status.info;
        EXPECT_GT(palette.size, 0u) << f.name;
        EXPECT_TRUE(imagekit::sameImage(imagekit::fromIndices(indices, palette), imagekit::decodeNative(file, f.extension).image))
            << f.name;
    }
}

// ---------------------------------------------------------------------------------------
// TGA encoder
// ---------------------------------------------------------------------------------------

namespace
{
    Bytes encode(const Surface& surface, ImageEncodeStatus& status)
    {
        ImageEncodeFunc encoder = getImageEncoder(".tga");
        EXPECT_NE(encoder, nullptr);
        MemoryStream stream;
        status = encoder(stream, surface, ImageEncodeOptions());
        const ConstMemory memory = stream;
        return Bytes(memory.address, memory.address + memory.size);
    }
} // namespace

TEST(TGAEncoder, HeaderBytesAndReadBackThroughStb)
{
    const struct
    {
        Format format;
        int bits;
        int descriptor;
    } cases[] = {
        { Format::RGBA8888, 32, 0x28 },     // alpha: 32 bits, top-left origin, 8 alpha bits
        { Format::BGRA8888, 32, 0x28 },     // the target format itself: rows written as they are
        { Format::RGB888, 24, 0x20 },
        { Format::BGR888, 24, 0x20 },
        { Format::L8, 24, 0x20 },
    };
    for (const auto& c : cases)
    {
        // a 5 x 3 source inside a wider bitmap, so that the stride differs from the row
        Bitmap backing(9, 3, c.format);
        for (int y = 0; y < 3; ++y)
            for (int i = 0; i < 9 * c.format.bytes(); ++i)
                backing.address(0, y)[i] = u8(y * 61 + i * 7 + 5);
        const Surface source(backing, 0, 0, 5, 3);

        ImageEncodeStatus status;
        const Bytes file = encode(source, status);
        ASSERT_TRUE(status.success) << status.info;
        const Bytes header(file.begin(), file.begin() + 18);
        const Bytes expected = { 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 3, 0, u8(c.bits), u8(c.descriptor) };
        EXPECT_EQ(header, expected);
        EXPECT_EQ(file.size(), 18u + 5 * 3 * (c.bits / 8));

        const Image original = imagekit::fromSurface(source);
        Image sourceRGBA = original;
        EXPECT_TRUE(imagekit::sameImage(imagekit::decodeStb(file), sourceRGBA));
        EXPECT_TRUE(imagekit::sameImage(imagekit::decodeNative(file, ".tga").image, sourceRGBA));
    }
}

TEST(TGAEncoder, RefusesSizesItsFieldsCannotHold)
{
    std::vector<u8> row(65536 * 4);
    ImageEncodeStatus status;
    const Surface wide(65536, 1, Format::BGRA8888, 65536 * 4, row.data());
    encode(wide, status);
    EXPECT_FALSE(status.success);
    EXPECT_EQ(status.info, "[ImageEncoder.TGA] Incorrect image size (65536 x 1).");

    const Surface tall(1, 65536, Format::BGRA8888, 0, row.data());
    encode(tall, status);
    EXPECT_FALSE(status.success);

    const Surface widest(65535, 1, Format::BGRA8888, 65535 * 4, row.data());
    const Bytes file = encode(widest, status);
    ASSERT_TRUE(status.success) << status.info;
    EXPECT_EQ(file[12], 0xFF);
    EXPECT_EQ(file[13], 0xFF);

    const Surface empty;
    encode(empty, status);
    EXPECT_FALSE(status.success);
}
