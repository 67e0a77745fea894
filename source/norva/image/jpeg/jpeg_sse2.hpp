#pragma once

// SSE2 helpers the JPEG transforms share.

#if defined(__SSE2__)

#include <emmintrin.h>

namespace norva::jpeg
{
    inline void interleave16(__m128i& a, __m128i& b)
    {
        const __m128i t = a;
        a = _mm_unpacklo_epi16(a, b);
        b = _mm_unpackhi_epi16(t, b);
    }

    // Transposes eight rows of eight 16-bit values in place.
    inline void transpose8x8(__m128i* row)
    {
        interleave16(row[0], row[4]);
        interleave16(row[1], row[5]);
        interleave16(row[2], row[6]);
        interleave16(row[3], row[7]);
        interleave16(row[0], row[2]);
        interleave16(row[1], row[3]);
        interleave16(row[4], row[6]);
        interleave16(row[5], row[7]);
        interleave16(row[0], row[1]);
        interleave16(row[2], row[3]);
        interleave16(row[4], row[5]);
        interleave16(row[6], row[7]);
    }

} // namespace norva::jpeg

#endif
