#pragma once

// Endpoint fitting shared by the block encoders: the luminance weights of the BC1-BC3
// colour fit (block_dxt_color.hpp), and a single-channel pair fitted to values on the BC3
// alpha / BC4 / BC5 palettes. Pure functions on stack data, deterministic: every search
// keeps the earlier candidate on a tie.

#include <norva/core/configure.hpp>

namespace norva
{
    // Luminance weights of red, green and blue relative to green (Rec. 709 / 0.7154), which
    // the BC1 colour fit measures in, and their inverses.
    inline constexpr float bc1LumaWeights[3] = { 0.29703665f, 1.0f, 0.10078278f };
    inline constexpr float bc1LumaInverse[3] = { 3.3665881f, 1.0f, 9.9223299f };

    // Fits the pair x <= y of one channel to 16 values for the interpolated alpha palettes
    // of BC3, BC4 and BC5: steps 8 (eight interpolated values) or 6 (six interpolated values
    // plus the fixed range ends minimum and 1.0, which values at the ends snap to). minimum
    // is 0.0 for unsigned channels and -1.0 for signed ones. Results are clamped to
    // [minimum, 1].
    void refineChannelEndpoints(float& x, float& y, const float values[16], int steps, float minimum);

} // namespace norva
