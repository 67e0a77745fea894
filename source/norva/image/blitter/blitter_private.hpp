#pragma once

// Shared between the Blitter's selection and its converters, and the seam the tests and
// benchmarks choose a Blitter through.

#include <cstring>

#include <norva/image/blitter.hpp>

namespace norva
{
    // Little-endian pixels of N bytes, like the host. 3-byte pixels take a 16-bit and an
    // 8-bit access: a partial copy into a wider variable would stall store forwarding on
    // every pixel.
    template <int N>
    inline u64 loadPixelN(const u8* p)
    {
        if constexpr (N == 3)
        {
            u16 low;
            std::memcpy(&low, p, 2);
            return u64(low) | (u64(p[2]) << 16);
        }
        else
        {
            u64 value = 0;
            std::memcpy(&value, p, N);
            return value;
        }
    }

    template <int N>
    inline void storePixelN(u8* p, u64 value)
    {
        if constexpr (N == 3)
        {
            const u16 low = u16(value);
            std::memcpy(p, &low, 2);
            p[2] = u8(value >> 16);
        }
        else
        {
            std::memcpy(p, &value, N);
        }
    }

    // The scalar converters (blitter_generic.cpp).
    Blitter::RectFunction getCopyRect();      // memmove rows of equal formats
    Blitter::RectFunction getCustomRows();    // drives Blitter::rowKernel
    Blitter::RectFunction getScalarUNorm(int sourceBytes, int destBytes);
    Blitter::RectFunction getFloatToUNorm(bool half, bool luma);
    Blitter::RectFunction getToFloat(bool unormSource, bool srcHalf, bool dstHalf);

    // The SSE2 UNORM converter for pixels of sourceBytes and destBytes (1 to 4 each).
    Blitter::RectFunction getSSE2UNorm(int sourceBytes, int destBytes);

    // Whether trunc(f32(v) * (f32(dmax) / f32(smax)) + 0.5f) equals the exact nearest
    // (2 v dmax + smax) / (2 smax) for every v of a srcBits field into a dstBits field.
    bool floatFormMatches(int srcBits, int dstBits);

    // The seam for tests and benchmarks: the Blitter chosen as if the CPU had only cpuFlags
    // (0 forces scalar code), optionally without the fast table.
    Blitter makeBlitter(const Format& dest, const Format& source, CPUFlags cpuFlags, bool useFastTable);

} // namespace norva
