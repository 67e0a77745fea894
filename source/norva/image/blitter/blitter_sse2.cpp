// The UNORM to UNORM converter, four fields of a pixel at once.
//
// Each lane holds one field in place: the source is masked, converted to float, scaled
// straight onto the destination field's position (the scale is the ratio of the two
// maxima times a power of two, so the placement is exact), given half a destination step
// and truncated. The Blitter selects this only for field widths where that float form is
// proven to give the integer rule's result for every value. Fields that include bit 31
// are read shifted right by one (the conversion is signed) and written halved, then
// doubled back. Rows go four pixels at a time, one field of four pixels per vector; the
// remainder goes pixel by pixel, all fields in one vector. Both do the same arithmetic per
// field, so they give the same bits.

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
            return u32(loadPixelN<N>(p));
        }

        template <int N>
        inline void store(u8* p, u32 value)
        {
            storePixelN<N>(p, value);
        }

        // Four pixels into the four lanes, zero-extended.
        template <int SB>
        inline __m128i load4(const u8* p)
        {
            if constexpr (SB == 4)
                return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            else if constexpr (SB == 2)
                return _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
            else if constexpr (SB == 1)
            {
                const __m128i v = _mm_cvtsi32_si128(int(load<4>(p)));
                const __m128i zero = _mm_setzero_si128();
                return _mm_unpacklo_epi16(_mm_unpacklo_epi8(v, zero), zero);
            }
            else
                return _mm_setr_epi32(int(load<3>(p)), int(load<3>(p + 3)), int(load<3>(p + 6)), int(load<3>(p + 9)));
        }

        // The low DB bytes of each lane, packed; every lane holds a value below 2^(8 DB).
        template <int DB>
        inline void store4(u8* p, __m128i v)
        {
            if constexpr (DB == 4)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
            else if constexpr (DB == 2)
            {
                // sign-extend the 16-bit values so that the signed pack keeps them exactly
                const __m128i s = _mm_srai_epi32(_mm_slli_epi32(v, 16), 16);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packs_epi32(s, s));
            }
            else if constexpr (DB == 1)
            {
                const __m128i w = _mm_packs_epi32(v, v);
                store<4>(p, u32(_mm_cvtsi128_si32(_mm_packus_epi16(w, w))));
            }
            else
            {
                alignas(16) u32 lanes[4];
                _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
                store<3>(p, lanes[0]);
                store<3>(p + 3, lanes[1]);
                store<3>(p + 6, lanes[2]);
                store<3>(p + 9, lanes[3]);
            }
        }

        // One field of four pixels at once: the constants of one lane of the per-pixel form.
        struct FieldRecord
        {
            __m128i srcShift;  // 1 for fields that include bit 31, else 0
            __m128i srcMask;
            __m128 scale;
            __m128 bias;
            __m128i dstMask;
            __m128i dstShift;  // 1 for halved destination fields, else 0
        };

        template <int SB, int DB>
        void convertUNormSSE2(const Blitter& b, const BlitRect& rect)
        {
            // per pixel: every field in its own lane
            const __m128 scale = _mm_load_ps(b.sse2Scale);
            const __m128 bias = _mm_load_ps(b.sse2Bias);
            const __m128i srcLow = _mm_load_si128(reinterpret_cast<const __m128i*>(b.sse2SrcLow));
            const __m128i srcHigh = _mm_load_si128(reinterpret_cast<const __m128i*>(b.sse2SrcHigh));
            const __m128i dstMask = _mm_load_si128(reinterpret_cast<const __m128i*>(b.sse2DstMask));
            const __m128i high = _mm_load_si128(reinterpret_cast<const __m128i*>(b.sse2High));
            const u32 copyMask = u32(b.copyMask);
            const u32 alphaFill = u32(b.alphaFill);

            // four pixels at a time: one field of four pixels per vector, same arithmetic
            FieldRecord records[4];
            const int count = b.channels;
            for (int i = 0; i < count; ++i)
            {
                const bool fromHigh = b.sse2SrcHigh[i] != 0;
                records[i].srcShift = _mm_cvtsi32_si128(fromHigh ? 1 : 0);
                records[i].srcMask = _mm_set1_epi32(int(fromHigh ? b.sse2SrcHigh[i] : b.sse2SrcLow[i]));
                records[i].scale = _mm_set1_ps(b.sse2Scale[i]);
                records[i].bias = _mm_set1_ps(b.sse2Bias[i]);
                records[i].dstMask = _mm_set1_epi32(int(b.sse2DstMask[i]));
                records[i].dstShift = _mm_cvtsi32_si128(b.sse2High[i] ? 1 : 0);
            }
            const __m128i copy4 = _mm_set1_epi32(int(copyMask));
            const __m128i fill4 = _mm_set1_epi32(int(alphaFill));

            u8* destRow = rect.dest;
            const u8* srcRow = rect.src;
            for (int y = 0; y < rect.height; ++y)
            {
                u8* dest = destRow;
                const u8* src = srcRow;
                int x = 0;
                for (; x + 4 <= rect.width; x += 4)
                {
                    const __m128i v = load4<SB>(src);
                    __m128i d = _mm_or_si128(_mm_and_si128(v, copy4), fill4);
                    for (int i = 0; i < count; ++i)
                    {
                        const FieldRecord& r = records[i];
                        const __m128i field = _mm_and_si128(_mm_srl_epi32(v, r.srcShift), r.srcMask);
                        const __m128 f = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(field), r.scale), r.bias);
                        const __m128i q = _mm_and_si128(_mm_cvttps_epi32(f), r.dstMask);
                        d = _mm_or_si128(d, _mm_sll_epi32(q, r.dstShift));
                    }
                    store4<DB>(dest, d);
                    dest += 4 * DB;
                    src += 4 * SB;
                }
                for (; x < rect.width; ++x)
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
