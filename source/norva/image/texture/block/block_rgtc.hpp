#pragma once

// The channel palette of BC4 and BC5 (RGTC) blocks, shared by their decoders and encoders:
// the encoders pick each texel's index against exactly the values the decoder produces.

#include <norva/core/configure.hpp>

namespace norva
{
    // Endpoints in the eight-value mode when the first byte is greater, else six values
    // and the range's two ends. Weights are single-precision reciprocals, as on GPUs.
    inline void interpolateChannel(float palette[8], float e0, float e1, bool eightValues, float minimum)
    {
        palette[0] = e0;
        palette[1] = e1;
        if (eightValues)
        {
            for (int k = 2; k < 8; ++k)
                palette[k] = (float(8 - k) * e0 + float(k - 1) * e1) * (1.0f / 7.0f);
        }
        else
        {
            for (int k = 2; k < 6; ++k)
                palette[k] = (float(6 - k) * e0 + float(k - 1) * e1) * 0.2f;
            palette[6] = minimum;
            palette[7] = 1.0f;
        }
    }

    inline void channelPaletteUnsigned(float palette[8], const u8* block)
    {
        const u32 b0 = block[0];
        const u32 b1 = block[1];
        interpolateChannel(palette, float(b0) * (1.0f / 255.0f), float(b1) * (1.0f / 255.0f), b0 > b1, 0.0f);
    }

    // The mode compares the raw signed bytes; -128 and -127 both mean -1.0.
    inline void channelPaletteSigned(float palette[8], const u8* block)
    {
        const s32 b0 = s8(block[0]);
        const s32 b1 = s8(block[1]);
        const float e0 = float(b0 == -128 ? -127 : b0) * (1.0f / 127.0f);
        const float e1 = float(b1 == -128 ? -127 : b1) * (1.0f / 127.0f);
        interpolateChannel(palette, e0, e1, b0 > b1, -1.0f);
    }

} // namespace norva
