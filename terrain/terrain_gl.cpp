// The terrain's GL objects. Only this file calls GL: the data part runs without a context.

#include "terrain.hpp"

void Terrain::releaseGL()
{
    const GLuint textures[2] = { displacementTex, normalTex };
    if (textures[0] || textures[1])
    {
        glDeleteTextures(2, textures);
    }
    displacementTex = 0;
    normalTex = 0;
    glReady = 0;
}
