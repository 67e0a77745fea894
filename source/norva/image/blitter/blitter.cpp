// Conversion selection: which converter a (destination, source) pair gets, and its records.

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

    namespace
    {
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

        using FastConversionMap = std::map<FastKey, Blitter::RowKernel>;

        // The table's rows that this CPU can run; a later row replaces an earlier one.
        FastConversionMap buildFastConversionMap()
        {
            FastConversionMap map;
            const CPUFlags flags = getCPUFlags();
            for (const FastConversion& row : getFastConversionTable())
            {
                if (row.cpuFlags && (row.cpuFlags & flags) != row.cpuFlags)
                    continue;
                map[FastKey(row.dest, row.source)] = row.kernel;
            }
            return map;
        }

        const FastConversionMap& fastConversionMap()
        {
            static const FastConversionMap map = buildFastConversionMap();
            return map;
        }

        // built before main, like the registries, so that the first blit pays nothing
        const bool s_fastMapBuilt = (fastConversionMap(), true);

    } // namespace

    // ------------------------------------------------------------------------------------
    // the choice of conversion
    // ------------------------------------------------------------------------------------

    namespace
    {
        // Fills the field records; returns true when it chose the SSE2 converter.
        bool chooseUNorm(Blitter& b, CPUFlags cpuFlags)
        {
            const LumaSource mix = lumaSource(b.dest, b.source);

            if (mix == LumaSource::MIX)
            {
                b.luma = true;
                for (int c = 0; c < 3; ++c)
                    b.channel[b.channels++] = makeFieldChannel(b.dest, b.source, 0, c);
            }

            for (int c = 0; c < 4; ++c)
            {
                if (!b.dest.size[c])
                    continue;
                if (c < 3 && b.dest.isLuminance())
                {
                    // one grey field: convert it once, from the red field
                    if (mix == LumaSource::MIX || c > 0)
                        continue;
                }

                if (!b.source.size[c])
                {
                    if (c == Format::ALPHA)
                        b.alphaFill |= fieldMask(b.dest, c);
                    continue;
                }

                if (sameField(b.dest, b.source, c))
                    b.copyMask |= fieldMask(b.dest, c);
                else
                    b.channel[b.channels++] = makeFieldChannel(b.dest, b.source, c, c);
            }

            // SSE2 handles pixels of up to 32 bits where its float form rounds exactly like
            // the integer rule for every field.
            if (!(cpuFlags & CPU_SSE2) || b.luma || b.channels < 2 || b.dest.bits > 32 || b.source.bits > 32)
                return false;
            for (int i = 0; i < b.channels; ++i)
            {
                const Blitter::Channel& c = b.channel[i];
                if (!Blitter::isFloatFormExact(std::popcount(c.srcMax), std::popcount(c.dstMax)))
                    return false;
            }

            for (int i = 0; i < b.channels; ++i)
            {
                const Blitter::Channel& c = b.channel[i];
                const int lane = i;
                const u64 srcMask = c.srcMax << c.srcShift;
                const u64 dstMask = c.dstMax << c.dstShift;
                const bool srcHigh = (srcMask >> 31) & 1;
                const bool dstHigh = (dstMask >> 31) & 1;

                const u32 srcRead = srcHigh ? u32(srcMask >> 1) : u32(srcMask);
                const u32 dstWrite = dstHigh ? u32(dstMask >> 1) : u32(dstMask);
                const int dstShift = int(c.dstShift) - (dstHigh ? 1 : 0);

                (srcHigh ? b.sse2SrcHigh : b.sse2SrcLow)[lane] = srcRead;
                b.sse2DstMask[lane] = dstWrite;
                b.sse2High[lane] = dstHigh ? dstWrite : 0;
                b.sse2Scale[lane] = float(dstWrite) / float(srcRead);
                b.sse2Bias[lane] = std::ldexp(0.5f, dstShift);
            }

            b.path = Blitter::Path::UNORM_SSE2;
            b.rectFunction = getSSE2UNorm(b.source.bytes(), b.dest.bytes());
            return b.rectFunction != nullptr;
        }

        void chooseFloat(Blitter& b)
        {
            const bool unormSource = b.source.type == Format::UNORM;
            const bool floatDest = isFloat(b.dest);
            if (unormSource && !floatDest)
                return;

            const LumaSource mix = lumaSource(b.dest, b.source);
            b.luma = mix == LumaSource::MIX;

            auto addChannel = [&](int c, int sourceComponent) {
                Blitter::Channel ch;
                ch.component = c;
                ch.defaultValue = c == Format::ALPHA ? 1.0f : 0.0f;
                if (b.source.size[sourceComponent])
                {
                    ch.srcShift = b.source.offset[sourceComponent];
                    ch.srcMax = unormSource ? fieldMax(b.source, sourceComponent) : 0;
                    ch.srcOffset = unormSource ? 0 : b.source.offset[sourceComponent] / 8;
                }
                ch.dstShift = b.dest.offset[c];
                ch.dstMax = floatDest ? 0 : fieldMax(b.dest, c);
                ch.dstOffset = b.dest.offset[c] / 8;
                b.channel[b.channels++] = ch;
            };

            if (b.luma)
            {
                for (int c = 0; c < 3; ++c)
                    addChannel(0, c);
            }

            for (int c = 0; c < 4; ++c)
            {
                if (!b.dest.size[c])
                    continue;
                if (c < 3 && b.dest.isLuminance() && (b.luma || c > 0))
                    continue;
                if (!b.source.size[c] && !floatDest)
                {
                    // UNORM destination: a missing alpha is all ones, a missing colour 0
                    if (c == Format::ALPHA)
                        b.alphaFill |= fieldMask(b.dest, c);
                    continue;
                }
                addChannel(c, c);
            }

            if (!floatDest)
            {
                b.path = Blitter::Path::FLOAT_TO_UNORM;
                b.rectFunction = getFloatToUNorm(b.source.type == Format::FLOAT16, b.luma);
            }
            else if (unormSource)
            {
                b.path = Blitter::Path::UNORM_TO_FLOAT;
                b.rectFunction = getToFloat(true, false, b.dest.type == Format::FLOAT16);
            }
            else
            {
                b.path = Blitter::Path::FLOAT_TO_FLOAT;
                b.rectFunction = getToFloat(false, b.source.type == Format::FLOAT16, b.dest.type == Format::FLOAT16);
            }
        }

        void chooseConversion(Blitter& b, CPUFlags cpuFlags, bool useFastTable)
        {
            if (b.dest == b.source)
            {
                if (isWholeBytes(b.dest))
                {
                    b.path = Blitter::Path::COPY;
                    b.rectFunction = getCopyRect();
                }
                return;
            }

            if (useFastTable)
            {
                const auto& map = fastConversionMap();
                auto it = map.find(FastKey(b.dest, b.source));
                if (it != map.end())
                {
                    b.path = Blitter::Path::FAST;
                    b.rowKernel = it->second;
                    b.rectFunction = getCustomRows();
                    return;
                }
            }

            // palette indices have no colour to convert
            if (b.dest.isIndexed() || b.source.isIndexed())
                return;

            if (isUNorm(b.dest) && isUNorm(b.source))
            {
                if (!chooseUNorm(b, cpuFlags))
                {
                    b.path = Blitter::Path::UNORM;
                    b.rectFunction = getScalarUNorm(b.source.bytes(), b.dest.bytes());
                }
                return;
            }

            if ((isFloat(b.source) || isUNorm(b.source)) && (isFloat(b.dest) || isUNorm(b.dest)))
                chooseFloat(b);
        }
    } // namespace

    // ------------------------------------------------------------------------------------
    // Blitter
    // ------------------------------------------------------------------------------------

    Blitter::Blitter(const Format& dest, const Format& source)
        : dest(dest)
        , source(source)
    {
        chooseConversion(*this, getCPUFlags(), true);
    }

    Blitter makeBlitter(const Format& dest, const Format& source, CPUFlags cpuFlags, bool useFastTable)
    {
        // two equal formats that are not whole bytes have no conversion: nothing is chosen,
        // every field keeps its initial value for the choice below
        Blitter blitter { Format(), Format() };
        blitter.dest = dest;
        blitter.source = source;
        chooseConversion(blitter, cpuFlags, useFastTable);
        return blitter;
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
