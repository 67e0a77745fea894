// The BC4/BC5 index search on SSE2: four values per vector against each palette value in
// turn, the same distances and strict comparisons as the scalar file (block_bc4_indices.hpp).

#include <emmintrin.h>

#include "block_bc4_indices.hpp"

namespace norva::bc4indices::sse2
{
    u64 nearestIndices(const float palette[8], const float values[16])
    {
        const __m128 sign = _mm_set1_ps(-0.0f);
        __m128i index[4];
        for (int g = 0; g < 4; ++g)
        {
            const __m128 v = _mm_loadu_ps(values + 4 * g);
            __m128 best = _mm_set1_ps(100000.0f);
            index[g] = _mm_setzero_si128();
            for (int k = 0; k < 8; ++k)
            {
                const __m128 distance = _mm_andnot_ps(sign, _mm_sub_ps(_mm_set1_ps(palette[k]), v));
                const __m128 closer = _mm_cmplt_ps(distance, best);
                best = _mm_min_ps(distance, best);
                index[g] = _mm_or_si128(_mm_andnot_si128(_mm_castps_si128(closer), index[g]),
                                        _mm_and_si128(_mm_castps_si128(closer), _mm_set1_epi32(k)));
            }
        }

        // 16 indices as bytes, then three bits each
        alignas(16) u8 bytes[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(bytes),
                        _mm_packs_epi16(_mm_packs_epi32(index[0], index[1]), _mm_packs_epi32(index[2], index[3])));
        u64 indices = 0;
        for (int i = 0; i < 16; ++i)
            indices |= u64(bytes[i]) << (3 * i);
        return indices;
    }

} // namespace norva::bc4indices::sse2
