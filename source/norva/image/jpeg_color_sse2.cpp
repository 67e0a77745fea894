// SSE2 YCbCr to BGRA / RGBA converters for the fixed MCU shapes, eight pixels per step.

#include "jpeg_color.hpp"

#if defined(__SSE2__)

#include <emmintrin.h>

namespace norva::jpeg
{
    namespace
    {
        // 12-bit fixed point: 1.402, 0.344, 0.714, 1.772
        template <bool BGRA>
        struct SSE2Row
        {
            static void write(u8* dest, const u8* y, const u8* cb, const u8* cr, int count)
            {
                const __m128i zero = _mm_setzero_si128();
                const __m128i bias = _mm_set1_epi32(2048);
                const __m128i center = _mm_set1_epi16(-128);
                const __m128i yr = _mm_setr_epi16(4096, 5743, 4096, 5743, 4096, 5743, 4096, 5743);
                const __m128i yb = _mm_setr_epi16(4096, 7258, 4096, 7258, 4096, 7258, 4096, 7258);
                const __m128i cg = _mm_setr_epi16(-1409, -2924, -1409, -2924, -1409, -2924, -1409, -2924);
                const __m128i alpha = _mm_set1_epi8(char(0xFF));

                for (int x = 0; x < count; x += 8)
                {
                    const __m128i y16 = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y + x)), zero);
                    const __m128i cb16 = _mm_add_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + x)), zero), center);
                    const __m128i cr16 = _mm_add_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + x)), zero), center);

                    // R = 4096 Y + 5743 Cr'
                    __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(y16, cr16), yr);
                    __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(y16, cr16), yr);
                    const __m128i r = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, bias), 12),
                                                      _mm_srai_epi32(_mm_add_epi32(hi, bias), 12));

                    // B = 4096 Y + 7258 Cb'
                    lo = _mm_madd_epi16(_mm_unpacklo_epi16(y16, cb16), yb);
                    hi = _mm_madd_epi16(_mm_unpackhi_epi16(y16, cb16), yb);
                    const __m128i b = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, bias), 12),
                                                      _mm_srai_epi32(_mm_add_epi32(hi, bias), 12));

                    // G = 4096 Y - 1409 Cb' - 2924 Cr'
                    const __m128i ylo = _mm_slli_epi32(_mm_unpacklo_epi16(y16, zero), 12);
                    const __m128i yhi = _mm_slli_epi32(_mm_unpackhi_epi16(y16, zero), 12);
                    lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(cb16, cr16), cg), ylo);
                    hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(cb16, cr16), cg), yhi);
                    const __m128i g = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, bias), 12),
                                                      _mm_srai_epi32(_mm_add_epi32(hi, bias), 12));

                    const __m128i r8 = _mm_packus_epi16(r, r);
                    const __m128i g8 = _mm_packus_epi16(g, g);
                    const __m128i b8 = _mm_packus_epi16(b, b);

                    __m128i first, second;
                    if constexpr (BGRA)
                    {
                        first = _mm_unpacklo_epi8(b8, g8);
                        second = _mm_unpacklo_epi8(r8, alpha);
                    }
                    else
                    {
                        first = _mm_unpacklo_epi8(r8, g8);
                        second = _mm_unpacklo_epi8(b8, alpha);
                    }

                    __m128i* d = reinterpret_cast<__m128i*>(dest + x * 4);
                    _mm_storeu_si128(d + 0, _mm_unpacklo_epi16(first, second));
                    _mm_storeu_si128(d + 1, _mm_unpackhi_epi16(first, second));
                }
            }
        };

        template <Sample S, int W, int H>
        void shapeSSE2(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            color::convertShape<S, W, H, SSE2Row<S == JPEG_U8_BGRA>>(dest, stride, data, context, width, height);
        }

    } // namespace

    #define SHAPES(NAME, SAMPLE) \
        void colorYCbCrTo##NAME##8x8SSE2(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shapeSSE2<SAMPLE, 8, 8>(d, s, c, x, w, h); } \
        void colorYCbCrTo##NAME##8x16SSE2(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shapeSSE2<SAMPLE, 8, 16>(d, s, c, x, w, h); } \
        void colorYCbCrTo##NAME##16x8SSE2(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shapeSSE2<SAMPLE, 16, 8>(d, s, c, x, w, h); } \
        void colorYCbCrTo##NAME##16x16SSE2(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shapeSSE2<SAMPLE, 16, 16>(d, s, c, x, w, h); }

    SHAPES(BGRA, JPEG_U8_BGRA)
    SHAPES(RGBA, JPEG_U8_RGBA)

    #undef SHAPES

} // namespace norva::jpeg

#endif
