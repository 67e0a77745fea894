#pragma once

// Helpers shared by the compression methods (not part of the public interface).

#include <algorithm>

namespace norva::detail
{
    inline int clampLevel(int level, int low, int high)
    {
        return std::clamp(level, low, high);
    }

} // namespace norva::detail
