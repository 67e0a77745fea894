// The generic converters: UNORM, half and float pixels in every direction, scalar.
// The rules are listed in <norva/image/blitter.hpp>; the SSE2 UNORM converter is in
// blitter_sse2.cpp and gives the same bits.

#include <cstdint>
#include <cstring>

#include "blitter_private.hpp"

namespace norva
{
    // ------------------------------------------------------------------------------------
    // half <-> float
    // ------------------------------------------------------------------------------------

    float halfToFloat(u16 half)
    {
        const u32 sign = u32(half & 0x8000) << 16;
        const u32 exponent = (half >> 10) & 0x1F;
        const u32 mantissa = half & 0x3FF;

        if (exponent == 0)
        {
            // zero or subnormal: mantissa * 2^-24, exact in single precision
            const float value = float(mantissa) * 0x1p-24f;
            return sign ? -value : value;
        }

        u32 bits;
        if (exponent == 31)
            bits = sign | 0x7F800000 | (mantissa << 13);
        else
            bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
        return std::bit_cast<float>(bits);
    }

    u16 floatToHalf(float value)
    {
        // Integer arithmetic only, so that the result does not depend on denormal flushing.
        const u32 bits = std::bit_cast<u32>(value);
        const u32 sign = (bits >> 16) & 0x8000;
        const u32 a = bits & 0x7FFFFFFF;

        if (a >= 0x7F800000)
        {
            if (a == 0x7F800000)
                return u16(sign | 0x7C00);
            // NaN: keep the top of the payload and set the quiet bit, so it stays a NaN
            return u16(sign | 0x7C00 | 0x200 | ((a >> 13) & 0x3FF));
        }

        if (a >= 0x38800000)
        {
            // normal half range: rebias the exponent, round to nearest with ties away from
            // zero, and let the carry overflow into infinity
            const u32 h = (a - 0x38000000 + 0x1000) >> 13;
            return u16(sign | std::min(h, 0x7C00u));
        }

        // half subnormals: the value in units of 2^-24, ties away from zero
        const u32 exponent = a >> 23;
        if (exponent < 102)
            return u16(sign);
        const u32 mantissa = (a & 0x7FFFFF) | 0x800000;
        const u32 shift = 126 - exponent; // 14 .. 24
        return u16(sign | ((mantissa + (1u << (shift - 1))) >> shift));
    }

    namespace
    {

        // --------------------------------------------------------------------------------
        // pixel access
        // --------------------------------------------------------------------------------

        // Runtime sizes through constant-size accesses: a variable-size memcpy per pixel
        // would be a library call. Pixels are little-endian, like the host.
        inline u64 loadPixel(const u8* p, int bytes)
        {
            switch (bytes)
            {
            case 1: return loadPixelN<1>(p);
            case 2: return loadPixelN<2>(p);
            case 3: return loadPixelN<3>(p);
            case 4: return loadPixelN<4>(p);
            case 5: return loadPixelN<5>(p);
            case 6: return loadPixelN<6>(p);
            case 7: return loadPixelN<7>(p);
            default: return loadPixelN<8>(p);
            }
        }

        inline void storePixel(u8* p, u64 value, int bytes)
        {
            switch (bytes)
            {
            case 1: storePixelN<1>(p, value); break;
            case 2: storePixelN<2>(p, value); break;
            case 3: storePixelN<3>(p, value); break;
            case 4: storePixelN<4>(p, value); break;
            case 5: storePixelN<5>(p, value); break;
            case 6: storePixelN<6>(p, value); break;
            case 7: storePixelN<7>(p, value); break;
            default: storePixelN<8>(p, value); break;
            }
        }

        inline void copyFloatPixel(u8* dest, const u8* pixel, int bytes)
        {
            switch (bytes)
            {
            case 2: std::memcpy(dest, pixel, 2); break;
            case 4: std::memcpy(dest, pixel, 4); break;
            case 6: std::memcpy(dest, pixel, 6); break;
            case 8: std::memcpy(dest, pixel, 8); break;
            case 12: std::memcpy(dest, pixel, 12); break;
            case 16: std::memcpy(dest, pixel, 16); break;
            default: std::memcpy(dest, pixel, size_t(bytes)); break;
            }
        }

        inline float loadElement(const u8* pixel, const Blitter::Channel& c, bool half)
        {
            if (half)
            {
                u16 h;
                std::memcpy(&h, pixel + c.srcOffset, 2);
                return halfToFloat(h);
            }
            float f;
            std::memcpy(&f, pixel + c.srcOffset, 4);
            return f;
        }

        // --------------------------------------------------------------------------------
        // rounding rules
        // --------------------------------------------------------------------------------

        // Nearest destination step for a source field value: (2 v dmax + smax) / (2 smax).
        // smax is odd, so there are no ties.
        inline u64 scaleField(const Blitter::Channel& c, u64 v)
        {
            if (c.magic)
            {
                const u64 n = 2 * v * c.dstMax + c.srcMax;
                return u64((unsigned __int128)(n) * c.magic >> 64);
            }
            const unsigned __int128 n = (unsigned __int128)(v) * c.dstMax * 2 + c.srcMax;
            return u64(n / ((unsigned __int128)(c.srcMax) * 2));
        }

        // 0..1 with NaN at the top, then to the nearest step (ties up); exact in double
        // because a float times a field maximum below 2^29 fits 53 bits.
        inline u64 floatToField(float value, double dstMax)
        {
            double v = value;
            if (!(v <= 1.0)) // NaN too
                v = 1.0;
            if (v < 0.0)
                v = 0.0;
            return u64(s64(v * dstMax + 0.5)); // non-negative: truncation is floor
        }

        inline u64 lumaField(u64 r, u64 g, u64 b)
        {
            return (77 * r + 150 * g + 29 * b + 128) >> 8;
        }

        inline float lumaFloat(float r, float g, float b)
        {
            return float(0.299 * double(r) + 0.587 * double(g) + 0.114 * double(b));
        }

        // --------------------------------------------------------------------------------
        // row drivers
        // --------------------------------------------------------------------------------

        template <typename PixelFunc>
        inline void forEachRow(const BlitRect& rect, PixelFunc&& func)
        {
            u8* dest = rect.dest;
            const u8* src = rect.src;
            for (int y = 0; y < rect.height; ++y)
            {
                func(dest, src);
                dest += rect.destStride;
                src += rect.srcStride;
            }
        }

        void copyRect(const Blitter& blitter, const BlitRect& rect)
        {
            const size_t rowBytes = size_t(rect.width) * size_t(blitter.dest.bytes());
            if (rect.height <= 0 || rowBytes == 0)
                return;

            // rows overlap when a surface is blitted onto itself: walk them in the order
            // that reads every row before it is overwritten
            if (reinterpret_cast<uintptr_t>(rect.dest) > reinterpret_cast<uintptr_t>(rect.src) && rect.height > 1)
            {
                u8* dest = rect.dest + ptrdiff_t(rect.height - 1) * rect.destStride;
                const u8* src = rect.src + ptrdiff_t(rect.height - 1) * rect.srcStride;
                for (int y = 0; y < rect.height; ++y)
                {
                    std::memmove(dest, src, rowBytes);
                    dest -= rect.destStride;
                    src -= rect.srcStride;
                }
                return;
            }

            forEachRow(rect, [&](u8* dest, const u8* src) { std::memmove(dest, src, rowBytes); });
        }

        void blitCustomRows(const Blitter& blitter, const BlitRect& rect)
        {
            forEachRow(rect, [&](u8* dest, const u8* src) { blitter.rowKernel(dest, src, rect.width); });
        }

        // UNORM to UNORM, one pixel.
        inline u64 convertUNormPixel(const Blitter& b, u64 s)
        {
            u64 d = (s & b.copyMask) | b.alphaFill;
            int first = 0;
            if (b.luma)
            {
                const u64 r = scaleField(b.channel[0], (s >> b.channel[0].srcShift) & b.channel[0].srcMax);
                const u64 g = scaleField(b.channel[1], (s >> b.channel[1].srcShift) & b.channel[1].srcMax);
                const u64 bl = scaleField(b.channel[2], (s >> b.channel[2].srcShift) & b.channel[2].srcMax);
                d |= lumaField(r, g, bl) << b.channel[0].dstShift;
                first = 3;
            }
            for (int i = first; i < b.channels; ++i)
            {
                const Blitter::Channel& c = b.channel[i];
                d |= scaleField(c, (s >> c.srcShift) & c.srcMax) << c.dstShift;
            }
            return d;
        }

        template <int SB, int DB>
        void convertUNorm(const Blitter& b, const BlitRect& rect)
        {
            forEachRow(rect, [&](u8* dest, const u8* src) {
                for (int x = 0; x < rect.width; ++x)
                {
                    storePixelN<DB>(dest, convertUNormPixel(b, loadPixelN<SB>(src)));
                    dest += DB;
                    src += SB;
                }
            });
        }

        void convertUNormAnySize(const Blitter& b, const BlitRect& rect)
        {
            const int sb = b.source.bytes();
            const int db = b.dest.bytes();
            forEachRow(rect, [&](u8* dest, const u8* src) {
                for (int x = 0; x < rect.width; ++x)
                {
                    storePixel(dest, convertUNormPixel(b, loadPixel(src, sb)), db);
                    dest += db;
                    src += sb;
                }
            });
        }

        template <int SB, int DB>
        constexpr Blitter::RectFunction unormEntry()
        {
            return convertUNorm<SB, DB>;
        }

        // Float (half or single) to UNORM.
        template <bool Half, bool Luma>
        void convertFloatToUNorm(const Blitter& b, const BlitRect& rect)
        {
            const int sb = b.source.bytes();
            const int db = b.dest.bytes();
            const int count = b.channels;
            double maxima[4];
            for (int i = 0; i < count; ++i)
                maxima[i] = double(s64(b.channel[i].dstMax));

            forEachRow(rect, [&](u8* dest, const u8* src) {
                for (int x = 0; x < rect.width; ++x)
                {
                    u64 d = b.alphaFill;
                    int first = 0;
                    if constexpr (Luma)
                    {
                        u64 rgb[3];
                        for (int i = 0; i < 3; ++i)
                            rgb[i] = floatToField(loadElement(src, b.channel[i], Half), maxima[i]);
                        d |= lumaField(rgb[0], rgb[1], rgb[2]) << b.channel[0].dstShift;
                        first = 3;
                    }
                    for (int i = first; i < count; ++i)
                        d |= floatToField(loadElement(src, b.channel[i], Half), maxima[i]) << b.channel[i].dstShift;
                    storePixel(dest, d, db);
                    dest += db;
                    src += sb;
                }
            });
        }

        inline void storeElement(u8* pixel, const Blitter::Channel& c, bool half, float value)
        {
            if (half)
            {
                const u16 h = floatToHalf(value);
                std::memcpy(pixel + c.dstOffset, &h, 2);
            }
            else
            {
                std::memcpy(pixel + c.dstOffset, &value, 4);
            }
        }

        // Float to float and UNORM to float: each element is written at the destination's
        // own offset; bytes of the pixel that no component covers become 0.
        template <bool UNormSource, bool srcHalf, bool dstHalf>
        void convertToFloat(const Blitter& b, const BlitRect& rect)
        {
            const int sb = b.source.bytes();
            const int db = b.dest.bytes();
            const bool raw = !UNormSource && !b.luma && srcHalf == dstHalf;

            auto read = [&](const u8* src, const Blitter::Channel& c) -> float {
                if constexpr (UNormSource)
                {
                    if (c.srcMax == 0)
                        return c.defaultValue;
                    const u64 v = (loadPixel(src, sb) >> c.srcShift) & c.srcMax;
                    return float(double(s64(v)) / double(s64(c.srcMax)));
                }
                else
                {
                    if (c.srcOffset < 0)
                        return c.defaultValue;
                    return loadElement(src, c, srcHalf);
                }
            };

            forEachRow(rect, [&](u8* dest, const u8* src) {
                for (int x = 0; x < rect.width; ++x)
                {
                    u8 pixel[32] = {};
                    int first = 0;
                    if (b.luma)
                    {
                        const float l = lumaFloat(read(src, b.channel[0]), read(src, b.channel[1]),
                                                  read(src, b.channel[2]));
                        storeElement(pixel, b.channel[0], dstHalf, l);
                        first = 3;
                    }
                    for (int i = first; i < b.channels; ++i)
                    {
                        const Blitter::Channel& c = b.channel[i];
                        if (raw && c.srcOffset >= 0)
                            std::memcpy(pixel + c.dstOffset, src + c.srcOffset, dstHalf ? 2 : 4);
                        else
                            storeElement(pixel, c, dstHalf, read(src, c));
                    }
                    copyFloatPixel(dest, pixel, db);
                    dest += db;
                    src += sb;
                }
            });
        }

    } // namespace

    Blitter::RectFunction getScalarUNorm(int sourceBytes, int destBytes)
    {
        static constexpr Blitter::RectFunction table[4][4] = {
            { unormEntry<1, 1>(), unormEntry<1, 2>(), unormEntry<1, 3>(), unormEntry<1, 4>() },
            { unormEntry<2, 1>(), unormEntry<2, 2>(), unormEntry<2, 3>(), unormEntry<2, 4>() },
            { unormEntry<3, 1>(), unormEntry<3, 2>(), unormEntry<3, 3>(), unormEntry<3, 4>() },
            { unormEntry<4, 1>(), unormEntry<4, 2>(), unormEntry<4, 3>(), unormEntry<4, 4>() },
        };
        if (sourceBytes <= 4 && destBytes <= 4)
            return table[sourceBytes - 1][destBytes - 1];
        return convertUNormAnySize;
    }

    Blitter::RectFunction getFloatToUNorm(bool half, bool luma)
    {
        if (half)
            return luma ? convertFloatToUNorm<true, true> : convertFloatToUNorm<true, false>;
        return luma ? convertFloatToUNorm<false, true> : convertFloatToUNorm<false, false>;
    }

    Blitter::RectFunction getToFloat(bool unormSource, bool srcHalf, bool dstHalf)
    {
        if (unormSource)
            return dstHalf ? convertToFloat<true, false, true> : convertToFloat<true, false, false>;
        if (srcHalf)
            return dstHalf ? convertToFloat<false, true, true> : convertToFloat<false, true, false>;
        return dstHalf ? convertToFloat<false, false, true> : convertToFloat<false, false, false>;
    }

    Blitter::RectFunction getCopyRect()
    {
        return copyRect;
    }

    Blitter::RectFunction getCustomRows()
    {
        return blitCustomRows;
    }

} // namespace norva
