// C64 pictures: the files of tests/fixtures/formats/c64/make_c64.py, which lays each class's
// parts out at its offsets with a few cells set by hand; the pixels checked here are derived
// by hand from those cells (see the generator's header). Packed forms must decode to the
// picture of their unpacked twin. Acceptance, the unpackers' edge cases and the sweep of
// damaged files follow.

#include <algorithm>
#include <cstring>
#include <set>
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
    // the machine's 16 colours, A << 24 | R << 16 | G << 8 | B
    const u32 c64[16] = {
        0xFF000000, 0xFFFFFFFF, 0xFF68372B, 0xFF70A4B2, 0xFF6F3D86, 0xFF588D43, 0xFF352879, 0xFFB8C76F,
        0xFF6F4F25, 0xFF433900, 0xFF9A6759, 0xFF444444, 0xFF6C6C6C, 0xFF9AD284, 0xFF6C5EB5, 0xFF959595,
    };

    // white and red shown on alternate frames: each channel (a >> 1) + (b >> 1)
    const u32 whiteOverRed = 0xFFB39A94;

    std::string extensionOf(const std::string& name)
    {
        return name.substr(name.rfind('.'));
    }

    struct Result
    {
        ImageHeader header;
        ImageDecodeStatus status;
        int width = 0;
        std::vector<u32> pixels;

        u32 at(int x, int y) const { return pixels[size_t(y) * width + x]; }
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
        r.width = bitmap.width;
        for (int y = 0; y < bitmap.height; ++y)
            for (int x = 0; x < bitmap.width; ++x)
                r.pixels.push_back(loadLE32(bitmap.address(x, y)));
        return r;
    }

    Result decodeFixture(const std::string& name)
    {
        return decode(imagekit::readFixture(name), extensionOf(name));
    }

    struct Probe
    {
        int x;
        int y;
        u32 colour;
    };

    Probe index(int x, int y, int i)
    {
        return { x, y, c64[i] };
    }

    // the probe cell of make_c64.py in multicolour: pairs 00 01 10 11 at x = 80, 82, 84, 86
    std::vector<Probe> multicolour(int background)
    {
        return { index(80, 40, background), index(82, 40, 2), index(84, 40, 3), index(86, 40, 4),
                 index(0, 40, 9) };
    }

    std::vector<Probe> hires()
    {
        return { index(80, 40, 2), index(84, 40, 10), index(0, 40, 9) };
    }

    // FLI: line 41 has its own screen, the left 24 columns show colour 15
    std::vector<Probe> hiresFli()
    {
        return { index(80, 40, 2), index(84, 40, 10), index(80, 41, 5), index(84, 41, 14), index(0, 40, 15) };
    }

    // interlace shown as even columns of frame 1 and odd columns of frame 2; frame 2's
    // bitmap holds the pairs 11 10 01 00 and its screen 0x57 (or frame 1's `screen2`)
    std::vector<Probe> interlaced(int screen2Low, int screen2High)
    {
        return { index(80, 40, 6), index(81, 40, 4), index(82, 40, 2), index(83, 40, screen2Low),
                 index(85, 40, screen2High) };
    }
} // namespace

TEST(C64, FixturesShowTheirHandSetCells)
{
    struct Case
    {
        const char* name;
        std::vector<Probe> probes;
        int width = 320;
        int height = 200;
    };
    std::vector<Probe> fd2 = multicolour(0);
    fd2.back() = index(0, 40, 15);
    fd2.push_back(index(82, 41, 5));
    fd2.push_back(index(84, 41, 7));
    std::vector<Probe> fli = interlaced(7, 5);
    fli.push_back(index(82, 41, 5)); // frame 1's own screen of line 41
    fli.push_back(index(0, 40, 15));

    const Case cases[] = {
        { "c64_a64.a64", multicolour(6) },
        { "c64_blp.bpi", multicolour(6) },
        { "c64_cdu.cdu", multicolour(6) },
        { "c64_dol.dol", multicolour(6) },
        { "c64_mpic.mpic", multicolour(6) },
        { "c64_rpm.rpm", multicolour(6) },
        { "c64_rpm_10003.rpm", multicolour(6) }, // ends with its background byte
        { "c64_sar.sar", multicolour(6) },
        { "c64_vid.vid", multicolour(6) },
        { "c64_koa.koa", multicolour(0) },  // Koala's background is always black
        { "c64_fpt.fpt", multicolour(0) },  // its background byte lies past the data
        { "c64_ami.ami", multicolour(6) },  // the background byte behind colour memory
        { "c64_drz.drz", multicolour(0) },
        { "c64_fd2.fd2", fd2 },
        { "c64_art.art", hires() },
        { "c64_dd.dd", hires() },
        { "c64_dd_5c00.dd", hires() },      // Doodle's other load address
        { "c64_art_9003.art", hires() },    // Art Studio cut short behind the screen
        { "c64_afl.afl", hiresFli() },
        { "c64_hfc.hfc", hiresFli() },
        { "c64_him.him", hiresFli() },
        { "c64_pmg.PMG", multicolour(6) },  // upper case reaches the class
        { "c64_hcb.hcb",
          { index(80, 40, 6), index(82, 40, 2), index(84, 40, 3), index(86, 40, 4),
            // lines 44 to 47: the other screen, colour memory and background
            index(80, 44, 9), index(82, 44, 5), index(84, 44, 7), index(86, 44, 8) } },
        { "c64_fpr.fpr",
          { // sprite pairs 01 10 11 in the line's colour and the two common ones; 00 lets
            // the bitmap through, and pair 11 left of column 24 takes the line's table
            index(0, 0, 3), index(1, 0, 3), index(2, 0, 5), index(4, 0, 7), index(6, 0, 0), index(8, 0, 10),
            index(80, 40, 0), index(82, 40, 2), index(82, 41, 5), index(86, 40, 4) } },
        { "c64_drl.drl", interlaced(3, 2) }, // both frames share one screen
        { "c64_mci.mci", interlaced(7, 5) },
        { "c64_fun.fun", fli },
        { "c64_gun.gun", fli },
        { "c64_pp.pp", fli },
        { "c64_eci.eci", { { 80, 40, whiteOverRed }, index(0, 40, 0) } }, // left columns colour 0
        { "c64_uifli.uifli", { { 0, 0, whiteOverRed } } },                // the sprite colours 1 and 2
        // the underlay sprite shows under a clear bitmap bit, the left columns one colour
        { "c64_ufli.ufli", { index(0, 0, 7), index(24, 0, 9), index(25, 0, 9), index(26, 0, 10), index(27, 0, 2) } },
        // layer B over layer A over the bitmap
        { "c64_shf.shfli", { index(0, 0, 3), index(1, 0, 5), index(2, 0, 12) }, 96, 167 },
        { "c64_shfxl.shx", { index(0, 0, 5), index(1, 0, 12) }, 144, 168 },
    };
    // each case on its own, so that one refused file does not hide the others
    auto check = [](const Case& c) {
        SCOPED_TRACE(c.name);
        const Result r = decodeFixture(c.name);
        ASSERT_TRUE(r.header.success) << r.header.info;
        ASSERT_EQ(r.header.width, c.width);
        ASSERT_EQ(r.header.height, c.height);
        ASSERT_TRUE(r.status.success) << r.status.info;
        for (const Probe& p : c.probes)
            EXPECT_EQ(r.at(p.x, p.y), p.colour) << "at " << p.x << ", " << p.y;
    };
    for (const Case& c : cases)
        check(c);
}

namespace
{
    // What GIMP does with the left 24 columns of an FLI picture, where the video chip shows
    // no bitmap: nothing (keep its pixels), colour 15 as we draw it, or leave them out.
    enum class FliColumns
    {
        compared,
        colour15,
        skipped,
    };

    // Our decode of a C64 fixture against the reference PNG that make_c64_gimp.sh read
    // through the plug-in's loader.
    void expectGimpsPixels(const std::string& name, FliColumns columns, const Bytes& file)
    {
        SCOPED_TRACE(name);
        const imagekit::Decoded ours = imagekit::decodeNative(file, extensionOf(name));
        ASSERT_TRUE(ours.status.success) << ours.status.info;
        const std::string stem = name.substr(0, name.rfind('.'));
        imagekit::Image expected = imagekit::decodeLibpng(imagekit::readFixture(stem + ".ref.png"));
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(expected.width, ours.image.width);
        ASSERT_EQ(expected.height, ours.image.height);
        if (columns != FliColumns::compared)
        {
            for (int y = 0; y < expected.height; ++y)
                for (int x = 0; x < 24; ++x)
                    for (int c = 0; c < 3; ++c)
                        expected.at(x, y, c) = columns == FliColumns::colour15 ? 0x95 : ours.image.at(x, y, c);
        }
        EXPECT_TRUE(imagekit::sameImage(ours.image, expected));
    }

    void expectGimpsPixels(const std::string& name, FliColumns columns)
    {
        expectGimpsPixels(name, columns, imagekit::readFixture(name));
    }
} // namespace

// The eight classes gimp-cbmplugs writes, against the plug-ins' own loaders.
TEST(C64, GimpWrittenFilesMatchGimpsLoaders)
{
    for (const char* name : { "c64_gimp_koala.koa", "c64_gimp_artist64.a64", "c64_gimp_blazing.bpi",
                              "c64_gimp_advart.mpic", "c64_gimp_drazpaint.drz", "c64_gimp_vidcom.vid",
                              "c64_gimp_artstudio.art" })
        expectGimpsPixels(name, FliColumns::compared);
    expectGimpsPixels("c64_gimp_afli.afl", FliColumns::colour15);

    // the Art Studio file as the plug-in wrote it, 9002 bytes: bitmap and screen, no padding
    Bytes art = imagekit::readFixture("c64_gimp_artstudio.art");
    ASSERT_EQ(art.size(), 9009u);
    art.resize(9002);
    expectGimpsPixels("c64_gimp_artstudio.art", FliColumns::compared, art);
}

// Two generated pictures the plug-ins can also read (FLI Designer through the FLI loader,
// SHF-XL through its own): a second opinion beside the hand-derived probes.
TEST(C64, GeneratedFilesMatchGimpsLoaders)
{
    expectGimpsPixels("c64_fd2.fd2", FliColumns::skipped);
    expectGimpsPixels("c64_shfxl.shx", FliColumns::compared);
}

TEST(C64, PackedFormsDecodeLikeTheirUnpackedTwins)
{
    const char* const pairs[][2] = {
        { "c64_drz_packed.drz", "c64_drz.drz" },    // escape runs, a count of 0 is 256
        { "c64_drl_packed.drl", "c64_drl.drl" },
        { "c64_eci_packed.eci", "c64_eci.eci" },
        { "c64_ufli_packed.ufli", "c64_ufli.ufli" },
        { "c64_fun_packed.fun", "c64_fun.fun" },    // a count of 0 ends the data
        { "c64_pp_packed.pp", "c64_pp.pp" },        // count + 1 copies
        { "c64_mci_packed.mci", "c64_mci.mci" },    // packed backwards with eight codes
        { "c64_him_packed.him", "c64_him.him" },    // packed backwards, literal groups
    };
    for (const auto& pair : pairs)
    {
        SCOPED_TRACE(pair[0]);
        const Result packed = decodeFixture(pair[0]);
        const Result plain = decodeFixture(pair[1]);
        ASSERT_TRUE(packed.header.success) << packed.header.info;
        ASSERT_TRUE(plain.header.success) << plain.header.info;
        EXPECT_TRUE(packed.status.success);
        EXPECT_EQ(packed.pixels, plain.pixels);
    }
}

TEST(C64, ExactSizesAndLoadAddresses)
{
    const Bytes koala = imagekit::readFixture("c64_koa.koa");
    ASSERT_EQ(koala.size(), 10003u);
    Bytes longer = koala;
    longer.push_back(0);
    Bytes shorter(koala.begin(), koala.end() - 1);
    Bytes moved = koala;
    moved[1] = 0x50;

    // Art Studio and Run Paint may end behind the last byte they draw, not before it, and
    // not after the class's own size; Doodle has two load addresses, no third
    Bytes art = imagekit::readFixture("c64_art.art");
    Bytes artShort(art.begin(), art.begin() + 9001);
    Bytes artLong = art;
    artLong.push_back(0);
    Bytes rpm = imagekit::readFixture("c64_rpm.rpm");
    Bytes rpmShort(rpm.begin(), rpm.begin() + 10002);
    Bytes rpmLong = rpm;
    rpmLong.push_back(0);
    Bytes doodle = imagekit::readFixture("c64_dd_5c00.dd");
    doodle[1] = 0x3C;
    Bytes afli = imagekit::readFixture("c64_afl.afl");
    afli.push_back(0); // GIMP's AFLI files

    struct Case
    {
        const char* what;
        Bytes file;
        const char* extension;
    };
    const Case rejected[] = {
        { "Koala one byte longer", longer, ".koa" },
        { "Koala one byte shorter", shorter, ".kla" },
        { "Koala at another load address", moved, ".koa" },
        { "Art Studio without the screen's last byte", artShort, ".art" },
        { "Art Studio one byte longer", artLong, ".ocp" },
        { "Run Paint without its background byte", rpmShort, ".rpm" },
        { "Run Paint one byte longer", rpmLong, ".rpm" },
        { "Doodle at 0x3C00", doodle, ".dd" },
        { "16386-byte AFLI", afli, ".afli" },
        { "empty", {}, ".gun" },
        { "one byte", { 0x00 }, ".mci" },
    };
    for (const Case& c : rejected)
    {
        SCOPED_TRACE(c.what);
        const Result r = decode(c.file, c.extension);
        EXPECT_FALSE(r.header.success);
        EXPECT_FALSE(r.header.info.empty());
        EXPECT_EQ(r.header.width, 0);

        // decoding an unaccepted file writes nothing and says so
        ImageDecoder decoder(ConstMemory(c.file.data(), c.file.size()), c.extension);
        Bitmap bitmap(8, 8, Format::BGRA8888);
        std::fill(bitmap.address(0, 0), bitmap.address(0, 0) + 8 * 4, u8(0x5A));
        EXPECT_FALSE(decoder.decode(bitmap).success);
        EXPECT_EQ(bitmap.address(0, 0)[0], 0x5A);
    }

    // the same Koala bytes at Run Paint's size show the background byte where Koala shows black
    Bytes koalaAsRpm = koala;
    koalaAsRpm.resize(10006, 0);
    const Result asRpm = decode(koalaAsRpm, ".rpm");
    const Result asKoala = decode(koala, ".koa");
    ASSERT_TRUE(asRpm.header.success);
    EXPECT_EQ(asRpm.at(80, 40), c64[6]);
    EXPECT_EQ(asKoala.at(80, 40), c64[0]);
}

TEST(C64, OwnAcceptanceRules)
{
    // Amica Paint is recognised by its end marker alone, whatever its length
    Bytes ami = imagekit::readFixture("c64_ami.ami");
    ami.insert(ami.end() - 2, { 1, 2, 3 });
    EXPECT_TRUE(decode(ami, ".ami").header.success);
    ami.back() = 1;
    EXPECT_FALSE(decode(ami, ".ami").header.success);

    // packed SHF has no known expansion: an error, not the packed bytes shown as a picture
    Bytes shf = imagekit::readFixture("c64_shf.shfli");
    storeLE16(shf.data(), 0xA000);
    const Result packedShf = decode(shf, ".unp");
    EXPECT_FALSE(packedShf.header.success);
    EXPECT_NE(packedShf.header.info.find("Packed SHF pictures are not supported."), std::string::npos);

    // Gunpaint needs its text at offset 1002
    Bytes gun = imagekit::readFixture("c64_gun.gun");
    gun[1002] = 'X';
    EXPECT_FALSE(decode(gun, ".ifl").header.success);

    // Drazpaint at another size without its magic text
    Bytes drz = imagekit::readFixture("c64_drz_packed.drz");
    drz[2] = 'X';
    EXPECT_FALSE(decode(drz, ".dp").header.success);
}

TEST(C64, EscapeCountZeroWritesTheFullRun)
{
    // Drazpaint packed: colour memory (data offset 0) gets 256 bytes of 5 from one run, the
    // next cell 6; then the screen and a bitmap of pair 11 everywhere
    Bytes file = { 0x00, 0x58 };
    const std::string magic = "DRAZPAINT 2.0";
    file.insert(file.end(), magic.begin(), magic.end());
    const u8 escape = 0xAB;
    file.push_back(escape);
    auto run = [&](u8 value, int count) {
        for (; count > 0; count -= 256)
            file.insert(file.end(), { escape, u8(std::min(count, 256) & 0xFF), value });
    };
    run(5, 256);
    file.push_back(6);
    run(0, 2048 - 257);
    run(0xFF, 8000);
    const Result r = decode(file, ".drz");
    ASSERT_TRUE(r.header.success) << r.header.info;
    EXPECT_EQ(r.at(0, 0), c64[5]);      // cell 0
    EXPECT_EQ(r.at(120, 48), c64[5]);   // cell 255
    EXPECT_EQ(r.at(128, 48), c64[6]);   // cell 256
    EXPECT_EQ(r.at(136, 48), c64[0]);   // cell 257
}

TEST(C64, NoiseOfHcbIsTheSameOnEveryDecode)
{
    const Result a = decodeFixture("c64_hcb.hcb");
    const Result b = decodeFixture("c64_hcb.hcb");
    ASSERT_TRUE(a.header.success);
    EXPECT_EQ(a.pixels, b.pixels);

    // the same decoder twice
    const Bytes file = imagekit::readFixture("c64_hcb.hcb");
    ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".hcb");
    Bitmap first(320, 200, Format::BGRA8888);
    Bitmap second(320, 200, Format::BGRA8888);
    ASSERT_TRUE(decoder.decode(first).success);
    ASSERT_TRUE(decoder.decode(second).success);
    std::set<u32> left;
    for (int y = 0; y < 200; ++y)
    {
        EXPECT_EQ(std::memcmp(first.address(0, y), second.address(0, y), 320 * 4), 0);
        for (int x = 0; x < 8; ++x)
            left.insert(loadLE32(first.address(x, y)));
    }
    EXPECT_GT(left.size(), 4u); // the noise is there
}

TEST(C64, EveryExtensionReachesItsClass)
{
    const std::vector<std::vector<const char*>> classes = {
        { ".a64" }, { ".afl", ".afli" }, { ".ami" }, { ".art", ".ocp" }, { ".blp", ".bpi", ".pi" },
        { ".cdu" }, { ".dd", ".ddl" }, { ".dol" }, { ".drl", ".dlp" }, { ".drz", ".dp64", ".drp", ".dp" },
        { ".eci" }, { ".fd2" }, { ".fpr" }, { ".fpt", ".fcp" }, { ".fun", ".fp2" }, { ".gun", ".ifl" },
        { ".hcb" }, { ".hfc" }, { ".him" }, { ".koa", ".kla" }, { ".mci", ".mcp" }, { ".mpic" },
        { ".pmg", ".PMG" }, { ".pp", ".ppp" }, { ".rpm" }, { ".sar" }, { ".unp", ".shfli" },
        { ".shx", ".shfxl" }, { ".ufup", ".ufli" }, { ".uifli" }, { ".vid" },
    };
    std::set<CreateDecoderFunc> functions;
    size_t extensions = 0;
    for (const auto& names : classes)
    {
        const CreateDecoderFunc create = getImageDecoder(names[0]);
        ASSERT_NE(create, nullptr) << names[0];
        for (const char* name : names)
        {
            EXPECT_EQ(getImageDecoder(name), create) << name;
            extensions += std::string(name) != ".PMG";
        }
        functions.insert(create);
    }
    EXPECT_EQ(functions.size(), 31u);
    EXPECT_EQ(extensions, 49u);
}

TEST(C64, DamagedFilesEndInAStatus)
{
    const std::vector<std::string> names = imagekit::listFixtures({ "c64_" });
    ASSERT_EQ(names.size(), 50u);
    for (const std::string& name : names)
    {
        SCOPED_TRACE(name);
        const Bytes file = imagekit::readFixture(name);
        const imagekit::SweepStats stats =
            imagekit::robustnessSweep(file, extensionOf(name), 48, 32, std::uint32_t(file.size()));
        EXPECT_GT(stats.runs, 100);
        EXPECT_GT(stats.failures, 0);
    }
}
