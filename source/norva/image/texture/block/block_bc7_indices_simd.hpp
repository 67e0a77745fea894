#pragma once

// Steps the SSE2 and AVX2 BC7 index searches share (block_bc7_indices.hpp): the palette
// entries built from the endpoints, and the keys (sixteen times the error, plus the entry's
// index) taken apart again.

#include <emmintrin.h>

#include "block_bc7_indices.hpp"

namespace norva::bc7indices::simd
{
    // The endpoints' four channels as 16-bit lanes 0-3.
    inline __m128i endsOf(const int* ends)
    {
        return _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ends)), _mm_setzero_si128());
    }

    // The entry at `weight` between two endpoints (endsOf), each channel four times its value
    // in lanes 0-3 (red, green, blue, alpha).
    inline __m128i scaledEntry(__m128i a, __m128i b, int weight)
    {
        const __m128i w = _mm_set1_epi16(short(weight));
        const __m128i value = _mm_srli_epi16(
            _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(a, _mm_sub_epi16(_mm_set1_epi16(64), w)), _mm_mullo_epi16(b, w)),
                          _mm_set1_epi16(32)),
            6);
        return _mm_slli_epi16(value, 2);
    }

    // The indices of the first `count` keys; returns the sum of their errors.
    inline int takeKeys(const int* keys, int count, u8* indices)
    {
        int sum = 0;
        for (int i = 0; i < count; ++i)
        {
            indices[i] = u8(keys[i] & 15);
            sum += keys[i] >> 4;
        }
        return sum;
    }

} // namespace norva::bc7indices::simd
