// The fast rows on AVX2: the byte moves of the SSSE3 file on 32-pixel blocks, and the
// packed 16-bit formats and float sources of the SSE2 file, twice as wide. 256-bit
// shuffles stay inside their 128-bit lanes, so a destination pair of chunks loads its
// two source windows into the two lanes, and packs and unpacks put their lanes back in
// order with one cross-lane permute. Remainders go to the narrower kernels.

#include <norva/image/blitter.hpp>

#include <utility>

#include <immintrin.h>

#include "blitter_fast_private.hpp"
#include "blitter_fast_shuffle.hpp"

#define NORVA_AVX2 __attribute__((target("avx2"), always_inline)) inline
#define NORVA_AVX2_KERNEL __attribute__((target("avx2")))
#define NORVA_AVX2_F16C __attribute__((target("avx2,f16c"), always_inline)) inline
#define NORVA_AVX2_F16C_KERNEL __attribute__((target("avx2,f16c")))

namespace norva::fast::avx2
{
    namespace
    {

        NORVA_AVX2 __m256i loadu(const u8* p)
        {
            return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        }

        NORVA_AVX2 void storeu(u8* p, __m256i v)
        {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
        }

        NORVA_AVX2 __m256i loadPair(const u8* low, const u8* high)
        {
            return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
                                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
        }

        NORVA_AVX2 __m256i control(const Control& low, const Control& high)
        {
            return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low.data()))),
                                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(high.data())), 1);
        }

        // ------------------------------------------------------------------------------
        // byte moves
        // ------------------------------------------------------------------------------

        template <ByteMap M, int O, size_t... I>
        NORVA_AVX2 __m256i combine(const __m256i* in, std::index_sequence<I...>)
        {
            using P = Plan<M, 32>;
            __m256i v = _mm256_setzero_si256();
            ((v = (P::uses(2 * O, int(I)) || P::uses(2 * O + 1, int(I)))
                      ? _mm256_or_si256(v, _mm256_shuffle_epi8(in[I], control(P::chunkControl(2 * O, int(I)),
                                                                               P::chunkControl(2 * O + 1, int(I)))))
                      : v),
             ...);
            return v;
        }

        // destination chunks 2 O and 2 O + 1 in the two lanes
        template <ByteMap M, int O>
        NORVA_AVX2 __m256i pair(const u8* src, const __m256i* in)
        {
            using P = Plan<M, 32>;
            constexpr int a = 2 * O;
            constexpr int b = 2 * O + 1;
            __m256i v;
            if constexpr (P::sharedWindow(a, b))
            {
                constexpr int at = P::sharedStart(a, b);
                const __m256i s = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at)));
                v = _mm256_shuffle_epi8(s, control(P::windowControl(a, at), P::windowControl(b, at)));
            }
            else if constexpr (P::window(a) && P::window(b))
            {
                const __m256i s = P::start(b) == P::start(a) + 16 ? loadu(src + P::start(a))
                                                                  : loadPair(src + P::start(a), src + P::start(b));
                v = _mm256_shuffle_epi8(s, control(P::windowControl(a), P::windowControl(b)));
            }
            else
            {
                v = combine<M, O>(in, std::make_index_sequence<P::inChunks>());
            }
            if constexpr (P::hasFill(a) || P::hasFill(b))
                v = _mm256_or_si256(v, control(P::fill(a), P::fill(b)));
            return v;
        }

        template <ByteMap M>
        constexpr bool needsChunks()
        {
            using P = Plan<M, 32>;
            for (int o = 0; o < P::outChunks; o += 2)
                if (!(P::window(o) && P::window(o + 1)))
                    return true;
            return false;
        }

        // every source chunk in both lanes, all loaded before the first store
        template <ByteMap M, size_t... I, size_t... O>
        NORVA_AVX2 void block(u8* dest, const u8* src, std::index_sequence<I...>, std::index_sequence<O...>)
        {
            if constexpr (needsChunks<M>())
            {
                const __m256i in[] = { _mm256_broadcastsi128_si256(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 * I)))... };
                const __m256i out[] = { pair<M, int(O)>(src, in)... };
                (storeu(dest + 32 * O, out[O]), ...);
            }
            else
            {
                const __m256i out[] = { pair<M, int(O)>(src, nullptr)... };
                (storeu(dest + 32 * O, out[O]), ...);
            }
        }

        template <ByteMap M>
        NORVA_AVX2_KERNEL void run(u8* dest, const u8* src, int count, void (*tail)(u8*, const u8*, int))
        {
            using P = Plan<M, 32>;
            static_assert(P::outChunks % 2 == 0, "destination chunks go in pairs");
            const int bulk = P::blockPixels(count);
            for (int x = 0; x < bulk; x += 32)
                block<M>(dest + ptrdiff_t(x) * P::D, src + ptrdiff_t(x) * P::S, std::make_index_sequence<P::inChunks>(),
                         std::make_index_sequence<P::outChunks / 2>());
            tail(dest + ptrdiff_t(bulk) * P::D, src + ptrdiff_t(bulk) * P::S, count - bulk);
        }

        // ------------------------------------------------------------------------------
        // packed 16-bit formats
        // ------------------------------------------------------------------------------

        NORVA_AVX2 __m256i replicate5(__m256i c)
        {
            return _mm256_or_si256(_mm256_slli_epi16(c, 3), _mm256_srli_epi16(c, 2));
        }

        NORVA_AVX2 __m256i replicate6(__m256i c)
        {
            return _mm256_or_si256(_mm256_slli_epi16(c, 2), _mm256_srli_epi16(c, 4));
        }

        // 16 source pixels, loaded with their quarters ordered 0, 2, 1, 3 so that the
        // in-lane interleaves below come out in pixel order
        NORVA_AVX2 __m256i load16Pixels(const u8* src)
        {
            return _mm256_permute4x64_epi64(loadu(src), 0xD8);
        }

        // bytes b, g, r, a from 16-bit lanes holding b | g << 8 and r | a << 8
        NORVA_AVX2 void storeBGRA(u8* dest, __m256i bg, __m256i ra)
        {
            storeu(dest, _mm256_unpacklo_epi16(bg, ra));
            storeu(dest + 32, _mm256_unpackhi_epi16(bg, ra));
        }

        // 32-bit lanes holding 16-bit values, a then b, into 16 pixels in order (the
        // unsigned saturating pack is exact for them)
        NORVA_AVX2 __m256i pack32to16(__m256i a, __m256i b)
        {
            return _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
        }

        NORVA_AVX2 __m256i pack565(__m256i s)
        {
            return _mm256_or_si256(
                _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(s, 8), _mm256_set1_epi32(0xF800)),
                                _mm256_and_si256(_mm256_srli_epi32(s, 5), _mm256_set1_epi32(0x7E0))),
                _mm256_and_si256(_mm256_srli_epi32(s, 3), _mm256_set1_epi32(0x1F)));
        }

        NORVA_AVX2 __m256i pack5551(__m256i s)
        {
            const __m256i rgb = _mm256_or_si256(
                _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(s, 9), _mm256_set1_epi32(0x7C00)),
                                _mm256_and_si256(_mm256_srli_epi32(s, 6), _mm256_set1_epi32(0x3E0))),
                _mm256_and_si256(_mm256_srli_epi32(s, 3), _mm256_set1_epi32(0x1F)));
            return _mm256_or_si256(rgb, _mm256_and_si256(_mm256_srli_epi32(s, 16), _mm256_set1_epi32(0x8000)));
        }

        NORVA_AVX2 __m256i pack4444(__m256i s)
        {
            const __m256i hi = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(s, 16), _mm256_set1_epi32(0xF000)),
                                               _mm256_and_si256(_mm256_srli_epi32(s, 12), _mm256_set1_epi32(0xF00)));
            const __m256i lo = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(s, 8), _mm256_set1_epi32(0xF0)),
                                               _mm256_and_si256(_mm256_srli_epi32(s, 4), _mm256_set1_epi32(0xF)));
            return _mm256_or_si256(hi, lo);
        }

        // ------------------------------------------------------------------------------
        // half and float
        // ------------------------------------------------------------------------------

        NORVA_AVX2 __m256i floatToBytes(__m256 v)
        {
            v = _mm256_max_ps(v, _mm256_setzero_ps()); // a NaN gives the second operand: 0
            v = _mm256_min_ps(v, _mm256_set1_ps(1.0f));
            v = _mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(255.0f)), _mm256_set1_ps(0.5f));
            return _mm256_cvttps_epi32(v);
        }

        // eight pixels, two per vector (lanes r, g, b, a), into 32 bytes in order
        template <bool SwapRB>
        NORVA_AVX2 __m256i packPixels(__m256i p0, __m256i p1, __m256i p2, __m256i p3)
        {
            if constexpr (SwapRB)
            {
                p0 = _mm256_shuffle_epi32(p0, _MM_SHUFFLE(3, 0, 1, 2));
                p1 = _mm256_shuffle_epi32(p1, _MM_SHUFFLE(3, 0, 1, 2));
                p2 = _mm256_shuffle_epi32(p2, _MM_SHUFFLE(3, 0, 1, 2));
                p3 = _mm256_shuffle_epi32(p3, _MM_SHUFFLE(3, 0, 1, 2));
            }
            // lanes hold pixels 0, 2, 4, 6 | 1, 3, 5, 7 after the two in-lane packs
            const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(p0, p1), _mm256_packs_epi32(p2, p3));
            return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        }

        // Eight halves widened by F16C, which is exact except that it sets the quiet bit of
        // a signalling NaN. With ExactNaN, lanes of exponent 31 are rebuilt by the rule of
        // halfToFloat (payload kept as it is); byte rows turn every NaN into 0 anyway.
        template <bool ExactNaN>
        NORVA_AVX2_F16C __m256 halfToFloat8(const u8* src)
        {
            const __m128i h16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
            const __m256 f = _mm256_cvtph_ps(h16);
            if constexpr (!ExactNaN)
                return f;
            const __m256i h = _mm256_cvtepu16_epi32(h16);
            const __m256i top = _mm256_cmpeq_epi32(_mm256_and_si256(h, _mm256_set1_epi32(0x7C00)),
                                                   _mm256_set1_epi32(0x7C00));
            const __m256i special = _mm256_or_si256(
                _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(h, _mm256_set1_epi32(0x8000)), 16),
                                _mm256_set1_epi32(0x7F800000)),
                _mm256_slli_epi32(_mm256_and_si256(h, _mm256_set1_epi32(0x3FF)), 13));
            return _mm256_castsi256_ps(_mm256_blendv_epi8(_mm256_castps_si256(f), special, top));
        }

        template <bool SwapRB>
        NORVA_AVX2_F16C_KERNEL void halfToBytes(u8* dest, const u8* src, int count)
        {
            int x = 0;
            for (; x + 8 <= count; x += 8)
            {
                const u8* s = src + ptrdiff_t(x) * 8;
                const __m256i p0 = floatToBytes(halfToFloat8<false>(s));
                const __m256i p1 = floatToBytes(halfToFloat8<false>(s + 16));
                const __m256i p2 = floatToBytes(halfToFloat8<false>(s + 32));
                const __m256i p3 = floatToBytes(halfToFloat8<false>(s + 48));
                storeu(dest + ptrdiff_t(x) * 4, packPixels<SwapRB>(p0, p1, p2, p3));
            }
            if (SwapRB)
                sse2::convertHalfToBGRA8888(dest + ptrdiff_t(x) * 4, src + ptrdiff_t(x) * 8, count - x);
            else
                sse2::convertHalfToRGBA8888(dest + ptrdiff_t(x) * 4, src + ptrdiff_t(x) * 8, count - x);
        }

        template <bool SwapRB>
        NORVA_AVX2_KERNEL void floatToBytesRow(u8* dest, const u8* src, int count)
        {
            int x = 0;
            for (; x + 8 <= count; x += 8)
            {
                const float* s = reinterpret_cast<const float*>(src + ptrdiff_t(x) * 16);
                const __m256i p0 = floatToBytes(_mm256_loadu_ps(s));
                const __m256i p1 = floatToBytes(_mm256_loadu_ps(s + 8));
                const __m256i p2 = floatToBytes(_mm256_loadu_ps(s + 16));
                const __m256i p3 = floatToBytes(_mm256_loadu_ps(s + 24));
                storeu(dest + ptrdiff_t(x) * 4, packPixels<SwapRB>(p0, p1, p2, p3));
            }
            if (SwapRB)
                sse2::convertFloatToBGRA8888(dest + ptrdiff_t(x) * 4, src + ptrdiff_t(x) * 16, count - x);
            else
                sse2::convertFloatToRGBA8888(dest + ptrdiff_t(x) * 4, src + ptrdiff_t(x) * 16, count - x);
        }

    } // namespace

        // Four bytes to three: each lane packs its four pixels into 12 bytes, one cross-lane
        // permute joins them, and the 32-byte store's last 8 bytes are overwritten by the
        // next group (the loop stops early enough for the last one to stay in the row). In
        // place, a store never reaches source bytes that are still to be read.
        template <ByteMap M>
        NORVA_AVX2_KERNEL void compact32to24(u8* dest, const u8* src, int count, void (*tail)(u8*, const u8*, int))
        {
            static_assert(M.source == 4 && M.dest == 3, "four bytes to three");
            constexpr auto lane = [] {
                Control c {};
                for (int j = 0; j < 16; ++j)
                    c[j] = j < 12 ? u8((j / 3) * 4 + M.index[j % 3]) : 0x80;
                return c;
            }();
            const __m256i pack = control(lane, lane);
            const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
            int x = 0;
            for (; x + 11 <= count; x += 8)
            {
                const __m256i v = _mm256_shuffle_epi8(loadu(src + ptrdiff_t(x) * 4), pack);
                storeu(dest + ptrdiff_t(x) * 3, _mm256_permutevar8x32_epi32(v, join));
            }
            tail(dest + ptrdiff_t(x) * 3, src + ptrdiff_t(x) * 4, count - x);
        }

#define NORVA_AVX2_ROW(name, tail) \
    void name(u8* dest, const u8* src, int count) { run<name##Map>(dest, src, count, tail::name); }

    NORVA_AVX2_ROW(swapRB32, ssse3)
    NORVA_AVX2_ROW(setAlpha32, sse2)
    NORVA_AVX2_ROW(expandBGR888, ssse3)
    NORVA_AVX2_ROW(expandRGB888toBGRA, ssse3)
    void dropAlpha32(u8* dest, const u8* src, int count)
    {
        compact32to24<dropAlpha32Map>(dest, src, count, ssse3::dropAlpha32);
    }

    void convertBGRA8888toRGB888(u8* dest, const u8* src, int count)
    {
        compact32to24<convertBGRA8888toRGB888Map>(dest, src, count, ssse3::convertBGRA8888toRGB888);
    }
    NORVA_AVX2_ROW(swapRB24, ssse3)
    NORVA_AVX2_ROW(expandL8toRGB888, ssse3)
    NORVA_AVX2_ROW(expandL8toRGBA8888, ssse3)
    NORVA_AVX2_ROW(expandL16toRGBA8888, ssse3)
    NORVA_AVX2_ROW(expandLA16toRGBA8888, ssse3)
    NORVA_AVX2_ROW(convertRGB16toRGBA8888, ssse3)
    NORVA_AVX2_ROW(convertRGB16toBGRA8888, ssse3)
    NORVA_AVX2_ROW(convertRGBA16toRGBA8888, ssse3)
    NORVA_AVX2_ROW(convertRGBA16toBGRA8888, ssse3)

    NORVA_AVX2_KERNEL void unpackBGRA4444(u8* dest, const u8* src, int count)
    {
        const __m256i low = _mm256_set1_epi16(0x0F0F);
        int x = 0;
        for (; x + 16 <= count; x += 16)
        {
            const __m256i s = load16Pixels(src + ptrdiff_t(x) * 2);
            __m256i br = _mm256_and_si256(s, low);
            __m256i ga = _mm256_and_si256(_mm256_srli_epi16(s, 4), low);
            br = _mm256_or_si256(br, _mm256_slli_epi16(br, 4));
            ga = _mm256_or_si256(ga, _mm256_slli_epi16(ga, 4));
            // bytes b, r | g, a interleave into b, g, r, a
            storeu(dest + ptrdiff_t(x) * 4, _mm256_unpacklo_epi8(br, ga));
            storeu(dest + ptrdiff_t(x) * 4 + 32, _mm256_unpackhi_epi8(br, ga));
        }
        sse2::unpackBGRA4444(dest + ptrdiff_t(x) * 4, src + ptrdiff_t(x) * 2, count - x);
    }

    NORVA_AVX2_KERNEL void unpackBGRA5551(u8* dest, const u8* src, int count)
    {
        const __m256i five = _mm256_set1_epi16(0x1F);
        int x = 0;
        for (; x + 16 <= count; x += 16)
        {
            const __m256i s = load16Pixels(src + ptrdiff_t(x) * 2);
            const __m256i b = replicate5(_mm256_and_si256(s, five));
            const __m256i g = replicate5(_mm256_and_si256(_mm256_srli_epi16(s, 5), five));
            const __m256i r = replicate5(_mm256_and_si256(_mm256_srli_epi16(s, 10), five));
            const __m256i a = _mm256_and_si256(_mm256_srai_epi16(s, 15), _mm256_set1_epi16(int16_t(0xFF00)));
            storeBGRA(dest + ptrdiff_t(x) * 4, _mm256_or_si256(b, _mm256_slli_epi16(g, 8)), _mm256_or_si256(r, a));
        }
        sse2::unpackBGRA5551(dest + ptrdiff_t(x) * 4, src + ptrdiff_t(x) * 2, count - x);
    }

    NORVA_AVX2_KERNEL void unpackBGR565(u8* dest, const u8* src, int count)
    {
        const __m256i alpha = _mm256_set1_epi16(int16_t(0xFF00));
        int x = 0;
        for (; x + 16 <= count; x += 16)
        {
            const __m256i s = load16Pixels(src + ptrdiff_t(x) * 2);
            const __m256i b = replicate5(_mm256_and_si256(s, _mm256_set1_epi16(0x1F)));
            const __m256i g = replicate6(_mm256_and_si256(_mm256_srli_epi16(s, 5), _mm256_set1_epi16(0x3F)));
            const __m256i r = replicate5(_mm256_srli_epi16(s, 11));
            storeBGRA(dest + ptrdiff_t(x) * 4, _mm256_or_si256(b, _mm256_slli_epi16(g, 8)), _mm256_or_si256(r, alpha));
        }
        sse2::unpackBGR565(dest + ptrdiff_t(x) * 4, src + ptrdiff_t(x) * 2, count - x);
    }

    namespace
    {
        enum Packing
        {
            P565,
            P5551,
            P4444,
        };

        template <Packing K>
        NORVA_AVX2 __m256i pack(__m256i s)
        {
            if constexpr (K == P565)
                return pack565(s);
            else if constexpr (K == P5551)
                return pack5551(s);
            else
                return pack4444(s);
        }

        template <Packing K>
        NORVA_AVX2 int packRow(u8* dest, const u8* src, int count)
        {
            int x = 0;
            for (; x + 16 <= count; x += 16)
            {
                const __m256i a = pack<K>(loadu(src + ptrdiff_t(x) * 4));
                const __m256i b = pack<K>(loadu(src + ptrdiff_t(x) * 4 + 32));
                storeu(dest + ptrdiff_t(x) * 2, pack32to16(a, b));
            }
            return x;
        }
    } // namespace

    NORVA_AVX2_KERNEL void packBGR565(u8* dest, const u8* src, int count)
    {
        const int x = packRow<P565>(dest, src, count);
        sse2::packBGR565(dest + ptrdiff_t(x) * 2, src + ptrdiff_t(x) * 4, count - x);
    }

    NORVA_AVX2_KERNEL void packBGRA5551(u8* dest, const u8* src, int count)
    {
        const int x = packRow<P5551>(dest, src, count);
        sse2::packBGRA5551(dest + ptrdiff_t(x) * 2, src + ptrdiff_t(x) * 4, count - x);
    }

    NORVA_AVX2_KERNEL void packBGRA4444(u8* dest, const u8* src, int count)
    {
        const int x = packRow<P4444>(dest, src, count);
        sse2::packBGRA4444(dest + ptrdiff_t(x) * 2, src + ptrdiff_t(x) * 4, count - x);
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

    NORVA_AVX2_F16C_KERNEL void convertHalfToFloat(u8* dest, const u8* src, int count)
    {
        int x = 0;
        for (; x + 4 <= count; x += 4)
        {
            const u8* s = src + ptrdiff_t(x) * 8;
            float* d = reinterpret_cast<float*>(dest + ptrdiff_t(x) * 16);
            _mm256_storeu_ps(d, halfToFloat8<true>(s));
            _mm256_storeu_ps(d + 8, halfToFloat8<true>(s + 16));
        }
        sse2::convertHalfToFloat(dest + ptrdiff_t(x) * 16, src + ptrdiff_t(x) * 8, count - x);
    }

    // The rule of floatToHalf in lanes; 256-bit shifts take a count per lane, so half
    // subnormals need no detour.
    NORVA_AVX2_KERNEL void convertFloatToHalf(u8* dest, const u8* src, int count)
    {
        const __m256i one = _mm256_set1_epi32(1);
        const __m256i inf = _mm256_set1_epi32(0x7C00);
        int x = 0;
        for (; x + 4 <= count; x += 4)
        {
            __m256i h[2];
            for (int k = 0; k < 2; ++k)
            {
                const __m256i bits = loadu(src + ptrdiff_t(x) * 16 + 32 * k);
                const __m256i sign = _mm256_and_si256(_mm256_srli_epi32(bits, 16), _mm256_set1_epi32(0x8000));
                const __m256i a = _mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFFFF));

                // normal: rebias, round half away from zero, a carry may reach infinity
                const __m256i normal = _mm256_min_epu32(
                    _mm256_srli_epi32(_mm256_add_epi32(a, _mm256_set1_epi32(0x1000 - 0x38000000)), 13), inf);

                // subnormal: the value in units of 2^-24, half away from zero; shifts of 32
                // and more give 0, which covers everything below 2^-25
                const __m256i shift = _mm256_sub_epi32(_mm256_set1_epi32(126), _mm256_srli_epi32(a, 23));
                const __m256i mantissa = _mm256_or_si256(_mm256_and_si256(a, _mm256_set1_epi32(0x7FFFFF)),
                                                         _mm256_set1_epi32(0x800000));
                const __m256i half = _mm256_sllv_epi32(one, _mm256_sub_epi32(shift, one));
                const __m256i sub = _mm256_srlv_epi32(_mm256_add_epi32(mantissa, half), shift);

                // infinity 0x7C00; NaN keeps the top of its payload and sets the quiet bit
                const __m256i nan = _mm256_cmpgt_epi32(a, _mm256_set1_epi32(0x7F800000));
                const __m256i special = _mm256_or_si256(
                    inf, _mm256_and_si256(nan, _mm256_or_si256(_mm256_set1_epi32(0x200),
                                                               _mm256_and_si256(_mm256_srli_epi32(a, 13),
                                                                                _mm256_set1_epi32(0x3FF)))));

                const __m256i small = _mm256_cmpgt_epi32(_mm256_set1_epi32(0x38800000), a);
                const __m256i big = _mm256_cmpgt_epi32(a, _mm256_set1_epi32(0x7F7FFFFF));
                __m256i v = _mm256_blendv_epi8(normal, sub, small);
                v = _mm256_blendv_epi8(v, special, big);
                h[k] = _mm256_or_si256(v, sign);
            }
            storeu(dest + ptrdiff_t(x) * 8, pack32to16(h[0], h[1]));
        }
        sse2::convertFloatToHalf(dest + ptrdiff_t(x) * 8, src + ptrdiff_t(x) * 16, count - x);
    }

} // namespace norva::fast::avx2
