#pragma once

// The ASTC block decoder below the table's row function (block_astc.cpp), for the tests and
// the benchmark: one 2D block of width x height texels (4 x 4 to 12 x 12).

#include <norva/core/configure.hpp>

namespace norva
{
    // RGBA 8888 texels, row r at dest + r * stride. Linear rows take the high byte of the
    // 16-bit interpolation (the sRGB rule), HDR components round and saturate; sRGB rows
    // decode HDR content to the error colour. ldrOnly turns HDR partitions and HDR void
    // extents into the error colour in linear rows too (the LDR profile of the format).
    void decodeASTCBlockRGBA8(u8* dest, s32 stride, const u8* block, int width, int height, bool srgb, bool ldrOnly);

    // Four floats per texel, texels in row order. HDR components are the half-float values
    // widened exactly; LDR components are the 16-bit interpolation / 65535.
    void decodeASTCBlockFloat(float* texels, const u8* block, int width, int height, bool ldrOnly);

    namespace astc
    {
        // The two endpoints of one partition (block_astc_endpoints.cpp).
        struct Endpoints
        {
            int e0[4];
            int e1[4];
            bool hdrColor;   // RGB are 12-bit HDR values
            bool hdrAlpha;   // alpha is a 12-bit HDR value
        };

        // Colour endpoint mode cem (0..15) from its 2 * (cem >> 2) + 2 unquantised values.
        void decodeEndpoints(Endpoints& ep, int cem, const u8* values);

    } // namespace astc

} // namespace norva
