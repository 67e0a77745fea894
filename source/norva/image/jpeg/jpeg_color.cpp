// JPEG colour converters: the MCU processors that run the iDCT and write pixels.

#include "jpeg_color.hpp"

namespace norva::jpeg
{
    // defined in jpeg_color_sse2.cpp
    void colorYCbCrToBGRA8x8SSE2(u8*, ptrdiff_t, const s16*, const ProcessContext*, int, int);
    void colorYCbCrToBGRA8x16SSE2(u8*, ptrdiff_t, const s16*, const ProcessContext*, int, int);
    void colorYCbCrToBGRA16x8SSE2(u8*, ptrdiff_t, const s16*, const ProcessContext*, int, int);
    void colorYCbCrToBGRA16x16SSE2(u8*, ptrdiff_t, const s16*, const ProcessContext*, int, int);
    void colorYCbCrToRGBA8x8SSE2(u8*, ptrdiff_t, const s16*, const ProcessContext*, int, int);
    void colorYCbCrToRGBA8x16SSE2(u8*, ptrdiff_t, const s16*, const ProcessContext*, int, int);
    void colorYCbCrToRGBA16x8SSE2(u8*, ptrdiff_t, const s16*, const ProcessContext*, int, int);
    void colorYCbCrToRGBA16x16SSE2(u8*, ptrdiff_t, const s16*, const ProcessContext*, int, int);
    // colour stored as R, G, B to BGRA and RGBA: 8x8, 8x16, 16x8, 16x16
    extern const ProcessFunc colorRGBShapesSSE2[2][4];

    using namespace color;

    namespace
    {
        constexpr SampleFormat sampleFormats[] =
        {
            { JPEG_U8_Y, Format::L8 },
            { JPEG_U8_BGR, Format::BGR888 },
            { JPEG_U8_RGB, Format::RGB888 },
            { JPEG_U8_BGRA, Format::BGRA8888 },
            { JPEG_U8_RGBA, Format::RGBA8888 },
        };

        // ------------------------------------------------------------------
        // one component
        // ------------------------------------------------------------------

        void colorYtoY(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            alignas(16) u8 samples[64];
            context->idct(samples, data, context->qt[0]);
            for (int y = 0; y < height; ++y)
            {
                std::memcpy(dest, samples + y * 8, width);
                dest += stride;
            }
        }

        template <int Bytes>
        void colorYtoColor(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            alignas(16) u8 samples[64];
            context->idct(samples, data, context->qt[0]);
            for (int y = 0; y < height; ++y)
            {
                const u8* s = samples + y * 8;
                u8* d = dest;
                for (int x = 0; x < width; ++x)
                {
                    d[0] = s[x];
                    d[1] = s[x];
                    d[2] = s[x];
                    if constexpr (Bytes == 4)
                        d[3] = 0xFF;
                    d += Bytes;
                }
                dest += stride;
            }
        }

        void colorYtoBGR(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            colorYtoColor<3>(dest, stride, data, context, width, height);
        }

        void colorYtoBGRA(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            colorYtoColor<4>(dest, stride, data, context, width, height);
        }

        // ------------------------------------------------------------------
        // general layouts: every component sampled through the context's tables
        // ------------------------------------------------------------------

        inline void gatherRow(u8* row, const u8* samples, const ProcessContext* context, int component, int y, int width)
        {
            const u8* source = samples + context->sampleY[component][y];
            const u16* sx = context->sampleX[component];
            for (int x = 0; x < width; ++x)
                row[x] = source[sx[x]];
        }

        // Row writes a row from the three components' samples, or from the first one's
        // alone when FirstOnly.
        template <typename Row, bool FirstOnly>
        void convertGeneral(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            alignas(16) u8 samples[JPEG_MAX_BLOCKS_IN_MCU * 64];
            transformBlocks(samples, data, context, context->blocks);

            u8 yRow[64];
            u8 cbRow[64];
            u8 crRow[64];

            for (int y = 0; y < height; ++y)
            {
                gatherRow(yRow, samples, context, 0, y, width);
                if constexpr (!FirstOnly)
                {
                    gatherRow(cbRow, samples, context, 1, y, width);
                    gatherRow(crRow, samples, context, 2, y, width);
                }
                Row::write(dest, yRow, cbRow, crRow, width);
                dest += stride;
            }
        }

        template <Sample S>
        void colorYCbCrGeneral(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            convertGeneral<ScalarRow<S>, S == JPEG_U8_Y>(dest, stride, data, context, width, height);
        }

        template <Sample S>
        void colorRGBGeneral(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            convertGeneral<RGBRow<S>, false>(dest, stride, data, context, width, height);
        }

        void colorYCbCrToY(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            colorYCbCrGeneral<JPEG_U8_Y>(dest, stride, data, context, width, height);
        }

        void colorYCbCrToBGR(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            colorYCbCrGeneral<JPEG_U8_BGR>(dest, stride, data, context, width, height);
        }

        void colorYCbCrToRGB(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            colorYCbCrGeneral<JPEG_U8_RGB>(dest, stride, data, context, width, height);
        }

        void colorYCbCrToBGRA(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            colorYCbCrGeneral<JPEG_U8_BGRA>(dest, stride, data, context, width, height);
        }

        void colorYCbCrToRGBA(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            colorYCbCrGeneral<JPEG_U8_RGBA>(dest, stride, data, context, width, height);
        }

        // Four components, B, G, R, 255: CMYK as stored (Adobe transform 0) or YCCK
        // (transform 2); the colour is scaled by the fourth component.
        void colorCMYK(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            alignas(16) u8 samples[JPEG_MAX_BLOCKS_IN_MCU * 64];
            transformBlocks(samples, data, context, context->blocks);

            u8 row[4][64];
            const u32 transform = context->colorTransform;

            for (int y = 0; y < height; ++y)
            {
                for (int c = 0; c < 4; ++c)
                    gatherRow(row[c], samples, context, c, y, width);

                u8* d = dest;
                for (int x = 0; x < width; ++x)
                {
                    const s32 c0 = row[0][x];
                    const s32 c1 = row[1][x];
                    const s32 c2 = row[2][x];
                    const s32 k = row[3][x];
                    s32 r = 0;
                    s32 g = 0;
                    s32 b = 0;

                    if (transform == 0)
                    {
                        r = c0;
                        g = c1;
                        b = c2;
                    }
                    else if (transform == 2)
                    {
                        // YCbCr to RGB, inverted to CMY; clamped before the scaling by K,
                        // which would otherwise carry an out-of-range value into the result
                        r = 255 - clampByte(((5734 * c2 - 735052) >> 12) + c0);
                        g = 255 - clampByte(((-1410 * c1 - 2925 * c2 + 554844) >> 12) + c0);
                        b = 255 - clampByte(((7258 * c1 - 929038) >> 12) + c0);
                    }

                    d[0] = clampByte(k * b / 255);
                    d[1] = clampByte(k * g / 255);
                    d[2] = clampByte(k * r / 255);
                    d[3] = 0xFF;
                    d += 4;
                }
                dest += stride;
            }
        }

        // ------------------------------------------------------------------
        // fixed shapes, scalar
        // ------------------------------------------------------------------

        template <Sample S, int W, int H>
        void shape(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context, int width, int height)
        {
            convertShape<S, W, H, ScalarRow<S>>(dest, stride, data, context, width, height);
        }

        #define SHAPES(NAME, SAMPLE) \
            void colorYCbCrTo##NAME##8x8(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shape<SAMPLE, 8, 8>(d, s, c, x, w, h); } \
            void colorYCbCrTo##NAME##8x16(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shape<SAMPLE, 8, 16>(d, s, c, x, w, h); } \
            void colorYCbCrTo##NAME##16x8(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shape<SAMPLE, 16, 8>(d, s, c, x, w, h); } \
            void colorYCbCrTo##NAME##16x16(u8* d, ptrdiff_t s, const s16* c, const ProcessContext* x, int w, int h) { shape<SAMPLE, 16, 16>(d, s, c, x, w, h); }

        SHAPES(BGR, JPEG_U8_BGR)
        SHAPES(RGB, JPEG_U8_RGB)
        SHAPES(BGRA, JPEG_U8_BGRA)
        SHAPES(RGBA, JPEG_U8_RGBA)

        #undef SHAPES

    } // namespace

    const Format& getSampleFormat(Sample sample)
    {
        return sampleFormats[sample].format;
    }

    SampleFormat getSampleFormat(const Format& format)
    {
        for (const SampleFormat& row : sampleFormats)
        {
            if (row.format == format)
                return row;
        }
        return sampleFormats[4];
    }

    void computeSampleTables(ProcessContext& context, const Frame* frame, int components, int hmax, int vmax)
    {
        context.mcuWidth = hmax * 8;
        context.mcuHeight = vmax * 8;

        for (int c = 0; c < components; ++c)
        {
            const int hi = int(frame[c].hsf);
            const int vi = int(frame[c].vsf);
            for (int x = 0; x < context.mcuWidth; ++x)
            {
                const int sx = x * hi / hmax;
                context.sampleX[c][x] = u16((sx >> 3) * 64 + (sx & 7));
            }
            for (int y = 0; y < context.mcuHeight; ++y)
            {
                const int sy = y * vi / vmax;
                context.sampleY[c][y] = u16(frame[c].offset * 64 + (sy >> 3) * hi * 64 + (sy & 7) * 8);
            }
        }
    }

    ColorConverters getColorConverters(Sample sample, CPUFlags flags)
    {
        struct Family
        {
            ProcessFunc ySource;
            ProcessFunc ycbcr;
            ProcessFunc shapes[4];  // 8x8, 8x16, 16x8, 16x16
            ProcessFunc rgb;
            ProcessFunc rgbShapes[4];
        };

        // colour stored as R, G, B is only reordered: the shared shape template does it
        #define RGB_SHAPES(S) { convertShape<S, 8, 8, RGBRow<S>>, convertShape<S, 8, 16, RGBRow<S>>, \
                                convertShape<S, 16, 8, RGBRow<S>>, convertShape<S, 16, 16, RGBRow<S>> }

        // one row per output layout, in Sample order
        static const Family scalar[] =
        {
            { colorYtoY, colorYCbCrToY, { nullptr, nullptr, nullptr, nullptr },
              colorRGBGeneral<JPEG_U8_Y>, { nullptr, nullptr, nullptr, nullptr } },
            { colorYtoBGR, colorYCbCrToBGR, { colorYCbCrToBGR8x8, colorYCbCrToBGR8x16, colorYCbCrToBGR16x8, colorYCbCrToBGR16x16 },
              colorRGBGeneral<JPEG_U8_BGR>, RGB_SHAPES(JPEG_U8_BGR) },
            { colorYtoBGR, colorYCbCrToRGB, { colorYCbCrToRGB8x8, colorYCbCrToRGB8x16, colorYCbCrToRGB16x8, colorYCbCrToRGB16x16 },
              colorRGBGeneral<JPEG_U8_RGB>, RGB_SHAPES(JPEG_U8_RGB) },
            { colorYtoBGRA, colorYCbCrToBGRA, { colorYCbCrToBGRA8x8, colorYCbCrToBGRA8x16, colorYCbCrToBGRA16x8, colorYCbCrToBGRA16x16 },
              colorRGBGeneral<JPEG_U8_BGRA>, RGB_SHAPES(JPEG_U8_BGRA) },
            { colorYtoBGRA, colorYCbCrToRGBA, { colorYCbCrToRGBA8x8, colorYCbCrToRGBA8x16, colorYCbCrToRGBA16x8, colorYCbCrToRGBA16x16 },
              colorRGBGeneral<JPEG_U8_RGBA>, RGB_SHAPES(JPEG_U8_RGBA) },
        };

        #undef RGB_SHAPES

        const Family& family = scalar[sample];
        const ProcessFunc* shapes = family.shapes;
        const ProcessFunc* rgbShapes = family.rgbShapes;

#if defined(__SSE2__)
        // the 32-bit layouts have SSE2 shapes
        static const ProcessFunc sse2[2][4] =
        {
            { colorYCbCrToBGRA8x8SSE2, colorYCbCrToBGRA8x16SSE2, colorYCbCrToBGRA16x8SSE2, colorYCbCrToBGRA16x16SSE2 },
            { colorYCbCrToRGBA8x8SSE2, colorYCbCrToRGBA8x16SSE2, colorYCbCrToRGBA16x8SSE2, colorYCbCrToRGBA16x16SSE2 },
        };
        const bool simd = (flags & CPU_SSE2) && (sample == JPEG_U8_BGRA || sample == JPEG_U8_RGBA);
        if (simd)
        {
            shapes = sse2[sample - JPEG_U8_BGRA];
            rgbShapes = colorRGBShapesSSE2[sample - JPEG_U8_BGRA];
        }
#else
        (void)flags;
        const bool simd = false;
#endif

        ColorConverters c;
        c.cmyk = colorCMYK;
        c.ySource = family.ySource;
        c.ycbcr = family.ycbcr;
        c.ycbcr8x8 = shapes[0];
        c.ycbcr8x16 = shapes[1];
        c.ycbcr16x8 = shapes[2];
        c.ycbcr16x16 = shapes[3];
        c.rgb = family.rgb;
        c.rgb8x8 = rgbShapes[0];
        c.rgb8x16 = rgbShapes[1];
        c.rgb16x8 = rgbShapes[2];
        c.rgb16x16 = rgbShapes[3];
        c.prefix = simd ? "SSE2" : "";
        return c;
    }

} // namespace norva::jpeg
