// SSE2 converters for the fixed MCU shapes to BGRA / RGBA: YCbCr, and colour stored as R, G, B.

#include "jpeg_color.hpp"

#if defined(__SSE2__)

#include <emmintrin.h>

namespace norva::jpeg
{
    namespace
    {
        // 12-bit fixed point: 1.402, 0.344, 0.714, 1.772. Since (4096 Y + c + 2048) >> 12 is
        // Y + ((c + 2048) >> 12) exactly, each chroma sample's three terms are computed once
        // and added to the luma of every pixel that shares the sample.
        struct ChromaTerms
        {
            __m128i r;
            __m128i g;
            __m128i b;
        };

        // the terms of 8 chroma samples, 16-bit
        inline ChromaTerms chromaTerms(const u8* cb, const u8* cr)
        {
            const __m128i zero = _mm_setzero_si128();
            const __m128i center = _mm_set1_epi16(-128);
            const __m128i one = _mm_set1_epi16(1);
            const __m128i bias = _mm_set1_epi32(2048);
            const __m128i kr = _mm_setr_epi16(5743, 2048, 5743, 2048, 5743, 2048, 5743, 2048);
            const __m128i kb = _mm_setr_epi16(7258, 2048, 7258, 2048, 7258, 2048, 7258, 2048);
            const __m128i kg = _mm_setr_epi16(-1409, -2924, -1409, -2924, -1409, -2924, -1409, -2924);

            const __m128i cb16 = _mm_add_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb)), zero), center);
            const __m128i cr16 = _mm_add_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr)), zero), center);

            auto narrow = [](__m128i lo, __m128i hi) {
                return _mm_packs_epi32(_mm_srai_epi32(lo, 12), _mm_srai_epi32(hi, 12));
            };

            ChromaTerms t;
            t.r = narrow(_mm_madd_epi16(_mm_unpacklo_epi16(cr16, one), kr), _mm_madd_epi16(_mm_unpackhi_epi16(cr16, one), kr));
            t.b = narrow(_mm_madd_epi16(_mm_unpacklo_epi16(cb16, one), kb), _mm_madd_epi16(_mm_unpackhi_epi16(cb16, one), kb));
            t.g = narrow(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(cb16, cr16), kg), bias),
                         _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(cb16, cr16), kg), bias));
            return t;
        }

        // eight pixels: 16-bit luma plus the terms, clamped to bytes and interleaved
        template <bool BGRA>
        inline void writePixels(u8* dest, __m128i y16, const ChromaTerms& t, __m128i y16b, const ChromaTerms& tb, int count)
        {
            const __m128i alpha = _mm_set1_epi8(char(0xFF));
            const __m128i r = _mm_packus_epi16(_mm_add_epi16(y16, t.r), _mm_add_epi16(y16b, tb.r));
            const __m128i g = _mm_packus_epi16(_mm_add_epi16(y16, t.g), _mm_add_epi16(y16b, tb.g));
            const __m128i b = _mm_packus_epi16(_mm_add_epi16(y16, t.b), _mm_add_epi16(y16b, tb.b));

            const __m128i first = BGRA ? b : r;
            const __m128i last = BGRA ? r : b;
            __m128i* d = reinterpret_cast<__m128i*>(dest);

            const __m128i lo0 = _mm_unpacklo_epi8(first, g);
            const __m128i lo1 = _mm_unpacklo_epi8(last, alpha);
            _mm_storeu_si128(d + 0, _mm_unpacklo_epi16(lo0, lo1));
            _mm_storeu_si128(d + 1, _mm_unpackhi_epi16(lo0, lo1));
            if (count == 16)
            {
                const __m128i hi0 = _mm_unpackhi_epi8(first, g);
                const __m128i hi1 = _mm_unpackhi_epi8(last, alpha);
                _mm_storeu_si128(d + 2, _mm_unpacklo_epi16(hi0, hi1));
                _mm_storeu_si128(d + 3, _mm_unpackhi_epi16(hi0, hi1));
            }
        }

        inline ChromaTerms doubled(const ChromaTerms& t, bool high)
        {
            if (high)
                return { _mm_unpackhi_epi16(t.r, t.r), _mm_unpackhi_epi16(t.g, t.g), _mm_unpackhi_epi16(t.b, t.b) };
            return { _mm_unpacklo_epi16(t.r, t.r), _mm_unpacklo_epi16(t.g, t.g), _mm_unpacklo_epi16(t.b, t.b) };
        }

        // An MCU of W x H pixels: (W / 8) x (H / 8) luma blocks and one block per chroma
        // component, upsampled by replication.
        template <bool BGRA, int W, int H>
        void shapeSSE2(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int, int)
        {
            constexpr int across = W / 8;
            constexpr int luma = across * (H / 8);
            constexpr int rowsPerChroma = H / 8;

            alignas(16) u8 samples[JPEG_MAX_BLOCKS_IN_MCU * 64];
            color::transformBlocks(samples, data, context, luma + 2);

            const u8* cbBlock = samples + luma * 64;
            const u8* crBlock = cbBlock + 64;
            const __m128i zero = _mm_setzero_si128();

            for (int cy = 0; cy < 8; ++cy)
            {
                const ChromaTerms terms = chromaTerms(cbBlock + cy * 8, crBlock + cy * 8);
                ChromaTerms left = terms;
                ChromaTerms right = terms;
                if constexpr (W == 16)
                {
                    left = doubled(terms, false);
                    right = doubled(terms, true);
                }

                for (int dy = 0; dy < rowsPerChroma; ++dy)
                {
                    const int y = cy * rowsPerChroma + dy;
                    const u8* source = samples + ((y >> 3) * across) * 64 + (y & 7) * 8;
                    const __m128i y0 = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(source)), zero);
                    if constexpr (W == 16)
                    {
                        const __m128i y1 = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(source + 64)), zero);
                        writePixels<BGRA>(dest, y0, left, y1, right, 16);
                    }
                    else
                    {
                        writePixels<BGRA>(dest, y0, terms, zero, terms, 8);
                    }
                    dest += stride;
                }
            }
        }

        // Colour stored as R, G, B, interleaved with alpha eight pixels at a time.
        template <bool BGRA>
        struct RGBRowSSE2
        {
            static void write(u8* dest, const u8* r, const u8* g, const u8* b, int count)
            {
                const __m128i alpha = _mm_set1_epi8(char(0xFF));
                __m128i* d = reinterpret_cast<__m128i*>(dest);
                for (int x = 0; x < count; x += 8)
                {
                    const __m128i first = _mm_loadl_epi64(reinterpret_cast<const __m128i*>((BGRA ? b : r) + x));
                    const __m128i second = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(g + x));
                    const __m128i last = _mm_loadl_epi64(reinterpret_cast<const __m128i*>((BGRA ? r : b) + x));
                    const __m128i lo = _mm_unpacklo_epi8(first, second);
                    const __m128i hi = _mm_unpacklo_epi8(last, alpha);
                    _mm_storeu_si128(d++, _mm_unpacklo_epi16(lo, hi));
                    _mm_storeu_si128(d++, _mm_unpackhi_epi16(lo, hi));
                }
            }
        };

        template <Sample S, int W, int H>
        void shapeRGBSSE2(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            color::convertShape<S, W, H, RGBRowSSE2<S == JPEG_U8_BGRA>>(dest, stride, data, context, width, height);
        }

    } // namespace

    #define SHAPES(NAME, SAMPLE) \
        void colorYCbCrTo##NAME##8x8SSE2(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shapeSSE2<SAMPLE == JPEG_U8_BGRA, 8, 8>(d, s, c, x, w, h); } \
        void colorYCbCrTo##NAME##8x16SSE2(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shapeSSE2<SAMPLE == JPEG_U8_BGRA, 8, 16>(d, s, c, x, w, h); } \
        void colorYCbCrTo##NAME##16x8SSE2(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shapeSSE2<SAMPLE == JPEG_U8_BGRA, 16, 8>(d, s, c, x, w, h); } \
        void colorYCbCrTo##NAME##16x16SSE2(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shapeSSE2<SAMPLE == JPEG_U8_BGRA, 16, 16>(d, s, c, x, w, h); }

    SHAPES(BGRA, JPEG_U8_BGRA)
    SHAPES(RGBA, JPEG_U8_RGBA)

    #undef SHAPES

    extern const ProcessFunc colorRGBShapesSSE2[2][4] =
    {
        { shapeRGBSSE2<JPEG_U8_BGRA, 8, 8>, shapeRGBSSE2<JPEG_U8_BGRA, 8, 16>, shapeRGBSSE2<JPEG_U8_BGRA, 16, 8>, shapeRGBSSE2<JPEG_U8_BGRA, 16, 16> },
        { shapeRGBSSE2<JPEG_U8_RGBA, 8, 8>, shapeRGBSSE2<JPEG_U8_RGBA, 8, 16>, shapeRGBSSE2<JPEG_U8_RGBA, 16, 8>, shapeRGBSSE2<JPEG_U8_RGBA, 16, 16> },
    };

} // namespace norva::jpeg

#endif
