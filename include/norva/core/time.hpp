#pragma once

#include <norva/core/configure.hpp>

namespace norva
{
    // Microseconds since the library was loaded.
    s64 elapsedMicroseconds();

} // namespace norva
