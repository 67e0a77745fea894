#pragma once

#include <string>

// True when libtiff opens the model; says nothing of what it holds. Quiet: the import's
// own open reports what libtiff has to say about the file.
bool terrainModelOpens(const std::string& path);
