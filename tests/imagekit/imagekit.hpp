#pragma once

// The image-format test kit: fixtures on disk, reference decoders that are not ours
// (libpng, stb_image, committed PAM files), one comparison with its modes, and the
// robustness sweep that every format runs over its fixtures.
//
// A format test is a table: one row per fixture naming its reference and a mode. Link the
// test binary with norva_imagekit (tests/imagekit.cmake). A new format adds its fixtures
// and the lines that make them to tests/fixtures/formats/make_images.sh (with reference PAM
// files from an independent decoder where no library reads the format), then:
//
//     const imagekit::Bytes file = imagekit::readFixture("tga_rle.tga");
//     const imagekit::Decoded ours = imagekit::decodeNative(file, ".tga");
//     ASSERT_TRUE(ours.status.success) << ours.status.info;
//     EXPECT_TRUE(imagekit::sameImage(ours.image, imagekit::readPAM(imagekit::readFixture("tga_rle.ref.pam")),
//                                     { .tolerance = 1 }));
//
// The robustness sweep in tests/formats/robustness_test.cpp picks up every fixture whose
// extension has a registered decoder, so a new format is swept without edits.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <norva/image/decoder.hpp>

namespace imagekit
{
    using Bytes = std::vector<std::uint8_t>;

    // The family folders of tests/fixtures searched by bare name ("png", "formats", ...).
    const std::vector<std::string>& fixtureFamilies();

    // tests/fixtures/<family>/<name> of the source tree: the family folder that holds a bare
    // name (fixture names keep their family prefix, so a name is unique across them), or
    // tests/fixtures/<name> for a name with a folder in it.
    std::string fixturePath(const std::string& name);
    Bytes readFile(const std::string& path);
    Bytes readFixture(const std::string& name);

    // The fixture files of every family folder whose names start with one of the prefixes,
    // sorted, without the references (names containing ".ref.").
    std::vector<std::string> listFixtures(const std::vector<std::string>& prefixes);

    // The same for the files whose lower-cased extension is `extension` (".png").
    std::vector<std::string> listFixturesWithExtension(const std::string& extension);

    // Every decoded or reference image is brought to this: RGBA, 8 or 16 bits a sample,
    // alpha at its maximum where the source has none.
    struct Image
    {
        int width = 0;
        int height = 0;
        int depth = 8;
        std::vector<std::uint16_t> rgba;

        bool empty() const { return rgba.empty(); }
        int maximum() const { return depth == 16 ? 65535 : 255; }
        std::uint16_t at(int x, int y, int c) const { return rgba[(size_t(y) * width + x) * 4 + c]; }
        std::uint16_t& at(int x, int y, int c) { return rgba[(size_t(y) * width + x) * 4 + c]; }
    };

    Image makeImage(int width, int height, int depth);

    // Reads any UNORM layout of up to 64 bits (luminance too) field by field, without the
    // library's converters: fields of 16 bits give a 16-bit image, narrower ones 8 bits
    // (scaled to nearest). Indexed surfaces need the palette.
    Image fromSurface(const norva::Surface& surface);
    Image fromIndices(const norva::Surface& surface, const norva::Palette& palette);

    // 16 bits to 8 by nearest rounding.
    Image narrow(const Image& image);

    // References. Each returns an empty image when its decoder refuses the file.
    Image decodeLibpng(const Bytes& file);       // native depth, tRNS expanded to alpha
    Image decodeStb(const Bytes& file);          // 8 bits
    Image decodeStb16(const Bytes& file);        // 16 bits
    Image readPAM(const Bytes& file);            // P7 (and P5/P6); maxvals other than 255 and
                                                 // 65535 are scaled to 8 bits

    // Our decoder, through the registry, in the header's own format.
    struct Decoded
    {
        norva::ImageHeader header;
        norva::ImageDecodeStatus status;
        Image image;
    };
    Decoded decodeNative(const Bytes& file, const std::string& extension);

    struct Compare
    {
        int tolerance = 0;                  // per sample, in the images' own depth
        bool ignoreTransparentColor = false;// skip R, G, B where the reference alpha is 0
        bool colorOnly = false;             // ignore alpha altogether
    };

    // Sizes and depths must agree; the first differing sample is named in the failure.
    ::testing::AssertionResult sameImage(const Image& actual, const Image& expected, const Compare& compare = {});

    // The differences of all compared samples, for lossy formats whose honest tolerance is
    // a bound on the largest and on the mean difference. Images of other sizes or depths,
    // or empty ones, give a max of 1 << 30.
    struct Difference
    {
        int max = 0;
        double mean = 0;
        double meanSquared = 0;

        // in dB against the 8-bit peak; 99 for equal images
        double psnr() const;
    };
    Difference difference(const Image& actual, const Image& expected, const Compare& compare = {});

    // Decodes the file intact, then cut at `truncations` lengths (every length for small
    // files, else every length through the first 64 bytes and the rest spread out), then
    // with `flips` seeded random changes (a flipped byte, or four overwritten), one file at
    // a time. Only a crash, a sanitizer report or a hang fails inside; every failed status
    // must say why. The caller asserts on the counts: the intact file must decode (a sweep
    // over files that nothing decodes tests nothing).
    struct SweepStats
    {
        int runs = 0;           // damaged files tried
        int failures = 0;       // damaged files refused (a header or a decode failed)
        int decoded = 0;        // damaged files whose header and decodes all succeeded
        bool intact = false;    // the undamaged file decoded
    };

    // One attempt at a file: true when its header and every decode succeeded. `run` counts
    // the files of the sweep (0 is the intact file), for decoders that vary a setting.
    using SweepDecode = std::function<bool(const Bytes& file, int run)>;

    SweepStats robustnessSweep(const Bytes& file, const SweepDecode& decode, int truncations, int flips,
                               std::uint32_t seed);

    // What a decoder promises beyond surviving, for the formats that opt in; a hook left
    // empty is not checked. The sweep decodes every file (intact and damaged) through
    // decodeWithThreads as well and fails where a promise is broken.
    struct SweepPromises
    {
        // One decode with the given thread count (1, or 0 for the pool's). One thread and
        // the pool must agree on the outcome, and on every pixel when they succeed.
        std::function<Decoded(const Bytes& file, unsigned threads)> decodeWithThreads;

        // True when a successful decode's status tells of the damage (a warning in its text).
        std::function<bool(const norva::ImageDecodeStatus& status)> reportsDamage;

        // A cut file is always damaged (the format ends in a marker of its own), so a decode
        // of one must fail or report it.
        bool truncationIsDamage = false;

        // For changed bytes: true when the file's structure says it is damaged, by a reference
        // decoder's complaint for instance; a decode of it must fail or report it.
        std::function<bool(const Bytes& file)> structureDamaged;
    };

    struct PromiseStats
    {
        int threadChecks = 0;   // files decoded with one thread and with the pool, both successful
        int damageChecks = 0;   // damaged files whose decode had to fail or report it
    };

    SweepStats robustnessSweep(const Bytes& file, const SweepDecode& decode, int truncations, int flips,
                               std::uint32_t seed, const SweepPromises& promises, PromiseStats& promiseStats);

    // Through the registry: the header, then decodes into the native format and RGBA 8888
    // (and the indices with their palette for indexed images), each through a decoder of
    // its own. An animation (the first decode names a next frame) is decoded `frames`
    // times, so that its loop is walked too. A block-compressed texture counts as decoded
    // when its first level's blocks are there.
    bool decodeThroughRegistry(const Bytes& file, const std::string& extension, int frames = 4);

    SweepStats robustnessSweep(const Bytes& file, const std::string& extension, int truncations, int flips,
                               std::uint32_t seed, int frames = 4);

} // namespace imagekit
