// The BC7 shape fits on AVX2 (block_bc7_lines.hpp): fitLine's steps on eight regions at a
// time, one per lane, so the fits are the scalar ones bit for bit. fitShapes adds up each
// region's sums in the lanes too, from per-row tables looked up by the shapes' masks. No fused
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

        // The sums a fit over N channels reads: count, channels, products.
        constexpr int readRGB[10] = { 0, 1, 2, 3, 5, 6, 7, 9, 10, 12 };
        constexpr int readRGBA[15] = { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14 };

        template <int N>
        constexpr const auto& sumsRead()
        {
            if constexpr (N == 3)
                return readRGB;
            else
                return readRGBA;
        }

        // The fits over the first N channels of eight regions from their sums s[k], one lane
        // per region, each step that of fitLine<N>, to fits[0], fits[stride], ... (Helpers are functions: lambdas would not inherit the
        // kernels' target. Inlined into its callers it made the encoder slower by a tenth on the
        // photograph, though it ran fewer instructions.)
        template <int N>
        NORVA_AVX2_KERNEL __attribute__((noinline)) void fitEight(const __m256i* s, LineFit* fits, int stride)
        {
            const __m256 zero = _mm256_setzero_ps();
            const __m256i counts = s[0];
            __m256 f[16];
            for (int k : sumsRead<N>())
                f[k] = _mm256_cvtepi32_ps(s[k]);
            const __m256 inverse = _mm256_div_ps(_mm256_set1_ps(1.0f), f[0]);
            __m256 cov[N][N];
            for (int i = 0; i < N; ++i)
                for (int j = i; j < N; ++j)
                    cov[i][j] = cov[j][i] = _mm256_sub_ps(
                        f[productIndex[i][j]], _mm256_mul_ps(_mm256_mul_ps(f[1 + i], f[1 + j]), inverse));
            __m256 total = zero;
            for (int i = 0; i < N; ++i)
                total = _mm256_add_ps(total, cov[i][i]);

            // the widest channel's row, the first of equal ones
            __m256 largest = cov[0][0];
            __m256 v[N];
            for (int j = 0; j < N; ++j)
                v[j] = cov[0][j];
            for (int i = 1; i < N; ++i)
            {
                const __m256 wider = _mm256_cmp_ps(cov[i][i], largest, _CMP_GT_OQ);
                largest = select(wider, cov[i][i], largest);
                for (int j = 0; j < N; ++j)
                    v[j] = select(wider, cov[i][j], v[j]);
            }

            // flat: count times the sum of squares is the square of the sum (exact: below 2^24)
            __m256 flat = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
            for (int c = 0; c < N; ++c)
                flat = _mm256_and_ps(flat, _mm256_cmp_ps(_mm256_mul_ps(f[productIndex[c][c]], f[0]),
                                                         _mm256_mul_ps(f[1 + c], f[1 + c]), _CMP_EQ_OQ));

            // w = cov v; vv and v.w, each sum from 0 in channel order
            __m256 vv = zero;
            __m256 vcv = zero;
            for (int i = 0; i < N; ++i)
            {
                __m256 w = zero;
                for (int j = 0; j < N; ++j)
                    w = _mm256_add_ps(w, _mm256_mul_ps(cov[i][j], v[j]));
                vv = _mm256_add_ps(vv, _mm256_mul_ps(v[i], v[i]));
                vcv = _mm256_add_ps(vcv, _mm256_mul_ps(v[i], w));
            }
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
            {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(fits + k * stride), _mm256_castsi256_si128(out[k]));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(fits + (4 + k) * stride), _mm256_extracti128_si256(out[k], 1));
            }
        }

        // One row's sums of every subset of its texels, as a table the lanes look up by
        // subset: for each sum, subsets 0-7 and 8-15.
        struct RowTable
        {
            __m256i low[16];
            __m256i high[16];
        };

        // From the row's single texels, rows[r][1], [2], [4] and [8]: a subset's lane adds
        // those of its bits (integers: any order gives the same sums).
        template <int N>
        NORVA_AVX2_KERNEL void makeRowTable(const int (*row)[16], RowTable& table)
        {
            const __m256i bit0 = _mm256_setr_epi32(0, -1, 0, -1, 0, -1, 0, -1);
            const __m256i bit1 = _mm256_setr_epi32(0, 0, -1, -1, 0, 0, -1, -1);
            const __m256i bit2 = _mm256_setr_epi32(0, 0, 0, 0, -1, -1, -1, -1);
            for (int k : sumsRead<N>())
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
        template <int N>
        NORVA_AVX2_KERNEL void sumMasks(const RowTable* tables, __m256i masks, __m256i* sums)
        {
            // a lookup reads the low three bits of each lane's index; the fourth, moved to the
            // sign, picks the half
            const __m256i index[4] = { masks, _mm256_srli_epi32(masks, 4), _mm256_srli_epi32(masks, 8),
                                       _mm256_srli_epi32(masks, 12) };
            const __m256 high[4] = {
                _mm256_castsi256_ps(_mm256_slli_epi32(masks, 28)), _mm256_castsi256_ps(_mm256_slli_epi32(masks, 24)),
                _mm256_castsi256_ps(_mm256_slli_epi32(masks, 20)), _mm256_castsi256_ps(_mm256_slli_epi32(masks, 16))
            };
            for (int k : sumsRead<N>())
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

        template <int N>
        NORVA_AVX2_KERNEL void fitShapesOver(const int (*rows)[16][16], const int* whole, const u16* masks,
                                             int regions, int shapes, LineFit* fits)
        {
            RowTable tables[4];
            for (int r = 0; r < 4; ++r)
                makeRowTable<N>(rows[r], tables[r]);
            __m256i all[16];
            for (int k : sumsRead<N>())
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
                for (int k : sumsRead<N>())
                    zero[k] = all[k];
                for (int j = 1; j < regions; ++j)
                {
                    const __m256i mask = j == 1 ? _mm256_and_si256(masks12, _mm256_set1_epi32(0xFFFF))
                                                : _mm256_srli_epi32(masks12, 16);
                    __m256i sums[16];
                    sumMasks<N>(tables, mask, sums);
                    for (int k : sumsRead<N>())
                        zero[k] = _mm256_sub_epi32(zero[k], sums[k]);
                    fitEight<N>(sums, fits + first * regions + j, regions);
                }
                fitEight<N>(zero, fits + first * regions, regions);
            }
        }

    } // namespace

    void fitShapes(const int (*rows)[16][16], const int* whole, const u16* masks, int regions, int shapes,
                   int channels, LineFit* fits)
    {
        if (channels == 4)
            fitShapesOver<4>(rows, whole, masks, regions, shapes, fits);
        else
            fitShapesOver<3>(rows, whole, masks, regions, shapes, fits);
    }

} // namespace norva::bc7lines::avx2
