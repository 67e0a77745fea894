// The inverse DCTs, the colour converters and the bit reader on their own.

#include <random>

#include "jpeg/jpeg_color.hpp"
#include "jpeg_test_util.hpp"

using namespace norva;
using namespace norva::jpeg;

namespace
{
    std::vector<u16> flatTable(u16 q)
    {
        return std::vector<u16>(64, q);
    }

} // namespace

TEST(JpegIdct, DcOnlyBlocks)
{
    const IdctFunc transforms[] = { idctInteger, idctSSE2 };
    for (const IdctFunc idct : transforms)
    {
        for (int c : { -200, -17, -1, 0, 1, 5, 63, 200 })
        {
            for (u16 q : { 1, 3, 16 })
            {
                alignas(16) s16 block[64] = {};
                block[0] = s16(c);
                alignas(16) u8 out[64];
                const std::vector<u16> qt = flatTable(q);
                idct(out, block, qt.data());
                const s64 v = ((s64(c) * q * 4 << 12) + 65536 + (128 << 17)) >> 17;
                const int expected = int(std::clamp<s64>(v, 0, 255));
                for (int i = 0; i < 64; ++i)
                    ASSERT_EQ(out[i], expected) << "c " << c << " q " << q;
            }
        }
    }

    // the 12-bit form level-shifts by 2048 and reduces to 8 bits
    alignas(16) s16 zero[64] = {};
    alignas(16) u8 out[64];
    const std::vector<u16> one = flatTable(1);
    idctInteger12(out, zero, one.data());
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(out[i], 128);
}

TEST(JpegIdct, SSE2EqualsScalarOnValidBlocks)
{
    std::mt19937 random(3);
    for (int round = 0; round < 2000; ++round)
    {
        alignas(16) s16 block[64] = {};
        std::vector<u16> qt(64);
        for (int i = 0; i < 64; ++i)
            qt[i] = u16(1 + random() % 40);
        // sparse coefficients of a plausible size, as quantised photographs have
        const int count = 1 + int(random() % 20);
        for (int i = 0; i < count; ++i)
        {
            const int k = (i == 0) ? 0 : int(random() % 64);
            block[k] = s16(int(random() % 201) - 100) / (k ? 4 : 1);
        }
        alignas(16) u8 a[64], b[64];
        idctInteger(a, block, qt.data());
        idctSSE2(b, block, qt.data());
        ASSERT_EQ(std::memcmp(a, b, 64), 0) << "round " << round;
    }
}

TEST(JpegIdct, CorruptCoefficientsSaturate)
{
    alignas(16) s16 block[64];
    for (int i = 0; i < 64; ++i)
        block[i] = s16(i & 1 ? 32767 : -32768);
    const std::vector<u16> qt = flatTable(65535);
    alignas(16) u8 out[64];
    // any bytes will do; the sanitizers watch for signed overflow
    idctInteger(out, block, qt.data());
    idctInteger12(out, block, qt.data());
    idctSSE2(out, block, qt.data());

    for (int i = 0; i < 64; ++i)
        block[i] = 0;
    block[0] = 2000;
    const std::vector<u16> q = flatTable(16);
    idctInteger(out, block, q.data());
    EXPECT_EQ(out[0], 255);
    block[0] = -2000;
    idctSSE2(out, block, q.data());
    EXPECT_EQ(out[0], 0);
}

TEST(JpegColor, ShapesMatchTheGeneralConverter)
{
    // random coefficients for each fixed shape; the scalar shape converters must equal
    // the general one, and the SSE2 ones may differ by one level
    std::mt19937 random(11);
    struct Shape { int h, v; };
    for (const Shape shape : { Shape{ 1, 1 }, Shape{ 1, 2 }, Shape{ 2, 1 }, Shape{ 2, 2 } })
    {
        Frame frame[3] = {
            { 1, u32(shape.h), u32(shape.v), 0, 0 },
            { 2, 1, 1, 0, u32(shape.h * shape.v) },
            { 3, 1, 1, 0, u32(shape.h * shape.v + 1) },
        };
        ProcessContext context;
        context.blocks = shape.h * shape.v + 2;
        context.idct = idctInteger;
        const std::vector<u16> qt = flatTable(2);
        for (int b = 0; b < context.blocks; ++b)
            context.qt[b] = qt.data();
        computeSampleTables(context, frame, 3, shape.h, shape.v);

        alignas(16) s16 data[JPEG_MAX_BLOCKS_IN_MCU * 64] = {};
        for (int i = 0; i < context.blocks * 64; i += 1 + int(random() % 5))
            data[i] = s16(int(random() % 121) - 60);

        const int w = shape.h * 8, h = shape.v * 8;
        for (Sample sample : { JPEG_U8_BGR, JPEG_U8_RGB, JPEG_U8_BGRA, JPEG_U8_RGBA })
        {
            const ColorConverters scalar = getColorConverters(sample, 0);
            const ColorConverters simd = getColorConverters(sample, CPU_SSE2);
            const ProcessFunc shapes[2][2] = { { scalar.ycbcr8x8, scalar.ycbcr8x16 }, { scalar.ycbcr16x8, scalar.ycbcr16x16 } };
            const ProcessFunc simdShapes[2][2] = { { simd.ycbcr8x8, simd.ycbcr8x16 }, { simd.ycbcr16x8, simd.ycbcr16x16 } };
            const int bytes = color::bytesPerPixel(sample);
            const ptrdiff_t stride = w * bytes;

            std::vector<u8> general(size_t(stride) * h), fixed(size_t(stride) * h), vector(size_t(stride) * h);
            scalar.ycbcr(general.data(), stride, data, &context, w, h);
            shapes[shape.h - 1][shape.v - 1](fixed.data(), stride, data, &context, w, h);
            simdShapes[shape.h - 1][shape.v - 1](vector.data(), stride, data, &context, w, h);

            EXPECT_EQ(general, fixed) << shape.h << "x" << shape.v << " sample " << sample;
            int worst = 0;
            for (size_t i = 0; i < general.size(); ++i)
                worst = std::max(worst, std::abs(int(general[i]) - int(vector[i])));
            EXPECT_LE(worst, 1) << shape.h << "x" << shape.v << " sample " << sample;

            // colour stored as R, G, B is only reordered, so every path gives the same bytes
            const ProcessFunc rgbShapes[2][2] = { { scalar.rgb8x8, scalar.rgb8x16 }, { scalar.rgb16x8, scalar.rgb16x16 } };
            const ProcessFunc simdRgbShapes[2][2] = { { simd.rgb8x8, simd.rgb8x16 }, { simd.rgb16x8, simd.rgb16x16 } };
            scalar.rgb(general.data(), stride, data, &context, w, h);
            rgbShapes[shape.h - 1][shape.v - 1](fixed.data(), stride, data, &context, w, h);
            simdRgbShapes[shape.h - 1][shape.v - 1](vector.data(), stride, data, &context, w, h);
            EXPECT_EQ(general, fixed) << "RGB " << shape.h << "x" << shape.v << " sample " << sample;
            EXPECT_EQ(general, vector) << "RGB " << shape.h << "x" << shape.v << " sample " << sample;
        }
    }
}

TEST(JpegColor, MidGreyIsGreyInEveryPath)
{
    for (CPUFlags flags : { CPUFlags(0), CPUFlags(CPU_SSE2) })
    {
        const ColorConverters c = getColorConverters(JPEG_U8_BGRA, flags);
        Frame frame[3] = { { 1, 2, 2, 0, 0 }, { 2, 1, 1, 0, 4 }, { 3, 1, 1, 0, 5 } };
        ProcessContext context;
        context.blocks = 6;
        const std::vector<u16> qt = flatTable(1);
        for (int b = 0; b < 6; ++b)
            context.qt[b] = qt.data();
        computeSampleTables(context, frame, 3, 2, 2);
        alignas(16) s16 data[6 * 64] = {};
        std::vector<u8> out(16 * 16 * 4);
        c.ycbcr16x16(out.data(), 64, data, &context, 16, 16);
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ(out[i], (i % 4 == 3) ? 255 : 128);
    }
}

TEST(JpegBits, StuffingMarkersAndTheEnd)
{
    // 0xFF 0x00 is one 0xFF byte; a marker and the end both feed zeros without moving on
    const u8 bytes[] = { 0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD9, 0x56 };
    DecodeState state;
    state.setData(bytes, bytes + sizeof(bytes));
    refillBits(state);
    EXPECT_EQ(getBits(state, 8), 0x12u);
    EXPECT_EQ(getBits(state, 8), 0xFFu);
    EXPECT_EQ(getBits(state, 8), 0x34u);
    EXPECT_EQ(getBits(state, 16), 0u);
    EXPECT_EQ(state.data, bytes + 4);

    const u8 tail[] = { 0xAB };
    state.setData(tail, tail + 1);
    refillBits(state);
    EXPECT_EQ(getBits(state, 8), 0xABu);
    EXPECT_EQ(getBits(state, 16), 0u);

    // the long path reads whole 48-bit groups between 0xFF bytes
    std::vector<u8> run(64);
    for (size_t i = 0; i < run.size(); ++i)
        run[i] = u8(i * 3 + 1);
    state.setData(run.data(), run.data() + run.size());
    for (size_t i = 0; i < run.size(); ++i)
    {
        refillBits(state);
        ASSERT_EQ(getBits(state, 8), run[i]);
    }
}

TEST(JpegBits, HuffmanCodesLongAndShort)
{
    // lengths 1, 2, 9, 16: the lookup and the long-code scan
    HuffmanTable table;
    table.counts[1] = 1;
    table.counts[2] = 1;
    table.counts[9] = 1;
    table.counts[16] = 1;
    table.symbols[0] = 0xA1;
    table.symbols[1] = 0xB2;
    table.symbols[2] = 0xC3;
    table.symbols[3] = 0xD4;
    ASSERT_TRUE(table.build());

    // codes: 0, 10, 110000000, 1100000010000000
    const u8 bytes[] = { 0b01011000, 0b00001100, 0b00001000, 0b00001111, 0xFF, 0x00, 0xFF, 0x00 };
    DecodeState state;
    state.setData(bytes, bytes + sizeof(bytes));
    const int expected[] = { 0xA1, 0xB2, 0xC3, 0xD4 };
    for (int symbol : expected)
    {
        refillBits(state);
        EXPECT_EQ(decodeHuffmanSymbol(state, table), symbol);
    }
    EXPECT_FALSE(state.corrupt);

    // all ones matches no code: a corrupt symbol, never a read past the table
    refillBits(state);
    EXPECT_EQ(decodeHuffmanSymbol(state, table), 0);
    EXPECT_TRUE(state.corrupt);

    HuffmanTable full;
    full.counts[1] = 2;
    full.counts[2] = 1;
    EXPECT_FALSE(full.build());
}
