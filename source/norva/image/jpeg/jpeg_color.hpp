#pragma once

// Building blocks of the JPEG colour converters, shared by the scalar and SSE2 files.

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "jpeg_private.hpp"

namespace norva::jpeg::color
{
    inline u8 clampByte(s32 v)
    {
        return u8(v < 0 ? 0 : v > 255 ? 255 : v);
    }

    inline int bytesPerPixel(Sample sample)
    {
        switch (sample)
        {
            case JPEG_U8_Y: return 1;
            case JPEG_U8_BGR:
            case JPEG_U8_RGB: return 3;
            default: return 4;
        }
    }

    // Runs the context's iDCTs over the first count blocks of an MCU.
    inline void transformBlocks(u8* samples, const s16* data, const ProcessContext* context, int count)
    {
        const int split = std::min(count, context->chromaBlock);
        int b = 0;
        for (; b < split; ++b)
            context->idct(samples + b * 64, data + b * 64, context->qt[b]);
        for (; b < count; ++b)
            context->chromaIdct(samples + b * 64, data + b * 64, context->qt[b]);
    }

    // Scalar YCbCr to colour, 16-bit fixed point.
    template <Sample S>
    inline void writePixel(u8* dest, s32 y, s32 cb, s32 cr)
    {
        const s32 r = y + ((91750 * cr - 11711232) >> 16);
        const s32 g = y + ((-46596 * cr - 22479 * cb + 8874368) >> 16);
        const s32 b = y + ((115671 * cb - 14773120) >> 16);

        if constexpr (S == JPEG_U8_BGR || S == JPEG_U8_BGRA)
        {
            dest[0] = clampByte(b);
            dest[1] = clampByte(g);
            dest[2] = clampByte(r);
        }
        else
        {
            dest[0] = clampByte(r);
            dest[1] = clampByte(g);
            dest[2] = clampByte(b);
        }
        if constexpr (S == JPEG_U8_BGRA || S == JPEG_U8_RGBA)
            dest[3] = 0xFF;
    }

    template <Sample S>
    struct ScalarRow
    {
        static void write(u8* dest, const u8* y, const u8* cb, const u8* cr, int count)
        {
            if constexpr (S == JPEG_U8_Y)
            {
                std::memcpy(dest, y, count);
                (void)cb;
                (void)cr;
            }
            else
            {
                constexpr int bytes = (S == JPEG_U8_BGR || S == JPEG_U8_RGB) ? 3 : 4;
                for (int x = 0; x < count; ++x)
                    writePixel<S>(dest + x * bytes, y[x], cb[x], cr[x]);
            }
        }
    };

    // Colour stored as R, G, B: reordered into the layout, or weighted to luma for grey
    // output (libjpeg's 0.299, 0.587, 0.114 in 16-bit fixed point, summing to 65536).
    template <Sample S>
    struct RGBRow
    {
        static void write(u8* dest, const u8* r, const u8* g, const u8* b, int count)
        {
            if constexpr (S == JPEG_U8_Y)
            {
                for (int x = 0; x < count; ++x)
                    dest[x] = u8((19595 * r[x] + 38470 * g[x] + 7471 * b[x] + 32768) >> 16);
            }
            else
            {
                constexpr bool bgr = S == JPEG_U8_BGR || S == JPEG_U8_BGRA;
                constexpr int bytes = (S == JPEG_U8_BGR || S == JPEG_U8_RGB) ? 3 : 4;
                for (int x = 0; x < count; ++x)
                {
                    u8* d = dest + x * bytes;
                    d[0] = bgr ? b[x] : r[x];
                    d[1] = g[x];
                    d[2] = bgr ? r[x] : b[x];
                    if constexpr (bytes == 4)
                        d[3] = 0xFF;
                }
            }
        }
    };

    // An MCU whose first component fills W x H pixels with (W / 8) x (H / 8) blocks and
    // whose two chroma components have one block each, upsampled by replication.
    template <Sample S, int W, int H, typename Row>
    void convertShape(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int, int)
    {
        constexpr int across = W / 8;
        constexpr int luma = across * (H / 8);

        alignas(16) u8 samples[JPEG_MAX_BLOCKS_IN_MCU * 64];
        transformBlocks(samples, data, context, luma + 2);

        const u8* cbBlock = samples + luma * 64;
        const u8* crBlock = cbBlock + 64;

        alignas(16) u8 yRow[W];
        alignas(16) u8 cbRow[W];
        alignas(16) u8 crRow[W];

        for (int y = 0; y < H; ++y)
        {
            const u8* ySource = samples + ((y >> 3) * across) * 64 + (y & 7) * 8;
            for (int bx = 0; bx < across; ++bx)
                std::memcpy(yRow + bx * 8, ySource + bx * 64, 8);

            const u8* cb = cbBlock + (y * 8 / H) * 8;
            const u8* cr = crBlock + (y * 8 / H) * 8;
            if constexpr (W == 8)
            {
                std::memcpy(cbRow, cb, 8);
                std::memcpy(crRow, cr, 8);
            }
            else
            {
                // each chroma sample twice
#if defined(__SSE2__)
                const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb));
                const __m128i r = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr));
                _mm_store_si128(reinterpret_cast<__m128i*>(cbRow), _mm_unpacklo_epi8(b, b));
                _mm_store_si128(reinterpret_cast<__m128i*>(crRow), _mm_unpacklo_epi8(r, r));
#else
                for (int x = 0; x < 8; ++x)
                {
                    cbRow[x * 2 + 0] = cb[x];
                    cbRow[x * 2 + 1] = cb[x];
                    crRow[x * 2 + 0] = cr[x];
                    crRow[x * 2 + 1] = cr[x];
                }
#endif
            }

            Row::write(dest, yRow, cbRow, crRow, W);
            dest += stride;
        }
    }

} // namespace norva::jpeg::color
