#pragma once

#include <string>

// True when libtiff opens the model; says nothing of what it holds.
bool terrainModelOpens(const std::string& path);
