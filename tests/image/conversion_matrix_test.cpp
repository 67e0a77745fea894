// Every pair of a table of unsigned-normalised formats, every value of every source field,
// against an integer reference written apart from the converters: with scalar code
// forced, with SSE2, and split into bands on a thread pool.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <norva/core/cpu.hpp>
#include <norva/core/thread.hpp>
#include <norva/image/blitter.hpp>

#include "blitter/blitter_private.hpp"

using namespace norva;

namespace
{

    struct NamedFormat
    {
        const char* name;
        Format format;
    };

    const NamedFormat formats[] = {
        { "RGBA8888", Format::RGBA8888 },
        { "BGRA8888", Format::BGRA8888 },
        { "ARGB8888", Format::ARGB8888 },
        { "ABGR8888", Format::ABGR8888 },
        { "RGBX8880", Format::RGBX8880 },
        { "BGRX8880", Format::BGRX8880 },
        { "RGB888", Format::RGB888 },
        { "BGR888", Format::BGR888 },
        { "RGB565", Format::RGB565 },
        { "BGR565", Format::BGR565 },
        { "BGRA5551", Format::BGRA5551 },
        { "BGRA4444", Format::BGRA4444 },
        { "ABGR4444", Format(16, Format::UNORM, Format::ABGR, 4, 4, 4, 4) },
        { "RGBA1010102", Format(32, Format::UNORM, Format::RGBA, 10, 10, 10, 2) },
        { "ABGR2101010", Format(32, Format::UNORM, Format::ABGR, 2, 10, 10, 10) }, // red ends at bit 31
        { "L8", Format::L8 },
        { "LA88", Format::LA88 },
        { "L16", Format::L16 },
        { "LA1616", Format::LA1616 }, // alpha ends at bit 31
        { "A8", Format::A8 },
        { "RG88", Format(16, Format::UNORM, Format::RGBA, 8, 8, 0, 0) },
        { "RGB16", Format::RGB16 },
        { "RGBA16", Format::RGBA16 },
    };

    u64 maxOf(int bits)
    {
        return (u64(1) << bits) - 1;
    }

    // round(v * dmax / smax) by quotient and remainder; smax is odd, so no ties
    u64 rescale(u64 v, int srcBits, int dstBits)
    {
        const u64 smax = maxOf(srcBits);
        const u64 dmax = maxOf(dstBits);
        const u64 q = v * dmax / smax;
        const u64 r = v * dmax % smax;
        return 2 * r > smax ? q + 1 : q;
    }

    u64 field(u64 pixel, const Format& f, int c)
    {
        return (pixel >> f.offset[c]) & maxOf(f.size[c]);
    }

    // The destination pixel for one source pixel, component by component.
    u64 reference(const Format& dest, const Format& source, u64 s)
    {
        if (dest == source)
            return s; // a plain copy, padding bits included

        auto get = [&](int c) -> u64 { return rescale(field(s, source, c), source.size[c], dest.size[c]); };

        u64 d = 0;
        for (int c = 0; c < 4; ++c)
        {
            if (!dest.size[c])
                continue;
            u64 value;
            if (!source.size[c])
                value = c == 3 ? maxOf(dest.size[c]) : 0;
            else
                value = get(c);

            if (c < 3 && dest.isLuminance() && !source.isLuminance())
            {
                if (source.size[0] && source.size[1] && source.size[2])
                    value = (77 * get(0) + 150 * get(1) + 29 * get(2) + 128) >> 8;
                else
                    value = source.size[0] ? get(0) : 0;
            }
            d |= value << dest.offset[c];
        }
        return d;
    }

    u64 load(const u8* p, int bytes)
    {
        u64 v = 0;
        std::memcpy(&v, p, size_t(bytes));
        return v;
    }

    void store(u8* p, u64 v, int bytes)
    {
        std::memcpy(p, &v, size_t(bytes));
    }

    // Source pixels: each field through every value (the other fields from a generator),
    // then all zeros, all ones and a few hundred mixed pixels.
    std::vector<u64> testPixels(const Format& source)
    {
        std::vector<u64> pixels;
        u32 seed = 12345;
        auto next = [&] {
            seed = seed * 1664525u + 1013904223u;
            return u64(seed) << 32 | (seed * 22695477u + 1u);
        };
        const u64 all = source.bits >= 64 ? ~u64(0) : maxOf(int(source.bits));

        for (int c = 0; c < 4; ++c)
        {
            if (!source.size[c])
                continue;
            // a luminance source has one field for red, green and blue
            if (source.isLuminance() && c > 0 && c < 3)
                continue;
            const u64 mask = maxOf(source.size[c]) << source.offset[c];
            for (u64 v = 0; v <= maxOf(source.size[c]); ++v)
                pixels.push_back((next() & all & ~mask) | (v << source.offset[c]));
        }
        pixels.push_back(0);
        pixels.push_back(all);
        for (int i = 0; i < 300; ++i)
            pixels.push_back(next() & all);
        return pixels;
    }

    struct Images
    {
        int width = 253; // not a multiple of 4: both the four-pixel and the single-pixel code run
        int height = 0;
        std::vector<u8> src;
        std::vector<u8> expected;
        int srcStride = 0;
        int destStride = 0;
    };

    Images buildImages(const Format& dest, const Format& source)
    {
        Images im;
        const std::vector<u64> pixels = testPixels(source);
        im.height = int((pixels.size() + im.width - 1) / im.width);
        im.srcStride = im.width * source.bytes() + 3; // odd strides: rows are not aligned
        im.destStride = im.width * dest.bytes() + 5;
        im.src.assign(size_t(im.srcStride) * im.height, 0);
        im.expected.assign(size_t(im.destStride) * im.height, 0);
        for (size_t i = 0; i < size_t(im.width) * im.height; ++i)
        {
            const u64 s = pixels[i % pixels.size()];
            const size_t x = i % im.width;
            const size_t y = i / im.width;
            store(&im.src[y * im.srcStride + x * source.bytes()], s, source.bytes());
            store(&im.expected[y * im.destStride + x * dest.bytes()], reference(dest, source, s), dest.bytes());
        }
        return im;
    }

    std::vector<u8> run(const Blitter& blitter, const Images& im, int bands, ThreadPool* pool)
    {
        std::vector<u8> out(im.expected.size(), 0);
        BlitRect rect;
        rect.dest = out.data();
        rect.destStride = im.destStride;
        rect.src = im.src.data();
        rect.srcStride = im.srcStride;
        rect.width = im.width;
        rect.height = im.height;
        if (pool)
            convertBands(blitter, rect, bands, *pool);
        else
            blitter.convert(rect);
        return out;
    }

    // The first differing pixel, described; empty when the images agree.
    std::string compare(const std::vector<u8>& out, const Images& im, const Format& dest, const Format& source)
    {
        for (int y = 0; y < im.height; ++y)
        {
            for (int x = 0; x < im.width; ++x)
            {
                const size_t o = size_t(y) * im.destStride + size_t(x) * dest.bytes();
                const u64 got = load(&out[o], dest.bytes());
                const u64 want = load(&im.expected[o], dest.bytes());
                if (got != want)
                {
                    const u64 s = load(&im.src[size_t(y) * im.srcStride + size_t(x) * source.bytes()], source.bytes());
                    char text[160];
                    std::snprintf(text, sizeof(text), "source 0x%llx gives 0x%llx, expected 0x%llx",
                                  (unsigned long long)s, (unsigned long long)got, (unsigned long long)want);
                    return text;
                }
            }
        }
        return std::string();
    }

} // namespace

TEST(ConversionMatrix, EveryPairEveryFieldValueOnEveryPath)
{
    const bool sse2 = (getCPUFlags() & CPU_SSE2) != 0;
    ThreadPool pool(4);
    int sse2Pairs = 0;

    for (const NamedFormat& d : formats)
    {
        for (const NamedFormat& s : formats)
        {
            SCOPED_TRACE(std::string(d.name) + " <- " + s.name);
            const Images im = buildImages(d.format, s.format);

            const Blitter scalar = makeBlitter(d.format, s.format, 0, false);
            ASSERT_TRUE(scalar.canConvert());
            const std::vector<u8> single = run(scalar, im, 1, nullptr);
            ASSERT_EQ(compare(single, im, d.format, s.format), "") << "scalar";

            // bands on the pool write exactly what one band writes
            const int bands = std::min(4, im.height);
            ASSERT_EQ(run(scalar, im, bands, &pool), single) << "threaded";

            if (sse2)
            {
                const Blitter vector = makeBlitter(d.format, s.format, CPU_SSE2, false);
                ASSERT_TRUE(vector.canConvert());
                if (vector.path == Blitter::Path::UNORM_SSE2)
                    ++sse2Pairs;
                ASSERT_EQ(compare(run(vector, im, 1, nullptr), im, d.format, s.format), "") << "SSE2";
                ASSERT_EQ(run(vector, im, bands, &pool), single) << "SSE2 threaded";
            }
        }
    }

    // about half of the pairs (276 of 529 at present) are in reach of the SSE2 form
    if (sse2)
    {
        EXPECT_GT(sse2Pairs, 250) << sse2Pairs;
    }
}

// The SSE2 form is used only for field widths where it is exact; run every width pair
// through a two-field format, with the destination field at bit 16 so that fields move.
TEST(ConversionMatrix, EveryFieldWidthPairOnBothPaths)
{
    const bool sse2 = (getCPUFlags() & CPU_SSE2) != 0;
    for (int sb = 1; sb <= 16; ++sb)
    {
        for (int db = 1; db <= 16; ++db)
        {
            if (sb == db)
                continue;
            SCOPED_TRACE(std::to_string(sb) + " bits -> " + std::to_string(db) + " bits");
            const Format source(32, Format::UNORM, u32(sb | sb << 8), u32(16 | 0 << 8));
            const Format dest(32, Format::UNORM, u32(db | db << 8), u32(0 | 16 << 8));

            std::vector<u32> src;
            for (u32 v = 0; v <= maxOf(sb); ++v)
                src.push_back((v << 16) | u32(maxOf(sb) - v));
            std::vector<u32> expected(src.size());
            for (size_t i = 0; i < src.size(); ++i)
                expected[i] = u32(reference(dest, source, src[i]));

            for (CPUFlags flags : { CPUFlags(0), CPUFlags(CPU_SSE2) })
            {
                if (flags && !sse2)
                    continue;
                const Blitter blitter = makeBlitter(dest, source, flags, false);
                EXPECT_EQ(blitter.path == Blitter::Path::UNORM_SSE2, flags && Blitter::isFloatFormExact(sb, db));
                std::vector<u32> out(src.size(), 0xDEADBEEF);
                BlitRect rect;
                rect.dest = reinterpret_cast<u8*>(out.data());
                rect.src = reinterpret_cast<const u8*>(src.data());
                rect.width = int(src.size());
                rect.height = 1;
                blitter.convert(rect);
                ASSERT_EQ(out, expected) << (flags ? "SSE2" : "scalar");
            }
        }
    }
}

TEST(ConversionMatrix, FloatFormIsUsedWhereItIsCommon)
{
    // 8-bit fields both ways and 5/6-bit fields into 8 bits: the formats decoders produce
    EXPECT_TRUE(Blitter::isFloatFormExact(8, 8));
    EXPECT_TRUE(Blitter::isFloatFormExact(5, 8));
    EXPECT_TRUE(Blitter::isFloatFormExact(6, 8));
    EXPECT_TRUE(Blitter::isFloatFormExact(8, 5));
    EXPECT_FALSE(Blitter::isFloatFormExact(0, 8));
    EXPECT_FALSE(Blitter::isFloatFormExact(17, 8));
    EXPECT_FALSE(Blitter::isFloatFormExact(8, 24));
}
