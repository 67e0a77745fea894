// Every fixture, truncated at many lengths and with seeded single-byte flips, decoded
// through the registry: under ASan and UBSan any crash, overrun or undefined shift fails;
// a hang times the test out; every refusal must carry a message.

#include <algorithm>

#include <gtest/gtest.h>

#include "imagekit/imagekit.hpp"


class Robustness : public ::testing::TestWithParam<std::string>
{
};

TEST_P(Robustness, TruncatedAndFlippedFilesEndInAStatus)
{
    const std::string& name = GetParam();
    const imagekit::Bytes file = imagekit::readFixture(name);
    const std::string extension = name.substr(name.rfind('.'));
    // animations are decoded past their last frame so that the loop is walked too
    const int decodes = name.rfind("apng_", 0) == 0 ? 4 : 1;
    const imagekit::SweepStats stats =
        imagekit::robustnessSweep(file, extension, 96, 400, std::uint32_t(file.size()), decodes);
    EXPECT_GT(stats.runs, 100);
    // the intact file decodes; most damaged ones do not
    EXPECT_GT(stats.failures, 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Robustness, ::testing::ValuesIn(imagekit::listFixtures({ "png_", "apng_", "bmp_", "ico_", "tga_", "pnm_", "sgi_", "pcx_", "hdr_" })), [](const auto& info) {
    std::string name = info.param;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});
