// The BC7 shape fits on SSE2 (block_bc7_lines.hpp): four regions at a time, one per lane,
// each step the scalar fitLine<3> takes in the same order, the choices made with masks.

#include <emmintrin.h>

#include "block_bc7_lines.hpp"

namespace norva::bc7lines::sse2
{
    namespace
    {
        __m128 select(__m128 mask, __m128 yes, __m128 no)
        {
            return _mm_or_ps(_mm_and_ps(mask, yes), _mm_andnot_ps(mask, no));
        }

        // sums [k..k+3] of four regions, transposed: one vector per sum, one lane per region
        void transpose(const int (*sums)[16], int k, __m128* out)
        {
            __m128 r0 = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sums[0] + k)));
            __m128 r1 = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sums[1] + k)));
            __m128 r2 = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sums[2] + k)));
            __m128 r3 = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sums[3] + k)));
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            out[0] = r0;
            out[1] = r1;
            out[2] = r2;
            out[3] = r3;
        }

    } // namespace

    void fitLines(const int (*sums)[16], int count, LineFit* fits)
    {
        const __m128 zero = _mm_setzero_ps();
        for (int n = 0; n < count; n += 4)
        {
            // 0 count, 1-3 red green blue, 5 rr, 6 rg, 7 rb, 9 gg, 10 gb, 12 bb (as ints)
            __m128 s[16];
            transpose(sums + n, 0, s);
            transpose(sums + n, 4, s + 4);
            transpose(sums + n, 8, s + 8);
            transpose(sums + n, 12, s + 12);
            const __m128i counts = _mm_castps_si128(s[0]);
            __m128 f[16];
            for (int k = 0; k < 16; ++k)
                f[k] = _mm_cvtepi32_ps(_mm_castps_si128(s[k]));
            const __m128 inverse = _mm_div_ps(_mm_set1_ps(1.0f), f[0]);
            auto covariance = [&](int i, int j) {
                return _mm_sub_ps(f[productIndex[i][j]], _mm_mul_ps(_mm_mul_ps(f[1 + i], f[1 + j]), inverse));
            };
            const __m128 c00 = covariance(0, 0);
            const __m128 c01 = covariance(0, 1);
            const __m128 c02 = covariance(0, 2);
            const __m128 c11 = covariance(1, 1);
            const __m128 c12 = covariance(1, 2);
            const __m128 c22 = covariance(2, 2);
            __m128 total = _mm_add_ps(_mm_add_ps(_mm_add_ps(zero, c00), c11), c22);

            // the widest channel, the first of equal ones
            const __m128 widest1 = _mm_cmpgt_ps(c11, c00);
            const __m128 largest = select(widest1, c11, c00);
            const __m128 widest2 = _mm_cmpgt_ps(c22, largest);
            const __m128 pick1 = _mm_andnot_ps(widest2, widest1);
            const __m128 v0 = select(widest2, c02, select(pick1, c01, c00));
            const __m128 v1 = select(widest2, c12, select(pick1, c11, c01));
            const __m128 v2 = select(widest2, c22, select(pick1, c12, c02));

            // flat: count times the sum of squares is the square of the sum (exact: below 2^24)
            __m128 flat = _mm_castsi128_ps(_mm_set1_epi32(-1));
            for (int c = 0; c < 3; ++c)
                flat = _mm_and_ps(flat, _mm_cmpeq_ps(_mm_mul_ps(f[productIndex[c][c]], f[0]),
                                                     _mm_mul_ps(f[1 + c], f[1 + c])));

            const __m128 w0 = _mm_add_ps(_mm_add_ps(_mm_add_ps(zero, _mm_mul_ps(c00, v0)), _mm_mul_ps(c01, v1)),
                                         _mm_mul_ps(c02, v2));
            const __m128 w1 = _mm_add_ps(_mm_add_ps(_mm_add_ps(zero, _mm_mul_ps(c01, v0)), _mm_mul_ps(c11, v1)),
                                         _mm_mul_ps(c12, v2));
            const __m128 w2 = _mm_add_ps(_mm_add_ps(_mm_add_ps(zero, _mm_mul_ps(c02, v0)), _mm_mul_ps(c12, v1)),
                                         _mm_mul_ps(c22, v2));
            const __m128 vv = _mm_add_ps(_mm_add_ps(_mm_add_ps(zero, _mm_mul_ps(v0, v0)), _mm_mul_ps(v1, v1)),
                                         _mm_mul_ps(v2, v2));
            const __m128 vcv = _mm_add_ps(_mm_add_ps(_mm_add_ps(zero, _mm_mul_ps(v0, w0)), _mm_mul_ps(v1, w1)),
                                          _mm_mul_ps(v2, w2));
            const __m128 positive = _mm_cmpgt_ps(vv, zero);
            __m128 major = _mm_and_ps(positive, _mm_div_ps(vcv, select(positive, vv, _mm_set1_ps(1.0f))));
            major = _mm_min_ps(major, total); // major < total ? major : total

            // two texels, or no spread: the endpoints can sit on them
            const __m128 two = _mm_or_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(counts, _mm_set1_epi32(2))),
                                         _mm_cmpngt_ps(total, zero));
            const __m128 clamped = _mm_and_ps(_mm_cmpgt_ps(total, zero), total);
            total = select(two, clamped, total);
            major = select(two, clamped, major);
            // one texel: nothing to fit
            const __m128 one = _mm_castsi128_ps(_mm_cmplt_epi32(counts, _mm_set1_epi32(2)));
            total = _mm_andnot_ps(one, total);
            major = _mm_andnot_ps(one, major);
            flat = _mm_or_ps(flat, one);

            alignas(16) int countLanes[4];
            alignas(16) float totalLanes[4];
            alignas(16) float majorLanes[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(countLanes), counts);
            _mm_store_ps(totalLanes, total);
            _mm_store_ps(majorLanes, major);
            const int flatLanes = _mm_movemask_ps(flat);
            for (int k = 0; k < 4; ++k)
            {
                fits[n + k].count = countLanes[k];
                fits[n + k].total = totalLanes[k];
                fits[n + k].major = majorLanes[k];
                fits[n + k].flat = (flatLanes >> k) & 1;
            }
        }
    }

    void fitShapes(const int (*rows)[16][16], const int* whole, const u16* masks, int regions, int shapes,
                   int channels, LineFit* fits)
    {
        fitShapesThrough(fitLines, rows, whole, masks, regions, shapes, channels, fits);
    }

} // namespace norva::bc7lines::sse2
