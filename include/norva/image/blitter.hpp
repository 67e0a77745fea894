#pragma once

#include <span>

#include <norva/core/configure.hpp>
#include <norva/core/cpu.hpp>
#include <norva/image/format.hpp>
#include <norva/image/surface.hpp>

namespace norva
{
    class ThreadPool;

    // Converts rectangles of pixels from one Format to another. Built once per pair, then
    // read-only, so several threads may convert disjoint bands with one Blitter.
    //
    // The choice, first match wins:
    //  1. equal formats: a row copy (memmove, so a surface may be blitted onto itself);
    //  2. a fast kernel registered for the exact pair (getFastConversionTable);
    //  3. the generic converters: unsigned-normalised (UNORM, 8 to 64 bits per pixel,
    //     fields up to 32 bits), half (FLOAT16) and float (FLOAT32) components, in every
    //     direction between those types.
    // Anything else (SNORM, UINT, SINT, NONE, pixels that are not whole bytes) has no
    // conversion: canConvert() is false and convert() writes nothing.
    //
    // Generic rules, identical on every path (scalar, SSE2, any band split):
    //  - UNORM to UNORM rounds each field to nearest, exactly: d = (2 v dmax + smax) / (2 smax).
    //  - A component the source lacks is 0, alpha all ones (1.0 for float destinations).
    //  - Float to UNORM clamps to 0..1 (NaN gives the maximum), then d = floor(v dmax + 0.5).
    //  - UNORM to float is v / vmax; half is exact to float; float to half rounds to
    //    nearest, ties away from zero, overflow to infinity, and keeps a NaN a NaN.
    //  - A colour source into a luminance destination (and only then) takes Rec. 601 luma:
    //    (77 R + 150 G + 29 B + 128) >> 8 in destination units, 0.299/0.587/0.114 for
    //    floats; a source without all three colours gives its red.
    class Blitter
    {
    public:
        using RowKernel = void (*)(u8* dest, const u8* src, int count);
        using RectFunction = void (*)(const Blitter& blitter, const BlitRect& rect);

        enum class Path
        {
            NONE,
            COPY,
            FAST,
            UNORM,           // scalar integer UNORM to UNORM
            UNORM_SSE2,      // the same results, four fields at once
            FLOAT_TO_UNORM,
            FLOAT_TO_FLOAT,
            UNORM_TO_FLOAT,
        };

        Format dest;
        Format source;
        Path path = Path::NONE;
        RowKernel rowKernel = nullptr;     // FAST
        RectFunction rectFunction = nullptr;

        // Chooses from the running CPU's features and the fast table.
        Blitter(const Format& dest, const Format& source);

        bool canConvert() const { return rectFunction != nullptr; }

        // Converts rect on the calling thread; does nothing when !canConvert().
        void convert(const BlitRect& rect) const
        {
            if (rectFunction)
                rectFunction(*this, rect);
        }

        // The conversion records of the generic path; only the converters read them.
        struct Channel
        {
            int component = 0;
            // source: a UNORM field (shift, max) or a float element (byte offset, or -1
            // when the source lacks the component)
            u32 srcShift = 0;
            u64 srcMax = 0;
            s32 srcOffset = -1;
            // destination: a UNORM field (shift, max) or a float element (byte offset)
            u32 dstShift = 0;
            u64 dstMax = 0;
            s32 dstOffset = 0;
            // UNORM to UNORM: floor(n * magic / 2^64) = n / (2 smax) for every numerator,
            // or 0 when the field sizes are too wide for it and a division is used
            u64 magic = 0;
            float defaultValue = 0.0f; // float destinations: value when the source lacks it
        };

        Channel channel[4];
        int channels = 0;
        bool luma = false;   // channel 0..2 are red, green, blue into one luminance field
        u64 copyMask = 0;    // UNORM source bits that land unchanged
        u64 alphaFill = 0;   // destination bits set because the source has no alpha

        // SSE2 constants, one lane per record of channel[].
        alignas(16) float sse2Scale[4] = {};
        alignas(16) float sse2Bias[4] = {};
        alignas(16) u32 sse2SrcLow[4] = {};   // fields below bit 31, read in place
        alignas(16) u32 sse2SrcHigh[4] = {};  // fields that include bit 31, read shifted by 1
        alignas(16) u32 sse2DstMask[4] = {};  // halved for fields that include bit 31
        alignas(16) u32 sse2High[4] = {};     // the halved masks, added back to double them

        // Whether the SSE2 float form gives the exact rounding of the integer rule for every
        // value of a srcBits-wide field into a dstBits-wide one (checked exhaustively by
        // the tests).
        static bool isFloatFormExact(int srcBits, int dstBits);
    };

    // A hand-written row kernel for one exact (destination, source) pair. cpuFlags: the
    // features the kernel needs (0: none); rows the CPU cannot run are skipped.
    struct FastConversion
    {
        Format dest;
        Format source;
        CPUFlags cpuFlags;
        Blitter::RowKernel kernel;
    };

    // The table the fast map is built from (blitter_fast.cpp); a later row replaces an
    // earlier one with the same pair.
    std::span<const FastConversion> getFastConversionTable();

    // Row bands of a width x height conversion on a pool of `workers` threads: 1 when
    // the formats are equal or each worker would get fewer than 8192 pixels, and never
    // more than there are rows.
    int getBlitBandCount(int width, int height, int workers, bool equalFormats);

    // Converts rect in `bands` row bands: band k covers rows k * b to k * b + b - 1 with
    // b = height / bands, the last band takes the rest. One band runs on the calling
    // thread; more are queued on pool's "blit" queue (priority 0) and waited for.
    void convertBands(const Blitter& blitter, const BlitRect& rect, int bands, ThreadPool& pool);
    void convertBands(const Blitter& blitter, const BlitRect& rect, int bands);

    // Exact IEEE 754 half <-> float conversions used by the converters.
    float halfToFloat(u16 half);
    u16 floatToHalf(float value);

} // namespace norva
