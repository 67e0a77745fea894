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

#include <norva/core/endian.hpp>
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

    // Text with binary bytes after it: text("P5\n1 1\n255\n", { 7 }).
    Bytes text(const std::string& head, std::initializer_list<int> body = {})
    {
        Bytes b(head.begin(), head.end());
        append(b, body);
        return b;
    }

    void be16(Bytes& b, u32 v)
    {
        b.resize(b.size() + 2);
        storeBE16(b.data() + b.size() - 2, u16(v));
    }

    void be32(Bytes& b, u32 v)
    {
        b.resize(b.size() + 4);
        storeBE32(b.data() + b.size() - 4, v);
    }

    struct SGI
    {
        int magic = 474, storage = 0, bpc = 1, x = 1, y = 1, z = 1;
        u32 colormap = 0;

        Bytes with(std::initializer_list<int> body) const
        {
            Bytes b;
            be16(b, u32(magic));
            append(b, { storage, bpc });
            be16(b, 3);
            be16(b, u32(x));
            be16(b, u32(y));
            be16(b, u32(z));
            b.resize(104, 0);
            be32(b, colormap);
            b.resize(512, 0);
            append(b, body);
            return b;
        }

        // one RLE row for each of y * z rows, the tables pointing behind themselves
        Bytes rle(const std::vector<Bytes>& rows) const
        {
            Bytes b = with({});
            u32 at = u32(512 + rows.size() * 8);
            for (const Bytes& row : rows)
            {
                be32(b, at);
                at += u32(row.size());
            }
            for (const Bytes& row : rows)
                be32(b, u32(row.size()));
            for (const Bytes& row : rows)
                b.insert(b.end(), row.begin(), row.end());
            return b;
        }
    };

    struct PCX
    {
        int manufacturer = 10, bits = 8, xmin = 0, ymin = 0, xmax = 0, ymax = 0, planes = 1, bytesPerLine = 1;
        std::vector<int> ega = std::vector<int>(48, 0);

        Bytes with(std::initializer_list<int> body) const
        {
            Bytes b;
            append(b, { manufacturer, 5, 1, bits });
            for (int v : { xmin, ymin, xmax, ymax, 72, 72 })
                le16(b, u32(v));
            for (int v : ega)
                b.push_back(u8(v));
            append(b, { 0, planes });
            le16(b, u32(bytesPerLine));
            b.resize(128, 0);
            append(b, body);
            return b;
        }
    };

    // A Radiance file: the header lines, then scan lines given as their bytes.
    Bytes radiance(const std::string& head, std::initializer_list<int> lines = {})
    {
        return text("#?RADIANCE\n" + head, lines);
    }

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
        STB_FLOAT,  // stbi_loadf in this binary, float for float
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
        { "tga right-to-left", ".tga", Reference::PIXELS, {},
          [] { TGA t; t.width = 3; t.height = 2; t.descriptor = 0x10; return t.with({ 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6, 6 }); },
          [] { return pixels(3, 2, { 6, 6, 6, 255, 5, 5, 5, 255, 4, 4, 4, 255, 3, 3, 3, 255, 2, 2, 2, 255, 1, 1, 1, 255 }); }, "",
          "descriptor 0x10: the first stored pixel of a row is its right end (here bottom-up too)" },
        { "tga right-to-left rle", ".tga", Reference::PIXELS, {},
          [] { TGA t; t.dataType = 11; t.bits = 8; t.width = 3; t.height = 1; t.descriptor = 0x30; return t.with({ 0x81, 9, 0x00, 7 }); },
          [] { return pixels(3, 1, { 7, 7, 7, 255, 9, 9, 9, 255, 9, 9, 9, 255 }); }, "", "top-right origin, run-length" },
        { "tga right-to-left colour-mapped", ".tga", Reference::PIXELS, {},
          [] { TGA t; t.mapType = 1; t.dataType = 1; t.mapLength = 2; t.entryBits = 24; t.bits = 8; t.width = 2; t.descriptor = 0x30;
               return t.with({ 10, 20, 30, 40, 50, 60, 0, 1 }); },
          [] { return pixels(2, 1, { 60, 50, 40, 255, 30, 20, 10, 255 }); }, "", "" },
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

        // --- PNM, PAM, PFM: fixtures (references: netpbm's reading) -------------------------
        { "pnm_p1.pbm", ".pbm", Reference::PAM, {}, {}, {}, "", "ASCII bitmap, samples without separators" },
        { "pnm_p2.pgm", ".pgm", Reference::PAM, {}, {}, {}, "", "ASCII grey" },
        { "pnm_p3.ppm", ".ppm", Reference::PAM, {}, {}, {}, "", "ASCII colour" },
        { "pnm_p2_15.pgm", ".pgm", Reference::PAM, {}, {}, {}, "", "ASCII maxval 15: scaled" },
        { "pnm_p4.pbm", ".pbm", Reference::PAM, {}, {}, {}, "", "binary bitmap, odd width" },
        { "pnm_p5.pgm", ".pgm", Reference::PAM, {}, {}, {}, "", "binary grey" },
        { "pnm_p6.ppm", ".ppm", Reference::PAM, {}, {}, {}, "", "binary colour" },
        { "pnm_p5_16.pgm", ".pgm", Reference::PAM, {}, {}, {}, "", "maxval 65535: scaled to nearest" },
        { "pnm_p6_16.ppm", ".ppm", Reference::PAM, {}, {}, {}, "", "16-bit colour" },
        { "pnm_p5_15.pgm", ".pgm", Reference::PIXELS, {}, {}, [] { return imagekit::readPAM(imagekit::readFixture("pnm_p2_15.ref.pam")); }, "",
          "binary maxval 15: scaled as the ASCII samples (netpbm's reading of the same samples)" },
        { "pnm_pam_grey.pam", ".pam", Reference::PAM, {}, {}, {}, "", "GRAYSCALE" },
        { "pnm_pam_rgb.pam", ".pam", Reference::PAM, {}, {}, {}, "", "RGB" },
        { "pnm_pam_rgba.pam", ".pam", Reference::PAM, {}, {}, {}, "", "RGB_ALPHA" },
        { "pnm_pam_la.pam", ".pam", Reference::PAM, {}, {}, {}, "", "GRAYSCALE_ALPHA" },
        { "pnm_pam_bw.pam", ".pam", Reference::PIXELS, {}, {}, [] { return imagekit::readPAM(imagekit::readFixture("pnm_p4.ref.pam")); }, "",
          "BLACKANDWHITE: binary, maxval 1, scaled (netpbm's reading of the PBM it came from)" },
        { "pnm_pam_notuple.pam", ".pam", Reference::PIXELS, {}, {},
          [] { return imagekit::readPAM(imagekit::readFixture("pnm_pam_la.ref.pam")); }, "",
          "no TUPLTYPE line: DEPTH picks the layout (the same file with the line, read by netpbm)" },
        { "pnm_pfm_le.pfm", ".pfm", Reference::PAM, {}, {}, {}, "", "PF, scale -1.000000: little-endian" },
        { "pnm_pfm_be_grey.pfm", ".pfm", Reference::PAM, {}, {}, {}, "", "Pf, big-endian" },
        { "pnm_pfm_im.pfm", ".pfm", Reference::PAM, {}, {}, {}, "", "ImageMagick, scale 1.0" },

        // --- PNM: built cases ----------------------------------------------------------------
        { "pnm p1 1 0", ".pbm", Reference::PIXELS, {}, [] { return text("P1\n2 1\n1 0\n"); },
          [] { return pixels(2, 1, { 0, 0, 0, 255, 255, 255, 255, 255 }); }, "", "1 is black" },
        { "pnm p1 without separators", ".pbm", Reference::PIXELS, {}, [] { return text("P1\n4 1\n1010"); },
          [] { return pixels(4, 1, { 0, 0, 0, 255, 255, 255, 255, 255, 0, 0, 0, 255, 255, 255, 255, 255 }); }, "", "" },
        { "pnm p4 0x80", ".pbm", Reference::PIXELS, {}, [] { return text("P4\n1 1\n", { 0x80 }); },
          [] { return pixels(1, 1, { 0, 0, 0, 255 }); }, "", "" },
        { "pnm p2 maxval 15", ".pgm", Reference::PIXELS, {}, [] { return text("P2\n1 1\n15\n15\n"); },
          [] { return pixels(1, 1, { 255, 255, 255, 255 }); }, "", "" },
        { "pnm p5 maxval 15", ".pgm", Reference::PIXELS, {}, [] { return text("P5\n2 1\n15\n", { 15, 7 }); },
          [] { return pixels(2, 1, { 255, 255, 255, 255, 119, 119, 119, 255 }); }, "", "binary samples below 255 are scaled" },
        { "pnm pam black and white alpha", ".pam", Reference::PIXELS, {},
          [] { return text("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 2\nMAXVAL 1\nTUPLTYPE BLACKANDWHITE_ALPHA\nENDHDR\n", { 1, 1, 0, 0 }); },
          [] { return pixels(2, 1, { 255, 255, 255, 255, 0, 0, 0, 0 }); }, "", "maxval 1: white opaque, black transparent" },
        { "pnm p6 maxval 1000", ".ppm", Reference::PIXELS, {},
          [] { return text("P6\n2 1\n1000\n", { 0x03, 0xE8, 0x01, 0xF4, 0x00, 0x01, 0x00, 0x02, 0x01, 0xF3, 0x03, 0xE7 }); },
          [] { return pixels(2, 1, { 255, 128, 0, 255, 1, 127, 255, 255 }); }, "",
          "16-bit samples 1000, 500, 1, 2, 499 and 999 to nearest (netpbm's pamdepth 255)" },
        { "pnm p5 maxval 100", ".pgm", Reference::PIXELS, {}, [] { return text("P5\n4 1\n100\n", { 1, 50, 99, 100 }); },
          [] { return pixels(4, 1, { 3, 3, 3, 255, 128, 128, 128, 255, 252, 252, 252, 255, 255, 255, 255, 255 }); }, "",
          "to nearest, not rounded down (netpbm's pamdepth 255)" },
        { "pnm p2 maxval 254", ".pgm", Reference::PIXELS, {}, [] { return text("P2\n3 1\n254\n1 127 253\n"); },
          [] { return pixels(3, 1, { 1, 1, 1, 255, 128, 128, 128, 255, 254, 254, 254, 255 }); }, "",
          "ASCII to nearest as well" },
        { "pnm p6 above maxval 1000", ".ppm", Reference::ERROR, {},
          [] { return text("P6\n1 1\n1000\n", { 0x03, 0xE8, 0x01, 0xF4, 0x0F, 0xFF }); }, {},
          "[ImageDecoder.PNM] Sample value 4095 exceeds maxval 1000", "refused, not clamped to white" },
        { "pnm p5 above maxval 100", ".pgm", Reference::ERROR, {}, [] { return text("P5\n2 1\n100\n", { 1, 101 }); },
          {}, "[ImageDecoder.PNM] Sample value 101 exceeds maxval 100", "" },
        { "pnm pam above maxval 1", ".pam", Reference::ERROR, {},
          [] { return text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 1\nTUPLTYPE BLACKANDWHITE\nENDHDR\n", { 97 }); }, {},
          "[ImageDecoder.PNM] Sample value 97 exceeds maxval 1", "zigimg's value_greater_than_maxval.pam" },
        { "pnm p3 above maxval 255", ".ppm", Reference::ERROR, {}, [] { return text("P3\n1 1\n255\n0 256 0\n"); },
          {}, "[ImageDecoder.PNM] Sample value 256 exceeds maxval 255", "" },
        { "pnm p2 negative sample", ".pgm", Reference::ERROR, {}, [] { return text("P2\n2 1\n255\n1 -1\n"); },
          {}, "[ImageDecoder.PNM] Incorrect sample", "" },
        { "pnm p5 maxval 1000", ".pgm", Reference::PIXELS, {}, [] { return text("P5\n1 1\n1000\n", { 0x03, 0xE8 }); },
          [] { return pixels(1, 1, { 255, 255, 255, 255 }); }, "", "" },
        { "pnm comments", ".pgm", Reference::PIXELS, {}, [] { return text("P2\n# made by hand\n2 # width\n1\n255\n10 # first\n20\n"); },
          [] { return pixels(2, 1, { 10, 10, 10, 255, 20, 20, 20, 255 }); }, "", "" },
        { "pnm pam depth 2", ".pam", Reference::PIXELS, {},
          [] { return text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n", { 50, 60 }); },
          [] { return pixels(1, 1, { 50, 50, 50, 60 }); }, "", "" },
        { "pnm pam depth 5", ".pam", Reference::ERROR, {},
          [] { return text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nTUPLTYPE X\nENDHDR\n", { 1, 2, 3, 4, 5 }); },
          {}, "[ImageDecoder.PNM] Incorrect number of channels", "" },
        { "pnm pam any order", ".pam", Reference::PIXELS, {},
          [] { return text("P7\n# a comment\nMAXVAL 255\nHEIGHT 1\n\nTUPLTYPE GRAYSCALE\nDEPTH 1\nWIDTH 2\nENDHDR\n", { 1, 2 }); },
          [] { return pixels(2, 1, { 1, 1, 1, 255, 2, 2, 2, 255 }); }, "", "lines in any order, comments, a blank line" },
        { "pnm pam without width", ".pam", Reference::ERROR, {},
          [] { return text("P7\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR\n", { 1 }); },
          {}, "[ImageDecoder.PNM] Incorrect width", "" },
        { "pnm pam without endhdr", ".pam", Reference::ERROR, {},
          [] { return text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\n"); },
          {}, "Decoding error (out of data).", "" },
        { "pnm pfm scale -0.5", ".pfm", Reference::PIXELS, {}, [] { return text("Pf\n1 1\n-0.5\n", { 0, 0, 0, 0x3F }); },
          [] { return pixels(1, 1, { 128, 128, 128, 255 }); }, "", "a real scale: -0.5 is little-endian" },
        { "pnm pfm bottom-up", ".pfm", Reference::PIXELS, {},
          [] { return text("Pf\n1 2\n-1.0\n", { 0, 0, 0, 0, 0, 0, 0x80, 0x3F }); },
          [] { return pixels(1, 2, { 255, 255, 255, 255, 0, 0, 0, 255 }); }, "", "the first stored row is the bottom" },
        { "pnm width overflow", ".pgm", Reference::ERROR, {}, [] { return text("P5\n4294967297 1\n255\n", { 1 }); },
          {}, "[ImageDecoder.PNM] Incorrect width", "not 1 after wrapping" },
        { "pnm maxval overflow", ".pgm", Reference::ERROR, {}, [] { return text("P5\n1 1\n4294967551\n", { 1 }); },
          {}, "[ImageDecoder.PNM] Incorrect maxvalue", "" },
        { "pnm sample overflow", ".pgm", Reference::ERROR, {}, [] { return text("P2\n1 1\n255\n4294967306\n"); },
          {}, "[ImageDecoder.PNM] Incorrect sample", "" },
        { "pnm maxval 0", ".pgm", Reference::ERROR, {}, [] { return text("P5\n1 1\n0\n", { 0 }); },
          {}, "[ImageDecoder.PNM] Incorrect maxvalue", "" },
        { "pnm maxval 65536", ".pgm", Reference::ERROR, {}, [] { return text("P5\n1 1\n65536\n", { 0, 0 }); },
          {}, "[ImageDecoder.PNM] Incorrect maxvalue", "" },
        { "pnm magic", ".ppm", Reference::ERROR, {}, [] { return text("P8\n1 1\n255\n", { 0 }); },
          {}, "[ImageDecoder.PNM] Incorrect header magic (P8)", "" },
        { "pnm header cut", ".ppm", Reference::ERROR, {}, [] { return text("P6\n13"); },
          {}, "Decoding error (out of data).", "" },
        { "pnm samples cut", ".pgm", Reference::ERROR, {}, [] { return text("P5\n2 2\n255\n", { 1, 2, 3 }); },
          {}, "Decoding error (out of data).", "" },
        { "pnm ascii samples cut", ".ppm", Reference::ERROR, {}, [] { return text("P3\n1 1\n255\n1 2\n"); },
          {}, "Decoding error (out of data).", "" },
        { "pnm huge from a few bytes", ".ppm", Reference::ERROR, {}, [] { return text("P6\n60000 60000\n255\n", { 1, 2, 3 }); },
          {}, "Decoding error (out of data).", "refused before anything is allocated" },

        // --- SGI: fixtures (references: Pillow; zsize 2 from its generator's source) ---------
        { "sgi_raw3.rgb", ".rgb", Reference::PAM, {}, {}, {}, "", "ImageMagick, verbatim RGB" },
        { "sgi_rle3.rgb", ".rgb", Reference::PAM, {}, {}, {}, "", "ImageMagick, RLE RGB" },
        { "sgi_raw4.rgba", ".rgba", Reference::PAM, {}, {}, {}, "", "verbatim RGBA" },
        { "sgi_rle4.rgba", ".rgba", Reference::PAM, {}, {}, {}, "", "RLE RGBA" },
        { "sgi_rle1.bw", ".bw", Reference::PAM, {}, {}, {}, "", "RLE grey" },
        { "sgi_netpbm_raw1.sgi", ".sgi", Reference::PAM, {}, {}, {}, "", "netpbm, verbatim grey" },
        { "sgi_netpbm_rle3.sgi", ".sgi", Reference::PAM, {}, {}, {}, "", "netpbm, RLE RGB" },
        { "sgi_gen_raw2.sgi", ".sgi", Reference::PAM, {}, {}, {}, "", "grey and alpha, verbatim" },
        { "sgi_gen_rle2.sgi", ".sgi", Reference::PAM, {}, {}, {}, "", "grey and alpha, RLE" },
        { "sgi_bpc2.sgi", ".sgi", Reference::ERROR, {}, {}, {}, "[ImageDecoder.SGI] Incorrect channel/colormap.",
          "2 bytes a channel" },

        // --- SGI: built cases ----------------------------------------------------------------
        { "sgi verbatim rows bottom-up", ".sgi", Reference::PIXELS, {},
          [] { SGI s; s.x = 2; s.y = 2; s.z = 3; return s.with({ 1, 2, 3, 4, 0, 0, 0, 0, 9, 9, 9, 9 }); },
          [] { return pixels(2, 2, { 3, 0, 9, 255, 4, 0, 9, 255, 1, 0, 9, 255, 2, 0, 9, 255 }); }, "",
          "the red plane's first file row is the bottom" },
        { "sgi rle row", ".sgi", Reference::PIXELS, {},
          [] { SGI s; s.storage = 1; s.x = 5; return s.rle({ { 0x83, 0x0A, 0x0B, 0x0C, 0x02, 0x0D, 0x00 } }); },
          [] { return pixels(5, 1, { 10, 10, 10, 255, 11, 11, 11, 255, 12, 12, 12, 255, 13, 13, 13, 255, 13, 13, 13, 255 }); },
          "", "" },
        { "sgi rle row past xsize", ".sgi", Reference::PIXELS, {},
          [] { SGI s; s.storage = 1; s.x = 2; s.y = 2; return s.rle({ { 0x85, 1, 2, 3, 4, 5, 0x7F, 6, 0 }, { 0x05, 7, 0 } }); },
          [] { return pixels(2, 2, { 7, 7, 7, 255, 7, 7, 7, 255, 1, 1, 1, 255, 2, 2, 2, 255 }); },
          "", "packets longer than the row stop at its end" },
        { "sgi storage 2", ".sgi", Reference::ERROR, {}, [] { SGI s; s.storage = 2; return s.with({ 0 }); },
          {}, "[ImageDecoder.SGI] Incorrect storage format (2).", "" },
        { "sgi 2 bytes a channel", ".sgi", Reference::ERROR, {}, [] { SGI s; s.bpc = 2; return s.with({ 0, 0 }); },
          {}, "[ImageDecoder.SGI] Incorrect channel/colormap.", "" },
        { "sgi colormap", ".sgi", Reference::ERROR, {}, [] { SGI s; s.colormap = 1; return s.with({ 0 }); },
          {}, "[ImageDecoder.SGI] Incorrect channel/colormap.", "" },
        { "sgi zsize 5", ".sgi", Reference::ERROR, {}, [] { SGI s; s.z = 5; return s.with({ 0, 0, 0, 0, 0 }); },
          {}, "[ImageDecoder.SGI] Incorrect color format.", "" },
        { "sgi magic", ".sgi", Reference::ERROR, {}, [] { SGI s; s.magic = 0x1DB; return s.with({ 0 }); },
          {}, "[ImageDecoder.SGI] Incorrect header magic.", "" },
        { "sgi verbatim cut", ".sgi", Reference::ERROR, {}, [] { SGI s; s.x = 4; s.y = 4; return s.with({ 1, 2, 3 }); },
          {}, "[ImageDecoder.SGI] Not enough data.", "" },
        { "sgi rle tables cut", ".sgi", Reference::ERROR, {}, [] { SGI s; s.storage = 1; s.x = 60000; s.y = 60000; return s.with({ 0, 0, 2 }); },
          {}, "[ImageDecoder.SGI] Not enough data.", "refused before anything is allocated" },
        { "sgi rle row outside the file", ".sgi", Reference::ERROR, {},
          [] {
              SGI s; s.storage = 1; s.x = 2;
              Bytes b = s.rle({ { 0x02, 5, 0 } });
              b[512] = 0x7F;    // its start far behind the end
              return b;
          },
          {}, "[ImageDecoder.SGI] Not enough data.", "" },

        // --- PCX: fixtures (references: netpbm's pcxtoppm) -----------------------------------
        { "pcx_24.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "ImageMagick, 3 planes" },
        { "pcx_32.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "4 planes, against ImageMagick" },
        { "pcx_8.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "VGA palette of 200 colours" },
        { "pcx_8_16.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "netpbm -8bit: VGA palette" },
        { "pcx_ega.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "EGA: 4 planes of 1 bit" },
        { "pcx_planes2.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "2 planes of 1 bit" },
        { "pcx_packed4.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "packed 4 bits" },
        { "pcx_packed2.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "packed 2 bits" },
        { "pcx_mono.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "1 bit, black and white" },
        { "pcx_mono_pal.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "1 bit, two header colours" },
        { "pcx_24_netpbm.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "netpbm -24bit" },
        { "pcx_pil_24.pcx", ".pcx", Reference::PAM, {}, {}, {}, "", "Pillow: lines padded to 14 bytes" },

        // --- PCX: built cases ----------------------------------------------------------------
        { "pcx 100 bytes", ".pcx", Reference::ERROR, {}, [] { Bytes b(100, 0); b[0] = 10; return b; },
          {}, "[ImageDecoder.PCX] Incorrect file size.", "" },
        { "pcx manufacturer", ".pcx", Reference::ERROR, {}, [] { PCX p; p.manufacturer = 9; return p.with({ 0 }); },
          {}, "[ImageDecoder.PCX] Incorrect manufacturer.", "" },
        { "pcx 8 bits without the VGA marker", ".pcx", Reference::PIXELS, {},
          [] { PCX p; p.xmax = 2; p.bytesPerLine = 3; return p.with({ 10, 20, 30 }); },
          [] { return pixels(3, 1, { 10, 10, 10, 255, 20, 20, 20, 255, 30, 30, 30, 255 }); }, "", "grey levels" },
        { "pcx run crosses lines", ".pcx", Reference::PIXELS, {},
          [] { PCX p; p.xmax = 1; p.ymax = 1; p.bytesPerLine = 2; return p.with({ 0xC3, 7, 9 }); },
          [] { return pixels(2, 2, { 7, 7, 7, 255, 7, 7, 7, 255, 7, 7, 7, 255, 9, 9, 9, 255 }); }, "",
          "0xC3 7 writes three 7s" },
        { "pcx ega index 13", ".pcx", Reference::PIXELS, {},
          [] {
              PCX p; p.bits = 1; p.planes = 4;
              p.ega[39] = 1; p.ega[40] = 2; p.ega[41] = 3;
              return p.with({ 0x80, 0x00, 0x80, 0x80 });
          },
          [] { return pixels(1, 1, { 1, 2, 3, 255 }); }, "", "plane bits 1, 0, 1, 1" },
        { "pcx xmin 10 xmax 19", ".pcx", Reference::PIXELS, {},
          [] { PCX p; p.xmin = 10; p.xmax = 19; p.bytesPerLine = 10; return p.with({ 0xCA, 5 }); },
          [] { Image i = imagekit::makeImage(10, 1, 8); for (int x = 0; x < 10; ++x) for (int c = 0; c < 4; ++c) i.at(x, 0, c) = c == 3 ? 255 : 5; return i; },
          "", "10 pixels wide" },
        { "pcx xmax below xmin", ".pcx", Reference::ERROR, {}, [] { PCX p; p.xmin = 5; p.xmax = 4; return p.with({ 0 }); },
          {}, "[ImageDecoder.PCX] Incorrect image size.", "" },
        { "pcx line too short", ".pcx", Reference::ERROR, {}, [] { PCX p; p.xmax = 15; p.bytesPerLine = 8; return p.with({ 0 }); },
          {}, "[ImageDecoder.PCX] Incorrect bytes per line (8 for width 16).", "" },
        { "pcx 8 bits 2 planes", ".pcx", Reference::ERROR, {}, [] { PCX p; p.planes = 2; return p.with({ 0 }); },
          {}, "[ImageDecoder.PCX] Unsupported layout (8 bits, 2 planes).", "nothing to draw: refused, not success" },
        { "pcx 2 bits 4 planes", ".pcx", Reference::ERROR, {}, [] { PCX p; p.bits = 2; p.planes = 4; return p.with({ 0 }); },
          {}, "[ImageDecoder.PCX] Unsupported layout (2 bits, 4 planes).", "" },
        { "pcx runs cut", ".pcx", Reference::ERROR, {}, [] { PCX p; p.xmax = 3; p.bytesPerLine = 4; return p.with({ 1, 2 }); },
          {}, "[ImageDecoder.PCX] Not enough data.", "" },
        { "pcx huge from a few bytes", ".pcx", Reference::ERROR, {},
          [] { PCX p; p.xmax = 65534; p.ymax = 65535; p.bytesPerLine = 65535; p.planes = 4; return p.with({ 0xFF, 0 }); },
          {}, "[ImageDecoder.PCX] Not enough data.", "refused before 17 GB of lines are allocated" },

        // --- Radiance HDR: fixtures (reference: stbi_loadf, bit for bit) ----------------------
        { "hdr_im.hdr", ".hdr", Reference::STB_FLOAT, {}, {}, {}, "", "ImageMagick: GAMMA and PRIMARIES lines" },
        { "hdr_pfs.hdr", ".hdr", Reference::STB_FLOAT, {}, {}, {}, "", "pfstools: a comment line" },
        { "hdr_runs.hdr", ".hdr", Reference::STB_FLOAT, {}, {}, {}, "", "300 wide: runs and literals of every length" },
        { "hdr_flat.hdr", ".hdr", Reference::STB_FLOAT, {}, {}, {}, "", "ImageMagick below width 8: flat scan lines" },

        // --- Radiance HDR: built cases -------------------------------------------------------
        { "hdr 8x2", ".hdr", Reference::PIXELS, {},
          [] {
              return radiance("FORMAT=32-bit_rle_rgbe\nEXPOSURE=2.0\r\n\n-Y 2 +X 8\n",
                              { 2, 2, 0, 8, 0x88, 128, 0x88, 0, 0x88, 0, 0x88, 129,
                                2, 2, 0, 8, 8, 0, 64, 128, 128, 128, 128, 128, 128, 0x88, 0, 0x88, 0, 8, 0, 129, 130, 129, 129, 129, 129, 129 });
          },
          [] {
              Image i = imagekit::makeImage(8, 2, 8);
              for (int x = 0; x < 8; ++x)
              {
                  i.at(x, 0, 0) = 255;
                  i.at(x, 1, 0) = u16(x == 0 ? 0 : x == 1 ? 128 : 255);
                  i.at(x, 0, 3) = i.at(x, 1, 3) = 255;
              }
              return i;
          },
          "", "run-length lines: R 128, E 129 is 1.0; E 0 is black; CR LF lines" },
        { "hdr 3x2 flat", ".hdr", Reference::PIXELS, {},
          [] {
              return radiance("FORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 3\n",
                              { 128, 0, 0, 129, 1, 1, 1, 2, 0, 0, 0, 0, 64, 0, 0, 129, 128, 0, 0, 129 });
          },
          [] { return pixels(3, 2, { 255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 0, 0, 0, 255, 128, 0, 0, 255, 255, 0, 0, 255 }); },
          "", "below width 8 lines are flat; 1, 1, 1, 2 repeats the pixel before it twice" },
        { "hdr old runs shift", ".hdr", Reference::PIXELS, {},
          [] { return radiance("FORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 259\n", { 128, 0, 0, 129, 1, 1, 1, 2, 1, 1, 1, 1 }); },
          [] {
              Image i = imagekit::makeImage(259, 1, 8);
              for (int x = 0; x < 259; ++x)
                  i.at(x, 0, 0) = i.at(x, 0, 3) = 255;
              return i;
          },
          "", "a run right behind a run counts 256 times as much: 1 + 2 + 256 pixels" },
        { "hdr old run first", ".hdr", Reference::ERROR, {},
          [] { return radiance("FORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 2\n", { 1, 1, 1, 1, 5, 5, 5, 5 }); },
          {}, "[ImageDecoder.HDR] Incorrect rle_rgbe stream (rle count).", "no pixel before the run" },
        { "hdr old run past the line", ".hdr", Reference::ERROR, {},
          [] { return radiance("FORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 2\n", { 5, 5, 5, 5, 1, 1, 1, 2 }); },
          {}, "[ImageDecoder.HDR] Incorrect rle_rgbe stream (rle count).", "" },
        { "hdr rgbe magic", ".hdr", Reference::ERROR, {}, [] { return text("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n"); },
          {}, "[ImageDecoder.HDR] Incorrect radiance header.", "" },
        { "hdr no format", ".hdr", Reference::ERROR, {}, [] { return radiance("GAMMA=1\n\n-Y 1 +X 1\n"); },
          {}, "[ImageDecoder.HDR] Incorrect or unsupported format.", "" },
        { "hdr other format", ".hdr", Reference::ERROR, {}, [] { return radiance("FORMAT=32-bit_rle_xyze\n\n-Y 1 +X 1\n"); },
          {}, "[ImageDecoder.HDR] Incorrect or unsupported format.", "" },
        { "hdr format tokens", ".hdr", Reference::ERROR, {}, [] { return radiance("FORMAT=a=b\n\n-Y 1 +X 1\n"); },
          {}, "[ImageDecoder.HDR] Incorrect radiance header (format).", "" },
        { "hdr exposure tokens", ".hdr", Reference::ERROR, {}, [] { return radiance("FORMAT=32-bit_rle_rgbe\nEXPOSURE\n\n-Y 1 +X 1\n"); },
          {}, "[ImageDecoder.HDR] Incorrect radiance header (exposure).", "" },
        { "hdr three tokens", ".hdr", Reference::ERROR, {}, [] { return radiance("FORMAT=32-bit_rle_rgbe\n\n-Y 2 +X\n"); },
          {}, "[ImageDecoder.HDR] Incorrect radiance header (dimensions).", "" },
        { "hdr negative size", ".hdr", Reference::ERROR, {}, [] { return radiance("FORMAT=32-bit_rle_rgbe\n\n-Y -2 +X 3\n"); },
          {}, "[ImageDecoder.HDR] Incorrect radiance header (dimensions).", "" },
        { "hdr header cut", ".hdr", Reference::ERROR, {}, [] { return radiance("FORMAT=32-bit_rle_rgbe\n"); },
          {}, "[ImageDecoder.HDR] Not enough data.", "" },
        { "hdr wrong scan", ".hdr", Reference::ERROR, {},
          [] { return radiance("FORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 8\n", { 2, 2, 0, 9, 0x88, 1, 0x88, 1, 0x88, 1, 0x88, 1 }); },
          {}, "[ImageDecoder.HDR] Incorrect rle_rgbe stream (wrong scan).", "" },
        { "hdr run past the channel", ".hdr", Reference::ERROR, {},
          [] { return radiance("FORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 8\n", { 2, 2, 0, 8, 0x89, 1, 0x88, 1, 0x88, 1, 0x88, 1 }); },
          {}, "[ImageDecoder.HDR] Incorrect rle_rgbe stream (rle count).", "" },
        { "hdr count 0", ".hdr", Reference::ERROR, {},
          [] { return radiance("FORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 8\n", { 2, 2, 0, 8, 0, 0x88, 1, 0x88, 1, 0x88, 1, 0x88, 1 }); },
          {}, "[ImageDecoder.HDR] Incorrect rle_rgbe stream (rle count).", "" },
        { "hdr scan lines cut", ".hdr", Reference::ERROR, {},
          [] { return radiance("FORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 8\n", { 2, 2, 0, 8, 0x88, 1, 0x88, 1, 0x88, 1, 0x88, 1, 2, 2 }); },
          {}, "[ImageDecoder.HDR] Not enough data.", "" },
        { "hdr huge from a few bytes", ".hdr", Reference::ERROR, {},
          [] { return radiance("FORMAT=32-bit_rle_rgbe\n\n-Y 30000 +X 30000\n", { 2, 2, 0x75, 0x30 }); },
          {}, "[ImageDecoder.HDR] Not enough data.", "refused before 14 GB are allocated" },
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
            case Reference::STB_FLOAT:
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
    if (row.reference == Reference::STB_FLOAT)
    {
        int width = 0, height = 0, channels = 0;
        float* reference = stbi_loadf_from_memory(file.data(), int(file.size()), &width, &height, &channels, 4);
        ASSERT_NE(reference, nullptr) << row.name << ": stb_image refused it";
        Bitmap ours(ConstMemory(file.data(), file.size()), row.extension, Format::RGBA32F);
        ASSERT_TRUE(ours.status().success) << row.name << ": " << ours.status().info;
        ASSERT_EQ(ours.width, width);
        ASSERT_EQ(ours.height, height);
        int different = 0;
        for (int y = 0; y < height; ++y)
            different += std::memcmp(ours.address(0, y), reference + size_t(y) * width * 4, size_t(width) * 16) != 0;
        EXPECT_EQ(different, 0) << row.name << ": rows that differ from stbi_loadf";
        stbi_image_free(reference);
        return;
    }
    const Image expected = imagekit::narrow(referenceOf(row));
    ASSERT_FALSE(expected.empty()) << row.name << ": the reference decoder refused it";
    ImageDecoder decoder(ConstMemory(file.data(), file.size()), row.extension);
    ASSERT_TRUE(decoder.header().success) << row.name << ": " << decoder.header().info;
    // float images are compared through the RGBA 8888 decode below (and exactly in their own tests)
    if (!decoder.header().format.isFloat())
    {
        const imagekit::Decoded ours = imagekit::decodeNative(file, row.extension);
        ASSERT_TRUE(ours.status.success) << row.name << ": " << ours.status.info;
        EXPECT_TRUE(imagekit::sameImage(imagekit::narrow(ours.image), expected, row.compare))
            << row.name << " (" << row.why << ")";
    }

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
        { "tga_gen_cmap16.tga", ".tga" }, { "pcx_8.pcx", ".pcx" }, { "pcx_ega.pcx", ".pcx" },
        { "pcx_packed2.pcx", ".pcx" }, { "pcx_mono.pcx", ".pcx" },
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

// ---------------------------------------------------------------------------------------
// SGI table swap: SSSE3 and scalar give the same values
// ---------------------------------------------------------------------------------------

#include "formats/image_sgi_private.hpp"

TEST(SGITableSwap, SSSE3EqualsScalarAtEveryLengthAndAlignment)
{
    if (!(getCPUFlags() & CPU_SSSE3))
        GTEST_SKIP() << "this processor has no SSSE3";
    EXPECT_EQ(sgi::getSwapTable(CPU_SSSE3), sgi::swapTableSSSE3);
    EXPECT_EQ(sgi::getSwapTable(0), sgi::swapTableScalar);

    std::vector<u8> source(4 * 200 + 3);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = u8(i * 37 + (i >> 3) * 11 + 1);
    for (size_t count : { 0, 1, 15, 16, 17, 31, 32, 33, 64, 199 })
    {
        for (size_t offset = 0; offset < 4; ++offset)
        {
            // a guard entry behind the end shows a write past count
            std::vector<u32> scalar(count + 1, 0xDEADBEEF), simd(count + 1, 0xDEADBEEF);
            sgi::swapTableScalar(scalar.data(), source.data() + offset, count);
            sgi::swapTableSSSE3(simd.data(), source.data() + offset, count);
            EXPECT_EQ(simd, scalar) << count << " entries at offset " << offset;
            EXPECT_EQ(simd[count], 0xDEADBEEF);
            if (count > 0)
            {
                EXPECT_EQ(scalar[0], u32(source[offset] << 24 | source[offset + 1] << 16 | source[offset + 2] << 8 | source[offset + 3]));
            }
        }
    }
}
