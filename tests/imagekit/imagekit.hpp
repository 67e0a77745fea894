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
//     imagekit::robustnessSweep(file, ".tga", 96, 400, 1);
//
// and adds its prefix to the sweep in tests/formats/robustness_test.cpp.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <norva/image/decoder.hpp>

namespace imagekit
{
    using Bytes = std::vector<std::uint8_t>;

    // tests/fixtures/formats/<name> of the source tree.
    std::string fixturePath(const std::string& name);
    Bytes readFile(const std::string& path);
    Bytes readFixture(const std::string& name);

    // The fixture files whose names start with one of the prefixes, sorted, without the
    // references (names containing ".ref.").
    std::vector<std::string> listFixtures(const std::vector<std::string>& prefixes);

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

    // Truncates the file at `truncations` lengths (every length for small files) and makes
    // `flips` seeded random changes (a flipped byte, or four overwritten), one file at a time, decoding each through the registry
    // (header, then up to `decodes` decode calls into the native format and RGBA 8888).
    // Only a crash, a sanitizer report or a hang fails; every failed status must say why.
    struct SweepStats
    {
        int runs = 0;
        int failures = 0;       // statuses with success false
    };
    SweepStats robustnessSweep(const Bytes& file, const std::string& extension, int truncations, int flips,
                               std::uint32_t seed, int decodes = 1);

} // namespace imagekit
