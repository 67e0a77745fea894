// The BC7 index search on AVX2 (block_bc7_indices.hpp): the SSE2 file's steps on eight
// texels at a time, four in each 128-bit lane (its shuffles stay inside the lanes), and the
// keys compared as integers, which orders them as the SSE2 file's floats do.

#include <immintrin.h>

#include "block_bc7_indices_simd.hpp"

#define NORVA_AVX2_KERNEL __attribute__((target("avx2")))

namespace norva::bc7indices::avx2
{
    NORVA_AVX2_KERNEL
    int nearestEntries(const u8 (*texels)[4], int count, const int* a, const int* b, const int* weights, int entries,
                       u8* indices)
    {
        // the entries' channels, four times their value: red-green and blue-alpha broadcast;
        // four entries at a time, one in each 64-bit quarter (the arithmetic of scaledEntry)
        const __m256i ends0 = _mm256_broadcastq_epi64(simd::endsOf(a));
        const __m256i ends1 = _mm256_broadcastq_epi64(simd::endsOf(b));
        __m256i rg[16];
        __m256i ba[16];
        for (int j = 0; j < entries; j += 4)
        {
            __m256i w = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + j)));
            w = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(w, 0), 0);
            const __m256i sum = _mm256_add_epi16(
                _mm256_add_epi16(_mm256_mullo_epi16(ends0, _mm256_sub_epi16(_mm256_set1_epi16(64), w)),
                                 _mm256_mullo_epi16(ends1, w)),
                _mm256_set1_epi16(32));
            const __m256i scaled = _mm256_slli_epi16(_mm256_srli_epi16(sum, 6), 2);
            for (int q = 0; q < 4; ++q)
            {
                rg[j + q] = _mm256_permutevar8x32_epi32(scaled, _mm256_set1_epi32(2 * q));
                ba[j + q] = _mm256_permutevar8x32_epi32(scaled, _mm256_set1_epi32(2 * q + 1));
            }
        }

        alignas(32) int keys[16];
        const __m256i zero8 = _mm256_setzero_si256();
        const int groups = (count + 7) >> 3;
        for (int g = 0; g < groups; ++g)
        {
            __m256i eight = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(texels[g * 8]));
            eight = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(eight, _MM_SHUFFLE(3, 1, 2, 0)), _MM_SHUFFLE(3, 1, 2, 0));
            eight = _mm256_shuffle_epi32(eight, _MM_SHUFFLE(3, 1, 2, 0));
            const __m256i trg = _mm256_slli_epi16(_mm256_unpacklo_epi8(eight, zero8), 2);
            const __m256i tba = _mm256_slli_epi16(_mm256_unpackhi_epi8(eight, zero8), 2);
            __m256i best = _mm256_set1_epi32(1 << 24);
            for (int j = 0; j < entries; ++j)
            {
                const __m256i drg = _mm256_sub_epi16(trg, rg[j]);
                const __m256i dba = _mm256_sub_epi16(tba, ba[j]);
                const __m256i key = _mm256_add_epi32(
                    _mm256_add_epi32(_mm256_madd_epi16(drg, drg), _mm256_madd_epi16(dba, dba)), _mm256_set1_epi32(j));
                best = _mm256_min_epi32(best, key);
            }
            _mm256_store_si256(reinterpret_cast<__m256i*>(keys + g * 8), best);
        }
        return simd::takeKeys(keys, count, indices);
    }

} // namespace norva::bc7indices::avx2
