// SSE2 forward DCT and quantisation: a whole block in eight registers, each pass an
// 8-point transform across registers with pair multiply-adds; and the SSE2 block readers.

#include "jpeg_encode.hpp"

#if defined(__SSE2__)

#include <emmintrin.h>

#include "jpeg_sse2.hpp"

namespace norva::jpeg
{
    namespace
    {
        inline __m128i pair(s16 x, s16 y)
        {
            return _mm_setr_epi16(x, y, x, y, x, y, x, y);
        }

        // the constants of the scalar twin (jpeg_fdct.cpp) as multiply-add pairs
        struct FdctConstants
        {
            __m128i even2;  // (c2, c6)
            __m128i even6;  // (c6, -c2)
            __m128i odd1a;  // d0, d1
            __m128i odd1b;  // d2, d3
            __m128i odd3a;
            __m128i odd3b;
            __m128i odd5a;
            __m128i odd5b;
            __m128i odd7a;
            __m128i odd7b;
        };

        const FdctConstants constants =
        {
            pair(1338, 554),
            pair(554, -1338),
            pair(1420, 1204),
            pair(805, 283),
            pair(1204, -283),
            pair(-1420, -805),
            pair(805, -1420),
            pair(283, 1204),
            pair(283, -805),
            pair(1204, -1420),
        };

        // (sum of the pair products + bias) >> Shift, both halves, saturated to 16 bits
        template <int Shift>
        inline __m128i rotate(__m128i lo, __m128i hi, __m128i c)
        {
            const __m128i bias = _mm_set1_epi32(1 << (Shift - 1));
            const __m128i a = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(lo, c), bias), Shift);
            const __m128i b = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(hi, c), bias), Shift);
            return _mm_packs_epi32(a, b);
        }

        template <int Shift>
        inline __m128i rotate2(__m128i lo0, __m128i hi0, __m128i c0, __m128i lo1, __m128i hi1, __m128i c1)
        {
            const __m128i bias = _mm_set1_epi32(1 << (Shift - 1));
            const __m128i a = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(lo0, c0), _mm_madd_epi16(lo1, c1)), bias);
            const __m128i b = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(hi0, c0), _mm_madd_epi16(hi1, c1)), bias);
            return _mm_packs_epi32(_mm_srai_epi32(a, Shift), _mm_srai_epi32(b, Shift));
        }

        // v[x] holds sample x of eight independent lines; on return v[u] holds coefficient u
        template <int Shift>
        inline void pass(__m128i* v)
        {
            const FdctConstants& c = constants;

            const __m128i s0 = _mm_add_epi16(v[0], v[7]);
            const __m128i s1 = _mm_add_epi16(v[1], v[6]);
            const __m128i s2 = _mm_add_epi16(v[2], v[5]);
            const __m128i s3 = _mm_add_epi16(v[3], v[4]);
            const __m128i d0 = _mm_sub_epi16(v[0], v[7]);
            const __m128i d1 = _mm_sub_epi16(v[1], v[6]);
            const __m128i d2 = _mm_sub_epi16(v[2], v[5]);
            const __m128i d3 = _mm_sub_epi16(v[3], v[4]);

            const __m128i e0 = _mm_add_epi16(s0, s3);
            const __m128i e1 = _mm_add_epi16(s1, s2);
            const __m128i e2 = _mm_sub_epi16(s0, s3);
            const __m128i e3 = _mm_sub_epi16(s1, s2);

            __m128i x0 = _mm_add_epi16(e0, e1);
            __m128i x4 = _mm_sub_epi16(e0, e1);
            if constexpr (Shift > 10)
            {
                constexpr int plain = Shift - 10;
                const __m128i round = _mm_set1_epi16(1 << (plain - 1));
                x0 = _mm_srai_epi16(_mm_add_epi16(x0, round), plain);
                x4 = _mm_srai_epi16(_mm_add_epi16(x4, round), plain);
            }

            const __m128i elo = _mm_unpacklo_epi16(e2, e3);
            const __m128i ehi = _mm_unpackhi_epi16(e2, e3);
            const __m128i alo = _mm_unpacklo_epi16(d0, d1);
            const __m128i ahi = _mm_unpackhi_epi16(d0, d1);
            const __m128i blo = _mm_unpacklo_epi16(d2, d3);
            const __m128i bhi = _mm_unpackhi_epi16(d2, d3);

            v[0] = x0;
            v[4] = x4;
            v[2] = rotate<Shift>(elo, ehi, c.even2);
            v[6] = rotate<Shift>(elo, ehi, c.even6);
            v[1] = rotate2<Shift>(alo, ahi, c.odd1a, blo, bhi, c.odd1b);
            v[3] = rotate2<Shift>(alo, ahi, c.odd3a, blo, bhi, c.odd3b);
            v[5] = rotate2<Shift>(alo, ahi, c.odd5a, blo, bhi, c.odd5b);
            v[7] = rotate2<Shift>(alo, ahi, c.odd7a, blo, bhi, c.odd7b);
        }

        inline void storePlaneRow(s16* plane, __m128i v)
        {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(plane), v);
        }

        // Eight 32-bit pixels at p to Y, Cb, Cr rows; Red and Blue are the byte positions.
        template <int Red, int Blue>
        inline void readColorRow(s16* planes, const u8* p)
        {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
            const __m128i byte = _mm_set1_epi32(0xFF);
            const __m128i r = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, Red * 8), byte),
                                              _mm_and_si128(_mm_srli_epi32(b, Red * 8), byte));
            const __m128i g = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 8), byte),
                                              _mm_and_si128(_mm_srli_epi32(b, 8), byte));
            const __m128i bl = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, Blue * 8), byte),
                                               _mm_and_si128(_mm_srli_epi32(b, Blue * 8), byte));

            // 76 R + 151 G + 29 B stays below 65536: the wrapped 16-bit sum is exact unsigned
            const __m128i sum = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(r, _mm_set1_epi16(76)),
                                                            _mm_mullo_epi16(g, _mm_set1_epi16(151))),
                                              _mm_mullo_epi16(bl, _mm_set1_epi16(29)));
            const __m128i y = _mm_srli_epi16(sum, 8);

            storePlaneRow(planes, _mm_sub_epi16(y, _mm_set1_epi16(128)));
            // ((B - Y) * 9) >> 4
            storePlaneRow(planes + 64, _mm_srai_epi16(_mm_mullo_epi16(_mm_sub_epi16(bl, y), _mm_set1_epi16(9)), 4));
            // ((R - Y) * 182) >> 8, halved so that the product fits 16 bits
            storePlaneRow(planes + 128, _mm_srai_epi16(_mm_mullo_epi16(_mm_sub_epi16(r, y), _mm_set1_epi16(91)), 7));
        }

    } // namespace

    u64 fdctSSE2(s16* dest, const s16* samples, const u16* reciprocal)
    {
        __m128i v[8];
        for (int i = 0; i < 8; ++i)
            v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i * 8));

        // rows (lanes: rows), then columns (lanes: row coefficients)
        transpose8x8(v);
        pass<10>(v);
        transpose8x8(v);
        pass<13>(v);

        // (c * r + 16384) >> 15 from the 32-bit product's halves: 2 * high + the carry of
        // low + 16384 into bit 15, which is ((low >> 14) + 1) >> 1 (r <= 16384 keeps the
        // result within 16 bits)
        const __m128i one = _mm_set1_epi16(1);
        const __m128i zero = _mm_setzero_si128();
        u64 zeros = 0;
        for (int i = 0; i < 8; i += 2)
        {
            __m128i q[2];
            for (int j = 0; j < 2; ++j)
            {
                const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(reciprocal + (i + j) * 8));
                const __m128i low = _mm_mullo_epi16(v[i + j], r);
                const __m128i high = _mm_mulhi_epi16(v[i + j], r);
                const __m128i carry = _mm_srli_epi16(_mm_add_epi16(_mm_srli_epi16(low, 14), one), 1);
                q[j] = _mm_add_epi16(_mm_slli_epi16(high, 1), carry);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + (i + j) * 8), q[j]);
            }
            // saturating to bytes keeps non-zero values non-zero
            const __m128i bytes = _mm_packs_epi16(q[0], q[1]);
            zeros |= u64(u32(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)))) << (i * 8);
        }
        return ~zeros;
    }

    void readBlockY_SSE2(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
    {
        (void)columns;
        (void)rows;
        const __m128i zero = _mm_setzero_si128();
        const __m128i center = _mm_set1_epi16(128);
        for (int y = 0; y < 8; ++y)
        {
            const __m128i p = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(image + y * stride));
            storePlaneRow(planes + y * 8, _mm_sub_epi16(_mm_unpacklo_epi8(p, zero), center));
        }
    }

    void readBlockBGRA_SSE2(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
    {
        (void)columns;
        (void)rows;
        for (int y = 0; y < 8; ++y)
            readColorRow<2, 0>(planes + y * 8, image + y * stride);
    }

    void readBlockRGBA_SSE2(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
    {
        (void)columns;
        (void)rows;
        for (int y = 0; y < 8; ++y)
            readColorRow<0, 2>(planes + y * 8, image + y * stride);
    }

} // namespace norva::jpeg

#else

namespace norva::jpeg
{
    u64 fdctSSE2(s16* dest, const s16* samples, const u16* reciprocal)
    {
        return fdctInteger(dest, samples, reciprocal);
    }

    void readBlockY_SSE2(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
    {
        readBlockY(planes, image, stride, columns, rows);
    }

    void readBlockBGRA_SSE2(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
    {
        readBlockBGRA(planes, image, stride, columns, rows);
    }

    void readBlockRGBA_SSE2(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
    {
        readBlockRGBA(planes, image, stride, columns, rows);
    }

} // namespace norva::jpeg

#endif
