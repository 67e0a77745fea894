#pragma once

#include <glm/glm.hpp>

// One placed object of a level: what the scene and the camera use of it. Meshes, material
// textures and animations arrive with the level parser, which fills the scene's map.
class LevelObject
{
public:
    int index = -1;
    glm::mat4 pivot{1.0f};
    glm::mat4 model{1.0f};
};
