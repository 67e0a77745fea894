// The SGI RLE tables to host order on SSSE3: 16 big-endian u32 entries a step, one pshufb
// for every four; the rest on the scalar loop.

#include <immintrin.h>

#include "image_sgi_private.hpp"

namespace norva::sgi
{

    __attribute__((target("ssse3"))) void swapTableSSSE3(u32* dest, const u8* src, size_t count)
    {
        const __m128i reverse = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
        size_t i = 0;
        for (; i + 16 <= count; i += 16)
        {
            const __m128i* in = reinterpret_cast<const __m128i*>(src + i * 4);
            __m128i* out = reinterpret_cast<__m128i*>(dest + i);
            const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), reverse);
            const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), reverse);
            const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), reverse);
            const __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), reverse);
            _mm_storeu_si128(out + 0, a);
            _mm_storeu_si128(out + 1, b);
            _mm_storeu_si128(out + 2, c);
            _mm_storeu_si128(out + 3, d);
        }
        swapTableScalar(dest + i, src + i * 4, count - i);
    }

} // namespace norva::sgi
