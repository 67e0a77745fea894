#pragma once

// Endpoint fitting shared by the block encoders: the colour segment of BC1-BC3 (the region
// fit of block_region.hpp over a whole block), and a single-channel pair fitted to values
// on the BC3 alpha / BC4 / BC5 palettes. Pure functions on stack data, deterministic: every
// search keeps the earlier candidate on a tie.

#include <norva/core/configure.hpp>

#include "block_region.hpp"

namespace norva
{
    // Luminance weights of red, green and blue relative to green (Rec. 709 / 0.7154), which
    // the BC1 colour fit measures in, and their inverses.
    inline constexpr float bc1LumaWeights[3] = { 0.29703665f, 1.0f, 0.10078278f };
    inline constexpr float bc1LumaInverse[3] = { 3.3665881f, 1.0f, 9.9223299f };

    // Fits the segment x..y (steps evenly spaced points, 3 or 4) to the red, green and blue
    // of a block's 16 texels (four floats each, alpha not read): the region fit of the BPTC
    // encoders over the whole block. BC1 measures in luminance-weighted space, where its
    // texels lie inside [0, bc1LumaWeights], so the fit's box is that of the texels.
    inline void optimizeRGBEndpoints(float x[3], float y[3], const float (*texels)[4], int steps)
    {
        static constexpr u8 block[16] = { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15 };
        optimizeRGBRegion(texels, block, 16, steps, x, y);
    }

    // Fits the pair x <= y of one channel to 16 values for the interpolated alpha palettes
    // of BC3, BC4 and BC5: steps 8 (eight interpolated values) or 6 (six interpolated values
    // plus the fixed range ends minimum and 1.0, which values at the ends snap to). minimum
    // is 0.0 for unsigned channels and -1.0 for signed ones. Results are clamped to
    // [minimum, 1].
    void refineChannelEndpoints(float& x, float& y, const float values[16], int steps, float minimum);

} // namespace norva
