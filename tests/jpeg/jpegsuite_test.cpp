// The lossless files of the shared JPEG corpus (jpegsuite), read in place: every Huffman file
// and its arithmetic twin decode to the same samples, those of the source picture reduced to
// the file's precision, with one thread and with the pool. The test skips when the corpus is
// absent; tests/fixtures/jpeg keeps arithmetic lossless files of its own for that case.

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "jpeg_test_util.hpp"

using namespace norva;
using namespace jpegtest;

namespace
{
    std::string suiteRoot()
    {
        return ZELMORA_SOURCE_DIR "/../shared/corpus/jpeg/jpegsuite/";
    }

    bool suitePresent()
    {
        return std::filesystem::is_directory(suiteRoot() + "lossless_huffman") &&
               std::filesystem::is_directory(suiteRoot() + "lossless_arithmetic") &&
               std::filesystem::is_directory(suiteRoot() + "source");
    }

    // "32x32x12_grayscale_predictor3.jpg": width, height, precision and what the rest says
    struct SuiteName
    {
        int width = 0;
        int height = 0;
        int precision = 0;
        std::string kind;
    };

    SuiteName parseName(const std::string& file)
    {
        SuiteName name;
        char kind[64] = {};
        if (std::sscanf(file.c_str(), "%dx%dx%d_%63[^.]", &name.width, &name.height, &name.precision, kind) == 4)
            name.kind = kind;
        return name;
    }

    // The picture a file was made from: 8-bit PGMs for the small sizes, 16-bit ones at 32x32.
    Image sourcePicture(const SuiteName& name)
    {
        const bool colour = name.kind.rfind("rgb", 0) == 0 || name.kind.rfind("ycbcr", 0) == 0;
        const std::string file = name.width == 32 ? (colour ? "32x32x16_rgb.ppm" : "32x32x16_grayscale.pgm")
                                                  : std::to_string(name.width) + "x" + std::to_string(name.height) +
                                                        "x8_grayscale.pgm";
        return imagekit::readPAM(imagekit::readFile(suiteRoot() + "source/" + file));
    }

    // What a file of precision P decodes to: the source held at P bits (round(s (2^P - 1) /
    // max)), shifted to 8 bits.
    Image expectedPixels(const SuiteName& name)
    {
        const Image source = sourcePicture(name);
        Image expected = imagekit::makeImage(source.width, source.height, 8);
        const int p = name.precision;
        const double top = double((1 << p) - 1);
        for (int y = 0; y < source.height; ++y)
        {
            for (int x = 0; x < source.width; ++x)
            {
                for (int c = 0; c < 3; ++c)
                {
                    const int held = int(std::lround(source.at(x, y, c) * top / source.maximum()));
                    expected.at(x, y, c) = u16(p >= 8 ? held >> (p - 8) : held << (8 - p));
                }
                expected.at(x, y, 3) = 255;
            }
        }
        return expected;
    }

    // The YCbCr files hold the source's samples converted as JFIF converts them; how their
    // writer rounded is its own, so they are within one of the conversion.
    Image expectedYCbCr(const SuiteName& name)
    {
        const Image rgb = expectedPixels(name);
        Image expected = rgb;
        for (int y = 0; y < rgb.height; ++y)
        {
            for (int x = 0; x < rgb.width; ++x)
            {
                const double r = rgb.at(x, y, 0);
                const double g = rgb.at(x, y, 1);
                const double b = rgb.at(x, y, 2);
                const double ycc[3] =
                {
                    0.299 * r + 0.587 * g + 0.114 * b,
                    128 - 0.168736 * r - 0.331264 * g + 0.5 * b,
                    128 + 0.5 * r - 0.418688 * g - 0.081312 * b,
                };
                for (int c = 0; c < 3; ++c)
                    expected.at(x, y, c) = u16(std::clamp(std::lround(ycc[c]), 0l, 255l));
            }
        }
        return expected;
    }

    std::vector<std::string> suiteFiles(const std::string& folder)
    {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(suiteRoot() + folder))
        {
            if (entry.path().extension() == ".jpg")
                files.push_back(entry.path().filename().string());
        }
        std::sort(files.begin(), files.end());
        return files;
    }

} // namespace

TEST(JpegSuite, LosslessFilesOfBothCodingsGiveTheSourceSamples)
{
    if (!suitePresent())
        GTEST_SKIP() << "the shared corpus (" << suiteRoot() << ") is absent";

    const std::vector<std::string> files = suiteFiles("lossless_arithmetic");
    int exact = 0;
    int refused = 0;
    for (const std::string& file : files)
    {
        SCOPED_TRACE(file);
        const SuiteName name = parseName(file);
        ASSERT_GT(name.precision, 0);
        const Bytes arithmetic = imagekit::readFile(suiteRoot() + "lossless_arithmetic/" + file);
        const Bytes huffman = imagekit::readFile(suiteRoot() + "lossless_huffman/" + file);
        ASSERT_FALSE(huffman.empty()) << "no Huffman twin";

        if (name.kind == "dnl")
        {
            // the height comes only after the scan
            for (const Bytes* data : { &huffman, &arithmetic })
            {
                jpeg::Parser parser(memoryOf(*data));
                EXPECT_FALSE(parser.header().success);
                EXPECT_EQ(parser.header().info, "Incorrect dimensions (32 x 0)");
            }
            ++refused;
            continue;
        }

        // lossless frames come out as stored: the YCbCr files as Y, Cb and Cr in red, green
        // and blue
        const bool ycbcr = name.kind.rfind("ycbcr", 0) == 0;
        const bool colour = ycbcr || name.kind.rfind("rgb", 0) == 0;
        const Format format = colour ? Format::RGB888 : Format::L8;
        const Decoded reference = decode(huffman, format, 1);
        ASSERT_TRUE(reference.status.success) << reference.status.info;
        EXPECT_EQ(reference.status.info.find(';'), std::string::npos) << reference.status.info;
        if (ycbcr)
            EXPECT_TRUE(imagekit::sameImage(reference.image, expectedYCbCr(name), { .tolerance = 1 }));
        else
            EXPECT_TRUE(imagekit::sameImage(reference.image, expectedPixels(name)));

        // the arithmetic twin, on one thread and planning for the pool's or four
        bool same = true;
        for (u32 threads : { 1u, 0u, 4u })
        {
            SCOPED_TRACE(threads);
            const Decoded ours = decode(arithmetic, format, threads);
            EXPECT_TRUE(ours.status.success) << ours.status.info;
            EXPECT_EQ(ours.status.info.find(';'), std::string::npos) << ours.status.info;
            const ::testing::AssertionResult twins = imagekit::sameImage(ours.image, reference.image);
            EXPECT_TRUE(twins);
            same = same && twins;
        }
        exact += same;
    }
    EXPECT_EQ(exact, 43);
    EXPECT_EQ(refused, 1);
}
