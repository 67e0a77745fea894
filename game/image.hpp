#pragma once

#include <string>

#include <GL/glew.h>
#include <norva/image/surface.hpp>

// Decodes an image file into 32-bit RGBA 8888 through the image library. An extension with
// no decoder, or a file that does not decode, gives an empty bitmap and a console line; a
// file that cannot be opened throws norva::Exception.
norva::Bitmap loadImageRGBA(const std::string& gamePath);

// glTexImage2D of level 0 of target (a 2D target or a cube face) from an RGBA 8888 image;
// an empty image uploads as 0 x 0.
void uploadImageRGBA(GLenum target, const norva::Surface& image);
