// Hand-written row kernels for the pairs on the hot paths (palette and luminance
// expansion, channel swaps, 16-bit packed formats, 16-bit and float sources to 8 bits,
// 8-bit sources to the float blocks of the RGTC and BPTC encoders).
//
// The rows are read when the fast map is built, before main: keep the table constant-
// initialised (constexpr Formats and function pointers) so that no initialisation order
// matters. A row is { destination, source, required CPU flags (0: none), kernel }.
//
// Every pair has a scalar row; SIMD rows for the same pair follow it, narrowest
// instruction set first, so that the widest one the CPU runs replaces the others when
// the map is built. All variants of a pair give the same bytes.

#include <norva/image/blitter.hpp>

#include <cpuid.h>

#include "blitter_fast_private.hpp"

namespace norva
{
    namespace
    {

        constexpr Format BGRX8880 = Format::BGRX8880;
        constexpr Format RGBX8880 = Format::RGBX8880;
        constexpr Format BGRA8888 = Format::BGRA8888;
        constexpr Format RGBA8888 = Format::RGBA8888;
        constexpr Format BGRA4444 = Format::BGRA4444;
        constexpr Format BGRA5551 = Format::BGRA5551;
        constexpr Format BGR888 = Format::BGR888;
        constexpr Format RGB888 = Format::RGB888;
        constexpr Format BGR565 = Format::BGR565;
        constexpr Format L8 = Format::L8;
        constexpr Format L16 = Format::L16;
        constexpr Format LA1616 = Format::LA1616;
        constexpr Format RGB16 = Format::RGB16;
        constexpr Format RGBA16 = Format::RGBA16;
        constexpr Format RGBA16F = Format::RGBA16F;
        constexpr Format RGBA32F = Format::RGBA32F;

        using namespace fast;

        constexpr FastConversion table[] = {
            // scalar: every pair
            { BGRX8880, BGRA8888, 0, scalar::copyRow4 },
            { RGBX8880, RGBA8888, 0, scalar::copyRow4 },
            { BGRA8888, BGRX8880, 0, scalar::setAlpha32 },
            { RGBA8888, RGBX8880, 0, scalar::setAlpha32 },
            { BGRX8880, RGBX8880, 0, scalar::swapRB32 },
            { RGBX8880, BGRX8880, 0, scalar::swapRB32 },
            { BGRA8888, RGBA8888, 0, scalar::swapRB32 },
            { RGBA8888, BGRA8888, 0, scalar::swapRB32 },
            { BGRA8888, BGRA4444, 0, scalar::unpackBGRA4444 },
            { BGRA8888, BGRA5551, 0, scalar::unpackBGRA5551 },
            { BGRA8888, BGR888, 0, scalar::expandBGR888 },
            { BGRA8888, RGB888, 0, scalar::expandRGB888toBGRA },
            { BGRA8888, BGR565, 0, scalar::unpackBGR565 },
            { BGR888, BGRA8888, 0, scalar::dropAlpha32 },
            { RGB888, BGRA8888, 0, scalar::convertBGRA8888toRGB888 },
            { RGB888, BGR888, 0, scalar::swapRB24 },
            { BGR888, RGB888, 0, scalar::swapRB24 },
            { BGR565, BGRA8888, 0, scalar::packBGR565 },
            { BGRA5551, BGRA8888, 0, scalar::packBGRA5551 },
            { BGRA4444, BGRA8888, 0, scalar::packBGRA4444 },
            { BGR888, L8, 0, scalar::expandL8toRGB888 },
            { RGB888, L8, 0, scalar::expandL8toRGB888 },
            { BGRA8888, L8, 0, scalar::expandL8toRGBA8888 },
            { RGBA8888, L8, 0, scalar::expandL8toRGBA8888 },
            { RGBA8888, L16, 0, scalar::expandL16toRGBA8888 },
            { BGRA8888, L16, 0, scalar::expandL16toRGBA8888 },
            { RGBA8888, LA1616, 0, scalar::expandLA16toRGBA8888 },
            { BGRA8888, LA1616, 0, scalar::expandLA16toRGBA8888 },
            { RGBA8888, RGB16, 0, scalar::convertRGB16toRGBA8888 },
            { BGRA8888, RGB16, 0, scalar::convertRGB16toBGRA8888 },
            { RGBA8888, RGBA16, 0, scalar::convertRGBA16toRGBA8888 },
            { BGRA8888, RGBA16, 0, scalar::convertRGBA16toBGRA8888 },
            { RGBA8888, RGBA16F, 0, scalar::convertHalfToRGBA8888 },
            { BGRA8888, RGBA16F, 0, scalar::convertHalfToBGRA8888 },
            { RGBA8888, RGBA32F, 0, scalar::convertFloatToRGBA8888 },
            { BGRA8888, RGBA32F, 0, scalar::convertFloatToBGRA8888 },
            { RGBA16F, RGBA32F, 0, scalar::convertFloatToHalf },
            { RGBA32F, RGBA16F, 0, scalar::convertHalfToFloat },
            { RGBA32F, RGBA8888, 0, scalar::convertRGBA8888ToFloat },
            { RGBA32F, BGRA8888, 0, scalar::convertBGRA8888ToFloat },

            // SSE2
            { BGRA8888, BGRX8880, CPU_SSE2, sse2::setAlpha32 },
            { RGBA8888, RGBX8880, CPU_SSE2, sse2::setAlpha32 },
            { BGRX8880, RGBX8880, CPU_SSE2, sse2::swapRB32 },
            { RGBX8880, BGRX8880, CPU_SSE2, sse2::swapRB32 },
            { BGRA8888, RGBA8888, CPU_SSE2, sse2::swapRB32 },
            { RGBA8888, BGRA8888, CPU_SSE2, sse2::swapRB32 },
            { BGRA8888, BGRA4444, CPU_SSE2, sse2::unpackBGRA4444 },
            { BGRA8888, BGRA5551, CPU_SSE2, sse2::unpackBGRA5551 },
            { BGRA8888, BGR565, CPU_SSE2, sse2::unpackBGR565 },
            { BGR565, BGRA8888, CPU_SSE2, sse2::packBGR565 },
            { BGRA5551, BGRA8888, CPU_SSE2, sse2::packBGRA5551 },
            { BGRA4444, BGRA8888, CPU_SSE2, sse2::packBGRA4444 },
            { BGRA8888, L8, CPU_SSE2, sse2::expandL8toRGBA8888 },
            { RGBA8888, L8, CPU_SSE2, sse2::expandL8toRGBA8888 },
            { RGBA8888, L16, CPU_SSE2, sse2::expandL16toRGBA8888 },
            { BGRA8888, L16, CPU_SSE2, sse2::expandL16toRGBA8888 },
            { RGBA8888, RGBA16, CPU_SSE2, sse2::convertRGBA16toRGBA8888 },
            { RGBA8888, RGBA16F, CPU_SSE2, sse2::convertHalfToRGBA8888 },
            { BGRA8888, RGBA16F, CPU_SSE2, sse2::convertHalfToBGRA8888 },
            { RGBA8888, RGBA32F, CPU_SSE2, sse2::convertFloatToRGBA8888 },
            { BGRA8888, RGBA32F, CPU_SSE2, sse2::convertFloatToBGRA8888 },
            { RGBA16F, RGBA32F, CPU_SSE2, sse2::convertFloatToHalf },
            { RGBA32F, RGBA16F, CPU_SSE2, sse2::convertHalfToFloat },
            { RGBA32F, RGBA8888, CPU_SSE2, sse2::convertRGBA8888ToFloat },
            { RGBA32F, BGRA8888, CPU_SSE2, sse2::convertBGRA8888ToFloat },

            // SSSE3: byte moves through pshufb
            { BGRX8880, RGBX8880, CPU_SSSE3, ssse3::swapRB32 },
            { RGBX8880, BGRX8880, CPU_SSSE3, ssse3::swapRB32 },
            { BGRA8888, RGBA8888, CPU_SSSE3, ssse3::swapRB32 },
            { RGBA8888, BGRA8888, CPU_SSSE3, ssse3::swapRB32 },
            { BGRA8888, BGR888, CPU_SSSE3, ssse3::expandBGR888 },
            { BGRA8888, RGB888, CPU_SSSE3, ssse3::expandRGB888toBGRA },
            { BGR888, BGRA8888, CPU_SSSE3, ssse3::dropAlpha32 },
            { RGB888, BGRA8888, CPU_SSSE3, ssse3::convertBGRA8888toRGB888 },
            { RGB888, BGR888, CPU_SSSE3, ssse3::swapRB24 },
            { BGR888, RGB888, CPU_SSSE3, ssse3::swapRB24 },
            { BGR888, L8, CPU_SSSE3, ssse3::expandL8toRGB888 },
            { RGB888, L8, CPU_SSSE3, ssse3::expandL8toRGB888 },
            { RGBA8888, LA1616, CPU_SSSE3, ssse3::expandLA16toRGBA8888 },
            { BGRA8888, LA1616, CPU_SSSE3, ssse3::expandLA16toRGBA8888 },
            { RGBA8888, RGB16, CPU_SSSE3, ssse3::convertRGB16toRGBA8888 },
            { BGRA8888, RGB16, CPU_SSSE3, ssse3::convertRGB16toBGRA8888 },
            { BGRA8888, RGBA16, CPU_SSSE3, ssse3::convertRGBA16toBGRA8888 },

            // AVX2: kept last, so that the table can end before them when the operating
            // system does not save the 256-bit registers
            { BGRA8888, BGRX8880, CPU_AVX2, avx2::setAlpha32 },
            { RGBA8888, RGBX8880, CPU_AVX2, avx2::setAlpha32 },
            { BGRX8880, RGBX8880, CPU_AVX2, avx2::swapRB32 },
            { RGBX8880, BGRX8880, CPU_AVX2, avx2::swapRB32 },
            { BGRA8888, RGBA8888, CPU_AVX2, avx2::swapRB32 },
            { RGBA8888, BGRA8888, CPU_AVX2, avx2::swapRB32 },
            { BGRA8888, BGRA4444, CPU_AVX2, avx2::unpackBGRA4444 },
            { BGRA8888, BGRA5551, CPU_AVX2, avx2::unpackBGRA5551 },
            { BGRA8888, BGR888, CPU_AVX2, avx2::expandBGR888 },
            { BGRA8888, RGB888, CPU_AVX2, avx2::expandRGB888toBGRA },
            { BGRA8888, BGR565, CPU_AVX2, avx2::unpackBGR565 },
            { BGR888, BGRA8888, CPU_AVX2, avx2::dropAlpha32 },
            { RGB888, BGRA8888, CPU_AVX2, avx2::convertBGRA8888toRGB888 },
            { RGB888, BGR888, CPU_AVX2, avx2::swapRB24 },
            { BGR888, RGB888, CPU_AVX2, avx2::swapRB24 },
            { BGR565, BGRA8888, CPU_AVX2, avx2::packBGR565 },
            { BGRA5551, BGRA8888, CPU_AVX2, avx2::packBGRA5551 },
            { BGRA4444, BGRA8888, CPU_AVX2, avx2::packBGRA4444 },
            { BGR888, L8, CPU_AVX2, avx2::expandL8toRGB888 },
            { RGB888, L8, CPU_AVX2, avx2::expandL8toRGB888 },
            { BGRA8888, L8, CPU_AVX2, avx2::expandL8toRGBA8888 },
            { RGBA8888, L8, CPU_AVX2, avx2::expandL8toRGBA8888 },
            { RGBA8888, L16, CPU_AVX2, avx2::expandL16toRGBA8888 },
            { BGRA8888, L16, CPU_AVX2, avx2::expandL16toRGBA8888 },
            { RGBA8888, LA1616, CPU_AVX2, avx2::expandLA16toRGBA8888 },
            { BGRA8888, LA1616, CPU_AVX2, avx2::expandLA16toRGBA8888 },
            { RGBA8888, RGB16, CPU_AVX2, avx2::convertRGB16toRGBA8888 },
            { BGRA8888, RGB16, CPU_AVX2, avx2::convertRGB16toBGRA8888 },
            { RGBA8888, RGBA16, CPU_AVX2, avx2::convertRGBA16toRGBA8888 },
            { BGRA8888, RGBA16, CPU_AVX2, avx2::convertRGBA16toBGRA8888 },
            { RGBA8888, RGBA16F, CPU_AVX2 | CPU_F16C, avx2::convertHalfToRGBA8888 },
            { BGRA8888, RGBA16F, CPU_AVX2 | CPU_F16C, avx2::convertHalfToBGRA8888 },
            { RGBA8888, RGBA32F, CPU_AVX2, avx2::convertFloatToRGBA8888 },
            { BGRA8888, RGBA32F, CPU_AVX2, avx2::convertFloatToBGRA8888 },
            { RGBA16F, RGBA32F, CPU_AVX2, avx2::convertFloatToHalf },
            { RGBA32F, RGBA16F, CPU_AVX2 | CPU_F16C, avx2::convertHalfToFloat },
        };

        constexpr size_t firstAVX2Row()
        {
            size_t i = 0;
            while (i < std::size(table) && !(table[i].cpuFlags & CPU_AVX2))
                ++i;
            return i;
        }

    } // namespace

    namespace fast
    {
        bool isAVXEnabledByOS()
        {
            unsigned eax, ebx, ecx, edx;
            if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
                return false;
            const bool osxsave = (ecx >> 27) & 1;
            const bool avx = (ecx >> 28) & 1;
            if (!osxsave || !avx)
                return false;
            u32 xcr0, xcr0High;
            __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
            return (xcr0 & 6) == 6; // SSE and AVX state
        }
    } // namespace fast

    std::span<const FastConversion> getFastConversionTable()
    {
        static const bool avx = fast::isAVXEnabledByOS();
        return std::span<const FastConversion>(table, avx ? std::size(table) : firstAVX2Row());
    }

} // namespace norva
