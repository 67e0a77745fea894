// The fast-conversion rows: every variant the CPU runs (scalar, SSE2, SSSE3, AVX2) against
// each row's own per-pixel rule, written out again here from the rule's text, on every
// width from 0 to 67, every alignment of source and destination, in place where the
// destination pixel is no larger than the source one, and through a Surface blit.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <norva/core/cpu.hpp>
#include <norva/image/blitter.hpp>
#include <norva/image/surface.hpp>

using namespace norva;

namespace
{

    using Bytes = std::vector<u8>;
    using PixelRule = void (*)(u8* d, const u8* s);

    u16 get16(const u8* p)
    {
        return u16(p[0] | p[1] << 8);
    }

    u32 get32(const u8* p)
    {
        return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24;
    }

    void put16(u8* p, u32 v)
    {
        p[0] = u8(v);
        p[1] = u8(v >> 8);
    }

    void put32(u8* p, u32 v)
    {
        for (int i = 0; i < 4; ++i)
            p[i] = u8(v >> (8 * i));
    }

    void bytes4(u8* d, int a, int b, int c, int e)
    {
        d[0] = u8(a);
        d[1] = u8(b);
        d[2] = u8(c);
        d[3] = u8(e);
    }

    // ---------------------------------------------------------------------------------
    // half and float, from their definitions
    // ---------------------------------------------------------------------------------

    float halfValue(u16 h)
    {
        const u32 sign = h >> 15;
        const int exponent = (h >> 10) & 0x1F;
        const u32 mantissa = h & 0x3FF;
        if (exponent == 31)
            return std::bit_cast<float>(sign << 31 | 0x7F800000u | mantissa << 13);
        const double v = exponent == 0 ? std::ldexp(double(mantissa), -24)
                                       : std::ldexp(1.0 + mantissa / 1024.0, exponent - 15);
        return float(sign ? -v : v);
    }

    // nearest half, ties away from zero, too large to infinity, NaN quiet with its payload top
    u16 halfNearest(float f)
    {
        const u32 bits = std::bit_cast<u32>(f);
        const u32 sign = (bits >> 16) & 0x8000;
        if (std::isnan(f))
            return u16(sign | 0x7E00 | ((bits >> 13) & 0x3FF));
        const double a = std::fabs(double(f));
        if (a >= 65520.0)
            return u16(sign | 0x7C00);
        if (a < std::ldexp(1.0, -14))
            return u16(sign | u32(std::floor(std::ldexp(a, 24) + 0.5))); // may carry into the smallest normal
        int e;
        std::frexp(a, &e); // a = m 2^e, m in [0.5, 1)
        double q = std::floor(std::ldexp(a, 11 - e) + 0.5); // 1024 .. 2048
        int exponent = e - 1;
        if (q == 2048.0)
        {
            q = 1024.0;
            ++exponent;
        }
        if (exponent + 15 >= 31)
            return u16(sign | 0x7C00);
        return u16(sign | u32(exponent + 15) << 10 | (u32(q) - 1024));
    }

    // clamp to 0..1 (NaN 0), then to the nearest byte
    int toByte(float x)
    {
        if (std::isnan(x) || x <= 0.0f)
            return 0;
        if (x >= 1.0f)
            return 255;
        return int(x * 255.0f + 0.5f);
    }

    float getFloat(const u8* p)
    {
        return std::bit_cast<float>(get32(p));
    }

    // ---------------------------------------------------------------------------------
    // each row's rule
    // ---------------------------------------------------------------------------------

    int rep5(u32 c) { return int(c << 3 | c >> 2); }
    int rep6(u32 c) { return int(c << 2 | c >> 4); }

    void copy4(u8* d, const u8* s) { std::memcpy(d, s, 4); }
    void setAlpha(u8* d, const u8* s) { bytes4(d, s[0], s[1], s[2], 0xFF); }
    void swap32(u8* d, const u8* s) { bytes4(d, s[2], s[1], s[0], s[3]); }

    void unpack4444(u8* d, const u8* s)
    {
        const u32 w = get16(s);
        bytes4(d, (w & 15) * 17, (w >> 4 & 15) * 17, (w >> 8 & 15) * 17, (w >> 12) * 17);
    }

    void unpack5551(u8* d, const u8* s)
    {
        const u32 w = get16(s);
        bytes4(d, rep5(w & 31), rep5(w >> 5 & 31), rep5(w >> 10 & 31), (w & 0x8000) ? 0xFF : 0);
    }

    void bgr888(u8* d, const u8* s) { bytes4(d, s[0], s[1], s[2], 0xFF); }
    void rgb888toBGRA(u8* d, const u8* s) { bytes4(d, s[2], s[1], s[0], 0xFF); }

    void unpack565(u8* d, const u8* s)
    {
        const u32 w = get16(s);
        bytes4(d, rep5(w & 31), rep6(w >> 5 & 63), rep5(w >> 11), 0xFF);
    }

    void drop(u8* d, const u8* s)
    {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
    }

    void reverse3(u8* d, const u8* s)
    {
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
    }

    void pack565(u8* d, const u8* s)
    {
        const u32 w = get32(s);
        put16(d, (w >> 8 & 0xF800) | (w >> 5 & 0x7E0) | (w >> 3 & 0x1F));
    }

    void pack5551(u8* d, const u8* s)
    {
        const u32 w = get32(s);
        put16(d, (w >> 9 & 0x7C00) | (w >> 6 & 0x3E0) | (w >> 3 & 0x1F) | (w >> 16 & 0x8000));
    }

    void pack4444(u8* d, const u8* s)
    {
        const u32 w = get32(s);
        put16(d, (w >> 16 & 0xF000) | (w >> 12 & 0xF00) | (w >> 8 & 0xF0) | (w >> 4 & 0xF));
    }

    void l8to3(u8* d, const u8* s) { d[0] = d[1] = d[2] = s[0]; }
    void l8to4(u8* d, const u8* s) { bytes4(d, s[0], s[0], s[0], 0xFF); }
    void l16to4(u8* d, const u8* s) { bytes4(d, s[1], s[1], s[1], 0xFF); }
    void la16to4(u8* d, const u8* s) { bytes4(d, s[1], s[1], s[1], s[3]); }
    void rgb16toRGBA(u8* d, const u8* s) { bytes4(d, s[1], s[3], s[5], 0xFF); }
    void rgb16toBGRA(u8* d, const u8* s) { bytes4(d, s[5], s[3], s[1], 0xFF); }
    void rgba16toRGBA(u8* d, const u8* s) { bytes4(d, s[1], s[3], s[5], s[7]); }
    void rgba16toBGRA(u8* d, const u8* s) { bytes4(d, s[5], s[3], s[1], s[7]); }

    void halfToRGBA(u8* d, const u8* s)
    {
        bytes4(d, toByte(halfValue(get16(s))), toByte(halfValue(get16(s + 2))), toByte(halfValue(get16(s + 4))),
               toByte(halfValue(get16(s + 6))));
    }

    void halfToBGRA(u8* d, const u8* s)
    {
        bytes4(d, toByte(halfValue(get16(s + 4))), toByte(halfValue(get16(s + 2))), toByte(halfValue(get16(s))),
               toByte(halfValue(get16(s + 6))));
    }

    void floatToRGBA(u8* d, const u8* s)
    {
        bytes4(d, toByte(getFloat(s)), toByte(getFloat(s + 4)), toByte(getFloat(s + 8)), toByte(getFloat(s + 12)));
    }

    void floatToBGRA(u8* d, const u8* s)
    {
        bytes4(d, toByte(getFloat(s + 8)), toByte(getFloat(s + 4)), toByte(getFloat(s)), toByte(getFloat(s + 12)));
    }

    void floatToHalfPixel(u8* d, const u8* s)
    {
        for (int c = 0; c < 4; ++c)
            put16(d + 2 * c, halfNearest(getFloat(s + 4 * c)));
    }

    void halfToFloatPixel(u8* d, const u8* s)
    {
        for (int c = 0; c < 4; ++c)
            put32(d + 4 * c, std::bit_cast<u32>(halfValue(get16(s + 2 * c))));
    }

    // bytes to v / 255 in double precision, rounded to float once
    void rgbaToFloat(u8* d, const u8* s)
    {
        for (int c = 0; c < 4; ++c)
            put32(d + 4 * c, std::bit_cast<u32>(float(double(s[c]) / 255.0)));
    }

    void bgraToFloat(u8* d, const u8* s)
    {
        const int order[4] = { 2, 1, 0, 3 };
        for (int c = 0; c < 4; ++c)
            put32(d + 4 * c, std::bit_cast<u32>(float(double(s[order[c]]) / 255.0)));
    }

    enum class Input
    {
        BYTES,  // any bit pattern
        FLOATS, // floats: in range, byte values, specials, half subnormal range
    };

    struct Row
    {
        const char* name;
        Format dest;
        Format source;
        PixelRule rule;
        Input input = Input::BYTES;
    };

    const Row rows[] = {
        { "BGRX8880<-BGRA8888", Format::BGRX8880, Format::BGRA8888, copy4 },
        { "RGBX8880<-RGBA8888", Format::RGBX8880, Format::RGBA8888, copy4 },
        { "BGRA8888<-BGRX8880", Format::BGRA8888, Format::BGRX8880, setAlpha },
        { "RGBA8888<-RGBX8880", Format::RGBA8888, Format::RGBX8880, setAlpha },
        { "BGRX8880<-RGBX8880", Format::BGRX8880, Format::RGBX8880, swap32 },
        { "RGBX8880<-BGRX8880", Format::RGBX8880, Format::BGRX8880, swap32 },
        { "BGRA8888<-RGBA8888", Format::BGRA8888, Format::RGBA8888, swap32 },
        { "RGBA8888<-BGRA8888", Format::RGBA8888, Format::BGRA8888, swap32 },
        { "BGRA8888<-BGRA4444", Format::BGRA8888, Format::BGRA4444, unpack4444 },
        { "BGRA8888<-BGRA5551", Format::BGRA8888, Format::BGRA5551, unpack5551 },
        { "BGRA8888<-BGR888", Format::BGRA8888, Format::BGR888, bgr888 },
        { "BGRA8888<-RGB888", Format::BGRA8888, Format::RGB888, rgb888toBGRA },
        { "BGRA8888<-BGR565", Format::BGRA8888, Format::BGR565, unpack565 },
        { "BGR888<-BGRA8888", Format::BGR888, Format::BGRA8888, drop },
        { "RGB888<-BGRA8888", Format::RGB888, Format::BGRA8888, reverse3 },
        { "RGB888<-BGR888", Format::RGB888, Format::BGR888, reverse3 },
        { "BGR888<-RGB888", Format::BGR888, Format::RGB888, reverse3 },
        { "BGR565<-BGRA8888", Format::BGR565, Format::BGRA8888, pack565 },
        { "BGRA5551<-BGRA8888", Format::BGRA5551, Format::BGRA8888, pack5551 },
        { "BGRA4444<-BGRA8888", Format::BGRA4444, Format::BGRA8888, pack4444 },
        { "BGR888<-L8", Format::BGR888, Format::L8, l8to3 },
        { "RGB888<-L8", Format::RGB888, Format::L8, l8to3 },
        { "BGRA8888<-L8", Format::BGRA8888, Format::L8, l8to4 },
        { "RGBA8888<-L8", Format::RGBA8888, Format::L8, l8to4 },
        { "RGBA8888<-L16", Format::RGBA8888, Format::L16, l16to4 },
        { "BGRA8888<-L16", Format::BGRA8888, Format::L16, l16to4 },
        { "RGBA8888<-LA1616", Format::RGBA8888, Format::LA1616, la16to4 },
        { "BGRA8888<-LA1616", Format::BGRA8888, Format::LA1616, la16to4 },
        { "RGBA8888<-RGB16", Format::RGBA8888, Format::RGB16, rgb16toRGBA },
        { "BGRA8888<-RGB16", Format::BGRA8888, Format::RGB16, rgb16toBGRA },
        { "RGBA8888<-RGBA16", Format::RGBA8888, Format::RGBA16, rgba16toRGBA },
        { "BGRA8888<-RGBA16", Format::BGRA8888, Format::RGBA16, rgba16toBGRA },
        { "RGBA8888<-RGBA16F", Format::RGBA8888, Format::RGBA16F, halfToRGBA },
        { "BGRA8888<-RGBA16F", Format::BGRA8888, Format::RGBA16F, halfToBGRA },
        { "RGBA8888<-RGBA32F", Format::RGBA8888, Format::RGBA32F, floatToRGBA, Input::FLOATS },
        { "BGRA8888<-RGBA32F", Format::BGRA8888, Format::RGBA32F, floatToBGRA, Input::FLOATS },
        { "RGBA16F<-RGBA32F", Format::RGBA16F, Format::RGBA32F, floatToHalfPixel, Input::FLOATS },
        { "RGBA32F<-RGBA16F", Format::RGBA32F, Format::RGBA16F, halfToFloatPixel },
        { "RGBA32F<-RGBA8888", Format::RGBA32F, Format::RGBA8888, rgbaToFloat },
        { "RGBA32F<-BGRA8888", Format::RGBA32F, Format::BGRA8888, bgraToFloat },
    };

    struct Variant
    {
        CPUFlags flags;
        Blitter::RowKernel kernel;
    };

    std::string flagName(CPUFlags flags)
    {
        if (!flags)
            return "scalar";
        std::string name;
        for (auto [flag, text] : { std::pair { CPU_SSE2, "sse2" }, { CPU_SSSE3, "ssse3" }, { CPU_AVX2, "avx2" },
                                   { CPU_F16C, "f16c" } })
            if (flags & flag)
                name += (name.empty() ? "" : "+") + std::string(text);
        return name;
    }

    // the table's kernels for the pair that this CPU runs, in table order
    std::vector<Variant> variants(const Row& row)
    {
        std::vector<Variant> out;
        const CPUFlags cpu = getCPUFlags();
        for (const FastConversion& f : getFastConversionTable())
            if (f.dest == row.dest && f.source == row.source && (f.cpuFlags & cpu) == f.cpuFlags)
                out.push_back({ f.cpuFlags, f.kernel });
        return out;
    }

    float randomFloat(std::mt19937& rng)
    {
        static const float specials[] = {
            0.0f, -0.0f, 1.0f, 0.5f, -1.0f, 2.0f, 65504.0f, 65519.99f, 65520.0f, 1e30f, -1e30f,
            std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
            std::numeric_limits<float>::quiet_NaN(), std::bit_cast<float>(0x7F800001u), std::bit_cast<float>(0xFFC01234u),
            std::bit_cast<float>(0x7F802000u), 0x1p-24f, 0x1p-25f, 0x1.8p-25f, 0x1p-14f, 0x1.ffcp-15f, 1e-40f, 0x1p-126f,
        };
        switch (rng() % 6)
        {
        case 0: return specials[rng() % std::size(specials)];
        case 1: return float(rng() % 256) / 255.0f;
        case 2: return std::ldexp(float(rng() % 4096), -int(rng() % 40)); // half subnormals and around
        case 3: return std::bit_cast<float>(u32(rng()));
        default: return std::uniform_real_distribution<float>(-0.5f, 1.5f)(rng);
        }
    }

    Bytes randomPixels(const Row& row, int count, u32 seed)
    {
        std::mt19937 rng(seed);
        Bytes b(size_t(count) * row.source.bytes());
        if (row.input == Input::FLOATS)
        {
            for (size_t i = 0; i + 4 <= b.size(); i += 4)
                put32(&b[i], std::bit_cast<u32>(randomFloat(rng)));
        }
        else
        {
            for (u8& v : b)
                v = u8(rng());
        }
        return b;
    }

    Bytes expected(const Row& row, const Bytes& source, int count)
    {
        Bytes out(size_t(count) * row.dest.bytes());
        for (int x = 0; x < count; ++x)
            row.rule(&out[size_t(x) * row.dest.bytes()], &source[size_t(x) * row.source.bytes()]);
        return out;
    }

    const Row& rowFor(const Format& dest, const Format& source)
    {
        for (const Row& row : rows)
            if (row.dest == dest && row.source == source)
                return row;
        throw std::runtime_error("no such row");
    }

} // namespace

TEST(FastRows, TableHoldsEachPairWithAScalarRow)
{
    std::map<std::pair<Format, Format>, int> scalarRows;
    for (const FastConversion& f : getFastConversionTable())
    {
        if (f.cpuFlags == 0)
            ++scalarRows[{ f.dest, f.source }];
        bool listed = false;
        for (const Row& row : rows)
            listed |= row.dest == f.dest && row.source == f.source;
        EXPECT_TRUE(listed) << "a table row for a pair the tests do not know";
    }
    EXPECT_EQ(scalarRows.size(), std::size(rows));
    for (const Row& row : rows)
        EXPECT_EQ((scalarRows[{ row.dest, row.source }]), 1) << row.name;
}

// The Blitter runs the last row of the pair that the CPU can run, and a Surface blit
// (split into bands for this size) gives the row's bytes in every pixel.
TEST(FastRows, BlitPicksTheWidestRowAndGivesItsBytes)
{
    const int w = 301, h = 237; // 71337 pixels: several bands on a pool of more than one
    for (const Row& row : rows)
    {
        const std::vector<Variant> v = variants(row);
        ASSERT_FALSE(v.empty()) << row.name;
        const Blitter blitter(row.dest, row.source);
        EXPECT_EQ(blitter.path, Blitter::Path::FAST) << row.name;
        EXPECT_EQ(blitter.rowKernel, v.back().kernel) << row.name << " " << flagName(v.back().flags);

        // padded strides, so that rows are not contiguous
        Bitmap source(w, h, row.source, w * row.source.bytes() + 5);
        Bitmap dest(w, h, row.dest, w * row.dest.bytes() + 3);
        const Bytes pixels = randomPixels(row, w * h, 7);
        for (int y = 0; y < h; ++y)
            std::memcpy(source.address(0, y), &pixels[size_t(y) * w * row.source.bytes()], size_t(w) * row.source.bytes());
        ASSERT_TRUE(dest.blit(0, 0, source)) << row.name;

        const Bytes want = expected(row, pixels, w * h);
        int bad = 0;
        for (int y = 0; y < h && bad < 3; ++y)
            if (std::memcmp(dest.address(0, y), &want[size_t(y) * w * row.dest.bytes()], size_t(w) * row.dest.bytes()))
            {
                ADD_FAILURE() << row.name << ": row " << y << " differs";
                ++bad;
            }
    }
}

// Widths 0 to 67 cover every split between whole vectors and the remainder; offsets 0 to
// 3 misalign both ends. Nothing is read past the source row, and bytes outside the
// destination row stay as they were.
TEST(FastRows, EveryVariantFollowsItsRowAtEveryWidthAndAlignment)
{
    for (const Row& row : rows)
    {
        const int sb = row.source.bytes();
        const int db = row.dest.bytes();
        for (const Variant& v : variants(row))
        {
            int failures = 0;
            for (int count = 0; count <= 67 && failures < 3; ++count)
            {
                const Bytes source = randomPixels(row, count, u32(count * 31 + 1));
                const Bytes want = expected(row, source, count);
                for (int so = 0; so < 4; ++so)
                    for (int dOff = 0; dOff < 4; ++dOff)
                    {
                        // the row ends where the allocation does: a read past it is an ASan error
                        Bytes src(size_t(count) * sb + so, 0xCD);
                        if (count)
                            std::memcpy(src.data() + so, source.data(), source.size());
                        Bytes dst(size_t(count) * db + 8, 0x5A);
                        v.kernel(dst.data() + dOff, src.data() + so, count);

                        const bool body = !count || std::memcmp(dst.data() + dOff, want.data(), want.size()) == 0;
                        bool guards = true;
                        for (size_t i = 0; i < dst.size(); ++i)
                            if ((i < size_t(dOff) || i >= dOff + want.size()) && dst[i] != 0x5A)
                                guards = false;
                        if (!body || !guards)
                        {
                            ADD_FAILURE() << row.name << " " << flagName(v.flags) << ": width " << count
                                          << ", source offset " << so << ", dest offset " << dOff
                                          << (body ? ": wrote outside the row" : ": wrong bytes");
                            ++failures;
                        }
                    }
            }
        }
    }
}

// Where a destination pixel is no larger than a source pixel, a row converts in place.
TEST(FastRows, ShrinkingAndEqualRowsConvertInPlace)
{
    for (const Row& row : rows)
    {
        const int sb = row.source.bytes();
        const int db = row.dest.bytes();
        if (db > sb)
            continue;
        for (const Variant& v : variants(row))
            for (int count : { 1, 7, 16, 23, 33, 64, 67, 1000 })
            {
                const Bytes source = randomPixels(row, count, u32(count));
                const Bytes want = expected(row, source, count);
                Bytes buffer = source;
                v.kernel(buffer.data(), buffer.data(), count);
                EXPECT_EQ(std::memcmp(buffer.data(), want.data(), want.size()), 0)
                    << row.name << " " << flagName(v.flags) << ": width " << count;
            }
    }
}

// Long random rows: every SIMD variant gives the scalar row's bytes.
TEST(FastRows, SIMDEqualsScalarOnRandomPixels)
{
    const int count = 4099;
    for (const Row& row : rows)
    {
        const std::vector<Variant> v = variants(row);
        ASSERT_EQ(v.front().flags, 0u) << row.name;
        for (u32 seed : { 1u, 2u, 3u })
        {
            const Bytes source = randomPixels(row, count, seed);
            Bytes scalar(size_t(count) * row.dest.bytes());
            v.front().kernel(scalar.data(), source.data(), count);
            for (size_t i = 1; i < v.size(); ++i)
            {
                Bytes simd(scalar.size(), 0);
                v[i].kernel(simd.data(), source.data(), count);
                EXPECT_EQ(simd, scalar) << row.name << " " << flagName(v[i].flags) << " seed " << seed;
            }
        }
    }
}

// The rule's own examples, and the values where a slip in the formula shows.
TEST(FastRows, EdgeValues)
{
    struct Case
    {
        Format dest;
        Format source;
        Bytes in;
        Bytes out;
    };
    auto f32 = [](std::initializer_list<float> values) {
        Bytes b;
        for (float f : values)
            for (int i = 0; i < 4; ++i)
                b.push_back(u8(std::bit_cast<u32>(f) >> (8 * i)));
        return b;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        // 5551: alpha alone, everything but alpha
        { Format::BGRA8888, Format::BGRA5551, { 0x00, 0x80 }, { 0, 0, 0, 0xFF } },
        { Format::BGRA8888, Format::BGRA5551, { 0xFF, 0x7F }, { 0xFF, 0xFF, 0xFF, 0 } },
        // 565: white, black, pure red
        { Format::BGRA8888, Format::BGR565, { 0xFF, 0xFF }, { 0xFF, 0xFF, 0xFF, 0xFF } },
        { Format::BGRA8888, Format::BGR565, { 0x00, 0x00 }, { 0, 0, 0, 0xFF } },
        { Format::BGRA8888, Format::BGR565, { 0x00, 0xF8 }, { 0, 0, 0xFF, 0xFF } },
        // 565 pack of B 0xFF, G 0x80, R 0x7F: 0x7C1F
        { Format::BGR565, Format::BGRA8888, { 0xFF, 0x80, 0x7F, 0x00 }, { 0x1F, 0x7C } },
        // 5551 pack keeps the top bit of alpha only
        { Format::BGRA5551, Format::BGRA8888, { 0, 0, 0, 0x80 }, { 0x00, 0x80 } },
        { Format::BGRA5551, Format::BGRA8888, { 0, 0, 0, 0x7F }, { 0x00, 0x00 } },
        // 4444: n * 17
        { Format::BGRA8888, Format::BGRA4444, { 0x21, 0xF3 }, { 0x11, 0x22, 0x33, 0xFF } },
        // grey from 16 bits: the high byte, whatever the colour order
        { Format::RGBA8888, Format::L16, { 0xFF, 0x80 }, { 0x80, 0x80, 0x80, 0xFF } },
        { Format::BGRA8888, Format::L16, { 0xFF, 0x80 }, { 0x80, 0x80, 0x80, 0xFF } },
        // float to bytes: 1, 0.5, 0, NaN
        { Format::RGBA8888, Format::RGBA32F, f32({ 1.0f, 0.5f, 0.0f, nan }), { 255, 128, 0, 0 } },
        { Format::BGRA8888, Format::RGBA32F, f32({ 1.0f, 0.5f, 0.0f, nan }), { 0, 128, 255, 0 } },
        // 127/255 and 128/255 stay 127 and 128 (rounding twice made odd values k + 1)
        { Format::RGBA8888, Format::RGBA32F, f32({ 127.0f / 255, 128.0f / 255, 1.5f, -0.25f }), { 127, 128, 255, 0 } },
        // half 1.0, half 0.5, half infinity, half NaN
        { Format::RGBA8888, Format::RGBA16F, { 0x00, 0x3C, 0x00, 0x38, 0x00, 0x7C, 0x01, 0x7E }, { 255, 128, 255, 0 } },
        // float to half: 1.0, 65520 (infinity), NaN, 2^-24
        { Format::RGBA16F, Format::RGBA32F, f32({ 1.0f, 65520.0f, nan, 0x1p-24f }), { 0x00, 0x3C, 0x00, 0x7C, 0x00, 0x7E, 0x01, 0x00 } },
        // half to float: 1.0 and 2^-24
        { Format::RGBA32F, Format::RGBA16F, { 0x00, 0x3C, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80 }, f32({ 1.0f, 0x1p-24f, 0.0f, -0.0f }) },
    };

    for (const Case& c : cases)
    {
        const Row& row = rowFor(c.dest, c.source);
        // the test's own rule agrees with the stated values...
        Bytes ruled(c.out.size());
        row.rule(ruled.data(), c.in.data());
        EXPECT_EQ(ruled, c.out) << row.name << " (test rule)";

        // ...and so does every variant, alone and as the remainder of a longer row
        for (const Variant& v : variants(row))
            for (int count : { 1, 7, 16, 23, 40 })
            {
                Bytes in;
                for (int i = 0; i < count; ++i)
                    in.insert(in.end(), c.in.begin(), c.in.end());
                Bytes out(c.out.size() * count);
                v.kernel(out.data(), in.data(), count);
                for (int i = 0; i < count; ++i)
                    ASSERT_EQ(Bytes(out.begin() + i * c.out.size(), out.begin() + (i + 1) * c.out.size()), c.out)
                        << row.name << " " << flagName(v.flags) << " pixel " << i << " of " << count;
            }
    }
}

// Bytes survive byte -> float -> byte and byte -> half -> byte through the fast rows.
TEST(FastRows, BytesSurviveFloatAndHalf)
{
    for (const Format& middle : { Format::RGBA32F, Format::RGBA16F })
    {
        Bytes wide(256 * middle.bytes());
        for (int i = 0; i < 256; ++i)
            for (int c = 0; c < 4; ++c)
            {
                const float f = float((i + 64 * c) & 255) / 255.0f;
                if (middle.type == Format::FLOAT32)
                    put32(&wide[size_t(i) * 16 + 4 * c], std::bit_cast<u32>(f));
                else
                    put16(&wide[size_t(i) * 8 + 2 * c], floatToHalf(f));
            }
        for (const Variant& v : variants(rowFor(Format::RGBA8888, middle)))
        {
            Bytes back(256 * 4);
            v.kernel(back.data(), wide.data(), 256);
            for (int i = 0; i < 256; ++i)
                for (int c = 0; c < 4; ++c)
                    ASSERT_EQ(back[i * 4 + c], (i + 64 * c) & 255) << middle.bits << " " << flagName(v.flags);
        }
    }
}

// Every half widens to the exact float (payloads of NaNs kept), and every float gives
// the nearest half on every variant, over all 65536 halves and a sweep of floats.
TEST(FastRows, HalfAndFloatRowsOverWholeRanges)
{
    Bytes halves(65536 * 2);
    for (u32 i = 0; i < 65536; ++i)
        put16(&halves[i * 2], i);
    Bytes want(65536 * 4);
    for (u32 i = 0; i < 65536; ++i)
        put32(&want[i * 4], std::bit_cast<u32>(halfValue(u16(i))));
    for (const Variant& v : variants(rowFor(Format::RGBA32F, Format::RGBA16F)))
    {
        Bytes got(want.size());
        v.kernel(got.data(), halves.data(), 65536 / 4);
        EXPECT_EQ(got, want) << flagName(v.flags);
    }

    // every 2^12-th float pattern, both signs, with its neighbours
    Bytes floats;
    for (u32 hi = 0; hi < (1u << 20); ++hi)
        for (u32 low : { 0x000u, 0x001u, 0xFFFu })
        {
            const u32 bits = hi << 12 | low;
            for (int i = 0; i < 4; ++i)
                floats.push_back(u8(bits >> (8 * i)));
        }
    const int count = int(floats.size() / 16);
    Bytes nearest(size_t(count) * 8);
    for (int i = 0; i < count * 4; ++i)
        put16(&nearest[size_t(i) * 2], halfNearest(getFloat(&floats[size_t(i) * 4])));
    for (const Variant& v : variants(rowFor(Format::RGBA16F, Format::RGBA32F)))
    {
        Bytes got(nearest.size());
        v.kernel(got.data(), floats.data(), count);
        EXPECT_EQ(got, nearest) << flagName(v.flags);
    }
}
