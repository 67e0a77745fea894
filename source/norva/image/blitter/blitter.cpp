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
        if (dest == source)
        {
            if (isWholeBytes(dest))
            {
                path = Path::COPY;
                rectFunction = getCopyRect();
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
                rectFunction = getCustomRows();
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
