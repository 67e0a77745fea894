#pragma once

#include <string>

#include <GL/glew.h>

// Set by the first Texture::load; the terrain builds mipmaps only when it is set.
extern bool texturesLoaded;

// An image file uploaded as a 2D texture.
class Texture
{
public:
    explicit Texture(std::string path);

    // Uploads the image as RGBA 8888 (no filter or wrap parameters). An image that does
    // not decode uploads as 0 x 0 after a console line; a file that cannot be opened
    // throws norva::Exception. Returns true.
    bool load();

    std::string path;
    GLenum target = GL_TEXTURE_2D;
    GLuint glName = 0;
};
