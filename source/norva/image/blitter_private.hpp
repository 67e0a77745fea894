#pragma once

// Shared between the Blitter's selection and its converters.

#include <norva/image/blitter.hpp>

namespace norva
{
    // The SSE2 UNORM converter for pixels of sourceBytes and destBytes (1 to 4 each).
    Blitter::RectFunction getSSE2UNorm(int sourceBytes, int destBytes);

    // Whether trunc(f32(v) * (f32(dmax) / f32(smax)) + 0.5f) equals the exact nearest
    // (2 v dmax + smax) / (2 smax) for every v of a srcBits field into a dstBits field.
    bool floatFormMatches(int srcBits, int dstBits);

} // namespace norva
