// The terrain's GL objects. Only this file calls GL: the data part runs without a context.

#include <initializer_list>

#include "terrain.hpp"

void Terrain::releaseGL()
{
    if (program.program)
    {
        glDeleteProgram(program.program);
        program.program = 0;
    }
    for (GLuint* name : { &displacementTex, &normalTex, &grass->glName })
    {
        if (*name)
        {
            glDeleteTextures(1, name);
            *name = 0;
        }
    }
    glReady = 0;
}
