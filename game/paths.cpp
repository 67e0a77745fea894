#include "game/paths.hpp"

#include <algorithm>

std::string hostPath(const std::string& gamePath)
{
    std::string path = gamePath;
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}
