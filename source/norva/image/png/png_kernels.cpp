// The one table of PNG row kernels. A row is { filter, pixel size (0: every size),
// required CPU flags (0: none), kernel }. Every filter has scalar rows for every pixel
// size; the SIMD rows follow, narrowest instruction set first, and each one the CPU runs
// replaces what came before it.

#include "png_kernels_private.hpp"

namespace norva::png
{
    namespace
    {

        // the first-row form of Average, above a zero row
        constexpr u8 FILTER_AVERAGE_FIRST_ROW = 5;

        struct UnfilterRow
        {
            u8 filter;
            u8 bpp;
            CPUFlags cpuFlags;
            FilterKernel kernel;
        };

        constexpr UnfilterRow unfilterTable[] = {
            // scalar
            { FILTER_UP, 0, 0, scalar::up },
            { FILTER_SUB, 1, 0, scalar::sub<1> },
            { FILTER_SUB, 2, 0, scalar::sub<2> },
            { FILTER_SUB, 3, 0, scalar::sub<3> },
            { FILTER_SUB, 4, 0, scalar::sub<4> },
            { FILTER_SUB, 5, 0, scalar::sub<5> },
            { FILTER_SUB, 6, 0, scalar::sub<6> },
            { FILTER_SUB, 7, 0, scalar::sub<7> },
            { FILTER_SUB, 8, 0, scalar::sub<8> },
            { FILTER_AVERAGE, 1, 0, scalar::average<1> },
            { FILTER_AVERAGE, 2, 0, scalar::average<2> },
            { FILTER_AVERAGE, 3, 0, scalar::average<3> },
            { FILTER_AVERAGE, 4, 0, scalar::average<4> },
            { FILTER_AVERAGE, 5, 0, scalar::average<5> },
            { FILTER_AVERAGE, 6, 0, scalar::average<6> },
            { FILTER_AVERAGE, 7, 0, scalar::average<7> },
            { FILTER_AVERAGE, 8, 0, scalar::average<8> },
            { FILTER_AVERAGE_FIRST_ROW, 1, 0, scalar::averageFirstRow<1> },
            { FILTER_AVERAGE_FIRST_ROW, 2, 0, scalar::averageFirstRow<2> },
            { FILTER_AVERAGE_FIRST_ROW, 3, 0, scalar::averageFirstRow<3> },
            { FILTER_AVERAGE_FIRST_ROW, 4, 0, scalar::averageFirstRow<4> },
            { FILTER_AVERAGE_FIRST_ROW, 5, 0, scalar::averageFirstRow<5> },
            { FILTER_AVERAGE_FIRST_ROW, 6, 0, scalar::averageFirstRow<6> },
            { FILTER_AVERAGE_FIRST_ROW, 7, 0, scalar::averageFirstRow<7> },
            { FILTER_AVERAGE_FIRST_ROW, 8, 0, scalar::averageFirstRow<8> },
            { FILTER_PAETH, 1, 0, scalar::paeth<1> },
            { FILTER_PAETH, 2, 0, scalar::paeth<2> },
            { FILTER_PAETH, 3, 0, scalar::paeth<3> },
            { FILTER_PAETH, 4, 0, scalar::paeth<4> },
            { FILTER_PAETH, 5, 0, scalar::paeth<5> },
            { FILTER_PAETH, 6, 0, scalar::paeth<6> },
            { FILTER_PAETH, 7, 0, scalar::paeth<7> },
            { FILTER_PAETH, 8, 0, scalar::paeth<8> },

            // SSE2: Up on whole vectors, the others on the pixel sizes of 8 and 16-bit RGB(A)
            { FILTER_UP, 0, CPU_SSE2, sse2::up },
            { FILTER_SUB, 3, CPU_SSE2, sse2::sub<3> },
            { FILTER_SUB, 4, CPU_SSE2, sse2::sub<4> },
            { FILTER_SUB, 6, CPU_SSE2, sse2::sub<6> },
            { FILTER_SUB, 8, CPU_SSE2, sse2::sub<8> },
            { FILTER_AVERAGE, 3, CPU_SSE2, sse2::average<3> },
            { FILTER_AVERAGE, 4, CPU_SSE2, sse2::average<4> },
            { FILTER_AVERAGE, 6, CPU_SSE2, sse2::average<6> },
            { FILTER_AVERAGE, 8, CPU_SSE2, sse2::average<8> },
            { FILTER_PAETH, 3, CPU_SSE2, sse2::paeth<3> },
            { FILTER_PAETH, 4, CPU_SSE2, sse2::paeth<4> },
            { FILTER_PAETH, 6, CPU_SSE2, sse2::paeth<6> },
            { FILTER_PAETH, 8, CPU_SSE2, sse2::paeth<8> },
        };

        enum class ColorLayout : u8
        {
            RGB8,
            RGBA8,
        };

        struct ExpandRow
        {
            ColorLayout layout;
            CPUFlags cpuFlags;
            ExpandKernel kernel;
        };

        constexpr ExpandRow expandTable[] = {
            { ColorLayout::RGB8, 0, scalar::expandRGB8 },
            { ColorLayout::RGBA8, 0, scalar::expandRGBA8 },

            // SSSE3: byte shuffles
            { ColorLayout::RGB8, CPU_SSSE3, ssse3::expandRGB8 },
            { ColorLayout::RGBA8, CPU_SSSE3, ssse3::expandRGBA8 },
        };

        bool runs(CPUFlags required, CPUFlags flags)
        {
            return (required & flags) == required;
        }

        void install(UnfilterKernels& k, u8 filter, FilterKernel kernel)
        {
            switch (filter)
            {
                case FILTER_SUB: k.sub = kernel; break;
                case FILTER_UP: k.up = kernel; break;
                case FILTER_AVERAGE: k.average = kernel; break;
                case FILTER_PAETH: k.paeth = kernel; break;
                case FILTER_AVERAGE_FIRST_ROW: k.averageFirstRow = kernel; break;
                default: break;
            }
        }

    } // namespace

    Kernels chooseKernels(CPUFlags flags)
    {
        Kernels kernels;
        for (const UnfilterRow& row : unfilterTable)
        {
            if (!runs(row.cpuFlags, flags))
            {
                continue;
            }
            for (int bpp = 1; bpp <= 8; ++bpp)
            {
                if (row.bpp == 0 || row.bpp == bpp)
                {
                    install(kernels.unfilter[bpp - 1], row.filter, row.kernel);
                }
            }
        }
        for (const ExpandRow& row : expandTable)
        {
            if (runs(row.cpuFlags, flags))
            {
                (row.layout == ColorLayout::RGB8 ? kernels.expandRGB8 : kernels.expandRGBA8) = row.kernel;
            }
        }
        return kernels;
    }

    const Kernels& kernels()
    {
        static const Kernels chosen = chooseKernels(getCPUFlags());
        return chosen;
    }

    void unfilterRow(u8* row, const u8* prior, size_t bytes, const UnfilterKernels& kernels)
    {
        u8* x = row + 1;
        switch (row[0])
        {
            case FILTER_SUB:
                kernels.sub(x, prior, bytes);
                break;
            case FILTER_UP:
                // above a zero row Up changes nothing
                if (prior)
                {
                    kernels.up(x, prior, bytes);
                }
                break;
            case FILTER_AVERAGE:
                if (prior)
                {
                    kernels.average(x, prior, bytes);
                }
                else
                {
                    kernels.averageFirstRow(x, prior, bytes);
                }
                break;
            case FILTER_PAETH:
                // above a zero row the predictor is always the left pixel
                if (prior)
                {
                    kernels.paeth(x, prior, bytes);
                }
                else
                {
                    kernels.sub(x, prior, bytes);
                }
                break;
            default:
                break;
        }
    }

    void unfilterScanlines(u8* data, size_t bytes, size_t rows, const UnfilterKernels& kernels)
    {
        const u8* prior = nullptr;
        for (size_t y = 0; y < rows; ++y)
        {
            u8* row = data + y * (bytes + 1);
            unfilterRow(row, prior, bytes, kernels);
            prior = row + 1;
        }
    }

} // namespace norva::png
