// The scanline unfilters in plain C++: every filter at every pixel size, and the reference
// that the SIMD forms match byte for byte.

#include <algorithm>
#include <cstdlib>

#include "png_kernels_private.hpp"

namespace norva::png::scalar
{
    namespace
    {

        void subGeneric(u8* x, size_t bytes, int bpp)
        {
            for (size_t i = size_t(bpp); i < bytes; ++i)
            {
                x[i] = u8(x[i] + x[i - bpp]);
            }
        }

        // The pixel size is a constant, so the compiler keeps the previous pixel in registers.
        template <int BPP>
        void subFixed(u8* x, size_t bytes)
        {
            for (size_t i = BPP; i + BPP <= bytes; i += BPP)
            {
                for (int k = 0; k < BPP; ++k)
                {
                    x[i + k] = u8(x[i + k] + x[i + k - BPP]);
                }
            }
            // a malformed row length leaves a partial pixel that the loop above skips
            if (bytes > size_t(BPP))
            {
                for (size_t i = bytes - bytes % BPP; i < bytes; ++i)
                {
                    x[i] = u8(x[i] + x[i - BPP]);
                }
            }
        }

        void averageGeneric(u8* x, const u8* prior, size_t bytes, int bpp)
        {
            const size_t n = std::min(size_t(bpp), bytes);
            for (size_t i = 0; i < n; ++i)
            {
                x[i] = u8(x[i] + (prior[i] >> 1));
            }
            for (size_t i = n; i < bytes; ++i)
            {
                x[i] = u8(x[i] + ((x[i - bpp] + prior[i]) >> 1));
            }
        }

        void paethGeneric(u8* x, const u8* prior, size_t bytes, int bpp)
        {
            const size_t n = std::min(size_t(bpp), bytes);
            for (size_t i = 0; i < n; ++i)
            {
                x[i] = u8(x[i] + prior[i]);
            }
            for (size_t i = n; i < bytes; ++i)
            {
                x[i] = u8(x[i] + paethPredictor(x[i - bpp], prior[i], prior[i - bpp]));
            }
        }

        // One byte per pixel: the left and upper-left values stay in registers.
        void paeth1(u8* x, const u8* prior, size_t bytes)
        {
            if (!bytes)
            {
                return;
            }
            int a = x[0] = u8(x[0] + prior[0]);
            int c = prior[0];
            for (size_t i = 1; i < bytes; ++i)
            {
                const int b = prior[i];
                a = x[i] = u8(x[i] + paethPredictor(a, b, c));
                c = b;
            }
        }

    } // namespace

    template <int BPP>
    void sub(u8* row, const u8*, size_t bytes)
    {
        if constexpr (BPP == 3 || BPP == 4 || BPP == 6 || BPP == 8)
        {
            subFixed<BPP>(row, bytes);
        }
        else
        {
            subGeneric(row, bytes, BPP);
        }
    }

    void up(u8* row, const u8* prior, size_t bytes)
    {
        for (size_t i = 0; i < bytes; ++i)
        {
            row[i] = u8(row[i] + prior[i]);
        }
    }

    template <int BPP>
    void average(u8* row, const u8* prior, size_t bytes)
    {
        averageGeneric(row, prior, bytes, BPP);
    }

    template <int BPP>
    void averageFirstRow(u8* row, const u8*, size_t bytes)
    {
        for (size_t i = BPP; i < bytes; ++i)
        {
            row[i] = u8(row[i] + (row[i - BPP] >> 1));
        }
    }

    template <int BPP>
    void paeth(u8* row, const u8* prior, size_t bytes)
    {
        if constexpr (BPP == 1)
        {
            paeth1(row, prior, bytes);
        }
        else
        {
            paethGeneric(row, prior, bytes, BPP);
        }
    }

#define NORVA_PNG_INSTANTIATE(BPP)                                          \
    template void sub<BPP>(u8* row, const u8* prior, size_t bytes);             \
    template void average<BPP>(u8* row, const u8* prior, size_t bytes);         \
    template void averageFirstRow<BPP>(u8* row, const u8* prior, size_t bytes); \
    template void paeth<BPP>(u8* row, const u8* prior, size_t bytes);

    NORVA_PNG_INSTANTIATE(1)
    NORVA_PNG_INSTANTIATE(2)
    NORVA_PNG_INSTANTIATE(3)
    NORVA_PNG_INSTANTIATE(4)
    NORVA_PNG_INSTANTIATE(5)
    NORVA_PNG_INSTANTIATE(6)
    NORVA_PNG_INSTANTIATE(7)
    NORVA_PNG_INSTANTIATE(8)

#undef NORVA_PNG_INSTANTIATE

} // namespace norva::png::scalar
