#pragma once

// The kernel families behind png_kernels.hpp, one namespace per instruction set; the table
// in png_kernels.cpp says which of them replace the scalar forms. The pixel-size templates
// are instantiated in their own files for the sizes the table lists.

#include <cstdlib>

#include "png_kernels.hpp"

namespace norva::png
{
    // The Paeth predictor as the format defines it, with p = a + b - c.
    inline int paethPredictor(int a, int b, int c)
    {
        const int pa = std::abs(b - c);
        const int pb = std::abs(a - c);
        const int pc = std::abs(a + b - 2 * c);
        if (pa <= pb && pa <= pc)
        {
            return a;
        }
        return pb <= pc ? b : c;
    }

    namespace scalar
    {
        template <int BPP> void sub(u8* row, const u8* prior, size_t bytes);
        template <int BPP> void average(u8* row, const u8* prior, size_t bytes);
        template <int BPP> void paeth(u8* row, const u8* prior, size_t bytes);
        template <int BPP> void averageFirstRow(u8* row, const u8* prior, size_t bytes);
        void up(u8* row, const u8* prior, size_t bytes);

        void expandRGB8(u8* dest, const u8* src, size_t width);
        void expandRGBA8(u8* dest, const u8* src, size_t width);
    } // namespace scalar

    // pixels of 3, 4, 6 and 8 bytes
    namespace sse2
    {
        template <int BPP> void sub(u8* row, const u8* prior, size_t bytes);
        template <int BPP> void average(u8* row, const u8* prior, size_t bytes);
        template <int BPP> void paeth(u8* row, const u8* prior, size_t bytes);
        void up(u8* row, const u8* prior, size_t bytes);
    } // namespace sse2

    namespace ssse3
    {
        void expandRGB8(u8* dest, const u8* src, size_t width);
        void expandRGBA8(u8* dest, const u8* src, size_t width);
    } // namespace ssse3

} // namespace norva::png
