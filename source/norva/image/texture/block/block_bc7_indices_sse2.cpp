// The BC7 index search on SSE2 (block_bc7_indices.hpp). Texels and entries are held four
// times over as 16-bit red-green and blue-alpha pairs: pmaddwd then gives sixteen times each
// texel's error, whose low four bits take the entry's index, so that the smallest key (exact
// as a float, below 2^22) is the nearest entry with the lower index on a tie, the same
// choice as the scalar file's strict comparison.

#include "block_bc7_indices_simd.hpp"

namespace norva::bc7indices::sse2
{
    int nearestEntries(const u8 (*texels)[4], int count, const int* a, const int* b, const int* weights, int entries,
                       u8* indices)
    {
        const __m128i zero = _mm_setzero_si128();
        const __m128i ends0 = simd::endsOf(a);
        const __m128i ends1 = simd::endsOf(b);
        // the entries' channels, four times their value: red-green and blue-alpha broadcast
        __m128i rg[16];
        __m128i ba[16];
        for (int j = 0; j < entries; ++j)
        {
            const __m128i scaled = simd::scaledEntry(ends0, ends1, weights[j]);
            rg[j] = _mm_shuffle_epi32(scaled, 0x00);
            ba[j] = _mm_shuffle_epi32(scaled, 0x55);
        }

        alignas(16) int keys[16];
        const int groups = (count + 3) >> 2;
        for (int g = 0; g < groups; ++g)
        {
            // [r0g0 b0a0 r1g1 b1a1 ...] as words to [r0g0 r1g1 r2g2 r3g3 b0a0 b1a1 b2a2 b3a3]
            __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(texels[g * 4]));
            four = _mm_shufflehi_epi16(_mm_shufflelo_epi16(four, _MM_SHUFFLE(3, 1, 2, 0)), _MM_SHUFFLE(3, 1, 2, 0));
            four = _mm_shuffle_epi32(four, _MM_SHUFFLE(3, 1, 2, 0));
            const __m128i trg = _mm_slli_epi16(_mm_unpacklo_epi8(four, zero), 2);
            const __m128i tba = _mm_slli_epi16(_mm_unpackhi_epi8(four, zero), 2);
            __m128 best = _mm_set1_ps(float(1 << 24));
            for (int j = 0; j < entries; ++j)
            {
                const __m128i drg = _mm_sub_epi16(trg, rg[j]);
                const __m128i dba = _mm_sub_epi16(tba, ba[j]);
                const __m128i key = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(drg, drg), _mm_madd_epi16(dba, dba)),
                                                  _mm_set1_epi32(j));
                best = _mm_min_ps(best, _mm_cvtepi32_ps(key));
            }
            _mm_store_si128(reinterpret_cast<__m128i*>(keys + g * 4), _mm_cvtps_epi32(best));
        }
        return simd::takeKeys(keys, count, indices);
    }

} // namespace norva::bc7indices::sse2
