// The game reads its sky-box faces and textures through Bitmap(file, RGBA8888): the files
// it ships decode to what stb_image reads from them.

#include <gtest/gtest.h>

#include <norva/image/surface.hpp>

#include "imagekit/imagekit.hpp"

TEST(GameAssets, SkyBoxFacesAndTexturesLoadAsRGBA)
{
    const std::string root = std::string(ZELMORA_SOURCE_DIR) + "/assets/";
    for (const char* name : { "SkyBox/sunny_day/Daylight Box_Back.bmp", "SkyBox/sunny_day/Daylight Box_Bottom.bmp",
                              "SkyBox/sunny_day/Daylight Box_Front.bmp", "SkyBox/sunny_day/Daylight Box_Left.bmp",
                              "SkyBox/sunny_day/Daylight Box_Right.bmp", "SkyBox/sunny_day/Daylight Box_Top.bmp",
                              "Textures/red.png" })
    {
        const std::string path = root + name;
        const norva::Bitmap bitmap(path, norva::Format::RGBA8888);
        ASSERT_TRUE(bitmap.status().success) << name << ": " << bitmap.status().info;
        ASSERT_GT(bitmap.width, 0) << name;
        EXPECT_TRUE(imagekit::sameImage(imagekit::fromSurface(bitmap), imagekit::decodeStb(imagekit::readFile(path))))
            << name;
    }
}
