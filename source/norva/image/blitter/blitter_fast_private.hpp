#pragma once

// The row kernels of the fast-conversion table, one family per instruction set. Every
// kernel converts count pixels and writes exactly count destination pixels. Source and
// destination either do not overlap, or the conversion runs in place: dest <= src with a
// destination pixel no larger than a source pixel (a SIMD block reads all it needs before
// it writes, and never writes past the pixels it converted).
//
// The SIMD kernels give the bytes of the scalar ones exactly; they hand their remainder
// pixels to them.

#include <cstring>

#include <norva/core/configure.hpp>
#include <norva/core/endian.hpp>

namespace norva::fast
{

    // Float to byte for the float and half rows: clamp to 0..1 (NaN gives 0), then
    // trunc(x * 255 + 0.5) in single precision. Rounding once keeps every byte value
    // through byte -> float -> byte. The SIMD kernels use the same operations in lanes
    // (max, min, mul, add, truncating convert).
    inline u32 floatToByte(float x)
    {
        x = x > 0.0f ? x : 0.0f;
        x = x < 1.0f ? x : 1.0f;
        return u32(int(x * 255.0f + 0.5f));
    }

#define NORVA_FAST_KERNELS(X) \
    X(copyRow4)                   \
    X(setAlpha32)                 \
    X(swapRB32)                   \
    X(unpackBGRA4444)             \
    X(unpackBGRA5551)             \
    X(expandBGR888)               \
    X(expandRGB888toBGRA)         \
    X(unpackBGR565)               \
    X(dropAlpha32)                \
    X(convertBGRA8888toRGB888)    \
    X(swapRB24)                   \
    X(packBGR565)                 \
    X(packBGRA5551)               \
    X(packBGRA4444)               \
    X(expandL8toRGB888)           \
    X(expandL8toRGBA8888)         \
    X(expandL16toRGBA8888)        \
    X(expandLA16toRGBA8888)       \
    X(convertRGB16toRGBA8888)     \
    X(convertRGB16toBGRA8888)     \
    X(convertRGBA16toRGBA8888)    \
    X(convertRGBA16toBGRA8888)    \
    X(convertHalfToRGBA8888)      \
    X(convertHalfToBGRA8888)      \
    X(convertFloatToRGBA8888)     \
    X(convertFloatToBGRA8888)     \
    X(convertFloatToHalf)         \
    X(convertHalfToFloat)         \
    X(convertRGBA8888ToFloat)     \
    X(convertBGRA8888ToFloat)

#define NORVA_DECLARE_KERNEL(name) void name(u8* dest, const u8* src, int count);

    // Every row has a scalar kernel; the SIMD families define the rows they speed up
    // (blitter_fast.cpp lists which): SSE2 the packed 16-bit formats, half, float and the
    // simplest byte moves, SSSE3 the byte moves through pshufb, AVX2 most rows again on
    // 256-bit vectors.
    namespace scalar { NORVA_FAST_KERNELS(NORVA_DECLARE_KERNEL) }
    namespace sse2 { NORVA_FAST_KERNELS(NORVA_DECLARE_KERNEL) }
    namespace ssse3 { NORVA_FAST_KERNELS(NORVA_DECLARE_KERNEL) }
    namespace avx2 { NORVA_FAST_KERNELS(NORVA_DECLARE_KERNEL) }

    // Whether the operating system saves the 256-bit registers (the CPU flags report the
    // instruction set only).
    bool isAVXEnabledByOS();

#undef NORVA_DECLARE_KERNEL

} // namespace norva::fast
