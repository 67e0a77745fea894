// 8-bit RGB and RGBA rows to BGRA 8888 through pshufb, four pixels a step; the scalar
// kernels finish the row.

#include <tmmintrin.h>

#include "png_kernels_private.hpp"

#define NORVA_SSSE3_KERNEL __attribute__((target("ssse3")))

namespace norva::png::ssse3
{

    NORVA_SSSE3_KERNEL void expandRGB8(u8* dest, const u8* src, size_t width)
    {
        // 4 pixels from 12 bytes; the load reads 16, so stop while 4 bytes remain behind
        const __m128i shuffle = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
        const __m128i alpha = _mm_set1_epi32(int(0xFF000000u));
        size_t x = 0;
        for (; x + 6 <= width; x += 4)
        {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x * 3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + x * 4), _mm_or_si128(_mm_shuffle_epi8(v, shuffle), alpha));
        }
        scalar::expandRGB8(dest + x * 4, src + x * 3, width - x);
    }

    NORVA_SSSE3_KERNEL void expandRGBA8(u8* dest, const u8* src, size_t width)
    {
        const __m128i shuffle = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
        size_t x = 0;
        for (; x + 4 <= width; x += 4)
        {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x * 4));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + x * 4), _mm_shuffle_epi8(v, shuffle));
        }
        scalar::expandRGBA8(dest + x * 4, src + x * 4, width - x);
    }

} // namespace norva::png::ssse3
