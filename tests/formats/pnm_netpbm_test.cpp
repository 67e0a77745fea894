// PNM and PAM samples against netpbm. Files of every sample form (plain and binary PGM and
// PPM, PAM) and of maxvals from 1 to 65535 are written here and read both by netpbm
// (pamdepth 255) and by the decoder: samples in range must come out as
// netpbm's 8-bit values, and a sample above maxval must be refused by both. Skipped, saying
// so, where netpbm is not installed (tools/packages.d/formats.txt has it).

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <norva/image/decoder.hpp>

#include "imagekit/imagekit.hpp"

using namespace norva;
using imagekit::Bytes;

namespace
{
    bool haveNetpbm()
    {
        return std::system("command -v pamdepth > /dev/null 2>&1 && command -v pamtopam > /dev/null 2>&1") == 0;
    }

    struct ToolRun
    {
        int exitCode = -1;
        Bytes output;
    };

    // Runs a shell command with `input` on its standard input.
    ToolRun run(const std::string& command, const Bytes& input)
    {
        const std::filesystem::path folder =
            std::filesystem::temp_directory_path() / ("norva_pnm_netpbm_" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        const std::string in = (folder / "in").string();
        const std::string out = (folder / "out").string();
        std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size()));
        const int status = std::system((command + " < '" + in + "' > '" + out + "' 2> /dev/null").c_str());
        ToolRun result;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.output = imagekit::readFile(out);
        std::filesystem::remove_all(folder);
        return result;
    }

    struct Form
    {
        const char* name;
        const char* extension;
        int channels;
        bool plain;
        const char* header;     // magic, or a PAM's TUPLTYPE
    };

    const Form forms[] = {
        { "plain PGM", ".pgm", 1, true, "P2" },
        { "plain PPM", ".ppm", 3, true, "P3" },
        { "binary PGM", ".pgm", 1, false, "P5" },
        { "binary PPM", ".ppm", 3, false, "P6" },
        { "PAM grey", ".pam", 1, false, "GRAYSCALE" },
        { "PAM RGBA", ".pam", 4, false, "RGB_ALPHA" },
    };

    // The samples as one row (padded with zeros to whole pixels); plain samples may be negative.
    Bytes write(const Form& form, long maxval, std::vector<long> samples)
    {
        while (samples.size() % size_t(form.channels))
            samples.push_back(0);
        const size_t width = samples.size() / size_t(form.channels);
        std::string text;
        if (std::string(form.extension) == ".pam")
            text = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT 1\nDEPTH " + std::to_string(form.channels) +
                   "\nMAXVAL " + std::to_string(maxval) + "\nTUPLTYPE " + form.header + "\nENDHDR\n";
        else
            text = std::string(form.header) + "\n" + std::to_string(width) + " 1\n" + std::to_string(maxval) + "\n";
        Bytes file(text.begin(), text.end());
        for (long s : samples)
        {
            if (form.plain)
            {
                const std::string token = std::to_string(s) + "\n";
                file.insert(file.end(), token.begin(), token.end());
            }
            else if (maxval > 255)
            {
                file.push_back(u8(s >> 8));
                file.push_back(u8(s));
            }
            else
            {
                file.push_back(u8(s));
            }
        }
        return file;
    }

    // Every value up to 1023; above, the ends, a stride through the range and the values
    // around its half, where rounding down and to nearest part.
    std::vector<long> samplesOf(long maxval)
    {
        std::vector<long> samples;
        if (maxval < 1024)
        {
            for (long v = 0; v <= maxval; ++v)
                samples.push_back(v);
            return samples;
        }
        for (long v = 0; v <= maxval; v += maxval / 997)
            samples.push_back(v);
        for (long v = maxval / 2 - 8; v <= maxval / 2 + 8; ++v)
            samples.push_back(v);
        samples.push_back(maxval - 1);
        samples.push_back(maxval);
        return samples;
    }

    // Our decoder's verdict on a file: the header's and then the decode's into RGBA 8888.
    ImageDecodeStatus decodeRGBA(const Bytes& file, const char* extension)
    {
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), extension);
        const ImageHeader header = decoder.header();
        if (!header.success)
        {
            ImageDecodeStatus status;
            status.setError("%s", header.info.c_str());
            return status;
        }
        Bitmap bitmap(header.width, header.height, Format::RGBA8888);
        return decoder.decode(bitmap);
    }

} // namespace

TEST(PNMNetpbm, EveryMaxvalScalesTo8BitsAsNetpbmDoes)
{
    if (!haveNetpbm())
        GTEST_SKIP() << "netpbm (pamdepth) is not installed: sh tools/install-deps.sh";
    for (long maxval : { 1L, 2L, 3L, 7L, 15L, 100L, 127L, 254L, 255L, 256L, 1000L, 1023L, 4095L, 32767L, 65534L, 65535L })
    {
        for (const Form& form : forms)
        {
            SCOPED_TRACE(std::string(form.name) + ", maxval " + std::to_string(maxval));
            const Bytes file = write(form, maxval, samplesOf(maxval));
            const ToolRun netpbm = run("pamdepth 255", file);
            ASSERT_EQ(netpbm.exitCode, 0);
            const imagekit::Image expected = imagekit::readPAM(netpbm.output);
            ASSERT_FALSE(expected.empty());
            const imagekit::Decoded ours = imagekit::decodeNative(file, form.extension);
            ASSERT_TRUE(ours.status.success) << ours.status.info;
            EXPECT_TRUE(imagekit::sameImage(ours.image, expected));
        }
    }
}

TEST(PNMNetpbm, SamplesAboveMaxvalAreRefusedAsNetpbmRefusesThem)
{
    if (!haveNetpbm())
        GTEST_SKIP() << "netpbm (pamtopam) is not installed: sh tools/install-deps.sh";

    // form, maxval, the samples; the last one is out of range, and the same file with it
    // set to maxval reads in both
    struct Case
    {
        const char* form;
        long maxval;
        std::vector<long> samples;
    };
    const Case cases[] = {
        { "plain PGM", 100, { 1, 101 } },
        { "plain PGM", 255, { 7, -1 } },
        { "plain PPM", 255, { 0, 0, 256 } },
        { "plain PPM", 65534, { 1, 2, 65535 } },
        { "binary PGM", 100, { 1, 101 } },
        { "binary PGM", 1000, { 1000, 1001 } },
        { "binary PGM", 1, { 1, 0, 2 } },
        { "binary PPM", 15, { 15, 0, 16 } },
        { "binary PPM", 65534, { 0, 0, 65535 } },
        { "PAM grey", 1, { 0, 97 } },
        { "PAM RGBA", 1000, { 1, 2, 3, 1001 } },
    };
    for (const Case& c : cases)
    {
        const Form* form = nullptr;
        for (const Form& f : forms)
            form = std::string(f.name) == c.form ? &f : form;
        ASSERT_NE(form, nullptr);
        SCOPED_TRACE(std::string(c.form) + ", maxval " + std::to_string(c.maxval) + ", last sample " +
                     std::to_string(c.samples.back()));

        std::vector<long> inRange = c.samples;
        inRange.back() = c.maxval;
        const Bytes intact = write(*form, c.maxval, inRange);
        EXPECT_EQ(run("pamtopam", intact).exitCode, 0);
        const ImageDecodeStatus read = decodeRGBA(intact, form->extension);
        EXPECT_TRUE(read.success) << read.info;

        const Bytes damaged = write(*form, c.maxval, c.samples);
        EXPECT_NE(run("pamtopam", damaged).exitCode, 0);
        const ImageDecodeStatus refused = decodeRGBA(damaged, form->extension);
        EXPECT_FALSE(refused.success);
        EXPECT_EQ(refused.info.rfind("[ImageDecoder.PNM] ", 0), 0u) << refused.info;
    }
}
