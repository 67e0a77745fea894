// Every fixture of every format with a registered decoder, truncated at many lengths and
// with seeded byte flips, decoded through the registry: under ASan and UBSan any crash,
// overrun or undefined shift fails; a hang times the test out; every refusal must carry a
// message. The list comes from the registry and the fixture folders, so a format is swept
// as soon as it registers and its fixtures exist.

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "image_registry.hpp"
#include "imagekit/imagekit.hpp"

namespace
{
    std::string extensionOf(const std::string& name)
    {
        const size_t dot = name.rfind('.');
        return dot == std::string::npos ? std::string() : norva::getLowerCaseExtension(name.substr(dot));
    }

    // The fixtures whose extension has a decoder, in the registry's order of extensions.
    std::vector<std::string> registeredFixtures()
    {
        std::vector<std::string> names;
        for (const std::string& extension : norva::getImageDecoderExtensions())
        {
            for (const std::string& name : imagekit::listFixturesWithExtension(extension))
                names.push_back(name);
        }
        return names;
    }

    // Whether any fixture of the extension decodes intact, asked when one does not: some
    // fixtures are there to be refused, but a format none of whose files decode would
    // make every sweep of it pass on refusals alone.
    bool formatDecodesAFixture(const std::string& extension)
    {
        for (const std::string& name : imagekit::listFixturesWithExtension(extension))
        {
            if (imagekit::decodeThroughRegistry(imagekit::readFixture(name), extension))
                return true;
        }
        return false;
    }

} // namespace

class Robustness : public ::testing::TestWithParam<std::string>
{
};

TEST_P(Robustness, TruncatedAndFlippedFilesEndInAStatus)
{
    const std::string& name = GetParam();
    const imagekit::Bytes file = imagekit::readFixture(name);
    const imagekit::SweepStats stats =
        imagekit::robustnessSweep(file, extensionOf(name), 96, 400, std::uint32_t(file.size()));
    EXPECT_GT(stats.runs, 100);
    // the intact file decodes (or, for a file its format refuses on purpose, another
    // fixture of the format does); most damaged ones do not
    EXPECT_TRUE(stats.intact || formatDecodesAFixture(extensionOf(name)))
        << "no fixture of " << extensionOf(name) << " decodes, so the sweep tests nothing";
    EXPECT_GT(stats.failures, 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Robustness, ::testing::ValuesIn(registeredFixtures()), [](const auto& info) {
    std::string name = info.param;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});

TEST(RobustnessList, EveryFixtureFolderWithARegisteredFormatIsSwept)
{
    // The list is derived, so check the derivation: each family folder's files of a
    // registered extension are in it, and the formats the library has today are reached.
    const std::vector<std::string> swept = registeredFixtures();
    const std::set<std::string> sweptNames(swept.begin(), swept.end());
    EXPECT_EQ(sweptNames.size(), swept.size()) << "a fixture name is in two family folders";

    std::set<std::string> extensions;
    for (const std::string& name : swept)
        extensions.insert(extensionOf(name));
    for (const char* extension : { ".png", ".jpg", ".bmp", ".ico", ".cur" })
        EXPECT_EQ(extensions.count(extension), 1u) << "no fixture of " << extension << " is swept";

    const std::vector<std::string> registered = norva::getImageDecoderExtensions();
    for (const std::string& name : imagekit::listFixtures({ "" }))
    {
        const bool decodable = std::find(registered.begin(), registered.end(), extensionOf(name)) != registered.end();
        EXPECT_EQ(sweptNames.count(name), decodable ? 1u : 0u) << name;
    }
}
