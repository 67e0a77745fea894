// Every fixture, truncated at many lengths and with seeded single-byte flips, decoded
// through the registry: under ASan and UBSan any crash, overrun or undefined shift fails;
// a hang times the test out; every refusal must carry a message.

#include <algorithm>
#include <dirent.h>

#include <gtest/gtest.h>

#include "imagekit/imagekit.hpp"

namespace
{
    std::vector<std::string> sweepFixtures()
    {
        std::vector<std::string> names;
        DIR* dir = opendir(imagekit::fixturePath("").c_str());
        if (!dir)
        {
            return names;
        }
        while (dirent* e = readdir(dir))
        {
            const std::string name = e->d_name;
            const bool image = name.rfind("png_", 0) == 0 || name.rfind("apng_", 0) == 0 ||
                               name.rfind("bmp_", 0) == 0 || name.rfind("ico_", 0) == 0;
            if (image && name.find(".ref.") == std::string::npos)
            {
                names.push_back(name);
            }
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }
} // namespace

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

INSTANTIATE_TEST_SUITE_P(Fixtures, Robustness, ::testing::ValuesIn(sweepFixtures()), [](const auto& info) {
    std::string name = info.param;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});
