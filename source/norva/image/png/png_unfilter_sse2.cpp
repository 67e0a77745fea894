// The scanline unfilters on SSE2: Up sixteen bytes at a time, and Sub, Average and Paeth
// for pixels of 3, 4, 6 and 8 bytes, one pixel per step in the low half of a register
// (each pixel depends on the one before it).

#include <cstring>

#include <emmintrin.h>

#include "png_kernels_private.hpp"

namespace norva::png::sse2
{
    namespace
    {

        // Pixels of 3 to 8 bytes travel in the low half of a register. Pixels of 3 and 6
        // bytes are loaded as 4 and 8 (the extra bytes, of the next pixel, are masked off)
        // and stored as exactly 3 and 6: a wide store would overlap the next pixel's load
        // and defeat store forwarding. The last pixel of a row loads exactly BPP bytes, so
        // nothing past the row is read.
        template <int BPP>
        struct Wide
        {
            static constexpr int bytes = BPP == 3 ? 4 : (BPP == 6 ? 8 : BPP);
        };

        template <int N>
        inline __m128i loadBytes(const u8* p)
        {
            if constexpr (N == 4)
            {
                u32 v;
                std::memcpy(&v, p, 4);
                return _mm_cvtsi32_si128(int(v));
            }
            else if constexpr (N == 8)
            {
                return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
            }
            else
            {
                u64 v = 0;
                std::memcpy(&v, p, N);
                return _mm_cvtsi64_si128(s64(v));
            }
        }

        template <int N>
        inline void storeBytes(u8* p, __m128i v)
        {
            if constexpr (N == 4)
            {
                const u32 w = u32(_mm_cvtsi128_si32(v));
                std::memcpy(p, &w, 4);
            }
            else if constexpr (N == 8)
            {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
            }
            else
            {
                const u64 w = u64(_mm_cvtsi128_si64(v));
                std::memcpy(p, &w, N);
            }
        }

        // the bytes of one pixel set, the rest clear
        template <int BPP>
        inline __m128i pixelMask()
        {
            return _mm_cvtsi64_si128(s64(BPP == 8 ? ~0ull : (1ull << (BPP * 8)) - 1));
        }

        inline __m128i averagePredictor(__m128i a, __m128i b)
        {
            // (a + b) >> 1 from the rounding-up average
            const __m128i one = _mm_set1_epi8(1);
            return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        }

        inline __m128i abs16(__m128i v)
        {
            return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v));
        }

        // a when pa <= pb and pa <= pc; else b when pb <= pc; else c (16-bit lanes)
        inline __m128i paethPredictor16(__m128i a, __m128i b, __m128i c)
        {
            const __m128i bc = _mm_sub_epi16(b, c);
            const __m128i ac = _mm_sub_epi16(a, c);
            const __m128i pa = abs16(bc);
            const __m128i pb = abs16(ac);
            const __m128i pc = abs16(_mm_add_epi16(bc, ac));
            const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
            const __m128i notB = _mm_cmpgt_epi16(pb, pc);
            const __m128i bOrC = _mm_or_si128(_mm_andnot_si128(notB, b), _mm_and_si128(notB, c));
            return _mm_or_si128(_mm_andnot_si128(notA, a), _mm_and_si128(notA, bOrC));
        }

    } // namespace

    void up(u8* x, const u8* prior, size_t bytes)
    {
        size_t i = 0;
        for (; i + 64 <= bytes; i += 64)
        {
            for (int k = 0; k < 64; k += 16)
            {
                __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i + k));
                __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prior + i + k));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(x + i + k), _mm_add_epi8(a, b));
            }
        }
        for (; i + 16 <= bytes; i += 16)
        {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prior + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(x + i), _mm_add_epi8(a, b));
        }
        scalar::up(x + i, prior + i, bytes - i);
    }

    template <int BPP>
    void sub(u8* x, const u8*, size_t bytes)
    {
        constexpr int W = Wide<BPP>::bytes;
        const __m128i mask = pixelMask<BPP>();
        __m128i a = _mm_setzero_si128();
        size_t i = 0;
        for (; i + W <= bytes; i += BPP)
        {
            a = _mm_and_si128(_mm_add_epi8(loadBytes<W>(x + i), a), mask);
            storeBytes<BPP>(x + i, a);
        }
        for (; i + BPP <= bytes; i += BPP)
        {
            a = _mm_add_epi8(loadBytes<BPP>(x + i), a);
            storeBytes<BPP>(x + i, a);
        }
        // a row is a whole number of pixels; this only guards a malformed row length
        for (; i < bytes; ++i)
        {
            x[i] = u8(x[i] + (i >= BPP ? x[i - BPP] : 0));
        }
    }

    template <int BPP>
    void average(u8* x, const u8* prior, size_t bytes)
    {
        constexpr int W = Wide<BPP>::bytes;
        const __m128i mask = pixelMask<BPP>();
        __m128i a = _mm_setzero_si128();
        size_t i = 0;
        for (; i + W <= bytes; i += BPP)
        {
            const __m128i pred = _mm_and_si128(averagePredictor(a, loadBytes<W>(prior + i)), mask);
            a = _mm_and_si128(_mm_add_epi8(loadBytes<W>(x + i), pred), mask);
            storeBytes<BPP>(x + i, a);
        }
        for (; i + BPP <= bytes; i += BPP)
        {
            a = _mm_add_epi8(loadBytes<BPP>(x + i), averagePredictor(a, loadBytes<BPP>(prior + i)));
            storeBytes<BPP>(x + i, a);
        }
        for (; i < bytes; ++i)
        {
            x[i] = u8(x[i] + (((i >= BPP ? x[i - BPP] : 0) + prior[i]) >> 1));
        }
    }

    template <int BPP>
    void paeth(u8* x, const u8* prior, size_t bytes)
    {
        constexpr int W = Wide<BPP>::bytes;
        const __m128i zero = _mm_setzero_si128();
        const __m128i mask = pixelMask<BPP>();
        __m128i a = zero;    // left, 16-bit lanes
        __m128i c = zero;    // upper left
        size_t i = 0;
        for (; i + W <= bytes; i += BPP)
        {
            const __m128i b = _mm_unpacklo_epi8(_mm_and_si128(loadBytes<W>(prior + i), mask), zero);
            const __m128i pred = paethPredictor16(a, b, c);
            const __m128i value = _mm_and_si128(_mm_add_epi8(loadBytes<W>(x + i), _mm_packus_epi16(pred, zero)), mask);
            storeBytes<BPP>(x + i, value);
            a = _mm_unpacklo_epi8(value, zero);
            c = b;
        }
        for (; i + BPP <= bytes; i += BPP)
        {
            const __m128i b = _mm_unpacklo_epi8(loadBytes<BPP>(prior + i), zero);
            const __m128i pred = paethPredictor16(a, b, c);
            const __m128i value = _mm_add_epi8(loadBytes<BPP>(x + i), _mm_packus_epi16(pred, zero));
            storeBytes<BPP>(x + i, value);
            a = _mm_unpacklo_epi8(value, zero);
            c = b;
        }
        for (; i < bytes; ++i)
        {
            x[i] = u8(x[i] + (i >= BPP ? paethPredictor(x[i - BPP], prior[i], prior[i - BPP]) : prior[i]));
        }
    }

#define NORVA_PNG_INSTANTIATE(BPP)                                  \
    template void sub<BPP>(u8* row, const u8* prior, size_t bytes);     \
    template void average<BPP>(u8* row, const u8* prior, size_t bytes); \
    template void paeth<BPP>(u8* row, const u8* prior, size_t bytes);

    NORVA_PNG_INSTANTIATE(3)
    NORVA_PNG_INSTANTIATE(4)
    NORVA_PNG_INSTANTIATE(6)
    NORVA_PNG_INSTANTIATE(8)

#undef NORVA_PNG_INSTANTIATE

} // namespace norva::png::sse2
