#pragma once

// Row expansion: unfiltered PNG samples (big-endian, packed below 8 bits) into the
// decoder's output formats: L8, LA88, L16, LA1616, BGRA8888 and RGBA16 in host order, or
// the palette indices as they are. The expander is chosen once per image.

#include <norva/core/configure.hpp>

#include "png_kernels.hpp"

namespace norva::png
{
    enum ColorType
    {
        COLOR_GREY = 0,
        COLOR_RGB = 2,
        COLOR_PALETTE = 3,
        COLOR_GREY_ALPHA = 4,
        COLOR_RGB_ALPHA = 6,
    };

    inline u32 packBGRA(u32 r, u32 g, u32 b, u32 a)
    {
        return (a << 24) | (r << 16) | (g << 8) | b;
    }

    // What the expander needs to know about an image's samples.
    struct SampleFormat
    {
        int colorType = COLOR_RGB;
        int depth = 8;
        bool transparent = false;    // a tRNS chunk: grey and RGB keys become alpha 0
        bool indexed = false;        // palette images give their indices, not colours
        u16 greyKey = 0;
        u16 redKey = 0;
        u16 greenKey = 0;
        u16 blueKey = 0;
        const u32* palette = nullptr;    // 256 BGRA 8888 entries
    };

    class RowExpander
    {
    public:
        RowExpander(const SampleFormat& format, const Kernels& kernels);

        // Expands one row of `width` pixels; `src` is the row without its filter byte.
        void operator()(u8* dest, const u8* src, u32 width) const
        {
            if (m_kernel)
            {
                m_kernel(dest, src, width);
            }
            else
            {
                m_function(dest, src, width, m_format);
            }
        }

        using Function = void (*)(u8* dest, const u8* src, u32 width, const SampleFormat& format);

    private:
        ExpandKernel m_kernel = nullptr;    // the table's kernels need nothing but the row
        Function m_function = nullptr;
        SampleFormat m_format;
    };

} // namespace norva::png
