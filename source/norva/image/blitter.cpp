// Conversion selection and the generic converters.

#include <norva/image/blitter.hpp>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>

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

        // 3-byte pixels from a 16-bit and an 8-bit access: a partial copy into a wider
        // variable would stall store forwarding on every pixel.
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

        Blitter::RectFunction getFloatToUNorm(bool half, bool luma)
        {
            if (half)
                return luma ? convertFloatToUNorm<true, true> : convertFloatToUNorm<true, false>;
            return luma ? convertFloatToUNorm<false, true> : convertFloatToUNorm<false, false>;
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

        Blitter::RectFunction getToFloat(bool unormSource, bool srcHalf, bool dstHalf)
        {
            if (unormSource)
                return dstHalf ? convertToFloat<true, false, true> : convertToFloat<true, false, false>;
            if (srcHalf)
                return dstHalf ? convertToFloat<false, true, true> : convertToFloat<false, true, false>;
            return dstHalf ? convertToFloat<false, false, true> : convertToFloat<false, false, false>;
        }

        // --------------------------------------------------------------------------------
        // format checks
        // --------------------------------------------------------------------------------

        bool isWholeBytes(const Format& f)
        {
            return f.bits > 0 && (f.bits & 7) == 0;
        }

        // Every present field lies inside the pixel and suits the type.
        bool hasValidFields(const Format& f)
        {
            for (int c = 0; c < 4; ++c)
            {
                const u32 size = f.size[c];
                if (!size)
                    continue;
                if (f.offset[c] + size > f.bits)
                    return false;
                if (f.type == Format::UNORM && size > 32)
                    return false;
                if (f.type == Format::FLOAT16 && (size != 16 || (f.offset[c] & 7)))
                    return false;
                if (f.type == Format::FLOAT32 && (size != 32 || (f.offset[c] & 7)))
                    return false;
            }
            return true;
        }

        bool isUNorm(const Format& f)
        {
            return f.type == Format::UNORM && isWholeBytes(f) && f.bits <= 64 && hasValidFields(f);
        }

        bool isFloat(const Format& f)
        {
            return (f.type == Format::FLOAT16 || f.type == Format::FLOAT32) && isWholeBytes(f) && f.bits <= 256 &&
                   hasValidFields(f);
        }

        u64 fieldMax(const Format& f, int c)
        {
            return (u64(1) << f.size[c]) - 1;
        }

        u64 fieldMask(const Format& f, int c)
        {
            return fieldMax(f, c) << f.offset[c];
        }

        bool sameField(const Format& a, const Format& b, int c)
        {
            return a.size[c] == b.size[c] && a.offset[c] == b.offset[c];
        }

        // Colour into luminance: whether to mix red, green and blue, or to take red alone.
        enum class LumaSource
        {
            NONE,  // not a luminance destination, or the source is grey already
            MIX,
            RED,
        };

        LumaSource lumaSource(const Format& dest, const Format& source)
        {
            if (!dest.isLuminance() || source.isLuminance())
                return LumaSource::NONE;
            if (source.size[0] && source.size[1] && source.size[2])
                return LumaSource::MIX;
            return LumaSource::RED;
        }

        Blitter::Channel makeFieldChannel(const Format& dest, const Format& source, int c, int sourceComponent)
        {
            Blitter::Channel ch;
            ch.component = c;
            ch.srcShift = source.offset[sourceComponent];
            ch.srcMax = fieldMax(source, sourceComponent);
            ch.dstShift = dest.offset[c];
            ch.dstMax = fieldMax(dest, c);
            const int sb = source.size[sourceComponent];
            const int db = dest.size[c];
            // floor(n / d) == n * (floor(2^64 / d) + 1) >> 64 whenever n * d < 2^64
            if (2 * sb + db <= 61)
                ch.magic = ~u64(0) / (2 * ch.srcMax) + 1;
            return ch;
        }

        // --------------------------------------------------------------------------------
        // fast table
        // --------------------------------------------------------------------------------

        using FastKey = std::pair<Format, Format>; // (dest, source)

        const std::map<FastKey, Blitter::RowKernel>& fastConversionMap()
        {
            static const std::map<FastKey, Blitter::RowKernel> map = [] {
                std::map<FastKey, Blitter::RowKernel> m;
                const CPUFlags flags = getCPUFlags();
                for (const FastConversion& row : getFastConversionTable())
                {
                    if (row.cpuFlags && (row.cpuFlags & flags) != row.cpuFlags)
                        continue;
                    m[FastKey(row.dest, row.source)] = row.kernel;
                }
                return m;
            }();
            return map;
        }

        // built before main, like the registries, so that the first blit pays nothing
        const bool s_fastMapBuilt = !fastConversionMap().empty() || true;

    } // namespace

    // ------------------------------------------------------------------------------------
    // Blitter
    // ------------------------------------------------------------------------------------

    Blitter::Blitter(const Format& dest, const Format& source)
        : dest(dest)
        , source(source)
    {
        choose(getCPUFlags(), true);
    }

    Blitter::Blitter(const Format& dest, const Format& source, CPUFlags cpuFlags, bool useFastTable)
        : dest(dest)
        , source(source)
    {
        choose(cpuFlags, useFastTable);
    }

    void Blitter::choose(CPUFlags cpuFlags, bool useFastTable)
    {
        (void)s_fastMapBuilt;

        if (dest == source)
        {
            if (isWholeBytes(dest))
            {
                path = Path::COPY;
                rectFunction = copyRect;
            }
            return;
        }

        if (useFastTable)
        {
            const auto& map = fastConversionMap();
            auto it = map.find(FastKey(dest, source));
            if (it != map.end())
            {
                path = Path::FAST;
                rowKernel = it->second;
                rectFunction = blitCustomRows;
                return;
            }
        }

        // palette indices have no colour to convert
        if (dest.isIndexed() || source.isIndexed())
            return;

        if (isUNorm(dest) && isUNorm(source))
        {
            if (!chooseUNorm(cpuFlags))
            {
                path = Path::UNORM;
                rectFunction = getScalarUNorm(source.bytes(), dest.bytes());
            }
            return;
        }

        if ((isFloat(source) || isUNorm(source)) && (isFloat(dest) || isUNorm(dest)))
            chooseFloat();
    }

    // Fills the field records; returns true when it chose the SSE2 converter.
    bool Blitter::chooseUNorm(CPUFlags cpuFlags)
    {
        const LumaSource mix = lumaSource(dest, source);

        if (mix == LumaSource::MIX)
        {
            luma = true;
            for (int c = 0; c < 3; ++c)
                channel[channels++] = makeFieldChannel(dest, source, 0, c);
        }

        for (int c = 0; c < 4; ++c)
        {
            if (!dest.size[c])
                continue;
            if (c < 3 && dest.isLuminance())
            {
                // one grey field: convert it once, from the red field
                if (mix == LumaSource::MIX || c > 0)
                    continue;
            }

            if (!source.size[c])
            {
                if (c == Format::ALPHA)
                    alphaFill |= fieldMask(dest, c);
                continue;
            }

            if (sameField(dest, source, c))
                copyMask |= fieldMask(dest, c);
            else
                channel[channels++] = makeFieldChannel(dest, source, c, c);
        }

        // SSE2 handles pixels of up to 32 bits where its float form rounds exactly like
        // the integer rule for every field.
        if (!(cpuFlags & CPU_SSE2) || luma || channels < 2 || dest.bits > 32 || source.bits > 32)
            return false;
        for (int i = 0; i < channels; ++i)
        {
            const Channel& c = channel[i];
            if (!isFloatFormExact(std::popcount(c.srcMax), std::popcount(c.dstMax)))
                return false;
        }

        for (int i = 0; i < channels; ++i)
        {
            const Channel& c = channel[i];
            const int lane = i;
            const u64 srcMask = c.srcMax << c.srcShift;
            const u64 dstMask = c.dstMax << c.dstShift;
            const bool srcHigh = (srcMask >> 31) & 1;
            const bool dstHigh = (dstMask >> 31) & 1;

            const u32 srcRead = srcHigh ? u32(srcMask >> 1) : u32(srcMask);
            const u32 dstWrite = dstHigh ? u32(dstMask >> 1) : u32(dstMask);
            const int dstShift = int(c.dstShift) - (dstHigh ? 1 : 0);

            (srcHigh ? sse2SrcHigh : sse2SrcLow)[lane] = srcRead;
            sse2DstMask[lane] = dstWrite;
            sse2High[lane] = dstHigh ? dstWrite : 0;
            sse2Scale[lane] = float(dstWrite) / float(srcRead);
            sse2Bias[lane] = std::ldexp(0.5f, dstShift);
        }

        path = Path::UNORM_SSE2;
        rectFunction = getSSE2UNorm(source.bytes(), dest.bytes());
        return rectFunction != nullptr;
    }

    void Blitter::chooseFloat()
    {
        const bool unormSource = source.type == Format::UNORM;
        const bool floatDest = isFloat(dest);
        if (unormSource && !floatDest)
            return;

        const LumaSource mix = lumaSource(dest, source);
        luma = mix == LumaSource::MIX;

        auto addChannel = [&](int c, int sourceComponent) {
            Channel ch;
            ch.component = c;
            ch.defaultValue = c == Format::ALPHA ? 1.0f : 0.0f;
            if (source.size[sourceComponent])
            {
                ch.srcShift = source.offset[sourceComponent];
                ch.srcMax = unormSource ? fieldMax(source, sourceComponent) : 0;
                ch.srcOffset = unormSource ? 0 : source.offset[sourceComponent] / 8;
            }
            ch.dstShift = dest.offset[c];
            ch.dstMax = floatDest ? 0 : fieldMax(dest, c);
            ch.dstOffset = dest.offset[c] / 8;
            channel[channels++] = ch;
        };

        if (luma)
        {
            for (int c = 0; c < 3; ++c)
                addChannel(0, c);
        }

        for (int c = 0; c < 4; ++c)
        {
            if (!dest.size[c])
                continue;
            if (c < 3 && dest.isLuminance() && (luma || c > 0))
                continue;
            if (!source.size[c] && !floatDest)
            {
                // UNORM destination: a missing alpha is all ones, a missing colour 0
                if (c == Format::ALPHA)
                    alphaFill |= fieldMask(dest, c);
                continue;
            }
            addChannel(c, c);
        }

        if (!floatDest)
        {
            path = Path::FLOAT_TO_UNORM;
            rectFunction = getFloatToUNorm(source.type == Format::FLOAT16, luma);
        }
        else if (unormSource)
        {
            path = Path::UNORM_TO_FLOAT;
            rectFunction = getToFloat(true, false, dest.type == Format::FLOAT16);
        }
        else
        {
            path = Path::FLOAT_TO_FLOAT;
            rectFunction = getToFloat(false, source.type == Format::FLOAT16, dest.type == Format::FLOAT16);
        }
    }

    bool Blitter::isFloatFormExact(int srcBits, int dstBits)
    {
        if (srcBits < 1 || dstBits < 1 || srcBits > 16 || dstBits > 16)
            return false;

        // 0 unknown, 1 inexact, 2 exact; filled on first use, races write the same value
        static std::atomic<u8> known[17][17];
        std::atomic<u8>& entry = known[srcBits][dstBits];
        u8 state = entry.load(std::memory_order_relaxed);
        if (state == 0)
        {
            state = floatFormMatches(srcBits, dstBits) ? 2 : 1;
            entry.store(state, std::memory_order_relaxed);
        }
        return state == 2;
    }

    bool floatFormMatches(int srcBits, int dstBits)
    {
        const u64 smax = (u64(1) << srcBits) - 1;
        const u64 dmax = (u64(1) << dstBits) - 1;
        const float scale = float(dmax) / float(smax);
        for (u64 v = 0; v <= smax; ++v)
        {
            const float y = float(v) * scale + 0.5f;
            const u64 fast = u64(y);
            const u64 exact = (2 * v * dmax + smax) / (2 * smax);
            if (fast != exact)
                return false;
        }
        return true;
    }

    // ------------------------------------------------------------------------------------
    // bands
    // ------------------------------------------------------------------------------------

    int getBlitBandCount(int width, int height, int workers, bool equalFormats)
    {
        // a copy is bound by memory bandwidth: splitting it gains nothing
        if (equalFormats || workers <= 1 || width <= 0 || height <= 0)
            return 1;
        if (s64(width) * s64(height) / workers < 8192)
            return 1;
        return std::min(workers, height);
    }

} // namespace norva
