// The fast rows that need arithmetic (packed 16-bit formats, half and float) and the
// simplest byte moves, on SSE2. Each loop converts whole vectors and leaves the rest of
// the row to the scalar kernel, which gives the same bytes.

#include <norva/image/blitter.hpp>

#include <emmintrin.h>

#include "blitter_fast_private.hpp"

namespace norva::fast::sse2
{
    namespace
    {

        inline __m128i loadu(const u8* p)
        {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        }

        inline __m128i loadl(const u8* p)
        {
            return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        }

        inline void storeu(u8* p, __m128i v)
        {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
        }

        // 32-bit lanes that hold 16-bit values into 16-bit lanes (no saturation)
        inline __m128i pack32to16(__m128i a, __m128i b)
        {
            a = _mm_srai_epi32(_mm_slli_epi32(a, 16), 16);
            b = _mm_srai_epi32(_mm_slli_epi32(b, 16), 16);
            return _mm_packs_epi32(a, b);
        }

        inline __m128i replicate5(__m128i c)
        {
            return _mm_or_si128(_mm_slli_epi16(c, 3), _mm_srli_epi16(c, 2));
        }

        inline __m128i replicate6(__m128i c)
        {
            return _mm_or_si128(_mm_slli_epi16(c, 2), _mm_srli_epi16(c, 4));
        }

        // bytes b, g, r, a from 16-bit lanes holding b | g << 8 and r | a << 8
        inline void storeBGRA(u8* dest, __m128i bg, __m128i ra)
        {
            storeu(dest, _mm_unpacklo_epi16(bg, ra));
            storeu(dest + 16, _mm_unpackhi_epi16(bg, ra));
        }

        // four floats of one pixel into bytes, lane order kept
        inline __m128i floatToBytes(__m128 v)
        {
            v = _mm_max_ps(v, _mm_setzero_ps()); // a NaN gives the second operand: 0
            v = _mm_min_ps(v, _mm_set1_ps(1.0f));
            v = _mm_add_ps(_mm_mul_ps(v, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f));
            return _mm_cvttps_epi32(v);
        }

        // four pixels (four vectors of 32-bit lanes r, g, b, a) into 16 bytes
        template <bool SwapRB>
        inline __m128i packPixels(__m128i p0, __m128i p1, __m128i p2, __m128i p3)
        {
            if constexpr (SwapRB)
            {
                p0 = _mm_shuffle_epi32(p0, _MM_SHUFFLE(3, 0, 1, 2));
                p1 = _mm_shuffle_epi32(p1, _MM_SHUFFLE(3, 0, 1, 2));
                p2 = _mm_shuffle_epi32(p2, _MM_SHUFFLE(3, 0, 1, 2));
                p3 = _mm_shuffle_epi32(p3, _MM_SHUFFLE(3, 0, 1, 2));
            }
            // values are 0..255: the saturating packs are exact
            return _mm_packus_epi16(_mm_packs_epi32(p0, p1), _mm_packs_epi32(p2, p3));
        }

        // the four halves in the low 64 bits, widened exactly by the rule of halfToFloat
        inline __m128 halfToFloat4(__m128i h16)
        {
            const __m128i h = _mm_unpacklo_epi16(h16, _mm_setzero_si128());
            const __m128i sign = _mm_slli_epi32(_mm_and_si128(h, _mm_set1_epi32(0x8000)), 16);
            const __m128i exponent = _mm_and_si128(h, _mm_set1_epi32(0x7C00));
            const __m128i mantissa = _mm_and_si128(h, _mm_set1_epi32(0x3FF));

            // normal: rebias the exponent; infinity and NaN: exponent 255
            __m128i normal = _mm_add_epi32(_mm_slli_epi32(_mm_and_si128(h, _mm_set1_epi32(0x7FFF)), 13),
                                           _mm_set1_epi32(112 << 23));
            const __m128i top = _mm_cmpeq_epi32(exponent, _mm_set1_epi32(0x7C00));
            normal = _mm_add_epi32(normal, _mm_and_si128(top, _mm_set1_epi32(112 << 23)));

            // zero and subnormal: (0.5 + m * 2^-24) - 0.5, exact
            const __m128 small = _mm_sub_ps(_mm_castsi128_ps(_mm_or_si128(mantissa, _mm_set1_epi32(0x3F000000))),
                                            _mm_set1_ps(0.5f));
            const __m128i zero = _mm_cmpeq_epi32(exponent, _mm_setzero_si128());
            const __m128i bits = _mm_or_si128(_mm_and_si128(zero, _mm_castps_si128(small)),
                                              _mm_andnot_si128(zero, normal));
            return _mm_castsi128_ps(_mm_or_si128(bits, sign));
        }

        template <bool SwapRB>
        void halfToBytes(u8* dest, const u8* src, int count)
        {
            int x = 0;
            for (; x + 4 <= count; x += 4)
            {
                const __m128i a = loadu(src + 8 * x);
                const __m128i b = loadu(src + 8 * x + 16);
                const __m128i p0 = floatToBytes(halfToFloat4(a));
                const __m128i p1 = floatToBytes(halfToFloat4(_mm_srli_si128(a, 8)));
                const __m128i p2 = floatToBytes(halfToFloat4(b));
                const __m128i p3 = floatToBytes(halfToFloat4(_mm_srli_si128(b, 8)));
                storeu(dest + 4 * x, packPixels<SwapRB>(p0, p1, p2, p3));
            }
            if (SwapRB)
                scalar::convertHalfToBGRA8888(dest + 4 * x, src + 8 * x, count - x);
            else
                scalar::convertHalfToRGBA8888(dest + 4 * x, src + 8 * x, count - x);
        }

        template <bool SwapRB>
        void floatToBytesRow(u8* dest, const u8* src, int count)
        {
            const float* s = reinterpret_cast<const float*>(src);
            int x = 0;
            for (; x + 4 <= count; x += 4)
            {
                const __m128i p0 = floatToBytes(_mm_loadu_ps(s + 4 * x));
                const __m128i p1 = floatToBytes(_mm_loadu_ps(s + 4 * x + 4));
                const __m128i p2 = floatToBytes(_mm_loadu_ps(s + 4 * x + 8));
                const __m128i p3 = floatToBytes(_mm_loadu_ps(s + 4 * x + 12));
                storeu(dest + 4 * x, packPixels<SwapRB>(p0, p1, p2, p3));
            }
            if (SwapRB)
                scalar::convertFloatToBGRA8888(dest + 4 * x, src + 16 * x, count - x);
            else
                scalar::convertFloatToRGBA8888(dest + 4 * x, src + 16 * x, count - x);
        }

    } // namespace

    void setAlpha32(u8* dest, const u8* src, int count)
    {
        const __m128i alpha = _mm_set1_epi32(int(0xFF000000));
        int x = 0;
        for (; x + 8 <= count; x += 8)
        {
            const __m128i a = loadu(src + 4 * x);
            const __m128i b = loadu(src + 4 * x + 16);
            storeu(dest + 4 * x, _mm_or_si128(a, alpha));
            storeu(dest + 4 * x + 16, _mm_or_si128(b, alpha));
        }
        scalar::setAlpha32(dest + 4 * x, src + 4 * x, count - x);
    }

    void swapRB32(u8* dest, const u8* src, int count)
    {
        const __m128i keep = _mm_set1_epi32(int(0xFF00FF00));
        int x = 0;
        for (; x + 4 <= count; x += 4)
        {
            const __m128i s = loadu(src + 4 * x);
            // red and blue are the low bytes of the two 16-bit halves: swap the halves
            __m128i rb = _mm_andnot_si128(keep, s);
            rb = _mm_shufflehi_epi16(_mm_shufflelo_epi16(rb, 0xB1), 0xB1);
            storeu(dest + 4 * x, _mm_or_si128(_mm_and_si128(s, keep), rb));
        }
        scalar::swapRB32(dest + 4 * x, src + 4 * x, count - x);
    }

    void unpackBGRA4444(u8* dest, const u8* src, int count)
    {
        const __m128i low = _mm_set1_epi16(0x0F0F);
        int x = 0;
        for (; x + 8 <= count; x += 8)
        {
            const __m128i s = loadu(src + 2 * x);
            __m128i br = _mm_and_si128(s, low);                     // b, r nibbles in their bytes
            __m128i ga = _mm_and_si128(_mm_srli_epi16(s, 4), low);  // g, a
            br = _mm_or_si128(br, _mm_slli_epi16(br, 4));
            ga = _mm_or_si128(ga, _mm_slli_epi16(ga, 4));
            storeu(dest + 4 * x, _mm_unpacklo_epi8(br, ga));
            storeu(dest + 4 * x + 16, _mm_unpackhi_epi8(br, ga));
        }
        scalar::unpackBGRA4444(dest + 4 * x, src + 2 * x, count - x);
    }

    void unpackBGRA5551(u8* dest, const u8* src, int count)
    {
        const __m128i five = _mm_set1_epi16(0x1F);
        int x = 0;
        for (; x + 8 <= count; x += 8)
        {
            const __m128i s = loadu(src + 2 * x);
            const __m128i b = replicate5(_mm_and_si128(s, five));
            const __m128i g = replicate5(_mm_and_si128(_mm_srli_epi16(s, 5), five));
            const __m128i r = replicate5(_mm_and_si128(_mm_srli_epi16(s, 10), five));
            const __m128i a = _mm_and_si128(_mm_srai_epi16(s, 15), _mm_set1_epi16(int16_t(0xFF00)));
            storeBGRA(dest + 4 * x, _mm_or_si128(b, _mm_slli_epi16(g, 8)), _mm_or_si128(r, a));
        }
        scalar::unpackBGRA5551(dest + 4 * x, src + 2 * x, count - x);
    }

    void unpackBGR565(u8* dest, const u8* src, int count)
    {
        const __m128i alpha = _mm_set1_epi16(int16_t(0xFF00));
        int x = 0;
        for (; x + 8 <= count; x += 8)
        {
            const __m128i s = loadu(src + 2 * x);
            const __m128i b = replicate5(_mm_and_si128(s, _mm_set1_epi16(0x1F)));
            const __m128i g = replicate6(_mm_and_si128(_mm_srli_epi16(s, 5), _mm_set1_epi16(0x3F)));
            const __m128i r = replicate5(_mm_srli_epi16(s, 11));
            storeBGRA(dest + 4 * x, _mm_or_si128(b, _mm_slli_epi16(g, 8)), _mm_or_si128(r, alpha));
        }
        scalar::unpackBGR565(dest + 4 * x, src + 2 * x, count - x);
    }

    namespace
    {
        inline __m128i pack565(__m128i s)
        {
            return _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_srli_epi32(s, 8), _mm_set1_epi32(0xF800)),
                                             _mm_and_si128(_mm_srli_epi32(s, 5), _mm_set1_epi32(0x7E0))),
                                _mm_and_si128(_mm_srli_epi32(s, 3), _mm_set1_epi32(0x1F)));
        }

        inline __m128i pack5551(__m128i s)
        {
            const __m128i rgb = _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_srli_epi32(s, 9), _mm_set1_epi32(0x7C00)),
                                                          _mm_and_si128(_mm_srli_epi32(s, 6), _mm_set1_epi32(0x3E0))),
                                             _mm_and_si128(_mm_srli_epi32(s, 3), _mm_set1_epi32(0x1F)));
            return _mm_or_si128(rgb, _mm_and_si128(_mm_srli_epi32(s, 16), _mm_set1_epi32(0x8000)));
        }

        inline __m128i pack4444(__m128i s)
        {
            const __m128i hi = _mm_or_si128(_mm_and_si128(_mm_srli_epi32(s, 16), _mm_set1_epi32(0xF000)),
                                            _mm_and_si128(_mm_srli_epi32(s, 12), _mm_set1_epi32(0xF00)));
            const __m128i lo = _mm_or_si128(_mm_and_si128(_mm_srli_epi32(s, 8), _mm_set1_epi32(0xF0)),
                                            _mm_and_si128(_mm_srli_epi32(s, 4), _mm_set1_epi32(0xF)));
            return _mm_or_si128(hi, lo);
        }

        template <__m128i (*Pack)(__m128i)>
        inline int packRow(u8* dest, const u8* src, int count)
        {
            int x = 0;
            for (; x + 8 <= count; x += 8)
            {
                const __m128i a = Pack(loadu(src + 4 * x));
                const __m128i b = Pack(loadu(src + 4 * x + 16));
                storeu(dest + 2 * x, pack32to16(a, b));
            }
            return x;
        }
    } // namespace

    void packBGR565(u8* dest, const u8* src, int count)
    {
        const int x = packRow<pack565>(dest, src, count);
        scalar::packBGR565(dest + 2 * x, src + 4 * x, count - x);
    }

    void packBGRA5551(u8* dest, const u8* src, int count)
    {
        const int x = packRow<pack5551>(dest, src, count);
        scalar::packBGRA5551(dest + 2 * x, src + 4 * x, count - x);
    }

    void packBGRA4444(u8* dest, const u8* src, int count)
    {
        const int x = packRow<pack4444>(dest, src, count);
        scalar::packBGRA4444(dest + 2 * x, src + 4 * x, count - x);
    }

    void expandL8toRGBA8888(u8* dest, const u8* src, int count)
    {
        const __m128i alpha = _mm_set1_epi8(-1);
        int x = 0;
        for (; x + 16 <= count; x += 16)
        {
            const __m128i l = loadu(src + x);
            const __m128i ll0 = _mm_unpacklo_epi8(l, l);
            const __m128i ll1 = _mm_unpackhi_epi8(l, l);
            const __m128i la0 = _mm_unpacklo_epi8(l, alpha);
            const __m128i la1 = _mm_unpackhi_epi8(l, alpha);
            storeu(dest + 4 * x, _mm_unpacklo_epi16(ll0, la0));
            storeu(dest + 4 * x + 16, _mm_unpackhi_epi16(ll0, la0));
            storeu(dest + 4 * x + 32, _mm_unpacklo_epi16(ll1, la1));
            storeu(dest + 4 * x + 48, _mm_unpackhi_epi16(ll1, la1));
        }
        scalar::expandL8toRGBA8888(dest + 4 * x, src + x, count - x);
    }

    void expandL16toRGBA8888(u8* dest, const u8* src, int count)
    {
        const __m128i alpha = _mm_set1_epi8(-1);
        int x = 0;
        for (; x + 8 <= count; x += 8)
        {
            const __m128i l = _mm_srli_epi16(loadu(src + 2 * x), 8); // high bytes, one per 16-bit lane
            const __m128i ll = _mm_or_si128(l, _mm_slli_epi16(l, 8));
            const __m128i la = _mm_or_si128(l, _mm_slli_epi16(alpha, 8));
            storeu(dest + 4 * x, _mm_unpacklo_epi16(ll, la));
            storeu(dest + 4 * x + 16, _mm_unpackhi_epi16(ll, la));
        }
        scalar::expandL16toRGBA8888(dest + 4 * x, src + 2 * x, count - x);
    }

    void convertRGBA16toRGBA8888(u8* dest, const u8* src, int count)
    {
        int x = 0;
        for (; x + 4 <= count; x += 4)
        {
            const __m128i a = _mm_srli_epi16(loadu(src + 8 * x), 8);
            const __m128i b = _mm_srli_epi16(loadu(src + 8 * x + 16), 8);
            storeu(dest + 4 * x, _mm_packus_epi16(a, b));
        }
        scalar::convertRGBA16toRGBA8888(dest + 4 * x, src + 8 * x, count - x);
    }

    void convertHalfToRGBA8888(u8* dest, const u8* src, int count)
    {
        halfToBytes<false>(dest, src, count);
    }

    void convertHalfToBGRA8888(u8* dest, const u8* src, int count)
    {
        halfToBytes<true>(dest, src, count);
    }

    void convertFloatToRGBA8888(u8* dest, const u8* src, int count)
    {
        floatToBytesRow<false>(dest, src, count);
    }

    void convertFloatToBGRA8888(u8* dest, const u8* src, int count)
    {
        floatToBytesRow<true>(dest, src, count);
    }

    void convertHalfToFloat(u8* dest, const u8* src, int count)
    {
        int x = 0;
        for (; x + 2 <= count; x += 2)
        {
            const __m128i h = loadu(src + 8 * x);
            _mm_storeu_ps(reinterpret_cast<float*>(dest + 16 * x), halfToFloat4(h));
            _mm_storeu_ps(reinterpret_cast<float*>(dest + 16 * x + 16), halfToFloat4(_mm_srli_si128(h, 8)));
        }
        scalar::convertHalfToFloat(dest + 16 * x, src + 8 * x, count - x);
    }

    namespace
    {
        // The rule of floatToHalf for four floats whose magnitude is zero-like (below
        // 2^-25), normal in half, infinite or NaN. Half subnormals need a variable shift:
        // the caller leaves vectors that hold one to the scalar code.
        inline __m128i floatToHalf4(__m128i bits)
        {
            const __m128i sign = _mm_and_si128(_mm_srli_epi32(bits, 16), _mm_set1_epi32(0x8000));
            const __m128i a = _mm_and_si128(bits, _mm_set1_epi32(0x7FFFFFFF));

            // normal: rebias, round half away from zero, a carry may reach infinity
            __m128i h = _mm_srli_epi32(_mm_add_epi32(a, _mm_set1_epi32(0x1000 - 0x38000000)), 13);
            const __m128i inf = _mm_set1_epi32(0x7C00);
            const __m128i over = _mm_cmpgt_epi32(h, inf);
            h = _mm_or_si128(_mm_and_si128(over, inf), _mm_andnot_si128(over, h));

            // infinity 0x7C00; NaN keeps the top of its payload and sets the quiet bit
            const __m128i special = _mm_cmpgt_epi32(a, _mm_set1_epi32(0x7F7FFFFF));
            const __m128i nan = _mm_cmpgt_epi32(a, _mm_set1_epi32(0x7F800000));
            const __m128i payload = _mm_and_si128(nan, _mm_or_si128(_mm_set1_epi32(0x200),
                                                                    _mm_and_si128(_mm_srli_epi32(a, 13),
                                                                                  _mm_set1_epi32(0x3FF))));
            h = _mm_or_si128(_mm_andnot_si128(special, h), _mm_and_si128(special, _mm_or_si128(inf, payload)));

            // below the smallest subnormal half: signed zero
            const __m128i tiny = _mm_cmplt_epi32(a, _mm_set1_epi32(0x33000000));
            h = _mm_andnot_si128(tiny, h);
            return _mm_or_si128(h, sign);
        }

        // lanes whose magnitude gives a half subnormal (2^-25 <= |x| < 2^-14)
        inline int subnormalLanes(__m128i bits)
        {
            const __m128i a = _mm_and_si128(bits, _mm_set1_epi32(0x7FFFFFFF));
            const __m128i low = _mm_cmplt_epi32(a, _mm_set1_epi32(0x38800000));
            const __m128i tiny = _mm_cmplt_epi32(a, _mm_set1_epi32(0x33000000));
            return _mm_movemask_epi8(_mm_andnot_si128(tiny, low));
        }
    } // namespace

    namespace
    {
        // Four pixels of bytes to floats v / 255; Swap exchanges the first and third byte.
        template <bool Swap>
        void bytesToFloatRow(u8* dest, const u8* src, int count)
        {
            const __m128 scale = _mm_set1_ps(255.0f);
            const __m128i zero = _mm_setzero_si128();
            int x = 0;
            for (; x + 4 <= count; x += 4)
            {
                const __m128i v = loadu(src + 4 * x);
                const __m128i lo = _mm_unpacklo_epi8(v, zero);
                const __m128i hi = _mm_unpackhi_epi8(v, zero);
                __m128i p[4] = { _mm_unpacklo_epi16(lo, zero), _mm_unpackhi_epi16(lo, zero),
                                 _mm_unpacklo_epi16(hi, zero), _mm_unpackhi_epi16(hi, zero) };
                for (int i = 0; i < 4; ++i)
                {
                    if constexpr (Swap)
                        p[i] = _mm_shuffle_epi32(p[i], _MM_SHUFFLE(3, 0, 1, 2));
                    _mm_storeu_ps(reinterpret_cast<float*>(dest + 16 * (x + i)),
                                  _mm_div_ps(_mm_cvtepi32_ps(p[i]), scale));
                }
            }
            if constexpr (Swap)
                scalar::convertBGRA8888ToFloat(dest + 16 * x, src + 4 * x, count - x);
            else
                scalar::convertRGBA8888ToFloat(dest + 16 * x, src + 4 * x, count - x);
        }
    } // namespace

    void convertRGBA8888ToFloat(u8* dest, const u8* src, int count)
    {
        bytesToFloatRow<false>(dest, src, count);
    }

    void convertBGRA8888ToFloat(u8* dest, const u8* src, int count)
    {
        bytesToFloatRow<true>(dest, src, count);
    }

    void convertFloatToHalf(u8* dest, const u8* src, int count)
    {
        int x = 0;
        for (; x + 2 <= count; x += 2)
        {
            const __m128i a = loadu(src + 16 * x);
            const __m128i b = loadu(src + 16 * x + 16);
            if (subnormalLanes(a) | subnormalLanes(b))
            {
                scalar::convertFloatToHalf(dest + 8 * x, src + 16 * x, 2);
                continue;
            }
            storeu(dest + 8 * x, pack32to16(floatToHalf4(a), floatToHalf4(b)));
        }
        scalar::convertFloatToHalf(dest + 8 * x, src + 16 * x, count - x);
    }

} // namespace norva::fast::sse2
