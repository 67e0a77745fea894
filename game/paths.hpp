#pragma once

#include <string>

// The game names its files with Windows separators ("shaders\terrain-vs.glsl",
// "Textures\DTM Austria 50m LZW.tif"); every file the game opens goes through here.
std::string hostPath(const std::string& gamePath);
