// Atari ST pictures: files written by netpbm and by the small writers of
// tests/fixtures/formats/make_atari.py, against netpbm's readers (pi1toppm, pi3topbm,
// neotoppm, sputoppm, pc1toppm, spctoppm) or, where none exists, the pictures the writer
// encoded; and the header checks, the colour levels and Spectrum 512's palette switches on
// files built in the test.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <norva/core/endian.hpp>
#include <norva/image/decoder.hpp>

#include "imagekit/imagekit.hpp"

using namespace norva;
using imagekit::Bytes;

namespace
{
    std::string extensionOf(const std::string& name)
    {
        return name.substr(name.rfind('.'));
    }

    struct Result
    {
        ImageHeader header;
        ImageDecodeStatus status;
        std::vector<u8> bgra; // width * height * 4, when decoded
    };

    Result decode(const Bytes& file, const std::string& extension)
    {
        Result r;
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), extension);
        EXPECT_TRUE(decoder.isDecoder()) << extension;
        r.header = decoder.header();
        if (!r.header.success)
            return r;
        Bitmap bitmap(r.header.width, r.header.height, Format::BGRA8888);
        r.status = decoder.decode(bitmap);
        for (int y = 0; y < bitmap.height; ++y)
            r.bgra.insert(r.bgra.end(), bitmap.address(0, y), bitmap.address(0, y) + bitmap.width * 4);
        return r;
    }

    u32 pixel(const Result& r, int x, int y)
    {
        return loadLE32(&r.bgra[(size_t(y) * r.header.width + x) * 4]);
    }

    // A 32034-byte low-resolution DEGAS file: the resolution word, 16 colour words, the screen.
    Bytes degas(u16 word, const std::vector<u16>& colours = {})
    {
        Bytes file(32034, 0);
        storeBE16(file.data(), word);
        for (size_t i = 0; i < colours.size(); ++i)
            storeBE16(file.data() + 2 + i * 2, colours[i]);
        return file;
    }
} // namespace

TEST(Atari, FixturesMatchTheirReferences)
{
    const char* const fixtures[] = {
        "atari_low.pi1",        // ppmtopi1, read by pi1toppm
        "atari_med.pi2",        // medium resolution, 4 colours
        "atari_mono.pi3",       // pbmtopi3: the mono monitor's grey and black whatever the palette
        "atari_low.pc1",        // packed per row, read by pc1toppm
        "atari_med.pc2",
        "atari_mono.pc3",       // packed high resolution uses its palette
        "atari_low.neo",        // read by neotoppm
        "atari_spectrum.spu",   // ppmtospu, read by sputoppm: 48 colours a line
        "atari_spectrum.spc",   // the same picture packed, read by spctoppm
        "atari_low.ca1",        // CrackArt, packed in columns with every code
        "atari_med.ca2",
        "atari_mono.ca3",
        "atari_low_raw.ca1",    // CrackArt, not packed
        "atari_med_raw.ca2",
        "atari_mono_raw.ca3",
    };
    for (const char* name : fixtures)
    {
        SCOPED_TRACE(name);
        const Bytes file = imagekit::readFixture(name);
        ASSERT_FALSE(file.empty());
        const norva::Bitmap bitmap(ConstMemory(file.data(), file.size()), extensionOf(name), Format::RGBA8888);
        ASSERT_TRUE(bitmap.status().success) << bitmap.status().info;
        const imagekit::Image expected = imagekit::decodeStb(imagekit::readFixture(std::string(name) + ".ref.png"));
        ASSERT_FALSE(expected.empty());
        EXPECT_TRUE(imagekit::sameImage(imagekit::fromSurface(bitmap), expected));
    }
}

TEST(Atari, HeadersAreCheckedBeforeAnythingIsRead)
{
    const Bytes neo = imagekit::readFixture("atari_low.neo");
    const Bytes spu = imagekit::readFixture("atari_spectrum.spu");
    const Bytes spc = imagekit::readFixture("atari_spectrum.spc");
    const Bytes ca = imagekit::readFixture("atari_low_raw.ca1");
    ASSERT_FALSE(neo.empty() || spu.empty() || spc.empty() || ca.empty());

    auto resized = [](Bytes b, size_t size) {
        b.resize(size, 0);
        return b;
    };
    auto patched = [](Bytes b, size_t offset, std::vector<u8> bytes) {
        std::copy(bytes.begin(), bytes.end(), b.begin() + offset);
        return b;
    };

    struct Row
    {
        const char* what;
        Bytes file;
        const char* extension;
        const char* message; // null: accepted
    };
    const Row rows[] = {
        { "DEGAS low resolution", degas(0x0000), ".pi1", nullptr },
        { "DEGAS resolution code 3", degas(0x0003), ".pi1", "[ImageDecoder.ATARI] unsupported resolution." },
        { "DEGAS one byte short", resized(degas(0x0000), 32033), ".pi1", "[ImageDecoder.ATARI] Out of data." },
        { "packed DEGAS without its palette", resized(degas(0x8000), 20), ".pc1", "[ImageDecoder.ATARI] Out of data." },
        { "NEOchrome one byte short", resized(neo, 32127), ".neo", "[ImageDecoder.ATARI] Incorrect number of bytes." },
        { "NEOchrome one byte long", resized(neo, 32129), ".neo", "[ImageDecoder.ATARI] Incorrect number of bytes." },
        { "NEOchrome flags 1", patched(neo, 0, { 0, 1 }), ".neo", "[ImageDecoder.ATARI] Incorrect flags." },
        { "NEOchrome resolution 3", patched(neo, 2, { 0, 3 }), ".neo", "[ImageDecoder.ATARI] Unsupported resolution." },
        { "Spectrum 512 of 51103 bytes", resized(spu, 51103), ".spu", "[ImageDecoder.ATARI] Incorrect number of bytes." },
        { "Spectrum 512 of 11 bytes", resized(spu, 11), ".spu", "[ImageDecoder.ATARI] Incorrect header size." },
        { "packed Spectrum 512 padded by 78 bytes", resized(spc, spc.size() + 78), ".spc", nullptr },
        { "packed Spectrum 512 padded by 77 bytes", resized(spc, spc.size() + 77), ".spc", "[ImageDecoder.ATARI] Incorrect number of bytes." },
        { "packed Spectrum 512 one byte short", resized(spc, spc.size() - 1), ".spc", "[ImageDecoder.ATARI] Incorrect number of bytes." },
        { "CrackArt starting CB", patched(ca, 0, { 'C', 'B' }), ".ca1", "[ImageDecoder.ATARI] Incorrect header." },
        { "CrackArt resolution 3", patched(ca, 3, { 3 }), ".ca1", "[ImageDecoder.ATARI] Unsupported resolution." },
        { "CrackArt of 32019 bytes", resized(ca, 32019), ".ca1", "[ImageDecoder.ATARI] Out of data." },
        // 16 colour words and the screen need 32036 bytes: one short must not pass
        { "CrackArt one byte short of its screen", resized(ca, 32035), ".ca1", "[ImageDecoder.ATARI] Out of data." },
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.what);
        const Result r = decode(row.file, row.extension);
        if (row.message)
        {
            EXPECT_FALSE(r.header.success);
            EXPECT_EQ(r.header.info, row.message);
            // decode reports the header's error
            ImageDecoder decoder(ConstMemory(row.file.data(), row.file.size()), row.extension);
            Bitmap bitmap(8, 8, Format::BGRA8888);
            const ImageDecodeStatus status = decoder.decode(bitmap);
            EXPECT_FALSE(status.success);
            EXPECT_EQ(status.info, row.message);
        }
        else
        {
            EXPECT_TRUE(r.header.success) << r.header.info;
            EXPECT_TRUE(r.status.success) << r.status.info;
        }
    }
}

TEST(Atari, ColourWordsMapToTheSTLevels)
{
    // pixel 0 of the first group: index 0..3 through plane bits; the rest index 0
    Bytes file = degas(0x0000, { 0x0FFF, 0x0000, 0x0777, 0x0800 });
    const u32 expected[4] = { 0xFFFFFFFF, 0xFF000000, 0xFFEEEEEE, 0xFF110000 };
    for (int index = 0; index < 4; ++index)
    {
        // index bits go to the first pixel's bit (15) of the plane words
        for (int p = 0; p < 4; ++p)
            storeBE16(file.data() + 34 + p * 2, (index >> p) & 1 ? 0x8000 : 0);
        const Result r = decode(file, ".pi1");
        ASSERT_TRUE(r.status.success) << r.status.info;
        EXPECT_EQ(pixel(r, 0, 0), expected[index]) << "index " << index;
        EXPECT_EQ(pixel(r, 1, 0), 0xFFFFFFFFu) << "pixel 1 keeps index 0";
    }

    // high resolution shows the mono monitor's light grey and black, whatever the palette;
    // packed high resolution uses the palette
    Bytes mono = degas(0x0002, { 0x0700, 0x0070 });
    storeBE16(mono.data() + 34, 0x8000);
    const Result hi = decode(mono, ".pi3");
    ASSERT_TRUE(hi.status.success);
    EXPECT_EQ(hi.header.width, 640);
    EXPECT_EQ(hi.header.height, 400);
    EXPECT_EQ(pixel(hi, 0, 0), 0xFF000000u);
    EXPECT_EQ(pixel(hi, 1, 0), 0xFFEEEEEEu);
}

TEST(Atari, SpectrumPaletteSwitchesAlongTheLine)
{
    // every pixel of every line has index c; line 1's palette gives each of its 48 entries
    // its own colour, so the entry a pixel shows is readable from its colour
    for (int c : { 0, 1, 2, 15 })
    {
        Bytes file(51104, 0);
        for (int g = 0; g < 20 * 200; ++g)
            for (int p = 0; p < 4; ++p)
                storeBE16(file.data() + (g * 4 + p) * 2, (c >> p) & 1 ? 0xFFFF : 0);
        for (int e = 0; e < 48; ++e)
            storeBE16(file.data() + 32000 + e * 2, u16(e < 16 ? e : e < 32 ? (e - 16) << 4 : (e - 32) << 8));
        const Result r = decode(file, ".spu");
        ASSERT_TRUE(r.status.success) << r.status.info;

        auto entryAt = [&](int x) {
            const u32 colour = pixel(r, x, 1);
            // decode the entry back from which channel carries the level
            const u32 b = colour & 0xFF, g = (colour >> 8) & 0xFF, red = (colour >> 16) & 0xFF;
            auto nibble = [](u32 v) {
                const u32 l = v / 17;             // ((n & 7) << 1) | (n >> 3)
                return ((l >> 1) & 7) | ((l & 1) << 3);
            };
            if (red)
                return 32 + int(nibble(red));
            if (g)
                return 16 + int(nibble(g));
            return int(nibble(b));
        };
        const int x1 = (c & 1) ? 10 * c - 5 : 10 * c + 1;
        for (int x : { 0, x1 - 1, x1, x1 + 159, x1 + 160, 319 })
        {
            if (x < 0 || x > 319)
                continue;
            const int expected = x < x1 ? c : x < x1 + 160 ? c + 16 : c + 32;
            if (expected == 0 || expected == 16 || expected == 32)
                continue; // entries 0, 16 and 32 are all black here: nothing to tell apart
            EXPECT_EQ(entryAt(x), expected) << "index " << c << " at x = " << x;
        }
        // the first line carries no palette: all four bytes of every pixel are zero
        for (int x = 0; x < 320; ++x)
            ASSERT_EQ(pixel(r, x, 0), 0u) << x;
    }
}

TEST(Atari, SpectrumIndexOneSwitchesAtFiveAndAtOneSixtyFive)
{
    Bytes file(51104, 0);
    for (int g = 0; g < 20 * 200; ++g)
        storeBE16(file.data() + g * 8, 0xFFFF); // plane 0 set: index 1 everywhere
    storeBE16(file.data() + 32000 + 1 * 2, 0x0007);  // entry 1: blue
    storeBE16(file.data() + 32000 + 17 * 2, 0x0070); // entry 17: green
    storeBE16(file.data() + 32000 + 33 * 2, 0x0700); // entry 33: red
    const Result r = decode(file, ".spu");
    ASSERT_TRUE(r.status.success);
    EXPECT_EQ(pixel(r, 4, 1), 0xFF0000EEu);
    EXPECT_EQ(pixel(r, 5, 1), 0xFF00EE00u);
    EXPECT_EQ(pixel(r, 164, 1), 0xFF00EE00u);
    EXPECT_EQ(pixel(r, 165, 1), 0xFFEE0000u);
}

TEST(Atari, TruncatedPackedStreamsAreErrors)
{
    const Bytes spc = imagekit::readFixture("atari_spectrum.spc");
    ASSERT_GT(spc.size(), 12u);
    const u32 bitmapLength = loadBE32(spc.data() + 4);
    const u32 paletteLength = loadBE32(spc.data() + 8);

    // a bitmap stream that ends before the screen is complete: lengths consistent, data short
    {
        Bytes cut(spc.begin(), spc.begin() + 12 + bitmapLength / 2);
        cut.insert(cut.end(), spc.begin() + 12 + bitmapLength, spc.end());
        storeBE32(cut.data() + 4, bitmapLength / 2);
        const Result r = decode(cut, ".spc");
        ASSERT_TRUE(r.header.success) << r.header.info;
        EXPECT_FALSE(r.status.success);
        EXPECT_EQ(r.status.info, "[ImageDecoder.ATARI] Out of data.");
    }
    // palettes that end before line 199
    {
        Bytes cut(spc.begin(), spc.end() - paletteLength / 2);
        storeBE32(cut.data() + 8, paletteLength - paletteLength / 2);
        const Result r = decode(cut, ".spc");
        ASSERT_TRUE(r.header.success) << r.header.info;
        EXPECT_FALSE(r.status.success);
        EXPECT_EQ(r.status.info, "[ImageDecoder.ATARI] Out of data.");
    }
}

TEST(Atari, DecodesDirectlyOrThroughATemporary)
{
    const Bytes file = imagekit::readFixture("atari_low.pi1");
    ASSERT_FALSE(file.empty());
    ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".pi1");

    // a larger BGRA surface: written directly, only its top-left 320 x 200
    Bitmap large(400, 240, Format::BGRA8888);
    std::memset(large.address(0, 0), 0x5A, size_t(large.stride) * large.height);
    const ImageDecodeStatus direct = decoder.decode(large);
    EXPECT_TRUE(direct.success);
    EXPECT_TRUE(direct.direct);
    EXPECT_EQ(large.address(320, 0)[0], 0x5A);
    EXPECT_EQ(large.address(0, 200)[0], 0x5A);
    EXPECT_EQ(large.address(319, 199)[3], 0xFF);

    Bitmap rgba(320, 200, Format::RGBA8888);
    const ImageDecodeStatus converted = decoder.decode(rgba);
    EXPECT_TRUE(converted.success);
    EXPECT_FALSE(converted.direct);
    EXPECT_EQ(rgba.address(5, 7)[0], large.address(5, 7)[2]);
    EXPECT_EQ(rgba.address(5, 7)[2], large.address(5, 7)[0]);
}
