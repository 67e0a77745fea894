#include "game/texture.hpp"

#include <utility>

#include "game/image.hpp"

bool texturesLoaded = false;

Texture::Texture(std::string path)
    : path(std::move(path))
{
}

bool Texture::load()
{
    norva::Bitmap bitmap = loadImageRGBA(path);
    glGenTextures(1, &glName);
    glBindTexture(target, glName);
    uploadImageRGBA(target, bitmap);
    glBindTexture(target, 0);
    texturesLoaded = true;
    return true;
}
