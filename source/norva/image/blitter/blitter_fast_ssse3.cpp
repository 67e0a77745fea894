// The byte-move rows on SSSE3: 16 pixels per block, one pshufb per destination chunk
// (or one per source chunk it draws from), the rest of the row on the scalar kernels.

#include <norva/image/blitter.hpp>

#include <utility>

#include <immintrin.h>

#include "blitter_fast_private.hpp"
#include "blitter_fast_shuffle.hpp"

#define NORVA_SSSE3 __attribute__((target("ssse3"), always_inline)) inline

namespace norva::fast::ssse3
{
    namespace
    {

        NORVA_SSSE3 __m128i loadu(const u8* p)
        {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        }

        NORVA_SSSE3 __m128i control(const Control& c)
        {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(c.data()));
        }

        template <ByteMap M, int O, size_t... I>
        NORVA_SSSE3 __m128i combine(const __m128i* in, std::index_sequence<I...>)
        {
            using P = Plan<M, 16>;
            __m128i v = _mm_setzero_si128();
            ((v = P::uses(O, int(I)) ? _mm_or_si128(v, _mm_shuffle_epi8(in[I], control(P::chunkControl(O, int(I))))) : v),
             ...);
            return v;
        }

        template <ByteMap M, int O>
        NORVA_SSSE3 __m128i chunk(const u8* src, const __m128i* in)
        {
            using P = Plan<M, 16>;
            __m128i v;
            if constexpr (P::window(O))
                v = _mm_shuffle_epi8(loadu(src + P::start(O)), control(P::windowControl(O)));
            else
                v = combine<M, O>(in, std::make_index_sequence<P::inChunks>());
            if constexpr (P::hasFill(O))
                v = _mm_or_si128(v, control(P::fill(O)));
            return v;
        }

        // all loads of a block happen before its stores, so a shrinking map may run in place
        template <ByteMap M, size_t... I, size_t... O>
        NORVA_SSSE3 void block(u8* dest, const u8* src, std::index_sequence<I...>, std::index_sequence<O...>)
        {
            const __m128i in[] = { loadu(src + 16 * I)... };
            const __m128i out[] = { chunk<M, int(O)>(src, in)... };
            (_mm_storeu_si128(reinterpret_cast<__m128i*>(dest + 16 * O), out[O]), ...);
        }

        template <ByteMap M>
        __attribute__((target("ssse3"))) void run(u8* dest, const u8* src, int count, void (*tail)(u8*, const u8*, int))
        {
            using P = Plan<M, 16>;
            const int bulk = P::blockPixels(count);
            for (int x = 0; x < bulk; x += 16)
                block<M>(dest + ptrdiff_t(x) * P::D, src + ptrdiff_t(x) * P::S, std::make_index_sequence<P::inChunks>(),
                         std::make_index_sequence<P::outChunks>());
            tail(dest + ptrdiff_t(bulk) * P::D, src + ptrdiff_t(bulk) * P::S, count - bulk);
        }

    } // namespace

#define NORVA_SSSE3_ROW(name) \
    void name(u8* dest, const u8* src, int count) { run<name##Map>(dest, src, count, scalar::name); }

    NORVA_SSSE3_ROW(swapRB32)
    NORVA_SSSE3_ROW(expandBGR888)
    NORVA_SSSE3_ROW(expandRGB888toBGRA)
    NORVA_SSSE3_ROW(dropAlpha32)
    NORVA_SSSE3_ROW(convertBGRA8888toRGB888)
    NORVA_SSSE3_ROW(swapRB24)
    NORVA_SSSE3_ROW(expandL8toRGB888)
    NORVA_SSSE3_ROW(expandL8toRGBA8888)
    NORVA_SSSE3_ROW(expandL16toRGBA8888)
    NORVA_SSSE3_ROW(expandLA16toRGBA8888)
    NORVA_SSSE3_ROW(convertRGB16toRGBA8888)
    NORVA_SSSE3_ROW(convertRGB16toBGRA8888)
    NORVA_SSSE3_ROW(convertRGBA16toRGBA8888)
    NORVA_SSSE3_ROW(convertRGBA16toBGRA8888)

} // namespace norva::fast::ssse3
