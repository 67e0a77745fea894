#pragma once

// Shared between the Blitter's selection and its converters.

#include <norva/image/blitter.hpp>

namespace norva
{
    // The scalar converters (blitter_generic.cpp).
    Blitter::RectFunction getCopyRect();      // memmove rows of equal formats
    Blitter::RectFunction getCustomRows();    // drives Blitter::rowKernel
    Blitter::RectFunction getScalarUNorm(int sourceBytes, int destBytes);
    Blitter::RectFunction getFloatToUNorm(bool half, bool luma);
    Blitter::RectFunction getToFloat(bool unormSource, bool srcHalf, bool dstHalf);

    // The SSE2 UNORM converter for pixels of sourceBytes and destBytes (1 to 4 each).
    Blitter::RectFunction getSSE2UNorm(int sourceBytes, int destBytes);

    // Whether trunc(f32(v) * (f32(dmax) / f32(smax)) + 0.5f) equals the exact nearest
    // (2 v dmax + smax) / (2 smax) for every v of a srcBits field into a dstBits field.
    bool floatFormMatches(int srcBits, int dstBits);

} // namespace norva
