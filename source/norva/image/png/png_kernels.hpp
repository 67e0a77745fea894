#pragma once

// The PNG decoder's row kernels: the scanline unfilters and the row expanders into the
// decoder's output formats.
//
// Every kernel has a scalar form; the SSE2 and SSSE3 forms of some replace it when the
// processor has them. The choice is made once, from the CPU flags, in chooseKernels();
// the decoder asks kernels() for the running processor's table, and tests ask
// chooseKernels() for the table of a processor with fewer features. All forms of a
// kernel give the same bytes.

#include <cstddef>

#include <norva/core/cpu.hpp>

namespace norva::png
{
    enum Filter : u8
    {
        FILTER_NONE = 0,
        FILTER_SUB = 1,
        FILTER_UP = 2,
        FILTER_AVERAGE = 3,
        FILTER_PAETH = 4,
    };

    // Undoes one filter on `bytes` bytes of a row in place; `prior` is the unfiltered row
    // above (the sub kernel ignores it).
    using FilterKernel = void (*)(u8* row, const u8* prior, size_t bytes);

    // The kernels of one pixel size (1 to 8 bytes; samples below 8 bits count as 1).
    struct UnfilterKernels
    {
        FilterKernel sub = nullptr;
        FilterKernel up = nullptr;
        FilterKernel average = nullptr;
        FilterKernel paeth = nullptr;
        FilterKernel averageFirstRow = nullptr;    // above the image: a zero row
    };

    // Expands `width` pixels of 8-bit samples into BGRA 8888.
    using ExpandKernel = void (*)(u8* dest, const u8* src, size_t width);

    struct Kernels
    {
        UnfilterKernels unfilter[8];    // by bytes per pixel - 1
        ExpandKernel expandRGB8 = nullptr;     // alpha 255
        ExpandKernel expandRGBA8 = nullptr;

        const UnfilterKernels& forPixelSize(int bpp) const { return unfilter[bpp - 1]; }
    };

    // The kernels a processor with only `flags` runs (0: all scalar).
    Kernels chooseKernels(CPUFlags flags);

    // The running processor's kernels, chosen once.
    const Kernels& kernels();

    // Undoes the filter of one row in place. `row` starts at the filter byte; `prior` is the
    // previous unfiltered row without its filter byte (null for the first row). Filter types
    // above 4 leave the row as stored.
    void unfilterRow(u8* row, const u8* prior, size_t bytes, const UnfilterKernels& kernels);

    // Unfilters `rows` rows of 1 + bytes each in place.
    void unfilterScanlines(u8* data, size_t bytes, size_t rows, const UnfilterKernels& kernels);

} // namespace norva::png
