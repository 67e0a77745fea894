// The colour half of BC1-BC3 blocks on SSE2: one block row of four texels per vector, the
// same operations in the same order as the scalar file, so the same bytes
// (block_dxt_color.hpp).

#include <cfloat>

#include <emmintrin.h>

#include "block_dxt_color.hpp"

namespace norva::dxtcolor::sse2
{
    namespace
    {
        // (0 + 2) + (1 + 3), as dxtcolor::sumLanes
        inline float sumLanes(__m128 v)
        {
            const __m128 t = _mm_add_ps(v, _mm_movehl_ps(v, v));
            return _mm_cvtss_f32(_mm_add_ss(t, _mm_shuffle_ps(t, t, 1)));
        }

        inline float minLanes(__m128 v)
        {
            const __m128 t = _mm_min_ps(v, _mm_movehl_ps(v, v));
            return _mm_cvtss_f32(_mm_min_ss(t, _mm_shuffle_ps(t, t, 1)));
        }

        inline float maxLanes(__m128 v)
        {
            const __m128 t = _mm_max_ps(v, _mm_movehl_ps(v, v));
            return _mm_cvtss_f32(_mm_max_ss(t, _mm_shuffle_ps(t, t, 1)));
        }

        inline __m128 select(__m128 mask, __m128 a, __m128 b)
        {
            return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
        }

        // The steps of four texels on the segment from origin, dir in step units.
        inline __m128i stepsOf(const __m128 c[3], const float origin[3], const float dir[3], __m128 top)
        {
            __m128 t = _mm_mul_ps(_mm_sub_ps(c[0], _mm_set1_ps(origin[0])), _mm_set1_ps(dir[0]));
            t = _mm_add_ps(t, _mm_mul_ps(_mm_sub_ps(c[1], _mm_set1_ps(origin[1])), _mm_set1_ps(dir[1])));
            t = _mm_add_ps(t, _mm_mul_ps(_mm_sub_ps(c[2], _mm_set1_ps(origin[2])), _mm_set1_ps(dir[2])));
            t = _mm_min_ps(_mm_max_ps(t, _mm_setzero_ps()), top);
            return _mm_cvttps_epi32(_mm_add_ps(t, _mm_set1_ps(0.5f)));
        }

        // The steps (0..3) of the 16 texels as bytes, texel i in byte i.
        inline __m128i packSteps(const __m128i j[4])
        {
            return _mm_packs_epi16(_mm_packs_epi32(j[0], j[1]), _mm_packs_epi32(j[2], j[3]));
        }

        // 16 bits to the even bits of a word
        inline u32 spreadBits(u32 v)
        {
            v = (v | (v << 8)) & 0x00FF00FFu;
            v = (v | (v << 4)) & 0x0F0F0F0Fu;
            v = (v | (v << 2)) & 0x33333333u;
            return (v | (v << 1)) & 0x55555555u;
        }

    } // namespace

    void encodeColorBlockBC1(u8* output, const u8* source, s32 stride, bool colorKey)
    {
        __m128 snapped[4][3];
        __m128 exact[4][3];
        __m128 opaque[4];
        __m128i transparentMask[4];
        int transparentBits = 0;
        const __m128i byteMask = _mm_set1_epi32(0xFF);
        const __m128i zero = _mm_setzero_si128();
        for (int g = 0; g < 4; ++g)
        {
            const __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + ptrdiff_t(g) * stride));
            const __m128i channels[3] = { _mm_and_si128(row, byteMask),
                                          _mm_and_si128(_mm_srli_epi32(row, 8), byteMask),
                                          _mm_and_si128(_mm_srli_epi32(row, 16), byteMask) };
            transparentMask[g] = colorKey ? _mm_cmpeq_epi32(_mm_srli_epi32(row, 24), zero) : zero;
            opaque[g] = _mm_castsi128_ps(_mm_cmpeq_epi32(transparentMask[g], zero));
            transparentBits |= _mm_movemask_ps(_mm_castsi128_ps(transparentMask[g])) << (4 * g);
            for (int c = 0; c < 3; ++c)
            {
                const __m128 v = _mm_cvtepi32_ps(channels[c]);
                const __m128i grid = _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, _mm_set1_ps(snapScale[c])), _mm_set1_ps(0.5f)));
                snapped[g][c] = _mm_mul_ps(_mm_cvtepi32_ps(grid), _mm_set1_ps(gridWeight[c]));
                exact[g][c] = _mm_mul_ps(v, _mm_set1_ps(byteWeight[c]));
            }
        }
        if (transparentBits == 0xFFFF)
        {
            writeBlock(output, 0x0000, 0xFFFF, 0xFFFFFFFF);
            return;
        }
        const int steps = transparentBits ? 3 : 4;
        const __m128 top = _mm_set1_ps(float(steps - 1));
        const __m128 stepWeight = _mm_set1_ps(1.0f / float(steps - 1));

        // the box of the fitted texels
        float x[3];
        float y[3];
        float box = 0.0f;
        for (int c = 0; c < 3; ++c)
        {
            __m128 low = _mm_set1_ps(FLT_MAX);
            __m128 high = _mm_set1_ps(-FLT_MAX);
            for (int g = 0; g < 4; ++g)
            {
                low = _mm_min_ps(low, select(opaque[g], snapped[g][c], _mm_set1_ps(FLT_MAX)));
                high = _mm_max_ps(high, select(opaque[g], snapped[g][c], _mm_set1_ps(-FLT_MAX)));
            }
            x[c] = minLanes(low);
            y[c] = maxLanes(high);
            box += (y[c] - x[c]) * (y[c] - x[c]);
        }

        if (box >= FLT_MIN)
        {
            // which diagonal of the box the texels spread along
            __m128 mid[3];
            __m128 axis[3];
            for (int c = 0; c < 3; ++c)
            {
                mid[c] = _mm_set1_ps((x[c] + y[c]) * 0.5f);
                axis[c] = _mm_set1_ps((y[c] - x[c]) / box);
            }
            __m128 sums[4] = { _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps() };
            for (int g = 0; g < 4; ++g)
            {
                __m128 p[3];
                for (int c = 0; c < 3; ++c)
                    p[c] = _mm_and_ps(opaque[g], _mm_mul_ps(_mm_sub_ps(snapped[g][c], mid[c]), axis[c]));
                const __m128 plus = _mm_add_ps(p[0], p[1]);
                const __m128 minus = _mm_sub_ps(p[0], p[1]);
                const __m128 dots[4] = { _mm_add_ps(plus, p[2]), _mm_sub_ps(plus, p[2]), _mm_add_ps(minus, p[2]),
                                         _mm_sub_ps(minus, p[2]) };
                for (int k = 0; k < 4; ++k)
                    sums[k] = _mm_add_ps(sums[k], _mm_mul_ps(dots[k], dots[k]));
            }
            const float diagonal[4] = { sumLanes(sums[0]), sumLanes(sums[1]), sumLanes(sums[2]), sumLanes(sums[3]) };
            chooseDiagonal(x, y, diagonal);
        }

        if (box >= shortSegment)
        {
            __m128 totalLanes[3] = { _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps() };
            for (int g = 0; g < 4; ++g)
                for (int c = 0; c < 3; ++c)
                    totalLanes[c] = _mm_add_ps(totalLanes[c], _mm_and_ps(opaque[g], snapped[g][c]));
            const float total[3] = { sumLanes(totalLanes[0]), sumLanes(totalLanes[1]), sumLanes(totalLanes[2]) };
            const float count = float(16 - __builtin_popcount(u32(transparentBits)));

            __m128i previous = zero;
            for (int pass = 0; pass < maxPasses; ++pass)
            {
                float dir[3];
                if (!stepDirection(dir, x, y, float(steps - 1)))
                    break;

                __m128 w = _mm_setzero_ps();
                __m128 ww = _mm_setzero_ps();
                __m128 wc[3] = { _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps() };
                __m128i j[4];
                for (int g = 0; g < 4; ++g)
                {
                    j[g] = stepsOf(snapped[g], x, dir, top);
                    const __m128 weight = _mm_and_ps(opaque[g], _mm_mul_ps(_mm_cvtepi32_ps(j[g]), stepWeight));
                    w = _mm_add_ps(w, weight);
                    ww = _mm_add_ps(ww, _mm_mul_ps(weight, weight));
                    for (int c = 0; c < 3; ++c)
                        wc[c] = _mm_add_ps(wc[c], _mm_mul_ps(weight, snapped[g][c]));
                }
                const __m128i assignment = packSteps(j);
                if (pass && _mm_movemask_epi8(_mm_cmpeq_epi8(assignment, previous)) == 0xFFFF)
                    break;
                previous = assignment;

                const PassSums s = { sumLanes(w), sumLanes(ww), { sumLanes(wc[0]), sumLanes(wc[1]), sumLanes(wc[2]) } };
                if (!solveEndpoints(x, y, s, count, total))
                    break;
            }
        }

        Endpoints e;
        if (!packEndpoints(e, output, x, y, steps))
            return;
        __m128i j[4];
        for (int g = 0; g < 4; ++g)
            j[g] = _mm_or_si128(stepsOf(exact[g], e.origin, e.dir, top), _mm_and_si128(transparentMask[g], _mm_set1_epi32(3)));
        const __m128i bytes = packSteps(j);
        const u32 low = u32(_mm_movemask_epi8(_mm_slli_epi16(bytes, 7)));
        const u32 high = u32(_mm_movemask_epi8(_mm_slli_epi16(bytes, 6)));
        writeBlock(output, e.color0, e.color1, mapSteps(spreadBits(low) | (spreadBits(high) << 1), steps));
    }

} // namespace norva::dxtcolor::sse2
