// The UNORM to UNORM converter, four fields of a pixel at once.
//
// Each lane holds one field in place: the source is masked, converted to float, scaled
// straight onto the destination field's position (the scale is the ratio of the two
// maxima times a power of two, so the placement is exact), given half a destination step
// and truncated. The Blitter selects this only for field widths where that float form is
// proven to give the integer rule's result for every value. Fields that include bit 31
// are read shifted right by one (the conversion is signed) and written halved, then
// doubled back.

#include <cstring>

#include <emmintrin.h>

#include "blitter_private.hpp"

namespace norva
{
    namespace
    {

        template <int N>
        inline u32 load(const u8* p)
        {
            u32 value = 0;
            std::memcpy(&value, p, N);
            return value;
        }

        template <int N>
        inline void store(u8* p, u32 value)
        {
            std::memcpy(p, &value, N);
        }

        template <int SB, int DB>
        void convertUNormSSE2(const Blitter& b, const BlitRect& rect)
        {
            const __m128 scale = _mm_load_ps(b.sse2Scale);
            const __m128 bias = _mm_load_ps(b.sse2Bias);
            const __m128i srcLow = _mm_load_si128(reinterpret_cast<const __m128i*>(b.sse2SrcLow));
            const __m128i srcHigh = _mm_load_si128(reinterpret_cast<const __m128i*>(b.sse2SrcHigh));
            const __m128i dstMask = _mm_load_si128(reinterpret_cast<const __m128i*>(b.sse2DstMask));
            const __m128i high = _mm_load_si128(reinterpret_cast<const __m128i*>(b.sse2High));
            const u32 copyMask = u32(b.copyMask);
            const u32 alphaFill = u32(b.alphaFill);

            u8* destRow = rect.dest;
            const u8* srcRow = rect.src;
            for (int y = 0; y < rect.height; ++y)
            {
                u8* dest = destRow;
                const u8* src = srcRow;
                for (int x = 0; x < rect.width; ++x)
                {
                    const u32 s = load<SB>(src);
                    const __m128i v = _mm_set1_epi32(int(s));
                    const __m128i fields = _mm_or_si128(_mm_and_si128(v, srcLow),
                                                        _mm_and_si128(_mm_srli_epi32(v, 1), srcHigh));
                    const __m128 f = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(fields), scale), bias);
                    __m128i d = _mm_and_si128(_mm_cvttps_epi32(f), dstMask);
                    d = _mm_add_epi32(d, _mm_and_si128(d, high));
                    d = _mm_or_si128(d, _mm_shuffle_epi32(d, 0x4E));
                    d = _mm_or_si128(d, _mm_shuffle_epi32(d, 0xB1));
                    store<DB>(dest, u32(_mm_cvtsi128_si32(d)) | (s & copyMask) | alphaFill);
                    dest += DB;
                    src += SB;
                }
                destRow += rect.destStride;
                srcRow += rect.srcStride;
            }
        }

        template <int SB>
        Blitter::RectFunction forDest(int destBytes)
        {
            switch (destBytes)
            {
            case 1: return convertUNormSSE2<SB, 1>;
            case 2: return convertUNormSSE2<SB, 2>;
            case 3: return convertUNormSSE2<SB, 3>;
            case 4: return convertUNormSSE2<SB, 4>;
            default: return nullptr;
            }
        }

    } // namespace

    Blitter::RectFunction getSSE2UNorm(int sourceBytes, int destBytes)
    {
        switch (sourceBytes)
        {
        case 1: return forDest<1>(destBytes);
        case 2: return forDest<2>(destBytes);
        case 3: return forDest<3>(destBytes);
        case 4: return forDest<4>(destBytes);
        default: return nullptr;
        }
    }

} // namespace norva
