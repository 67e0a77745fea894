#pragma once

#include <cstddef>

#include <norva/core/configure.hpp>

// binary16 as the terrain caches store it: glm's conversion (round to nearest, halfway cases
// away from zero, overflow to infinity, tiny magnitudes to signed zero, NaN kept), in
// little-endian byte order whatever the host's.
namespace terrain_half
{
    norva::u16 pack(float value);
    float unpack(norva::u16 value);

    // out[i] = pack(values[i]) as little-endian bytes, and values[i] becomes the float of that
    // half, so that the array in memory equals what a later read of out gives back.
    void packRounding(float* values, norva::u16* out, std::size_t count);

    // out[i] = the float of the little-endian half in[i].
    void unpack(const norva::u16* in, float* out, std::size_t count);

} // namespace terrain_half
