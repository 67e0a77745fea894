// The BC7 shape fits on AVX2 (block_bc7_lines.hpp): the SSE2 file's steps on eight regions
// at a time, one per lane, so the fits are the scalar ones bit for bit. No fused
// multiply-adds (they round once where the scalar code rounds twice): the kernels ask for
// AVX2 alone and the library is built with -ffp-contract=off (source/norva/image.cmake), so
// even a build for a CPU with FMA keeps every product and sum apart.

#include <immintrin.h>

#include <cstddef>
#include <initializer_list>

#include "block_bc7_lines.hpp"

#define NORVA_AVX2_KERNEL __attribute__((target("avx2")))

namespace norva::bc7lines::avx2
{
    namespace
    {
        // the fits are written as four 32-bit lanes: count, total, major and flat (0 or 1,
        // a bool's byte then zero padding)
        static_assert(sizeof(LineFit) == 16 && offsetof(LineFit, total) == 4 && offsetof(LineFit, major) == 8 &&
                      offsetof(LineFit, flat) == 12 && sizeof(bool) == 1);

        NORVA_AVX2_KERNEL
        __m256 select(__m256 mask, __m256 yes, __m256 no)
        {
            return _mm256_blendv_ps(no, yes, mask);
        }

        // sums [k..k+3] of eight regions, the first four of them in the low halves, the
        // other four in the high halves, transposed: one vector per sum, one lane per region
        NORVA_AVX2_KERNEL
        void transpose(const int* const* rows, int k, __m256i* out)
        {
            __m256i r[4];
            for (int i = 0; i < 4; ++i)
                r[i] = _mm256_inserti128_si256(
                    _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[i] + k))),
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[4 + i] + k)), 1);
            const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]);
            const __m256i t1 = _mm256_unpacklo_epi32(r[2], r[3]);
            const __m256i t2 = _mm256_unpackhi_epi32(r[0], r[1]);
            const __m256i t3 = _mm256_unpackhi_epi32(r[2], r[3]);
            out[0] = _mm256_unpacklo_epi64(t0, t1);
            out[1] = _mm256_unpackhi_epi64(t0, t1);
            out[2] = _mm256_unpacklo_epi64(t2, t3);
            out[3] = _mm256_unpackhi_epi64(t2, t3);
        }

        // (lambdas would not inherit the kernels' target)
        NORVA_AVX2_KERNEL
        __m256 covariance(const __m256* f, __m256 inverse, int i, int j)
        {
            return _mm256_sub_ps(f[productIndex[i][j]], _mm256_mul_ps(_mm256_mul_ps(f[1 + i], f[1 + j]), inverse));
        }

        // 0 + a0 b0 + a1 b1 + a2 b2, summed in that order
        NORVA_AVX2_KERNEL
        __m256 dot(__m256 a0, __m256 a1, __m256 a2, __m256 b0, __m256 b1, __m256 b2)
        {
            const __m256 zero = _mm256_setzero_ps();
            return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(zero, _mm256_mul_ps(a0, b0)), _mm256_mul_ps(a1, b1)),
                                 _mm256_mul_ps(a2, b2));
        }

        // The fits of eight regions from their sums s[k], one lane per region (those read: 0
        // count, 1-3 red green blue, 5 rr, 6 rg, 7 rb, 9 gg, 10 gb, 12 bb); the first `stored`
        // of them (4 or 8) go to fits[0], fits[stride], ...
        NORVA_AVX2_KERNEL __attribute__((always_inline)) inline
        void fitEight(const __m256i* s, LineFit* fits, int stride, int stored)
        {
            const __m256 zero = _mm256_setzero_ps();
            const __m256i counts = s[0];
            __m256 f[16];
            for (int k : { 0, 1, 2, 3, 5, 6, 7, 9, 10, 12 })
                f[k] = _mm256_cvtepi32_ps(s[k]);
            const __m256 inverse = _mm256_div_ps(_mm256_set1_ps(1.0f), f[0]);
            const __m256 c00 = covariance(f, inverse, 0, 0);
            const __m256 c01 = covariance(f, inverse, 0, 1);
            const __m256 c02 = covariance(f, inverse, 0, 2);
            const __m256 c11 = covariance(f, inverse, 1, 1);
            const __m256 c12 = covariance(f, inverse, 1, 2);
            const __m256 c22 = covariance(f, inverse, 2, 2);
            __m256 total = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(zero, c00), c11), c22);

            // the widest channel, the first of equal ones
            const __m256 widest1 = _mm256_cmp_ps(c11, c00, _CMP_GT_OQ);
            const __m256 largest = select(widest1, c11, c00);
            const __m256 widest2 = _mm256_cmp_ps(c22, largest, _CMP_GT_OQ);
            const __m256 pick1 = _mm256_andnot_ps(widest2, widest1);
            const __m256 v0 = select(widest2, c02, select(pick1, c01, c00));
            const __m256 v1 = select(widest2, c12, select(pick1, c11, c01));
            const __m256 v2 = select(widest2, c22, select(pick1, c12, c02));

            // flat: count times the sum of squares is the square of the sum (exact: below 2^24)
            __m256 flat = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
            for (int c = 0; c < 3; ++c)
                flat = _mm256_and_ps(flat, _mm256_cmp_ps(_mm256_mul_ps(f[productIndex[c][c]], f[0]),
                                                         _mm256_mul_ps(f[1 + c], f[1 + c]), _CMP_EQ_OQ));

            const __m256 w0 = dot(c00, c01, c02, v0, v1, v2);
            const __m256 w1 = dot(c01, c11, c12, v0, v1, v2);
            const __m256 w2 = dot(c02, c12, c22, v0, v1, v2);
            const __m256 vv = dot(v0, v1, v2, v0, v1, v2);
            const __m256 vcv = dot(v0, v1, v2, w0, w1, w2);
            const __m256 positive = _mm256_cmp_ps(vv, zero, _CMP_GT_OQ);
            __m256 major = _mm256_and_ps(positive, _mm256_div_ps(vcv, select(positive, vv, _mm256_set1_ps(1.0f))));
            major = _mm256_min_ps(major, total); // major < total ? major : total

            // two texels, or no spread: the endpoints can sit on them
            const __m256 two = _mm256_or_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(counts, _mm256_set1_epi32(2))),
                                            _mm256_cmp_ps(total, zero, _CMP_NGT_UQ));
            const __m256 clamped = _mm256_and_ps(_mm256_cmp_ps(total, zero, _CMP_GT_OQ), total);
            total = select(two, clamped, total);
            major = select(two, clamped, major);
            // one texel: nothing to fit
            const __m256 one = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(2), counts));
            total = _mm256_andnot_ps(one, total);
            major = _mm256_andnot_ps(one, major);
            flat = _mm256_or_ps(flat, one);

            // back to one fit per region: the same 4 x 4 transpose in each half
            const __m256i flags = _mm256_and_si256(_mm256_castps_si256(flat), _mm256_set1_epi32(1));
            const __m256i t0 = _mm256_unpacklo_epi32(counts, _mm256_castps_si256(total));
            const __m256i t1 = _mm256_unpacklo_epi32(_mm256_castps_si256(major), flags);
            const __m256i t2 = _mm256_unpackhi_epi32(counts, _mm256_castps_si256(total));
            const __m256i t3 = _mm256_unpackhi_epi32(_mm256_castps_si256(major), flags);
            const __m256i out[4] = { _mm256_unpacklo_epi64(t0, t1), _mm256_unpackhi_epi64(t0, t1),
                                     _mm256_unpacklo_epi64(t2, t3), _mm256_unpackhi_epi64(t2, t3) };
            for (int k = 0; k < 4; ++k)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(fits + k * stride), _mm256_castsi256_si128(out[k]));
            if (stored == 8)
                for (int k = 0; k < 4; ++k)
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(fits + (4 + k) * stride),
                                     _mm256_extracti128_si256(out[k], 1));
        }

        // The sums a fit reads.
        constexpr int fitted[10] = { 0, 1, 2, 3, 5, 6, 7, 9, 10, 12 };

        // One row's sums of every subset of its texels, as a table the lanes look up by
        // subset: for each sum, subsets 0-7 and 8-15.
        struct RowTable
        {
            __m256i low[16];
            __m256i high[16];
        };

        // From the row's single texels, rows[r][1], [2], [4] and [8]: a subset's lane adds
        // those of its bits (integers: any order gives the same sums).
        NORVA_AVX2_KERNEL
        void makeRowTable(const int (*row)[16], RowTable& table)
        {
            const __m256i bit0 = _mm256_setr_epi32(0, -1, 0, -1, 0, -1, 0, -1);
            const __m256i bit1 = _mm256_setr_epi32(0, 0, -1, -1, 0, 0, -1, -1);
            const __m256i bit2 = _mm256_setr_epi32(0, 0, 0, 0, -1, -1, -1, -1);
            for (int k : fitted)
            {
                const __m256i low = _mm256_add_epi32(
                    _mm256_add_epi32(_mm256_and_si256(bit0, _mm256_set1_epi32(row[1][k])),
                                     _mm256_and_si256(bit1, _mm256_set1_epi32(row[2][k]))),
                    _mm256_and_si256(bit2, _mm256_set1_epi32(row[4][k])));
                table.low[k] = low;
                table.high[k] = _mm256_add_epi32(low, _mm256_set1_epi32(row[8][k]));
            }
        }

        // The sums of the texels in eight masks, one lane per mask: each sum the four rows'
        // lookups added.
        NORVA_AVX2_KERNEL
        void sumMasks(const RowTable* tables, __m256i masks, __m256i* sums)
        {
            // a lookup reads the low three bits of each lane's index; the fourth, moved to the
            // sign, picks the half
            const __m256i index[4] = { masks, _mm256_srli_epi32(masks, 4), _mm256_srli_epi32(masks, 8),
                                       _mm256_srli_epi32(masks, 12) };
            const __m256 high[4] = {
                _mm256_castsi256_ps(_mm256_slli_epi32(masks, 28)), _mm256_castsi256_ps(_mm256_slli_epi32(masks, 24)),
                _mm256_castsi256_ps(_mm256_slli_epi32(masks, 20)), _mm256_castsi256_ps(_mm256_slli_epi32(masks, 16))
            };
            for (int k : fitted)
            {
                __m256i sum = _mm256_setzero_si256();
                for (int r = 0; r < 4; ++r)
                    sum = _mm256_add_epi32(
                        sum, _mm256_castps_si256(_mm256_blendv_ps(
                                 _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(tables[r].low[k], index[r])),
                                 _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(tables[r].high[k], index[r])),
                                 high[r])));
                sums[k] = sum;
            }
        }

    } // namespace

    NORVA_AVX2_KERNEL
    void fitLines(const int (*sums)[16], int count, LineFit* fits)
    {
        for (int n = 0; n < count; n += 8)
        {
            // the last four, when there are four left, fitted twice over and written once
            const int stored = count - n >= 8 ? 8 : 4;
            const int* rows[8];
            for (int k = 0; k < 8; ++k)
                rows[k] = sums[n + (k & (stored - 1))];
            __m256i s[16];
            transpose(rows, 0, s);
            transpose(rows, 4, s + 4);
            transpose(rows, 8, s + 8);
            transpose(rows, 12, s + 12);
            fitEight(s, fits + n, 1, stored);
        }
    }

    NORVA_AVX2_KERNEL
    void fitShapes(const int (*rows)[16][16], const int* whole, const u16* masks, int regions, int shapes,
                   LineFit* fits)
    {
        RowTable tables[4];
        for (int r = 0; r < 4; ++r)
            makeRowTable(rows[r], tables[r]);
        __m256i all[16];
        for (int k : fitted)
            all[k] = _mm256_set1_epi32(whole[k]);
        for (int first = 0; first < shapes; first += 8)
        {
            // regions 1 (and 2): the shapes' masks in the low (and high) halves of 32 bits
            __m256i masks12;
            if (regions == 2)
                masks12 = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(masks + first)));
            else
                masks12 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(masks + first * 2));
            __m256i zero[16];
            for (int k : fitted)
                zero[k] = all[k];
            for (int j = 1; j < regions; ++j)
            {
                const __m256i mask = j == 1 ? _mm256_and_si256(masks12, _mm256_set1_epi32(0xFFFF))
                                            : _mm256_srli_epi32(masks12, 16);
                __m256i sums[16];
                sumMasks(tables, mask, sums);
                for (int k : fitted)
                    zero[k] = _mm256_sub_epi32(zero[k], sums[k]);
                fitEight(sums, fits + first * regions + j, regions, 8);
            }
            fitEight(zero, fits + first * regions, regions, 8);
        }
    }

} // namespace norva::bc7lines::avx2
