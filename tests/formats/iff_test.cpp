// IFF ILBM and PBM: ppmtoilbm's files against ilbmtoppm's decodes, and make_iff.py's
// extra half-brite, PBM, HAM-with-mask and long colour map files against the pixels that
// generator meant. An odd width is the picture's own (13 pixels decode 13 wide); rows
// keep their padded length in the file.

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include <norva/core/endian.hpp>
#include <norva/image/decoder.hpp>

#include "imagekit/imagekit.hpp"

using namespace norva;
using imagekit::Bytes;
using imagekit::Image;

namespace
{
    ConstMemory memoryOf(const Bytes& bytes)
    {
        return ConstMemory(bytes.data(), bytes.size());
    }

    struct Row
    {
        const char* file;
        const char* reference;
        imagekit::Compare compare;
        const char* why;
    };

    const Row rows[] = {
        { "iff_pal16.iff", "iff_pal16.ref.ppm", {}, "4 planes, ByteRun1" },
        { "iff_pal16_plain.iff", "iff_pal16_plain.ref.ppm", {}, "4 planes, uncompressed" },
        { "iff_pal200.iff", "iff_pal200.ref.ppm", {}, "8 planes" },
        { "iff_mask1.iff", "iff_mask1.ref.ppm", {}, "masking 1: a mask plane behind each row" },
        { "iff_mask2.iff", "iff_mask2.ref.ppm", {}, "masking 2: a colour key, no extra plane" },
        { "iff_deep24.ilbm", "iff_deep24.ref.ppm", {}, "24 planes: red, green, blue (equals the source)" },
        // ilbmtoppm scales the 5:6:5 fields to maxval 63; the blitter widens 5 and 6 bits
        // to 8 by its own rounding
        { "iff_dc565.ilbm", "iff_dc565.ref.ppm", { .tolerance = 4 }, "16 planes, direct colour 5:6:5" },
        // HAM modifies set a channel to index << (10 - planes) where ilbmtoppm keeps the low
        // bits of the previous value: up to 15 (HAM6) or 3 (HAM8) apart
        { "iff_ham6.ham", "iff_ham6.ref.ppm", { .tolerance = 15 }, "HAM6" },
        { "iff_ham8.ham8", "iff_ham8.ref.ppm", { .tolerance = 3 }, "HAM8" },
        { "iff_gen_ehb.iff", "iff_gen_ehb.ref.pam", {}, "extra half-brite, 6 planes (ilbmtoppm agrees)" },
        { "iff_gen_pbm.lbm", "iff_gen_pbm.ref.pam", {}, "PBM, ByteRun1 (ilbmtoppm agrees)" },
        { "iff_gen_pbm_plain.lbm", "iff_gen_pbm_plain.ref.pam", {}, "PBM, plain, odd width with padded rows" },
        { "iff_gen_ham6_mask.ham", "iff_gen_ham6_mask.ref.pam", {}, "HAM6 with a mask plane: rows start at palette entry 0" },
        { "iff_gen_cmap300.iff", "iff_gen_cmap300.ref.pam", {}, "a CMAP of 300 entries, capped at 256 (ilbmtoppm agrees)" },
    };

    Bytes be32(u32 v)
    {
        Bytes b(4);
        storeBE32(b.data(), v);
        return b;
    }

    Bytes chunk(const char* id, const Bytes& data)
    {
        Bytes b(id, id + 4);
        const Bytes size = be32(u32(data.size()));
        b.insert(b.end(), size.begin(), size.end());
        b.insert(b.end(), data.begin(), data.end());
        if (data.size() & 1)
            b.push_back(0);
        return b;
    }

    Bytes bmhd(int width, int height, int planes, int masking, int compression)
    {
        return chunk("BMHD", { u8(width >> 8), u8(width), u8(height >> 8), u8(height), 0, 0, 0, 0, u8(planes),
                               u8(masking), u8(compression), 0, 0, 0, 1, 1, 0, 0, 0, 0 });
    }

    Bytes form(const char* type, const std::vector<Bytes>& chunks)
    {
        Bytes body(type, type + 4);
        for (const Bytes& c : chunks)
            body.insert(body.end(), c.begin(), c.end());
        Bytes b = { 'F', 'O', 'R', 'M' };
        const Bytes size = be32(u32(body.size()));
        b.insert(b.end(), size.begin(), size.end());
        b.insert(b.end(), body.begin(), body.end());
        return b;
    }

} // namespace

TEST(IFF, FixturesMatchTheirReferences)
{
    for (const Row& row : rows)
    {
        const std::string name = row.file;
        const imagekit::Decoded ours = imagekit::decodeNative(imagekit::readFixture(name), name.substr(name.rfind('.')));
        ASSERT_TRUE(ours.status.success) << name << ": " << ours.status.info;
        const Image reference = imagekit::readPAM(imagekit::readFixture(row.reference));
        ASSERT_FALSE(reference.empty()) << row.reference;
        EXPECT_EQ(ours.header.width, reference.width) << name << ": the stored width, odd ones too";
        EXPECT_EQ(ours.header.height, reference.height);
        EXPECT_TRUE(imagekit::sameImage(imagekit::narrow(ours.image), reference, row.compare))
            << name << " (" << row.why << ")";
    }
}

TEST(IFF, HeaderFormats)
{
    const struct
    {
        const char* file;
        bool palette;
        Format format;
    } table[] = {
        { "iff_pal16.iff", true, Format::BGRA8888 },
        { "iff_ham6.ham", false, Format::BGRA8888 },
        { "iff_dc565.ilbm", false, Format::RGB565 },
        { "iff_deep24.ilbm", false, Format::RGB888 },
        { "iff_gen_pbm.lbm", true, Format::BGRA8888 },
    };
    for (const auto& row : table)
    {
        const Bytes file = imagekit::readFixture(row.file);
        ImageDecoder decoder(memoryOf(file), ".iff");
        const ImageHeader header = decoder.header();
        ASSERT_TRUE(header.success) << row.file;
        EXPECT_EQ(header.palette, row.palette) << row.file;
        EXPECT_TRUE(header.format == row.format) << row.file;
    }
}

TEST(IFF, PaletteRequestWritesIndicesAtTheDestinationStride)
{
    const Bytes file = imagekit::readFixture("iff_gen_ehb.iff");
    const Image colours = imagekit::decodeNative(file, ".iff").image;

    // larger (rows 40 bytes apart) and smaller (clipped) than the 13 x 7 picture
    for (const auto& size : { std::pair{ 40, 9 }, std::pair{ 13, 7 }, std::pair{ 5, 3 } })
    {
        ImageDecoder decoder(memoryOf(file), ".iff");
        Bitmap indices(size.first, size.second, Format::INDEX8);
        std::memset(indices.image, 0xEE, size_t(indices.stride) * indices.height);
        Palette palette;
        ImageDecodeOptions options;
        options.palette = &palette;
        ASSERT_TRUE(decoder.decode(indices, options).success);

        // extra half-brite: 64 colours, entry 33 is entry 1 at half level
        EXPECT_EQ(palette.size, 64u);
        EXPECT_EQ(palette.color[33], 0xFF000000 | ((palette.color[1] >> 1) & 0x7F7F7F));
        for (int y = 0; y < std::min(7, size.second); ++y)
            for (int x = 0; x < std::min(13, size.first); ++x)
            {
                const u32 c = palette.color[indices.address(x, y)[0]];
                EXPECT_EQ(colours.at(x, y, 0), (c >> 16) & 255) << x << ", " << y;
                EXPECT_EQ(colours.at(x, y, 1), (c >> 8) & 255);
                EXPECT_EQ(colours.at(x, y, 2), c & 255);
            }
        if (size.first > 13)
        {
            EXPECT_EQ(indices.address(13, 0)[0], 0xEE) << "nothing past the picture's width";
        }
        if (size.second > 7)
        {
            EXPECT_EQ(indices.address(0, 7)[0], 0xEE) << "nothing below the picture";
        }
    }
}

TEST(IFF, GeneratedEdgeCases)
{
    const Bytes cmap = chunk("CMAP", [] {
        Bytes b;
        for (int i = 0; i < 256; ++i)
            b.insert(b.end(), { u8(i), u8(i), u8(i) });
        return b;
    }());

    // ByteRun1: 0xFE 0x55 writes three bytes of 0x55; 128 ends the expansion
    {
        const Bytes file = form("PBM ", { bmhd(6, 1, 8, 0, 1), cmap, chunk("BODY", { 0xFE, 0x55, 0x80, 0x01, 0xAA, 0xBB }) });
        ImageDecoder decoder(memoryOf(file), ".lbm");
        Bitmap indices(6, 1, Format::INDEX8);
        Palette palette;
        ImageDecodeOptions options;
        options.palette = &palette;
        ASSERT_TRUE(decoder.decode(indices, options).success);
        EXPECT_EQ(Bytes(indices.image, indices.image + 6), (Bytes{ 0x55, 0x55, 0x55, 0, 0, 0 }));
    }

    // an odd width is the stored one; ILBM rows stay 16 pixels, PBM rows an even count
    {
        const Bytes file = form("ILBM", { bmhd(5, 2, 1, 0, 0), cmap, chunk("BODY", { 0xA8, 0xFF, 0x50, 0xFF }) });
        ImageDecoder decoder(memoryOf(file), ".iff");
        EXPECT_EQ(decoder.header().width, 5);
        EXPECT_EQ(decoder.header().height, 2);
        Bitmap bitmap(5, 2, Format::L8);
        ASSERT_TRUE(decoder.decode(bitmap).success);
        EXPECT_EQ(Bytes(bitmap.address(0, 0), bitmap.address(0, 0) + 5), (Bytes{ 1, 0, 1, 0, 1 }));
        EXPECT_EQ(Bytes(bitmap.address(0, 1), bitmap.address(0, 1) + 5), (Bytes{ 0, 1, 0, 1, 0 }));

        const Bytes pbm = form("PBM ", { bmhd(3, 2, 8, 0, 0), cmap, chunk("BODY", { 1, 2, 3, 0, 4, 5, 6, 0 }) });
        ImageDecoder chunky(memoryOf(pbm), ".lbm");
        EXPECT_EQ(chunky.header().width, 3);
        Bitmap grey(3, 2, Format::L8);
        ASSERT_TRUE(chunky.decode(grey).success);
        EXPECT_EQ(Bytes(grey.address(0, 1), grey.address(0, 1) + 3), (Bytes{ 4, 5, 6 }));
    }

    // a body shorter than the picture: the rest is index 0
    {
        const Bytes file = form("ILBM", { bmhd(16, 2, 1, 0, 0), cmap, chunk("BODY", { 0xF0 }) });
        ImageDecoder decoder(memoryOf(file), ".iff");
        Bitmap bitmap(16, 2, Format::L8);
        ASSERT_TRUE(decoder.decode(bitmap).success);
        EXPECT_EQ(bitmap.address(0, 0)[0], 1);
        EXPECT_EQ(bitmap.address(4, 0)[0], 0);
        EXPECT_EQ(bitmap.address(3, 1)[0], 0);
    }

    // refusals
    const struct
    {
        Bytes file;
        const char* message;
    } bad[] = {
        { form("ACBM", { bmhd(4, 4, 4, 0, 0) }), "[ImageDecoder.IFF] Incorrect signature." },
        { Bytes{ 'F', 'O', 'R', 'M', 0, 0 }, "[ImageDecoder.IFF] Incorrect signature." },
        { form("ILBM", { cmap }), "[ImageDecoder.IFF] Missing BMHD chunk." },
        { form("ILBM", { bmhd(4, 4, 0, 0, 0) }), "[ImageDecoder.IFF] Unsupported number of planes (0)." },
        { form("ILBM", { bmhd(4, 4, 33, 0, 0) }), "[ImageDecoder.IFF] Unsupported number of planes (33)." },
        { form("ILBM", { bmhd(4, 4, 2, 0, 0), chunk("CAMG", { 0, 0, 8, 0 }) }), "[ImageDecoder.IFF] Unsupported number of planes (2)." },
        { form("ILBM", { bmhd(4, 4, 4, 0, 0), cmap }), "[ImageDecoder.IFF] Missing BODY chunk." },
        // Atari's vertical runs are not ByteRun1: refused, not decoded into noise
        { form("ILBM", { bmhd(4, 4, 4, 0, 2), cmap, chunk("BODY", Bytes(32, 0x11)) }), "[ImageDecoder.IFF] Unsupported compression (2)." },
    };
    for (const auto& row : bad)
    {
        ImageDecoder decoder(memoryOf(row.file), ".iff");
        Bitmap bitmap(4, 4, Format::RGBA8888);
        const ImageDecodeStatus status = decoder.decode(bitmap);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, row.message);
    }
}

TEST(IFF, RobustnessSweep)
{
    const std::vector<std::string> names = imagekit::listFixtures({ "iff_" });
    ASSERT_EQ(names.size(), std::size(rows));
    for (const std::string& name : names)
    {
        const Bytes file = imagekit::readFixture(name);
        const imagekit::SweepStats stats =
            imagekit::robustnessSweep(file, name.substr(name.rfind('.')), 96, 400, u32(file.size()));
        EXPECT_GT(stats.runs, 100) << name;
        EXPECT_GT(stats.failures, 0) << name;
    }
}
