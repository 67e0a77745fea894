#include "game/image.hpp"

#include <cstdio>

#include "game/paths.hpp"

norva::Bitmap loadImageRGBA(const std::string& gamePath)
{
    norva::Bitmap bitmap(hostPath(gamePath), norva::Format::RGBA8888);
    if (!bitmap.image)
    {
        std::fprintf(stderr, "ERROR: could not load %s\n", gamePath.c_str());
        if (!bitmap.status().info.empty())
            std::fprintf(stderr, "  %s\n", bitmap.status().info.c_str());
    }
    return bitmap;
}

void uploadImageRGBA(GLenum target, const norva::Surface& image)
{
    // rows may be padded; GL reads them at the surface's own stride
    const int rowPixels = image.stride / 4;
    const bool padded = image.image && image.stride > 0 && rowPixels != image.width;
    if (padded)
        glPixelStorei(GL_UNPACK_ROW_LENGTH, rowPixels);
    glTexImage2D(target, 0, GL_RGBA, image.width, image.height, 0, GL_RGBA, GL_UNSIGNED_BYTE, image.image);
    if (padded)
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
}
