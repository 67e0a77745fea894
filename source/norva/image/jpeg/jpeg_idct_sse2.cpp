// SSE2 inverse DCT: the integer transform on eight 16-bit lanes, a whole block in registers.

#include "jpeg_private.hpp"

#if defined(__SSE2__)

#include <emmintrin.h>

#include "jpeg_sse2.hpp"

namespace norva::jpeg
{
    namespace
    {
        struct IdctConstants
        {
            __m128i bias1;
            __m128i bias2;
            __m128i even0;
            __m128i even1;
            __m128i odd1a;
            __m128i odd1b;
            __m128i odd2a;
            __m128i odd2b;
            __m128i odd3a;
            __m128i odd3b;
        };

        inline __m128i pair(s16 x, s16 y)
        {
            return _mm_setr_epi16(x, y, x, y, x, y, x, y);
        }

        const IdctConstants constants =
        {
            _mm_set1_epi32(512),
            _mm_set1_epi32(65536 + (128 << 17)),
            pair(2217, 2217 - 7567),
            pair(2217 + 3135, 2217),
            pair(4816 - 3685, 4816),
            pair(4816, 4816 - 10497),
            pair(-8034 + 1223, -8034),
            pair(-8034, -8034 + 12586),
            pair(-1597 + 8410, -1597),
            pair(-1597, -1597 + 6149),
        };

        struct Wide
        {
            __m128i lo;
            __m128i hi;
        };

        // (x, y) pairs multiplied with (c0, c1) pairs: x * c.even + y * c.odd, 32 bits
        inline void rotate(Wide& out0, Wide& out1, __m128i x, __m128i y, __m128i c0, __m128i c1)
        {
            const __m128i lo = _mm_unpacklo_epi16(x, y);
            const __m128i hi = _mm_unpackhi_epi16(x, y);
            out0.lo = _mm_madd_epi16(lo, c0);
            out0.hi = _mm_madd_epi16(hi, c0);
            out1.lo = _mm_madd_epi16(lo, c1);
            out1.hi = _mm_madd_epi16(hi, c1);
        }

        // in << 12, widened to 32 bits
        inline Wide widen(__m128i v)
        {
            const __m128i zero = _mm_setzero_si128();
            return { _mm_srai_epi32(_mm_unpacklo_epi16(zero, v), 4), _mm_srai_epi32(_mm_unpackhi_epi16(zero, v), 4) };
        }

        inline Wide add(Wide a, Wide b)
        {
            return { _mm_add_epi32(a.lo, b.lo), _mm_add_epi32(a.hi, b.hi) };
        }

        inline Wide sub(Wide a, Wide b)
        {
            return { _mm_sub_epi32(a.lo, b.lo), _mm_sub_epi32(a.hi, b.hi) };
        }

        template <int Shift>
        inline void butterfly(__m128i& out0, __m128i& out1, Wide a, Wide b, __m128i bias)
        {
            a.lo = _mm_add_epi32(a.lo, bias);
            a.hi = _mm_add_epi32(a.hi, bias);
            const Wide s = add(a, b);
            const Wide d = sub(a, b);
            out0 = _mm_packs_epi32(_mm_srai_epi32(s.lo, Shift), _mm_srai_epi32(s.hi, Shift));
            out1 = _mm_packs_epi32(_mm_srai_epi32(d.lo, Shift), _mm_srai_epi32(d.hi, Shift));
        }

        template <int Shift>
        inline void pass(__m128i* row, __m128i bias)
        {
            const IdctConstants& c = constants;

            // even part
            Wide t2, t3;
            rotate(t2, t3, row[2], row[6], c.even0, c.even1);
            const Wide t0 = widen(_mm_add_epi16(row[0], row[4]));
            const Wide t1 = widen(_mm_sub_epi16(row[0], row[4]));
            const Wide x0 = add(t0, t3);
            const Wide x3 = sub(t0, t3);
            const Wide x1 = add(t1, t2);
            const Wide x2 = sub(t1, t2);

            // odd part
            Wide y0, y2, y1, y3, y4, y5;
            rotate(y0, y2, row[7], row[3], c.odd2a, c.odd2b);
            rotate(y1, y3, row[5], row[1], c.odd3a, c.odd3b);
            rotate(y4, y5, _mm_add_epi16(row[1], row[7]), _mm_add_epi16(row[3], row[5]), c.odd1a, c.odd1b);
            const Wide x4 = add(y0, y4);
            const Wide x5 = add(y1, y5);
            const Wide x6 = add(y2, y5);
            const Wide x7 = add(y3, y4);

            butterfly<Shift>(row[0], row[7], x0, x7, bias);
            butterfly<Shift>(row[1], row[6], x1, x6, bias);
            butterfly<Shift>(row[2], row[5], x2, x5, bias);
            butterfly<Shift>(row[3], row[4], x3, x4, bias);
        }

        inline void interleave8(__m128i& a, __m128i& b)
        {
            const __m128i t = a;
            a = _mm_unpacklo_epi8(a, b);
            b = _mm_unpackhi_epi8(t, b);
        }

    } // namespace

    void idctSSE2(u8* dest, const s16* data, const u16* qt)
    {
        // A block of only a DC coefficient is flat: the transform reduces to one value,
        // computed exactly as the two passes would.
        const __m128i* input = reinterpret_cast<const __m128i*>(data);
        __m128i ac = _mm_or_si128(_mm_srli_si128(_mm_loadu_si128(input), 2), _mm_loadu_si128(input + 1));
        for (int i = 2; i < 8; ++i)
            ac = _mm_or_si128(ac, _mm_loadu_si128(input + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(ac, _mm_setzero_si128())) == 0xFFFF)
        {
            const s32 dc = s16(u16(data[0] * qt[0]));
            s32 first = dc * 4;
            first = first < -32768 ? -32768 : first > 32767 ? 32767 : first;
            s32 v = (first * 4096 + 65536 + (128 << 17)) >> 17;
            v = v < 0 ? 0 : v > 255 ? 255 : v;
            const __m128i flat = _mm_set1_epi8(char(v));
            __m128i* out = reinterpret_cast<__m128i*>(dest);
            for (int i = 0; i < 4; ++i)
                _mm_storeu_si128(out + i, flat);
            return;
        }

        __m128i row[8];
        for (int i = 0; i < 8; ++i)
        {
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i * 8));
            const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(qt + i * 8));
            row[i] = _mm_mullo_epi16(c, q);
        }

        // columns
        pass<10>(row, constants.bias1);

        transpose8x8(row);

        // rows
        pass<17>(row, constants.bias2);

        // pack to bytes and transpose back
        __m128i p0 = _mm_packus_epi16(row[0], row[1]);
        __m128i p1 = _mm_packus_epi16(row[2], row[3]);
        __m128i p2 = _mm_packus_epi16(row[4], row[5]);
        __m128i p3 = _mm_packus_epi16(row[6], row[7]);
        interleave8(p0, p2);
        interleave8(p1, p3);
        interleave8(p0, p1);
        interleave8(p2, p3);
        interleave8(p0, p2);
        interleave8(p1, p3);

        __m128i* out = reinterpret_cast<__m128i*>(dest);
        _mm_storeu_si128(out + 0, p0);
        _mm_storeu_si128(out + 1, p2);
        _mm_storeu_si128(out + 2, p1);
        _mm_storeu_si128(out + 3, p3);
    }

} // namespace norva::jpeg

#else

namespace norva::jpeg
{
    void idctSSE2(u8* dest, const s16* data, const u16* qt)
    {
        idctInteger(dest, data, qt);
    }

} // namespace norva::jpeg

#endif
